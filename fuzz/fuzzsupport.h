#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QString>

#include <cstddef>
#include <cstdint>

namespace Fuzz {

// Drops every Qt message: the functions under test log a line per call.
void silenceMessages();

// Bytes as text: UTF-16 in machine order after a leading FF FE, so that lone
// surrogates and NULs (which JSON escapes can produce) are reachable;
// UTF-8 otherwise, which keeps the seed files readable.
QString textFrom(const uint8_t *data, size_t size);

// Splits at the first line feed; `rest` gets everything after it.
QString firstLine(const QString &text, QString *rest);

// The text in double quotes, with everything outside printable ASCII
// written as \uXXXX, so that reports show NULs and surrogates.
QString quoted(const QString &text);

// Reports a broken property with the values involved and aborts, which
// libFuzzer records as a crash together with the input.
[[noreturn]] void fail(const char *property, const QString &detail = QString());

} // namespace Fuzz

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            Fuzz::fail(#condition, (detail));                                                      \
    } while (false)

#endif // FUZZSUPPORT_H

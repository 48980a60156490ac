// The updater's command line: the input split on NUL bytes is the argument list after the
// program name. A refused command line always tells why.
#include "fuzz.h"

#include "app/commandline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList arguments {QStringLiteral("updater")};
    for (const QByteArray &piece :
        QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0'))
        arguments << QString::fromUtf8(piece);
    CommandLine commandLine;
    if (!commandLine.parse(arguments))
        FUZZ_CHECK(!commandLine.errorText().isEmpty(), arguments.join(QLatin1Char(' ')));
    return 0;
}

#pragma once

#include <QString>

// Reports a broken property with its input; qFatal aborts, and libFuzzer keeps the input.
#define FUZZ_CHECK(property, input)                                                                \
    ((property) ? void() : qFatal("PROPERTY FAILED: %s\n  %s", #property, qUtf8Printable(input)))

// Bytes as text: UTF-16 after FF FE, so lone surrogates are reachable; otherwise UTF-8.
inline QString textFrom(const uint8_t *data, size_t size)
{
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        return QString(reinterpret_cast<const QChar *>(data + 2), int((size - 2) / 2));
    return QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
}

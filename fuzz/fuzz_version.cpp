// compareVersions on two texts: the first line of the input and the rest.
#include "fuzz.h"

#include "update/version.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = textFrom(data, size);
    const QString a = text.section(QLatin1Char('\n'), 0, 0), b = text.section(QLatin1Char('\n'), 1);
    const int forward = compareVersions(a, b);
    FUZZ_CHECK(forward >= -1 && forward <= 1 && compareVersions(b, b) == 0, text);
    // Without the wildcard "x" the order is lexicographic on element values: swapping the
    // arguments swaps the answer, ties go to the shorter list, elements compare as numbers.
    if ((a + QLatin1Char('.') + b).split(QLatin1Char('.')).contains(QLatin1String("x")))
        return 0;
    FUZZ_CHECK(compareVersions(b, a) == -forward, text);
    FUZZ_CHECK(compareVersions(a, a + QLatin1String(".0")) == 1, text);
    FUZZ_CHECK(compareVersions(a + QLatin1String(".10"), a + QLatin1String(".9")) == 1, text);
    return 0;
}

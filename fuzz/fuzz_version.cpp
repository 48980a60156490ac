// compareVersions on two texts: the first line of the input and the rest.
#include "fuzzsupport.h"

#include "update/version.h"

#include <QStringList>

namespace {

bool hasWildcard(const QString &version)
{
    return version.split(QLatin1Char('.')).contains(QStringLiteral("x"));
}

QString pair(const QString &a, const QString &b)
{
    return QStringLiteral("candidate %1 current %2").arg(Fuzz::quoted(a), Fuzz::quoted(b));
}

// Versions that share all elements of `base` and differ after it.
void checkExtensions(const QString &base)
{
    if (hasWildcard(base))
        return;
    const auto with = [&base](const char *tail) { return base + QLatin1String(tail); };
    // Ties go to the shorter list.
    FUZZ_CHECK(compareVersions(base, with(".0")) == 1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".0"), base) == -1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".1"), with(".2")) == -1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".10"), with(".9")) == 1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".x"), with(".5")) == 1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".5"), with(".x")) == -1, Fuzz::quoted(base));
    FUZZ_CHECK(compareVersions(with(".X"), with(".0")) == 0, Fuzz::quoted(base));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString current;
    const QString candidate = Fuzz::firstLine(Fuzz::textFrom(data, size), &current);

    const int forward = compareVersions(candidate, current);
    FUZZ_CHECK(forward >= -1 && forward <= 1, pair(candidate, current));
    FUZZ_CHECK(compareVersions(candidate, candidate) == 0, Fuzz::quoted(candidate));
    FUZZ_CHECK(compareVersions(current, current) == 0, Fuzz::quoted(current));
    // An equal copy that shares no data with the original must compare equal too.
    const QString copy(candidate.constData(), candidate.size());
    FUZZ_CHECK(compareVersions(copy, candidate) == 0, Fuzz::quoted(candidate));

    // Without the wildcard the order is a plain lexicographic one on element
    // values (ties going to the shorter list), so swapping the arguments
    // must swap the answer.
    const int backward = compareVersions(current, candidate);
    FUZZ_CHECK(backward >= -1 && backward <= 1, pair(current, candidate));
    if (!hasWildcard(candidate) && !hasWildcard(current))
        FUZZ_CHECK(backward == -forward, pair(candidate, current));

    checkExtensions(candidate);
    checkExtensions(current);

    // A wildcard in the first element of the candidate beats anything but an
    // identical text.
    if (candidate.split(QLatin1Char('.')).first() == QLatin1String("x") && candidate != current)
        FUZZ_CHECK(forward == 1, pair(candidate, current));
    return 0;
}

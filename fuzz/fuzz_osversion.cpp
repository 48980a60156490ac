// The Windows version constraint: the first byte picks the generation and the
// padding, the rest is the constraint text.
#include "fuzzsupport.h"

#include "update/osversion.h"

namespace {

const int generations = 6;

// White space that QString::trimmed removes, ASCII and beyond.
const char16_t padding[] = {u' ', u'\t', u'\n', u'\r', u'\v', u'\f', 0x00A0, 0x2003, 0x3000};

QString padded(const QString &constraint, unsigned pick)
{
    const QChar before(padding[pick % 9]);
    const QChar after(padding[(pick / 9) % 9]);
    return before + constraint + after + before;
}

// The generations that pass, as a bit set (bit g for generation g).
unsigned allowedSet(const QString &constraint)
{
    unsigned set = 0;
    for (int g = 0; g < generations; ++g) {
        if (osConstraintAllows(constraint, g))
            set |= 1u << g;
    }
    return set;
}

// The generations each recognised spelling lets through; any other text,
// once trimmed and lower-cased, lets none through.
unsigned expectedSet(const QString &constraint)
{
    static const struct {
        const char *name;
        unsigned set;
    } table[] = {
        {"7", 0b000010},
        {"7+", 0b111110},
        {"7-", 0b000011},
        {"8", 0b000100},
        {"8+", 0b111100},
        {"8-", 0b000111},
        {"8.1", 0b001000},
        {"8.1+", 0b111000},
        {"8.1-", 0b001111},
        {"10", 0b010000},
        {"10+", 0b110000},
        {"10-", 0b011111},
    };
    const QString name = constraint.trimmed().toLower();
    for (const auto &row : table) {
        if (name == QLatin1String(row.name))
            return row.set;
    }
    return 0;
}

void checkUnconstrained()
{
    for (const QString &free : {QStringLiteral("any"), QString(), QStringLiteral("")}) {
        for (int g = 0; g < generations; ++g) {
            FUZZ_CHECK(osConstraintAllows(free, g), Fuzz::quoted(free));
            FUZZ_CHECK(isOsCompatible(free, g), Fuzz::quoted(free));
        }
        FUZZ_CHECK(isOsCompatible(free), Fuzz::quoted(free));
        FUZZ_CHECK(osConstraintLogLine(free).isNull(), Fuzz::quoted(free));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::silenceMessages();
    checkUnconstrained();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const WindowsGeneration generation = data[0] % generations;
    const unsigned pick = data[0];
    const QString constraint = Fuzz::textFrom(data + 1, size - 1);
    const QString spaced = padded(constraint, pick);

    const bool allowed = osConstraintAllows(constraint, generation);
    FUZZ_CHECK(isOsCompatible(constraint, generation) == allowed, Fuzz::quoted(constraint));
    FUZZ_CHECK(
        isOsCompatible(constraint) == osConstraintAllows(constraint, currentWindowsGeneration()),
        Fuzz::quoted(constraint));

    const bool free = constraint.isEmpty() || constraint == QLatin1String("any");
    const QString line = osConstraintLogLine(constraint);
    FUZZ_CHECK(line.isNull() == free, Fuzz::quoted(constraint));
    if (free) {
        FUZZ_CHECK(allowed, Fuzz::quoted(constraint));
        // Only the bare words lift the constraint; padded they name nothing.
        FUZZ_CHECK(allowedSet(spaced) == 0, Fuzz::quoted(spaced));
    } else {
        FUZZ_CHECK(
            line.startsWith(QLatin1String("Checking if current OS is ")), Fuzz::quoted(line));
        FUZZ_CHECK(allowedSet(constraint) == expectedSet(constraint), Fuzz::quoted(constraint));
        FUZZ_CHECK(osConstraintAllows(spaced, generation) == allowed, Fuzz::quoted(spaced));
        FUZZ_CHECK(allowedSet(spaced) == allowedSet(constraint), Fuzz::quoted(spaced));
        FUZZ_CHECK(osConstraintLogLine(spaced) == line, Fuzz::quoted(spaced));
    }
    return 0;
}

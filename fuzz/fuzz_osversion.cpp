// The Windows version constraint: the input is the constraint text.
#include "fuzz.h"

#include "update/osversion.h"

#include <utility>

// The generations each spelling lets through, trimmed and in any case, Vista (bit 0) to
// later than 10 (bit 5). The bare "any" and "" let all through, any other text none.
static const std::pair<const char *, unsigned> spellings[] = {{"7", 0b000010}, {"7+", 0b111110},
    {"7-", 0b000011}, {"8", 0b000100}, {"8+", 0b111100}, {"8-", 0b000111}, {"8.1", 0b001000},
    {"8.1+", 0b111000}, {"8.1-", 0b001111}, {"10", 0b010000}, {"10+", 0b110000}, {"10-", 0b011111}};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString constraint = textFrom(data, size), name = constraint.trimmed().toLower();
    const bool unconstrained = constraint.isEmpty() || constraint == QLatin1String("any");
    unsigned expected = unconstrained ? 0b111111 : 0, allowed = 0;
    for (const auto &spelling : spellings)
        expected |= name == QLatin1String(spelling.first) ? spelling.second : 0;
    for (WindowsGeneration generation = 0; generation < 6; ++generation)
        allowed |= osConstraintAllows(constraint, generation) ? 1u << generation : 0;
    FUZZ_CHECK(allowed == expected, constraint);
    FUZZ_CHECK(osConstraintLogLine(constraint).isNull() == unconstrained, constraint);
    return 0;
}

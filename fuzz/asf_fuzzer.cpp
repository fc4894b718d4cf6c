// The Windows Media reader over arbitrary bytes, the modern row it gives and
// the bytes it fetched.
#include "asfreader.h"
#include "outcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return ModernReaderOutcome<CAsfReader>(input, "asf", "input.wmv", RowSource::Asf);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

// The Flash Video reader over arbitrary bytes, the modern row it gives and
// the bytes it fetched.
#include "flvreader.h"
#include "outcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return ModernReaderOutcome<CFlvReader>(input, "flv", "input.flv", RowSource::Flv);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

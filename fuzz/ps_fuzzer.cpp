// The program stream reader over arbitrary bytes, the modern row it gives
// and the bytes it fetched.
#include "outcome.h"
#include "psreader.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return ModernReaderOutcome<CPsReader>(input, "ps", "input.vob", RowSource::Ps);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

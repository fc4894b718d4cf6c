// The transport stream reader over arbitrary bytes, the modern row it gives
// and the bytes it fetched.
#include "outcome.h"
#include "tsreader.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return ModernReaderOutcome<CTsReader>(input, "ts", "input.ts", RowSource::Ts);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

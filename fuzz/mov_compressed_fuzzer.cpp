// The QuickTime reader over a compressed movie header whose expanded data is
// the input, so that every run reaches the expansion and the memory walk.
#include "builders.h"
#include "quicktimeoutcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    // moov > cmov > (dcom "zlib", cmvd: the expanded size, the zlib stream)
    return QuickTimeOutcome(testing::CompressedMovie({input.begin(), input.end()}), input.size());
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

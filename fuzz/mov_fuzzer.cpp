// The QuickTime reader over arbitrary bytes.
#include "quicktimeoutcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return QuickTimeOutcome({input.begin(), input.end()}, input.size());
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

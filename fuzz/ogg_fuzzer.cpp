// The Ogg reader over arbitrary bytes, the modern row it gives and the bytes
// it fetched.
#include "oggreader.h"
#include "outcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    return ModernReaderOutcome<COggReader>(input, "ogg", "input.ogv", RowSource::Ogg);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

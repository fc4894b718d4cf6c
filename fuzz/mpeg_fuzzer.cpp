// The MPEG reader over arbitrary bytes.
#include "bytesource.h"
#include "mpegreader.h"
#include "outcome.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CMPEGHeaderReader reader;
    const bool accepted = reader.LoadFromSource(source);
    const FileRow row = MakeMpegRow("input.mpg", input.size(), reader);
    return Describe("mpeg", accepted, &row);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

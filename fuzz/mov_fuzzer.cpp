// The QuickTime reader over arbitrary bytes.
#include "bytesource.h"
#include "movreader.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {
namespace {

// What the load held: the bounds of a load show in these.
std::string Footprint(const CQuickTimeReader& reader) {
    return "payload bytes " + std::to_string(reader.LoadedPayloadBytes()) + ", expanded bytes " +
           std::to_string(reader.ExpandedBytes()) + "\n";
}

} // namespace

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CQuickTimeReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.mov");
        const FileRow row = MakeMovRow("input.mov", input.size(), reader);
        return Describe("mov", accepted, &row) + Footprint(reader);
    } catch (const ReaderError&) {
        return "mov reader error\n" + Footprint(reader);
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

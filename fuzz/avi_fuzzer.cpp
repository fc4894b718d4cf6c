// The AVI reader over arbitrary bytes.
#include "avireader.h"
#include "bytesource.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CAVIHeaderReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.avi");
        const FileRow row = MakeAviRow("input.avi", input.size(), reader);
        return Describe("avi", accepted, &row) + "chunks " + std::to_string(reader.ChunksVisited) +
               "\n";
    } catch (const ReaderError&) {
        return "avi reader error, chunks " + std::to_string(reader.ChunksVisited) + "\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

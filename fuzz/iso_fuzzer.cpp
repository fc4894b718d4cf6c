// The ISO reader over arbitrary bytes, and the modern row it gives.
#include "bytesource.h"
#include "isoreader.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CIsoReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.mp4");
        const FileRow row =
            MakeModernRow("input.mp4", input.size(), RowSource::Iso, reader.Summary);
        CheckModernCells(row);
        return Describe("mp4", accepted, &row) + "boxes " + std::to_string(reader.BoxesSeen()) +
               "\n";
    } catch (const ReaderError&) {
        return "mp4 reader error, boxes " + std::to_string(reader.BoxesSeen()) + "\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

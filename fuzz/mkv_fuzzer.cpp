// The Matroska reader over arbitrary bytes, and the modern row it gives.
#include "bytesource.h"
#include "mkvreader.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CMatroskaReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.mkv");
        const FileRow row =
            MakeModernRow("input.mkv", input.size(), RowSource::Matroska, reader.Summary);
        CheckModernCells(row);
        return Describe("mkv", accepted, &row) + "elements " +
               std::to_string(reader.ElementsSeen()) + "\n";
    } catch (const ReaderError&) {
        return "mkv reader error, elements " + std::to_string(reader.ElementsSeen()) + "\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

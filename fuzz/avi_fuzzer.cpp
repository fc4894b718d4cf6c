// The AVI reader over arbitrary bytes: the classic row, and the modern row
// of the same walk with the chunks only it reads.
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
        std::string outcome = Describe("avi", accepted, &row) + "chunks " +
                              std::to_string(reader.ChunksVisited) + "\n";
        MemorySource again({input.begin(), input.end()});
        const bool streams = reader.LoadStreams(again, "input.avi");
        const auto size = static_cast<std::int64_t>(input.size());
        const FileRow modern =
            MakeModernRow("input.avi", input.size(), RowSource::Avi, reader.StreamSummary(size));
        CheckModernCells(modern);
        return outcome + Describe("modern avi", streams, &modern) + "fetched " +
               std::to_string(again.BytesFetched()) + "\n";
    } catch (const ReaderError&) {
        return "avi reader error, chunks " + std::to_string(reader.ChunksVisited) + "\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

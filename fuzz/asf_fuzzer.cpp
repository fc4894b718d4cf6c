// The Windows Media reader over arbitrary bytes, and the modern row it gives.
#include "asfreader.h"
#include "bytesource.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CAsfReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.wmv");
        const FileRow row =
            MakeModernRow("input.wmv", input.size(), RowSource::Asf, reader.Summary);
        return Describe("asf", accepted, &row) + "fetched " +
               std::to_string(source.BytesFetched()) + "\n";
    } catch (const ReaderError&) {
        return "asf reader error\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

// The Flash Video reader over arbitrary bytes, and the modern row it gives.
#include "bytesource.h"
#include "flvreader.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CFlvReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.flv");
        const FileRow row =
            MakeModernRow("input.flv", input.size(), RowSource::Flv, reader.Summary);
        return Describe("flv", accepted, &row) + "fetched " +
               std::to_string(source.BytesFetched()) + "\n";
    } catch (const ReaderError&) {
        return "flv reader error\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

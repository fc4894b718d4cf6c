// The transport stream reader over arbitrary bytes, and the modern row it gives.
#include "bytesource.h"
#include "outcome.h"
#include "readererror.h"
#include "tsreader.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    CTsReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.ts");
        const FileRow row = MakeModernRow("input.ts", input.size(), RowSource::Ts, reader.Summary);
        return Describe("ts", accepted, &row);
    } catch (const ReaderError&) {
        return "ts reader error\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

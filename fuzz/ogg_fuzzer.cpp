// The Ogg reader over arbitrary bytes, and the modern row it gives.
#include "bytesource.h"
#include "oggreader.h"
#include "outcome.h"
#include "readererror.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    MemorySource source({input.begin(), input.end()});
    COggReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.ogv");
        const FileRow row =
            MakeModernRow("input.ogv", input.size(), RowSource::Ogg, reader.Summary);
        return Describe("ogg", accepted, &row) + "fetched " +
               std::to_string(source.BytesFetched()) + "\n";
    } catch (const ReaderError&) {
        return "ogg reader error\n";
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

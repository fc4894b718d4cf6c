// The rows and export lines of whatever the readers make of the input, with a
// file name taken from its first bytes: every cell formatter and the export
// line writer see the readers' results.
#include "avireader.h"
#include "bytesource.h"
#include "movreader.h"
#include "mpegreader.h"
#include "outcome.h"

#include <algorithm>
#include <vector>

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    // The first byte says how many of the next bytes (at most 32) name the file.
    const std::size_t nameLength =
        input.empty() ? 0 : std::min<std::size_t>({input[0], 32, input.size() - 1});
    const std::string caption(input.begin() + (input.empty() ? 0 : 1),
                              input.begin() + (input.empty() ? 0 : 1) +
                                  static_cast<std::ptrdiff_t>(nameLength));
    // The readers read what follows the name.
    const std::vector<std::uint8_t> body(input.begin() + (input.empty() ? 0 : 1) +
                                             static_cast<std::ptrdiff_t>(nameLength),
                                         input.end());
    const std::uint64_t size = input.size() * 0x9E3779B97F4A7C15ULL; // any size, large ones too
    std::string outcome;
    {
        MemorySource source(body);
        CAVIHeaderReader reader;
        try {
            if (reader.LoadFromSource(source, caption)) {
                outcome += ExportLine(MakeAviRow(caption, size, reader));
            }
        } catch (...) {
        }
    }
    {
        MemorySource source(body);
        CQuickTimeReader reader;
        try {
            reader.LoadFromSource(source, caption);
        } catch (...) {
        }
        // A refused or faulted load still leaves fields to format.
        outcome += ExportLine(MakeMovRow(caption, size, reader));
    }
    {
        MemorySource source(body);
        CMPEGHeaderReader reader;
        reader.LoadFromSource(source);
        outcome += ExportLine(MakeMpegRow(caption, size, reader));
    }
    outcome += ExportLine(MakePlainRow(caption, size));
    return "rows: " + Escaped(outcome) + "\n";
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

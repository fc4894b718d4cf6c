// The catalogue's row form over arbitrary bytes, as a forged or damaged
// catalogue holds them: a row is decoded whole or not at all, within
// memory its bytes bound, and a decoded row encodes to a form that decodes
// to the same row.
#include "outcome.h"
#include "rowcodec.h"

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    const std::string_view bytes(reinterpret_cast<const char*>(input.data()), input.size());
    const std::optional<FileRow> row = DecodeRow(bytes);
    if (!row) {
        return "row refused\n";
    }
    const std::optional<FileRow> again = DecodeRow(EncodeRow(*row));
    if (!again || EncodeRow(*again) != EncodeRow(*row)) {
        __builtin_trap();
    }
    return Describe("row", true, &*row);
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

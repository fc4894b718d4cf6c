// The QuickTime reader over a compressed movie header whose expanded data is
// the input, so that every run reaches the expansion and the memory walk.
#include "bytesource.h"
#include "movreader.h"
#include "outcome.h"
#include "readererror.h"

#include <zlib.h>

#include <vector>

namespace vidarium::fuzzing {
namespace {

// What the load held: the bounds of a load show in these.
std::string Footprint(const CQuickTimeReader& reader) {
    return "payload bytes " + std::to_string(reader.LoadedPayloadBytes()) + ", expanded bytes " +
           std::to_string(reader.ExpandedBytes()) + "\n";
}

} // namespace
namespace {

void AppendBe32(std::vector<std::uint8_t>& bytes, std::size_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void AppendAtomHeader(std::vector<std::uint8_t>& bytes, std::size_t size, const char* type) {
    AppendBe32(bytes, size);
    bytes.insert(bytes.end(), type, type + 4);
}

} // namespace

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    uLongf length = compressBound(static_cast<uLong>(input.size()));
    std::vector<std::uint8_t> compressed(length);
    if (compress(compressed.data(), &length, input.data(), static_cast<uLong>(input.size())) !=
        Z_OK) {
        return "not compressed\n";
    }
    compressed.resize(length);
    // moov > cmov > (dcom "zlib", cmvd: expanded size, stream)
    const std::size_t cmvd = 8 + 4 + compressed.size();
    const std::size_t cmov = 8 + 12 + cmvd;
    std::vector<std::uint8_t> file;
    AppendAtomHeader(file, 8 + cmov, "moov");
    AppendAtomHeader(file, cmov, "cmov");
    AppendAtomHeader(file, 12, "dcom");
    file.insert(file.end(), {'z', 'l', 'i', 'b'});
    AppendAtomHeader(file, cmvd, "cmvd");
    AppendBe32(file, input.size());
    file.insert(file.end(), compressed.begin(), compressed.end());

    MemorySource source(std::move(file));
    CQuickTimeReader reader;
    try {
        const bool accepted = reader.LoadFromSource(source, "input.mov");
        const FileRow row = MakeMovRow("input.mov", input.size(), reader);
        return Describe("mov", accepted, &row) + Footprint(reader);
    } catch (const ReaderError&) {
        return "mov reader error\n" + Footprint(reader);
    }
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

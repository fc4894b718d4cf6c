// The compressed movie header ("cmov": "dcom" + "cmvd") and the user-data
// texts of a QuickTime movie.
#include "guarded.h"
#include "localtext.h"
#include "movreader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace vidarium {
namespace {

// inflateEnd on every path out of the expansion.
class InflateStream {
public:
    InflateStream() {
        if (inflateInit(&stream_) != Z_OK) {
            throw ReaderFault("inflateInit failed");
        }
    }
    ~InflateStream() { inflateEnd(&stream_); }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
};

// Expands a zlib stream. The output starts at the declared size (at most
// kMaxExpandedStart), or at one growth step when none is declared, and grows
// by the step (the input length rounded up to 256) until the stream ends.
std::vector<std::uint8_t> Inflate(std::span<const std::uint8_t> input, std::uint32_t inputLength,
                                  std::uint32_t expected) {
    if (expected >= 0x80000000U) {
        throw ReaderFault("declared expanded size of 2 GiB or more");
    }
    const std::size_t step = (std::size_t{inputLength} + 255) / 256 * 256;
    std::size_t size =
        expected != 0 ? std::min<std::size_t>(expected, CQuickTimeReader::kMaxExpandedStart) : step;
    std::vector<std::uint8_t> output(size, 0);

    InflateStream stream;
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t produced = 0;
    for (;;) {
        if (produced == size) {
            if (step == 0 || size > CQuickTimeReader::kMaxExpanded - step) {
                throw ReaderFault("expanded movie header too large");
            }
            size += step;
            if (size > output.capacity()) {
                // Grow the storage geometrically, so that a small step
                // cannot make the expansion quadratic.
                output.reserve(std::min(std::max(output.capacity() * 2, size),
                                        CQuickTimeReader::kMaxExpanded));
            }
            output.resize(size, 0);
        }
        stream->next_out = output.data() + produced;
        stream->avail_out = static_cast<uInt>(
            std::min<std::size_t>(size - produced, std::numeric_limits<uInt>::max()));
        const uInt before = stream->avail_out;
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        produced += before - stream->avail_out;
        if (result == Z_STREAM_END) {
            break; // input bytes after the end of the stream are ignored
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            throw ReaderFault("corrupt compressed movie header");
        }
        if (produced < size && stream->avail_in == 0) {
            throw ReaderFault("compressed movie header ends early");
        }
    }
    output.resize(produced);
    output.shrink_to_fit();
    return output;
}

int ExpansionNesting(const AtomNode& node) {
    int nesting = 0;
    for (const AtomNode* up = node.Parent; up != nullptr; up = up->Parent) {
        if (IsFourCC(up->AtomType, "cmvd")) {
            ++nesting;
        }
    }
    return nesting;
}

} // namespace

void CQuickTimeReader::ExpandMovieHeader(AtomNode& node) {
    FourCC method{};
    const AtomNode* compression = FindChildAtom(node.Parent, "dcom");
    if (compression != nullptr && compression->Data != nullptr && compression->Size >= 4) {
        method = LoadFourCC(compression->Payload(), 0);
    }
    if (!IsFourCC(method, "zlib") || ExpansionNesting(node) >= kMaxExpansionNesting) {
        return;
    }
    const std::span<const std::uint8_t> payload = node.Payload();
    std::vector<std::uint8_t> expanded;
    try {
        const std::uint32_t expected = LoadBe32(payload, 0);
        expanded =
            Inflate(payload.size() > 4 ? payload.subspan(4) : std::span<const std::uint8_t>(),
                    node.Size - 4, expected);
        if (expanded.size() > kMaxLoadedBytes - std::min(loadedBytes_, kMaxLoadedBytes)) {
            return;
        }
    } catch (...) {
        return; // the node keeps its compressed payload and gets no children
    }
    loadedBytes_ += expanded.size();
    // The expanded buffer replaces the compressed payload; the nodes made from
    // it borrow their payloads from it.
    node.Owned = std::move(expanded);
    node.Data = node.Owned.empty() ? reinterpret_cast<const std::uint8_t*>("") : node.Owned.data();
    node.DataLength = node.Owned.size();
    node.Size = static_cast<std::uint32_t>(node.Owned.size());
    node.Borrowed = false;
    const std::uint8_t* cursor = node.Data;
    const std::uint8_t* const end = node.Data + node.DataLength;
    try {
        while (ReadAtomFromMemory(cursor, end, &node, 0)) {
        }
    } catch (...) {
        // The nodes made before the fault stay.
    }
}

bool CQuickTimeReader::ReadAtomFromMemory(const std::uint8_t*& cursor, const std::uint8_t* end,
                                          AtomNode* parent, int depth) {
    if (end - cursor < 8 || atoms_.size() >= kMaxAtoms) {
        return false;
    }
    const std::span<const std::uint8_t> header(cursor, 8);
    cursor += 8;
    const std::uint32_t size = LoadBe32(header, 0);
    if (size < 8 || size - 8 > 2147483646U) {
        throw ReaderFault("atom size in expanded data");
    }
    AtomNode* node = AddChildAtom(parent);
    node->AtomType = LoadFourCC(header, 4);
    node->Borrowed = true;
    // An atom that claims more than its range holds is cut at the range's end.
    const auto payload =
        static_cast<std::uint32_t>(std::min<std::ptrdiff_t>(size - 8, end - cursor));
    node->Size = payload;
    node->Data = cursor;
    node->DataLength = payload;
    const std::uint8_t* const atomEnd = cursor + payload;
    if (IsContainerAtom(node->AtomType) && depth < kMaxDepth) {
        while (ReadAtomFromMemory(cursor, atomEnd, node, depth + 1)) {
        }
    }
    cursor = atomEnd;
    return cursor < end;
}

std::string CQuickTimeReader::UserDataLabel(const FourCC& type) {
    struct Row {
        const char* code; // the three letters after 0xA9
        const char* label;
    };
    static constexpr Row kRows[] = {
        {"nam", "Full Name"},
        {"cpy", "Copyright"},
        {"day", "Date"},
        {"dir", "Director"},
        {"ed", "Edit"},
        {"fmt", "Format"},
        {"inf", "Information"},
        {"prd", "Producer"},
        {"prf", "Perfomers"},
        {"req", "Requirements"},
        {"src", "Original Source"},
        {"wrt", "Writer"},
        {"swr", "Software"},
        {"mod", "Model"},
        {"aut", "Author"},
    };
    if (type[0] == 0xA9) {
        for (const Row& row : kRows) {
            // "Edit" matches 0xA9 "ed" with any fourth byte.
            const std::size_t length = std::strlen(row.code);
            if (std::memcmp(type.data() + 1, row.code, length) == 0) {
                return row.label;
            }
        }
    }
    const auto* text = reinterpret_cast<const char*>(type.data());
    return std::string(text, strnlen(text, 4));
}

void CQuickTimeReader::AppendUserDataItem(const AtomNode& node) {
    // The length and language bytes in front of the text are not
    // interpreted: they go through the same treatment as the text.
    std::string text(reinterpret_cast<const char*>(node.Data), node.DataLength);
    std::replace(text.begin(), text.end(), '\0', ' ');
    Comments += UserDataLabel(node.AtomType);
    Comments += ": ";
    Comments += TrimBelow33(text);
    Comments += "\r\n";
}

} // namespace vidarium

// The compressed movie header of a QuickTime movie ("cmov": "dcom" + "cmvd"):
// its zlib expansion and the walk of the expanded atoms.
#include "atomheader.h"
#include "guarded.h"
#include "movreader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

namespace vidarium {
namespace {

// inflateEnd on every path out of the expansion.
class InflateStream {
public:
    InflateStream() : ready_(inflateInit(&stream_) == Z_OK) {}
    ~InflateStream() {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    bool Ready() const { return ready_; }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
    z_stream* operator->() { return &stream_; }
    z_stream* get() { return &stream_; }

private:
    z_stream stream_{};
    bool ready_;
};

// Expands a zlib stream. The output starts at the declared size, but never
// larger than what the input can expand to nor than kMaxExpandedStart, or at
// one growth step when none is declared; it grows by the step (the input
// length rounded up to 256) until the stream ends. Every byte produced is
// taken from `budget`, also when the expansion then fails; going past the
// budget is a fault. A fault gives nothing (no exception: a file may hold
// thousands of broken compressed headers, and each must cost little).
std::optional<std::vector<std::uint8_t>> Inflate(std::span<const std::uint8_t> input,
                                                 std::uint64_t inputLength, std::uint32_t expected,
                                                 std::size_t& budget) {
    if (expected >= 0x80000000U) {
        return std::nullopt; // declared expanded size of 2 GiB or more
    }
    const auto step = static_cast<std::size_t>((inputLength + 255) / 256 * 256);
    const std::size_t expandable =
        input.size() * CQuickTimeReader::kMaxInflateRatio + CQuickTimeReader::kInflateSlack;
    const std::size_t ceiling = budget;
    std::size_t size =
        expected != 0
            ? std::min({std::size_t{expected}, CQuickTimeReader::kMaxExpandedStart, expandable})
            : step;
    size = std::min(size, ceiling);
    // Not zero-filled: only the bytes produced are ever touched.
    auto output = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    std::size_t capacity = size;

    InflateStream stream;
    if (!stream.Ready()) {
        return std::nullopt;
    }
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t produced = 0;
    for (;;) {
        if (produced == size) {
            if (step == 0 || size >= ceiling) {
                return std::nullopt; // expanded movie header too large
            }
            size = std::min(size + step, ceiling);
            if (size > capacity) {
                // Grow the storage geometrically, so that a small step
                // cannot make the expansion quadratic.
                capacity = std::min(std::max(capacity * 2, size), ceiling);
                auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
                std::memcpy(grown.get(), output.get(), produced);
                output = std::move(grown);
            }
        }
        stream->next_out = output.get() + produced;
        stream->avail_out = static_cast<uInt>(
            std::min<std::size_t>(size - produced, std::numeric_limits<uInt>::max()));
        const uInt before = stream->avail_out;
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        const std::size_t made = before - stream->avail_out;
        produced += made;
        budget -= made;
        if (result == Z_STREAM_END) {
            break; // input bytes after the end of the stream are ignored
        }
        if (result != Z_OK && result != Z_BUF_ERROR) {
            return std::nullopt; // corrupt compressed movie header
        }
        if (produced < size && stream->avail_in == 0) {
            return std::nullopt; // compressed movie header ends early
        }
    }
    return std::vector<std::uint8_t>(output.get(), output.get() + produced);
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
    // Once the load's expansion budget is spent, a further compressed header
    // stays as it is.
    if (!IsFourCC(method, "zlib") || ExpansionNesting(node) >= kMaxExpansionNesting ||
        expandedBytes_ >= kExpansionBudget) {
        return;
    }
    const std::span<const std::uint8_t> payload = node.Payload();
    std::vector<std::uint8_t> expanded;
    std::size_t budget = kExpansionBudget - expandedBytes_;
    std::optional<std::vector<std::uint8_t>> inflated;
    try {
        inflated =
            Inflate(payload.size() > 4 ? payload.subspan(4) : std::span<const std::uint8_t>(),
                    node.Size - 4, LoadBe32(payload, 0), budget);
    } catch (...) {
        // An exhausted resource: a fault of this step like any other.
    }
    expandedBytes_ = kExpansionBudget - budget;
    if (!inflated) {
        return; // the node keeps its compressed payload and gets no children
    }
    expanded = std::move(*inflated);
    // The expanded buffer replaces the compressed payload; the nodes made from
    // it borrow their payloads from it.
    node.Owned = std::move(expanded);
    node.Data = node.Owned.empty() ? reinterpret_cast<const std::uint8_t*>("") : node.Owned.data();
    node.DataLength = node.Owned.size();
    node.Size = node.Owned.size();
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
    if (end - cursor < static_cast<std::ptrdiff_t>(AtomHeader::kShortLength) ||
        atoms_.size() >= kMaxAtoms) {
        return false;
    }
    // Expanded data keeps the 32-bit header: a size below 8 (the 64-bit
    // marker 1 among them) is a fault that ends the whole memory walk.
    const AtomHeader header = DecodeAtomHeader(std::span(cursor, AtomHeader::kShortLength));
    cursor += AtomHeader::kShortLength;
    const std::optional<std::uint64_t> declaredPayload = header.PayloadLength();
    if (!declaredPayload || *declaredPayload > 2147483646U) {
        throw ReaderFault("atom size in expanded data");
    }
    AtomNode* node = AddChildAtom(parent);
    node->AtomType = header.Type;
    node->Borrowed = true;
    // An atom that claims more than its range holds is cut at the range's end.
    const auto payload = static_cast<std::size_t>(
        std::min<std::uint64_t>(*declaredPayload, static_cast<std::uint64_t>(end - cursor)));
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

} // namespace vidarium

// The compressed movie header of a QuickTime movie ("cmov": "dcom" + "cmvd"):
// its zlib expansion and the walk of the expanded atoms.
#include "atomheader.h"
#include "guarded.h"
#include "movreader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
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

// Expands a zlib stream. Every byte produced is taken from `budget`, also
// when the expansion then fails; going past the budget is a fault. A fault
// gives nothing (no exception: a file may hold thousands of broken compressed
// headers, and each must cost little).
//
// The stream is expanded twice: once into a small scratch buffer, only to
// learn whether it ends within the budget and how long it is, then into a
// buffer of exactly that length. The result and the faults are those of an
// output buffer that starts at the declared size and grows by the input
// length rounded up to 256; but a stream that expands to hundreds of
// megabytes before it fails costs time, not memory.
std::optional<std::vector<std::uint8_t>> Inflate(std::span<const std::uint8_t> input,
                                                 std::uint32_t expected, std::size_t& budget,
                                                 const LoadStop& stop) {
    if (expected >= 0x80000000U) {
        return std::nullopt; // declared expanded size of 2 GiB or more
    }
    InflateStream stream;
    if (!stream.Ready()) {
        return std::nullopt;
    }
    const std::size_t ceiling = budget;
    std::array<std::uint8_t, 16 * 1024> scratch; // NOLINT: written before it is read
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t produced = 0;
    for (;;) {
        stop.Check();
        if (produced == ceiling) {
            return std::nullopt; // expanded movie header too large
        }
        stream->next_out = scratch.data();
        stream->avail_out =
            static_cast<uInt>(std::min<std::size_t>(scratch.size(), ceiling - produced));
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
        if (stream->avail_out > 0 && stream->avail_in == 0) {
            return std::nullopt; // compressed movie header ends early
        }
    }

    // One byte more than the count, so that the second expansion can only
    // end where the first did.
    std::vector<std::uint8_t> output(produced + 1);
    if (inflateReset(stream.get()) != Z_OK) {
        return std::nullopt;
    }
    stream->next_in = const_cast<Bytef*>(input.data());
    stream->avail_in = static_cast<uInt>(input.size());
    std::size_t written = 0;
    for (;;) {
        stream->next_out = output.data() + written;
        stream->avail_out =
            static_cast<uInt>(std::min<std::size_t>(output.size() - written, 1U << 30));
        const uInt before = stream->avail_out;
        const int result = inflate(stream.get(), Z_NO_FLUSH);
        written += before - stream->avail_out;
        if (result == Z_STREAM_END && written == produced) {
            output.pop_back();
            return output;
        }
        if (result != Z_OK || written > produced) {
            return std::nullopt;
        }
    }
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
    const AtomNode* compression = ChildrenOf(node.Parent).CompressionMethod;
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
    std::size_t budget = kExpansionBudget - expandedBytes_;
    std::optional<std::vector<std::uint8_t>> inflated;
    try {
        inflated =
            Inflate(payload.size() > 4 ? payload.subspan(4) : std::span<const std::uint8_t>(),
                    LoadBe32(payload, 0), budget, stop_);
    } catch (const LoadStopped&) {
        throw;
    } catch (...) {
        // An exhausted resource: a fault of this step like any other.
    }
    expandedBytes_ = kExpansionBudget - budget;
    if (!inflated) {
        return; // the node keeps its compressed payload and gets no children
    }
    // The expanded buffer replaces the compressed payload; the nodes made from
    // it borrow their payloads from it.
    memory_.Add(inflated->size());
    node.Owned = std::move(*inflated);
    node.Data = node.Owned.empty() ? reinterpret_cast<const std::uint8_t*>("") : node.Owned.data();
    node.DataLength = node.Owned.size();
    node.Size = node.Owned.size();
    node.Borrowed = false;
    const std::uint8_t* cursor = node.Data;
    const std::uint8_t* const end = node.Data + node.DataLength;
    try {
        while (ReadAtomFromMemory(cursor, end, &node, 0)) {
        }
    } catch (const LoadStopped&) {
        throw;
    } catch (...) {
        // The nodes made before the fault stay.
    }
}

bool CQuickTimeReader::ReadAtomFromMemory(const std::uint8_t*& cursor, const std::uint8_t* end,
                                          AtomNode* parent, int depth) {
    stop_.Check();
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

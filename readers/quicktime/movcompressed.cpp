// The compressed movie header of a QuickTime movie ("cmov": "dcom" + "cmvd"):
// its zlib expansion and the walk of the expanded atoms.
#include "atomheader.h"
#include "guarded.h"
#include "inflate.h"
#include "movreader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace vidarium {
namespace {

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
    // Counted before it is made, so that no other load starts beside it
    // while it computes.
    const std::size_t expected = ExpectedExpansion(
        LoadBe32(payload, 0), payload.size() > 4 ? payload.size() - 4 : 0, budget);
    memory_.Add(expected);
    std::optional<std::vector<std::uint8_t>> inflated;
    try {
        inflated = InflateMovieHeader(payload.size() > 4 ? payload.subspan(4)
                                                         : std::span<const std::uint8_t>(),
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
    memory_.Add(inflated->size() - std::min(expected, inflated->size()));
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

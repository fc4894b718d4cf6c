// The header of a QuickTime atom: one decoder for the file walk and the walk
// of an expanded movie header, which differ only in what they make of it.
#pragma once

#include "byteorder.h"

#include <cstdint>
#include <optional>
#include <span>

namespace vidarium {

struct AtomHeader {
    static constexpr std::size_t kShortLength = 8;
    static constexpr std::size_t kExtendedLength = 16;
    // A 32-bit size of 1 says that a 64-bit size follows the type.
    static constexpr std::uint32_t kExtendedSizeMarker = 1;

    FourCC Type{};
    // The whole atom, header included, as declared.
    std::uint64_t DeclaredSize = 0;
    std::size_t HeaderLength = kShortLength;

    // The payload length, or nothing when the declared size does not even
    // cover the header (this includes 0, "to the end of the file", and an
    // extended marker read under the 32-bit rule).
    std::optional<std::uint64_t> PayloadLength() const {
        if (DeclaredSize < HeaderLength) {
            return std::nullopt;
        }
        return DeclaredSize - HeaderLength;
    }
};

// True when the 8 header bytes announce the 64-bit form.
inline bool AnnouncesExtendedSize(std::span<const std::uint8_t> header) {
    return LoadBe32(header, 0) == AtomHeader::kExtendedSizeMarker;
}

// Decodes `header`: 8 bytes for the 32-bit form, or 16 bytes when the caller
// understands the 64-bit form and the first 8 announce it. Given only 8 bytes,
// a 64-bit announcement decodes as the 32-bit size 1.
inline AtomHeader DecodeAtomHeader(std::span<const std::uint8_t> header) {
    AtomHeader decoded;
    decoded.Type = LoadFourCC(header, 4);
    decoded.DeclaredSize = LoadBe32(header, 0);
    if (AnnouncesExtendedSize(header) && header.size() >= AtomHeader::kExtendedLength) {
        decoded.DeclaredSize = LoadBe64(header, 8);
        decoded.HeaderLength = AtomHeader::kExtendedLength;
    }
    return decoded;
}

} // namespace vidarium

// EBML, the element syntax of Matroska and WebM: variable-length integers,
// element headers and the values of their payloads. Each decoder reads
// only its span.
#pragma once

#include "byteorder.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vidarium::mkv {

constexpr std::uint64_t kUnknownSize = UINT64_MAX;

// A variable-length integer of EBML: its value (without the length marker
// for a size, with it for an ID) and its length; nothing when the first
// byte announces more than `maxLength` bytes or the bytes run out.
struct Vint {
    std::uint64_t Value = 0;
    std::size_t Length = 0;
};
std::optional<Vint> DecodeVint(ByteSpan bytes, std::size_t maxLength, bool keepMarker);

// An element's header: an ID of at most 4 bytes and a size of at most 8.
constexpr std::int64_t kLongestHeader = 12;

struct Header {
    std::uint32_t Id = 0;
    std::uint64_t Size = 0; // kUnknownSize when not stated
    std::size_t Length = 0; // of the ID and the size
};
std::optional<Header> DecodeHeader(ByteSpan bytes);

// An unsigned integer's payload (its first 8 bytes).
std::uint64_t Unsigned(ByteSpan payload);
// A float's payload of 4 or 8 bytes; nothing for another size or a value
// that is not finite.
std::optional<double> Float(ByteSpan payload);
// A string's payload up to its first null, at most `longest` bytes.
std::string Text(ByteSpan payload, std::size_t longest);

} // namespace vidarium::mkv

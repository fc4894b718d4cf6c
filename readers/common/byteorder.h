// Byte-order loads shared by every reader. Each takes a span and never reads
// past it: missing bytes count as zero, the way a short read leaves a zeroed
// record.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace vidarium {

// The AVI records are held as byte-for-byte copies of little-endian file data.
static_assert(std::endian::native == std::endian::little,
              "the AVI records are copies of little-endian file data; a big-endian host needs "
              "byte swaps in the AVI reader");

using FourCC = std::array<std::uint8_t, 4>;
// A view of a file's bytes, as every reader passes them.
using ByteSpan = std::span<const std::uint8_t>;

inline std::uint8_t ByteAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return offset < bytes.size() ? bytes[offset] : std::uint8_t{0};
}

// The bytes from `offset` on: empty when the span is shorter.
inline std::span<const std::uint8_t> BytesFrom(std::span<const std::uint8_t> bytes,
                                               std::size_t offset) {
    return offset < bytes.size() ? bytes.subspan(offset) : std::span<const std::uint8_t>();
}

// Up to `length` bytes from `offset`: fewer where the span ends.
inline std::span<const std::uint8_t> BytesAt(std::span<const std::uint8_t> bytes,
                                             std::size_t offset, std::size_t length) {
    const std::span<const std::uint8_t> rest = BytesFrom(bytes, offset);
    return rest.first(std::min(length, rest.size()));
}

inline std::uint16_t LoadBe16(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return static_cast<std::uint16_t>((ByteAt(bytes, offset) << 8) | ByteAt(bytes, offset + 1));
}

inline std::uint32_t LoadBe32(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return (std::uint32_t{ByteAt(bytes, offset)} << 24) |
           (std::uint32_t{ByteAt(bytes, offset + 1)} << 16) |
           (std::uint32_t{ByteAt(bytes, offset + 2)} << 8) |
           std::uint32_t{ByteAt(bytes, offset + 3)};
}

inline std::uint64_t LoadBe64(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return (std::uint64_t{LoadBe32(bytes, offset)} << 32) | LoadBe32(bytes, offset + 4);
}

inline std::uint16_t LoadLe16(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return static_cast<std::uint16_t>(ByteAt(bytes, offset) | (ByteAt(bytes, offset + 1) << 8));
}

inline std::uint32_t LoadLe32(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return std::uint32_t{ByteAt(bytes, offset)} | (std::uint32_t{ByteAt(bytes, offset + 1)} << 8) |
           (std::uint32_t{ByteAt(bytes, offset + 2)} << 16) |
           (std::uint32_t{ByteAt(bytes, offset + 3)} << 24);
}

inline std::uint64_t LoadLe64(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return std::uint64_t{LoadLe32(bytes, offset)} |
           (std::uint64_t{LoadLe32(bytes, offset + 4)} << 32);
}

inline FourCC LoadFourCC(std::span<const std::uint8_t> bytes, std::size_t offset = 0) {
    return {ByteAt(bytes, offset), ByteAt(bytes, offset + 1), ByteAt(bytes, offset + 2),
            ByteAt(bytes, offset + 3)};
}

// Exact four-byte comparison with a four-letter literal.
inline bool IsFourCC(const FourCC& code, const char (&literal)[5]) {
    return std::memcmp(code.data(), literal, 4) == 0;
}

// The code's bytes up to its first zero byte.
inline std::string CodeText(const FourCC& code) {
    const auto end = std::find(code.begin(), code.end(), std::uint8_t{0});
    return {code.begin(), end};
}

} // namespace vidarium

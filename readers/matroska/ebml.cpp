#include "ebml.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace vidarium::mkv {

std::optional<Vint> DecodeVint(ByteSpan bytes, std::size_t maxLength, bool keepMarker) {
    if (bytes.empty() || bytes[0] == 0) {
        return std::nullopt;
    }
    const std::size_t length = static_cast<std::size_t>(std::countl_zero(bytes[0])) + 1;
    if (length > maxLength || length > bytes.size()) {
        return std::nullopt;
    }
    std::uint64_t value = keepMarker ? bytes[0] : bytes[0] & (0xFFU >> length);
    bool allOnes = value == (0xFFU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 8) | bytes[i];
        allOnes = allOnes && bytes[i] == 0xFF;
    }
    if (!keepMarker && allOnes) {
        value = kUnknownSize; // "unknown": to the end of the parent
    }
    return Vint{value, length};
}

std::optional<Header> DecodeHeader(ByteSpan bytes) {
    const auto id = DecodeVint(bytes, 4, true);
    if (!id) {
        return std::nullopt;
    }
    const auto size = DecodeVint(bytes.subspan(id->Length), 8, false);
    if (!size) {
        return std::nullopt;
    }
    return Header{static_cast<std::uint32_t>(id->Value), size->Value, id->Length + size->Length};
}

std::uint64_t Unsigned(ByteSpan payload) {
    std::uint64_t value = 0;
    for (const std::uint8_t byte : payload.first(std::min<std::size_t>(payload.size(), 8))) {
        value = (value << 8) | byte;
    }
    return value;
}

std::optional<double> Float(ByteSpan payload) {
    if (payload.size() == 4) {
        float value = 0;
        const std::uint32_t bits = LoadBe32(payload, 0);
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
    }
    if (payload.size() == 8) {
        double value = 0;
        const std::uint64_t bits = LoadBe64(payload, 0);
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
    }
    return std::nullopt;
}

std::string Text(ByteSpan payload, std::size_t longest) {
    const ByteSpan kept = payload.first(std::min(payload.size(), longest));
    const auto end = std::find(kept.begin(), kept.end(), std::uint8_t{0});
    return {kept.begin(), end};
}

} // namespace vidarium::mkv

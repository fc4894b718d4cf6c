// What MPEG's packetised streams (transport and program streams) share: the
// PES headers and their timestamps. What the packets carry is read in
// codecs/elementary.
#pragma once

#include "elementary.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidarium::pes {

inline constexpr std::uint64_t kPtsWrap = std::uint64_t{1} << 33;
inline constexpr std::uint64_t kPtsPerSecond = elementary::kClockRate;
// Neighbouring timestamps further apart than this, or going back further
// than frames reordered for prediction do, mark joined recordings.
inline constexpr std::uint64_t kLargestStep = 60 * kPtsPerSecond;
inline constexpr std::uint64_t kLargestStepBack = 10 * kPtsPerSecond;
// Timestamps kept per stream from each window.
inline constexpr std::size_t kMaxTimestamps = 64;

// A 33-bit timestamp of a PES header, from its five bytes.
std::uint64_t Timestamp(ByteSpan bytes);

// A PES packet's header: its presentation time, and where its data begins.
struct PesHeader {
    std::optional<std::uint64_t> Pts;
    std::size_t DataOffset = 0;
};
// The header of the PES packet that `packet` begins with (its start code
// first). MPEG-2's syntax, as transport streams carry it; with
// `mpeg1Syntax`, a header without MPEG-2's marker is read in MPEG-1's (a
// program stream of MPEG-1). Nothing when the header runs past the bytes.
std::optional<PesHeader> ParseHeader(ByteSpan packet, bool mpeg1Syntax);

// Whether neighbouring timestamps jump: joined recordings.
bool Jumps(const std::vector<std::uint64_t>& times);
// The last of a window's last frames: B-frames come out of order.
std::uint64_t LastFrameTime(const std::vector<std::uint64_t>& times);
// Keeps the last kMaxTimestamps times of a window.
void KeepLast(std::vector<std::uint64_t>& times, std::uint64_t time);

} // namespace vidarium::pes

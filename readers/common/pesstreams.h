// What MPEG's packetised streams (transport and program streams) share: the
// timestamps of PES headers, and the first headers of an elementary video or
// sound stream gathered from its first packets.
#pragma once

#include "codecconfig.h"
#include "codecnames.h"
#include "mediasummary.h"
#include "streamheaders.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vidarium::pes {

inline constexpr std::uint64_t kPtsWrap = std::uint64_t{1} << 33;
// Frame rates from this up are a timing's ceiling, not a stream's rate.
inline constexpr double kLargestFrameRate = 1000;
inline constexpr std::uint64_t kPtsPerSecond = 90000;
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

// The first NAL unit of `type` in an elementary stream's bytes, up to the
// next start code.
std::optional<ByteSpan> FindNal(ByteSpan bytes, unsigned type, bool hevc);
// Whether one of the first SEI units in `bytes` carries HDR10's static
// metadata.
bool AnySeiCarriesHdr10(ByteSpan bytes, bool hevc);
// The first start code whose last byte, under `mask`, is `code`.
std::optional<std::size_t> FindStartCode(ByteSpan bytes, std::uint8_t code,
                                         std::uint8_t mask = 0xFF);

// A video stream's picture from its first bytes: the AVC or HEVC sequence
// parameter set, or the MPEG-1/2 sequence header and its extension; without
// timing there, the smallest step between the first frames' times.
PictureFormat DescribePicture(Codec format, ByteSpan bytes,
                              const std::vector<std::uint64_t>& timestamps);

// A sound stream from its first bytes: the codec its frames show (MPEG
// audio's layer, AC-3 or E-AC-3) and their rate, channels and bit rate.
// Described is false while the bytes hold no frame header yet.
struct SoundFormat {
    Codec Format = Codec::Unknown;
    CodecDetails Details;
    bool Described = false;
};
SoundFormat DescribeSound(Codec format, ByteSpan bytes);
// AAC in LATM (LOAS frames): the rate and channels of the first stream mux
// configuration the frames carry.
SoundFormat DescribeLatm(ByteSpan bytes);
// The summary's sound values from a described stream named `code`: the
// codec's name (else the code), and the rate, channels and bit rate its
// frames state, none where they state nothing.
void SummariseSound(MediaSummary& summary, std::string code, const SoundFormat& sound);

// The smallest step between timestamps, 0 when there is none.
std::uint64_t SmallestStep(std::vector<std::uint64_t> times);
// Whether neighbouring timestamps jump: joined recordings.
bool Jumps(const std::vector<std::uint64_t>& times);
// The last of a window's last frames: B-frames come out of order.
std::uint64_t LastFrameTime(const std::vector<std::uint64_t>& times);
// Keeps the last kMaxTimestamps times of a window.
void KeepLast(std::vector<std::uint64_t>& times, std::uint64_t time);

} // namespace vidarium::pes

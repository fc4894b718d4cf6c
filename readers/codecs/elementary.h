// What an elementary video or sound stream's first bytes tell, whichever
// container carries them (transport and program streams, Matroska's MPEG
// audio): its parameter sets and sequence headers, its frames' headers.
#pragma once

#include "byteorder.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "mediasummary.h"
#include "streamheaders.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vidarium::elementary {

// The clock of the timestamps a picture's frames are given by: MPEG
// systems' 90 kHz.
inline constexpr std::uint64_t kClockRate = 90000;
// Frame rates from this up are a timing's ceiling, not a stream's rate.
inline constexpr double kLargestFrameRate = 1000;

// The first NAL unit of `type` in an elementary stream's bytes, up to the
// next start code.
std::optional<ByteSpan> FindNal(ByteSpan bytes, unsigned type, bool hevc);
// Whether one of the first SEI units in `bytes` carries HDR10's static
// metadata.
bool AnySeiCarriesHdr10(ByteSpan bytes, bool hevc);
// The first start code whose last byte, under `mask`, is `code`.
std::optional<std::size_t> FindStartCode(ByteSpan bytes, std::uint8_t code,
                                         std::uint8_t mask = 0xFF);

// MPEG-2 Video when the first sequence header in `bytes` is followed by its
// sequence extension, else MPEG-1 Video.
Codec MpegVideoFormat(ByteSpan bytes);

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
} // namespace vidarium::elementary

// The headers inside the streams themselves, which a reader meets where no
// configuration record states what they say (a transport stream, an FLV or
// MP4 MPEG audio track): one decoder of each, missing bytes read as zero,
// nothing read past its span.
#pragma once

#include "codecconfig.h"

#include <cstdint>
#include <string>

namespace vidarium {

// The header of an MPEG audio frame: layer 1 to 3 (0 when these bytes are
// no frame header), sample rate, channels and bit rate.
struct MpegAudioHeader {
    int Layer = 0;
    std::uint32_t SampleRate = 0;
    std::uint32_t Channels = 0;
    std::uint32_t BitRate = 0;
};
MpegAudioHeader DecodeMpegAudioHeader(ByteSpan frame);

// What a video stream's own headers say of its pictures.
struct PictureFormat {
    std::uint32_t Width = 0; // 0: not stated
    std::uint32_t Height = 0;
    double FrameRate = 0; // 0: not stated
    CodecDetails Details;
};
// A sequence parameter set NAL unit of AVC or of HEVC, its header included:
// the picture size after cropping, profile, level, bit depth and, for AVC,
// the frame rate of its timing information.
PictureFormat DecodeAvcSequenceParameterSet(ByteSpan nal);
PictureFormat DecodeHevcSequenceParameterSet(ByteSpan nal);
// Whether an SEI NAL unit (its header of `headerBytes` included: 1 for AVC,
// 2 for HEVC) carries a mastering display colour volume or a content light
// level: the static metadata of HDR10, for a stream whose usability
// information does not name its transfer.
bool SeiCarriesHdr10(ByteSpan nal, std::size_t headerBytes);

// An MPEG-1/2 video sequence header, from the byte after its start code.
struct MpegSequenceHeader {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    unsigned FrameRateCode = 0;
    std::uint32_t BitRateValue = 0; // in units of 400 bit/s; 0x3FFFF: not stated
};
MpegSequenceHeader DecodeMpegSequenceHeader(ByteSpan header);
// Frame rate for a sequence header's frame-rate code (0 for codes without one).
double MpegFrameRateForCode(unsigned code);
// The profile and level of an MPEG-2 sequence extension, "Main@Main";
// empty for an escape or an unknown code.
std::string MpegProfileText(std::uint8_t profileAndLevel);

// An ADTS frame header: AAC's sample rate and channels.
CodecDetails DecodeAdtsHeader(ByteSpan frame);
// An AC-3 or E-AC-3 syncframe's header: rate, channels and bit rate.
struct Ac3FrameHeader {
    bool Valid = false;
    bool Enhanced = false; // E-AC-3
    CodecDetails Details;
};
Ac3FrameHeader DecodeAc3FrameHeader(ByteSpan frame);
// A DTS core frame's header (big-endian, 16-bit words): rate, channels
// (with the low-frequency channel) and the nominal bit rate.
CodecDetails DecodeDtsCoreHeader(ByteSpan frame);
// An MPEG-4 Visual video object layer header (after its start code): the
// picture size and, where the increment is fixed, the frame rate.
PictureFormat DecodeMpeg4VisualObjectLayer(ByteSpan header);
// A DTS-HD extension substream's header (after a core, or alone for DTS
// Express): the first asset's sample rate and channels, of the whole
// presentation (a lossless 7.1 over a 5.1 core).
CodecDetails DecodeDtsSubstreamHeader(ByteSpan frame);

} // namespace vidarium

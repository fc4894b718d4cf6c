// The codec configuration records containers carry beside a track: one
// decoder of each, shared by every reader that meets them (the ISO sample
// entry's boxes, Matroska's CodecPrivate, a transport stream's headers).
// Every decoder reads missing bytes as zero and never reads past its span.
#pragma once

#include "mediasummary.h"

#include <cstdint>
#include <span>
#include <string>

namespace vidarium {

using ByteSpan = std::span<const std::uint8_t>;

// AVCDecoderConfigurationRecord ("avcC"): profile and level, and the bit
// depth from its first sequence parameter set.
CodecDetails DecodeAvcConfig(ByteSpan record);
// The record's first sequence parameter set NAL unit; empty when it has none.
ByteSpan FirstAvcParameterSet(ByteSpan record);
// HEVCDecoderConfigurationRecord ("hvcC").
CodecDetails DecodeHevcConfig(ByteSpan record);
// AV1CodecConfigurationRecord ("av1C").
CodecDetails DecodeAv1Config(ByteSpan record);
// VPCodecConfigurationRecord ("vpcC", after its version and flags).
CodecDetails DecodeVpConfig(ByteSpan record);
// Colour information ("colr" of type "nclx" or "nclc"): the HDR transfer.
std::string HdrFromColourInformation(ByteSpan colr);
// The transfer characteristics of ISO/IEC 23091-2: PQ is HDR10, 18 HLG.
std::string HdrFromTransfer(unsigned transferCharacteristics);

// The MPEG-4 elementary stream descriptor ("esds", after version and flags).
struct DecoderConfig {
    std::uint8_t ObjectType = 0;
    std::uint32_t MaxBitRate = 0;
    std::uint32_t AverageBitRate = 0;
    ByteSpan SpecificInfo; // the AudioSpecificConfig of AAC, for example
};
DecoderConfig DecodeElementaryStreamDescriptor(ByteSpan esds);
// AudioSpecificConfig: sample rate (the SBR rate when SBR is signalled),
// channels, and SBR and PS when signalled explicitly.
CodecDetails DecodeAudioSpecificConfig(ByteSpan config);
// "dac3" and "dec3": sample rate, channels, bit rate.
CodecDetails DecodeAc3Config(ByteSpan dac3);
CodecDetails DecodeEac3Config(ByteSpan dec3);
// "dOps": channels (and 48 kHz, the rate Opus always decodes at).
CodecDetails DecodeOpusConfig(ByteSpan dops);
// FLAC STREAMINFO (the "dfLa" payload after version and flags).
CodecDetails DecodeFlacConfig(ByteSpan dfla);
// ALACSpecificConfig (the "alac" payload after version and flags).
CodecDetails DecodeAlacConfig(ByteSpan alac);

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

} // namespace vidarium

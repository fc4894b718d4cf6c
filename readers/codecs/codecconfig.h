// The codec configuration records containers carry beside a track: one
// decoder of each, shared by every reader that meets them (the ISO sample
// entry's boxes, Matroska's CodecPrivate, a transport stream's headers).
// Every decoder reads missing bytes as zero and never reads past its span.
#pragma once

#include "byteorder.h"
#include "mediasummary.h"

#include <cstdint>
#include <span>
#include <string>

namespace vidarium {

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
// "dmlp": TrueHD's format information, as in its major sync: sample rate
// and channels (of the 8-channel presentation where there is one).
CodecDetails DecodeTrueHdConfig(ByteSpan dmlp);

} // namespace vidarium

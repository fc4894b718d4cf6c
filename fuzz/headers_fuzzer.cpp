// The stream header decoders over arbitrary bytes: the parameter sets of AVC
// and HEVC, the MPEG-2 sequence header, and the ADTS and AC-3 frame headers.
#include "codecconfig.h"
#include "outcome.h"
#include "streamheaders.h"

#include <cstdio>

namespace vidarium::fuzzing {

std::string FuzzOutcome(std::span<const std::uint8_t> input) {
    const PictureFormat avc = DecodeAvcSequenceParameterSet(input);
    const PictureFormat hevc = DecodeHevcSequenceParameterSet(input);
    const MpegSequenceHeader mpeg = DecodeMpegSequenceHeader(input);
    const CodecDetails adts = DecodeAdtsHeader(input);
    const Ac3FrameHeader ac3 = DecodeAc3FrameHeader(input);
    char text[256];
    std::snprintf(text, sizeof text,
                  "avc %ux%u %.3f %d\nhevc %ux%u %d\nmpeg %ux%u %u %u\nadts %u %u\n"
                  "ac3 %d %d %u %u %u\n",
                  avc.Width, avc.Height, avc.FrameRate, avc.Details.BitDepth, hevc.Width,
                  hevc.Height, hevc.Details.BitDepth, mpeg.Width, mpeg.Height, mpeg.FrameRateCode,
                  mpeg.BitRateValue, adts.SampleRate, adts.Channels, ac3.Valid ? 1 : 0,
                  ac3.Enhanced ? 1 : 0, ac3.Details.SampleRate, ac3.Details.Channels,
                  ac3.Details.BitRate);
    return text + Escaped(avc.Details.Profile) + " " + Escaped(hevc.Details.Profile) + "\n";
}

} // namespace vidarium::fuzzing

VIDARIUM_FUZZ_ENTRY

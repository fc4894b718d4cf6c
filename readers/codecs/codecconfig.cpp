#include "codecconfig.h"

#include "codecbits.h"
#include "streamheaders.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <vector>

namespace vidarium {
using namespace codecbits;

ByteSpan FirstAvcParameterSet(ByteSpan record) {
    if ((ByteAt(record, 5) & 0x1FU) == 0 || record.size() <= 8) {
        return {};
    }
    const std::size_t length = LoadBe16(record, 6);
    return record.subspan(8).first(std::min(length, record.size() - 8));
}

CodecDetails DecodeAvcConfig(ByteSpan record) {
    CodecDetails details;
    if (record.size() < 4) {
        return details;
    }
    const unsigned profile = record[1];
    const unsigned constraints = record[2];
    const unsigned level = record[3];
    std::string levelText = TenthsText(level);
    if (level == 9 ||
        (level == 11 && (constraints & 0x10U) != 0 && (profile == 66 || profile == 77))) {
        levelText = "1b";
    }
    details.Profile = AvcProfileName(profile, constraints) + "@L" + levelText;
    details.BitDepth = 8;
    // The first sequence parameter set tells the bit depth of the high
    // profiles, decoded as a transport stream's is.
    if (const ByteSpan sps = FirstAvcParameterSet(record); !sps.empty()) {
        const PictureFormat picture = DecodeAvcSequenceParameterSet(sps);
        if (picture.Details.BitDepth > 0) {
            details.BitDepth = picture.Details.BitDepth;
        }
        details.Hdr = picture.Details.Hdr;
        details.FrameRate = picture.FrameRate;
    }
    return details;
}

CodecDetails DecodeHevcConfig(ByteSpan record) {
    CodecDetails details;
    if (record.size() < 23) {
        return details;
    }
    details.Profile = HevcProfileText(record[1] & 0x1FU, (record[1] & 0x20U) != 0, record[12]);
    details.BitDepth = static_cast<int>(8 + (record[17] & 7U));
    // HDR signalled only in the stream, and the frame rate of a file with
    // no samples yet: the sequence parameter set's usability information,
    // from the record's arrays of NAL units.
    std::size_t at = 23;
    const std::size_t arrays = record[22];
    for (std::size_t array = 0; array < arrays && at + 3 <= record.size(); ++array) {
        const unsigned type = record[at] & 0x3FU;
        const std::size_t units = LoadBe16(record, at + 1);
        at += 3;
        for (std::size_t unit = 0; unit < units && at + 2 <= record.size(); ++unit) {
            const std::size_t length = LoadBe16(record, at);
            const ByteSpan nal = record.subspan(at + 2, std::min(length, record.size() - at - 2));
            if (type == 33 && details.FrameRate == 0 && details.Hdr.empty()) {
                const PictureFormat picture = DecodeHevcSequenceParameterSet(nal);
                details.Hdr = picture.Details.Hdr;
                details.FrameRate = picture.FrameRate;
            }
            if ((type == 39 || type == 40) && details.Hdr.empty() && SeiCarriesHdr10(nal, 2)) {
                details.Hdr = "HDR10";
            }
            at += 2 + nal.size();
        }
    }
    return details;
}

CodecDetails DecodeAv1Config(ByteSpan record) {
    CodecDetails details;
    if (record.size() < 3) {
        return details;
    }
    const unsigned profile = record[1] >> 5;
    const unsigned levelIndex = record[1] & 0x1FU;
    static constexpr const char* kProfiles[] = {"Main", "High", "Professional"};
    const std::string name = profile < 3 ? kProfiles[profile] : std::to_string(profile);
    details.Profile =
        name + "@L" + std::to_string(2 + (levelIndex >> 2)) + "." + std::to_string(levelIndex & 3U);
    const bool highBitDepth = (record[2] & 0x40U) != 0;
    const bool twelveBit = (record[2] & 0x20U) != 0;
    details.BitDepth = highBitDepth ? (twelveBit ? 12 : 10) : 8;
    return details;
}

CodecDetails DecodeVpConfig(ByteSpan record) {
    CodecDetails details;
    if (record.size() < 3) {
        return details;
    }
    details.Profile = "P" + std::to_string(record[0]);
    details.BitDepth = record[2] >> 4;
    if (record.size() >= 5) {
        details.Hdr = HdrFromTransfer(record[4]);
    }
    return details;
}

std::string HdrFromTransfer(unsigned transferCharacteristics) {
    switch (transferCharacteristics) {
    case 16:
        return "HDR10";
    case 18:
        return "HLG";
    default:
        return {};
    }
}

std::string HdrFromColourInformation(ByteSpan colr) {
    const FourCC type = LoadFourCC(colr, 0);
    if (!IsFourCC(type, "nclx") && !IsFourCC(type, "nclc")) {
        return {};
    }
    return HdrFromTransfer(LoadBe16(colr, 6));
}

DecoderConfig DecodeElementaryStreamDescriptor(ByteSpan esds) {
    DecoderConfig config;
    std::size_t cursor = 0;
    // ES_Descriptor, then its DecoderConfigDescriptor, then the specific
    // information: each found by its tag, each inside the one before.
    if (ByteAt(esds, cursor++) != 0x03) {
        return config;
    }
    ReadDescriptorSize(esds, cursor);
    cursor += 2; // ES_ID
    const std::uint8_t flags = ByteAt(esds, cursor++);
    if ((flags & 0x80U) != 0) {
        cursor += 2; // dependsOn_ES_ID
    }
    if ((flags & 0x40U) != 0) {
        cursor += 1U + ByteAt(esds, cursor); // URL
    }
    if ((flags & 0x20U) != 0) {
        cursor += 2; // OCR_ES_Id
    }
    if (ByteAt(esds, cursor++) != 0x04) {
        return config;
    }
    const std::size_t configSize = ReadDescriptorSize(esds, cursor);
    const std::size_t configEnd = cursor + configSize;
    config.ObjectType = ByteAt(esds, cursor);
    config.MaxBitRate = LoadBe32(esds, cursor + 5);
    config.AverageBitRate = LoadBe32(esds, cursor + 9);
    cursor += 13;
    if (cursor < esds.size() && cursor < configEnd && esds[cursor] == 0x05) {
        ++cursor;
        const std::size_t infoSize = ReadDescriptorSize(esds, cursor);
        if (cursor < esds.size()) {
            config.SpecificInfo =
                esds.subspan(cursor).first(std::min(infoSize, esds.size() - cursor));
        }
    }
    return config;
}

namespace {

// GASpecificConfig: what lies between the core's configuration and the
// backward-compatible extension signalling.
void SkipGeneralAudioConfig(BitReader& bits, std::uint32_t objectType) {
    bits.Skip(1); // frameLengthFlag
    if (bits.Read(1) != 0) {
        bits.Skip(14); // coreCoderDelay
    }
    const bool extensionFlag = bits.Read(1) != 0;
    if (objectType == 6 || objectType == 20) {
        bits.Skip(3); // layerNr
    }
    if (extensionFlag) {
        if (objectType == 22) {
            bits.Skip(16);
        } else if (objectType == 17 || objectType == 19 || objectType == 20 || objectType == 23) {
            bits.Skip(3);
        }
        bits.Skip(1); // extensionFlag3
    }
}

// The channels of a speaker assignment whose bit n stands for `widths[n]`
// channels (a pair or a single one).
template <std::size_t Bits>
std::uint32_t AssignedChannels(std::uint32_t assignment,
                               const std::array<std::uint32_t, Bits>& widths) {
    std::uint32_t channels = 0;
    for (std::size_t bit = 0; bit < Bits; ++bit) {
        channels += ((assignment >> bit) & 1U) * widths[bit];
    }
    return channels;
}

} // namespace

CodecDetails DecodeAudioSpecificConfig(ByteSpan config) {
    CodecDetails details;
    if (config.size() < 2) {
        return details;
    }
    BitReader bits(config);
    std::uint32_t objectType = ReadAudioObjectType(bits);
    std::uint32_t sampleRate = ReadAacSampleRate(bits);
    const std::uint32_t channelConfiguration = bits.Read(4);
    std::uint32_t extensionRate = 0;
    if (objectType == 5 || objectType == 29) {
        // Explicit, hierarchical signalling: the extension's rate, then the
        // core's object type.
        details.Sbr = true;
        details.Ps = objectType == 29;
        extensionRate = ReadAacSampleRate(bits);
        objectType = ReadAudioObjectType(bits);
    }
    const bool generalAudio = objectType == 1 || objectType == 2 || objectType == 3 ||
                              objectType == 4 || objectType == 6 || objectType == 7 ||
                              (objectType >= 17 && objectType <= 23);
    if (generalAudio && channelConfiguration != 0) {
        SkipGeneralAudioConfig(bits, objectType);
        // Backward-compatible signalling after the core's configuration.
        if (!details.Sbr && bits.BitsLeft() >= 16 && bits.Read(11) == 0x2B7 &&
            ReadAudioObjectType(bits) == 5) {
            details.Sbr = bits.Read(1) != 0;
            if (details.Sbr) {
                extensionRate = ReadAacSampleRate(bits);
                if (bits.BitsLeft() >= 12 && bits.Read(11) == 0x548) {
                    details.Ps = bits.Read(1) != 0;
                }
            }
        }
    }
    if (details.Sbr && extensionRate != 0) {
        sampleRate = extensionRate;
    }
    details.SampleRate = sampleRate;
    details.Channels = AacChannels(channelConfiguration);
    if (details.Ps && details.Channels == 1) {
        details.Channels = 2; // parametric stereo makes two channels of one
    }
    static constexpr std::array<const char*, 7> kProfiles{"", "Main", "LC", "SSR", "LTP", "", ""};
    if (objectType < kProfiles.size()) {
        details.Profile = kProfiles[objectType];
    }
    return details;
}

CodecDetails DecodeAc3Config(ByteSpan dac3) {
    CodecDetails details;
    if (dac3.size() < 3) {
        return details;
    }
    BitReader bits(dac3);
    const unsigned fscod = bits.Read(2);
    bits.Skip(5 + 3); // bsid, bsmod
    const unsigned acmod = bits.Read(3);
    const unsigned lfe = bits.Read(1);
    const unsigned bitRateCode = bits.Read(5);
    details.SampleRate = Ac3SampleRate(fscod);
    details.Channels = Ac3Channels(acmod, lfe);
    details.BitRate = Ac3BitRate(bitRateCode);
    return details;
}

CodecDetails DecodeEac3Config(ByteSpan dec3) {
    CodecDetails details;
    if (dec3.size() < 5) {
        return details;
    }
    BitReader bits(dec3);
    details.BitRate = bits.Read(13) * 1000;
    bits.Skip(3); // num_ind_sub: the first independent substream is described
    const unsigned fscod = bits.Read(2);
    bits.Skip(5 + 1 + 1 + 3); // bsid, reserved, asvc, bsmod
    const unsigned acmod = bits.Read(3);
    const unsigned lfe = bits.Read(1);
    bits.Skip(3);
    const unsigned dependent = bits.Read(4);
    std::uint32_t channels = Ac3Channels(acmod, lfe);
    if (dependent > 0) {
        // Locations the dependent substreams add.
        static constexpr std::array<std::uint32_t, 9> kWidth{1, 1, 2, 2, 2, 1, 1, 2, 2};
        channels += AssignedChannels(bits.Read(9), kWidth);
    }
    details.SampleRate = Ac3SampleRate(fscod);
    details.Channels = channels;
    return details;
}

CodecDetails DecodeOpusConfig(ByteSpan dops) {
    CodecDetails details;
    if (dops.size() >= 2) {
        details.Channels = dops[1];
        details.SampleRate = 48000;
    }
    return details;
}

CodecDetails DecodeFlacConfig(ByteSpan dfla) {
    CodecDetails details;
    // The first metadata block must be STREAMINFO.
    if (dfla.size() < 4 + 18 || (dfla[0] & 0x7FU) != 0) {
        return details;
    }
    BitReader bits(dfla.subspan(4 + 10));
    details.SampleRate = bits.Read(20);
    details.Channels = bits.Read(3) + 1;
    details.BitDepth = static_cast<int>(bits.Read(5) + 1);
    return details;
}

CodecDetails DecodeAlacConfig(ByteSpan alac) {
    CodecDetails details;
    if (alac.size() >= 24) {
        details.BitDepth = alac[5];
        details.Channels = alac[9];
        details.BitRate = LoadBe32(alac, 16);
        details.SampleRate = LoadBe32(alac, 20);
    }
    return details;
}

CodecDetails DecodeTrueHdConfig(ByteSpan dmlp) {
    CodecDetails details;
    if (dmlp.size() < 4) {
        return details;
    }
    BitReader bits(dmlp);
    const unsigned rateCode = bits.Read(4);
    // 48 kHz and 44.1 kHz, times 1, 2 or 4.
    if ((rateCode & 7U) <= 2) {
        details.SampleRate = ((rateCode & 8U) != 0 ? 44100U : 48000U) << (rateCode & 7U);
    }
    bits.Skip(8); // the multichannel types
    // The 6-channel assignment uses the first 5 of the 8-channel one's bits.
    static constexpr std::array<std::uint32_t, 13> kWidth{2, 1, 1, 2, 2, 2, 2, 1, 1, 2, 2, 1, 1};
    const std::uint32_t sixChannel = AssignedChannels(bits.Read(5), kWidth);
    bits.Skip(2);
    const std::uint32_t eightChannel = AssignedChannels(bits.Read(13), kWidth);
    details.Channels = eightChannel != 0 ? eightChannel : sixChannel;
    return details;
}

} // namespace vidarium

#include "streamheaders.h"

#include "codecbits.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <vector>

namespace vidarium {
using namespace codecbits;

MpegAudioHeader DecodeMpegAudioHeader(ByteSpan frame) {
    MpegAudioHeader header;
    const std::uint32_t word = LoadBe32(frame, 0);
    if (frame.size() < 4 || (word >> 21) != 0x7FF) {
        return header;
    }
    const unsigned version = (word >> 19) & 3U; // 0: 2.5, 2: 2, 3: 1
    const unsigned layerBits = (word >> 17) & 3U;
    const unsigned bitRateIndex = (word >> 12) & 15U;
    const unsigned rateIndex = (word >> 10) & 3U;
    if (version == 1 || layerBits == 0 || bitRateIndex == 15 || rateIndex == 3) {
        return header;
    }
    header.Layer = static_cast<int>(4 - layerBits);
    static constexpr std::array<std::uint32_t, 3> kRates{44100, 48000, 32000};
    const std::uint32_t divisor = version == 3 ? 1 : version == 2 ? 2 : 4;
    header.SampleRate = kRates[rateIndex] / divisor;
    header.Channels = ((word >> 6) & 3U) == 3 ? 1 : 2;
    static constexpr std::uint16_t kKbits[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    header.BitRate =
        std::uint32_t{kKbits[version == 3 ? 0 : 1][header.Layer - 1][bitRateIndex]} * 1000;
    return header;
}

} // namespace vidarium

namespace vidarium {
namespace {

// A NAL unit's payload without its emulation-prevention bytes (00 00 03),
// at most the first 4 KiB: every field read lies there.
std::vector<std::uint8_t> RawPayload(ByteSpan nal) {
    std::vector<std::uint8_t> raw;
    std::size_t zeros = 0;
    for (const std::uint8_t byte : nal.first(std::min<std::size_t>(nal.size(), 4096))) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        raw.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return raw;
}

void SkipScalingList(BitReader& bits, unsigned size) {
    std::int64_t last = 8;
    std::int64_t next = 8;
    for (unsigned j = 0; j < size && !bits.Exhausted(); ++j) {
        if (next != 0) {
            next = (last + bits.ReadSignedExpGolomb() + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// Picture sizes beyond this are not a parameter set's.
constexpr std::uint32_t kMaxPictureSide = 16384;

// A parameter set's cropping window: left, right, top and bottom offsets in
// units of `unitX` and `unitY` samples.
void Crop(BitReader& bits, std::uint64_t unitX, std::uint64_t unitY, std::uint64_t& width,
          std::uint64_t& height) {
    const std::uint64_t left = bits.ReadUnsignedExpGolomb();
    const std::uint64_t right = bits.ReadUnsignedExpGolomb();
    const std::uint64_t top = bits.ReadUnsignedExpGolomb();
    const std::uint64_t bottom = bits.ReadUnsignedExpGolomb();
    const std::uint64_t cropX = unitX * (left + right);
    const std::uint64_t cropY = unitY * (top + bottom);
    width = cropX < width ? width - cropX : 0;
    height = cropY < height ? height - cropY : 0;
}

// Keeps a picture size read whole and within bounds; false otherwise.
bool SetPictureSize(const BitReader& bits, std::uint64_t width, std::uint64_t height,
                    PictureFormat& format) {
    if (width > kMaxPictureSide || height > kMaxPictureSide || bits.Exhausted()) {
        return false;
    }
    format.Width = static_cast<std::uint32_t>(width);
    format.Height = static_cast<std::uint32_t>(height);
    return true;
}

} // namespace

namespace {

// The chroma format, the luma bit depth and the scaling lists of the high
// profiles' parameter sets; returns the chroma format.
std::uint32_t ReadAvcChromaFormat(BitReader& bits, CodecDetails& details) {
    const std::uint32_t chroma = bits.ReadUnsignedExpGolomb();
    if (chroma == 3) {
        bits.Skip(1);
    }
    if (const std::uint32_t extra = bits.ReadUnsignedExpGolomb(); extra <= 6) {
        details.BitDepth = static_cast<int>(8 + extra);
    }
    bits.ReadUnsignedExpGolomb(); // chroma bit depth
    bits.Skip(1);
    if (bits.Read(1) != 0) {
        for (unsigned list = 0; list < (chroma != 3 ? 8U : 12U); ++list) {
            if (bits.Read(1) != 0) {
                SkipScalingList(bits, list < 6 ? 16 : 64);
            }
        }
    }
    return chroma;
}

// The picture order count fields; false when a cycle is too long to be a
// real one.
bool SkipAvcPictureOrder(BitReader& bits) {
    const std::uint32_t order = bits.ReadUnsignedExpGolomb();
    if (order == 0) {
        bits.ReadUnsignedExpGolomb();
    } else if (order == 1) {
        bits.Skip(1);
        bits.ReadSignedExpGolomb();
        bits.ReadSignedExpGolomb();
        const std::uint32_t cycle = bits.ReadUnsignedExpGolomb();
        if (cycle > 255) {
            return false;
        }
        for (std::uint32_t i = 0; i < cycle; ++i) {
            bits.ReadSignedExpGolomb();
        }
    }
    return true;
}

// The start of AVC's and HEVC's video usability information, up to the
// colour description: its transfer characteristics, when it has one.
std::optional<unsigned> ReadVuiTransfer(BitReader& bits) {
    if (bits.Read(1) != 0 && bits.Read(8) == 255) {
        bits.Skip(32); // sample aspect ratio
    }
    if (bits.Read(1) != 0) {
        bits.Skip(1); // overscan
    }
    if (bits.Read(1) == 0) {
        return std::nullopt; // no video signal type
    }
    bits.Skip(4); // video format, full range
    if (bits.Read(1) == 0) {
        return std::nullopt; // no colour description
    }
    bits.Skip(8); // colour primaries
    const unsigned transfer = bits.Read(8);
    bits.Skip(8); // matrix coefficients
    return transfer;
}

// The video usability information: the transfer characteristics and the
// timing.
void ReadAvcVui(BitReader& bits, PictureFormat& format) {
    if (const auto transfer = ReadVuiTransfer(bits)) {
        format.Details.Hdr = HdrFromTransfer(*transfer);
    }
    if (bits.Read(1) != 0) {
        bits.ReadUnsignedExpGolomb();
        bits.ReadUnsignedExpGolomb();
    }
    if (bits.Read(1) != 0) {
        const std::uint32_t units = bits.Read(32);
        const std::uint32_t scale = bits.Read(32);
        if (units > 0 && scale > 0 && !bits.Exhausted()) {
            format.FrameRate = static_cast<double>(scale) / (2.0 * static_cast<double>(units));
        }
    }
}

// An HEVC short-term reference picture set of a sequence parameter set;
// `deltas` holds each earlier set's count of pictures. False when it is
// not one a stream can hold.
bool SkipShortTermSet(BitReader& bits, std::size_t index, std::vector<std::uint32_t>& deltas) {
    std::uint32_t count = 0;
    if (index != 0 && bits.Read(1) != 0) {
        bits.Skip(1); // the sign of the delta
        bits.ReadUnsignedExpGolomb();
        for (std::uint32_t j = 0; j <= deltas.back(); ++j) {
            const bool used = bits.Read(1) != 0;
            count += used || bits.Read(1) != 0 ? 1U : 0U;
        }
    } else {
        const std::uint32_t negative = bits.ReadUnsignedExpGolomb();
        const std::uint32_t positive = bits.ReadUnsignedExpGolomb();
        if (negative > 16 || positive > 16) {
            return false;
        }
        for (std::uint32_t j = 0; j < negative + positive; ++j) {
            bits.ReadUnsignedExpGolomb();
            bits.Skip(1);
        }
        count = negative + positive;
    }
    deltas.push_back(std::min<std::uint32_t>(count, 32));
    return !bits.Exhausted();
}

void SkipHevcScalingLists(BitReader& bits) {
    for (unsigned size = 0; size < 4; ++size) {
        for (unsigned matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
            if (bits.Read(1) == 0) {
                bits.ReadUnsignedExpGolomb();
                continue;
            }
            const unsigned coefficients = std::min(64U, 1U << (4 + (size << 1)));
            if (size > 1) {
                bits.ReadSignedExpGolomb();
            }
            for (unsigned i = 0; i < coefficients; ++i) {
                bits.ReadSignedExpGolomb();
            }
        }
    }
}

// The fields of an HEVC sequence parameter set between the bit depth and
// its usability information; false when they cannot be walked.
bool SkipHevcCodingTools(BitReader& bits, unsigned subLayers) {
    bits.ReadUnsignedExpGolomb(); // chroma bit depth
    const std::uint32_t orderBits = bits.ReadUnsignedExpGolomb() + 4;
    const bool allLayers = bits.Read(1) != 0;
    for (unsigned i = allLayers ? 0 : subLayers; i <= subLayers; ++i) {
        for (int field = 0; field < 3; ++field) {
            bits.ReadUnsignedExpGolomb();
        }
    }
    for (int field = 0; field < 6; ++field) {
        bits.ReadUnsignedExpGolomb(); // block sizes and transform depths
    }
    if (bits.Read(1) != 0 && bits.Read(1) != 0) {
        SkipHevcScalingLists(bits);
    }
    bits.Skip(2); // asymmetric motion partitions, sample adaptive offset
    if (bits.Read(1) != 0) {
        bits.Skip(8);
        bits.ReadUnsignedExpGolomb();
        bits.ReadUnsignedExpGolomb();
        bits.Skip(1);
    }
    const std::uint32_t sets = bits.ReadUnsignedExpGolomb();
    if (sets > 64 || orderBits > 16) {
        return false;
    }
    std::vector<std::uint32_t> deltas;
    for (std::uint32_t i = 0; i < sets; ++i) {
        if (!SkipShortTermSet(bits, i, deltas)) {
            return false;
        }
    }
    if (bits.Read(1) != 0) {
        const std::uint32_t longTerm = bits.ReadUnsignedExpGolomb();
        if (longTerm > 32) {
            return false;
        }
        bits.Skip(std::size_t{longTerm} * (orderBits + 1));
    }
    bits.Skip(2); // temporal motion vector prediction, strong intra smoothing
    return !bits.Exhausted();
}

// The usability information's transfer characteristics (PQ or HLG) and
// timing.
void ReadHevcVui(BitReader& bits, PictureFormat& format) {
    if (bits.Read(1) == 0) {
        return;
    }
    if (const auto transfer = ReadVuiTransfer(bits); transfer && !bits.Exhausted()) {
        format.Details.Hdr = HdrFromTransfer(*transfer);
    }
    if (bits.Read(1) != 0) {
        bits.ReadUnsignedExpGolomb(); // chroma sample locations
        bits.ReadUnsignedExpGolomb();
    }
    bits.Skip(3); // neutral chroma, field sequence, frame field information
    if (bits.Read(1) != 0) {
        for (int edge = 0; edge < 4; ++edge) {
            bits.ReadUnsignedExpGolomb(); // default display window
        }
    }
    if (bits.Read(1) != 0) {
        const std::uint32_t units = bits.Read(32);
        const std::uint32_t scale = bits.Read(32);
        if (units > 0 && scale > 0 && !bits.Exhausted()) {
            format.FrameRate = static_cast<double>(scale) / static_cast<double>(units);
        }
    }
}

} // namespace

PictureFormat DecodeAvcSequenceParameterSet(ByteSpan nal) {
    PictureFormat format;
    const std::vector<std::uint8_t> raw = RawPayload(nal);
    if (raw.size() < 4) {
        return format;
    }
    BitReader bits(raw);
    bits.Skip(8);
    const unsigned profile = bits.Read(8);
    const unsigned constraints = bits.Read(8);
    const unsigned level = bits.Read(8);
    format.Details.Profile = AvcProfileName(profile, constraints) + "@L" + TenthsText(level);
    format.Details.BitDepth = 8;
    bits.ReadUnsignedExpGolomb(); // seq_parameter_set_id
    const std::uint32_t chroma =
        AvcProfileHasChromaFormat(profile) ? ReadAvcChromaFormat(bits, format.Details) : 1;
    bits.ReadUnsignedExpGolomb(); // log2_max_frame_num_minus4
    if (!SkipAvcPictureOrder(bits)) {
        return format;
    }
    bits.ReadUnsignedExpGolomb(); // max_num_ref_frames
    bits.Skip(1);
    const std::uint64_t widthInBlocks = std::uint64_t{bits.ReadUnsignedExpGolomb()} + 1;
    const std::uint64_t heightInUnits = std::uint64_t{bits.ReadUnsignedExpGolomb()} + 1;
    const unsigned frameOnly = bits.Read(1);
    if (frameOnly == 0) {
        bits.Skip(1);
    }
    bits.Skip(1);
    std::uint64_t width = widthInBlocks * 16;
    std::uint64_t height = heightInUnits * 16 * (2 - frameOnly);
    if (bits.Read(1) != 0) {
        Crop(bits, chroma == 0 || chroma == 3 ? 1 : 2,
             (chroma == 1 ? 2U : 1U) * std::uint64_t{2U - frameOnly}, width, height);
    }
    if (!SetPictureSize(bits, width, height, format)) {
        return format;
    }
    if (bits.Read(1) != 0) {
        ReadAvcVui(bits, format);
    }
    return format;
}

bool SeiCarriesHdr10(ByteSpan nal, std::size_t headerBytes) {
    constexpr unsigned kMasteringDisplay = 137;
    constexpr unsigned kContentLightLevel = 144;
    // A few messages at most lead to them; a longer run is not looked at.
    constexpr int kMessages = 16;
    const std::vector<std::uint8_t> raw = RawPayload(nal);
    std::size_t at = headerBytes;
    const auto value = [&]() -> std::optional<std::size_t> {
        std::size_t sum = 0;
        while (at < raw.size() && raw[at] == 0xFF) {
            sum += 255;
            ++at;
        }
        if (at >= raw.size()) {
            return std::nullopt;
        }
        return sum + raw[at++];
    };
    for (int message = 0; message < kMessages && at < raw.size() && raw[at] != 0x80; ++message) {
        const std::optional<std::size_t> type = value();
        const std::optional<std::size_t> size = value();
        if (!type || !size) {
            return false;
        }
        if (*type == kMasteringDisplay || *type == kContentLightLevel) {
            return true;
        }
        if (*size > raw.size() - at) {
            return false;
        }
        at += *size;
    }
    return false;
}

PictureFormat DecodeHevcSequenceParameterSet(ByteSpan nal) {
    PictureFormat format;
    const std::vector<std::uint8_t> raw = RawPayload(nal);
    if (raw.size() < 16) {
        return format;
    }
    BitReader bits(raw);
    bits.Skip(16 + 4); // NAL header, video parameter set id
    const unsigned subLayers = bits.Read(3);
    bits.Skip(1 + 2);
    const bool highTier = bits.Read(1) != 0;
    const unsigned profile = bits.Read(5);
    bits.Skip(32 + 48);
    const unsigned level = bits.Read(8);
    format.Details.Profile = HevcProfileText(profile, highTier, level);
    std::array<bool, 8> profilePresent{};
    std::array<bool, 8> levelPresent{};
    for (unsigned i = 0; i < subLayers; ++i) {
        profilePresent[i] = bits.Read(1) != 0;
        levelPresent[i] = bits.Read(1) != 0;
    }
    if (subLayers > 0) {
        bits.Skip(std::size_t{2} * (8 - subLayers));
    }
    for (unsigned i = 0; i < subLayers; ++i) {
        bits.Skip((profilePresent[i] ? 88U : 0U) + (levelPresent[i] ? 8U : 0U));
    }
    bits.ReadUnsignedExpGolomb(); // seq_parameter_set_id
    const std::uint32_t chroma = bits.ReadUnsignedExpGolomb();
    if (chroma == 3) {
        bits.Skip(1);
    }
    std::uint64_t width = bits.ReadUnsignedExpGolomb();
    std::uint64_t height = bits.ReadUnsignedExpGolomb();
    if (bits.Read(1) != 0) {
        Crop(bits, chroma == 1 || chroma == 2 ? 2 : 1, chroma == 1 ? 2 : 1, width, height);
    }
    if (const std::uint32_t extra = bits.ReadUnsignedExpGolomb(); extra <= 8) {
        format.Details.BitDepth = static_cast<int>(8 + extra);
    }
    if (SetPictureSize(bits, width, height, format) && SkipHevcCodingTools(bits, subLayers)) {
        ReadHevcVui(bits, format);
    }
    return format;
}

double MpegFrameRateForCode(unsigned code) {
    static constexpr std::array<double, 14> kRates{0.0,
                                                   24000.0 / 1001.0,
                                                   24.0,
                                                   25.0,
                                                   30000.0 / 1001.0,
                                                   30.0,
                                                   50.0,
                                                   60000.0 / 1001.0,
                                                   60.0,
                                                   15.0,
                                                   5.0,
                                                   10.0,
                                                   12.0,
                                                   15.0};
    return code < kRates.size() ? kRates[code] : 0.0;
}

MpegSequenceHeader DecodeMpegSequenceHeader(ByteSpan header) {
    MpegSequenceHeader sequence;
    if (header.size() < 7) {
        return sequence;
    }
    const auto b = [&](std::size_t n) { return std::uint32_t{header[n]}; };
    sequence.Width = b(0) * 16 + (b(1) >> 4);
    sequence.Height = (b(1) & 0x0F) * 256 + b(2);
    sequence.FrameRateCode = b(3) & 0x0F;
    sequence.BitRateValue = b(4) * 1024 + b(5) * 4 + (b(6) >> 6);
    return sequence;
}

std::string MpegProfileText(std::uint8_t profileAndLevel) {
    static constexpr std::array<const char*, 8> kProfiles{"",     "High",   "Spatial", "SNR",
                                                          "Main", "Simple", "",        ""};
    const char* profile = kProfiles[(profileAndLevel >> 4) & 7U];
    const char* level = "";
    switch (profileAndLevel & 0x0FU) {
    case 4:
        level = "High";
        break;
    case 6:
        level = "High 1440";
        break;
    case 8:
        level = "Main";
        break;
    case 10:
        level = "Low";
        break;
    default:
        break;
    }
    if ((profileAndLevel & 0x80U) != 0 || *profile == '\0' || *level == '\0') {
        return {};
    }
    return std::string(profile) + "@" + level;
}

CodecDetails DecodeAdtsHeader(ByteSpan frame) {
    CodecDetails details;
    BitReader bits(frame);
    if (frame.size() < 7 || bits.Read(12) != 0xFFF) {
        return details;
    }
    bits.Skip(1 + 2 + 1 + 2); // ID, layer, protection, profile
    // ADTS has no escape to an explicit rate: an index of 13 or more states
    // none.
    const std::uint32_t index = bits.Read(4);
    details.SampleRate = index < kAacSampleRates.size() ? kAacSampleRates[index] : 0;
    bits.Skip(1);
    details.Channels = AacChannels(bits.Read(3));
    return details;
}

Ac3FrameHeader DecodeAc3FrameHeader(ByteSpan frame) {
    Ac3FrameHeader header;
    if (frame.size() < 8 || frame[0] != 0x0B || frame[1] != 0x77) {
        return header;
    }
    const unsigned bsid = frame[5] >> 3;
    BitReader bits(frame.subspan(2));
    if (bsid <= 10) {
        bits.Skip(16); // crc1
        const unsigned fscod = bits.Read(2);
        const unsigned frameSize = bits.Read(6);
        bits.Skip(5 + 3);
        const unsigned acmod = bits.Read(3);
        if ((acmod & 1U) != 0 && acmod != 1) {
            bits.Skip(2);
        }
        if ((acmod & 4U) != 0) {
            bits.Skip(2);
        }
        if (acmod == 2) {
            bits.Skip(2);
        }
        header.Details.SampleRate = Ac3SampleRate(fscod);
        header.Details.Channels = Ac3Channels(acmod, bits.Read(1));
        header.Details.BitRate = Ac3BitRate(frameSize / 2);
        header.Valid = header.Details.SampleRate > 0;
        return header;
    }
    if (bsid > 16) {
        return header;
    }
    header.Enhanced = true;
    bits.Skip(2 + 3); // stream type, substream
    const std::uint32_t words = bits.Read(11) + 1;
    const unsigned fscod = bits.Read(2);
    std::uint32_t rate = Ac3SampleRate(fscod);
    unsigned blocks = 6;
    if (fscod == 3) {
        static constexpr std::array<std::uint32_t, 4> kHalfRates{24000, 22050, 16000, 0};
        rate = kHalfRates[bits.Read(2)];
    } else {
        static constexpr std::array<unsigned, 4> kBlocks{1, 2, 3, 6};
        blocks = kBlocks[bits.Read(2)];
    }
    const unsigned acmod = bits.Read(3);
    header.Details.SampleRate = rate;
    header.Details.Channels = Ac3Channels(acmod, bits.Read(1));
    header.Details.BitRate = static_cast<std::uint32_t>(std::uint64_t{words} * 16 * rate /
                                                        (std::uint64_t{blocks} * 256));
    header.Valid = rate > 0;
    return header;
}

CodecDetails DecodeDtsCoreHeader(ByteSpan frame) {
    CodecDetails details;
    if (frame.size() < 11 || LoadBe32(frame, 0) != 0x7FFE8001U) {
        return details;
    }
    BitReader bits(frame.subspan(4));
    bits.Skip(1 + 5 + 1 + 7 + 14); // frame type, deficit, CRC flag, blocks, frame size
    const unsigned mode = bits.Read(6);
    const unsigned rateCode = bits.Read(4);
    const unsigned bitRateCode = bits.Read(5);
    bits.Skip(1 + 1 + 1 + 1 + 1 + 3 + 1 + 1); // flags and extension fields
    const unsigned lowFrequency = bits.Read(2);
    static constexpr std::array<std::uint32_t, 16> kRates{
        0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
    static constexpr std::array<std::uint32_t, 16> kChannels{1, 2, 2, 2, 2, 3, 3, 4,
                                                             4, 5, 6, 6, 6, 7, 8, 8};
    // Codes 29 to 31 are open, variable and lossless rates: none stated.
    static constexpr std::array<std::uint32_t, 29> kBitRates{
        32000,   56000,   64000,   96000,   112000,  128000,  192000,  224000,  256000,  320000,
        384000,  448000,  512000,  576000,  640000,  768000,  960000,  1024000, 1152000, 1280000,
        1344000, 1408000, 1411200, 1472000, 1536000, 1920000, 2048000, 3072000, 3840000};
    details.SampleRate = kRates[rateCode];
    if (mode < kChannels.size()) {
        details.Channels = kChannels[mode] + (lowFrequency != 0 ? 1 : 0);
    }
    details.BitRate = bitRateCode < kBitRates.size() ? kBitRates[bitRateCode] : 0;
    return details;
}

PictureFormat DecodeMpeg4VisualObjectLayer(ByteSpan header) {
    PictureFormat format;
    BitReader bits(header);
    bits.Skip(1 + 8); // random access, object type
    unsigned version = 1;
    if (bits.Read(1) != 0) {
        version = bits.Read(4);
        bits.Skip(3); // priority
    }
    if (bits.Read(4) == 15) {
        bits.Skip(16); // extended pixel aspect ratio
    }
    if (bits.Read(1) != 0) {
        bits.Skip(2 + 1); // chroma format, low delay
        if (bits.Read(1) != 0) {
            bits.Skip(79); // buffer parameters, their markers included
        }
    }
    const unsigned shape = bits.Read(2);
    if (shape == 3 && version != 1) {
        bits.Skip(4); // shape extension
    }
    bits.Skip(1); // marker
    const std::uint32_t resolution = bits.Read(16);
    bits.Skip(1); // marker
    if (bits.Read(1) != 0) {
        // The fixed increment, in as many bits as the resolution needs.
        const auto width = static_cast<unsigned>(std::bit_width(std::max(resolution, 2U) - 1));
        const std::uint32_t increment = bits.Read(width);
        if (increment > 0 && resolution > 0) {
            format.FrameRate = static_cast<double>(resolution) / static_cast<double>(increment);
        }
    }
    if (shape != 0) {
        return format; // no rectangle to size
    }
    bits.Skip(1);
    const std::uint32_t width = bits.Read(13);
    bits.Skip(1);
    const std::uint32_t height = bits.Read(13);
    if (!bits.Exhausted() && width > 0 && height > 0) {
        format.Width = width;
        format.Height = height;
    }
    return format;
}

CodecDetails DecodeDtsSubstreamHeader(ByteSpan frame) {
    CodecDetails details;
    if (frame.size() < 16 || LoadBe32(frame, 0) != 0x64582025U) {
        return details;
    }
    BitReader bits(frame.subspan(4));
    bits.Skip(8); // user-defined bits
    const unsigned index = bits.Read(2);
    const bool wideSizes = bits.Read(1) != 0;
    bits.Skip(wideSizes ? 12 + 20 : 8 + 16); // header and frame sizes
    if (bits.Read(1) == 0) {
        return details; // no static fields: nothing of the assets stated
    }
    bits.Skip(2 + 3); // reference clock, frame duration
    if (bits.Read(1) != 0) {
        bits.Skip(32 + 4); // time stamp
    }
    const unsigned presentations = bits.Read(3) + 1;
    const unsigned assets = bits.Read(3) + 1;
    std::array<unsigned, 8> activeMasks{};
    for (unsigned p = 0; p < presentations; ++p) {
        activeMasks[p] = bits.Read(index + 1);
    }
    for (unsigned p = 0; p < presentations; ++p) {
        for (unsigned ss = 0; ss <= index; ++ss) {
            if (((activeMasks[p] >> ss) & 1U) != 0) {
                bits.Skip(8); // active assets
            }
        }
    }
    if (bits.Read(1) != 0) { // mixing metadata
        bits.Skip(2);
        const unsigned maskBits = (bits.Read(2) + 1) * 4;
        const unsigned configurations = bits.Read(2) + 1;
        bits.Skip(std::size_t{configurations} * maskBits);
    }
    bits.Skip(std::size_t{assets} * (wideSizes ? 20 : 16)); // asset sizes
    // The first asset's descriptor.
    bits.Skip(9 + 3); // its size and index
    if (bits.Read(1) != 0) {
        bits.Skip(4); // asset type
    }
    if (bits.Read(1) != 0) {
        bits.Skip(24); // language
    }
    if (bits.Read(1) != 0) {
        bits.Skip(std::size_t{bits.Read(10) + 1} * 8); // information text
    }
    bits.Skip(5); // bit resolution
    static constexpr std::array<std::uint32_t, 16> kRates{
        8000,   16000,  32000, 64000, 128000, 22050, 44100,  88200,
        176400, 352800, 12000, 24000, 48000,  96000, 192000, 384000};
    const std::uint32_t rate = kRates[bits.Read(4)];
    const unsigned channels = bits.Read(8) + 1;
    if (!bits.Exhausted()) {
        details.SampleRate = rate;
        details.Channels = channels;
    }
    return details;
}

} // namespace vidarium

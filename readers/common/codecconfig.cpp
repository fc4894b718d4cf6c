#include "codecconfig.h"

#include "byteorder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <vector>

namespace vidarium {
namespace {

// Reads bits most significant first; bits past the span's end read as zero.
class BitReader {
public:
    explicit BitReader(ByteSpan bytes) : bytes_(bytes) {}

    std::uint32_t Read(unsigned count) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            const std::size_t byte = position_ / 8;
            const unsigned shift = 7 - static_cast<unsigned>(position_ % 8);
            value = (value << 1) | ((ByteAt(bytes_, byte) >> shift) & 1U);
            ++position_;
        }
        return value;
    }
    // Exp-Golomb code of a parameter set; absurd lengths read as zero.
    std::uint32_t ReadUnsignedExpGolomb() {
        unsigned zeros = 0;
        while (Read(1) == 0) {
            if (++zeros > 31 || Exhausted()) {
                return 0;
            }
        }
        return (1U << zeros) - 1 + Read(zeros);
    }
    std::int64_t ReadSignedExpGolomb() {
        const std::uint32_t code = ReadUnsignedExpGolomb();
        return (code & 1U) != 0 ? std::int64_t{(code + 1) / 2} : -std::int64_t{code / 2};
    }
    void Skip(std::size_t count) { position_ += count; }
    std::size_t BitsLeft() const {
        const std::size_t total = bytes_.size() * 8;
        return position_ < total ? total - position_ : 0;
    }
    bool Exhausted() const { return BitsLeft() == 0; }

private:
    ByteSpan bytes_;
    std::size_t position_ = 0;
};

// "4.1" from 41 and "3" from 30, as the levels are usually written.
std::string TenthsText(unsigned tenths) {
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        text += '.' + std::to_string(tenths % 10);
    }
    return text;
}

std::string AvcProfileName(unsigned profile, unsigned constraints) {
    switch (profile) {
    case 66:
        return (constraints & 0x40U) != 0 ? "Constrained Baseline" : "Baseline";
    case 77:
        return "Main";
    case 88:
        return "Extended";
    case 100:
        return "High";
    case 110:
        return (constraints & 0x10U) != 0 ? "High 10 Intra" : "High 10";
    case 122:
        return (constraints & 0x10U) != 0 ? "High 4:2:2 Intra" : "High 4:2:2";
    case 244:
        return (constraints & 0x10U) != 0 ? "High 4:4:4 Intra" : "High 4:4:4 Predictive";
    case 44:
        return "CAVLC 4:4:4 Intra";
    default:
        return std::to_string(profile);
    }
}

bool AvcProfileHasChromaFormat(unsigned profile) {
    for (const unsigned high :
         {100U, 110U, 122U, 244U, 44U, 83U, 86U, 118U, 128U, 138U, 139U, 134U, 135U}) {
        if (profile == high) {
            return true;
        }
    }
    return false;
}

constexpr std::array<std::uint32_t, 13> kAacSampleRates{
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

std::uint32_t ReadAacSampleRate(BitReader& bits) {
    const std::uint32_t index = bits.Read(4);
    if (index == 15) {
        return bits.Read(24);
    }
    return index < kAacSampleRates.size() ? kAacSampleRates[index] : 0;
}

std::uint32_t ReadAudioObjectType(BitReader& bits) {
    const std::uint32_t type = bits.Read(5);
    return type == 31 ? 32 + bits.Read(6) : type;
}

std::uint32_t AacChannels(std::uint32_t configuration) {
    static constexpr std::array<std::uint32_t, 15> kChannels{0, 1, 2, 3, 4, 5,  6, 8,
                                                             0, 0, 0, 7, 8, 24, 8};
    return configuration < kChannels.size() ? kChannels[configuration] : 0;
}

std::uint32_t Ac3Channels(unsigned acmod, unsigned lfe) {
    static constexpr std::array<std::uint32_t, 8> kChannels{2, 1, 2, 3, 3, 4, 4, 5};
    return kChannels[acmod & 7U] + (lfe & 1U);
}

std::uint32_t Ac3SampleRate(unsigned fscod) {
    static constexpr std::array<std::uint32_t, 4> kRates{48000, 44100, 32000, 0};
    return kRates[fscod & 3U];
}

// A descriptor's size: up to four bytes of seven bits each.
std::size_t ReadDescriptorSize(ByteSpan bytes, std::size_t& cursor) {
    std::size_t size = 0;
    for (int i = 0; i < 4 && cursor < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[cursor++];
        size = (size << 7) | (byte & 0x7FU);
        if ((byte & 0x80U) == 0) {
            break;
        }
    }
    return size;
}

} // namespace

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
        if (const int depth = DecodeAvcSequenceParameterSet(sps).Details.BitDepth; depth > 0) {
            details.BitDepth = depth;
        }
    }
    return details;
}

namespace {

std::string HevcProfileText(unsigned profile, bool highTier, unsigned level) {
    static constexpr const char* kProfiles[] = {"",
                                                "Main",
                                                "Main 10",
                                                "Main Still Picture",
                                                "Format Range",
                                                "High Throughput",
                                                "Multiview Main",
                                                "Scalable Main",
                                                "3D Main",
                                                "Screen Content"};
    const std::string name = profile < std::size(kProfiles) && profile > 0
                                 ? kProfiles[profile]
                                 : std::to_string(profile);
    return name + "@L" + TenthsText(level / 3) + (highTier ? "@High" : "");
}

} // namespace

CodecDetails DecodeHevcConfig(ByteSpan record) {
    CodecDetails details;
    if (record.size() < 23) {
        return details;
    }
    details.Profile = HevcProfileText(record[1] & 0x1FU, (record[1] & 0x20U) != 0, record[12]);
    details.BitDepth = static_cast<int>(8 + (record[17] & 7U));
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
    static constexpr std::array<std::uint32_t, 19> kKbits{
        32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    details.SampleRate = Ac3SampleRate(fscod);
    details.Channels = Ac3Channels(acmod, lfe);
    details.BitRate = bitRateCode < kKbits.size() ? kKbits[bitRateCode] * 1000 : 0;
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
        // Locations the dependent substreams add: pairs, or single channels.
        const unsigned locations = bits.Read(9);
        static constexpr std::array<std::uint32_t, 9> kWidth{1, 1, 2, 2, 2, 1, 1, 2, 2};
        for (unsigned bit = 0; bit < 9; ++bit) {
            if ((locations >> bit) & 1U) {
                channels += kWidth[bit];
            }
        }
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

// The video usability information: the transfer characteristics and the
// timing.
void ReadAvcVui(BitReader& bits, PictureFormat& format) {
    if (bits.Read(1) != 0 && bits.Read(8) == 255) {
        bits.Skip(32); // sample aspect ratio
    }
    if (bits.Read(1) != 0) {
        bits.Skip(1);
    }
    if (bits.Read(1) != 0) {
        bits.Skip(4);
        if (bits.Read(1) != 0) {
            bits.Skip(8);
            format.Details.Hdr = HdrFromTransfer(bits.Read(8));
            bits.Skip(8);
        }
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
    SetPictureSize(bits, width, height, format);
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
    details.SampleRate = ReadAacSampleRate(bits);
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
        static constexpr std::array<std::uint32_t, 19> kKbits{
            32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
        header.Details.SampleRate = Ac3SampleRate(fscod);
        header.Details.Channels = Ac3Channels(acmod, bits.Read(1));
        header.Details.BitRate = frameSize / 2 < kKbits.size() ? kKbits[frameSize / 2] * 1000 : 0;
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

} // namespace vidarium

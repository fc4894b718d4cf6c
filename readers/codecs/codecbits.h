// What the configuration records and the stream headers both read with:
// a reader of bits, and the codecs' small tables. Private to the two
// decoders' files.
#pragma once

#include "byteorder.h"
#include "codecconfig.h"

#include <array>
#include <cstdint>
#include <string>

namespace vidarium::codecbits {

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
inline std::string TenthsText(unsigned tenths) {
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        text += '.' + std::to_string(tenths % 10);
    }
    return text;
}

inline std::string AvcProfileName(unsigned profile, unsigned constraints) {
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

inline bool AvcProfileHasChromaFormat(unsigned profile) {
    for (const unsigned high :
         {100U, 110U, 122U, 244U, 44U, 83U, 86U, 118U, 128U, 138U, 139U, 134U, 135U}) {
        if (profile == high) {
            return true;
        }
    }
    return false;
}

inline constexpr std::array<std::uint32_t, 13> kAacSampleRates{
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

inline std::uint32_t ReadAacSampleRate(BitReader& bits) {
    const std::uint32_t index = bits.Read(4);
    if (index == 15) {
        return bits.Read(24);
    }
    return index < kAacSampleRates.size() ? kAacSampleRates[index] : 0;
}

inline std::uint32_t ReadAudioObjectType(BitReader& bits) {
    const std::uint32_t type = bits.Read(5);
    return type == 31 ? 32 + bits.Read(6) : type;
}

inline std::uint32_t AacChannels(std::uint32_t configuration) {
    static constexpr std::array<std::uint32_t, 15> kChannels{0, 1, 2, 3, 4, 5,  6, 8,
                                                             0, 0, 0, 7, 8, 24, 8};
    return configuration < kChannels.size() ? kChannels[configuration] : 0;
}

inline std::uint32_t Ac3Channels(unsigned acmod, unsigned lfe) {
    static constexpr std::array<std::uint32_t, 8> kChannels{2, 1, 2, 3, 3, 4, 4, 5};
    return kChannels[acmod & 7U] + (lfe & 1U);
}

inline std::uint32_t Ac3SampleRate(unsigned fscod) {
    static constexpr std::array<std::uint32_t, 4> kRates{48000, 44100, 32000, 0};
    return kRates[fscod & 3U];
}

// The bit rate, in bit/s, of an AC-3 bit-rate code (a dac3 box's, or half
// a sync frame's frame size code); 0 for a code past the table.
inline std::uint32_t Ac3BitRate(unsigned bitRateCode) {
    static constexpr std::array<std::uint32_t, 19> kKbits{
        32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    return bitRateCode < kKbits.size() ? kKbits[bitRateCode] * 1000 : 0;
}

// A descriptor's size: up to four bytes of seven bits each.
inline std::size_t ReadDescriptorSize(ByteSpan bytes, std::size_t& cursor) {
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

// "Main 10@L5.1" and the like, from a profile, a tier and a level.
inline std::string HevcProfileText(unsigned profile, bool highTier, unsigned level) {
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

} // namespace vidarium::codecbits

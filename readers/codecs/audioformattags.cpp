#include "audioformattags.h"

#include "codecnames.h"

#include <array>
#include <cstdio>
#include <utility>

namespace vidarium {

std::string AudioFormatTagName(std::uint16_t tag) {
    static constexpr std::array<std::pair<std::uint16_t, const char*>, 28> kNames{{
        {0x0001, "PCM"},
        {0x0002, "Microsoft ADPCM"},
        {0x0006, "CCITT A-Law"},
        {0x0007, "CCITT u-Law"},
        {0x0011, "IMA ADPCM"},
        {0x0022, "DSP Group TrueSpeech(TM)"},
        {0x0031, "GSM 6.10"},
        {0x0042, "Microsoft G.723.1"},
        {0x0055, "MP3"},
        {0x0062, "Voxware v1.1.6/1.1.8 File-Mode Codecs"},
        {0x0069, "Voxware v1.1.8 Bitstream-Mode Codecs"},
        {0x0070, "Lernout & Hauspie CELP 4.8kbit/s"},
        {0x0071, "Lernout & Hauspie SBC 8kbit/s"},
        {0x0072, "Lernout & Hauspie SBC 12kbit/s"},
        {0x0073, "Lernout & Hauspie SBC 16kbit/s"},
        {0x0074, "Voxware MetaVoice"},
        {0x0075, "Voxware MetaSound"},
        {0x0130, "ACELP.net"},
        {0x0160, "WMA v1"},
        {0x0161, "WMA v2"},
        {0x0402, "IAC2"},
        {0x2000, "AC3"},
        {0x674F, "Ogg Vorbis (mode1)"},
        {0x6750, "Ogg Vorbis (mode2)"},
        {0x6751, "Ogg Vorbis (mode3)"},
        {0x676F, "Ogg Vorbis (mode1+)"},
        {0x6770, "Ogg Vorbis (mode2+)"},
        {0x6771, "Ogg Vorbis (mode3+)"},
    }};
    for (const auto& [known, name] : kNames) {
        if (known == tag) {
            return name;
        }
    }
    return std::to_string(tag);
}

std::string SoundFormatName(std::uint16_t tag) {
    // The tags whose codec has a name of its own in one version or kind;
    // the others by their codec's name.
    static constexpr std::array<std::pair<std::uint16_t, const char*>, 24> kNames{{
        {0x0002, "MS ADPCM"},
        {0x0006, "A-law"},
        {0x0007, "mu-law"},
        {0x000A, "WMA Voice"},
        {0x0010, "OKI ADPCM"},
        {0x0011, "IMA ADPCM"},
        {0x0022, "TrueSpeech"},
        {0x0031, "GSM 6.10"},
        {0x0040, "G.721"},
        {0x0042, "G.723.1"},
        {0x0045, "G.726"},
        {0x0061, "Duck DK4 ADPCM"},
        {0x0062, "Duck DK3 ADPCM"},
        {0x0064, "G.726"},
        {0x0069, "Voxware"},
        {0x0075, "Voxware MetaSound"},
        {0x0130, "ACELP.net"},
        {0x0160, "WMA v1"},
        {0x0161, "WMA v2"},
        {0x0162, "WMA Pro"},
        {0x0163, "WMA Lossless"},
        {0x0270, "ATRAC3"},
        {0x0401, "IMC"},
        {0x0402, "IAC2"},
    }};
    for (const auto& [known, name] : kNames) {
        if (known == tag) {
            return name;
        }
    }
    const Codec codec = CodecForFormatTag(tag);
    return codec == Codec::Unknown ? AudioFormatTagCode(tag) : CodecName(codec);
}

std::uint16_t FormatTagOf(ByteSpan waveFormat) {
    constexpr std::uint16_t kExtensible = 0xFFFE;
    const std::uint16_t tag = LoadLe16(waveFormat, 0);
    // cbSize of 22 or more, then valid bits, the channel mask, and the
    // sub-format GUID whose first two bytes are the tag.
    if (tag == kExtensible && waveFormat.size() >= 26 && LoadLe16(waveFormat, 16) >= 22) {
        return LoadLe16(waveFormat, 24);
    }
    return tag;
}

std::string AudioFormatTagCode(std::uint16_t tag) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", unsigned{tag});
    return code;
}

} // namespace vidarium

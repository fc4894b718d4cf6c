#include "codecnames.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <numeric>

namespace vidarium {

const char* CodecName(Codec codec) {
    switch (codec) {
    case Codec::Unknown:
        return "";
    case Codec::Avc:
        return "AVC";
    case Codec::Hevc:
        return "HEVC";
    case Codec::Av1:
        return "AV1";
    case Codec::Vp8:
        return "VP8";
    case Codec::Vp9:
        return "VP9";
    case Codec::Mpeg4Visual:
        return "MPEG-4 Visual";
    case Codec::Mpeg2Video:
        return "MPEG-2 Video";
    case Codec::Mpeg1Video:
        return "MPEG-1 Video";
    case Codec::H263:
        return "H.263";
    case Codec::MotionJpeg:
        return "Motion JPEG";
    case Codec::ProRes:
        return "ProRes";
    case Codec::Dv:
        return "DV";
    case Codec::Ffv1:
        return "FFV1";
    case Codec::Theora:
        return "Theora";
    case Codec::Vc1:
        return "VC-1";
    case Codec::Wmv1:
        return "WMV1";
    case Codec::Wmv2:
        return "WMV2";
    case Codec::SorensonSpark:
        return "Sorenson Spark";
    case Codec::Vp6:
        return "VP6";
    case Codec::Vvc:
        return "VVC";
    case Codec::RawVideo:
        return "Uncompressed";
    case Codec::QuickTimeAnimation:
        return "Animation";
    case Codec::MicrosoftRle:
        return "Microsoft RLE";
    case Codec::Png:
        return "PNG";
    case Codec::Jpeg2000:
        return "JPEG 2000";
    case Codec::AppleIntermediate:
        return "Apple Intermediate Codec";
    case Codec::Dnxhd:
        return "DNxHD";
    case Codec::Dnxhr:
        return "DNxHR";
    case Codec::Cinepak:
        return "Cinepak";
    case Codec::SorensonVideo:
        return "Sorenson Video";
    case Codec::SorensonVideo3:
        return "Sorenson Video 3";
    case Codec::Aac:
        return "AAC";
    case Codec::Mp3:
        return "MP3";
    case Codec::Mp2:
        return "MP2";
    case Codec::Ac3:
        return "AC-3";
    case Codec::Eac3:
        return "E-AC-3";
    case Codec::Dts:
        return "DTS";
    case Codec::TrueHd:
        return "TrueHD";
    case Codec::Opus:
        return "Opus";
    case Codec::Vorbis:
        return "Vorbis";
    case Codec::Flac:
        return "FLAC";
    case Codec::Alac:
        return "ALAC";
    case Codec::Pcm:
        return "PCM";
    case Codec::Wma:
        return "WMA";
    case Codec::Amr:
        return "AMR";
    case Codec::Ac4:
        return "AC-4";
    case Codec::MpegH:
        return "MPEG-H 3D Audio";
    }
    return "";
}

MediaKind KindOf(Codec codec) {
    return codec >= Codec::Aac ? MediaKind::Sound : MediaKind::Video;
}

Codec CodecForSampleEntry(const FourCC& code, MediaKind kind) {
    struct Row {
        char code[5];
        Codec codec;
    };
    static constexpr Row kRows[] = {
        {"avc1", Codec::Avc},
        {"avc2", Codec::Avc},
        {"avc3", Codec::Avc},
        {"avc4", Codec::Avc},
        {"hvc1", Codec::Hevc},
        {"hev1", Codec::Hevc},
        {"dvh1", Codec::Hevc},
        {"dvhe", Codec::Hevc},
        {"av01", Codec::Av1},
        {"vp08", Codec::Vp8},
        {"vp09", Codec::Vp9},
        {"s263", Codec::H263},
        {"h263", Codec::H263},
        {"H263", Codec::H263},
        {"jpeg", Codec::MotionJpeg},
        {"mjpa", Codec::MotionJpeg},
        {"mjpb", Codec::MotionJpeg},
        {"MJPG", Codec::MotionJpeg},
        {"apch", Codec::ProRes},
        {"apcn", Codec::ProRes},
        {"apcs", Codec::ProRes},
        {"apco", Codec::ProRes},
        {"ap4h", Codec::ProRes},
        {"ap4x", Codec::ProRes},
        {"dvc ", Codec::Dv},
        {"dvcp", Codec::Dv},
        {"dvpp", Codec::Dv},
        {"dv5n", Codec::Dv},
        {"dv5p", Codec::Dv},
        {"dvh5", Codec::Dv},
        {"dvh6", Codec::Dv},
        {"dvhp", Codec::Dv},
        {"dvhq", Codec::Dv},
        {"FFV1", Codec::Ffv1},
        {"m2v1", Codec::Mpeg2Video},
        {"mp2v", Codec::Mpeg2Video},
        {"xdv2", Codec::Mpeg2Video},
        {"m1v1", Codec::Mpeg1Video},
        {"mp1v", Codec::Mpeg1Video},
        {"XVID", Codec::Mpeg4Visual},
        {"DIVX", Codec::Mpeg4Visual},
        {"FMP4", Codec::Mpeg4Visual},
        {"vc-1", Codec::Vc1},
        {"WVC1", Codec::Vc1},
        {"WMV3", Codec::Vc1},
        {"WMVA", Codec::Vc1},
        {"WMV1", Codec::Wmv1},
        {"WMV2", Codec::Wmv2},
        {"ac-3", Codec::Ac3},
        {"ec-3", Codec::Eac3},
        {"dtsc", Codec::Dts},
        {"dtsh", Codec::Dts},
        {"dtsl", Codec::Dts},
        {"dtse", Codec::Dts},
        {"mlpa", Codec::TrueHd},
        {"Opus", Codec::Opus},
        {"fLaC", Codec::Flac},
        {"alac", Codec::Alac},
        {".mp3", Codec::Mp3},
        {"samr", Codec::Amr},
        {"sawb", Codec::Amr},
        {"lpcm", Codec::Pcm},
        {"ipcm", Codec::Pcm},
        {"fpcm", Codec::Pcm},
        {"sowt", Codec::Pcm},
        {"twos", Codec::Pcm},
        {"raw ", Codec::Pcm},
        {"in24", Codec::Pcm},
        {"in32", Codec::Pcm},
        {"fl32", Codec::Pcm},
        {"fl64", Codec::Pcm},
        {"NONE", Codec::Pcm},
        {"none", Codec::Pcm},
        {"vvc1", Codec::Vvc},
        {"vvi1", Codec::Vvc},
        {"ac-4", Codec::Ac4},
        {"mha1", Codec::MpegH},
        {"mha2", Codec::MpegH},
        {"mhm1", Codec::MpegH},
        {"mhm2", Codec::MpegH},
        // MPEG-2 of the camcorders and broadcast decks: HDV, XDCAM EX, HD
        // and HD422, IMX, and Avid's IMX.
        {"hdv1", Codec::Mpeg2Video},
        {"hdv2", Codec::Mpeg2Video},
        {"hdv3", Codec::Mpeg2Video},
        {"hdv4", Codec::Mpeg2Video},
        {"hdv5", Codec::Mpeg2Video},
        {"hdv6", Codec::Mpeg2Video},
        {"hdv7", Codec::Mpeg2Video},
        {"hdv8", Codec::Mpeg2Video},
        {"hdv9", Codec::Mpeg2Video},
        {"hdva", Codec::Mpeg2Video},
        {"xdv1", Codec::Mpeg2Video},
        {"xdv3", Codec::Mpeg2Video},
        {"xdv4", Codec::Mpeg2Video},
        {"xdv5", Codec::Mpeg2Video},
        {"xdv6", Codec::Mpeg2Video},
        {"xdv7", Codec::Mpeg2Video},
        {"xdv8", Codec::Mpeg2Video},
        {"xdv9", Codec::Mpeg2Video},
        {"xdva", Codec::Mpeg2Video},
        {"xdvb", Codec::Mpeg2Video},
        {"xdvc", Codec::Mpeg2Video},
        {"xdvd", Codec::Mpeg2Video},
        {"xdve", Codec::Mpeg2Video},
        {"xdvf", Codec::Mpeg2Video},
        {"xd5a", Codec::Mpeg2Video},
        {"xd5b", Codec::Mpeg2Video},
        {"xd5c", Codec::Mpeg2Video},
        {"xd5d", Codec::Mpeg2Video},
        {"xd5e", Codec::Mpeg2Video},
        {"xd5f", Codec::Mpeg2Video},
        {"xd59", Codec::Mpeg2Video},
        {"xd54", Codec::Mpeg2Video},
        {"xd55", Codec::Mpeg2Video},
        {"xdhd", Codec::Mpeg2Video},
        {"xdh2", Codec::Mpeg2Video},
        {"mx3n", Codec::Mpeg2Video},
        {"mx4n", Codec::Mpeg2Video},
        {"mx5n", Codec::Mpeg2Video},
        {"mx3p", Codec::Mpeg2Video},
        {"mx4p", Codec::Mpeg2Video},
        {"mx5p", Codec::Mpeg2Video},
        {"AVmp", Codec::Mpeg2Video},
        // Editing and intermediate codecs.
        {"icod", Codec::AppleIntermediate},
        {"mjp2", Codec::Jpeg2000},
        {"AVdv", Codec::Dv},
        {"AVd1", Codec::Dv},
        {"AVdn", Codec::Dnxhd},
        {"AVdh", Codec::Dnxhr},
        {"AVDJ", Codec::MotionJpeg},
        {"AVRn", Codec::MotionJpeg},
        {"ADJV", Codec::MotionJpeg},
        {"rle ", Codec::QuickTimeAnimation},
        {"png ", Codec::Png},
        {"MPNG", Codec::Png},
        {"cvid", Codec::Cinepak},
        {"SVQ1", Codec::SorensonVideo},
        {"svq1", Codec::SorensonVideo},
        {"SVQ3", Codec::SorensonVideo3},
        // Uncompressed pictures: RGB and the YUV layouts. "raw " is 8-bit
        // PCM in a sound track.
        {"raw ", Codec::RawVideo},
        {"2vuy", Codec::RawVideo},
        {"yuv2", Codec::RawVideo},
        {"yuvs", Codec::RawVideo},
        {"v210", Codec::RawVideo},
        {"v216", Codec::RawVideo},
        {"v308", Codec::RawVideo},
        {"v408", Codec::RawVideo},
        {"v410", Codec::RawVideo},
        {"r210", Codec::RawVideo},
        {"R10k", Codec::RawVideo},
        {"R10g", Codec::RawVideo},
        {"b64a", Codec::RawVideo},
        {"b48r", Codec::RawVideo},
        {"AVUI", Codec::RawVideo},
        {"AVrp", Codec::RawVideo},
        {"24BG", Codec::RawVideo},
        {"BGRA", Codec::RawVideo},
        {"RGBA", Codec::RawVideo},
        {"ABGR", Codec::RawVideo},
        {"L555", Codec::RawVideo},
        {"L565", Codec::RawVideo},
        {"B565", Codec::RawVideo},
        {"b16g", Codec::RawVideo},
        {"y420", Codec::RawVideo},
        {"DVOO", Codec::RawVideo},
    };
    const auto* row = std::find_if(std::begin(kRows), std::end(kRows), [&](const Row& r) {
        return IsFourCC(code, r.code) && KindOf(r.codec) == kind;
    });
    return row == std::end(kRows) ? Codec::Unknown : row->codec;
}

Codec CodecForVideoFourCC(const FourCC& code) {
    struct Row {
        char code[5];
        Codec codec;
    };
    static constexpr Row kRows[] = {
        {"H264", Codec::Avc},
        {"X264", Codec::Avc},
        {"AVC1", Codec::Avc},
        {"DAVC", Codec::Avc},
        {"HEVC", Codec::Hevc},
        {"H265", Codec::Hevc},
        {"HVC1", Codec::Hevc},
        {"XVID", Codec::Mpeg4Visual},
        {"DIVX", Codec::Mpeg4Visual},
        {"DX50", Codec::Mpeg4Visual},
        {"FMP4", Codec::Mpeg4Visual},
        {"MP4V", Codec::Mpeg4Visual},
        {"3IV2", Codec::Mpeg4Visual},
        {"M4S2", Codec::Mpeg4Visual},
        {"DVSD", Codec::Dv},
        {"DVHD", Codec::Dv},
        {"DVSL", Codec::Dv},
        {"DV25", Codec::Dv},
        {"DV50", Codec::Dv},
        {"CDVC", Codec::Dv},
        {"MJPG", Codec::MotionJpeg},
        {"AVRN", Codec::MotionJpeg},
        {"MPG2", Codec::Mpeg2Video},
        {"MPEG", Codec::Mpeg1Video},
        {"MPG1", Codec::Mpeg1Video},
        {"VP80", Codec::Vp8},
        {"VP90", Codec::Vp9},
        {"AV01", Codec::Av1},
        {"FFV1", Codec::Ffv1},
        {"WMV1", Codec::Wmv1},
        {"WMV2", Codec::Wmv2},
        {"WMV3", Codec::Vc1},
        {"WVC1", Codec::Vc1},
        {"H263", Codec::H263},
        {"FLV1", Codec::SorensonSpark},
        {"VP6F", Codec::Vp6},
        {"CVID", Codec::Cinepak},
        {"MRLE", Codec::MicrosoftRle},
        {"MJP2", Codec::Jpeg2000},
        {"PNG1", Codec::Png},
        {"MPNG", Codec::Png},
        {"YUY2", Codec::RawVideo},
        {"UYVY", Codec::RawVideo},
        {"YV12", Codec::RawVideo},
        {"I420", Codec::RawVideo},
        {"IYUV", Codec::RawVideo},
        {"Y800", Codec::RawVideo},
        {"NV12", Codec::RawVideo},
        {"YV16", Codec::RawVideo},
    };
    // The compressions that are numbers, not codes: BI_RGB and BI_BITFIELDS
    // hold uncompressed pictures, BI_RLE8 and BI_RLE4 run lengths.
    switch (LoadLe32(code, 0)) {
    case 0:
    case 3:
        return Codec::RawVideo;
    case 1:
    case 2:
        return Codec::MicrosoftRle;
    default:
        break;
    }
    FourCC upper = code;
    for (std::uint8_t& byte : upper) {
        byte = byte >= 'a' && byte <= 'z' ? static_cast<std::uint8_t>(byte - 'a' + 'A') : byte;
    }
    const auto* row = std::find_if(std::begin(kRows), std::end(kRows),
                                   [&](const Row& r) { return IsFourCC(upper, r.code); });
    return row == std::end(kRows) ? CodecForSampleEntry(code, MediaKind::Video) : row->codec;
}

Codec CodecForFormatTag(std::uint16_t tag) {
    switch (tag) {
    case 0x0001:
    case 0x0003:
        return Codec::Pcm;
    case 0x0050:
        return Codec::Mp2;
    case 0x0055:
        return Codec::Mp3;
    case 0x00FF:
    case 0x1600:
    case 0x1610:
    case 0x706D:
        return Codec::Aac;
    case 0x0092: // AC-3 over S/PDIF
    case 0x2000:
        return Codec::Ac3;
    case 0x2001:
        return Codec::Dts;
    case 0x0160:
    case 0x0161:
    case 0x0162:
    case 0x0163:
        return Codec::Wma;
    case 0xF1AC:
        return Codec::Flac;
    case 0x566F: // Vorbis as ffmpeg writes it, then the old codec's modes
    case 0x674F:
    case 0x6750:
    case 0x6751:
    case 0x676F:
    case 0x6770:
    case 0x6771:
        return Codec::Vorbis;
    default:
        return Codec::Unknown;
    }
}

Codec CodecForObjectType(std::uint8_t objectType) {
    switch (objectType) {
    case 0x20:
        return Codec::Mpeg4Visual;
    case 0x21:
        return Codec::Avc;
    case 0x23:
        return Codec::Hevc;
    case 0x40: // MPEG-4 audio
    case 0x66: // MPEG-2 AAC Main, LC and SSR
    case 0x67:
    case 0x68:
        return Codec::Aac;
    case 0x60: // MPEG-2 video, every profile
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x64:
    case 0x65:
        return Codec::Mpeg2Video;
    case 0x69: // MPEG-2 and MPEG-1 audio: the layer is in the frames
    case 0x6B:
        return Codec::Mp3;
    case 0x6A:
        return Codec::Mpeg1Video;
    case 0x6C:
        return Codec::MotionJpeg;
    case 0xA5:
        return Codec::Ac3;
    case 0xA6:
        return Codec::Eac3;
    case 0xA9:
    case 0xAC:
        return Codec::Dts;
    case 0xAD:
        return Codec::Opus;
    case 0xDD:
        return Codec::Vorbis;
    default:
        return Codec::Unknown;
    }
}

Codec CodecForMatroskaId(std::string_view codecId) {
    struct Row {
        std::string_view id;
        bool prefix; // the id names a family: "A_AAC/MPEG4/LC", "A_PCM/INT/LIT"
        Codec codec;
    };
    static constexpr Row kRows[] = {
        {"V_MPEG4/ISO/AVC", false, Codec::Avc},
        {"V_MPEGH/ISO/HEVC", false, Codec::Hevc},
        {"V_AV1", false, Codec::Av1},
        {"V_VP8", false, Codec::Vp8},
        {"V_VP9", false, Codec::Vp9},
        {"V_MPEG2", false, Codec::Mpeg2Video},
        {"V_MPEG1", false, Codec::Mpeg1Video},
        {"V_MPEG4/ISO/", true, Codec::Mpeg4Visual},
        {"V_THEORA", false, Codec::Theora},
        {"V_PRORES", false, Codec::ProRes},
        {"V_MJPEG", false, Codec::MotionJpeg},
        {"V_FFV1", false, Codec::Ffv1},
        {"V_MS/VC1", false, Codec::Vc1},
        {"A_AAC", true, Codec::Aac},
        {"A_AC3", true, Codec::Ac3},
        {"A_EAC3", false, Codec::Eac3},
        {"A_DTS", true, Codec::Dts},
        {"A_TRUEHD", false, Codec::TrueHd},
        {"A_MLP", false, Codec::TrueHd},
        {"A_OPUS", false, Codec::Opus},
        {"A_VORBIS", false, Codec::Vorbis},
        {"A_FLAC", false, Codec::Flac},
        {"A_ALAC", false, Codec::Alac},
        {"A_MPEG/L3", false, Codec::Mp3},
        {"A_MPEG/L2", false, Codec::Mp2},
        {"A_MPEG/L1", false, Codec::Mp2},
        {"A_PCM/", true, Codec::Pcm},
    };
    const auto* row = std::find_if(std::begin(kRows), std::end(kRows), [&](const Row& r) {
        return r.prefix ? codecId.substr(0, r.id.size()) == r.id : codecId == r.id;
    });
    return row == std::end(kRows) ? Codec::Unknown : row->codec;
}

std::string AspectText(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) {
        return {};
    }
    const std::uint64_t divisor = std::gcd(width, height);
    width /= divisor;
    height /= divisor;
    if (width <= 100 && height <= 100) {
        return std::to_string(width) + ":" + std::to_string(height);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f",
                  static_cast<double>(width) / static_cast<double>(height));
    return text;
}

std::string FourCCText(const FourCC& code) {
    const bool printable = std::all_of(code.begin(), code.end(),
                                       [](std::uint8_t byte) { return byte >= 32 && byte < 127; });
    if (printable) {
        return std::string(code.begin(), code.end());
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(LoadBe32(code)));
    return text;
}

} // namespace vidarium

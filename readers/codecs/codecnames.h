// The codec names every modern reader shows, the names people know from
// media tools, and how each container's codes map onto them.
#pragma once

#include "byteorder.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vidarium {

enum class Codec {
    Unknown,
    // video
    Avc,
    Hevc,
    Av1,
    Vp8,
    Vp9,
    Mpeg4Visual,
    Mpeg2Video,
    Mpeg1Video,
    H263,
    MotionJpeg,
    ProRes,
    Dv,
    Ffv1,
    Theora,
    Vc1,
    Wmv1,
    Wmv2,
    SorensonSpark,
    Vp6,
    Vvc,
    RawVideo,
    QuickTimeAnimation,
    MicrosoftRle,
    Png,
    Jpeg2000,
    AppleIntermediate,
    Dnxhd,
    Dnxhr,
    Cinepak,
    SorensonVideo,
    SorensonVideo3,
    // audio: every codec from here on
    Aac,
    Mp3,
    Mp2,
    Ac3,
    Eac3,
    Dts,
    TrueHd,
    Opus,
    Vorbis,
    Flac,
    Alac,
    Pcm,
    Wma,
    Amr,
    Ac4,
    MpegH,
};

// "AVC", "HEVC", ...; empty for Unknown.
const char* CodecName(Codec codec);

// What a track carries: one code may name a picture codec in a video track
// and a sound codec in a sound track ("raw ").
enum class MediaKind { Video, Sound };
MediaKind KindOf(Codec codec);

// An ISO or QuickTime sample entry code ("avc1", "mp4a", ...) of a track of
// `kind`: never a codec of the other kind. Codes whose codec the
// configuration tells ("mp4v", "mp4a") give Unknown.
Codec CodecForSampleEntry(const FourCC& code, MediaKind kind);
// A video compression code of a BITMAPINFOHEADER (AVI, ASF, Matroska's
// Windows tracks): a Video for Windows code in any letter case ("XVID",
// "H264", "dvsd", ...), one of the numbered compressions (0 and 3
// uncompressed, 1 and 2 RLE), else as a video sample entry code.
Codec CodecForVideoFourCC(const FourCC& code);
// A WAVE format tag (AVI, ASF): PCM, MP3, AAC, AC-3, DTS, ...
Codec CodecForFormatTag(std::uint16_t tag);
// The object type indication of an MPEG-4 decoder configuration ("esds").
Codec CodecForObjectType(std::uint8_t objectType);
// A Matroska CodecID ("V_MPEG4/ISO/AVC", "A_AAC/MPEG4/LC", ...). The codecs
// a Windows header names ("V_MS/VFW/FOURCC", "A_MS/ACM") give Unknown.
Codec CodecForMatroskaId(std::string_view codecId);

// The display aspect of a picture, "16:9", or with three decimals when its
// terms are large ("2.387"); empty when either side is 0.
std::string AspectText(std::uint64_t width, std::uint64_t height);

// A four-character code as text when its bytes are printable ASCII, else as
// hex ("0x6d730055"), so that a cell never holds control bytes.
std::string FourCCText(const FourCC& code);

} // namespace vidarium

#include "elementary.h"

#include "byteorder.h"
#include "codecconfig.h"
#include "frametimes.h"

#include <algorithm>
#include <cmath>

namespace vidarium::elementary {
namespace {

// Where the sequence extension after a sequence header (`after`: the bytes
// past its start code) starts: the next extension start code whose
// identifier is 1.
std::optional<std::size_t> SequenceExtensionAt(ByteSpan after) {
    const auto extension = FindStartCode(after, 0xB5);
    if (extension && *extension + 4 < after.size() && (after[*extension + 4] >> 4) == 1) {
        return extension;
    }
    return std::nullopt;
}

// An MPEG-1 or MPEG-2 video stream's first sequence header, and the
// profile of the sequence extension after it.
PictureFormat MpegPicture(ByteSpan bytes) {
    PictureFormat picture;
    const auto at = FindStartCode(bytes, 0xB3);
    if (!at || *at + 11 > bytes.size()) {
        return picture;
    }
    const MpegSequenceHeader header = DecodeMpegSequenceHeader(bytes.subspan(*at + 4));
    picture.Width = header.Width;
    picture.Height = header.Height;
    picture.FrameRate = MpegFrameRateForCode(header.FrameRateCode);
    if (header.BitRateValue != 0x3FFFF && header.BitRateValue != 0) {
        picture.Details.BitRate = header.BitRateValue * 400;
    }
    const ByteSpan after = bytes.subspan(*at + 4);
    if (const auto extension = SequenceExtensionAt(after);
        extension && *extension + 6 <= after.size()) {
        picture.Details.Profile = MpegProfileText(static_cast<std::uint8_t>(
            ((after[*extension + 4] & 0x0FU) << 4) | (after[*extension + 5] >> 4)));
    }
    return picture;
}

// ADTS frames counted for an average rate, at least: fewer say too little
// of a variable rate (an encoder's first frames are small).
constexpr std::size_t kAdtsFramesAveraged = 16;

// AAC's rate, which no ADTS header states: the whole frames from the first
// (at the start of `bytes`) over their samples, 1,024 to a raw data block;
// 0 when fewer than kAdtsFramesAveraged follow one another.
std::uint32_t AdtsAverageBitRate(ByteSpan bytes, std::uint32_t sampleRate) {
    std::uint64_t frameBytes = 0;
    std::uint64_t samples = 0;
    std::size_t frames = 0;
    for (std::size_t at = 0; at + 7 <= bytes.size();) {
        const ByteSpan header = bytes.subspan(at, 7);
        const std::size_t length =
            ((header[3] & 3U) << 11U) | (std::size_t{header[4]} << 3U) | (header[5] >> 5U);
        if (header[0] != 0xFF || (header[1] & 0xF6U) != 0xF0U || length < 7 ||
            length > bytes.size() - at) {
            break;
        }
        frameBytes += length;
        samples += std::uint64_t{1024} * ((header[6] & 3U) + 1U);
        ++frames;
        at += length;
    }
    if (frames < kAdtsFramesAveraged || sampleRate == 0) {
        return 0;
    }
    const double rate =
        static_cast<double>(frameBytes) * 8.0 * sampleRate / static_cast<double>(samples);
    return rate >= 1 && rate < 1e9 ? static_cast<std::uint32_t>(std::lround(rate)) : 0;
}

// The first frame of a sound stream whose PES data need not start with one
// (a DVD's AC-3 and DTS follow a sub-stream header; a packet may start
// inside a frame).
ByteSpan FromSync(ByteSpan bytes, Codec format) {
    for (std::size_t at = 0; at + 4 <= bytes.size(); ++at) {
        const std::uint8_t first = bytes[at];
        const std::uint8_t second = bytes[at + 1];
        bool sync = false;
        switch (format) {
        case Codec::Ac3:
        case Codec::Eac3:
            sync = first == 0x0B && second == 0x77;
            break;
        case Codec::Dts:
            sync = LoadBe32(bytes, at) == 0x7FFE8001U;
            break;
        case Codec::TrueHd:
            // A major sync; a Blu-ray's stream interleaves an AC-3 core.
            sync = LoadBe32(bytes, at) == 0xF8726FBAU;
            break;
        case Codec::Aac:
            sync = first == 0xFF && (second & 0xF6U) == 0xF0U;
            break;
        default:
            sync = first == 0xFF && (second >> 5) == 7;
            break;
        }
        if (sync) {
            return bytes.subspan(at);
        }
    }
    return {};
}

// The first DTS-HD extension substream header.
ByteSpan FromDtsSubstream(ByteSpan bytes) {
    for (std::size_t at = 0; at + 4 <= bytes.size(); ++at) {
        if (LoadBe32(bytes, at) == 0x64582025U) {
            return bytes.subspan(at);
        }
    }
    return {};
}

} // namespace

Codec MpegVideoFormat(ByteSpan bytes) {
    const auto at = FindStartCode(bytes, 0xB3);
    return at && SequenceExtensionAt(bytes.subspan(*at + 4)) ? Codec::Mpeg2Video
                                                             : Codec::Mpeg1Video;
}

std::optional<ByteSpan> FindNal(ByteSpan bytes, unsigned type, bool hevc) {
    for (std::size_t at = 0; at + 4 <= bytes.size(); ++at) {
        if (bytes[at] != 0 || bytes[at + 1] != 0 || bytes[at + 2] != 1) {
            continue;
        }
        const std::uint8_t header = bytes[at + 3];
        const unsigned found = hevc ? (header >> 1) & 0x3FU : header & 0x1FU;
        if (found != type) {
            continue;
        }
        std::size_t end = at + 3;
        while (end + 3 <= bytes.size() &&
               !(bytes[end] == 0 && bytes[end + 1] == 0 && bytes[end + 2] <= 1)) {
            ++end;
        }
        return bytes.subspan(at + 3, (end + 3 <= bytes.size() ? end : bytes.size()) - at - 3);
    }
    return std::nullopt;
}

std::optional<std::size_t> FindStartCode(ByteSpan bytes, std::uint8_t code, std::uint8_t mask) {
    for (std::size_t at = 0; at + 4 <= bytes.size(); ++at) {
        if (bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 1 &&
            (bytes[at + 3] & mask) == code) {
            return at;
        }
    }
    return std::nullopt;
}

bool AnySeiCarriesHdr10(ByteSpan bytes, bool hevc) {
    // An encoder's own SEI (its version text) often comes first: a few are
    // looked at.
    constexpr int kSeiUnits = 8;
    for (int unit = 0; unit < kSeiUnits; ++unit) {
        const auto sei = FindNal(bytes, hevc ? 39 : 6, hevc);
        if (!sei) {
            return false;
        }
        if (SeiCarriesHdr10(*sei, hevc ? 2 : 1)) {
            return true;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sei->data() - bytes.data()) + sei->size());
    }
    return false;
}

PictureFormat DescribePicture(Codec format, ByteSpan bytes,
                              const std::vector<std::uint64_t>& timestamps) {
    PictureFormat picture;
    switch (format) {
    case Codec::Avc:
        if (const auto sps = FindNal(bytes, 7, false)) {
            picture = DecodeAvcSequenceParameterSet(*sps);
        }
        if (picture.Details.Hdr.empty() && AnySeiCarriesHdr10(bytes, false)) {
            picture.Details.Hdr = "HDR10";
        }
        break;
    case Codec::Hevc:
        if (const auto sps = FindNal(bytes, 33, true)) {
            picture = DecodeHevcSequenceParameterSet(*sps);
        }
        if (picture.Details.Hdr.empty() && AnySeiCarriesHdr10(bytes, true)) {
            picture.Details.Hdr = "HDR10";
        }
        break;
    case Codec::Mpeg1Video:
    case Codec::Mpeg2Video:
        picture = MpegPicture(bytes);
        break;
    case Codec::Mpeg4Visual:
        // The video object layer's start code, 0x120 to 0x12F.
        if (const auto at = FindStartCode(bytes, 0x20, 0xF0)) {
            picture = DecodeMpeg4VisualObjectLayer(bytes.subspan(*at + 4));
        }
        break;
    default:
        break;
    }
    // A timing that states a ceiling (a thousand frames a second or more)
    // tells nothing: the smallest step between the first frames' times.
    if (picture.FrameRate <= 0 || picture.FrameRate >= kLargestFrameRate) {
        picture.FrameRate = 0;
        // A timestamp is rounded to its tick.
        if (const std::uint64_t step = SmallestStep(timestamps); step > 0) {
            picture.FrameRate =
                StandardFrameRate(1, static_cast<double>(step), static_cast<double>(kClockRate), 1);
        }
    }
    return picture;
}

SoundFormat DescribeLatm(ByteSpan bytes) {
    SoundFormat sound{Codec::Aac, {}, false};
    // The first frames that carry their stream mux configuration, at most so
    // many syncs in.
    constexpr int kSyncs = 64;
    int syncs = 0;
    for (std::size_t at = 0; at + 6 <= bytes.size() && syncs < kSyncs; ++at) {
        if (bytes[at] != 0x56 || (bytes[at + 1] & 0xE0U) != 0xE0U) {
            continue;
        }
        ++syncs;
        // useSameStreamMux 0 and audioMuxVersion 0: after the frame
        // counts, whose 16 bits end on a byte, the AudioSpecificConfig.
        if ((bytes[at + 3] & 0xC0U) != 0) {
            continue;
        }
        const CodecDetails details = DecodeAudioSpecificConfig(bytes.subspan(at + 5));
        if (details.SampleRate > 0 && details.Channels > 0) {
            sound.Details = details;
            sound.Described = true;
            break;
        }
    }
    return sound;
}

SoundFormat DescribeSound(Codec format, ByteSpan bytes) {
    SoundFormat sound{format, {}, false};
    const ByteSpan all = bytes;
    if (format == Codec::Opus) {
        // Opus always decodes at 48 kHz.
        sound.Details.SampleRate = 48000;
        sound.Described = true;
        return sound;
    }
    if (format == Codec::Aac || format == Codec::Ac3 || format == Codec::Eac3 ||
        format == Codec::Mp2 || format == Codec::Dts || format == Codec::TrueHd) {
        bytes = FromSync(bytes, format);
    }
    switch (format) {
    case Codec::Aac:
        sound.Details = DecodeAdtsHeader(bytes);
        sound.Details.BitRate = AdtsAverageBitRate(bytes, sound.Details.SampleRate);
        sound.Described = sound.Details.SampleRate > 0;
        break;
    case Codec::Ac3:
    case Codec::Eac3:
        if (const Ac3FrameHeader header = DecodeAc3FrameHeader(bytes); header.Valid) {
            sound.Format = header.Enhanced ? Codec::Eac3 : Codec::Ac3;
            sound.Details = header.Details;
            sound.Described = true;
        }
        break;
    case Codec::Mp2:
        if (const MpegAudioHeader header = DecodeMpegAudioHeader(bytes); header.Layer != 0) {
            sound.Format = header.Layer == 3 ? Codec::Mp3 : Codec::Mp2;
            sound.Details.SampleRate = header.SampleRate;
            sound.Details.Channels = header.Channels;
            sound.Details.BitRate = header.BitRate;
            sound.Described = true;
        }
        break;
    case Codec::Dts: {
        sound.Details = DecodeDtsCoreHeader(bytes);
        // A DTS-HD substream states the whole presentation's channels; the
        // core's bit rate is not the stream's then.
        const CodecDetails hd = DecodeDtsSubstreamHeader(FromDtsSubstream(all));
        if (hd.Channels > 0) {
            sound.Details.Channels = hd.Channels;
            sound.Details.BitRate = 0;
            sound.Details.SampleRate = std::max(sound.Details.SampleRate, hd.SampleRate);
        }
        sound.Described = sound.Details.SampleRate > 0;
        break;
    }
    case Codec::TrueHd:
        // The format information after the major sync, as an MP4's "dmlp"
        // holds it.
        sound.Details = DecodeTrueHdConfig(BytesFrom(bytes, 4));
        sound.Described = sound.Details.SampleRate > 0;
        break;
    default:
        sound.Described = true; // nothing more to find
        break;
    }
    return sound;
}

void SummariseSound(MediaSummary& summary, std::string code, const SoundFormat& sound) {
    summary.HasAudio = true;
    summary.AudioCodec = sound.Format == Codec::Unknown ? code : CodecName(sound.Format);
    summary.AudioCode = std::move(code);
    const auto stated = [](std::uint32_t value) {
        return value > 0 ? std::optional<std::int64_t>(value) : std::nullopt;
    };
    summary.SampleRate = stated(sound.Details.SampleRate);
    summary.Channels = stated(sound.Details.Channels);
    summary.AudioBitRate = stated(sound.Details.BitRate);
}

std::uint64_t SmallestStep(std::vector<std::uint64_t> times) {
    std::sort(times.begin(), times.end());
    std::uint64_t step = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        const std::uint64_t gap = times[i] - times[i - 1];
        if (gap > 0 && (step == 0 || gap < step)) {
            step = gap;
        }
    }
    return step;
}

} // namespace vidarium::elementary

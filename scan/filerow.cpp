#include "filerow.h"

#include "audioformattags.h"
#include "avireader.h"
#include "localtext.h"
#include "movreader.h"
#include "mpegreader.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vidarium {
namespace {

// printf's "%d:%.2d:%.2d": a negative part keeps its sign before the padding.
std::string HoursMinutesSeconds(long long hours, long long minutes, long long seconds) {
    char text[64];
    const int length =
        std::snprintf(text, sizeof text, "%lld:%.2lld:%.2lld", hours, minutes, seconds);
    return std::string(text, static_cast<std::size_t>(length));
}

std::string KbitText(std::uint64_t kbits) {
    return std::to_string(kbits) + " kbit/s";
}

} // namespace

std::string SizeText(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

std::string TimeTextFromMs(std::uint64_t milliseconds) {
    const auto total = static_cast<long long>(milliseconds / 1000);
    return HoursMinutesSeconds(total / 3600, (total % 3600) / 60, total % 60);
}

std::string TimeTextFromSeconds(double seconds) {
    // Halves go to the even neighbour (the default rounding mode). The reader
    // cannot produce values outside 32 bits; anything else saturates.
    double rounded = std::nearbyint(seconds);
    if (std::isnan(rounded)) {
        rounded = 0;
    }
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    const auto total = static_cast<long long>(rounded < kMin   ? kMin
                                              : rounded > kMax ? kMax
                                                               : rounded);
    // Signed division truncates toward zero, so each part carries the sign.
    return HoursMinutesSeconds(total / 3600, (total % 3600) / 60, total % 60);
}

std::string RateText(double rate) {
    // The product is exact in extended precision, so only true halves are ties.
    const long double thousandths = std::nearbyint(static_cast<long double>(rate) * 1000);
    const double rounded = static_cast<double>(thousandths) / 1000.0;
    char text[64];
    const auto result =
        std::to_chars(std::begin(text), std::end(text), rounded, std::chars_format::general, 15);
    return std::string(text, result.ptr);
}

FileRow MakeAviRow(std::string caption, std::uint64_t size, const CAVIHeaderReader& reader) {
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromMs(reader.DurationMs),
                 "AVI: " + CodeText(reader.VideoStreamHeader.fccHandler), std::string(),
                 std::to_string(reader.VideoFormat.biWidth),
                 std::to_string(reader.VideoFormat.biHeight), RateText(reader.FrameRate),
                 AudioFormatTagName(reader.AudioFormat.wFormatTag),
                 KbitText(reader.AudioFormat.nAvgBytesPerSec / 125),
                 std::to_string(reader.AudioFormat.nSamplesPerSec),
                 std::to_string(reader.AudioFormat.nChannels)}};
    row.Size = size;
    row.Source = RowSource::Avi;
    MediaValues& values = row.Values;
    values.DurationMs = std::int64_t{reader.DurationMs};
    values.VideoCodec = CodeText(reader.VideoStreamHeader.fccHandler);
    // The AVI records are packed copies of the file: their fields are read
    // by value, never bound to a reference.
    values.Width = std::int64_t{reader.VideoFormat.biWidth};
    values.Height = std::int64_t{reader.VideoFormat.biHeight};
    values.FrameRate = double{reader.FrameRate};
    values.AudioCodec = AudioFormatTagCode(reader.AudioFormat.wFormatTag);
    values.AudioCodecName = AudioFormatTagName(reader.AudioFormat.wFormatTag);
    values.AudioBitRate = std::int64_t{reader.AudioFormat.nAvgBytesPerSec} * 8;
    values.SampleRate = std::int64_t{reader.AudioFormat.nSamplesPerSec};
    values.Channels = std::int64_t{reader.AudioFormat.nChannels};
    return row;
}

FileRow MakeMpegRow(std::string caption, std::uint64_t size, const CMPEGHeaderReader& reader) {
    std::string bitRate;
    if (reader.BitRate > 0) {
        bitRate = KbitText(static_cast<std::uint64_t>(reader.BitRate / 1000));
    }
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromSeconds(reader.DurationSec), "MPEG",
                 std::move(bitRate), std::to_string(reader.Width), std::to_string(reader.Height),
                 RateText(reader.FrameRate), std::string(), std::string(), std::string(),
                 std::string()}};
    row.Size = size;
    row.Source = RowSource::Mpeg;
    MediaValues& values = row.Values;
    const double milliseconds = std::nearbyint(reader.DurationSec * 1000);
    if (std::isfinite(milliseconds) && std::fabs(milliseconds) < 9e15) {
        values.DurationMs = static_cast<std::int64_t>(milliseconds);
    }
    values.VideoCodec = "MPEG";
    if (reader.BitRate > 0) {
        values.VideoBitRate = std::int64_t{reader.BitRate};
    }
    values.Width = std::int64_t{reader.Width};
    values.Height = std::int64_t{reader.Height};
    values.FrameRate = double{reader.FrameRate};
    return row;
}

FileRow MakeMovRow(std::string caption, std::uint64_t size, const CQuickTimeReader& reader) {
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromMs(reader.DurationMs),
                 "MOV: " + CodeText(reader.VideoFourCC) + ": " + reader.VideoCodecName,
                 std::string(), std::to_string(reader.VideoDesc.Width),
                 std::to_string(reader.VideoDesc.Height), std::string()}};
    // The four audio cells are decided together.
    if (reader.HasAudio) {
        row.SubItems.push_back(CodeText(reader.AudioFourCC) + ": " + reader.AudioCodecName);
        row.SubItems.push_back(reader.AudioBitRate == 0 ? std::string()
                                                        : KbitText(reader.AudioBitRate / 1000));
        row.SubItems.push_back(std::to_string(reader.SoundDesc.SampleRate));
        row.SubItems.push_back(std::to_string(reader.SoundDesc.Channels));
    } else {
        row.SubItems.insert(row.SubItems.end(), 4, std::string());
    }
    row.SubItems.push_back(reader.Comments);
    row.Size = size;
    row.Source = RowSource::QuickTime;
    MediaValues& values = row.Values;
    values.DurationMs = std::int64_t{reader.DurationMs};
    if (reader.HasVideo) {
        values.VideoCodec = CodeText(reader.VideoFourCC);
        values.VideoCodecName = reader.VideoCodecName;
        values.Width = std::int64_t{reader.VideoDesc.Width};
        values.Height = std::int64_t{reader.VideoDesc.Height};
    }
    if (reader.HasAudio) {
        values.AudioCodec = CodeText(reader.AudioFourCC);
        values.AudioCodecName = reader.AudioCodecName;
        if (reader.AudioBitRate != 0) {
            values.AudioBitRate = std::int64_t{reader.AudioBitRate};
        }
        values.SampleRate = std::int64_t{reader.SoundDesc.SampleRate};
        values.Channels = std::int64_t{reader.SoundDesc.Channels};
    }
    values.UserData = reader.UserData;
    return row;
}

FileRow MakePlainRow(std::string caption, std::uint64_t size) {
    FileRow row{std::move(caption), {SizeText(size)}};
    row.Size = size;
    return row;
}

std::string ModernVideoText(const MediaSummary& summary) {
    std::string text = summary.Container + ": " + summary.VideoCodec;
    if (!summary.VideoProfile.empty()) {
        text += ' ' + summary.VideoProfile;
    }
    // The bit depth only where the profile's name does not already say it.
    const std::string depth = std::to_string(summary.BitDepth);
    if (summary.BitDepth > 8 && summary.VideoProfile.find(depth) == std::string::npos) {
        text += ' ' + depth + "-bit";
    }
    if (!summary.Hdr.empty()) {
        text += ' ' + summary.Hdr;
    }
    return text;
}

namespace {

// A value that the summary states as empty or 0 when the file does not give it.
template <typename Value> std::optional<Value> Stated(const Value& value) {
    return value == Value{} ? std::nullopt : std::optional<Value>(value);
}

void SetVideoValues(const MediaSummary& summary, MediaValues& values) {
    values.VideoCodec = summary.VideoCode;
    values.VideoCodecName = summary.VideoCodec;
    values.VideoProfile = Stated(summary.VideoProfile);
    if (summary.BitDepth > 0) {
        values.BitDepth = summary.BitDepth;
    }
    values.Hdr = Stated(summary.Hdr);
    if (summary.VideoBitRate && *summary.VideoBitRate > 0) {
        values.VideoBitRate = summary.VideoBitRate;
    }
    values.Width = summary.Width;
    values.Height = summary.Height;
    values.FrameRate = summary.FrameRate;
    values.DisplayAspect = Stated(summary.DisplayAspect);
    if (summary.Rotation != 0) {
        values.Rotation = summary.Rotation;
    }
}

void SetAudioValues(const MediaSummary& summary, MediaValues& values) {
    values.AudioCodec = summary.AudioCode;
    values.AudioCodecName = summary.AudioCodec;
    if (summary.AudioBitRate && *summary.AudioBitRate > 0) {
        values.AudioBitRate = summary.AudioBitRate;
    }
    values.SampleRate = summary.SampleRate;
    values.Channels = summary.Channels;
}

// The typed values of a modern row, for the structured outputs.
MediaValues ModernValues(const MediaSummary& summary) {
    MediaValues values;
    values.Container = summary.Container;
    values.DurationMs = summary.DurationMs;
    if (summary.HasVideo) {
        SetVideoValues(summary, values);
    }
    if (summary.HasAudio) {
        SetAudioValues(summary, values);
    }
    values.VideoTracks = summary.VideoTracks;
    values.AudioTracks = summary.AudioTracks;
    values.SubtitleTracks = summary.SubtitleTracks;
    values.AudioLanguages = summary.AudioLanguages;
    values.SubtitleLanguages = summary.SubtitleLanguages;
    values.UserData = summary.Metadata;
    return values;
}

std::string NumberText(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : std::string();
}

std::string KbitsText(const std::optional<std::int64_t>& bits) {
    return bits && *bits > 0 ? KbitText(static_cast<std::uint64_t>(*bits) / 1000) : std::string();
}

} // namespace

FileRow MakeModernRow(std::string caption, std::uint64_t size, RowSource source,
                      const MediaSummary& summary) {
    std::string length;
    if (summary.DurationMs && *summary.DurationMs >= 0) {
        length = TimeTextFromMs(static_cast<std::uint64_t>(*summary.DurationMs));
    }
    std::string comments;
    for (const MetadataItem& item : summary.Metadata) {
        comments += item.Label + ": " + item.Text + "\r\n";
    }
    const bool video = summary.HasVideo;
    const bool audio = summary.HasAudio;
    FileRow row{std::move(caption),
                {SizeText(size), std::move(length),
                 video ? ModernVideoText(summary) : std::string(),
                 video ? KbitsText(summary.VideoBitRate) : std::string(),
                 video ? NumberText(summary.Width) : std::string(),
                 video ? NumberText(summary.Height) : std::string(),
                 video && summary.FrameRate ? RateText(*summary.FrameRate) : std::string(),
                 audio ? summary.AudioCodec : std::string(),
                 audio ? KbitsText(summary.AudioBitRate) : std::string(),
                 audio ? NumberText(summary.SampleRate) : std::string(),
                 audio ? NumberText(summary.Channels) : std::string(), std::move(comments)}};
    row.Size = size;
    row.Source = source;
    row.Values = ModernValues(summary);
    return row;
}

void AppendExportLine(std::string& line, const FileRow& row) {
    line += TrimBelow33(row.Caption);
    line += '\t';
    for (const std::string& cell : row.SubItems) {
        line += TrimBelow33(cell);
        line += '\t';
    }
    line += "\r\n";
}

std::string ExportLine(const FileRow& row) {
    std::string line;
    AppendExportLine(line, row);
    return line;
}

} // namespace vidarium

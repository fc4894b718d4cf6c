#include "filerow.h"

#include "audioformattags.h"
#include "avireader.h"
#include "languages.h"
#include "localtext.h"
#include "movreader.h"
#include "mpegreader.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace vidarium {
namespace {

// The Comments cell: one line per item, under its label.
std::string CommentsText(const std::vector<MetadataItem>& items) {
    std::string comments;
    for (const MetadataItem& item : items) {
        comments += item.Label + ": " + item.Text + "\r\n";
    }
    return comments;
}

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

MediaSummary SummaryOf(const CAVIHeaderReader& reader) {
    // The AVI row always shows one video and one sound stream, as the
    // accepted headers give them, and names the video codec by its code.
    MediaSummary summary;
    summary.DurationMs = std::int64_t{reader.DurationMs};
    summary.HasVideo = true;
    summary.VideoCode = WithoutControls(CodeText(reader.VideoStreamHeader.fccHandler));
    // The AVI records are packed copies of the file: their fields are read
    // by value, never bound to a reference.
    summary.Width = std::int64_t{reader.VideoFormat.biWidth};
    summary.Height = std::int64_t{reader.VideoFormat.biHeight};
    summary.FrameRate = double{reader.FrameRate};
    summary.HasAudio = true;
    summary.AudioCode = AudioFormatTagCode(reader.AudioFormat.wFormatTag);
    summary.AudioCodec = AudioFormatTagName(reader.AudioFormat.wFormatTag);
    summary.AudioBitRate = std::int64_t{reader.AudioFormat.nAvgBytesPerSec} * 8;
    summary.SampleRate = std::int64_t{reader.AudioFormat.nSamplesPerSec};
    summary.Channels = std::int64_t{reader.AudioFormat.nChannels};
    return summary;
}

FileRow MakeAviRow(std::string caption, std::uint64_t size, const CAVIHeaderReader& reader) {
    MediaSummary summary = SummaryOf(reader);
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromMs(reader.DurationMs), "AVI: " + summary.VideoCode,
                 std::string(), std::to_string(*summary.Width), std::to_string(*summary.Height),
                 RateText(*summary.FrameRate), summary.AudioCodec,
                 KbitText(static_cast<std::uint64_t>(*summary.AudioBitRate) / 1000),
                 std::to_string(*summary.SampleRate), std::to_string(*summary.Channels)}};
    row.Size = size;
    row.Source = RowSource::Avi;
    row.Summary = std::move(summary);
    return row;
}

MediaSummary SummaryOf(const CMPEGHeaderReader& reader) {
    MediaSummary summary;
    const double milliseconds = std::nearbyint(reader.DurationSec * 1000);
    if (std::isfinite(milliseconds) && std::fabs(milliseconds) < 9e15) {
        summary.DurationMs = static_cast<std::int64_t>(milliseconds);
    }
    summary.HasVideo = true;
    summary.VideoCode = "MPEG";
    if (reader.BitRate > 0) {
        summary.VideoBitRate = std::int64_t{reader.BitRate};
    }
    summary.Width = std::int64_t{reader.Width};
    summary.Height = std::int64_t{reader.Height};
    summary.FrameRate = double{reader.FrameRate};
    return summary;
}

FileRow MakeMpegRow(std::string caption, std::uint64_t size, const CMPEGHeaderReader& reader) {
    MediaSummary summary = SummaryOf(reader);
    std::string bitRate;
    if (summary.VideoBitRate) {
        bitRate = KbitText(static_cast<std::uint64_t>(*summary.VideoBitRate / 1000));
    }
    // The length cell rounds the reader's seconds, not the milliseconds.
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromSeconds(reader.DurationSec), summary.VideoCode,
                 std::move(bitRate), std::to_string(*summary.Width),
                 std::to_string(*summary.Height), RateText(*summary.FrameRate), std::string(),
                 std::string(), std::string(), std::string()}};
    row.Size = size;
    row.Source = RowSource::Mpeg;
    row.Summary = std::move(summary);
    return row;
}

MediaSummary SummaryOf(const CQuickTimeReader& reader) {
    // The sizes and codec texts are kept even without a video track: the
    // row's cells show them as the reader left them.
    MediaSummary summary;
    summary.DurationMs = std::int64_t{reader.DurationMs};
    summary.HasVideo = reader.HasVideo;
    // The texts as a cell may hold them: no file adds a line or a field to
    // an export.
    summary.VideoCode = WithoutControls(CodeText(reader.VideoFourCC));
    summary.VideoCodec = WithoutControls(reader.VideoCodecName);
    summary.Width = std::int64_t{reader.VideoDesc.Width};
    summary.Height = std::int64_t{reader.VideoDesc.Height};
    summary.HasAudio = reader.HasAudio;
    if (reader.HasAudio) {
        summary.AudioCode = WithoutControls(CodeText(reader.AudioFourCC));
        summary.AudioCodec = WithoutControls(reader.AudioCodecName);
        if (reader.AudioBitRate != 0) {
            summary.AudioBitRate = std::int64_t{reader.AudioBitRate};
        }
        summary.SampleRate = std::int64_t{reader.SoundDesc.SampleRate};
        summary.Channels = std::int64_t{reader.SoundDesc.Channels};
    }
    summary.Metadata = reader.UserData;
    for (MetadataItem& item : summary.Metadata) {
        item.Text = WithoutControls(std::move(item.Text), Breaks::Kept);
    }
    return summary;
}

FileRow MakeMovRow(std::string caption, std::uint64_t size, const CQuickTimeReader& reader) {
    MediaSummary summary = SummaryOf(reader);
    FileRow row{std::move(caption),
                {SizeText(size), TimeTextFromMs(reader.DurationMs),
                 "MOV: " + summary.VideoCode + ": " + summary.VideoCodec, std::string(),
                 std::to_string(*summary.Width), std::to_string(*summary.Height), std::string()}};
    // The four audio cells are decided together.
    if (summary.HasAudio) {
        row.SubItems.push_back(summary.AudioCode + ": " + summary.AudioCodec);
        row.SubItems.push_back(
            summary.AudioBitRate
                ? KbitText(static_cast<std::uint64_t>(*summary.AudioBitRate) / 1000)
                : std::string());
        row.SubItems.push_back(std::to_string(*summary.SampleRate));
        row.SubItems.push_back(std::to_string(*summary.Channels));
    } else {
        row.SubItems.insert(row.SubItems.end(), 4, std::string());
    }
    row.SubItems.push_back(CommentsText(summary.Metadata));
    row.Size = size;
    row.Source = RowSource::QuickTime;
    row.Summary = std::move(summary);
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

std::string NumberText(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : std::string();
}

std::string KbitsText(const std::optional<std::int64_t>& bits) {
    return bits && *bits > 0 ? KbitText(static_cast<std::uint64_t>(*bits) / 1000) : std::string();
}

} // namespace

namespace {

// Every text a reader took from the file, as a cell may show it: whatever a
// reader missed, no file can add a line or a field to an export.
MediaSummary CleanSummary(MediaSummary summary) {
    for (std::string* text :
         {&summary.Container, &summary.VideoCode, &summary.VideoCodec, &summary.VideoProfile,
          &summary.Hdr, &summary.DisplayAspect, &summary.AudioCode, &summary.AudioCodec}) {
        *text = WithoutControls(std::move(*text));
    }
    for (std::vector<std::string>* languages :
         {&summary.AudioLanguages, &summary.SubtitleLanguages}) {
        // One code per language, whatever spelling the file used.
        for (std::string& language : *languages) {
            language = LanguageCode(language);
        }
    }
    for (MetadataItem& item : summary.Metadata) {
        item.Text = CleanText(std::move(item.Text));
    }
    std::erase_if(summary.Metadata, [](const MetadataItem& item) { return item.Text.empty(); });
    return summary;
}

} // namespace

FileRow MakeModernRow(std::string caption, std::uint64_t size, RowSource source,
                      const MediaSummary& found) {
    const MediaSummary summary = CleanSummary(found);
    std::string length;
    if (summary.DurationMs && *summary.DurationMs >= 0) {
        length = TimeTextFromMs(static_cast<std::uint64_t>(*summary.DurationMs));
    }
    std::string comments = CommentsText(summary.Metadata);
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
    row.Summary = summary;
    // The row states a bit rate only where the file gives one.
    for (std::optional<std::int64_t>* bitRate :
         {&row.Summary.VideoBitRate, &row.Summary.AudioBitRate}) {
        if (bitRate->value_or(0) <= 0) {
            bitRate->reset();
        }
    }
    return row;
}

std::string ModifiedText(std::int64_t modifiedNs) {
    if (modifiedNs == 0) {
        return {};
    }
    const std::time_t seconds = modifiedNs / 1'000'000'000;
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
    return {text.data(), length};
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

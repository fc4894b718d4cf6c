#include "videoes.h"

#include "codecnames.h"
#include "elementary.h"
#include "streamheaders.h"

#include <algorithm>
#include <cmath>

namespace vidarium::videoes {
namespace {

constexpr std::uint8_t kSequenceHeader = 0xB3;
constexpr std::uint8_t kGroupOfPictures = 0xB8;
constexpr std::uint8_t kPicture = 0x00;

// A group of pictures' time code as a count of frames at the stream's
// nominal rate (30 for 29.97): drop-frame time codes skip two frame
// numbers (four at 60) each minute but every tenth.
std::optional<std::int64_t> TimeCodeFrames(ByteSpan gop, double frameRate) {
    if (gop.size() < 8 || ((gop[5] >> 3) & 1U) == 0) {
        return std::nullopt; // cut short, or its marker bit unset: not a time code
    }
    const bool dropFrame = (gop[4] >> 7) != 0;
    const std::int64_t hours = (gop[4] >> 2) & 0x1FU;
    const std::int64_t minutes = ((gop[4] & 3U) << 4) | (gop[5] >> 4);
    const std::int64_t seconds = ((gop[5] & 7U) << 3) | (gop[6] >> 5);
    const std::int64_t pictures = ((gop[6] & 0x1FU) << 1) | (gop[7] >> 7);
    const auto nominal = static_cast<std::int64_t>(std::lround(frameRate));
    if (minutes > 59 || seconds > 59 || nominal <= 0 || pictures >= nominal) {
        return std::nullopt;
    }
    const std::int64_t totalMinutes = hours * 60 + minutes;
    std::int64_t frames = (totalMinutes * 60 + seconds) * nominal + pictures;
    if (dropFrame && nominal % 30 == 0) {
        frames -= nominal / 15 * (totalMinutes - totalMinutes / 10);
    }
    return frames;
}

// The last group of pictures in a window at the file's end: its time code
// in frames and the pictures from it to the end.
struct LastGroup {
    std::int64_t Frame = 0;
    std::int64_t Pictures = 0;
};

// Where each start code of `code` in `bytes` starts, in order; each found
// moves the search on by its four bytes.
template <typename Found> void EachStartCode(ByteSpan bytes, std::uint8_t code, Found&& found) {
    for (std::size_t from = 0; from < bytes.size();) {
        const auto at = elementary::FindStartCode(bytes.subspan(from), code);
        if (!at) {
            return;
        }
        found(from + *at);
        from += *at + 4;
    }
}

std::optional<LastGroup> FindLastGroup(ByteSpan tail, double frameRate) {
    std::optional<std::size_t> last;
    EachStartCode(tail, kGroupOfPictures, [&](std::size_t at) { last = at; });
    const auto frame =
        last ? TimeCodeFrames(tail.subspan(*last), frameRate) : std::optional<std::int64_t>();
    if (!frame) {
        return std::nullopt;
    }
    LastGroup group{*frame, 0};
    EachStartCode(tail.subspan(*last), kPicture, [&](std::size_t) { ++group.Pictures; });
    return group;
}

// The length in frames from the first group's time code to the last
// picture, when the time codes run forward (some encoders write 0 in every
// group: then only a window that holds the whole file can tell).
std::optional<std::int64_t> FramesFromTimeCodes(ByteSource& source, ByteSpan head, double frameRate,
                                                TailWindows windows, const LoadStop& stop) {
    const auto first = elementary::FindStartCode(head, kGroupOfPictures);
    const auto start =
        first ? TimeCodeFrames(head.subspan(*first), frameRate) : std::optional<std::int64_t>();
    if (!start) {
        return std::nullopt;
    }
    std::optional<std::int64_t> frames;
    SearchTail(source, windows.First, windows.Largest, [&](const FileWindow& tail, std::size_t) {
        stop.Check();
        const auto last = FindLastGroup(tail.Bytes, frameRate);
        if (last && (last->Frame > *start || tail.Start == 0)) {
            frames = last->Frame - *start + last->Pictures;
        }
        return last.has_value();
    });
    return frames && *frames > 0 ? frames : std::nullopt;
}

} // namespace

std::string MpegDisplayAspect(ByteSpan bytes, Codec format, std::uint32_t width,
                              std::uint32_t height) {
    const auto header = elementary::FindStartCode(bytes, kSequenceHeader);
    if (format == Codec::Mpeg2Video && header && *header + 7 < bytes.size()) {
        switch (bytes[*header + 7] >> 4) {
        case 2:
            return "4:3";
        case 3:
            return "16:9";
        case 4:
            return "2.21:1";
        default:
            break;
        }
    }
    return AspectText(width, height);
}

std::optional<std::size_t> SequenceStart(ByteSpan head) {
    const auto firstByte =
        std::find_if(head.begin(), head.end(), [](std::uint8_t byte) { return byte != 0; });
    const auto nonZero = static_cast<std::size_t>(firstByte - head.begin());
    if (nonZero < 2 || nonZero + 12 > head.size() || head[nonZero] != 1 ||
        head[nonZero + 1] != kSequenceHeader) {
        return std::nullopt;
    }
    const MpegSequenceHeader header = DecodeMpegSequenceHeader(head.subspan(nonZero + 2));
    if (header.Width == 0 || header.Height == 0 ||
        MpegFrameRateForCode(header.FrameRateCode) <= 0) {
        return std::nullopt;
    }
    return nonZero - 2;
}

void Describe(ByteSource& source, ByteSpan head, std::size_t start, TailWindows tail,
              const LoadStop& stop, MediaSummary& summary) {
    const ByteSpan stream = head.subspan(start);
    const Codec format = elementary::MpegVideoFormat(stream);
    const PictureFormat picture = elementary::DescribePicture(format, stream, {});
    summary.Container = "MPEG Video";
    summary.HasVideo = true;
    summary.VideoTracks = 1;
    summary.VideoCode =
        "0xB3"; // the sequence header's start code, as a program stream names its stream
    summary.VideoCodec = CodecName(format);
    summary.VideoProfile = picture.Details.Profile;
    summary.Width = picture.Width;
    summary.Height = picture.Height;
    summary.DisplayAspect = MpegDisplayAspect(stream, format, picture.Width, picture.Height);
    summary.FrameRate = picture.FrameRate;

    const auto size = static_cast<double>(source.Size());
    const double stated = picture.Details.BitRate;
    if (const auto frames = FramesFromTimeCodes(source, stream, picture.FrameRate, tail, stop)) {
        summary.DurationMs =
            std::llround(static_cast<double>(*frames) * 1000.0 / picture.FrameRate);
    } else if (stated > 0) {
        summary.DurationMs = std::llround(size * 8000.0 / stated);
    }
    // The whole file is the video: its size over its length where the
    // header states no rate.
    if (stated > 0) {
        summary.VideoBitRate = std::llround(stated);
    } else if (summary.DurationMs && *summary.DurationMs > 0) {
        summary.VideoBitRate =
            std::llround(size * 8000.0 / static_cast<double>(*summary.DurationMs));
    }
}

} // namespace vidarium::videoes

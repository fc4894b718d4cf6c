#include "avireader.h"

#include "audioformattags.h"
#include "bytesource.h"
#include "codecnames.h"
#include "guarded.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

namespace vidarium {
namespace {

template <typename Record> std::span<std::uint8_t> BytesOf(Record& record) {
    return {reinterpret_cast<std::uint8_t*>(&record), sizeof(Record)};
}

bool EqualsIgnoringAsciiCase(const FourCC& code, const char (&literal)[5]) {
    for (std::size_t i = 0; i < 4; ++i) {
        const auto lower = [](int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
        if (lower(code[i]) != lower(static_cast<unsigned char>(literal[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

void CAVIHeaderReader::Reset() {
    MainHeader = {};
    AudioStreamHeader = {};
    VideoStreamHeader = {};
    AudioFormat = {};
    VideoFormat = {};
    CurrentStreamType = {};
    HasAudioStreamHeader = false;
    HasVideoStreamHeader = false;
    HasAudioFormat = false;
    HasVideoFormat = false;
    HasMainHeader = false;
    DurationMs = 0;
    FrameRate = 0.0;
    RecognisedContainer = false;
    ChunksVisited = 0;
    OdmlTotalFrames = 0;
    IndexedVideoBytes = 0;
    IndexedSoundBytes = 0;
    IndexedBytes = 0;
    IndexWhole = false;
    InfoItems.clear();
    StreamNames.clear();
}

bool CAVIHeaderReader::LoadFromFile(const std::filesystem::path& path) {
    Reset();
    return LoadFileOrRaise(path, kOrigin, [this](ByteSource& file) { return Load(file); });
}

bool CAVIHeaderReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    Reset();
    return LoadOrRaise(source, path, kOrigin, [this](ByteSource& file) { return Load(file); });
}

bool CAVIHeaderReader::LoadStreams(ByteSource& source, const std::filesystem::path& path) {
    modern_ = true;
    struct Classic {
        bool& modern;
        ~Classic() { modern = false; }
    } classicAfter{modern_};
    LoadFromSource(source, path);
    if (!HasMainHeader || !(HasVideoFormat || HasAudioFormat)) {
        return false;
    }
    try {
        ComputeResults();
    } catch (const ReaderFault&) {
        // A play time past 32 bits of milliseconds: the modern row works out
        // its own.
        DurationMs = 0;
    }
    return true;
}

void CAVIHeaderReader::SummariseVideo(MediaSummary& summary) const {
    summary.HasVideo = true;
    summary.VideoTracks = 1;
    // The format's compression names the codec. A numbered compression
    // (uncompressed pictures, RLE) has no code of its own: the handler is
    // shown where it is one, and names the codec where it knows one.
    const FourCC compression{VideoFormat.biCompression};
    const bool numbered = LoadLe32(compression, 0) < 4;
    const FourCC code = numbered ? VideoStreamHeader.fccHandler : compression;
    summary.VideoCode = CodeText(code);
    Codec codec = CodecForVideoFourCC(code);
    if (numbered && (codec == Codec::Unknown || codec == Codec::RawVideo)) {
        codec = CodecForVideoFourCC(compression);
    }
    summary.VideoCodec = codec == Codec::Unknown ? summary.VideoCode : CodecName(codec);
    // MPEG-4 Visual goes by many encoders' names, which users look for.
    if (codec == Codec::Mpeg4Visual) {
        summary.VideoCodec += " (" + summary.VideoCode + ")";
    }
    // A bitmap stored top down states a negative height; a side past
    // any real picture's is not stated.
    const auto side = [](std::int32_t value) -> std::optional<std::int64_t> {
        const std::int64_t magnitude = std::abs(std::int64_t{value});
        return magnitude > 0 && magnitude <= kMaxSide ? std::optional(magnitude) : std::nullopt;
    };
    summary.Width = side(VideoFormat.biWidth);
    summary.Height = side(VideoFormat.biHeight);
    if (summary.Width && summary.Height) {
        summary.DisplayAspect = AspectText(static_cast<std::uint32_t>(*summary.Width),
                                           static_cast<std::uint32_t>(*summary.Height));
    }
    if (std::isfinite(FrameRate) && FrameRate > 0) {
        summary.FrameRate = double{FrameRate};
    }
}

MediaSummary CAVIHeaderReader::StreamSummary(std::int64_t fileSize) const {
    MediaSummary summary;
    summary.Container = "AVI";
    summary.DurationMs = ModernDurationMs();
    summary.Truncated = RiffPastTheEnd;
    if (HasVideoFormat && HasVideoStreamHeader) {
        SummariseVideo(summary);
    }
    if (HasAudioFormat) {
        summary.HasAudio = true;
        summary.AudioTracks = 1;
        summary.AudioCode = AudioFormatTagCode(AudioFormat.wFormatTag);
        summary.AudioCodec = SoundFormatName(AudioFormat.wFormatTag);
        summary.AudioBitRate = std::int64_t{AudioFormat.nAvgBytesPerSec} * 8;
        // A format that states no rate (MP3 from some muxers): the index's.
        if (AudioFormat.nAvgBytesPerSec == 0 && IndexWhole && summary.DurationMs.value_or(0) > 0) {
            summary.AudioBitRate = static_cast<std::int64_t>(
                IndexedSoundBytes * 8000 / static_cast<std::uint64_t>(*summary.DurationMs));
        }
        summary.SampleRate = std::int64_t{AudioFormat.nSamplesPerSec};
        summary.Channels = std::int64_t{AudioFormat.nChannels};
    }
    // The video's bytes over the video's own length.
    std::optional<std::int64_t> videoMs = VideoLengthMs();
    videoMs = videoMs ? videoMs : summary.DurationMs;
    if (summary.HasVideo && videoMs) {
        summary.VideoBitRate = VideoBitRate(fileSize, *videoMs, summary.AudioBitRate.value_or(0));
    }
    std::vector<MetadataItem> texts = InfoItems;
    texts.insert(texts.end(), StreamNames.begin(), StreamNames.end());
    summary.Metadata = InLabelOrder(texts);
    return summary;
}

namespace {

// Milliseconds that a row can state; a length past any real one (ten
// thousand years) is not stated.
std::optional<std::int64_t> StatedMs(double milliseconds) {
    return std::isfinite(milliseconds) && milliseconds >= 0 && milliseconds < 3e14
               ? std::optional(std::llround(milliseconds))
               : std::nullopt;
}

// A stream's length in its units of scale over rate.
std::optional<std::int64_t> StreamLengthMs(const AviStreamHeader& stream) {
    if (stream.dwRate == 0 || stream.dwLength == 0) {
        return std::nullopt;
    }
    return StatedMs(static_cast<double>(stream.dwLength) * 1000.0 *
                    static_cast<double>(stream.dwScale) / static_cast<double>(stream.dwRate));
}

} // namespace

std::optional<std::int64_t> CAVIHeaderReader::VideoLengthMs() const {
    // OpenDML counts the frames of every RIFF part; the main header only
    // those of the first.
    const std::uint32_t frames = std::max(OdmlTotalFrames, MainHeader.dwTotalFrames);
    if (frames > 0 && MainHeader.dwMicroSecPerFrame > 0) {
        return StatedMs(static_cast<double>(MainHeader.dwMicroSecPerFrame) / 1000.0 *
                        static_cast<double>(frames));
    }
    return HasVideoStreamHeader ? StreamLengthMs(VideoStreamHeader) : std::nullopt;
}

std::optional<std::int64_t> CAVIHeaderReader::SoundLengthMs() const {
    return HasAudioStreamHeader ? StreamLengthMs(AudioStreamHeader) : std::nullopt;
}

std::optional<std::int64_t> CAVIHeaderReader::ModernDurationMs() const {
    const std::optional<std::int64_t> video = VideoLengthMs();
    const std::optional<std::int64_t> sound = SoundLengthMs();
    if (!video) {
        return sound ? sound : std::optional<std::int64_t>(DurationMs);
    }
    // The sound often runs past the last frame; a sound header that claims
    // more than twice the video's length is not believed.
    return sound && *sound > *video && *sound <= 2 * *video ? sound : video;
}

bool CAVIHeaderReader::Load(ByteSource& source) {
    RiffPastTheEnd = false;
    std::array<std::uint8_t, 12> head{};
    if (source.Read(head) < head.size()) {
        return false;
    }
    if (!IsFourCC(LoadFourCC(head, 0), "RIFF") || !IsFourCC(LoadFourCC(head, 8), "AVI ")) {
        return false;
    }
    RecognisedContainer = true;
    walk_ = {};
    indexRead_ = false;
    // The RIFF size counts the form type and everything after it. A file cut
    // short lowers the bound, so a truncated "movi" simply ends the walk.
    const std::int64_t riffEnd = 8 + std::int64_t{LoadLe32(head, 4)};
    const std::int64_t bound = std::min(riffEnd, source.Size());
    RiffPastTheEnd = riffEnd > source.Size();
    while (source.Position() < bound) {
        if (!WalkChunk(source, bound, 0)) {
            break;
        }
    }
    if (HasMainHeader && HasAudioFormat && HasVideoFormat) {
        ComputeResults();
        return true;
    }
    return false;
}

void CAVIHeaderReader::WalkList(ByteSource& source, std::int64_t bound, int depth) {
    FourCC listType{};
    // "movi" and "rec " hold the sample data and are never entered.
    if (source.Read(listType) != listType.size() || EqualsIgnoringAsciiCase(listType, "movi") ||
        EqualsIgnoringAsciiCase(listType, "rec ") || depth >= kMaxListDepth) {
        return;
    }
    while (source.Position() < bound) {
        if (!WalkChunk(source, bound, depth + 1)) {
            break;
        }
    }
}

bool CAVIHeaderReader::ReadStreamHeader(ByteSource& source) {
    AviStreamHeader streamHeader{};
    if (source.Read(BytesOf(streamHeader)) < sizeof(streamHeader)) {
        return false;
    }
    CurrentStreamType = streamHeader.fccType;
    if (IsFourCC(CurrentStreamType, "vids")) {
        VideoStreamHeader = streamHeader;
        HasVideoStreamHeader = true;
    } else if (IsFourCC(CurrentStreamType, "auds")) {
        AudioStreamHeader = streamHeader;
        HasAudioStreamHeader = true;
    }
    return true;
}

bool CAVIHeaderReader::ReadStreamFormat(ByteSource& source, std::uint32_t size) {
    // A format shorter than its record leaves the rest of it zero.
    const auto readInto = [&](auto& format, bool& has) {
        format = {};
        const auto wanted = std::min<std::size_t>(size, sizeof(format));
        if (source.Read(BytesOf(format).first(wanted)) < wanted) {
            return false;
        }
        has = true;
        return true;
    };
    if (IsFourCC(CurrentStreamType, "auds")) {
        return readInto(AudioFormat, HasAudioFormat);
    }
    if (IsFourCC(CurrentStreamType, "vids")) {
        return readInto(VideoFormat, HasVideoFormat);
    }
    return true;
}

bool CAVIHeaderReader::WalkChunk(ByteSource& source, std::int64_t bound, int depth) {
    stop_.Check();
    if (ChunksVisited >= kMaxChunks) {
        return false;
    }
    // The modern row walks as the MP4 and Matroska readers do: chunks far
    // apart cost a read each, and a bounded number of them.
    if (modern_ && !walk_.Allows(source.Position(), 8)) {
        return false;
    }
    ++ChunksVisited;
    std::array<std::uint8_t, 8> header{};
    if (source.Read(header) < header.size()) {
        return false;
    }
    const FourCC id = LoadFourCC(header, 0);
    const std::uint32_t size = LoadLe32(header, 4);
    const std::int64_t dataStart = source.Position();
    const std::int64_t dataEnd = CheckedAdd(dataStart, size);
    // An odd-sized chunk is followed by one pad byte.
    const std::int64_t next = CheckedAdd(dataEnd, size & 1U);

    if (IsFourCC(id, "LIST")) {
        WalkList(source, std::min(dataEnd, bound), depth);
    } else if (IsFourCC(id, "avih")) {
        // Read whole whatever the declared size says.
        if (source.Read(BytesOf(MainHeader)) < sizeof(MainHeader)) {
            return false;
        }
        HasMainHeader = true;
    } else if (IsFourCC(id, "strh")) {
        if (!ReadStreamHeader(source)) {
            return false;
        }
    } else if (IsFourCC(id, "strf")) {
        if (!ReadStreamFormat(source, size)) {
            return false;
        }
    } else if (modern_ &&
               !ReadModernChunk(source, id,
                                std::max<std::int64_t>(0, std::min(dataEnd, bound) - dataStart),
                                size, depth)) {
        return false;
    }

    // A chunk of size 0 ends the walk of the list that holds it.
    if (size == 0 || next >= bound) {
        return false;
    }
    return source.Seek(next) == next;
}

bool CAVIHeaderReader::ReadModernChunk(ByteSource& source, const FourCC& id, std::int64_t held,
                                       std::uint32_t size, int depth) {
    struct InfoLabel {
        char Code[5];
        const char* Label;
    };
    static constexpr std::array<InfoLabel, 7> kInfoLabels{{
        {"ISFT", "Software"},
        {"INAM", "Title"},
        {"IART", "Artist"},
        {"ICRD", "Date"},
        {"ICMT", "Comment"},
        {"IGNR", "Genre"},
        {"ICOP", "Copyright"},
    }};
    // The legacy index stands at the RIFF's top level, once; one named inside
    // a list, or a second one, is not read (each would read up to a MiB).
    if (IsFourCC(id, "idx1")) {
        if (depth > 0 || indexRead_) {
            return true;
        }
        indexRead_ = true;
        return ReadIndex(source, held, size);
    }
    if (IsFourCC(id, "dmlh")) {
        std::array<std::uint8_t, 4> frames{};
        if (source.Read(frames) < frames.size()) {
            return false;
        }
        OdmlTotalFrames = LoadLe32(frames, 0);
        return true;
    }
    const char* label = IsFourCC(id, "strn") ? "Title" : nullptr;
    for (const InfoLabel& info : kInfoLabels) {
        label = IsFourCC(id, info.Code) ? info.Label : label;
    }
    if (label == nullptr) {
        return true;
    }
    // Never past the list that holds the text.
    std::vector<std::uint8_t> text(
        static_cast<std::size_t>(std::min<std::int64_t>(held, kMaxText)));
    if (source.Read(text) < text.size()) {
        return false;
    }
    std::string value(text.begin(), std::find(text.begin(), text.end(), std::uint8_t{0}));
    if (!value.empty()) {
        (IsFourCC(id, "strn") ? StreamNames : InfoItems).push_back({label, std::move(value)});
    }
    return true;
}

bool CAVIHeaderReader::ReadIndex(ByteSource& source, std::int64_t held, std::uint32_t size) {
    const std::int64_t readable = std::min<std::int64_t>(held, kMaxIndexRead);
    std::vector<std::uint8_t> index(static_cast<std::size_t>(readable / 16 * 16));
    if (source.Read(index) < index.size()) {
        return false;
    }
    for (std::size_t at = 0; at + 16 <= index.size(); at += 16) {
        // "NNdc" and "NNdb" are pictures, "NNwb" sound.
        const std::uint32_t bytes = LoadLe32(index, at + 12);
        if (index[at + 2] == 'd' && (index[at + 3] == 'c' || index[at + 3] == 'b')) {
            IndexedVideoBytes += bytes;
        } else if (index[at + 2] == 'w' && index[at + 3] == 'b') {
            IndexedSoundBytes += bytes;
        }
        IndexedBytes += bytes;
    }
    IndexWhole = index.size() == size;
    return true;
}

std::optional<std::int64_t> CAVIHeaderReader::VideoBitRate(std::int64_t fileSize,
                                                           std::int64_t durationMs,
                                                           std::int64_t soundBitRate) const {
    if (durationMs <= 0 || fileSize <= 0) {
        return std::nullopt;
    }
    const double seconds = static_cast<double>(durationMs) / 1000.0;
    double bits = 0;
    if (IndexWhole && OdmlTotalFrames <= MainHeader.dwTotalFrames && IndexedVideoBytes > 0) {
        bits = static_cast<double>(IndexedVideoBytes) * 8; // every picture counted
    } else if (IndexedBytes > 0) {
        // The video's share of the entries read, of the whole file.
        bits = static_cast<double>(IndexedVideoBytes) / static_cast<double>(IndexedBytes) *
               static_cast<double>(fileSize) * 8;
    } else {
        bits = static_cast<double>(fileSize) * 8 - static_cast<double>(soundBitRate) * seconds;
    }
    const double rate = bits / seconds;
    return rate >= 1 && rate < 1e12 ? std::optional<std::int64_t>(std::llround(rate))
                                    : std::nullopt;
}

void CAVIHeaderReader::ComputeResults() {
    // Divide first, then multiply, in extended precision: the rounding of
    // half-way cases depends on it.
    const Extended duration = static_cast<Extended>(MainHeader.dwMicroSecPerFrame) / 1000 *
                              static_cast<Extended>(MainHeader.dwTotalFrames);
    const std::uint32_t rate = VideoStreamHeader.dwRate;
    const std::uint32_t scale = VideoStreamHeader.dwScale;
    FrameRate =
        scale != 0 ? static_cast<double>(static_cast<Extended>(rate) / static_cast<Extended>(scale))
                   : static_cast<double>(rate);
    DurationMs = RoundToUInt32(duration);
}

} // namespace vidarium

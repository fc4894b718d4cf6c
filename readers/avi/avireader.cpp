#include "avireader.h"

#include "audioformattags.h"
#include "bytesource.h"
#include "guarded.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <cctype>

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
    LoadFromSource(source, path);
    if (!HasMainHeader || !(HasVideoFormat || HasAudioFormat)) {
        return false;
    }
    ComputeResults();
    return true;
}

MediaSummary CAVIHeaderReader::StreamSummary() const {
    MediaSummary summary;
    summary.Container = "AVI";
    summary.DurationMs = std::int64_t{DurationMs};
    if (HasVideoFormat && HasVideoStreamHeader) {
        summary.HasVideo = true;
        summary.VideoTracks = 1;
        summary.VideoCode = CodeText(VideoStreamHeader.fccHandler);
        summary.VideoCodec = summary.VideoCode;
        summary.Width = std::int64_t{VideoFormat.biWidth};
        summary.Height = std::int64_t{VideoFormat.biHeight};
        summary.FrameRate = double{FrameRate};
    }
    if (HasAudioFormat) {
        summary.HasAudio = true;
        summary.AudioTracks = 1;
        summary.AudioCode = AudioFormatTagCode(AudioFormat.wFormatTag);
        summary.AudioCodec = AudioFormatTagName(AudioFormat.wFormatTag);
        summary.AudioBitRate = std::int64_t{AudioFormat.nAvgBytesPerSec} * 8;
        summary.SampleRate = std::int64_t{AudioFormat.nSamplesPerSec};
        summary.Channels = std::int64_t{AudioFormat.nChannels};
    }
    return summary;
}

bool CAVIHeaderReader::Load(ByteSource& source) {
    std::array<std::uint8_t, 12> head{};
    if (source.Read(head) < head.size()) {
        return false;
    }
    if (!IsFourCC(LoadFourCC(head, 0), "RIFF") || !IsFourCC(LoadFourCC(head, 8), "AVI ")) {
        return false;
    }
    RecognisedContainer = true;
    // The RIFF size counts the form type and everything after it. A file cut
    // short lowers the bound, so a truncated "movi" simply ends the walk.
    const std::int64_t riffEnd = 8 + std::int64_t{LoadLe32(head, 4)};
    const std::int64_t bound = std::min(riffEnd, source.Size());
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
    }

    // A chunk of size 0 ends the walk of the list that holds it.
    if (size == 0 || next >= bound) {
        return false;
    }
    return source.Seek(next) == next;
}

void CAVIHeaderReader::ComputeResults() {
    // Divide first, then multiply, in extended precision: the rounding of
    // half-way cases depends on it.
    const Extended duration = static_cast<Extended>(MainHeader.dwMicroSecPerFrame) / 1000 *
                              static_cast<Extended>(MainHeader.dwTotalFrames);
    DurationMs = RoundToUInt32(duration);
    const std::uint32_t rate = VideoStreamHeader.dwRate;
    const std::uint32_t scale = VideoStreamHeader.dwScale;
    FrameRate =
        scale != 0 ? static_cast<double>(static_cast<Extended>(rate) / static_cast<Extended>(scale))
                   : static_cast<double>(rate);
}

} // namespace vidarium

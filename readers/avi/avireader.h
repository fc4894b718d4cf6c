// Header reader for AVI files (RIFF form "AVI "): main header, the last video
// and audio stream headers and formats, running time and frame rate.
#pragma once

#include "byteorder.h"
#include "bytesource.h"
#include "loadstop.h"
#include "mediasummary.h"
#include "readererror.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace vidarium {

// The records are byte-for-byte copies of the file's little-endian structures.
#pragma pack(push, 1)
struct AviMainHeader {
    std::uint32_t dwMicroSecPerFrame;
    std::uint32_t dwMaxBytesPerSec;
    std::uint32_t dwPaddingGranularity;
    std::uint32_t dwFlags;
    std::uint32_t dwTotalFrames;
    std::uint32_t dwInitialFrames;
    std::uint32_t dwStreams;
    std::uint32_t dwSuggestedBufferSize;
    std::uint32_t dwWidth;
    std::uint32_t dwHeight;
    std::uint32_t dwReserved[4];
};

// The published stream header without its trailing frame rectangle.
struct AviStreamHeader {
    FourCC fccType;
    FourCC fccHandler;
    std::uint32_t dwFlags;
    std::uint16_t wPriority;
    std::uint16_t wLanguage;
    std::uint32_t dwInitialFrames;
    std::uint32_t dwScale;
    std::uint32_t dwRate;
    std::uint32_t dwStart;
    std::uint32_t dwLength;
    std::uint32_t dwSuggestedBufferSize;
    std::uint32_t dwQuality;
    std::uint32_t dwSampleSize;
};

struct WaveFormatEx {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize;
};

struct BitmapInfoHeader {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    FourCC biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
#pragma pack(pop)

static_assert(sizeof(AviMainHeader) == 56);
static_assert(sizeof(AviStreamHeader) == 48);
static_assert(sizeof(WaveFormatEx) == 18);
static_assert(sizeof(BitmapInfoHeader) == 40);

class CAVIHeaderReader {
public:
    static constexpr ReaderOrigin kOrigin{"CAVIHeaderReader", "avireader", 246};
    // Lists nested deeper than this are passed over instead of entered.
    static constexpr int kMaxListDepth = 64;
    // Chunks visited in one load; the walk then ends as at a short read.
    static constexpr std::uint32_t kMaxChunks = 1'000'000;

    CAVIHeaderReader() { Reset(); }

    void Reset();
    // True when the file is an AVI whose walk found the main header, an audio
    // format and a video format. Raises ReaderError on a fault (including a
    // file that cannot be opened); the file is closed first.
    bool LoadFromFile(const std::filesystem::path& path);
    // The same load over an open source; `path` names it in the reader error.
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);
    // A load in progress ends at the next chunk once `flag` is set: it raises
    // the reader error (the fault nested under it is LoadStopped).
    void WatchStopFlag(const std::atomic<bool>* flag) { stop_.Watch(flag); }
    // The play time and frame rate from the headers the walk found; a load
    // that accepts the file has already computed them.
    void ComputeResults();
    // The same walk for a file with only one kind of stream (a screen
    // recording, DV): true when it found the main header and a video or a
    // sound format; StreamSummary then describes them.
    bool LoadStreams(ByteSource& source, const std::filesystem::path& path);
    // The modern AVI row: the codec by name, the OpenDML frame count, the
    // video rate the file's size leaves after the sound's, and the INFO
    // texts and stream names in Comments.
    MediaSummary StreamSummary(std::int64_t fileSize) const;

    AviMainHeader MainHeader{};
    AviStreamHeader AudioStreamHeader{};
    AviStreamHeader VideoStreamHeader{};
    WaveFormatEx AudioFormat{};
    BitmapInfoHeader VideoFormat{};
    FourCC CurrentStreamType{};
    bool HasAudioStreamHeader = false;
    bool HasVideoStreamHeader = false;
    bool HasAudioFormat = false;
    bool HasVideoFormat = false;
    bool HasMainHeader = false;
    std::uint32_t DurationMs = 0;
    double FrameRate = 0.0;
    // "RIFF" at bytes 0 to 3 and "AVI " at bytes 8 to 11: the file is an AVI
    // even when the load is refused or raises the reader error.
    bool RecognisedContainer = false;
    // The RIFF claims more bytes than the file holds: a file cut short.
    bool RiffPastTheEnd = false;
    // Chunk headers the last load's walk read.
    std::uint32_t ChunksVisited = 0;
    // Read only by LoadStreams: the OpenDML header's frame count of every
    // RIFF part, and the INFO texts and stream names in file order.
    std::uint32_t OdmlTotalFrames = 0;
    std::vector<MetadataItem> InfoItems;
    std::vector<MetadataItem> StreamNames;
    // What the legacy index's entries read say of the streams' shares: the
    // video's and the sound's chunks' bytes, all chunks' bytes, and whether the index was read
    // whole.
    std::uint64_t IndexedVideoBytes = 0;
    std::uint64_t IndexedSoundBytes = 0;
    std::uint64_t IndexedBytes = 0;
    bool IndexWhole = false;
    // A text chunk read, at most; and of the legacy index.
    static constexpr std::uint32_t kMaxText = 4096;
    static constexpr std::uint32_t kMaxIndexRead = 1U << 20;
    // The largest picture side the modern row states.
    static constexpr std::int64_t kMaxSide = 16384;

private:
    bool Load(ByteSource& source);
    // A list's chunks, unless it holds sample data or lies too deep.
    void WalkList(ByteSource& source, std::int64_t bound, int depth);
    bool ReadStreamHeader(ByteSource& source);
    bool ReadStreamFormat(ByteSource& source, std::uint32_t size);
    bool WalkChunk(ByteSource& source, std::int64_t bound, int depth);
    // The modern row's lengths: the video's (frames, else its stream
    // header's), the sound's stream header's, and the file's, the longer.
    std::optional<std::int64_t> VideoLengthMs() const;
    std::optional<std::int64_t> SoundLengthMs() const;
    std::optional<std::int64_t> ModernDurationMs() const;
    // The chunks only the modern row uses.
    // `held`: the bytes of the chunk that its list (or the RIFF) holds.
    bool ReadModernChunk(ByteSource& source, const FourCC& id, std::int64_t held,
                         std::uint32_t size, int depth);
    bool ReadIndex(ByteSource& source, std::int64_t held, std::uint32_t size);
    // The modern row's video values.
    void SummariseVideo(MediaSummary& summary) const;
    std::optional<std::int64_t> VideoBitRate(std::int64_t fileSize, std::int64_t durationMs,
                                             std::int64_t soundBitRate) const;

    bool modern_ = false;
    bool indexRead_ = false;
    HeaderWalkBudget walk_;

    LoadStop stop_;
};

} // namespace vidarium

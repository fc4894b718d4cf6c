// Header reader for QuickTime movies: the atom tree of the file, the movie
// duration, the longest video and sound tracks, and the user-data texts.
#pragma once

#include "byteorder.h"
#include "readererror.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace vidarium {

class ByteSource;

// One atom of the tree. The tree owns its nodes (in the reader's arena); a
// node owns its payload unless Borrowed, when Data points into the expanded
// buffer of an enclosing compressed movie header.
struct AtomNode {
    FourCC AtomType{};
    std::uint32_t Size = 0; // payload length: declared size - 8
    AtomNode* Parent = nullptr;
    AtomNode* Next = nullptr;
    AtomNode* Last = nullptr; // in a first child only: its parent's last child
    AtomNode* FirstChild = nullptr;
    const std::uint8_t* Data = nullptr;
    // Bytes actually held at Data. Fewer than Size when the file ends early:
    // the bytes it does not have count as zero.
    std::size_t DataLength = 0;
    bool Borrowed = false;
    std::vector<std::uint8_t> Owned;

    std::span<const std::uint8_t> Payload() const { return {Data, Data ? DataLength : 0}; }
};

#pragma pack(push, 1)
// A video sample description after its 16-byte head, as stored; Version,
// Width, Height and Depth are turned into host order after the copy.
struct VideoSampleDesc {
    std::uint16_t Version;
    std::uint16_t RevisionLevel;
    std::uint32_t Vendor;
    std::uint32_t TemporalQuality;
    std::uint32_t SpatialQuality;
    std::uint16_t Width;
    std::uint16_t Height;
    std::uint32_t HorizontalResolution;
    std::uint32_t VerticalResolution;
    std::uint32_t DataSize;
    std::uint16_t FrameCount;
    std::uint8_t CompressorName[32]; // a length byte, then 31 characters
    std::uint16_t Depth;
    std::uint16_t ColorTableId;
};

// A sound sample description after its 16-byte head; the last four fields
// mean something only in version 1. SampleRate holds whole hertz after a load.
struct SoundSampleDesc {
    std::uint16_t Version;
    std::uint16_t RevisionLevel;
    std::uint32_t Vendor;
    std::uint16_t Channels;
    std::uint16_t SampleSize;
    std::uint16_t CompressionId;
    std::uint16_t PacketSize;
    std::uint32_t SampleRate;
    std::uint32_t SamplesPerPacket;
    std::uint32_t BytesPerPacket;
    std::uint32_t BytesPerFrame;
    std::uint32_t BytesPerSample;
};
#pragma pack(pop)

static_assert(sizeof(VideoSampleDesc) == 70);
static_assert(sizeof(SoundSampleDesc) == 36);

class CQuickTimeReader {
public:
    static constexpr ReaderOrigin kOrigin{"CQuickTimeReader", "movreader", 660};
    // Atoms nested deeper than this are passed over instead of entered.
    static constexpr int kMaxDepth = 64;
    // A compressed movie header inside this many others is not expanded.
    static constexpr int kMaxExpansionNesting = 4;
    // A data atom larger than this is not loaded (its node gets no Data).
    static constexpr std::uint32_t kMaxDataAtom = 64U << 20;
    // What one load may hold in memory: payloads, and expanded headers.
    static constexpr std::size_t kMaxLoadedBytes = 256U << 20;
    static constexpr std::size_t kMaxExpandedStart = 64U << 20;
    static constexpr std::size_t kMaxExpanded = 256U << 20;
    static constexpr std::size_t kMaxAtoms = 1'000'000;

    CQuickTimeReader() = default;
    CQuickTimeReader(const CQuickTimeReader&) = delete;
    CQuickTimeReader& operator=(const CQuickTimeReader&) = delete;
    ~CQuickTimeReader() { Clear(); }

    // Sets every result field to its reset value and forgets the tree.
    void Reset();
    // Releases the tree, then Reset.
    void Clear();
    // True for a movie with a duration and at least one chosen track. Raises
    // ReaderError on a fault (including a file that cannot be opened).
    bool LoadFromFile(const std::filesystem::path& path);
    bool LoadFromSource(ByteSource& source, const std::filesystem::path& path);

    // Tree operations.
    AtomNode* AddChildAtom(AtomNode* parent);
    static AtomNode* FindChildAtom(const AtomNode* parent, const char (&type)[5]);
    static void FreeAtoms(AtomNode* first);
    static bool IsContainerAtom(const FourCC& type);
    static bool IsDataAtom(const FourCC& type);
    static std::string SoundCodecName(const FourCC& code);
    static std::string UserDataLabel(const FourCC& type);

    AtomNode Root;
    std::uint32_t DurationMs = 0;
    std::uint32_t VideoTrackSeconds = 0;
    std::uint32_t AudioTrackSeconds = 0;
    VideoSampleDesc VideoDesc{};
    SoundSampleDesc SoundDesc{};
    FourCC VideoFourCC{};
    FourCC AudioFourCC{};
    bool HasVideo = false;
    bool HasAudio = false;
    std::uint32_t AudioBitRate = 0;
    std::string VideoCodecName;
    std::string AudioCodecName;
    std::string Comments;

private:
    bool Load(ByteSource& source);
    bool ReadAtom(ByteSource& source, AtomNode* parent, std::int64_t limit, int depth);
    bool ReadAtomFromMemory(const std::uint8_t*& cursor, const std::uint8_t* end, AtomNode* parent,
                            int depth);
    void ExtractAtoms(AtomNode* first);
    void MovieHeaderStep(const AtomNode& node);
    void TrackStep(const AtomNode& node);
    void ExpandMovieHeader(AtomNode& node);
    void AppendUserDataItem(const AtomNode& node);

    std::deque<AtomNode> atoms_;
    std::size_t loadedBytes_ = 0;
};

inline std::uint32_t Swap32(std::uint32_t value) {
    return __builtin_bswap32(value);
}
inline std::uint16_t Swap16(std::uint16_t value) {
    return __builtin_bswap16(value);
}

} // namespace vidarium

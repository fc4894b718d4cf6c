// Header reader for QuickTime movies: the atom tree of the file, the movie
// duration, the longest video and sound tracks, and the user-data texts.
#pragma once

#include "byteorder.h"
#include "loadmemory.h"
#include "loadstop.h"
#include "mediasummary.h"
#include "readererror.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace vidarium {

class ByteSource;

// One atom of the tree. The tree owns its nodes (in the reader's arena); a
// node owns its payload unless Borrowed, when Data points into the expanded
// buffer of an enclosing compressed movie header.
struct AtomNode {
    FourCC AtomType{};
    // Payload length: the declared size less the header (8 bytes, or 16 for
    // the 64-bit form of a media data atom over 4 GiB).
    std::uint64_t Size = 0;
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

// A video sample description after its 16-byte head, every number decoded
// from the file's big-endian bytes.
struct VideoSampleDesc {
    std::uint16_t Version = 0;
    std::uint16_t RevisionLevel = 0;
    std::uint32_t Vendor = 0;
    std::uint32_t TemporalQuality = 0;
    std::uint32_t SpatialQuality = 0;
    std::uint16_t Width = 0;
    std::uint16_t Height = 0;
    std::uint32_t HorizontalResolution = 0; // 16.16 fixed point
    std::uint32_t VerticalResolution = 0;   // 16.16 fixed point
    std::uint32_t DataSize = 0;
    std::uint16_t FrameCount = 0;
    std::array<std::uint8_t, 32> CompressorName{}; // a length byte, then 31 characters
    std::uint16_t Depth = 0;
    std::uint16_t ColorTableId = 0;

    static VideoSampleDesc Decode(std::span<const std::uint8_t> stored);
};

// A sound sample description after its 16-byte head; the last four fields
// mean something only in version 1. SampleRate holds whole hertz.
struct SoundSampleDesc {
    std::uint16_t Version = 0;
    std::uint16_t RevisionLevel = 0;
    std::uint32_t Vendor = 0;
    std::uint16_t Channels = 0;
    std::uint16_t SampleSize = 0;
    std::uint16_t CompressionId = 0;
    std::uint16_t PacketSize = 0;
    std::uint32_t SampleRate = 0;
    std::uint32_t SamplesPerPacket = 0;
    std::uint32_t BytesPerPacket = 0;
    std::uint32_t BytesPerFrame = 0;
    std::uint32_t BytesPerSample = 0;

    static SoundSampleDesc Decode(std::span<const std::uint8_t> stored);
};

class CQuickTimeReader {
public:
    static constexpr ReaderOrigin kOrigin{"CQuickTimeReader", "movreader", 660};
    // Atoms nested deeper than this are passed over instead of entered.
    static constexpr int kMaxDepth = 64;
    // A compressed movie header inside this many others is not expanded.
    static constexpr int kMaxExpansionNesting = 4;
    // A data atom larger than this is not loaded (its node gets no Data).
    static constexpr std::uint32_t kMaxDataAtom = 64U << 20;
    // The payloads the file walk loads add up to at most this (and the file's
    // size): overlapping atoms cannot make a load hold many copies of a file.
    static constexpr std::size_t kMaxLoadedBytes = 256U << 20;
    // All the expansions of one load together produce at most this many
    // bytes (so one expansion too); going past it is a fault of the step. An
    // expansion holds only what it produces when it succeeds: a stream that
    // runs past the budget costs time, never memory.
    static constexpr std::size_t kExpansionBudget = 256U << 20;
    // Atom nodes made by one load, expanded data included.
    static constexpr std::size_t kMaxAtoms = 1'000'000;
    // What the file walk may fetch from the file in one load, blocks and
    // payloads included: twice the file's size plus a few blocks, and at
    // most this. A sequential walk fetches about the file's size; overlapping
    // atoms, which send each level above back over the same bytes, stop here.
    static constexpr std::uint64_t kMaxWalkBytes = 256U << 20;
    static constexpr std::uint64_t kWalkSlackBytes = 64U << 10;

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
    // A load in progress ends at the next atom once `flag` is set: it raises
    // the reader error (the fault nested under it is LoadStopped).
    void WatchStopFlag(const std::atomic<bool>* flag) { stop_.Watch(flag); }

    // Tree operations.
    AtomNode* AddChildAtom(AtomNode* parent);
    static AtomNode* FindChildAtom(const AtomNode* parent, const char (&type)[5]);
    static void FreeAtoms(AtomNode* first);
    static bool IsContainerAtom(const FourCC& type);
    static bool IsDataAtom(const FourCC& type);
    static std::string SoundCodecName(const FourCC& code);
    static std::string UserDataLabel(const FourCC& type);

    // The file walk made a top-level "ftyp", "moov" or "mdat": the file is a
    // QuickTime movie even when the load is refused or raises the reader error.
    bool RecognisedContainer() const;
    // Bytes the file walk loaded as payloads, and bytes the expansions
    // produced, in the last load.
    std::size_t LoadedPayloadBytes() const { return loadedBytes_; }
    std::size_t ExpandedBytes() const { return expandedBytes_; }
    // Children walked by the steps' lookups in the last load.
    std::uint64_t ChildrenSearched() const { return childrenSearched_; }
    // Bytes the file walk fetched from the source in the last load.
    std::uint64_t WalkedBytes() const { return walkedBytes_; }

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
    // The user data items, each a line of the Comments cell: label and
    // trimmed text.
    std::vector<MetadataItem> UserData;

private:
    // The children of one atom that the steps look up, found in one walk of
    // its children, so that a load stays linear however many siblings ask.
    struct KnownChildren {
        const AtomNode* CompressionMethod = nullptr; // "dcom"
        const AtomNode* MediaHeader = nullptr;       // "mdhd"
        const AtomNode* Handler = nullptr;           // "hdlr"
    };
    // Only for an atom whose children are all made: the steps ask about a
    // parent or ancestor of the atom they handle.
    const KnownChildren& ChildrenOf(const AtomNode* parent);

    bool Load(ByteSource& source);
    bool ReadAtom(ByteSource& source, AtomNode* parent, std::int64_t limit, int depth);
    bool ReadAtomFromMemory(const std::uint8_t*& cursor, const std::uint8_t* end, AtomNode* parent,
                            int depth);
    void LoadPayload(ByteSource& source, AtomNode& node, std::int64_t payloadStart);
    void ExtractAtoms(AtomNode* first);
    void MovieHeaderStep(const AtomNode& node);
    void TrackStep(const AtomNode& node);
    void ExpandMovieHeader(AtomNode& node);
    void AppendUserDataItem(const AtomNode& node);

    std::deque<AtomNode> atoms_;
    // The payloads and expansions the tree holds, until it is cleared.
    LoadMemory::Share memory_;
    std::size_t loadedBytes_ = 0;
    std::size_t payloadBudget_ = 0;
    std::size_t expandedBytes_ = 0;
    std::uint64_t walkBudget_ = 0;
    std::uint64_t fetchedBefore_ = 0;
    std::uint64_t walkedBytes_ = 0;
    std::uint64_t childrenSearched_ = 0;
    std::unordered_map<const AtomNode*, KnownChildren> knownChildren_;
    LoadStop stop_;
};

inline std::uint32_t Swap32(std::uint32_t value) {
    return __builtin_bswap32(value);
}
inline std::uint16_t Swap16(std::uint16_t value) {
    return __builtin_bswap16(value);
}

} // namespace vidarium

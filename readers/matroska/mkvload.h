// One Matroska or WebM load: the walk of the segment's elements, its
// tracks, tags and clusters (mkvtags.cpp, mkvclusters.cpp), and the summary
// made of them. Private to the Matroska reader.
#pragma once

#include "ebml.h"
#include "mkvreader.h"

#include "audioformattags.h"
#include "bytesource.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "elementary.h"
#include "frametimes.h"
#include "guarded.h"
#include "loadmemory.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium::mkv {

// Element IDs, with their length marker, as the format writes them.
enum : std::uint32_t {
    kEbml = 0x1A45DFA3,
    kDocType = 0x4282,
    kSegment = 0x18538067,
    kSeekHead = 0x114D9B74,
    kSeek = 0x4DBB,
    kSeekId = 0x53AB,
    kSeekPosition = 0x53AC,
    kInfo = 0x1549A966,
    kTimestampScale = 0x2AD7B1,
    kDuration = 0x4489,
    kTitle = 0x7BA9,
    kDateUtc = 0x4461,
    kTracks = 0x1654AE6B,
    kTrackEntry = 0xAE,
    kTrackNumber = 0xD7,
    kTrackUid = 0x73C5,
    kTrackType = 0x83,
    kCodecId = 0x86,
    kCodecPrivate = 0x63A2,
    kDefaultDuration = 0x23E383,
    kLanguage = 0x22B59C,
    kLanguageBcp47 = 0x22B59D,
    kVideo = 0xE0,
    kPixelWidth = 0xB0,
    kPixelHeight = 0xBA,
    kDisplayWidth = 0x54B0,
    kDisplayHeight = 0x54BA,
    kDisplayUnit = 0x54B2,
    kColour = 0x55B0,
    kBitsPerChannel = 0x55B2,
    kTransferCharacteristics = 0x55BA,
    kAudio = 0xE1,
    kSamplingFrequency = 0xB5,
    kOutputSamplingFrequency = 0x78B5,
    kChannels = 0x9F,
    kAudioBitDepth = 0x6264,
    kTags = 0x1254C367,
    kTag = 0x7373,
    kTargets = 0x63C0,
    kTagTrackUid = 0x63C5,
    kTagEditionUid = 0x63C9,
    kTagChapterUid = 0x63C4,
    kTagAttachmentUid = 0x63C6,
    kSimpleTag = 0x67C8,
    kTagName = 0x45A3,
    kTagString = 0x4487,
    kCluster = 0x1F43B675,
    kTimestamp = 0xE7,
    kSimpleBlock = 0xA3,
    kBlockGroup = 0xA0,
    kBlock = 0xA1,
    kBlockDuration = 0x9B,
};

struct TrackEntry {
    std::uint64_t Number = 0;
    std::uint64_t Uid = 0;
    std::uint64_t Type = 0;
    std::string CodecId;
    ByteSpan CodecPrivate;
    std::uint64_t DefaultDuration = 0; // nanoseconds a frame
    std::string Language = "eng";
    std::string LanguageBcp47;
    std::uint64_t PixelWidth = 0;
    std::uint64_t PixelHeight = 0;
    std::uint64_t DisplayWidth = 0;
    std::uint64_t DisplayHeight = 0;
    std::uint64_t DisplayUnit = 0;
    std::uint64_t BitsPerChannel = 0;
    std::optional<std::uint64_t> Transfer;
    double SamplingFrequency = 8000;
    std::uint64_t AudioBitDepth = 0;
    double OutputSamplingFrequency = 0;
    std::uint64_t Channels = 1;
};

// What mkvmerge writes for each track after its clusters.
struct TrackStatistics {
    std::optional<std::int64_t> BitRate;
    // When they were written, in nanoseconds from 2001; nothing when the
    // date is missing or is not one.
    std::optional<std::int64_t> WritingDate;
};

struct FileTag {
    std::string_view Name;
    std::string_view Label;
};
inline constexpr std::array<FileTag, 10> kFileTags{{
    {"TITLE", "Title"},
    {"ARTIST", "Artist"},
    {"ALBUM", "Album"},
    {"DATE_RECORDED", "Date"},
    {"DATE_RELEASED", "Date"},
    {"DATE", "Date"},
    {"COMMENT", "Comment"},
    {"DESCRIPTION", "Description"},
    {"GENRE", "Genre"},
    {"COPYRIGHT", "Copyright"},
}};

class MatroskaLoad {
public:
    MatroskaLoad(const LoadContext& context, std::size_t& elements)
        : source_(context.Source), summary_(context.Summary), elements_(elements),
          stop_(context.Stop), size_(context.Source.Size()) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    // True when the file holds a video or sound track.
    bool Read();
    // The EBML header's document type, or nothing when it cannot be read.
    std::optional<std::string> ReadDocType(const Header& ebml);
    // Finds the segment from `at` on; false when there is none.
    bool FindSegment(std::int64_t at);
    void WalkTopLevel();
    // A simple tag's name and text.
    std::pair<std::string, std::string> ReadSimpleTag(ByteSpan simpleTag);
    // What one tag says of its tracks, given to each of them once.
    void ReadTrackTag(const std::vector<std::uint64_t>& trackUids,
                      const std::vector<std::pair<std::string, std::string>>& simple);
    void ReadFileTags(const std::vector<std::pair<std::string, std::string>>& simple);
    // One element's header read from the file at `at`.
    std::optional<Header> HeaderAt(std::int64_t at);
    // The bytes [at, at + size) read into memory, counted against the load's
    // budget; empty when they do not fit it.
    const std::vector<std::uint8_t>* ReadPayload(std::int64_t at, std::uint64_t size,
                                                 std::uint64_t limit);
    // Calls `child` for each child of a payload read into memory.
    template <typename Child> void Children(ByteSpan payload, int depth, Child&& child);
    void ReadTopLevel(std::uint32_t id, std::int64_t at, const Header& header);
    void ReadSeekHead(ByteSpan payload);
    void ReadInfo(ByteSpan payload);
    void ReadTracks(ByteSpan payload);
    void ReadTrack(ByteSpan payload, TrackEntry& track);
    void ReadTags(ByteSpan payload);
    std::optional<std::uint64_t> FirstClusterTimestamp(std::int64_t at, const Header& cluster);
    // Each block of a cluster's body: its track number, time and stated
    // duration, in timestamp units.
    template <typename Visit> void ClusterBlocks(ByteSpan body, Visit&& visit);
    // The first cluster's first bytes, read once.
    const std::vector<std::uint8_t>* FirstClusterBody();
    // The steady step of the first cluster's blocks of a track.
    std::optional<double> FirstBlocksFrameRate(std::uint64_t trackNumber);
    // The same over the cluster's blocks walked by their headers in the
    // file, for pictures too large for the first window to hold several.
    std::optional<double> SteppedBlocksFrameRate(std::uint64_t trackNumber);
    // Where a cluster's child holds a block (a SimpleBlock's payload, a
    // BlockGroup's Block's).
    std::optional<std::int64_t> BlockStart(const Header& child, std::int64_t payload);
    // An unsigned integer element's payload of `size` bytes, read at `position`.
    std::optional<std::uint64_t> UnsignedAt(std::int64_t position, std::uint64_t size);
    // A constant-rate sound's bit rate from its first frame's header.
    std::optional<std::uint32_t> FirstFrameBitRate(std::uint64_t trackNumber, Codec codec);
    // The end of the last block of the last cluster in the file's tail, in
    // timestamp units.
    std::optional<std::uint64_t> LastBlockEnd();
    std::optional<std::uint64_t> LastBlockEndIn(ByteSpan window);
    // The end of a cluster's last block, by the frame durations of the
    // track numbers where a block states none.
    std::optional<std::uint64_t>
    ClusterEnd(ByteSpan body, const std::map<std::uint64_t, std::uint64_t>& frameDurations);
    void Describe();
    // The Comments cell: the segment's title and the file's tags.
    void DescribeTexts();
    std::optional<std::int64_t> DurationMs();
    void DescribeVideo(const TrackEntry& track);
    void DescribeAudio(const TrackEntry& track);

    ByteSource& source_;
    MediaSummary& summary_;
    bool recognised_ = false;
    std::size_t& elements_;
    const LoadStop& stop_;
    const std::int64_t size_;
    std::uint64_t loaded_ = 0;
    LoadMemory::Share memory_; // the payloads and the tail window
    // Payloads read whole; the tracks point into them.
    std::list<std::vector<std::uint8_t>> payloads_;

    std::int64_t segmentStart_ = 0;
    std::int64_t segmentEnd_ = 0;
    std::int64_t seekHeadStart_ = 0;
    std::int64_t seekHeadEnd_ = 0;
    std::map<std::uint32_t, std::int64_t> seekTargets_;
    std::vector<std::uint32_t> seen_;

    std::uint64_t timestampScale_ = 1'000'000;
    std::optional<double> duration_;
    std::optional<std::int64_t> dateUtc_;
    std::string title_;
    std::vector<TrackEntry> tracks_;
    std::map<std::uint64_t, TrackStatistics> statistics_;
    std::map<std::string_view, std::string> fileTags_;
    std::optional<std::uint64_t> firstClusterTime_;
    std::optional<std::pair<std::int64_t, Header>> firstCluster_;
    std::optional<const std::vector<std::uint8_t>*> firstClusterBody_;
};

// Elements whose children are still read when the element is cut short.
inline bool ReadsWhenCut(std::uint32_t id) {
    static constexpr std::array<std::uint32_t, 14> kReadWhenCut{
        kSeekHead, kInfo, kTracks,  kTrackEntry, kVideo,      kColour, kAudio,
        kTags,     kTag,  kTargets, kSimpleTag,  kBlockGroup, kBlock,  kSimpleBlock};
    return std::find(kReadWhenCut.begin(), kReadWhenCut.end(), id) != kReadWhenCut.end();
}

template <typename Child> void MatroskaLoad::Children(ByteSpan payload, int depth, Child&& child) {
    if (depth > CMatroskaReader::kMaxDepth) {
        return;
    }
    while (!payload.empty()) {
        stop_.Check();
        const auto header = DecodeHeader(payload);
        if (!header || header->Length > payload.size() ||
            ++elements_ > CMatroskaReader::kMaxElements) {
            return;
        }
        // A child that overruns its parent (a cut or badly muxed file) ends
        // the level; a master element or a block gives what the parent holds
        // of it first, a value (a cut text or number would be wrong) nothing.
        const bool cut = header->Size > payload.size() - header->Length;
        if (cut && !ReadsWhenCut(header->Id)) {
            return;
        }
        const std::size_t size = static_cast<std::size_t>(
            std::min<std::uint64_t>(header->Size, payload.size() - header->Length));
        child(header->Id, payload.subspan(header->Length, size));
        payload = payload.subspan(header->Length + size);
    }
}

// A Text element's payload, as long as a cell takes.
inline std::string Text(ByteSpan payload) {
    return Text(payload, CMatroskaReader::kMaxText);
}

} // namespace vidarium::mkv

// The parts of one ISO load that its two source files share: the box
// walk over memory, what a track and a fragment say, and the load itself.
// Private to readers/iso.
#pragma once

#include "atomheader.h"
#include "byteorder.h"
#include "bytesource.h"
#include "codecnames.h"
#include "guarded.h"
#include "isoreader.h"
#include "loadmemory.h"
#include "modernreader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace vidarium::iso {

struct Box {
    FourCC Type{};
    ByteSpan Payload;
};

// The most common sample duration among the first few distinct ones: a
// steady frame rate even where the first sample of a file or the last of a
// fragment lasts longer than the others, a phone dropped a few frames, or
// its clock wavers by a tick.
class DurationTally {
public:
    void Add(std::uint32_t duration, std::uint64_t count) {
        if (!sawFirst_ && count > 0) {
            sawFirst_ = true; // the first sample may start late or early
            --count;
        }
        total_ += count;
        for (std::size_t i = 0; i < used_; ++i) {
            const std::uint32_t kept = entries_[i].first;
            if (std::max(kept, duration) - std::min(kept, duration) <= std::max(1U, kept / 1000)) {
                entries_[i].second += count;
                return;
            }
        }
        if (used_ < entries_.size() && count > 0) {
            entries_[used_++] = {duration, count};
        }
    }
    // The duration of at least four samples in five after the first, or 0
    // when none is.
    std::uint32_t Steady() const {
        for (std::size_t i = 0; i < used_; ++i) {
            if (entries_[i].first > 0 && entries_[i].second >= total_ - total_ / 5) {
                return entries_[i].first;
            }
        }
        return 0;
    }

private:
    std::array<std::pair<std::uint32_t, std::uint64_t>, 8> entries_{};
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
    bool sawFirst_ = false;
};

// What a track's boxes say, before the choice of the first video and the
// first sound track.
struct Track {
    FourCC Handler{};
    std::uint32_t TrackId = 0;
    std::array<std::int32_t, 4> Matrix{}; // a, b, c, d of the display matrix
    std::uint32_t PresentationWidth = 0;  // 16.16
    std::uint32_t PresentationHeight = 0;
    std::uint32_t TimeScale = 0;
    std::uint64_t MediaDuration = 0;
    std::string Language = "und"; // the media header's, or "elng"'s
    FourCC Code{};
    bool HasEntry = false;
    Box Entry; // the first sample entry, its payload after the 8-byte header
    std::uint64_t SampleCount = 0;
    std::uint64_t SampleTime = 0; // sum of the sample durations
    DurationTally Durations;
    std::uint64_t SampleBytes = 0;
    bool SizesKnown = false;
    std::optional<std::uint64_t> FirstChunkOffset;
    std::uint64_t LastChunkOffset = 0;
    std::uint32_t DefaultSampleDuration = 0; // from the movie extends box
};

// A fragment's run of samples of one track.
struct FragmentRun {
    std::uint32_t TrackId = 0;
    std::optional<std::uint64_t> BaseTime;
    std::uint64_t Samples = 0;
    std::uint64_t Time = 0;
    std::uint64_t Bytes = 0;
    DurationTally Durations;
};

inline bool IsOneOf(const FourCC& type, std::initializer_list<const char*> types) {
    return std::any_of(types.begin(), types.end(),
                       [&](const char* t) { return std::memcmp(type.data(), t, 4) == 0; });
}

// The box types an ISO file starts with.
inline bool IsTopLevelBox(const FourCC& type) {
    return IsOneOf(
        type, {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "styp", "sidx", "moof"});
}

// A full box's value that is 64 bits wide in version 1, 32 bits in version 0.
inline std::uint64_t VersionedValue(ByteSpan payload, std::size_t at) {
    return ByteAt(payload, 0) == 1 ? LoadBe64(payload, at) : LoadBe32(payload, at);
}

// A movie or media header: its time scale, then its duration (0 when all
// ones say it is unknown, in either width).
struct TimeHeader {
    std::uint32_t TimeScale = 0;
    std::uint64_t Duration = 0;
};
// A media header's packed ISO 639-2 code: three letters of five bits each;
// "und" when it holds no letters.
inline std::string MediaLanguage(ByteSpan mdhd) {
    const std::uint16_t packed = LoadBe16(mdhd, ByteAt(mdhd, 0) == 1 ? 32 : 20);
    std::string code;
    for (const int shift : {10, 5, 0}) {
        const auto letter = static_cast<char>(((packed >> shift) & 0x1FU) + 0x60);
        if (letter < 'a' || letter > 'z') {
            return "und";
        }
        code += letter;
    }
    return code;
}
inline TimeHeader DecodeTimeHeader(ByteSpan payload) {
    const bool v1 = ByteAt(payload, 0) == 1;
    const std::uint64_t duration = VersionedValue(payload, v1 ? 24 : 16);
    const bool unknown = v1 ? duration == ~std::uint64_t{0} : duration == 0xFFFFFFFFU;
    return {LoadBe32(payload, v1 ? 20 : 12), unknown ? 0 : duration};
}

// value * scale / divisor in extended precision, or nothing when it does
// not make a finite 64-bit value.
inline std::optional<std::int64_t> Scaled(std::uint64_t value, std::uint64_t scale,
                                          std::uint64_t divisor) {
    if (divisor == 0) {
        return std::nullopt;
    }
    const Extended result = static_cast<Extended>(value) * static_cast<Extended>(scale) /
                            static_cast<Extended>(divisor);
    if (!std::isfinite(result) || result > 9e18L) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(std::nearbyint(result));
}

class MovieParser {
public:
    MovieParser(std::size_t& boxes, const LoadStop& stop) : boxes_(boxes), stop_(stop) {}

    // Calls `visit` for each box in `bytes`. A box that claims more than is
    // left is cut at the end; a size of 0 runs to the end; a size below its
    // header ends the walk. Every box counts against the load's bound.
    template <typename Visit> void ForEachBox(ByteSpan bytes, Visit&& visit) {
        std::size_t at = 0;
        while (bytes.size() - at >= AtomHeader::kShortLength && boxes_ < CIsoReader::kMaxBoxes) {
            stop_.Check();
            ++boxes_;
            const ByteSpan rest = bytes.subspan(at);
            const AtomHeader header =
                DecodeAtomHeader(rest.first(std::min(rest.size(), AtomHeader::kExtendedLength)));
            std::uint64_t size = header.DeclaredSize;
            if (size == 0) {
                size = rest.size();
            }
            if (size < header.HeaderLength || rest.size() < header.HeaderLength) {
                return;
            }
            size = std::min<std::uint64_t>(size, rest.size());
            const auto length = static_cast<std::size_t>(size);
            visit(
                Box{header.Type, rest.subspan(header.HeaderLength, length - header.HeaderLength)});
            at += length;
        }
    }

    // The first child of `type` in `bytes`, or nothing.
    std::optional<Box> Find(ByteSpan bytes, const char (&type)[5]) {
        std::optional<Box> found;
        ForEachBox(bytes, [&](const Box& box) {
            if (!found && IsFourCC(box.Type, type)) {
                found = box;
            }
        });
        return found;
    }

    // The box at the end of a path of first children: {"mdia", "minf"}.
    std::optional<Box> FindPath(ByteSpan bytes, std::initializer_list<const char*> path) {
        std::optional<Box> box = Box{{}, bytes};
        for (const char* type : path) {
            std::optional<Box> next;
            ForEachBox(box->Payload, [&](const Box& child) {
                if (!next && std::memcmp(child.Type.data(), type, 4) == 0) {
                    next = child;
                }
            });
            if (!next) {
                return std::nullopt;
            }
            box = next;
        }
        return box;
    }

    std::size_t& boxes_;
    const LoadStop& stop_;
};

// One MP4 or QuickTime load: the top-level walk and the movie box here
// (isoreader.cpp), the fragment walk of a fragmented file
// (isofragments.cpp: the methods and fields of fragments and the track
// facts), the sample descriptions (isodescribe.cpp) and the metadata
// (isometadata.cpp).
class IsoLoad {
public:
    IsoLoad(const LoadContext& context, std::size_t& boxes)
        : source_(context.Source), summary_(context.Summary), parser_(boxes, context.Stop),
          stop_(context.Stop) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    // True when the file holds a movie box with a video or sound track.
    bool Read();
    // A top-level box's header, read from the file.
    struct TopBox {
        FourCC Type{};
        std::int64_t PayloadAt = 0;
        std::uint64_t PayloadSize = 0;
        std::uint64_t Size = 0;
        bool PastTheEnd = false; // it claims more than the file holds
    };
    // What the top-level walk does after a box.
    enum class WalkStep { Next, End, Refuse };
    std::optional<TopBox> TopBoxAt(std::int64_t position, std::int64_t size);
    WalkStep ReadTopBox(const TopBox& box);
    void ReadMovieExtends(ByteSpan mvex);

    // Reads `length` bytes at `position` (fewer when the file ends first),
    // within the load's budget.
    std::vector<std::uint8_t> ReadAt(std::int64_t position, std::uint64_t length);
    // A QuickTime movie box that holds its header compressed ("cmov"): the
    // movie box is replaced by its expansion.
    void ExpandCompressedMovie();
    void ReadFileType(ByteSpan payload);
    void ReadMovie(ByteSpan movie);
    Track ReadTrack(ByteSpan trak);
    void ReadSampleTable(ByteSpan stbl, Track& track);
    void ReadUserData(ByteSpan udta);
    void ReadItemList(ByteSpan meta);
    void ReadItem(const Box& item, const std::vector<std::string>& keys);
    void AddItem(const char* label, std::string text);
    std::vector<FragmentRun> ReadFragment(ByteSpan moof);
    // `end`: where the index box ends in the file. Only an index of (almost)
    // the whole file gives its length: one fragment's own index does not.
    void ReadSegmentIndex(ByteSpan sidx, long double end);
    std::optional<std::vector<FragmentRun>> ReadLastFragment();
    // Where the last fragment of a window at the file's end starts.
    std::optional<std::uint64_t> LastFragmentIn(ByteSpan bytes, std::int64_t start);
    std::optional<std::uint64_t> IndexedLastFragment(ByteSpan bytes);
    std::optional<std::vector<FragmentRun>> ReadFragmentAt(std::uint64_t moofAt);
    void ReadFragmentHeader(ByteSpan tfhd, FragmentRun& run, std::uint32_t& defaultDuration,
                            std::uint32_t& defaultSize) const;
    void Summarise();
    void LabelContainer();
    std::optional<Extended> DurationSeconds();
    std::optional<Extended> LastFragmentSeconds();
    // A moof: the first is kept, and the fragments are walked one after
    // another for their tracks' bytes and times.
    WalkStep ReadFragmentBox(const TopBox& box);
    // The fragment read last counted in the walk's sums, which now reach `end`.
    void SettleFragment(std::int64_t end);
    std::optional<Extended> WalkedSeconds() const;
    // The tracks the row describes: the first video and sound ones.
    struct DescribedTracks {
        const Track* Video = nullptr;
        const Track* Sound = nullptr;
    };
    // Their rates: their bytes over their time when every fragment was
    // walked, else the video's from the file's size.
    void WalkedRates(const DescribedTracks& described);
    std::optional<std::int64_t> WalkedRateOf(const Track& track) const;
    DescribedTracks DescribeTracks();
    void EstimateFragmentedVideoRate(const Track& video);
    void DescribeVideo(const Track& track);
    void DescribeAudio(const Track& track);
    // MPEG audio of either layer shares its code: the first frame says
    // which, and its rate and channels.
    void ReadFirstMpegFrame(const Track& track, Codec& codec, CodecDetails& details);
    CodecDetails VideoConfig(ByteSpan children);
    std::optional<double> FrameRateOf(const Track& track) const;
    std::string DisplayAspectOf(const Track& track, ByteSpan children, std::uint16_t width,
                                std::uint16_t height);
    // The sound configuration boxes besides the elementary stream descriptor.
    std::optional<CodecDetails> AudioConfig(ByteSpan children);
    void SetRateAndChannels(ByteSpan entry, std::uint16_t version, const CodecDetails& details);
    // Uncompressed sound's rate: its sample rate, channels and bits per
    // sample, from the sound description of `version` and the code.
    std::optional<std::int64_t> PcmBitRate(ByteSpan entry, std::uint16_t version,
                                           const FourCC& code, ByteSpan children);
    std::int64_t PcmBitsPerSample(ByteSpan entry, std::uint16_t version, const FourCC& code,
                                  ByteSpan children);
    // What the fragments need of a track, by its ID: looked up once per run,
    // so that a load stays linear in its boxes however many tracks share an ID.
    // Sorted by ID, one per ID the movie box names: a file's choice of IDs
    // cannot slow a lookup down, as it can a hash of them.
    struct TrackFacts {
        std::uint32_t TrackId = 0;
        std::uint32_t TimeScale = 0;       // of the first track of the ID that has one
        bool HoldsSamples = false;         // some track of the ID has a sample table
        std::uint32_t DefaultDuration = 0; // the last track's
        // The fragments walked: the track's time and bytes added up from the
        // first fragment's start to `walkedTo_`.
        bool Walked = false;
        Extended WalkedTime = 0;
        Extended WalkedBytes = 0;
    };
    void IndexTracks();
    const TrackFacts* FactsOf(std::uint32_t trackId) const;
    TrackFacts* FactsOf(std::uint32_t trackId);

    ByteSource& source_;
    MediaSummary& summary_;
    bool recognised_ = false;
    MovieParser parser_;
    const LoadStop& stop_;
    std::uint64_t budget_ = 0;
    LoadMemory::Share memory_; // what the reads below hold

    bool haveMovie_ = false;
    bool truncated_ = false; // a top-level box claims more than the file holds
    std::vector<std::uint8_t> movie_;
    std::vector<Track> tracks_;
    // trex: track ID and default sample duration, in file order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> defaultDurations_;
    std::vector<TrackFacts> trackFacts_;
    FourCC majorBrand_{};
    std::vector<FourCC> brands_;
    bool haveFileType_ = false;
    std::uint32_t movieTimeScale_ = 0;
    std::uint64_t movieDuration_ = 0;
    bool fragmented_ = false;
    std::optional<std::uint64_t> fragmentDuration_; // mehd, movie time scale
    std::optional<Extended> indexedSeconds_;        // sidx
    std::vector<FragmentRun> firstFragment_;
    bool haveFirstFragment_ = false;
    // The fragments walked (their sums in the track facts): from the first
    // fragment's start to `walkedTo_`, the fragment read last (its media data
    // not yet passed), and whether the walk reached the end.
    std::int64_t firstFragmentAt_ = 0;
    std::int64_t walkedTo_ = 0;
    std::vector<FragmentRun> lastFragment_;
    std::size_t walkedFragments_ = 0;
    bool timesStated_ = false; // by some walked fragment
    bool walkComplete_ = false;
    std::vector<MetadataItem> items_;
};

} // namespace vidarium::iso

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
namespace {

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

constexpr std::uint64_t kUnknownSize = UINT64_MAX;

// A variable-length integer of EBML: its value (without the length marker
// for a size, with it for an ID) and its length; nothing when the first
// byte announces more than `maxLength` bytes or the bytes run out.
struct Vint {
    std::uint64_t Value = 0;
    std::size_t Length = 0;
};

std::optional<Vint> DecodeVint(ByteSpan bytes, std::size_t maxLength, bool keepMarker) {
    if (bytes.empty() || bytes[0] == 0) {
        return std::nullopt;
    }
    const std::size_t length = static_cast<std::size_t>(std::countl_zero(bytes[0])) + 1;
    if (length > maxLength || length > bytes.size()) {
        return std::nullopt;
    }
    std::uint64_t value = keepMarker ? bytes[0] : bytes[0] & (0xFFU >> length);
    bool allOnes = value == (0xFFU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 8) | bytes[i];
        allOnes = allOnes && bytes[i] == 0xFF;
    }
    if (!keepMarker && allOnes) {
        value = kUnknownSize; // "unknown": to the end of the parent
    }
    return Vint{value, length};
}

// An element's header: an ID of at most 4 bytes and a size of at most 8.
constexpr std::int64_t kLongestHeader = 12;

struct Header {
    std::uint32_t Id = 0;
    std::uint64_t Size = 0; // kUnknownSize when not stated
    std::size_t Length = 0; // of the ID and the size
};

std::optional<Header> DecodeHeader(ByteSpan bytes) {
    const auto id = DecodeVint(bytes, 4, true);
    if (!id) {
        return std::nullopt;
    }
    const auto size = DecodeVint(bytes.subspan(id->Length), 8, false);
    if (!size) {
        return std::nullopt;
    }
    return Header{static_cast<std::uint32_t>(id->Value), size->Value, id->Length + size->Length};
}

std::uint64_t Unsigned(ByteSpan payload) {
    std::uint64_t value = 0;
    for (const std::uint8_t byte : payload.first(std::min<std::size_t>(payload.size(), 8))) {
        value = (value << 8) | byte;
    }
    return value;
}

std::optional<double> Float(ByteSpan payload) {
    if (payload.size() == 4) {
        float value = 0;
        const std::uint32_t bits = LoadBe32(payload, 0);
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
    }
    if (payload.size() == 8) {
        double value = 0;
        const std::uint64_t bits = LoadBe64(payload, 0);
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
    }
    return std::nullopt;
}

std::string Text(ByteSpan payload) {
    const ByteSpan kept =
        payload.first(std::min<std::size_t>(payload.size(), CMatroskaReader::kMaxText));
    const auto end = std::find(kept.begin(), kept.end(), std::uint8_t{0});
    return {kept.begin(), end};
}

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
constexpr std::array<FileTag, 10> kFileTags{{
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

// Nanoseconds from 2001-01-01 (Matroska's epoch) to a statistics date,
// "YYYY-MM-DD HH:MM:SS" in UTC; nothing when it is not one.
std::optional<std::int64_t> NanosecondsSince2001(const std::string& text) {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute,
                    &second) != 6 ||
        year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
        return std::nullopt;
    }
    // Days from the civil date (Howard Hinnant's algorithm), then seconds.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = std::int64_t{era} * 146097 + dayOfEra - 719468;
    constexpr std::int64_t kDaysTo2001 = 11323;
    const std::int64_t seconds = (days - kDaysTo2001) * 86400 + std::int64_t{hour} * 3600 +
                                 std::int64_t{minute} * 60 + second;
    // Past the year 2293 the nanoseconds no longer fit: not a date then.
    return ProductOrUnknown<std::int64_t>(seconds, 1'000'000'000);
}

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

std::optional<Header> MatroskaLoad::HeaderAt(std::int64_t at) {
    if (at < 0 || at >= size_ || source_.Seek(at) != at) {
        return std::nullopt;
    }
    std::array<std::uint8_t, kLongestHeader> bytes{};
    const std::size_t count = source_.Read(bytes);
    return DecodeHeader(ByteSpan(bytes.data(), count));
}

const std::vector<std::uint8_t>* MatroskaLoad::ReadPayload(std::int64_t at, std::uint64_t size,
                                                           std::uint64_t limit) {
    if (size == kUnknownSize || size > limit || at < 0 ||
        size > static_cast<std::uint64_t>(size_) ||
        static_cast<std::uint64_t>(at) > static_cast<std::uint64_t>(size_) - size ||
        size > CMatroskaReader::kMaxLoadBytes - loaded_ || source_.Seek(at) != at) {
        return nullptr;
    }
    loaded_ += size;
    memory_.Add(size);
    std::vector<std::uint8_t>& bytes = payloads_.emplace_back(static_cast<std::size_t>(size));
    bytes.resize(source_.Read(bytes));
    return &bytes;
}

bool ReadsWhenCut(std::uint32_t id) {
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

std::optional<std::string> MatroskaLoad::ReadDocType(const Header& ebml) {
    const auto* head = ReadPayload(static_cast<std::int64_t>(ebml.Length), ebml.Size, 4096);
    if (head == nullptr) {
        return std::nullopt;
    }
    std::string docType;
    Children(*head, 1, [&](std::uint32_t id, ByteSpan payload) {
        if (id == kDocType) {
            docType = Text(payload);
        }
    });
    return docType;
}

bool MatroskaLoad::FindSegment(std::int64_t at) {
    // The segment, after anything the header level holds besides it.
    std::optional<Header> segment;
    for (int passed = 0; passed < 16; ++passed) {
        segment = HeaderAt(at);
        if (!segment || segment->Id == kSegment || segment->Size == kUnknownSize ||
            segment->Size > static_cast<std::uint64_t>(size_)) {
            break;
        }
        at += static_cast<std::int64_t>(segment->Length + segment->Size);
    }
    if (!segment || segment->Id != kSegment) {
        return false;
    }
    segmentStart_ = at + static_cast<std::int64_t>(segment->Length);
    segmentEnd_ = segment->Size == kUnknownSize ||
                          segment->Size > static_cast<std::uint64_t>(size_ - segmentStart_)
                      ? size_
                      : segmentStart_ + static_cast<std::int64_t>(segment->Size);
    return true;
}

void MatroskaLoad::WalkTopLevel() {
    // The top-level elements by their headers, up to the first cluster.
    HeaderWalkBudget walk;
    for (std::int64_t at = segmentStart_; at < segmentEnd_ && walk.Allows(at, kLongestHeader);) {
        stop_.Check();
        const auto header = HeaderAt(at);
        if (!header || ++elements_ > CMatroskaReader::kMaxElements) {
            break;
        }
        if (header->Id == kCluster) {
            firstClusterTime_ = FirstClusterTimestamp(at, *header);
            firstCluster_.emplace(at, *header);
            break;
        }
        ReadTopLevel(header->Id, at, *header);
        // Only a segment or a cluster may leave its size unstated.
        if (header->Size == kUnknownSize ||
            header->Size > static_cast<std::uint64_t>(segmentEnd_ - at) - header->Length) {
            break;
        }
        at += static_cast<std::int64_t>(header->Length + header->Size);
    }
    // What the seek head points to past the first cluster (mkvmerge writes
    // its tags last), each once.
    for (const std::uint32_t id : {kInfo, kTracks, kTags}) {
        const auto target = seekTargets_.find(id);
        if (target == seekTargets_.end() ||
            std::find(seen_.begin(), seen_.end(), id) != seen_.end()) {
            continue;
        }
        if (const auto header = HeaderAt(target->second); header && header->Id == id) {
            ReadTopLevel(id, target->second, *header);
        }
    }
}

bool MatroskaLoad::Read() {
    const auto ebml = HeaderAt(0);
    if (!ebml || ebml->Id != kEbml) {
        return false;
    }
    const std::optional<std::string> docType = ReadDocType(*ebml);
    if (!docType || (*docType != "matroska" && *docType != "webm")) {
        return false;
    }
    recognised_ = true;
    summary_.Container = *docType == "webm" ? "WebM" : "MKV";
    if (!FindSegment(static_cast<std::int64_t>(ebml->Length + ebml->Size))) {
        return false;
    }
    WalkTopLevel();
    Describe();
    return summary_.HasVideo || summary_.HasAudio;
}

void MatroskaLoad::ReadTopLevel(std::uint32_t id, std::int64_t at, const Header& header) {
    if (id != kSeekHead && id != kInfo && id != kTracks && id != kTags) {
        return; // Void, CRC-32, cues, chapters, attachments: passed over
    }
    if (std::find(seen_.begin(), seen_.end(), id) != seen_.end() && id != kTags) {
        return;
    }
    seen_.push_back(id);
    const std::int64_t start = at + static_cast<std::int64_t>(header.Length);
    // An element that runs past the segment or the file (a cut file) is read
    // as far as they go.
    const std::int64_t end = std::min(segmentEnd_, size_);
    if (start >= end) {
        return;
    }
    const auto* payload = ReadPayload(
        start, std::min<std::uint64_t>(header.Size, static_cast<std::uint64_t>(end - start)),
        CMatroskaReader::kMaxMaster);
    if (payload == nullptr) {
        return;
    }
    switch (id) {
    case kSeekHead:
        seekHeadStart_ = at;
        seekHeadEnd_ = start + static_cast<std::int64_t>(payload->size());
        ReadSeekHead(*payload);
        break;
    case kInfo:
        ReadInfo(*payload);
        break;
    case kTracks:
        ReadTracks(*payload);
        break;
    default:
        ReadTags(*payload);
        break;
    }
}

void MatroskaLoad::ReadSeekHead(ByteSpan payload) {
    Children(payload, 1, [&](std::uint32_t id, ByteSpan seek) {
        if (id != kSeek) {
            return;
        }
        std::uint32_t target = 0;
        std::optional<std::uint64_t> position;
        Children(seek, 2, [&](std::uint32_t childId, ByteSpan value) {
            if (childId == kSeekId && value.size() <= 4) {
                target = static_cast<std::uint32_t>(Unsigned(value));
            } else if (childId == kSeekPosition) {
                position = Unsigned(value);
            }
        });
        // A target outside the file, or back inside this seek head, is
        // passed over; the first entry of each kind counts.
        if (!position || *position >= static_cast<std::uint64_t>(size_ - segmentStart_)) {
            return;
        }
        const std::int64_t at = segmentStart_ + static_cast<std::int64_t>(*position);
        if (at >= seekHeadStart_ && at < seekHeadEnd_) {
            return;
        }
        seekTargets_.emplace(target, at);
    });
}

void MatroskaLoad::ReadInfo(ByteSpan payload) {
    Children(payload, 1, [&](std::uint32_t id, ByteSpan value) {
        switch (id) {
        case kTimestampScale:
            if (const std::uint64_t scale = Unsigned(value); scale > 0) {
                timestampScale_ = scale;
            }
            break;
        case kDuration:
            duration_ = Float(value);
            break;
        case kTitle:
            title_ = Text(value);
            break;
        case kDateUtc:
            if (value.size() == 8) {
                dateUtc_ = static_cast<std::int64_t>(LoadBe64(value, 0));
            }
            break;
        default:
            break;
        }
    });
}

void MatroskaLoad::ReadTracks(ByteSpan payload) {
    Children(payload, 1, [&](std::uint32_t id, ByteSpan entry) {
        if (id == kTrackEntry && tracks_.size() < CMatroskaReader::kMaxTracks) {
            ReadTrack(entry, tracks_.emplace_back());
        }
    });
}

void MatroskaLoad::ReadTrack(ByteSpan payload, TrackEntry& track) {
    Children(payload, 2, [&](std::uint32_t id, ByteSpan value) {
        switch (id) {
        case kTrackNumber:
            track.Number = Unsigned(value);
            break;
        case kTrackUid:
            track.Uid = Unsigned(value);
            break;
        case kTrackType:
            track.Type = Unsigned(value);
            break;
        case kCodecId:
            track.CodecId = Text(value);
            break;
        case kCodecPrivate:
            if (value.size() <= CMatroskaReader::kMaxBinary) {
                track.CodecPrivate = value;
            }
            break;
        case kDefaultDuration:
            track.DefaultDuration = Unsigned(value);
            break;
        case kLanguage:
            track.Language = Text(value);
            break;
        case kLanguageBcp47:
            track.LanguageBcp47 = Text(value);
            break;
        case kVideo:
            Children(value, 3, [&](std::uint32_t videoId, ByteSpan field) {
                switch (videoId) {
                case kPixelWidth:
                    track.PixelWidth = Unsigned(field);
                    break;
                case kPixelHeight:
                    track.PixelHeight = Unsigned(field);
                    break;
                case kDisplayWidth:
                    track.DisplayWidth = Unsigned(field);
                    break;
                case kDisplayHeight:
                    track.DisplayHeight = Unsigned(field);
                    break;
                case kDisplayUnit:
                    track.DisplayUnit = Unsigned(field);
                    break;
                case kColour:
                    Children(field, 4, [&](std::uint32_t colourId, ByteSpan colour) {
                        if (colourId == kTransferCharacteristics) {
                            track.Transfer = Unsigned(colour);
                        } else if (colourId == kBitsPerChannel) {
                            track.BitsPerChannel = Unsigned(colour);
                        }
                    });
                    break;
                default:
                    break;
                }
            });
            break;
        case kAudio:
            Children(value, 3, [&](std::uint32_t audioId, ByteSpan field) {
                if (audioId == kSamplingFrequency) {
                    track.SamplingFrequency = Float(field).value_or(track.SamplingFrequency);
                } else if (audioId == kOutputSamplingFrequency) {
                    track.OutputSamplingFrequency = Float(field).value_or(0);
                } else if (audioId == kChannels) {
                    track.Channels = Unsigned(field);
                } else if (audioId == kAudioBitDepth) {
                    track.AudioBitDepth = Unsigned(field);
                }
            });
            break;
        default:
            break;
        }
    });
}

std::pair<std::string, std::string> MatroskaLoad::ReadSimpleTag(ByteSpan simpleTag) {
    std::pair<std::string, std::string> tag;
    Children(simpleTag, 3, [&](std::uint32_t id, ByteSpan field) {
        if (id == kTagName) {
            tag.first = Text(field);
        } else if (id == kTagString) {
            tag.second = Text(field);
        }
    });
    return tag;
}

void MatroskaLoad::ReadFileTags(const std::vector<std::pair<std::string, std::string>>& simple) {
    for (const auto& [tagName, text] : simple) {
        const std::string& name = tagName; // a binding cannot be captured
        const auto* fileTag =
            std::find_if(kFileTags.begin(), kFileTags.end(),
                         [&name](const FileTag& known) { return known.Name == name; });
        if (fileTag != kFileTags.end() && !text.empty()) {
            fileTags_.emplace(fileTag->Label, text);
        }
    }
}

void MatroskaLoad::ReadTrackTag(const std::vector<std::uint64_t>& trackUids,
                                const std::vector<std::pair<std::string, std::string>>& simple) {
    // What the tag says of its tracks, then given to each once: a tag may
    // name thousands of tracks.
    std::optional<std::int64_t> bitRate;
    std::optional<std::optional<std::int64_t>> writingDate;
    for (const auto& [name, text] : simple) {
        if (name == "BPS") {
            char* end = nullptr;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (end != text.c_str() && *end == '\0' && value > 0) {
                bitRate = value;
            }
        } else if (name == "_STATISTICS_WRITING_DATE_UTC") {
            writingDate = NanosecondsSince2001(text);
        }
    }
    for (const std::uint64_t uid : trackUids) {
        stop_.Check();
        TrackStatistics& statistics = statistics_[uid];
        if (bitRate) {
            statistics.BitRate = bitRate;
        }
        if (writingDate) {
            statistics.WritingDate = *writingDate;
        }
    }
}

void MatroskaLoad::ReadTags(ByteSpan payload) {
    Children(payload, 1, [&](std::uint32_t id, ByteSpan tag) {
        if (id != kTag) {
            return;
        }
        std::vector<std::uint64_t> trackUids;
        bool otherTarget = false;
        std::vector<std::pair<std::string, std::string>> simple;
        Children(tag, 2, [&](std::uint32_t tagId, ByteSpan value) {
            if (tagId == kTargets) {
                Children(value, 3, [&](std::uint32_t targetId, ByteSpan uid) {
                    if (targetId == kTagTrackUid) {
                        trackUids.push_back(Unsigned(uid));
                    }
                    otherTarget = otherTarget || targetId == kTagEditionUid ||
                                  targetId == kTagChapterUid || targetId == kTagAttachmentUid;
                });
            } else if (tagId == kSimpleTag) {
                simple.push_back(ReadSimpleTag(value));
            }
        });
        if (otherTarget) {
            return;
        }
        if (trackUids.empty()) {
            ReadFileTags(simple);
        } else {
            ReadTrackTag(trackUids, simple);
        }
    });
}

std::optional<std::uint64_t> MatroskaLoad::FirstClusterTimestamp(std::int64_t at,
                                                                 const Header& cluster) {
    const std::int64_t start = at + static_cast<std::int64_t>(cluster.Length);
    const auto header = HeaderAt(start);
    if (!header || header->Id != kTimestamp || header->Size > 8) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 8> bytes{};
    const auto position = start + static_cast<std::int64_t>(header->Length);
    if (source_.Seek(position) != position) {
        return std::nullopt;
    }
    const std::size_t count =
        source_.Read(std::span(bytes).first(static_cast<std::size_t>(header->Size)));
    return Unsigned(ByteSpan(bytes.data(), count));
}

std::optional<std::uint64_t> MatroskaLoad::LastBlockEnd() {
    if (CMatroskaReader::kMaxTailWindow > CMatroskaReader::kMaxLoadBytes - loaded_) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> end;
    SearchTail(source_, CMatroskaReader::kTailWindow, CMatroskaReader::kMaxTailWindow,
               [&](const FileWindow& window, std::size_t added) {
                   stop_.Check();
                   loaded_ += added;
                   memory_.Add(added);
                   end = LastBlockEndIn(window.Bytes);
                   return end.has_value();
               });
    return end;
}

template <typename Visit> void MatroskaLoad::ClusterBlocks(ByteSpan body, Visit&& visit) {
    std::optional<std::uint64_t> timestamp;
    const auto block = [&](ByteSpan bytes, std::uint64_t duration) {
        const auto trackNumber = DecodeVint(bytes, 8, false);
        // A block's time is its cluster's plus a signed 16-bit offset.
        if (!timestamp || *timestamp > std::uint64_t{INT64_MAX} - 32768 || !trackNumber ||
            bytes.size() < trackNumber->Length + 2) {
            return;
        }
        const auto relative = static_cast<std::int16_t>(LoadBe16(bytes, trackNumber->Length));
        // After the time, a byte of flags, then the frames.
        const ByteSpan frames = bytes.size() > trackNumber->Length + 3
                                    ? bytes.subspan(trackNumber->Length + 3)
                                    : ByteSpan();
        visit(trackNumber->Value, static_cast<std::int64_t>(*timestamp) + relative, duration,
              frames);
    };
    Children(body, 2, [&](std::uint32_t id, ByteSpan value) {
        if (id == kTimestamp) {
            timestamp = Unsigned(value);
        } else if (id == kSimpleBlock) {
            block(value, 0);
        } else if (id == kBlockGroup) {
            ByteSpan inner;
            std::uint64_t duration = 0;
            Children(value, 3, [&](std::uint32_t groupId, ByteSpan field) {
                if (groupId == kBlock) {
                    inner = field;
                } else if (groupId == kBlockDuration) {
                    duration = Unsigned(field);
                }
            });
            block(inner, duration);
        }
    });
}

std::optional<std::uint64_t>
MatroskaLoad::ClusterEnd(ByteSpan body,
                         const std::map<std::uint64_t, std::uint64_t>& frameDurations) {
    std::optional<std::uint64_t> end;
    ClusterBlocks(body,
                  [&](std::uint64_t track, std::int64_t time, std::uint64_t duration, ByteSpan) {
                      if (duration == 0) {
                          const auto frame = frameDurations.find(track);
                          duration = frame == frameDurations.end() ? 0 : frame->second;
                      }
                      if (time < 0 || duration > INT64_MAX - static_cast<std::uint64_t>(time)) {
                          return;
                      }
                      end = std::max(end.value_or(0), static_cast<std::uint64_t>(time) + duration);
                  });
    return end;
}

const std::vector<std::uint8_t>* MatroskaLoad::FirstClusterBody() {
    if (firstClusterBody_ || !firstCluster_) {
        return firstClusterBody_.value_or(nullptr);
    }
    const auto& [at, cluster] = *firstCluster_;
    const std::int64_t start = at + static_cast<std::int64_t>(cluster.Length);
    firstClusterBody_ = nullptr;
    if (start < size_) {
        const std::uint64_t length = std::min({cluster.Size, CMatroskaReader::kFirstBlocksWindow,
                                               static_cast<std::uint64_t>(size_ - start)});
        firstClusterBody_ = ReadPayload(start, length, CMatroskaReader::kFirstBlocksWindow);
    }
    return *firstClusterBody_;
}

std::optional<double> MatroskaLoad::FirstBlocksFrameRate(std::uint64_t trackNumber) {
    const auto* body = FirstClusterBody();
    if (body == nullptr) {
        return std::nullopt;
    }
    // Times in milliseconds, as the steady-step rule takes them.
    std::vector<std::uint32_t> times;
    const double milliseconds = static_cast<double>(timestampScale_) / 1e6;
    ClusterBlocks(*body, [&](std::uint64_t track, std::int64_t time, std::uint64_t, ByteSpan) {
        const double ms = static_cast<double>(time) * milliseconds;
        if (track == trackNumber && ms >= 0 && ms < 4e9) {
            times.push_back(static_cast<std::uint32_t>(std::llround(ms)));
        }
    });
    return SteadyFrameRate(std::move(times));
}

std::optional<std::uint32_t> MatroskaLoad::FirstFrameBitRate(std::uint64_t trackNumber,
                                                             Codec codec) {
    const auto* body = FirstClusterBody();
    if (body == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> rate;
    ClusterBlocks(*body, [&](std::uint64_t track, std::int64_t, std::uint64_t, ByteSpan frames) {
        if (track != trackNumber || rate) {
            return;
        }
        // MPEG audio of either layer: the frame header tells which.
        const elementary::SoundFormat sound =
            elementary::DescribeSound(codec == Codec::Mp3 ? Codec::Mp2 : codec, frames);
        if (sound.Described && sound.Details.BitRate > 0) {
            rate = sound.Details.BitRate;
        }
    });
    return rate;
}

std::optional<std::uint64_t> MatroskaLoad::LastBlockEndIn(ByteSpan window) {
    // From the last cluster start back: the first whose timestamp and
    // blocks read whole gives the end of its last block.
    constexpr std::array<std::uint8_t, 4> kClusterId{0x1F, 0x43, 0xB6, 0x75};
    std::map<std::uint64_t, std::uint64_t> frameDurations; // by track number
    for (const TrackEntry& track : tracks_) {
        frameDurations.emplace(track.Number, track.DefaultDuration / timestampScale_);
    }
    // One pass back over the window; every candidate's children count
    // against the load's elements.
    for (std::size_t searched = window.size() + 1; searched-- > kClusterId.size();) {
        const std::size_t at = searched - kClusterId.size();
        if (!std::equal(kClusterId.begin(), kClusterId.end(),
                        window.begin() + static_cast<std::ptrdiff_t>(at))) {
            continue;
        }
        if (elements_ > CMatroskaReader::kMaxElements) {
            return std::nullopt;
        }
        stop_.Check();
        const auto cluster = DecodeHeader(window.subspan(at));
        if (!cluster) {
            continue;
        }
        ByteSpan body = window.subspan(at + cluster->Length);
        if (cluster->Size != kUnknownSize && cluster->Size < body.size()) {
            body = body.first(static_cast<std::size_t>(cluster->Size));
        }
        if (const auto end = ClusterEnd(body, frameDurations)) {
            return end;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> MatroskaLoad::DurationMs() {
    // The stated duration (Firefox writes 0 for "not known"), else the end
    // of the last block.
    const double nanoseconds = duration_.value_or(0) * static_cast<double>(timestampScale_);
    if (nanoseconds > 0 && nanoseconds < 1e18) {
        return std::llround(nanoseconds / 1e6);
    }
    if (const auto end = LastBlockEnd()) {
        const std::uint64_t start = std::min(firstClusterTime_.value_or(0), *end);
        const long double last = static_cast<long double>(*end - start) * timestampScale_ / 1e6L;
        if (last < 1e15L) {
            return std::llround(static_cast<double>(last));
        }
    }
    return std::nullopt;
}

void MatroskaLoad::Describe() {
    const TrackEntry* video = nullptr;
    const TrackEntry* audio = nullptr;
    for (const TrackEntry& track : tracks_) {
        // A track must name its codec; one that does not was cut short.
        if (track.CodecId.empty()) {
            continue;
        }
        // The BCP 47 form where the track has one.
        const std::string& language =
            track.LanguageBcp47.empty() ? track.Language : track.LanguageBcp47;
        if (track.Type == 1) {
            CountTrack(summary_, TrackKind::Video);
            video = video != nullptr ? video : &track;
        } else if (track.Type == 2) {
            CountTrack(summary_, TrackKind::Audio, language);
            audio = audio != nullptr ? audio : &track;
        } else if (track.Type == 17) {
            CountTrack(summary_, TrackKind::Subtitle, language);
        }
    }
    if (video == nullptr && audio == nullptr) {
        return;
    }
    if (video != nullptr) {
        DescribeVideo(*video);
    }
    if (audio != nullptr) {
        DescribeAudio(*audio);
    }

    summary_.DurationMs = DurationMs();
    DescribeTexts();
}

void MatroskaLoad::DescribeTexts() {
    // The segment's title before a TITLE tag.
    std::vector<MetadataItem> found;
    if (!title_.empty()) {
        found.push_back({"Title", title_});
    }
    for (const auto& [label, text] : fileTags_) {
        found.push_back({std::string(label), text});
    }
    summary_.Metadata = InLabelOrder(found);
    // A TITLE tag that says something else is kept too, after the title.
    const auto tagTitle = fileTags_.find("Title");
    if (!title_.empty() && tagTitle != fileTags_.end() && tagTitle->second != title_) {
        summary_.Metadata.insert(summary_.Metadata.begin() + 1, {"Title", tagTitle->second});
    }
}

// A bit rate from mkvmerge's statistics, unless they are older than the
// file (a later edit may have changed the track).
std::optional<std::int64_t> StatisticsBitRate(const std::map<std::uint64_t, TrackStatistics>& all,
                                              const TrackEntry& track,
                                              const std::optional<std::int64_t>& fileDate) {
    const auto found = all.find(track.Uid);
    if (found == all.end() || !found->second.BitRate) {
        return std::nullopt;
    }
    if (fileDate) {
        // A second's leeway; a file date so early that it has none is older
        // than any statistics.
        const auto& written = found->second.WritingDate;
        const auto oldest = DifferenceOrUnknown<std::int64_t>(*fileDate, 1'000'000'000);
        if (!written || (oldest && *written < *oldest)) {
            return std::nullopt;
        }
    }
    return found->second.BitRate;
}

// VP9's CodecPrivate: features as ID, length, value (ID 1 the profile, 3
// the bit depth).
CodecDetails DecodeVp9Features(ByteSpan features) {
    CodecDetails details;
    while (features.size() >= 2) {
        const std::uint8_t id = features[0];
        const std::size_t length = features[1];
        if (length > features.size() - 2) {
            break;
        }
        const std::uint64_t value = Unsigned(features.subspan(2, length));
        if (id == 1) {
            details.Profile = "P" + std::to_string(value);
        } else if (id == 3) {
            details.BitDepth = static_cast<int>(std::min<std::uint64_t>(value, 64));
        }
        features = features.subspan(2 + length);
    }
    return details;
}

void MatroskaLoad::DescribeVideo(const TrackEntry& track) {
    summary_.HasVideo = true;
    Codec codec = CodecForMatroskaId(track.CodecId);
    summary_.VideoCode = track.CodecId;
    if (track.CodecId == "V_MS/VFW/FOURCC") {
        // A BITMAPINFOHEADER, its compression code at byte 16.
        const FourCC code = LoadFourCC(track.CodecPrivate, 16);
        codec = CodecForSampleEntry(code);
        summary_.VideoCode = FourCCText(code);
    }
    CodecDetails details;
    switch (codec) {
    case Codec::Avc:
        details = DecodeAvcConfig(track.CodecPrivate);
        break;
    case Codec::Hevc:
        details = DecodeHevcConfig(track.CodecPrivate);
        break;
    case Codec::Av1:
        details = DecodeAv1Config(track.CodecPrivate);
        break;
    case Codec::Vp9:
        details = DecodeVp9Features(track.CodecPrivate);
        break;
    default:
        break;
    }
    if (details.Hdr.empty() && track.Transfer) {
        details.Hdr =
            HdrFromTransfer(static_cast<unsigned>(std::min<std::uint64_t>(*track.Transfer, 255)));
    }
    if (details.BitDepth == 0 && track.BitsPerChannel > 8 && track.BitsPerChannel <= 16) {
        details.BitDepth = static_cast<int>(track.BitsPerChannel);
    }
    summary_.VideoCodec = codec == Codec::Unknown ? summary_.VideoCode : CodecName(codec);
    summary_.VideoProfile = details.Profile;
    summary_.BitDepth = details.BitDepth;
    summary_.Hdr = details.Hdr;
    summary_.Width =
        static_cast<std::int64_t>(std::min<std::uint64_t>(track.PixelWidth, INT32_MAX));
    summary_.Height =
        static_cast<std::int64_t>(std::min<std::uint64_t>(track.PixelHeight, INT32_MAX));
    if (track.DefaultDuration > 0) {
        summary_.FrameRate = 1e9 / static_cast<double>(track.DefaultDuration);
    } else {
        // Browser recordings and Annex-B AVC state none: the first blocks'
        // steady step.
        summary_.FrameRate = FirstBlocksFrameRate(track.Number);
    }
    summary_.VideoBitRate = StatisticsBitRate(statistics_, track, dateUtc_);
    // The display size is in pixels, or (unit 3) an aspect ratio itself.
    if (track.DisplayWidth > 0 && track.DisplayHeight > 0 &&
        (track.DisplayUnit == 0 || track.DisplayUnit == 3)) {
        summary_.DisplayAspect = AspectText(track.DisplayWidth, track.DisplayHeight);
    } else {
        summary_.DisplayAspect = AspectText(track.PixelWidth, track.PixelHeight);
    }
}

void MatroskaLoad::DescribeAudio(const TrackEntry& track) {
    summary_.HasAudio = true;
    Codec codec = CodecForMatroskaId(track.CodecId);
    summary_.AudioCode = track.CodecId;
    std::string name;
    if (track.CodecId == "A_MS/ACM") {
        // A WAVEFORMATEX, its format tag first.
        const std::uint16_t tag = LoadLe16(track.CodecPrivate, 0);
        summary_.AudioCode = AudioFormatTagCode(tag);
        name = AudioFormatTagName(tag);
    } else if (codec == Codec::Aac) {
        const CodecDetails details = DecodeAudioSpecificConfig(track.CodecPrivate);
        const bool sbr = details.Sbr || track.CodecId.find("SBR") != std::string::npos;
        name = details.Ps ? "HE-AACv2" : sbr ? "HE-AAC" : "";
    }
    summary_.AudioCodec = !name.empty()             ? name
                          : codec == Codec::Unknown ? summary_.AudioCode
                                                    : CodecName(codec);
    const double rate =
        track.OutputSamplingFrequency > 0 ? track.OutputSamplingFrequency : track.SamplingFrequency;
    if (rate > 0 && rate < 1e7) {
        summary_.SampleRate = std::llround(rate);
    }
    // Opus always decodes at 48 kHz; a stated rate is the input's.
    if (codec == Codec::Opus) {
        summary_.SampleRate = 48000;
    }
    summary_.Channels = static_cast<std::int64_t>(std::min<std::uint64_t>(track.Channels, 255));
    summary_.AudioBitRate = StatisticsBitRate(statistics_, track, dateUtc_);
    if (!summary_.AudioBitRate &&
        (codec == Codec::Ac3 || codec == Codec::Eac3 || codec == Codec::Dts ||
         codec == Codec::Mp2 || codec == Codec::Mp3)) {
        summary_.AudioBitRate = FirstFrameBitRate(track.Number, codec);
    }
    // Uncompressed sound's rate is its sample rate, channels and depth.
    if (!summary_.AudioBitRate && codec == Codec::Pcm && track.AudioBitDepth > 0 &&
        track.AudioBitDepth <= 64 && summary_.SampleRate) {
        summary_.AudioBitRate = *summary_.SampleRate * *summary_.Channels *
                                static_cast<std::int64_t>(track.AudioBitDepth);
    }
}

} // namespace
} // namespace vidarium::mkv

namespace vidarium {

bool CMatroskaReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return head.size() >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF &&
           head[3] == 0xA3;
}

bool CMatroskaReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    elements_ = 0;
    return RunLoad<mkv::MatroskaLoad>(source, path, kOrigin, elements_);
}

} // namespace vidarium

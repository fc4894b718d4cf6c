#include "isoreader.h"

#include "codecconfig.h"
#include "codecnames.h"
#include "inflate.h"
#include "isoload.h"
#include "readerload.h"
#include "streamheaders.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace vidarium::iso {

std::vector<std::uint8_t> IsoLoad::ReadAt(std::int64_t position, std::uint64_t length) {
    const std::int64_t size = source_.Size();
    if (position < 0 || position >= size) {
        return {};
    }
    const auto available = static_cast<std::uint64_t>(size - position);
    length = std::min({length, available, budget_});
    if (length == 0) {
        return {};
    }
    budget_ -= length;
    memory_.Add(length);
    return ReadBytesAt(source_, position, static_cast<std::size_t>(length));
}

void IsoLoad::ExpandCompressedMovie() {
    const auto compressed = parser_.Find(movie_, "cmov");
    if (!compressed) {
        return;
    }
    const auto method = parser_.Find(compressed->Payload, "dcom");
    const auto data = parser_.Find(compressed->Payload, "cmvd");
    if (!method || !data || !IsFourCC(LoadFourCC(method->Payload, 0), "zlib") ||
        data->Payload.size() < 4) {
        return;
    }
    // The same expansion as the QuickTime reader's, within the largest movie
    // box this reader reads and what a movie box of this file can describe.
    const auto fileSize = static_cast<std::uint64_t>(std::max<std::int64_t>(source_.Size(), 0));
    std::size_t budget = static_cast<std::size_t>(std::min(
        CIsoReader::kMaxMovieBox,
        std::max(CIsoReader::kMinMovieExpansion, CIsoReader::kMovieBytesPerFileByte * fileSize)));
    // Counted before it is made, so that no other load starts beside it
    // while it computes.
    const std::size_t expected =
        ExpectedExpansion(LoadBe32(data->Payload, 0), data->Payload.size() - 4, budget);
    memory_.Add(expected);
    std::optional<std::vector<std::uint8_t>> expanded =
        InflateMovieHeader(data->Payload.subspan(4), LoadBe32(data->Payload, 0), budget, stop_);
    if (!expanded || expanded->size() < AtomHeader::kShortLength) {
        return;
    }
    const AtomHeader header = DecodeAtomHeader(ByteSpan(*expanded).first(AtomHeader::kShortLength));
    if (!IsFourCC(header.Type, "moov") || header.HeaderLength != AtomHeader::kShortLength) {
        return;
    }
    memory_.Add(expanded->size() - std::min(expected, expanded->size()));
    // Moved, not copied: the expansion may be tens of megabytes.
    expanded->erase(expanded->begin(), expanded->begin() + AtomHeader::kShortLength);
    movie_ = std::move(*expanded);
}

std::optional<IsoLoad::TopBox> IsoLoad::TopBoxAt(std::int64_t position, std::int64_t size) {
    std::array<std::uint8_t, AtomHeader::kExtendedLength> bytes{};
    if (source_.Seek(position) != position ||
        source_.Read(std::span(bytes).first(AtomHeader::kShortLength)) < AtomHeader::kShortLength) {
        return std::nullopt;
    }
    std::span<const std::uint8_t> header = std::span(bytes).first(AtomHeader::kShortLength);
    if (AnnouncesExtendedSize(header)) {
        if (source_.Read(std::span(bytes).subspan(AtomHeader::kShortLength)) <
            AtomHeader::kShortLength) {
            return std::nullopt;
        }
        header = bytes;
    }
    const AtomHeader decoded = DecodeAtomHeader(header);
    const auto left = static_cast<std::uint64_t>(size - position);
    const std::uint64_t boxSize = decoded.DeclaredSize == 0 ? left : decoded.DeclaredSize;
    if (boxSize < decoded.HeaderLength) {
        return std::nullopt;
    }
    return TopBox{decoded.Type, position + static_cast<std::int64_t>(decoded.HeaderLength),
                  boxSize - decoded.HeaderLength, boxSize, boxSize > left};
}

IsoLoad::WalkStep IsoLoad::ReadTopBox(const TopBox& box) {
    if (IsFourCC(box.Type, "ftyp") && !haveFileType_) {
        ReadFileType(ReadAt(box.PayloadAt, std::min<std::uint64_t>(box.PayloadSize, 1024)));
    } else if (IsFourCC(box.Type, "moov") && !haveMovie_) {
        if (box.PayloadSize > CIsoReader::kMaxMovieBox) {
            return WalkStep::Refuse; // a movie header too large to be read whole
        }
        haveMovie_ = true;
        movie_ = ReadAt(box.PayloadAt, box.PayloadSize);
        ExpandCompressedMovie();
        ReadMovie(movie_);
        IndexTracks();
        // Everything the row needs is in the movie box, unless it is fragmented.
        return fragmented_ ? WalkStep::Next : WalkStep::End;
    } else if (IsFourCC(box.Type, "sidx") && haveMovie_ && !indexedSeconds_ &&
               !haveFirstFragment_) {
        // An index of the whole file comes before the fragments.
        ReadSegmentIndex(
            ReadAt(box.PayloadAt, std::min(box.PayloadSize, CIsoReader::kMaxFragmentBox)),
            static_cast<Extended>(box.PayloadAt) + static_cast<Extended>(box.PayloadSize));
    } else if (IsFourCC(box.Type, "moof") && haveMovie_) {
        return ReadFragmentBox(box);
    }
    return WalkStep::Next;
}

IsoLoad::WalkStep IsoLoad::ReadFragmentBox(const TopBox& box) {
    const std::int64_t at = box.PayloadAt - static_cast<std::int64_t>(box.Size - box.PayloadSize);
    if (walkedFragments_ > 0) {
        SettleFragment(at);
    }
    // Where the times or the length are known, a sample of the fragments
    // gives the rates; else they are all added up for the length.
    const bool lengthKnown = (fragmentDuration_ && movieTimeScale_ > 0) || indexedSeconds_;
    const bool sampled = (timesStated_ || lengthKnown) &&
                         walkedFragments_ >= CIsoReader::kMaxSampledFragments &&
                         at - firstFragmentAt_ >= CIsoReader::kSampledFragmentBytes;
    if (sampled || walkedFragments_ >= CIsoReader::kMaxTimelessFragments) {
        return WalkStep::End; // the other fragments are not walked
    }
    std::vector<FragmentRun> runs =
        ReadFragment(ReadAt(box.PayloadAt, std::min(box.PayloadSize, CIsoReader::kMaxFragmentBox)));
    if (!haveFirstFragment_) {
        haveFirstFragment_ = true;
        firstFragment_ = runs;
        firstFragmentAt_ = at;
    }
    timesStated_ = timesStated_ ||
                   std::any_of(runs.begin(), runs.end(),
                               [](const FragmentRun& run) { return run.BaseTime.has_value(); });
    lastFragment_ = std::move(runs);
    ++walkedFragments_;
    return WalkStep::Next;
}

void IsoLoad::SettleFragment(std::int64_t end) {
    for (const FragmentRun& run : lastFragment_) {
        stop_.Check();
        if (TrackFacts* facts = FactsOf(run.TrackId)) {
            facts->Walked = true;
            facts->WalkedTime += static_cast<Extended>(run.Time);
            facts->WalkedBytes += static_cast<Extended>(run.Bytes);
        }
    }
    walkedTo_ = end;
}

std::optional<Extended> IsoLoad::WalkedSeconds() const {
    if (!walkComplete_ || timesStated_) {
        return std::nullopt;
    }
    std::optional<Extended> seconds;
    for (const TrackFacts& facts : trackFacts_) {
        if (facts.Walked && facts.TimeScale > 0) {
            seconds = std::max(seconds.value_or(0), facts.WalkedTime / facts.TimeScale);
        }
    }
    return seconds;
}

bool IsoLoad::Read() {
    const std::int64_t size = source_.Size();
    // The tail window may cover bytes already read: twice the file, plus
    // the window.
    budget_ = std::min<std::uint64_t>(
        CIsoReader::kMaxLoadBytes, 2 * static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0)) +
                                       CIsoReader::kMaxTailWindow);
    std::int64_t position = 0;
    HeaderWalkBudget walk;
    // The top level, box header by box header: the media data is passed over.
    while (size - position >= static_cast<std::int64_t>(AtomHeader::kShortLength) &&
           parser_.boxes_ < CIsoReader::kMaxBoxes &&
           walk.Allows(position, AtomHeader::kExtendedLength)) {
        stop_.Check();
        ++parser_.boxes_;
        const std::optional<TopBox> box = TopBoxAt(position, size);
        if (!box) {
            break;
        }
        if (position == 0) {
            recognised_ = IsTopLevelBox(box->Type) || IsFourCC(box->Type, "uuid");
            if (!recognised_) {
                return false;
            }
        }
        const WalkStep step = ReadTopBox(*box);
        if (step == WalkStep::Refuse) {
            return false;
        }
        if (step == WalkStep::End || box->PastTheEnd) {
            break;
        }
        position += static_cast<std::int64_t>(box->Size);
    }
    if (!haveMovie_) {
        return false;
    }
    if (walkedFragments_ > 0 &&
        size - position < static_cast<std::int64_t>(AtomHeader::kShortLength)) {
        SettleFragment(size);
        walkComplete_ = true;
    }
    Summarise();
    return summary_.HasVideo || summary_.HasAudio;
}

void IsoLoad::ReadFileType(ByteSpan payload) {
    haveFileType_ = true;
    majorBrand_ = LoadFourCC(payload, 0);
    for (std::size_t at = 8; at + 4 <= payload.size(); at += 4) {
        brands_.push_back(LoadFourCC(payload, at));
    }
}

void IsoLoad::ReadMovie(ByteSpan movie) {
    parser_.ForEachBox(movie, [&](const Box& box) {
        if (IsFourCC(box.Type, "mvhd")) {
            const TimeHeader header = DecodeTimeHeader(box.Payload);
            movieTimeScale_ = header.TimeScale;
            movieDuration_ = header.Duration;
        } else if (IsFourCC(box.Type, "trak") && tracks_.size() < CIsoReader::kMaxTracks) {
            tracks_.push_back(ReadTrack(box.Payload));
        } else if (IsFourCC(box.Type, "mvex")) {
            ReadMovieExtends(box.Payload);
        } else if (IsFourCC(box.Type, "udta")) {
            ReadUserData(box.Payload);
        } else if (IsFourCC(box.Type, "meta")) {
            ReadItemList(box.Payload);
        }
    });
}

void IsoLoad::ReadMovieExtends(ByteSpan mvex) {
    fragmented_ = true;
    parser_.ForEachBox(mvex, [&](const Box& child) {
        if (IsFourCC(child.Type, "mehd")) {
            if (const std::uint64_t duration = VersionedValue(child.Payload, 4); duration > 0) {
                fragmentDuration_ = duration;
            }
        } else if (IsFourCC(child.Type, "trex")) {
            defaultDurations_.emplace_back(LoadBe32(child.Payload, 4), LoadBe32(child.Payload, 12));
        }
    });
}

namespace {

void ReadTrackHeader(ByteSpan tkhd, Track& track) {
    const bool v1 = ByteAt(tkhd, 0) == 1;
    track.TrackId = LoadBe32(tkhd, v1 ? 20 : 12);
    const std::size_t matrix = v1 ? 52 : 40;
    for (std::size_t i = 0; i < 2; ++i) {
        track.Matrix[i] = static_cast<std::int32_t>(LoadBe32(tkhd, matrix + 4 * i));
        track.Matrix[2 + i] = static_cast<std::int32_t>(LoadBe32(tkhd, matrix + 12 + 4 * i));
    }
    track.PresentationWidth = LoadBe32(tkhd, matrix + 36);
    track.PresentationHeight = LoadBe32(tkhd, matrix + 40);
}

} // namespace

Track IsoLoad::ReadTrack(ByteSpan trak) {
    Track track;
    if (const auto tkhd = parser_.Find(trak, "tkhd")) {
        ReadTrackHeader(tkhd->Payload, track);
    }
    const auto mdia = parser_.Find(trak, "mdia");
    if (!mdia) {
        return track;
    }
    if (const auto mdhd = parser_.Find(mdia->Payload, "mdhd")) {
        const TimeHeader header = DecodeTimeHeader(mdhd->Payload);
        track.TimeScale = header.TimeScale;
        track.MediaDuration = header.Duration;
        track.Language = MediaLanguage(mdhd->Payload);
    }
    // The extended language tag ("en-US") where the file has one.
    if (const auto elng = parser_.Find(mdia->Payload, "elng"); elng && elng->Payload.size() > 4) {
        const ByteSpan tag =
            elng->Payload.subspan(4, std::min<std::size_t>(elng->Payload.size() - 4, 64));
        std::string text(tag.begin(), std::find(tag.begin(), tag.end(), std::uint8_t{0}));
        if (!text.empty()) {
            track.Language = std::move(text);
        }
    }
    if (const auto hdlr = parser_.Find(mdia->Payload, "hdlr")) {
        track.Handler = LoadFourCC(hdlr->Payload, 8);
    } else if (parser_.FindPath(mdia->Payload, {"minf", "vmhd"})) {
        // No handler: the media information header tells pictures from sound.
        track.Handler = FourCC{'v', 'i', 'd', 'e'};
    } else if (parser_.FindPath(mdia->Payload, {"minf", "smhd"})) {
        track.Handler = FourCC{'s', 'o', 'u', 'n'};
    }
    if (const auto stbl = parser_.FindPath(mdia->Payload, {"minf", "stbl"})) {
        ReadSampleTable(stbl->Payload, track);
    }
    return track;
}

namespace {

void ReadTimeToSample(ByteSpan stts, Track& track) {
    // Every count and sum is checked against the bytes the box holds.
    const std::uint64_t entries =
        std::min<std::uint64_t>(LoadBe32(stts, 4), stts.size() >= 8 ? (stts.size() - 8) / 8 : 0);
    std::uint64_t samples = 0;
    std::uint64_t time = 0;
    for (std::uint64_t i = 0; i < entries; ++i) {
        const std::uint32_t count = LoadBe32(stts, 8 + 8 * i);
        const std::uint32_t delta = LoadBe32(stts, 12 + 8 * i);
        const auto next = SumOrUnknown<std::uint64_t>(samples, count);
        const auto span = ProductOrUnknown<std::uint64_t>(count, delta);
        const auto total = span ? SumOrUnknown(time, *span) : std::nullopt;
        track.Durations.Add(delta, count);
        if (!next || !total) {
            return; // the sample count and time stay unknown
        }
        samples = *next;
        time = *total;
    }
    track.SampleCount = samples;
    track.SampleTime = time;
}

void ReadSampleSizes(ByteSpan stsz, Track& track) {
    const std::uint32_t constant = LoadBe32(stsz, 4);
    const std::uint32_t count = LoadBe32(stsz, 8);
    if (constant != 0) {
        if (const auto bytes = ProductOrUnknown<std::uint64_t>(constant, count)) {
            track.SampleBytes = *bytes;
            track.SizesKnown = true;
        }
        return;
    }
    const std::uint64_t entries =
        std::min<std::uint64_t>(count, stsz.size() >= 12 ? (stsz.size() - 12) / 4 : 0);
    std::uint64_t bytes = 0;
    for (std::uint64_t i = 0; i < entries; ++i) {
        bytes += LoadBe32(stsz, 12 + 4 * i); // at most 2^24 sizes of 32 bits
    }
    track.SampleBytes = bytes;
    track.SizesKnown = entries == count;
}

} // namespace

void IsoLoad::ReadSampleTable(ByteSpan stbl, Track& track) {
    parser_.ForEachBox(stbl, [&](const Box& box) {
        const ByteSpan p = box.Payload;
        if (IsFourCC(box.Type, "stsd")) {
            // Only the first sample description counts.
            parser_.ForEachBox(BytesFrom(p, 8), [&](const Box& entry) {
                if (!track.HasEntry) {
                    track.HasEntry = true;
                    track.Code = entry.Type;
                    track.Entry = entry;
                }
            });
        } else if (IsFourCC(box.Type, "stts")) {
            ReadTimeToSample(p, track);
        } else if (IsFourCC(box.Type, "stsz")) {
            ReadSampleSizes(p, track);
        } else if (!track.FirstChunkOffset && LoadBe32(p, 4) > 0 &&
                   (IsFourCC(box.Type, "stco") || IsFourCC(box.Type, "co64"))) {
            track.FirstChunkOffset = IsFourCC(box.Type, "co64") ? LoadBe64(p, 8) : LoadBe32(p, 8);
        }
    });
}

namespace {

// A run's samples, each with its own fields or the defaults: every sample
// read from the box's bytes, none past them.
void ReadTrackRun(ByteSpan trun, std::uint32_t defaultDuration, std::uint32_t defaultSize,
                  FragmentRun& run) {
    const std::uint32_t flags = LoadBe32(trun, 0) & 0xFFFFFFU;
    const std::uint32_t count = LoadBe32(trun, 4);
    std::size_t at = 8;
    if (flags & 0x1U) {
        at += 4; // data offset
    }
    if (flags & 0x4U) {
        at += 4; // first sample flags
    }
    const bool hasDuration = (flags & 0x100U) != 0;
    const bool hasSize = (flags & 0x200U) != 0;
    const std::size_t entry =
        4U * static_cast<std::size_t>(hasDuration + hasSize + ((flags & 0x400U) != 0) +
                                      ((flags & 0x800U) != 0));
    if (entry == 0) {
        run.Durations.Add(defaultDuration, count);
        run.Time += std::uint64_t{defaultDuration} * count;
        run.Bytes += std::uint64_t{defaultSize} * count;
        run.Samples += count;
        return;
    }
    const std::uint64_t samples =
        std::min<std::uint64_t>(count, at <= trun.size() ? (trun.size() - at) / entry : 0);
    for (std::uint64_t i = 0; i < samples; ++i) {
        const std::size_t sample = at + static_cast<std::size_t>(i) * entry;
        const std::uint32_t duration = hasDuration ? LoadBe32(trun, sample) : defaultDuration;
        run.Time += duration;
        run.Durations.Add(duration, 1);
        run.Bytes += hasSize ? LoadBe32(trun, sample + (hasDuration ? 4 : 0)) : defaultSize;
    }
    run.Samples += samples;
}

} // namespace

void IsoLoad::ReadFragmentHeader(ByteSpan tfhd, FragmentRun& run, std::uint32_t& defaultDuration,
                                 std::uint32_t& defaultSize) const {
    const std::uint32_t flags = LoadBe32(tfhd, 0) & 0xFFFFFFU;
    run.TrackId = LoadBe32(tfhd, 4);
    std::size_t at = 8;
    if (flags & 0x1U) {
        at += 8; // base data offset
    }
    if (flags & 0x2U) {
        at += 4; // sample description index
    }
    const TrackFacts* facts = FactsOf(run.TrackId);
    defaultDuration = facts != nullptr ? facts->DefaultDuration : 0;
    if (flags & 0x8U) {
        defaultDuration = LoadBe32(tfhd, at);
        at += 4;
    }
    if (flags & 0x10U) {
        defaultSize = LoadBe32(tfhd, at);
    }
}

std::vector<FragmentRun> IsoLoad::ReadFragment(ByteSpan moof) {
    std::vector<FragmentRun> runs;
    parser_.ForEachBox(moof, [&](const Box& traf) {
        if (!IsFourCC(traf.Type, "traf")) {
            return;
        }
        FragmentRun run;
        std::uint32_t defaultDuration = 0;
        std::uint32_t defaultSize = 0;
        parser_.ForEachBox(traf.Payload, [&](const Box& box) {
            if (IsFourCC(box.Type, "tfhd")) {
                ReadFragmentHeader(box.Payload, run, defaultDuration, defaultSize);
            } else if (IsFourCC(box.Type, "tfdt")) {
                run.BaseTime = VersionedValue(box.Payload, 4);
            } else if (IsFourCC(box.Type, "trun")) {
                ReadTrackRun(box.Payload, defaultDuration, defaultSize, run);
            }
        });
        runs.push_back(run);
    });
    return runs;
}

void IsoLoad::ReadSegmentIndex(ByteSpan sidx, Extended end) {
    const std::uint8_t version = ByteAt(sidx, 0);
    const std::uint32_t scale = LoadBe32(sidx, 8);
    const std::size_t at = version == 0 ? 20 : 28;
    const std::uint64_t firstOffset = version == 0 ? LoadBe32(sidx, 16) : LoadBe64(sidx, 20);
    const std::uint16_t count = LoadBe16(sidx, at + 2);
    std::uint64_t total = 0;
    // Bytes, as a long double: 65,535 references of 2 GiB each do not
    // overflow it.
    Extended covered = end + static_cast<Extended>(firstOffset);
    for (std::size_t i = 0; i < count && at + 4 + 12 * (i + 1) <= sidx.size(); ++i) {
        covered += static_cast<Extended>(LoadBe32(sidx, at + 4 + 12 * i) & 0x7FFFFFFFU);
        total += LoadBe32(sidx, at + 4 + 12 * i + 4);
    }
    const auto size = static_cast<Extended>(source_.Size());
    if (scale > 0 && total > 0 && covered * 10 >= size * 9) {
        indexedSeconds_ = static_cast<Extended>(total) / scale;
    }
}

namespace {

// The offset of the last fragment a track fragment random access box names.
std::optional<std::uint64_t> LastIndexedFragment(ByteSpan tfra) {
    const bool v1 = ByteAt(tfra, 0) == 1;
    const std::uint32_t sizes = LoadBe32(tfra, 8);
    const std::size_t entry =
        (v1 ? 16U : 8U) + ((sizes >> 4) & 3U) + 1 + ((sizes >> 2) & 3U) + 1 + (sizes & 3U) + 1;
    const std::uint32_t count = LoadBe32(tfra, 12);
    if (count == 0 || tfra.size() < 16 || (tfra.size() - 16) / entry < count) {
        return std::nullopt;
    }
    const std::size_t last = 16 + entry * (count - 1);
    return v1 ? LoadBe64(tfra, last + 8) : LoadBe32(tfra, last + 4);
}

} // namespace

std::optional<std::uint64_t> IsoLoad::IndexedLastFragment(ByteSpan bytes) {
    // The fragment index at the end ("mfra", found by its last 16 bytes).
    if (bytes.size() < 16 || !IsFourCC(LoadFourCC(bytes, bytes.size() - 12), "mfro")) {
        return std::nullopt;
    }
    const std::uint32_t indexSize = LoadBe32(bytes, bytes.size() - 4);
    if (indexSize < 16 || indexSize > bytes.size()) {
        return std::nullopt;
    }
    const ByteSpan mfra = bytes.subspan(bytes.size() - indexSize);
    if (!IsFourCC(LoadFourCC(mfra, 4), "mfra")) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> moofAt;
    parser_.ForEachBox(mfra.subspan(8), [&](const Box& tfra) {
        if (IsFourCC(tfra.Type, "tfra")) {
            if (const auto offset = LastIndexedFragment(tfra.Payload)) {
                moofAt = std::max(moofAt.value_or(0), *offset);
            }
        }
    });
    return moofAt;
}

std::optional<std::uint64_t> IsoLoad::LastFragmentIn(ByteSpan bytes, std::int64_t start) {
    // The fragment index names the last fragment.
    if (const auto moofAt = IndexedLastFragment(bytes)) {
        return moofAt;
    }
    // Without one, the last "moof" whose size fits in the window.
    for (std::size_t at = bytes.size() >= 8 ? bytes.size() - 8 : 0; at-- > 0;) {
        if (bytes[at + 4] == 'm' && IsFourCC(LoadFourCC(bytes, at + 4), "moof")) {
            const std::uint32_t boxSize = LoadBe32(bytes, at);
            if (boxSize >= 16 && boxSize <= bytes.size() - at) {
                return static_cast<std::uint64_t>(start) + at;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::vector<FragmentRun>> IsoLoad::ReadFragmentAt(std::uint64_t moofAt) {
    if (moofAt >= static_cast<std::uint64_t>(source_.Size())) {
        return std::nullopt;
    }
    const auto head = ReadAt(static_cast<std::int64_t>(moofAt), 8);
    if (head.size() != 8 || !IsFourCC(LoadFourCC(head, 4), "moof")) {
        return std::nullopt;
    }
    const std::uint32_t boxSize = LoadBe32(head, 0);
    if (boxSize < 8) {
        return std::nullopt;
    }
    const auto moof = ReadAt(static_cast<std::int64_t>(moofAt) + 8,
                             std::min<std::uint64_t>(boxSize - 8, CIsoReader::kMaxFragmentBox));
    return ReadFragment(moof);
}

std::optional<std::vector<FragmentRun>> IsoLoad::ReadLastFragment() {
    // The end of the file, searched for its last fragment in a growing window.
    std::optional<std::vector<FragmentRun>> runs;
    SearchTail(source_, CIsoReader::kTailWindow, CIsoReader::kMaxTailWindow,
               [&](const FileWindow& tail, std::size_t added) {
                   budget_ -= std::min<std::uint64_t>(budget_, added);
                   memory_.Add(added);
                   if (const auto moofAt = LastFragmentIn(tail.Bytes, tail.Start)) {
                       runs = ReadFragmentAt(*moofAt);
                   }
                   return runs.has_value();
               });
    return runs;
}

void IsoLoad::IndexTracks() {
    // Of several trex boxes of one track, the last holds.
    const auto byId = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(defaultDurations_.begin(), defaultDurations_.end(), byId);
    for (const Track& track : tracks_) {
        trackFacts_.push_back({.TrackId = track.TrackId});
    }
    const auto byTrackId = [](const TrackFacts& a, const TrackFacts& b) {
        return a.TrackId < b.TrackId;
    };
    std::sort(trackFacts_.begin(), trackFacts_.end(), byTrackId);
    trackFacts_.erase(std::unique(trackFacts_.begin(), trackFacts_.end(),
                                  [](const TrackFacts& a, const TrackFacts& b) {
                                      return a.TrackId == b.TrackId;
                                  }),
                      trackFacts_.end());
    for (Track& track : tracks_) {
        stop_.Check();
        const std::pair<std::uint32_t, std::uint32_t> key{track.TrackId, 0};
        if (const auto after =
                std::upper_bound(defaultDurations_.begin(), defaultDurations_.end(), key, byId);
            after != defaultDurations_.begin() && std::prev(after)->first == track.TrackId) {
            track.DefaultSampleDuration = std::prev(after)->second;
        }
        TrackFacts& facts = *FactsOf(track.TrackId);
        if (facts.TimeScale == 0) {
            facts.TimeScale = track.TimeScale;
        }
        facts.HoldsSamples = facts.HoldsSamples || track.SampleCount > 0;
        facts.DefaultDuration = track.DefaultSampleDuration;
    }
}

const IsoLoad::TrackFacts* IsoLoad::FactsOf(std::uint32_t trackId) const {
    const auto found = std::lower_bound(
        trackFacts_.begin(), trackFacts_.end(), trackId,
        [](const TrackFacts& facts, std::uint32_t id) { return facts.TrackId < id; });
    return found == trackFacts_.end() || found->TrackId != trackId ? nullptr : &*found;
}

IsoLoad::TrackFacts* IsoLoad::FactsOf(std::uint32_t trackId) {
    return const_cast<TrackFacts*>(std::as_const(*this).FactsOf(trackId));
}

void IsoLoad::LabelContainer() {
    // The container's label by its brands.
    const auto hasBrand = [&](auto predicate) {
        return predicate(majorBrand_) || std::any_of(brands_.begin(), brands_.end(), predicate);
    };
    const auto startsWith = [](const char* prefix) {
        return [prefix](const FourCC& brand) {
            return std::memcmp(brand.data(), prefix, std::strlen(prefix)) == 0;
        };
    };
    if (!haveFileType_ || IsFourCC(majorBrand_, "qt  ")) {
        summary_.Container = "MOV";
    } else if (startsWith("M4V")(majorBrand_)) {
        summary_.Container = "M4V";
    } else if (startsWith("3g")(majorBrand_) ||
               (!startsWith("iso")(majorBrand_) && !startsWith("mp4")(majorBrand_) &&
                hasBrand(startsWith("3g")))) {
        summary_.Container = "3GP";
    } else {
        summary_.Container = "MP4";
    }
}

std::optional<Extended> IsoLoad::LastFragmentSeconds() {
    const auto last = walkComplete_ ? std::optional(lastFragment_) : ReadLastFragment();
    if (!last) {
        return std::nullopt;
    }
    // Where each track's media starts: a movie box that holds the first
    // samples itself starts at 0; else the media starts where the first
    // fragment's last run of the track does.
    std::vector<std::optional<std::uint64_t>> starts(trackFacts_.size());
    for (const FragmentRun& firstRun : firstFragment_) {
        const TrackFacts* facts = FactsOf(firstRun.TrackId);
        if (firstRun.BaseTime && facts != nullptr && !facts->HoldsSamples) {
            starts[static_cast<std::size_t>(facts - trackFacts_.data())] = *firstRun.BaseTime;
        }
    }
    std::optional<Extended> seconds;
    for (const FragmentRun& run : *last) {
        stop_.Check();
        const TrackFacts* facts = FactsOf(run.TrackId);
        if (facts == nullptr || facts->TimeScale == 0 || !run.BaseTime) {
            continue;
        }
        const std::optional<std::uint64_t> start =
            starts[static_cast<std::size_t>(facts - trackFacts_.data())];
        const Extended end = static_cast<Extended>(*run.BaseTime) + static_cast<Extended>(run.Time);
        const Extended trackSeconds =
            (end - static_cast<Extended>(start.value_or(0))) / facts->TimeScale;
        if (trackSeconds > 0 && (!seconds || trackSeconds > *seconds)) {
            seconds = trackSeconds;
        }
    }
    return seconds;
}

std::optional<Extended> IsoLoad::DurationSeconds() {
    const std::optional<Extended> movie =
        movieDuration_ > 0 && movieTimeScale_ > 0
            ? std::optional<Extended>(static_cast<Extended>(movieDuration_) / movieTimeScale_)
            : std::nullopt;
    // A fragmented file lasts what its fragments hold: all of them walked,
    // else the index of the whole file, else the movie extends header (a
    // segment cut from a longer file may keep the whole one's), else the
    // last fragment's end.
    if (fragmented_) {
        if (walkComplete_) {
            const std::optional<Extended> walked =
                timesStated_ ? LastFragmentSeconds() : WalkedSeconds();
            if (walked && *walked > 0) {
                return walked;
            }
        }
        if (indexedSeconds_) {
            return indexedSeconds_;
        }
        if (fragmentDuration_ && movieTimeScale_ > 0) {
            return static_cast<Extended>(*fragmentDuration_) / movieTimeScale_;
        }
        const std::optional<Extended> last = LastFragmentSeconds();
        return last ? last : movie;
    }
    if (movie) {
        return movie;
    }
    std::optional<Extended> seconds;
    for (const Track& track : tracks_) {
        if (track.TimeScale > 0 && track.MediaDuration > 0) {
            const Extended trackSeconds =
                static_cast<Extended>(track.MediaDuration) / track.TimeScale;
            seconds = std::max(seconds.value_or(0), trackSeconds);
        }
    }
    return seconds;
}

IsoLoad::DescribedTracks IsoLoad::DescribeTracks() {
    DescribedTracks described;
    for (const Track& track : tracks_) {
        if (IsFourCC(track.Handler, "vide")) {
            CountTrack(summary_, TrackKind::Video);
            if (described.Video == nullptr) {
                described.Video = &track;
                DescribeVideo(track);
            }
        } else if (IsFourCC(track.Handler, "soun")) {
            CountTrack(summary_, TrackKind::Audio, track.Language);
            if (described.Sound == nullptr) {
                described.Sound = &track;
                DescribeAudio(track);
            }
        } else if (IsOneOf(track.Handler, {"sbtl", "subt", "text", "clcp"})) {
            CountTrack(summary_, TrackKind::Subtitle, track.Language);
        }
    }
    return described;
}

void IsoLoad::EstimateFragmentedVideoRate(const Track& video) {
    if (!summary_.DurationMs || *summary_.DurationMs <= 0) {
        return;
    }
    const Extended seconds = static_cast<Extended>(*summary_.DurationMs) / 1000;
    const TrackFacts* sample = FactsOf(video.TrackId);
    const Extended sampleSeconds =
        sample != nullptr && video.TimeScale > 0 ? sample->WalkedTime / video.TimeScale : 0;
    const auto span = static_cast<Extended>(walkedTo_ - firstFragmentAt_);
    if (sampleSeconds > 0 && sampleSeconds < seconds && span > 0) {
        // The bytes past the walked fragments are the video's, less what the
        // sound and the boxes take at the pace they took in the walked ones.
        const Extended others = (span - sample->WalkedBytes) / sampleSeconds;
        const Extended rest =
            static_cast<Extended>(source_.Size() - walkedTo_) - others * (seconds - sampleSeconds);
        const Extended own =
            video.SizesKnown ? static_cast<Extended>(video.SampleBytes) : 0; // the movie box's
        const Extended rate =
            (own + sample->WalkedBytes + std::max<Extended>(rest, 0)) * 8 / seconds;
        if (rate >= 1 && rate < 1e12L) {
            summary_.VideoBitRate = static_cast<std::int64_t>(rate);
        }
        return;
    }
    // No fragment walked: the one video track's rate is what the file's
    // size leaves after the sound's.
    if (summary_.VideoTracks != 1 ||
        !(summary_.AudioTracks == 0 || (summary_.AudioTracks == 1 && summary_.AudioBitRate))) {
        return;
    }
    const auto total = Scaled(static_cast<std::uint64_t>(source_.Size()) * 8, 1000,
                              static_cast<std::uint64_t>(*summary_.DurationMs));
    const std::int64_t sound = summary_.AudioBitRate.value_or(0);
    if (total && *total > sound) {
        summary_.VideoBitRate = *total - sound;
    }
}

void IsoLoad::Summarise() {
    LabelContainer();
    if (const auto seconds = DurationSeconds(); seconds && *seconds > 0 && *seconds < 9e15L) {
        summary_.DurationMs = static_cast<std::int64_t>(std::nearbyint(*seconds * 1000));
    }
    const DescribedTracks described = DescribeTracks();
    if (fragmented_) {
        WalkedRates(described);
    }
    summary_.Metadata = InLabelOrder(items_);
}

std::optional<std::int64_t> IsoLoad::WalkedRateOf(const Track& track) const {
    // The movie box's own samples of the track, if any, and its fragments'.
    const TrackFacts* walked = FactsOf(track.TrackId);
    const bool own = track.SizesKnown && track.SampleCount > 0;
    const Extended bytes = (walked != nullptr ? walked->WalkedBytes : 0) +
                           (own ? static_cast<Extended>(track.SampleBytes) : 0);
    const Extended time = (walked != nullptr ? walked->WalkedTime : 0) +
                          (own ? static_cast<Extended>(track.SampleTime) : 0);
    if (time <= 0 || track.TimeScale == 0) {
        return std::nullopt;
    }
    const Extended rate = bytes * 8 * track.TimeScale / time;
    return rate >= 1 && rate < 1e12L ? std::optional(static_cast<std::int64_t>(rate))
                                     : std::nullopt;
}

void IsoLoad::WalkedRates(const DescribedTracks& described) {
    const auto [video, sound] = described;
    if (walkComplete_) {
        // Every fragment was walked: the tracks' bytes over their time, truer
        // than the rate a configuration box states.
        for (const auto& [track, rate] :
             {std::pair{video, &summary_.VideoBitRate}, std::pair{sound, &summary_.AudioBitRate}}) {
            if (const auto walked = track != nullptr ? WalkedRateOf(*track) : std::nullopt) {
                *rate = walked;
            }
        }
    } else if (walkedFragments_ > 0) {
        // A movie box's own samples are a few of the file's: the sound's
        // rate at their and the walked fragments' pace, the video's
        // estimated below.
        if (sound != nullptr && sound->SizesKnown && sound->SampleCount > 0) {
            summary_.AudioBitRate = WalkedRateOf(*sound);
        }
        if (video != nullptr && video->SizesKnown && video->SampleCount > 0) {
            summary_.VideoBitRate.reset();
        }
    }
    if (video != nullptr && !summary_.VideoBitRate) {
        EstimateFragmentedVideoRate(*video);
    }
}

namespace {

// The boxes after a sample entry's fields, and inside its "wave" (a
// QuickTime movie keeps an "esds" there).
std::optional<Box> FindEntryChild(MovieParser& parser, ByteSpan children, const char (&type)[5]) {
    if (auto found = parser.Find(children, type)) {
        return found;
    }
    if (const auto wave = parser.Find(children, "wave")) {
        return parser.Find(wave->Payload, type);
    }
    return std::nullopt;
}

// Protected content names its codec in the protection scheme's box.
FourCC OriginalFormat(MovieParser& parser, const FourCC& code, ByteSpan children) {
    if (IsOneOf(code, {"encv", "enca", "resv"})) {
        if (const auto frma = parser.FindPath(children, {"sinf", "frma"})) {
            return LoadFourCC(frma->Payload, 0);
        }
    }
    return code;
}

} // namespace

namespace {

std::string DescribeDecoderConfig(const DecoderConfig& config, Codec& codec,
                                  CodecDetails& details) {
    if (codec == Codec::Unknown) {
        codec = CodecForObjectType(config.ObjectType);
    }
    if (codec != Codec::Aac) {
        return {};
    }
    details = DecodeAudioSpecificConfig(config.SpecificInfo);
    return details.Ps ? "HE-AACv2" : details.Sbr ? "HE-AAC" : "";
}

} // namespace

std::optional<CodecDetails> IsoLoad::AudioConfig(ByteSpan children) {
    if (const auto dac3 = FindEntryChild(parser_, children, "dac3")) {
        return DecodeAc3Config(dac3->Payload);
    }
    if (const auto dec3 = FindEntryChild(parser_, children, "dec3")) {
        return DecodeEac3Config(dec3->Payload);
    }
    if (const auto dops = FindEntryChild(parser_, children, "dOps")) {
        return DecodeOpusConfig(dops->Payload);
    }
    if (const auto dfla = FindEntryChild(parser_, children, "dfLa")) {
        return DecodeFlacConfig(BytesFrom(dfla->Payload, 4));
    }
    if (const auto alac = FindEntryChild(parser_, children, "alac")) {
        return DecodeAlacConfig(BytesFrom(alac->Payload, 4));
    }
    if (const auto dmlp = FindEntryChild(parser_, children, "dmlp")) {
        return DecodeTrueHdConfig(dmlp->Payload);
    }
    return std::nullopt;
}

void IsoLoad::SetRateAndChannels(ByteSpan entry, std::uint16_t version,
                                 const CodecDetails& details) {
    // The configuration's rate and channels: the sample entry's channel
    // count is a placeholder in many files.
    std::uint32_t sampleRate = details.SampleRate;
    std::uint32_t channels = details.Channels;
    if (version == 2) {
        double rate = 0;
        const std::uint64_t bits = LoadBe64(entry, 32);
        std::memcpy(&rate, &bits, sizeof rate);
        if (sampleRate == 0 && std::isfinite(rate) && rate > 0 && rate < 1e7) {
            sampleRate = static_cast<std::uint32_t>(std::lround(rate));
        }
        if (channels == 0) {
            channels = LoadBe32(entry, 40);
        }
    }
    summary_.SampleRate = sampleRate != 0 ? sampleRate : LoadBe32(entry, 24) >> 16;
    summary_.Channels = channels != 0 ? channels : LoadBe16(entry, 16);
}

void IsoLoad::DescribeVideo(const Track& track) {
    summary_.HasVideo = true;
    const ByteSpan entry = track.Entry.Payload;
    const ByteSpan children = BytesFrom(entry, 78);
    const FourCC code = OriginalFormat(parser_, track.Code, children);
    Codec codec = CodecForSampleEntry(code);
    if (const auto esds = parser_.Find(children, "esds"); esds && codec == Codec::Unknown) {
        codec = CodecForObjectType(
            DecodeElementaryStreamDescriptor(BytesFrom(esds->Payload, 4)).ObjectType);
    }
    const CodecDetails details = VideoConfig(children);
    summary_.VideoCode = FourCCText(code);
    summary_.VideoCodec = codec == Codec::Unknown ? summary_.VideoCode : CodecName(codec);
    summary_.VideoProfile = details.Profile;
    summary_.BitDepth = details.BitDepth;
    summary_.Hdr = details.Hdr;
    const std::uint16_t width = LoadBe16(entry, 24);
    const std::uint16_t height = LoadBe16(entry, 26);
    summary_.Width = width;
    summary_.Height = height;

    // A file with no samples yet (an initialisation segment): the rate the
    // stream's timing information states.
    summary_.FrameRate = FrameRateOf(track);
    if (!summary_.FrameRate && details.FrameRate > 0) {
        summary_.FrameRate = details.FrameRate;
    }
    const std::uint64_t duration = track.MediaDuration > 0 ? track.MediaDuration : track.SampleTime;
    if (track.SizesKnown && track.SampleBytes > 0) {
        summary_.VideoBitRate = Scaled(track.SampleBytes * 8, track.TimeScale, duration);
    } else if (const auto btrt = parser_.Find(children, "btrt");
               btrt && LoadBe32(btrt->Payload, 8) > 0) {
        summary_.VideoBitRate = LoadBe32(btrt->Payload, 8);
    }

    // Rotation: the display matrix's angle, clockwise.
    const double angle =
        std::atan2(static_cast<double>(track.Matrix[1]), static_cast<double>(track.Matrix[0])) *
        180.0 / 3.14159265358979323846;
    summary_.Rotation = (static_cast<int>(std::lround(angle)) + 360) % 360;
    summary_.DisplayAspect = DisplayAspectOf(track, children, width, height);
}

CodecDetails IsoLoad::VideoConfig(ByteSpan children) {
    CodecDetails details;
    if (const auto avcC = parser_.Find(children, "avcC")) {
        details = DecodeAvcConfig(avcC->Payload);
    } else if (const auto hvcC = parser_.Find(children, "hvcC")) {
        details = DecodeHevcConfig(hvcC->Payload);
    } else if (const auto av1C = parser_.Find(children, "av1C")) {
        details = DecodeAv1Config(av1C->Payload);
    } else if (const auto vpcC = parser_.Find(children, "vpcC")) {
        details = DecodeVpConfig(BytesFrom(vpcC->Payload, 4));
    }
    if (details.Hdr.empty()) {
        if (const auto colr = parser_.Find(children, "colr")) {
            details.Hdr = HdrFromColourInformation(colr->Payload);
        }
    }
    // A Dolby Vision configuration names the format whatever the base
    // layer's transfer is.
    if (parser_.Find(children, "dvcC") || parser_.Find(children, "dvvC") ||
        parser_.Find(children, "dvwC")) {
        details.Hdr = "Dolby Vision";
    }
    return details;
}

std::optional<double> IsoLoad::FrameRateOf(const Track& track) const {
    // Frames per second: the steady sample duration, else the samples over
    // their time; from the sample table, else from the first fragment, else
    // from the default sample duration.
    const DurationTally* durations = &track.Durations;
    std::uint64_t samples = track.SampleCount;
    std::uint64_t time = track.SampleTime;
    if (samples == 0 || time == 0) {
        for (const FragmentRun& run : firstFragment_) {
            if (run.TrackId == track.TrackId && run.Samples > 0 && run.Time > 0) {
                samples = run.Samples;
                time = run.Time;
                durations = &run.Durations;
            }
        }
    }
    if ((samples == 0 || time == 0) && track.DefaultSampleDuration > 0) {
        samples = 1;
        time = track.DefaultSampleDuration;
    }
    if (samples > 0 && time > 0 && track.TimeScale > 0) {
        if (const std::uint32_t steady = durations->Steady(); steady > 0) {
            samples = 1;
            time = steady;
        }
        return static_cast<double>(static_cast<Extended>(samples) * track.TimeScale /
                                   static_cast<Extended>(time));
    }
    return std::nullopt;
}

std::string IsoLoad::DisplayAspectOf(const Track& track, ByteSpan children, std::uint16_t width,
                                     std::uint16_t height) {
    if (const auto pasp = parser_.Find(children, "pasp")) {
        const std::uint32_t h = LoadBe32(pasp->Payload, 0);
        const std::uint32_t v = LoadBe32(pasp->Payload, 4);
        return h > 0 && v > 0 ? AspectText(std::uint64_t{width} * h, std::uint64_t{height} * v)
                              : std::string();
    }
    if (track.PresentationWidth > 0 && track.PresentationHeight > 0) {
        return AspectText(track.PresentationWidth >> 16, track.PresentationHeight >> 16);
    }
    return AspectText(width, height);
}

void IsoLoad::DescribeAudio(const Track& track) {
    summary_.HasAudio = true;
    const ByteSpan entry = track.Entry.Payload;
    const std::uint16_t version = LoadBe16(entry, 8);
    const ByteSpan children = BytesFrom(entry, version == 1 ? 44 : version == 2 ? 64 : 28);
    const FourCC code = OriginalFormat(parser_, track.Code, children);
    Codec codec = CodecForSampleEntry(code);
    CodecDetails details;
    std::uint32_t averageBitRate = 0;
    std::string name;
    if (const auto esds = FindEntryChild(parser_, children, "esds")) {
        const DecoderConfig config = DecodeElementaryStreamDescriptor(BytesFrom(esds->Payload, 4));
        averageBitRate = config.AverageBitRate;
        name = DescribeDecoderConfig(config, codec, details);
    }
    if (auto other = AudioConfig(children)) {
        details = std::move(*other);
    }
    if (codec == Codec::Amr) {
        // AMR is mono, narrow band at 8 kHz, wide band at 16 kHz, whatever
        // the sample entry's placeholders say.
        details.Channels = 1;
        details.SampleRate = IsFourCC(code, "sawb") ? 16000 : 8000;
    }
    if (codec == Codec::Mp3 && track.FirstChunkOffset &&
        *track.FirstChunkOffset < static_cast<std::uint64_t>(INT64_MAX)) {
        // MPEG audio of either layer shares its code: the first frame says.
        const auto frame = ReadAt(static_cast<std::int64_t>(*track.FirstChunkOffset), 4);
        const MpegAudioHeader header = DecodeMpegAudioHeader(frame);
        if (header.Layer != 0) {
            codec = header.Layer == 3 ? Codec::Mp3 : Codec::Mp2;
            details.SampleRate = header.SampleRate;
            details.Channels = header.Channels;
        }
    }
    summary_.AudioCode = FourCCText(code);
    summary_.AudioCodec = !name.empty()             ? name
                          : codec == Codec::Unknown ? summary_.AudioCode
                                                    : CodecName(codec);
    SetRateAndChannels(entry, version, details);
    const std::uint64_t duration = track.MediaDuration > 0 ? track.MediaDuration : track.SampleTime;
    // No sound runs at a gigabit a second: such a rate comes from a time
    // scale or duration that is not true.
    constexpr std::int64_t kLargestSoundRate = 1'000'000'000;
    if (const auto measured = track.SizesKnown && track.SampleBytes > 0 && duration > 0
                                  ? Scaled(track.SampleBytes * 8, track.TimeScale, duration)
                                  : std::nullopt;
        measured && *measured <= kLargestSoundRate) {
        summary_.AudioBitRate = measured;
    } else if (details.BitRate > 0) {
        summary_.AudioBitRate = details.BitRate;
    } else if (averageBitRate > 0) {
        summary_.AudioBitRate = averageBitRate;
    }
}

} // namespace vidarium::iso

namespace vidarium {

bool CIsoReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return head.size() >= 8 && iso::IsTopLevelBox(LoadFourCC(head, 4));
}

bool CIsoReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    boxes_ = 0;
    return RunLoad<iso::IsoLoad>(source, path, kOrigin, boxes_);
}

} // namespace vidarium

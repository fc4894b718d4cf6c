// The fragment walk of a fragmented MP4: the first fragment kept, the
// fragments after it walked for their tracks' bytes and times, the last one
// found from the end (its index, else a search) for the length.
#include "isoload.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace vidarium::iso {

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

} // namespace vidarium::iso

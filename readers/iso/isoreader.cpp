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
        if (box->PastTheEnd) {
            truncated_ = true;
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
            const bool wide = IsFourCC(box.Type, "co64");
            const std::size_t width = wide ? 8 : 4;
            track.FirstChunkOffset = wide ? LoadBe64(p, 8) : LoadBe32(p, 8);
            // The last chunk the table holds (its count bounded by the box).
            const std::size_t chunks =
                std::min<std::size_t>(LoadBe32(p, 4), (p.size() - 8) / width);
            if (chunks > 0) {
                const std::size_t last = 8 + (chunks - 1) * width;
                track.LastChunkOffset = wide ? LoadBe64(p, last) : LoadBe32(p, last);
            }
        }
    });
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
    // A box, or a chunk the movie's tables place, past the file's end.
    const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(source_.Size(), 0));
    summary_.Truncated =
        truncated_ || std::any_of(tracks_.begin(), tracks_.end(),
                                  [&](const auto& track) { return track.LastChunkOffset >= size; });
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

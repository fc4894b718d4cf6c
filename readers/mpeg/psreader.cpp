#include "psreader.h"

#include "byteorder.h"
#include "bytesource.h"
#include "codecnames.h"
#include "localtext.h"
#include "pes.h"
#include "readerload.h"
#include "videoes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace vidarium::ps {
namespace {

using pes::kPtsPerSecond;
using pes::kPtsWrap;

// The two rates a DVD's sequence header states as its ceiling, not its rate.
constexpr std::array<std::uint32_t, 2> kDvdCeilings{9000000, 9800000};

struct Pack {
    std::uint64_t Scr = 0;     // 90 kHz
    std::uint32_t MuxRate = 0; // units of 50 bytes per second
    std::size_t Length = 0;
};

// A pack header from its start code: MPEG-2's or MPEG-1's.
std::optional<Pack> ParsePack(ByteSpan bytes) {
    if (bytes.size() < 12 || LoadBe32(bytes, 0) != 0x000001BAU) {
        return std::nullopt;
    }
    Pack pack;
    if ((bytes[4] & 0xC4U) == 0x44U && bytes.size() >= 14) {
        pack.Scr = (std::uint64_t{bytes[4] & 0x38U} << 27) |
                   (std::uint64_t{bytes[4] & 0x03U} << 28) | (std::uint64_t{bytes[5]} << 20) |
                   (std::uint64_t{bytes[6] & 0xF8U} << 12) |
                   (std::uint64_t{bytes[6] & 0x03U} << 13) | (std::uint64_t{bytes[7]} << 5) |
                   (bytes[8] >> 3);
        pack.MuxRate = (std::uint32_t{bytes[10]} << 14) | (std::uint32_t{bytes[11]} << 6) |
                       (std::uint32_t{bytes[12]} >> 2);
        pack.Length = 14 + (bytes[13] & 7U);
        return pack;
    }
    if ((bytes[4] & 0xF1U) == 0x21U) {
        pack.Scr = pes::Timestamp(bytes.subspan(4, 5));
        pack.MuxRate = (std::uint32_t{bytes[9] & 0x7FU} << 15) | (std::uint32_t{bytes[10]} << 7) |
                       (std::uint32_t{bytes[11]} >> 1);
        pack.Length = 12;
        return pack;
    }
    return std::nullopt;
}

// A PES packet of a stream that may carry video or sound: its stream (for
// private stream 1, 0xBD00 plus the sub-stream), presentation time and data.
struct PesPacket {
    std::uint16_t Stream = 0;
    std::optional<std::uint64_t> Pts;
    ByteSpan Data;
};

std::optional<PesPacket> ParsePes(ByteSpan packet) {
    const auto header = pes::ParseHeader(packet, true);
    if (!header) {
        return std::nullopt;
    }
    PesPacket pes{packet[3], header->Pts, packet.subspan(header->DataOffset)};
    if (pes.Stream == 0xBD) {
        if (pes.Data.empty()) {
            return std::nullopt;
        }
        pes.Stream = static_cast<std::uint16_t>(0xBD00U | pes.Data[0]);
        pes.Data = pes.Data.subspan(1);
    }
    return pes;
}

bool CarriesMedia(std::uint8_t id) {
    return id == 0xBD || (id >= 0xC0 && id <= 0xEF);
}

// The first pack header at or after `from`: where a walk of bytes that
// start anywhere in the file may begin.
std::optional<std::size_t> FirstPack(ByteSpan bytes, std::size_t from) {
    for (std::size_t at = from; at + 14 <= bytes.size(); ++at) {
        if (bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 1 && bytes[at + 3] == 0xBA &&
            ParsePack(bytes.subspan(at))) {
            return at;
        }
    }
    return std::nullopt;
}

// Walks the packs and packets of `bytes` from the first pack header,
// following their lengths; after bytes it cannot follow, from the next pack
// header. A packet cut by the window's end gives what the window holds.
template <typename OnPack, typename OnPes>
void WalkPackets(ByteSpan bytes, OnPack&& onPack, OnPes&& onPes) {
    std::optional<std::size_t> at = FirstPack(bytes, 0);
    while (at && *at + 4 <= bytes.size()) {
        const ByteSpan rest = bytes.subspan(*at);
        const std::uint32_t code = LoadBe32(rest, 0);
        if (code == 0x000001BAU) {
            const auto pack = ParsePack(rest);
            if (!pack) {
                at = FirstPack(bytes, *at + 1);
                continue;
            }
            onPack(*pack);
            *at += pack->Length;
        } else if (code == 0x000001B9U) {
            *at += 4; // program end code
        } else if ((code >> 8) == 1 && (code & 0xFFU) >= 0xBB && rest.size() >= 6) {
            const std::size_t end = 6 + std::size_t{LoadBe16(rest, 4)};
            if (CarriesMedia(rest[3])) {
                if (const auto pes = ParsePes(rest.first(std::min(end, rest.size())))) {
                    onPes(*pes);
                }
            }
            *at += end;
        } else {
            at = FirstPack(bytes, *at + 1);
        }
    }
}

using Kind = TrackKind;

struct Stream {
    std::uint16_t Id = 0;
    Kind What = Kind::Other;
    Codec Format = Codec::Unknown;
    std::vector<std::uint8_t> Head;
    std::vector<std::uint64_t> Timestamps;
};

Stream StreamFor(std::uint16_t id) {
    Stream stream{id, Kind::Other, Codec::Unknown, {}, {}};
    const unsigned sub = id & 0xFFU;
    if (id >= 0xE0 && id <= 0xEF) {
        stream.What = Kind::Video;
    } else if (id >= 0xC0 && id <= 0xDF) {
        stream = {id, Kind::Audio, Codec::Mp2, {}, {}};
    } else if ((id >> 8) == 0xBD && sub >= 0x80 && sub <= 0x87) {
        stream = {id, Kind::Audio, Codec::Ac3, {}, {}};
    } else if ((id >> 8) == 0xBD && sub >= 0x88 && sub <= 0x8F) {
        stream = {id, Kind::Audio, Codec::Dts, {}, {}};
    } else if ((id >> 8) == 0xBD && sub >= 0xA0 && sub <= 0xA7) {
        stream = {id, Kind::Audio, Codec::Pcm, {}, {}};
    } else if ((id >> 8) == 0xBD && sub >= 0x20 && sub <= 0x3F) {
        stream.What = Kind::Subtitle;
    }
    return stream;
}

// A video stream's codec from its first start codes together, never from
// one alone: MPEG-4 Visual's group of pictures shares MPEG-1's sequence
// header code, and an HEVC or MPEG-4 unit may share MPEG-2's picture code.
// The first that tells: a visual object sequence, or a video object followed
// at once by its layer (MPEG-4 Visual); a sequence header (with an
// extension: MPEG-2); a GOP header, or a picture header followed by its
// extension or a slice (MPEG-2 of a cut file). Else an AVC sequence
// parameter set (never without a reference level) or an HEVC one.
Codec VideoFormatOf(ByteSpan bytes) {
    const auto codeAt = [&](std::size_t from) -> std::optional<std::size_t> {
        const auto at =
            elementary::FindStartCode(bytes.subspan(std::min(from, bytes.size())), 0, 0);
        return at ? std::optional(*at + from) : std::nullopt;
    };
    for (auto at = codeAt(0); at; at = codeAt(*at + 3)) {
        const std::uint8_t code = bytes[*at + 3];
        const auto next = codeAt(*at + 4);
        const int following = next ? bytes[*next + 3] : -1;
        // A video object's start code holds nothing: its layer's follows
        // it at once (an MPEG-2 slice holds its picture's rows).
        const bool objectThenLayer =
            code <= 0x1F && next == *at + 4 && following >= 0x20 && following <= 0x2F;
        if (code == 0xB0 || objectThenLayer) {
            return Codec::Mpeg4Visual;
        }
        if (code == 0xB3) {
            return elementary::MpegVideoFormat(bytes.subspan(*at));
        }
        if (code == 0xB8 || (code == 0x00 && (following == 0xB5 || following == 0x01))) {
            return Codec::Mpeg2Video;
        }
    }
    if (const auto sps = elementary::FindNal(bytes, 7, false); sps && ((*sps)[0] & 0x60U) != 0) {
        return Codec::Avc;
    }
    return elementary::FindNal(bytes, 33, true) ? Codec::Hevc : Codec::Unknown;
}

// The sound format of a DVD's linear PCM sub-stream header.
CodecDetails LinearPcmDetails(ByteSpan data) {
    CodecDetails details;
    if (data.size() < 6) {
        return details;
    }
    static constexpr std::array<std::uint32_t, 4> kRates{48000, 96000, 44100, 32000};
    static constexpr std::array<std::uint32_t, 4> kBits{16, 20, 24, 0};
    const std::uint8_t format = data[4];
    details.SampleRate = kRates[(format >> 4) & 3U];
    details.Channels = (format & 7U) + 1;
    details.BitRate = details.SampleRate * details.Channels * kBits[format >> 6];
    return details;
}

std::string StreamText(std::uint16_t id) {
    char text[16];
    if ((id >> 8) == 0xBD) {
        std::snprintf(text, sizeof text, "0xBD-0x%02X", id & 0xFFU);
    } else {
        std::snprintf(text, sizeof text, "0x%02X", unsigned{id});
    }
    return text;
}

class PsLoad {
public:
    explicit PsLoad(const LoadContext& context)
        : source_(context.Source), path_(context.Path), summary_(context.Summary),
          stop_(context.Stop), size_(context.Source.Size()) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    bool Read();
    void ReadHead(const FileWindow& window);
    void AddPacket(const PesPacket& pes);
    void Describe();
    bool HeadComplete() const;
    void SummariseVideo();
    void SummariseAudio();
    void CountStreams();
    void DescribeDuration();
    std::optional<std::uint64_t> SpanFromTail(const Stream& stream);
    void DescribeVideoBitRate();

    ByteSource& source_;
    const std::filesystem::path& path_;
    MediaSummary& summary_;
    bool recognised_ = false;
    const LoadStop& stop_;
    const std::int64_t size_;

    std::vector<Stream> streams_;
    std::optional<Pack> firstPack_;
    const Stream* video_ = nullptr;
    const Stream* audio_ = nullptr;
    PictureFormat picture_;
    elementary::SoundFormat sound_;
    Codec videoFormat_ = Codec::Unknown;
    std::uint64_t frameTicks_ = 0; // one picture's length in timestamp ticks
};

void PsLoad::AddPacket(const PesPacket& pes) {
    auto stream = std::find_if(streams_.begin(), streams_.end(),
                               [&](const Stream& known) { return known.Id == pes.Stream; });
    if (stream == streams_.end()) {
        if (streams_.size() == CPsReader::kMaxStreams) {
            return;
        }
        streams_.push_back(StreamFor(pes.Stream));
        stream = streams_.end() - 1;
    }
    if (stream->What != Kind::Video && stream->What != Kind::Audio) {
        return;
    }
    if (pes.Pts && stream->Timestamps.size() < pes::kMaxTimestamps) {
        stream->Timestamps.push_back(*pes.Pts);
    }
    const std::size_t kept =
        std::min(pes.Data.size(), CPsReader::kMaxStreamHead - stream->Head.size());
    stream->Head.insert(stream->Head.end(), pes.Data.begin(),
                        pes.Data.begin() + static_cast<std::ptrdiff_t>(kept));
}

void PsLoad::ReadHead(const FileWindow& window) {
    streams_.clear();
    firstPack_.reset();
    WalkPackets(
        window.Bytes,
        [&](const Pack& pack) {
            if (!firstPack_) {
                firstPack_ = pack;
            }
        },
        [&](const PesPacket& pes) { AddPacket(pes); });
    const auto first = [&](Kind kind) -> const Stream* {
        const auto found = std::find_if(streams_.begin(), streams_.end(),
                                        [&](const Stream& stream) { return stream.What == kind; });
        return found == streams_.end() ? nullptr : &*found;
    };
    video_ = first(Kind::Video);
    audio_ = first(Kind::Audio);
}

void PsLoad::Describe() {
    picture_ = {};
    sound_ = {};
    if (video_ != nullptr) {
        videoFormat_ = VideoFormatOf(video_->Head);
        picture_ = elementary::DescribePicture(videoFormat_, video_->Head, video_->Timestamps);
    }
    if (audio_ != nullptr && audio_->Format == Codec::Pcm) {
        sound_ = {Codec::Pcm, LinearPcmDetails(audio_->Head), audio_->Head.size() >= 6};
    } else if (audio_ != nullptr) {
        sound_ = elementary::DescribeSound(audio_->Format, audio_->Head);
    }
}

bool PsLoad::HeadComplete() const {
    const bool videoDone = video_ == nullptr || (picture_.Width > 0 && picture_.FrameRate > 0 &&
                                                 video_->Timestamps.size() >= 2);
    return (video_ != nullptr || audio_ != nullptr) && videoDone &&
           (audio_ == nullptr || sound_.Described);
}

void PsLoad::SummariseVideo() {
    summary_.HasVideo = true;
    summary_.VideoCode = StreamText(video_->Id);
    summary_.VideoCodec =
        videoFormat_ == Codec::Unknown ? summary_.VideoCode : CodecName(videoFormat_);
    summary_.VideoProfile = picture_.Details.Profile;
    summary_.BitDepth = picture_.Details.BitDepth;
    summary_.Hdr = picture_.Details.Hdr;
    if (picture_.Width > 0 && picture_.Height > 0) {
        summary_.Width = picture_.Width;
        summary_.Height = picture_.Height;
        summary_.DisplayAspect =
            videoes::MpegDisplayAspect(video_->Head, videoFormat_, picture_.Width, picture_.Height);
    }
    if (picture_.FrameRate > 0 && picture_.FrameRate < elementary::kLargestFrameRate) {
        summary_.FrameRate = picture_.FrameRate;
    }
}

void PsLoad::SummariseAudio() {
    elementary::SummariseSound(summary_, StreamText(audio_->Id), sound_);
}

void PsLoad::CountStreams() {
    for (const Stream& stream : streams_) {
        CountTrack(summary_, stream.What);
    }
}

// The file's span as a player shows it: from the first timestamp of its
// video or sound at the start to the last at the end (the end window grows
// until it holds one of the timed stream's), the last picture lasting one
// frame more. Nothing when timestamps jump (joined recordings).
std::optional<std::uint64_t> PsLoad::SpanFromTail(const Stream& timed) {
    std::vector<const Stream*> streams{&timed};
    if (audio_ != nullptr && audio_ != &timed) {
        streams.push_back(audio_);
    }
    std::vector<std::vector<std::uint64_t>> tails(streams.size());
    SearchTail(source_, CPsReader::kFirstWindow, CPsReader::kMaxWindow,
               [&](const FileWindow& tail, std::size_t) {
                   stop_.Check();
                   for (auto& times : tails) {
                       times.clear();
                   }
                   WalkPackets(
                       tail.Bytes, [](const Pack&) {},
                       [&](const PesPacket& pes) {
                           for (std::size_t i = 0; i < streams.size(); ++i) {
                               if (pes.Stream == streams[i]->Id && pes.Pts) {
                                   pes::KeepLast(tails[i], *pes.Pts);
                               }
                           }
                       });
                   return !tails.front().empty();
               });
    if (timed.Timestamps.empty() || tails.front().empty() || pes::Jumps(timed.Timestamps) ||
        pes::Jumps(tails.front())) {
        return std::nullopt;
    }
    const auto first = [](const std::vector<std::uint64_t>& times) {
        return *std::min_element(times.begin(), times.end());
    };
    const std::uint64_t start = first(timed.Timestamps);
    const std::uint64_t end = pes::LastFrameTime(tails.front()) + frameTicks_;
    std::uint64_t span = (end - start) % kPtsWrap;
    // The sound, where it starts before or ends after the video nearby.
    if (streams.size() == 2 && !streams[1]->Timestamps.empty() && !tails[1].empty() &&
        !pes::Jumps(streams[1]->Timestamps) && !pes::Jumps(tails[1])) {
        const std::uint64_t earlier = (start - first(streams[1]->Timestamps)) % kPtsWrap;
        const std::uint64_t later = (pes::LastFrameTime(tails[1]) - end) % kPtsWrap;
        span += earlier < pes::kLargestStepBack ? earlier : 0;
        span += later < pes::kLargestStepBack ? later : 0;
    }
    return span < pes::kLargestStep * 24 * 60 ? std::optional<std::uint64_t>(span) : std::nullopt;
}

void PsLoad::DescribeDuration() {
    const Stream& timed = video_ != nullptr ? *video_ : *audio_;
    if (video_ != nullptr && summary_.FrameRate) {
        frameTicks_ = static_cast<std::uint64_t>(
            std::llround(static_cast<double>(kPtsPerSecond) / *summary_.FrameRate));
    }
    if (const auto span = SpanFromTail(timed)) {
        summary_.DurationMs = std::llround(static_cast<double>(*span) / 90.0);
        return;
    }
    // Joined recordings: the file's size over the multiplex rate.
    if (firstPack_ && firstPack_->MuxRate > 0) {
        summary_.DurationMs = std::llround(static_cast<double>(size_) * 1000.0 /
                                           (static_cast<double>(firstPack_->MuxRate) * 50.0));
    }
}

// The rate the sequence header states, unless it is the encoder's ceiling
// (not stated, or a DVD's): then what the file's size and length leave
// after the sound's constant rate.
void PsLoad::DescribeVideoBitRate() {
    const std::uint32_t stated = picture_.Details.BitRate;
    if (stated > 0 &&
        std::find(kDvdCeilings.begin(), kDvdCeilings.end(), stated) == kDvdCeilings.end()) {
        summary_.VideoBitRate = stated;
        return;
    }
    if (!summary_.DurationMs || *summary_.DurationMs <= 0 || size_ <= 0) {
        return;
    }
    const double total =
        static_cast<double>(size_) * 8000.0 / static_cast<double>(*summary_.DurationMs);
    const double video = total - static_cast<double>(summary_.AudioBitRate.value_or(0));
    if (video >= 1 && video < 1e12) {
        summary_.VideoBitRate = std::llround(video);
    }
}

bool PsLoad::Read() {
    FileWindow head;
    if (!GrowForward(source_, head, CPsReader::kFirstWindow)) {
        return false;
    }
    if (const auto start = videoes::SequenceStart(head.Bytes)) {
        recognised_ = true;
        videoes::Describe(source_, head.Bytes, *start,
                          {CPsReader::kFirstWindow, CPsReader::kMaxWindow}, stop_, summary_);
        return true;
    }
    if (!ParsePack(head.Bytes)) {
        return false;
    }
    recognised_ = true;
    for (std::size_t length = CPsReader::kFirstWindow;;) {
        stop_.Check();
        ReadHead(head);
        Describe();
        if (HeadComplete() || length == CPsReader::kMaxWindow) {
            break;
        }
        length = std::min(length * 4, CPsReader::kMaxWindow);
        if (!GrowForward(source_, head, length)) {
            break;
        }
    }
    if (video_ == nullptr && audio_ == nullptr) {
        return false;
    }
    summary_.Container =
        EqualsIgnoringAsciiCase(path_.extension().native(), ".vob") ? "VOB" : "MPEG-PS";
    CountStreams();
    if (video_ != nullptr) {
        SummariseVideo();
    }
    if (audio_ != nullptr) {
        SummariseAudio();
    }
    DescribeDuration();
    if (video_ != nullptr) {
        DescribeVideoBitRate();
    }
    return true;
}

} // namespace
} // namespace vidarium::ps

namespace vidarium {

bool CPsReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return ps::ParsePack(head).has_value() || videoes::SequenceStart(head).has_value();
}

bool CPsReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    return RunLoad<ps::PsLoad>(source, path, kOrigin);
}

} // namespace vidarium

#include "tsreader.h"

#include "byteorder.h"
#include "bytesource.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "pes.h"
#include "readerload.h"
#include "streamheaders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace vidarium::ts {
namespace {

constexpr std::uint8_t kSync = 0x47;
using pes::kLargestStep;
using pes::kMaxTimestamps;
using pes::kPtsPerSecond;
using pes::kPtsWrap;
using pes::Timestamp;

struct Layout {
    std::size_t PacketSize = 188;
    std::size_t Prefix = 0; // M2TS: a 4-byte arrival time before each packet
};

std::optional<Layout> DetectLayout(ByteSpan bytes) {
    for (const Layout layout : {Layout{188, 0}, Layout{192, 4}, Layout{204, 0}}) {
        const std::size_t packets = std::min<std::size_t>(5, bytes.size() / layout.PacketSize);
        bool synced = packets >= 2;
        for (std::size_t i = 0; synced && i < packets; ++i) {
            synced = bytes[i * layout.PacketSize + layout.Prefix] == kSync;
        }
        if (synced) {
            return layout;
        }
    }
    return std::nullopt;
}

struct Packet {
    std::uint16_t Pid = 0;
    bool Start = false;
    ByteSpan Payload;
    std::optional<std::uint64_t> Pcr; // 27 MHz
};

// One 188-byte packet from its sync byte; nothing for a packet whose
// lengths do not fit it.
std::optional<Packet> ParsePacket(ByteSpan bytes) {
    if (bytes.size() < 188 || bytes[0] != kSync || (bytes[1] & 0x80U) != 0) {
        return std::nullopt;
    }
    Packet packet;
    packet.Start = (bytes[1] & 0x40U) != 0;
    packet.Pid = static_cast<std::uint16_t>(((bytes[1] & 0x1FU) << 8) | bytes[2]);
    const unsigned control = (bytes[3] >> 4) & 3U;
    std::size_t offset = 4;
    if ((control & 2U) != 0) {
        const std::size_t length = bytes[4];
        if (length > 183) {
            return std::nullopt;
        }
        if (length >= 7 && (bytes[5] & 0x10U) != 0) {
            const std::uint64_t base =
                (std::uint64_t{bytes[6]} << 25) | (std::uint64_t{bytes[7]} << 17) |
                (std::uint64_t{bytes[8]} << 9) | (std::uint64_t{bytes[9]} << 1) |
                (std::uint64_t{bytes[10]} >> 7);
            const std::uint64_t extension = ((bytes[10] & 1U) << 8) | bytes[11];
            packet.Pcr = base * 300 + extension;
        }
        offset += 1 + length;
    }
    if ((control & 1U) != 0 && offset < 188) {
        packet.Payload = bytes.subspan(offset, 188 - offset);
    }
    return packet;
}

// A table section gathered over packets, at most the longest section.
class Section {
public:
    // The whole section once its last packet has come.
    std::optional<ByteSpan> Add(const Packet& packet) {
        ByteSpan payload = packet.Payload;
        if (packet.Start) {
            if (payload.empty() || std::size_t{payload[0]} + 1 > payload.size()) {
                bytes_.clear();
                started_ = false;
                return std::nullopt;
            }
            bytes_.assign(payload.begin() + 1 + payload[0], payload.end());
            started_ = true;
        } else if (started_) {
            bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        } else {
            return std::nullopt;
        }
        if (bytes_.size() < 3) {
            return std::nullopt;
        }
        const std::size_t length = 3 + (((bytes_[1] & 0x0FU) << 8) | bytes_[2]);
        if (length > CTsReader::kMaxSection || length < 12) {
            started_ = false;
            return std::nullopt;
        }
        if (bytes_.size() < length) {
            return std::nullopt;
        }
        started_ = false;
        return ByteSpan(bytes_).first(length);
    }

private:
    std::vector<std::uint8_t> bytes_;
    bool started_ = false;
};

using Kind = TrackKind;

struct Stream {
    std::uint16_t Pid = 0;
    std::uint8_t Type = 0;
    Kind What = Kind::Other;
    Codec Format = Codec::Unknown;
    std::string Language;
};

// What a stream type says.
void ClassifyByType(Stream& stream) {
    switch (stream.Type) {
    case 0x01:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Mpeg1Video, {}};
        break;
    case 0x02:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Mpeg2Video, {}};
        break;
    case 0x10:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Mpeg4Visual, {}};
        break;
    case 0x1B:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Avc, {}};
        break;
    case 0x24:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Hevc, {}};
        break;
    case 0xEA:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Vc1, {}};
        break;
    case 0x33:
        stream = {stream.Pid, stream.Type, Kind::Video, Codec::Vvc, {}};
        break;
    case 0x2D:
    case 0x2E:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::MpegH, {}};
        break;
    case 0x03:
    case 0x04:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Mp2, {}};
        break;
    case 0x0F:
    case 0x11:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Aac, {}};
        break;
    case 0x81:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Ac3, {}};
        break;
    case 0x84:
    case 0x87:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Eac3, {}};
        break;
    case 0x82:
    case 0x85:
    case 0x86:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Dts, {}};
        break;
    case 0x83:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::TrueHd, {}};
        break;
    case 0x80:
        stream = {stream.Pid, stream.Type, Kind::Audio, Codec::Pcm, {}};
        break;
    case 0x90:
        stream.What = Kind::Subtitle;
        break;
    default:
        break;
    }
}

// A sound codec that a descriptor names, for a stream of private data.
void PrivateAudio(Stream& stream, Codec codec) {
    if (stream.Type == 0x06) {
        stream.What = Kind::Audio;
        stream.Format = codec;
    }
}

// What a registration descriptor's code says.
void ClassifyByRegistration(Stream& stream, const FourCC& code) {
    if (IsFourCC(code, "Opus")) {
        PrivateAudio(stream, Codec::Opus);
    } else if (IsFourCC(code, "AC-3")) {
        PrivateAudio(stream, Codec::Ac3);
    } else if (IsFourCC(code, "EAC3")) {
        PrivateAudio(stream, Codec::Eac3);
    } else if (IsFourCC(code, "AC-4")) {
        PrivateAudio(stream, Codec::Ac4);
    } else if (IsFourCC(code, "DTS1") || IsFourCC(code, "DTS2") || IsFourCC(code, "DTS3")) {
        PrivateAudio(stream, Codec::Dts);
    } else if (IsFourCC(code, "HEVC") && stream.Type == 0x06) {
        stream.What = Kind::Video;
        stream.Format = Codec::Hevc;
    }
}

// What one descriptor says.
void ApplyDescriptor(Stream& stream, std::uint8_t tag, ByteSpan body) {
    switch (tag) {
    case 0x05: // registration
        if (body.size() >= 4) {
            ClassifyByRegistration(stream, LoadFourCC(body, 0));
        }
        break;
    case 0x0A: // ISO 639 language
        if (body.size() >= 3) {
            stream.Language.assign(body.begin(), body.begin() + 3);
        }
        break;
    case 0x59: // DVB subtitles
        if (stream.Type == 0x06) {
            stream.What = Kind::Subtitle;
        }
        if (body.size() >= 3) {
            stream.Language.assign(body.begin(), body.begin() + 3);
        }
        break;
    case 0x6A:
        PrivateAudio(stream, Codec::Ac3);
        break;
    case 0x7A:
        PrivateAudio(stream, Codec::Eac3);
        break;
    case 0x7B:
        PrivateAudio(stream, Codec::Dts);
        break;
    case 0x7F: // DVB extension: AC-4
        if (!body.empty() && body[0] == 0x15) {
            PrivateAudio(stream, Codec::Ac4);
        }
        break;
    default:
        break;
    }
}

// What a stream type and its descriptors say.
void Classify(Stream& stream, ByteSpan descriptors) {
    ClassifyByType(stream);
    while (descriptors.size() >= 2) {
        const std::size_t length = descriptors[1];
        if (length > descriptors.size() - 2) {
            break;
        }
        ApplyDescriptor(stream, descriptors[0], descriptors.subspan(2, length));
        descriptors = descriptors.subspan(2 + length);
    }
}

// A stream type as the raw code of a cell: "0x1B".
std::string StreamTypeText(std::uint8_t type) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", type);
    return code;
}

// A stream's first bytes and its first timestamps within a window.
struct StreamHead {
    std::vector<std::uint8_t> Bytes;
    std::vector<std::uint64_t> Timestamps; // in file order
    bool Started = false;
};

class TsLoad {
public:
    explicit TsLoad(const LoadContext& context)
        : source_(context.Source), summary_(context.Summary), stop_(context.Stop),
          size_(context.Source.Size()) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    // True when the first programme has a video or sound stream.
    bool Read();
    // The packets of a window, from the first one aligned with the file's.
    template <typename Visit> void Packets(const FileWindow& window, Visit&& visit);
    // `knownMap`: the programme map's packet id, found without a programme
    // association table.
    void ReadHead(const FileWindow& window, std::optional<std::uint16_t> knownMap = {});
    // The packet id of the first programme map section in the window, found
    // by its table id: for a stream cut where no association table lies.
    std::optional<std::uint16_t> ProgramMapByItsTable(const FileWindow& window);
    void ReadProgramMap(ByteSpan section);
    // The streams are known: the first video and sound ones are described.
    void TakeFirstStreams();
    // Without tables: the video and sound streams that the window's PES
    // packets show by their stream ids and first bytes.
    void StreamsByTheirPackets(const FileWindow& window);
    // A packet after the map: the clock's, or one of the first streams'.
    void KeepStreamPacket(const Packet& packet, std::int64_t at);
    bool HeadComplete() const;
    void DescribeVideo();
    void CountStreams();
    // The video's cells; the length of one frame in timestamp ticks (0:
    // not known).
    std::uint64_t SummariseVideo();
    void DescribeAudio();
    void DescribeDuration(std::uint64_t frameTicks);
    // The last timestamps of stream `pid`, and of `soundPid`'s stream, in
    // the end window that holds one of `pid`'s.
    void FindLastTimes(std::uint16_t pid, std::optional<std::uint16_t> soundPid,
                       std::vector<std::uint64_t>& times, std::vector<std::uint64_t>& soundTimes);
    std::optional<std::uint64_t> BitRateFromClock() const;

    ByteSource& source_;
    MediaSummary& summary_;
    bool recognised_ = false;
    const LoadStop& stop_;
    const std::int64_t size_;
    Layout layout_;
    std::int64_t firstPacket_ = 0;

    std::optional<std::uint16_t> programMap_;
    std::optional<std::uint16_t> clockPid_;
    std::vector<Stream> streams_;
    bool mapped_ = false;
    const Stream* video_ = nullptr;
    const Stream* audio_ = nullptr;
    StreamHead videoHead_;
    StreamHead audioHead_;
    // The first and the last clock reference of the start window, and
    // where they lie.
    std::vector<std::pair<std::uint64_t, std::int64_t>> clocks_;
    PictureFormat picture_;
    bool audioDescribed_ = false;
};

template <typename Visit> void TsLoad::Packets(const FileWindow& window, Visit&& visit) {
    const std::int64_t offset = window.Start - firstPacket_;
    const auto packetSize = static_cast<std::int64_t>(layout_.PacketSize);
    std::size_t at =
        offset <= 0 ? static_cast<std::size_t>(-offset)
                    : static_cast<std::size_t>((packetSize - offset % packetSize) % packetSize);
    for (; at + layout_.PacketSize <= window.Bytes.size(); at += layout_.PacketSize) {
        stop_.Check();
        const auto packet = ParsePacket(ByteSpan(window.Bytes).subspan(at + layout_.Prefix, 188));
        if (packet) {
            visit(*packet, window.Start + static_cast<std::int64_t>(at));
        }
    }
}

void TsLoad::TakeFirstStreams() {
    mapped_ = true;
    for (const Stream& stream : streams_) {
        if (stream.What == Kind::Video && video_ == nullptr) {
            video_ = &stream;
        } else if (stream.What == Kind::Audio && audio_ == nullptr) {
            audio_ = &stream;
        }
    }
}

void TsLoad::ReadProgramMap(ByteSpan section) {
    if (section[0] != 0x02) {
        return;
    }
    clockPid_ = static_cast<std::uint16_t>(((section[8] & 0x1FU) << 8) | section[9]);
    const std::size_t infoLength = ((section[10] & 0x0FU) << 8) | section[11];
    const std::size_t end = section.size() - 4; // the CRC
    std::size_t at = 12 + infoLength;
    streams_.clear();
    while (at + 5 <= end && streams_.size() < CTsReader::kMaxStreams) {
        Stream stream;
        stream.Type = section[at];
        stream.Pid = static_cast<std::uint16_t>(((section[at + 1] & 0x1FU) << 8) | section[at + 2]);
        const std::size_t length = ((section[at + 3] & 0x0FU) << 8) | section[at + 4];
        if (at + 5 + length > end) {
            break;
        }
        Classify(stream, section.subspan(at + 5, length));
        streams_.push_back(stream);
        at += 5 + length;
    }
    TakeFirstStreams();
}

// A packet of the first video or sound stream: its first timestamps and
// the start of its data.
void AddToHead(const Packet& packet, StreamHead& head) {
    ByteSpan data = packet.Payload;
    if (packet.Start) {
        const auto header = pes::ParseHeader(data, false);
        if (!header) {
            return;
        }
        if (header->Pts && head.Timestamps.size() < kMaxTimestamps) {
            head.Timestamps.push_back(*header->Pts);
        }
        head.Started = true;
        data = data.subspan(header->DataOffset);
    }
    if (head.Started && head.Bytes.size() < CTsReader::kMaxStreamHead) {
        const std::size_t kept =
            std::min(data.size(), CTsReader::kMaxStreamHead - head.Bytes.size());
        head.Bytes.insert(head.Bytes.end(), data.begin(),
                          data.begin() + static_cast<std::ptrdiff_t>(kept));
    }
}

// The stream type a PES packet's stream id and first bytes show, for a
// stream no table describes; 0 when they show none.
std::uint8_t TypeByContent(std::uint8_t streamId, ByteSpan data) {
    if (streamId >= 0xE0 && streamId <= 0xEF) {
        // A sequence header, else an AVC or HEVC access unit delimiter or
        // sequence parameter set (AVC's first: an AVC header byte can read
        // as an HEVC type, hardly the other way round).
        if (elementary::FindStartCode(data, 0xB3)) {
            return 0x02;
        }
        if (elementary::FindNal(data, 9, false) || elementary::FindNal(data, 7, false)) {
            return 0x1B;
        }
        if (elementary::FindNal(data, 35, true) || elementary::FindNal(data, 33, true)) {
            return 0x24;
        }
        return 0;
    }
    if (streamId >= 0xC0 && streamId <= 0xDF) {
        // ADTS's sync and layer 0 is AAC; another layer MPEG audio.
        const bool adts = ByteAt(data, 0) == 0xFF && (ByteAt(data, 1) & 0xF6U) == 0xF0;
        return adts ? 0x0F : 0x03;
    }
    if (streamId == 0xBD && ByteAt(data, 0) == 0x0B && ByteAt(data, 1) == 0x77) {
        return 0x81;
    }
    return 0;
}

// The map of the first programme a programme association section names.
std::optional<std::uint16_t> FirstProgramMap(ByteSpan section) {
    for (std::size_t entry = 8; entry + 4 <= section.size() - 4; entry += 4) {
        if (LoadBe16(section, entry) != 0) {
            return static_cast<std::uint16_t>(LoadBe16(section, entry + 2) & 0x1FFFU);
        }
    }
    return std::nullopt;
}

std::optional<std::uint16_t> TsLoad::ProgramMapByItsTable(const FileWindow& window) {
    std::optional<std::uint16_t> found;
    Packets(window, [&](const Packet& packet, std::int64_t) {
        const ByteSpan payload = packet.Payload;
        if (found || !packet.Start || packet.Pid == 0 || packet.Pid == 0x1FFF || payload.empty()) {
            return;
        }
        const std::size_t table = 1 + std::size_t{payload[0]};
        // A programme map section, with its syntax bit set.
        if (table + 2 <= payload.size() && payload[table] == 0x02 &&
            (payload[table + 1] & 0x80U) != 0) {
            found = packet.Pid;
        }
    });
    return found;
}

void TsLoad::StreamsByTheirPackets(const FileWindow& window) {
    std::vector<std::uint16_t> seen;
    Packets(window, [&](const Packet& packet, std::int64_t) {
        const ByteSpan payload = packet.Payload;
        if (!packet.Start || packet.Pid == 0x1FFF || streams_.size() == CTsReader::kMaxStreams ||
            std::find(seen.begin(), seen.end(), packet.Pid) != seen.end() ||
            ByteAt(payload, 0) != 0 || ByteAt(payload, 1) != 0 || ByteAt(payload, 2) != 1) {
            return;
        }
        seen.push_back(packet.Pid);
        const auto header = pes::ParseHeader(payload, false);
        if (!header) {
            return;
        }
        Stream stream;
        stream.Pid = packet.Pid;
        stream.Type = TypeByContent(payload[3], payload.subspan(header->DataOffset));
        ClassifyByType(stream);
        if (stream.What != Kind::Other) {
            streams_.push_back(stream);
        }
    });
    if (streams_.empty()) {
        return;
    }
    TakeFirstStreams();
}

void TsLoad::KeepStreamPacket(const Packet& packet, std::int64_t at) {
    if (clockPid_ && packet.Pid == *clockPid_ && packet.Pcr) {
        if (clocks_.size() == 2) {
            clocks_.pop_back();
        }
        clocks_.emplace_back(*packet.Pcr, at);
    }
    for (auto [stream, head] : {std::pair{video_, &videoHead_}, std::pair{audio_, &audioHead_}}) {
        if (stream != nullptr && packet.Pid == stream->Pid) {
            AddToHead(packet, *head);
        }
    }
}

void TsLoad::ReadHead(const FileWindow& window, std::optional<std::uint16_t> knownMap) {
    Section programs;
    Section map;
    programMap_ = knownMap;
    clockPid_.reset();
    streams_.clear();
    mapped_ = false;
    video_ = nullptr;
    audio_ = nullptr;
    videoHead_ = {};
    audioHead_ = {};
    clocks_.clear();
    // The tables first, wherever the window holds them: a segment cut from
    // a longer stream may carry them only in its middle, after packets of
    // its streams.
    Packets(window, [&](const Packet& packet, std::int64_t) {
        if (packet.Pid == 0 && !programMap_) {
            if (const auto section = programs.Add(packet); section && (*section)[0] == 0x00) {
                programMap_ = FirstProgramMap(*section);
            }
        } else if (programMap_ && packet.Pid == *programMap_ && !mapped_) {
            if (const auto section = map.Add(packet)) {
                ReadProgramMap(*section);
            }
        }
    });
    if (!programMap_ && !knownMap) {
        if (const auto pid = ProgramMapByItsTable(window)) {
            ReadHead(window, pid);
            return;
        }
        // No table at all: the streams their packets show.
        StreamsByTheirPackets(window);
    }
    // Then the streams' packets, from the window's first one.
    Packets(window, [&](const Packet& packet, std::int64_t at) {
        if (packet.Pid != 0 && (!programMap_ || packet.Pid != *programMap_) && mapped_) {
            KeepStreamPacket(packet, at);
        }
    });
}

void TsLoad::DescribeVideo() {
    picture_ = {};
    if (video_ != nullptr) {
        picture_ =
            elementary::DescribePicture(video_->Format, videoHead_.Bytes, videoHead_.Timestamps);
    }
}

void TsLoad::DescribeAudio() {
    audioDescribed_ = false;
    if (audio_ == nullptr) {
        return;
    }
    // AAC in LATM has no ADTS header to read: its mux configuration says.
    const bool latm = audio_->Format == Codec::Aac && audio_->Type != 0x0F;
    elementary::SoundFormat sound =
        latm ? elementary::DescribeLatm(audioHead_.Bytes)
             : elementary::DescribeSound(audio_->Format, audioHead_.Bytes);
    // A LATM stream whose configuration is not found still names its codec.
    audioDescribed_ = sound.Described || latm;
    sound.Described = audioDescribed_;
    elementary::SummariseSound(summary_, StreamTypeText(audio_->Type), sound);
}

bool TsLoad::HeadComplete() const {
    const bool videoDone = video_ == nullptr || (picture_.Width > 0 && picture_.FrameRate > 0 &&
                                                 videoHead_.Timestamps.size() >= 2);
    return mapped_ && videoDone && (audio_ == nullptr || audioDescribed_);
}

std::optional<std::uint64_t> TsLoad::BitRateFromClock() const {
    if (clocks_.size() < 2 || clocks_[1].first <= clocks_[0].first) {
        return std::nullopt;
    }
    const auto bytes = static_cast<long double>(clocks_[1].second - clocks_[0].second);
    const long double seconds =
        static_cast<long double>(clocks_[1].first - clocks_[0].first) / 27e6L;
    const long double rate = bytes * 8 / seconds;
    return rate >= 1 && rate < 1e12L
               ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(rate))
               : std::nullopt;
}

using pes::Jumps;
using pes::LastFrameTime;

void TsLoad::FindLastTimes(std::uint16_t pid, std::optional<std::uint16_t> soundPid,
                           std::vector<std::uint64_t>& times,
                           std::vector<std::uint64_t>& soundTimes) {
    // The end window: grown in front until it holds a timestamp of `pid`.
    SearchTail(
        source_, CTsReader::kFirstWindow, CTsReader::kMaxWindow,
        [&](const FileWindow& tail, std::size_t) {
            times.clear();
            soundTimes.clear();
            Packets(tail, [&](const Packet& packet, std::int64_t) {
                const bool sound = packet.Pid == soundPid;
                if ((packet.Pid == pid || sound) && packet.Start) {
                    if (const auto start = pes::ParseHeader(packet.Payload, false);
                        start && start->Pts) {
                        pes::KeepLast(sound ? soundTimes : times, *start->Pts);
                    }
                }
            });
            return !times.empty();
        },
        firstPacket_);
}

void TsLoad::DescribeDuration(std::uint64_t frameTicks) {
    const std::uint16_t pid = video_ != nullptr ? video_->Pid : audio_->Pid;
    const StreamHead& head = video_ != nullptr ? videoHead_ : audioHead_;
    // The sound beside the video: it often starts before the first frame
    // and runs past the last.
    const bool withSound = video_ != nullptr && audio_ != nullptr;
    std::vector<std::uint64_t> times;
    std::vector<std::uint64_t> soundTimes;
    FindLastTimes(pid, withSound ? std::optional(audio_->Pid) : std::nullopt, times, soundTimes);
    if (!head.Timestamps.empty() && !times.empty() && !Jumps(head.Timestamps) && !Jumps(times)) {
        std::uint64_t first = *std::min_element(head.Timestamps.begin(), head.Timestamps.end());
        std::uint64_t end = (LastFrameTime(times) + frameTicks) % kPtsWrap;
        if (!audioHead_.Timestamps.empty() && !soundTimes.empty() &&
            !Jumps(audioHead_.Timestamps) && !Jumps(soundTimes)) {
            // The sound's last packet's start, as far as it is known without
            // its frames' length; either end moved by less than the largest
            // step, across the wrap.
            const std::uint64_t soundFirst =
                *std::min_element(audioHead_.Timestamps.begin(), audioHead_.Timestamps.end());
            const std::uint64_t soundLast = LastFrameTime(soundTimes);
            first = (first - soundFirst) % kPtsWrap < kLargestStep ? soundFirst : first;
            end = (soundLast - end) % kPtsWrap < kLargestStep ? soundLast : end;
        }
        const std::uint64_t span = (end - first) % kPtsWrap;
        if (span < kLargestStep * 24 * 60) {
            summary_.DurationMs = std::llround(static_cast<double>(span) / 90.0);
            return;
        }
    }
    // Joined recordings: the file's size over the rate its clock shows.
    if (const auto rate = BitRateFromClock()) {
        summary_.DurationMs =
            std::llround(static_cast<double>(size_) * 8000.0 / static_cast<double>(*rate));
    }
}

bool TsLoad::Read() {
    FileWindow head;
    if (!GrowForward(source_, head, CTsReader::kFirstWindow)) {
        return false;
    }
    // The first packet may follow a few stray bytes.
    std::optional<Layout> layout;
    for (std::size_t skip = 0; skip < 204 && !layout && skip < head.Bytes.size(); ++skip) {
        layout = DetectLayout(ByteSpan(head.Bytes).subspan(skip));
        firstPacket_ = static_cast<std::int64_t>(skip);
    }
    if (!layout) {
        return false;
    }
    layout_ = *layout;
    recognised_ = true;
    summary_.Container = layout_.PacketSize == 192 ? "M2TS" : "TS";
    for (std::size_t length = CTsReader::kFirstWindow;;) {
        ReadHead(head);
        DescribeVideo();
        DescribeAudio();
        if (HeadComplete() || length == CTsReader::kMaxWindow) {
            break;
        }
        length = std::min(length * 4, CTsReader::kMaxWindow);
        if (!GrowForward(source_, head, length)) {
            break;
        }
    }
    if (video_ == nullptr && audio_ == nullptr) {
        return false;
    }
    CountStreams();
    DescribeDuration(SummariseVideo());
    return true;
}

void TsLoad::CountStreams() {
    for (const Stream& stream : streams_) {
        CountTrack(summary_, stream.What, stream.Language);
    }
}

std::uint64_t TsLoad::SummariseVideo() {
    std::uint64_t frameTicks = 0;
    if (video_ != nullptr) {
        summary_.HasVideo = true;
        summary_.VideoCode = StreamTypeText(video_->Type);
        summary_.VideoCodec =
            video_->Format == Codec::Unknown ? summary_.VideoCode : CodecName(video_->Format);
        summary_.VideoProfile = picture_.Details.Profile;
        summary_.BitDepth = picture_.Details.BitDepth;
        summary_.Hdr = picture_.Details.Hdr;
        if (picture_.Width > 0 && picture_.Height > 0) {
            summary_.Width = picture_.Width;
            summary_.Height = picture_.Height;
            summary_.DisplayAspect = AspectText(picture_.Width, picture_.Height);
        }
        if (picture_.FrameRate > 0 && picture_.FrameRate < elementary::kLargestFrameRate) {
            summary_.FrameRate = picture_.FrameRate;
            frameTicks = static_cast<std::uint64_t>(
                std::llround(static_cast<double>(kPtsPerSecond) / picture_.FrameRate));
        }
        if (picture_.Details.BitRate > 0) {
            summary_.VideoBitRate = picture_.Details.BitRate;
        }
    }
    return frameTicks;
}

} // namespace
} // namespace vidarium::ts

namespace vidarium {

bool CTsReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return ts::DetectLayout(head).has_value();
}

bool CTsReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    return RunLoad<ts::TsLoad>(source, path, kOrigin);
}

} // namespace vidarium

#include "asfreader.h"

#include "audioformattags.h"
#include "bytesource.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "frametimes.h"
#include "localtext.h"
#include "readerload.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium::asf {
namespace {

using Guid = std::array<std::uint8_t, 16>;

// Object and stream type GUIDs, in the byte order the file stores them.
constexpr Guid kHeader{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kFileProperties{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                               0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kStreamProperties{0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kHeaderExtension{0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kExtendedStreamProperties{0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43,
                                         0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
constexpr Guid kStreamBitrateProperties{0xCE, 0x75, 0xF8, 0x7B, 0x8D, 0x46, 0xD1, 0x11,
                                        0x8D, 0x82, 0x00, 0x60, 0x97, 0xC9, 0xA2, 0xB2};
constexpr Guid kContentDescription{0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kExtendedContentDescription{0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                           0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
constexpr Guid kData{0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAudioMedia{0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
constexpr Guid kVideoMedia{0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

// An object: its GUID, then its size (header included), then its payload.
constexpr std::size_t kObjectHeader = 24;
// The header object's own fields before its children: the object count and
// two reserved bytes.
constexpr std::size_t kHeaderFields = 6;
// The data object's header before its packets: the object header, the file
// ID, the packet count and two reserved bytes.
constexpr std::size_t kDataHeader = 50;
// Packets of data looked at for frame times, at most this size.
constexpr std::size_t kMaxPacketSize = 64U << 10;
// Stream numbers are 7 bits.
constexpr std::size_t kStreamNumbers = 128;

bool IsGuid(ByteSpan bytes, const Guid& guid) {
    return bytes.size() >= guid.size() && std::equal(guid.begin(), guid.end(), bytes.begin());
}

struct Stream {
    enum class Kind { None, Video, Audio } Type = Kind::None;
    ByteSpan TypeSpecific;
    std::uint64_t TimePerFrame = 0;   // 100 ns units, from the extended properties
    std::uint32_t DataBitRate = 0;    // from the extended properties
    std::uint32_t AverageBitRate = 0; // from the bit rate properties
};

// The comment labels of the extended content description's names (and of
// the content description's own fields, by the same names).
struct NamedLabel {
    std::string_view Name;
    const char* Label;
};
constexpr std::array<NamedLabel, 12> kNamedLabels{{
    {"Title", "Title"},
    {"Author", "Artist"},
    {"WM/AlbumArtist", "Artist"},
    {"WM/AlbumTitle", "Album"},
    {"WM/Year", "Date"},
    {"Date", "Date"},
    {"Comment", "Comment"},
    {"WM/Comments", "Comment"},
    {"Description", "Description"},
    {"WM/Genre", "Genre"},
    {"Copyright", "Copyright"},
    {"WM/Copyright", "Copyright"},
}};

class AsfLoad {
public:
    // `block`: the header object, and whatever of the data object's first
    // packets the same read brought in.
    AsfLoad(ByteSpan block, MediaSummary& summary, const LoadStop& stop)
        : header_(block.first(static_cast<std::size_t>(
              std::min<std::uint64_t>(LoadLe64(block, 16), block.size())))),
          data_(BytesFrom(block, header_.size())), summary_(summary), stop_(stop) {}

    bool Run(bool wmvExtension);
    // The frames' rate where another standard rate fits their times as
    // well: the best guess once no more packets can be read.
    std::optional<double> GuessedFrameRate() const { return guessedFrameRate_; }

private:
    // Calls `visit` for each object in `bytes`. An object that claims more
    // than is left, or less than its own header, ends the walk.
    template <typename Visit> void Objects(ByteSpan bytes, Visit&& visit);
    void ReadFileProperties(ByteSpan payload);
    // The presentation times of a stream's first media objects in the
    // packets at hand.
    std::vector<std::uint32_t> FirstFrameTimes(std::size_t number) const;
    // The times of the media objects of stream `number` that start in one
    // data packet, each object once.
    void PacketFrameTimes(ByteSpan packet, std::size_t number, std::vector<std::uint32_t>& times,
                          std::optional<std::uint32_t>& lastObject) const;
    void ReadStreamProperties(ByteSpan payload);
    void ReadExtendedStreamProperties(ByteSpan payload);
    void ReadBitrateProperties(ByteSpan payload);
    void ReadContentDescription(ByteSpan payload);
    void ReadExtendedContentDescription(ByteSpan payload);
    void AddText(std::string_view name, std::string text);
    void ReadHeaderObjects();
    void DescribeVideo(const Stream& stream);
    // The video's cells, its frame rate from the first frames without a
    // stated one, and the WMV label of a Windows Media codec.
    void DescribeVideoStream(const Stream& video, std::size_t number);
    void DescribeAudio(const Stream& stream);

    ByteSpan header_;
    ByteSpan data_; // from the data object's header on
    MediaSummary& summary_;
    const LoadStop& stop_;
    std::size_t objects_ = 0;
    std::optional<double> guessedFrameRate_;
    std::int64_t maxBitRate_ = 0; // the file properties' maximum, for all streams

    std::array<Stream, kStreamNumbers> streams_{};
    std::vector<std::size_t> order_; // stream numbers, in file order
    std::optional<std::int64_t> durationMs_;
    std::size_t packetSize_ = 0; // 0: packets of different sizes
    std::vector<MetadataItem> texts_;
};

template <typename Visit> void AsfLoad::Objects(ByteSpan bytes, Visit&& visit) {
    while (bytes.size() >= kObjectHeader) {
        stop_.Check();
        const std::uint64_t size = LoadLe64(bytes, 16);
        if (size < kObjectHeader || size > bytes.size() || ++objects_ > CAsfReader::kMaxObjects) {
            return;
        }
        const auto length = static_cast<std::size_t>(size);
        visit(bytes.first(16), bytes.subspan(kObjectHeader, length - kObjectHeader));
        bytes = bytes.subspan(length);
    }
}

void AsfLoad::ReadHeaderObjects() {
    Objects(BytesFrom(header_, kObjectHeader + kHeaderFields),
            [&](ByteSpan guid, ByteSpan payload) {
                if (IsGuid(guid, kFileProperties)) {
                    ReadFileProperties(payload);
                } else if (IsGuid(guid, kStreamProperties)) {
                    ReadStreamProperties(payload);
                } else if (IsGuid(guid, kStreamBitrateProperties)) {
                    ReadBitrateProperties(payload);
                } else if (IsGuid(guid, kContentDescription)) {
                    ReadContentDescription(payload);
                } else if (IsGuid(guid, kExtendedContentDescription)) {
                    ReadExtendedContentDescription(payload);
                } else if (IsGuid(guid, kHeaderExtension)) {
                    // Two reserved fields and the size of the objects that follow.
                    Objects(BytesFrom(payload, 22), [&](ByteSpan innerGuid, ByteSpan inner) {
                        if (IsGuid(innerGuid, kExtendedStreamProperties)) {
                            ReadExtendedStreamProperties(inner);
                        }
                    });
                }
            });
}

void AsfLoad::DescribeVideoStream(const Stream& video, std::size_t number) {
    DescribeVideo(video);
    // Without a stated rate, the steps between the first frames' times in
    // the packets that came with the header's read.
    // One that another standard rate fits as well waits for more frames.
    if (!summary_.FrameRate) {
        if (const auto measured = MeasureFrameRate(FirstFrameTimes(number))) {
            (measured->Certain ? summary_.FrameRate : guessedFrameRate_) = measured->Rate;
        }
    }
    const Codec codec = CodecForVideoFourCC(LoadFourCC(video.TypeSpecific, 27));
    if (codec == Codec::Wmv1 || codec == Codec::Wmv2 || codec == Codec::Vc1) {
        summary_.Container = "WMV";
    }
}

bool AsfLoad::Run(bool wmvExtension) {
    ReadHeaderObjects();

    const Stream* video = nullptr;
    const Stream* audio = nullptr;
    std::size_t videoNumber = 0;
    for (const std::size_t number : order_) {
        const Stream& stream = streams_[number];
        if (stream.Type == Stream::Kind::Video) {
            CountTrack(summary_, TrackKind::Video);
            videoNumber = video != nullptr ? videoNumber : number;
            video = video != nullptr ? video : &stream;
        } else if (stream.Type == Stream::Kind::Audio) {
            CountTrack(summary_, TrackKind::Audio);
            audio = audio != nullptr ? audio : &stream;
        }
    }
    if (video == nullptr && audio == nullptr) {
        return false;
    }
    summary_.Container = "ASF";
    if (video != nullptr) {
        DescribeVideoStream(*video, videoNumber);
    }
    if (wmvExtension) {
        summary_.Container = "WMV";
    }
    if (audio != nullptr) {
        DescribeAudio(*audio);
    }
    // A video stream whose properties state no rate: the header's rate for
    // the whole file (ffmpeg's, the streams' sum) less the sound's, where
    // that is known.
    const std::int64_t sound = summary_.AudioBitRate.value_or(0);
    if (video != nullptr && !summary_.VideoBitRate && (audio == nullptr || sound > 0) &&
        maxBitRate_ > sound && maxBitRate_ != std::numeric_limits<std::uint32_t>::max()) {
        summary_.VideoBitRate = maxBitRate_ - sound;
    }
    summary_.DurationMs = durationMs_;
    summary_.Metadata = InLabelOrder(texts_);
    return true;
}

void AsfLoad::ReadFileProperties(ByteSpan payload) {
    // Play duration in 100 ns units, which includes the preroll in ms; a
    // broadcast (flag bit 0) has no duration yet.
    const std::uint64_t play = LoadLe64(payload, 40);
    const std::uint64_t preroll = LoadLe64(payload, 56);
    const bool broadcast = (LoadLe32(payload, 64) & 1U) != 0;
    const std::uint64_t playMs = play / 10'000;
    if (payload.size() >= 68 && !broadcast && playMs > preroll) {
        durationMs_ = static_cast<std::int64_t>(playMs - preroll);
    }
    const std::uint32_t smallest = LoadLe32(payload, 68);
    if (smallest == LoadLe32(payload, 72) && smallest <= kMaxPacketSize) {
        packetSize_ = smallest;
    }
    if (payload.size() >= 80) {
        maxBitRate_ = LoadLe32(payload, 76);
    }
}

namespace {

// A field whose size a 2-bit type gives: none, a byte, a word, a dword.
std::uint32_t VariableField(ByteSpan bytes, std::size_t& at, unsigned type) {
    static constexpr std::array<std::size_t, 4> kSizes{0, 1, 2, 4};
    const std::size_t size = kSizes[type & 3U];
    const std::uint32_t value = size == 1   ? ByteAt(bytes, at)
                                : size == 2 ? LoadLe16(bytes, at)
                                : size == 4 ? LoadLe32(bytes, at)
                                            : 0;
    at += size;
    return value;
}

} // namespace

void AsfLoad::PacketFrameTimes(ByteSpan packet, std::size_t number,
                               std::vector<std::uint32_t>& times,
                               std::optional<std::uint32_t>& lastObject) const {
    std::size_t at = 0;
    // Error correction data: its length in the flags' low bits.
    if ((packet[0] & 0x80U) != 0) {
        at = 1 + (packet[0] & 0x0FU);
    }
    const std::uint8_t lengthTypes = ByteAt(packet, at);
    const std::uint8_t propertyTypes = ByteAt(packet, at + 1);
    at += 2;
    VariableField(packet, at, lengthTypes >> 5U); // packet length
    VariableField(packet, at, lengthTypes >> 1U); // sequence
    const std::uint32_t padding = VariableField(packet, at, lengthTypes >> 3U);
    at += 6; // send time and duration
    const bool multiple = (lengthTypes & 1U) != 0;
    std::size_t count = 1;
    unsigned payloadLengthType = 0;
    if (multiple) {
        count = ByteAt(packet, at) & 0x3FU;
        payloadLengthType = ByteAt(packet, at) >> 6U;
        ++at;
    }
    for (std::size_t i = 0; i < count && at < packet.size(); ++i) {
        const std::size_t stream = packet[at++] & 0x7FU;
        const std::uint32_t object = VariableField(packet, at, propertyTypes >> 4U);
        const std::uint32_t offset = VariableField(packet, at, propertyTypes >> 2U);
        const std::uint32_t replicated = VariableField(packet, at, propertyTypes);
        // A replicated media object size and presentation time; or, with 1
        // byte, compressed payloads whose offset field is the time.
        const std::uint32_t time = replicated >= 8 ? LoadLe32(packet, at + 4) : offset;
        const bool starts = replicated == 1 || (replicated >= 8 && offset == 0);
        at += replicated;
        const std::size_t length =
            multiple ? VariableField(packet, at, payloadLengthType)
                     : packet.size() - std::min<std::size_t>(packet.size(), at + padding);
        if (stream == number && starts && at <= packet.size() && object != lastObject &&
            times.size() < kFrameTimesKept) {
            times.push_back(time);
            lastObject = object;
        }
        at += length;
    }
}

std::vector<std::uint32_t> AsfLoad::FirstFrameTimes(std::size_t number) const {
    std::vector<std::uint32_t> times;
    if (packetSize_ == 0 || !IsGuid(data_, kData)) {
        return times;
    }
    std::optional<std::uint32_t> lastObject;
    // The last packet may be cut where the read ended.
    for (ByteSpan rest = BytesFrom(data_, kDataHeader);
         !rest.empty() && times.size() < kFrameTimesKept; rest = BytesFrom(rest, packetSize_)) {
        PacketFrameTimes(BytesAt(rest, 0, packetSize_), number, times, lastObject);
    }
    return times;
}

void AsfLoad::ReadStreamProperties(ByteSpan payload) {
    // Stream type and error correction GUIDs, time offset, the lengths of
    // the type-specific and error correction data, then the flags.
    if (payload.size() < 54) {
        return;
    }
    const std::size_t number = LoadLe16(payload, 48) & 0x7FU;
    const std::size_t typeLength = LoadLe32(payload, 40);
    Stream& stream = streams_[number];
    if (stream.Type != Stream::Kind::None) {
        return; // the same stream again: the first one counts
    }
    if (IsGuid(payload, kVideoMedia)) {
        stream.Type = Stream::Kind::Video;
    } else if (IsGuid(payload, kAudioMedia)) {
        stream.Type = Stream::Kind::Audio;
    } else {
        return;
    }
    stream.TypeSpecific = BytesAt(payload, 54, typeLength);
    order_.push_back(number);
}

void AsfLoad::ReadExtendedStreamProperties(ByteSpan payload) {
    if (payload.size() < 64) {
        return;
    }
    const std::size_t number = LoadLe16(payload, 48) & 0x7FU;
    streams_[number].DataBitRate = LoadLe32(payload, 16);
    streams_[number].TimePerFrame = LoadLe64(payload, 52);
    // The stream names and payload extension systems, then (for a stream
    // the header lists nowhere else) its stream properties object.
    std::size_t at = 64;
    const std::size_t names = LoadLe16(payload, 60);
    const std::size_t systems = LoadLe16(payload, 62);
    for (std::size_t i = 0; i < names && at + 4 <= payload.size(); ++i) {
        at += 4 + std::size_t{LoadLe16(payload, at + 2)};
    }
    for (std::size_t i = 0; i < systems && at + 22 <= payload.size(); ++i) {
        at += 22 + std::size_t{LoadLe32(payload, at + 18)};
    }
    Objects(BytesFrom(payload, at), [&](ByteSpan guid, ByteSpan inner) {
        if (IsGuid(guid, kStreamProperties)) {
            ReadStreamProperties(inner);
        }
    });
}

void AsfLoad::ReadBitrateProperties(ByteSpan payload) {
    const std::size_t count = LoadLe16(payload, 0);
    for (std::size_t i = 0; i < count && 2 + (i + 1) * 6 <= payload.size(); ++i) {
        const std::size_t at = 2 + i * 6;
        streams_[LoadLe16(payload, at) & 0x7FU].AverageBitRate = LoadLe32(payload, at + 2);
    }
}

void AsfLoad::AddText(std::string_view name, std::string text) {
    const auto named =
        std::find_if(kNamedLabels.begin(), kNamedLabels.end(), [&](const NamedLabel& row) {
            return EqualsIgnoringAsciiCase(row.Name, name);
        });
    text = CleanText(std::move(text));
    if (named == kNamedLabels.end() || text.empty() ||
        std::any_of(texts_.begin(), texts_.end(),
                    [&](const MetadataItem& item) { return item.Label == named->Label; })) {
        return;
    }
    texts_.push_back({named->Label, std::move(text)});
}

void AsfLoad::ReadContentDescription(ByteSpan payload) {
    // Five lengths (title, author, copyright, description, rating), then
    // the strings in that order.
    static constexpr std::array<std::string_view, 4> kFields{"Title", "Author", "Copyright",
                                                             "Description"};
    std::size_t at = 10;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        const std::size_t length = LoadLe16(payload, i * 2);
        AddText(kFields[i], Utf16ToUtf8(BytesAt(payload, at, length), true));
        at += length;
    }
}

void AsfLoad::ReadExtendedContentDescription(ByteSpan payload) {
    const std::size_t count =
        std::min<std::size_t>(LoadLe16(payload, 0), CAsfReader::kMaxDescriptors);
    ByteSpan rest = BytesFrom(payload, 2);
    for (std::size_t i = 0; i < count && rest.size() >= 2; ++i) {
        const std::size_t nameLength = LoadLe16(rest, 0);
        if (rest.size() < 6 + nameLength) {
            return;
        }
        const std::string name = Utf16ToUtf8(rest.subspan(2, nameLength), true);
        const std::uint16_t type = LoadLe16(rest, 2 + nameLength);
        const std::size_t valueLength = LoadLe16(rest, 4 + nameLength);
        if (rest.size() - 6 - nameLength < valueLength) {
            return;
        }
        const ByteSpan value = rest.subspan(6 + nameLength, valueLength);
        // A string, or a number as decimal text (a year is sometimes one).
        if (type == 0) {
            AddText(name, Utf16ToUtf8(value, true));
        } else if (type == 3 || type == 4 || type == 5) {
            const std::uint64_t number = type == 3   ? LoadLe32(value, 0)
                                         : type == 4 ? LoadLe64(value, 0)
                                                     : LoadLe16(value, 0);
            AddText(name, std::to_string(number));
        }
        rest = rest.subspan(6 + nameLength + valueLength);
    }
}

void AsfLoad::DescribeVideo(const Stream& stream) {
    // The encoded picture size, a flags byte, the format data size, then a
    // BITMAPINFOHEADER with its compression code at its byte 16.
    const ByteSpan format = stream.TypeSpecific;
    const FourCC code = LoadFourCC(format, 27);
    const Codec codec = CodecForVideoFourCC(code);
    summary_.HasVideo = true;
    summary_.VideoCode = FourCCText(code);
    summary_.VideoCodec = codec == Codec::Unknown ? summary_.VideoCode : CodecName(codec);
    const std::uint32_t width = LoadLe32(format, 0);
    const std::uint32_t height = LoadLe32(format, 4);
    if (format.size() >= 8 && width > 0 && height > 0 && width <= INT32_MAX &&
        height <= INT32_MAX) {
        summary_.Width = std::int64_t{width};
        summary_.Height = std::int64_t{height};
        summary_.DisplayAspect = AspectText(width, height);
    }
    if (stream.TimePerFrame > 0) {
        summary_.FrameRate = 1e7 / static_cast<double>(stream.TimePerFrame);
    }
    const std::uint32_t rate = stream.DataBitRate > 0 ? stream.DataBitRate : stream.AverageBitRate;
    if (rate > 0) {
        summary_.VideoBitRate = std::int64_t{rate};
    }
}

void AsfLoad::DescribeAudio(const Stream& stream) {
    // A WAVEFORMATEX.
    const ByteSpan format = stream.TypeSpecific;
    const std::uint16_t tag = FormatTagOf(format);
    summary_.HasAudio = true;
    summary_.AudioCode = AudioFormatTagCode(tag);
    summary_.AudioCodec = SoundFormatName(tag);
    if (format.size() < 16) {
        return;
    }
    summary_.Channels = std::int64_t{LoadLe16(format, 2)};
    summary_.SampleRate = std::int64_t{LoadLe32(format, 4)};
    const std::uint64_t rate = std::uint64_t{LoadLe32(format, 8)} * 8;
    if (rate > 0) {
        summary_.AudioBitRate = static_cast<std::int64_t>(rate);
    } else if (stream.AverageBitRate > 0) {
        summary_.AudioBitRate = std::int64_t{stream.AverageBitRate};
    }
}

// The header object read from the file, then walked.
class AsfFileLoad {
public:
    explicit AsfFileLoad(const LoadContext& context) : context_(context) {}

    LoadVerdict Run() {
        FileWindow block;
        GrowForward(context_.Source, block, CAsfReader::kHeadBlock);
        if (!CAsfReader::RecognisesHead(block.Bytes)) {
            return LoadVerdict::Foreign;
        }
        // The whole header object, as far as the file and the bound allow.
        const auto header =
            static_cast<std::size_t>(std::min(LoadLe64(block.Bytes, 16), CAsfReader::kMaxHeader));
        GrowForward(context_.Source, block, header + kDataObjectHeader);
        const bool wmv = EqualsIgnoringAsciiCase(context_.Path.extension().native(), ".wmv");
        // The data packets after it, read further while a video stream
        // needs more of its frames' times for a rate.
        for (std::size_t packetBytes = CAsfReader::kHeadBlock;; packetBytes *= 4) {
            context_.Summary = {};
            AsfLoad load(block.Bytes, context_.Summary, context_.Stop);
            const bool accepted = load.Run(wmv);
            if (!accepted || !context_.Summary.HasVideo || context_.Summary.FrameRate ||
                packetBytes >= CAsfReader::kMaxFrameWindow ||
                !GrowForward(context_.Source, block, header + packetBytes * 4)) {
                if (!context_.Summary.FrameRate) {
                    context_.Summary.FrameRate = load.GuessedFrameRate();
                }
                context_.Summary.Truncated = DataRunsPastTheEnd(block.Bytes);
                return VerdictOf(true, accepted);
            }
        }
    }

private:
    // The data object's GUID and size, after the header object.
    static constexpr std::size_t kDataObjectHeader = 24;
    // The data object after the header claims more than the file holds.
    bool DataRunsPastTheEnd(ByteSpan block) const {
        const std::uint64_t header = LoadLe64(block, 16);
        if (header > block.size() || block.size() - header < 24 ||
            !IsGuid(block.subspan(static_cast<std::size_t>(header)), kData)) {
            return false;
        }
        const std::uint64_t data = LoadLe64(block, static_cast<std::size_t>(header) + 16);
        const auto size =
            static_cast<std::uint64_t>(std::max<std::int64_t>(context_.Source.Size(), 0));
        return data > size || header > size - data;
    }

    LoadContext context_;
};

} // namespace
} // namespace vidarium::asf

namespace vidarium {

bool CAsfReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return asf::IsGuid(head, asf::kHeader);
}

bool CAsfReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    return RunLoad<asf::AsfFileLoad>(source, path, kOrigin);
}

} // namespace vidarium

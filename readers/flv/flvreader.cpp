#include "flvreader.h"

#include "bytesource.h"
#include "codecconfig.h"
#include "codecnames.h"
#include "frametimes.h"
#include "localtext.h"
#include "readerload.h"
#include "streamheaders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

namespace vidarium::flv {
namespace {

// A tag: type, data size (24 bits), time (24 bits and 8 more above them),
// stream ID (24 bits), then the data and the size of the whole tag.
constexpr std::size_t kTagHeader = 11;
constexpr std::uint8_t kAudioTag = 8;
constexpr std::uint8_t kVideoTag = 9;
constexpr std::uint8_t kScriptTag = 18;

struct Tag {
    std::uint8_t Type = 0;
    std::uint32_t Time = 0; // ms
    ByteSpan Data;
};

// The tag at the start of `bytes`, when its header and data are all there.
std::optional<Tag> TagAt(ByteSpan bytes) {
    if (bytes.size() < kTagHeader) {
        return std::nullopt;
    }
    const std::size_t size = LoadBe32(bytes, 0) & 0xFFFFFFU;
    if (bytes.size() - kTagHeader < size) {
        return std::nullopt;
    }
    const std::uint32_t time = (LoadBe32(bytes, 4) >> 8) | (std::uint32_t{bytes[7]} << 24);
    return Tag{static_cast<std::uint8_t>(bytes[0] & 0x1FU), time, bytes.subspan(kTagHeader, size)};
}

// A value of onMetaData that a row can use.
using Scalar = std::variant<double, bool, std::string>;

// AMF0, the encoding of script data: reads onMetaData's properties, and
// passes over everything else without keeping it.
class AmfReader {
public:
    explicit AmfReader(ByteSpan bytes) : bytes_(bytes) {}

    // The properties of the object or array at the reader's position.
    std::map<std::string, Scalar> Properties() {
        std::map<std::string, Scalar> found;
        const std::uint8_t marker = Byte();
        if (marker == kEcmaArray) {
            Skip(4); // a count that writers do not keep honestly
        } else if (marker != kObject) {
            return found;
        }
        EachProperty([&](std::string key, std::uint8_t valueMarker) {
            if (std::optional<Scalar> value = ReadScalar(valueMarker)) {
                found.emplace(std::move(key), std::move(*value));
            } else {
                SkipValue(valueMarker, 1);
            }
        });
        return found;
    }

    // The string at the reader's position ("onMetaData"), or empty.
    std::string Name() { return Byte() == kString ? Text(LoadBe16(Take(2), 0)) : std::string(); }

private:
    enum : std::uint8_t {
        kNumber = 0,
        kBoolean = 1,
        kString = 2,
        kObject = 3,
        kNull = 5,
        kUndefined = 6,
        kReference = 7,
        kEcmaArray = 8,
        kObjectEnd = 9,
        kStrictArray = 10,
        kDate = 11,
        kLongString = 12,
        kXml = 15,
        kTypedObject = 16,
    };

    bool AtEnd() const { return at_ >= bytes_.size() || failed_; }
    std::uint8_t Byte() { return AtEnd() ? std::uint8_t{kObjectEnd} : bytes_[at_++]; }
    // The next `count` bytes; a read past the end fails the rest.
    ByteSpan Take(std::size_t count) {
        if (failed_ || bytes_.size() - at_ < count) {
            failed_ = true;
            return {};
        }
        const ByteSpan taken = bytes_.subspan(at_, count);
        at_ += count;
        return taken;
    }
    void Skip(std::size_t count) { Take(count); }
    std::string Text(std::size_t length) {
        const ByteSpan text = Take(length);
        return {text.begin(), text.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min(text.size(), CFlvReader::kMaxText))};
    }

    // Calls `property(key, marker)` for each property up to the end
    // marker; `property` reads or skips the value.
    template <typename Property> void EachProperty(Property&& property) {
        while (!AtEnd()) {
            const std::size_t keyLength = LoadBe16(Take(2), 0);
            std::string key = Text(keyLength);
            const std::uint8_t marker = Byte();
            if ((keyLength == 0 && marker == kObjectEnd) || failed_) {
                return;
            }
            // Past the bound, nothing more of the script is read.
            if (++properties_ > CFlvReader::kMaxProperties) {
                failed_ = true;
                return;
            }
            property(std::move(key), marker);
        }
    }

    std::optional<Scalar> ReadScalar(std::uint8_t marker) {
        double number = 0;
        switch (marker) {
        case kNumber: {
            const std::uint64_t bits = LoadBe64(Take(8), 0);
            std::memcpy(&number, &bits, sizeof number);
            return std::isfinite(number) ? std::optional<Scalar>(number) : std::nullopt;
        }
        case kBoolean:
            return Scalar(Byte() != 0);
        case kString:
            return Scalar(Text(LoadBe16(Take(2), 0)));
        case kLongString:
            return Scalar(Text(LoadBe32(Take(4), 0)));
        default:
            return std::nullopt;
        }
    }

    void SkipValue(std::uint8_t marker, int depth) {
        if (depth > CFlvReader::kMaxNesting) {
            failed_ = true;
            return;
        }
        switch (marker) {
        case kNumber:
            Skip(8);
            break;
        case kBoolean:
            Skip(1);
            break;
        case kString:
        case kReference:
            Skip(marker == kString ? LoadBe16(Take(2), 0) : 0);
            break;
        case kLongString:
        case kXml:
            Skip(LoadBe32(Take(4), 0));
            break;
        case kDate:
            Skip(10);
            break;
        case kTypedObject:
            Skip(LoadBe16(Take(2), 0)); // the class name, then an object
            [[fallthrough]];
        case kEcmaArray:
        case kObject:
            if (marker == kEcmaArray) {
                Skip(4);
            }
            EachProperty(
                [&](const std::string&, std::uint8_t inner) { SkipValue(inner, depth + 1); });
            break;
        case kStrictArray: {
            // Each element takes a byte at least: the data bounds the loop.
            const std::uint32_t count = LoadBe32(Take(4), 0);
            for (std::uint32_t i = 0; i < count && !AtEnd(); ++i) {
                SkipValue(Byte(), depth + 1);
            }
            break;
        }
        case kNull:
        case kUndefined:
        case kObjectEnd:
            break;
        default:
            failed_ = true; // a marker of no known size: nothing after it can be read
            break;
        }
    }

    ByteSpan bytes_;
    std::size_t at_ = 0;
    std::size_t properties_ = 0;
    bool failed_ = false;
};

// The picture size of a Sorenson Spark (FLV's H.263) picture header.
std::pair<std::uint32_t, std::uint32_t> SparkPictureSize(ByteSpan frame) {
    const auto bits = [&](std::size_t offset, unsigned count) {
        std::uint32_t value = 0;
        for (std::size_t bit = offset; bit < offset + count; ++bit) {
            value = (value << 1) | ((ByteAt(frame, bit / 8) >> (7 - bit % 8)) & 1U);
        }
        return value;
    };
    // A 17-bit start code, a 5-bit version, an 8-bit picture number, then
    // the size: 8 or 16 bits a side, or one of five standard sizes.
    if (bits(0, 17) != 1 || frame.size() < 9) {
        return {0, 0};
    }
    static constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 5> kSizes{
        {{352, 288}, {176, 144}, {128, 96}, {320, 240}, {160, 120}}};
    const std::uint32_t format = bits(30, 3);
    if (format <= 1) {
        const unsigned side = format == 0 ? 8 : 16;
        return {bits(33, side), bits(33 + side, side)};
    }
    return format <= 6 ? kSizes[format - 2] : std::pair<std::uint32_t, std::uint32_t>{0, 0};
}

const char* AudioFormatName(unsigned format) {
    switch (format) {
    case 0:
    case 3:
        return CodecName(Codec::Pcm);
    case 1:
        return "ADPCM";
    case 2:
    case 14:
        return CodecName(Codec::Mp3);
    case 4:
    case 5:
    case 6:
        return "Nellymoser";
    case 7:
        return "G.711 A-law";
    case 8:
        return "G.711 mu-law";
    case 10:
        return CodecName(Codec::Aac);
    case 11:
        return "Speex";
    default:
        return "";
    }
}

Codec VideoCodecFor(unsigned id) {
    switch (id) {
    case 2:
        return Codec::SorensonSpark;
    case 4:
    case 5:
        return Codec::Vp6;
    case 7:
        return Codec::Avc;
    case 12:
        return Codec::Hevc;
    default:
        return Codec::Unknown;
    }
}

class FlvLoad {
public:
    explicit FlvLoad(const LoadContext& context)
        : source_(context.Source), summary_(context.Summary), stop_(context.Stop),
          size_(context.Source.Size()) {}

    LoadVerdict Run() { return VerdictOf(recognised_, Read()); }

private:
    // True when the file holds a video or sound tag; recognised when it
    // starts with an FLV header.
    bool Read();
    // A tag at `at` runs past the block: true when the block grew and its
    // tags are to be read again.
    bool GrowPastCutTag(FileWindow& block, std::size_t at, bool& scriptGrown,
                        std::size_t& frameWindow);
    // Whether the tags past the block are worth reading, where a tag of
    // `cutType` runs past it.
    bool WantsMoreTags(unsigned cutType) const;
    void ReadMetadata(ByteSpan data);
    void ReadVideoTag(const Tag& tag);
    void ReadAudioTag(const Tag& tag);
    std::optional<double> Number(const char* key) const;
    // The time of the file's last tag, from its end.
    std::optional<std::uint32_t> LastTagTime();
    void Describe();
    // `stated`: the metadata's codec ID, for a file without the stream's tag.
    void DescribeVideo(std::optional<double> stated);
    void DescribeAudio(std::optional<double> stated);
    void SetRateAndChannels(const CodecDetails& details, std::uint8_t flags);
    void DescribeTexts();

    ByteSource& source_;
    MediaSummary& summary_;
    const LoadStop& stop_;
    const std::int64_t size_;
    bool recognised_ = false;

    std::map<std::string, Scalar> metadata_;
    bool metadataSeen_ = false;
    std::optional<Tag> video_; // the first video tag
    ByteSpan videoConfig_;     // AVC's decoder configuration record
    std::optional<Tag> audio_; // the first sound tag
    ByteSpan audioConfig_;     // AAC's AudioSpecificConfig
    ByteSpan audioFrame_;      // the first MP3 frame
    std::vector<std::uint32_t> videoTimes_;
    std::optional<std::uint32_t> firstTime_;
};

bool FlvLoad::Read() {
    FileWindow block;
    GrowForward(source_, block, CFlvReader::kHeadWindow);
    const std::vector<std::uint8_t>& head = block.Bytes;
    recognised_ = CFlvReader::RecognisesHead(head);
    if (!recognised_) {
        return false;
    }
    // The header's own size, then the first tag after a 4-byte size of the
    // tag before it.
    const std::size_t firstTag =
        static_cast<std::size_t>(std::min<std::uint32_t>(LoadBe32(head, 5), 1U << 20)) + 4;
    std::size_t at = firstTag;
    bool scriptGrown = false;
    // The tags seen so far point into the block: read again once it grows.
    const auto restart = [&] {
        video_.reset();
        audio_.reset();
        videoConfig_ = audioConfig_ = audioFrame_ = {};
        videoTimes_.clear();
        firstTime_.reset();
        at = firstTag;
    };
    std::size_t frameWindow = CFlvReader::kHeadWindow;
    while (at < head.size()) {
        stop_.Check();
        std::optional<Tag> tag = TagAt(ByteSpan(head).subspan(at));
        if (!tag) {
            if (GrowPastCutTag(block, at, scriptGrown, frameWindow)) {
                restart();
                continue;
            }
            break;
        }
        firstTime_ = firstTime_.value_or(tag->Time);
        if (tag->Type == kScriptTag && !metadataSeen_) {
            ReadMetadata(tag->Data);
        } else if (tag->Type == kVideoTag) {
            ReadVideoTag(*tag);
        } else if (tag->Type == kAudioTag) {
            ReadAudioTag(*tag);
        }
        at += kTagHeader + tag->Data.size() + 4;
    }
    if (!video_ && !audio_ && !metadata_.contains("videocodecid") &&
        !metadata_.contains("audiocodecid")) {
        return false;
    }
    // The tags point into the block: described before it goes.
    Describe();
    return true;
}

bool FlvLoad::GrowPastCutTag(FileWindow& block, std::size_t at, bool& scriptGrown,
                             std::size_t& frameWindow) {
    const std::vector<std::uint8_t>& head = block.Bytes;
    // A script tag running past the block is read once more, with the
    // first tags after it, up to the bound; of one larger still, its start
    // gives what it holds (the duration comes first).
    const std::size_t length = LoadBe32(head, at) & 0xFFFFFFU;
    const bool script = (head[at] & 0x1FU) == kScriptTag && !metadataSeen_;
    if (script && !scriptGrown) {
        const std::size_t end = at + kTagHeader + std::min(length, CFlvReader::kMaxScriptTag);
        GrowForward(source_, block, end + CFlvReader::kHeadWindow);
        scriptGrown = true;
        return true;
    }
    if (script) {
        ReadMetadata(BytesAt(head, at + kTagHeader, length));
        return false;
    }
    if (WantsMoreTags(head[at] & 0x1FU) && frameWindow < CFlvReader::kMaxFrameWindow) {
        frameWindow = std::min(frameWindow * 4, CFlvReader::kMaxFrameWindow);
        return GrowForward(source_, block, frameWindow);
    }
    return false;
}

bool FlvLoad::WantsMoreTags(unsigned cutType) const {
    // No tag yet, or too few video tags for a frame rate from their times
    // (large pictures): the tags after the block are read.
    return (!video_ && !audio_) ||
           ((video_ || cutType == kVideoTag) && !SteadyFrameRate(videoTimes_));
}

void FlvLoad::ReadMetadata(ByteSpan data) {
    AmfReader amf(data);
    if (amf.Name() == "onMetaData") {
        metadataSeen_ = true;
        metadata_ = amf.Properties();
    }
}

void FlvLoad::ReadVideoTag(const Tag& tag) {
    if (videoTimes_.size() < kFrameTimesKept) {
        videoTimes_.push_back(tag.Time);
    }
    if (!video_) {
        video_ = tag;
    }
    // AVC: a packet type (0: the configuration record) and a 24-bit time
    // offset come before the record.
    if (videoConfig_.empty() && (ByteAt(tag.Data, 0) & 0x0FU) == 7 && ByteAt(tag.Data, 1) == 0) {
        videoConfig_ = BytesFrom(tag.Data, 5);
    }
}

void FlvLoad::ReadAudioTag(const Tag& tag) {
    if (!audio_) {
        audio_ = tag;
    }
    const unsigned format = ByteAt(tag.Data, 0) >> 4;
    // AAC: a packet type (0: the AudioSpecificConfig) before the config.
    if (format == 10 && audioConfig_.empty() && ByteAt(tag.Data, 1) == 0) {
        audioConfig_ = BytesFrom(tag.Data, 2);
    } else if ((format == 2 || format == 14) && audioFrame_.empty()) {
        audioFrame_ = BytesFrom(tag.Data, 1);
    }
}

std::optional<double> FlvLoad::Number(const char* key) const {
    const auto found = metadata_.find(key);
    if (found == metadata_.end() || !std::holds_alternative<double>(found->second)) {
        return std::nullopt;
    }
    const double value = std::get<double>(found->second);
    return value > 0 && value < 1e12 ? std::optional<double>(value) : std::nullopt;
}

std::optional<std::uint32_t> FlvLoad::LastTagTime() {
    const auto length =
        static_cast<std::size_t>(std::min<std::int64_t>(size_, CFlvReader::kTailWindow));
    const std::int64_t start = size_ - static_cast<std::int64_t>(length);
    const std::vector<std::uint8_t> tail = ReadBytesAt(source_, start, length);
    if (tail.size() != length || length < 4 + kTagHeader) {
        return std::nullopt;
    }
    // The last tag's size, at the very end, leads back to its header.
    const std::size_t tagSize = LoadBe32(tail, length - 4);
    if (tagSize < kTagHeader || tagSize > length - 4) {
        return std::nullopt;
    }
    const ByteSpan header = ByteSpan(tail).subspan(length - 4 - tagSize);
    const std::optional<Tag> tag = TagAt(header.first(tagSize));
    if (!tag || tag->Data.size() + kTagHeader != tagSize) {
        return std::nullopt;
    }
    return tag->Time;
}

namespace {

std::optional<std::int64_t> BitsPerSecond(std::optional<double> kilobits) {
    return kilobits ? std::optional<std::int64_t>(std::llround(*kilobits * 1000)) : std::nullopt;
}

} // namespace

void FlvLoad::Describe() {
    summary_.Container = "FLV";
    // The stated duration, else the last tag's time.
    if (const auto seconds = Number("duration"); seconds && *seconds < 1e9) {
        summary_.DurationMs = std::llround(*seconds * 1000);
    } else if (const auto last = LastTagTime()) {
        summary_.DurationMs =
            std::int64_t{*last} - std::min<std::int64_t>(firstTime_.value_or(0), *last);
    }
    if (const auto stated = Number("videocodecid"); video_ || stated) {
        DescribeVideo(stated);
    }
    if (const auto statedAudio = Number("audiocodecid"); audio_ || statedAudio) {
        DescribeAudio(statedAudio);
    }
    DescribeTexts();
}

void FlvLoad::DescribeVideo(std::optional<double> stated) {
    summary_.HasVideo = true;
    summary_.VideoTracks = 1;
    const ByteSpan data = video_ ? video_->Data : ByteSpan();
    // An extended header (bit 7) names its codec by a four-character code.
    Codec codec = Codec::Unknown;
    if ((ByteAt(data, 0) & 0x80U) != 0) {
        const FourCC code = LoadFourCC(data, 1);
        codec = CodecForSampleEntry(code, MediaKind::Video);
        summary_.VideoCode = FourCCText(code);
    } else {
        const unsigned id =
            video_ ? ByteAt(data, 0) & 0x0FU : static_cast<unsigned>(std::min(*stated, 255.0));
        codec = VideoCodecFor(id);
        summary_.VideoCode = std::to_string(id);
    }
    summary_.VideoCodec = codec == Codec::Unknown ? summary_.VideoCode : CodecName(codec);
    PictureFormat picture;
    if (codec == Codec::Avc && !videoConfig_.empty()) {
        picture = DecodeAvcSequenceParameterSet(FirstAvcParameterSet(videoConfig_));
        picture.Details = DecodeAvcConfig(videoConfig_);
    } else if (codec == Codec::SorensonSpark) {
        std::tie(picture.Width, picture.Height) = SparkPictureSize(BytesFrom(data, 1));
    }
    summary_.VideoProfile = picture.Details.Profile;
    summary_.BitDepth = picture.Details.BitDepth;
    const auto width = picture.Width > 0 ? std::optional<double>(picture.Width) : Number("width");
    const auto height =
        picture.Height > 0 ? std::optional<double>(picture.Height) : Number("height");
    if (width && height && *width <= 65535 && *height <= 65535) {
        summary_.Width = std::llround(*width);
        summary_.Height = std::llround(*height);
        summary_.DisplayAspect = AspectText(static_cast<std::uint64_t>(*summary_.Width),
                                            static_cast<std::uint64_t>(*summary_.Height));
    }
    // The stated rate where the first frames' times bear it out (muxers have
    // stated ten times the real one), else the steps between those times,
    // else the stream's own (whose timing may state a ceiling, ten times
    // the real rate), else the stated one after all.
    const auto statedRate = Number("framerate") ? Number("framerate") : Number("videoframerate");
    const auto steady = SteadyFrameRate(videoTimes_);
    const bool borneOut =
        statedRate && (!steady || std::fabs(*statedRate - *steady) <= *steady * 0.1);
    if (borneOut) {
        summary_.FrameRate = *statedRate;
    } else if (steady) {
        summary_.FrameRate = steady;
    } else if (picture.FrameRate > 0) {
        summary_.FrameRate = picture.FrameRate;
    } else {
        summary_.FrameRate = statedRate;
    }
    summary_.VideoBitRate = BitsPerSecond(Number("videodatarate"));
}

void FlvLoad::DescribeAudio(std::optional<double> stated) {
    summary_.HasAudio = true;
    summary_.AudioTracks = 1;
    // Format (4 bits), rate (5.5, 11, 22 or 44 kHz), sample size, and the
    // stereo flag.
    const std::uint8_t flags = audio_ ? ByteAt(audio_->Data, 0) : 0;
    const unsigned format = audio_ ? flags >> 4U : static_cast<unsigned>(std::min(*stated, 255.0));
    summary_.AudioCode = std::to_string(format);
    summary_.AudioCodec = AudioFormatName(format);
    if (summary_.AudioCodec.empty()) {
        summary_.AudioCodec = summary_.AudioCode;
    }
    // The codec's own header, else the tag's flags (or the metadata).
    CodecDetails details;
    if (!audioConfig_.empty()) {
        details = DecodeAudioSpecificConfig(audioConfig_);
        summary_.AudioCodec = details.Ps ? "HE-AACv2" : details.Sbr ? "HE-AAC" : "AAC";
    } else if (const MpegAudioHeader frame = DecodeMpegAudioHeader(audioFrame_); frame.Layer != 0) {
        details.SampleRate = frame.SampleRate;
        details.Channels = frame.Channels;
        details.BitRate = frame.BitRate;
    }
    SetRateAndChannels(details, flags);
    summary_.AudioBitRate = BitsPerSecond(Number("audiodatarate"));
    if (!summary_.AudioBitRate && details.BitRate > 0) {
        summary_.AudioBitRate = std::int64_t{details.BitRate};
    }
}

// The rate a format fixes whatever its flags say (Nellymoser's 8 and 16 kHz
// kinds, G.711, Speex), else 0.
std::int64_t FixedSampleRate(unsigned format) {
    switch (format) {
    case 4:
    case 11:
        return 16000;
    case 5:
    case 7:
    case 8:
        return 8000;
    default:
        return 0;
    }
}

void FlvLoad::SetRateAndChannels(const CodecDetails& details, std::uint8_t flags) {
    static constexpr std::array<std::int64_t, 4> kFlagRates{5512, 11025, 22050, 44100};
    const unsigned format = flags >> 4U;
    // AAC's flags always say 44 kHz stereo, so its metadata's rate is the
    // better guess; other formats' flags are their true rate.
    const auto statedRate = Number("audiosamplerate");
    if (details.SampleRate > 0) {
        summary_.SampleRate = std::int64_t{details.SampleRate};
    } else if (audio_ && FixedSampleRate(format) > 0) {
        summary_.SampleRate = FixedSampleRate(format);
    } else if (statedRate && (!audio_ || format == 10)) {
        summary_.SampleRate = std::llround(*statedRate);
    } else if (audio_) {
        summary_.SampleRate = kFlagRates[(flags >> 2U) & 3U];
    }
    // Every sound tag's stereo flag is the muxer's own; the metadata's
    // "stereo" is often left false, so it counts only without a tag.
    const auto stereo = metadata_.find("stereo");
    if (details.Channels > 0) {
        summary_.Channels = std::int64_t{details.Channels};
    } else if (audio_) {
        summary_.Channels = (flags & 1U) != 0 ? 2 : 1;
    } else if (stereo != metadata_.end() && std::holds_alternative<bool>(stereo->second)) {
        summary_.Channels = std::get<bool>(stereo->second) ? 2 : 1;
    }
}

void FlvLoad::DescribeTexts() {
    static constexpr std::array<std::pair<std::string_view, const char*>, 9> kTexts{{
        {"title", "Title"},
        {"artist", "Artist"},
        {"creator", "Artist"},
        {"album", "Album"},
        {"date", "Date"},
        {"comment", "Comment"},
        {"description", "Description"},
        {"genre", "Genre"},
        {"copyright", "Copyright"},
    }};
    std::vector<MetadataItem> texts;
    for (const auto& [key, label] : kTexts) {
        const auto found = metadata_.find(std::string(key));
        if (found == metadata_.end() || !std::holds_alternative<std::string>(found->second)) {
            continue;
        }
        if (std::string text = CleanText(std::get<std::string>(found->second)); !text.empty()) {
            texts.push_back({label, std::move(text)});
        }
    }
    summary_.Metadata = InLabelOrder(texts);
}

} // namespace
} // namespace vidarium::flv

namespace vidarium {

bool CFlvReader::RecognisesHead(std::span<const std::uint8_t> head) {
    return head.size() >= 9 && head[0] == 'F' && head[1] == 'L' && head[2] == 'V' && head[3] == 1;
}

bool CFlvReader::LoadFromSource(ByteSource& source, const std::filesystem::path& path) {
    return RunLoad<flv::FlvLoad>(source, path, kOrigin);
}

} // namespace vidarium

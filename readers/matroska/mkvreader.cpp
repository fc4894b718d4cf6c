#include "mkvload.h"

namespace vidarium::mkv {
namespace {

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

} // namespace

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
    const bool pastTheEnd = segment->Size != kUnknownSize &&
                            segment->Size > static_cast<std::uint64_t>(size_ - segmentStart_);
    segmentEnd_ = segment->Size == kUnknownSize || pastTheEnd
                      ? size_
                      : segmentStart_ + static_cast<std::int64_t>(segment->Size);
    summary_.Truncated = pastTheEnd;
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

void MatroskaLoad::DescribeVideo(const TrackEntry& track) {
    summary_.HasVideo = true;
    Codec codec = CodecForMatroskaId(track.CodecId);
    summary_.VideoCode = track.CodecId;
    if (track.CodecId == "V_MS/VFW/FOURCC") {
        // A BITMAPINFOHEADER, its compression code at byte 16.
        const FourCC code = LoadFourCC(track.CodecPrivate, 16);
        codec = CodecForVideoFourCC(code);
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
        if (!summary_.FrameRate) {
            summary_.FrameRate = SteppedBlocksFrameRate(track.Number);
        }
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
        const std::uint16_t tag = FormatTagOf(track.CodecPrivate);
        summary_.AudioCode = AudioFormatTagCode(tag);
        name = SoundFormatName(tag);
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

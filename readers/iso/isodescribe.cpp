// What a track's sample description says: the video's and the sound's
// codec, its configuration boxes, the picture and the sound.
#include "isoload.h"

#include "codecconfig.h"
#include "codecnames.h"
#include "streamheaders.h"

#include <algorithm>
#include <utility>

namespace vidarium::iso {

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

std::optional<std::int64_t> IsoLoad::PcmBitRate(ByteSpan entry, std::uint16_t version,
                                                const FourCC& code, ByteSpan children) {
    const std::int64_t bits = PcmBitsPerSample(entry, version, code, children);
    if (bits <= 0 || !summary_.SampleRate || !summary_.Channels || *summary_.SampleRate <= 0 ||
        *summary_.Channels <= 0) {
        return std::nullopt;
    }
    const auto perSecond = ProductOrUnknown<std::int64_t>(*summary_.SampleRate, *summary_.Channels);
    return perSecond ? ProductOrUnknown<std::int64_t>(*perSecond, bits) : std::nullopt;
}

std::int64_t IsoLoad::PcmBitsPerSample(ByteSpan entry, std::uint16_t version, const FourCC& code,
                                       ByteSpan children) {
    constexpr std::uint32_t kLargestSample = 64;
    // Version 2 states the bits of a channel's sample outright.
    if (version == 2) {
        if (const std::uint32_t bits = LoadBe32(entry, 48); bits > 0 && bits <= kLargestSample) {
            return bits;
        }
    }
    // Version 1: the bytes of a frame, every channel's sample in it.
    const std::uint32_t channels = LoadBe16(entry, 16);
    if (version == 1 && channels > 0) {
        if (const std::uint32_t frame = LoadBe32(entry, 36);
            frame > 0 && frame % channels == 0 && frame / channels * 8 <= kLargestSample) {
            return static_cast<std::int64_t>(frame / channels) * 8;
        }
    }
    // The codes whose samples have one size.
    struct Size {
        char code[5];
        std::int64_t bits;
    };
    static constexpr Size kSizes[] = {
        {"in24", 24}, {"in32", 32}, {"fl32", 32}, {"fl64", 64}, {"raw ", 8},
    };
    for (const Size& size : kSizes) {
        if (IsFourCC(code, size.code)) {
            return size.bits;
        }
    }
    // ISO's integer PCM: its configuration box, then the version 0 field.
    if (const auto pcmC = FindEntryChild(parser_, children, "pcmC")) {
        if (const std::uint8_t bits = ByteAt(pcmC->Payload, 5);
            bits > 0 && bits <= kLargestSample) {
            return bits;
        }
    }
    const std::uint16_t bits = LoadBe16(entry, 18);
    return bits > 0 && bits <= kLargestSample ? bits : 0;
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
    Codec codec = CodecForSampleEntry(code, MediaKind::Video);
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

void IsoLoad::ReadFirstMpegFrame(const Track& track, Codec& codec, CodecDetails& details) {
    if (!track.FirstChunkOffset ||
        *track.FirstChunkOffset >= static_cast<std::uint64_t>(INT64_MAX)) {
        return;
    }
    const auto frame = ReadAt(static_cast<std::int64_t>(*track.FirstChunkOffset), 4);
    const MpegAudioHeader header = DecodeMpegAudioHeader(frame);
    if (header.Layer != 0) {
        codec = header.Layer == 3 ? Codec::Mp3 : Codec::Mp2;
        details.SampleRate = header.SampleRate;
        details.Channels = header.Channels;
    }
}

void IsoLoad::DescribeAudio(const Track& track) {
    summary_.HasAudio = true;
    const ByteSpan entry = track.Entry.Payload;
    const std::uint16_t version = LoadBe16(entry, 8);
    const ByteSpan children = BytesFrom(entry, version == 1 ? 44 : version == 2 ? 64 : 28);
    const FourCC code = OriginalFormat(parser_, track.Code, children);
    Codec codec = CodecForSampleEntry(code, MediaKind::Sound);
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
    if (codec == Codec::Mp3) {
        ReadFirstMpegFrame(track, codec, details);
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
    if (const auto uncompressed =
            codec == Codec::Pcm ? PcmBitRate(entry, version, code, children) : std::nullopt;
        uncompressed && *uncompressed <= kLargestSoundRate) {
        // What its samples are: QuickTime's tables count frames of one
        // byte, whatever a frame holds.
        summary_.AudioBitRate = uncompressed;
    } else if (const auto measured = track.SizesKnown && track.SampleBytes > 0 && duration > 0
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

// The ISO reader over synthesized files: what each box gives the row, the
// codec configurations, and the bounds that keep a hostile file cheap.
#include "builders.h"
#include "bytesource.h"
#include "codecconfig.h"
#include "countingsource.h"
#include "frametimes.h"
#include "isoload.h"
#include "isoreader.h"
#include "loadstop.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <bit>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

struct Loaded {
    bool ok = false;
    MediaSummary summary;
    std::size_t boxes = 0;
};

Loaded Load(const Bytes& bytes) {
    MemorySource source(bytes);
    CIsoReader reader;
    Loaded loaded;
    loaded.ok = reader.LoadFromSource(source, "memory.mp4");
    loaded.summary = reader.Summary;
    loaded.boxes = reader.BoxesSeen();
    return loaded;
}

IsoTrackParams Sound(Bytes children, std::string_view code = "mp4a") {
    IsoTrackParams sound;
    sound.handler = "soun";
    sound.code = code;
    sound.timeScale = 48000;
    sound.samples = 235;
    sound.sampleDelta = 1024;
    sound.sampleBytes = 300;
    sound.children = std::move(children);
    return sound;
}

TEST(IsoReader, RowValuesFromTheBoxes) {
    IsoParams params;
    params.tracks[0].children =
        Concat({AvcConfigBox(100, 41), Atom("pasp", {0, 0, 0, 64, 0, 0, 0, 45})});
    params.tracks[0].width = 720;
    params.tracks[0].height = 576;
    params.tracks[0].rotation = 90;
    params.tracks.push_back(Sound(AacConfigBox({0x11, 0x90}))); // LC, 48 kHz, 2 channels
    params.tracks.push_back(Sound(AacConfigBox({0x11, 0x88})));
    params.movieExtras = Container(
        "udta",
        {FullBox("meta", 0,
                 Concat({FullBox("hdlr", 0,
                                 Concat({Bytes(4, 0), Bytes{'m', 'd', 'i', 'r'}, Bytes(12, 0)})),
                         Container("ilst", {IlstItem("\xA9too", "Lavf"),
                                            IlstItem("\xA9"
                                                     "day",
                                                     "2024"),
                                            IlstItem("\xA9nam", "Beach"),
                                            IlstItem("\xA9swr", "Camera 2.1")})}))});
    for (const bool last : {false, true}) {
        params.movieLast = last;
        const Loaded loaded = Load(IsoMovie(params));
        ASSERT_TRUE(loaded.ok);
        const MediaSummary& s = loaded.summary;
        EXPECT_EQ(s.Container, "MP4");
        EXPECT_EQ(s.DurationMs, 5000);
        EXPECT_EQ(s.VideoCodec, "AVC");
        EXPECT_EQ(s.VideoProfile, "High@L4.1");
        EXPECT_EQ(s.BitDepth, 8);
        EXPECT_EQ(s.Width, 720);
        EXPECT_EQ(s.FrameRate, 25.0);
        EXPECT_EQ(s.VideoBitRate, 200000); // 125 samples of 1000 bytes in 5 s
        EXPECT_EQ(s.DisplayAspect, "16:9");
        EXPECT_EQ(s.Rotation, 90);
        EXPECT_EQ(s.AudioCodec, "AAC");
        EXPECT_EQ(s.SampleRate, 48000);
        EXPECT_EQ(s.Channels, 2);
        EXPECT_EQ(s.AudioTracks, 2);
        // In the labels' order; the encoder's tag left out, the software kept.
        EXPECT_EQ(s.Metadata,
                  (std::vector<MetadataItem>{
                      {"Title", "Beach"}, {"Date", "2024"}, {"Software", "Camera 2.1"}}));
    }
}

TEST(IsoReader, ContainerLabelsByBrand) {
    for (const auto& [brand, label] : std::vector<std::pair<std::string_view, std::string>>{
             {"isom", "MP4"}, {"mp42", "MP4"}, {"M4V ", "M4V"}, {"3gp5", "3GP"}, {"qt  ", "MOV"}}) {
        IsoParams params;
        params.brand = brand;
        EXPECT_EQ(Load(IsoMovie(params)).summary.Container, label) << brand;
    }
}

TEST(IsoReader, AudioConfigurations) {
    struct Case {
        const char* name;
        IsoTrackParams track;
        std::string codec;
        std::int64_t rate;
        std::int64_t channels;
    };
    // dac3: 48 kHz, acmod 7 with LFE, 448 kbit/s; dOps: 6 channels.
    const Case cases[] = {
        {"explicit SBR", Sound(AacConfigBox({0x2B, 0x11, 0x88, 0x00})), "HE-AAC", 48000, 2},
        {"backward-compatible SBR", Sound(AacConfigBox({0x13, 0x10, 0x56, 0xE5, 0x98})), "HE-AAC",
         48000, 2},
        {"parametric stereo", Sound(AacConfigBox({0xEB, 0x09, 0x88, 0x00})), "HE-AACv2", 48000, 2},
        {"mono placeholder", Sound(AacConfigBox({0x11, 0x88})), "AAC", 48000, 1},
        {"AC-3", Sound(Atom("dac3", {0x10, 0x3D, 0xE0}), "ac-3"), "AC-3", 48000, 6},
        {"Opus", Sound(Atom("dOps", {0, 6, 0, 0, 0, 0, 0xAC, 0x44}), "Opus"), "Opus", 48000, 6},
        {"unknown code", Sound({}, "xyz1"), "xyz1", 48000, 2},
        // AMR's entry holds placeholders: two channels at 48 kHz here.
        {"AMR narrow band", Sound({}, "samr"), "AMR", 8000, 1},
        {"AMR wide band", Sound({}, "sawb"), "AMR", 16000, 1},
        // dmlp: 48 kHz, a 5.1 and a 7.1 presentation; 96 kHz, centre alone.
        {"TrueHD 7.1", Sound(Atom("dmlp", {0x00, 0x17, 0x80, 0x4F, 0, 0, 0, 0}), "mlpa"), "TrueHD",
         48000, 8},
        {"TrueHD 96 kHz", Sound(Atom("dmlp", {0x10, 0x01, 0x00, 0x00, 0, 0, 0, 0}), "mlpa"),
         "TrueHD", 96000, 1},
    };
    for (const Case& c : cases) {
        IsoParams params;
        params.tracks = {c.track};
        const MediaSummary s = Load(IsoMovie(params)).summary;
        EXPECT_EQ(s.AudioCodec, c.codec) << c.name;
        EXPECT_EQ(s.SampleRate, c.rate) << c.name;
        EXPECT_EQ(s.Channels, c.channels) << c.name;
        EXPECT_FALSE(s.HasVideo) << c.name;
    }
    EXPECT_EQ(DecodeAc3Config(Bytes{0x10, 0x3D, 0xE0}).BitRate, 448000u);
    // A time scale that cannot be true gives no rate of gigabits: the dac3's.
    IsoTrackParams absurd = Sound(Atom("dac3", {0x10, 0x3D, 0xE0}), "ac-3");
    absurd.timeScale = 0xD2071F49;
    IsoParams params;
    params.tracks = {absurd};
    EXPECT_EQ(Load(IsoMovie(params)).summary.AudioBitRate, 448000);
}

// Uncompressed sound's rate is its sample rate x channels x bits per
// sample, whichever version of the sound description says so; not its
// table's, which QuickTime writes as frames of one byte.
TEST(IsoReader, UncompressedSoundRates) {
    const auto fields = [](std::initializer_list<std::uint32_t> words) {
        Bytes bytes;
        for (const std::uint32_t word : words) {
            AppendBe32(bytes, word);
        }
        return bytes;
    };
    Bytes version2 = fields({72});
    AppendBe64(version2, std::bit_cast<std::uint64_t>(48000.0));
    version2 = Concat({version2, fields({2, 0x7F000000, 24, 0x0C, 6, 1})});
    struct Case {
        const char* name;
        std::string_view code;
        std::uint16_t version;
        std::uint16_t channels;
        std::uint16_t sampleSize;
        Bytes soundFields;
        Bytes children;
        std::int64_t bitRate;
    };
    const Case cases[] = {
        {"16-bit big-endian, version 0", "twos", 0, 2, 16, {}, {}, 1'536'000},
        {"8-bit unsigned", "raw ", 0, 1, 8, {}, {}, 384'000},
        {"24-bit, version 1's frame of 6 bytes over version 0's 16 bits",
         "in24",
         1,
         2,
         16,
         fields({1, 3, 6, 3}),
         {},
         2'304'000},
        {"24-bit by its code alone", "in24", 0, 2, 16, {}, {}, 2'304'000},
        {"little-endian, version 1's frame of 6 bytes",
         "sowt",
         1,
         2,
         16,
         fields({1, 3, 6, 3}),
         {},
         2'304'000},
        {"64-bit float", "fl64", 0, 1, 16, {}, {}, 3'072'000},
        {"lpcm, version 2's 24 bits and 2 channels", "lpcm", 2, 3, 16, version2, {}, 2'304'000},
        {"ISO's integer PCM, its configuration's 32 bits",
         "ipcm",
         0,
         2,
         16,
         {},
         FullBox("pcmC", 0, {0, 32}),
         3'072'000},
    };
    for (const Case& c : cases) {
        IsoTrackParams sound = Sound(c.children, c.code);
        sound.soundVersion = c.version;
        sound.channels = c.channels;
        sound.sampleSize = c.sampleSize;
        sound.soundFields = c.soundFields;
        // Five seconds of frames, each counted as one byte.
        sound.samples = 5 * 48000;
        sound.sampleDelta = 1;
        sound.sampleBytes = 1;
        IsoParams params;
        params.tracks = {sound};
        const MediaSummary summary = Load(IsoMovie(params)).summary;
        EXPECT_EQ(summary.AudioCodec, "PCM") << c.name;
        EXPECT_EQ(summary.AudioBitRate, c.bitRate) << c.name;
    }
}

// A code names a codec of its track's kind: "raw " is uncompressed
// pictures in a video track and 8-bit PCM in a sound track, and a sound
// code in a video track names no codec.
TEST(IsoReader, CodesAreNamedByTheirTracksKind) {
    struct Case {
        std::string_view handler;
        std::string_view code;
        const char* video;
        const char* sound;
    };
    const Case cases[] = {
        {"vide", "raw ", "Uncompressed", nullptr},
        {"soun", "raw ", nullptr, "PCM"},
        {"vide", "sowt", "sowt", nullptr},
        {"soun", "avc1", nullptr, "avc1"},
        {"vide", "hdv3", "MPEG-2 Video", nullptr},
        {"vide", "xd5c", "MPEG-2 Video", nullptr},
        {"vide", "mx5p", "MPEG-2 Video", nullptr},
        {"vide", "icod", "Apple Intermediate Codec", nullptr},
        {"vide", "AVdn", "DNxHD", nullptr},
        {"vide", "rle ", "Animation", nullptr},
        {"vide", "v210", "Uncompressed", nullptr},
        {"vide", "mjp2", "JPEG 2000", nullptr},
    };
    for (const Case& c : cases) {
        IsoTrackParams track = c.handler == "soun" ? Sound({}, c.code) : IsoTrackParams{};
        track.code = c.code;
        IsoParams params;
        params.tracks = {track};
        const MediaSummary summary = Load(IsoMovie(params)).summary;
        EXPECT_EQ(summary.VideoCodec, c.video != nullptr ? c.video : "") << c.code;
        EXPECT_EQ(summary.AudioCodec, c.sound != nullptr ? c.sound : "") << c.code;
    }
}

TEST(IsoReader, VideoConfigurations) {
    // hvcC: Main 10, level 153 (5.1), 10-bit, with colour "nclx" PQ.
    Bytes hvcC(23, 0);
    hvcC[0] = 1;
    hvcC[1] = 2;
    hvcC[12] = 153;
    hvcC[17] = 2;
    const Bytes colr{'n', 'c', 'l', 'x', 0, 9, 0, 16, 0, 9, 0};
    EXPECT_EQ(DecodeHevcConfig(hvcC).Profile, "Main 10@L5.1");
    IsoParams params;
    params.tracks[0].code = "hvc1";
    params.tracks[0].children = Concat({Atom("hvcC", hvcC), Atom("colr", colr)});
    const MediaSummary s = Load(IsoMovie(params)).summary;
    EXPECT_EQ(s.VideoCodec, "HEVC");
    EXPECT_EQ(s.Hdr, "HDR10");
    // With a Dolby Vision configuration beside it (profile 8, HDR10 base).
    params.tracks[0].children =
        Concat({Atom("hvcC", hvcC), Atom("colr", colr), Atom("dvcC", Bytes(24, 0))});
    EXPECT_EQ(Load(IsoMovie(params)).summary.Hdr, "Dolby Vision");
    // av1C: Main, level index 13 (5.1), high bit depth.
    EXPECT_EQ(DecodeAv1Config(Bytes{0x81, 0x0D, 0x40, 0}).Profile, "Main@L5.1");
    EXPECT_EQ(DecodeAv1Config(Bytes{0x81, 0x0D, 0x40, 0}).BitDepth, 10);
    EXPECT_EQ(DecodeAvcConfig(Concat({Bytes{1, 66, 0x40, 30}})).Profile, "Constrained Baseline@L3");
}

TEST(FrameTimes, MillisecondTimesGiveWholeAndNtscRates) {
    // Containers that count in milliseconds: the rate whose span the
    // rounded times allow, else the rate as measured.
    const auto times = [](double rate, int frames) {
        std::vector<std::uint32_t> ms;
        for (int i = 0; i < frames; ++i) {
            ms.push_back(static_cast<std::uint32_t>(std::lround(i * 1000.0 / rate)));
        }
        return ms;
    };
    const struct {
        double rate;
        int frames;
        double expected;
    } cases[] = {
        {30000.0 / 1001, 64, 30000.0 / 1001},
        {30000.0 / 1001, 16, 30}, // half a second: the whole rate
        {24000.0 / 1001, 64, 24000.0 / 1001},
        {12.5, 32, 12.5},
        {1000.0 / 37, 32, 1000.0 / 37},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(SteadyFrameRate(times(c.rate, c.frames)).value_or(0), c.expected)
            << c.rate;
    }
}

TEST(IsoReader, SteadySampleDurations) {
    // (duration, count) runs of a time-to-sample table, and the duration of
    // a steady frame rate: past a late first sample, across a clock that
    // wavers by a tick and a few dropped frames; none for a varying rate.
    using Runs = std::vector<std::pair<std::uint32_t, std::uint64_t>>;
    const std::pair<Runs, std::uint32_t> cases[] = {
        {{{29281, 1}, {3000, 3}}, 3000},
        {{{4649, 1}, {2997, 5}, {2998, 5}, {8992, 1}}, 2997},
        {{{3000, 40}, {6000, 8}}, 3000},
        {{{3000, 30}, {6000, 10}}, 0},
        {{{1000, 1}, {2000, 1}, {3000, 1}}, 0},
    };
    for (const auto& [runs, steady] : cases) {
        iso::DurationTally tally;
        for (const auto& [duration, count] : runs) {
            tally.Add(duration, count);
        }
        EXPECT_EQ(tally.Steady(), steady) << runs.size();
    }
}

TEST(IsoReader, FragmentedDurations) {
    // No sample table in the movie box: the fragments hold the samples.
    IsoParams params;
    params.tracks[0].sampleTable = false;
    params.duration = 0;
    const auto trex =
        FullBox("trex", 0, Concat({Bytes{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 2, 0}, Bytes(8, 0)}));
    // `start`: the fragment's decode time; none, it states no time. Its
    // samples are `sampleBytes` each, its media data `mediaBytes`.
    const auto fragment = [](std::optional<std::uint32_t> start, std::uint32_t samples,
                             std::uint32_t sampleBytes = 0, std::uint32_t mediaBytes = 16) {
        Bytes tfhd{0, 0, 0, 1};
        AppendBe32(tfhd, sampleBytes);
        Bytes tfdt;
        AppendBe32(tfdt, start.value_or(0));
        Bytes trun;
        AppendBe32(trun, samples);
        return Concat({Atom("moof", Container("traf", {FullBox("tfhd", 0, tfhd, 0x10),
                                                       start ? FullBox("tfdt", 0, tfdt) : Bytes(),
                                                       FullBox("trun", 0, trun)})),
                       Atom("mdat", Bytes(mediaBytes, 0))});
    };
    // From the end of the last fragment less the start of the first: the
    // media starts at 10 s (128,000 ticks of 12,800), 25 samples of 512
    // each; the movie extends header's 20 s only where the fragments were not
    // all walked.
    for (const std::size_t count : {std::size_t{4}, CIsoReader::kMaxSampledFragments + 4}) {
        for (const bool withHeader : {false, true}) {
            IsoParams withExtends = params;
            withExtends.movieExtras = Container(
                "mvex", {trex, withHeader ? FullBox("mehd", 0, {0, 0, 0x4E, 0x20}) : Bytes()});
            Bytes file = IsoMovie(withExtends);
            for (std::uint32_t i = 0; i < count; ++i) {
                file = Concat({file, fragment(128000 + i * 12800, 25, 0, 20000)});
            }
            const MediaSummary s = Load(file).summary;
            EXPECT_EQ(s.DurationMs,
                      withHeader && count > 4 ? 20000 : static_cast<std::int64_t>(count) * 1000)
                << withHeader;
            EXPECT_EQ(s.FrameRate, 25.0);
        }
    }
    // Fragments that state no times are added up, as far as the bound goes;
    // past it the file states no length.
    for (const std::size_t count : {std::size_t{4}, CIsoReader::kMaxTimelessFragments + 1}) {
        IsoParams withExtends = params;
        withExtends.movieExtras = Container("mvex", {trex});
        Bytes file = IsoMovie(withExtends);
        for (std::size_t i = 0; i < count; ++i) {
            file = Concat({file, fragment(std::nullopt, 25)});
        }
        const MediaSummary s = Load(file).summary;
        EXPECT_EQ(s.DurationMs, count == 4 ? std::optional<std::int64_t>(4000) : std::nullopt)
            << count;
    }

    // Rates: every fragment's samples over their time while the walk
    // reaches the end, or past the sampled fragments while they are small
    // (many to a block); else the video's is what the file's size leaves
    // after the boxes at their sampled pace. The fragments past the sampled
    // ones hold 4 KiB more media data than their samples say. A rate the
    // sample entry states gives way to a whole walk's only.
    constexpr std::int64_t kWalked = 100 * 25 * 8; // bit/s
    constexpr std::size_t kMore = CIsoReader::kMaxSampledFragments + 4;
    const struct {
        std::size_t count;
        bool stated;
        std::uint32_t mediaBytes;
        std::int64_t rate;
    } rates[] = {
        {4, false, 22500, kWalked},
        {kMore, false, 22500, kWalked + 4 * 4096 * 8 / static_cast<std::int64_t>(kMore)},
        {4, true, 22500, kWalked},
        {kMore, true, 22500, 999'999},
        {kMore, false, 2500, kWalked},
    };
    for (const auto& c : rates) {
        IsoParams withExtends = params;
        if (c.stated) {
            withExtends.tracks[0].children =
                Atom("btrt", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x3F});
        }
        Bytes seconds;
        AppendBe32(seconds, static_cast<std::uint32_t>(c.count * 1000));
        withExtends.movieExtras = Container("mvex", {trex, FullBox("mehd", 0, seconds)});
        Bytes file = IsoMovie(withExtends);
        for (std::uint32_t i = 0; i < c.count; ++i) {
            const bool sampled = i < CIsoReader::kMaxSampledFragments;
            file =
                Concat({file, fragment(i * 12800, 25, 100, c.mediaBytes + (sampled ? 0 : 4096))});
        }
        EXPECT_EQ(Load(file).summary.VideoBitRate, c.rate) << c.count << c.stated << c.mediaBytes;
    }
}

TEST(IsoReader, HostileShapesCostLittle) {
    // A movie box of a million empty boxes: the walk ends at the bound.
    Bytes empty;
    empty.reserve(8'000'100);
    for (int i = 0; i < 1'000'100; ++i) {
        AppendBe32(empty, 8);
        AppendText(empty, "free");
    }
    const Loaded many = Load(Concat({Atom("ftyp", Bytes(8, 0)), Atom("moov", empty)}));
    EXPECT_FALSE(many.ok);
    EXPECT_EQ(many.boxes, CIsoReader::kMaxBoxes);

    // A movie box larger than the bound is not read at all.
    TempDir dir;
    const fs::path path = dir / "huge.mp4";
    Bytes head = Atom("ftyp", Bytes(8, 0));
    AppendBe32(head, static_cast<std::uint32_t>(CIsoReader::kMaxMovieBox + 16));
    AppendText(head, "moov");
    WriteFile(path, head);
    fs::resize_file(path, CIsoReader::kMaxMovieBox + 64);
    FileSource file;
    ASSERT_TRUE(file.Open(path));
    CountingSource counted(file);
    CIsoReader reader;
    EXPECT_FALSE(reader.LoadFromSource(counted, path));
    EXPECT_LT(counted.bytesRead, 4096u);

    // Stop ends a load at its next box.
    std::atomic<bool> stop{true};
    MemorySource source(IsoMovie());
    reader.WatchStopFlag(&stop);
    EXPECT_THROW(reader.LoadFromSource(source, "stopped.mp4"), ReaderError);
    EXPECT_EQ(reader.BoxesSeen(), 0u);
}

TEST(IsoReader, ReadsAFewBlocksOfAFile) {
    // The movie box last, after a megabyte of media data: the head, then
    // the movie box's block.
    TempDir dir;
    IsoParams params;
    params.movieLast = true;
    params.mediaBytes = 1 << 20;
    WriteFile(dir / "last.mp4", IsoMovie(params));
    FileSource file;
    ASSERT_TRUE(file.Open(dir / "last.mp4"));
    CountingSource counted(file);
    CIsoReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted, dir / "last.mp4"));
    EXPECT_LE(file.BytesFetched(), 2 * FileSource::kBlockSize);
    EXPECT_EQ(reader.Summary.DurationMs, 5000);
}

} // namespace
} // namespace vidarium::testing

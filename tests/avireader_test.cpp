#include "audioformattags.h"
#include "avireader.h"
#include "builders.h"
#include "bytesource.h"
#include "readererror.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace vidarium::testing {
namespace {

struct Loaded {
    bool ok = false;
    CAVIHeaderReader reader;
};

Loaded LoadBytes(const Bytes& bytes) {
    Loaded loaded;
    MemorySource source(bytes);
    loaded.ok = loaded.reader.LoadFromSource(source, "memory.avi");
    return loaded;
}

Bytes VideoStrl(std::string_view handler = "XVID", std::uint32_t scale = 1, std::uint32_t rate = 25,
                std::int32_t width = 320, std::int32_t height = 240) {
    return List("strl", {Chunk("strh", StreamHeaderPayload("vids", handler, scale, rate)),
                         Chunk("strf", BitmapInfoPayload(width, height, handler))});
}

Bytes AudioStrl(std::uint16_t tag = 1, std::uint16_t channels = 2, std::uint32_t rate = 44100) {
    return List("strl", {Chunk("strh", StreamHeaderPayload("auds", "", 1, rate)),
                         Chunk("strf", WaveFormatPayload(tag, channels, rate, rate * 4))});
}

Bytes Avih(std::uint32_t microSecPerFrame = 40000, std::uint32_t frames = 100) {
    return Chunk("avih", AviMainHeaderPayload(microSecPerFrame, frames));
}

TEST(AviReader, ModernLengthIsTheLongerStreams) {
    // Ten seconds of video; the sound's header may say it runs longer, but
    // not more than twice as long.
    for (const auto& [soundSeconds, expected] :
         {std::pair{0, 10000}, std::pair{11, 11000}, std::pair{25, 10000}}) {
        AviParams params;
        params.audioSamples = static_cast<std::uint32_t>(soundSeconds) * params.samplesPerSec;
        const auto loaded = LoadBytes(AviFile(params));
        ASSERT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.reader.StreamSummary(1 << 20).DurationMs, expected) << soundSeconds;
    }
}

TEST(AviReader, ReadsTheUsualLayout) {
    AviParams params;
    params.videoHandler = "xvid";
    params.width = 640;
    params.height = -480;
    params.rate = 30000;
    params.scale = 1001;
    params.totalFrames = 1500;
    const auto loaded = LoadBytes(AviFile(params));
    ASSERT_TRUE(loaded.ok);
    const auto& r = loaded.reader;
    EXPECT_EQ(r.DurationMs, 60000u);
    EXPECT_NEAR(r.FrameRate, 29.97003, 1e-5);
    EXPECT_EQ(std::memcmp(r.VideoStreamHeader.fccHandler.data(), "xvid", 4), 0);
    EXPECT_EQ(+r.VideoFormat.biWidth, 640);
    EXPECT_EQ(+r.VideoFormat.biHeight, -480);
    EXPECT_EQ(+r.AudioFormat.wFormatTag, 0x55);
    EXPECT_EQ(+r.AudioFormat.nChannels, 2);
    EXPECT_EQ(+r.AudioFormat.nSamplesPerSec, 44100u);
    EXPECT_EQ(+r.AudioFormat.nAvgBytesPerSec, 16000u);
    EXPECT_TRUE(r.HasMainHeader && r.HasVideoStreamHeader && r.HasAudioStreamHeader);
}

TEST(AviReader, DurationRoundsHalfToEvenInExtendedPrecision) {
    struct Case {
        std::uint32_t microSecPerFrame;
        std::uint32_t frames;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {40000, 1500, 60000},
        {2500, 1, 2}, // 2.5 goes to the even neighbour
        {1500, 1, 2}, // 1.5 goes to 2
        {3500, 1, 4},
        {66667, 1500, 100001}, // 100000.5 exactly, but not in extended precision
        {0, 1000, 0},
        {1000000, 4294967, 4294967000},
    };
    for (const Case& c : cases) {
        AviParams params;
        params.microSecPerFrame = c.microSecPerFrame;
        params.totalFrames = c.frames;
        const auto loaded = LoadBytes(AviFile(params));
        ASSERT_TRUE(loaded.ok) << c.microSecPerFrame;
        EXPECT_EQ(loaded.reader.DurationMs, c.expected) << c.microSecPerFrame << " x " << c.frames;
    }
}

TEST(AviReader, DurationBeyond32BitsIsTheReaderError) {
    AviParams params;
    params.microSecPerFrame = 1000000;
    params.totalFrames = 4294968; // 4,294,968,000 ms
    MemorySource source(AviFile(params));
    CAVIHeaderReader reader;
    try {
        reader.LoadFromSource(source, "big.avi");
        FAIL() << "expected the reader error";
    } catch (const ReaderError& error) {
        EXPECT_EQ(error.Message(), "Exception: CAVIHeaderReader.LoadFromFile(): File: big.avi");
        EXPECT_STREQ(
            error.what(),
            "Exception: CAVIHeaderReader.LoadFromFile(): File: big.avi (avireader, line 246)");
    }
}

TEST(AviReader, FrameRateFromTheVideoStreamHeader) {
    struct Case {
        std::uint32_t rate;
        std::uint32_t scale;
        double expected;
    };
    const Case cases[] = {
        {25, 0, 25.0}, {25, 1, 25.0}, {24000, 1001, 24000.0 / 1001.0}, {0, 0, 0.0}};
    for (const Case& c : cases) {
        AviParams params;
        params.rate = c.rate;
        params.scale = c.scale;
        const auto loaded = LoadBytes(AviFile(params));
        ASSERT_TRUE(loaded.ok);
        EXPECT_DOUBLE_EQ(loaded.reader.FrameRate, c.expected);
    }
}

TEST(AviReader, RefusesWhatIsNotAnAviWithBothStreams) {
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Bytes hdrlVideoOnly = List("hdrl", {Avih(), VideoStrl()});
    const Bytes hdrlAudioOnly = List("hdrl", {Avih(), AudioStrl()});
    const Bytes hdrlNoMain = List("hdrl", {VideoStrl(), AudioStrl()});
    const Case cases[] = {
        {"empty", {}},
        {"eleven bytes",
         [] {
             Bytes b = AviFile();
             b.resize(11);
             return b;
         }()},
        {"RIFX",
         [] {
             Bytes b = AviFile();
             b[3] = 'X';
             return b;
         }()},
        {"AVIX form", Riff("AVIX", {List("hdrl", {Avih(), VideoStrl(), AudioStrl()})})},
        {"WAVE form", Riff("WAVE", {Chunk("fmt ", WaveFormatPayload(1, 2, 44100, 176400))})},
        {"video only", Riff("AVI ", {hdrlVideoOnly})},
        {"audio only", Riff("AVI ", {hdrlAudioOnly})},
        {"no main header", Riff("AVI ", {hdrlNoMain})},
        {"truncated avih",
         Riff("AVI ", {List("hdrl", {VideoStrl(), AudioStrl(), Chunk("avih", Repeat(0, 20))})})},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(c.bytes);
        EXPECT_FALSE(loaded.ok) << c.name;
        EXPECT_EQ(loaded.reader.DurationMs, 0u) << c.name;
        EXPECT_EQ(loaded.reader.FrameRate, 0.0) << c.name;
    }
}

TEST(AviReader, LastStreamOfEachKindWins) {
    const Bytes file = Riff("AVI ", {List("hdrl", {Avih(), VideoStrl("AAAA"), AudioStrl(1, 1, 8000),
                                                   VideoStrl("BBBB"), AudioStrl(0x55, 2, 48000)})});
    const auto loaded = LoadBytes(file);
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(std::memcmp(loaded.reader.VideoStreamHeader.fccHandler.data(), "BBBB", 4), 0);
    EXPECT_EQ(+loaded.reader.AudioFormat.wFormatTag, 0x55);
    EXPECT_EQ(+loaded.reader.AudioFormat.nSamplesPerSec, 48000u);
    EXPECT_EQ(+loaded.reader.AudioStreamHeader.dwRate, 48000u);
}

TEST(AviReader, StreamTypeDecidesHowAFormatIsRead) {
    // A text stream between video and audio: its strf is passed over.
    const Bytes textStrl = List("strl", {Chunk("strh", StreamHeaderPayload("txts", "", 1, 1)),
                                         Chunk("strf", WaveFormatPayload(0x2000, 6, 1, 1))});
    auto loaded =
        LoadBytes(Riff("AVI ", {List("hdrl", {Avih(), VideoStrl(), textStrl, AudioStrl(1)})}));
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(+loaded.reader.AudioFormat.wFormatTag, 1);
    EXPECT_EQ(std::memcmp(loaded.reader.CurrentStreamType.data(), "auds", 4), 0);

    // A strf before any strh is passed over, whatever the previous file left.
    CAVIHeaderReader reader;
    MemorySource first(AviFile());
    ASSERT_TRUE(reader.LoadFromSource(first, "a.avi"));
    MemorySource second(
        Riff("AVI ",
             {List("hdrl", {Avih(), Chunk("strf", WaveFormatPayload(1, 1, 1, 1)), VideoStrl()})}));
    EXPECT_FALSE(reader.LoadFromSource(second, "b.avi"));
    EXPECT_FALSE(reader.HasAudioFormat);
    EXPECT_EQ(+reader.AudioFormat.nSamplesPerSec, 0u);
}

TEST(AviReader, ShortFormatsLeaveTheRestZero) {
    // A 16-byte audio format has no cbSize; an audio strf of size 0 sets the
    // flag with an all-zero format and then ends its list.
    const Bytes shortAudio =
        List("strl", {Chunk("strh", StreamHeaderPayload("auds", "", 1, 8000)),
                      Chunk("strf", WaveFormatPayload(1, 1, 8000, 8000, false))});
    auto loaded = LoadBytes(Riff("AVI ", {List("hdrl", {Avih(), VideoStrl(), shortAudio})}));
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(+loaded.reader.AudioFormat.cbSize, 0);
    EXPECT_EQ(+loaded.reader.AudioFormat.nSamplesPerSec, 8000u);

    const Bytes emptyAudio = List("strl", {Chunk("strh", StreamHeaderPayload("auds", "", 1, 8000)),
                                           Chunk("strf", {}), Chunk("JUNK", Repeat(0, 4))});
    loaded = LoadBytes(Riff("AVI ", {List("hdrl", {Avih(), VideoStrl(), emptyAudio})}));
    ASSERT_TRUE(loaded.ok);
    EXPECT_TRUE(loaded.reader.HasAudioFormat);
    EXPECT_EQ(+loaded.reader.AudioFormat.wFormatTag, 0);
}

TEST(AviReader, ChunkWalkQuirks) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool expected;
    };
    const Case cases[] = {
        // A zero-sized chunk ends its list: the audio strl after it is never seen.
        {"size 0 ends the list",
         Riff("AVI ", {List("hdrl", {Avih(), VideoStrl(), Chunk("JUNK", {}), AudioStrl()})}),
         false},
        // ... but only its own list: the next top-level list is still walked.
        {"size 0 inside a nested list",
         Riff("AVI ", {List("hdrl", {Avih(), VideoStrl(), List("odml", {Chunk("dmlh", {})})}),
                       List("hdrl", {AudioStrl()})}),
         true},
        {"odd strn followed by its pad byte",
         Riff(
             "AVI ",
             {List("hdrl", {Avih(),
                            List("strl", {Chunk("strh", StreamHeaderPayload("vids", "DX50", 1, 25)),
                                          Chunk("strf", BitmapInfoPayload(8, 8, "DX50")),
                                          Chunk("strn", Bytes{'a', 'b', 'c'})}),
                            AudioStrl()})}),
         true},
        {"MOVI upper case is not entered",
         Riff("AVI ", {List("hdrl", {Avih(), VideoStrl()}),
                       List("MOVI", {List("hdrl", {AudioStrl()})}), List("hdrl", {})}),
         false},
        {"rec  list is not entered",
         Riff("AVI ", {List("hdrl", {Avih(), VideoStrl()}), List("rec ", {AudioStrl()})}), false},
        {"any other list type is entered",
         Riff("AVI ", {List("INFO", {Chunk("ISFT", Bytes{'x', 0}), Avih()}),
                       List("zzzz", {VideoStrl(), AudioStrl()})}),
         true},
        // Declared size 0: all 56 bytes are still read, then the list ends.
        {"avih is read whole whatever its declared size",
         Riff("AVI ", {List("hdrl", {VideoStrl(), AudioStrl(),
                                     Chunk("avih", AviMainHeaderPayload(40000, 10), 0)})}),
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LoadBytes(c.bytes).ok, c.expected) << c.name;
    }
}

TEST(AviReader, FileCutInsideMoviStillLoads) {
    AviParams params;
    params.movieBytes = 4000;
    Bytes file = AviFile(params);
    file.resize(file.size() - 3000);
    EXPECT_TRUE(LoadBytes(file).ok);
    // RIFF size larger than the file: the bound is the file size.
    Bytes lying = AviFile();
    lying[4] = 0xFF;
    lying[5] = 0xFF;
    lying[6] = 0xFF;
    lying[7] = 0x7F;
    EXPECT_TRUE(LoadBytes(lying).ok);
}

TEST(AviReader, DeepNestingIsBounded) {
    Bytes nested = List("hdrl", {Avih(), VideoStrl(), AudioStrl()});
    for (int i = 0; i < 100; ++i) {
        nested = List("deep", {nested});
    }
    EXPECT_FALSE(LoadBytes(Riff("AVI ", {nested})).ok);

    Bytes shallow = List("hdrl", {Avih(), VideoStrl(), AudioStrl()});
    for (int i = 0; i < 30; ++i) {
        shallow = List("deep", {shallow});
    }
    EXPECT_TRUE(LoadBytes(Riff("AVI ", {shallow})).ok);

    // Thousands of nested list headers that claim more than the file holds.
    Bytes hostile;
    AppendText(hostile, "RIFF");
    AppendLe32(hostile, 0xFFFFFFF0);
    AppendText(hostile, "AVI ");
    for (int i = 0; i < 100000; ++i) {
        AppendText(hostile, "LIST");
        AppendLe32(hostile, 0xFFFFFF00);
        AppendText(hostile, "deep");
    }
    EXPECT_FALSE(LoadBytes(hostile).ok);
}

TEST(AviReader, NothingLeaksIntoTheNextLoad) {
    CAVIHeaderReader reader;
    MemorySource withAudio(AviFile());
    ASSERT_TRUE(reader.LoadFromSource(withAudio, "a.avi"));
    MemorySource withoutAudio(Riff("AVI ", {List("hdrl", {Avih(), VideoStrl()})}));
    EXPECT_FALSE(reader.LoadFromSource(withoutAudio, "b.avi"));
    EXPECT_FALSE(reader.HasAudioFormat);
    EXPECT_EQ(+reader.AudioFormat.wFormatTag, 0);
    EXPECT_EQ(reader.DurationMs, 0u);
}

TEST(AviReader, FileThatCannotBeOpenedIsTheReaderError) {
    CAVIHeaderReader reader;
    const std::filesystem::path missing = "/nonexistent/dir/missing movie.avi";
    try {
        reader.LoadFromFile(missing);
        FAIL() << "expected the reader error";
    } catch (const ReaderError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Exception: CAVIHeaderReader.LoadFromFile(): File: /nonexistent/dir/missing "
                  "movie.avi (avireader, line 246)");
        EXPECT_EQ(error.SourceUnit(), "avireader");
        EXPECT_EQ(error.Line(), 246);
    }
}

} // namespace
// The modern rows name the common WAVE format tags as media tools do, and
// look through WAVEFORMATEXTENSIBLE to its sub-format; the classic AVI row
// keeps its own names.
TEST(SoundFormats, ModernNamesOfTheCommonTags) {
    const std::pair<std::uint16_t, const char*> names[] = {
        {0x0001, "PCM"},       {0x0003, "PCM"},      {0x0050, "MP2"},    {0x0055, "MP3"},
        {0x0011, "IMA ADPCM"}, {0x0002, "MS ADPCM"}, {0x0161, "WMA v2"}, {0x0162, "WMA Pro"},
        {0x0092, "AC-3"},      {0x2001, "DTS"},      {0x00FF, "AAC"},    {0xF1AC, "FLAC"},
        {0x0006, "A-law"},     {0x1234, "0x1234"},
    };
    for (const auto& [tag, name] : names) {
        EXPECT_EQ(SoundFormatName(tag), name) << tag;
    }
    EXPECT_EQ(AudioFormatTagName(0x0050), "80");
    EXPECT_EQ(AudioFormatTagName(0x2000), "AC3");

    Bytes extensible;
    AppendLe16(extensible, 0xFFFE);
    extensible.resize(16, 0);
    AppendLe16(extensible, 22);
    extensible.resize(24, 0);
    AppendLe16(extensible, 0x0003); // the sub-format GUID's tag
    extensible.resize(40, 0);
    EXPECT_EQ(FormatTagOf(extensible), 0x0003);
    extensible.resize(20); // cut before the sub-format
    EXPECT_EQ(FormatTagOf(extensible), 0xFFFE);
}

} // namespace vidarium::testing

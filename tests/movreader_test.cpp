#include "builders.h"
#include "bytesource.h"
#include "loadedmovie.h"
#include "movreader.h"
#include "readererror.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace vidarium::testing {
namespace {

using Loaded = LoadedMovie;

Loaded LoadBytes(const Bytes& bytes) {
    return LoadMovie(bytes);
}

std::string Code(const FourCC& code) {
    return std::string(reinterpret_cast<const char*>(code.data()), 4);
}

Bytes VideoTrack(std::uint32_t scale = 600, std::uint32_t duration = 6000,
                 std::string_view format = "avc1", std::string_view compressor = "H.264") {
    return Track("vide", scale, duration, VideoDescriptions(format, 640, 480, compressor));
}

Bytes SoundTrack(std::uint32_t scale = 44100, std::uint32_t duration = 441000,
                 const SoundParams& params = {}) {
    return Track("soun", scale, duration, SoundDescriptions(params));
}

Bytes Movie(std::uint32_t scale, std::uint32_t duration, std::initializer_list<Bytes> rest) {
    Bytes moov = Atom("mvhd", TimeHeaderPayload(scale, duration));
    for (const Bytes& part : rest) {
        moov.insert(moov.end(), part.begin(), part.end());
    }
    return Atom("moov", moov);
}

TEST(QuickTimeReader, ReadsAMovie) {
    const Bytes file = Concat(
        {Atom("ftyp", Bytes{'q', 't', ' ', ' ', 0, 0, 0, 0}),
         Movie(600, 6000,
               {VideoTrack(), SoundTrack(),
                Container("udta", {UserDataItem("\xA9nam", "Beach"), UserDataItem("\xA9"
                                                                                  "day",
                                                                                  "2024")})}),
         Atom("mdat", Bytes(100, 0))});
    const auto loaded = LoadBytes(file);
    ASSERT_TRUE(loaded.ok);
    const auto& r = *loaded.reader;
    EXPECT_EQ(r.DurationMs, 10000u);
    EXPECT_TRUE(r.HasVideo);
    EXPECT_TRUE(r.HasAudio);
    EXPECT_EQ(Code(r.VideoFourCC), "avc1");
    EXPECT_EQ(r.VideoCodecName, "H.264");
    EXPECT_EQ(+r.VideoDesc.Width, 640);
    EXPECT_EQ(+r.VideoDesc.Height, 480);
    EXPECT_EQ(+r.VideoDesc.Depth, 24);
    EXPECT_EQ(r.VideoTrackSeconds, 10u);
    EXPECT_EQ(Code(r.AudioFourCC), "twos");
    EXPECT_EQ(r.AudioCodecName, "Uncompressed");
    EXPECT_EQ(+r.SoundDesc.SampleRate, 44100u);
    EXPECT_EQ(+r.SoundDesc.Channels, 2);
    EXPECT_EQ(+r.SoundDesc.SampleSize, 16);
    EXPECT_EQ(r.AudioBitRate, 0u);
    EXPECT_EQ(r.UserData, (std::vector<MetadataItem>{{"Full Name", "Beach"}, {"Date", "2024"}}));
}

TEST(QuickTimeReader, MovieDurationRounding) {
    struct Case {
        std::uint32_t scale, duration, expected;
        bool ok;
    };
    const Case cases[] = {
        {600, 3003, 5005, true}, {2000, 1, 0, false}, {2000, 3, 2, true},
        {2000, 5, 2, true},      {0, 5000, 0, false}, {1, 4294967, 4294967000U, true},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(Movie(c.scale, c.duration, {VideoTrack()}));
        EXPECT_EQ(loaded.ok, c.ok) << c.scale << "/" << c.duration;
        EXPECT_EQ(loaded.reader->DurationMs, c.expected) << c.scale << "/" << c.duration;
    }
    MemorySource tooLong(Movie(1, 4294968, {VideoTrack()}));
    CQuickTimeReader reader;
    EXPECT_THROW(reader.LoadFromSource(tooLong, "x.mov"), ReaderError);
}

TEST(QuickTimeReader, LongestTrackOfEachKindWins) {
    struct Case {
        const char* name;
        Bytes first, second;
        const char* chosen;
    };
    const Case cases[] = {
        {"tie goes to the later", VideoTrack(1, 10, "AAAA"), VideoTrack(1, 10, "BBBB"), "BBBB"},
        {"longer first", VideoTrack(1, 12, "AAAA"), VideoTrack(1, 10, "BBBB"), "AAAA"},
        {"whole seconds", VideoTrack(10, 104, "AAAA"), VideoTrack(10, 96, "BBBB"), "BBBB"},
        {"no media header counts 0 s", VideoTrack(1, 1, "AAAA"),
         Track("vide", 0, 0, VideoDescriptions("BBBB", 1, 1, "x"), "mhlr", false), "AAAA"},
        {"handler not mhlr is ignored", VideoTrack(1, 1, "AAAA"),
         Track("vide", 1, 50, VideoDescriptions("BBBB", 1, 1, "x"), "dhlr"), "AAAA"},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(Movie(1, 60, {c.first, c.second}));
        ASSERT_TRUE(loaded.ok) << c.name;
        EXPECT_EQ(Code(loaded.reader->VideoFourCC), c.chosen) << c.name;
    }
    // All handlers zero: no track is chosen, so the load is refused.
    const auto none =
        LoadBytes(Movie(1, 60, {Track("vide", 1, 5, VideoDescriptions("AAAA", 1, 1, "x"), "")}));
    EXPECT_FALSE(none.ok);
    EXPECT_FALSE(none.reader->HasVideo);
}

TEST(QuickTimeReader, SoundOnlyMovie) {
    const auto loaded = LoadBytes(Movie(1000, 2000, {SoundTrack()}));
    ASSERT_TRUE(loaded.ok);
    EXPECT_FALSE(loaded.reader->HasVideo);
    EXPECT_EQ(loaded.reader->VideoCodecName, "");
    EXPECT_EQ(+loaded.reader->VideoDesc.Width, 0);
}

TEST(QuickTimeReader, SoundDescriptions) {
    struct Case {
        SoundParams params;
        std::uint32_t bitRate;
        std::uint32_t sampleRate;
        const char* codecName;
    };
    SoundParams v1;
    v1.format = "ima4";
    v1.version = 1;
    v1.samplesPerPacket = 64;
    v1.bytesPerFrame = 68;
    SoundParams ac44;
    ac44.sampleRateFixed = 0xAC440000;
    ac44.format = "alaw";
    SoundParams msAdpcm;
    msAdpcm.format = std::string_view("ms\0\x02", 4);
    SoundParams msOther;
    msOther.format = std::string_view("ms\0\x03", 4);
    SoundParams unlisted;
    unlisted.format = "xyz1";
    // A bit rate the description cannot give is unknown (0), not a lost row.
    SoundParams noSamples = v1;
    noSamples.samplesPerPacket = 0;
    SoundParams overflowing = v1;
    overflowing.samplesPerPacket = 1;
    overflowing.bytesPerFrame = 0x10000000;
    SoundParams largestThatFits = v1; // 44100 / 441 * 5368709 * 8 = 4294967200
    largestThatFits.samplesPerPacket = 441;
    largestThatFits.bytesPerFrame = 5368709;
    const Case cases[] = {
        {v1, 374850, 44100, "IMA 4:1"},
        {noSamples, 0, 44100, "IMA 4:1"},
        {overflowing, 0, 44100, "IMA 4:1"},
        {largestThatFits, 4294967200U, 44100, "IMA 4:1"},
        {ac44, 0, 44100, "aLaw 2:1"},
        {msAdpcm, 0, 44100, "Microsoft ADPCM-ACM"},
        {msOther, 0, 44100, ""},
        {unlisted, 0, 44100, ""},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(Movie(1, 10, {SoundTrack(1, 10, c.params)}));
        ASSERT_TRUE(loaded.ok) << c.bitRate;
        EXPECT_EQ(loaded.reader->AudioBitRate, c.bitRate) << c.codecName;
        EXPECT_EQ(+loaded.reader->SoundDesc.SampleRate, c.sampleRate) << c.codecName;
        EXPECT_EQ(loaded.reader->AudioCodecName, c.codecName);
        EXPECT_EQ(loaded.reader->DurationMs, 10000u);
    }
}

TEST(QuickTimeReader, SampleDescriptionsAreDecodedWhole) {
    // Every field in host order, none left as stored.
    const auto loaded = LoadBytes(Movie(1, 10, {VideoTrack()}));
    ASSERT_TRUE(loaded.ok);
    const VideoSampleDesc& video = loaded.reader->VideoDesc;
    EXPECT_EQ(video.Vendor, 0x6170706CU); // "appl"
    EXPECT_EQ(video.SpatialQuality, 512U);
    EXPECT_EQ(video.HorizontalResolution, 72U << 16);
    EXPECT_EQ(video.FrameCount, 1U);
    EXPECT_EQ(video.ColorTableId, 0xFFFFU);
    SoundParams v1;
    v1.version = 1;
    v1.samplesPerPacket = 1;
    v1.bytesPerFrame = 4;
    const auto sound = LoadBytes(Movie(1, 10, {SoundTrack(1, 10, v1)}));
    ASSERT_TRUE(sound.ok);
    EXPECT_EQ(sound.reader->SoundDesc.BytesPerSample, 2U);
    EXPECT_EQ(sound.reader->SoundDesc.BytesPerFrame, 4U);
}

TEST(QuickTimeReader, SoundCodecNames) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"none", "Uncompressed"},
        {"raw ", "Uncompressed"},
        {"sowt", "Uncompressed"},
        {"MAC3", "MACE 3:1"},
        {"fl64", "64-bit floating point"},
        {"ulaw", "uLaw 2:1"},
        {std::string_view("ms\0\x11", 4), "DVI/Intel IMAADPCM-ACM"},
        {std::string_view("ms\0\x55", 4), "MPEG Layer 3 (old)"},
        {".mp3", "MPEG Layer 3"},
        {"QDM2", "QDesign Music 2"},
        {"Qclp", "QUALCOMM PureVoice"},
        {"raw\0", ""},
        {"mp4a", ""},
    };
    for (const auto& [code, name] : cases) {
        FourCC fourcc{};
        std::memcpy(fourcc.data(), code.data(), 4);
        EXPECT_EQ(CQuickTimeReader::SoundCodecName(fourcc), name) << name;
    }
}

TEST(QuickTimeReader, CompressorName) {
    const std::pair<std::string_view, const char*> cases[] = {
        {"  Sorenson Video 3 ", "Sorenson Video 3"},
        {"0123456789012345678901234567890", "0123456789012345678901234567890"},
        {"", ""},
    };
    for (const auto& [stored, name] : cases) {
        // The length byte is wrong on purpose: it is not consulted.
        const auto loaded = LoadBytes(
            Movie(1, 10, {Track("vide", 1, 10, VideoDescriptions("SVQ3", 1, 1, stored, 3))}));
        ASSERT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.reader->VideoCodecName, name);
    }
}

TEST(QuickTimeReader, FileWalkQuirks) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool ok;
    };
    const Bytes movie = Movie(600, 600, {VideoTrack()});
    const Case cases[] = {
        // Media data first: its first bytes are read as a child header, and
        // the top level then goes on after it.
        {"mdat first",
         Concat({Atom("mdat", Concat({Bytes{0, 0, 0, 12, 'j', 'u', 'n', 'k'}, Bytes(200, 7)})),
                 movie}),
         true},
        {"mdat holding a huge child header",
         Concat({Atom("mdat",
                      Concat({Bytes{0xFF, 0xFF, 0xFF, 0xF0, 'm', 'o', 'o', 'v'}, Bytes(50, 0)})),
                 movie}),
         true},
        {"64-bit marker without a 64-bit size", Concat({Atom("mdat", Bytes(16, 0), 1), movie}),
         false},
        {"size 0 before moov", Concat({Atom("free", Bytes(16, 0), 0), movie}), false},
        {"not QuickTime at all", Bytes(500, 'x'), false},
        {"empty", {}, false},
        // A child running past its container: the container's children are
        // read to its own end, then the level above goes on.
        {"child past its container",
         Concat({Container("moov", {Atom("mvhd", TimeHeaderPayload(600, 600)),
                                    Container("trak", {Atom("tkhd", Bytes(84, 0))}, 400)}),
                 Atom("moov", VideoTrack())}),
         true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LoadBytes(c.bytes).ok, c.ok) << c.name;
    }
}

TEST(QuickTimeReader, SixtyFourBitAtoms) {
    const Bytes movie = Movie(600, 1200, {VideoTrack()});
    const Bytes mdat64 = Atom64("mdat", Bytes(300, 7));
    struct Case {
        const char* name;
        Bytes bytes;
        bool ok;
        // Top-level types the walk made, in order.
        std::vector<std::string> topLevel;
    };
    const Case cases[] = {
        {"64-bit media data before the movie", Concat({mdat64, movie}), true, {"mdat", "moov"}},
        {"64-bit movie container",
         Atom64("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 1200)), VideoTrack()})),
         true,
         {"moov"}},
        {"64-bit data atom inside a container",
         Atom("moov", Concat({Atom64("mvhd", TimeHeaderPayload(600, 1200)), VideoTrack()})),
         true,
         {"moov"}},
        {"64-bit size below 16", Concat({Atom64("mdat", {}, 15), movie}), false, {"mdat"}},
        {"64-bit size of 16", Concat({Atom64("free", {}), movie}), true, {"free", "moov"}},
        {"64-bit size past the end of the file",
         Concat({movie, Atom64("mdat", Bytes(40, 0), 1ULL << 40)}),
         true,
         {"moov", "mdat"}},
        {"64-bit end past the largest position",
         Concat({Atom64("mdat", Bytes(40, 0), ~0ULL), movie}),
         false,
         {"mdat"}},
        {"cut inside its 16-byte header",
         Concat({movie, Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0}}),
         true,
         {"moov", "mdat"}},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(c.bytes);
        EXPECT_EQ(loaded.ok, c.ok) << c.name;
        std::vector<std::string> topLevel;
        for (const AtomNode* node = loaded.reader->Root.FirstChild; node; node = node->Next) {
            topLevel.push_back(Code(node->AtomType));
        }
        EXPECT_EQ(topLevel, c.topLevel) << c.name;
        if (c.ok) {
            EXPECT_EQ(loaded.reader->DurationMs, 2000u) << c.name;
            EXPECT_EQ(+loaded.reader->VideoDesc.Width, 640) << c.name;
        }
    }
    // The payload length of a 64-bit atom is its size less 16.
    const auto loaded = LoadBytes(Concat({mdat64, movie}));
    EXPECT_EQ(loaded.reader->Root.FirstChild->Size, 300u);
    // Inside expanded data the 32-bit rule holds: the 64-bit form is a size
    // below 8 there, which ends the memory walk.
    const auto compressed = LoadBytes(CompressedMovie(Concat(
        {Atom("free", {}), Atom64("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 1200))}))})));
    EXPECT_FALSE(compressed.ok);
    EXPECT_EQ(compressed.reader->DurationMs, 0u);
}

TEST(QuickTimeReader, RecognisesItsOwnContainer) {
    const std::pair<const char*, Bytes> cases[] = {
        {"ftyp only", Atom("ftyp", Bytes{'q', 't', ' ', ' '})},
        {"mdat only", Atom("mdat", Bytes(20, 0))},
        {"moov whose tracks are not chosen",
         Movie(600, 600, {Track("vide", 600, 600, VideoDescriptions("mp4v", 1, 1, ""), "")})},
        {"moov of size 0", Atom("moov", {}, 0)},
    };
    for (const auto& [name, bytes] : cases) {
        const auto loaded = LoadBytes(bytes);
        EXPECT_FALSE(loaded.ok) << name;
        EXPECT_TRUE(loaded.reader->RecognisedContainer()) << name;
    }
    for (const Bytes& other : {Atom("free", Bytes(20, 0)), Bytes(100, 0), Bytes{}}) {
        EXPECT_FALSE(LoadBytes(other).reader->RecognisedContainer());
    }
    // A fault after the walk keeps what the walk made.
    MemorySource overflowing(Movie(1, 4294968, {VideoTrack()}));
    CQuickTimeReader reader;
    EXPECT_THROW(reader.LoadFromSource(overflowing, "x.mov"), ReaderError);
    EXPECT_TRUE(reader.RecognisedContainer());
}

TEST(QuickTimeReader, HostileSizesAndNesting) {
    // A tiny file declaring a 2 GiB data atom: nothing is allocated for it.
    const auto huge =
        LoadBytes(Concat({Atom("moov", Atom("mvhd", TimeHeaderPayload(1, 5), 0x80000000U))}));
    EXPECT_FALSE(huge.ok);
    // Atoms nested thousands deep.
    Bytes nested = Movie(1, 5, {VideoTrack()});
    for (int i = 0; i < 5000; ++i) {
        nested = Atom("trak", nested);
    }
    EXPECT_FALSE(LoadBytes(nested).ok);
    // Millions of empty atoms: the tree stops growing at its bound.
    Bytes many;
    for (int i = 0; i < 1'200'000; ++i) {
        AppendBe32(many, 8);
        AppendText(many, "free");
    }
    const auto crowded = LoadBytes(many);
    EXPECT_FALSE(crowded.ok);
}

TEST(QuickTimeReader, MissingFileIsTheReaderError) {
    CQuickTimeReader reader;
    try {
        reader.LoadFromFile("/nonexistent/clip.mov");
        FAIL();
    } catch (const ReaderError& error) {
        EXPECT_STREQ(error.what(), "Exception: CQuickTimeReader.LoadFromFile(): File: "
                                   "/nonexistent/clip.mov (movreader, line 660)");
    }
}

TEST(QuickTimeReader, TreeOperations) {
    CQuickTimeReader reader;
    AtomNode* first = reader.AddChildAtom(&reader.Root);
    AtomNode* second = reader.AddChildAtom(&reader.Root);
    AtomNode* third = reader.AddChildAtom(&reader.Root);
    std::memcpy(second->AtomType.data(), "trak", 4);
    std::memcpy(third->AtomType.data(), "trak", 4);
    EXPECT_EQ(reader.Root.FirstChild, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(second->Next, third);
    EXPECT_EQ(first->Last, third);
    EXPECT_EQ(CQuickTimeReader::FindChildAtom(&reader.Root, "trak"), second);
    EXPECT_EQ(CQuickTimeReader::FindChildAtom(&reader.Root, "moov"), nullptr);
    EXPECT_TRUE(CQuickTimeReader::IsContainerAtom({'m', 'd', 'a', 't'}));
    EXPECT_FALSE(CQuickTimeReader::IsContainerAtom({'M', 'O', 'O', 'V'}));
    EXPECT_TRUE(CQuickTimeReader::IsDataAtom({0xA9, 'x', 'y', 'z'}));
    EXPECT_FALSE(CQuickTimeReader::IsDataAtom({'m', 'v', 'h', 0}));
}

// --- compressed movie headers and user data ----------------------------------

TEST(QuickTimeCompressed, SameResultsAsTheUncompressedHeader) {
    const Bytes movie = Movie(600, 3003,
                              {VideoTrack(), SoundTrack(),
                               Container("udta", {UserDataItem("\xA9"
                                                               "cpy",
                                                               "(c) us")})});
    const auto plain = LoadBytes(movie);
    ASSERT_TRUE(plain.ok);
    const std::uint32_t realSize = static_cast<std::uint32_t>(movie.size());
    for (const std::uint32_t declared : {realSize, realSize / 3, 0U, realSize + 1000}) {
        const auto compressed = LoadBytes(CompressedMovie(movie, declared));
        ASSERT_TRUE(compressed.ok) << declared;
        const auto& a = *plain.reader;
        const auto& b = *compressed.reader;
        EXPECT_EQ(b.DurationMs, a.DurationMs);
        EXPECT_EQ(b.VideoFourCC, a.VideoFourCC);
        EXPECT_EQ(b.VideoCodecName, a.VideoCodecName);
        EXPECT_EQ(+b.VideoDesc.Width, +a.VideoDesc.Width);
        EXPECT_EQ(b.AudioFourCC, a.AudioFourCC);
        EXPECT_EQ(+b.SoundDesc.SampleRate, +a.SoundDesc.SampleRate);
        EXPECT_EQ(b.UserData, a.UserData);
        EXPECT_EQ(b.UserData, (std::vector<MetadataItem>{{"Copyright", "(c) us"}}));
        const AtomNode* cmvd = CQuickTimeReader::FindChildAtom(
            CQuickTimeReader::FindChildAtom(b.Root.FirstChild, "cmov"), "cmvd");
        ASSERT_NE(cmvd, nullptr);
        EXPECT_EQ(cmvd->Size, realSize);
        EXPECT_FALSE(cmvd->Borrowed);
        ASSERT_NE(cmvd->FirstChild, nullptr);
        EXPECT_TRUE(cmvd->FirstChild->Borrowed);
    }
}

TEST(QuickTimeCompressed, FaultsAreAbsorbed) {
    const Bytes movie = Movie(600, 3003, {VideoTrack()});
    Bytes corrupt = CompressedMovie(movie);
    corrupt[corrupt.size() - 20] ^= 0x55;
    Bytes truncatedStream = CompressedMovie(movie);
    // Shorten the cmvd payload from inside: fix its size and the parents'.
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"corrupt stream", corrupt},
        {"method not zlib", CompressedMovie(movie, std::nullopt, "lzma")},
        {"declared size of 2 GiB", CompressedMovie(movie, 0x80000000U)},
        {"no dcom",
         Container("moov", {Container("cmov", {Atom("cmvd", Concat({Bytes{0, 0, 0, 0},
                                                                    ZlibCompress(movie)}))})})},
        {"stream ends early",
         Container("moov",
                   {Container("cmov", {Atom("dcom", Bytes{'z', 'l', 'i', 'b'}),
                                       Atom("cmvd",
                                            [&] {
                                                Bytes payload{0, 0, 0, 0};
                                                const Bytes z = ZlibCompress(movie);
                                                payload.insert(payload.end(), z.begin(),
                                                               z.end() - 10);
                                                return payload;
                                            }())})})},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(c.bytes);
        EXPECT_FALSE(loaded.ok) << c.name;
        const AtomNode* cmov =
            CQuickTimeReader::FindChildAtom(loaded.reader->Root.FirstChild, "cmov");
        ASSERT_NE(cmov, nullptr) << c.name;
        const AtomNode* cmvd = CQuickTimeReader::FindChildAtom(cmov, "cmvd");
        ASSERT_NE(cmvd, nullptr) << c.name;
        EXPECT_EQ(cmvd->FirstChild, nullptr) << c.name;
    }
}

TEST(QuickTimeCompressed, MemoryWalk) {
    // Further atoms after the movie are read up to the end of the data.
    const Bytes extra = Concat({Movie(600, 600, {}), Container("udta", {UserDataItem("\xA9"
                                                                                     "inf",
                                                                                     "more")})});
    auto loaded = LoadBytes(CompressedMovie(Concat({extra, Atom("moov", VideoTrack())})));
    EXPECT_TRUE(loaded.ok);
    EXPECT_EQ(CommentsOf(*loaded.reader), "Information: more\r\n");

    // A size below 8 ends the walk; what came before is used.
    const Bytes broken =
        Concat({Movie(600, 1200, {VideoTrack()}), Bytes{0, 0, 0, 4, 'b', 'a', 'd', '!'},
                Container("udta", {UserDataItem("\xA9nam", "never")})});
    loaded = LoadBytes(CompressedMovie(broken));
    EXPECT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.reader->DurationMs, 2000u);
    EXPECT_EQ(CommentsOf(*loaded.reader), "");

    // An atom claiming more than its range is cut at the range's end.
    const Bytes overlong =
        Container("udta", {Atom("\xA9nam", Bytes{0, 4, 0, 0, 'l', 'o', 'n', 'g'}, 4000)});
    loaded = LoadBytes(CompressedMovie(Concat({Movie(600, 600, {VideoTrack()}), overlong})));
    EXPECT_EQ(CommentsOf(*loaded.reader), "Full Name: long\r\n");

    // An empty text item in expanded data still adds its line.
    loaded = LoadBytes(CompressedMovie(Movie(600, 600,
                                             {VideoTrack(), Container("udta", {Atom("\xA9"
                                                                                    "aut",
                                                                                    {})})})));
    EXPECT_EQ(CommentsOf(*loaded.reader), "Author: \r\n");
}

TEST(QuickTimeCompressed, NestedAndBombs) {
    // A compressed header inside expanded data inside expanded data: expanded
    // to a bounded depth, never endlessly.
    Bytes inner = Movie(600, 1800, {VideoTrack()});
    for (int i = 0; i < 3; ++i) {
        inner = CompressedMovie(inner);
    }
    auto loaded = LoadBytes(inner);
    EXPECT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.reader->DurationMs, 3000u);
    for (int i = 0; i < 5; ++i) {
        inner = CompressedMovie(inner);
    }
    loaded = LoadBytes(inner);
    EXPECT_FALSE(loaded.ok);

    // A zlib bomb: 300 MiB of zeros compress to a few hundred KiB, built a
    // block at a time. The expansion fails at the budget and keeps nothing.
    const Bytes bomb = CompressedMovieStream(ZlibCompressFilled({}, 0, 300U << 20), 0);
    loaded = LoadBytes(bomb);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.reader->ExpandedBytes(), CQuickTimeReader::kExpansionBudget);
}

TEST(QuickTimeUserData, Items) {
    struct Case {
        const char* name;
        Bytes udta;
        std::string comments;
    };
    const Case cases[] = {
        {"length and language trimmed",
         Container("udta", {Atom("\xA9nam", Bytes{0, 5, 0, 0, 'B', 'e', 'a', 'c', 'h'})}),
         "Full Name: Beach\r\n"},
        {"language removed",
         Container("udta", {Atom("\xA9nam", Bytes{0, 5, 0x15, 0xC7, 'B', 'e', 'a', 'c', 'h'})}),
         "Full Name: Beach\r\n"},
        {"second language record not shown",
         Container("udta", {Atom("\xA9nam",
                                 Bytes{0, 2, 0x55, 0xC4, 'h', 'i', 0, 2, 0x12, 0x34, 'y', 'o'})}),
         "Full Name: hi\r\n"},
        {"too short for the prefix", Container("udta", {Atom("\xA9nam", Bytes{'a', 'b', 'c'})}),
         "Full Name: abc\r\n"},
        {"length past the payload: all of it, zeros as blanks",
         Container("udta", {Atom("\xA9"
                                 "dir",
                                 Bytes{0, 0x20, 0, 0, 'a', 0, 'b', 0, 0})}),
         "Director: a b\r\n"},
        {"unlisted code", Container("udta", {UserDataItem("\xA9xyz", "t")}), "\xA9xyz: t\r\n"},
        {"Edit with any fourth byte",
         Container("udta", {UserDataItem("\xA9"
                                         "ed7",
                                         "v2")}),
         "Edit: v2\r\n"},
        {"Perfomers", Container("udta", {UserDataItem("\xA9prf", "band")}), "Perfomers: band\r\n"},
        {"empty payload read from the file", Container("udta", {Atom("\xA9nam", {})}), ""},
        {"not under udta", Container("meta", {UserDataItem("\xA9nam", "x")}), ""},
        {"inner line breaks kept",
         Container("udta", {UserDataItem("\xA9inf", "a\r\nb"), UserDataItem("\xA9swr", "ffmpeg")}),
         "Information: a\r\nb\r\nSoftware: ffmpeg\r\n"},
    };
    for (const Case& c : cases) {
        const auto loaded = LoadBytes(Movie(600, 600, {VideoTrack(), c.udta}));
        ASSERT_TRUE(loaded.ok) << c.name;
        EXPECT_EQ(CommentsOf(*loaded.reader), c.comments) << c.name;
    }
    // A movie's and a track's user data, in tree order.
    const Bytes trackWithData =
        Atom("trak", Concat({Atom("tkhd", Bytes(84, 0)),
                             Container("udta", {UserDataItem("\xA9nam", "track")})}));
    const auto loaded = LoadBytes(Movie(
        600, 600,
        {Container("udta", {UserDataItem("\xA9nam", "movie")}), VideoTrack(), trackWithData}));
    EXPECT_EQ(CommentsOf(*loaded.reader), "Full Name: movie\r\nFull Name: track\r\n");
}

} // namespace
} // namespace vidarium::testing

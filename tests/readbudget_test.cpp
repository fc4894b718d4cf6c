// A load reads headers only: a multi-gigabyte file costs a few kilobytes.
#include "avireader.h"
#include "builders.h"
#include "bytesource.h"
#include "countingsource.h"
#include "movreader.h"
#include "mpegreader.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <xxhash.h>

#include <fstream>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kFiveGiB = 5ULL << 30;

TEST(ReadBudget, SparseMultiGigabyteAvi) {
    TempDir dir;
    const fs::path path = dir / "huge.avi";
    // The headers, then a "movi" list that runs to past 4 GiB, and an index
    // chunk after it: every seek beyond 2 GiB must work.
    AviParams params;
    params.movieBytes = 0;
    Bytes head = AviFile(params);
    head.resize(head.size() - 20 - 24);        // keep the headers, drop movi and idx1
    const std::uint32_t moviSize = 0xC0000000; // 3 GiB
    Bytes movi;
    AppendText(movi, "LIST");
    AppendLe32(movi, moviSize);
    AppendText(movi, "movi");
    head.insert(head.end(), movi.begin(), movi.end());
    head[4] = 0xF0; // RIFF size near 4 GiB
    head[5] = 0xFF;
    head[6] = 0xFF;
    head[7] = 0xFF;
    WriteFile(path, head);
    fs::resize_file(path, kFiveGiB);
    const std::uint64_t idx1At = head.size() - 4 + moviSize;
    WriteAt(path, idx1At, Chunk("idx1", Repeat(1, 16)));

    FileSource file;
    ASSERT_TRUE(file.Open(path));
    CountingSource counted(file);
    CAVIHeaderReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted, path));
    EXPECT_LT(counted.bytesRead, 4096u);
    EXPECT_EQ(reader.DurationMs, 10000u);
    // The walk read the index chunk's header beyond 3 GiB and the (empty)
    // header after it.
    EXPECT_EQ(counted.Position(), static_cast<std::int64_t>(idx1At + 8 + 16 + 8));
    // The same load through the path.
    EXPECT_TRUE(reader.LoadFromFile(path));
}

TEST(ReadBudget, SparseMultiGigabyteMpeg) {
    TempDir dir;
    const fs::path path = dir / "huge.mpg";
    WriteFile(path, Concat({SequenceHeader(720, 576, 3, 15000), GopHeader(0, 0, 0, 0)}));
    fs::resize_file(path, kFiveGiB);
    WriteAt(path, kFiveGiB - 1000, GopHeader(2, 0, 0, 0));

    FileSource file;
    ASSERT_TRUE(file.Open(path));
    CountingSource counted(file);
    CMPEGHeaderReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted));
    EXPECT_LE(counted.bytesRead, 2 * CMPEGHeaderReader::kWindowSize);
    EXPECT_DOUBLE_EQ(reader.DurationSec, 7200.0);
}

TEST(ReadBudget, SparseQuickTimeWithTheMovieAfter4GiB) {
    TempDir dir;
    const fs::path path = dir / "huge.mov";
    // Two media data atoms of 3.75 GiB each, then the movie header.
    constexpr std::uint32_t kMediaSize = 0xF0000000;
    Bytes mdatHeader;
    AppendBe32(mdatHeader, kMediaSize);
    AppendText(mdatHeader, "mdat");
    WriteFile(path, mdatHeader);
    const Bytes movie =
        Atom("moov",
             Concat({Atom("mvhd", TimeHeaderPayload(600, 36000)),
                     Track("vide", 600, 36000, VideoDescriptions("avc1", 1920, 1080, "H.264"))}));
    const std::uint64_t movieAt = 2ULL * kMediaSize;
    fs::resize_file(path, movieAt + movie.size());
    WriteAt(path, kMediaSize, mdatHeader);
    WriteAt(path, movieAt, movie);

    FileSource file;
    ASSERT_TRUE(file.Open(path));
    CountingSource counted(file);
    CQuickTimeReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted, path));
    EXPECT_LT(counted.bytesRead, 4096u);
    EXPECT_EQ(reader.DurationMs, 60000u);
    EXPECT_EQ(+reader.VideoDesc.Width, 1920);
}

TEST(ReadBudget, SparseQuickTimeWithSixtyFourBitMediaData) {
    TempDir dir;
    const fs::path path = dir / "camera.mov";
    // One media data atom of 5 GiB in the 64-bit form, then the movie header,
    // as a camera writes a long recording.
    const Bytes movie =
        Atom("moov",
             Concat({Atom("mvhd", TimeHeaderPayload(600, 36000)),
                     Track("vide", 600, 36000, VideoDescriptions("avc1", 1920, 1080, "H.264"))}));
    const Bytes ftyp = Atom("ftyp", Bytes{'q', 't', ' ', ' '});
    const Bytes head =
        Concat({ftyp, Atom64("mdat", Bytes{0, 0, 0, 16, 'j', 'u', 'n', 'k'}, kFiveGiB + 16)});
    const std::uint64_t movieAt = ftyp.size() + kFiveGiB + 16;
    WriteFile(path, head);
    fs::resize_file(path, movieAt + movie.size());
    WriteAt(path, movieAt, movie);

    FileSource file;
    ASSERT_TRUE(file.Open(path));
    CountingSource counted(file);
    CQuickTimeReader reader;
    ASSERT_TRUE(reader.LoadFromSource(counted, path));
    EXPECT_LT(counted.bytesRead, 4096u);
    EXPECT_EQ(reader.DurationMs, 60000u);
    EXPECT_EQ(+reader.VideoDesc.Width, 1920);
    EXPECT_EQ(reader.Root.FirstChild->Next->Size, kFiveGiB);
}

// What the file layer did during `load`: its read calls and bytes.
template <typename Load> FileActivity ActivityOf(Load&& load) {
    const FileActivity before = FileSource::Activity();
    load();
    const FileActivity after = FileSource::Activity();
    return {after.Opens - before.Opens, after.ReadCalls - before.ReadCalls,
            after.BytesRead - before.BytesRead};
}

TEST(ReadBudget, FewReadCallsPerFile) {
    TempDir dir;
    // Headers at the start, index or movie header at the end, 1 MiB between.
    AviParams avi;
    avi.movieBytes = 1U << 20;
    WriteFile(dir / "clip.avi", AviFile(avi));
    const Bytes movie =
        Atom("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 6000)),
                             Track("vide", 600, 6000, VideoDescriptions("avc1", 640, 480, "H.264")),
                             Track("soun", 44100, 441000, SoundDescriptions({}))}));
    WriteFile(dir / "last.mov", Concat({Atom("ftyp", Bytes{'q', 't', ' ', ' '}),
                                        Atom("mdat", Bytes(1U << 20, 7)), movie}));
    WriteFile(dir / "first.mov", Concat({Atom("ftyp", Bytes{'q', 't', ' ', ' '}), movie,
                                         Atom("mdat", Bytes(1U << 20, 7))}));
    struct Case {
        const char* name;
        std::uint64_t readCalls;
    };
    // One call for the head block, one for the block at the end, and one
    // that finds the end of the file.
    for (const Case& c : {Case{"clip.avi", 3}, Case{"last.mov", 3}, Case{"first.mov", 2}}) {
        FileSource file;
        ASSERT_TRUE(file.Open(dir / c.name));
        bool loaded = false;
        const FileActivity activity = ActivityOf([&] {
            if (std::string_view(c.name).ends_with(".avi")) {
                CAVIHeaderReader reader;
                loaded = reader.LoadFromSource(file, c.name);
            } else {
                CQuickTimeReader reader;
                loaded = reader.LoadFromSource(file, c.name);
            }
        });
        EXPECT_TRUE(loaded) << c.name;
        EXPECT_LE(activity.ReadCalls, c.readCalls) << c.name;
        EXPECT_LE(activity.BytesRead, 3 * FileSource::kBlockSize) << c.name;
    }

    // An MPEG file of 2 MiB with GOPs near both ends: a small read at each
    // end, and the same play time as from the whole windows.
    WriteFile(dir / "clip.mpg", MpegFile(720, 576, 3, 15000, 10, 70, 2U << 20));
    FileSource file;
    ASSERT_TRUE(file.Open(dir / "clip.mpg"));
    CMPEGHeaderReader reader;
    const FileActivity activity = ActivityOf([&] { EXPECT_TRUE(reader.LoadFromSource(file)); });
    EXPECT_DOUBLE_EQ(reader.DurationSec, 60.0);
    EXPECT_LE(activity.BytesRead, 64U * 1024);
}

TEST(FileLayer, BlocksServeTheFileBytes) {
    TempDir dir;
    Bytes bytes(100'000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    WriteFile(dir / "bytes.bin", bytes);
    FileSource file;
    ASSERT_TRUE(file.Open(dir / "bytes.bin"));
    EXPECT_EQ(file.Size(), 100'000);
    const std::size_t block = FileSource::kBlockSize;
    const std::pair<std::size_t, std::size_t> reads[] = {
        {0, 8},          {8, 100},      {block - 4, 8},  {60'000, 8},  {block - 2, 4},
        {0, 3 * block},  {99'990, 100}, {100'000, 8},    {200'000, 8}, {50'000, block},
        {3, block + 10}, {70'000, 8},   {block * 2, 16}, {12, 1},
    };
    for (const auto& [position, length] : reads) {
        ASSERT_EQ(file.Seek(static_cast<std::int64_t>(position)),
                  static_cast<std::int64_t>(position));
        Bytes got(length, 0xEE);
        const std::size_t count = file.Read(got);
        const std::size_t expected =
            position < bytes.size() ? std::min(length, bytes.size() - position) : 0;
        ASSERT_EQ(count, expected) << position << "+" << length;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(count),
                               bytes.begin() +
                                   static_cast<std::ptrdiff_t>(std::min(position, bytes.size()))))
            << position << "+" << length;
        EXPECT_EQ(file.Position(), static_cast<std::int64_t>(position + count));
    }
}

// The fingerprints are of the bytes a read took anyway: the first block
// once read whole (a small file's all), the last block once a read held it,
// never computed from bytes not read.
TEST(FileLayer, FingerprintsTakeOnlyWhatWasRead) {
    TempDir dir;
    const std::size_t block = FileSource::kBlockSize;
    Bytes bytes(100'000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 509);
    }
    WriteFile(dir / "large.bin", bytes);
    WriteFile(dir / "small.bin", Bytes(bytes.begin(), bytes.begin() + 5000));
    const auto hash = [&](std::size_t start, std::size_t length) {
        return XXH64(bytes.data() + start, length, 0);
    };
    struct Case {
        const char* file;
        std::vector<std::pair<std::size_t, std::size_t>> reads;
        std::optional<std::uint64_t> head;
        std::optional<std::uint64_t> tail;
    };
    const Case cases[] = {
        {"large.bin", {}, std::nullopt, std::nullopt},
        {"large.bin", {{0, 8}}, hash(0, block), std::nullopt},
        {"large.bin", {{8, 8}}, std::nullopt, std::nullopt}, // its block from 8
        {"large.bin", {{50'000, 8}}, std::nullopt, std::nullopt},
        {"large.bin", {{0, 8}, {100'000 - 8, 8}}, hash(0, block), std::nullopt},
        {"large.bin", {{100'000 - block, block}}, std::nullopt, hash(100'000 - block, block)},
        {"large.bin", {{60'000, 40'000}}, std::nullopt, hash(100'000 - block, block)},
        {"large.bin", {{0, 100'000}}, hash(0, block), hash(100'000 - block, block)},
        {"large.bin", {{100'000 - block + 1, block}}, std::nullopt, std::nullopt},
        {"small.bin", {{0, 4}}, hash(0, 5000), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " after " + std::to_string(c.reads.size()) + " reads" +
                     (c.reads.empty() ? "" : " from " + std::to_string(c.reads[0].first)));
        FileSource file;
        ASSERT_TRUE(file.Open(dir / c.file));
        for (const auto& [position, length] : c.reads) {
            file.Seek(static_cast<std::int64_t>(position));
            Bytes got(length);
            file.Read(got);
        }
        EXPECT_EQ(file.HeadHash(), c.head);
        EXPECT_EQ(file.TailHash(), c.tail);
        file.Close();
        EXPECT_FALSE(file.HeadHash()) << "a closed file keeps no fingerprint";
    }
}

} // namespace
} // namespace vidarium::testing

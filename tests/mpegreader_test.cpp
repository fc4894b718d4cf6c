#include "builders.h"
#include "bytesource.h"
#include "mpegreader.h"
#include "psreader.h"

#include <gtest/gtest.h>

namespace vidarium::testing {
namespace {

CMPEGHeaderReader Load(const Bytes& bytes, bool* result = nullptr) {
    CMPEGHeaderReader reader;
    MemorySource source(bytes);
    const bool ok = reader.LoadFromSource(source);
    EXPECT_EQ(ok, reader.Valid);
    if (result != nullptr) {
        *result = ok;
    }
    return reader;
}

TEST(MpegReader, DecodesTheSequenceHeader) {
    struct Case {
        Bytes header;
        std::int32_t width, height, bitRate;
        double frameRate;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x02, 0xCE, 0xE0}, 352, 288, 1150000, 25},
        {{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF, 0xC0}, 352, 288, 0, 25},
        {{0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF, 0x80},
         352,
         288,
         104856800,
         25},
        {SequenceHeader(720, 576, 4, 15000), 720, 576, 6000000, 30000.0 / 1001.0},
        {SequenceHeader(4095, 4095, 1, 1), 4095, 4095, 400, 24000.0 / 1001.0},
    };
    for (const Case& c : cases) {
        Bytes file = c.header;
        file.resize(64, 0);
        const auto reader = Load(file);
        ASSERT_TRUE(reader.Valid);
        EXPECT_EQ(reader.Width, c.width);
        EXPECT_EQ(reader.Height, c.height);
        EXPECT_EQ(reader.BitRate, c.bitRate);
        EXPECT_DOUBLE_EQ(reader.FrameRate, c.frameRate);
        EXPECT_EQ(reader.DurationSec, 0.0); // no GOP
    }
}

TEST(MpegReader, FrameRateTable) {
    const double expected[16] = {
        0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50, 60000.0 / 1001, 60, 15, 5, 10, 12, 15, 0,
        0};
    for (unsigned code = 0; code < 16; ++code) {
        Bytes file = SequenceHeader(16, 16, code, 100);
        file.resize(32, 0);
        EXPECT_EQ(Load(file).FrameRate, expected[code]) << code;
    }
}

TEST(MpegReader, GopTimeCodes) {
    // 0 h 1 min 10 s 5 pictures: 70.2 s at 25 fps, 70 s without a rate.
    const Bytes gop{0x00, 0x00, 0x01, 0xB8, 0x00, 0x19, 0x42, 0x80};
    EXPECT_EQ(GopHeader(0, 1, 10, 5), gop);
    for (const auto& [code, expected] : {std::pair{3u, 70.2}, std::pair{0u, 70.0}}) {
        const Bytes file =
            Concat({SequenceHeader(352, 288, code, 100), Repeat(0xFF, 20), gop, Repeat(0xFF, 20)});
        // The only GOP is both the first and the last: start is subtracted.
        EXPECT_DOUBLE_EQ(Load(file).DurationSec, 0.0);
        const Bytes noStart = Concat({Repeat(0xFF, 4), gop, Repeat(0xFF, 4),
                                      SequenceHeader(352, 288, code, 100), Repeat(0xFF, 20)});
        // No GOP after the sequence header: the last GOP's time counts whole.
        EXPECT_DOUBLE_EQ(Load(noStart).DurationSec, expected) << code;
    }
}

TEST(MpegReader, PlayTimeRunsFromFirstToLastGop) {
    EXPECT_DOUBLE_EQ(Load(MpegFile(352, 288, 3, 2875, 10, 3610, 100000)).DurationSec, 3600.0);
    // Two joined recordings: the last GOP is earlier than the first.
    EXPECT_DOUBLE_EQ(Load(MpegFile(352, 288, 3, 2875, 100, 35, 5000)).DurationSec, -65.0);
    // A file of exactly one window is its own tail window.
    EXPECT_DOUBLE_EQ(
        Load(MpegFile(352, 288, 3, 2875, 1, 61, CMPEGHeaderReader::kWindowSize)).DurationSec, 60.0);
    // A large file: the last GOP is found in the last 256 KiB only.
    // A large file: a GOP between the two windows is never seen.
    Bytes large = MpegFile(352, 288, 3, 2875, 0, 300, 3 * CMPEGHeaderReader::kWindowSize);
    const Bytes hidden = GopHeader(9, 0, 0, 0);
    std::copy(hidden.begin(), hidden.end(), large.begin() + CMPEGHeaderReader::kWindowSize + 100);
    EXPECT_DOUBLE_EQ(Load(large).DurationSec, 300.0);
}

TEST(MpegReader, SearchBoundaries) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool valid;
    };
    const Bytes header = SequenceHeader(352, 288, 3, 2875);
    const Case cases[] = {
        {"empty", {}, false},
        {"ten bytes", Bytes(header.begin(), header.begin() + 10), false},
        {"eleven bytes at offset 0", Bytes(header.begin(), header.begin() + 11), true},
        {"no start code", Repeat(0xFF, 5000), false},
        {"header in the last 10 bytes of the head window",
         Concat({Repeat(0xFF, CMPEGHeaderReader::kWindowSize - 10), header}), false},
        {"header 11 bytes before the end of the head window",
         Concat({Repeat(0xFF, CMPEGHeaderReader::kWindowSize - 11), header, Repeat(0, 100)}), true},
        {"header after the head window",
         Concat({Repeat(0xFF, CMPEGHeaderReader::kWindowSize), header, Repeat(0, 100)}), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Load(c.bytes).Valid, c.valid) << c.name;
    }
}

TEST(MpegReader, GopSearchLimits) {
    const Bytes header = SequenceHeader(352, 288, 0, 2875);
    // A tail GOP at offset 0 or 1 of the tail window is not taken; at 2 it is.
    for (const auto& [offset, expected] :
         {std::pair{0, 0.0}, std::pair{1, 0.0}, std::pair{2, 5.0}}) {
        Bytes file(CMPEGHeaderReader::kWindowSize * 2, 0xFF);
        std::copy(header.begin(), header.end(), file.begin());
        const Bytes gop = GopHeader(0, 0, 5, 0);
        std::copy(gop.begin(), gop.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(CMPEGHeaderReader::kWindowSize) +
                      offset);
        EXPECT_DOUBLE_EQ(Load(file).DurationSec, expected) << offset;
    }
    // A GOP that ends exactly at the end of the file is the last GOP (at
    // T - 8) but too late in the head window to be the first (H - 8).
    const Bytes endsWithGop = Concat({header, Repeat(0xFF, 30), GopHeader(0, 0, 9, 0)});
    EXPECT_DOUBLE_EQ(Load(endsWithGop).DurationSec, 9.0);
    const Bytes startOnly =
        Concat({header, GopHeader(0, 0, 4, 0), Repeat(0xFF, 30), GopHeader(0, 0, 9, 0)});
    EXPECT_DOUBLE_EQ(Load(startOnly).DurationSec, 5.0);
}

TEST(MpegReader, NoFieldLeaksIntoTheNextLoad) {
    CMPEGHeaderReader reader;
    MemorySource good(MpegFile(352, 288, 3, 2875, 0, 10));
    ASSERT_TRUE(reader.LoadFromSource(good));
    MemorySource bad(Repeat(0, 100));
    EXPECT_FALSE(reader.LoadFromSource(bad));
    EXPECT_EQ(reader.Width, 0);
    EXPECT_EQ(reader.DurationSec, 0.0);
    EXPECT_FALSE(reader.LoadFromFile("/nonexistent/file.mpg"));
}

// A video elementary stream, by content: after any zero bytes a sequence
// header; its length from the first group's time code to the last group's
// and the pictures after it (drop-frame time codes counted as such), else
// its size over its stated rate; MPEG-2 told by the sequence extension.
TEST(VideoElementaryStream, ReadByContentWithItsLength) {
    const Bytes mpeg2Extension{0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00};
    const Bytes picture = Concat({Bytes{0x00, 0x00, 0x01, 0x00}, Repeat(0xFF, 60)});
    const auto group = [&](Bytes timeCode, int pictures, bool dropFrame = false) {
        if (dropFrame) {
            timeCode[4] |= 0x80U;
        }
        Bytes bytes = timeCode;
        for (int i = 0; i < pictures; ++i) {
            bytes = Concat({bytes, picture});
        }
        return bytes;
    };
    const Bytes pal = SequenceHeader(720, 576, 3, 0x3FFFF);     // 25 fps, no rate stated
    const Bytes ntsc = SequenceHeader(720, 480, 4, 0x3FFFF);    // 29.97
    const Bytes stated = SequenceHeader(352, 288, 3, 2500);     // 1 Mbit/s
    const Bytes farApart = Repeat(0xFF, CPsReader::kMaxWindow); // past any tail window
    const struct {
        const char* name;
        Bytes stream;
        bool read;
        const char* codec;
        std::int64_t durationMs;
    } cases[] = {
        {"MPEG-1, three groups",
         Concat({pal, group(GopHeader(0, 0, 0, 0), 12), group(GopHeader(0, 0, 0, 12), 12),
                 group(GopHeader(0, 0, 0, 24), 12)}),
         true, "MPEG-1 Video", 1440},
        {"MPEG-2 after zero bytes",
         Concat({Repeat(0, 2000), pal, mpeg2Extension, group(GopHeader(0, 0, 0, 0), 12),
                 group(GopHeader(0, 0, 9, 15), 10)}),
         true, "MPEG-2 Video", 10000},
        {"time codes from an hour",
         Concat(
             {pal, group(GopHeader(1, 0, 0, 0), 12), farApart, group(GopHeader(1, 2, 0, 0), 13)}),
         true, "MPEG-1 Video", 120520},
        {"drop-frame",
         Concat({ntsc, group(GopHeader(0, 0, 0, 0), 15, true), farApart,
                 group(GopHeader(0, 1, 0, 2), 15, true)}),
         true, "MPEG-1 Video", 60561},
        {"every time code 0",
         Concat({stated, group(GopHeader(0, 0, 0, 0), 12), farApart,
                 group(GopHeader(0, 0, 0, 0), 12)}),
         true, "MPEG-1 Video", 8401},
        {"one group, the whole file", Concat({pal, group(GopHeader(0, 0, 0, 0), 50)}), true,
         "MPEG-1 Video", 2000},
        {"no group: its size over its rate", Concat({stated, picture}), true, "MPEG-1 Video", 1},
        {"a byte before the zeros", Concat({Bytes{1}, Repeat(0, 4), pal}), false, "", 0},
        {"no picture size", Concat({SequenceHeader(0, 576, 3, 0x3FFFF), picture}), false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySource source(c.stream);
        CPsReader reader;
        EXPECT_EQ(reader.LoadFromSource(source, "stream.m2v"), c.read);
        EXPECT_EQ(CPsReader::RecognisesHead(c.stream), c.read);
        if (!c.read) {
            continue;
        }
        const MediaSummary& summary = reader.Summary;
        EXPECT_EQ(summary.Container, "MPEG Video");
        EXPECT_EQ(summary.VideoCodec, c.codec);
        EXPECT_EQ(summary.DurationMs.value_or(0), c.durationMs);
        EXPECT_GT(summary.Width, 0);
    }
}

} // namespace
} // namespace vidarium::testing

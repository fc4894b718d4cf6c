#include "audioformattags.h"
#include "avireader.h"
#include "columns.h"
#include "filerow.h"
#include "movreader.h"
#include "mpegreader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace vidarium {
namespace {

TEST(FileRowText, SizeText) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 MB"},
        {1048575, "0 MB"},
        {1048576, "1 MB"},
        {5ULL << 30, "5120 MB"},
        {~0ULL, "17592186044415 MB"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(SizeText(bytes), text) << bytes;
    }
}

TEST(FileRowText, TimeTextFromMilliseconds) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "0:00:00"},
        {999, "0:00:00"},
        {59999, "0:00:59"},
        {3725999, "1:02:05"},
        {36000000, "10:00:00"},
        {360000000, "100:00:00"},
        {4294967295U, "1193:02:47"},
    };
    for (const auto& [ms, text] : cases) {
        EXPECT_EQ(TimeTextFromMs(ms), text) << ms;
    }
}

TEST(FileRowText, TimeTextFromSeconds) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0:00:00"},  {2.5, "0:00:02"},        {3.5, "0:00:04"},
        {59.4, "0:00:59"}, {-65.0, "0:-01:-05"},    {-3725.0, "-1:-02:-05"},
        {-0.5, "0:00:00"}, {360000.0, "100:00:00"}, {70.2, "0:01:10"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(TimeTextFromSeconds(seconds), text) << seconds;
    }
}

TEST(FileRowText, RateText) {
    const std::pair<double, const char*> cases[] = {
        {30000.0 / 1001.0, "29.97"},
        {24000.0 / 1001.0, "23.976"},
        {60000.0 / 1001.0, "59.94"},
        {25.0, "25"},
        {0.0, "0"},
        {12.0625, "12.062"},
        {12.1875, "12.188"},
        {0.0004, "0"},
        {0.0015, "0.002"},
        {4294967295.0, "4294967295"},
        {1e20, "1e+20"},
    };
    for (const auto& [rate, text] : cases) {
        EXPECT_EQ(RateText(rate), text) << rate;
    }
}

TEST(FileRowText, CodeText) {
    EXPECT_EQ(CodeText({'D', 'I', 'V', 'X'}), "DIVX");
    EXPECT_EQ(CodeText({'d', 'i', 'v', 0}), "div");
    EXPECT_EQ(CodeText({'a', 0, 'b', 'c'}), "a");
    EXPECT_EQ(CodeText({0, 0, 0, 0}), "");
    EXPECT_EQ(CodeText({0xA9, 'n', 'a', 'm'}), "\xA9nam");
}

TEST(FileRowText, AudioFormatTagNames) {
    const std::pair<std::uint16_t, const char*> cases[] = {
        {0x0001, "PCM"},
        {0x0055, "MP3"},
        {0x2000, "AC3"},
        {0x0003, "3"},
        {0x0050, "80"},
        {0x0161, "WMA v2"},
        {0x0162, "354"},
        {0x6752, "26450"},
        {0xFFFE, "65534"},
        {0x0000, "0"},
        {0x00FF, "255"},
        {0x0007, "CCITT u-Law"},
        {0x0070, "Lernout & Hauspie CELP 4.8kbit/s"},
        {0x6771, "Ogg Vorbis (mode3+)"},
    };
    for (const auto& [tag, name] : cases) {
        EXPECT_EQ(AudioFormatTagName(tag), name) << tag;
    }
}

TEST(FileRows, AviRowHasElevenSubItems) {
    CAVIHeaderReader reader;
    reader.DurationMs = 3725999;
    std::memcpy(reader.VideoStreamHeader.fccHandler.data(), "div\0", 4);
    reader.VideoFormat.biWidth = 640;
    reader.VideoFormat.biHeight = -480;
    reader.FrameRate = 30000.0 / 1001.0;
    reader.AudioFormat.wFormatTag = 0x55;
    reader.AudioFormat.nAvgBytesPerSec = 124;
    reader.AudioFormat.nSamplesPerSec = 44100;
    reader.AudioFormat.nChannels = 2;
    const FileRow row = MakeAviRow("clip.avi", 3u << 20, reader);
    const std::vector<std::string> expected{"3 MB",  "1:02:05", "AVI: div", "",      "640", "-480",
                                            "29.97", "MP3",     "0 kbit/s", "44100", "2"};
    EXPECT_EQ(row.Caption, "clip.avi");
    EXPECT_EQ(row.SubItems, expected);
    reader.AudioFormat.nAvgBytesPerSec = 16000;
    EXPECT_EQ(MakeAviRow("x", 0, reader).SubItems[8], "128 kbit/s");
    std::memset(reader.VideoStreamHeader.fccHandler.data(), 0, 4);
    EXPECT_EQ(MakeAviRow("x", 0, reader).SubItems[2], "AVI: ");
}

TEST(FileRows, MpegRowHasElevenSubItems) {
    CMPEGHeaderReader reader;
    reader.Valid = true;
    reader.Width = 352;
    reader.Height = 288;
    reader.FrameRate = 25;
    reader.BitRate = 1500000;
    reader.DurationSec = -65;
    const FileRow row = MakeMpegRow("a.mpg", 0, reader);
    const std::vector<std::string> expected{
        "0 MB", "0:-01:-05", "MPEG", "1500 kbit/s", "352", "288", "25", "", "", "", ""};
    EXPECT_EQ(row.SubItems, expected);
    reader.BitRate = 0;
    EXPECT_EQ(MakeMpegRow("a.mpg", 0, reader).SubItems[3], "");
    reader.BitRate = 999;
    EXPECT_EQ(MakeMpegRow("a.mpg", 0, reader).SubItems[3], "0 kbit/s");
}

TEST(FileRows, MovRowHasTwelveSubItems) {
    CQuickTimeReader reader;
    reader.DurationMs = 59999;
    reader.VideoFourCC = {'a', 'v', 'c', '1'};
    reader.VideoCodecName = "H.264";
    reader.VideoDesc.Width = 65535;
    reader.VideoDesc.Height = 1080;
    reader.HasVideo = true;
    reader.UserData = {{"Full Name", "a"}, {"Date", "b"}};
    const std::vector<std::string> silent{
        "0 MB", "0:00:59", "MOV: avc1: H.264",           "", "65535", "1080", "", "", "",
        "",     "",        "Full Name: a\r\nDate: b\r\n"};
    EXPECT_EQ(MakeMovRow("a.mov", 0, reader).SubItems, silent);

    reader.HasAudio = true;
    reader.AudioFourCC = {'t', 'w', 'o', 's'};
    reader.AudioCodecName = "Uncompressed";
    reader.SoundDesc.SampleRate = 44100;
    reader.SoundDesc.Channels = 2;
    reader.AudioBitRate = 374850;
    const FileRow row = MakeMovRow("a.mov", 0, reader);
    EXPECT_EQ(row.SubItems[7], "twos: Uncompressed");
    EXPECT_EQ(row.SubItems[8], "374 kbit/s");
    EXPECT_EQ(row.SubItems[9], "44100");
    EXPECT_EQ(row.SubItems[10], "2");
    reader.AudioBitRate = 0;
    EXPECT_EQ(MakeMovRow("a.mov", 0, reader).SubItems[8], "");

    // Without a video track the Video cell is still built.
    CQuickTimeReader soundOnly;
    EXPECT_EQ(MakeMovRow("s.mov", 0, soundOnly).SubItems[2], "MOV: : ");
    EXPECT_EQ(MakeMovRow("s.mov", 0, soundOnly).SubItems[4], "0");
}

TEST(FileRows, ModernRowHasTwelveSubItems) {
    MediaSummary video;
    video.Container = "MP4";
    video.HasVideo = true;
    video.VideoCodec = "HEVC";
    video.VideoProfile = "Main 10@L5.1";
    video.BitDepth = 10;
    video.Hdr = "HDR10";
    video.DurationMs = 3'723'999;
    video.VideoBitRate = 2'499'999;
    video.Width = 3840;
    video.Height = 2160;
    video.FrameRate = 23.976023976;
    video.Metadata = {{"Title", "Dune"}, {"Date", "2021"}};
    EXPECT_EQ(MakeModernRow("a.mp4", 3 << 20, RowSource::Iso, video).SubItems,
              (std::vector<std::string>{"3 MB", "1:02:03", "MP4: HEVC Main 10@L5.1 HDR10",
                                        "2499 kbit/s", "3840", "2160", "23.976", "", "", "", "",
                                        "Title: Dune\r\nDate: 2021\r\n"}));
    // The bit depth only where the profile's name does not say it.
    video.VideoProfile = "Main@L5.1";
    video.Hdr.clear();
    EXPECT_EQ(ModernVideoText(video), "MP4: HEVC Main@L5.1 10-bit");
    video.BitDepth = 8;
    EXPECT_EQ(ModernVideoText(video), "MP4: HEVC Main@L5.1");

    // Sound only, no duration: the video and length cells stay empty.
    MediaSummary sound;
    sound.Container = "AVI";
    sound.HasAudio = true;
    sound.AudioCodec = "PCM";
    sound.AudioBitRate = 1'411'200;
    sound.SampleRate = 44100;
    sound.Channels = 2;
    EXPECT_EQ(MakeModernRow("b.avi", 0, RowSource::Avi, sound).SubItems,
              (std::vector<std::string>{"0 MB", "", "", "", "", "", "", "PCM", "1411 kbit/s",
                                        "44100", "2", ""}));
}

// The one column table and what reads it agree: the Part's captions in its
// order, every row cell behind the column of its place, every CSV name
// found by --columns, the default CSV the list's fields and the path.
TEST(Columns, TheTableAndItsUsersAgree) {
    const char* captions[] = {"Filename", "Filesize", "Length",   "Video", "Bitrate",
                              "Width",    "Height",   "fps",      "Audio", "Bitrate",
                              "Freq",     "Chn",      "Comments", ""};
    FileRow row("name.mov", {});
    for (int cell = 1; cell <= 12; ++cell) {
        row.SubItems.push_back("cell " + std::to_string(cell));
    }
    for (std::size_t column = 0; column < std::size(captions); ++column) {
        SCOPED_TRACE(column);
        EXPECT_STREQ(kColumns[column].Caption, captions[column]);
        EXPECT_EQ(kColumns[column].ShownAtFirst, true);
        const std::string expected = column == 0    ? "name.mov"
                                     : column == 13 ? ""
                                                    : "cell " + std::to_string(column);
        EXPECT_EQ(kColumns[column].Text(row), expected);
    }
    EXPECT_EQ(kColumns[ColumnNamed("Comments")].Text(row), "cell 12");
    EXPECT_TRUE(kColumns[ColumnNamed("Comments")].ItemsOnLines);
    EXPECT_EQ(kColumns[ColumnNamed("Path")].Source, ColumnSource::Path);
    EXPECT_EQ(ColumnNamed(""), 13U);
    EXPECT_EQ(ColumnNamed("Nope"), kColumns.size());
    std::string unknown;
    std::vector<std::size_t> named;
    for (std::size_t column = 0; column < kColumns.size(); ++column) {
        if (kColumns[column].Name != nullptr) {
            const auto found = ColumnsNamed(kColumns[column].Name, unknown);
            ASSERT_TRUE(found) << kColumns[column].Name;
            EXPECT_EQ(*found, std::vector<std::size_t>{column}) << "a name told twice";
            named.push_back(column);
        }
    }
    EXPECT_EQ(ColumnsNamed(ColumnNamesText(), unknown), named);
    EXPECT_FALSE(ColumnsNamed("Filename,Nope", unknown));
    EXPECT_EQ(unknown, "Nope");
    const std::vector<std::size_t> csv(DefaultCsvColumns().begin(), DefaultCsvColumns().end());
    EXPECT_EQ(csv, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                             ColumnNamed("Path")}));
}

TEST(FileRows, ExportLines) {
    EXPECT_EQ(ExportLine(MakePlainRow("notes.mov", 1048576)), "notes.mov\t1 MB\t\r\n");
    // Fields are trimmed at both ends; inner TABs and line breaks stay.
    const FileRow row{" \tname ", {"", "  a\r\nb  ", "\x01x"}};
    EXPECT_EQ(ExportLine(row), "name\t\ta\r\nb\tx\t\r\n");
    // An AVI line has 12 fields, the empty video bit rate among them.
    CAVIHeaderReader reader;
    const std::string line = ExportLine(MakeAviRow("a.avi", 0, reader));
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 12);
    EXPECT_NE(line.find("\tAVI:\t\t0\t0\t0\t"), std::string::npos); // "AVI: " trimmed
    // A QuickTime line: 13 fields, the comment's inner line break kept and its
    // last one trimmed.
    CQuickTimeReader movie;
    movie.UserData = {{"Full Name", "a"}, {"Date", "b"}};
    const std::string movLine = ExportLine(MakeMovRow("m.mov", 0, movie));
    EXPECT_EQ(std::count(movLine.begin(), movLine.end(), '\t'), 13);
    EXPECT_TRUE(movLine.ends_with("\tFull Name: a\r\nDate: b\t\r\n"));
    // No line is ever cut, however long.
    const FileRow longRow{"long", {std::string(100000, 'x')}};
    EXPECT_EQ(ExportLine(longRow).size(), 4 + 1 + 100000 + 1 + 2);
}

} // namespace
} // namespace vidarium

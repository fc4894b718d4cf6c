// Real files from a real muxer: made by ffmpeg when it is installed.
#include "avireader.h"
#include "builders.h"
#include "filerow.h"
#include "movreader.h"
#include "mpegreader.h"
#include "recordinghost.h"
#include "scanworker.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

bool HaveFfmpeg() {
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

class FfmpegFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveFfmpeg()) {
            GTEST_SKIP() << "ffmpeg is not installed";
        }
    }

    fs::path Make(const std::string& name, const std::string& arguments) {
        const fs::path path = dir / name;
        const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y " + arguments +
                                    " '" + path.native() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    Bytes ReadAll(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    TempDir dir;
};

// The export line of every row of a scan, by file name.
std::map<std::string, std::string> ScanLines(const fs::path& root) {
    RecordingHost host;
    TScanFilesThread worker(host);
    worker.Start();
    worker.RequestScan(root);
    EXPECT_TRUE(host.WaitForScans(1));
    std::map<std::string, std::string> lines;
    for (const FileRow& row : host.rows) {
        lines[row.Caption] = ExportLine(row);
    }
    return lines;
}

std::size_t Find(const Bytes& bytes, std::string_view text) {
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    EXPECT_NE(at, bytes.end()) << text;
    return static_cast<std::size_t>(at - bytes.begin());
}

TEST_F(FfmpegFiles, AviRows) {
    struct Case {
        const char* name;
        const char* arguments;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"xvid-mp3.avi",
         "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=sample_rate=44100 -t 2 "
         "-c:v mpeg4 -vtag XVID -c:a libmp3lame -ac 2",
         {"0 MB", "0:00:02", "AVI: XVID", "", "320", "240", "25", "MP3", "0 kbit/s", "44100", "2"}},
        {"mjpeg-pcm.avi",
         "-f lavfi -i testsrc=size=160x120:rate=30000/1001 -f lavfi -i sine=sample_rate=22050 "
         "-t 1 -c:v mjpeg -c:a pcm_s16le -ac 1",
         {"0 MB", "0:00:01", "AVI: MJPG", "", "160", "120", "29.97", "PCM", "352 kbit/s", "22050",
          "1"}},
    };
    for (const Case& c : cases) {
        const fs::path path = Make(c.name, c.arguments);
        CAVIHeaderReader reader;
        ASSERT_TRUE(reader.LoadFromFile(path)) << c.name;
        EXPECT_EQ(MakeAviRow(c.name, fs::file_size(path), reader).SubItems, c.expected) << c.name;
    }
    // Sound only: refused by the AVI reader, and not an MPEG stream either.
    const fs::path audioOnly = Make("audio-only.avi", "-f lavfi -i sine -t 1 -c:a pcm_s16le");
    CAVIHeaderReader avi;
    EXPECT_FALSE(avi.LoadFromFile(audioOnly));
    CMPEGHeaderReader mpeg;
    EXPECT_FALSE(mpeg.LoadFromFile(audioOnly));
}

TEST_F(FfmpegFiles, MpegRows) {
    struct Case {
        const char* name;
        const char* arguments;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        // Variable bit rate: the header says none.
        {"vbr.mpg",
         "-f lavfi -i testsrc=size=352x288:rate=25 -t 3 -c:v mpeg1video -b:v 1150k",
         {"0 MB", "0:00:03", "MPEG", "", "352", "288", "25", "", "", "", ""}},
        {"cbr.m1v",
         "-f lavfi -i testsrc=size=352x288:rate=25 -t 2 -c:v mpeg1video -b:v 1150k "
         "-minrate 1150k -maxrate 1150k -bufsize 327680",
         {"0 MB", "0:00:02", "MPEG", "1150 kbit/s", "352", "288", "25", "", "", "", ""}},
        // A DVD program stream: pack headers and audio between the video.
        {"dvd.vob",
         "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine -t 3 -target pal-dvd",
         {"0 MB", "0:00:02", "MPEG", "9000 kbit/s", "720", "576", "25", "", "", "", ""}},
        {"ntsc.m2v",
         "-f lavfi -i testsrc=size=720x480:rate=30000/1001 -t 2 -c:v mpeg2video -g 15",
         {"0 MB", "0:00:02", "MPEG", "", "720", "480", "29.97", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        const fs::path path = Make(c.name, c.arguments);
        CMPEGHeaderReader reader;
        ASSERT_TRUE(reader.LoadFromFile(path)) << c.name;
        EXPECT_EQ(MakeMpegRow(c.name, fs::file_size(path), reader).SubItems, c.expected) << c.name;
        // The AVI reader refuses them without an error.
        CAVIHeaderReader avi;
        EXPECT_FALSE(avi.LoadFromFile(path)) << c.name;
    }
}

TEST_F(FfmpegFiles, QuickTimeRows) {
    struct Case {
        const char* name;
        const char* arguments;
        std::vector<std::string> expected;
    };
    // ffmpeg writes the text length and a packed language code ("und": 55 C4)
    // in front of each text; 0x55 and 0xC4 are not trimmed.
    const Case cases[] = {
        {"mdat-first.mov",
         "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 "
         "-c:v mpeg4 -c:a pcm_s16le -metadata title=Beach -metadata copyright=us -fflags +bitexact",
         {"0 MB", "0:00:02", "MOV: mp4v: Lavc mpeg4", "", "320", "240", "", "sowt: Uncompressed",
          "", "48000", "1",
          "Full Name: U\xC4"
          "Beach\r\nCopyright: U\xC4us\r\n"}},
        {"moov-first.mov",
         "-f lavfi -i testsrc=size=176x144:rate=30000/1001 -f lavfi -i sine -t 3 -c:v mjpeg "
         "-c:a aac -ac 2 -movflags +faststart -fflags +bitexact",
         {"0 MB", "0:00:03", "MOV: jpeg: Lavc mjpeg", "", "176", "144", "", "mp4a: ", "", "44100",
          "2", ""}},
        {"sound-only.mov",
         "-f lavfi -i sine -t 4 -c:a pcm_alaw -fflags +bitexact",
         {"0 MB", "0:00:04", "MOV: : ", "", "0", "0", "", "alaw: aLaw 2:1", "", "44100", "1", ""}},
        {"silent.mov",
         "-f lavfi -i testsrc=size=64x48:rate=10 -t 1 -c:v rawvideo -pix_fmt rgb24 -fflags "
         "+bitexact",
         {"0 MB", "0:00:01", "MOV: raw : Lavc rawvideo", "", "64", "48", "", "", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        const fs::path path = Make(c.name, c.arguments);
        CQuickTimeReader reader;
        ASSERT_TRUE(reader.LoadFromFile(path)) << c.name;
        EXPECT_EQ(MakeMovRow(c.name, fs::file_size(path), reader).SubItems, c.expected) << c.name;
        // The AVI reader refuses a QuickTime movie without an error.
        CAVIHeaderReader avi;
        EXPECT_FALSE(avi.LoadFromFile(path)) << c.name;
    }
}

// Files as cameras and other muxers write them: no MPEG guess inside an AVI or
// QuickTime file, no row lost over an audio bit rate, 64-bit media data.
TEST_F(FfmpegFiles, RealWorldRows) {
    const fs::path movies = dir / "movies";
    fs::create_directory(movies);
    // MPEG-4 video holds 00 00 01 B3 (its group-of-VOP start code).
    const fs::path silent =
        Make("movies/silent.avi", "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v mpeg4 -an");
    fs::copy_file(silent, movies / "silent.mpg");
    // An MP4 file: its handlers have no component type, so no track is chosen.
    Make("movies/mp4.mov", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 "
                           "-c:v mpeg4 -c:a aac -f mp4 -fflags +bitexact");

    // Version 1 sound (24-bit PCM), with its samples per packet cleared.
    Bytes sound = ReadAll(Make("v1.mov", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                                         "sine -t 2 -c:v mpeg4 -c:a pcm_s24be -fflags +bitexact"));
    const std::size_t format = Find(sound, "in24");
    std::fill_n(sound.begin() + static_cast<std::ptrdiff_t>(format + 32), 4, 0);
    WriteFile(movies / "no-samples-per-packet.mov", sound);

    // ffmpeg reserves a "wide" atom in front of the media data and, for a
    // movie over 4 GiB, writes the 64-bit header over both; do the same here.
    Bytes wide = ReadAll(Make("wide.mov", "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 "
                                          "-c:v mpeg4 -fflags +bitexact"));
    const std::size_t at = Find(wide, "wide") - 4;
    const std::uint64_t mdatSize = (std::uint64_t{wide[at + 8]} << 24) | (wide[at + 9] << 16) |
                                   (wide[at + 10] << 8) | wide[at + 11];
    Bytes header;
    AppendBe32(header, 1);
    AppendText(header, "mdat");
    AppendBe64(header, mdatSize + 8);
    std::copy(header.begin(), header.end(), wide.begin() + static_cast<std::ptrdiff_t>(at));
    WriteFile(movies / "mdat64.mov", wide);

    const auto lines = ScanLines(movies);
    const std::map<std::string, std::string> expected{
        {"silent.avi", "silent.avi\t0 MB\t\r\n"},
        {"silent.mpg", "silent.mpg\t0 MB\t\r\n"},
        {"mp4.mov", "mp4.mov\t0 MB\t\r\n"},
        {"no-samples-per-packet.mov",
         "no-samples-per-packet.mov\t0 MB\t0:00:02\tMOV: mp4v: Lavc mpeg4\t\t320\t240\t\t"
         "in24: 24-bit integer\t\t44100\t1\t\t\r\n"},
        {"mdat64.mov",
         "mdat64.mov\t0 MB\t0:00:02\tMOV: mp4v: Lavc mpeg4\t\t320\t240\t\t\t\t\t\t\t\r\n"},
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(FfmpegFiles, CompressedMovieHeaderGivesTheSameRow) {
    const fs::path original =
        Make("plain.mov", "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 "
                          "-c:v mpeg4 -c:a pcm_s16be -metadata title=Harbour "
                          "-movflags +faststart -fflags +bitexact");
    std::ifstream in(original, std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Find the top-level "moov" and put it back compressed, in a "cmov".
    std::size_t at = 0;
    Bytes moov;
    Bytes rest;
    while (at + 8 <= bytes.size()) {
        const std::size_t size = (std::size_t{bytes[at]} << 24) |
                                 (std::size_t{bytes[at + 1]} << 16) |
                                 (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
        ASSERT_GE(size, 8u);
        ASSERT_LE(at + size, bytes.size());
        const Bytes atom(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
        if (std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + 8)) == "moov") {
            moov = atom;
        } else {
            rest.insert(rest.end(), atom.begin(), atom.end());
        }
        at += size;
    }
    ASSERT_FALSE(moov.empty());
    const fs::path compressed = dir / "compressed.mov";
    WriteFile(compressed, Concat({CompressedMovie(moov), rest}));

    CQuickTimeReader plainReader;
    CQuickTimeReader compressedReader;
    ASSERT_TRUE(plainReader.LoadFromFile(original));
    ASSERT_TRUE(compressedReader.LoadFromFile(compressed));
    const FileRow expected = MakeMovRow("x.mov", 0, plainReader);
    EXPECT_EQ(MakeMovRow("x.mov", 0, compressedReader), expected);
    EXPECT_EQ(expected.SubItems[2], "MOV: mp4v: Lavc mpeg4");
    EXPECT_EQ(expected.SubItems[7], "twos: Uncompressed");
    EXPECT_EQ(expected.SubItems[11], "Full Name: U\xC4"
                                     "Harbour\r\n");
}

} // namespace
} // namespace vidarium::testing

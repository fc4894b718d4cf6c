// Real files from a real muxer: made by ffmpeg when it is installed.
#include "avireader.h"
#include "builders.h"
#include "bytesource.h"
#include "filerow.h"
#include "isoreader.h"
#include "mkvreader.h"
#include "movreader.h"
#include "mpegreader.h"
#include "readerset.h"
#include "readertable.h"
#include "recordinghost.h"
#include "scanworker.h"
#include "tempdir.h"
#include "tsreader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

// Two seconds of video and 2.6 of sound: the file lasts as long as the sound.
const std::string kLongerSound = "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 "
                                 "-f lavfi -i sine=duration=2.6 ";

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

// Every row of a scan, by file name.
std::map<std::string, FileRow> ScanRows(const fs::path& root, bool allFormats) {
    RecordingHost host;
    TScanFilesThread worker(host);
    worker.Start();
    worker.RequestScan(root, allFormats);
    EXPECT_TRUE(host.WaitForScans(1));
    std::map<std::string, FileRow> rows;
    for (FileRow& row : host.rows) {
        std::string caption = row.Caption;
        rows.emplace(std::move(caption), std::move(row));
    }
    return rows;
}

// The export line of every row of a scan, by file name.
std::map<std::string, std::string> ScanLines(const fs::path& root, bool allFormats = false) {
    std::map<std::string, std::string> lines;
    for (const auto& [name, row] : ScanRows(root, allFormats)) {
        lines[name] = ExportLine(row);
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
    // in front of each text: neither shows.
    const Case cases[] = {
        {"mdat-first.mov",
         "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 "
         "-c:v mpeg4 -c:a pcm_s16le -metadata title=Beach -metadata copyright=us -fflags +bitexact",
         {"0 MB", "0:00:02", "MOV: mp4v: Lavc mpeg4", "", "320", "240", "", "sowt: Uncompressed",
          "", "48000", "1", "Full Name: Beach\r\nCopyright: us\r\n"}},
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

    // With all formats on, every file gets today's row: the AVIs (one named
    // .mpg) the modern AVI row, the QuickTime movies the MP4 reader's.
    auto modern = expected;
    modern["mdat64.mov"] =
        "mdat64.mov\t0 MB\t0:00:02\tMOV: MPEG-4 Visual\t333 kbit/s\t320\t240\t25\t\t\t\t\t\t\r\n";
    modern["no-samples-per-packet.mov"] =
        "no-samples-per-packet.mov\t0 MB\t0:00:02\tMOV: MPEG-4 Visual\t333 kbit/s\t320\t240\t25\t"
        "PCM\t1058 kbit/s\t44100\t1\t\t\r\n";
    const auto all = ScanLines(movies, true);
    for (const auto& [name, line] : expected) {
        if (name.ends_with(".mov") && name != "mp4.mov") {
            EXPECT_EQ(all.at(name), modern.at(name)) << name;
        }
    }
    // Their Comments hold the muxer's name, whose version varies.
    for (const char* name : {"silent.avi", "silent.mpg"}) {
        EXPECT_TRUE(all.at(name).starts_with(std::string(name) +
                                             "\t0 MB\t0:00:02\tAVI: MPEG-4 Visual (FMP4)\t334 "
                                             "kbit/s\t320\t240\t25\t\t\t\t\tSoftware: Lavf"))
            << all.at(name);
    }
    EXPECT_TRUE(all.at("mp4.mov").starts_with("mp4.mov\t0 MB\t0:00:02\tMP4: MPEG-4 Visual\t"))
        << all.at("mp4.mov");
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
    EXPECT_EQ(expected.SubItems[11], "Full Name: Harbour\r\n");

    // The MP4 reader, which all formats tries first, expands it too.
    const auto isoRow = [](const fs::path& path) {
        FileSource file;
        EXPECT_TRUE(file.Open(path));
        CIsoReader reader;
        EXPECT_TRUE(reader.LoadFromSource(file, path));
        return MakeModernRow("x.mov", 0, RowSource::Iso, reader.Summary);
    };
    const FileRow modern = isoRow(original);
    EXPECT_EQ(isoRow(compressed), modern);
    EXPECT_EQ(modern.SubItems[2], "MOV: MPEG-4 Visual");
    EXPECT_EQ(modern.SubItems[11], "Title: Harbour\r\n");
}

// What ffprobe says of a file: its format and its streams.
nlohmann::json Probe(const fs::path& path) {
    const std::string command =
        "ffprobe -v error -print_format json -show_format -show_streams '" + path.native() + "'";
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            text.append(buffer, count);
        }
        ::pclose(pipe);
    }
    return nlohmann::json::parse(text, nullptr, false);
}

double Rate(const std::string& fraction) {
    unsigned long numerator = 0;
    unsigned long denominator = 0;
    return std::sscanf(fraction.c_str(), "%lu/%lu", &numerator, &denominator) == 2 &&
                   denominator != 0
               ? static_cast<double>(numerator) / static_cast<double>(denominator)
               : 0;
}

std::int64_t Number(const nlohmann::json& stream, const char* key) {
    const auto value = stream.find(key);
    if (value == stream.end()) {
        return -1;
    }
    return value->is_string() ? std::stoll(value->get<std::string>()) : value->get<std::int64_t>();
}

bool Within(double ours, double theirs, double fraction) {
    return std::fabs(ours - theirs) <= std::fabs(theirs) * fraction;
}

// A modern row agrees with ffprobe: duration (where ffprobe states one),
// picture size, frame rate, sample rate, channels, bit rates (where both
// state them) and track counts.
void ExpectAgreement(const FileRow& row, const nlohmann::json& probe, bool bitRates) {
    const MediaSummary& values = row.Summary;
    ASSERT_EQ(row.SubItems.size(), 12u);
    ASSERT_TRUE(probe.is_object());
    if (probe["format"].contains("duration")) {
        const double seconds = std::stod(probe["format"]["duration"].get<std::string>());
        ASSERT_TRUE(values.DurationMs);
        EXPECT_TRUE(std::fabs(static_cast<double>(*values.DurationMs) / 1000 - seconds) <= 0.15 ||
                    Within(static_cast<double>(*values.DurationMs) / 1000, seconds, 0.01))
            << *values.DurationMs << " ms, ffprobe " << seconds;
    }
    int videoStreams = 0;
    int audioStreams = 0;
    for (const nlohmann::json& stream : probe["streams"]) {
        const std::string type = stream["codec_type"];
        if (type == "video" && videoStreams++ == 0) {
            EXPECT_EQ(values.Width, Number(stream, "width"));
            EXPECT_EQ(values.Height, Number(stream, "height"));
            // Closer than 30 to 29.97.
            ASSERT_TRUE(values.FrameRate);
            EXPECT_TRUE(Within(*values.FrameRate, Rate(stream["r_frame_rate"]), 0.0005) ||
                        Within(*values.FrameRate, Rate(stream["avg_frame_rate"]), 0.0005))
                << *values.FrameRate;
            if (bitRates && stream.contains("bit_rate")) {
                EXPECT_TRUE(Within(static_cast<double>(values.VideoBitRate.value_or(0)),
                                   static_cast<double>(Number(stream, "bit_rate")), 0.05));
            }
            for (const nlohmann::json& side :
                 stream.value("side_data_list", nlohmann::json::array())) {
                if (side.contains("rotation")) {
                    // ffprobe's angle is counter-clockwise.
                    EXPECT_EQ(values.Rotation, (360 - side["rotation"].get<int>()) % 360);
                }
            }
        } else if (type == "audio" && audioStreams++ == 0) {
            EXPECT_EQ(values.SampleRate, Number(stream, "sample_rate"));
            EXPECT_EQ(values.Channels, Number(stream, "channels"));
            if (bitRates && stream.contains("bit_rate")) {
                EXPECT_TRUE(Within(static_cast<double>(values.AudioBitRate.value_or(0)),
                                   static_cast<double>(Number(stream, "bit_rate")), 0.05));
            }
        }
    }
    EXPECT_EQ(values.VideoTracks, videoStreams);
    EXPECT_EQ(values.AudioTracks, audioStreams);
}

// Every ISO file ffmpeg makes agrees with ffprobe: duration, size, frame
// rate, sample rate, channels and bit rates; the codec cells are ours.
TEST_F(FfmpegFiles, IsoRowsAgreeWithFfprobe) {
    struct Case {
        const char* name;
        const char* arguments;
        const char* video; // the video cell, or empty
        const char* audio; // the audio cell, or empty
        int rotation = 0;
        bool bitRates = true; // ffprobe reads every fragment; the row estimates
    };
    const std::string v = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string a = "-f lavfi -i sine=sample_rate=48000 ";
    const std::string x264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p ";
    const std::vector<std::pair<std::string, Case>> cases{
        {v + a + "-t 2 " + x264 + "-c:a aac -metadata title=Waves",
         {"h264.mp4", "", "MP4: AVC High@L1.3", "AAC"}},
        {v + a +
             "-t 2 -c:v libx265 -preset ultrafast -x265-params log-level=none -tag:v hvc1 -pix_fmt "
             "yuv420p "
             "-c:a ac3 -ac 6",
         {"hvc1.mp4", "", "MP4: HEVC Main@L2", "AC-3"}},
        {v + "-t 2 -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p10le",
         {"hev1-10bit.mp4", "", "MP4: HEVC Main 10@L2", ""}},
        {v + "-t 1 -c:v libaom-av1 -cpu-used 8 -row-mt 1 -b:v 200k -pix_fmt yuv420p10le",
         {"av1.mp4", "", "MP4: AV1 Main@L2.0 10-bit", ""}},
        {v + a +
             "-t 2 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -pix_fmt yuv420p -c:a libopus",
         {"vp9.mp4", "", "MP4: VP9 P0", "Opus"}},
        {v + a + "-t 2 -c:v mpeg4 -c:a libmp3lame", {"mpeg4.mp4", "", "MP4: MPEG-4 Visual", "MP3"}},
        {v + a + "-t 2 -c:v mpeg2video -c:a mp2", {"mpeg2.mp4", "", "MP4: MPEG-2 Video", "MP2"}},
        {"-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=8000 -t 2 "
         "-c:v h263 -c:a aac -ac 1",
         {"h263.3gp", "", "3GP: H.263", "AAC"}},
        {v + a + "-t 2 " + x264 + "-c:a eac3 -ac 2",
         {"eac3.mp4", "", "MP4: AVC High@L1.3", "E-AC-3"}},
        {v + a + "-t 2 " + x264 + "-c:a alac", {"alac.m4v", "", "M4V: AVC High@L1.3", "ALAC"}},
        {v + a + "-t 2 " + x264 + "-c:a flac -strict -2",
         {"flac.mp4", "", "MP4: AVC High@L1.3", "FLAC"}},
        {v + a + "-t 2 " + x264 + "-c:a aac -ac 2 -movflags +faststart",
         {"moov-first.mp4", "", "MP4: AVC High@L1.3", "AAC"}},
        {v + a + "-t 4 " + x264 + "-g 25 -c:a aac -movflags frag_keyframe+empty_moov",
         {"fragmented.mp4", "", "MP4: AVC High@L1.3", "AAC"}},
        {v + "-t 2 -c:v libx265 -preset ultrafast -x265-params log-level=none -tag:v hvc1 "
             "-pix_fmt yuv420p -movflags frag_keyframe+empty_moov",
         {"hevc-fragmented.mp4", "", "MP4: HEVC Main@L2", ""}},
        {v + a + "-t 4 " + x264 + "-g 25 -c:a aac -movflags frag_keyframe",
         {"fragmented-moov-samples.mp4", "", "MP4: AVC High@L1.3", "AAC"}},
        // A segment index before each fragment, indexing that fragment alone.
        {v + "-t 6 " + x264 + "-g 25 -movflags frag_keyframe+empty_moov+dash",
         {"dash.mp4", "", "MP4: AVC High@L1.3", "", 0, false}},
        {v + a + "-f lavfi -i sine=sample_rate=44100 -t 2 -map 0 -map 1 -map 2 " + x264 +
             "-c:a aac -metadata:s:a:1 language=ger",
         {"two-sounds.mp4", "", "MP4: AVC High@L1.3", "AAC"}},
        {"-f lavfi -i testsrc=size=64x64:rate=1 -t 3700 " + x264,
         {"hour.mp4", "", "MP4: AVC High@L1", ""}},
        // Editing suites' and archives' QuickTime: uncompressed pictures and
        // sound, intermediate and lossless codecs.
        {v + a + "-t 1 -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s24le -ac 2",
         {"raw-in24.mov", "", "MOV: Uncompressed", "PCM"}},
        {v + a + "-t 1 -c:v v210 -c:a pcm_s16be -ac 2",
         {"v210-twos.mov", "", "MOV: Uncompressed", "PCM"}},
        {v + a + "-t 1 -c:v png -c:a pcm_f32le -ac 1", {"png-fl32.mov", "", "MOV: PNG", "PCM"}},
        {v + "-t 1 -c:v qtrle", {"animation.mov", "", "MOV: Animation", ""}},
        {v + "-t 1 -c:v svq1 -pix_fmt yuv410p", {"sorenson.mov", "", "MOV: Sorenson Video", ""}},
        {v + "-t 1 -c:v dnxhd -profile:v dnxhr_lb -pix_fmt yuv422p",
         {"dnxhr.mov", "", "MOV: DNxHR", ""}},
    };
    const fs::path movies = dir / "iso";
    fs::create_directory(movies);
    for (const auto& [arguments, c] : cases) {
        Make("iso/" + std::string(c.name), arguments);
    }
    // A rotated copy: ffmpeg writes the matrix that turns the picture a
    // quarter counter-clockwise, 270 degrees clockwise.
    Make("iso/rotated.mp4",
         "-i '" + (movies / "h264.mp4").native() + "' -c copy -metadata:s:v:0 rotate=90");
    // Tracks without a handler box: the media information header says
    // which is which.
    Bytes unnamed = ReadAll(movies / "h264.mp4");
    const std::string_view handler = "hdlr";
    for (auto at = std::search(unnamed.begin(), unnamed.end(), handler.begin(), handler.end());
         at != unnamed.end(); at = std::search(at, unnamed.end(), handler.begin(), handler.end())) {
        at[3] = 'X';
    }
    WriteFile(movies / "no-handler.mp4", unnamed);
    // Fragments that state no times (their decode times made free space):
    // their lengths are added up.
    Bytes timeless = ReadAll(movies / "fragmented.mp4");
    const std::string_view decodeTime = "tfdt";
    for (auto at =
             std::search(timeless.begin(), timeless.end(), decodeTime.begin(), decodeTime.end());
         at != timeless.end();
         at = std::search(at, timeless.end(), decodeTime.begin(), decodeTime.end())) {
        std::copy_n("free", 4, at);
    }
    WriteFile(movies / "no-fragment-times.mp4", timeless);
    // Initialisation segments, no samples yet: the frame rate from the
    // sequence parameter set's timing information.
    fs::create_directory(dir / "init");
    for (const char* name : {"fragmented.mp4", "hevc-fragmented.mp4"}) {
        const Bytes file = ReadAll(movies / name);
        const std::string_view fragment = "moof";
        const auto moof = std::search(file.begin(), file.end(), fragment.begin(), fragment.end());
        WriteFile(dir / "init" / name, Bytes(file.begin(), moof - 4));
    }
    for (const auto& [name, row] : ScanRows(dir / "init", true)) {
        EXPECT_EQ(row.Summary.FrameRate, 25.0) << name;
    }

    const auto rows = ScanRows(movies, true);
    EXPECT_EQ(rows.at("no-handler.mp4").SubItems[2], rows.at("h264.mp4").SubItems[2]);
    EXPECT_EQ(rows.at("no-handler.mp4").SubItems[7], rows.at("h264.mp4").SubItems[7]);
    EXPECT_EQ(rows.at("no-fragment-times.mp4").SubItems[1], rows.at("fragmented.mp4").SubItems[1]);
    // Every fragment walked: the rates are the fragments' bytes over time.
    ExpectAgreement(rows.at("no-fragment-times.mp4"), Probe(movies / "no-fragment-times.mp4"),
                    true);
    // Each sound track's language from its media header, as 639-2/T (ffmpeg
    // writes "ger"); none stated: "und".
    EXPECT_EQ(rows.at("two-sounds.mp4").Summary.AudioLanguages,
              (std::vector<std::string>{"und", "deu"}));
    const auto check = [&](const std::string& name, const char* video, const char* audio,
                           int rotation, bool bitRates) {
        SCOPED_TRACE(name);
        const FileRow& row = rows.at(name);
        EXPECT_EQ(row.SubItems[2], video);
        EXPECT_EQ(row.SubItems[7], audio);
        ExpectAgreement(row, Probe(movies / name), bitRates);
        EXPECT_EQ(row.Summary.Rotation, rotation);
    };
    for (const auto& [arguments, c] : cases) {
        check(c.name, c.video, c.audio, 0, c.bitRates);
    }
    check("rotated.mp4", "MP4: AVC High@L1.3", "AAC", 270, true);
    EXPECT_EQ(rows.at("h264.mp4").SubItems[11], "Title: Waves\r\n");
}

} // namespace
} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

// Every Matroska and WebM file ffmpeg and mkvmerge make agrees with ffprobe;
// a file that states no duration gets the end of its last block.
TEST_F(FfmpegFiles, MatroskaRowsAgreeWithFfprobe) {
    struct Case {
        const char* name;
        const char* video;
        const char* audio;
        double seconds = 0; // the true length, where ffprobe has none
    };
    const std::string v = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string a = "-f lavfi -i sine=sample_rate=48000 ";
    const std::string x264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p ";
    const std::string vp9 = "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 ";
    const fs::path movies = dir / "mkv";
    fs::create_directory(movies);
    WriteFile(dir / "words.srt", Bytes{'1', '\n', '0', '0', ':', '0', '0', ':',  '0', '0', ',', '0',
                                       '0', '0',  ' ', '-', '-', '>', ' ', '0',  '0', ':', '0', '0',
                                       ':', '0',  '1', ',', '0', '0', '0', '\n', 'H', 'i', '\n'});
    const std::vector<std::pair<std::string, Case>> cases{
        {v + a + "-t 2 " + x264 + "-c:a aac -metadata title=Waves -metadata artist=Me",
         {"h264.mkv", "MKV: AVC High@L1.3", "AAC"}},
        {v + a +
             "-t 2 -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p "
             "-c:a ac3 -ac 6",
         {"hevc.mkv", "MKV: HEVC Main@L2", "AC-3"}},
        {v + "-t 2 -c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p10le",
         {"hevc-10bit.mkv", "MKV: HEVC Main 10@L2", ""}},
        {v + "-t 1 -c:v libaom-av1 -cpu-used 8 -row-mt 1 -b:v 200k -pix_fmt yuv420p10le",
         {"av1.mkv", "MKV: AV1 Main@L2.0 10-bit", ""}},
        {v + a + "-t 2 " + vp9 + "-c:a libopus", {"vp9.webm", "WebM: VP9", "Opus"}},
        {v + a + "-t 2 -c:v libvpx -deadline realtime -cpu-used 8 -c:a libvorbis",
         {"vp8.webm", "WebM: VP8", "Vorbis"}},
        {v + a + "-t 2 -c:v mpeg2video -c:a mp2", {"mpeg2.mkv", "MKV: MPEG-2 Video", "MP2"}},
        {v + a + "-t 2 -c:v mpeg4 -c:a libmp3lame", {"mpeg4.mkv", "MKV: MPEG-4 Visual", "MP3"}},
        {v + a + "-t 2 -c:v libtheora -c:a flac", {"theora.mkv", "MKV: Theora", "FLAC"}},
        {v + a + "-t 2 -c:v ffv1 -c:a pcm_s16le", {"ffv1.mkv", "MKV: FFV1", "PCM"}},
        {v + a + "-t 2 -c:v mjpeg -c:a eac3", {"mjpeg.mkv", "MKV: Motion JPEG", "E-AC-3"}},
        {v + a + "-t 2 -c:v prores -c:a dca -strict -2", {"prores.mkv", "MKV: ProRes", "DTS"}},
        {v + a + "-t 2 " + x264 + "-c:a truehd -strict -2",
         {"truehd.mkv", "MKV: AVC High@L1.3", "TrueHD"}},
        {v + a + "-t 2 " + x264 + "-c:a aac -cues_to_front 1",
         {"cues-first.mkv", "MKV: AVC High@L1.3", "AAC"}},
        {v + a + "-f lavfi -i sine=sample_rate=44100 -i '" + (dir / "words.srt").native() +
             "' -t 2 -map 0 -map 1 -map 2 -map 3 " + x264 +
             "-c:a aac -c:s srt -metadata:s:a:0 language=eng -metadata:s:a:1 language=ger "
             "-metadata:s:s:0 language=fre",
         {"languages.mkv", "MKV: AVC High@L1.3", "AAC"}},
        {"-f lavfi -i testsrc=size=64x64:rate=1 -t 3700 " + x264,
         {"hour.mkv", "MKV: AVC High@L1", ""}},
        {v + a + "-t 3 " + vp9 + "-c:a libopus -live 1", {"live.webm", "WebM: VP9", "Opus", 3.0}},
    };
    for (const auto& [arguments, c] : cases) {
        Make("mkv/" + std::string(c.name), arguments);
    }
    // Written to a pipe: no seeking back to fill in the sizes and duration.
    const std::string piped = "ffmpeg -hide_banner -loglevel error -nostdin -y " + v + a + "-t 4 " +
                              vp9 + "-c:a libopus -f webm - > '" +
                              (movies / "piped.webm").native() + "'";
    ASSERT_EQ(std::system(piped.c_str()), 0);
    // mkvmerge writes each track's statistics, bit rate included, after the
    // clusters.
    const bool mkvmerge = std::system("mkvmerge --version >/dev/null 2>&1") == 0;
    if (mkvmerge) {
        const std::string merge = "mkvmerge -q -o '" + (movies / "mkvmerge.mkv").native() + "' '" +
                                  (movies / "h264.mkv").native() + "'";
        ASSERT_EQ(std::system(merge.c_str()), 0);
        // A segment title and a TITLE tag that differ.
        std::ofstream(dir / "tags.xml")
            << "<Tags><Tag><Simple><Name>TITLE</Name><String>Tagged</String></Simple></Tag></Tags>";
        fs::create_directory(dir / "titled");
        const std::string titled = "mkvmerge -q -o '" + (dir / "titled" / "titled.mkv").native() +
                                   "' --title Segment --global-tags '" +
                                   (dir / "tags.xml").native() + "' '" +
                                   (movies / "h264.mkv").native() + "'";
        ASSERT_EQ(std::system(titled.c_str()), 0);
    }

    // Named as an AVI: with all formats on, no MPEG guess inside it.
    fs::copy_file(movies / "mpeg2.mkv", movies / "mpeg2-named.avi");
    // As a browser records it: no frame duration stated for the video.
    Bytes recorded = ReadAll(movies / "h264.mkv");
    const Bytes frameDuration{0x23, 0xE3, 0x83};
    const auto id =
        std::search(recorded.begin(), recorded.end(), frameDuration.begin(), frameDuration.end());
    ASSERT_NE(id, recorded.end());
    id[2] = 0x84; // an element no reader knows
    WriteFile(movies / "recorded.mkv", recorded);
    // Cut inside its track list, within the sound track: the elements
    // around the cut overrun the file; the video track is whole.
    const Bytes whole = ReadAll(movies / "h264.mkv");
    WriteFile(movies / "cut.mkv",
              Bytes(whole.begin(),
                    whole.begin() + static_cast<std::ptrdiff_t>(Find(whole, "A_AAC") + 5)));
    const auto rows = ScanRows(movies, true);
    EXPECT_EQ(rows.at("mpeg2-named.avi").SubItems[2], "MKV: MPEG-2 Video");
    const auto check = [&](const std::string& name, const char* video, const char* audio,
                           double seconds) {
        SCOPED_TRACE(name);
        const FileRow& row = rows.at(name);
        EXPECT_EQ(row.SubItems[2], video);
        EXPECT_EQ(row.SubItems[7], audio);
        const nlohmann::json probe = Probe(movies / name);
        ExpectAgreement(row, probe, false);
        if (seconds > 0) {
            ASSERT_TRUE(row.Summary.DurationMs);
            EXPECT_NEAR(static_cast<double>(*row.Summary.DurationMs) / 1000, seconds, 0.5);
        }
    };
    for (const auto& [arguments, c] : cases) {
        check(c.name, c.video, c.audio, c.seconds);
    }
    check("piped.webm", "WebM: VP9", "Opus", 4.0);
    EXPECT_EQ(rows.at("h264.mkv").SubItems[11], "Title: Waves\r\nArtist: Me\r\n");
    const MediaSummary& languages = rows.at("languages.mkv").Summary;
    // One code per language: ffmpeg's "ger" and "fre" as 639-2/T.
    EXPECT_EQ(languages.AudioLanguages, (std::vector<std::string>{"eng", "deu"}));
    EXPECT_EQ(languages.SubtitleLanguages, std::vector<std::string>{"fra"});
    EXPECT_EQ(languages.SubtitleTracks, 1);
    EXPECT_NEAR(rows.at("recorded.mkv").Summary.FrameRate.value_or(0), 25, 0.01);
    EXPECT_EQ(rows.at("cut.mkv").SubItems.at(2), "MKV: AVC High@L1.3");
    // Uncompressed sound states its rate by its sample rate, channels and depth.
    EXPECT_EQ(rows.at("ffv1.mkv").Summary.AudioBitRate, 48000 * 16);
    // Constant-rate sound states it in its first frame's header, as ffprobe reads it.
    for (const char* name : {"hevc.mkv", "mpeg2.mkv", "mjpeg.mkv", "prores.mkv"}) {
        const nlohmann::json probe = Probe(movies / name);
        for (const nlohmann::json& stream : probe["streams"]) {
            if (stream["codec_type"] == "audio") {
                EXPECT_EQ(rows.at(name).Summary.AudioBitRate, Number(stream, "bit_rate")) << name;
            }
        }
    }
    // A file that states its duration costs at most 3 reads, one that does
    // not at most 5.
    for (const auto& [name, most] :
         {std::pair{"h264.mkv", 3}, std::pair{"cues-first.mkv", 3}, std::pair{"hour.mkv", 3},
          std::pair{"live.webm", 5}, std::pair{"mkvmerge.mkv", mkvmerge ? 3 : 0}}) {
        FileSource file;
        if (most == 0 || !file.Open(movies / name)) {
            continue;
        }
        CMatroskaReader reader;
        const FileActivity before = FileSource::Activity();
        EXPECT_TRUE(reader.LoadFromSource(file, movies / name));
        EXPECT_LE(FileSource::Activity().ReadCalls - before.ReadCalls, std::uint64_t(most)) << name;
    }
    if (mkvmerge) {
        // The segment's title first, as ffprobe gives it; the tag's after it.
        const std::string titled = ScanRows(dir / "titled", true).at("titled.mkv").SubItems.at(11);
        EXPECT_TRUE(titled.starts_with("Title: Segment\r\nTitle: Tagged\r\n")) << titled;
        const FileRow& row = rows.at("mkvmerge.mkv");
        const nlohmann::json probe = Probe(movies / "mkvmerge.mkv");
        const auto bps = [&](std::size_t index) {
            return std::stoll(probe["streams"][index]["tags"]["BPS"].get<std::string>());
        };
        EXPECT_EQ(row.Summary.VideoBitRate, bps(0));
        EXPECT_EQ(row.Summary.AudioBitRate, bps(1));
    }
}

} // namespace
} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

// Every transport stream ffmpeg makes agrees with ffprobe: 188-byte and
// M2TS packets, every listed extension in either case, 20 minutes long;
// joined recordings get their length from the clock's bit rate.
TEST_F(FfmpegFiles, TransportStreamRowsAgreeWithFfprobe) {
    const std::string kMasterDisplay =
        "'log-level=none:master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
        "L(10000000,1):max-cll=1000,400'";
    const std::string v = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string a = "-f lavfi -i sine=sample_rate=48000 ";
    const std::string x264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p ";
    const std::string x265 =
        "-c:v libx265 -preset ultrafast -x265-params log-level=none -pix_fmt yuv420p ";
    const std::vector<std::tuple<std::string, std::string, const char*, const char*>> cases{
        {"h264.ts", v + a + "-t 3 " + x264 + "-c:a aac", "TS: AVC High@L1.3", "AAC"},
        {"hevc.m2ts", v + a + "-t 3 " + x265 + "-c:a ac3 -ac 6 -mpegts_m2ts_mode 1",
         "M2TS: HEVC Main@L2", "AC-3"},
        {"mpeg2.mts", v + a + "-t 3 -c:v mpeg2video -c:a mp2", "TS: MPEG-2 Video Main@Main", "MP2"},
        {"eac3.m2t", v + a + "-t 3 " + x264 + "-c:a eac3", "TS: AVC High@L1.3", "E-AC-3"},
        {"mp3.ts", v + a + "-t 3 " + x264 + "-c:a libmp3lame", "TS: AVC High@L1.3", "MP3"},
        {"truehd.ts", v + a + "-t 3 " + x264 + "-c:a truehd -strict -2 -ac 6", "TS: AVC High@L1.3",
         "TrueHD"},
        {"mpeg4.ts", v + a + "-t 3 -c:v mpeg4 -c:a mp2", "TS: MPEG-4 Visual", "MP2"},
        {"latm.ts", v + a + "-t 3 " + x264 + "-c:a aac -mpegts_flags latm", "TS: AVC High@L1.3",
         "AAC"},
        {"VIDEO.TS", v + "-t 3 " + x264, "TS: AVC High@L1.3", ""},
        {"longer-sound.ts", kLongerSound + x264 + "-c:a aac", "TS: AVC High@L1.3", "AAC"},
        // Its parameter set's timing states a ceiling of 1,000,000 frames a
        // second: the rate comes from the frames' times.
        {"ceiling-timing.ts", v + "-t 3 " + x264 + "-enc_time_base 1:1000000", "TS: AVC High@L1.3",
         ""},
        {"ntsc.M2TS",
         "-f lavfi -i testsrc=size=320x240:rate=30000/1001 " + a + "-t 3 " + x264 +
             "-c:a ac3 -mpegts_m2ts_mode 1",
         "M2TS: AVC High@L1.3", "AC-3"},
        {"long.ts", "-f lavfi -i testsrc=size=64x64:rate=1 -t 1200 " + x264, "TS: AVC High@L1", ""},
        // HDR said only in the sequence parameter set's usability information.
        {"pq.ts",
         v + "-t 1 -c:v libx265 -pix_fmt yuv420p10le -x265-params "
             "log-level=none:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc",
         "TS: HEVC Main 10@L2 HDR10", ""},
        {"hlg.mkv",
         v + "-t 1 -c:v libx265 -pix_fmt yuv420p10le -x265-params "
             "log-level=none:scaling-list=default:transfer=arib-std-b67",
         "MKV: HEVC Main 10@L2 HLG", ""},
        {"pq-avc.mp4", v + "-t 1 -c:v libx264 -pix_fmt yuv420p10le -x264-params transfer=smpte2084",
         "MP4: AVC High 10@L1.3 HDR10", ""},
        // Only the mastering display and light level SEI, no transfer.
        {"sei.ts", v + "-t 1 -c:v libx265 -pix_fmt yuv420p10le -x265-params " + kMasterDisplay,
         "TS: HEVC Main 10@L2 HDR10", ""},
        {"sei.mkv", v + "-t 1 -c:v libx265 -pix_fmt yuv420p10le -x265-params " + kMasterDisplay,
         "MKV: HEVC Main 10@L2 HDR10", ""},
    };
    const fs::path movies = dir / "ts";
    fs::create_directory(movies);
    for (const auto& [name, arguments, video, audio] : cases) {
        Make("ts/" + name, arguments);
    }
    // Two recordings joined, the second short enough for the end window to
    // hold the jump where its clock starts again.
    Make("short.ts", v + a + "-t 1 " + x264 + "-c:a aac");
    const std::string joined = "cat '" + (movies / "h264.ts").native() + "' '" +
                               (dir / "short.ts").native() + "' > '" +
                               (movies / "joined.ts").native() + "'";
    ASSERT_EQ(std::system(joined.c_str()), 0);
    // Cut where no programme association table lies: the programme map is
    // found by its table id.
    const Bytes pq = ReadAll(movies / "pq.ts");
    Bytes noAssociation;
    for (std::size_t at = 0; at + 188 <= pq.size(); at += 188) {
        if (((pq[at + 1] & 0x1F) << 8 | pq[at + 2]) != 0) {
            noAssociation.insert(noAssociation.end(), pq.begin() + static_cast<std::ptrdiff_t>(at),
                                 pq.begin() + static_cast<std::ptrdiff_t>(at + 188));
        }
    }
    WriteFile(movies / "no-pat.ts", noAssociation);
    Make("ts/truehd.m2ts",
         v + a + "-t 3 " + x264 + "-c:a truehd -strict -2 -ac 6 -f mpegts -mpegts_m2ts_mode 1");
    // A segment whose tables come only in its middle, and one without any
    // table: the same row as the whole stream's.
    const Bytes whole = ReadAll(movies / "h264.ts");
    Bytes tables;
    Bytes streams;
    for (std::size_t at = 0; at + 188 <= whole.size(); at += 188) {
        const unsigned pid = (whole[at + 1] & 0x1FU) << 8 | whole[at + 2];
        Bytes& kept = pid == 0 || pid == 0x1000 ? tables : streams;
        kept.insert(kept.end(), whole.begin() + static_cast<std::ptrdiff_t>(at),
                    whole.begin() + static_cast<std::ptrdiff_t>(at + 188));
    }
    WriteFile(movies / "no-tables.ts", streams);
    const auto middle = static_cast<std::ptrdiff_t>(streams.size() / 188 / 2 * 188);
    streams.insert(streams.begin() + middle, tables.begin(), tables.begin() + 2 * 188);
    WriteFile(movies / "middle-tables.ts", streams);

    const auto rows = ScanRows(movies, true);
    EXPECT_EQ(rows.at("no-pat.ts").SubItems, rows.at("pq.ts").SubItems);
    for (const char* cut : {"middle-tables.ts", "no-tables.ts"}) {
        EXPECT_EQ(rows.at(cut).SubItems, rows.at("h264.ts").SubItems) << cut;
    }
    // Blu-ray's TrueHD beside its AC-3 core (where ffprobe lists the core
    // as a stream of its own): the rate and channels of the major sync.
    const FileRow& blueRay = rows.at("truehd.m2ts");
    EXPECT_EQ(blueRay.Summary.AudioCodec, "TrueHD");
    EXPECT_EQ(blueRay.Summary.SampleRate, 48000);
    EXPECT_EQ(blueRay.Summary.Channels, 6);
    for (const auto& [name, arguments, video, audio] : cases) {
        SCOPED_TRACE(name);
        const FileRow& row = rows.at(name);
        EXPECT_EQ(row.SubItems[2], video);
        EXPECT_EQ(row.SubItems[7], audio);
        ExpectAgreement(row, Probe(movies / name), false);
    }
    const FileRow& row = rows.at("joined.ts");
    ASSERT_TRUE(row.Summary.DurationMs);
    EXPECT_NEAR(static_cast<double>(*row.Summary.DurationMs) / 1000, 4.0, 1.0);
    // One read at each end, however long the file.
    FileSource file;
    ASSERT_TRUE(file.Open(movies / "long.ts"));
    CTsReader reader;
    const FileActivity before = FileSource::Activity();
    EXPECT_TRUE(reader.LoadFromSource(file, movies / "long.ts"));
    EXPECT_LE(FileSource::Activity().ReadCalls - before.ReadCalls, 2u);
}

// Windows Media, Flash Video and Ogg files made by ffmpeg agree with
// ffprobe, and each costs at most two reads (Ogg three).
TEST_F(FfmpegFiles, WindowsMediaFlashAndOggRowsAgreeWithFfprobe) {
    const std::string v = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string a = "-f lavfi -i sine=sample_rate=44100 -t 3 -pix_fmt yuv420p ";
    const struct {
        const char* name;
        std::string arguments;
        const char* video;
        const char* audio;
        std::size_t reads;
        bool bitRates = true; // ffmpeg states no MP3 bit rate in an ASF header
    } cases[] = {
        {"wmv1.wmv", v + a + "-c:v wmv1 -c:a wmav2", "WMV: WMV1", "WMA v2", 2},
        {"wmv2.asf", v + a + "-c:v wmv2 -c:a libmp3lame -metadata title=Waves", "WMV: WMV2", "MP3",
         2, false},
        {"ntsc.wmv",
         "-f lavfi -i testsrc=size=320x240:rate=30000/1001 " + a + "-c:v wmv2 -c:a wmav2",
         "WMV: WMV2", "WMA v2", 3}, // more frames to tell 29.97 from 30
        {"msmpeg4.asf", v + a + "-c:v msmpeg4 -c:a wmav2", "ASF: MP43", "WMA v2", 2},
        // Its first frames are larger than the block read with the header.
        {"large-frames.wmv",
         "-f lavfi -i testsrc=size=1280x720:rate=30 " + a + "-c:v wmv1 -c:a wmav2", "WMV: WMV1",
         "WMA v2", 3},
        {"msmpeg4.wmv", v + a + "-c:v msmpeg4 -c:a libmp3lame -ac 2", "WMV: MP43", "MP3", 2, false},
        {"spark.flv", v + a + "-c:v flv1 -c:a libmp3lame -metadata title=Waves",
         "FLV: Sorenson Spark", "MP3", 2},
        {"avc.flv", v + a + "-c:v libx264 -preset veryfast -c:a aac -ac 2", "FLV: AVC High@L1.3",
         "AAC", 2},
        {"bare-avc.flv",
         v + a + "-c:v libx264 -preset veryfast -c:a aac -ac 1 -flvflags no_metadata",
         "FLV: AVC High@L1.3", "AAC", 2},
        {"bare-spark.flv", v + a + "-c:v flv1 -c:a libmp3lame -flvflags no_metadata",
         "FLV: Sorenson Spark", "MP3", 2},
        // Its first tag is larger than the first block; no metadata.
        {"large-frames.flv",
         "-f lavfi -i testsrc=size=1280x720:rate=30 " + a +
             "-c:v flv1 -q:v 2 -c:a libmp3lame -flvflags no_metadata",
         "FLV: Sorenson Spark", "MP3", 4},
        {"vorbis.ogv", v + a + "-c:v libtheora -c:a libvorbis -metadata title=Waves", "OGG: Theora",
         "Vorbis", 3},
        {"longer-sound.ogv", kLongerSound + "-c:v libtheora -c:a libvorbis", "OGG: Theora",
         "Vorbis", 3},
        {"opus.ogv",
         v + "-f lavfi -i sine=sample_rate=48000 -t 3 -pix_fmt yuv420p -c:v libtheora -c:a libopus",
         "OGG: Theora", "Opus", 3},
    };
    fs::create_directory(dir / "old");
    for (const auto& c : cases) {
        Make("old/" + std::string(c.name), c.arguments);
    }
    const auto rows = ScanRows(dir / "old", true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileRow& row = rows.at(c.name);
        EXPECT_EQ(row.SubItems[2], c.video);
        EXPECT_EQ(row.SubItems[7], c.audio);
        ExpectAgreement(row, Probe(dir / "old" / c.name), c.bitRates);
        if (std::string(c.arguments).find("title") != std::string::npos) {
            EXPECT_EQ(row.SubItems[11], "Title: Waves\r\n");
        }
        const fs::path path = dir / "old" / c.name;
        const ReaderKind kind = row.Source == RowSource::Asf   ? ReaderKind::Asf
                                : row.Source == RowSource::Flv ? ReaderKind::Flv
                                                               : ReaderKind::Ogg;
        FileSource file;
        ASSERT_TRUE(file.Open(path));
        ReaderSet readers;
        const std::function<std::string()> caption = [] { return std::string(); };
        const FileActivity before = FileSource::Activity();
        EXPECT_TRUE(ReaderFor(kind).Load(readers, file, {path, caption, 0}));
        EXPECT_LE(FileSource::Activity().ReadCalls - before.ReadCalls, c.reads);
    }
}

TEST_F(FfmpegFiles, ClassicShapesGetTodaysRowsWithAllFormats) {
    const std::string v = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string a = "-f lavfi -i sine=sample_rate=48000 -t 4 ";
    const std::string dvd = "-f lavfi -i testsrc=size=720x576:rate=25 " + a;
    const struct {
        const char* name;
        std::string arguments;
        const char* video;
        const char* audio;
        bool bitRates = true; // ffprobe states a program stream's video rate nowhere
    } cases[] = {
        {"h264.mov", v + a + "-c:v libx264 -pix_fmt yuv420p -preset veryfast -c:a aac",
         "MOV: AVC High@L1.3", "AAC"},
        {"hevc.mov",
         v + a +
             "-c:v libx265 -x265-params log-level=error -pix_fmt yuv420p10le -tag:v hvc1 -c:a aac",
         "MOV: HEVC Main 10@L2", "AAC"},
        {"prores.mov", v + a + "-c:v prores -c:a pcm_s16le", "MOV: ProRes", "PCM"},
        {"mjpeg.mov", v + a + "-c:v mjpeg -c:a alac", "MOV: Motion JPEG", "ALAC"},
        {"pal.vob", dvd + "-target pal-dvd", "VOB: MPEG-2 Video Main@Main", "AC-3", false},
        {"ntsc.vob", "-f lavfi -i testsrc=size=720x480:rate=30000/1001 " + a + "-target ntsc-dvd",
         "VOB: MPEG-2 Video Main@Main", "AC-3", false},
        // ffprobe gives MPEG-1's ceiling as the video's rate.
        {"system.mpg", v + a + "-c:v mpeg1video -c:a mp2 -f mpeg", "MPEG-PS: MPEG-1 Video", "MP2",
         false},
        {"mp2.mpg", v + a + "-c:v mpeg2video -c:a mp2 -f vob", "MPEG-PS: MPEG-2 Video Main@Main",
         "MP2", false},
        {"lpcm.mpg", v + a + "-c:v mpeg2video -c:a pcm_dvd -f vob",
         "MPEG-PS: MPEG-2 Video Main@Main", "PCM", false},
        // Told by their first start codes together: MPEG-4 Visual's group
        // of pictures is no sequence header, HEVC's units no picture header.
        {"mpeg4.mpg", v + a + "-c:v mpeg4 -c:a mp2 -f mpeg", "MPEG-PS: MPEG-4 Visual", "MP2",
         false},
        {"hevc.vob",
         v + a + "-c:v libx265 -x265-params log-level=error -pix_fmt yuv420p -c:a ac3 -f vob",
         "VOB: HEVC Main@L2", "AC-3", false},
        {"xvid.avi", v + a + "-c:v libxvid -c:a libmp3lame", "AVI: MPEG-4 Visual (xvid)", "MP3"},
        {"h264.avi", v + a + "-c:v libx264 -preset veryfast -c:a aac", "AVI: AVC", "AAC"},
        {"dv.avi", dvd + "-c:v dvvideo -pix_fmt yuv420p -c:a pcm_s16le", "AVI: DV", "PCM"},
        {"mjpeg.avi", v + a + "-c:v mjpeg -c:a pcm_s16le", "AVI: Motion JPEG", "PCM"},
        // Sound that runs past the last frame: the length is the sound's.
        {"longer-sound.avi", kLongerSound + "-c:v mpeg4 -c:a libmp3lame",
         "AVI: MPEG-4 Visual (FMP4)", "MP3"},
        // Sound alone: the length from the sound's stream header.
        {"flac.avi", a + "-c:a flac", "", "FLAC"},
        {"mp3.avi", a + "-c:a libmp3lame", "", "MP3"},
    };
    fs::create_directory(dir / "classic");
    for (const auto& c : cases) {
        Make("classic/" + std::string(c.name), c.arguments);
    }
    // An AVI whose main header counts fewer frames than its OpenDML header,
    // as in a capture of more than one RIFF part: ffmpeg reserves the OpenDML
    // list as JUNK in a small file; make it the list, with the whole count.
    Bytes odml = ReadAll(dir / "classic" / "xvid.avi");
    const std::size_t list = Find(odml, "odmldmlh") - 8;
    std::copy_n("LIST", 4, odml.begin() + static_cast<std::ptrdiff_t>(list));
    odml[list + 20] = 101;
    const std::size_t frames = Find(odml, "avih") + 8 + 16;
    odml[frames] = 10;
    WriteFile(dir / "classic" / "odml.avi", odml);

    const auto rows = ScanRows(dir / "classic", true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileRow& row = rows.at(c.name);
        EXPECT_EQ(row.SubItems[2], c.video);
        EXPECT_EQ(row.SubItems[7], c.audio);
        ExpectAgreement(row, Probe(dir / "classic" / c.name), c.bitRates);
        // A DVD's sequence header states its ceiling, never shown as a rate.
        EXPECT_NE(row.SubItems[3], "9000 kbit/s");
    }
    EXPECT_EQ(rows.at("odml.avi").SubItems[1], rows.at("xvid.avi").SubItems[1]);

    // A DVD title is split at pack boundaries: every piece reads within half
    // a second of ffprobe.
    const Bytes title =
        ReadAll(Make("title.vob", "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi "
                                  "-i sine=sample_rate=48000 -t 12 -target pal-dvd"));
    fs::create_directory(dir / "pieces");
    constexpr std::size_t kPack = 2048;
    for (const std::size_t first : {0U, 97U, 501U, 803U}) {
        ASSERT_LT(first * kPack, title.size());
        const std::size_t end = std::min(title.size(), (first + 600) * kPack);
        WriteFile(dir / "pieces" / (std::to_string(first) + ".vob"),
                  Bytes(title.begin() + static_cast<std::ptrdiff_t>(first * kPack),
                        title.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    for (const auto& [name, row] : ScanRows(dir / "pieces", true)) {
        SCOPED_TRACE(name);
        const nlohmann::json probe = Probe(dir / "pieces" / name);
        ASSERT_TRUE(row.Summary.DurationMs);
        EXPECT_NEAR(static_cast<double>(*row.Summary.DurationMs) / 1000,
                    std::stod(probe["format"]["duration"].get<std::string>()), 0.5);
    }
}

} // namespace
} // namespace vidarium::testing

// End to end: the bytes vidarium-scan writes, its exit codes and its errors.
#include "builders.h"
#include "runscanner.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

TEST(ScanProgram, WritesExportLinesInListOrder) {
    TempDir dir;
    // One movie file per directory, so the expected order does not depend on
    // the file system's enumeration order.
    AviParams avi;
    avi.microSecPerFrame = 33367;
    avi.totalFrames = 2700;
    avi.rate = 30000;
    avi.scale = 1001;
    avi.width = 640;
    avi.height = 480;
    avi.videoHandler = "XVID";
    avi.audioTag = 0x2000;
    avi.channels = 6;
    avi.samplesPerSec = 48000;
    avi.avgBytesPerSec = 56000;
    WriteFile(dir / "clip.avi", AviFile(avi));
    fs::create_directory(dir / "mpeg");
    WriteFile(dir / "mpeg" / "film.m2v", MpegFile(720, 576, 3, 15000, 10, 3735, 300000));
    fs::create_directories(dir / "mpeg" / "z");
    WriteFile(dir / "mpeg" / "z" / "odd name.mov", Bytes(1048577, 0x20));
    fs::create_directories(dir / "mpeg" / "z" / "qt");
    const Bytes movie = Atom(
        "moov",
        Concat({Atom("mvhd", TimeHeaderPayload(600, 45045)),
                Track("vide", 600, 45045, VideoDescriptions("SVQ3", 320, 240, "Sorenson Video 3")),
                Track("soun", 22050, 1655000, SoundDescriptions({})),
                Container("udta", {UserDataItem("\xA9nam", "Title"), UserDataItem("\xA9"
                                                                                  "cpy",
                                                                                  "Us")})}));
    WriteFile(dir / "mpeg" / "z" / "qt" / "movie.AVI", movie);

    const Outcome outcome = RunScanner(Quote(dir.path().native()), dir / "err.txt");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(
        outcome.out,
        "clip.avi\t0 MB\t0:01:30\tAVI: XVID\t\t640\t480\t29.97\tAC3\t448 kbit/s\t48000\t6\t\r\n"
        "film.m2v\t0 MB\t1:02:05\tMPEG\t6000 kbit/s\t720\t576\t25\t\t\t\t\t\r\n"
        "odd name.mov\t1 MB\t\r\n"
        "movie.AVI\t0 MB\t0:01:15\tMOV: SVQ3: Sorenson Video 3\t\t320\t240\t\ttwos: "
        "Uncompressed\t\t44100\t2\tFull Name: Title\r\nCopyright: Us\t\r\n");
    EXPECT_EQ(ReadText(dir / "err.txt"), "");
    // With all formats on, the AVI, the QuickTime movie and the elementary
    // stream get today's rows; the file no reader accepts keeps its own.
    EXPECT_EQ(RunScanner("--all-formats " + Quote(dir.path().native()), dir / "err.txt").out,
              "clip.avi\t0 MB\t0:01:30\tAVI: MPEG-4 Visual (XVID)\t\t640\t480\t29.97\tAC-3\t"
              "448 kbit/s\t48000\t6\t\t\r\n"
              "film.m2v\t0 MB\t1:02:05\tMPEG Video: MPEG-1 Video\t6000 kbit/s\t720\t576\t25\t\t\t"
              "\t\t\t\r\n"
              "odd name.mov\t1 MB\t\r\n"
              "movie.AVI\t0 MB\t0:01:15\tMOV: Sorenson Video 3\t\t320\t240\t\tPCM\t1411 "
              "kbit/s\t44100\t2\t"
              "Title: "
              "Title\r\nCopyright: Us\t\r\n");
}

TEST(ScanProgram, UsageAndErrors) {
    TempDir dir;
    const fs::path err = dir / "err.txt";

    Outcome outcome = RunScanner("--help", err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.rfind("Usage: vidarium-scan [OPTION]... PATH...\n", 0), 0u);

    outcome = RunScanner("", err);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(ReadText(err).rfind("Usage: vidarium-scan [OPTION]... PATH...\n", 0), 0u);

    const std::string missing = (dir / "missing").native();
    outcome = RunScanner(Quote(missing), err);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(ReadText(err), "vidarium-scan: " + missing + ": No such file or directory\n");

    WriteFile(dir / "file.avi", AviFile());

    // DIR is trimmed and completed like the window's path.
    outcome = RunScanner(Quote("  " + dir.path().native() + " "), err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.rfind("file.avi\t0 MB\t0:00:10\tAVI: DIVX\t", 0), 0u);

    // Options that would take what they were not given: each says so.
    fs::create_directory(dir / "folder");
    const std::string folder = Quote((dir / "folder").native());
    for (const auto& [arguments, message] :
         {std::pair{"--format=csv --columns= " + folder, "--columns needs a value"},
          std::pair{"-0 " + folder, "-0 needs --files-from"},
          std::pair{"--format=csv --columns=Nope " + folder, "(the columns: Filename,Filesize,"}}) {
        SCOPED_TRACE(arguments);
        outcome = RunScanner(arguments, err);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(ReadText(err).find(message), std::string::npos) << ReadText(err);
    }
    // Files seen are files (the movie and this file of errors): the folder
    // beside them is none.
    outcome = RunScanner("--stats " + Quote(dir.path().native()), err);
    EXPECT_TRUE(ReadText(err).starts_with("vidarium-scan: 2 files seen,")) << ReadText(err);
}

TEST(ScanProgram, ManualPageNamesEveryOption) {
    // --help and the manual page say the same things: every option of one
    // is in the other.
    const Outcome help = RunScanner("--help", "/dev/null");
    std::string page = ReadText(VIDARIUM_MANUAL_PAGE);
    for (std::size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) {
        page.erase(at, 1); // roff's escaped hyphen
    }
    for (std::size_t at = help.out.find("  -"); at != std::string::npos;
         at = help.out.find("  -", at + 1)) {
        const std::string option =
            help.out.substr(at + 2, help.out.find_first_of(" =,\n", at + 2) - at - 2);
        EXPECT_NE(page.find(option), std::string::npos) << option;
    }
}

TEST(ScanProgram, SeveralPathsFilesAndLists) {
    // Folders and files in the order given; a missing path among them is
    // named, the others still scanned.
    TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    WriteFile(dir / "a" / "one.avi", AviFile());
    WriteFile(dir / "b" / "two.mpg", MpegFile(352, 288, 3, 2875, 0, 5));
    WriteFile(dir / "notes.txt", Bytes(3, 'x'));
    WriteFile(dir / "clip.bin", IsoMovie());
    const std::string a = (dir / "a").native();
    const std::string b = (dir / "b").native();
    const std::string missing = (dir / "missing").native();
    const std::string notes = (dir / "notes.txt").native();
    Outcome outcome = RunScanner("--format=csv " + Quote(a) + " " + Quote(missing) + " " +
                                     Quote(b) + " " + Quote(notes),
                                 dir / "err.txt");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(ReadText(dir / "err.txt"),
              "vidarium-scan: " + missing + ": No such file or directory\n");
    // Paths relative to their folder argument; a file's as given.
    // The last field of each record.
    const auto lines = [](const std::string& text) {
        std::vector<std::string> paths;
        for (std::size_t end = text.find("\r\n"); end != std::string::npos;
             end = text.find("\r\n", end + 2)) {
            const std::size_t comma = text.rfind(',', end);
            paths.push_back(text.substr(comma + 1, end - comma - 1));
        }
        return paths;
    };
    EXPECT_EQ(lines(outcome.out), (std::vector<std::string>{"Path", "one.avi", "two.mpg", notes}));
    EXPECT_NE(outcome.out.find("notes.txt,0 MB,"), std::string::npos); // its plain row

    // A list, by lines from a file or NUL-separated from standard input;
    // with all formats, a file goes by its content whatever its name.
    const std::string clip = (dir / "clip.bin").native();
    const std::string byLines = a + "\n\n" + clip + "\n";
    WriteFile(dir / "list.txt", Bytes(byLines.begin(), byLines.end()));
    const std::string nul = b + std::string(1, '\0') + clip + std::string(1, '\0');
    WriteFile(dir / "list0", Bytes(nul.begin(), nul.end()));
    outcome = RunScanner("--all-formats --files-from=" + Quote((dir / "list.txt").native()),
                         dir / "err.txt");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.substr(0, 8), "one.avi\t");
    EXPECT_NE(outcome.out.find("clip.bin\t0 MB\t0:00:05\tMP4: AVC\t"), std::string::npos)
        << outcome.out;
    outcome = RunScanner("-0 --files-from=- < " + Quote((dir / "list0").native()), dir / "err.txt");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.substr(0, 8), "two.mpg\t");
    EXPECT_NE(outcome.out.find("clip.bin\t0 MB\t\r\n"), std::string::npos) << outcome.out;
}

TEST(ScanProgram, WarnsAboutAnUnreadableDirectory) {
    TempDir dir;
    fs::create_directory(dir / "locked");
    WriteFile(dir / "locked" / "hidden.avi", AviFile());
    fs::permissions(dir / "locked", fs::perms::none);
    const Outcome outcome = RunScanner(Quote(dir.path().native()), dir / "err.txt", true);
    // Named itself, the folder that cannot be read is a failed scan.
    const Outcome named = RunScanner(Quote((dir / "locked").native()), dir / "err2.txt", true);
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(ReadText(dir / "err.txt"),
              "vidarium-scan: " + (dir / "locked").native() + "/: cannot read directory\n");
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(ReadText(dir / "err2.txt"),
              "vidarium-scan: " + (dir / "locked").native() + "/: Permission denied\n");
}

TEST(ScanProgram, NamesAMovieWhosePathIsTooLong) {
    // The folder's path fits the system's limit; the movie's full path does
    // not, so it cannot be opened: its plain row says 0 MB, and stderr why.
    TempDir dir;
    fs::path deep = dir.path();
    while (deep.native().size() < PATH_MAX - 300) {
        deep /= std::string(200, 'd');
    }
    fs::create_directories(deep);
    const std::string name = std::string(250, 'm') + ".avi";
    const int folder = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    const int movie = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(movie, 0);
    ::close(movie);
    ::close(folder);
    const Outcome outcome = RunScanner(Quote(dir.path().native()), dir / "err.txt");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, name + "\t0 MB\t\r\n");
    EXPECT_EQ(ReadText(dir / "err.txt"), "vidarium-scan: " + (deep / name).native() +
                                             ": cannot read file (File name too long)\n");
    // Too long for the temporary folder's removal too.
    const int again = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ::unlinkat(again, name.c_str(), 0);
    ::close(again);
}

// Runs the scanner over `directory` with its output on a pipe, sends SIGINT
// `interrupts` times once the first line has arrived, and returns the output
// and the wait status.
std::pair<std::string, int> InterruptScanner(const std::string& directory, int interrupts) {
    int out[2];
    if (::pipe(out) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = VIDARIUM_SCAN_PATH;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(directory.c_str()),
                    nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return {};
    }
    std::string output;
    std::array<char, 4096> buffer{};
    bool signalled = false;
    for (;;) {
        const ssize_t count = ::read(out[0], buffer.data(), buffer.size());
        if (count <= 0) {
            break;
        }
        output.append(buffer.data(), static_cast<std::size_t>(count));
        if (!signalled && output.find('\n') != std::string::npos) {
            for (int i = 0; i < interrupts; ++i) {
                ::kill(pid, SIGINT);
            }
            signalled = true;
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {output, status};
}

TEST(ScanProgram, SecondInterruptEndsAtOnceWithWholeLines) {
    TempDir dir;
    for (int i = 0; i < 3000; ++i) {
        WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
    }
    for (int run = 0; run < 5; ++run) {
        const auto [output, status] = InterruptScanner(dir.path().native(), 2);
        ASSERT_TRUE(WIFSIGNALED(status) || WIFEXITED(status));
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), SIGINT);
        }
        EXPECT_TRUE(output.ends_with("\t\r\n")) << "only whole lines";
    }
}

TEST(ScanProgram, InterruptActsAsStop) {
    TempDir dir;
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i) {
        WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
    }
    const auto [output, status] = InterruptScanner(dir.path().native(), 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const auto lines = std::count(output.begin(), output.end(), '\n');
    EXPECT_GE(lines, 1);
    EXPECT_LT(lines, kFiles);
    EXPECT_TRUE(output.ends_with("\t\r\n")) << "the last row is written whole";
}

// A folder whose rows test every format: a name with a comma, a quote, a line
// break and bytes that are not UTF-8; a QuickTime row with several user-data
// items; an AVI row; a plain row; and a subfolder.
void WriteFormatFolder(const fs::path& root) {
    const Bytes movie =
        Atom("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 3003)),
                             Track("vide", 600, 3003, VideoDescriptions("avc1", 640, 480, "H.264")),
                             Container("udta", {UserDataItem("\xA9nam", "Beach, \"dusk\""),
                                                UserDataItem("\xA9xyz", "caf\xE9")})}));
    WriteFile(root / "a,\"b\"\nc\xFF.mov", movie);
    fs::create_directory(root / "sub");
    WriteFile(root / "sub" / "clip.avi", AviFile());
    WriteFile(root / "sub" / "other.mpg", Bytes(100, 0));
}

TEST(ScanProgram, CsvDecodesEachRunOfACell) {
    // A QuickTime label's 0xA9 is no UTF-8; the UTF-8 text after it stays.
    TempDir dir;
    WriteFile(
        dir / "a.mov",
        Atom("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 3003)),
                             Track("vide", 600, 3003, VideoDescriptions("avc1", 640, 480, "H.264")),
                             Container("udta", {UserDataItem("\xA9"
                                                             "ART",
                                                             "Zo\xC3\xAB")})})));
    ::setenv("LC_ALL", "C.UTF-8", 1);
    const Outcome outcome = RunScanner("--format=csv " + Quote(dir.path().native()), dir / "err");
    ::unsetenv("LC_ALL");
    EXPECT_NE(outcome.out.find("\xC2\xA9"
                               "ART: Zo\xC3\xAB"),
              std::string::npos)
        << outcome.out;
}

TEST(ScanProgram, CsvColumnsChosenByName) {
    TempDir dir;
    WriteFile(dir / "clip.mp4", IsoMovie());
    const fs::path err = dir / "err.txt";
    const Outcome outcome =
        RunScanner("--all-formats --format=csv '--columns=filename,Container,Display size,Path' " +
                       Quote(dir.path().native()),
                   err);
    EXPECT_EQ(outcome.status, 0) << ReadText(err);
    EXPECT_EQ(outcome.out, "Filename,Container,Display size,Path\r\n"
                           "clip.mp4,MP4,640 x 360,clip.mp4\r\n");
    for (const char* bad : {"--format=csv --columns=Filename,Nope", "--columns=Filename"}) {
        EXPECT_EQ(RunScanner(std::string(bad) + " " + Quote(dir.path().native()), err).status, 2)
            << bad;
        EXPECT_TRUE(ReadText(err).ends_with("for more information.\n")) << ReadText(err);
    }
    EXPECT_NE(ReadText(err).find("--columns needs --format=csv"), std::string::npos);
}

TEST(ScanProgram, NoTextOfAFileBreaksALineOrAField) {
    // An AVI title, an MP4 title and a Matroska tag, each with CR LF, TAB
    // and NUL inside; and an AVI whose picture is
    // stored top down, one with a garbage width and a stream rate of 0.
    const std::string forged = std::string("Evil\r\nforged.avi\t1 MB\t") + '\0' + "tail";
    Bytes text;
    AppendText(text, forged);
    TempDir dir;
    WriteFile(dir / "title.avi",
              AviFileWithFirst(List("INFO", {Chunk("INAM", text)}), {.height = -240}));
    WriteFile(dir / "garbage.avi", AviFile({.rate = 0, .width = -1'381'170'960}));
    IsoParams mp4;
    mp4.movieExtras = Container(
        "udta",
        {FullBox("meta", 0,
                 Concat({FullBox("hdlr", 0,
                                 Concat({Bytes(4, 0), Bytes{'m', 'd', 'i', 'r'}, Bytes(12, 0)})),
                         Container("ilst", {IlstItem("\xA9nam", forged)})}))});
    WriteFile(dir / "title.mp4", IsoMovie(mp4));
    const Bytes tags = Ebml(
        0x1254C367,
        Ebml(0x7373, Ebml(0x67C8, Concat({EbmlText(0x45A3, "ARTIST"), EbmlText(0x4487, forged)}))));
    WriteFile(dir / "tag.mkv", MatroskaFile(5000, 4000, tags));
    for (const char* format : {"tsv", "csv", "json"}) {
        SCOPED_TRACE(format);
        const Outcome outcome = RunScanner(std::string("--all-formats --format=") + format + " " +
                                               Quote(dir.path().native()),
                                           dir / "err");
        ASSERT_EQ(outcome.status, 0) << ReadText(dir / "err");
        // One line a file, a header line for CSV, and no NUL anywhere; the
        // Matroska row's two items are apart by the cell's own line break.
        std::string out = outcome.out;
        if (const std::size_t second = out.find("\r\nArtist: "); second != std::string::npos) {
            out.replace(second, 2, " ");
        }
        const std::string end = std::string(format) == "json" ? "\n" : "\r\n";
        std::size_t lines = 0;
        for (std::size_t at = out.find(end); at != std::string::npos; at = out.find(end, at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, std::string(format) == "csv" ? 5U : 4U) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(lines)) << out;
        EXPECT_EQ(out.find('\0'), std::string::npos);
        EXPECT_NE(out.find("Evil  forged.avi 1 MB  tail"), std::string::npos) << out;
        if (std::string(format) == "tsv") {
            // Each row's fields: 13 and the line end.
            for (std::size_t start = 0; start < out.size();) {
                const std::size_t stop = out.find("\r\n", start);
                const std::string line = out.substr(start, stop - start);
                EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 13) << line;
                start = stop + 2;
            }
            // Sides as magnitudes, a garbage side and a rate of 0 not stated.
            EXPECT_NE(out.find("title.avi\t0 MB\t0:00:10\tAVI: MPEG-4 Visual (DIVX)\t"),
                      std::string::npos);
            EXPECT_NE(out.find("\t320\t240\t25\t"), std::string::npos) << out;
            const std::string garbage = out.substr(out.find("garbage.avi"));
            EXPECT_NE(garbage.find("\t\t240\t\tMP3"), std::string::npos) << garbage;
        }
    }
}

// The classic rows too: a handler, a compressor name and a user data text
// with control bytes give cells without them (the Comments cell keeps the
// line break of its text), and a numbered compression is named.
TEST(ScanProgram, NoControlByteOfAFileReachesACell) {
    TempDir dir;
    const std::string_view rle8("\x01\0\0\0", 4);
    WriteFile(dir / "rle.avi", AviFile({.videoHandler = "d\tv\x1b", .compression = rle8}));
    WriteFile(
        dir / "name.mov",
        Atom("moov",
             Concat({Atom("mvhd", TimeHeaderPayload(600, 6000)),
                     Track("vide", 600, 6000, VideoDescriptions("avc1", 320, 240, "H.2\t64\x7f")),
                     Container("udta", {UserDataItem("\xA9nam", "a\tb\x01c\r\nd")})})));
    for (const char* options : {"", "--all-formats "}) {
        for (const char* format : {"tsv", "csv", "json"}) {
            SCOPED_TRACE(std::string(options) + format);
            const std::string out = RunScanner(std::string(options) + "--format=" + format + " " +
                                                   Quote(dir.path().native()),
                                               dir / "err")
                                        .out;
            EXPECT_EQ(std::count_if(out.begin(), out.end(),
                                    [](char c) {
                                        return (static_cast<unsigned char>(c) < 0x20 && c != '\t' &&
                                                c != '\r' && c != '\n') ||
                                               c == 0x7f;
                                    }),
                      0)
                << out;
            if (std::string(format) == "tsv") {
                // The AVI's 12 fields (the modern row's 13), the movie's 13.
                const std::string avi = out.substr(out.find("rle.avi"));
                const std::string line = avi.substr(0, avi.find("\r\n"));
                EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), *options == '\0' ? 12 : 13)
                    << line;
                const std::string movie = out.substr(out.find("name.mov"));
                EXPECT_EQ(std::count(movie.begin(),
                                     movie.find("rle.avi") < movie.size()
                                         ? movie.begin() + static_cast<long>(movie.find("rle.avi"))
                                         : movie.end(),
                                     '\t'),
                          13)
                    << movie;
            }
        }
    }
    EXPECT_NE(RunScanner("--all-formats " + Quote(dir.path().native()), dir / "err")
                  .out.find("\tAVI: Microsoft RLE\t"),
              std::string::npos);
}

TEST(ScanProgram, SmallPoints) {
    TempDir dir;
    WriteFile(dir / "a.avi", AviFile());
    const fs::path err = dir / "err.txt";
    // -h is --help.
    EXPECT_EQ(RunScanner("-h", err).out, RunScanner("--help", err).out);
    // A usage error: its reason and where help is, not the whole help.
    EXPECT_EQ(RunScanner("--bogus " + Quote(dir.path().native()), err).status, 2);
    const std::string said = ReadText(err);
    EXPECT_NE(said.find("--bogus"), std::string::npos) << said;
    EXPECT_TRUE(said.ends_with("Try 'vidarium-scan --help' for more information.\n")) << said;
    EXPECT_EQ(said.find("Usage:"), std::string::npos) << said;
    // A list written with CR LF line ends; a file named itself is counted.
    const std::string line = (dir / "a.avi").native() + "\r\n";
    WriteFile(dir / "list.txt", Bytes(line.begin(), line.end()));
    const Outcome listed =
        RunScanner("--stats --files-from=" + Quote((dir / "list.txt").native()), err);
    EXPECT_EQ(listed.status, 0) << ReadText(err);
    EXPECT_TRUE(listed.out.starts_with("a.avi\t")) << listed.out;
    EXPECT_TRUE(ReadText(err).starts_with("vidarium-scan: 1 files seen, rows: 1 avi,"))
        << ReadText(err);
}

TEST(ScanProgram, ReadsInFlightNeverChangeTheRows) {
    TempDir dir;
    for (int folder = 0; folder < 3; ++folder) {
        const fs::path sub = dir / ("f" + std::to_string(folder));
        fs::create_directory(sub);
        for (int i = 0; i < 40; ++i) {
            const std::string stem = sub.native() + "/m" + std::to_string(i);
            WriteFile(stem + ".avi", AviFile());
            WriteFile(stem + ".mpg", MpegFile(352, 288, 3, 2875, 0, static_cast<unsigned>(i)));
            WriteFile(stem + ".mov", Bytes(static_cast<std::size_t>(i), 1));
        }
        ::mkfifo((sub / "fifo.mov").c_str(), 0600);
    }
    const fs::path err = dir / "err.txt";
    const Outcome one = RunScanner("--reads-in-flight=0 " + Quote(dir.path().native()), err);
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 3 * 121);
    for (const char* option : {"--reads-in-flight=1", "", "--reads-in-flight=1024"}) {
        const Outcome many =
            RunScanner(std::string(option) + " " + Quote(dir.path().native()), err);
        EXPECT_EQ(many.status, 0) << option;
        EXPECT_EQ(many.out, one.out) << option;
    }
    for (const char* bad :
         {"--reads-in-flight=", "--reads-in-flight=x", "--reads-in-flight=1025"}) {
        EXPECT_EQ(RunScanner(std::string(bad) + " " + Quote(dir.path().native()), err).status, 2)
            << bad;
    }
}

TEST(ScanProgram, CsvOpensAsRowsAndColumns) {
    TempDir dir;
    const fs::path movies = dir / "movies";
    fs::create_directory(movies);
    WriteFormatFolder(movies);
    // Under a UTF-8 locale every record decodes as UTF-8, the QuickTime
    // bytes and the name's bytes that are not UTF-8 carried as Latin-1;
    // under another character set the movie's bytes stay as it stored them
    // and the name keeps the locale's rule.
    for (const auto& [locale, decode, comments, name] :
         {std::tuple{"C.UTF-8", "encoding='utf-8'",
                     "'Full Name: Beach, \"dusk\"\\r\\n\\xa9xyz: caf\\xe9'",
                     "'a,\"b\"\\nc\\xff.mov'"},
          std::tuple{"C", "encoding='utf-8', errors='surrogateescape'",
                     "'Full Name: Beach, \"dusk\"\\r\\n\\udca9xyz: caf\\udce9'",
                     "'a,\"b\"\\nc?.mov'"}}) {
        ::setenv("LC_ALL", locale, 1);
        const Outcome outcome = RunScanner("--format=csv " + Quote(movies.native()) + " >" +
                                               Quote((dir / "out.csv").native()),
                                           dir / "err.txt");
        ::unsetenv("LC_ALL");
        EXPECT_EQ(outcome.status, 0);
        const std::string script =
            std::string("import csv,sys\n"
                        "rows = list(csv.reader(open(sys.argv[1], newline='', ") +
            decode +
            ")))\n"
            "assert rows[0] == ['Filename','Filesize','Length','Video','Video bitrate','Width',"
            "'Height','fps','Audio','Audio bitrate','Freq','Chn','Comments','Path'], rows[0]\n"
            "assert all(len(r) == 14 for r in rows), rows\n"
            "by_path = {r[13]: r for r in rows[1:]}\n"
            "assert len(by_path) == 3, by_path.keys()\n"
            "mov = by_path[" +
            name +
            "]\n"
            "assert mov[0] == " +
            name +
            " and mov[2] == '0:00:05', mov\n"
            "assert mov[12] == " +
            comments +
            ", repr(mov[12])\n"
            "assert by_path['sub/clip.avi'][3:5] == ['AVI: DIVX', ''], by_path['sub/clip.avi']\n"
            "assert by_path['sub/clip.avi'][9] == '128 kbit/s'\n"
            "assert by_path['sub/other.mpg'][1:] == ['0 MB'] + [''] * 11 + ['sub/other.mpg']\n";
        WriteFile(dir / "check.py", Bytes(script.begin(), script.end()));
        EXPECT_EQ(std::system(("python3 " + Quote((dir / "check.py").native()) + " " +
                               Quote((dir / "out.csv").native()))
                                  .c_str()),
                  0)
            << locale;
    }
    // Records end with CR LF, and the quoted name keeps its line break.
    const std::string csv = ReadText(dir / "out.csv");
    EXPECT_TRUE(csv.starts_with("Filename,Filesize,"));
    EXPECT_NE(csv.find("\"a,\"\"b\"\"\nc?.mov\""), std::string::npos) << csv;
    EXPECT_TRUE(csv.ends_with("\r\n"));
}

TEST(ScanProgram, JsonLinesParseWithTypedValues) {
    TempDir dir;
    const fs::path movies = dir / "movies";
    fs::create_directory(movies);
    WriteFormatFolder(movies);
    const Outcome outcome = RunScanner("--format=json " + Quote(movies.native()) + " >" +
                                           Quote((dir / "out.json").native()),
                                       dir / "err.txt");
    EXPECT_EQ(outcome.status, 0);
    const std::string script =
        "import json,sys\n"
        "objects = [json.loads(line) for line in open(sys.argv[1], encoding='utf-8')]\n"
        "by_path = {o['path']: o for o in objects}\n"
        "assert len(objects) == 3, objects\n"
        "mov = by_path['a,\"b\"\\nc\\u00ff.mov']\n"
        "assert mov['path_bytes'] == '612c2262220a63ff2e6d6f76', mov\n"
        "assert mov['reader'] == 'quicktime' and mov['duration_ms'] == 5005, mov\n"
        "assert mov['video_codec'] == 'avc1' and mov['width'] == 640, mov\n"
        "assert mov['user_data'] == [{'label': 'Full Name', 'text': 'Beach, \"dusk\"'},"
        " {'label': '\\u00a9xyz', 'label_bytes': 'a978797a', 'text': 'caf\\u00e9',"
        " 'text_bytes': '636166e9'}], mov['user_data']\n"
        "avi = by_path['sub/clip.avi']\n"
        "assert avi['reader'] == 'avi' and avi['frame_rate'] == 25 and avi['audio_codec'] == "
        "'0x0055', avi\n"
        "assert avi['audio_bit_rate'] == 128000 and avi['sample_rate'] == 44100, avi\n"
        "plain = by_path['sub/other.mpg']\n"
        "assert plain == {'path': 'sub/other.mpg', 'name': 'other.mpg', 'size': 100, "
        "'reader': 'none'}, plain\n";
    WriteFile(dir / "check.py", Bytes(script.begin(), script.end()));
    EXPECT_EQ(std::system(("python3 " + Quote((dir / "check.py").native()) + " " +
                           Quote((dir / "out.json").native()))
                              .c_str()),
              0);
}

// A file whose container's own sizes run past its end says so: a
// "truncated" field in JSON and the Truncated column in CSV; the same file
// whole says nothing, and the TSV line keeps its fields.
TEST(ScanProgram, AFileCutShortSaysSo) {
    // A data object after the header: its GUID, its size, a file ID, a
    // packet count and two reserved bytes.
    const auto withData = [](std::uint64_t claimed) {
        Bytes data{0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
        AppendLe32(data, static_cast<std::uint32_t>(claimed));
        AppendLe32(data, 0);
        data.resize(50, 0);
        Bytes header = AsfFile();
        header.resize(header.size() - 64); // the builder's padding after the header object
        return Concat({header, data});
    };
    const auto cut = [](Bytes bytes, std::size_t less) {
        bytes.resize(bytes.size() - less);
        return bytes;
    };
    // A movie whose tables place its last chunk in the media box's last
    // bytes: cut, the chunk lies past the end (the box after the movie box is
    // not read).
    IsoParams chunks;
    chunks.tracks[0].chunkOffsets = {0, 0};
    const auto wholeSize = static_cast<std::uint32_t>(IsoMovie(chunks).size());
    chunks.tracks[0].chunkOffsets = {wholeSize - 64, wholeSize - 8};
    TempDir dir;
    const std::vector<std::pair<std::string, Bytes>> files{
        {"whole.mp4", IsoMovie(chunks)}, {"cut.mp4", cut(IsoMovie(chunks), 10)},
        {"whole.mkv", MatroskaFile()},   {"cut.mkv", cut(MatroskaFile(), 10)},
        {"whole.avi", AviFile()},        {"cut.avi", cut(AviFile(), 40)},
        {"whole.wmv", withData(50)},     {"cut.wmv", withData(1000)},
    };
    for (const auto& [name, bytes] : files) {
        WriteFile(dir / name, bytes);
    }
    const fs::path err = dir / "err.txt";
    const std::string json =
        RunScanner("--all-formats --format=json " + Quote(dir.path().native()), err).out;
    const std::string csv = RunScanner("--all-formats --format=csv --columns=Filename,Truncated " +
                                           Quote(dir.path().native()),
                                       err)
                                .out;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const bool truncated = !name.starts_with("whole");
        const std::size_t line = json.find("\"name\":\"" + name + "\"");
        ASSERT_NE(line, std::string::npos);
        const std::string object = json.substr(line, json.find('\n', line) - line);
        EXPECT_EQ(object.find("\"truncated\":true") != std::string::npos, truncated) << object;
        EXPECT_NE(csv.find(name + (truncated ? ",yes\r\n" : ",\r\n")), std::string::npos) << csv;
    }
    const std::string tsv = RunScanner("--all-formats " + Quote(dir.path().native()), err).out;
    for (std::size_t at = 0; at < tsv.size(); at = tsv.find('\n', at) + 1) {
        const std::string line = tsv.substr(at, tsv.find('\n', at) - at);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 13) << line;
    }
}

// --where finds catalogued rows by the filter's terms; a term it cannot
// read is named and nothing is written.
TEST(ScanProgram, OfflineRowsFoundByTerms) {
    TempDir dir;
    fs::create_directories(dir / "movies" / "Films2");
    WriteFile(dir / "movies" / "Films2" / "film.mkv", MatroskaFile());
    WriteFile(dir / "movies" / "clip.mp4", IsoMovie());
    WriteFile(dir / "movies" / "old.avi", AviFile());
    const fs::path err = dir / "err.txt";
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native()) + " ";
    ASSERT_EQ(
        RunScanner("--all-formats " + catalogue + Quote((dir / "movies").native()), err).status, 0);
    const std::pair<const char*, const char*> cases[] = {
        {"ext:mkv", "film.mkv"},
        {"-ext:mkv", "old.avi clip.mp4"}, // in the walk's order
        {"drive:films2", "film.mkv"},
        {"codec:h264 container:mp4", "clip.mp4"},
        {"width>=640 length<10s", "clip.mp4 film.mkv"},
        {"\"old.avi\"", "old.avi"},
    };
    for (const auto& [terms, names] : cases) {
        const Outcome outcome =
            RunScanner("--offline --all-formats --format=csv --columns=Filename " + catalogue +
                           "'--where=" + terms + "'",
                       err);
        EXPECT_EQ(outcome.status, 0) << terms << ReadText(err);
        std::string found;
        for (std::size_t at = outcome.out.find("\r\n") + 2; at < outcome.out.size();
             at = outcome.out.find("\r\n", at) + 2) {
            found += (found.empty() ? "" : " ") +
                     outcome.out.substr(at, outcome.out.find("\r\n", at) - at);
        }
        EXPECT_EQ(found, names) << terms;
    }
    // Totals of the same rows, of all of them or of those a search finds.
    EXPECT_EQ(RunScanner("--all-formats --totals=container " + catalogue, err).out,
              "Container\tMovies\tBytes\tRunning time\r\n"
              "AVI\t1\t" +
                  std::to_string(AviFile().size()) +
                  "\t0:00:10\r\n"
                  "MP4\t1\t" +
                  std::to_string(IsoMovie().size()) +
                  "\t0:00:05\r\n"
                  "WebM\t1\t" +
                  std::to_string(MatroskaFile().size()) + "\t0:00:05\r\n");
    EXPECT_EQ(
        RunScanner("--all-formats --format=json --totals=codec --where=ext:mkv " + catalogue, err)
            .out,
        "{\"codec\":\"AVC\",\"movies\":1,\"bytes\":" + std::to_string(MatroskaFile().size()) +
            ",\"duration_ms\":5000}\n");
    EXPECT_EQ(RunScanner("--totals=size " + catalogue, err).status, 2);
    const Outcome bad = RunScanner("--offline " + catalogue + "'--where=ext:mkv size>4Q'", err);
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_TRUE(ReadText(err).starts_with(
        "vidarium-scan: --where: size>4Q: '4q' is not a size (700M, 4G) for 'size'"))
        << ReadText(err);
    EXPECT_EQ(RunScanner(catalogue + "--where=hdr " + Quote(dir.path().native()), err).status, 2);
    EXPECT_NE(ReadText(err).find("--where needs --offline"), std::string::npos);
}

TEST(ScanProgram, OptionsVersionStatsAndPipes) {
    TempDir dir;
    const fs::path err = dir / "err.txt";
    Outcome outcome = RunScanner("--version", err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(outcome.out.starts_with("vidarium-scan ")) << outcome.out;
    outcome = RunScanner("--help", err);
    for (const char* option : {"--format=FORMAT", "--stats", "--version", "--help"}) {
        EXPECT_NE(outcome.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(RunScanner("--format=xml " + Quote(dir.path().native()), err).status, 2);
    EXPECT_EQ(RunScanner("--bogus " + Quote(dir.path().native()), err).status, 2);

    for (int i = 0; i < 2000; ++i) {
        WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
    }
    outcome = RunScanner("--stats " + Quote(dir.path().native()), err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 2000);
    const std::string stats = ReadText(err);
    EXPECT_TRUE(stats.starts_with("vidarium-scan: 2001 files seen, rows: 2000 avi, 0 quicktime, "
                                  "0 mpeg, 0 plain; "))
        << stats;

    // A reader that goes away: the usual end of a broken pipe, nothing said.
    const std::string pipeline = "set -o pipefail; " + Quote(VIDARIUM_SCAN_PATH) + " " +
                                 Quote(dir.path().native()) + " 2>" + Quote(err.native()) +
                                 " | head -n 1 >/dev/null";
    const int status = std::system(("bash -c " + Quote(pipeline)).c_str());
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE);
    EXPECT_EQ(ReadText(err), "");

    // A failed write ends the scan with one message and status 1.
    outcome = RunScanner(Quote(dir.path().native()) + " >/dev/full", err);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(ReadText(err), "vidarium-scan: cannot write the output: No space left on device\n");
}

} // namespace
} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

// --drives lists the catalogued folders (on no drive here: drives by UUID
// are the catalogue test's) with what they hold and whether they are
// there; --duplicates the probable copies, in each format.
TEST(ScanProgram, DrivesAndCopiesOfTheCatalogue) {
    TempDir dir;
    fs::create_directories(dir / "films");
    fs::create_directories(dir / "backup" / "old");
    WriteFile(dir / "films" / "film.avi", AviFile());
    WriteFile(dir / "films" / "clip.mp4", IsoMovie());
    WriteFile(dir / "backup" / "old" / "film copy.avi", AviFile());
    Backdate(dir.path());
    const fs::path err = dir / "err.txt";
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native()) + " ";
    for (const char* folder : {"films", "backup", "backup/old"}) {
        ASSERT_EQ(
            RunScanner("--all-formats " + catalogue + Quote((dir / folder).native()), err).status,
            0);
    }
    fs::rename(dir / "backup", dir / "elsewhere");
    const std::string films = (dir / "films").native() + "/";
    const std::string backup = (dir / "backup").native() + "/";
    const std::string avi = std::to_string(AviFile().size());
    const std::string both = std::to_string(AviFile().size() + IsoMovie().size());
    std::string drives = RunScanner(catalogue + "--drives", err).out;
    // The last scan's minute is the clock's.
    for (std::size_t at = drives.find("\t20"); at != std::string::npos;
         at = drives.find("\t20", at + 1)) {
        drives.replace(at + 1, 16, "DATE");
    }
    EXPECT_EQ(drives, "Label\tUUID\tPath\tConnected\tMovies\tBytes\tRunning time\tLast scan\r\n"
                      "\t\t" +
                          backup + "\tno\t1\t" + avi +
                          "\t0:00:10\tDATE\r\n"
                          "\t\t" +
                          films + "\tyes\t2\t" + both + "\t0:00:15\tDATE\r\n");
    const std::string json = RunScanner(catalogue + "--drives --format=json", err).out;
    EXPECT_NE(json.find("{\"label\":\"\",\"uuid\":\"\",\"path\":\"" + backup +
                        "\",\"connected\":false,\"movies\":1,\"bytes\":" + avi +
                        ",\"duration_ms\":10000,\"last_scan\":\"20"),
              std::string::npos)
        << json;

    const std::string copies = "1\t" + avi + "\t" + avi + "\t\t";
    EXPECT_EQ(RunScanner(catalogue + "--duplicates", err).out,
              "Group\tSize\tWasted\tDrive\tConnected\tPath\r\n" + copies + "no\t" + backup +
                  "old/film copy.avi\r\n" + copies + "yes\t" + films + "film.avi\r\n\r\n");
    EXPECT_EQ(RunScanner(catalogue + "--duplicates --format=csv " + Quote(films), err).out,
              "Group,Size,Wasted,Drive,Connected,Path\r\n1," + avi + "," + avi + ",,no," + backup +
                  "old/film copy.avi\r\n1," + avi + "," + avi + ",,yes," + films + "film.avi\r\n");
    EXPECT_EQ(RunScanner(catalogue + "--duplicates " + Quote((dir / "none").native()), err).out,
              "Group\tSize\tWasted\tDrive\tConnected\tPath\r\n");

    for (const char* misuse : {"--drives", "--duplicates --drives", "--drives --totals=codec",
                               "--drives /tmp", "--duplicates --where=hdr --offline"}) {
        SCOPED_TRACE(misuse);
        const bool withCatalogue = std::string_view(misuse) != "--drives";
        EXPECT_EQ(RunScanner((withCatalogue ? catalogue : "") + misuse, err).status, 2);
    }
}

} // namespace
} // namespace vidarium::testing

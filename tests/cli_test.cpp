// End to end: the bytes vidarium-scan writes, its exit codes and its errors.
#include "builders.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include <csignal>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    std::string out;
    int status = -1;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs the scanner with `arguments` (already quoted); stderr goes to `err`.
// `unprivileged` runs it as nobody when the tests run as the superuser.
Outcome RunScanner(const std::string& arguments, const fs::path& err, bool unprivileged = false) {
    const std::string prefix = unprivileged && ::geteuid() == 0
                                   ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                   : "";
    const std::string command =
        prefix + Quote(VIDARIUM_SCAN_PATH) + " " + arguments + " 2>" + Quote(err.native());
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        outcome.out.append(buffer.data(), count);
    }
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string ReadText(const fs::path& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::array<char, 4096> buffer{};
        std::size_t count = 0;
        while ((count = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
            text.append(buffer.data(), count);
        }
        std::fclose(file);
    }
    return text;
}

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
}

TEST(ScanProgram, UsageAndErrors) {
    TempDir dir;
    const fs::path err = dir / "err.txt";

    Outcome outcome = RunScanner("--help", err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.rfind("Usage: vidarium-scan DIR\n", 0), 0u);

    outcome = RunScanner("", err);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(ReadText(err).rfind("Usage: vidarium-scan DIR\n", 0), 0u);

    outcome = RunScanner("a b", err);
    EXPECT_EQ(outcome.status, 2);

    const std::string missing = (dir / "missing").native();
    outcome = RunScanner(Quote(missing), err);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(ReadText(err), "vidarium-scan: " + missing + ": not a directory\n");

    WriteFile(dir / "file.avi", AviFile());
    outcome = RunScanner(Quote((dir / "file.avi").native()), err);
    EXPECT_EQ(outcome.status, 1);

    // DIR is trimmed and completed like the window's path.
    outcome = RunScanner(Quote("  " + dir.path().native() + " "), err);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.rfind("file.avi\t0 MB\t0:00:10\tAVI: DIVX\t", 0), 0u);
}

TEST(ScanProgram, WarnsAboutAnUnreadableDirectory) {
    TempDir dir;
    fs::create_directory(dir / "locked");
    WriteFile(dir / "locked" / "hidden.avi", AviFile());
    fs::permissions(dir / "locked", fs::perms::none);
    const Outcome outcome = RunScanner(Quote(dir.path().native()), dir / "err.txt", true);
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(ReadText(dir / "err.txt"),
              "vidarium-scan: " + (dir / "locked").native() + "/: cannot read directory\n");
}

TEST(ScanProgram, InterruptActsAsStop) {
    TempDir dir;
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i) {
        WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = VIDARIUM_SCAN_PATH;
    const std::string directory = dir.path().native();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(directory.c_str()),
                    nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

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
            ::kill(pid, SIGINT);
            signalled = true;
        }
    }
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const auto lines = std::count(output.begin(), output.end(), '\n');
    EXPECT_GE(lines, 1);
    EXPECT_LT(lines, kFiles);
    EXPECT_TRUE(output.ends_with("\t\r\n")) << "the last row is written whole";
}

} // namespace
} // namespace vidarium::testing

#include "builders.h"
#include "recordinghost.h"
#include "scanworker.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidarium::testing {
namespace {

namespace fs = std::filesystem;

std::string WithSeparator(const fs::path& path) {
    return path.native() + "/";
}

std::vector<std::string> Captions(const std::vector<FileRow>& rows) {
    std::vector<std::string> captions;
    for (const FileRow& row : rows) {
        captions.push_back(row.Caption);
    }
    return captions;
}

// Candidate movie files of one directory in the platform's enumeration order.
std::vector<std::string> MovieFilesInOrder(const fs::path& directory) {
    static const std::set<std::string> kMovie{".avi", ".divx", ".mov", ".mpg", ".mpeg",
                                              ".mpe", ".m1v",  ".m2v", ".vob"};
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::string extension = ExtensionOf(entry.path().filename().native());
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!entry.is_directory() && kMovie.count(extension) != 0) {
            names.push_back(entry.path().filename().native());
        }
    }
    return names;
}

std::vector<FileRow> Scan(const fs::path& root, RecordingHost& host) {
    TScanFilesThread worker(host);
    worker.Start();
    worker.RequestScan(root);
    EXPECT_TRUE(host.WaitForScans(1));
    return host.rows;
}

class ScanTree : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path& root = dir.path();
        WriteFile(root / "movie.avi", AviFile());
        WriteFile(root / "UPPER.AVI", AviFile());
        WriteFile(root / "Mixed.Mpg", MpegFile(352, 288, 3, 2875, 0, 60));
        WriteFile(root / "archive.tar.mpg", MpegFile(720, 576, 3, 15000, 0, 5));
        WriteFile(root / "avi-named.vob", AviFile());
        WriteFile(root / "notes.txt", Bytes{'h', 'i'});
        WriteFile(root / "noext", AviFile());
        WriteFile(root / "trailing.", AviFile());
        WriteFile(root / "empty.mov", {});
        WriteFile(root / "video-only.avi",
                  Riff("AVI ", {List("hdrl", {Chunk("avih", AviMainHeaderPayload(40000, 1))})}));
        fs::create_directory(root / "folder.avi");
        WriteFile(root / "folder.avi" / "inner.mpg", MpegFile(352, 288, 3, 2875, 0, 1));
        fs::create_directories(root / "a" / "b");
        WriteFile(root / "a" / "b" / "deep.divx", AviFile());
        // A FIFO and a dangling link with movie names: neither may stall the
        // scan, and both still get their plain rows.
        ASSERT_EQ(::mkfifo((root / "fifo.avi").c_str(), 0600), 0);
        fs::create_symlink(root / "nowhere", root / "dangling.avi");
        // A link back up the tree must not make the walk endless.
        fs::create_directory_symlink(root, root / "a" / "loop");
    }

    TempDir dir;
};

TEST_F(ScanTree, RowsFollowTheWalkOrder) {
    RecordingHost host;
    const auto rows = Scan(dir.path(), host);
    const fs::path& root = dir.path();

    // Each directory's files in enumeration order, then its subdirectories.
    std::vector<std::string> expected = MovieFilesInOrder(root);
    std::vector<std::string> subdirectories;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.is_directory()) {
            subdirectories.push_back(entry.path().filename().native());
        }
    }
    for (const std::string& sub : subdirectories) {
        if (sub == "folder.avi") {
            expected.push_back("inner.mpg");
        } else if (sub == "a") {
            expected.push_back("deep.divx");
        }
    }
    EXPECT_EQ(Captions(rows), expected);

    std::map<std::string, FileRow> byName;
    for (const FileRow& row : rows) {
        byName[row.Caption] = row;
    }
    EXPECT_EQ(byName["movie.avi"].SubItems.size(), 11u);
    EXPECT_EQ(byName["movie.avi"].SubItems[2], "AVI: DIVX");
    EXPECT_EQ(byName["UPPER.AVI"].SubItems.size(), 11u);
    EXPECT_EQ(byName["Mixed.Mpg"].SubItems[2], "MPEG");
    EXPECT_EQ(byName["archive.tar.mpg"].SubItems[4], "720");
    EXPECT_EQ(byName["avi-named.vob"].SubItems[2], "AVI: DIVX");
    EXPECT_EQ(byName["inner.mpg"].SubItems[1], "0:00:01");
    for (const char* plain : {"empty.mov", "video-only.avi", "fifo.avi", "dangling.avi"}) {
        EXPECT_EQ(byName[plain].SubItems, std::vector<std::string>{"0 MB"}) << plain;
    }

    // Steps: clear, the status of each directory entered, rows, done.
    ASSERT_FALSE(host.steps.empty());
    EXPECT_EQ(host.steps.front(), "clear");
    EXPECT_EQ(host.steps[1], "status " + WithSeparator(root) + "*");
    EXPECT_EQ(host.steps.back(), "done");
    EXPECT_EQ(std::count(host.steps.begin(), host.steps.end(),
                         "status " + WithSeparator(root / "a" / "loop") + "*"),
              0);
}

TEST_F(ScanTree, PathIsTrimmedAndCompleted) {
    RecordingHost host;
    Scan(" \t" + dir.path().native() + "  \n", host);
    EXPECT_EQ(host.steps[1], "status " + WithSeparator(dir.path()) + "*");
    EXPECT_EQ(host.rows.size(), 11u);
}

TEST_F(ScanTree, StopEndsTheScanAfterTheCurrentFile) {
    RecordingHost host;
    TScanFilesThread worker(host);
    host.beforeRow = [&](const FileRow&) { worker.RequestStop(); };
    worker.Start();
    worker.RequestScan(dir.path());
    ASSERT_TRUE(host.WaitForScans(1));
    EXPECT_EQ(host.rows.size(), 1u);
    EXPECT_EQ(host.steps.back(), "done");

    // The worker stays ready: a second request scans again from a clear list.
    host.beforeRow = nullptr;
    worker.RequestScan(dir.path());
    ASSERT_TRUE(host.WaitForScans(2));
    EXPECT_EQ(host.rows.size(), 11u);
}

TEST_F(ScanTree, FailedRowStepLosesNoNeighbour) {
    RecordingHost host;
    bool failed = false;
    host.beforeRow = [&](const FileRow& row) {
        if (!failed && row.SubItems.size() == 11) {
            failed = true;
            throw std::runtime_error("list refused the row");
        }
    };
    const auto rows = Scan(dir.path(), host);
    EXPECT_TRUE(failed);
    EXPECT_EQ(rows.size(), 11u); // the refused file gets its plain row instead
}

TEST(ScanWorker, MissingDirectoryClearsAndSaysSo) {
    RecordingHost host;
    Scan("/nonexistent/vidarium/dir", host);
    EXPECT_EQ(host.steps, (std::vector<std::string>{"clear", "failed /nonexistent/vidarium/dir/"}));
}

TEST(ScanWorker, BlankPathEndsWithoutAWalk) {
    RecordingHost host;
    Scan(" \t ", host);
    EXPECT_EQ(host.steps, (std::vector<std::string>{"clear", "done"}));
}

// Runs `check` in a child process without the superuser's rights (which
// permissions do not bind), or directly for an ordinary user.
bool WithoutPrivileges(const std::function<bool()>& check) {
    if (::geteuid() != 0) {
        return check();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped && check() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(ScanWorker, UnreadableDirectoryAndFileArePassedOver) {
    TempDir dir;
    fs::create_directory(dir / "locked");
    WriteFile(dir / "locked" / "hidden.avi", AviFile());
    WriteFile(dir / "seen.avi", AviFile());
    WriteFile(dir / "secret.avi", AviFile());
    fs::permissions(dir / "locked", fs::perms::none);
    fs::permissions(dir / "secret.avi", fs::perms::none);
    const bool passed = WithoutPrivileges([&] {
        RecordingHost host;
        const auto rows = Scan(dir.path(), host);
        std::map<std::string, std::size_t> cells;
        for (const FileRow& row : rows) {
            cells[row.Caption] = row.SubItems.size();
        }
        // The file that cannot be opened still gets its plain row.
        return cells == std::map<std::string, std::size_t>{{"seen.avi", 11}, {"secret.avi", 1}} &&
               host.unreadable == std::vector<fs::path>{dir / "locked/"} &&
               host.unreadableFiles == std::vector<fs::path>{dir / "secret.avi"};
    });
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_TRUE(passed);
}

// Four folders of movies whose first file is slow to read: with loads in
// flight, the files after it are read first. One folder holds more entries
// than one listing keeps.
class SlowFirstFiles : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "big");
        for (int i = 0; i < 1030; ++i) {
            WriteFile(dir / "big" / ("note" + std::to_string(i) + ".txt"), {});
        }
        for (const char* folder : {"f0", "f0/f1", "f2", "big"}) {
            fs::create_directories(dir / folder);
            for (int i = 0; i < 12; ++i) {
                const std::string stem = (dir / folder).native() + "/m" + std::to_string(i);
                WriteFile(stem + (i % 2 == 0 ? ".avi" : ".mpg"),
                          i % 2 == 0 ? AviFile() : MpegFile(352, 288, 3, 2875, 0, 2));
            }
            slow.insert(dir / folder / MovieFilesInOrder(dir / folder).front());
        }
    }

    // The steps of a scan with `inFlight` loads at once, and the files in
    // the order their first read ended.
    std::vector<std::string> StepsOf(std::size_t inFlight, std::vector<fs::path>* firstReadEnds,
                                     std::chrono::milliseconds delay) {
        RecordingHost host;
        TScanFilesThread worker(host);
        worker.SetReadsInFlight(inFlight);
        struct FirstReads {
            std::mutex lock;
            std::set<fs::path> begun;
            std::vector<fs::path> ended;
        };
        auto reads = std::make_shared<FirstReads>();
        worker.SetReadHook([reads, slow = slow, delay](const fs::path& path) {
            {
                std::lock_guard lock(reads->lock);
                if (!reads->begun.insert(path).second) {
                    return;
                }
            }
            if (slow.count(path) != 0) {
                std::this_thread::sleep_for(delay);
            }
            std::lock_guard lock(reads->lock);
            reads->ended.push_back(path);
        });
        worker.Start();
        worker.RequestScan(dir.path());
        EXPECT_TRUE(host.WaitForScans(1));
        if (firstReadEnds != nullptr) {
            std::lock_guard lock(reads->lock);
            *firstReadEnds = reads->ended;
        }
        return host.steps;
    }

    TempDir dir;
    std::set<fs::path> slow;
};

TEST_F(SlowFirstFiles, RowsComeInTheWalkOrderWhateverOrderLoadsEnd) {
    const std::vector<std::string> one = StepsOf(0, nullptr, std::chrono::milliseconds(30));
    ASSERT_EQ(std::count_if(one.begin(), one.end(),
                            [](const std::string& step) { return step.rfind("row ", 0) == 0; }),
              48);
    for (const std::size_t inFlight : {1U, 4U, 16U, 1024U}) {
        std::vector<fs::path> firstReadEnds;
        EXPECT_EQ(StepsOf(inFlight, &firstReadEnds, std::chrono::milliseconds(30)), one)
            << inFlight;
        if (inFlight >= 4) {
            // Loads ended out of walk order: a file after a slow one (the
            // first of its folder) ended before it. Any one slow file may
            // be held up on a busy machine, so not each.
            const bool overtaken = std::any_of(slow.begin(), slow.end(), [&](const fs::path& path) {
                const auto ended = std::find(firstReadEnds.begin(), firstReadEnds.end(), path);
                return std::any_of(firstReadEnds.begin(), ended, [&](const fs::path& earlier) {
                    return earlier.parent_path() == path.parent_path();
                });
            });
            EXPECT_TRUE(overtaken) << inFlight;
        }
    }
}

TEST_F(SlowFirstFiles, StopDoesNotWaitForAStalledLoad) {
    RecordingHost host;
    TScanFilesThread worker(host);
    worker.SetReadHook([slow = slow](const fs::path& path) {
        if (slow.count(path) != 0) {
            std::this_thread::sleep_for(std::chrono::seconds(4));
        }
    });
    worker.Start();
    worker.RequestScan(dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto stopped = std::chrono::steady_clock::now();
    worker.RequestStop();
    ASSERT_TRUE(host.WaitForScans(1));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(2));
    // The stalled file was awaited first: no row came.
    EXPECT_TRUE(host.rows.empty());
}

TEST(ScanWorker, TerminateEndsAnIdleWorker) {
    RecordingHost host;
    TScanFilesThread worker(host);
    worker.Start();
    worker.Terminate();
    worker.WaitFor();
    EXPECT_TRUE(host.steps.empty());
}

} // namespace
} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

// A sequence header and GOPs that the MPEG byte search would accept.
Bytes MpegLookalike() {
    return MpegFile(1049, 2880, 3, 0x3FFF0, 0, 10, 600);
}

Bytes QuickTimeMovie(std::initializer_list<Bytes> tracks, std::uint32_t scale = 600,
                     std::uint32_t duration = 600) {
    Bytes moov = Atom("mvhd", TimeHeaderPayload(scale, duration));
    for (const Bytes& track : tracks) {
        moov.insert(moov.end(), track.begin(), track.end());
    }
    return Atom("moov", moov);
}

TEST(ScanWorker, NoMpegGuessInsideARecognisedContainer) {
    const Bytes silent =
        Riff("AVI ",
             {List("hdrl", {Chunk("avih", AviMainHeaderPayload(40000, 250)),
                            List("strl", {Chunk("strh", StreamHeaderPayload("vids", "XVID", 1, 25)),
                                          Chunk("strf", BitmapInfoPayload(320, 240, "XVID"))})}),
              List("movi", {Chunk("00dc", MpegLookalike())})});
    const Bytes unchosenTracks = Concat(
        {Atom("ftyp", Bytes{'q', 't', ' ', ' '}),
         QuickTimeMovie({Track("vide", 600, 600, VideoDescriptions("mp4v", 320, 240, ""), "")}),
         Atom("mdat", MpegLookalike())});
    const Bytes ftypOnly =
        Concat({Atom("ftyp", Bytes{'i', 's', 'o', 'm'}), Atom("free", MpegLookalike())});
    // A movie header whose duration does not fit in 32 bits: the reader error.
    const Bytes raising =
        Concat({Atom("mdat", MpegLookalike()),
                QuickTimeMovie({Track("vide", 1, 10, VideoDescriptions("mp4v", 320, 240, ""))}, 1,
                               4294968)});
    const Bytes mpeg = MpegFile(352, 288, 3, 2875, 0, 60);
    // Video CDs keep MPEG in RIFF form "CDXA": not an AVI, so still MPEG.
    const Bytes cdxa = Riff("CDXA", {Chunk("data", mpeg)});

    struct Case {
        const char* name;
        const Bytes& bytes;
        std::size_t subItems; // 1: the plain row; 11: the MPEG row
    };
    const Case cases[] = {
        {"silent.avi", silent, 1},
        {"silent.mpg", silent, 1},
        {"unchosen.mov", unchosenTracks, 1},
        {"ftyp-only.mov", ftypOnly, 1},
        {"raising.mov", raising, 1},
        {"raising.avi", raising, 1},
        {"mpeg.avi", mpeg, 11},
        {"mpeg.mov", mpeg, 11},
        {"cdxa.mpg", cdxa, 11},
        {"cdxa.avi", cdxa, 11},
    };
    TempDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / c.name, c.bytes);
    }
    RecordingHost host;
    const std::vector<FileRow> rows = Scan(dir.path(), host);
    ASSERT_EQ(rows.size(), std::size(cases));
    for (const Case& c : cases) {
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&](const FileRow& r) { return r.Caption == c.name; });
        ASSERT_NE(row, rows.end()) << c.name;
        EXPECT_EQ(row->SubItems.size(), c.subItems) << c.name;
        if (c.subItems == 11) {
            EXPECT_EQ(row->SubItems[2], "MPEG") << c.name;
            EXPECT_EQ(row->SubItems[4], "352") << c.name;
        }
    }
}

} // namespace
} // namespace vidarium::testing

#include <climits>
#include <fcntl.h>
#include <sys/resource.h>

namespace vidarium::testing {
namespace {

// Lowers the open-file limit for the length of a test.
class OpenFileLimit {
public:
    explicit OpenFileLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~OpenFileLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    OpenFileLimit(const OpenFileLimit&) = delete;
    OpenFileLimit& operator=(const OpenFileLimit&) = delete;

private:
    rlimit saved_{};
};

TEST(ScanWorker, WalkOfAnyDepthHoldsFewDirectoriesOpen) {
    TempDir dir;
    // 5,000 levels, deeper than a path can name: built relative to directory
    // descriptors. A movie every 25 levels.
    constexpr int kLevels = 5000;
    std::string path = WithSeparator(dir.path());
    std::vector<std::string> reachable; // files whose directory a path still names
    int current = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(current, 0);
    for (int level = 1; level <= kLevels; ++level) {
        ASSERT_EQ(::mkdirat(current, "d", 0700), 0);
        const int next = ::openat(current, "d", O_RDONLY | O_DIRECTORY);
        ::close(current);
        ASSERT_GE(next, 0);
        current = next;
        path += "d/";
        if (level % 25 == 0) {
            const std::string name = "level" + std::to_string(level) + ".avi";
            const int file = ::openat(current, name.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(file, 0);
            ::close(file);
            if (path.size() < PATH_MAX) {
                reachable.push_back(name);
            }
        }
    }
    ::close(current);

    RecordingHost host;
    {
        const OpenFileLimit limit(64);
        Scan(dir.path(), host);
    }
    EXPECT_EQ(Captions(host.rows), reachable);
    EXPECT_GT(reachable.size(), 70u);
    // The first directory that no path can name is passed over with a warning.
    ASSERT_EQ(host.unreadable.size(), 1u);
    EXPECT_GE(host.unreadable.front().native().size(), std::size_t{PATH_MAX});
    // The file system's own tools remove what no path can name.
    EXPECT_EQ(std::system(("rm -rf '" + dir.path().native() + "/d'").c_str()), 0);
}

} // namespace
} // namespace vidarium::testing

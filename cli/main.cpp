// vidarium-scan DIR: the scan without a window. Every row goes to standard
// output, in list order, as the same tab-delimited line an export writes.

#include "filerow.h"
#include "localtext.h"
#include "scanworker.h"

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using vidarium::FileRow;

constexpr const char* kUsage =
    "Usage: vidarium-scan DIR\n"
    "Scan DIR and its subdirectories for AVI, QuickTime and MPEG movies and\n"
    "write one tab-delimited line per movie file to standard output.\n"
    "\n"
    "  --help   show this text and exit\n"
    "\n"
    "Exit status: 0 when the scan ends, 1 when DIR is not a directory or the\n"
    "output cannot be written, 2 for a usage error, 130 when interrupted.\n";

volatile std::sig_atomic_t interrupted = 0;
// The running scan, stopped straight from the signal handler: RequestStop only
// stores a lock-free atomic flag, which is safe there.
std::atomic<vidarium::TScanFilesThread*> runningScan{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free);

// The first Ctrl-C stops the scan like the Stop button; a second one, for a
// scan stuck on a slow disk, ends the program at once.
extern "C" void OnInterrupt(int) {
    if (interrupted != 0) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
    interrupted = 1;
    if (vidarium::TScanFilesThread* worker = runningScan.load()) {
        worker->RequestStop();
    }
}

// The last `columns` bytes of a path, starting on a character boundary.
std::string TailForProgress(const std::string& text, std::size_t columns) {
    if (text.size() <= columns) {
        return text;
    }
    std::size_t start = text.size() - columns + 3;
    while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        ++start;
    }
    return "..." + text.substr(start);
}

class ConsoleHost final : public vidarium::ScanHost {
public:
    explicit ConsoleHost(bool showProgress) : showProgress_(showProgress) {}

    void ShowStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        status_ = text;
    }

    void ClearList() override {}

    void AddRow(FileRow row) override {
        line_.clear();
        vidarium::AppendExportLine(line_, row);
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        if (std::fwrite(line_.data(), 1, line_.size(), stdout) != line_.size()) {
            writeFailed_ = true;
        }
        ++rows_;
    }

    void ScanDone() override {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        doneChanged_.notify_all();
    }

    void DirectoryUnreadable(const fs::path& directory) override {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        std::fprintf(stderr, "vidarium-scan: %s: cannot read directory\n",
                     vidarium::PathToLocaleText(directory).c_str());
    }

    // Waits up to `interval` for the end of the scan; true once it has ended.
    bool WaitForDone(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex_);
        return doneChanged_.wait_for(lock, interval, [this] { return done_; });
    }

    void DrawProgress(std::uint64_t filesSeen) {
        if (!showProgress_) {
            return;
        }
        std::lock_guard lock(mutex_);
        std::fflush(stdout);
        const std::string line = std::to_string(filesSeen) + " files seen, " +
                                 std::to_string(rows_) + " rows: " + TailForProgress(status_, 48);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
        progressShown_ = true;
    }

    void EraseProgress() {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
    }

    bool WriteFailed() const { return writeFailed_; }

private:
    void EraseProgressLocked() {
        if (progressShown_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
            progressShown_ = false;
        }
    }

    const bool showProgress_;
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    std::string status_;
    std::string line_;
    std::uint64_t rows_ = 0;
    bool done_ = false;
    bool progressShown_ = false;
    bool writeFailed_ = false;
};

int Scan(const std::string& argument) {
    std::string directory(vidarium::TrimBelow33(argument));
    std::error_code error;
    if (directory.empty() || !fs::is_directory(directory, error)) {
        std::fprintf(stderr, "vidarium-scan: %s: not a directory\n",
                     vidarium::NativeBytesToLocaleText(argument).c_str());
        return 1;
    }
    if (directory.back() != static_cast<char>(fs::path::preferred_separator)) {
        directory += static_cast<char>(fs::path::preferred_separator);
    }

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    ConsoleHost host(::isatty(STDERR_FILENO) == 1);
    {
        vidarium::TScanFilesThread worker(host);
        worker.Start();
        worker.RequestScan(directory);
        // Like the Stop button: the file being read still gets its row.
        runningScan.store(&worker);
        while (!host.WaitForDone(std::chrono::milliseconds(100))) {
            // Again here: a stop that came before the worker took the request
            // was cleared when it took it.
            if (interrupted != 0) {
                worker.RequestStop();
            }
            host.DrawProgress(worker.FilesSeen());
        }
        runningScan.store(nullptr);
        worker.Terminate();
    }
    host.EraseProgress();
    if (std::fflush(stdout) != 0 || host.WriteFailed()) {
        std::fprintf(stderr, "vidarium-scan: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return interrupted != 0 ? 130 : 0;
}

} // namespace

int main(int argc, char** argv) {
    // Only the character set comes from the locale; numbers never use it.
    std::setlocale(LC_ALL, "");
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return Scan(argv[1]);
}

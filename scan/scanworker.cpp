#include "scanworker.h"

#include "bytesource.h"
#include "localtext.h"
#include "prefetch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <system_error>

namespace vidarium {
namespace fs = std::filesystem;

namespace {

constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);

// Takes a directory off the walked path however its walk ends.
struct LeavesPathOnExit {
    std::vector<DirectoryIdentity>& path;
    ~LeavesPathOnExit() { path.pop_back(); }
};

// Gives the shared walk path back its length however a walk below ends.
struct LeavesDirectoryOnExit {
    std::string& directory;
    std::size_t length;
    ~LeavesDirectoryOnExit() { directory.resize(length); }
};

bool EndsWithSeparator(const std::string& text) {
    return !text.empty() && text.back() == kSeparator;
}

} // namespace

std::string ExtensionOf(std::string_view bareName) {
    const std::size_t last = bareName.find_last_of(".\\:");
    if (last == std::string_view::npos || bareName[last] != '.') {
        return {};
    }
    return std::string(bareName.substr(last));
}

std::string LowerCaseExtension(std::string_view extension) {
    std::string lower;
    std::mbstate_t state{};
    while (!extension.empty()) {
        wchar_t character = 0;
        const std::size_t length =
            std::mbrtowc(&character, extension.data(), extension.size(), &state);
        if (length == 0 || length == static_cast<std::size_t>(-1) ||
            length == static_cast<std::size_t>(-2)) {
            state = std::mbstate_t{};
            lower += extension.front();
            extension.remove_prefix(1);
            continue;
        }
        const auto lowered = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(character)));
        std::array<char, MB_LEN_MAX> encoded{};
        std::mbstate_t outState{};
        const std::size_t written = std::wcrtomb(encoded.data(), lowered, &outState);
        if (written == static_cast<std::size_t>(-1)) {
            lower.append(extension.substr(0, length));
        } else {
            lower.append(encoded.data(), written);
        }
        extension.remove_prefix(length);
    }
    return lower;
}

TScanFilesThread::TScanFilesThread(ScanHost& host) : host_(host) {}

TScanFilesThread::~TScanFilesThread() {
    RequestStop();
    Terminate();
    WaitFor();
}

void TScanFilesThread::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TScanFilesThread::RequestScan(fs::path path, bool allFormats) {
    StopRequested.store(true);
    ScanPath = std::move(path);
    PublishRequest(allFormats);
}

void TScanFilesThread::RequestScanOf(PathSource paths, bool allFormats) {
    StopRequested.store(true);
    ScanPaths = std::move(paths);
    PublishRequest(allFormats);
}

void TScanFilesThread::PublishRequest(bool allFormats) {
    AllFormatsRequested = allFormats;
    {
        // Under the lock, so that the worker cannot miss the wake-up between
        // its test of the flag and its wait.
        std::lock_guard lock(wakeMutex_);
        ScanPending.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

void TScanFilesThread::RequestStop() {
    StopRequested.store(true);
}

void TScanFilesThread::Terminate() {
    {
        std::lock_guard lock(wakeMutex_);
        terminated_.store(true);
    }
    wake_.notify_all();
}

void TScanFilesThread::WaitFor() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TScanFilesThread::Execute() {
    LowerCurrentThreadPriority();
    Readers = std::make_unique<ReaderSet>();
    // Stop ends a load in progress too: a file shaped to take long cannot
    // hold the scan.
    Readers->WatchStopFlag(&StopRequested);
    file_ = std::make_unique<FileSource>();
    // A few threads are enough to keep a disk's queue full.
    prefetcher_ = std::make_unique<Prefetcher>(readsInFlight_ > 0 ? 8 : 0);
    for (;;) {
        {
            std::unique_lock lock(wakeMutex_);
            wake_.wait_for(lock, kPollInterval, [this] {
                return ScanPending.load(std::memory_order_acquire) || Terminated();
            });
        }
        if (!ScanPending.load(std::memory_order_acquire) && !Terminated()) {
            continue;
        }
        ScanPending.store(false);
        StopRequested.store(false);
        if (Terminated()) {
            break;
        }
        if (ScanPaths) {
            const PathSource paths = std::move(ScanPaths);
            ScanPaths = nullptr;
            Recurse = RecurseRequested;
            AllFormats = AllFormatsRequested;
            try {
                host_.ClearList();
                ScanPathsOf(paths);
            } catch (...) {
            }
            try {
                host_.ScanDone();
            } catch (...) {
            }
        } else if (!ScanPath.empty()) {
            const fs::path path = std::move(ScanPath);
            ScanPath.clear();
            Recurse = RecurseRequested;
            AllFormats = AllFormatsRequested;
            // A failed step never ends the worker: it stays ready for the next
            // request, and the scan still reports its end.
            bool readable = true;
            std::string shown;
            try {
                host_.ClearList();
                readable = ScanRoot(path, shown);
            } catch (...) {
            }
            try {
                if (readable) {
                    host_.ScanDone();
                } else {
                    host_.ScanFailed(PathToLocaleText(shown));
                }
            } catch (...) {
            }
        }
        if (Terminated()) {
            break;
        }
    }
    prefetcher_.reset();
    file_.reset();
    Readers.reset();
}

bool TScanFilesThread::ScanRoot(const fs::path& path, std::string& shown) {
    std::string text(TrimBelow33(path.native()));
    if (text.empty()) {
        return true;
    }
    if (!EndsWithSeparator(text)) {
        text += kSeparator;
    }
    shown = text;
    rootLength_ = text.size();
    // A folder that does not exist or cannot be listed says so, instead of
    // an empty list that looks like a finished scan.
    std::error_code error;
    if (fs::directory_iterator probe(fs::path(text), error); error) {
        return false;
    }
    // The directories on the path being walked, the root first; each is
    // identified once, before it is entered.
    std::vector<DirectoryIdentity> ancestors;
    if (const auto identity = IdentifyDirectory(text)) {
        ancestors.push_back(*identity);
    }
    ScanDirectory(text, ancestors);
    return true;
}

void TScanFilesThread::ScanPathsOf(const PathSource& paths) {
    while (!ShouldEndPass()) {
        std::optional<fs::path> path;
        try {
            path = paths();
        } catch (...) {
        }
        if (!path) {
            break;
        }
        std::error_code error;
        fs::file_status status = fs::status(*path, error);
        // A folder typed with blanks around it is trimmed, as the window's
        // edit is.
        if (const std::string_view trimmed = TrimBelow33(path->native());
            error && trimmed.size() != path->native().size() && !trimmed.empty()) {
            std::error_code trimmedError;
            const fs::file_status trimmedStatus = fs::status(fs::path(trimmed), trimmedError);
            if (!trimmedError && fs::is_directory(trimmedStatus)) {
                path = fs::path(trimmed);
                status = trimmedStatus;
                error.clear();
            }
        }
        if (error || !fs::exists(status)) {
            host_.PathUnreadable(
                *path, error ? error : std::make_error_code(std::errc::no_such_file_or_directory));
        } else if (fs::is_directory(status)) {
            std::string shown;
            if (!ScanRoot(*path, shown)) {
                host_.PathUnreadable(shown, std::make_error_code(std::errc::permission_denied));
            }
        } else {
            // A file named itself: its own row, its path as given. Only a
            // regular file is opened (HandleFile checks).
            rootLength_ = 0;
            const std::string name = path->filename().native();
            HandleFile(fs::directory_entry(*path, error),
                       ReaderOrderFor(LowerCaseExtension(ExtensionOf(name))));
        }
    }
}

bool TScanFilesThread::ShouldEndPass() const {
    return Terminated() || StopRequested.load();
}

void TScanFilesThread::ScanDirectory(std::string& directory,
                                     std::vector<DirectoryIdentity>& ancestors) {
    host_.ShowStatus(PathToLocaleText(directory + "*"));
    FilePass(directory);
    if (ShouldEndPass() || !Recurse) {
        return;
    }
    DirectoryPass(directory, ancestors);
}

void TScanFilesThread::FilePass(const std::string& directory) {
    struct Candidate {
        fs::directory_entry Entry;
        std::span<const ReaderKind> Order;
    };
    // The movie files read from the listing and not handled yet: the next
    // ones are already being fetched while the first is read. Rows still
    // come in the listing's order.
    std::deque<Candidate> ahead;
    try {
        std::error_code error;
        fs::directory_iterator entries(fs::path(directory), error);
        if (error) {
            host_.DirectoryUnreadable(directory);
            return;
        }
        bool listed = false;
        const auto readAhead = [&] {
            while (!listed && ahead.size() <= readsInFlight_) {
                if (entries == fs::directory_iterator()) {
                    listed = true;
                    break;
                }
                filesSeen_.fetch_add(1, std::memory_order_relaxed);
                const fs::directory_entry& entry = *entries;
                std::error_code typeError;
                // A symbolic link counts as what it points to.
                if (!entry.is_directory(typeError)) {
                    const std::string name = entry.path().filename().native();
                    const std::string extension = LowerCaseExtension(ExtensionOf(name));
                    if (IsListedExtension(extension, AllFormats)) {
                        // Only what the listing says is a regular file: a
                        // device is never opened just to be fetched.
                        if (entry.is_regular_file(typeError) && !entry.is_symlink(typeError)) {
                            prefetcher_->Want(entry.path(), FileSource::kBlockSize,
                                              TailBytesFor(extension, AllFormats));
                        }
                        ahead.push_back({entry, ReaderOrderFor(extension)});
                    }
                }
                entries.increment(error);
                if (error) {
                    listed = true;
                }
            }
        };
        for (readAhead(); !ahead.empty(); readAhead()) {
            const Candidate candidate = std::move(ahead.front());
            ahead.pop_front();
            HandleFile(candidate.Entry, candidate.Order);
            if (ShouldEndPass()) {
                break;
            }
        }
    } catch (...) {
        // A failed enumeration ends this directory's file pass only.
    }
    prefetcher_->Forget();
}

void TScanFilesThread::HandleFile(const fs::directory_entry& entry,
                                  std::span<const ReaderKind> order) {
    const fs::path& path = entry.path();
    // The file is opened once for every reader of its order. Whether it is a
    // regular file is known from the listing (or, for a link, the one lookup
    // of its target), so the open does not look it up again; its size comes
    // from the open file. A file that cannot be opened is refused
    // by every reader (the AVI and QuickTime readers raise their error, the
    // MPEG reader returns false), so it gets its plain row at once.
    std::error_code typeError;
    const bool regular = entry.is_regular_file(typeError);
    errno = 0;
    const bool opened = regular && file_->Open(path, /*knownRegular=*/true);
    std::uint64_t size = 0;
    if (opened) {
        size = static_cast<std::uint64_t>(file_->Size());
    } else {
        if (regular) {
            // Listed as a file, yet it cannot be opened (no access, a path
            // longer than the system takes): its row cannot say much.
            host_.FileUnreadable(path, std::error_code(errno, std::generic_category()));
        }
        // A link that leads nowhere counts as a file of size 0.
        std::error_code sizeError;
        size = entry.file_size(sizeError);
        if (sizeError) {
            size = 0;
        }
    }
    // Closed however the readers end.
    struct ClosesOnExit {
        FileSource& file;
        ~ClosesOnExit() { file.Close(); }
    } const closing{*file_};

    // A reader that raises its error, or whose row cannot be added, counts as
    // having refused the file: the next reader gets its turn, and the file
    // still gets its plain row.
    const std::function<std::string()> caption = [&] { return PathToLocaleText(path.filename()); };
    if (opened && AddReaderRow(*Readers, *file_, FileFacts{path, caption, size}, order, AllFormats,
                               StopRequested, [this](FileRow row) {
                                   row.RootLength = rootLength_;
                                   host_.AddRow(std::move(row));
                               })) {
        return;
    }
    if (Terminated()) {
        return; // the host is going away: no row is wanted any more
    }
    try {
        FileRow row = MakePlainRow(caption(), size);
        row.Path = path;
        row.RootLength = rootLength_;
        host_.AddRow(std::move(row));
    } catch (...) {
    }
}

void TScanFilesThread::DirectoryPass(std::string& directory,
                                     std::vector<DirectoryIdentity>& ancestors) {
    try {
        // The names of the subdirectories are read first and the listing
        // closed before any of them is walked: a walk of any depth holds one
        // open directory at a time.
        std::vector<std::string> subdirectories;
        {
            std::error_code error;
            fs::directory_iterator entries(fs::path(directory), error);
            if (error) {
                return;
            }
            for (; entries != fs::directory_iterator(); entries.increment(error)) {
                if (error) {
                    break;
                }
                const fs::directory_entry& entry = *entries;
                std::error_code typeError;
                std::string name = entry.path().filename().native();
                if (entry.is_directory(typeError) && name != "." && name != "..") {
                    subdirectories.push_back(std::move(name));
                }
            }
        }
        // One path grows and shrinks with the walk, so that its memory grows
        // with the depth, not with its square.
        const std::size_t length = directory.size();
        const LeavesDirectoryOnExit restore{directory, length};
        for (std::string& name : subdirectories) {
            directory.resize(length);
            directory += name;
            directory += kSeparator;
            std::string().swap(name);
            // A directory already on the path being walked (a link loop) is
            // not entered again.
            const auto identity = IdentifyDirectory(directory);
            if (!identity) {
                ScanDirectory(directory, ancestors);
            } else if (std::find(ancestors.begin(), ancestors.end(), *identity) ==
                       ancestors.end()) {
                ancestors.push_back(*identity);
                const LeavesPathOnExit leaving{ancestors};
                ScanDirectory(directory, ancestors);
            }
            if (ShouldEndPass()) {
                break;
            }
        }
    } catch (...) {
        // A failure here ends this directory's directory pass only.
    }
}

} // namespace vidarium

// The worker: its thread, the requests it takes, and each scan from its
// first step to its end.
#include "scanworker.h"
#include "localtext.h"
#include "platform.h"
#include "scanparts.h"

namespace vidarium {
using namespace walkparts;

TScanFilesThread::TScanFilesThread(ScanHost& host) : host_(host) {}

TScanFilesThread::~TScanFilesThread() {
    RequestStop();
    Terminate();
    WaitFor();
}

void TScanFilesThread::Start() {
    KeepFreedMemoryForReuse();
    thread_ = std::thread([this] { Execute(); });
}

void TScanFilesThread::RequestScan(fs::path path, bool allFormats, bool readAgain) {
    StopRequested.store(true);
    ScanPath = std::move(path);
    PublishRequest(allFormats, readAgain);
}

void TScanFilesThread::RequestScanOf(PathSource paths, bool allFormats, bool readAgain) {
    StopRequested.store(true);
    ScanPaths = std::move(paths);
    PublishRequest(allFormats, readAgain);
}

void TScanFilesThread::PublishRequest(bool allFormats, bool readAgain) {
    AllFormatsRequested = allFormats;
    ReadAgainRequested = readAgain;
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

void TScanFilesThread::RunRequest() {
    AllFormats = AllFormatsRequested;
    ReadAgain = ReadAgainRequested;
    // The catalogue is written by one scan at a time: this one waits for
    // another to end, and goes without it when Stop ends the wait.
    RowCatalogue* const catalogue = catalogue_;
    if (catalogue != nullptr &&
        !catalogue->BeginScan([this] { EvenIfItFails([&] { host_.WaitingForCatalogue(); }); })) {
        catalogue_ = nullptr;
    }
    struct EndsScanOnExit {
        RowCatalogue*& current;
        RowCatalogue* const catalogue;
        ~EndsScanOnExit() {
            if (current != nullptr) {
                current->EndScan();
            }
            current = catalogue;
        }
    } ending{catalogue_, catalogue};
    // One scan for both kinds of request; a failed host step never ends
    // the worker: it stays ready for the next request, and the scan still
    // reports its end.
    const PathSource paths = std::move(ScanPaths);
    ScanPaths = nullptr;
    const fs::path path = std::move(ScanPath);
    ScanPath.clear();
    if (!paths && path.empty()) {
        return;
    }
    bool readable = true;
    std::string shown;
    EvenIfItFails([&] {
        host_.ClearList();
        if (paths) {
            ScanPathsOf(paths);
        } else {
            readable = ScanRoot(path, shown);
        }
    });
    FinishScan();
    EvenIfItFails([&] {
        if (readable) {
            host_.ScanDone();
        } else if (!ShowCatalogued(shown)) {
            host_.ScanFailed(PathToLocaleText(shown));
        }
    });
}

void TScanFilesThread::Execute() {
    LowerCurrentThreadPriority();
    Readers = std::make_unique<ReaderSet>();
    // Stop ends a load in progress too: a file shaped to take long cannot
    // hold the scan.
    Readers->WatchStopFlag(&StopRequested);
    file_ = std::make_unique<FileSource>();
    pipeline_ = std::make_unique<Pipeline>(readsInFlight_);
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
        RunRequest();
        if (Terminated()) {
            break;
        }
    }
    pipeline_.reset();
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
    std::shared_ptr<Listing> listing = ListHere(text);
    if (!listing->Listed) {
        return false;
    }
    walk_ = catalogue_ != nullptr ? catalogue_->BeginWalk(text, AllFormats) : 0;
    // The directories on the path being walked, the root first; each is
    // identified once, before it is entered.
    std::vector<DirectoryIdentity> ancestors;
    const auto identity = IdentifyDirectory(text);
    if (identity) {
        ancestors.push_back(*identity);
    }
    ScanDirectory(text, ancestors, std::move(listing), identity ? identity->Device : 0);
    if (catalogue_ != nullptr) {
        Emit(WalkEnd{walk_, !ShouldEndPass()});
    }
    return true;
}

bool TScanFilesThread::ShowCatalogued(const std::string& folder) {
    if (catalogue_ == nullptr) {
        return false;
    }
    std::time_t lastSeen = 0;
    std::vector<FileRow> rows = catalogue_->RowsBelow(folder, AllFormats, lastSeen);
    if (rows.empty()) {
        return false;
    }
    const std::size_t count = rows.size();
    for (FileRow& row : rows) {
        host_.AddRow(std::move(row));
    }
    host_.ShowingCatalogued(PathToLocaleText(folder), count, lastSeen);
    return true;
}

void TScanFilesThread::ScanPathsOf(const PathSource& paths) {
    while (!ShouldEndPass()) {
        std::optional<fs::path> path;
        EvenIfItFails([&] { path = paths(); });
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
            Emit(UnreadablePath{
                *path, error ? error : std::make_error_code(std::errc::no_such_file_or_directory)});
        } else if (fs::is_directory(status)) {
            std::string shown;
            if (!ScanRoot(*path, shown)) {
                Emit(UnreadablePath{shown, std::make_error_code(std::errc::permission_denied)});
            }
        } else {
            QueueNamedFile(*path);
        }
    }
}

void TScanFilesThread::QueueNamedFile(const fs::path& path) {
    // A file named itself: its own row, its path as given. Only a regular
    // file is opened.
    rootLength_ = 0;
    filesSeen_.fetch_add(1, std::memory_order_relaxed);
    const std::string name = path.filename().native();
    walk_ = catalogue_ != nullptr ? catalogue_->BeginWalk(path.native(), AllFormats) : 0;
    std::error_code error;
    QueueFile(fs::directory_entry(path, error),
              ReaderOrderFor(LowerCaseExtension(ExtensionOf(name))));
    if (catalogue_ != nullptr) {
        Emit(WalkEnd{walk_, !ShouldEndPass()});
    }
}

bool TScanFilesThread::ShouldEndPass() const {
    return Terminated() || StopRequested.load();
}

} // namespace vidarium

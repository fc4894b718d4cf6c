// The scan worker: a background thread that walks a directory tree depth
// first and hands one row per movie file to its host.
#pragma once

#include "filenames.h"
#include "fileread.h"
#include "filerow.h"
#include "platform.h"
#include "readertable.h"
#include "rowcatalogue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace vidarium {

class FileSource;
// The worker's parts (scanparts.h, private to scan/).
namespace walkparts {
struct Listing;
struct Subdirectory;
struct Pipeline;
struct PendingFile;
struct PendingStep;
} // namespace walkparts

// What the worker needs of its host (the window, or the command-line scanner).
// The steps block: each returns once it has run on the host's own thread,
// and an exception thrown by a step comes back to the worker. AddRow alone
// may return once the row is handed over, before it is shown, so long as
// the host shows it before the steps after it run.
class ScanHost {
public:
    virtual ~ScanHost() = default;

    virtual void ShowStatus(const std::string& text) = 0;
    virtual void ClearList() = 0;
    virtual void AddRow(FileRow row) = 0;
    virtual void ScanDone() = 0;
    // Instead of ScanDone when the folder asked for cannot be listed: the
    // folder as locale text, as typed and completed by the separator. A step.
    virtual void ScanFailed(const std::string& folder) {
        (void)folder;
        ScanDone();
    }

    // Instead of ScanFailed when the folder cannot be listed but the
    // catalogue holds rows below it: those rows have been added, and the
    // folder was last walked to its end at `lastSeen` (0: not known). A step.
    virtual void ShowingCatalogued(const std::string& folder, std::size_t rows,
                                   std::time_t lastSeen) {
        (void)rows;
        (void)lastSeen;
        ScanFailed(folder);
    }

    // Called on the worker's thread when a directory below the root cannot be
    // read and is passed over. Not a step: it must not block.
    virtual void DirectoryUnreadable(const std::filesystem::path& directory) { (void)directory; }
    // Called on the worker's thread when a path of a scan of several paths
    // does not exist or cannot be read; the others are still scanned. Not a
    // step: it must not block.
    virtual void PathUnreadable(const std::filesystem::path& path, std::error_code error) {
        (void)path;
        (void)error;
    }
    // Another scan writes the catalogue, and this one waits for it to end.
    // A step.
    virtual void WaitingForCatalogue() {
        ShowStatus("Waiting for another scan of the catalogue to end...");
    }
    // Called on the worker's thread when a complete walk did not find
    // catalogued movies but kept them, because their folder is not there
    // (missing, or an empty mount point where a drive was). Not a step: it
    // must not block.
    virtual void CataloguedKept(const KeptFolder& folder) { (void)folder; }
    // Called on the worker's thread when a file the listing names cannot be
    // opened; it still gets its plain row. Not a step: it must not block.
    virtual void FileUnreadable(const std::filesystem::path& file, std::error_code error) {
        (void)file;
        (void)error;
    }
};

class TScanFilesThread {
public:
    explicit TScanFilesThread(ScanHost& host);
    TScanFilesThread(const TScanFilesThread&) = delete;
    TScanFilesThread& operator=(const TScanFilesThread&) = delete;
    // Makes the terminate request and waits for the body to return.
    ~TScanFilesThread();

    // How many files are read at once, on as many loader threads (0: one at
    // a time, on the worker's own thread); set before Start. The rows come
    // in the walk's order whatever it is.
    static constexpr std::size_t kDefaultReadsInFlight = 16;
    void SetReadsInFlight(std::size_t files) { readsInFlight_ = files; }
    // Runs before each read of a file's bytes and each look at a catalogued
    // file's stamp, on the thread that makes it: it stands for storage that
    // tests slow down. Set before Start.
    using ReadHook = vidarium::ReadHook;
    void SetReadHook(ReadHook hook) { readHook_ = std::move(hook); }

    // Rows kept between scans: a file whose stamp matches its stored entry
    // gets its stored row without being opened. Null (the default): every
    // file is read. Set before Start; it must outlive the thread.
    void SetCatalogue(RowCatalogue* catalogue) {
        catalogue_ = catalogue;
        if (catalogue != nullptr) {
            catalogue->WatchStop(&StopRequested);
        }
    }
    // Rows that came from the catalogue since the thread started.
    std::uint64_t RowsFromCatalogue() const {
        return fromCatalogue_.load(std::memory_order_relaxed);
    }

    void Start();

    // Window thread: only while no scan runs. The path is published before the
    // pending flag (release), and the worker reads it after seeing the flag.
    // `allFormats`: list the modern containers too, and read every file that
    // no classic reader accepts by its content.
    // `readAgain`: read every file, as if no catalogue held it.
    void RequestScan(std::filesystem::path path, bool allFormats = false, bool readAgain = false);
    // The next path of a scan of several, or nothing once there is none. It
    // runs on the worker's thread, so a long list streams.
    using PathSource = std::function<std::optional<std::filesystem::path>()>;
    // Scans each path in turn: a folder as RequestScan does, a file alone.
    // A path that cannot be read is named to PathUnreadable.
    void RequestScanOf(PathSource paths, bool allFormats = false, bool readAgain = false);
    void RequestStop();
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    // Waits until the body has returned (after Terminate).
    void WaitFor();

    // Directory entries seen by file passes since the thread started.
    std::uint64_t FilesSeen() const { return filesSeen_.load(std::memory_order_relaxed); }

    static constexpr std::chrono::milliseconds kPollInterval{50};

private:
    void Execute();
    // Takes the request published last and runs its scan to its end: a
    // folder, or the paths of a scan of several.
    void RunRequest();
    // False when the folder cannot be listed; `shown` is the folder as
    // typed, completed by the separator.
    bool ScanRoot(const std::filesystem::path& path, std::string& shown);
    using Listing = walkparts::Listing;
    // `directory` ends with the separator; the walk appends to it and gives
    // it back unchanged. `listing`: the directory listed ahead, or null.
    // `device`: the file system the directory is on (0: not known).
    void ScanDirectory(std::string& directory, std::vector<DirectoryIdentity>& ancestors,
                       std::shared_ptr<Listing> listing, std::uint64_t device);
    // A subdirectory, unless it is already on the path being walked.
    void Enter(std::string& directory, std::vector<DirectoryIdentity>& ancestors,
               std::shared_ptr<Listing> listing);
    std::shared_ptr<Listing> ListHere(const std::string& directory);
    void Subdirectories(std::string& directory, std::vector<walkparts::Subdirectory>& below,
                        std::vector<DirectoryIdentity>& ancestors);
    // A directory too large to be listed at once: its files from the open
    // listing, then its subdirectories from another.
    // False when the listing failed before its end.
    bool FilePass(const std::string& directory);
    void DirectoryPass(std::string& directory, std::vector<DirectoryIdentity>& ancestors);
    void ScanPathsOf(const PathSource& paths);
    void QueueNamedFile(const std::filesystem::path& path);
    // Publishes the request's settings, then the pending flag (release).
    void PublishRequest(bool allFormats, bool readAgain);
    // A listed entry: a movie file is read, by a loader or here.
    void ConsiderEntry(const std::filesystem::directory_entry& entry, bool directory);
    void QueueFile(const std::filesystem::directory_entry& entry,
                   std::span<const ReaderKind> order);
    // The catalogue's entry for a file of the walk, unless every file is to
    // be read.
    std::optional<StoredEntry> StoredFor(const std::filesystem::path& path);
    // How a file's row is made on the worker's own thread.
    ReadContext WorkerContext() const;
    // A file handed on in walk order once the steps before it are.
    void Queue(walkparts::PendingFile file);
    void AddPlainRow(const std::filesystem::path& path, const FileStamp& stamp,
                     std::size_t rootLength, std::int64_t walk);
    // Hands a row to the host, kept in the catalogue first.
    void AddRow(FileRow row, std::int64_t walk, std::optional<std::int64_t> storedEntry = {});
    // The catalogue's rows below a folder that cannot be listed; false when
    // it holds none.
    bool ShowCatalogued(const std::string& folder);
    // The host's steps, in the walk's order: each waits for the rows of the
    // files before it.
    void Emit(walkparts::PendingStep step);
    void DeliverNext();
    // The row of a file, read or reused, or its plain row.
    void DeliverFile(const walkparts::PendingFile& file, LoadedFile& loaded);
    // Hands over what is still pending once the walk has ended; after a
    // stop, only up to the row awaited next.
    void FinishScan();
    bool AllFormats = false;
    bool AllFormatsRequested = false;
    bool ReadAgain = false;
    bool ReadAgainRequested = false;
    bool ShouldEndPass() const;

    ScanHost& host_;
    std::thread thread_;

    std::atomic<bool> ScanPending{false};
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> terminated_{false};
    std::filesystem::path ScanPath;
    PathSource ScanPaths;
    // Bytes of a row's path that name the folder argument it came from.
    std::size_t rootLength_ = 0;
    std::unique_ptr<ReaderSet> Readers;
    std::atomic<std::uint64_t> filesSeen_{0};
    // Wakes the idle worker at once for a request or the terminate request;
    // the poll interval stays as its fallback.
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    // One open file for all the readers of a file's order.
    std::unique_ptr<FileSource> file_;
    std::size_t readsInFlight_ = kDefaultReadsInFlight;
    ReadHook readHook_;
    std::unique_ptr<walkparts::Pipeline> pipeline_;
    RowCatalogue* catalogue_ = nullptr;
    // The catalogue's walk the files being listed belong to.
    std::int64_t walk_ = 0;
    std::atomic<std::uint64_t> fromCatalogue_{0};
};

} // namespace vidarium

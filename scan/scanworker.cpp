#include "scanworker.h"

#include "bytesource.h"
#include "loaderpool.h"
#include "localtext.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <future>
#include <system_error>
#include <variant>

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

// One listing holds at most this many entries; a larger directory is read
// from its open listing as the walk goes.
constexpr std::size_t kListingLimit = 1024;
// Listings asked for ahead and not yet walked, at most.
constexpr int kListingsAhead = 64;
// How often a wait for a loader looks at Stop and Terminate.
constexpr std::chrono::milliseconds kStopCheck{20};
// After a stop, how long the row awaited next may take to come.
constexpr std::chrono::milliseconds kStopGrace{500};

template <typename... Handlers> struct Overloaded : Handlers... { using Handlers::operator()...; };
template <typename... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

// One of the listings ahead; given back once its listing has been walked or
// dropped.
class AheadSlot {
public:
    AheadSlot() = default;
    AheadSlot(AheadSlot&& other) noexcept = default;
    AheadSlot& operator=(AheadSlot&& other) noexcept {
        Release();
        free_ = std::move(other.free_);
        return *this;
    }
    AheadSlot(const AheadSlot&) = delete;
    AheadSlot& operator=(const AheadSlot&) = delete;
    ~AheadSlot() { Release(); }

    static AheadSlot TryTake(const std::shared_ptr<std::atomic<int>>& free) {
        AheadSlot slot;
        int available = free->load();
        while (available > 0) {
            if (free->compare_exchange_weak(available, available - 1)) {
                slot.free_ = free;
                break;
            }
        }
        return slot;
    }
    explicit operator bool() const { return free_ != nullptr; }

private:
    void Release() {
        if (free_) {
            free_->fetch_add(1);
            free_.reset();
        }
    }
    std::shared_ptr<std::atomic<int>> free_;
};

// A read of a file's bytes, seen by the read hook first.
class HookedSource final : public ByteSource {
public:
    HookedSource(ByteSource& source, const TScanFilesThread::ReadHook& hook, const fs::path& path)
        : source_(source), hook_(hook), path_(path) {}
    std::int64_t Size() override { return source_.Size(); }
    std::int64_t Position() const override { return source_.Position(); }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        hook_(path_);
        return source_.Read(buffer);
    }
    std::int64_t Seek(std::int64_t position) override { return source_.Seek(position); }
    std::uint64_t BytesFetched() const override { return source_.BytesFetched(); }

private:
    ByteSource& source_;
    const TScanFilesThread::ReadHook& hook_;
    const fs::path& path_;
};

// The size of a file that was not opened; a link that leads nowhere counts
// as a file of size 0.
std::uint64_t ListedSize(const fs::directory_entry& entry) {
    std::error_code error;
    const std::uintmax_t size = entry.file_size(error);
    return error ? 0 : size;
}

struct FileRead {
    bool RowAdded = false;
    std::uint64_t Size = 0;
    // Listed as a regular file, yet it could not be opened.
    std::error_code Unreadable;
};

// Opens a listed file and reads it with the readers of its order; `add`
// gets a reader's row and may raise (the next reader then gets its turn).
FileRead ReadListedFile(ReaderSet& readers, FileSource& file, const fs::directory_entry& entry,
                        std::span<const ReaderKind> order, bool allFormats,
                        const std::atomic<bool>& stop, const TScanFilesThread::ReadHook& hook,
                        const std::function<void(FileRow)>& add) {
    // Whether it is a regular file is known from the listing (or, for a
    // link, the one lookup of its target), so the open does not look it up
    // again; its size comes from the open file. A file that cannot be opened
    // is refused by every reader.
    const fs::path& path = entry.path();
    std::error_code typeError;
    const bool regular = entry.is_regular_file(typeError);
    errno = 0;
    const bool opened = regular && file.Open(path, /*knownRegular=*/true);
    FileRead result;
    if (opened) {
        result.Size = static_cast<std::uint64_t>(file.Size());
    } else {
        if (regular) {
            // No access, or a path longer than the system takes.
            result.Unreadable = std::error_code(errno, std::generic_category());
        }
        result.Size = ListedSize(entry);
        return result;
    }
    struct ClosesOnExit {
        FileSource& file;
        ReaderSet& readers;
        ~ClosesOnExit() {
            file.Close();
            readers.ReleaseHeldMemory();
        }
    } const closing{file, readers};
    const std::function<std::string()> caption = [&] { return PathToLocaleText(path.filename()); };
    const FileFacts facts{path, caption, result.Size};
    if (hook) {
        HookedSource hooked(file, hook, path);
        result.RowAdded = AddReaderRow(readers, hooked, facts, order, allFormats, stop, add);
    } else {
        result.RowAdded = AddReaderRow(readers, file, facts, order, allFormats, stop, add);
    }
    return result;
}

// A file read by a loader: its reader's row, or what its plain row needs.
struct LoadedFile {
    std::optional<FileRow> Row;
    std::uint64_t Size = 0;
    std::error_code Unreadable;
};

struct PendingFile {
    fs::directory_entry Entry;
    std::span<const ReaderKind> Order;
    std::size_t RootLength = 0;
    std::future<LoadedFile> Load;
};
struct StatusStep {
    std::string Text;
};
struct UnreadableFolder {
    fs::path Path;
};
struct UnreadablePath {
    fs::path Path;
    std::error_code Error;
};
using PendingStep = std::variant<StatusStep, UnreadableFolder, UnreadablePath, PendingFile>;

// Waits for a loader's result; while it waits, the pool may start another
// loader beside loads that wait for their storage. False once `ended`.
template <typename Result>
bool Await(std::future<Result>& result, LoaderPool& loaders, const std::function<bool()>& ended) {
    std::chrono::microseconds slice{200};
    while (result.wait_for(slice) != std::future_status::ready) {
        if (ended()) {
            return false;
        }
        loaders.Nudge();
        slice = std::min<std::chrono::microseconds>(slice * 2, kStopCheck);
    }
    return true;
}

} // namespace

struct TScanFilesThread::Listing {
    struct Entry {
        fs::directory_entry Item;
        bool Directory = false; // a link counts as what it points to
        // A subdirectory's own listing, asked for ahead.
        std::future<std::shared_ptr<Listing>> Ahead;
    };
    bool Listed = false;   // false: the directory cannot be listed
    bool Complete = false; // false: larger than one listing holds
    std::vector<Entry> Entries;
    AheadSlot Slot;

    using Submit = std::function<bool(LoaderPool::Task&)>;
    // Lists a directory; with `submit`, its subdirectories (not the links)
    // are listed ahead on the loaders, as far as `free` slots go, and so on
    // below them.
    static std::shared_ptr<Listing> Of(const std::string& directory, const Submit& submit,
                                       const std::shared_ptr<std::atomic<int>>& free);
};

std::shared_ptr<TScanFilesThread::Listing>
TScanFilesThread::Listing::Of(const std::string& directory, const Submit& submit,
                              const std::shared_ptr<std::atomic<int>>& free) {
    auto listing = std::make_shared<Listing>();
    std::error_code error;
    fs::directory_iterator entries(fs::path(directory), error);
    if (error) {
        return listing;
    }
    listing->Listed = true;
    while (entries != fs::directory_iterator()) {
        if (listing->Entries.size() == kListingLimit) {
            return listing;
        }
        Entry entry{*entries, false, {}};
        std::error_code typeError;
        entry.Directory = entry.Item.is_directory(typeError);
        listing->Entries.push_back(std::move(entry));
        entries.increment(error);
        if (error) {
            break;
        }
    }
    listing->Complete = true;
    if (!submit) {
        return listing;
    }
    for (Entry& entry : listing->Entries) {
        std::error_code typeError;
        // A link is left to the walk, which knows the directories on its path.
        if (!entry.Directory || entry.Item.is_symlink(typeError)) {
            continue;
        }
        auto slot = std::make_shared<AheadSlot>(AheadSlot::TryTake(free));
        if (!*slot) {
            break;
        }
        auto promise = std::make_shared<std::promise<std::shared_ptr<Listing>>>();
        std::future<std::shared_ptr<Listing>> ahead = promise->get_future();
        LoaderPool::Task task = [promise, slot, free,
                                 below = entry.Item.path().native() + kSeparator](Loader& loader) {
            try {
                // A listing waits for its storage, as a read does.
                const StorageCall listingCall(&loader.StorageSince);
                std::shared_ptr<Listing> result = Of(
                    below, [&loader](LoaderPool::Task& next) { return loader.Submit(next); }, free);
                result->Slot = std::move(*slot);
                promise->set_value(std::move(result));
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        };
        if (!submit(task)) {
            break;
        }
        entry.Ahead = std::move(ahead);
    }
    return listing;
}

// A subdirectory still to be walked: its name, and its listing when it was
// asked for ahead.
struct TScanFilesThread::Subdirectory {
    std::string Name;
    std::future<std::shared_ptr<Listing>> Ahead;
};

struct TScanFilesThread::Pipeline {
    explicit Pipeline(std::size_t readsInFlight) : Window(2 * readsInFlight) {
        if (readsInFlight > 0) {
            Loaders = std::make_unique<LoaderPool>(readsInFlight);
        }
    }
    // Null: every file is read on the worker's thread.
    std::unique_ptr<LoaderPool> Loaders;
    // Files read or waiting for a loader, and not yet handed over, at most.
    std::size_t Window;
    std::deque<PendingStep> Steps;
    std::size_t Files = 0;
    // A row came after a stop: nothing more does.
    bool Ended = false;
    std::shared_ptr<std::atomic<int>> FreeListings =
        std::make_shared<std::atomic<int>>(kListingsAhead);
};

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

namespace {

// A failed host step never ends the worker: it stays ready for the next
// request, and the scan still reports its end.
template <typename Step> void EvenIfItFails(Step&& step) {
    try {
        step();
    } catch (...) {
    }
}

} // namespace

void TScanFilesThread::RunRequest() {
    Recurse = RecurseRequested;
    AllFormats = AllFormatsRequested;
    if (ScanPaths) {
        const PathSource paths = std::move(ScanPaths);
        ScanPaths = nullptr;
        EvenIfItFails([&] {
            host_.ClearList();
            ScanPathsOf(paths);
        });
        FinishScan();
        EvenIfItFails([&] { host_.ScanDone(); });
    } else if (!ScanPath.empty()) {
        const fs::path path = std::move(ScanPath);
        ScanPath.clear();
        bool readable = true;
        std::string shown;
        EvenIfItFails([&] {
            host_.ClearList();
            readable = ScanRoot(path, shown);
        });
        FinishScan();
        EvenIfItFails([&] {
            if (readable) {
                host_.ScanDone();
            } else {
                host_.ScanFailed(PathToLocaleText(shown));
            }
        });
    }
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
    // The directories on the path being walked, the root first; each is
    // identified once, before it is entered.
    std::vector<DirectoryIdentity> ancestors;
    if (const auto identity = IdentifyDirectory(text)) {
        ancestors.push_back(*identity);
    }
    ScanDirectory(text, ancestors, std::move(listing));
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
            Emit(UnreadablePath{
                *path, error ? error : std::make_error_code(std::errc::no_such_file_or_directory)});
        } else if (fs::is_directory(status)) {
            std::string shown;
            if (!ScanRoot(*path, shown)) {
                Emit(UnreadablePath{shown, std::make_error_code(std::errc::permission_denied)});
            }
        } else {
            // A file named itself: its own row, its path as given. Only a
            // regular file is opened.
            rootLength_ = 0;
            const std::string name = path->filename().native();
            QueueFile(fs::directory_entry(*path, error),
                      ReaderOrderFor(LowerCaseExtension(ExtensionOf(name))));
        }
    }
}

bool TScanFilesThread::ShouldEndPass() const {
    return Terminated() || StopRequested.load();
}

std::shared_ptr<TScanFilesThread::Listing>
TScanFilesThread::ListHere(const std::string& directory) {
    Listing::Submit submit;
    if (pipeline_->Loaders && Recurse) {
        submit = [this](LoaderPool::Task& task) { return pipeline_->Loaders->Submit(task); };
    }
    return Listing::Of(directory, submit, pipeline_->FreeListings);
}

void TScanFilesThread::ScanDirectory(std::string& directory,
                                     std::vector<DirectoryIdentity>& ancestors,
                                     std::shared_ptr<Listing> listing) {
    Emit(StatusStep{PathToLocaleText(directory + "*")});
    if (!listing) {
        listing = ListHere(directory);
    }
    if (!listing->Listed) {
        Emit(UnreadableFolder{directory});
        return;
    }
    if (!listing->Complete) {
        listing.reset();
        FilePass(directory);
        if (!ShouldEndPass() && Recurse) {
            DirectoryPass(directory, ancestors);
        }
        return;
    }
    filesSeen_.fetch_add(listing->Entries.size(), std::memory_order_relaxed);
    for (const Listing::Entry& entry : listing->Entries) {
        if (ShouldEndPass()) {
            return;
        }
        ConsiderEntry(entry.Item, entry.Directory);
    }
    if (ShouldEndPass() || !Recurse) {
        return;
    }
    // Only the subdirectories' names are kept while the walk goes below: a
    // listed entry holds its whole path, component by component, and a walk
    // that kept them would grow with the square of its depth.
    std::vector<Subdirectory> below;
    for (Listing::Entry& entry : listing->Entries) {
        if (entry.Directory) {
            below.push_back({entry.Item.path().filename().native(), std::move(entry.Ahead)});
        }
    }
    listing.reset();
    Subdirectories(directory, below, ancestors);
}

void TScanFilesThread::Enter(std::string& directory, std::vector<DirectoryIdentity>& ancestors,
                             std::shared_ptr<Listing> listing) {
    // A directory already on the path being walked (a link loop) is not
    // entered again.
    const auto identity = IdentifyDirectory(directory);
    if (!identity) {
        ScanDirectory(directory, ancestors, std::move(listing));
    } else if (std::find(ancestors.begin(), ancestors.end(), *identity) == ancestors.end()) {
        ancestors.push_back(*identity);
        const LeavesPathOnExit leaving{ancestors};
        ScanDirectory(directory, ancestors, std::move(listing));
    }
}

void TScanFilesThread::Subdirectories(std::string& directory, std::vector<Subdirectory>& below,
                                      std::vector<DirectoryIdentity>& ancestors) {
    try {
        // One path grows and shrinks with the walk, so that its memory grows
        // with the depth, not with its square.
        const std::size_t length = directory.size();
        const LeavesDirectoryOnExit restore{directory, length};
        for (Subdirectory& subdirectory : below) {
            std::shared_ptr<Listing> ahead;
            if (subdirectory.Ahead.valid()) {
                if (!Await(subdirectory.Ahead, *pipeline_->Loaders,
                           [this] { return ShouldEndPass(); })) {
                    break;
                }
                try {
                    ahead = subdirectory.Ahead.get();
                } catch (...) {
                    // Not listed ahead after all: the walk lists it.
                }
            }
            directory.resize(length);
            directory += subdirectory.Name;
            directory += kSeparator;
            std::string().swap(subdirectory.Name);
            Enter(directory, ancestors, std::move(ahead));
            if (ShouldEndPass()) {
                break;
            }
        }
    } catch (...) {
        // A failure here ends this directory's directory pass only.
    }
}

void TScanFilesThread::FilePass(const std::string& directory) {
    try {
        std::error_code error;
        fs::directory_iterator entries(fs::path(directory), error);
        if (error) {
            Emit(UnreadableFolder{directory});
            return;
        }
        while (entries != fs::directory_iterator() && !ShouldEndPass()) {
            filesSeen_.fetch_add(1, std::memory_order_relaxed);
            std::error_code typeError;
            // A symbolic link counts as what it points to.
            ConsiderEntry(*entries, entries->is_directory(typeError));
            entries.increment(error);
            if (error) {
                break;
            }
        }
    } catch (...) {
        // A failed enumeration ends this directory's file pass only.
    }
}

void TScanFilesThread::ConsiderEntry(const fs::directory_entry& entry, bool directory) {
    if (directory) {
        return;
    }
    const std::string extension = LowerCaseExtension(ExtensionOf(entry.path().filename().native()));
    if (IsListedExtension(extension, AllFormats)) {
        QueueFile(entry, ReaderOrderFor(extension));
    }
}

void TScanFilesThread::QueueFile(const fs::directory_entry& entry,
                                 std::span<const ReaderKind> order) {
    Pipeline& pipeline = *pipeline_;
    if (!pipeline.Loaders) {
        HandleFile(entry, order, rootLength_);
        return;
    }
    auto promise = std::make_shared<std::promise<LoadedFile>>();
    PendingFile pending{entry, order, rootLength_, promise->get_future()};
    LoaderPool::Task task = [promise, entry, order, allFormats = AllFormats,
                             hook = readHook_](Loader& loader) {
        try {
            // The hook stands for storage that tests slow down: its time is
            // a wait for the storage, as a read's is.
            TScanFilesThread::ReadHook marked;
            if (hook) {
                marked = [&loader, &hook](const fs::path& path) {
                    const StorageCall call(&loader.StorageSince);
                    hook(path);
                };
            }
            LoadedFile loaded;
            const FileRead read =
                ReadListedFile(loader.Readers, loader.File, entry, order, allFormats, loader.Stop,
                               marked, [&loaded](FileRow row) { loaded.Row = std::move(row); });
            loaded.Size = read.Size;
            loaded.Unreadable = read.Unreadable;
            promise->set_value(std::move(loaded));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    };
    if (!pipeline.Loaders->Submit(task)) {
        // No loader to be had: this file is read here, after the ones before it.
        while (!pipeline.Steps.empty() && !pipeline.Ended) {
            DeliverNext();
        }
        HandleFile(entry, order, rootLength_);
        return;
    }
    pipeline.Steps.emplace_back(std::move(pending));
    ++pipeline.Files;
    while (pipeline.Files > pipeline.Window && !pipeline.Ended) {
        DeliverNext();
    }
}

template <typename Step> void TScanFilesThread::Emit(Step step) {
    Pipeline& pipeline = *pipeline_;
    if (pipeline.Steps.empty()) {
        PendingStep now(std::move(step));
        pipeline.Steps.push_back(std::move(now));
        DeliverNext();
    } else {
        pipeline.Steps.emplace_back(std::move(step));
    }
}

void TScanFilesThread::DeliverNext() {
    Pipeline& pipeline = *pipeline_;
    PendingStep step = std::move(pipeline.Steps.front());
    pipeline.Steps.pop_front();
    PendingFile* const file = std::get_if<PendingFile>(&step);
    if (file != nullptr) {
        --pipeline.Files;
    }
    if (pipeline.Ended || Terminated()) {
        return;
    }
    if (file == nullptr) {
        std::visit(
            Overloaded{
                [this](StatusStep& status) {
                    try {
                        host_.ShowStatus(status.Text);
                    } catch (...) {
                        // Only the status line is lost.
                    }
                },
                [this](UnreadableFolder& folder) { host_.DirectoryUnreadable(folder.Path); },
                [this](UnreadablePath& path) { host_.PathUnreadable(path.Path, path.Error); },
                [](PendingFile&) {},
            },
            step);
        return;
    }
    // The load awaited next; a stop stops it (it then gives the plain row)
    // and gives it a moment to end, a load stalled on a share is dropped.
    std::future<LoadedFile>& load = file->Load;
    if (!Await(load, *pipeline.Loaders, [this] { return ShouldEndPass(); })) {
        if (Terminated()) {
            return;
        }
        pipeline.Loaders->Abandon();
        if (load.wait_for(kStopGrace) != std::future_status::ready) {
            pipeline.Ended = true;
            return;
        }
    }
    LoadedFile loaded;
    try {
        loaded = load.get();
    } catch (...) {
        // Dropped before it started, or out of memory: the plain row.
        loaded.Size = ListedSize(file->Entry);
    }
    if (loaded.Unreadable) {
        host_.FileUnreadable(file->Entry.path(), loaded.Unreadable);
    }
    if (loaded.Row) {
        loaded.Row->RootLength = file->RootLength;
        try {
            host_.AddRow(std::move(*loaded.Row));
        } catch (...) {
            // The list refused the row: read the file again here, where the
            // next reader gets its turn.
            HandleFile(file->Entry, file->Order, file->RootLength);
        }
    } else {
        AddPlainRow(file->Entry.path(), loaded.Size, file->RootLength);
    }
    // A stop asked for during the row, or while it was awaited: nothing
    // after it comes.
    pipeline.Ended = ShouldEndPass();
}

void TScanFilesThread::FinishScan() {
    Pipeline& pipeline = *pipeline_;
    if (pipeline.Loaders && ShouldEndPass()) {
        pipeline.Loaders->Abandon();
    }
    try {
        while (!pipeline.Steps.empty() && !pipeline.Ended && !Terminated()) {
            DeliverNext();
        }
    } catch (...) {
    }
    pipeline.Steps.clear();
    pipeline.Files = 0;
    pipeline.Ended = false;
}

void TScanFilesThread::HandleFile(const fs::directory_entry& entry,
                                  std::span<const ReaderKind> order, std::size_t rootLength) {
    // A reader that raises its error, or whose row cannot be added, counts as
    // having refused the file: the next reader gets its turn, and the file
    // still gets its plain row.
    const FileRead read = ReadListedFile(*Readers, *file_, entry, order, AllFormats, StopRequested,
                                         readHook_, [this, rootLength](FileRow row) {
                                             row.RootLength = rootLength;
                                             host_.AddRow(std::move(row));
                                         });
    if (read.Unreadable) {
        host_.FileUnreadable(entry.path(), read.Unreadable);
    }
    if (!read.RowAdded) {
        AddPlainRow(entry.path(), read.Size, rootLength);
    }
}

void TScanFilesThread::AddPlainRow(const fs::path& path, std::uint64_t size,
                                   std::size_t rootLength) {
    if (Terminated()) {
        return; // the host is going away: no row is wanted any more
    }
    try {
        FileRow row = MakePlainRow(PathToLocaleText(path.filename()), size);
        row.Path = path;
        row.RootLength = rootLength;
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
        const std::size_t length = directory.size();
        const LeavesDirectoryOnExit restore{directory, length};
        for (std::string& name : subdirectories) {
            directory.resize(length);
            directory += name;
            directory += kSeparator;
            std::string().swap(name);
            Enter(directory, ancestors, nullptr);
            if (ShouldEndPass()) {
                break;
            }
        }
    } catch (...) {
        // A failure here ends this directory's directory pass only.
    }
}

} // namespace vidarium

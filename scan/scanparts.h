// What the scan worker's rooms share: the walk (scanwalk.cpp), the ordered
// delivery of its steps (scandelivery.cpp) and the worker itself
// (scanworker.cpp); a file's row is made in fileread.cpp. Private to scan/.
#pragma once

#include "bytesource.h"
#include "faults.h"
#include "filenames.h"
#include "fileread.h"
#include "loaderpool.h"
#include "platform.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace vidarium {

namespace fs = std::filesystem;

namespace walkparts {

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

// One listing holds at most this many entries; a larger directory is read
// from its open listing as the walk goes.
inline constexpr std::size_t kListingLimit = 1024;
// Listings asked for ahead and not yet walked, at most.
inline constexpr int kListingsAhead = 64;
// How often a wait for a loader looks at Stop and Terminate.
inline constexpr std::chrono::milliseconds kStopCheck{20};
// After a stop, how long the row awaited next may take to come.
inline constexpr std::chrono::milliseconds kStopGrace{500};

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

struct PendingFile {
    fs::directory_entry Entry;
    std::span<const ReaderKind> Order;
    std::size_t RootLength = 0;
    std::int64_t Walk = 0;
    std::future<LoadedFile> Load;
    // Taken from the catalogue by the worker itself: no loader, no hand-off
    // (setting a promise costs a system call). Held apart, so that the
    // steps queued in the walk's frames stay small.
    std::unique_ptr<LoadedFile> Reused;
};
struct StatusStep {
    std::string Text;
};
struct UnreadableFolder {
    fs::path Path;
    std::int64_t Walk = 0;
};
struct ListedFolder {
    std::string Path;
    std::uint64_t Device = 0;
    std::int64_t Walk = 0;
};
// The walk of one folder (or a file named itself) has handed over its rows.
struct WalkEnd {
    std::int64_t Walk = 0;
    bool Complete = false;
};
struct UnreadablePath {
    fs::path Path;
    std::error_code Error;
};
// A step of the walk, handed over in order. A type of its own, so that the
// worker's header can name it.
struct PendingStep : std::variant<StatusStep, UnreadableFolder, ListedFolder, UnreadablePath,
                                  WalkEnd, PendingFile> {
    using variant::variant;
};

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

struct Listing {
    struct Entry {
        fs::directory_entry Item;
        bool Directory = false; // a link counts as what it points to
        // A subdirectory's own listing, asked for ahead.
        std::future<std::shared_ptr<Listing>> Ahead;
    };
    bool Listed = false;   // false: the directory cannot be listed
    bool Complete = false; // false: larger than one listing holds
    bool Whole = true;     // false: the listing failed before its end
    std::vector<Entry> Entries;
    AheadSlot Slot;

    using Submit = std::function<bool(LoaderPool::Task&)>;
    // Lists a directory; with `submit`, its subdirectories (not the links)
    // are listed ahead on the loaders, as far as `free` slots go, and so on
    // below them.
    static std::shared_ptr<Listing> Of(const std::string& directory, const Submit& submit,
                                       const std::shared_ptr<std::atomic<int>>& free);
    // The listing of `directory` asked for on the loaders, when a slot is
    // free and a loader takes it; else no future.
    static std::future<std::shared_ptr<Listing>>
    Ahead(const std::string& directory, const Submit& submit,
          const std::shared_ptr<std::atomic<int>>& free);
};

// A subdirectory still to be walked: its name, and its listing when it was
// asked for ahead.
struct Subdirectory {
    std::string Name;
    std::future<std::shared_ptr<Listing>> Ahead;
};

struct Pipeline {
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
    // How long recent looks at a catalogued file's stamp took (a moving
    // average): on a local disk the worker looks itself, which costs less
    // than handing the look to a loader; on a share the loaders overlap
    // their waits.
    std::chrono::duration<double, std::micro> StampTime{0};
    static constexpr std::chrono::microseconds kQuickStamp{50};
    void NoteStampTime(std::chrono::duration<double, std::micro> taken) {
        StampTime = (StampTime * 7 + taken) / 8;
    }
    std::shared_ptr<std::atomic<int>> FreeListings =
        std::make_shared<std::atomic<int>>(kListingsAhead);
};

} // namespace walkparts

} // namespace vidarium

// The catalogue: one SQLite file holding every movie's row between runs, so
// that a rescan reads only the files that changed and a folder that is not
// there any more can still be listed.
#pragma once

#include "rowcatalogue.h"
#include "volumes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace vidarium {

// A catalogue that cannot be used: not one, a newer one, in use, or not
// writable. The text says which, for the user.
class CatalogueError : public std::runtime_error {
public:
    explicit CatalogueError(const std::string& what, bool damaged = false)
        : std::runtime_error(what), damaged_(damaged) {}
    // The file at the catalogue's place is not a sound catalogue (random
    // bytes, damaged pages, tables not ours): it may be set aside for a new
    // one. Not so for a newer catalogue, another user's, or one in use.
    bool Damaged() const { return damaged_; }

private:
    bool damaged_;
};

class Catalogue final : public RowCatalogue {
public:
    // Kept in the file's user_version; a newer file is refused.
    // Raised when a table gains or changes a column (Upgrade then brings an
    // older file up to it, when opened); the view needs none, it is made
    // anew on every open.
    // 2: the file system of each entry; 3: an entry a file and setting;
    // 4: the drives, and each entry's fingerprints.
    static constexpr int kSchemaVersion = 4;
    // How long a scan waits for another one on the same catalogue.
    static constexpr std::chrono::milliseconds kBusyWait{5000};
    // An entry read less than this long after its file last changed is read
    // again at the next scan: a file system's tick (FAT's 2 s) and a second
    // for the time between the read and the keeping.
    static constexpr std::int64_t kSettleSeconds = 3;
    // Rows are committed at least this often during a scan.
    static constexpr std::chrono::milliseconds kCommitInterval{500};

    // A statement runs at most this long once Stop is pressed; SQLite looks
    // every this many steps.
    static constexpr std::chrono::milliseconds kStopGrace{2000};
    static constexpr int kProgressSteps = 10'000;

    // What the catalogue is opened for: a scan writes it, and waits for the
    // scan before it; a read (the offline rows) takes no lock.
    enum class Use { Scan, Read };
    // Opens the catalogue, creating it (readable by its owner only) when
    // the file is missing or empty; raises CatalogueError, leaving the file
    // as it was, when it is something else: not a catalogue, one whose
    // tables are not ours, a newer one, another user's, or one in use.
    explicit Catalogue(const std::filesystem::path& file,
                       std::chrono::milliseconds busyWait = kBusyWait, Use use = Use::Scan);
    ~Catalogue() override;

    // Reads every page of the file once (SQLite's quick check), so that
    // damage is told when the catalogue is opened, not when a scan touches
    // it; raises a damaged CatalogueError.
    void CheckPages();
    // Renames a damaged catalogue (and its journal files) beside itself,
    // with the date: "catalogue.sqlite.damaged-2026-12-10" (then "-2", ...).
    // Never replaces a file. The new name; raises CatalogueError when it
    // cannot.
    static std::filesystem::path SetAside(const std::filesystem::path& file);
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    std::int64_t BeginWalk(const std::string& root, bool allFormats) override;
    std::optional<StoredEntry> Lookup(std::int64_t walk, const std::string& path) override;
    RowDecoder Decoder() const override;
    void Keep(std::int64_t walk, const FileRow& row,
              std::optional<std::int64_t> storedEntry) override;
    void FolderUnreadable(std::int64_t walk, const std::string& folder) override;
    void FolderListed(std::int64_t walk, const std::string& folder, std::uint64_t device) override;
    std::vector<KeptFolder> EndWalk(std::int64_t walk, bool complete) override;
    // An empty `folder`: every row, each relative to the folder it was
    // walked from. A path that is itself an entry gives its row alone.
    std::vector<FileRow> RowsBelow(const std::string& folder, bool allFormats,
                                   std::time_t& lastSeen) override;
    void Flush() override;
    void WatchStop(const std::atomic<bool>* stop) override { stop_.store(stop); }
    // Opened to read, the catalogue holds the scans' lock only from here to
    // EndScan; opened for a scan, all along.
    bool BeginScan(const std::function<void()>& waiting) override;
    void EndScan() override;

    // Why the catalogue stopped taking rows (empty while it takes them);
    // what was committed before stays.
    std::string Fault() const { return fault_; }

    // How drives are told apart (the system's, unless a test gives others).
    void UseVolumes(std::unique_ptr<VolumeLookup> volumes) { volumes_ = std::move(volumes); }
    // Every catalogued drive, then every walked folder on no drive (the
    // outermost of nested ones), with what each holds; by path.
    std::vector<CataloguedRoot> Roots();
    // The groups of probable copies, those wasting most first; only groups
    // with a copy below one of `folders` (every group when there are none).
    std::vector<DuplicateGroup> Duplicates(const std::vector<std::string>& folders);

private:
    struct Statements;
    // A catalogued file below the walk's root.
    struct Known {
        std::int64_t Id = 0;      // its entry of the walk's setting (0: none)
        std::int64_t OtherId = 0; // of the other "All formats" setting (0: none)
        FileStamp Stamp;
        bool Current = false; // Id read by today's readers, and settled
        std::int64_t Walk = 0;
        std::int64_t Seq = 0;
        std::string Row;   // until the walk looks it up
        bool Seen = false; // by this walk
        // The file system it was last seen on (0: not known, catalogued
        // before file systems were).
        std::uint64_t Device = 0;
    };
    // A folder the walk listed, by its path below the root.
    struct ListedFolder {
        std::uint64_t Device = 0;
        // The file systems its catalogued files that the walk found were
        // seen on before: a folder that still holds them is the same one.
        std::vector<std::uint64_t> DevicesSeen;
    };
    // Paths hashed for look-ups by a part of a longer text.
    struct PathHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view path) const {
            return std::hash<std::string_view>{}(path);
        }
    };
    struct Walk {
        std::string Root;     // as the scan names it
        std::string Absolute; // the key of the root
        bool AllFormats = false;
        std::int64_t Id = 0; // its row in the walks table
        std::int64_t NextSeq = 0;
        // The entries below the root, by their path below it, read with
        // their rows in one pass before the walk lists anything.
        std::unordered_map<std::string, Known, PathHash, std::equal_to<>> Entries;
        std::vector<std::string> Unreadable; // below the root
        std::unordered_map<std::string, ListedFolder, PathHash, std::equal_to<>> Listed;
        // The file systems its folders were listed on, each looked up once
        // for its drive, and the drives found.
        std::vector<std::uint64_t> DevicesLooked;
        std::vector<std::int64_t> Drives;
    };
    // A drive as the catalogue's table holds it.
    struct KnownDrive {
        std::int64_t Id = 0;
        std::string Uuid;
        std::string Label;
        std::string Mount;
        std::uint64_t Device = 0;
        std::time_t Scanned = 0;
    };

    void Lock(std::chrono::milliseconds busyWait);
    void Unlock();
    static int OnProgress(void* self);
    void CreateSchema();
    void CheckExisting(std::chrono::milliseconds busyWait);
    // Refuses a file whose tables, indexes, views or triggers are not those
    // of a catalogue of `version`.
    void CheckSchema(std::int64_t version);
    void RecreateView();
    void Upgrade(std::int64_t version);
    // Runs `write` inside the current transaction; a failure ends all
    // writing, with its reason kept.
    template <typename Write> void Writing(Write&& write);
    void Commit();
    void Fail(const std::string& reason);
    std::string KeyOf(const Walk& walk, const std::string& path) const;
    // A path of the walk below its root (its key when it lies elsewhere).
    std::string RelativeOf(const Walk& walk, const std::string& path) const;
    Known* KnownOf(Walk& walk, const std::string& path);
    // The folder of a path below the root, ending with the separator.
    static std::string_view FolderOf(std::string_view below);
    std::uint64_t DeviceOf(const Walk& walk, const std::string& path) const;
    // Where a catalogued file the walk did not see is kept: the folder that
    // is not there; nothing when its own folder was listed on its file
    // system (it is gone, and its entries go).
    static std::optional<std::string> KeptIn(const Walk& walk, std::string_view folder,
                                             const Known& known);
    std::vector<KeptFolder> RemoveUnseen(const Walk& walk);
    struct RowQuery {
        const std::string& Folder; // as the scan names it; empty: every row
        const std::string& Absolute;
        bool AllFormats = false;
    };
    // A stored row's path and root length as a scan of the query's folder
    // gives them (relative to the folder it was walked from, `root`, when
    // the query is of every row).
    static void NameAsScanned(FileRow& row, std::string_view path, std::string_view root,
                              const RowQuery& query);
    // The stored rows whose paths lie in [from, to) (all when the folder is
    // empty), named as a scan of the folder names them.
    void CollectRows(const RowQuery& query, const std::string& from, const std::string& to,
                     std::vector<FileRow>& rows);
    std::time_t LastWalked(const std::string& absolute);
    std::vector<KnownDrive> CataloguedDrives();
    // A drive now mounted at another path, or on another device, than it
    // was: its entries and walks follow it, so that its files are known
    // where it is now.
    void FollowDrives();
    void MoveDrive(const KnownDrive& drive, const Volume& now);
    // The drive of a folder the walk listed on a file system not looked up
    // before, recorded (inside the walk's writing).
    void NoteDriveOf(Walk& walk, const std::string& folder, std::uint64_t device);

    std::filesystem::path file_;
    // Holds the scan's lock on the file: declared first, closed last, since
    // closing any descriptor of the file drops SQLite's own locks.
    int lockDescriptor_ = -1;
    bool locked_ = false;
    Use use_ = Use::Scan;
    std::atomic<const std::atomic<bool>*> stop_{nullptr};
    std::chrono::steady_clock::time_point stopSeen_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> statements_;
    std::map<std::int64_t, Walk> walks_;
    std::int64_t lastWalk_ = 0;
    bool inTransaction_ = false;
    std::chrono::steady_clock::time_point transactionStart_;
    std::string fault_;
    std::unique_ptr<VolumeLookup> volumes_;
};

} // namespace vidarium

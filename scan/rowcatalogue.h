// What the scan worker asks of a catalogue of rows kept between scans: a
// file whose stamp and settings match its stored entry is not opened.
// Every call comes from the worker's thread; none raises.
#pragma once

#include "filerow.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace vidarium {

// A stored entry the scan may use in place of a read.
struct StoredEntry {
    std::int64_t Id = 0;
    FileStamp Stamp;
    std::string Row; // the catalogue's own form
};

// Reads a stored entry's row back; nothing when it cannot be. A function of
// the entry alone: a loader may run it, even one that outlives the scan.
using RowDecoder = std::optional<FileRow> (*)(const StoredEntry& entry);

// Catalogued movies a complete walk did not find but kept, because their
// folder (as the scan names it) is not there: missing, or now on another
// file system (an empty mount point where a drive was).
struct KeptFolder {
    std::string Folder;
    std::size_t Movies = 0;
    bool Root = false; // the folder walked itself
    friend bool operator==(const KeptFolder&, const KeptFolder&) = default;
};

// A drive or folder of the catalogue, with what it holds.
struct CataloguedRoot {
    std::string Label; // a drive's own (may be empty); empty for a folder
    std::string Uuid;  // a drive's file system; empty for a folder known by its path
    // Where the drive was last mounted, or the folder walked; ending with
    // the separator.
    std::string Path;
    // Where it can be read now: the drive's mount (another path when it was
    // mounted elsewhere), the folder itself; nothing when not connected.
    std::optional<std::string> ConnectedAt;
    std::uint64_t Movies = 0;
    std::uint64_t Bytes = 0;
    std::int64_t DurationMs = 0;
    std::time_t LastScan = 0; // the last walk of it that ended (0: none)
};

// Catalogued files of one size whose first and last blocks read alike:
// probably copies of one another.
struct DuplicateCopy {
    FileRow Row;       // its path in full
    std::string Drive; // its drive's label (else UUID); empty off any drive
    bool Connected = false;
};
struct DuplicateGroup {
    std::uint64_t Size = 0;
    std::vector<DuplicateCopy> Copies; // two or more, by path
    // What the copies past the first take.
    std::uint64_t Wasted() const { return Copies.empty() ? 0 : Size * (Copies.size() - 1); }
};
// What all the groups' extra copies take.
inline std::uint64_t TotalWasted(const std::vector<DuplicateGroup>& groups) {
    return std::transform_reduce(groups.begin(), groups.end(), std::uint64_t{0}, std::plus<>(),
                                 [](const DuplicateGroup& group) { return group.Wasted(); });
}

class RowCatalogue {
public:
    virtual ~RowCatalogue() = default;

    // A walk of `root` (a folder as the scan names it, ending with the
    // separator, or a file named itself) begins; its number is handed back
    // with its rows and at its end.
    virtual std::int64_t BeginWalk(const std::string& root, bool allFormats) = 0;
    // The entry stored for a path of the walk, when it was read with the
    // walk's settings by today's readers.
    virtual std::optional<StoredEntry> Lookup(std::int64_t walk, const std::string& path) = 0;
    // How the rows of its entries are read back.
    virtual RowDecoder Decoder() const = 0;
    // A row of the walk in walk order: read now (stored, replacing what was
    // there), or the stored entry used.
    virtual void Keep(std::int64_t walk, const FileRow& row,
                      std::optional<std::int64_t> storedEntry) = 0;
    // A folder of the walk that could not be read: its entries stay.
    virtual void FolderUnreadable(std::int64_t walk, const std::string& folder) = 0;
    // A folder of the walk (ending with the separator) was listed, on the
    // file system of `device` (0: not known).
    virtual void FolderListed(std::int64_t walk, const std::string& folder,
                              std::uint64_t device) = 0;
    // The walk has ended. When it was `complete` (not stopped), an entry it
    // did not see is removed where the walk listed the entry's own folder on
    // the file system the entry was seen on; the others are kept, and named
    // by the folders that are not there.
    virtual std::vector<KeptFolder> EndWalk(std::int64_t walk, bool complete) = 0;
    // The stored rows below a folder that a scan with the "All formats"
    // setting lists, in the order they were last walked: each file's row of
    // that setting, else of the other, named and relative as a scan of the
    // folder gives them (every row, relative to the folder it was walked
    // from, when `folder` is empty). And when the folder was last walked to
    // its end (0: never).
    virtual std::vector<FileRow> RowsBelow(const std::string& folder, bool allFormats,
                                           std::time_t& lastSeen) = 0;
    // Everything kept is written out; called when a scan ends.
    virtual void Flush() = 0;
    // A scan through the catalogue begins: it may write until EndScan. A
    // catalogue that another scan writes is waited for, `waiting` called
    // first, until that scan ends or Stop; false when it cannot be had (the
    // scan then goes without the catalogue).
    virtual bool BeginScan(const std::function<void()>& waiting) {
        (void)waiting;
        return true;
    }
    virtual void EndScan() {}
    // The scan's Stop: a statement of the catalogue that runs on after it
    // is ended (a file crafted to stall it). Null: none.
    virtual void WatchStop(const std::atomic<bool>* stop) { (void)stop; }
};

} // namespace vidarium

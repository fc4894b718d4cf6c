// What the scan worker asks of a catalogue of rows kept between scans: a
// file whose stamp and settings match its stored entry is not opened.
// Every call comes from the worker's thread; none raises.
#pragma once

#include "filerow.h"

#include <cstdint>
#include <ctime>
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
    // The row of an entry; nothing when it cannot be read back.
    virtual std::optional<FileRow> RowOf(const StoredEntry& entry) = 0;
    // A row of the walk in walk order: read now (stored, replacing what was
    // there), or the stored entry used.
    virtual void Keep(std::int64_t walk, const FileRow& row,
                      std::optional<std::int64_t> storedEntry) = 0;
    // A folder of the walk that could not be read: its entries stay.
    virtual void FolderUnreadable(std::int64_t walk, const std::string& folder) = 0;
    // The walk has ended; when it was `complete` (not stopped), the entries
    // below its root that it did not see are removed.
    virtual void EndWalk(std::int64_t walk, bool complete) = 0;
    // The stored rows below a folder, in the order they were last walked,
    // and when the folder was last walked to its end (0: never).
    virtual std::vector<FileRow> RowsBelow(const std::string& folder, std::time_t& lastSeen) = 0;
    // Everything kept is written out; called when a scan ends.
    virtual void Flush() = 0;
};

} // namespace vidarium

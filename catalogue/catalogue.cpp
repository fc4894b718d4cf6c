// The catalogue's walks: what a scan looks up, keeps and forgets, and the
// rows it lists below a folder.
#include "cataloguesql.h"

#include "filenames.h"
#include "readertable.h"
#include "rowformats.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidarium {
namespace fs = std::filesystem;

template <typename Write> void Catalogue::Writing(Write&& write) {
    // Only a scan that holds the lock writes.
    if (!fault_.empty() || !locked_) {
        return;
    }
    try {
        if (!inTransaction_) {
            Execute(db_, "BEGIN IMMEDIATE");
            inTransaction_ = true;
            transactionStart_ = std::chrono::steady_clock::now();
        }
        write();
        if (std::chrono::steady_clock::now() - transactionStart_ >= kCommitInterval) {
            Commit();
        }
    } catch (const std::exception& error) {
        Fail(error.what());
    }
}

void Catalogue::Commit() {
    if (inTransaction_) {
        Execute(db_, "COMMIT");
        inTransaction_ = false;
    }
}

void Catalogue::Fail(const std::string& reason) {
    if (fault_.empty()) {
        fault_ = Quoted(file_) + ": cannot write the catalogue: " + reason;
    }
    // What the open transaction held is lost; what was committed stays.
    if (inTransaction_) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        inTransaction_ = false;
    }
}

void Catalogue::Flush() {
    if (fault_.empty() && inTransaction_) {
        try {
            Commit();
        } catch (const std::exception& error) {
            Fail(error.what());
        }
    }
}

std::string Catalogue::RelativeOf(const Walk& walk, const std::string& path) const {
    if (path.starts_with(walk.Root)) {
        return path.substr(walk.Root.size());
    }
    const std::string key = AbsoluteText(path);
    return key.starts_with(walk.Absolute) ? key.substr(walk.Absolute.size()) : key;
}

std::string Catalogue::KeyOf(const Walk& walk, const std::string& path) const {
    if (path.starts_with(walk.Root)) {
        return walk.Absolute + path.substr(walk.Root.size());
    }
    return AbsoluteText(path);
}

Catalogue::Known* Catalogue::KnownOf(Walk& walk, const std::string& path) {
    // Most paths start with the root as the walk names it: no key is built.
    auto entry = walk.Entries.end();
    if (path.starts_with(walk.Root)) {
        entry = walk.Entries.find(std::string_view(path).substr(walk.Root.size()));
    } else if (const std::string key = AbsoluteText(path); key.starts_with(walk.Absolute)) {
        entry = walk.Entries.find(std::string_view(key).substr(walk.Absolute.size()));
    }
    return entry != walk.Entries.end() ? &entry->second : nullptr;
}

std::int64_t Catalogue::BeginWalk(const std::string& root, bool allFormats) {
    const std::int64_t handle = ++lastWalk_;
    Walk& walk = walks_[handle];
    walk.Root = root;
    walk.Absolute = AbsoluteText(root);
    walk.AllFormats = allFormats;
    if (!fault_.empty()) {
        return handle;
    }
    Writing([&] {
        FollowDrives();
        statements_->AddWalk.Bind(1, walk.Absolute).Run();
        Statement& id = statements_->WalkId;
        const ResetsOnExit resetting{id};
        id.Bind(1, walk.Absolute);
        walk.Id = id.Step() ? id.Number(0) : 0;
    });
    try {
        // The entries below the root, known before the walk lists them: a
        // lookup is a search in memory, on the walk's thread.
        const bool folder = EndsWithSeparator(walk.Absolute);
        Statement& entries = folder ? statements_->EntriesBetween : statements_->Entry;
        const ResetsOnExit resetting{entries};
        entries.Bind(1, walk.Absolute);
        if (folder) {
            entries.Bind(2, PastPrefix(walk.Absolute));
        }
        while (entries.Step()) {
            const std::string_view path = entries.Bytes(kEntryPath);
            if (!IsWalkedPath(path)) {
                continue;
            }
            Known& known =
                walk.Entries[std::string(path.substr(std::min(path.size(), walk.Absolute.size())))];
            const auto device = static_cast<std::uint64_t>(entries.Number(kEntryDevice));
            if ((entries.Number(kEntryAllFormats) != 0) != allFormats) {
                // Read with the other setting: not this walk's row, but gone
                // with the file.
                known.OtherId = entries.Number(kEntryId);
                if (known.Id == 0) {
                    known.Device = device;
                }
                continue;
            }
            known.Id = entries.Number(kEntryId);
            known.Stamp = {static_cast<std::uint64_t>(entries.Number(kEntrySize)),
                           entries.Number(kEntryModifiedNs),
                           static_cast<std::uint64_t>(entries.Number(kEntryInode))};
            // A file changed within a tick of its reading (FAT keeps times
            // to 2 s) may have changed again after it, under the same stamp:
            // it is read again until it has settled.
            const bool settled = entries.Number(kEntryReadAt) >=
                                 entries.Number(kEntryModifiedNs) / 1'000'000'000 + kSettleSeconds;
            known.Current = entries.Number(kEntryGeneration) == kReaderGeneration && settled;
            known.Walk = entries.Number(kEntryWalk);
            known.Seq = entries.Number(kEntrySeq);
            known.Device = device;
            if (known.Current) {
                known.Row = entries.Bytes(kEntryRow);
            }
        }
    } catch (const std::exception& error) {
        Fail(error.what());
        walk.Entries.clear();
    }
    return handle;
}

std::optional<StoredEntry> Catalogue::Lookup(std::int64_t walk, const std::string& path) {
    const auto found = walks_.find(walk);
    if (found == walks_.end() || !fault_.empty()) {
        return std::nullopt;
    }
    Known* known = KnownOf(found->second, path);
    if (known == nullptr || !known->Current) {
        return std::nullopt;
    }
    // The row goes with the entry: each path is looked up once a walk.
    return StoredEntry{known->Id, known->Stamp, std::move(known->Row)};
}

RowDecoder Catalogue::Decoder() const {
    return [](const StoredEntry& entry) { return DecodeRow(entry.Row); };
}

void Catalogue::Keep(std::int64_t walkHandle, const FileRow& row,
                     std::optional<std::int64_t> storedEntry) {
    const auto found = walks_.find(walkHandle);
    if (found == walks_.end()) {
        return;
    }
    Walk& walk = found->second;
    const std::int64_t seq = walk.NextSeq++;
    Known* known = KnownOf(walk, row.Path.native());
    const std::uint64_t device = DeviceOf(walk, row.Path.native());
    if (known != nullptr) {
        known->Seen = true;
        const std::string below = RelativeOf(walk, row.Path.native());
        if (const auto listed = walk.Listed.find(FolderOf(below)); listed != walk.Listed.end()) {
            std::vector<std::uint64_t>& seen = listed->second.DevicesSeen;
            if (std::find(seen.begin(), seen.end(), known->Device) == seen.end()) {
                seen.push_back(known->Device);
            }
        }
    }
    if (storedEntry) {
        // Unchanged, in the same place of the walk, on the same file system:
        // nothing to write.
        if (known != nullptr && known->Walk == walk.Id && known->Seq == seq &&
            known->Device == device) {
            return;
        }
        Writing([&] {
            statements_->Reorder.Bind(1, *storedEntry)
                .Bind(2, walk.Id)
                .Bind(3, seq)
                .Bind(4, static_cast<std::int64_t>(device))
                .Run();
        });
        return;
    }
    if (row.Inode == 0) {
        return; // never opened: it is read again next time
    }
    const std::string key = KeyOf(walk, row.Path.native());
    Writing([&] {
        // The JSON line with the path in full; its name is the row's own.
        std::string json;
        AppendJsonLine(json, row, key);
        json.pop_back(); // its line end
        Statement& store = statements_->Store;
        const ResetsOnExit resetting{store};
        store.Bind(1, key)
            .Bind(2, static_cast<std::int64_t>(row.Size))
            .Bind(3, row.ModifiedNs)
            .Bind(4, static_cast<std::int64_t>(row.Inode))
            .Bind(5, walk.AllFormats ? 1 : 0)
            .Bind(6, kReaderGeneration)
            .Bind(7, walk.Id)
            .Bind(8, seq)
            .Bind(9, static_cast<std::int64_t>(std::time(nullptr)))
            .Bind(10, EncodeRow(row))
            .BindText(11, json)
            .Bind(12, static_cast<std::int64_t>(device))
            .Bind(13, row.HeadHash)
            .Bind(14, row.TailHash);
        store.Run();
    });
}

void Catalogue::FolderUnreadable(std::int64_t walk, const std::string& folder) {
    const auto found = walks_.find(walk);
    if (found != walks_.end()) {
        std::string key = KeyOf(found->second, folder);
        if (!EndsWithSeparator(key)) {
            key += kSeparator;
        }
        // Below the root, as the entries are kept.
        if (key.starts_with(found->second.Absolute)) {
            found->second.Unreadable.push_back(key.substr(found->second.Absolute.size()));
        }
    }
}

void Catalogue::FolderListed(std::int64_t walk, const std::string& folder, std::uint64_t device) {
    const auto found = walks_.find(walk);
    if (found != walks_.end()) {
        std::string below = RelativeOf(found->second, folder);
        if (!below.empty() && !EndsWithSeparator(below)) {
            below += kSeparator;
        }
        found->second.Listed[below].Device = device;
        Writing([&] { NoteDriveOf(found->second, folder, device); });
    }
}

std::string_view Catalogue::FolderOf(std::string_view below) {
    const std::size_t last = below.rfind(kSeparator);
    return last == std::string_view::npos ? std::string_view() : below.substr(0, last + 1);
}

std::uint64_t Catalogue::DeviceOf(const Walk& walk, const std::string& path) const {
    const auto listed = walk.Listed.find(FolderOf(RelativeOf(walk, path)));
    return listed != walk.Listed.end() ? listed->second.Device : 0;
}

std::optional<std::string> Catalogue::KeptIn(const Walk& walk, std::string_view folder,
                                             const Known& known) {
    const auto listed = walk.Listed.find(folder);
    if (listed != walk.Listed.end() && listed->second.Device != 0) {
        const ListedFolder& here = listed->second;
        const bool sameFileSystem = known.Device == here.Device ||
                                    std::find(here.DevicesSeen.begin(), here.DevicesSeen.end(),
                                              known.Device) != here.DevicesSeen.end();
        if (sameFileSystem) {
            return std::nullopt;
        }
        return std::string(folder);
    }
    std::size_t end = 0;
    while (end < folder.size()) {
        end = folder.find(kSeparator, end) + 1;
        if (!walk.Listed.contains(folder.substr(0, end))) {
            break;
        }
    }
    return std::string(folder.substr(0, end));
}

std::vector<KeptFolder> Catalogue::RemoveUnseen(const Walk& walk) {
    // Kept entries by the folder that is not there: the entry's own folder
    // when it is listed on another file system, else the first folder on
    // its path that the walk did not list.
    std::map<std::string, std::size_t> kept;
    for (const auto& [path, known] : walk.Entries) {
        // A file this walk would not list (a Matroska file while "All
        // formats" is off) keeps its entry: it was not looked for.
        const std::string_view name = std::string_view(path).substr(path.rfind(kSeparator) + 1);
        if (known.Seen ||
            !IsListedExtension(LowerCaseExtension(ExtensionOf(name)), walk.AllFormats)) {
            continue;
        }
        const std::string& entry = path;
        const bool unreadable =
            std::any_of(walk.Unreadable.begin(), walk.Unreadable.end(),
                        [&](const std::string& folder) { return entry.starts_with(folder); });
        if (unreadable) {
            continue; // told as a folder that could not be read
        }
        if (const std::optional<std::string> folder = KeptIn(walk, FolderOf(path), known)) {
            ++kept[*folder];
            continue;
        }
        for (const std::int64_t id : {known.Id, known.OtherId}) {
            if (id != 0) {
                statements_->Remove.Bind(1, id).Run();
            }
        }
    }
    // A folder inside another that is not there is told as part of it.
    std::vector<KeptFolder> folders;
    for (const auto& [folder, movies] : kept) {
        if (!folders.empty() && folder.starts_with(folders.back().Folder)) {
            folders.back().Movies += movies;
        } else {
            folders.push_back({folder, movies});
        }
    }
    for (KeptFolder& folder : folders) {
        folder.Root = folder.Folder.empty();
        folder.Folder = walk.Root + folder.Folder;
    }
    return folders;
}

std::vector<KeptFolder> Catalogue::EndWalk(std::int64_t walkHandle, bool complete) {
    const auto found = walks_.find(walkHandle);
    if (found == walks_.end()) {
        return {};
    }
    std::vector<KeptFolder> kept;
    if (complete) {
        Writing([&] {
            kept = RemoveUnseen(found->second);
            for (const std::int64_t drive : found->second.Drives) {
                statements_->DriveScanned.Bind(1, drive)
                    .Bind(2, static_cast<std::int64_t>(std::time(nullptr)))
                    .Run();
            }
            statements_->Finished.Bind(1, found->second.Id)
                .Bind(2, static_cast<std::int64_t>(std::time(nullptr)))
                .Run();
        });
    }
    walks_.erase(found);
    Flush();
    return kept;
}

void Catalogue::NameAsScanned(FileRow& row, std::string_view path, std::string_view root,
                              const RowQuery& query) {
    if (query.Folder.empty()) {
        // Relative to the folder it was walked from.
        row.Path = fs::path(std::string(path));
        row.RootLength = path.starts_with(root) ? root.size() : 0;
    } else if (path.size() <= query.Absolute.size()) {
        // A file named itself, as the scan names it.
        row.Path = fs::path(query.Folder);
        row.RootLength = 0;
    } else {
        // As the scan of the folder names it, relative to it.
        row.Path = fs::path(query.Folder + std::string(path.substr(query.Absolute.size())));
        row.RootLength = query.Folder.size() + (EndsWithSeparator(query.Folder) ? 0 : 1);
    }
}

void Catalogue::CollectRows(const RowQuery& query, const std::string& from, const std::string& to,
                            std::vector<FileRow>& rows) {
    const bool all = query.Folder.empty();
    Statement& rowsOf = all ? statements_->AllRows : statements_->RowsBetween;
    const ResetsOnExit resetting{rowsOf};
    if (!all) {
        rowsOf.Bind(1, from).Bind(2, to);
    }
    // A file read with both settings gives the row of the one asked for,
    // where the other came first in walk order.
    std::unordered_map<std::string, std::size_t> taken;
    std::vector<bool> dropped;
    while (rowsOf.Step()) {
        const std::string_view path = rowsOf.Bytes(kRowPath);
        const std::string_view name = path.substr(path.rfind(kSeparator) + 1);
        // What a scan with the setting lists, and no more.
        if (!IsWalkedPath(path) ||
            !IsListedExtension(LowerCaseExtension(ExtensionOf(name)), query.AllFormats)) {
            continue;
        }
        const bool asked = (rowsOf.Number(kRowAllFormats) != 0) == query.AllFormats;
        const auto [before, first] = taken.try_emplace(std::string(path), rows.size());
        if (!first && !asked) {
            continue;
        }
        std::optional<FileRow> row = DecodeRow(rowsOf.Bytes(kRowBytes));
        if (!row) {
            continue;
        }
        if (!first) {
            dropped[before->second] = true;
            before->second = rows.size();
        }
        NameAsScanned(*row, path, rowsOf.Bytes(kRowRoot), query);
        rows.push_back(std::move(*row));
        dropped.push_back(false);
    }
    // Each row is tested where it was put, before any later one moves.
    std::erase_if(rows, [&](const FileRow& row) {
        return dropped[static_cast<std::size_t>(&row - rows.data())];
    });
}

std::time_t Catalogue::LastWalked(const std::string& absolute) {
    // The latest complete walk of the folder, of a folder above it, or of
    // one below it.
    std::time_t lastSeen = 0;
    Statement& walks = statements_->Walks;
    const ResetsOnExit resetting{walks};
    while (walks.Step()) {
        const std::string_view root = walks.Bytes(0);
        if (absolute.empty() || absolute.starts_with(root) || root.starts_with(absolute)) {
            lastSeen = std::max(lastSeen, static_cast<std::time_t>(walks.Number(1)));
        }
    }
    return lastSeen;
}

std::vector<FileRow> Catalogue::RowsBelow(const std::string& folder, bool allFormats,
                                          std::time_t& lastSeen) {
    std::vector<FileRow> rows;
    lastSeen = 0;
    const std::string absolute = folder.empty() ? std::string() : AbsoluteText(folder);
    const RowQuery query{folder, absolute, allFormats};
    try {
        if (folder.empty()) {
            CollectRows(query, {}, {}, rows);
        } else if (!EndsWithSeparator(absolute)) {
            // A file named itself.
            CollectRows(query, absolute, absolute + std::string(1, '\0'), rows);
        }
        if (!folder.empty() && rows.empty()) {
            const std::string below =
                EndsWithSeparator(absolute) ? absolute : absolute + kSeparator;
            CollectRows(query, below, PastPrefix(below), rows);
        }
        lastSeen = LastWalked(absolute);
    } catch (const std::exception&) {
        // What was collected is shown.
    }
    return rows;
}

} // namespace vidarium

// The catalogue's drives: known by their file systems' UUIDs, followed to
// wherever they are mounted now, listed with what they hold; and the
// groups of probable copies across them.
#include "cataloguesql.h"

#include "rowtotals.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace vidarium {
namespace fs = std::filesystem;

namespace {

// The catalogued drive whose mount holds a path (the deepest), or nullptr.
template <typename Drive>
const Drive* DriveHolding(const std::vector<Drive>& drives, std::string_view path) {
    const Drive* holding = nullptr;
    for (const Drive& drive : drives) {
        if (path.starts_with(drive.Mount) &&
            (holding == nullptr || drive.Mount.size() > holding->Mount.size())) {
            holding = &drive;
        }
    }
    return holding;
}

// Where a copy is, and whether it can be reached now: on a drive while the
// drive is mounted, off any drive while its folder is there.
template <typename Drive>
void Place(DuplicateCopy& copy, const std::vector<Drive>& drives,
           const std::map<std::int64_t, bool>& connected) {
    if (const Drive* drive = DriveHolding(drives, copy.Row.Path.native())) {
        copy.Drive = drive->Label.empty() ? drive->Uuid : drive->Label;
        copy.Connected = connected.at(drive->Id);
    } else {
        std::error_code error;
        copy.Connected = fs::is_directory(copy.Row.Path.parent_path(), error);
    }
}

} // namespace

std::vector<Catalogue::KnownDrive> Catalogue::CataloguedDrives() {
    std::vector<KnownDrive> drives;
    Statement& all = statements_->Drives;
    const ResetsOnExit resetting{all};
    while (all.Step()) {
        KnownDrive drive{all.Number(kDriveId),
                         std::string(all.Bytes(kDriveUuid)),
                         std::string(all.Bytes(kDriveLabel)),
                         std::string(all.Bytes(kDriveMount)),
                         static_cast<std::uint64_t>(all.Number(kDriveDevice)),
                         static_cast<std::time_t>(all.Number(kDriveScanned))};
        // A mount is an absolute folder: another was not written by a scan.
        if (IsWalkedFolder(drive.Mount)) {
            drives.push_back(std::move(drive));
        }
    }
    return drives;
}

void Catalogue::FollowDrives() {
    for (const KnownDrive& drive : CataloguedDrives()) {
        const std::optional<Volume> now = volumes_->Mounted(drive.Uuid);
        if (now && (now->Mount != drive.Mount || now->Device != drive.Device)) {
            MoveDrive(drive, *now);
        }
    }
}

void Catalogue::MoveDrive(const KnownDrive& drive, const Volume& now) {
    // The drive's entries: below its mount, seen on its device (or before
    // devices were kept). Another file system's below the same path (an
    // empty mount point's own files) stays.
    std::vector<std::pair<std::int64_t, std::string>> entries;
    {
        Statement below(db_, "SELECT id, path, device FROM files WHERE path >= ?1 AND path < ?2");
        below.Bind(1, drive.Mount).Bind(2, PastPrefix(drive.Mount));
        while (below.Step()) {
            const auto device = static_cast<std::uint64_t>(below.Number(2));
            if (device == drive.Device || device == 0) {
                entries.emplace_back(below.Number(0), below.Bytes(1));
            }
        }
    }
    Statement move(db_, "UPDATE OR IGNORE files SET path = ?2, device = ?3 WHERE id = ?1");
    Statement remove(db_, "DELETE FROM files WHERE id = ?1");
    for (const auto& [id, path] : entries) {
        move.Bind(1, id)
            .Bind(2, now.Mount + path.substr(drive.Mount.size()))
            .Bind(3, static_cast<std::int64_t>(now.Device))
            .Run();
        if (sqlite3_changes(db_) == 0) {
            // The drive was catalogued where it is now as well: that entry
            // stands for the file.
            remove.Bind(1, id).Run();
        }
    }
    // Its walks, so that their rows are named and ordered as before.
    std::vector<std::pair<std::int64_t, std::string>> walks;
    {
        Statement below(db_, "SELECT id, root FROM walks WHERE root >= ?1 AND root < ?2");
        below.Bind(1, drive.Mount).Bind(2, PastPrefix(drive.Mount));
        while (below.Step()) {
            walks.emplace_back(below.Number(0), below.Bytes(1));
        }
    }
    Statement rename(db_, "UPDATE OR IGNORE walks SET root = ?2 WHERE id = ?1");
    Statement merge(db_, "UPDATE files SET walk = (SELECT id FROM walks WHERE root = ?2) "
                         "WHERE walk = ?1");
    Statement forget(db_, "DELETE FROM walks WHERE id = ?1");
    for (const auto& [id, root] : walks) {
        const std::string moved = now.Mount + root.substr(drive.Mount.size());
        rename.Bind(1, id).Bind(2, moved).Run();
        if (sqlite3_changes(db_) == 0) {
            merge.Bind(1, id).Bind(2, moved).Run();
            forget.Bind(1, id).Run();
        }
    }
    Statement& record = statements_->RecordDrive;
    const ResetsOnExit resetting{record};
    record.BindText(1, now.Uuid)
        .BindText(2, now.Label)
        .Bind(3, now.Mount)
        .Bind(4, static_cast<std::int64_t>(now.Device))
        .Run();
}

void Catalogue::NoteDriveOf(Walk& walk, const std::string& folder, std::uint64_t device) {
    if (device == 0 || std::find(walk.DevicesLooked.begin(), walk.DevicesLooked.end(), device) !=
                           walk.DevicesLooked.end()) {
        return;
    }
    walk.DevicesLooked.push_back(device);
    const std::optional<Volume> volume = volumes_->VolumeOf(folder);
    if (!volume || !IsWalkedFolder(volume->Mount)) {
        return;
    }
    Statement& record = statements_->RecordDrive;
    const ResetsOnExit resetting{record};
    record.BindText(1, volume->Uuid)
        .BindText(2, volume->Label)
        .Bind(3, volume->Mount)
        .Bind(4, static_cast<std::int64_t>(volume->Device));
    if (record.Step()) {
        walk.Drives.push_back(record.Number(0));
    }
}

std::vector<CataloguedRoot> Catalogue::Roots() {
    std::vector<CataloguedRoot> roots;
    std::vector<KnownDrive> drives;
    // A folder's movies are those on no drive: a drive mounted below it
    // counts its own, so that the sums add up.
    const auto count = [&](CataloguedRoot& root) {
        std::time_t lastSeen = 0;
        std::vector<FileRow> rows = RowsBelow(root.Path, true, lastSeen);
        if (root.Uuid.empty()) {
            std::erase_if(rows, [&](const FileRow& row) {
                return DriveHolding(drives, row.Path.native()) != nullptr;
            });
        }
        const TotalsGroup all = Overall(rows);
        root.Movies = all.Movies;
        root.Bytes = all.Bytes;
        root.DurationMs = all.DurationMs;
        return lastSeen;
    };
    try {
        drives = CataloguedDrives();
        for (const KnownDrive& drive : drives) {
            CataloguedRoot& root = roots.emplace_back();
            root.Label = drive.Label;
            root.Uuid = drive.Uuid;
            root.Path = drive.Mount;
            if (const std::optional<Volume> now = volumes_->Mounted(drive.Uuid)) {
                root.ConnectedAt.emplace(now->Mount);
            }
            count(root);
            root.LastScan = drive.Scanned;
        }
        // Folders on no drive, known by their paths; one inside another is
        // listed as part of it.
        std::map<std::string, std::time_t> folders;
        Statement& walks = statements_->Walks;
        {
            const ResetsOnExit resetting{walks};
            while (walks.Step()) {
                const std::string root(walks.Bytes(0));
                if (IsWalkedFolder(root) && DriveHolding(drives, root) == nullptr) {
                    folders[root] = std::max(folders[root], walks.Number(1));
                }
            }
        }
        for (auto [path, finished] : folders) {
            if (!roots.empty() && roots.back().Uuid.empty() &&
                path.starts_with(roots.back().Path)) {
                roots.back().LastScan = std::max(roots.back().LastScan, finished);
                continue;
            }
            CataloguedRoot& root = roots.emplace_back();
            root.Path = path;
            std::error_code error;
            if (fs::is_directory(path, error)) {
                root.ConnectedAt.emplace(path);
            }
            count(root);
            root.LastScan = finished;
        }
    } catch (const std::exception&) {
        // What was listed is shown.
    }
    return roots;
}

std::vector<DuplicateGroup> Catalogue::Duplicates(const std::vector<std::string>& folders) {
    std::vector<DuplicateGroup> groups;
    std::vector<std::string> below;
    for (const std::string& folder : folders) {
        std::string absolute = AbsoluteText(folder);
        below.push_back(EndsWithSeparator(absolute) ? absolute : absolute + kSeparator);
    }
    try {
        const std::vector<KnownDrive> drives = CataloguedDrives();
        std::map<std::int64_t, bool> connected; // by drive, looked up once
        for (const KnownDrive& drive : drives) {
            connected[drive.Id] = volumes_->Mounted(drive.Uuid).has_value();
        }
        // Sizes and fingerprints more than one file shares; then those files.
        Statement shared(db_, "SELECT size, head_hash, tail_hash FROM files "
                              "WHERE head_hash IS NOT NULL GROUP BY size, head_hash, tail_hash "
                              "HAVING count(DISTINCT path) > 1");
        Statement copies(db_, ("SELECT path, " + kStoredRow +
                               " FROM files WHERE size = ?1 AND head_hash = ?2 AND "
                               "tail_hash IS ?3 ORDER BY path, all_formats DESC")
                                  .c_str());
        while (shared.Step()) {
            DuplicateGroup group;
            group.Size = static_cast<std::uint64_t>(shared.Number(0));
            copies.Bind(1, shared.Number(0)).Bind(2, shared.Number(1));
            copies.Bind(3, shared.IsNull(2)
                               ? std::nullopt
                               : std::optional(static_cast<std::uint64_t>(shared.Number(2))));
            bool asked = below.empty();
            while (copies.Step()) {
                const std::string path(copies.Bytes(0));
                std::optional<FileRow> row = DecodeRow(copies.Bytes(1));
                if (!IsWalkedPath(path) || !row ||
                    (!group.Copies.empty() && group.Copies.back().Row.Path == path)) {
                    continue; // another setting's entry of the same file
                }
                asked = asked || std::any_of(below.begin(), below.end(), [&](const auto& folder) {
                            return path.starts_with(folder);
                        });
                DuplicateCopy copy{std::move(*row), {}, false};
                copy.Row.Path = path;
                copy.Row.RootLength = 0;
                Place(copy, drives, connected);
                group.Copies.push_back(std::move(copy));
            }
            if (asked && group.Copies.size() > 1) {
                groups.push_back(std::move(group));
            }
        }
    } catch (const std::exception&) {
        // What was grouped is shown.
    }
    std::stable_sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
        return std::tuple(a.Wasted(), a.Size) > std::tuple(b.Wasted(), b.Size);
    });
    return groups;
}

} // namespace vidarium

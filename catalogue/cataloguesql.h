// What the catalogue's rooms share: one prepared statement at a time, the
// statements of the walk and their result columns. Private to the catalogue.
#pragma once

#include "catalogue.h"
#include "filenames.h"
#include "rowcodec.h"

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vidarium {

// The smallest key after every key that starts with `prefix`.
inline std::string PastPrefix(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) {
        prefix.pop_back();
    }
    if (!prefix.empty()) {
        prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    }
    return prefix;
}

// A path as the catalogue keys it: absolute, else as it was given.
inline std::string AbsoluteText(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(std::filesystem::path(path), error);
    return error ? path : absolute.native();
}

// A stored path as a walk makes them: absolute, no empty, "." or ".."
// component. Another was not made by a scan (a forged entry naming a file
// outside its folder) and is passed over.
inline bool IsWalkedPath(std::string_view path) {
    if (path.empty() || path.front() != kSeparator) {
        return false;
    }
    for (std::size_t start = 1; start <= path.size();) {
        std::size_t end = path.find(kSeparator, start);
        end = end == std::string_view::npos ? path.size() : end;
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// A folder as a walk makes them: a walked path and its separator.
inline bool IsWalkedFolder(std::string_view path) {
    return path.size() > 1 && path.back() == kSeparator &&
           IsWalkedPath(path.substr(0, path.size() - 1));
}

// One prepared statement, reset after each use.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
            SQLITE_OK) {
            throw CatalogueError(sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& Bind(int index, std::string_view bytes) {
        Check(sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
        return *this;
    }
    // A value, or NULL where there is none.
    Statement& Bind(int index, std::optional<std::uint64_t> value) {
        Check(value ? sqlite3_bind_int64(statement_, index, static_cast<std::int64_t>(*value))
                    : sqlite3_bind_null(statement_, index));
        return *this;
    }
    Statement& BindText(int index, std::string_view text) {
        Check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8));
        return *this;
    }
    // True while there is a row; the statement is reset once there is none
    // or a step fails.
    bool Step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        Reset();
        if (result != SQLITE_DONE) {
            throw CatalogueError(sqlite3_errstr(result));
        }
        return false;
    }
    void Run() {
        while (Step()) {
        }
    }
    void Reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    std::int64_t Number(int column) const { return sqlite3_column_int64(statement_, column); }
    bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::string_view Bytes(int column) const {
        const void* data = sqlite3_column_blob(statement_, column);
        const int length = sqlite3_column_bytes(statement_, column);
        return data == nullptr ? std::string_view()
                               : std::string_view(static_cast<const char*>(data),
                                                  static_cast<std::size_t>(length));
    }

private:
    void Check(int result) const {
        if (result != SQLITE_OK) {
            throw CatalogueError(sqlite3_errmsg(db_));
        }
    }
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// Resets a statement however its use ends.
struct ResetsOnExit {
    Statement& statement;
    ~ResetsOnExit() { statement.Reset(); }
};

inline void Execute(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw CatalogueError(reason);
    }
}

// SQLite found the file's pages unsound, or no database at all.
inline bool Damaged(sqlite3* db) {
    const int code = db != nullptr ? sqlite3_errcode(db) & 0xFF : SQLITE_OK;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Names tried beside a damaged catalogue before giving up.
inline constexpr int kSetAsideNames = 100;

inline std::int64_t PragmaNumber(sqlite3* db, const char* sql) {
    Statement pragma(db, sql);
    return pragma.Step() ? pragma.Number(0) : 0;
}

inline std::string Quoted(const std::filesystem::path& file) {
    return "\"" + file.native() + "\"";
}

// A stored row larger than any reader makes is not even loaded: its entry
// reads as having none, and its file is read again.
inline const std::string kStoredRow =
    "CASE WHEN length(files.row) <= " + std::to_string(kMaxRowBytes) + " THEN files.row END";
// An entry, as BeginWalk reads it; the columns of kEntryColumns by number.
inline const std::string kEntryColumns = "SELECT id, path, size, modified_ns, inode, all_formats, "
                                         "generation, walk, seq, " +
                                         kStoredRow + ", device, read_at FROM files ";
enum EntryColumn : int {
    kEntryId,
    kEntryPath,
    kEntrySize,
    kEntryModifiedNs,
    kEntryInode,
    kEntryAllFormats,
    kEntryGeneration,
    kEntryWalk,
    kEntrySeq,
    kEntryRow,
    kEntryDevice,
    kEntryReadAt,
};
// A catalogued drive, as the Drives statement gives it.
enum DriveColumn : int {
    kDriveId,
    kDriveUuid,
    kDriveLabel,
    kDriveMount,
    kDriveDevice,
    kDriveScanned
};
// A stored row as a scan of a folder lists it, with the root it was
// walked from; the columns of kRowColumns by number.
inline const std::string kRowColumns = "SELECT files.path, " + kStoredRow +
                                       ", walks.root, files.all_formats FROM files "
                                       "JOIN walks ON walks.id = files.walk ";
enum RowColumn : int { kRowPath, kRowBytes, kRowRoot, kRowAllFormats };

struct Catalogue::Statements {
    explicit Statements(sqlite3* db)
        : AddWalk(db, "INSERT INTO walks(root) VALUES(?1) ON CONFLICT(root) DO NOTHING"),
          WalkId(db, "SELECT id FROM walks WHERE root = ?1"),
          EntriesBetween(db, (kEntryColumns + "WHERE path >= ?1 AND path < ?2").c_str()),
          Entry(db, (kEntryColumns + "WHERE path = ?1").c_str()),
          Store(db,
                "INSERT INTO files(path, size, modified_ns, inode, all_formats, generation, "
                "walk, seq, read_at, row, json, device, head_hash, tail_hash) VALUES(?1, ?2, ?3, "
                "?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) ON CONFLICT(path, all_formats) "
                "DO UPDATE SET size = ?2, modified_ns = ?3, inode = ?4, generation = ?6, "
                "walk = ?7, seq = ?8, read_at = ?9, row = ?10, json = ?11, device = ?12, "
                "head_hash = ?13, tail_hash = ?14"),
          Reorder(db, "UPDATE files SET walk = ?2, seq = ?3, device = ?4 WHERE id = ?1"),
          Remove(db, "DELETE FROM files WHERE id = ?1"),
          Finished(db, "UPDATE walks SET finished = ?2 WHERE id = ?1"),
          RowsBetween(db, (kRowColumns + "WHERE files.path >= ?1 AND files.path < ?2 "
                                         "ORDER BY files.walk, files.seq")
                              .c_str()),
          AllRows(db, (kRowColumns + "ORDER BY files.walk, files.seq").c_str()),
          Walks(db, "SELECT root, finished FROM walks"),
          Drives(db, "SELECT id, uuid, label, mount, device, scanned FROM drives ORDER BY mount"),
          RecordDrive(db, "INSERT INTO drives(uuid, label, mount, device) VALUES(?1, ?2, ?3, ?4) "
                          "ON CONFLICT(uuid) DO UPDATE SET label = ?2, mount = ?3, device = ?4 "
                          "RETURNING id"),
          DriveScanned(db, "UPDATE drives SET scanned = ?2 WHERE id = ?1") {}

    Statement AddWalk, WalkId, EntriesBetween, Entry, Store, Reorder, Remove, Finished, RowsBetween,
        AllRows, Walks, Drives, RecordDrive, DriveScanned;
};

} // namespace vidarium

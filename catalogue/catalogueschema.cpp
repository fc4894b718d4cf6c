// The catalogue's schema: its tables, the movies view made from the JSON
// fields on every open, the checks of an existing file and its upgrades.
#include "cataloguesql.h"

#include "rowformats.h"

#include <cctype>
#include <string>

namespace vidarium {
namespace {

// "VIDA": tells a catalogue from any other SQLite file.
constexpr std::int32_t kApplicationId = 0x56494441;

// The tables. A path is the file's absolute path as bytes; a file has an
// entry for each "All formats" setting it was read with, so that turning
// the setting over reads nothing read before. `row` is the exact row,
// `json` the same row as the JSON output writes it (its path absolute),
// which the view reads.
constexpr const char* kWalksTable = R"sql(
CREATE TABLE walks(
    id INTEGER PRIMARY KEY,
    root BLOB NOT NULL UNIQUE,
    finished INTEGER NOT NULL DEFAULT 0
);
)sql";
constexpr const char* kFilesTable = R"sql(
CREATE TABLE files(
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL,
    size INTEGER NOT NULL,
    modified_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    all_formats INTEGER NOT NULL,
    generation INTEGER NOT NULL,
    walk INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    read_at INTEGER NOT NULL,
    row BLOB NOT NULL,
    json TEXT NOT NULL,
    device INTEGER NOT NULL DEFAULT 0,
    UNIQUE(path, all_formats)
);
)sql";
constexpr const char* kFilesIndex = "CREATE INDEX files_in_walk_order ON files(walk, seq);";
// The files table before version 3: one entry a file, of the setting it
// was last read with.
constexpr const char* kFilesTableBefore3 = R"sql(
CREATE TABLE files(
    id INTEGER PRIMARY KEY,
    path BLOB NOT NULL UNIQUE,
    size INTEGER NOT NULL,
    modified_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    all_formats INTEGER NOT NULL,
    generation INTEGER NOT NULL,
    walk INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    read_at INTEGER NOT NULL,
    row BLOB NOT NULL,
    json TEXT NOT NULL,
    device INTEGER NOT NULL DEFAULT 0
);
)sql";

// Version 4: each entry's fingerprints of its first and last blocks
// (NULL: not taken), found by size and first block; and the drives, known
// by their file systems' UUIDs, with where each was last mounted (ending
// with the separator) on which device, and when a walk last ended on it.
constexpr const char* kSince4 = R"sql(
ALTER TABLE files ADD COLUMN head_hash INTEGER;
ALTER TABLE files ADD COLUMN tail_hash INTEGER;
CREATE INDEX files_by_content ON files(size, head_hash);
CREATE TABLE drives(
    id INTEGER PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    label TEXT NOT NULL,
    mount BLOB NOT NULL,
    device INTEGER NOT NULL,
    scanned INTEGER NOT NULL DEFAULT 0
);
)sql";

// What a catalogue of `version` holds, as SQL.
std::string SchemaOf(std::int64_t version) {
    std::string sql = kWalksTable;
    sql += version < 3 ? kFilesTableBefore3 : kFilesTable;
    sql += kFilesIndex;
    if (version < 2) {
        sql += "ALTER TABLE files DROP COLUMN device;";
    }
    if (version >= 4) {
        sql += kSince4;
    }
    return sql;
}

// The schema's SQL without its blanks: a column added later is written
// with other blanks than one the table was made with.
std::string WithoutBlanks(std::string_view sql) {
    std::string text;
    for (const char c : sql) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            text += c;
        }
    }
    return text;
}

// The view users query with sqlite3, made anew on every open so that an
// older catalogue learns the fields of today's rows: a column per field of
// the JSON line (its path absolute, its size and times from the entry), each
// file once.
std::string MoviesViewSql() {
    std::string sql = "CREATE VIEW movies AS SELECT\n    CAST(path AS TEXT) AS path,\n";
    for (const JsonField& field : JsonFields()) {
        const std::string key = field.Key;
        if (key == "path") {
            continue;
        }
        if (key == "size") {
            sql += "    size,\n"
                   "    datetime(modified_ns / 1000000000, 'unixepoch', 'localtime') AS "
                   "modified_local,\n"
                   "    datetime(modified_ns / 1000000000, 'unixepoch') AS modified_utc,\n";
            continue;
        }
        sql += "    json ";
        sql += field.Kind == JsonKind::List ? "->" : "->>";
        sql += " '$.";
        sql += key;
        sql += "' AS ";
        sql += key;
        sql += ",\n";
    }
    // A file read with both settings once: its row with "All formats" on,
    // the fuller one.
    // The drive it is on, by its label (else its UUID), and the
    // fingerprints that find its probable copies, as hexadecimal.
    sql += "    (SELECT CASE WHEN drives.label <> '' THEN drives.label ELSE drives.uuid END\n"
           "     FROM drives WHERE substr(files.path, 1, length(drives.mount)) = drives.mount\n"
           "     ORDER BY length(drives.mount) DESC LIMIT 1) AS drive,\n"
           "    CASE WHEN head_hash IS NOT NULL THEN printf('%016x', head_hash) END AS "
           "head_hash,\n"
           "    CASE WHEN tail_hash IS NOT NULL THEN printf('%016x', tail_hash) END AS "
           "tail_hash,\n"
           "    datetime(read_at, 'unixepoch') AS read_at_utc,\n"
           "    all_formats\n"
           "FROM files\n"
           "WHERE NOT EXISTS (SELECT 1 FROM files AS fuller\n"
           "                  WHERE fuller.path = files.path AND fuller.all_formats > "
           "files.all_formats)";
    return sql;
}

} // namespace

void Catalogue::CreateSchema() {
    Execute(db_, "BEGIN IMMEDIATE");
    try {
        Execute(db_, SchemaOf(kSchemaVersion).c_str());
        Execute(db_, MoviesViewSql().c_str());
        Execute(db_, ("PRAGMA application_id = " + std::to_string(kApplicationId) +
                      "; PRAGMA user_version = " + std::to_string(kSchemaVersion))
                         .c_str());
        Execute(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Catalogue::CheckExisting(std::chrono::milliseconds busyWait) {
    if (PragmaNumber(db_, "PRAGMA application_id") != kApplicationId) {
        throw CatalogueError(Quoted(file_) + " is not a Vidarium catalogue", true);
    }
    const std::int64_t version = PragmaNumber(db_, "PRAGMA user_version");
    if (version > kSchemaVersion) {
        throw CatalogueError(Quoted(file_) +
                             " was written by a newer Vidarium (catalogue version " +
                             std::to_string(version) + ")");
    }
    CheckSchema(version);
    if (version < kSchemaVersion) {
        Lock(busyWait);
        Upgrade(version);
    }
    if (locked_) {
        RecreateView();
    }
}

void Catalogue::CheckSchema(std::int64_t version) {
    // What a catalogue of that version holds, made afresh in memory.
    sqlite3* reference = nullptr;
    if (sqlite3_open_v2(":memory:", &reference, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(reference);
        throw CatalogueError("cannot check the catalogue's tables");
    }
    const auto objects = [](sqlite3* db) {
        std::map<std::pair<std::string, std::string>, std::string> found;
        Statement schema(db, "SELECT type, name, sql FROM sqlite_schema");
        while (schema.Step()) {
            found[{std::string(schema.Bytes(0)), std::string(schema.Bytes(1))}] =
                WithoutBlanks(schema.Bytes(2));
        }
        return found;
    };
    std::map<std::pair<std::string, std::string>, std::string> expected;
    try {
        Execute(reference, SchemaOf(version).c_str());
        expected = objects(reference);
    } catch (...) {
        sqlite3_close(reference);
        throw;
    }
    sqlite3_close(reference);
    // Our tables and index as we make them, and our view (made anew):
    // nothing else, no trigger above all, which would run inside every scan.
    auto found = objects(db_);
    const std::pair<std::string, std::string> view{"view", "movies"};
    found.erase(view);
    expected.erase(view);
    if (found != expected) {
        throw CatalogueError(
            Quoted(file_) + " is not a Vidarium catalogue (its tables are not Vidarium's)", true);
    }
}

void Catalogue::RecreateView() {
    // A view holds no data: made anew when it is not today's, so that an
    // older catalogue's view learns the fields of today's rows. An open
    // that finds it as it is writes nothing (a write costs the journal's
    // syncs, the most of an unchanged rescan's opening).
    // The statement has no closing semicolon: SQLite keeps it as it is made.
    const std::string sql = MoviesViewSql();
    {
        Statement current(db_,
                          "SELECT sql FROM sqlite_schema WHERE type = 'view' AND name = 'movies'");
        if (current.Step() && current.Bytes(0) == sql) {
            return;
        }
    }
    Execute(db_, "BEGIN IMMEDIATE");
    try {
        Execute(db_, "DROP VIEW IF EXISTS movies");
        Execute(db_, sql.c_str());
        Execute(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Catalogue::Upgrade(std::int64_t version) {
    Execute(db_, "BEGIN IMMEDIATE");
    try {
        if (version < 2) {
            // The file system each entry was seen on; 0 for those catalogued
            // before.
            Execute(db_, "ALTER TABLE files ADD COLUMN device INTEGER NOT NULL DEFAULT 0");
        }
        if (version < 3) {
            // An entry a file and setting: the table made anew under its own
            // name (a renamed one would keep the old name in its text), the
            // entries as they were. The view and index, which name the old
            // table, go first.
            Execute(db_, "DROP VIEW IF EXISTS movies; DROP INDEX files_in_walk_order; "
                         "ALTER TABLE files RENAME TO files_before3");
            Execute(db_, kFilesTable);
            Execute(db_, "INSERT INTO files(id, path, size, modified_ns, inode, all_formats, "
                         "generation, walk, seq, read_at, row, json, device) SELECT id, path, "
                         "size, modified_ns, inode, all_formats, generation, walk, seq, read_at, "
                         "row, json, device FROM files_before3; DROP TABLE files_before3");
            Execute(db_, kFilesIndex);
        }
        if (version < 4) {
            Execute(db_, kSince4);
        }
        Execute(db_, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        Execute(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace vidarium

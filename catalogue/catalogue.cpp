#include "catalogue.h"

#include "filenames.h"
#include "readertable.h"
#include "rowcodec.h"
#include "rowformats.h"

#include <sqlite3.h>

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

// What a catalogue of `version` holds, as SQL.
std::string SchemaOf(std::int64_t version) {
    std::string sql = kWalksTable;
    sql += version < 3 ? kFilesTableBefore3 : kFilesTable;
    sql += kFilesIndex;
    if (version < 2) {
        sql += "ALTER TABLE files DROP COLUMN device;";
    }
    return sql;
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
        sql += std::string("    json ") + (field.Kind == JsonKind::List ? "->" : "->>") + " '$." +
               key + "' AS " + key + ",\n";
    }
    // A file read with both settings once: its row with "All formats" on,
    // the fuller one.
    sql += "    datetime(read_at, 'unixepoch') AS read_at_utc,\n"
           "    all_formats\n"
           "FROM files\n"
           "WHERE NOT EXISTS (SELECT 1 FROM files AS fuller\n"
           "                  WHERE fuller.path = files.path AND fuller.all_formats > "
           "files.all_formats);\n";
    return sql;
}

std::string Quoted(const fs::path& file) {
    return "\"" + file.native() + "\"";
}

// The smallest key after every key that starts with `prefix`.
std::string PastPrefix(std::string prefix) {
    while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) {
        prefix.pop_back();
    }
    if (!prefix.empty()) {
        prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
    }
    return prefix;
}

std::string AbsoluteText(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? path : absolute.native();
}

// A stored path as a walk makes them: absolute, no empty, "." or ".."
// component. Another was not made by a scan (a forged entry naming a file
// outside its folder) and is passed over.
bool IsWalkedPath(std::string_view path) {
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

} // namespace

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

namespace {

// A stored row larger than any reader makes is not even loaded: its entry
// reads as having none, and its file is read again.
const std::string kStoredRow =
    "CASE WHEN length(files.row) <= " + std::to_string(kMaxRowBytes) + " THEN files.row END";
// An entry, as BeginWalk reads it; the columns of kEntryColumns by number.
const std::string kEntryColumns = "SELECT id, path, size, modified_ns, inode, all_formats, "
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
// A stored row as a scan of a folder lists it, with the root it was
// walked from; the columns of kRowColumns by number.
const std::string kRowColumns = "SELECT files.path, " + kStoredRow +
                                ", walks.root, files.all_formats FROM files "
                                "JOIN walks ON walks.id = files.walk ";
enum RowColumn : int { kRowPath, kRowBytes, kRowRoot, kRowAllFormats };

} // namespace

struct Catalogue::Statements {
    explicit Statements(sqlite3* db)
        : AddWalk(db, "INSERT INTO walks(root) VALUES(?1) ON CONFLICT(root) DO NOTHING"),
          WalkId(db, "SELECT id FROM walks WHERE root = ?1"),
          EntriesBetween(db, (kEntryColumns + "WHERE path >= ?1 AND path < ?2").c_str()),
          Entry(db, (kEntryColumns + "WHERE path = ?1").c_str()),
          Store(db,
                "INSERT INTO files(path, size, modified_ns, inode, all_formats, generation, "
                "walk, seq, read_at, row, json, device) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, "
                "?8, ?9, ?10, ?11, ?12) ON CONFLICT(path, all_formats) DO UPDATE SET size = ?2, "
                "modified_ns = ?3, inode = ?4, generation = ?6, walk = ?7, seq = ?8, "
                "read_at = ?9, row = ?10, json = ?11, device = ?12"),
          Reorder(db, "UPDATE files SET walk = ?2, seq = ?3, device = ?4 WHERE id = ?1"),
          Remove(db, "DELETE FROM files WHERE id = ?1"),
          Finished(db, "UPDATE walks SET finished = ?2 WHERE id = ?1"),
          RowsBetween(db, (kRowColumns + "WHERE files.path >= ?1 AND files.path < ?2 "
                                         "ORDER BY files.walk, files.seq")
                              .c_str()),
          AllRows(db, (kRowColumns + "ORDER BY files.walk, files.seq").c_str()),
          Walks(db, "SELECT root, finished FROM walks") {}

    Statement AddWalk, WalkId, EntriesBetween, Entry, Store, Reorder, Remove, Finished, RowsBetween,
        AllRows, Walks;
};

namespace {

void Execute(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw CatalogueError(reason);
    }
}

// SQLite found the file's pages unsound, or no database at all.
bool Damaged(sqlite3* db) {
    const int code = db != nullptr ? sqlite3_errcode(db) & 0xFF : SQLITE_OK;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Names tried beside a damaged catalogue before giving up.
constexpr int kSetAsideNames = 100;

std::int64_t PragmaNumber(sqlite3* db, const char* sql) {
    Statement pragma(db, sql);
    return pragma.Step() ? pragma.Number(0) : 0;
}

} // namespace

namespace {

// Opens the catalogue's file for reading and writing. A missing one is made
// for its owner only (it names every movie of the collection), never
// through a link; a link to an existing file is followed, one that leads
// nowhere makes nothing.
int OpenCatalogueFile(const fs::path& file) {
    struct stat link {};
    int descriptor = -1;
    if (::lstat(file.c_str(), &link) != 0 && errno == ENOENT) {
        descriptor = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600); // NOLINT
    } else {
        descriptor = ::open(file.c_str(), O_RDWR | O_CLOEXEC); // NOLINT
    }
    if (descriptor < 0) {
        throw CatalogueError(Quoted(file) + ": " + std::strerror(errno));
    }
    return descriptor;
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

} // namespace

Catalogue::Catalogue(const fs::path& file, std::chrono::milliseconds busyWait, Use use)
    : file_(file), use_(use) {
    lockDescriptor_ = OpenCatalogueFile(file);
    try {
        struct stat status {};
        if (::fstat(lockDescriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
            throw CatalogueError(Quoted(file) + " is not a Vidarium catalogue");
        }
        // Its rows are trusted only as far as their owner is.
        if (status.st_uid != ::geteuid()) {
            throw CatalogueError(Quoted(file) + " belongs to another user");
        }
        // A scan writes, one at a time; a read needs no lock beyond SQLite's
        // own, unless the file is still to be made or brought up to date.
        if (use == Use::Scan) {
            Lock(busyWait);
        }
        const bool fresh = status.st_size == 0;
        if (fresh) {
            Lock(busyWait);
            if (::fchmod(lockDescriptor_, 0600) != 0) {
                throw CatalogueError(Quoted(file) + ": " + std::strerror(errno));
            }
        } else {
            // Anything but an SQLite file is refused before SQLite sees it.
            std::array<char, 16> header{};
            if (::pread(lockDescriptor_, header.data(), header.size(), 0) !=
                    static_cast<ssize_t>(header.size()) ||
                std::memcmp(header.data(), "SQLite format 3", header.size()) != 0) {
                throw CatalogueError(Quoted(file) + " is not a Vidarium catalogue", true);
            }
        }
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            throw CatalogueError(Quoted(file) + ": " +
                                 (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot be opened"));
        }
        // The file is not trusted: no writes to the schema itself, no
        // functions of its own from its schema, and a statement that runs on
        // after Stop is ended.
        sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_progress_handler(db_, kProgressSteps, &Catalogue::OnProgress, this);
        sqlite3_busy_timeout(db_, static_cast<int>(busyWait.count()));
        sqlite3_extended_result_codes(db_, 1);
        if (fresh) {
            CreateSchema();
        } else {
            CheckExisting(busyWait);
        }
        if (locked_) {
            // Written ahead: a scan killed at any point leaves every committed
            // row, and readers never wait for it.
            Execute(db_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
        }
        statements_ = std::make_unique<Statements>(db_);
        if (use == Use::Read) {
            Unlock(); // taken only to make or bring up the file
        }
    } catch (const CatalogueError& error) {
        const std::string reason = error.what();
        const bool damaged = error.Damaged() || Damaged(db_);
        statements_.reset();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        ::close(lockDescriptor_);
        throw CatalogueError(reason.starts_with('"') ? reason : Quoted(file) + ": " + reason,
                             damaged);
    }
}

void Catalogue::CheckPages() {
    std::string problems;
    try {
        Statement check(db_, "PRAGMA quick_check");
        while (check.Step()) {
            if (const std::string_view line = check.Bytes(0); line != "ok" && problems.empty()) {
                problems = line;
            }
        }
    } catch (const CatalogueError& error) {
        problems = error.what();
    }
    if (!problems.empty()) {
        throw CatalogueError(Quoted(file_) + " is damaged: " + problems, true);
    }
}

fs::path Catalogue::SetAside(const fs::path& file) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 16> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%d", &local);
    for (int attempt = 1; attempt <= kSetAsideNames; ++attempt) {
        fs::path aside = file;
        aside += ".damaged-" + std::string(date.data()) +
                 (attempt > 1 ? "-" + std::to_string(attempt) : std::string());
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            // Its journal goes with it: a new catalogue must not take it up.
            for (const char* journal : {"-wal", "-shm"}) {
                fs::path from = file;
                from += journal;
                fs::path to = aside;
                to += journal;
                ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
            }
            return aside;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    throw CatalogueError(Quoted(file) + " cannot be set aside: " + std::strerror(errno));
}

void Catalogue::Lock(std::chrono::milliseconds busyWait) {
    if (locked_) {
        return;
    }
    // One scan at a time: another waits for the lock, then gives up.
    const auto deadline = std::chrono::steady_clock::now() + busyWait;
    while (::flock(lockDescriptor_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            throw CatalogueError(Quoted(file_) + " is in use by another scan");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    locked_ = true;
}

void Catalogue::Unlock() {
    if (locked_) {
        ::flock(lockDescriptor_, LOCK_UN);
        locked_ = false;
    }
}

bool Catalogue::BeginScan(const std::function<void()>& waiting) {
    if (locked_) {
        return true;
    }
    bool told = false;
    while (::flock(lockDescriptor_, LOCK_EX | LOCK_NB) != 0) {
        const std::atomic<bool>* stop = stop_.load();
        if (errno != EWOULDBLOCK || (stop != nullptr && stop->load())) {
            return false;
        }
        if (!told && waiting) {
            told = true;
            waiting();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    locked_ = true;
    try {
        RecreateView();
    } catch (const std::exception& error) {
        Fail(error.what());
    }
    return true;
}

void Catalogue::EndScan() {
    Flush();
    if (use_ == Use::Read) {
        Unlock();
    }
}

int Catalogue::OnProgress(void* self) {
    auto& catalogue = *static_cast<Catalogue*>(self);
    const std::atomic<bool>* stop = catalogue.stop_.load();
    if (stop == nullptr || !stop->load()) {
        catalogue.stopSeen_ = {};
        return 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (catalogue.stopSeen_ == std::chrono::steady_clock::time_point{}) {
        catalogue.stopSeen_ = now;
    }
    return now - catalogue.stopSeen_ > kStopGrace ? 1 : 0;
}

Catalogue::~Catalogue() {
    Flush();
    statements_.reset();
    sqlite3_close_v2(db_);
    ::close(lockDescriptor_);
}

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
    // A view holds no data: made anew on every open, so that an older
    // catalogue's view learns the fields of today's rows.
    Execute(db_, "BEGIN IMMEDIATE");
    try {
        Execute(db_, "DROP VIEW IF EXISTS movies");
        Execute(db_, MoviesViewSql().c_str());
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
        Execute(db_, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        Execute(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

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
            .Bind(12, static_cast<std::int64_t>(device));
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
        const std::string_view folder = FolderOf(path);
        const auto listed = walk.Listed.find(folder);
        if (listed != walk.Listed.end() && listed->second.Device != 0) {
            const ListedFolder& here = listed->second;
            const bool sameFileSystem = known.Device == here.Device ||
                                        std::find(here.DevicesSeen.begin(), here.DevicesSeen.end(),
                                                  known.Device) != here.DevicesSeen.end();
            if (sameFileSystem) {
                for (const std::int64_t id : {known.Id, known.OtherId}) {
                    if (id != 0) {
                        statements_->Remove.Bind(1, id).Run();
                    }
                }
                continue;
            }
            ++kept[std::string(folder)];
            continue;
        }
        std::size_t end = 0;
        while (end < folder.size()) {
            end = folder.find(kSeparator, end) + 1;
            if (!walk.Listed.contains(folder.substr(0, end))) {
                break;
            }
        }
        ++kept[std::string(folder.substr(0, end))];
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
            statements_->Finished.Bind(1, found->second.Id)
                .Bind(2, static_cast<std::int64_t>(std::time(nullptr)))
                .Run();
        });
    }
    walks_.erase(found);
    Flush();
    return kept;
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
        if (all) {
            // Relative to the folder it was walked from.
            row->Path = fs::path(std::string(path));
            const std::string_view root = rowsOf.Bytes(kRowRoot);
            row->RootLength = path.starts_with(root) ? root.size() : 0;
        } else if (path.size() <= query.Absolute.size()) {
            // A file named itself, as the scan names it.
            row->Path = fs::path(query.Folder);
            row->RootLength = 0;
        } else {
            // As the scan of the folder names it, relative to it.
            row->Path = fs::path(query.Folder + std::string(path.substr(query.Absolute.size())));
            row->RootLength = query.Folder.size() + (EndsWithSeparator(query.Folder) ? 0 : 1);
        }
        rows.push_back(std::move(*row));
        dropped.push_back(false);
    }
    std::size_t kept = 0;
    for (std::size_t index = 0; index < rows.size(); ++index) {
        if (!dropped[index]) {
            if (kept != index) {
                rows[kept] = std::move(rows[index]);
            }
            ++kept;
        }
    }
    rows.resize(kept);
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

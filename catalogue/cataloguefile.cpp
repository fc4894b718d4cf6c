// The catalogue's file: opened for its owner only, checked before SQLite
// trusts it, set aside when damaged, locked while a scan writes, and a
// statement stalled by a crafted file ended by Stop.
#include "cataloguesql.h"

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

} // namespace

Catalogue::Catalogue(const fs::path& file, std::chrono::milliseconds busyWait, Use use)
    : file_(file), use_(use), volumes_(SystemVolumes()) {
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

} // namespace vidarium

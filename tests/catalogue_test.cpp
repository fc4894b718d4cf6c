// The catalogue: a scan through it writes the bytes a plain scan writes, a
// rescan reads only what changed, and a damaged, foreign, busy or full
// catalogue loses nothing that was committed.
#include "builders.h"
#include "bytesource.h"
#include "catalogue.h"
#include "fakevolumes.h"
#include "recordinghost.h"
#include "rowcodec.h"
#include "rowformats.h"
#include "runscanner.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidarium::testing {
namespace {

std::string Scan(const std::string& arguments, const fs::path& err, bool unprivileged = false) {
    const Outcome outcome = RunScanner(arguments, err, unprivileged);
    EXPECT_EQ(outcome.status, 0) << arguments << "\n" << ReadText(err);
    return outcome.out;
}

// The stats line's count of rows taken from the catalogue, and of opens.
std::pair<int, int> StoredAndOpened(const fs::path& err) {
    const std::string stats = ReadText(err);
    const auto number = [&](const std::string& after) {
        const std::size_t end = stats.find(after);
        if (end == std::string::npos) {
            return -1;
        }
        const std::size_t start = stats.rfind(' ', end - 1) + 1;
        return std::stoi(stats.substr(start, end - start));
    };
    return {number(" from the catalogue"), number(" opens")};
}

// The demo folder, odd files beside it, and (with ffmpeg) today's formats.
void MakeMixedTree(const fs::path& root) {
    ASSERT_EQ(std::system((Quote(MAKE_DEMO_FILES_PATH) + " " + Quote(root.native())).c_str()), 0);
    WriteFile(root / "empty.mov", {});
    AviParams cut;
    WriteFile(root / "Archive" / "cut.avi", AviFile(cut));
    fs::resize_file(root / "Archive" / "cut.avi", 100);
    WriteFile(root / "caf\xE9.avi", AviFile(cut)); // a Latin-1 name
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) {
        Backdate(root);
        return;
    }
    for (const auto& [name, arguments] :
         {std::pair{"clip.mp4", "-c:v libx264 -c:a aac"},
          std::pair{"clip.mkv", "-c:v mpeg4 -c:a ac3"},
          std::pair{"clip.ts", "-c:v mpeg2video -c:a mp2"}, std::pair{"clip.mov", "-c:v mjpeg"}}) {
        const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                                    "testsrc=size=160x120:rate=25 "
                                    "-f lavfi -i sine=sample_rate=44100 -t 1 -shortest " +
                                    std::string(arguments) + " " +
                                    Quote((root / "Holidays" / name).native());
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    Backdate(root);
}

// The values of a query's rows, joined by '|'.
std::string SqlText(const fs::path& file, const char* sql) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, sql,
            [](void* text, int count, char** values, char**) {
                for (int column = 0; column < count; ++column) {
                    auto& joined = *static_cast<std::string*>(text);
                    joined += (joined.empty() ? "" : "|");
                    joined += values[column] != nullptr ? values[column] : "";
                }
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

void Sql(const fs::path& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(Catalogue, ScansThroughItWriteWhatAPlainScanWrites) {
    TempDir dir;
    MakeMixedTree(dir / "tree");
    const std::string tree = Quote((dir / "tree").native());
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    for (const char* allFormats : {"", "--all-formats "}) {
        for (const char* format : {"--format=tsv ", "--format=csv ", "--format=json "}) {
            const std::string options = std::string(allFormats) + format;
            const std::string plain = Scan(options + tree, dir / "err");
            EXPECT_EQ(Scan(options + catalogue + " " + tree, dir / "err"), plain) << options;
            // The second time every row comes from the catalogue, whether
            // loaders look at the files or the worker alone does.
            for (const char* loaders : {"", "--reads-in-flight=0 "}) {
                EXPECT_EQ(
                    Scan("--stats " + options + loaders + catalogue + " " + tree, dir / "err"),
                    plain)
                    << options << loaders;
                const auto [stored, opened] = StoredAndOpened(dir / "err");
                EXPECT_GT(stored, 8) << options << loaders;
                EXPECT_EQ(opened, 0) << options << loaders;
            }
            EXPECT_EQ(Scan("--offline " + options + catalogue + " " + tree, dir / "err"), plain)
                << options;
        }
    }
    // Turned back off, it reads nothing it read before, and the offline
    // rows are each setting's own; the entries of the Matroska files that
    // the scan does not list stay.
    const std::string off = Scan(tree, dir / "err");
    EXPECT_EQ(Scan("--stats " + catalogue + " " + tree, dir / "err"), off);
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 0);
    EXPECT_EQ(Scan("--offline " + catalogue + " " + tree, dir / "err"), off);
    EXPECT_EQ(Scan("--offline --all-formats " + catalogue + " " + tree, dir / "err"),
              Scan("--all-formats " + tree, dir / "err"));
    // The view has each file once, with its fuller row.
    EXPECT_EQ(SqlText(dir / "c.db", "SELECT count(*), min(all_formats), min(container) "
                                    "FROM movies WHERE name = 'Canyon.divx'"),
              "1|1|AVI");
    // A file removed goes with the entries of both settings.
    fs::remove(dir / "tree" / "Beach.avi");
    Scan(catalogue + " " + tree, dir / "err");
    EXPECT_EQ(Scan("--offline --all-formats " + catalogue + " " + tree, dir / "err"),
              Scan("--all-formats " + tree, dir / "err"));
}

TEST(Catalogue, RescanReadsOnlyWhatChangedAndKeepsWhatItCannotSee) {
    TempDir dir;
    const fs::path tree = dir / "tree";
    MakeMixedTree(tree);
    // Scanned as nobody when the tests run as the superuser, so that a folder
    // can be made unreadable.
    fs::permissions(dir.path(), fs::perms::all);
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    const auto scan = [&](const std::string& options) {
        return Scan("--format=json --stats " + options + " " + Quote(tree.native()), dir / "err",
                    true);
    };
    const std::string first = scan(catalogue);
    const std::string lectureRow = first.substr(first.find("{\"path\":\"Archive/Lecture.m2v\""));

    AviParams longer;
    longer.totalFrames = 9000;
    WriteFile(tree / "Beach.avi", AviFile(longer));            // changed
    WriteFile(tree / "Holidays" / "new.avi", AviFile(longer)); // added
    Backdate(tree / "Beach.avi");
    Backdate(tree / "Holidays" / "new.avi");
    fs::remove(tree / "Holidays" / "Canyon.divx");      // removed
    fs::permissions(tree / "Archive", fs::perms::none); // cannot be read
    const std::string fresh = scan("");
    EXPECT_EQ(scan(catalogue), fresh);
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 2); // the changed and the new file
    // The rows of the folder that could not be read are still there; the
    // removed file's row is not.
    const std::string offline = scan("--offline " + catalogue);
    fs::permissions(tree / "Archive", fs::perms::all);
    EXPECT_NE(offline.find(lectureRow.substr(0, lectureRow.find('\n'))), std::string::npos);
    EXPECT_EQ(offline.find("Canyon.divx"), std::string::npos);
    EXPECT_NE(offline.find("new.avi"), std::string::npos);

    // Moved away (a drive unplugged): the stored rows, as the scan gave them.
    const std::string now = scan(catalogue);
    fs::rename(tree, dir / "elsewhere");
    EXPECT_EQ(scan("--offline " + catalogue), now);
    // --rescan-all reads every file again.
    fs::rename(dir / "elsewhere", tree);
    EXPECT_EQ(scan("--rescan-all " + catalogue), now);
    EXPECT_EQ(StoredAndOpened(dir / "err").first, 0);
    // A row an older reader gave is read again.
    Sql(dir / "c.db", "UPDATE files SET generation = generation - 1 "
                      "WHERE CAST(path AS TEXT) LIKE '%Beach.avi'");
    EXPECT_EQ(scan(catalogue), now);
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 1);
}

// Turns a catalogue back into what a release before made: no drives and no
// fingerprints (3), one entry a file (2), and no file systems (1).
void MakeOlderCatalogue(const fs::path& file, int version) {
    Sql(file, "DROP VIEW movies; DROP INDEX files_by_content; DROP TABLE drives; "
              "ALTER TABLE files DROP COLUMN head_hash; ALTER TABLE files DROP COLUMN tail_hash; "
              "PRAGMA user_version = 3");
    if (version == 3) {
        return;
    }
    Sql(file, "DROP INDEX files_in_walk_order; "
              "ALTER TABLE files RENAME TO newer; "
              "CREATE TABLE files(id INTEGER PRIMARY KEY, path BLOB NOT NULL UNIQUE, "
              "size INTEGER NOT NULL, modified_ns INTEGER NOT NULL, inode INTEGER NOT NULL, "
              "all_formats INTEGER NOT NULL, generation INTEGER NOT NULL, walk INTEGER NOT NULL, "
              "seq INTEGER NOT NULL, read_at INTEGER NOT NULL, row BLOB NOT NULL, "
              "json TEXT NOT NULL, device INTEGER NOT NULL DEFAULT 0); "
              "INSERT INTO files SELECT * FROM newer; DROP TABLE newer; "
              "CREATE INDEX files_in_walk_order ON files(walk, seq); PRAGMA user_version = 2");
    if (version < 2) {
        Sql(file, "ALTER TABLE files DROP COLUMN device; PRAGMA user_version = 1");
    }
}

TEST(Catalogue, AFolderThatIsNotThereKeepsItsMovies) {
    TempDir dir;
    const fs::path media = dir / "media";
    for (const char* name : {"Films1/a.avi", "Films1/b.avi", "Films2/c.avi", "Films2/Old/d.avi"}) {
        fs::create_directories((media / name).parent_path());
        WriteFile(media / name, AviFile());
    }
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    const auto scan = [&](const fs::path& folder, const std::string& options = "") {
        return RunScanner(options + catalogue + " " + Quote(folder.native()), dir / "err");
    };
    ASSERT_EQ(scan(media).status, 0);
    const std::string films2 = scan(media / "Films2", "--offline ").out;
    ASSERT_NE(films2.find("d.avi"), std::string::npos);

    // A drive unplugged: its folder under the parent is gone. Its movies
    // stay, and the scan says so; a file really removed beside it goes.
    fs::rename(media / "Films2", dir / "drawer");
    fs::remove(media / "Films1" / "b.avi");
    Outcome parent = scan(media);
    EXPECT_EQ(parent.status, 0);
    EXPECT_NE(ReadText(dir / "err")
                  .find((media / "Films2").native() + "/ is not there - 2 catalogued movies kept"),
              std::string::npos)
        << ReadText(dir / "err");
    EXPECT_EQ(scan(media / "Films2", "--offline ").out, films2);
    EXPECT_EQ(scan(media / "Films1", "--offline ").out.find("b.avi"), std::string::npos);
    // Named itself, the gone folder hints at its catalogued rows.
    EXPECT_EQ(scan(media / "Films2").status, 1);
    EXPECT_NE(ReadText(dir / "err").find("Films2: 2 catalogued movies, last seen 20"),
              std::string::npos)
        << ReadText(dir / "err");

    // The empty mount point left behind: the folder is there, on another
    // file system than its movies were seen on.
    fs::create_directories(media / "Films2");
    Sql(dir / "c.db", "UPDATE files SET device = device + 1 WHERE CAST(path AS TEXT) LIKE "
                      "'%/Films2/%'");
    for (const fs::path& folder : {media, media / "Films2"}) {
        SCOPED_TRACE(folder.native());
        const Outcome outcome = scan(folder);
        // Named itself, a folder that is not there fails the scan.
        EXPECT_EQ(outcome.status, folder == media ? 0 : 1);
        EXPECT_NE(ReadText(dir / "err").find("Films2/ is not there - 2 catalogued movies kept"),
                  std::string::npos)
            << ReadText(dir / "err");
        EXPECT_EQ(scan(media / "Films2", "--offline ").out, films2);
    }

    // Entries catalogued before file systems were kept (0) go where the
    // folder still holds others of them, and stay where it holds none.
    WriteFile(media / "Films1" / "b.avi", AviFile());
    ASSERT_EQ(scan(media).status, 0);
    Sql(dir / "c.db", "UPDATE files SET device = 0");
    fs::remove(media / "Films1" / "b.avi");
    ASSERT_EQ(scan(media).status, 0);
    const std::string all = scan(media, "--offline ").out;
    EXPECT_EQ(all.find("b.avi"), std::string::npos);
    EXPECT_NE(all.find("d.avi"), std::string::npos);

    // The drive back in its place: its movies are found again, nothing kept.
    fs::remove(media / "Films2");
    fs::rename(dir / "drawer", media / "Films2");
    ASSERT_EQ(scan(media).status, 0);
    EXPECT_EQ(ReadText(dir / "err").find("is not there"), std::string::npos);

    // A catalogue of the releases before is brought up to date, its rows
    // taken as they are.
    Backdate(media);
    ASSERT_EQ(scan(media).status, 0);
    const std::string now = scan(media, "--offline ").out;
    for (const int version : {1, 2, 3}) {
        SCOPED_TRACE(version);
        MakeOlderCatalogue(dir / "c.db", version);
        EXPECT_EQ(scan(media, "--stats ").out, now);
        EXPECT_EQ(StoredAndOpened(dir / "err").second, 0);
        EXPECT_EQ(scan(media, "--offline ").out, now);
    }
}

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Catalogue, AFileThatIsNotOneIsRefusedAndLeftAsItWas) {
    TempDir dir;
    { Catalogue made(dir / "newer.db"); }
    Sql(dir / "newer.db", "PRAGMA user_version = 9");
    Sql(dir / "other.db", "CREATE TABLE notes(text)");
    WriteFile(dir / "random.db", Repeat(0x5A, 5000));
    WriteFile(dir / "header.db", Concat({Bytes{'S', 'Q', 'L'}, Repeat(0, 100)}));
    // Catalogues whose tables are not ours: a trigger would run inside every
    // scan (one joining a table three ways stalled scans for a minute).
    for (const auto& [name, sql] :
         {std::pair{"trigger.db", "CREATE TABLE big(x); CREATE TRIGGER slow AFTER INSERT ON files "
                                  "BEGIN SELECT count(*) FROM big a, big b, big c; END"},
          std::pair{"table.db", "CREATE TABLE notes(text)"},
          std::pair{"index.db", "CREATE INDEX by_size ON files(size)"},
          std::pair{"column.db", "ALTER TABLE files ADD COLUMN extra"}}) {
        { Catalogue made(dir / name); }
        // Its journal as another program may leave it: refused, it stays so.
        Sql(dir / name, (std::string(sql) + "; PRAGMA journal_mode = DELETE").c_str());
    }
    // A damaged one may be set aside for a new one; a newer one may not.
    for (const auto& [name, reason, damaged] :
         {std::tuple{"newer.db", "newer Vidarium", false},
          std::tuple{"other.db", "not a Vidarium catalogue", true},
          std::tuple{"random.db", "not a Vidarium catalogue", true},
          std::tuple{"header.db", "not a Vidarium catalogue", true},
          std::tuple{"trigger.db", "tables are not Vidarium's", true},
          std::tuple{"table.db", "tables are not Vidarium's", true},
          std::tuple{"index.db", "tables are not Vidarium's", true},
          std::tuple{"column.db", "tables are not Vidarium's", true}}) {
        const Bytes before = ReadAll(dir / name);
        try {
            Catalogue refused(dir / name);
            ADD_FAILURE() << name << " was opened";
        } catch (const CatalogueError& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
            EXPECT_EQ(error.Damaged(), damaged) << name;
        }
        EXPECT_EQ(ReadAll(dir / name), before) << name;
        EXPECT_FALSE(fs::exists(dir / (std::string(name) + "-wal"))) << name;
    }
}

TEST(Catalogue, DamagedPagesAreFoundOnOpeningAndTheFileIsSetAsideWhole) {
    TempDir dir;
    const fs::path file = dir / "c.db";
    {
        Catalogue made(file);
        Sql(file, "PRAGMA journal_mode = DELETE");
    }
    // Rows over many pages, then the bytes of one page in the middle lost.
    Sql(file, "WITH RECURSIVE n(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM n WHERE "
              "value < 2000) INSERT INTO files(path, size, modified_ns, inode, all_formats, "
              "generation, walk, seq, read_at, row, json, device) SELECT '/m/' || value, 1, 1, "
              "1, 0, 1, 0, value, 0, zeroblob(300), '{}', 0 FROM n");
    Bytes bytes = ReadAll(file);
    ASSERT_GT(bytes.size(), 200'000U);
    std::fill(bytes.begin() + 100'000, bytes.begin() + 104'096, 0xA5);
    WriteFile(file, bytes);
    try {
        Catalogue opened(file, Catalogue::kBusyWait, Catalogue::Use::Read);
        opened.CheckPages();
        ADD_FAILURE() << "the damage was not found";
    } catch (const CatalogueError& error) {
        EXPECT_TRUE(error.Damaged()) << error.what();
    }
    // Set aside with its journal, beside itself; never over a file there.
    WriteFile(fs::path(file.native() + "-wal"), Bytes(3, 'w'));
    const fs::path first = Catalogue::SetAside(file);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(ReadAll(first), bytes);
    EXPECT_EQ(ReadAll(fs::path(first.native() + "-wal")), Bytes(3, 'w'));
    EXPECT_NE(first.filename().native().find("c.db.damaged-20"), std::string::npos) << first;
    WriteFile(file, Bytes(5, 'z'));
    const fs::path second = Catalogue::SetAside(file);
    EXPECT_EQ(second.native(), first.native() + "-2");
    EXPECT_EQ(ReadAll(first), bytes);
}

TEST(Catalogue, TheOpenPathHoldsWhatTheReadmeSays) {
    TempDir dir;
    // An empty file becomes a catalogue for its owner only.
    WriteFile(dir / "empty.db", {});
    fs::permissions(dir / "empty.db", fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::others_read);
    { Catalogue made(dir / "empty.db"); }
    EXPECT_EQ(fs::status(dir / "empty.db").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    // A link that leads nowhere makes nothing; one to a catalogue is used.
    fs::create_symlink(dir / "missing.db", dir / "dangling.db");
    EXPECT_THROW(Catalogue(dir / "dangling.db"), CatalogueError);
    EXPECT_FALSE(fs::exists(dir / "missing.db"));
    fs::create_symlink(dir / "empty.db", dir / "link.db");
    EXPECT_NO_THROW(Catalogue(dir / "link.db"));
    // Another user's catalogue is not trusted.
    if (::geteuid() == 0) {
        { Catalogue made(dir / "theirs.db"); }
        ASSERT_EQ(::chown((dir / "theirs.db").c_str(), 65534, 65534), 0);
        try {
            Catalogue theirs(dir / "theirs.db");
            ADD_FAILURE() << "another user's catalogue was opened";
        } catch (const CatalogueError& error) {
            EXPECT_NE(std::string(error.what()).find("another user"), std::string::npos);
        }
    }
    // A read does not wait for a scan.
    fs::create_directories(dir / "tree");
    WriteFile(dir / "tree" / "a.avi", AviFile());
    Backdate(dir / "tree");
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    const std::string tree = Quote((dir / "tree").native());
    const std::string rows = Scan(catalogue + " " + tree, dir / "err");
    {
        Catalogue scanning(dir / "c.db");
        EXPECT_EQ(Scan("--offline " + catalogue + " " + tree, dir / "err"), rows);
    }
    // An entry that names a file outside its folder was not made by a scan.
    Sql(dir / "c.db", "INSERT INTO files(path, size, modified_ns, inode, all_formats, generation, "
                      "walk, seq, read_at, row, json) SELECT CAST(path AS TEXT) || "
                      "'/../../../etc/passwd.avi', size, modified_ns, inode, all_formats, "
                      "generation, walk, seq + 1, read_at, row, json FROM files");
    EXPECT_EQ(Scan("--offline " + catalogue + " " + tree, dir / "err"), rows);
    EXPECT_EQ(Scan("--offline --format=json " + catalogue, dir / "err").find("passwd"),
              std::string::npos);
}

TEST(Catalogue, AStoredRowIsCheckedAsAReadOneIs) {
    TempDir dir;
    fs::create_directories(dir / "tree");
    WriteFile(dir / "tree" / "a.mov",
              Atom("moov", Concat({Atom("mvhd", TimeHeaderPayload(600, 6000)),
                                   Track("vide", 600, 6000,
                                         VideoDescriptions("avc1", 640, 480, "H.264"))})));
    Backdate(dir / "tree");
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    const std::string tree = Quote((dir / "tree").native());
    const std::string fresh = Scan(catalogue + " " + tree, dir / "err");
    // The stored row, changed as a forger would.
    const auto forge = [&](const std::function<void(FileRow&)>& change) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir / "c.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* read = nullptr;
        sqlite3_prepare_v2(db, "SELECT row FROM files", -1, &read, nullptr);
        ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);
        std::optional<FileRow> row =
            DecodeRow({static_cast<const char*>(sqlite3_column_blob(read, 0)),
                       static_cast<std::size_t>(sqlite3_column_bytes(read, 0))});
        sqlite3_finalize(read);
        ASSERT_TRUE(row);
        change(*row);
        const std::string bytes = EncodeRow(*row);
        sqlite3_stmt* write = nullptr;
        sqlite3_prepare_v2(db, "UPDATE files SET row = ?1", -1, &write, nullptr);
        sqlite3_bind_blob(write, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(write), SQLITE_DONE);
        sqlite3_finalize(write);
        sqlite3_close(db);
    };
    const struct {
        const char* name;
        std::function<void(FileRow&)> change;
    } cases[] = {
        {"a program stream's row for a movie", [](FileRow& row) { row.Source = RowSource::Ps; }},
        {"a negative length",
         [](FileRow& row) {
             row.Source = RowSource::Iso;
             row.Summary.DurationMs = -5;
         }},
        {"a height of 4.6e18",
         [](FileRow& row) { row.Summary.Height = 4'600'000'000'000'000'000; }},
        {"five million empty items",
         [](FileRow& row) {
             row.Source = RowSource::Iso;
             row.Summary.Metadata.assign(5'000'000, MetadataItem{});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        forge(c.change);
        // Not believed: the file is read again, and its row is a fresh read's.
        EXPECT_EQ(Scan("--stats " + catalogue + " " + tree, dir / "err"), fresh);
        EXPECT_EQ(StoredAndOpened(dir / "err").second, 1);
    }
    // A stored row larger than any reader makes is not even loaded.
    Sql(dir / "c.db", "UPDATE files SET row = zeroblob(20000000)");
    EXPECT_EQ(Scan("--stats " + catalogue + " " + tree, dir / "err"), fresh);
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 1);
    EXPECT_EQ(Scan("--stats " + catalogue + " " + tree, dir / "err"), fresh);
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 0);
}

TEST(Catalogue, AFileChangedWithinATickOfItsReadingIsReadAgain) {
    // FAT keeps times to 2 s: a file rewritten just after it was read can
    // keep the stamp that was read with it.
    TempDir dir;
    fs::create_directories(dir / "tree");
    const fs::path movie = dir / "tree" / "a.avi";
    WriteFile(movie, AviFile({.totalFrames = 250}));
    const auto stamp = fs::last_write_time(movie);
    const std::string catalogue = "--catalogue=" + Quote((dir / "c.db").native());
    const std::string tree = Quote((dir / "tree").native());
    EXPECT_NE(Scan(catalogue + " " + tree, dir / "err").find("0:00:10"), std::string::npos);
    // Rewritten in place, the same size, the same time.
    WriteFile(movie, AviFile({.totalFrames = 500}));
    fs::last_write_time(movie, stamp);
    EXPECT_NE(Scan("--stats " + catalogue + " " + tree, dir / "err").find("0:00:20"),
              std::string::npos);
    // Settled, it is taken from the catalogue.
    Backdate(movie);
    Scan(catalogue + " " + tree, dir / "err");
    Scan("--stats " + catalogue + " " + tree, dir / "err");
    EXPECT_EQ(StoredAndOpened(dir / "err").second, 0);
}

// Every value of a row, in the stored form: a change of the field list
// changes these bytes, and must raise the form's version with them.
// A row with every value a reader can give.
FileRow FullRow() {
    FileRow row("clip.mkv", {"1 MB", "0:00:05", "WebM: AVC High@L4", "800 kbit/s", "640", "360",
                             "25", "Opus", "96 kbit/s", "48000", "2", "Title: Seed\r\n"});
    row.Size = 1'234'567;
    row.ModifiedNs = 1'765'000'000'000'000'000;
    row.Inode = 4242;
    row.Source = RowSource::Matroska;
    MediaSummary& s = row.Summary;
    s = {"WebM",  5000,
         true,    "V_MPEG4/ISO/AVC",
         "AVC",   "High@L4",
         10,      "HDR10",
         800'000, 640,
         360,     25.0,
         "16:9",  90,
         true,    "A_OPUS",
         "Opus",  96'000,
         48'000,  2,
         1,       2,
         1,       {"eng", "deu"},
         {"fra"}, {{"Title", "Seed"}},
         true};
    return row;
}

TEST(Catalogue, TheStoredFormOfAFullRowIsPinned) {
    const FileRow row = FullRow();
    std::string hex;
    for (const char c : EncodeRow(row)) {
        static constexpr char kDigits[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    EXPECT_EQ(hex,
              "0208636c69702e6d6b760c0431204d4207303a30303a3035115765624d3a20415643204869676840"
              "4c340a383030206b6269742f730336343003333630023235044f707573093936206b6269742f7305"
              "343830303001320d5469746c653a20536565640d0a87ad4b8080c2e4e0c4a2bf1892210504576562"
              "4d018827010f565f4d504547342f49534f2f415643034156430748696768404c340a054844523130"
              "0180ea3001800501e80201808080808080c09c400431363a395a0106415f4f505553044f70757301"
              "80ee050180f70201020102010203656e6703646575010366726101055469746c65045365656401")
        << "the row's stored form changed: raise kFormVersion";
    const std::optional<FileRow> back = DecodeRow(EncodeRow(row));
    ASSERT_TRUE(back);
    EXPECT_EQ(EncodeRow(*back), EncodeRow(row));
}

// The view reads every field of the JSON line: none of a full row's is NULL.
TEST(Catalogue, TheViewHasEveryValueOfAFullRow) {
    TempDir dir;
    FileRow row = FullRow();
    row.Path = dir / "clip.mkv";
    row.HeadHash = 0x0123456789abcdef;
    row.TailHash = 1;
    {
        Catalogue catalogue(dir / "c.db");
        FakeVolumes volumes;
        volumes.Mount("2f6e-11aa", "Films2", dir.path().native() + "/");
        catalogue.UseVolumes(volumes.Share());
        const std::int64_t walk = catalogue.BeginWalk(dir.path().native() + "/", true);
        catalogue.FolderListed(walk, dir.path().native() + "/", 1);
        catalogue.Keep(walk, row, std::nullopt);
        catalogue.EndWalk(walk, false);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "c.db").c_str(), &db), SQLITE_OK);
    struct Seen {
        std::vector<std::string> nulls;
        int rows = 0;
        int columns = 0;
    } seen;
    sqlite3_exec(
        db, "SELECT * FROM movies",
        [](void* out, int count, char** values, char** names) {
            auto& about = *static_cast<Seen*>(out);
            ++about.rows;
            about.columns = count;
            for (int column = 0; column < count; ++column) {
                if (values[column] == nullptr) {
                    about.nulls.emplace_back(names[column]);
                }
            }
            return 0;
        },
        &seen, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(seen.rows, 1);
    // The times, the drive, the fingerprints, the setting.
    EXPECT_EQ(seen.columns, static_cast<int>(JsonFields().size()) + 7);
    EXPECT_TRUE(seen.nulls.empty()) << ::testing::PrintToString(seen.nulls);
}

TEST(Catalogue, AnOpeningWritesOnlyAViewThatIsNotTodays) {
    // Each opening dropped and made the view again: a write, and the
    // journal's syncs, before every scan, however little it then changed.
    TempDir dir;
    const fs::path file = dir / "c.db";
    {
        Catalogue catalogue(file);
        FileRow row = FullRow();
        row.Path = dir / "clip.mkv";
        const std::int64_t walk = catalogue.BeginWalk(dir.path().native() + "/", true);
        catalogue.Keep(walk, row, std::nullopt);
        catalogue.EndWalk(walk, true);
    }
    const Bytes made = ReadAll(file);
    { const Catalogue catalogue(file); }
    EXPECT_TRUE(ReadAll(file) == made);
    // An older release's view learns today's fields.
    Sql(file, "DROP VIEW movies; CREATE VIEW movies AS SELECT CAST(path AS TEXT) AS path "
              "FROM files");
    { const Catalogue catalogue(file); }
    EXPECT_EQ(SqlText(file, "SELECT count(*) FROM pragma_table_info('movies')"),
              std::to_string(JsonFields().size() + 7));
}

TEST(Catalogue, ASecondScanWaitsThenSaysItIsBusy) {
    TempDir dir;
    Catalogue first(dir / "c.db");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(Catalogue(dir / "c.db", std::chrono::milliseconds(300)), CatalogueError);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
}

// Scans `tree` into the catalogue `file` in a child process, each read
// slowed by `readDelay`, after `prepare` has run there; the child's exit
// status, or -signal when it was killed after `killAfter`.
template <typename Prepare>
int ScanInChild(const fs::path& file, const fs::path& tree, std::chrono::milliseconds readDelay,
                std::chrono::milliseconds killAfter, Prepare prepare) {
    const pid_t child = ::fork();
    if (child == 0) {
        prepare();
        int status = 2;
        try {
            Catalogue catalogue(file);
            RecordingHost host;
            TScanFilesThread worker(host);
            worker.SetCatalogue(&catalogue);
            worker.SetReadsInFlight(0); // one file at a time: a steady pace
            worker.SetReadHook(
                [readDelay](const fs::path&) { std::this_thread::sleep_for(readDelay); });
            worker.Start();
            worker.RequestScan(tree);
            host.WaitForScans(1, std::chrono::seconds(60));
            worker.Terminate();
            worker.WaitFor();
            status = catalogue.Fault().empty() ? 0 : 3;
        } catch (...) {
        }
        ::_exit(status);
    }
    if (killAfter.count() > 0) {
        std::this_thread::sleep_for(killAfter);
        ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// Rows the catalogue holds.
std::size_t StoredRows(const fs::path& file) {
    Catalogue catalogue(file);
    std::time_t lastSeen = 0;
    return catalogue.RowsBelow({}, false, lastSeen).size();
}

void ManyMovies(const fs::path& folder, int count) {
    fs::create_directories(folder);
    for (int i = 0; i < count; ++i) {
        WriteFile(folder / ("m" + std::to_string(i) + ".avi"), AviFile({}));
    }
}

// A rescan through the catalogue gives a fresh scan's rows whichever way
// the files are looked at: by the worker alone, on quick storage, and on
// slow storage (where the looks go to the loaders, several at once).
TEST(Catalogue, ARescanGivesAFreshScansRowsOnAnyStorage) {
    TempDir dir;
    ManyMovies(dir / "tree", 40);
    WriteFile(dir / "tree" / "notes.mov", Bytes(100, 1));
    Backdate(dir / "tree");
    const auto scan = [&](Catalogue* catalogue, std::size_t loaders,
                          std::chrono::microseconds look) {
        RecordingHost host;
        TScanFilesThread worker(host);
        worker.SetCatalogue(catalogue);
        worker.SetReadsInFlight(loaders);
        worker.SetReadHook([look](const fs::path&) { std::this_thread::sleep_for(look); });
        worker.Start();
        worker.RequestScan(dir / "tree");
        EXPECT_TRUE(host.WaitForScans(1));
        worker.Terminate();
        worker.WaitFor();
        std::string lines;
        for (const FileRow& row : host.rows) {
            AppendRecord(lines, row, OutputFormat::Json);
        }
        return std::pair{lines, worker.RowsFromCatalogue()};
    };
    const std::string fresh = scan(nullptr, 16, {}).first;
    Catalogue catalogue(dir / "c.db");
    EXPECT_EQ(scan(&catalogue, 16, {}).first, fresh);
    for (const auto& [loaders, look] :
         {std::pair{std::size_t{0}, std::chrono::microseconds(0)},
          std::pair{std::size_t{16}, std::chrono::microseconds(0)},
          std::pair{std::size_t{16}, std::chrono::microseconds(2000)}}) {
        SCOPED_TRACE(::testing::Message() << loaders << " loaders, looks of " << look.count());
        const auto [lines, stored] = scan(&catalogue, loaders, look);
        EXPECT_EQ(lines, fresh);
        EXPECT_EQ(stored, 41U);
        // A stored row that cannot be read back: that file alone is read,
        // where its stamp was looked at.
        Sql(dir / "c.db", "UPDATE files SET row = x'00' WHERE CAST(path AS TEXT) LIKE '%/m7.avi'");
        const auto [mended, reused] = scan(&catalogue, loaders, look);
        EXPECT_EQ(mended, fresh);
        EXPECT_EQ(reused, 40U);
    }
}

TEST(Catalogue, AScanKilledAtAnyPointLeavesEveryCommittedRow) {
    TempDir dir;
    ManyMovies(dir / "tree", 400);
    // About 2 ms a file: killed after 1.5 s, some commits have happened and
    // the scan is far from its end.
    const int killed = ScanInChild(dir / "c.db", dir / "tree", std::chrono::milliseconds(2),
                                   std::chrono::milliseconds(1500), [] {});
    EXPECT_EQ(killed, -SIGKILL);
    EXPECT_EQ(SqlText(dir / "c.db", "PRAGMA integrity_check"), "ok");
    const std::size_t kept = StoredRows(dir / "c.db");
    EXPECT_GT(kept, 0U);
    EXPECT_LT(kept, 400U);
    // A rescan completes it, reading only what was not kept.
    EXPECT_EQ(ScanInChild(dir / "c.db", dir / "tree", std::chrono::milliseconds(0),
                          std::chrono::milliseconds(0), [] {}),
              0);
    EXPECT_EQ(StoredRows(dir / "c.db"), 400U);
}

TEST(Catalogue, AFullDiskSaysSoAndLosesNoCommittedRow) {
    TempDir dir;
    ManyMovies(dir / "first", 50);
    ManyMovies(dir / "second", 2000);
    ASSERT_EQ(ScanInChild(dir / "c.db", dir / "first", std::chrono::milliseconds(0),
                          std::chrono::milliseconds(0), [] {}),
              0);
    // No file may grow past 64 KiB: the second folder's rows do not fit.
    const int full = ScanInChild(dir / "c.db", dir / "second", std::chrono::milliseconds(0),
                                 std::chrono::milliseconds(0), [] {
                                     std::signal(SIGXFSZ, SIG_IGN);
                                     const rlimit limit{64 * 1024, 64 * 1024};
                                     ::setrlimit(RLIMIT_FSIZE, &limit);
                                 });
    EXPECT_EQ(full, 3);
    EXPECT_EQ(SqlText(dir / "c.db", "PRAGMA integrity_check"), "ok");
    Catalogue catalogue(dir / "c.db");
    std::time_t lastSeen = 0;
    EXPECT_EQ(catalogue.RowsBelow((dir / "first").native() + "/", false, lastSeen).size(), 50U);
    EXPECT_GT(lastSeen, 0);
}

} // namespace
} // namespace vidarium::testing

namespace vidarium::testing {
namespace {

// A scan of a folder through the catalogue, in this process: its rows'
// names and how many files it opened.
struct InProcessScan {
    std::vector<std::string> names;
    std::uint64_t opens = 0;
};
InProcessScan ScanThrough(Catalogue& catalogue, const fs::path& folder) {
    RecordingHost host;
    TScanFilesThread worker(host);
    worker.SetCatalogue(&catalogue);
    worker.Start();
    const std::uint64_t opensBefore = FileSource::Activity().Opens;
    worker.RequestScan(folder);
    EXPECT_TRUE(host.WaitForScans(1));
    worker.Terminate();
    worker.WaitFor();
    InProcessScan scan{{}, FileSource::Activity().Opens - opensBefore};
    for (const FileRow& row : host.rows) {
        scan.names.push_back(row.Path.lexically_relative(folder).native());
    }
    return scan;
}

void WriteInFolder(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    WriteFile(file, bytes);
}

std::vector<std::string> StoredNames(Catalogue& catalogue, const fs::path& folder) {
    std::time_t lastSeen = 0;
    std::vector<std::string> names;
    for (const FileRow& row : catalogue.RowsBelow(folder.native() + "/", true, lastSeen)) {
        names.push_back(row.Path.lexically_relative(folder).native());
    }
    return names;
}

// A drive unplugged and mounted again at another path (another name under
// /media, another user's mount point) is the same drive: its rows follow
// it, a rescan there opens nothing, and no copy of them is left at the
// old path.
TEST(Catalogue, ADriveMountedAtAnotherPathIsTheSameDrive) {
    TempDir dir;
    const fs::path first = dir / "mnt" / "films2";
    for (const char* name : {"a.avi", "Old/b.avi", "Old/c.avi"}) {
        WriteInFolder(first / name, AviFile());
    }
    WriteInFolder(dir / "mnt" / "beside.avi", AviFile()); // on no drive
    Backdate(dir / "mnt");
    FakeVolumes volumes;
    volumes.Mount("2f6e-11aa", "Films2", first.native() + "/");
    Catalogue catalogue(dir / "c.db");
    catalogue.UseVolumes(volumes.Share());
    EXPECT_EQ(ScanThrough(catalogue, first).opens, 3U);
    EXPECT_EQ(ScanThrough(catalogue, dir / "mnt").opens, 1U);

    const fs::path second = dir / "media" / "ann" / "FILMS2";
    fs::create_directories(second.parent_path());
    fs::rename(first, second);
    volumes.Mount("2f6e-11aa", "Films2", second.native() + "/");
    const InProcessScan there = ScanThrough(catalogue, second);
    EXPECT_EQ(there.names, (std::vector<std::string>{"a.avi", "Old/b.avi", "Old/c.avi"}));
    EXPECT_EQ(there.opens, 0U) << "a moved drive's unchanged files are not read again";
    EXPECT_TRUE(StoredNames(catalogue, first).empty()) << "nothing left at the old path";
    EXPECT_EQ(StoredNames(catalogue, dir / "mnt"), std::vector<std::string>{"beside.avi"});

    // Listed: the drive where it is, and the folder on no drive.
    std::vector<CataloguedRoot> roots = catalogue.Roots();
    ASSERT_EQ(roots.size(), 2U);
    EXPECT_EQ(roots[0].Label, "Films2");
    EXPECT_EQ(roots[0].Uuid, "2f6e-11aa");
    EXPECT_EQ(roots[0].Path, second.native() + "/");
    EXPECT_EQ(roots[0].ConnectedAt, second.native() + "/");
    EXPECT_EQ(roots[0].Movies, 3U);
    EXPECT_NE(roots[0].LastScan, 0);
    EXPECT_EQ(roots[1].Uuid, "");
    EXPECT_EQ(roots[1].Path, (dir / "mnt").native() + "/");
    EXPECT_EQ(roots[1].Movies, 1U);
    // Mounted below a walked folder, its movies count as the drive's only.
    const fs::path below = dir / "mnt" / "films2";
    fs::rename(second, below);
    volumes.Mount("2f6e-11aa", "Films2", below.native() + "/");
    EXPECT_EQ(ScanThrough(catalogue, dir / "mnt").opens, 0U);
    roots = catalogue.Roots();
    ASSERT_EQ(roots.size(), 2U);
    EXPECT_EQ(roots[0].Movies, 3U);
    EXPECT_EQ(roots[1].Movies, 1U) << "the drive's files are the drive's";
    fs::rename(below, second);
    volumes.Mount("2f6e-11aa", "Films2", second.native() + "/");
    EXPECT_EQ(ScanThrough(catalogue, second).opens, 0U);

    // Unplugged (its mount point gone with it), it is listed as not
    // connected, its rows kept; a scan of the folder it was mounted in
    // keeps them too.
    volumes.Unplug("2f6e-11aa");
    fs::rename(second, dir / "drawer");
    ScanThrough(catalogue, second.parent_path());
    roots = catalogue.Roots();
    ASSERT_FALSE(roots.empty());
    EXPECT_EQ(roots[0].ConnectedAt, std::nullopt);
    EXPECT_EQ(roots[0].Movies, 3U);
    EXPECT_EQ(StoredNames(catalogue, second).size(), 3U);

    // Back at its first place: followed again.
    fs::rename(dir / "drawer", first);
    volumes.Mount("2f6e-11aa", "Films 2", first.native() + "/");
    EXPECT_EQ(ScanThrough(catalogue, first).opens, 0U);
    EXPECT_EQ(StoredNames(catalogue, first).size(), 3U);
    EXPECT_TRUE(StoredNames(catalogue, second).empty());
    EXPECT_EQ(catalogue.Roots()[0].Label, "Films 2") << "a new label is taken";

    // Catalogued at a new place before it was known there (its UUID not
    // told): those entries stand for its files, none is left at the old.
    volumes.Unplug("2f6e-11aa");
    fs::rename(first, second);
    EXPECT_EQ(ScanThrough(catalogue, second).opens, 3U);
    volumes.Mount("2f6e-11aa", "Films 2", second.native() + "/");
    EXPECT_EQ(ScanThrough(catalogue, second).opens, 0U);
    EXPECT_TRUE(StoredNames(catalogue, first).empty());
    EXPECT_EQ(StoredNames(catalogue, second).size(), 3U);
}

// Copies across two folders (one a drive, connected or not) are one
// group; a file of the same size with other bytes is not; a copy changed
// since leaves the group when it is read again.
TEST(Catalogue, ProbableCopiesAreGroupedAcrossDrives) {
    TempDir dir;
    AviParams other;
    other.width = 640;
    const Bytes movie = AviFile();
    Bytes changed = AviFile(other);
    changed.resize(movie.size());
    ASSERT_NE(changed, movie);
    WriteInFolder(dir / "home" / "Films" / "movie.avi", movie);
    WriteInFolder(dir / "home" / "Films" / "other.avi", changed);
    WriteInFolder(dir / "drive" / "Backup" / "movie (copy).avi", movie);
    WriteInFolder(dir / "drive" / "Backup" / "again.avi", movie);
    Backdate(dir / "home");
    Backdate(dir / "drive");
    FakeVolumes volumes;
    volumes.Mount("77aa", "Backup", (dir / "drive").native() + "/");
    Catalogue catalogue(dir / "c.db");
    catalogue.UseVolumes(volumes.Share());
    ScanThrough(catalogue, dir / "home");
    ScanThrough(catalogue, dir / "drive");
    const auto copies = [&](const std::vector<std::string>& folders) {
        std::vector<std::string> groups;
        for (const DuplicateGroup& group : catalogue.Duplicates(folders)) {
            std::string text = std::to_string(group.Wasted() / group.Size) + " wasted:";
            for (const DuplicateCopy& copy : group.Copies) {
                text += " " + copy.Row.Path.lexically_relative(dir.path()).native() + "@" +
                        copy.Drive + (copy.Connected ? "" : "(absent)");
            }
            groups.push_back(text);
        }
        return groups;
    };
    const std::vector<std::string> all{"2 wasted: drive/Backup/again.avi@Backup "
                                       "drive/Backup/movie (copy).avi@Backup "
                                       "home/Films/movie.avi@"};
    EXPECT_EQ(copies({}), all);
    EXPECT_EQ(copies({(dir / "home").native()}), all);
    volumes.Unplug("77aa");
    EXPECT_EQ(copies({(dir / "drive" / "Backup").native()}),
              (std::vector<std::string>{"2 wasted: drive/Backup/again.avi@Backup(absent) "
                                        "drive/Backup/movie (copy).avi@Backup(absent) "
                                        "home/Films/movie.avi@"}));
    EXPECT_TRUE(copies({(dir / "elsewhere").native()}).empty());

    // One copy changed in its first block, its size the same.
    volumes.Mount("77aa", "Backup", (dir / "drive").native() + "/");
    Bytes edited = movie;
    edited[40] ^= 1;
    WriteFile(dir / "drive" / "Backup" / "again.avi", edited);
    Backdate(dir / "drive");
    ScanThrough(catalogue, dir / "drive");
    EXPECT_EQ(copies({}),
              (std::vector<std::string>{"1 wasted: drive/Backup/movie (copy).avi@Backup "
                                        "home/Films/movie.avi@"}));
}

} // namespace
} // namespace vidarium::testing

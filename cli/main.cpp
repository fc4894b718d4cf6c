// vidarium-scan DIR: the scan without a window. Every row goes to standard
// output, in list order: the tab-delimited line an export writes, or a CSV
// record or a JSON line.

#include "catalogue.h"
#include "filerow.h"
#include "localtext.h"
#include "readertable.h"
#include "rowformats.h"
#include "rowquery.h"
#include "scanworker.h"

#include "bytesource.h"

#include <CLI/CLI.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using vidarium::FileRow;

// A command line that cannot be taken: why, and where to look.
void SayUsageError(const std::string& reason) {
    std::fprintf(stderr, "vidarium-scan: %s\nTry 'vidarium-scan --help' for more information.\n",
                 reason.c_str());
}

constexpr const char* kUsageHead =
    "Usage: vidarium-scan [OPTION]... PATH...\n"
    "       vidarium-scan --catalogue=FILE --offline [--where=TERMS] [OPTION]... [PATH]...\n"
    "       vidarium-scan --catalogue=FILE --drives | --duplicates [OPTION]... [PATH]...\n"
    "Scan each PATH for AVI, QuickTime and MPEG movies and write one record per\n"
    "movie file to standard output: a folder with its subfolders, a file alone.\n"
    "\n"
    "  --format=FORMAT  tsv (the default): the export's tab-delimited lines;\n"
    "                   csv: RFC 4180 with a header line and the path;\n"
    "                   json: JSON Lines, one object per file, values typed\n"
    "  --all-formats    also list the formats below, and read every movie file\n"
    "                   that no classic reader accepts by its content (an MP4\n"
    "                   named .mov)\n"
    "  --columns=LIST   with --format=csv: the columns to write, in this order,\n"
    "                   by their header names (\"Filename,Length,Container,Path\")\n"
    "  --files-from=LIST\n"
    "                   also scan the paths in LIST (- for standard input), one\n"
    "                   per line\n"
    "  -0               the paths in LIST end with NUL bytes (find -print0)\n"
    "  --catalogue=FILE keep every row in FILE (an SQLite database, made when\n"
    "                   missing), and take a file's row from it when the\n"
    "                   file's size, modification time and inode are unchanged\n"
    "  --rescan-all     with --catalogue: read every file again\n"
    "  --offline        with --catalogue: write the stored rows below each PATH\n"
    "                   (all of them when no PATH is given) without reading\n"
    "                   the files or folders\n"
    "  --totals=FIELD   with --catalogue: instead of the stored rows, their movies,\n"
    "                   bytes and running time by container, codec, resolution,\n"
    "                   hdr or lang (sound language), below each PATH\n"
    "  --where=TERMS    with --offline: only the rows the terms find, as the\n"
    "                   window's filter does: words, -word, field:value and\n"
    "                   comparisons (\"codec:hevc lang:deu height>=2160\",\n"
    "                   \"size>4G\", \"length>1:30:00\", \"hdr\", \"-ext:avi\")\n"
    "  --drives         with --catalogue: every catalogued drive (known by its\n"
    "                   file system's UUID and label, wherever it is mounted)\n"
    "                   and every folder on no drive: where it was last seen,\n"
    "                   connected or not, movies, bytes, running time, last scan\n"
    "  --duplicates     with --catalogue: the groups of probable copies (one\n"
    "                   size, the same first and last blocks) across every\n"
    "                   drive, connected or not; those with a copy below a PATH\n"
    "  --stats          after the rows, one summary line on standard error\n"
    "  --reads-in-flight=N\n"
    "                   read up to N files at once, and list folders ahead\n"
    "                   (default 16; 0 reads one file at a time)\n"
    "  --version        show the version and exit\n"
    "  -h, --help       show this text and exit\n"
    "\n";
constexpr const char* kUsageTail =
    "\n"
    "Exit status: 0 when the scan ends, 1 when a PATH cannot be read (the others\n"
    "are still scanned), the output cannot be written or the catalogue cannot be\n"
    "used, 2 for a usage error, 130 when interrupted.\n";

// The usage, with what --all-formats lists from the reader table.
std::string Usage() {
    std::string text = kUsageHead;
    text += "Listed with --all-formats besides AVI, QuickTime and MPEG:\n";
    for (const vidarium::ReaderEntry& entry : vidarium::ReaderTable()) {
        if (entry.Formats.empty()) {
            continue;
        }
        text += "  ";
        text += entry.Formats;
        text += " (";
        for (const std::string_view extension : entry.Extensions) {
            text += extension;
            text += extension == entry.Extensions.back() ? ")\n" : " ";
        }
    }
    return text + kUsageTail;
}

using vidarium::OutputFormat;

volatile std::sig_atomic_t interrupted = 0;
// The running scan, stopped straight from the signal handler: RequestStop only
// stores a lock-free atomic flag, which is safe there.
std::atomic<vidarium::TScanFilesThread*> runningScan{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free);

// The first Ctrl-C stops the scan like the Stop button; a second one, for a
// scan stuck on a slow disk, ends the program at once, once the output holds
// whole lines only (the main thread sees it within a tick).
extern "C" void OnInterrupt(int) {
    interrupted = interrupted + 1;
    if (vidarium::TScanFilesThread* worker = runningScan.load()) {
        worker->RequestStop();
    }
}

// The last `columns` bytes of a path, starting on a character boundary.
std::string TailForProgress(const std::string& text, std::size_t columns) {
    if (text.size() <= columns) {
        return text;
    }
    std::size_t start = text.size() - columns + 3;
    while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
        ++start;
    }
    return "..." + text.substr(start);
}

class ConsoleHost final : public vidarium::ScanHost {
public:
    ConsoleHost(bool showProgress, OutputFormat format, std::vector<std::size_t> csvColumns)
        : showProgress_(showProgress), format_(format), csvColumns_(std::move(csvColumns)) {
        if (format_ == OutputFormat::Csv) {
            vidarium::AppendCsvHeader(pending_, csvColumns_);
        }
    }

    void ShowStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        status_ = text;
    }

    void ClearList() override {}

    void AddRow(FileRow row) override {
        std::string record;
        vidarium::AppendRecord(record, row, format_, csvColumns_);
        std::lock_guard lock(mutex_);
        if (writeFailed_) {
            return;
        }
        ++rows_;
        ++rowsBySource_[static_cast<std::size_t>(row.Source)];
        pending_ += record;
        if (pending_.size() >= kFlushThreshold) {
            FlushLocked();
        }
    }

    void ScanDone() override {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        doneChanged_.notify_all();
    }

    void DirectoryUnreadable(const fs::path& directory) override {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        std::fprintf(stderr, "vidarium-scan: %s: cannot read directory\n",
                     vidarium::PathToLocaleText(directory).c_str());
    }

    void CataloguedKept(const vidarium::KeptFolder& kept) override {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        // A folder named on the command line that is not there fails the
        // scan, as a missing path does; one below it is a warning.
        pathFailed_ = pathFailed_ || kept.Root;
        std::fprintf(stderr, "vidarium-scan: %s is not there - %zu catalogued movies kept\n",
                     vidarium::PathToLocaleText(kept.Folder).c_str(), kept.Movies);
    }

    bool PathFailed() {
        std::lock_guard lock(mutex_);
        return pathFailed_;
    }

    // The paths named that are not there, once the scan has ended.
    std::vector<std::string> GonePaths() {
        std::lock_guard lock(mutex_);
        return gonePaths_;
    }

    void PathUnreadable(const fs::path& path, std::error_code error) override {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        pathFailed_ = true;
        if (error == std::errc::no_such_file_or_directory) {
            gonePaths_.push_back(path.native());
        }
        std::fprintf(stderr, "vidarium-scan: %s: %s\n", vidarium::PathToLocaleText(path).c_str(),
                     error.message().c_str());
    }

    void FileUnreadable(const fs::path& file, std::error_code error) override {
        std::lock_guard lock(mutex_);
        EraseProgressLocked();
        const std::string reason = error ? " (" + error.message() + ")" : std::string();
        std::fprintf(stderr, "vidarium-scan: %s: cannot read file%s\n",
                     vidarium::PathToLocaleText(file).c_str(), reason.c_str());
    }

    // Waits up to `interval` for the end of the scan; true once it has ended.
    bool WaitForDone(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex_);
        return doneChanged_.wait_for(lock, interval, [this] { return done_; });
    }

    void Tick(std::uint64_t filesSeen) {
        std::lock_guard lock(mutex_);
        FlushLocked();
        if (!showProgress_ || writeFailed_) {
            return;
        }
        const std::string line = std::to_string(filesSeen) + " files seen, " +
                                 std::to_string(rows_) + " rows: " + TailForProgress(status_, 48);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
        progressShown_ = true;
    }

    // Writes what is pending (whole lines only) and erases the progress line.
    void Finish() {
        std::lock_guard lock(mutex_);
        FlushLocked();
        EraseProgressLocked();
    }

    // The second Ctrl-C: the lines written so far are whole, and stay so.
    [[noreturn]] void EndAtOnce() {
        // A write in progress finishes its lines first; one stuck on a reader
        // that stopped reading does not hold the end up for long.
        bool locked = false;
        for (int attempt = 0; attempt < 50 && !locked; ++attempt) {
            locked = mutex_.try_lock();
            if (!locked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        if (locked) {
            FlushLocked();
            EraseProgressLocked();
        }
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
        std::_Exit(130);
    }

    bool WriteFailed() {
        std::lock_guard lock(mutex_);
        return writeFailed_;
    }

    std::uint64_t Rows(vidarium::RowSource source) {
        std::lock_guard lock(mutex_);
        return rowsBySource_[static_cast<std::size_t>(source)];
    }

    std::function<void()> onWriteFailure;

private:
    static constexpr std::size_t kFlushThreshold = std::size_t{64} * 1024;

    // One write of whole lines; a failed write is reported once, and the
    // scan ends with it.
    void FlushLocked() {
        std::string_view data = pending_;
        while (!data.empty() && !writeFailed_) {
            const ssize_t written = ::write(STDOUT_FILENO, data.data(), data.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                if (errno == EPIPE) {
                    // A reader that went away (`| head`): end the usual way.
                    std::signal(SIGPIPE, SIG_DFL);
                    std::raise(SIGPIPE);
                }
                writeFailed_ = true;
                EraseProgressLocked();
                std::fprintf(stderr, "vidarium-scan: cannot write the output: %s\n",
                             std::strerror(errno));
                if (onWriteFailure) {
                    onWriteFailure();
                }
                break;
            }
            data.remove_prefix(static_cast<std::size_t>(written));
        }
        pending_.clear();
    }

    void EraseProgressLocked() {
        if (progressShown_) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
            progressShown_ = false;
        }
    }

    const bool showProgress_;
    const OutputFormat format_;
    const std::vector<std::size_t> csvColumns_;
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    std::string status_;
    std::string pending_;
    std::uint64_t rows_ = 0;
    std::array<std::uint64_t, vidarium::kRowSources> rowsBySource_{};
    bool done_ = false;
    bool progressShown_ = false;
    bool writeFailed_ = false;
    bool pathFailed_ = false;
    std::vector<std::string> gonePaths_;
};

struct Options {
    OutputFormat format = OutputFormat::Tsv;
    bool stats = false;
    std::size_t readsInFlight = vidarium::TScanFilesThread::kDefaultReadsInFlight;
    bool allFormats = false;
    std::string catalogue;
    bool rescanAll = false;
    bool offline = false;
    std::optional<vidarium::RowQuery> where;
    std::optional<vidarium::TotalsField> totals;
    // Instead of rows: the catalogue's drives, or its probable copies.
    enum class Report { None, Drives, Duplicates } report = Report::None;
    std::vector<std::size_t> csvColumns{vidarium::DefaultCsvColumns().begin(),
                                        vidarium::DefaultCsvColumns().end()};
};

// The paths to scan: the arguments, then the list's, read as they are asked
// for, so that a long list streams.
class PathList {
public:
    PathList(std::vector<std::string> arguments, std::string list, bool nulSeparated)
        : arguments_(std::move(arguments)), listName_(std::move(list)),
          separator_(nulSeparated ? '\0' : '\n') {}
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;
    ~PathList() {
        if (list_ != nullptr && list_ != stdin) {
            std::fclose(list_);
        }
        std::free(line_);
    }

    // False (with a message) when the list cannot be opened.
    bool Open() {
        if (listName_.empty()) {
            return true;
        }
        list_ = listName_ == "-" ? stdin : std::fopen(listName_.c_str(), "rb");
        if (list_ == nullptr) {
            std::fprintf(stderr, "vidarium-scan: %s: %s\n", listName_.c_str(),
                         std::strerror(errno));
            return false;
        }
        return true;
    }

    std::optional<fs::path> Next() {
        if (next_ < arguments_.size()) {
            return fs::path(arguments_[next_++]);
        }
        while (list_ != nullptr) {
            const ssize_t length = ::getdelim(&line_, &capacity_, separator_, list_);
            if (length < 0) {
                return std::nullopt;
            }
            std::string_view path(line_, static_cast<std::size_t>(length));
            if (!path.empty() && path.back() == separator_) {
                path.remove_suffix(1);
            }
            // A list written on Windows ends its lines with CR LF.
            if (separator_ == '\n' && !path.empty() && path.back() == '\r') {
                path.remove_suffix(1);
            }
            if (!path.empty()) {
                return fs::path(std::string(path));
            }
        }
        return std::nullopt;
    }

private:
    std::vector<std::string> arguments_;
    std::size_t next_ = 0;
    std::string listName_;
    char separator_;
    std::FILE* list_ = nullptr;
    char* line_ = nullptr;
    std::size_t capacity_ = 0;
};

// The catalogue named by --catalogue; null (with a message) when it cannot be
// used.
std::unique_ptr<vidarium::Catalogue> OpenCatalogue(const std::string& file,
                                                   vidarium::Catalogue::Use use) {
    try {
        return std::make_unique<vidarium::Catalogue>(fs::path(file), vidarium::Catalogue::kBusyWait,
                                                     use);
    } catch (const vidarium::CatalogueError& error) {
        std::fprintf(stderr, "vidarium-scan: %s\n", error.what());
        return nullptr;
    }
}

// The --stats line; `fromCatalogue` only when a catalogue was used.
void PrintStats(ConsoleHost& host, const Options& options, std::uint64_t filesSeen,
                std::optional<std::uint64_t> fromCatalogue,
                std::chrono::steady_clock::duration elapsed) {
    using vidarium::RowSource;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const vidarium::FileActivity activity = vidarium::FileSource::Activity();
    std::string modern;
    if (options.allFormats) {
        for (const vidarium::ReaderEntry& entry : vidarium::ReaderTable()) {
            if (!entry.Formats.empty()) {
                modern += ", " + std::to_string(host.Rows(entry.Source)) + " " +
                          std::string(entry.SourceName);
            }
        }
    }
    const std::string stored = fromCatalogue
                                   ? "; " + std::to_string(*fromCatalogue) + " from the catalogue"
                                   : std::string();
    std::fprintf(stderr,
                 "vidarium-scan: %llu files seen, rows: %llu avi, %llu quicktime, %llu mpeg%s, "
                 "%llu plain%s; %llu bytes read in %llu read calls, %llu opens; %.3f s, "
                 "%.0f files/s\n",
                 static_cast<unsigned long long>(filesSeen),
                 static_cast<unsigned long long>(host.Rows(RowSource::Avi)),
                 static_cast<unsigned long long>(host.Rows(RowSource::QuickTime)),
                 static_cast<unsigned long long>(host.Rows(RowSource::Mpeg)), modern.c_str(),
                 static_cast<unsigned long long>(host.Rows(RowSource::Plain)), stored.c_str(),
                 static_cast<unsigned long long>(activity.BytesRead),
                 static_cast<unsigned long long>(activity.ReadCalls),
                 static_cast<unsigned long long>(activity.Opens), seconds,
                 seconds > 0 ? static_cast<double>(filesSeen) / seconds : 0.0);
}

// A path that is not there (a drive in a drawer) may still be catalogued:
// said, with the option that lists its rows.
void HintCatalogued(vidarium::Catalogue& catalogue, const std::vector<std::string>& gone,
                    bool allFormats) {
    for (const std::string& path : gone) {
        std::time_t lastSeen = 0;
        const std::size_t movies = catalogue.RowsBelow(path, allFormats, lastSeen).size();
        if (movies > 0) {
            const std::string seen =
                lastSeen > 0 ? ", last seen " + vidarium::ModifiedText(lastSeen * 1'000'000'000LL)
                             : std::string();
            std::fprintf(stderr,
                         "vidarium-scan: %s: %zu catalogued movies%s (--offline lists them)\n",
                         vidarium::NativeBytesToLocaleText(path).c_str(), movies, seen.c_str());
        }
    }
}

int Scan(PathList& paths, const Options& options) {
    const auto started = std::chrono::steady_clock::now();
    if (!paths.Open()) {
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    std::unique_ptr<vidarium::Catalogue> catalogue;
    if (!options.catalogue.empty() &&
        !(catalogue = OpenCatalogue(options.catalogue, vidarium::Catalogue::Use::Scan))) {
        return 1;
    }
    ConsoleHost host(::isatty(STDERR_FILENO) == 1, options.format, options.csvColumns);
    std::uint64_t filesSeen = 0;
    std::uint64_t fromCatalogue = 0;
    {
        vidarium::TScanFilesThread worker(host);
        host.onWriteFailure = [&worker] { worker.RequestStop(); };
        worker.SetReadsInFlight(options.readsInFlight);
        worker.SetCatalogue(catalogue.get());
        worker.Start();
        worker.RequestScanOf([&paths] { return paths.Next(); }, options.allFormats,
                             options.rescanAll);
        // Like the Stop button: the file being read still gets its row.
        runningScan.store(&worker);
        int ticks = 0;
        while (!host.WaitForDone(std::chrono::milliseconds(20))) {
            if (interrupted > 1) {
                host.EndAtOnce();
            }
            // Again here: a stop that came before the worker took the request
            // was cleared when it took it. (A failed write stops the worker
            // itself, through onWriteFailure.)
            if (interrupted != 0) {
                worker.RequestStop();
            }
            if (++ticks % 5 == 0) {
                host.Tick(worker.FilesSeen());
            }
        }
        runningScan.store(nullptr);
        worker.Terminate();
        filesSeen = worker.FilesSeen();
        fromCatalogue = worker.RowsFromCatalogue();
    }
    host.Finish();
    if (catalogue) {
        HintCatalogued(*catalogue, host.GonePaths(), options.allFormats);
    }
    const bool catalogueFailed = catalogue && !catalogue->Fault().empty();
    if (catalogueFailed) {
        std::fprintf(stderr, "vidarium-scan: %s\n", catalogue->Fault().c_str());
    }
    if (host.WriteFailed() || host.PathFailed() || catalogueFailed) {
        return 1;
    }
    if (options.stats) {
        PrintStats(host, options, filesSeen,
                   catalogue ? std::optional(fromCatalogue) : std::nullopt,
                   std::chrono::steady_clock::now() - started);
    }
    return interrupted != 0 ? 130 : 0;
}

// The stored rows below each path (all when none), without touching them.
int Offline(const std::vector<std::string>& arguments, const Options& options) {
    const std::unique_ptr<vidarium::Catalogue> catalogue =
        OpenCatalogue(options.catalogue, vidarium::Catalogue::Use::Read);
    if (!catalogue) {
        return 1;
    }
    ConsoleHost host(false, options.format, options.csvColumns);
    std::vector<FileRow> counted; // for --totals
    int status = 0;
    const auto write = [&](const std::string& folder) {
        std::time_t lastSeen = 0;
        std::vector<FileRow> rows = catalogue->RowsBelow(folder, options.allFormats, lastSeen);
        if (rows.empty() && !folder.empty()) {
            std::fprintf(stderr, "vidarium-scan: %s: not in the catalogue\n", folder.c_str());
            status = 1;
        }
        for (FileRow& row : rows) {
            if (options.where &&
                !options.where->Matches(row, vidarium::RowQuery::SearchText(row))) {
                continue;
            }
            if (options.totals) {
                counted.push_back(std::move(row));
            } else {
                host.AddRow(std::move(row));
            }
        }
    };
    if (arguments.empty()) {
        write({});
    }
    for (const std::string& argument : arguments) {
        write(std::string(vidarium::TrimBelow33(argument)));
    }
    if (options.totals) {
        std::string out;
        vidarium::AppendTotals(out, vidarium::Totals(counted, *options.totals), *options.totals,
                               options.format);
        const bool written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size() &&
                             std::fflush(stdout) == 0;
        return written ? status : 1;
    }
    host.Finish();
    return host.WriteFailed() ? 1 : status;
}

// --drives and --duplicates: what the catalogue knows of its drives and
// copies, without touching them.
int WriteReport(const std::vector<std::string>& arguments, const Options& options) {
    const std::unique_ptr<vidarium::Catalogue> catalogue =
        OpenCatalogue(options.catalogue, vidarium::Catalogue::Use::Read);
    if (!catalogue) {
        return 1;
    }
    std::string out;
    if (options.report == Options::Report::Drives) {
        vidarium::AppendDrives(out, catalogue->Roots(), options.format);
    } else {
        std::vector<std::string> folders;
        folders.reserve(arguments.size());
        for (const std::string& argument : arguments) {
            folders.emplace_back(vidarium::TrimBelow33(argument));
        }
        vidarium::AppendDuplicates(out, catalogue->Duplicates(folders), options.format);
    }
    const bool written =
        std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0;
    return written ? 0 : 1;
}

// --drives or --duplicates; false (and said) when it cannot be taken.
bool ChooseReport(bool drives, bool duplicates, const std::vector<std::string>& arguments,
                  Options& options) {
    const std::string reason =
        options.catalogue.empty()
            ? std::string(drives ? "--drives" : "--duplicates") + " needs --catalogue"
        : drives && duplicates ? "--drives and --duplicates are two reports: one at a time"
        : options.totals || options.where ? "--totals and --where list rows, not drives or copies"
        : drives && !arguments.empty()    ? "--drives lists every drive; it takes no PATH"
                                          : std::string();
    if (!reason.empty()) {
        SayUsageError(reason);
        return false;
    }
    options.report = drives ? Options::Report::Drives : Options::Report::Duplicates;
    return true;
}

// "--columns=" with nothing after it would take the next argument as its
// value: an option written with '=' must hold one. False (and said) when
// one does not.
bool EveryValueGiven(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.starts_with("--") && argument.size() > 3 && argument.back() == '=' &&
            argument.find('=') == argument.size() - 1) {
            SayUsageError(std::string(argument.substr(0, argument.size() - 1)) + " needs a value");
            return false;
        }
    }
    return true;
}

// --columns: the CSV columns by name; false (and said) when the list names
// one that is not a column, or the format is not CSV.
bool ChooseColumns(const std::string& list, Options& options) {
    std::string unknown;
    const auto columns = vidarium::CsvColumnsNamed(list, unknown);
    const std::string reason =
        options.format != OutputFormat::Csv ? std::string("--columns needs --format=csv")
        : !columns
            ? "no such column: '" + unknown + "' (the columns: " + vidarium::ColumnNamesText() + ")"
            : std::string();
    if (!reason.empty()) {
        SayUsageError(reason);
        return false;
    }
    options.csvColumns = *columns;
    return true;
}

// --totals: the field the stored rows are counted by, which lists them as
// --offline does; false (and said) for a field it does not know.
bool ChooseTotals(const std::string& name, Options& options) {
    if (options.catalogue.empty()) {
        SayUsageError("--totals needs --catalogue");
        return false;
    }
    options.totals = vidarium::TotalsFieldNamed(name);
    if (!options.totals) {
        SayUsageError("--totals: no field '" + name +
                      "' (the fields: " + vidarium::TotalsFieldNames() + ")");
        return false;
    }
    options.offline = true;
    return true;
}

// --where: the search the stored rows are listed by; false (and each term
// it cannot read said) when it cannot be taken.
bool ChooseRows(const std::string& terms, Options& options) {
    if (!options.offline) {
        SayUsageError("--where needs --offline");
        return false;
    }
    options.where = vidarium::RowQuery::Parse(terms);
    for (const vidarium::QueryProblem& problem : options.where->Problems()) {
        std::fprintf(stderr, "vidarium-scan: --where: %s: %s (the fields: %s)\n",
                     problem.Term.c_str(), problem.Reason.c_str(),
                     vidarium::RowQuery::FieldNamesText().c_str());
    }
    return options.where->Problems().empty();
}

// What is asked of the catalogue, as given on the command line.
struct Questions {
    std::optional<std::string> where;
    std::optional<std::string> totals;
    bool drives = false;
    bool duplicates = false;
};

// false (and said) when a question cannot be taken as asked.
bool ChooseQuestions(const Questions& queries, const std::vector<std::string>& arguments,
                     Options& options) {
    if (queries.totals && !ChooseTotals(*queries.totals, options)) {
        return false;
    }
    if (queries.where && !ChooseRows(*queries.where, options)) {
        return false;
    }
    return !(queries.drives || queries.duplicates) ||
           ChooseReport(queries.drives, queries.duplicates, arguments, options);
}

} // namespace

int main(int argc, char** argv) {
    // Only the character set comes from the locale; numbers never use it.
    std::setlocale(LC_ALL, "");
    Options options;
    std::vector<std::string> arguments;
    std::string list;
    bool nulSeparated = false;
    bool help = false;
    bool version = false;
    std::string format = "tsv";
    // The usage text is our own: CLI11 parses, and its messages name what
    // was wrong.
    CLI::App app("vidarium-scan");
    app.set_help_flag();
    app.allow_windows_style_options(false);
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_flag("--stats", options.stats);
    app.add_flag("--all-formats", options.allFormats);
    app.add_option("--catalogue", options.catalogue);
    app.add_flag("--rescan-all", options.rescanAll);
    app.add_flag("--offline", options.offline);
    Questions queries;
    app.add_option("--where", queries.where);
    app.add_option("--totals", queries.totals);
    app.add_flag("--drives", queries.drives);
    app.add_flag("--duplicates", queries.duplicates);
    app.add_option("--format", format)->check(CLI::IsMember({"tsv", "csv", "json"}));
    app.add_option("--reads-in-flight", options.readsInFlight)->check(CLI::Range(0, 1024));
    app.add_option("--files-from", list);
    std::string columnList;
    app.add_option("--columns", columnList);
    app.add_flag("-0", nulSeparated);
    app.add_option("PATH", arguments);
    if (!EveryValueGiven(argc, argv)) {
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        SayUsageError(error.what());
        return 2;
    }
    if (help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (version) {
        std::printf("vidarium-scan %s\n", VIDARIUM_VERSION);
        return 0;
    }
    if (nulSeparated && list.empty()) {
        SayUsageError("-0 needs --files-from");
        return 2;
    }
    options.format = format == "csv"    ? OutputFormat::Csv
                     : format == "json" ? OutputFormat::Json
                                        : OutputFormat::Tsv;
    if (!columnList.empty() && !ChooseColumns(columnList, options)) {
        return 2;
    }
    if ((options.rescanAll || options.offline) && options.catalogue.empty()) {
        SayUsageError(std::string(options.offline ? "--offline" : "--rescan-all") +
                      " needs --catalogue");
        return 2;
    }
    if (!ChooseQuestions(queries, arguments, options)) {
        return 2;
    }
    if (options.report != Options::Report::None) {
        return WriteReport(arguments, options);
    }
    if (options.offline) {
        return Offline(arguments, options);
    }
    if (arguments.empty() && list.empty()) {
        std::fputs(Usage().c_str(), stderr);
        return 2;
    }
    PathList paths(std::move(arguments), std::move(list), nulSeparated);
    return Scan(paths, options);
}

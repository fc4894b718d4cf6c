// The ordered delivery: files read by the loaders, and the worker's other
// steps, handed to the host in the walk's order.
#include "localtext.h"
#include "scanparts.h"

namespace vidarium {
using namespace walkparts;

namespace {

// A look at a file's stamp; the test hook stands for the storage it waits on.
std::optional<FileStamp> LookAt(const fs::path& path, const TScanFilesThread::ReadHook& hook) {
    if (hook) {
        hook(path);
    }
    return StampNow(path);
}

} // namespace

void TScanFilesThread::QueueFile(const fs::directory_entry& entry,
                                 std::span<const ReaderKind> order) {
    Pipeline& pipeline = *pipeline_;
    std::optional<StoredEntry> stored = StoredFor(entry.path());
    if (!pipeline.Loaders) {
        if (!stored || !AddStoredIfUnchanged(entry.path(), *stored)) {
            HandleFile(entry, order, rootLength_, walk_);
        }
        return;
    }
    if (stored && pipeline.StampTime < Pipeline::kQuickStamp) {
        if (QueueUnchanged(entry, order, *stored)) {
            return;
        }
        stored.reset(); // changed since: read on a loader
    }
    auto promise = std::make_shared<std::promise<LoadedFile>>();
    PendingFile pending{entry, order, rootLength_, walk_, promise->get_future()};
    LoaderPool::Task task = [promise, entry, order, stored, allFormats = AllFormats,
                             hook = readHook_](Loader& loader) {
        try {
            if (stored) {
                // One look at the file instead of a read, on the loader: on a
                // share it waits as long as an open does.
                std::optional<FileStamp> now;
                const auto start = std::chrono::steady_clock::now();
                {
                    const StorageCall call(&loader.StorageSince);
                    now = LookAt(entry.path(), hook);
                }
                if (now && *now == stored->Stamp) {
                    LoadedFile unchanged;
                    unchanged.Stored = stored;
                    unchanged.Stamp = *now;
                    unchanged.StampTime = std::chrono::steady_clock::now() - start;
                    promise->set_value(std::move(unchanged));
                    return;
                }
            }
            // The hook stands for storage that tests slow down: its time is
            // a wait for the storage, as a read's is.
            TScanFilesThread::ReadHook marked;
            if (hook) {
                marked = [&loader, &hook](const fs::path& path) {
                    const StorageCall call(&loader.StorageSince);
                    hook(path);
                };
            }
            LoadedFile loaded;
            const FileRead read =
                ReadListedFile(loader.Readers, loader.File, entry, order, allFormats, loader.Stop,
                               marked, [&loaded](FileRow row) { loaded.Row = std::move(row); });
            loaded.Stamp = read.Stamp;
            loaded.Unreadable = read.Unreadable;
            promise->set_value(std::move(loaded));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    };
    if (!pipeline.Loaders->Submit(task)) {
        // No loader to be had: this file is read here, after the ones before it.
        while (!pipeline.Steps.empty() && !pipeline.Ended) {
            DeliverNext();
        }
        HandleFile(entry, order, rootLength_, walk_);
        return;
    }
    pipeline.Steps.emplace_back(std::move(pending));
    ++pipeline.Files;
    while (pipeline.Files > pipeline.Window && !pipeline.Ended) {
        DeliverNext();
    }
}

bool TScanFilesThread::QueueUnchanged(const fs::directory_entry& entry,
                                      std::span<const ReaderKind> order, StoredEntry& stored) {
    Pipeline& pipeline = *pipeline_;
    const auto start = std::chrono::steady_clock::now();
    const std::optional<FileStamp> now = LookAt(entry.path(), readHook_);
    pipeline.NoteStampTime(std::chrono::steady_clock::now() - start);
    if (!now || *now != stored.Stamp) {
        return false;
    }
    std::promise<LoadedFile> unchanged;
    unchanged.set_value(LoadedFile{{}, std::move(stored), {}, *now, {}});
    pipeline.Steps.emplace_back(
        PendingFile{entry, order, rootLength_, walk_, unchanged.get_future()});
    ++pipeline.Files;
    while (pipeline.Files > pipeline.Window && !pipeline.Ended) {
        DeliverNext();
    }
    return true;
}

void TScanFilesThread::DeliverNext() {
    Pipeline& pipeline = *pipeline_;
    PendingStep step = std::move(pipeline.Steps.front());
    pipeline.Steps.pop_front();
    PendingFile* const file = std::get_if<PendingFile>(&step);
    if (file != nullptr) {
        --pipeline.Files;
    }
    if (pipeline.Ended || Terminated()) {
        return;
    }
    if (file == nullptr) {
        std::visit(
            Overloaded{
                [this](StatusStep& status) {
                    try {
                        host_.ShowStatus(status.Text);
                    } catch (...) {
                        // Only the status line is lost.
                    }
                },
                [this](UnreadableFolder& folder) {
                    if (catalogue_ != nullptr) {
                        catalogue_->FolderUnreadable(folder.Walk, folder.Path.native());
                    }
                    host_.DirectoryUnreadable(folder.Path);
                },
                [this](ListedFolder& folder) {
                    if (catalogue_ != nullptr) {
                        catalogue_->FolderListed(folder.Walk, folder.Path, folder.Device);
                    }
                },
                [this](WalkEnd& end) {
                    if (catalogue_ == nullptr) {
                        return;
                    }
                    for (const KeptFolder& kept : catalogue_->EndWalk(end.Walk, end.Complete)) {
                        host_.CataloguedKept(kept);
                    }
                },
                [this](UnreadablePath& path) { host_.PathUnreadable(path.Path, path.Error); },
                [](PendingFile&) {},
            },
            step);
        return;
    }
    // The load awaited next; a stop stops it (it then gives the plain row)
    // and gives it a moment to end, a load stalled on a share is dropped.
    std::future<LoadedFile>& load = file->Load;
    if (!Await(load, *pipeline.Loaders, [this] { return ShouldEndPass(); })) {
        if (Terminated()) {
            return;
        }
        pipeline.Loaders->Abandon();
        if (load.wait_for(kStopGrace) != std::future_status::ready) {
            pipeline.Ended = true;
            return;
        }
    }
    LoadedFile loaded;
    try {
        loaded = load.get();
    } catch (...) {
        // Dropped before it started, or out of memory: the plain row.
        loaded.Stamp.Size = ListedSize(file->Entry);
    }
    DeliverFile(*file, loaded);
    // A stop asked for during the row, or while it was awaited: nothing
    // after it comes.
    pipeline.Ended = ShouldEndPass();
}

void TScanFilesThread::DeliverFile(const PendingFile& file, LoadedFile& loaded) {
    Pipeline& pipeline = *pipeline_;
    if (loaded.StampTime.count() > 0) {
        pipeline.NoteStampTime(loaded.StampTime);
    }
    if (loaded.Unreadable) {
        host_.FileUnreadable(file.Entry.path(), loaded.Unreadable);
    }
    if (loaded.Stored &&
        AddStoredRow(file.Entry.path(), *loaded.Stored, file.RootLength, file.Walk)) {
        // Its row as it was stored.
    } else if (loaded.Stored) {
        HandleFile(file.Entry, file.Order, file.RootLength, file.Walk);
    } else if (loaded.Row) {
        loaded.Row->RootLength = file.RootLength;
        try {
            AddRow(std::move(*loaded.Row), file.Walk);
        } catch (...) {
            // The list refused the row: read the file again here, where the
            // next reader gets its turn.
            HandleFile(file.Entry, file.Order, file.RootLength, file.Walk);
        }
    } else {
        AddPlainRow(file.Entry.path(), loaded.Stamp, file.RootLength, file.Walk);
    }
}

void TScanFilesThread::FinishScan() {
    Pipeline& pipeline = *pipeline_;
    if (pipeline.Loaders && ShouldEndPass()) {
        pipeline.Loaders->Abandon();
    }
    try {
        while (!pipeline.Steps.empty() && !pipeline.Ended && !Terminated()) {
            DeliverNext();
        }
    } catch (...) {
    }
    pipeline.Steps.clear();
    pipeline.Files = 0;
    pipeline.Ended = false;
    if (catalogue_ != nullptr) {
        catalogue_->Flush();
    }
}

std::optional<StoredEntry> TScanFilesThread::StoredFor(const fs::path& path) {
    if (catalogue_ == nullptr || ReadAgain) {
        return std::nullopt;
    }
    return catalogue_->Lookup(walk_, path.native());
}

bool TScanFilesThread::AddStoredIfUnchanged(const fs::path& path, const StoredEntry& stored) {
    const std::optional<FileStamp> now = LookAt(path, readHook_);
    return now && *now == stored.Stamp && AddStoredRow(path, stored, rootLength_, walk_);
}

bool TScanFilesThread::AddStoredRow(const fs::path& path, const StoredEntry& entry,
                                    std::size_t rootLength, std::int64_t walk) {
    std::optional<FileRow> row = catalogue_->RowOf(entry);
    // A stored row no reader of this file could have made is not believed.
    if (!row ||
        !SourceCanMake(row->Source, LowerCaseExtension(ExtensionOf(path.filename().native())),
                       AllFormats)) {
        return false;
    }
    // The name as this run's locale shows it; the rest as it was read.
    row->Caption = PathToLocaleText(path.filename());
    row->Path = path;
    row->RootLength = rootLength;
    fromCatalogue_.fetch_add(1, std::memory_order_relaxed);
    AddRow(std::move(*row), walk, entry.Id);
    return true;
}

void TScanFilesThread::AddRow(FileRow row, std::int64_t walk,
                              std::optional<std::int64_t> storedEntry) {
    if (catalogue_ == nullptr) {
        host_.AddRow(std::move(row));
        return;
    }
    // The row goes out first: a catalogue that stalls, or an end forced by
    // a second Ctrl-C, never costs a row already read. A stored row is kept
    // by its path alone.
    FileRow kept;
    if (storedEntry) {
        kept.Path = row.Path;
    } else {
        kept = row;
    }
    // Kept however the step ends (a failed step's file still was seen).
    struct KeepsOnExit {
        RowCatalogue& catalogue;
        std::int64_t walk;
        const FileRow& row;
        std::optional<std::int64_t> entry;
        ~KeepsOnExit() { catalogue.Keep(walk, row, entry); }
    } keeping{*catalogue_, walk, kept, storedEntry};
    host_.AddRow(std::move(row));
}

} // namespace vidarium

// The ordered delivery: files read by the loaders, and the worker's other
// steps, handed to the host in the walk's order.
#include "localtext.h"
#include "scanparts.h"
#include "scanworker.h"

namespace vidarium {
using namespace walkparts;

ReadContext TScanFilesThread::WorkerContext() const {
    return {*Readers,  *file_,     StopRequested,
            readHook_, AllFormats, catalogue_ != nullptr ? catalogue_->Decoder() : nullptr,
            nullptr};
}

void TScanFilesThread::QueueFile(const fs::directory_entry& entry,
                                 std::span<const ReaderKind> order) {
    Pipeline& pipeline = *pipeline_;
    std::optional<StoredEntry> stored = StoredFor(entry.path());
    PendingFile file{entry, order, rootLength_, walk_, {}, {}};
    if (pipeline.Loaders && stored && pipeline.StampTime < Pipeline::kQuickStamp) {
        // On a quick disk the worker looks at the stamp itself, which costs
        // less than a hand-off; a file that changed goes to a loader.
        LookTime took{0};
        std::optional<LoadedFile> reused;
        EvenIfItFails([&] { reused = ReuseIfUnchanged(entry, *stored, WorkerContext(), took); });
        pipeline.NoteStampTime(took);
        if (reused) {
            reused->StampTime = LookTime{0}; // noted already
            file.Reused = std::make_unique<LoadedFile>(std::move(*reused));
            Queue(std::move(file));
            return;
        }
        stored.reset();
    }
    if (pipeline.Loaders) {
        auto promise = std::make_shared<std::promise<LoadedFile>>();
        file.Load = promise->get_future();
        LoaderPool::Task task =
            [promise, entry, order, stored, allFormats = AllFormats, hook = readHook_,
             decode = catalogue_ != nullptr ? catalogue_->Decoder() : nullptr](Loader& loader) {
                const ReadContext context{loader.Readers, loader.File, loader.Stop,         hook,
                                          allFormats,     decode,      &loader.StorageSince};
                FulfilOrFail(*promise, [&] { return ReadOrReuse(entry, order, stored, context); });
            };
        if (pipeline.Loaders->Submit(task)) {
            Queue(std::move(file));
            return;
        }
        // No loader to be had: this file is read here, after the ones before it.
        while (!pipeline.Steps.empty() && !pipeline.Ended) {
            DeliverNext();
        }
    }
    LoadedFile loaded;
    if (!EvenIfItFails([&] { loaded = ReadOrReuse(entry, order, stored, WorkerContext()); })) {
        loaded = LoadedFile{};
        loaded.Stamp.Size = ListedSize(entry);
    }
    DeliverFile(file, loaded);
}

void TScanFilesThread::Queue(PendingFile file) {
    Pipeline& pipeline = *pipeline_;
    pipeline.Steps.emplace_back(std::move(file));
    ++pipeline.Files;
    while (pipeline.Files > pipeline.Window && !pipeline.Ended) {
        DeliverNext();
    }
}

void TScanFilesThread::Emit(PendingStep step) {
    Pipeline& pipeline = *pipeline_;
    pipeline.Steps.push_back(std::move(step));
    if (pipeline.Steps.size() == 1) {
        DeliverNext();
    }
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
                    // Only the status line is lost when it fails.
                    EvenIfItFails([&] { host_.ShowStatus(status.Text); });
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
            static_cast<PendingStep::variant&>(step));
        return;
    }
    if (file->Reused) {
        DeliverFile(*file, *file->Reused);
        pipeline.Ended = ShouldEndPass();
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
    if (!EvenIfItFails([&] { loaded = load.get(); })) {
        // Dropped before it started, or out of memory: the plain row.
        loaded = LoadedFile{};
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
    if (loaded.Row) {
        loaded.Row->RootLength = file.RootLength;
        if (loaded.StoredId) {
            fromCatalogue_.fetch_add(1, std::memory_order_relaxed);
        }
        if (EvenIfItFails([&] { AddRow(std::move(*loaded.Row), file.Walk, loaded.StoredId); })) {
            return;
        }
        // The list refused the row: the file gets its plain row instead.
    }
    AddPlainRow(file.Entry.path(), loaded.Stamp, file.RootLength, file.Walk);
}

void TScanFilesThread::AddPlainRow(const fs::path& path, const FileStamp& stamp,
                                   std::size_t rootLength, std::int64_t walk) {
    if (Terminated()) {
        return; // the host is going away: no row is wanted any more
    }
    EvenIfItFails([&] {
        FileRow row = MakePlainRow(PathToLocaleText(path.filename()), stamp.Size);
        row.Path = path;
        row.SetStamp(stamp);
        row.RootLength = rootLength;
        AddRow(std::move(row), walk);
    });
}

void TScanFilesThread::FinishScan() {
    Pipeline& pipeline = *pipeline_;
    if (pipeline.Loaders && ShouldEndPass()) {
        pipeline.Loaders->Abandon();
    }
    EvenIfItFails([&] {
        while (!pipeline.Steps.empty() && !pipeline.Ended && !Terminated()) {
            DeliverNext();
        }
    });
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

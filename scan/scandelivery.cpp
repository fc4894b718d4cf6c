// The ordered delivery: files read by the loaders, and the worker's other
// steps, handed to the host in the walk's order.
#include "localtext.h"
#include "scanparts.h"

namespace vidarium {
using namespace walkparts;

void TScanFilesThread::QueueFile(const fs::directory_entry& entry,
                                 std::span<const ReaderKind> order) {
    Pipeline& pipeline = *pipeline_;
    if (!pipeline.Loaders) {
        HandleFile(entry, order, rootLength_);
        return;
    }
    auto promise = std::make_shared<std::promise<LoadedFile>>();
    PendingFile pending{entry, order, rootLength_, promise->get_future()};
    LoaderPool::Task task = [promise, entry, order, allFormats = AllFormats,
                             hook = readHook_](Loader& loader) {
        try {
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
        HandleFile(entry, order, rootLength_);
        return;
    }
    pipeline.Steps.emplace_back(std::move(pending));
    ++pipeline.Files;
    while (pipeline.Files > pipeline.Window && !pipeline.Ended) {
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
                    try {
                        host_.ShowStatus(status.Text);
                    } catch (...) {
                        // Only the status line is lost.
                    }
                },
                [this](UnreadableFolder& folder) { host_.DirectoryUnreadable(folder.Path); },
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
    if (loaded.Unreadable) {
        host_.FileUnreadable(file->Entry.path(), loaded.Unreadable);
    }
    if (loaded.Row) {
        loaded.Row->RootLength = file->RootLength;
        try {
            host_.AddRow(std::move(*loaded.Row));
        } catch (...) {
            // The list refused the row: read the file again here, where the
            // next reader gets its turn.
            HandleFile(file->Entry, file->Order, file->RootLength);
        }
    } else {
        AddPlainRow(file->Entry.path(), loaded.Stamp, file->RootLength);
    }
    // A stop asked for during the row, or while it was awaited: nothing
    // after it comes.
    pipeline.Ended = ShouldEndPass();
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
}

} // namespace vidarium

// The walk: folders listed (ahead, on the loaders), their files offered to
// the readers, their subfolders entered, a folder on the walked path never
// entered again.
#include "localtext.h"
#include "platform.h"
#include "scanparts.h"
#include "scanworker.h"

#include <algorithm>

namespace vidarium {
using namespace walkparts;

namespace walkparts {

std::shared_ptr<Listing> Listing::Of(const std::string& directory, const Submit& submit,
                                     const std::shared_ptr<std::atomic<int>>& free) {
    auto listing = std::make_shared<Listing>();
    std::error_code error;
    fs::directory_iterator entries(fs::path(directory), error);
    if (error) {
        return listing;
    }
    listing->Listed = true;
    while (entries != fs::directory_iterator()) {
        if (listing->Entries.size() == kListingLimit) {
            return listing;
        }
        Entry entry{*entries, false, {}};
        std::error_code typeError;
        entry.Directory = entry.Item.is_directory(typeError);
        listing->Entries.push_back(std::move(entry));
        entries.increment(error);
        if (error) {
            listing->Whole = false;
            break;
        }
    }
    listing->Complete = true;
    if (!submit) {
        return listing;
    }
    for (Entry& entry : listing->Entries) {
        std::error_code typeError;
        // A link is left to the walk, which knows the directories on its path.
        if (!entry.Directory || entry.Item.is_symlink(typeError)) {
            continue;
        }
        entry.Ahead = Ahead(entry.Item.path().native() + kSeparator, submit, free);
        if (!entry.Ahead.valid()) {
            break;
        }
    }
    return listing;
}

std::future<std::shared_ptr<Listing>>
Listing::Ahead(const std::string& directory, const Submit& submit,
               const std::shared_ptr<std::atomic<int>>& free) {
    auto slot = std::make_shared<AheadSlot>(AheadSlot::TryTake(free));
    if (!*slot) {
        return {};
    }
    auto promise = std::make_shared<std::promise<std::shared_ptr<Listing>>>();
    std::future<std::shared_ptr<Listing>> ahead = promise->get_future();
    LoaderPool::Task task = [promise, slot, free, directory](Loader& loader) {
        FulfilOrFail(*promise, [&] {
            // A listing waits for its storage, as a read does.
            const StorageCall listingCall(&loader.StorageSince);
            std::shared_ptr<Listing> result = Of(
                directory, [&loader](LoaderPool::Task& next) { return loader.Submit(next); }, free);
            result->Slot = std::move(*slot);
            return result;
        });
    };
    if (!submit(task)) {
        return {};
    }
    return ahead;
}

} // namespace walkparts

std::shared_ptr<Listing> TScanFilesThread::ListHere(const std::string& directory) {
    Listing::Submit submit;
    if (pipeline_->Loaders) {
        submit = [this](LoaderPool::Task& task) { return pipeline_->Loaders->Submit(task); };
    }
    return Listing::Of(directory, submit, pipeline_->FreeListings);
}

void TScanFilesThread::ScanDirectory(std::string& directory,
                                     std::vector<DirectoryIdentity>& ancestors,
                                     std::shared_ptr<Listing> listing, std::uint64_t device) {
    Emit(StatusStep{PathToLocaleText(directory + "*")});
    if (!listing) {
        listing = ListHere(directory);
    }
    if (!listing->Listed) {
        Emit(UnreadableFolder{directory, walk_});
        return;
    }
    // Before its rows: the catalogue keeps with each where it was seen, and
    // forgets only files of a folder listed on their own file system.
    Emit(ListedFolder{directory, device, walk_});
    if (!listing->Whole) {
        Emit(UnreadableFolder{directory, walk_});
    }
    if (!listing->Complete) {
        listing.reset();
        if (!FilePass(directory)) {
            Emit(UnreadableFolder{directory, walk_});
        }
        if (!ShouldEndPass()) {
            DirectoryPass(directory, ancestors);
        }
        return;
    }
    // Files, not the folders beside them.
    filesSeen_.fetch_add(static_cast<std::uint64_t>(std::count_if(
                             listing->Entries.begin(), listing->Entries.end(),
                             [](const Listing::Entry& entry) { return !entry.Directory; })),
                         std::memory_order_relaxed);
    for (const Listing::Entry& entry : listing->Entries) {
        if (ShouldEndPass()) {
            return;
        }
        ConsiderEntry(entry.Item, entry.Directory);
    }
    if (ShouldEndPass()) {
        return;
    }
    // Only the subdirectories' names are kept while the walk goes below: a
    // listed entry holds its whole path, component by component, and a walk
    // that kept them would grow with the square of its depth.
    std::vector<Subdirectory> below;
    for (Listing::Entry& entry : listing->Entries) {
        if (!entry.Directory) {
            continue;
        }
        // Those not listed ahead when this folder was (the slots were taken)
        // are asked for now, while the walk is still above them.
        std::error_code typeError;
        if (!entry.Ahead.valid() && pipeline_->Loaders && !entry.Item.is_symlink(typeError)) {
            entry.Ahead = Listing::Ahead(
                entry.Item.path().native() + kSeparator,
                [this](LoaderPool::Task& task) { return pipeline_->Loaders->Submit(task); },
                pipeline_->FreeListings);
        }
        below.push_back({entry.Item.path().filename().native(), std::move(entry.Ahead)});
    }
    listing.reset();
    Subdirectories(directory, below, ancestors);
}

void TScanFilesThread::Enter(std::string& directory, std::vector<DirectoryIdentity>& ancestors,
                             std::shared_ptr<Listing> listing) {
    // A directory already on the path being walked (a link loop) is not
    // entered again.
    const auto identity = IdentifyDirectory(directory);
    if (!identity) {
        ScanDirectory(directory, ancestors, std::move(listing), 0);
    } else if (std::find(ancestors.begin(), ancestors.end(), *identity) == ancestors.end()) {
        ancestors.push_back(*identity);
        const LeavesPathOnExit leaving{ancestors};
        ScanDirectory(directory, ancestors, std::move(listing), identity->Device);
    }
}

void TScanFilesThread::Subdirectories(std::string& directory, std::vector<Subdirectory>& below,
                                      std::vector<DirectoryIdentity>& ancestors) {
    // A failure here ends this directory's directory pass only.
    EvenIfItFails([&] {
        // One path grows and shrinks with the walk, so that its memory grows
        // with the depth, not with its square.
        const std::size_t length = directory.size();
        const LeavesDirectoryOnExit restore{directory, length};
        for (Subdirectory& subdirectory : below) {
            std::shared_ptr<Listing> ahead;
            if (subdirectory.Ahead.valid()) {
                if (!Await(subdirectory.Ahead, *pipeline_->Loaders,
                           [this] { return ShouldEndPass(); })) {
                    break;
                }
                // Not listed ahead after all: the walk lists it.
                EvenIfItFails([&] { ahead = subdirectory.Ahead.get(); });
            }
            directory.resize(length);
            directory += subdirectory.Name;
            directory += kSeparator;
            std::string().swap(subdirectory.Name);
            Enter(directory, ancestors, std::move(ahead));
            if (ShouldEndPass()) {
                break;
            }
        }
    });
}

bool TScanFilesThread::FilePass(const std::string& directory) {
    // A failed enumeration ends this directory's file pass only.
    bool whole = false;
    EvenIfItFails([&] {
        std::error_code error;
        fs::directory_iterator entries(fs::path(directory), error);
        if (error) {
            return;
        }
        while (entries != fs::directory_iterator() && !ShouldEndPass()) {
            std::error_code typeError;
            // A symbolic link counts as what it points to.
            const bool isDirectory = entries->is_directory(typeError);
            filesSeen_.fetch_add(isDirectory ? 0 : 1, std::memory_order_relaxed);
            ConsiderEntry(*entries, isDirectory);
            entries.increment(error);
            if (error) {
                return;
            }
        }
        whole = true;
    });
    return whole;
}

void TScanFilesThread::ConsiderEntry(const fs::directory_entry& entry, bool directory) {
    if (directory) {
        return;
    }
    const std::string extension = LowerCaseExtension(ExtensionOf(entry.path().filename().native()));
    if (IsListedExtension(extension, AllFormats)) {
        QueueFile(entry, ReaderOrderFor(extension));
    }
}

void TScanFilesThread::DirectoryPass(std::string& directory,
                                     std::vector<DirectoryIdentity>& ancestors) {
    // A failure here ends this directory's directory pass only.
    EvenIfItFails([&] {
        // The names of the subdirectories are read first and the listing
        // closed before any of them is walked: a walk of any depth holds one
        // open directory at a time.
        std::vector<std::string> subdirectories;
        {
            std::error_code error;
            fs::directory_iterator entries(fs::path(directory), error);
            if (error) {
                return;
            }
            for (; entries != fs::directory_iterator(); entries.increment(error)) {
                if (error) {
                    break;
                }
                const fs::directory_entry& entry = *entries;
                std::error_code typeError;
                std::string name = entry.path().filename().native();
                if (entry.is_directory(typeError) && name != "." && name != "..") {
                    subdirectories.push_back(std::move(name));
                }
            }
        }
        const std::size_t length = directory.size();
        const LeavesDirectoryOnExit restore{directory, length};
        for (std::string& name : subdirectories) {
            directory.resize(length);
            directory += name;
            directory += kSeparator;
            std::string().swap(name);
            Enter(directory, ancestors, nullptr);
            if (ShouldEndPass()) {
                break;
            }
        }
    });
}

} // namespace vidarium

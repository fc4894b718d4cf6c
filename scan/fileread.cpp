// One listed file read: opened once for all the readers of its order, its
// row or its plain row handed on.
#include "localtext.h"
#include "scanparts.h"

#include <cerrno>

namespace vidarium {
using namespace walkparts;

namespace walkparts {

// A read of a file's bytes, seen by the read hook first.
class HookedSource final : public ByteSource {
public:
    HookedSource(ByteSource& source, const TScanFilesThread::ReadHook& hook, const fs::path& path)
        : source_(source), hook_(hook), path_(path) {}
    std::int64_t Size() override { return source_.Size(); }
    std::int64_t Position() const override { return source_.Position(); }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        hook_(path_);
        return source_.Read(buffer);
    }
    std::int64_t Seek(std::int64_t position) override { return source_.Seek(position); }
    std::uint64_t BytesFetched() const override { return source_.BytesFetched(); }

private:
    ByteSource& source_;
    const TScanFilesThread::ReadHook& hook_;
    const fs::path& path_;
};

// The size of a file that was not opened; a link that leads nowhere counts
// as a file of size 0.
std::uint64_t ListedSize(const fs::directory_entry& entry) {
    std::error_code error;
    const std::uintmax_t size = entry.file_size(error);
    return error ? 0 : size;
}

// Opens a listed file and reads it with the readers of its order; `add`
// gets a reader's row and may raise (the next reader then gets its turn).
FileRead ReadListedFile(ReaderSet& readers, FileSource& file, const fs::directory_entry& entry,
                        std::span<const ReaderKind> order, bool allFormats,
                        const std::atomic<bool>& stop, const TScanFilesThread::ReadHook& hook,
                        const std::function<void(FileRow)>& add) {
    // Whether it is a regular file is known from the listing (or, for a
    // link, the one lookup of its target), so the open does not look it up
    // again; its size comes from the open file. A file that cannot be opened
    // is refused by every reader.
    const fs::path& path = entry.path();
    std::error_code typeError;
    const bool regular = entry.is_regular_file(typeError);
    errno = 0;
    const bool opened = regular && file.Open(path, /*knownRegular=*/true);
    FileRead result;
    if (opened) {
        result.Stamp = {static_cast<std::uint64_t>(file.Size()), file.ModifiedNs(), file.Inode()};
    } else {
        if (regular) {
            // No access, or a path longer than the system takes.
            result.Unreadable = std::error_code(errno, std::generic_category());
        }
        result.Stamp.Size = ListedSize(entry);
        return result;
    }
    struct ClosesOnExit {
        FileSource& file;
        ReaderSet& readers;
        ~ClosesOnExit() {
            file.Close();
            readers.ReleaseHeldMemory();
        }
    } const closing{file, readers};
    const std::function<std::string()> caption = [&] { return PathToLocaleText(path.filename()); };
    const FileFacts facts{path, caption, result.Stamp.Size};
    const std::function<void(FileRow)> stamped = [&](FileRow row) {
        row.ModifiedNs = result.Stamp.ModifiedNs;
        row.Inode = result.Stamp.Inode;
        add(std::move(row));
    };
    if (hook) {
        HookedSource hooked(file, hook, path);
        result.RowAdded = AddReaderRow(readers, hooked, facts, order, allFormats, stop, stamped);
    } else {
        result.RowAdded = AddReaderRow(readers, file, facts, order, allFormats, stop, stamped);
    }
    return result;
}

} // namespace walkparts

void TScanFilesThread::HandleFile(const fs::directory_entry& entry,
                                  std::span<const ReaderKind> order, std::size_t rootLength,
                                  std::int64_t walk) {
    // A reader that raises its error, or whose row cannot be added, counts as
    // having refused the file: the next reader gets its turn, and the file
    // still gets its plain row.
    const FileRead read = ReadListedFile(*Readers, *file_, entry, order, AllFormats, StopRequested,
                                         readHook_, [this, rootLength, walk](FileRow row) {
                                             row.RootLength = rootLength;
                                             AddRow(std::move(row), walk);
                                         });
    if (read.Unreadable) {
        host_.FileUnreadable(entry.path(), read.Unreadable);
    }
    if (!read.RowAdded) {
        AddPlainRow(entry.path(), read.Stamp, rootLength, walk);
    }
}

void TScanFilesThread::AddPlainRow(const fs::path& path, const FileStamp& stamp,
                                   std::size_t rootLength, std::int64_t walk) {
    if (Terminated()) {
        return; // the host is going away: no row is wanted any more
    }
    try {
        FileRow row = MakePlainRow(PathToLocaleText(path.filename()), stamp.Size);
        row.Path = path;
        row.SetStamp(stamp);
        row.RootLength = rootLength;
        AddRow(std::move(row), walk);
    } catch (...) {
    }
}

} // namespace vidarium

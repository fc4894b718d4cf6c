// One listed file's row: its stored row when the file is unchanged, else a
// read, opened once for all the readers of its order.
#include "fileread.h"

#include "bytesource.h"
#include "filenames.h"
#include "localtext.h"
#include "platform.h"
#include "readerset.h"

#include <cerrno>

namespace vidarium {

namespace fs = std::filesystem;

namespace {

// A read of a file's bytes, seen by the read hook first.
class HookedSource final : public ByteSource {
public:
    HookedSource(ByteSource& source, const ReadHook& hook, const fs::path& path)
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
    const ReadHook& hook_;
    const fs::path& path_;
};

// The hook as the thread's storage: on a loader its time is a wait for the
// storage, as a read's is.
void RunHook(const ReadContext& context, const fs::path& path) {
    if (context.Hook) {
        const StorageCall call(context.StorageSince);
        context.Hook(path);
    }
}

// Opens a listed file and reads it with the readers of its order: the first
// row a reader gives, or what the plain row needs.
LoadedFile ReadListedFile(const fs::directory_entry& entry, std::span<const ReaderKind> order,
                          const ReadContext& context) {
    // Whether it is a regular file is known from the listing (or, for a
    // link, the one lookup of its target), so the open does not look it up
    // again; its size comes from the open file. A file that cannot be opened
    // is refused by every reader.
    const fs::path& path = entry.path();
    std::error_code typeError;
    const bool regular = entry.is_regular_file(typeError);
    errno = 0;
    FileSource& file = context.File;
    LoadedFile result;
    if (!regular || !file.Open(path, /*knownRegular=*/true)) {
        if (regular) {
            // No access, or a path longer than the system takes.
            result.Unreadable = std::error_code(errno, std::generic_category());
        }
        result.Stamp.Size = ListedSize(entry);
        return result;
    }
    result.Stamp = {static_cast<std::uint64_t>(file.Size()), file.ModifiedNs(), file.Inode()};
    struct ClosesOnExit {
        FileSource& file;
        ReaderSet& readers;
        ~ClosesOnExit() {
            file.Close();
            readers.ReleaseHeldMemory();
        }
    } const closing{file, context.Readers};
    const std::function<std::string()> caption = [&] { return PathToLocaleText(path.filename()); };
    const FileFacts facts{path, caption, result.Stamp.Size};
    const std::function<void(FileRow)> keep = [&](FileRow row) {
        row.ModifiedNs = result.Stamp.ModifiedNs;
        row.Inode = result.Stamp.Inode;
        result.Row = std::move(row);
    };
    if (context.Hook) {
        const ReadHook marked = [&context](const fs::path& read) { RunHook(context, read); };
        HookedSource hooked(file, marked, path);
        AddReaderRow(context.Readers, hooked, facts, order, context.AllFormats, context.Stop, keep);
    } else {
        AddReaderRow(context.Readers, file, facts, order, context.AllFormats, context.Stop, keep);
    }
    if (result.Row) {
        result.Row->HeadHash = file.HeadHash();
        result.Row->TailHash = file.TailHash();
    }
    return result;
}

} // namespace

std::uint64_t ListedSize(const fs::directory_entry& entry) {
    std::error_code error;
    const std::uintmax_t size = entry.file_size(error);
    return error ? 0 : size;
}

std::optional<LoadedFile> ReuseIfUnchanged(const fs::directory_entry& entry,
                                           const StoredEntry& stored, const ReadContext& context,
                                           LookTime& took) {
    const fs::path& path = entry.path();
    // One look at the file instead of a read: on a share it waits as long
    // as an open does.
    const auto start = std::chrono::steady_clock::now();
    std::optional<FileStamp> now;
    {
        const StorageCall call(context.StorageSince);
        if (context.Hook) {
            context.Hook(path);
        }
        now = StampNow(path);
    }
    took = std::chrono::steady_clock::now() - start;
    if (!now || *now != stored.Stamp || context.Decode == nullptr) {
        return std::nullopt;
    }
    std::optional<FileRow> row = context.Decode(stored);
    // A stored row no reader of this file could have made is not believed.
    if (!row ||
        !SourceCanMake(row->Source, LowerCaseExtension(ExtensionOf(path.filename().native())),
                       context.AllFormats)) {
        return std::nullopt;
    }
    // The name as this run's locale shows it; the rest as it was read.
    row->Caption = PathToLocaleText(path.filename());
    row->Path = path;
    LoadedFile reused;
    reused.Row = std::move(row);
    reused.StoredId = stored.Id;
    reused.Stamp = *now;
    reused.StampTime = took;
    return reused;
}

LoadedFile ReadOrReuse(const fs::directory_entry& entry, std::span<const ReaderKind> order,
                       const std::optional<StoredEntry>& stored, const ReadContext& context) {
    if (stored) {
        LookTime took{0};
        if (std::optional<LoadedFile> reused = ReuseIfUnchanged(entry, *stored, context, took)) {
            return std::move(*reused);
        }
    }
    return ReadListedFile(entry, order, context);
}

} // namespace vidarium

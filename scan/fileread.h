// One listed file's row: the one place that decides between the row a
// catalogue kept and a read, run alike by a loader and by the worker.
// Private to scan/.
#pragma once

#include "filerow.h"
#include "readertable.h"
#include "rowcatalogue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <system_error>

namespace vidarium {

class FileSource;
class ReaderSet;

// Runs before each read of a file's bytes and each look at a catalogued
// file's stamp, on the thread that makes it: it stands for storage that
// tests slow down.
using ReadHook = std::function<void(const std::filesystem::path&)>;

using LookTime = std::chrono::duration<double, std::micro>;

// What a file's row is made with, on the thread that makes it.
struct ReadContext {
    ReaderSet& Readers;
    FileSource& File;
    const std::atomic<bool>& Stop;
    const ReadHook& Hook;
    bool AllFormats = false;
    // Reads the stored rows back (null: no catalogue).
    RowDecoder Decode = nullptr;
    // A loader's mark of its calls to storage (null on the worker's thread).
    std::atomic<std::int64_t>* StorageSince = nullptr;
};

// A file's outcome: a reader's row or its stored row, else what its plain
// row needs.
struct LoadedFile {
    std::optional<FileRow> Row;
    // The row is the catalogue's entry of this id, its stamp unchanged.
    std::optional<std::int64_t> StoredId;
    // How long the look at its stamp took (0: not looked at).
    LookTime StampTime{0};
    FileStamp Stamp;
    // Listed as a regular file, yet it could not be opened.
    std::error_code Unreadable;
};

// A catalogued file whose stamp still matches its entry: the stored row,
// named as this run shows it, when a reader of this file could have made
// it. Nothing when the file changed or the row is not believed (the file
// is then read). `took`: how long the look took.
std::optional<LoadedFile> ReuseIfUnchanged(const std::filesystem::directory_entry& entry,
                                           const StoredEntry& stored, const ReadContext& context,
                                           LookTime& took);

// The row of a listed file: its stored one when unchanged, else a read by
// the readers of its order.
LoadedFile ReadOrReuse(const std::filesystem::directory_entry& entry,
                       std::span<const ReaderKind> order, const std::optional<StoredEntry>& stored,
                       const ReadContext& context);

// The size of a file that was not opened; a link that leads nowhere counts
// as a file of size 0.
std::uint64_t ListedSize(const std::filesystem::directory_entry& entry);

} // namespace vidarium

// The few operating-system calls the scan needs beyond the standard library.
#pragma once

#include "filerow.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace vidarium {

// Device and inode of a directory, following symbolic links.
struct DirectoryIdentity {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    friend bool operator==(const DirectoryIdentity&, const DirectoryIdentity&) = default;
};

// The directory is named by its native text: a path object would split a
// deep path into its components at every level of the walk.
std::optional<DirectoryIdentity>
IdentifyDirectory(const std::filesystem::path::string_type& directory);

// A file's stamp as it is now, following a link; nothing when it is not a
// regular file or cannot be looked up. One call to the storage.
std::optional<FileStamp> StampNow(const std::filesystem::path& path);

// Runs the calling thread one step below normal priority, where allowed.
void LowerCurrentThreadPriority();

// Asks the allocator to keep the memory a file's read frees for the next
// file's, once for the process.
void KeepFreedMemoryForReuse();

} // namespace vidarium

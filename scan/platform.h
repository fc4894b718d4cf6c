// The few operating-system calls the scan needs beyond the standard library.
#pragma once

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

// Runs the calling thread one step below normal priority, where allowed.
void LowerCurrentThreadPriority();

} // namespace vidarium

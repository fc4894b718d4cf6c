#include "platform.h"

#include "bytesource.h"

#include <algorithm>
#include <cerrno>
#include <mutex>

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidarium {

std::optional<DirectoryIdentity>
IdentifyDirectory(const std::filesystem::path::string_type& directory) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return DirectoryIdentity{static_cast<std::uint64_t>(status.st_dev),
                             static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<FileStamp> StampNow(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileStamp{static_cast<std::uint64_t>(status.st_size), ModifiedNsOf(status),
                     static_cast<std::uint64_t>(status.st_ino)};
}

void LowerCurrentThreadPriority() {
#if defined(__linux__)
    // On Linux the nice value belongs to the thread, so this leaves the
    // window's thread alone.
    const auto self = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
        ::setpriority(PRIO_PROCESS, self, current + 1);
    }
#endif
}

void KeepFreedMemoryForReuse() {
#if defined(__GLIBC__)
    // Every read allocates windows of 64 KiB to 1 MiB and frees them at its
    // end. By default glibc hands a block past 128 KiB back to the system at
    // each free, and trims a thread's heap as soon as 128 KiB lie free at
    // its top; the next file then faults every page in again, which cost a
    // scan of modern files (a window at each end) more than its reads did.
    // Now up to 2 MiB stay free at the top of each thread's heap.
    static std::once_flag once;
    std::call_once(once, [] {
        constexpr int kKeptBlock = 1 << 20;
        constexpr int kKeptFree = 2 << 20;
        mallopt(M_MMAP_THRESHOLD, kKeptBlock);
        mallopt(M_TRIM_THRESHOLD, kKeptFree);
    });
#endif
}

} // namespace vidarium

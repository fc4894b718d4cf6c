#include "platform.h"

#include "bytesource.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
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

} // namespace vidarium

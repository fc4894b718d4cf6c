#include "platform.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidarium {

std::optional<DirectoryIdentity> IdentifyDirectory(const std::filesystem::path& directory) {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return DirectoryIdentity{static_cast<std::uint64_t>(status.st_dev),
                             static_cast<std::uint64_t>(status.st_ino)};
}

void AdviseHeadAndTail(const std::filesystem::path& file, std::size_t head, std::size_t tail) {
#if defined(POSIX_FADV_WILLNEED)
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        const auto headLength = static_cast<off_t>(head);
        const auto tailLength = std::min(static_cast<off_t>(tail), status.st_size);
        ::posix_fadvise(descriptor, 0, headLength, POSIX_FADV_WILLNEED);
        if (status.st_size - tailLength > headLength) {
            ::posix_fadvise(descriptor, status.st_size - tailLength, tailLength,
                            POSIX_FADV_WILLNEED);
        }
    }
    ::close(descriptor);
#else
    (void)file;
    (void)head;
    (void)tail;
#endif
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

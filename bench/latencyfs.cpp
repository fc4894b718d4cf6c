// A network share on this machine: a read-only view of SRC that answers each
// open, read and directory listing after DELAY_US microseconds (environment,
// default 1000), as a share answers after a round trip; with DELAY_ATTRIBUTES=1
// each look-up of a file's attributes waits too. Pages stay cached
// between opens, as NFS keeps them (close-to-open). Answers requests on
// several threads, so that requests in flight overlap their waits.
//   latencyfs SRC MOUNTPOINT [FUSE OPTIONS]
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string source;
useconds_t delay = 1000;
bool delayAttributes = false;

std::string Under(const char* path) {
    return source + path;
}

int GetAttributes(const char* path, struct stat* status, fuse_file_info*) {
    if (delayAttributes) {
        ::usleep(delay);
    }
    return ::lstat(Under(path).c_str(), status) == -1 ? -errno : 0;
}

int ReadDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
    ::usleep(delay);
    DIR* directory = ::opendir(Under(path).c_str());
    if (directory == nullptr) {
        return -errno;
    }
    while (const dirent* entry = ::readdir(directory)) {
        struct stat status {};
        status.st_ino = entry->d_ino;
        status.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) {
            break;
        }
    }
    ::closedir(directory);
    return 0;
}

int Open(const char* path, fuse_file_info* file) {
    file->keep_cache = 1;
    if ((file->flags & O_ACCMODE) != O_RDONLY) {
        return -EROFS;
    }
    ::usleep(delay);
    const int descriptor = ::open(Under(path).c_str(), file->flags);
    if (descriptor == -1) {
        return -errno;
    }
    file->fh = static_cast<std::uint64_t>(descriptor);
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    ::usleep(delay);
    const ssize_t count = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return count == -1 ? -errno : static_cast<int>(count);
}

// The source's inode numbers, as a share's are stable across mounts.
void* Init(fuse_conn_info*, fuse_config* config) {
    config->use_ino = 1;
    return nullptr;
}

int Release(const char*, fuse_file_info* file) {
    ::close(static_cast<int>(file->fh));
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fputs("usage: latencyfs SRC MOUNTPOINT [FUSE OPTIONS]\n", stderr);
        return 2;
    }
    char* real = ::realpath(argv[1], nullptr);
    if (real == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    source = real;
    std::free(real);
    if (const char* text = std::getenv("DELAY_US")) {
        delay = static_cast<useconds_t>(std::strtoul(text, nullptr, 10));
    }
    if (const char* text = std::getenv("DELAY_ATTRIBUTES")) {
        delayAttributes = std::strcmp(text, "1") == 0;
    }
    fuse_operations operations{};
    operations.getattr = GetAttributes;
    operations.readdir = ReadDirectory;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    operations.init = Init;
    argv[1] = argv[0];
    return fuse_main(argc - 1, argv + 1, &operations, nullptr);
}

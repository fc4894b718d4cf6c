// The bound a header-only scan cannot beat: walk the tree, and for every file
// open it, read 64 bytes at its start and 64 at its end, close it. One file at
// a time, or with N files in flight on N threads.
//   bare_io DIR [N]
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void ReadEnds(const fs::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    char bytes[64];
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        (void)!::pread(descriptor, bytes, sizeof bytes, 0);
        if (status.st_size > 64) {
            (void)!::pread(descriptor, bytes, sizeof bytes, status.st_size - 64);
        }
    }
    ::close(descriptor);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: bare_io DIR [FILES-IN-FLIGHT]\n", stderr);
        return 2;
    }
    const std::size_t inFlight = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    std::vector<fs::path> files;
    std::size_t done = 0;
    for (const auto& entry : fs::recursive_directory_iterator(argv[1])) {
        if (entry.is_regular_file()) {
            if (inFlight <= 1) {
                ReadEnds(entry.path());
                ++done;
            } else {
                files.push_back(entry.path());
            }
        }
    }
    if (inFlight > 1) {
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < inFlight; ++i) {
            threads.emplace_back([&] {
                for (std::size_t at = next++; at < files.size(); at = next++) {
                    ReadEnds(files[at]);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        done = files.size();
    }
    std::printf("%zu files\n", done);
    return 0;
}

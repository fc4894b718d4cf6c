#include "bytesource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidarium {
namespace {

std::atomic<std::uint64_t> opens{0};
std::atomic<std::uint64_t> readCalls{0};
std::atomic<std::uint64_t> bytesRead{0};

} // namespace

FileActivity FileSource::Activity() {
    return {opens.load(std::memory_order_relaxed), readCalls.load(std::memory_order_relaxed),
            bytesRead.load(std::memory_order_relaxed)};
}

bool FileSource::Open(const std::filesystem::path& path) {
    Close();
    // Only regular files: a device is not even opened (opening some has side
    // effects), and O_NONBLOCK keeps a FIFO that appears meanwhile from
    // stalling the scan; fstat below checks what was really opened.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) {
        return false;
    }
    const int descriptor =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); // NOLINT
    if (descriptor < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return false;
    }
    descriptor_ = descriptor;
    position_ = 0;
    opens.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void FileSource::Close() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    position_ = 0;
}

std::int64_t FileSource::Size() {
    struct stat status {};
    if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

std::size_t FileSource::Read(std::span<std::uint8_t> buffer) {
    std::size_t total = 0;
    while (descriptor_ >= 0 && total < buffer.size()) {
        const ssize_t count = ::pread(descriptor_, buffer.data() + total, buffer.size() - total,
                                      static_cast<off_t>(position_));
        readCalls.fetch_add(1, std::memory_order_relaxed);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break; // end of file, or a failed read: what arrived so far counts
        }
        total += static_cast<std::size_t>(count);
        position_ += count;
        bytesRead.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
    }
    return total;
}

std::int64_t FileSource::Seek(std::int64_t position) {
    if (descriptor_ < 0 || position < 0) {
        return -1;
    }
    position_ = position;
    return position_;
}

std::size_t MemorySource::Read(std::span<std::uint8_t> buffer) {
    const auto size = static_cast<std::int64_t>(bytes_.size());
    if (position_ >= size) {
        return 0;
    }
    const auto count = static_cast<std::size_t>(
        std::min<std::int64_t>(size - position_, static_cast<std::int64_t>(buffer.size())));
    std::memcpy(buffer.data(), bytes_.data() + position_, count);
    position_ += static_cast<std::int64_t>(count);
    return count;
}

std::int64_t MemorySource::Seek(std::int64_t position) {
    if (position < 0) {
        return -1;
    }
    position_ = position;
    return position_;
}

} // namespace vidarium

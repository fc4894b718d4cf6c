#include "bytesource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

namespace vidarium {
namespace {

std::atomic<std::uint64_t> opens{0};
std::atomic<std::uint64_t> readCalls{0};
std::atomic<std::uint64_t> bytesRead{0};

} // namespace

StorageCall::StorageCall(std::atomic<std::int64_t>* since) : since_(since) {
    if (since_ != nullptr) {
        since_->store(Now(), std::memory_order_relaxed);
    }
}

StorageCall::~StorageCall() {
    if (since_ != nullptr) {
        since_->store(0, std::memory_order_relaxed);
    }
}

std::int64_t StorageCall::Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FileActivity FileSource::Activity() {
    return {opens.load(std::memory_order_relaxed), readCalls.load(std::memory_order_relaxed),
            bytesRead.load(std::memory_order_relaxed)};
}

std::int64_t ModifiedNsOf(const struct stat& status) {
    // Times past the year 2262 do not fit: they count as unknown.
    std::int64_t nanoseconds = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(status.st_mtim.tv_sec), 1'000'000'000,
                               &nanoseconds) ||
        __builtin_add_overflow(nanoseconds, static_cast<std::int64_t>(status.st_mtim.tv_nsec),
                               &nanoseconds)) {
        return 0;
    }
    return nanoseconds;
}

bool FileSource::Open(const std::filesystem::path& path, bool knownRegular) {
    Close();
    const StorageCall call(storageSince_);
    // Only regular files: a device is not even opened (opening some has side
    // effects), and O_NONBLOCK keeps a FIFO that appears meanwhile from
    // stalling the scan; fstat below checks what was really opened.
    if (!knownRegular) {
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) {
            return false;
        }
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
#if defined(POSIX_FADV_RANDOM)
    // A few header bytes here and there: no read-ahead of megabytes.
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_RANDOM);
#endif
    descriptor_ = descriptor;
    position_ = 0;
    fetched_ = 0;
    size_ = static_cast<std::int64_t>(status.st_size);
    modifiedNs_ = ModifiedNsOf(status);
    inode_ = static_cast<std::uint64_t>(status.st_ino);
    opens.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void FileSource::Close() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    position_ = 0;
    size_ = 0;
    modifiedNs_ = 0;
    inode_ = 0;
    headHash_.reset();
    tailHash_.reset();
    head_.Length = 0;
    other_.Length = 0;
}

std::size_t FileSource::ReadAt(std::int64_t position, std::span<std::uint8_t> buffer) {
    std::size_t total = 0;
    const StorageCall call(storageSince_);
    while (descriptor_ >= 0 && total < buffer.size()) {
        const ssize_t count =
            ::pread(descriptor_, buffer.data() + total, buffer.size() - total,
                    static_cast<off_t>(position + static_cast<std::int64_t>(total)));
        readCalls.fetch_add(1, std::memory_order_relaxed);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break; // end of file, or a failed read: what arrived so far counts
        }
        total += static_cast<std::size_t>(count);
        fetched_ += static_cast<std::uint64_t>(count);
        bytesRead.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
    }
    Fingerprint(position, buffer.first(total));
    return total;
}

void FileSource::Fingerprint(std::int64_t position, std::span<const std::uint8_t> bytes) {
    const auto block = static_cast<std::int64_t>(kBlockSize);
    const std::int64_t end = position + static_cast<std::int64_t>(bytes.size());
    if (!headHash_ && position == 0 && end >= std::min(size_, block)) {
        headHash_ = XXH64(bytes.data(), static_cast<std::size_t>(std::min(size_, block)), 0);
    }
    // A file of one block has no other: its head says it all.
    const std::int64_t tailStart = size_ - block;
    if (!tailHash_ && tailStart > 0 && position <= tailStart && end >= size_) {
        tailHash_ = XXH64(bytes.data() + (tailStart - position), kBlockSize, 0);
    }
}

const FileSource::Block* FileSource::CachedBlockAt(std::int64_t position) const {
    for (const Block* block : {&head_, &other_}) {
        if (block->Length > 0 && position >= block->Start &&
            position - block->Start < static_cast<std::int64_t>(block->Length)) {
            return block;
        }
    }
    return nullptr;
}

const FileSource::Block* FileSource::ReadBlockAt(std::int64_t position) {
    Block& block = position == 0 ? head_ : other_;
    if (!block.Bytes) {
        block.Bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
    }
    block.Start = position;
    block.Length = ReadAt(position, {block.Bytes.get(), kBlockSize});
    return block.Length > 0 ? &block : nullptr;
}

std::size_t FileSource::Read(std::span<std::uint8_t> buffer) {
    std::size_t total = 0;
    while (total < buffer.size()) {
        const std::span<std::uint8_t> rest = buffer.subspan(total);
        const Block* block = CachedBlockAt(position_);
        if (block == nullptr && rest.size() >= kBlockSize) {
            const std::size_t count = ReadAt(position_, rest);
            total += count;
            position_ += static_cast<std::int64_t>(count);
            break;
        }
        if (block == nullptr) {
            block = ReadBlockAt(position_);
            if (block == nullptr) {
                break;
            }
        }
        const auto offset = static_cast<std::size_t>(position_ - block->Start);
        const std::size_t count = std::min(rest.size(), block->Length - offset);
        std::memcpy(rest.data(), block->Bytes.get() + offset, count);
        total += count;
        position_ += static_cast<std::int64_t>(count);
        if (offset + count == block->Length && block->Length < kBlockSize) {
            break; // the block ended where the file did
        }
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
    if (position_ >= size || buffer.empty()) {
        return 0;
    }
    const auto count = static_cast<std::size_t>(
        std::min<std::int64_t>(size - position_, static_cast<std::int64_t>(buffer.size())));
    std::memcpy(buffer.data(), bytes_.data() + position_, count);
    position_ += static_cast<std::int64_t>(count);
    fetched_ += count;
    return count;
}

std::int64_t MemorySource::Seek(std::int64_t position) {
    if (position < 0) {
        return -1;
    }
    position_ = position;
    return position_;
}

std::vector<std::uint8_t> ReadBytesAt(ByteSource& source, std::int64_t position,
                                      std::size_t length) {
    if (source.Seek(position) != position) {
        return {};
    }
    std::vector<std::uint8_t> bytes(length);
    bytes.resize(source.Read(bytes));
    return bytes;
}

bool GrowForward(ByteSource& source, FileWindow& window, std::size_t length) {
    const std::size_t have = window.Bytes.size();
    const std::int64_t at = window.Start + static_cast<std::int64_t>(have);
    const std::int64_t left = source.Size() - at;
    if (length <= have || left <= 0 || source.Seek(at) != at) {
        return false;
    }
    // Read in place: the bytes are copied once, from the file.
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(length - have), left));
    window.Bytes.resize(have + wanted);
    const std::size_t got = source.Read(std::span(window.Bytes).subspan(have));
    window.Bytes.resize(have + got);
    return got > 0;
}

bool GrowBackward(ByteSource& source, FileWindow& window, std::size_t length, std::int64_t floor) {
    const std::size_t have = window.Bytes.size();
    const std::int64_t room = window.Start - floor;
    if (length <= have || room <= 0) {
        return false;
    }
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(length - have), room));
    const std::int64_t start = window.Start - static_cast<std::int64_t>(wanted);
    if (source.Seek(start) != start) {
        return false;
    }
    // The new bytes are read into the front of the grown window, and the
    // ones it held copied once behind them.
    std::vector<std::uint8_t> grown(wanted + have);
    if (source.Read(std::span(grown).first(wanted)) != wanted) {
        return false;
    }
    std::copy(window.Bytes.begin(), window.Bytes.end(),
              grown.begin() + static_cast<std::ptrdiff_t>(wanted));
    window = {std::move(grown), start};
    return true;
}

} // namespace vidarium

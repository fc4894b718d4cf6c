// The file layer the readers read through: a file opened read-only by path,
// or bytes in memory for tests and fuzzing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct stat;

namespace vidarium {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Current size in bytes (a file may grow or shrink while it is read).
    virtual std::int64_t Size() = 0;
    virtual std::int64_t Position() const = 0;
    // Reads up to buffer.size() bytes at the position and advances past them.
    // Returns the count read; a failed read delivers 0.
    virtual std::size_t Read(std::span<std::uint8_t> buffer) = 0;
    // Moves to an absolute position and returns the position reached, or -1
    // when the target is refused (negative) and the position is unchanged.
    virtual std::int64_t Seek(std::int64_t position) = 0;
    // Bytes taken from the storage since the source was opened: what its
    // reads really cost, blocks included.
    virtual std::uint64_t BytesFetched() const = 0;
};

// Up to `length` bytes from `position` (the caller bounds the length):
// fewer where the file ends, none where the position is refused.
std::vector<std::uint8_t> ReadBytesAt(ByteSource& source, std::int64_t position,
                                      std::size_t length);

// A stretch of a file held in memory, for the windows that readers grow at
// a file's start or end: its bytes and where they start.
struct FileWindow {
    std::vector<std::uint8_t> Bytes;
    std::int64_t Start = 0;
};

// Grows `window` to `length` bytes, reading only the bytes it lacks: after
// its end, or (GrowBackward) before its start, never before `floor`. False
// when it gained nothing (the file or the floor reached, a failed read).
bool GrowForward(ByteSource& source, FileWindow& window, std::size_t length);
bool GrowBackward(ByteSource& source, FileWindow& window, std::size_t length,
                  std::int64_t floor = 0);

// The search of a file's end for what a reader needs there (the last
// timestamp, the last page, the last fragment): a window at the end grown
// fourfold from `first` bytes to `largest`, never before `floor`, each
// growth reading only the bytes it lacks, until `found(window, added)` (the
// whole window, and how many bytes at its front are new) says it holds what
// is sought. False when the window could grow no more without it.
template <typename Found>
bool SearchTail(ByteSource& source, std::size_t first, std::size_t largest, Found&& found,
                std::int64_t floor = 0) {
    FileWindow window{{}, source.Size()};
    for (std::size_t length = first;; length = std::min(length * 4, largest)) {
        const std::size_t had = window.Bytes.size();
        if (!GrowBackward(source, window, length, floor)) {
            return false;
        }
        if (found(static_cast<const FileWindow&>(window), window.Bytes.size() - had)) {
            return true;
        }
        if (window.Start <= floor || length == largest) {
            return false;
        }
    }
}

// Marks, for as long as it lives, when a call to the storage began (steady
// clock nanoseconds, 0 when none runs): a load inside such a call waits for
// its disk or share, a load outside one computes.
class StorageCall {
public:
    explicit StorageCall(std::atomic<std::int64_t>* since);
    ~StorageCall();
    StorageCall(const StorageCall&) = delete;
    StorageCall& operator=(const StorageCall&) = delete;

    // The steady clock's time in nanoseconds, as the mark holds it.
    static std::int64_t Now();

private:
    std::atomic<std::int64_t>* since_;
};

// What every FileSource of the process has done so far.
struct FileActivity {
    std::uint64_t Opens = 0;
    std::uint64_t ReadCalls = 0;
    std::uint64_t BytesRead = 0;
};

// A file's modification time in nanoseconds since 1970 (0 when it does not
// fit).
std::int64_t ModifiedNsOf(const struct ::stat& status);

// A regular file, opened read-only without blocking. Closed when destroyed.
//
// Headers are read a few bytes at a time, so reads are served from blocks:
// the block at the start of the file, and the block where the walk last
// went (the AVI index at the end, a QuickTime movie header after its media
// data). A read of a block or more goes straight to the file. One source can
// be opened again and again: its blocks are allocated once.
class FileSource final : public ByteSource {
public:
    static constexpr std::size_t kBlockSize = std::size_t{16} * 1024;

    static FileActivity Activity();

    // Returns false when the path does not name a regular file that can be
    // opened for reading (missing, no access, FIFO, socket, device, directory).
    // `knownRegular`: the caller's directory listing already says it is a
    // regular file, so it is not looked up before it is opened.
    bool Open(const std::filesystem::path& path, bool knownRegular = false);
    // Where the opens and reads mark their calls to the storage (or nullptr).
    void MarkStorageCalls(std::atomic<std::int64_t>* since) { storageSince_ = since; }
    void Close();
    bool IsOpen() const { return descriptor_ >= 0; }

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() override { Close(); }

    // The size when the file was opened.
    std::int64_t Size() override { return size_; }
    // When the open file was last changed (nanoseconds since 1970) and its
    // inode: with the size, what tells a changed file from the one read.
    std::int64_t ModifiedNs() const { return modifiedNs_; }
    std::uint64_t Inode() const { return inode_; }
    std::int64_t Position() const override { return position_; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::int64_t Seek(std::int64_t position) override;
    std::uint64_t BytesFetched() const override { return fetched_; }

    // Fingerprints (xxHash64) of bytes this open read anyway: the file's
    // first block (all of a smaller file) and its last block, each once a
    // read held it whole; nothing before. They tell probable copies of a
    // file apart without a byte more being read.
    std::optional<std::uint64_t> HeadHash() const { return headHash_; }
    std::optional<std::uint64_t> TailHash() const { return tailHash_; }

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> Bytes;
        std::int64_t Start = 0;
        std::size_t Length = 0; // 0: holds nothing
    };

    // pread until `buffer` is full, the file ends or a read fails.
    std::size_t ReadAt(std::int64_t position, std::span<std::uint8_t> buffer);
    // Takes the fingerprints that bytes just read from `position` hold.
    void Fingerprint(std::int64_t position, std::span<const std::uint8_t> bytes);
    // The block holding `position`, or nullptr.
    const Block* CachedBlockAt(std::int64_t position) const;
    // Reads the block that starts at `position` (into the head block at 0,
    // else into the other); nullptr when the file has nothing there.
    const Block* ReadBlockAt(std::int64_t position);

    int descriptor_ = -1;
    std::int64_t position_ = 0;
    std::int64_t modifiedNs_ = 0;
    std::uint64_t inode_ = 0;
    std::int64_t size_ = 0;
    std::uint64_t fetched_ = 0;
    Block head_;  // from position 0
    Block other_; // wherever the walk went last
    std::atomic<std::int64_t>* storageSince_ = nullptr;
    std::optional<std::uint64_t> headHash_;
    std::optional<std::uint64_t> tailHash_;
};

// What a walk from header to header may cost a load: a header in the file's
// first block or in the block of the last header read is had for nothing;
// any other costs a read of a block. A file whose top level is thousands of
// headers far apart ends its walk after a bounded number of reads, where a
// real file needs a few.
class HeaderWalkBudget {
public:
    static constexpr std::size_t kMaxReads = 64;
    // The block a header read brings in, as FileSource reads it.
    static constexpr auto kBlockBytes = static_cast<std::int64_t>(FileSource::kBlockSize);

    // True when a header of `length` bytes at `position` may still be read.
    bool Allows(std::int64_t position, std::int64_t length) {
        const auto within = [&](std::int64_t start) {
            return position >= start && position - start <= kBlockBytes - length;
        };
        if (within(0) || (reads_ > 0 && within(lastBlock_))) {
            return true;
        }
        if (reads_ == kMaxReads) {
            return false;
        }
        ++reads_;
        lastBlock_ = position;
        return true;
    }

private:
    std::size_t reads_ = 0;
    std::int64_t lastBlock_ = 0;
};

// Bytes held in memory; used by tests and fuzzers.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }
    std::int64_t Position() const override { return position_; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::int64_t Seek(std::int64_t position) override;
    std::uint64_t BytesFetched() const override { return fetched_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
    std::uint64_t fetched_ = 0;
};

} // namespace vidarium

// The file layer the readers read through: a file opened read-only by path,
// or bytes in memory for tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

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
};

// What every FileSource of the process has done so far.
struct FileActivity {
    std::uint64_t Opens = 0;
    std::uint64_t ReadCalls = 0;
    std::uint64_t BytesRead = 0;
};

// A regular file, opened read-only without blocking. Closed when destroyed.
class FileSource final : public ByteSource {
public:
    static FileActivity Activity();

    // Returns false when the path does not name a regular file that can be
    // opened for reading (missing, no access, FIFO, socket, device, directory).
    bool Open(const std::filesystem::path& path);
    void Close();
    bool IsOpen() const { return descriptor_ >= 0; }

    FileSource() = default;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    ~FileSource() override { Close(); }

    std::int64_t Size() override;
    std::int64_t Position() const override { return position_; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::int64_t Seek(std::int64_t position) override;

private:
    int descriptor_ = -1;
    std::int64_t position_ = 0;
};

// Bytes held in memory; used by tests and fuzzers.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::int64_t Size() override { return static_cast<std::int64_t>(bytes_.size()); }
    std::int64_t Position() const override { return position_; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    std::int64_t Seek(std::int64_t position) override;

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
};

} // namespace vidarium

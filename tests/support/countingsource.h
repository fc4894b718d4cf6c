// A ByteSource wrapper that counts what a load reads.
#pragma once

#include "bytesource.h"

namespace vidarium::testing {

class CountingSource final : public ByteSource {
public:
    explicit CountingSource(ByteSource& inner) : inner_(inner) {}

    std::int64_t Size() override { return inner_.Size(); }
    std::int64_t Position() const override { return inner_.Position(); }
    std::size_t Read(std::span<std::uint8_t> buffer) override {
        const std::size_t count = inner_.Read(buffer);
        bytesRead += count;
        ++reads;
        return count;
    }
    std::int64_t Seek(std::int64_t position) override { return inner_.Seek(position); }
    std::uint64_t BytesFetched() const override { return inner_.BytesFetched(); }

    std::uint64_t bytesRead = 0;
    std::uint64_t reads = 0;

private:
    ByteSource& inner_;
};

} // namespace vidarium::testing

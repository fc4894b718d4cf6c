// The memory that the loads in progress hold in their large buffers (a
// movie box read whole, an expanded movie header, element payloads), over
// the whole process: the scan starts another load beside them only while
// they hold little, so that many costly files at once cost what one does.
#pragma once

#include <cstdint>

namespace vidarium {

class LoadMemory {
public:
    // Bytes held by every load's share together.
    static std::uint64_t Held();

    // One load's share, given back when it is released or destroyed.
    class Share {
    public:
        Share() = default;
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;
        ~Share() { Release(); }

        void Add(std::uint64_t bytes);
        void Release();

    private:
        std::uint64_t bytes_ = 0;
    };
};

} // namespace vidarium

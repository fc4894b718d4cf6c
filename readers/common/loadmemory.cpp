#include "loadmemory.h"

#include <atomic>

namespace vidarium {
namespace {

std::atomic<std::uint64_t> held{0};

} // namespace

std::uint64_t LoadMemory::Held() {
    return held.load(std::memory_order_relaxed);
}

void LoadMemory::Share::Add(std::uint64_t bytes) {
    bytes_ += bytes;
    held.fetch_add(bytes, std::memory_order_relaxed);
}

void LoadMemory::Share::Release() {
    held.fetch_sub(bytes_, std::memory_order_relaxed);
    bytes_ = 0;
}

} // namespace vidarium

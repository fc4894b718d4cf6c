#include "prefetch.h"

#include "platform.h"

namespace vidarium {

Prefetcher::Prefetcher(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { Run(); });
    }
}

Prefetcher::~Prefetcher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wanted_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void Prefetcher::Want(std::filesystem::path path, std::size_t head, std::size_t tail) {
    if (threads_.empty()) {
        return;
    }
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = queue_.empty();
        queue_.push_back({std::move(path), head, tail});
    }
    // Threads already at work drain the queue; only an idle pool needs a
    // wake-up (each costs the worker more than the advice itself).
    if (wasEmpty) {
        wanted_.notify_one();
    }
}

void Prefetcher::Forget() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

void Prefetcher::Run() {
    for (;;) {
        Wanted wanted;
        {
            std::unique_lock lock(mutex_);
            wanted_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            wanted = std::move(queue_.front());
            queue_.pop_front();
        }
        AdviseHeadAndTail(wanted.Path, wanted.Head, wanted.Tail);
    }
}

} // namespace vidarium

// Reads in flight: while the worker reads one file, a few threads ask the
// system for the head and tail blocks of the next files of the walk, so that
// a cold disk is kept busy instead of waited for one read at a time. Nothing
// here reads a file's bytes or changes what the readers see.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace vidarium {

class Prefetcher {
public:
    // `threads` 0 makes a prefetcher that does nothing.
    explicit Prefetcher(std::size_t threads);
    ~Prefetcher();
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;

    // Queues a regular file whose first `head` and last `tail` bytes will be
    // wanted soon.
    void Want(std::filesystem::path path, std::size_t head, std::size_t tail);
    // Drops what is queued and not yet started (the walk went elsewhere).
    void Forget();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wanted_;
    struct Wanted {
        std::filesystem::path Path;
        std::size_t Head;
        std::size_t Tail;
    };
    std::deque<Wanted> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace vidarium

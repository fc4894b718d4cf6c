// Loads in flight: threads that open and read the next files of the walk, and
// list its next folders, while the worker hands the rows to its host in the
// walk's order. A network share answers each request after a round trip; only
// many requests at once keep it busy.
#pragma once

#include "bytesource.h"
#include "readerset.h"
#include "readertable.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

namespace vidarium {

struct Loader;

class LoaderPool {
public:
    using Task = std::function<void(Loader&)>;
    // Shared by the pool and its threads, which may outlive the pool when a
    // share stalls one of them.
    struct State;

    // Threads are started as tasks wait for them, up to `maxLoaders`.
    explicit LoaderPool(std::size_t maxLoaders);
    // Drops what is queued, stops the loads in progress and waits a moment
    // for them; a loader stalled on a share is left to end on its own.
    ~LoaderPool();
    LoaderPool(const LoaderPool&) = delete;
    LoaderPool& operator=(const LoaderPool&) = delete;

    // Tasks start in the order they are submitted. False (and `task` left
    // as it is) when the pool is closing, or no loader runs and none can be
    // started.
    bool Submit(Task& task) { return SubmitTo(state_, task); }
    static bool SubmitTo(const std::shared_ptr<State>& state, Task& task);
    // Drops every queued task and stops the ones in progress.
    void Abandon();
    // While a caller waits: starts another loader when the ones running all
    // seem to wait for their storage.
    void Nudge();

private:
    std::shared_ptr<State> state_;
};

// What one loader thread reads with: its own readers and open file.
struct Loader {
    explicit Loader(std::shared_ptr<LoaderPool::State> pool) : Pool(std::move(pool)) {
        Readers.WatchStopFlag(&Stop);
        File.MarkStorageCalls(&StorageSince);
    }
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // A task may queue further tasks (a listing, the listings below it).
    bool Submit(LoaderPool::Task& task) const { return LoaderPool::SubmitTo(Pool, task); }

    // When the loader's present call to its storage began (0: none runs).
    std::atomic<std::int64_t> StorageSince{0};
    ReaderSet Readers;
    FileSource File;
    // Ends the load in progress at its next box, atom or chunk.
    std::atomic<bool> Stop{false};
    std::shared_ptr<LoaderPool::State> Pool;
};

} // namespace vidarium

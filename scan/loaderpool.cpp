#include "loaderpool.h"

#include "faults.h"
#include "loadmemory.h"
#include "platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vidarium {
namespace {

// How long closing waits for the loads it stopped; a load blocked in a read
// of a stalled share does not hold the program.
constexpr std::chrono::milliseconds kClosingWait{500};
// A load inside one call to its storage for longer than this waits for a
// disk or a share (a warm read takes microseconds): another loader may start
// beside it. A load that computes, however long, is not waiting.
constexpr std::chrono::nanoseconds kWaitingCall{std::chrono::microseconds{200}};
// Another load starts beside those in flight only while they hold less than
// this in their large buffers: a few costly files at once cost what one does.
constexpr std::uint64_t kLoadMemoryBudget = 32U << 20;

// Loaders busy at once while their loads keep the processor busy: more only
// take turns on it.
std::size_t ComputingLoaders() {
    return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

} // namespace

struct LoaderPool::State : std::enable_shared_from_this<LoaderPool::State> {
    explicit State(std::size_t maxLoaders) : MaxLoaders(maxLoaders) {}
    const std::size_t MaxLoaders;
    const std::size_t Computing = ComputingLoaders();
    std::mutex Mutex;
    std::condition_variable Work;
    std::condition_variable Exited;
    std::deque<Task> Queue;
    std::vector<Loader*> Running;
    std::size_t Loaders = 0;
    // Loaders woken or started for queued tasks that have not taken one yet.
    std::size_t Called = 0;
    std::size_t Idle = 0;
    bool Closing = false;

    // Under the lock: wakes or starts loaders while queued tasks wait, fewer
    // loads than the processors can run are computing, and the loads in
    // flight hold little memory.
    void CallLoaders() {
        const std::int64_t now = StorageCall::Now();
        std::size_t computing =
            Called + static_cast<std::size_t>(
                         std::count_if(Running.begin(), Running.end(), [now](const Loader* who) {
                             const std::int64_t since =
                                 who->StorageSince.load(std::memory_order_relaxed);
                             return since == 0 || now - since < kWaitingCall.count();
                         }));
        while (Queue.size() > Called && computing < Computing &&
               (Running.empty() || LoadMemory::Held() < kLoadMemoryBudget)) {
            if (Idle > Called) {
                Work.notify_one();
            } else if (Loaders < MaxLoaders && Start()) {
                ++Loaders;
            } else {
                return;
            }
            ++Called;
            ++computing;
        }
    }
    bool Start();
    void Run();
    // Under the lock: the queued tasks go to `dropped` (destroyed once the
    // lock is released), and the loads in progress are told to stop.
    void DropAll(std::deque<Task>& dropped) {
        dropped.swap(Queue);
        Taken();
        for (Loader* who : Running) {
            who->Stop.store(true);
        }
    }
    // Queue shrank: a call for a task that is gone lapses.
    void Taken() { Called = std::min(Called, Queue.size()); }
};

bool LoaderPool::State::Start() {
    try {
        std::thread([state = shared_from_this()] { state->Run(); }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

LoaderPool::LoaderPool(std::size_t maxLoaders) : state_(std::make_shared<State>(maxLoaders)) {}

LoaderPool::~LoaderPool() {
    std::deque<Task> dropped;
    std::unique_lock lock(state_->Mutex);
    state_->Closing = true;
    state_->DropAll(dropped);
    state_->Work.notify_all();
    state_->Exited.wait_for(lock, kClosingWait, [this] { return state_->Loaders == 0; });
}

bool LoaderPool::SubmitTo(const std::shared_ptr<State>& state, Task& task) {
    std::lock_guard lock(state->Mutex);
    if (state->Closing) {
        return false;
    }
    state->Queue.push_back(std::move(task));
    state->CallLoaders();
    if (state->Loaders == 0) {
        // No thread to be had: the caller runs the task.
        task = std::move(state->Queue.back());
        state->Queue.pop_back();
        state->Taken();
        return false;
    }
    return true;
}

void LoaderPool::Nudge() {
    std::lock_guard lock(state_->Mutex);
    state_->CallLoaders();
}

void LoaderPool::Abandon() {
    std::deque<Task> dropped;
    std::lock_guard lock(state_->Mutex);
    state_->DropAll(dropped);
}

void LoaderPool::State::Run() {
    LowerCurrentThreadPriority();
    auto loader = std::make_unique<Loader>(shared_from_this());
    std::unique_lock lock(Mutex);
    for (;;) {
        if (Queue.empty() || Called == 0) {
            ++Idle;
            Work.wait(lock, [this] { return Closing || (Called > 0 && !Queue.empty()); });
            --Idle;
        }
        if (Closing) {
            break;
        }
        Task task = std::move(Queue.front());
        Queue.pop_front();
        Called = Called > 0 ? Called - 1 : 0;
        Taken();
        // A stop meant the loads in progress when it came, not this one.
        loader->Stop.store(false);
        Running.push_back(loader.get());
        lock.unlock();
        // A task reports its own faults; nothing may end the loader.
        EvenIfItFails([&] { task(*loader); });
        task = nullptr;
        lock.lock();
        Running.erase(std::find(Running.begin(), Running.end(), loader.get()));
        // Go on with the queue as one of the computing loaders.
        if (!Queue.empty()) {
            ++Called;
        }
        CallLoaders();
    }
    lock.unlock();
    loader.reset();
    lock.lock();
    --Loaders;
    Exited.notify_all();
}

} // namespace vidarium

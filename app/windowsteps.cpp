#include "windowsteps.h"

#include <QMetaObject>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>

namespace vidarium {

void WindowSteps::Run(const std::function<void()>& step) {
    struct Outcome {
        std::atomic<bool> done{false};
        std::exception_ptr error;
    };
    const auto outcome = std::make_shared<Outcome>();
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            throw WindowGoneError();
        }
    }
    QMetaObject::invokeMethod(
        context_,
        [this, outcome, &step] {
            {
                // Cancel runs on this same thread, so it cannot come between
                // this test and the step: `step` is still alive here.
                std::lock_guard lock(mutex_);
                if (cancelled_) {
                    return;
                }
            }
            try {
                step();
            } catch (...) {
                outcome->error = std::current_exception();
            }
            {
                std::lock_guard lock(mutex_);
                outcome->done.store(true, std::memory_order_release);
            }
            stepDone_.notify_all();
        },
        Qt::QueuedConnection);

    // A row step takes the window a few microseconds: waiting for it briefly
    // without sleeping saves the worker a wake-up per row, which is most of
    // the cost of handing twenty thousand rows over one at a time.
    const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    while (!outcome->done.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < spinUntil) {
        std::this_thread::yield();
    }
    std::unique_lock lock(mutex_);
    stepDone_.wait(lock, [&] { return outcome->done || cancelled_; });
    if (!outcome->done) {
        throw WindowGoneError();
    }
    if (outcome->error) {
        std::rethrow_exception(outcome->error);
    }
}

void WindowSteps::Cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    stepDone_.notify_all();
}

} // namespace vidarium

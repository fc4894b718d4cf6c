#include "windowsteps.h"

#include <QMetaObject>

#include <exception>
#include <memory>

namespace vidarium {

void WindowSteps::Run(const std::function<void()>& step) {
    struct Outcome {
        bool done = false;
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
                outcome->done = true;
            }
            stepDone_.notify_all();
        },
        Qt::QueuedConnection);

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

// The scan's one rule for a fault: it ends the step it happened in, never
// the scan, the worker or a loader. Every step of scan/ that may raise runs
// through these.
#pragma once

#include <exception>
#include <future>
#include <utility>

namespace vidarium {

// Runs `step`; true when it ran to its end, false when it raised.
template <typename Step> bool EvenIfItFails(Step&& step) noexcept {
    try {
        std::forward<Step>(step)();
        return true;
    } catch (...) {
        return false;
    }
}

// Fulfils `promise` with what `work` gives, or with the fault it raised, so
// that the thread awaiting it sees the fault.
template <typename Result, typename Work>
void FulfilOrFail(std::promise<Result>& promise, Work&& work) {
    try {
        promise.set_value(std::forward<Work>(work)());
    } catch (...) {
        promise.set_exception(std::current_exception());
    }
}

} // namespace vidarium

// The scan's Stop reaching into a load in progress: a reader checks it at
// every atom or chunk, so that no file, however it is shaped, holds a scan.
#pragma once

#include <atomic>
#include <stdexcept>

namespace vidarium {

// Raised inside a load once a stop is requested; the load ends as at a fault.
class LoadStopped : public std::runtime_error {
public:
    LoadStopped() : std::runtime_error("load stopped") {}
};

class LoadStop {
public:
    // `flag` (or nullptr: never stop) must outlive the loads that check it.
    void Watch(const std::atomic<bool>* flag) { flag_ = flag; }
    bool Requested() const { return flag_ != nullptr && flag_->load(std::memory_order_relaxed); }
    void Check() const {
        if (Requested()) {
            throw LoadStopped();
        }
    }

private:
    const std::atomic<bool>* flag_ = nullptr;
};

} // namespace vidarium

// Runs the scan worker's steps on the window's thread while the worker waits.
#pragma once

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace vidarium {

class WindowGoneError : public std::runtime_error {
public:
    WindowGoneError() : std::runtime_error("the window is closed") {}
};

class WindowSteps {
public:
    // Steps run through `context`'s event queue, on the thread it lives in.
    explicit WindowSteps(QObject* context) : context_(context) {}

    // Worker thread: runs `step` on the window's thread and waits until it
    // has run. A step's exception is raised again here; WindowGoneError when
    // the window closed before the step could run.
    void Run(const std::function<void()>& step);

    // Window thread: no step runs after this, and a waiting worker goes on.
    void Cancel();

    static constexpr std::chrono::microseconds kSpinBeforeSleeping{200};

private:
    QObject* context_;
    std::mutex mutex_;
    std::condition_variable stepDone_;
    bool cancelled_ = false;
};

} // namespace vidarium

// A scan host that records every step, for tests of the worker.
#pragma once

#include "scanworker.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vidarium::testing {

class RecordingHost : public ScanHost {
public:
    void ShowStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        steps.push_back("status " + text);
    }
    void ClearList() override {
        std::lock_guard lock(mutex_);
        steps.push_back("clear");
        rows.clear();
    }
    void AddRow(FileRow row) override {
        if (beforeRow) {
            beforeRow(row);
        }
        std::lock_guard lock(mutex_);
        steps.push_back("row " + row.Caption);
        rows.push_back(std::move(row));
    }
    void ScanDone() override {
        std::lock_guard lock(mutex_);
        steps.push_back("done");
        ++scansDone;
        changed_.notify_all();
    }
    void ScanFailed(const std::string& folder) override {
        std::lock_guard lock(mutex_);
        steps.push_back("failed " + folder);
        ++scansDone;
        changed_.notify_all();
    }
    void DirectoryUnreadable(const std::filesystem::path& directory) override {
        std::lock_guard lock(mutex_);
        unreadable.push_back(directory);
    }
    void FileUnreadable(const std::filesystem::path& file, std::error_code) override {
        std::lock_guard lock(mutex_);
        unreadableFiles.push_back(file);
    }

    bool WaitForScans(int count, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return scansDone >= count; });
    }

    // Runs before a row is recorded; may throw to fail the step.
    std::function<void(const FileRow&)> beforeRow;
    std::vector<std::string> steps;
    std::vector<FileRow> rows;
    std::vector<std::filesystem::path> unreadable;
    std::vector<std::filesystem::path> unreadableFiles;
    int scansDone = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace vidarium::testing

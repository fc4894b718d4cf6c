// Header reader for MPEG-1 and MPEG-2 video: frame size, rate, bit rate and
// play time from the first sequence header and the GOP time codes found in the
// first and the last 256 KiB of the file. No container structure is parsed.
#pragma once

#include "loadstop.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vidarium {

class ByteSource;

class CMPEGHeaderReader {
public:
    static constexpr std::size_t kWindowSize = 262144;

    CMPEGHeaderReader() { Reset(); }

    void Reset();
    // Returns Valid. Never raises: a file that cannot be opened gives false,
    // and a fault after the sequence header keeps what was found.
    bool LoadFromFile(const std::filesystem::path& path);
    bool LoadFromSource(ByteSource& source);
    // Stop, set before a window is searched, ends the load with what it found.
    void WatchStopFlag(const std::atomic<bool>* flag) { stop_.Watch(flag); }

    bool Valid = false;
    double FrameRate = 0.0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int32_t BitRate = 0;
    double DurationSec = 0.0;

private:
    void Load(ByteSource& source);

    std::vector<std::uint8_t> window_;
    LoadStop stop_;
};

} // namespace vidarium

#include "mpegreader.h"

#include "bytesource.h"

#include <array>
#include <span>
#include <vector>

namespace vidarium {
namespace {

constexpr std::array<std::uint8_t, 4> kSequenceHeaderCode{0x00, 0x00, 0x01, 0xB3};
constexpr std::array<std::uint8_t, 4> kGopHeaderCode{0x00, 0x00, 0x01, 0xB8};
constexpr std::uint32_t kBitRateUnit = 400;
constexpr std::uint32_t kNoBitRate = 0x3FFFF;

bool StartCodeAt(std::span<const std::uint8_t> window, std::size_t offset,
                 const std::array<std::uint8_t, 4>& code) {
    return window[offset] == code[0] && window[offset + 1] == code[1] &&
           window[offset + 2] == code[2] && window[offset + 3] == code[3];
}

// Time of the GOP time code at `offset`: whole seconds plus the pictures at
// the frame rate. No field is range-tested.
double GopTimeValue(std::span<const std::uint8_t> window, std::size_t offset, double frameRate) {
    const unsigned g4 = window[offset + 4];
    const unsigned g5 = window[offset + 5];
    const unsigned g6 = window[offset + 6];
    const unsigned g7 = window[offset + 7];
    const unsigned hours = (g4 >> 2) & 0x1F;
    const unsigned minutes = (g4 & 3) * 16 + (g5 >> 4);
    const unsigned seconds = (g5 & 7) * 8 + (g6 >> 5);
    const unsigned pictures = (g6 & 0x1F) * 2 + (g7 >> 7);
    const double whole = hours * 3600.0 + minutes * 60.0 + seconds;
    return frameRate > 0 ? whole + pictures / frameRate : whole;
}

} // namespace

double MpegFrameRateForCode(unsigned code) {
    static constexpr std::array<double, 14> kRates{0.0,
                                                   24000.0 / 1001.0,
                                                   24.0,
                                                   25.0,
                                                   30000.0 / 1001.0,
                                                   30.0,
                                                   50.0,
                                                   60000.0 / 1001.0,
                                                   60.0,
                                                   15.0,
                                                   5.0,
                                                   10.0,
                                                   12.0,
                                                   15.0};
    return code < kRates.size() ? kRates[code] : 0.0;
}

void CMPEGHeaderReader::Reset() {
    Valid = false;
    FrameRate = 0.0;
    Width = 0;
    Height = 0;
    BitRate = 0;
    DurationSec = 0.0;
}

bool CMPEGHeaderReader::LoadFromFile(const std::filesystem::path& path) {
    Reset();
    FileSource file;
    if (!file.Open(path)) {
        return false;
    }
    return LoadFromSource(file);
}

bool CMPEGHeaderReader::LoadFromSource(ByteSource& source) {
    Reset();
    try {
        Load(source);
    } catch (...) {
        // Absorbed: the fields keep what was found before the fault.
    }
    return Valid;
}

void CMPEGHeaderReader::Load(ByteSource& source) {
    std::vector<std::uint8_t> buffer(kWindowSize, 0);
    const std::span<const std::uint8_t> window(buffer);

    const std::size_t head = source.Read(buffer);
    // A sequence header needs its 11 bytes inside the head window.
    std::size_t sequence = 0;
    bool found = false;
    for (std::size_t p = 0; p + 10 < head; ++p) {
        if (StartCodeAt(window, p, kSequenceHeaderCode)) {
            sequence = p;
            found = true;
            break;
        }
    }
    if (!found) {
        return;
    }
    Valid = true;

    const auto b = [&](std::size_t n) { return unsigned{window[sequence + n]}; };
    Width = static_cast<std::int32_t>(b(4) * 16 + (b(5) >> 4));
    Height = static_cast<std::int32_t>((b(5) & 0x0F) * 256 + b(6));
    const std::uint32_t bitRateValue = b(8) * 1024 + b(9) * 4 + (b(10) >> 6);
    if (bitRateValue < kNoBitRate) {
        BitRate = static_cast<std::int32_t>(bitRateValue * kBitRateUnit);
    }
    FrameRate = MpegFrameRateForCode(b(7) & 0x0F);

    // First GOP after the sequence header: its start code must begin at least
    // 8 bytes before the end of the head window.
    double start = 0.0;
    for (std::size_t q = sequence + 7; q + 8 < head; ++q) {
        if (StartCodeAt(window, q, kGopHeaderCode)) {
            start = GopTimeValue(window, q, FrameRate);
            break;
        }
    }

    // The tail window starts 256 KiB before the end; a shorter file serves
    // whole as its own tail window, so a short clip gets its play time.
    const std::int64_t size = source.Size();
    const std::int64_t tailStart = size > static_cast<std::int64_t>(kWindowSize)
                                       ? size - static_cast<std::int64_t>(kWindowSize)
                                       : 0;
    if (source.Seek(tailStart) != tailStart) {
        return;
    }
    const std::size_t tail = source.Read(buffer);
    if (tail <= 7) {
        return;
    }
    // The last GOP start code of the tail window, not at offsets 0 or 1.
    for (std::size_t r = tail - 8; r >= 2; --r) {
        if (StartCodeAt(window, r, kGopHeaderCode)) {
            DurationSec = GopTimeValue(window, r, FrameRate) - start;
            return;
        }
    }
}

} // namespace vidarium

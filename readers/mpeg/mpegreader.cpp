#include "mpegreader.h"

#include "bytesource.h"
#include "codecconfig.h"
#include "streamheaders.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace vidarium {
namespace {

constexpr std::array<std::uint8_t, 4> kSequenceHeaderCode{0x00, 0x00, 0x01, 0xB3};
constexpr std::array<std::uint8_t, 4> kGopHeaderCode{0x00, 0x00, 0x01, 0xB8};
constexpr std::uint32_t kBitRateUnit = 400;
constexpr std::uint32_t kNoBitRate = 0x3FFFF;

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

namespace {

// A window of up to CMPEGHeaderReader::kWindowSize bytes of the file, read
// only as far as a search needs it: the first sequence header, the first GOP
// after it and the last GOP of the tail are the same whichever part of the
// window holds them, so most files cost one small read at each end.
class LazyWindow {
public:
    static constexpr std::size_t kFirstRead = std::size_t{16} * 1024;

    LazyWindow(ByteSource& source, std::vector<std::uint8_t>& buffer, std::int64_t start,
               std::size_t length)
        : source_(source), buffer_(buffer), start_(start), length_(length), back_(length) {}

    const std::uint8_t* Bytes() const { return buffer_.data(); }
    std::size_t Length() const { return length_; }
    // Bytes [0, Front()) and [Back(), Length()) are in memory.
    std::size_t Front() const { return front_; }
    std::size_t Back() const { return back_; }

    // Reads more of the front, fourfold at a time; false once all is read.
    bool GrowFront() {
        if (front_ >= length_) {
            return false;
        }
        const std::size_t wanted = std::min(length_, std::max(front_ * 4, kFirstRead));
        const std::size_t count = Fill(front_, wanted);
        front_ += count;
        if (front_ < wanted) {
            length_ = front_; // the file ended early: the window is shorter
        }
        return count > 0;
    }

    // Reads more of the back, fourfold at a time; false once all is read.
    bool GrowBack() {
        if (back_ == 0) {
            return false;
        }
        const std::size_t grown = std::max((length_ - back_) * 4, kFirstRead);
        const std::size_t from = length_ > grown ? length_ - grown : 0;
        if (Fill(from, back_) < back_ - from) {
            return false; // the file changed under the reader
        }
        back_ = from;
        return true;
    }

private:
    std::size_t Fill(std::size_t from, std::size_t to) {
        const auto position = start_ + static_cast<std::int64_t>(from);
        if (source_.Seek(position) != position) {
            return 0;
        }
        return source_.Read(std::span(buffer_).subspan(from, to - from));
    }

    ByteSource& source_;
    std::vector<std::uint8_t>& buffer_;
    std::int64_t start_;
    std::size_t length_;
    std::size_t front_ = 0;
    std::size_t back_;
};

using StartCode = std::array<std::uint8_t, 4>;

// The first position p in [begin, last] at which `code` (00 00 01 xx) starts;
// bytes up to last + 3 are looked at. memchr finds the rare last byte
// quickly; the three before it are then checked.
std::optional<std::size_t> FirstStartCode(const std::uint8_t* bytes, std::size_t begin,
                                          std::size_t last, const StartCode& code) {
    std::size_t p = begin;
    while (p <= last) {
        const void* found = std::memchr(bytes + p + 3, code[3], last - p + 1);
        if (found == nullptr) {
            return std::nullopt;
        }
        const auto at =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes) - 3;
        if (bytes[at] == code[0] && bytes[at + 1] == code[1] && bytes[at + 2] == code[2]) {
            return at;
        }
        p = at + 1;
    }
    return std::nullopt;
}

// The last position p in [begin, last] at which `code` starts.
std::optional<std::size_t> LastStartCode(const std::uint8_t* bytes, std::size_t begin,
                                         std::size_t last, const StartCode& code) {
    std::optional<std::size_t> found;
    for (auto at = FirstStartCode(bytes, begin, last, code); at;
         at = *at < last ? FirstStartCode(bytes, *at + 1, last, code) : std::nullopt) {
        found = at;
    }
    return found;
}

// The first position p >= from at which `code` starts and `needed` bytes from
// p lie inside the window, reading the window only as far as needed.
std::optional<std::size_t> FindFirst(LazyWindow& window, std::size_t from, std::size_t needed,
                                     const StartCode& code) {
    std::size_t next = from;
    do {
        const std::size_t front = window.Front();
        if (front >= needed && next + needed <= front) {
            const std::size_t last = front - needed;
            if (const auto at = FirstStartCode(window.Bytes(), next, last, code)) {
                return at;
            }
            next = last + 1;
        }
    } while (window.GrowFront());
    return std::nullopt;
}

// The last position p in [lowest, highest] at which `code` starts, reading
// the window from its end only as far back as needed.
std::optional<std::size_t> FindLast(LazyWindow& window, std::size_t lowest, std::size_t highest,
                                    const StartCode& code) {
    std::size_t top = highest;
    while (window.GrowBack()) {
        const std::size_t bottom = std::max(window.Back(), lowest);
        if (bottom <= top) {
            if (const auto last = LastStartCode(window.Bytes(), bottom, top, code)) {
                return last;
            }
        }
        if (bottom <= lowest) {
            break;
        }
        top = bottom - 1;
    }
    return std::nullopt;
}

} // namespace

void CMPEGHeaderReader::Load(ByteSource& source) {
    stop_.Check();
    // One buffer for the life of the reader: no allocation per file.
    window_.resize(kWindowSize);
    const std::int64_t size = source.Size();
    const std::int64_t start = source.Position();
    const auto headLength = static_cast<std::size_t>(
        std::clamp<std::int64_t>(size - start, 0, static_cast<std::int64_t>(kWindowSize)));
    LazyWindow head(source, window_, start, headLength);

    // A sequence header needs its 11 bytes inside the head window.
    const std::optional<std::size_t> sequenceAt = FindFirst(head, 0, 11, kSequenceHeaderCode);
    if (!sequenceAt) {
        return;
    }
    const std::size_t sequence = *sequenceAt;
    Valid = true;

    const MpegSequenceHeader header = DecodeMpegSequenceHeader(
        std::span<const std::uint8_t>(head.Bytes(), head.Length()).subspan(sequence + 4));
    Width = static_cast<std::int32_t>(header.Width);
    Height = static_cast<std::int32_t>(header.Height);
    if (header.BitRateValue < kNoBitRate) {
        BitRate = static_cast<std::int32_t>(header.BitRateValue * kBitRateUnit);
    }
    FrameRate = MpegFrameRateForCode(header.FrameRateCode);

    // First GOP after the sequence header: its start code must begin at least
    // 8 bytes before the end of the head window.
    double startTime = 0.0;
    if (const auto gop = FindFirst(head, sequence + 7, 9, kGopHeaderCode)) {
        startTime = GopTimeValue({head.Bytes(), head.Length()}, *gop, FrameRate);
    }

    stop_.Check();
    // The tail window starts 256 KiB before the end; a shorter file serves
    // whole as its own tail window, so a short clip gets its play time.
    const std::int64_t tailStart = size > static_cast<std::int64_t>(kWindowSize)
                                       ? size - static_cast<std::int64_t>(kWindowSize)
                                       : 0;
    LazyWindow tail(source, window_, tailStart,
                    static_cast<std::size_t>(std::max<std::int64_t>(size - tailStart, 0)));
    if (tail.Length() <= 7) {
        return;
    }
    // The last GOP start code of the tail window, not at offsets 0 or 1.
    if (const auto gop = FindLast(tail, 2, tail.Length() - 8, kGopHeaderCode)) {
        DurationSec = GopTimeValue({tail.Bytes(), tail.Length()}, *gop, FrameRate) - startTime;
    }
}

} // namespace vidarium

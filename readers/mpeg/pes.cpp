#include "pes.h"

#include "byteorder.h"

#include <algorithm>

namespace vidarium::pes {

std::uint64_t Timestamp(ByteSpan bytes) {
    return (std::uint64_t{bytes[0] & 0x0EU} << 29) | (std::uint64_t{bytes[1]} << 22) |
           (std::uint64_t{bytes[2] & 0xFEU} << 14) | (std::uint64_t{bytes[3]} << 7) |
           (bytes[4] >> 1);
}

namespace {

// The MPEG-1 header's end and time, from the byte after the packet length.
std::optional<PesHeader> ParseMpeg1Header(ByteSpan packet) {
    std::size_t at = 6;
    while (at < packet.size() && at < 6 + 16 && packet[at] == 0xFF) {
        ++at; // stuffing
    }
    if (at < packet.size() && (packet[at] & 0xC0U) == 0x40U) {
        at += 2; // buffer size
    }
    if (at >= packet.size()) {
        return std::nullopt;
    }
    if ((packet[at] & 0xE0U) == 0x20U) {
        const std::size_t length = (packet[at] & 0x10U) != 0 ? 10 : 5;
        if (at + length > packet.size()) {
            return std::nullopt;
        }
        return PesHeader{Timestamp(packet.subspan(at, 5)), at + length};
    }
    return packet[at] == 0x0F ? std::optional(PesHeader{std::nullopt, at + 1}) : std::nullopt;
}

} // namespace

std::optional<PesHeader> ParseHeader(ByteSpan packet, bool mpeg1Syntax) {
    if (packet.size() < 6 || packet[0] != 0 || packet[1] != 0 || packet[2] != 1) {
        return std::nullopt;
    }
    const bool mpeg2 = packet.size() >= 9 && (packet[6] & 0xC0U) == 0x80U;
    if (mpeg1Syntax && !mpeg2) {
        return ParseMpeg1Header(packet);
    }
    if (packet.size() < 9 || 9 + std::size_t{packet[8]} > packet.size()) {
        return std::nullopt;
    }
    PesHeader header;
    header.DataOffset = 9 + std::size_t{packet[8]};
    if ((packet[7] & 0x80U) != 0 && packet[8] >= 5) {
        header.Pts = Timestamp(packet.subspan(9, 5));
    }
    return header;
}

bool Jumps(const std::vector<std::uint64_t>& times) {
    for (std::size_t i = 1; i < times.size(); ++i) {
        const std::uint64_t forward = (times[i] - times[i - 1]) % kPtsWrap;
        const std::uint64_t back = (times[i - 1] - times[i]) % kPtsWrap;
        if (std::min(forward, back) == back ? back > kLargestStepBack : forward > kLargestStep) {
            return true;
        }
    }
    return false;
}

std::uint64_t LastFrameTime(const std::vector<std::uint64_t>& times) {
    std::uint64_t last = times.back();
    for (const std::uint64_t time : times) {
        if ((time - last) % kPtsWrap < kLargestStep) {
            last = time;
        }
    }
    return last;
}

void KeepLast(std::vector<std::uint64_t>& times, std::uint64_t time) {
    if (times.size() == kMaxTimestamps) {
        times.erase(times.begin());
    }
    times.push_back(time);
}

} // namespace vidarium::pes

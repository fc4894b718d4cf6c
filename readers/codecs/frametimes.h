// A frame rate from the times of a stream's first frames, for containers
// that state none: over the steady steps from the earliest frame, in the
// whole milliseconds these containers count in (29.97 frames a second step
// by 33 and 34).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace vidarium {

inline constexpr std::size_t kFewestSteps = 3;
// The first frames' times a reader keeps for the rate.
inline constexpr std::size_t kFrameTimesKept = 64;
// Rates up to this are taken as whole or NTSC rates where the times allow.
inline constexpr int kLargestSnappedRate = 240;
// The whole rates whose NTSC rates (n/1.001) are in use.
inline constexpr std::array<int, 5> kNtscRatesInUse{24, 30, 48, 60, 120};

// The rate of `steps` frames over `span` units of `perSecond`, whose ends
// are known to within `slack` units: the whole rate whose span is that
// near (as most are), else the NTSC (n/1.001) one, else as measured.
inline double StandardFrameRate(std::uint64_t steps, double span, double perSecond, double slack) {
    const double frames = static_cast<double>(steps);
    for (const bool ntsc : {false, true}) {
        std::optional<double> nearest;
        double nearestMiss = slack;
        for (int whole = 1; whole <= kLargestSnappedRate; ++whole) {
            const double rate = ntsc ? whole * 1000.0 / 1001.0 : static_cast<double>(whole);
            const double miss = std::abs(frames * perSecond / rate - span);
            if (miss <= nearestMiss) {
                nearest = rate;
                nearestMiss = miss;
            }
        }
        if (nearest) {
            return *nearest;
        }
    }
    return frames * perSecond / span;
}

// Whether a rate other than `rate` fits the span as well: a whole rate, or
// one of the NTSC rates in use (23.976, 29.97, 47.952, 59.94, 119.88); too
// few frames to tell 30 from 29.97.
inline bool AnotherRateFits(double rate, std::uint64_t steps, double span, double perSecond,
                            double slack) {
    const double frames = static_cast<double>(steps);
    const auto fits = [&](double other) {
        return std::abs(other - rate) > 1e-9 &&
               std::abs(frames * perSecond / other - span) <= slack;
    };
    for (int whole = 1; whole <= kLargestSnappedRate; ++whole) {
        if (fits(whole)) {
            return true;
        }
    }
    return std::any_of(kNtscRatesInUse.begin(), kNtscRatesInUse.end(),
                       [&](int whole) { return fits(whole * 1000.0 / 1001.0); });
}

// A rate measured from millisecond times, and whether it is the only
// standard rate their span allows.
struct MeasuredFrameRate {
    double Rate = 0;
    bool Certain = false;
};

inline std::optional<MeasuredFrameRate> MeasureFrameRate(std::vector<std::uint32_t> timesMs) {
    // Presentation order: frames may be stored out of it.
    std::sort(timesMs.begin(), timesMs.end());
    timesMs.erase(std::unique(timesMs.begin(), timesMs.end()), timesMs.end());
    if (timesMs.size() < 2) {
        return std::nullopt;
    }
    const std::uint32_t first = timesMs[1] - timesMs[0];
    std::size_t steps = 0;
    std::uint64_t span = 0;
    for (std::size_t i = 1; i < timesMs.size(); ++i) {
        const std::uint32_t step = timesMs[i] - timesMs[i - 1];
        if (step > first + 1 || step + 1 < first) {
            break;
        }
        ++steps;
        span += step;
    }
    // Fewer steps leave the rounding of the times in the rate.
    if (steps < kFewestSteps) {
        return std::nullopt;
    }
    // The times are rounded to the millisecond, so the span is known to
    // within one; over two seconds of frames, whole and NTSC rates are told
    // apart.
    const double rate = StandardFrameRate(steps, static_cast<double>(span), 1000, 1);
    return MeasuredFrameRate{rate,
                             !AnotherRateFits(rate, steps, static_cast<double>(span), 1000, 1)};
}

inline std::optional<double> SteadyFrameRate(std::vector<std::uint32_t> timesMs) {
    const auto measured = MeasureFrameRate(std::move(timesMs));
    return measured ? std::optional<double>(measured->Rate) : std::nullopt;
}

} // namespace vidarium

// Guarded arithmetic on values taken from files: overflow, failed range tests
// and non-finite results are faults, never silent wrap-arounds or infinities.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>

namespace vidarium {

// A fault inside a load; the reader turns it into its reader error.
class ReaderFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Arithmetic on file values whose overflow makes the value unknown, not a
// fault: a date, a time or a duration that does not fit leaves its cell
// empty and keeps the row.
template <typename T> std::optional<T> SumOrUnknown(T a, T b) {
    T result{};
    if (__builtin_add_overflow(a, b, &result)) {
        return std::nullopt;
    }
    return result;
}
template <typename T> std::optional<T> DifferenceOrUnknown(T a, T b) {
    T result{};
    if (__builtin_sub_overflow(a, b, &result)) {
        return std::nullopt;
    }
    return result;
}
template <typename T> std::optional<T> ProductOrUnknown(T a, T b) {
    T result{};
    if (__builtin_mul_overflow(a, b, &result)) {
        return std::nullopt;
    }
    return result;
}

// A position past the largest 64-bit one is a fault of the load.
inline std::int64_t CheckedAdd(std::int64_t a, std::int64_t b) {
    if (const auto sum = SumOrUnknown(a, b)) {
        return *sum;
    }
    throw ReaderFault("position arithmetic overflowed");
}

// Extended precision: the x87 80-bit format on GCC and Clang for x86-64.
using Extended = long double;

// True when `value` rounds to an unsigned 32-bit integer.
inline bool FitsUInt32(Extended value) {
    if (!std::isfinite(value)) {
        return false;
    }
    const Extended rounded = std::nearbyint(value);
    return rounded >= 0 &&
           rounded <= static_cast<Extended>(std::numeric_limits<std::uint32_t>::max());
}

// Round to the nearest integer, halves to even (the default rounding mode),
// and range-test the narrowing to 32 bits.
inline std::uint32_t RoundToUInt32(Extended value) {
    if (!FitsUInt32(value)) {
        throw ReaderFault("value out of 32-bit range");
    }
    return static_cast<std::uint32_t>(std::nearbyint(value));
}

} // namespace vidarium

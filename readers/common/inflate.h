// The zlib expansion of a QuickTime compressed movie header ("cmvd"), shared
// by the QuickTime and the ISO readers, within a budget of bytes produced.
#pragma once

#include "loadstop.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vidarium {

// Expands a zlib stream. Every byte produced is taken from `budget`, also
// when the expansion then fails; going past the budget is a fault. A fault
// gives nothing (no exception: a file may hold thousands of broken compressed
// headers, and each must cost little).
//
// The stream is expanded twice: once into a small scratch buffer, only to
// learn whether it ends within the budget and how long it is, then into a
// buffer of exactly that length. The result and the faults are those of an
// output buffer that starts at the declared size and grows by the input
// length rounded up to 256; but a stream that expands to hundreds of
// megabytes before it fails costs time, not memory.
// What an expansion of `compressed` bytes declared to give `declared` can
// hold at most, within `budget`: zlib expands a byte to 1,032 at most.
std::size_t ExpectedExpansion(std::uint32_t declared, std::size_t compressed, std::size_t budget);

std::optional<std::vector<std::uint8_t>> InflateMovieHeader(std::span<const std::uint8_t> input,
                                                            std::uint32_t expected,
                                                            std::size_t& budget,
                                                            const LoadStop& stop);

} // namespace vidarium

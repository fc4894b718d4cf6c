// A row as the catalogue stores it: every value a fresh read gives, in a
// compact byte form that gives back exactly the same row.
#pragma once

#include "filerow.h"

#include <optional>
#include <string>
#include <string_view>

namespace vidarium {

// The row's cells, stamp, reader and values; not its path, which is the
// entry's key.
std::string EncodeRow(const FileRow& row);
// The largest stored row that is read back: real rows take a few KiB, the
// longest comments a few MiB.
inline constexpr std::size_t kMaxRowBytes = std::size_t{16} << 20;
// Nothing when the bytes are not a whole row of this form, or hold values
// no reader gives (a damaged or forged entry is read again instead).
std::optional<FileRow> DecodeRow(std::string_view bytes);

} // namespace vidarium

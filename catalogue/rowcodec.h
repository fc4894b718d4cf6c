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
// Nothing when the bytes are not a whole row of this form (a damaged entry
// is read again instead).
std::optional<FileRow> DecodeRow(std::string_view bytes);

} // namespace vidarium

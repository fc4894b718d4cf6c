// Totals of a set of rows (a drive, the whole catalogue, a search's rows):
// movies, bytes and running time by container, video codec, resolution
// class, HDR kind or sound language.
#pragma once

#include "filerow.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium {

enum class TotalsField { Container, Codec, Resolution, Hdr, Language };

struct TotalsGroup {
    std::string Value; // "MKV", "HEVC", "2160p", "HDR10", "deu"; "none" where a row has none
    std::uint64_t Movies = 0;
    std::uint64_t Bytes = 0;
    std::int64_t DurationMs = 0;
};

// The field of that name ("container", "codec", "resolution", "hdr",
// "lang"), case aside.
std::optional<TotalsField> TotalsFieldNamed(std::string_view name);
// The names, comma-separated, for messages.
std::string TotalsFieldNames();
// The caption a table of the field's groups heads its values with, and
// the field's own name (JSON's key).
const char* TotalsFieldCaption(TotalsField field);
std::string_view TotalsFieldKey(TotalsField field);

// A picture's class by its sides, so that a wide film (1920x800) is 1080p:
// "SD", "720p", "1080p", "2160p", "4320p"; "none" without a picture.
std::string ResolutionClass(const FileRow& row);

// The movies among `rows` (rows no reader gave are not movies), grouped by
// the field's value: the most movies first, then by value. A movie with
// sound in several languages counts once under each.
std::vector<TotalsGroup> Totals(std::span<const FileRow> rows, TotalsField field);
// The same of rows held elsewhere (those a list shows).
std::vector<TotalsGroup> Totals(std::span<const FileRow* const> rows, TotalsField field);
// All the movies among `rows` as one group (its value empty).
TotalsGroup Overall(std::span<const FileRow> rows);

} // namespace vidarium

// The structured outputs of vidarium-scan: CSV (RFC 4180) for spreadsheets and
// JSON Lines for scripts. The tab-delimited export line is in filerow.h.
#pragma once

#include "columns.h"
#include "filerow.h"
#include "rowcatalogue.h"
#include "rowtotals.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vidarium {

// The columns a comma-separated list names (case aside), in its order;
// nothing when a name is not one of them (then `unknown` holds it).
inline std::optional<std::vector<std::size_t>> CsvColumnsNamed(std::string_view list,
                                                               std::string& unknown) {
    return ColumnsNamed(list, unknown);
}

// The header record of `columns` (of kColumns). Ends with CR LF.
void AppendCsvHeader(std::string& out, std::span<const std::size_t> columns = DefaultCsvColumns());
// One record: each column's CSV text (a row's cells trimmed as in the
// export, a plain row's missing ones empty, the path `relativePath`).
void AppendCsvRecord(std::string& out, const FileRow& row, std::string_view relativePath,
                     std::span<const std::size_t> columns = DefaultCsvColumns());

// One JSON object on one line, ended by LF. `relativePath` and the file name
// are the native bytes; text that is not valid UTF-8 is carried as Latin-1,
// with its original bytes in hex beside it (see the README).
void AppendJsonLine(std::string& out, const FileRow& row, std::string_view relativePath);
// What a JSON line's field holds: one value, or a list (an array).
enum class JsonKind { Value, List };
struct JsonField {
    const char* Key;
    JsonKind Kind;
};
// Every field a JSON line may hold, in the order it writes them; a field
// the row has no value for is left out. A text that is not UTF-8 adds its
// key + "_bytes" after it.
std::span<const JsonField> JsonFields();

// The three ways a row is written, for the command line and the window's
// export alike.
enum class OutputFormat { Tsv, Csv, Json };
// The record of a row in `format`, its path taken relative to the folder
// the row came from (a file named itself keeps the path as given).
void AppendRecord(std::string& out, const FileRow& row, OutputFormat format,
                  std::span<const std::size_t> csvColumns = DefaultCsvColumns());

// Totals by `field` in `format`: TSV and CSV a header record and one record
// a group (value, movies, bytes, running time as "h:mm:ss"), JSON one object
// a group (the field's name, movies, bytes, duration_ms).
void AppendTotals(std::string& out, std::span<const TotalsGroup> groups, TotalsField field,
                  OutputFormat format);

// The catalogue's drives and folders: TSV and CSV a header record and one
// record each (label, UUID, path, connected: "yes", "no" or "at PATH" for a
// drive mounted elsewhere now, movies, bytes, running time, last scan as
// local "YYYY-MM-DD HH:MM"); JSON one object each (label, uuid, path,
// connected, mounted_at, movies, bytes, duration_ms, last_scan in UTC).
void AppendDrives(std::string& out, std::span<const CataloguedRoot> roots, OutputFormat format);

// Groups of probable copies: one record a copy (group number from 1, size,
// the bytes the group wastes, drive, connected, full path); TSV with an
// empty line after each group, CSV and JSON with the group's number.
void AppendDuplicates(std::string& out, std::span<const DuplicateGroup> groups,
                      OutputFormat format);

} // namespace vidarium

// Every column the list, the CSV output and `--columns` know, in one table:
// its caption, its name, how it aligns, whether it is shown at first, the
// cell's text and its value for sorting. A new column is one row here.
#pragma once

#include "filerow.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vidarium {

// Where a column's text comes from, which tells how the outputs treat it.
enum class ColumnSource {
    Cell,  // one of the row's own cells (sub-items): trimmed in CSV
    Name,  // the file's name: its exact bytes in the list and CSV, trimmed in CSV
    Value, // a value the row carries beyond its cells
    Path,  // the file's path: in full in the list, relative in CSV
    Blank, // the list's blank last design column: no text, not in CSV
};

enum class ColumnAlign {
    Left,
    Right,
    ByValue, // right where the cell holds a number
};

struct Column {
    const char* Caption; // the list's header
    const char* Name;    // CSV's header, `--columns` and the header's menu
    ColumnSource Source;
    ColumnAlign Align;
    bool ShownAtFirst;
    int FixedWidth; // 0: sized to the caption
    // The text as the row holds it (locale text); the name and the full
    // path as the file system holds them (the export's '?' is the caption's).
    std::string (*Text)(const FileRow& row);
    // Its value for sorting; nothing: the row has none, or the column sorts
    // by its text.
    std::optional<double> (*Number)(const FileRow& row);
    bool SortsByNumber;
    // A value wider than the caption that the column should show whole at
    // first; none: the caption's width.
    const char* WidestValue = nullptr;
    // Words for the cell that the list's tooltip shows and its filter finds
    // beside the text (the languages' English names); null: none.
    std::string (*Described)(const FileRow& row) = nullptr;
    // The cell holds items, one per line in its tooltip (the Comments).
    bool ItemsOnLines = false;
};

// The list's columns in its order: the Part's 13, the blank one, then those
// hidden at first.
extern const std::array<Column, 26> kColumns;

// The default CSV columns: those the list shows at first, and the path.
std::span<const std::size_t> DefaultCsvColumns();
// The column of that CSV name (case aside), or of the blank design column
// for an empty one; kColumns.size() when there is none.
std::size_t ColumnNamed(std::string_view name);

// A column's text in CSV: `relativePath` for the path, a cell trimmed as in
// the export.
std::string CsvText(const Column& column, const FileRow& row, std::string_view relativePath);

// The columns a comma-separated list names (case aside), in its order;
// nothing when a name is not a CSV column's (then `unknown` holds it).
std::optional<std::vector<std::size_t>> ColumnsNamed(std::string_view list, std::string& unknown);
// Every CSV column's name, comma-separated: what `--columns` takes.
std::string ColumnNamesText();

// Everything the row holds, a line a column that has a value ("Video
// bitrate: 800 kbit/s"), in the table's order: the full path, each Comments
// item whole on its own line, the languages with their names. Locale text.
std::string DetailsText(const FileRow& row);

} // namespace vidarium

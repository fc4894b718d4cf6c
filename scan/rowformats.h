// The structured outputs of vidarium-scan: CSV (RFC 4180) for spreadsheets and
// JSON Lines for scripts. The tab-delimited export line is in filerow.h.
#pragma once

#include "filerow.h"

#include <string>
#include <string_view>

namespace vidarium {

// The header record: the list's columns, the two bit rates told apart, and
// the path relative to the scanned directory. Ends with CR LF.
void AppendCsvHeader(std::string& out);
// One record: the row's cells (trimmed as in the export; a plain row leaves
// the cells it does not have empty) and `relativePath`.
void AppendCsvRecord(std::string& out, const FileRow& row, std::string_view relativePath);

// One JSON object on one line, ended by LF. `relativePath` and the file name
// are the native bytes; text that is not valid UTF-8 is carried as Latin-1,
// with its original bytes in hex beside it (see the README).
void AppendJsonLine(std::string& out, const FileRow& row, std::string_view relativePath);

// The three ways a row is written, for the command line and the window's
// export alike.
enum class OutputFormat { Tsv, Csv, Json };
// The record of a row in `format`, its path taken relative to the folder
// the row came from (a file named itself keeps the path as given).
void AppendRecord(std::string& out, const FileRow& row, OutputFormat format);

} // namespace vidarium

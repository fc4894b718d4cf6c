// The list's export: the rows as a file of one of the scan's output forms.
#pragma once

#include "filerow.h"
#include "rowformats.h"

#include <QString>

#include <cstddef>
#include <vector>

class QIODevice;

namespace vidarium {

// The form a file name asks for: CSV for ".csv", JSON Lines for ".jsonl",
// else the tab-delimited list.
OutputFormat ExportFormatOf(const QString& fileName);

// Writes the rows in `format` (CSV with `columns`, its header first); false
// as soon as a write fails.
bool WriteRows(QIODevice& file, const std::vector<const FileRow*>& rows, OutputFormat format,
               const std::vector<std::size_t>& columns);

} // namespace vidarium

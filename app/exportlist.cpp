#include "exportlist.h"

#include <QFileInfo>
#include <QIODevice>

#include <string>

namespace vidarium {

OutputFormat ExportFormatOf(const QString& fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    return suffix == QStringLiteral("csv")     ? OutputFormat::Csv
           : suffix == QStringLiteral("jsonl") ? OutputFormat::Json
                                               : OutputFormat::Tsv;
}

bool WriteRows(QIODevice& file, const std::vector<const FileRow*>& rows, OutputFormat format,
               const std::vector<std::size_t>& columns) {
    std::string line;
    if (format == OutputFormat::Csv) {
        AppendCsvHeader(line, columns);
    }
    // A line at a time: a list of a million rows is never held twice.
    for (const FileRow* row : rows) {
        AppendRecord(line, *row, format, columns);
        if (file.write(line.data(), static_cast<qint64>(line.size())) !=
            static_cast<qint64>(line.size())) {
            return false;
        }
        line.clear();
    }
    return true;
}

} // namespace vidarium

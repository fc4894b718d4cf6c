#include "filelistmodel.h"

#include "localtext.h"

#include <algorithm>
#include <iterator>

#include <QDateTime>
#include <QGuiApplication>
#include <QLocale>
#include <QPalette>

namespace vidarium {
namespace {

QString Latin1(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The cell's text with its items one per line (a Comments cell holds CR LF
// between them and after the last).
QString ItemsOnLines(const QString& text) {
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    while (lines.endsWith(u'\n')) {
        lines.chop(1);
    }
    return lines;
}

} // namespace

QString TooltipText(const QString& text) {
    // A tooltip fits on the screen: at most so many lines, each of a
    // readable width; what is cut ends with an ellipsis.
    QStringList lines = text.split(u'\n');
    const bool tooMany = lines.size() > FileListModel::kTooltipLines;
    if (tooMany) {
        lines = lines.mid(0, FileListModel::kTooltipLines - 1);
    }
    for (QString& line : lines) {
        if (line.size() > FileListModel::kTooltipWidth) {
            line = line.left(FileListModel::kTooltipWidth - 1) + QChar(0x2026);
        }
    }
    if (tooMany) {
        lines.append(QString(QChar(0x2026)));
    }
    return lines.join(u'\n');
}

QString FromLocaleText(std::string_view text) {
    if (LocaleIsUtf8()) {
        return QString::fromStdString(RunsToUtf8(text));
    }
    const QString decoded =
        QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    return decoded.contains(QChar::ReplacementCharacter) ? Latin1(text) : decoded;
}

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(kPublishIntervalMs);
    connect(&publishTimer_, &QTimer::timeout, this, &FileListModel::PublishPendingRows);
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kColumns.size());
}

QVariant FileListModel::CellText(const QModelIndex& index, bool tooltip) const {
    const FileRow& row = Row(index.row());
    const auto column = static_cast<std::size_t>(index.column());
    // The list holds locale text; it is decoded for display only.
    const std::string text = kColumns[column].Text(row);
    // A file cut short says so over its comments, whatever they hold.
    const bool truncatedNote = tooltip && kColumns[column].ItemsOnLines && row.Summary.Truncated;
    if (text.empty() && !truncatedNote) {
        return {};
    }
    const QString shown = FromLocaleText(text);
    if (tooltip) {
        // The full text of a cell its column may cut; the file's full path
        // for its name.
        if (kColumns[column].Source == ColumnSource::Name && !row.Path.empty()) {
            return TooltipText(FromLocaleText(row.Path.native()));
        }
        if (truncatedNote) {
            const QString note = QObject::tr("Truncated: the file ends before its container does");
            return TooltipText(shown.isEmpty() ? note : note + u'\n' + ItemsOnLines(shown));
        }
        return TooltipText(kColumns[column].ItemsOnLines ? ItemsOnLines(shown) : shown);
    }
    if (kColumns[column].ItemsOnLines) {
        return ItemsOnLines(shown).replace(u'\n', QString::fromUtf16(kItemSeparator));
    }
    return shown;
}

QVariant FileListModel::SortValue(const QModelIndex& index) const {
    const Column& column = kColumns[static_cast<std::size_t>(index.column())];
    if (column.Number != nullptr) {
        if (const std::optional<double> number = column.Number(Row(index.row()))) {
            return QVariant(*number);
        }
        if (column.SortsByNumber) {
            return {};
        }
    }
    return CellText(index, false);
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) {
        return {};
    }
    if (role == kSortRole) {
        return SortValue(index);
    }
    if (role == Qt::DisplayRole) {
        return CellText(index, false);
    }
    const Column& column = kColumns[static_cast<std::size_t>(index.column())];
    if (role == kFilterRole) {
        const QString text = CellText(index, false).toString();
        return column.Described == nullptr
                   ? text
                   : text + u'\t' + QString::fromStdString(column.Described(Row(index.row())));
    }
    if (role == Qt::ToolTipRole) {
        QVariant text = CellText(index, true);
        if (column.Described != nullptr && text.isValid()) {
            if (const std::string words = column.Described(Row(index.row())); !words.empty()) {
                text = text.toString() + u'\n' + QString::fromStdString(words);
            }
        }
        const std::optional<std::time_t> absent = NotConnectedSince(Row(index.row()).Path);
        if (!absent) {
            return text;
        }
        return text.isValid() ? text.toString() + u'\n' + NotConnectedText(*absent)
                              : NotConnectedText(*absent);
    }
    if (role == Qt::ForegroundRole && NotConnectedSince(Row(index.row()).Path)) {
        return QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    }
    if (role == Qt::TextAlignmentRole) {
        const bool right = column.Align == ColumnAlign::Right ||
                           (column.Align == ColumnAlign::ByValue && column.Number != nullptr &&
                            column.Number(Row(index.row())).has_value());
        return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
    }
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return {};
    }
    const Column& column = kColumns[static_cast<std::size_t>(section)];
    if (role == Qt::DisplayRole) {
        return QString::fromLatin1(column.Caption);
    }
    if (role == Qt::TextAlignmentRole && column.Align != ColumnAlign::ByValue) {
        return QVariant::fromValue(
            Qt::AlignVCenter |
            (column.Align == ColumnAlign::Right ? Qt::AlignRight : Qt::AlignLeft));
    }
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void FileListModel::AppendRow(FileRow row) {
    pending_.push_back(std::move(row));
    if (!publishTimer_.isActive()) {
        publishTimer_.start();
    }
}

void FileListModel::HandOverRow(FileRow row) {
    bool first = false;
    {
        const std::lock_guard lock(handedOverMutex_);
        first = handedOver_.empty();
        handedOver_.push_back(std::move(row));
    }
    if (first) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!publishTimer_.isActive()) {
                    publishTimer_.start();
                }
            },
            Qt::QueuedConnection);
    }
}

void FileListModel::PublishPendingRows() {
    publishTimer_.stop();
    {
        const std::lock_guard lock(handedOverMutex_);
        std::move(handedOver_.begin(), handedOver_.end(), std::back_inserter(pending_));
        handedOver_.clear();
    }
    if (pending_.empty()) {
        return;
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(pending_.size()) - 1);
    std::move(pending_.begin(), pending_.end(), std::back_inserter(rows_));
    endInsertRows();
    pending_.clear();
}

void FileListModel::MarkNotConnected(std::time_t lastSeen, std::string folder) {
    notConnected_.push_back({std::move(folder), lastSeen});
    if (rowCount() > 0) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
}

std::optional<std::time_t>
FileListModel::NotConnectedSince(const std::filesystem::path& path) const {
    for (const Absent& absent : notConnected_) {
        if (path.native().starts_with(absent.Below)) {
            return absent.LastSeen;
        }
    }
    return std::nullopt;
}

QString FileListModel::NotConnectedText(std::time_t lastSeen) {
    // As the Modified column writes times.
    return lastSeen > 0 ? QStringLiteral("not connected, last seen %1")
                              .arg(QDateTime::fromSecsSinceEpoch(lastSeen).toString(
                                  QStringLiteral("yyyy-MM-dd HH:mm")))
                        : QStringLiteral("not connected");
}

void FileListModel::Clear() {
    publishTimer_.stop();
    notConnected_.clear();
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    pending_.clear();
    {
        const std::lock_guard lock(handedOverMutex_);
        handedOver_.clear();
    }
    endResetModel();
}

FileListProxy::FileListProxy(FileListModel* files, QObject* parent)
    : QSortFilterProxyModel(parent), files_(files) {
    setSourceModel(files);
    setSortRole(FileListModel::kSortRole);
    // The C and POSIX locales collate by byte, numbers and all ("Episode 10"
    // before "Episode 2"): a minimal system's list sorts as an English one.
    if (QLocale().language() == QLocale::C) {
        collator_ = QCollator(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    collator_.setNumericMode(true);
    collator_.setCaseSensitivity(Qt::CaseInsensitive);
    // Rows are only appended (a row's words stay as they were) or all taken
    // away; marking rows as not connected changes no word of theirs.
    connect(files, &QAbstractItemModel::modelReset, this, [this] { filterTexts_.clear(); });
    for (std::size_t column = 0; column < kColumns.size(); ++column) {
        if (kColumns[column].ShownAtFirst) {
            filtered_.push_back(static_cast<int>(column));
        }
    }
}

void FileListProxy::SetFilteredColumns(std::vector<int> columns) {
    if (columns != filtered_) {
        filtered_ = std::move(columns);
        filterTexts_.clear();
        invalidateFilter();
    }
}

void FileListProxy::SetFilterWords(const QString& text) {
    query_ = RowQuery::Parse(text.toStdString());
    // Words are sought as the list shows them, in any letter's case.
    const auto asShown = [](const std::vector<std::string>& list) {
        QStringList words;
        for (const std::string& word : list) {
            words << QString::fromStdString(word);
        }
        return words;
    };
    words_ = asShown(query_.Words());
    excludedWords_ = asShown(query_.ExcludedWords());
    // Unsorted, the rows shown are mapped afresh at once: far quicker over a
    // whole collection than the proxy's row-by-row removals and insertions,
    // which a sorted list keeps so as not to sort again.
    if (sortColumn() < 0) {
        invalidate();
    } else {
        invalidateFilter();
    }
}

const QString& FileListProxy::FilterText(int sourceRow, const QModelIndex& sourceParent) const {
    const auto at = static_cast<std::size_t>(sourceRow);
    if (at >= filterTexts_.size()) {
        filterTexts_.resize(static_cast<std::size_t>(files_->rowCount()));
    }
    std::optional<QString>& cells = filterTexts_[at];
    if (!cells) {
        // Every column shown, as it is shown.
        cells.emplace();
        for (const int column : filtered_) {
            *cells += files_->index(sourceRow, column, sourceParent)
                          .data(FileListModel::kFilterRole)
                          .toString();
            *cells += u'\t';
        }
    }
    return *cells;
}

const FileRow& FileListProxy::Row(int row) const {
    return files_->Row(mapToSource(index(row, 0)).row());
}

bool FileListProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const QVariant a = left.data(FileListModel::kSortRole);
    const QVariant b = right.data(FileListModel::kSortRole);
    // A row without the value sorts before every row with one.
    if (a.typeId() == QMetaType::Double || b.typeId() == QMetaType::Double) {
        if (!a.isValid() || !b.isValid()) {
            return !a.isValid() && b.isValid();
        }
        return a.toDouble() < b.toDouble();
    }
    return collator_.compare(a.toString(), b.toString()) < 0;
}

bool FileListProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (query_.Empty()) {
        return true;
    }
    if (!query_.MatchesFields(files_->Row(sourceRow))) {
        return false;
    }
    if (words_.isEmpty() && excludedWords_.isEmpty()) {
        return true;
    }
    const QString& cells = FilterText(sourceRow, sourceParent);
    const auto found = [&](const QString& word) {
        return cells.contains(word, Qt::CaseInsensitive);
    };
    return std::all_of(words_.begin(), words_.end(), found) &&
           std::none_of(excludedWords_.begin(), excludedWords_.end(), found);
}

} // namespace vidarium

#include "filelistmodel.h"

#include <iterator>

namespace vidarium {

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(kPublishIntervalMs);
    connect(&publishTimer_, &QTimer::timeout, this, &FileListModel::PublishPendingRows);
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kListColumns.size());
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        const FileRow& row = Row(index.row());
        // The list holds locale text; it is decoded for display only. A
        // column past the row's own sub-items shows empty.
        const auto column = static_cast<std::size_t>(index.column());
        const std::string* text = column == 0                     ? &row.Caption
                                  : column <= row.SubItems.size() ? &row.SubItems[column - 1]
                                                                  : nullptr;
        return text == nullptr ? QString() : FromLocaleText(*text);
    }
    if (role == Qt::TextAlignmentRole) {
        const bool right = kListColumns[static_cast<std::size_t>(index.column())].RightAligned;
        return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
    }
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return {};
    }
    const ListColumn& column = kListColumns[static_cast<std::size_t>(section)];
    if (role == Qt::DisplayRole) {
        return QString::fromLatin1(column.Caption);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignVCenter |
                                   (column.RightAligned ? Qt::AlignRight : Qt::AlignLeft));
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

void FileListModel::PublishPendingRows() {
    publishTimer_.stop();
    if (pending_.empty()) {
        return;
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(pending_.size()) - 1);
    std::move(pending_.begin(), pending_.end(), std::back_inserter(rows_));
    endInsertRows();
    pending_.clear();
}

void FileListModel::Clear() {
    publishTimer_.stop();
    beginResetModel();
    rows_.clear();
    rows_.shrink_to_fit();
    pending_.clear();
    endResetModel();
}

} // namespace vidarium

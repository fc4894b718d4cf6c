// The file list: a table model over the rows, shown report-style.
#pragma once

#include "filerow.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <string_view>
#include <vector>

namespace vidarium {

// The list's locale text, decoded for display. Bytes the locale's character
// set cannot decode show as the Latin-1 character of the same number (the
// 0xA9 of a QuickTime label as the copyright sign), never as a blank mark.
QString FromLocaleText(std::string_view text);
// A cell's full text as its tooltip shows it: cut to fit on a screen.
QString TooltipText(const QString& text);

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    // Rows appended during a scan are shown in batches at most this often:
    // repainting the list for every single row would keep the window busy.
    static constexpr int kPublishIntervalMs = 50;
    static constexpr int kCommentsColumn = 12;
    // A tooltip shows at most this many lines of at most this many characters.
    static constexpr int kTooltipLines = 40;
    static constexpr int kTooltipWidth = 160;
    // Drawn between the items of a Comments cell, which the list shows on
    // one line.
    static constexpr char16_t kItemSeparator[] = u" \u00B6 ";

    explicit FileListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Appends at the end; the row is in the list at once and shown with the
    // next batch (or at PublishPendingRows).
    void AppendRow(FileRow row);
    void PublishPendingRows();
    void Clear();
    const FileRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }

private:
    // A cell's text as shown, or as its tooltip.
    QVariant CellText(const QModelIndex& index, bool tooltip) const;
    std::vector<FileRow> rows_;
    std::vector<FileRow> pending_;
    QTimer publishTimer_;
};

} // namespace vidarium

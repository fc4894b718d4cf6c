// The file list: a table model over the rows, shown report-style.
#pragma once

#include "columns.h"
#include "filerow.h"
#include "rowquery.h"

#include <QAbstractTableModel>
#include <QCollator>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <QTimer>

#include <array>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
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
    // A cell's value for sorting: a number for the columns of numbers,
    // sizes, lengths and rates (empty where the row has none), else its text.
    static constexpr int kSortRole = Qt::UserRole;
    // What the filter reads of a cell: its text and the words that describe
    // it (a language's name beside its code).
    static constexpr int kFilterRole = Qt::UserRole + 1;
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
    // From the scan's thread, without waiting for the window: the row joins
    // the next batch, in the order handed over.
    void HandOverRow(FileRow row);
    void PublishPendingRows();
    void Clear();
    // The rows below `folder` (ending with the separator; empty: every row)
    // are of a folder that is not there (a drive in a drawer), last walked
    // at `lastSeen` (0: not known): greyed, and their tooltips say so. Until
    // Clear.
    void MarkNotConnected(std::time_t lastSeen, std::string folder = {});
    // When a row's folder was last seen, while the row is marked so.
    std::optional<std::time_t> NotConnectedSince(const std::filesystem::path& path) const;
    // "not connected, last seen 2026-12-09 15:30".
    static QString NotConnectedText(std::time_t lastSeen);
    const FileRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }

private:
    // A cell's text as shown, or as its tooltip.
    QVariant CellText(const QModelIndex& index, bool tooltip) const;
    QVariant SortValue(const QModelIndex& index) const;
    std::vector<FileRow> rows_;
    std::vector<FileRow> pending_;
    std::mutex handedOverMutex_;
    std::vector<FileRow> handedOver_; // by the scan's thread, not yet taken
    QTimer publishTimer_;
    struct Absent {
        std::string Below;
        std::time_t LastSeen = 0;
    };
    std::vector<Absent> notConnected_; // a few: one a drive away
};

// The rows as the list shows them: in the walk's order until a column is
// sorted, numbers by value and texts naturally without regard to case; only
// the rows the filter's search finds (its words in the cells shown, its
// field terms in the row's values).
class FileListProxy final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit FileListProxy(FileListModel* files, QObject* parent = nullptr);

    // A search as RowQuery reads it; empty: every row. Its terms that
    // cannot be read are in FilterProblems().
    void SetFilterWords(const QString& text);
    const std::vector<QueryProblem>& FilterProblems() const { return query_.Problems(); }
    // The columns the filter reads: those the list shows.
    void SetFilteredColumns(std::vector<int> columns);
    bool Filtering() const { return !query_.Empty(); }
    // The source row behind a row of the list.
    const FileRow& Row(int row) const;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    // What a row's words are sought in: the text of the columns shown,
    // made once a row until the columns or the rows change (each keystroke
    // then seeks in it alone).
    const QString& FilterText(int sourceRow, const QModelIndex& sourceParent) const;
    FileListModel* files_;
    mutable std::vector<std::optional<QString>> filterTexts_;
    RowQuery query_;
    QStringList words_;
    QStringList excludedWords_;
    std::vector<int> filtered_;
    QCollator collator_;
};

} // namespace vidarium

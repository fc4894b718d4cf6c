#include "collectionpane.h"

#include "filelistmodel.h"

#include <QComboBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QTableWidget>
#include <QTreeWidget>

#include <array>

namespace vidarium {
namespace {

// Where an item keeps what it lists.
constexpr int kEntryRole = Qt::UserRole;
constexpr int kRootRole = Qt::UserRole + 1;

QString DataSizeText(std::uint64_t bytes) {
    // As the status bar sums the list.
    return QLocale().formattedDataSize(static_cast<qint64>(bytes));
}

QString LengthText(std::int64_t milliseconds) {
    return FromLocaleText(
        TimeTextFromMs(static_cast<std::uint64_t>(std::max<std::int64_t>(0, milliseconds))));
}

// A drive by its label (else its UUID), a folder by its path; where it is,
// when it is not where it was.
QString RootName(const CataloguedRoot& root) {
    QString name = root.Uuid.empty()    ? FromLocaleText(root.Path)
                   : root.Label.empty() ? QString::fromStdString(root.Uuid)
                                        : FromLocaleText(root.Label);
    if (!root.ConnectedAt) {
        name += QStringLiteral(" (not connected)");
    } else if (*root.ConnectedAt != root.Path) {
        name += QStringLiteral(" (at %1)").arg(FromLocaleText(*root.ConnectedAt));
    }
    return name;
}

QString RootTooltip(const CataloguedRoot& root) {
    QStringList lines;
    if (!root.Uuid.empty()) {
        lines << QStringLiteral("Drive %1, UUID %2")
                     .arg(FromLocaleText(root.Label), QString::fromStdString(root.Uuid));
        lines << QStringLiteral("Last mounted at %1").arg(FromLocaleText(root.Path));
    } else {
        lines << FromLocaleText(root.Path);
    }
    lines << (root.ConnectedAt
                  ? QStringLiteral("Connected at %1").arg(FromLocaleText(*root.ConnectedAt))
                  : QStringLiteral("Not connected"));
    return lines.join(u'\n');
}

} // namespace

CollectionPane::CollectionPane(QWidget* parent) : QWidget(parent) {
    Tree = new QTreeWidget(this);
    Tree->setRootIsDecorated(false);
    Tree->setUniformRowHeights(true);
    Tree->setHeaderLabels({QStringLiteral("Collection"), QStringLiteral("Movies"),
                           QStringLiteral("Size"), QStringLiteral("Running time"),
                           QStringLiteral("Last scan")});
    Tree->header()->setStretchLastSection(false);
    TotalsBy = new QComboBox(this);
    for (const auto& [field, caption] : std::array<std::pair<TotalsField, const char*>, 5>{{
             {TotalsField::Container, "Totals by container"},
             {TotalsField::Codec, "Totals by video codec"},
             {TotalsField::Resolution, "Totals by resolution"},
             {TotalsField::Hdr, "Totals by HDR"},
             {TotalsField::Language, "Totals by sound language"},
         }}) {
        TotalsBy->addItem(QString::fromLatin1(caption), static_cast<int>(field));
    }
    TotalsTable = new QTableWidget(0, 4, this);
    TotalsTable->setHorizontalHeaderLabels({QString(), QStringLiteral("Movies"),
                                            QStringLiteral("Size"),
                                            QStringLiteral("Running time")});
    TotalsTable->verticalHeader()->hide();
    TotalsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TotalsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    TotalsTable->setShowGrid(false);
    TotalsTable->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    // A click, or the keys moving through the entries, lists the entry.
    connect(Tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item != nullptr) {
            emit Chosen(static_cast<Entry>(item->data(0, kEntryRole).toInt()),
                        item->data(0, kRootRole).toInt());
        }
    });
    connect(TotalsBy, &QComboBox::currentIndexChanged, this, &CollectionPane::TotalsFieldChanged);
}

void CollectionPane::SetCollection(std::vector<CataloguedRoot> roots, std::size_t duplicateGroups,
                                   std::uint64_t wasted) {
    roots_ = std::move(roots);
    // The entry in hand, to keep it chosen.
    const QTreeWidgetItem* current = Tree->currentItem();
    const int entry = current != nullptr ? current->data(0, kEntryRole).toInt() : -1;
    const std::string path = current != nullptr && entry == static_cast<int>(Entry::Root)
                                 ? current->data(0, Qt::UserRole + 2).toString().toStdString()
                                 : std::string();
    const QSignalBlocker quiet(Tree);
    Tree->clear();
    const auto add = [&](Entry kind, int root, const QStringList& cells) {
        auto* item = new QTreeWidgetItem(Tree, cells);
        item->setData(0, kEntryRole, static_cast<int>(kind));
        item->setData(0, kRootRole, root);
        for (int column = 1; column < cells.size(); ++column) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
        return item;
    };
    const QLocale locale;
    std::uint64_t movies = 0;
    std::uint64_t bytes = 0;
    std::int64_t duration = 0;
    for (const CataloguedRoot& root : roots_) {
        // A folder inside a drive's mount counts with the drive: the sums
        // are of the drives and of the folders on none.
        movies += root.Movies;
        bytes += root.Bytes;
        duration += root.DurationMs;
    }
    QTreeWidgetItem* everything =
        add(Entry::Everything, -1,
            {QStringLiteral("Everything"), locale.toString(static_cast<qulonglong>(movies)),
             DataSizeText(bytes), LengthText(duration), QString()});
    QTreeWidgetItem* chosen = entry == static_cast<int>(Entry::Everything) ? everything : nullptr;
    for (std::size_t i = 0; i < roots_.size(); ++i) {
        const CataloguedRoot& root = roots_[i];
        const QString scanned = root.LastScan > 0
                                    ? QDateTime::fromSecsSinceEpoch(root.LastScan)
                                          .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                                    : QString();
        QTreeWidgetItem* item =
            add(Entry::Root, static_cast<int>(i),
                {RootName(root), locale.toString(static_cast<qulonglong>(root.Movies)),
                 DataSizeText(root.Bytes), LengthText(root.DurationMs), scanned});
        item->setToolTip(0, RootTooltip(root));
        item->setData(0, Qt::UserRole + 2, QString::fromStdString(root.Path));
        if (!root.ConnectedAt) {
            item->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
        }
        if (entry == static_cast<int>(Entry::Root) && root.Path == path) {
            chosen = item;
        }
    }
    QTreeWidgetItem* duplicates = add(Entry::Duplicates, -1,
                                      {QStringLiteral("Duplicates"),
                                       locale.toString(static_cast<qulonglong>(duplicateGroups)),
                                       DataSizeText(wasted), QString(), QString()});
    duplicates->setToolTip(0, QStringLiteral("Groups of probable copies (one size, the same "
                                             "first and last blocks) and the space they waste"));
    if (entry == static_cast<int>(Entry::Duplicates)) {
        chosen = duplicates;
    }
    Tree->setCurrentItem(chosen);
    for (int column = 0; column < Tree->columnCount(); ++column) {
        Tree->resizeColumnToContents(column);
    }
}

void CollectionPane::ShowTotals(std::span<const FileRow* const> rows) {
    const auto field = static_cast<TotalsField>(TotalsBy->currentData().toInt());
    const std::vector<TotalsGroup> groups = Totals(rows, field);
    TotalsTable->setRowCount(static_cast<int>(groups.size()));
    TotalsTable->setHorizontalHeaderItem(
        0, new QTableWidgetItem(QString::fromLatin1(TotalsFieldCaption(field))));
    const QLocale locale;
    for (int row = 0; row < static_cast<int>(groups.size()); ++row) {
        const TotalsGroup& group = groups[static_cast<std::size_t>(row)];
        const std::array<QString, 4> cells{FromLocaleText(group.Value),
                                           locale.toString(static_cast<qulonglong>(group.Movies)),
                                           DataSizeText(group.Bytes), LengthText(group.DurationMs)};
        for (int column = 0; column < 4; ++column) {
            auto* item = new QTableWidgetItem(cells[static_cast<std::size_t>(column)]);
            if (column > 0) {
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            }
            TotalsTable->setItem(row, column, item);
        }
    }
    TotalsTable->resizeColumnsToContents();
}

void CollectionPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The tree above, the totals under it: each half the pane.
    const int half = height() / 2;
    Tree->setGeometry(0, 0, width(), half);
    TotalsBy->setGeometry(0, half + 2, width(), TotalsBy->sizeHint().height());
    const int tableTop = TotalsBy->y() + TotalsBy->height() + 2;
    TotalsTable->setGeometry(0, tableTop, width(), std::max(0, height() - tableTop));
}

} // namespace vidarium

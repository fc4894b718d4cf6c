// The window's second face: the Collection pane (F9) lists every drive and
// folder of the catalogue, connected or not, and puts the rows of the one
// chosen (or of all, or the probable copies) into the list, where sorting,
// columns, the filter, Copy and Export work as on a scan's rows.
#include "collectionpane.h"
#include "mainform.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>

namespace vidarium {

void TForm1::BuildCollection() {
    Collection = new CollectionPane(this);
    Collection->hide();
    actCollection = new QAction(QStringLiteral("Collection"), this);
    actCollection->setCheckable(true);
    actCollection->setShortcut(QKeySequence(Qt::Key_F9));
    addAction(actCollection);
    connect(actCollection, &QAction::toggled, this, [this](bool shown) {
        Collection->setVisible(shown);
        FormResize();
        if (shown) {
            RefreshCollection();
            Collection->Tree->setFocus();
        }
    });
    connect(Collection, &CollectionPane::Chosen, this, &TForm1::ListCollectionEntry);
    // The totals follow the rows shown, a moment after they settle.
    totalsTimer_.setSingleShot(true);
    totalsTimer_.setInterval(100);
    connect(&totalsTimer_, &QTimer::timeout, this, &TForm1::ShowCollectionTotals);
    const auto later = [this] {
        if (Collection->isVisible()) {
            totalsTimer_.start();
        }
    };
    connect(Shown, &QAbstractItemModel::rowsInserted, this, later);
    connect(Shown, &QAbstractItemModel::rowsRemoved, this, later);
    connect(Shown, &QAbstractItemModel::modelReset, this, later);
    connect(Shown, &QAbstractItemModel::layoutChanged, this, later);
    connect(Collection, &CollectionPane::TotalsFieldChanged, this, &TForm1::ShowCollectionTotals);
}

Catalogue* TForm1::CollectionCatalogue(QString& fault) {
    if (!collectionReader_) {
        try {
            // A reader of its own, on this thread: it takes no lock, so a
            // scan goes on beside it.
            collectionReader_ =
                std::make_unique<Catalogue>(std::filesystem::path(CatalogueFile().toStdString()),
                                            Catalogue::kBusyWait, Catalogue::Use::Read);
        } catch (const CatalogueError& error) {
            fault = FromLocaleText(error.what());
        }
    }
    return collectionReader_.get();
}

void TForm1::RefreshCollection() {
    if (!Collection->isVisible()) {
        return;
    }
    QString fault;
    Catalogue* reader = CollectionCatalogue(fault);
    if (reader == nullptr) {
        statusText_->setText(QStringLiteral("The collection cannot be shown: ") + fault);
        return;
    }
    const std::vector<DuplicateGroup> groups = reader->Duplicates({});
    Collection->SetCollection(reader->Roots(), groups.size(), TotalWasted(groups));
    Collection->Tree->setEnabled(!scanning_);
    ShowCollectionTotals();
}

void TForm1::ListCollectionEntry(CollectionPane::Entry entry, int root) {
    QString fault;
    Catalogue* reader = scanning_ ? nullptr : CollectionCatalogue(fault);
    if (reader == nullptr) {
        return;
    }
    const auto index = static_cast<std::size_t>(root);
    const CataloguedRoot* chosen = nullptr;
    if (entry == CollectionPane::Entry::Root) {
        if (index >= Collection->Roots().size()) {
            return;
        }
        chosen = &Collection->Roots()[index];
    }
    ListView1->setUpdatesEnabled(false);
    Files->Clear();
    ListView1->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    Shown->sort(-1);
    if (entry == CollectionPane::Entry::Duplicates) {
        ListDuplicates(*reader);
    } else {
        ListCatalogued(*reader, chosen);
    }
    Files->PublishPendingRows();
    ListView1->setUpdatesEnabled(true);
    ShowScanEnd();
}

void TForm1::ListCatalogued(Catalogue& reader, const CataloguedRoot* chosen) {
    std::time_t lastSeen = 0;
    for (FileRow& row : reader.RowsBelow(chosen == nullptr ? std::string() : chosen->Path,
                                         chkAllFormats->isChecked(), lastSeen)) {
        Files->AppendRow(std::move(row));
    }
    if (chosen == nullptr) {
        // Everything: the rows of each drive or folder that is away say so.
        for (const CataloguedRoot& away : Collection->Roots()) {
            if (!away.ConnectedAt) {
                Files->MarkNotConnected(away.LastScan, away.Path);
            }
        }
        collectionStatus_ = QStringLiteral(" - everything catalogued");
    } else if (chosen->ConnectedAt) {
        collectionStatus_ = QStringLiteral(" - catalogued on %1").arg(FromLocaleText(chosen->Path));
    } else {
        Files->MarkNotConnected(lastSeen);
        collectionStatus_ =
            QStringLiteral(" - catalogued on %1, %2")
                .arg(FromLocaleText(chosen->Path), FileListModel::NotConnectedText(lastSeen));
    }
}

void TForm1::ListDuplicates(Catalogue& reader) {
    const std::vector<DuplicateGroup> groups = reader.Duplicates({});
    for (const DuplicateGroup& group : groups) {
        for (const DuplicateCopy& copy : group.Copies) {
            Files->AppendRow(copy.Row);
        }
    }
    const QLocale locale;
    collectionStatus_ =
        QStringLiteral(" - %1 %2 of probable copies, %3 wasted")
            .arg(locale.toString(static_cast<qulonglong>(groups.size())),
                 groups.size() == 1 ? QStringLiteral("group") : QStringLiteral("groups"),
                 locale.formattedDataSize(static_cast<qint64>(TotalWasted(groups))));
}

void TForm1::ShowCollectionTotals() {
    if (!Collection->isVisible()) {
        return;
    }
    std::vector<const FileRow*> rows;
    rows.reserve(static_cast<std::size_t>(Shown->rowCount()));
    for (int row = 0; row < Shown->rowCount(); ++row) {
        rows.push_back(&Shown->Row(row));
    }
    Collection->ShowTotals(rows);
}

} // namespace vidarium

// The window as the scan's host: the worker's steps, run on the window's
// thread, and the status bar's sums of a scan.
#include "mainform.h"

#include "localtext.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMetaObject>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <QTableView>
#include <QTreeWidget>

namespace vidarium {

QString TForm1::StatusText() const {
    return statusText_->text();
}

void TForm1::ShowStatus(const std::string& text) {
    steps_.Run([&] {
        // The worker names the folder being walked as a pattern ("folder/*").
        QString folder = FromLocaleText(text);
        if (folder.endsWith(u'*')) {
            folder.chop(1);
        }
        ShowScanning(folder);
    });
}

void TForm1::WaitingForCatalogue() {
    steps_.Run([&] {
        statusText_->setText(QStringLiteral("Waiting for another scan of the catalogue to end..."));
    });
}

void TForm1::ShowScanning(const QString& folder) {
    scanningFolder_ = folder;
    collectionStatus_.clear();
    Collection->Tree->setEnabled(false);
    statusText_->setText(QStringLiteral("Scanning %1 - %2 movies")
                             .arg(folder, QLocale().toString(Files->rowCount())));
}

void TForm1::ClearList() {
    steps_.Run([&] {
        ListView1->setUpdatesEnabled(false);
        Files->Clear();
        // A new scan shows its rows in the walk's order.
        ListView1->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        Shown->sort(-1);
        ListView1->setUpdatesEnabled(true);
        statusText_->clear();
        statusText_->setToolTip(QString());
        scanning_ = true;
        fromCatalogueBefore_ = worker_->RowsFromCatalogue();
        // A stop asked for after this request, before the scan began, holds:
        // the worker clears a stop when it takes a request, so it is asked
        // again now that the scan runs.
        stopRequested_ = stoppedRequest_ == requestsMade_;
        if (stopRequested_) {
            worker_->RequestStop();
        }
        const std::lock_guard lock(unreadableMutex_);
        unreadable_.clear();
        kept_.clear();
    });
}

void TForm1::AddRow(FileRow row) {
    // Handed over without a wait for the window: the steps after it publish
    // it first, so that the list and the status agree.
    Files->HandOverRow(std::move(row));
}

void TForm1::DirectoryUnreadable(const std::filesystem::path& directory) {
    const std::lock_guard lock(unreadableMutex_);
    unreadable_.push_back(directory.native());
}

void TForm1::CataloguedKept(const KeptFolder& kept) {
    const std::lock_guard lock(unreadableMutex_);
    kept_.push_back(kept);
}

void TForm1::FileUnreadable(const std::filesystem::path& file, std::error_code) {
    const std::lock_guard lock(unreadableMutex_);
    unreadable_.push_back(file.native());
}

QString TForm1::ShownSummary() const {
    std::uint64_t bytes = 0;
    std::uint64_t milliseconds = 0;
    // A file no reader took (random bytes, an empty file) is no movie.
    std::array<int, 2> shownMovies{}; // movies, other files
    const int shown = Shown->rowCount();
    for (int row = 0; row < shown; ++row) {
        const FileRow& file = Shown->Row(row);
        bytes += file.Size;
        milliseconds += static_cast<std::uint64_t>(
            std::max<std::int64_t>(file.Summary.DurationMs.value_or(0), 0));
        ++shownMovies[file.Source == RowSource::Plain ? 1 : 0];
    }
    std::array<int, 2> allMovies = shownMovies;
    if (Shown->Filtering()) {
        allMovies = {};
        for (int row = 0; row < Files->rowCount(); ++row) {
            ++allMovies[Files->Row(row).Source == RowSource::Plain ? 1 : 0];
        }
    }
    const QLocale locale;
    const auto counted = [&](std::size_t kind, const QString& noun) {
        return Shown->Filtering()
                   ? QStringLiteral("%1 of %2 %3")
                         .arg(locale.toString(shownMovies[kind]), locale.toString(allMovies[kind]),
                              noun)
                   : QStringLiteral("%1 %2").arg(locale.toString(shownMovies[kind]), noun);
    };
    QString count = counted(0, QStringLiteral("movies"));
    if (allMovies[1] > 0) {
        count +=
            QStringLiteral(" and ") + counted(1, allMovies[1] == 1 ? QStringLiteral("other file")
                                                                   : QStringLiteral("other files"));
    }
    if (Shown->Filtering()) {
        count += QStringLiteral(" shown");
    }
    return QStringLiteral("%1, %2 in all, running time %3")
        .arg(count, locale.formattedDataSize(static_cast<qint64>(bytes)),
             QString::fromStdString(TimeTextFromMs(milliseconds)));
}

void TForm1::ShowScanEnd() {
    if (!collectionStatus_.isEmpty()) {
        statusText_->setText(ShownSummary() + collectionStatus_);
        statusText_->setToolTip(QString());
        return;
    }
    QString text =
        (stopRequested_ ? QStringLiteral("Stopped. ") : QStringLiteral("Done! ")) + ShownSummary();
    if (catalogue_) {
        // What the catalogue saved: rows taken from it, files opened.
        const auto stored =
            static_cast<qulonglong>(worker_->RowsFromCatalogue() - fromCatalogueBefore_);
        const auto all = static_cast<qulonglong>(Files->rowCount());
        const QLocale locale;
        text += QStringLiteral(" - %1 from the catalogue, %2 read")
                    .arg(locale.toString(stored), locale.toString(all - std::min(all, stored)));
    }
    const std::lock_guard lock(unreadableMutex_);
    QStringList paths;
    for (const std::string& path : unreadable_) {
        paths << FromLocaleText(path);
    }
    if (!paths.isEmpty()) {
        text += QStringLiteral(" - %1 could not be read").arg(QLocale().toString(paths.size()));
    }
    // What the catalogue kept of a drive that is not plugged in.
    for (const KeptFolder& kept : kept_) {
        text += QStringLiteral(" - %1 is not there - %2 catalogued movies kept")
                    .arg(FromLocaleText(kept.Folder),
                         QLocale().toString(static_cast<qulonglong>(kept.Movies)));
    }
    statusText_->setText(text);
    statusText_->setToolTip(TooltipText(paths.join(u'\n')));
}

void TForm1::ShowScanEnded(const QString& status) {
    Files->PublishPendingRows();
    scanning_ = false;
    if (status.isEmpty()) {
        ShowScanEnd();
    } else {
        statusText_->setText(status);
    }
    cmdScan->setEnabled(true);
    cmdStop->setEnabled(false);
    cmdStop->setText(QStringLiteral("Stop"));
    // What the scan changed in the collection.
    Collection->Tree->setEnabled(true);
    RefreshCollection();
}

void TForm1::ScanFailed(const std::string& folder) {
    steps_.Run([&] { ShowScanEnded(QStringLiteral("Cannot read ") + FromLocaleText(folder)); });
}

void TForm1::ShowingCatalogued(const std::string& folder, std::size_t rows, std::time_t lastSeen) {
    steps_.Run([&] {
        Files->PublishPendingRows();
        Files->MarkNotConnected(lastSeen);
        // As the Modified column writes times.
        const QString seen = lastSeen > 0 ? QDateTime::fromSecsSinceEpoch(lastSeen).toString(
                                                QStringLiteral("yyyy-MM-dd HH:mm"))
                                          : QStringLiteral("unknown");
        ShowScanEnded(QStringLiteral("Cannot read %1 - showing %2 catalogued movies (last seen %3)")
                          .arg(FromLocaleText(folder),
                               QLocale().toString(static_cast<qulonglong>(rows)), seen));
    });
}

void TForm1::TellCatalogueFault() {
    if (catalogue_ && !catalogue_->Fault().empty() && !catalogueFaultTold_) {
        catalogueFaultTold_ = true;
        ShowMessage(QStringLiteral("Catalogue"), FromLocaleText(catalogue_->Fault()));
    }
}

void TForm1::ScanDone() {
    steps_.Run([&] { ShowScanEnded({}); });
    // After the step: a message box would hold the worker inside it.
    QMetaObject::invokeMethod(
        this, [this] { TellCatalogueFault(); }, Qt::QueuedConnection);
}

} // namespace vidarium

#include "mainform.h"

#include "localtext.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTableView>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vidarium {
namespace {

constexpr int kGap = 8;
constexpr int kEditGap = 4;

QString TrimBelow33(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() < 33) {
        ++first;
    }
    while (last > first && text[last - 1].unicode() < 33) {
        --last;
    }
    return text.mid(first, last - first);
}

std::filesystem::path NativePath(const QString& text) {
    return std::filesystem::path(QFile::encodeName(text).toStdString());
}

} // namespace

void TForm1::keyPressEvent(QKeyEvent* event) {
    // A focused button has taken Enter itself.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        event->modifiers() == Qt::NoModifier &&
        qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
        if (cmdScan->isEnabled()) {
            cmdScan->click();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void TForm1::CopySelectedRows() {
    QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::string lines;
    for (const QModelIndex& index : selected) {
        AppendExportLine(lines, Files->Row(index.row()));
    }
    if (!lines.empty()) {
        QGuiApplication::clipboard()->setText(FromLocaleText(lines));
    }
}

std::filesystem::path TForm1::CurrentFilePath() const {
    const QModelIndex current = ListView1->currentIndex();
    return current.isValid() ? Files->Row(current.row()).Path : std::filesystem::path();
}

void TForm1::OpenCurrentFile() {
    if (const std::filesystem::path file = CurrentFilePath(); !file.empty()) {
        OpenUrl(QUrl::fromLocalFile(QFile::decodeName(file.c_str())));
    }
}

void TForm1::OpenCurrentFolder() {
    if (const std::filesystem::path file = CurrentFilePath(); !file.empty()) {
        OpenUrl(QUrl::fromLocalFile(QFile::decodeName(file.parent_path().c_str())));
    }
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Vidarium v1.10"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);

    Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::NoFrame);
    auto* label = new QLabel(QStringLiteral("Directory:"), Panel1);
    // Wider than its design when the platform's font needs it, so that the
    // caption is never cut; it still ends before the edit.
    label->setGeometry(8, 10, std::clamp(label->sizeHint().width(), 48, 58), 13);
    txtDirectory = new QLineEdit(Panel1);
    txtDirectory->setGeometry(68, 8, 229, 21);
    cmdBrowse = new QPushButton(QStringLiteral("..."), Panel1);
    cmdBrowse->setGeometry(300, 8, 21, 21);
    cmdScan = new QPushButton(QStringLiteral("Scan"), Panel1);
    cmdScan->setGeometry(328, 8, 85, 25);
    cmdScan->setDefault(true);
    cmdStop = new QPushButton(QStringLiteral("Stop"), Panel1);
    cmdStop->setGeometry(416, 8, 85, 25);
    cmdStop->setEnabled(false);
    cmdExportList = new QPushButton(QStringLiteral("Export List..."), Panel1);
    cmdExportList->setGeometry(8, 36, 113, 25);
    chkAllFormats = new QCheckBox(QStringLiteral("All formats"), Panel1);
    chkAllFormats->setGeometry(132, 40, std::max(chkAllFormats->sizeHint().width(), 90), 17);
    chkAllFormats->setToolTip(
        QStringLiteral("Also list MP4, M4V and 3GP files, and read every movie file that the "
                       "AVI, QuickTime and MPEG readers do not accept by its content: an MP4 "
                       "named .mov, an AVI without sound"));
    // A focused button takes Enter itself, as in a dialog.
    for (QPushButton* button : {cmdBrowse, cmdScan, cmdStop, cmdExportList}) {
        button->setAutoDefault(true);
    }

    Files = new FileListModel(this);
    ListView1 = new QTableView(this);
    ListView1->setModel(Files);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setSortingEnabled(false);
    ListView1->setShowGrid(false);
    ListView1->setWordWrap(false);
    ListView1->setTabKeyNavigation(false);
    ListView1->verticalHeader()->hide();
    // Every row has the same height, so the list stays fast at any length.
    ListView1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListView1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    QHeaderView* header = ListView1->horizontalHeader();
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    // Widths sized to the captions once; they do not follow the content.
    for (int column = 0; column < Files->columnCount(); ++column) {
        const int fixed = kListColumns[static_cast<std::size_t>(column)].FixedWidth;
        header->resizeSection(column, fixed > 0 ? fixed : header->sectionSizeHint(column));
    }

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    statusText_ = new QLabel(StatusBar1);
    StatusBar1->addWidget(statusText_, 1);

    setTabOrder(txtDirectory, cmdBrowse);
    setTabOrder(cmdBrowse, cmdScan);
    setTabOrder(cmdScan, cmdStop);
    setTabOrder(cmdStop, cmdExportList);
    setTabOrder(cmdExportList, chkAllFormats);
    setTabOrder(chkAllFormats, ListView1);

    connect(cmdBrowse, &QPushButton::clicked, this, &TForm1::cmdBrowseClick);
    connect(cmdScan, &QPushButton::clicked, this, &TForm1::cmdScanClick);
    connect(cmdStop, &QPushButton::clicked, this, &TForm1::cmdStopClick);
    connect(cmdExportList, &QPushButton::clicked, this, &TForm1::cmdExportListClick);
    // Scan is the default button (keyPressEvent), Stop the cancel button.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (cmdStop->isEnabled()) {
            cmdStop->click();
        }
    });

    actCopy = new QAction(QStringLiteral("Copy"), ListView1);
    actCopy->setShortcut(QKeySequence::Copy);
    actCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    actOpenFile = new QAction(QStringLiteral("Open File"), ListView1);
    actOpenFolder = new QAction(QStringLiteral("Open Containing Folder"), ListView1);
    ListView1->addActions({actCopy, actOpenFile, actOpenFolder});
    ListView1->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(actCopy, &QAction::triggered, this, &TForm1::CopySelectedRows);
    connect(actOpenFile, &QAction::triggered, this, &TForm1::OpenCurrentFile);
    connect(actOpenFolder, &QAction::triggered, this, &TForm1::OpenCurrentFolder);
    connect(ListView1, &QTableView::doubleClicked, this, &TForm1::OpenCurrentFile);

    OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    BrowseForFolder = [this] { return QFileDialog::getExistingDirectory(this); };
    AskExportFileName = [this] {
        return QFileDialog::getSaveFileName(this, QString(), QString(),
                                            QStringLiteral("Tab-delimited list (*.txt)"), nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    };

    resize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    FormResize();
    FormCreate();
}

TForm1::~TForm1() {
    // No step runs once the window is going; the worker ends at its next check.
    steps_.Cancel();
    if (worker_) {
        worker_->RequestStop();
        worker_->Terminate();
    }
    worker_.reset();
}

void TForm1::FormCreate() {
    // Numbers are formatted without the locale, so the frame rate always uses
    // '.', whatever the user's settings say now or later.
    worker_ = std::make_unique<TScanFilesThread>(static_cast<ScanHost&>(*this));
    worker_->Start();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TForm1::FormResize() {
    Panel1->setGeometry(0, 0, width(), kPanelHeight);
    cmdStop->move(Panel1->width() - cmdStop->width() - kGap, cmdStop->y());
    cmdScan->move(cmdStop->x() - cmdScan->width() - kGap, cmdScan->y());
    cmdBrowse->move(cmdScan->x() - cmdBrowse->width() - kGap, cmdBrowse->y());
    // Clamped: a window narrower than the buttons gives the edit no width.
    txtDirectory->resize(std::max(0, cmdBrowse->x() - txtDirectory->x() - kEditGap),
                         txtDirectory->height());
    ListView1->setGeometry(0, kPanelHeight, width(),
                           std::max(0, height() - kPanelHeight - kStatusBarHeight));
    StatusBar1->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
}

void TForm1::closeEvent(QCloseEvent* event) {
    worker_->RequestStop();
    worker_->Terminate();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event->accept();
}

void TForm1::cmdBrowseClick() {
    const QString folder = BrowseForFolder();
    if (!folder.isEmpty()) {
        txtDirectory->setText(folder);
    }
}

void TForm1::cmdScanClick() {
    QString path = TrimBelow33(txtDirectory->text());
    if (path.isEmpty()) {
        return;
    }
    cmdScan->setEnabled(false);
    cmdStop->setEnabled(true);
    worker_->RequestStop();
    if (!path.endsWith(QDir::separator())) {
        path += QDir::separator();
    }
    txtDirectory->setText(path);
    worker_->RequestScan(NativePath(path), chkAllFormats->isChecked());
}

void TForm1::cmdStopClick() {
    cmdStop->setText(QStringLiteral("Stopping..."));
    worker_->RequestStop();
    cmdStop->setEnabled(false);
}

void TForm1::cmdExportListClick() {
    cmdExportList->setEnabled(false);
    QString name = AskExportFileName();
    if (!name.isEmpty()) {
        // Only a name without any extension of its own gets ".txt".
        const std::string bareName = NativePath(name).filename().native();
        if (ExtensionOf(bareName).empty()) {
            name += QStringLiteral(".txt");
        }
        ExportList(name);
    }
    cmdExportList->setEnabled(true);
}

void TForm1::ExportList(const QString& fileName) {
    try {
        std::ofstream file(NativePath(fileName), std::ios::binary | std::ios::trunc);
        if (!file) {
            return;
        }
        // Rows not yet shown cannot be selected; showing them first keeps the
        // selection's row numbers as they are.
        Files->PublishPendingRows();
        QModelIndexList selected = ListView1->selectionModel()->selectedRows();
        std::sort(selected.begin(), selected.end(),
                  [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
        std::string line;
        for (const QModelIndex& index : selected) {
            line.clear();
            AppendExportLine(line, Files->Row(index.row()));
            // A failed write goes unnoticed; the export goes on.
            file.write(line.data(), static_cast<std::streamsize>(line.size()));
        }
    } catch (...) {
        // The export ends silently; the file is closed by its destructor.
    }
}

QString TForm1::StatusText() const {
    return statusText_->text();
}

void TForm1::ShowStatus(const std::string& text) {
    steps_.Run([&] { statusText_->setText(FromLocaleText(text)); });
}

void TForm1::ClearList() {
    steps_.Run([&] {
        ListView1->setUpdatesEnabled(false);
        Files->Clear();
        ListView1->setUpdatesEnabled(true);
        statusText_->clear();
    });
}

void TForm1::AddRow(FileRow row) {
    steps_.Run([&] { Files->AppendRow(std::move(row)); });
}

void TForm1::ScanDone() {
    steps_.Run([&] {
        Files->PublishPendingRows();
        statusText_->setText(QStringLiteral("Done!"));
        cmdScan->setEnabled(true);
        cmdStop->setEnabled(false);
        cmdStop->setText(QStringLiteral("Stop"));
    });
}

} // namespace vidarium

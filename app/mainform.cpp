#include "mainform.h"

#include "exportlist.h"
#include "localtext.h"
#include "readertable.h"
#include "reportview.h"
#include "rowformats.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

namespace vidarium {
namespace {

constexpr int kGap = 8;
// The filter's tooltip while every term reads.
QString FilterTip() {
    return QStringLiteral(
        "Shows only the rows the search finds: every word in the cells shown, -word left out, "
        "\"two words\" together, and terms on the columns such as codec:hevc, lang:deu, "
        "height>=2160, fps<24, size>4G, length>1:30:00, ext:mkv, drive:Films2, hdr (Ctrl+F)");
}
// How long the status bar tells where an export went.
constexpr int kExportToldMs = 10000;
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

// Room a cell's text needs beside it, for the column sized to a value.
constexpr int kCellMargin = 12;

} // namespace

QIcon ApplicationIcon() {
    // The installed theme's icon where there is one, else the built-in one.
    QIcon builtIn;
    builtIn.addFile(QStringLiteral(":/icons/48/vidarium.png"));
    builtIn.addFile(QStringLiteral(":/icons/256/vidarium.png"));
    return QIcon::fromTheme(QStringLiteral("vidarium"), builtIn);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    // A focused button has taken Enter itself. The keypad's Enter is Return.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
        qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
        // Also while a scan runs: the folder typed since is scanned instead.
        cmdScanClick();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier) {
        cmdScanClick(/*readAgain=*/true);
        return;
    }
    QWidget::keyPressEvent(event);
}

std::vector<const FileRow*> TForm1::RowsToWrite(bool allWhenNone) const {
    QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<const FileRow*> rows;
    for (const QModelIndex& index : selected) {
        rows.push_back(&Shown->Row(index.row()));
    }
    if (rows.empty() && allWhenNone) {
        for (int row = 0; row < Shown->rowCount(); ++row) {
            rows.push_back(&Shown->Row(row));
        }
    }
    return rows;
}

void TForm1::CopySelectedRows() {
    std::string lines;
    for (const FileRow* row : RowsToWrite(false)) {
        AppendExportLine(lines, *row);
    }
    if (!lines.empty()) {
        QGuiApplication::clipboard()->setText(FromLocaleText(lines));
    }
}

std::filesystem::path TForm1::CurrentFilePath() const {
    const QModelIndex current = ListView1->currentIndex();
    return current.isValid() ? Shown->Row(current.row()).Path : std::filesystem::path();
}

QByteArray TForm1::LocalFileUrl(const std::filesystem::path& path) {
    // QByteArray's own encoding keeps every byte; QUrl's would replace the
    // bytes that are not UTF-8.
    return QByteArray("file://") + QByteArray::fromStdString(path.native()).toPercentEncoding("/");
}

void TForm1::OpenCurrentFile() {
    if (const std::filesystem::path file = CurrentFilePath(); !file.empty()) {
        OpenPath(file, QStringLiteral("Open File"));
    }
}

void TForm1::OpenCurrentFolder() {
    if (const std::filesystem::path file = CurrentFilePath(); !file.empty()) {
        OpenPath(file.parent_path(), QStringLiteral("Open Containing Folder"));
    }
}

void TForm1::OpenPath(const std::filesystem::path& path, const QString& action) {
    std::error_code unknown;
    if (const std::optional<std::time_t> absent = Files->NotConnectedSince(path);
        absent && !std::filesystem::exists(path, unknown)) {
        // No opener is handed a path that is not there.
        ShowMessage(action, QStringLiteral("%1 is on a drive or in a folder that is not "
                                           "connected (%2).")
                                .arg(FromLocaleText(path.native()),
                                     FileListModel::NotConnectedText(*absent)));
        return;
    }
    if (!OpenUrl(LocalFileUrl(path))) {
        ShowMessage(action,
                    QStringLiteral("No program could open %1.").arg(FromLocaleText(path.native())));
    }
}

QMenu* TForm1::ContextMenuAt(const QPoint& position) {
    const QModelIndex index = ListView1->indexAt(position);
    if (!index.isValid()) {
        return nullptr;
    }
    // As file managers do: a row outside the selection becomes the selection.
    QItemSelectionModel* selection = ListView1->selectionModel();
    if (!selection->isRowSelected(index.row(), QModelIndex())) {
        selection->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addActions({actCopy, actOpenFile, actOpenFolder});
    menu->addSeparator();
    menu->addAction(actDetails);
    menu->addAction(actCollection);
    return menu;
}

void TForm1::SetUpColumns() {
    QHeaderView* header = ListView1->horizontalHeader();
    header->setSectionsClickable(true);
    // The view sorts: a click sorts by the column, a second reverses it.
    // No column at first (the walk's order); the indicator shown before the
    // sections are sized, so that its arrow has room beside the caption.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    ListView1->setSortingEnabled(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    // Dragged to another place, a column keeps it (and CSV follows).
    header->setSectionsMovable(true);
    // Widths sized to the captions once; they do not follow the content.
    for (int column = 0; column < Files->columnCount(); ++column) {
        const Column& about = kColumns[static_cast<std::size_t>(column)];
        int width = about.FixedWidth > 0 ? about.FixedWidth : header->sectionSizeHint(column);
        if (about.WidestValue != nullptr) {
            width = std::max(width, ListView1->fontMetrics().horizontalAdvance(
                                        QString::fromLatin1(about.WidestValue)) +
                                        kCellMargin);
        }
        header->resizeSection(column, width);
        // The extra columns wait until chosen.
        header->setSectionHidden(column, !about.ShownAtFirst);
    }
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this](const QPoint& at) {
        ColumnMenu()->popup(ListView1->horizontalHeader()->mapToGlobal(at));
    });
    KeepBlankColumnLast();
    connect(header, &QHeaderView::sectionMoved, this, [this] { KeepBlankColumnLast(); });
}

void TForm1::KeepBlankColumnLast() {
    // The design's blank column ends the list, whatever is dragged past it
    // or shown after it.
    QHeaderView* header = ListView1->horizontalHeader();
    const auto blank = std::find_if(kColumns.begin(), kColumns.end(), [](const Column& column) {
        return column.Source == ColumnSource::Blank;
    });
    const int from = header->visualIndex(static_cast<int>(blank - kColumns.begin()));
    if (from != header->count() - 1) {
        header->moveSection(from, header->count() - 1);
    }
}

QMenu* TForm1::ColumnMenu() {
    QHeaderView* header = ListView1->horizontalHeader();
    auto* menu = new TickMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (int column = 1; column < Files->columnCount(); ++column) {
        const char* name = kColumns[static_cast<std::size_t>(column)].Name;
        if (name == nullptr) {
            continue; // the design's blank last column
        }
        // By its full name: the list's two "Bitrate" captions told apart.
        QAction* action = menu->addAction(QString::fromLatin1(name));
        action->setCheckable(true);
        action->setChecked(!header->isSectionHidden(column));
        connect(action, &QAction::toggled, this, [this, header, column](bool shown) {
            header->setSectionHidden(column, !shown);
            FilterShownColumns();
            SaveColumns();
        });
    }
    return menu;
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Vidarium v1.10"));
    setWindowIcon(ApplicationIcon());
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    BuildPanel();
    BuildList();
    BuildStatusBar();
    BuildCollection();
    ConnectControls();
    InstallDialogs();
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setAcceptDrops(true);

    resize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    FormResize();
    RestoreSettings();
    FormCreate();
}

void TForm1::BuildPanel() {
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
        QStringLiteral("Also list ") + QString::fromStdString(vidarium::ModernFormatsText()) +
        QStringLiteral(" files, and read every movie file that the AVI, QuickTime and MPEG "
                       "readers do not accept by its content: an MP4 named .mov, an AVI "
                       "without sound"));
    txtFilter = new QLineEdit(Panel1);
    txtFilter->setPlaceholderText(QStringLiteral("Filter"));
    txtFilter->setToolTip(FilterTip());
    // A focused button takes Enter itself, as in a dialog.
    for (QPushButton* button : {cmdBrowse, cmdScan, cmdStop, cmdExportList}) {
        button->setAutoDefault(true);
    }
}

void TForm1::BuildList() {
    Files = new FileListModel(this);
    Shown = new FileListProxy(Files, this);
    ListView1 = new ReportView(this);
    ListView1->setModel(Shown);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setShowGrid(false);
    ListView1->setWordWrap(false);
    ListView1->setTabKeyNavigation(false);
    ListView1->verticalHeader()->hide();
    // Every row has the same height, so the list stays fast at any length.
    ListView1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListView1->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    SetUpColumns();

    actCopy = new QAction(QStringLiteral("Copy"), ListView1);
    actCopy->setShortcut(QKeySequence::Copy);
    actCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    actOpenFile = new QAction(QStringLiteral("Open File"), ListView1);
    actOpenFolder = new QAction(QStringLiteral("Open Containing Folder"), ListView1);
    actDetails = new QAction(QStringLiteral("Details"), this);
    actDetails->setCheckable(true);
    actDetails->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    addAction(actDetails);
    txtDetails = new QPlainTextEdit(this);
    txtDetails->setReadOnly(true);
    // Read-only text still takes the keys that move and select in it.
    txtDetails->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtDetails->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtDetails->hide();
    // Ctrl+C works in the list; the menu shows only over a row.
    ListView1->addAction(actCopy);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
}

void TForm1::BuildStatusBar() {
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    statusText_ = new QLabel(StatusBar1);
    StatusBar1->addWidget(statusText_, 1);
}

void TForm1::ConnectControls() {
    setTabOrder(txtDirectory, cmdBrowse);
    setTabOrder(cmdBrowse, cmdScan);
    setTabOrder(cmdScan, cmdStop);
    setTabOrder(cmdStop, cmdExportList);
    setTabOrder(cmdExportList, chkAllFormats);
    setTabOrder(chkAllFormats, txtFilter);
    setTabOrder(txtFilter, ListView1);

    connect(cmdBrowse, &QPushButton::clicked, this, &TForm1::cmdBrowseClick);
    connect(cmdScan, &QPushButton::clicked, this, [this] {
        cmdScanClick(QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier));
    });
    connect(cmdStop, &QPushButton::clicked, this, &TForm1::cmdStopClick);
    connect(cmdExportList, &QPushButton::clicked, this, &TForm1::cmdExportListClick);
    connect(txtFilter, &QLineEdit::textChanged, this, [this](const QString& text) {
        Shown->SetFilterWords(text);
        ShowFilterProblems();
        if (!scanning_ && !statusText_->text().isEmpty()) {
            ShowScanEnd();
        }
    });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        txtFilter->setFocus();
        txtFilter->selectAll();
    });
    // Scan is the default button (keyPressEvent), Stop the cancel button.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (cmdStop->isEnabled()) {
            cmdStop->click();
        }
    });

    connect(ListView1, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        if (QMenu* menu = ContextMenuAt(at)) {
            menu->popup(ListView1->viewport()->mapToGlobal(at));
        }
    });
    connect(actCopy, &QAction::triggered, this, &TForm1::CopySelectedRows);
    connect(actOpenFile, &QAction::triggered, this, &TForm1::OpenCurrentFile);
    connect(actOpenFolder, &QAction::triggered, this, &TForm1::OpenCurrentFolder);
    connect(ListView1, &QTableView::doubleClicked, this, &TForm1::OpenCurrentFile);
    connect(actDetails, &QAction::toggled, this, [this](bool shown) {
        txtDetails->setVisible(shown);
        FormResize();
        ShowDetails();
    });
    connect(ListView1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TForm1::ShowDetails);
}

void TForm1::ShowDetails() {
    if (!txtDetails->isVisible()) {
        return;
    }
    const QModelIndex current = ListView1->currentIndex();
    txtDetails->setPlainText(
        current.isValid() ? FromLocaleText(DetailsText(Shown->Row(current.row()))) : QString());
}

void TForm1::InstallDialogs() {
    OpenUrl = [](const QByteArray& url) {
        // A URL object holds its path as Unicode, so a name that is not
        // UTF-8 goes to the desktop's opener as the encoded text itself.
        if (IsValidUtf8(QByteArray::fromPercentEncoding(url).toStdString())) {
            return QDesktopServices::openUrl(QUrl::fromEncoded(url));
        }
        return QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromLatin1(url)});
    };
    BrowseForFolder = [this](const QString& start) {
        return QFileDialog::getExistingDirectory(this, QString(), start);
    };
    // The dialog asks before it replaces a file.
    AskExportFileName = [this](const QString& title, const QString& start) {
        QString filter;
        QString name = QFileDialog::getSaveFileName(
            this, title, start,
            QStringLiteral("Tab-delimited list (*.txt);;CSV (*.csv);;JSON Lines (*.jsonl)"),
            &filter);
        // A bare name gets the chosen filter's extension (".txt" is added
        // later, with a question, as before).
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) {
            name += filter.startsWith(QStringLiteral("CSV"))          ? QStringLiteral(".csv")
                    : filter.startsWith(QStringLiteral("JSON Lines")) ? QStringLiteral(".jsonl")
                                                                      : QString();
        }
        return name;
    };
    ConfirmReplace = [this](const QString& fileName) {
        return QMessageBox::question(
                   this, QStringLiteral("Confirm Save As"),
                   QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(fileName),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    };
    ShowMessage = [this](const QString& title, const QString& text) {
        QMessageBox::warning(this, title, text);
    };
    OfferNewCatalogue = [this](const QString& fault) {
        return QMessageBox::question(
                   this, QStringLiteral("Catalogue"),
                   fault + QStringLiteral("\n\nSet the damaged file aside (it is kept, renamed "
                                          "beside itself with today's date) and start a new "
                                          "catalogue?"),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
    };
}

void TForm1::RestoreSettings() {
    const QSettings settings;
    txtDirectory->setText(settings.value(QStringLiteral("folder")).toString());
    chkAllFormats->setChecked(settings.value(QStringLiteral("allFormats"), false).toBool());
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
    QHeaderView* header = ListView1->horizontalHeader();
    header->restoreState(settings.value(QStringLiteral("columns")).toByteArray());
    KeepBlankColumnLast();
    FilterShownColumns();
    // A remembered sort is not: every scan starts in the walk's order.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    // Ticking "All formats" after a scan scans the folder again, so that the
    // box and the list agree.
    connect(chkAllFormats, &QCheckBox::toggled, this, [this](bool checked) {
        QSettings().setValue(QStringLiteral("allFormats"), checked);
        if (!statusText_->text().isEmpty() && !TrimBelow33(txtDirectory->text()).isEmpty()) {
            cmdScanClick();
        }
    });
    // Each change is kept as it is made, so that of two windows neither
    // undoes the other's when it closes; the size is kept on closing.
    connect(txtDirectory, &QLineEdit::textChanged, this,
            [](const QString& folder) { QSettings().setValue(QStringLiteral("folder"), folder); });
    connect(header, &QHeaderView::sectionMoved, this, &TForm1::SaveColumns);
    connect(header, &QHeaderView::sectionResized, this, &TForm1::SaveColumns);
}

void TForm1::SaveColumns() const {
    QSettings().setValue(QStringLiteral("columns"), ListView1->horizontalHeader()->saveState());
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

QString TForm1::CatalogueFile() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/catalogue.sqlite");
}

void TForm1::FormCreate() {
    // Every scan goes through the catalogue; one that cannot be used is
    // told once the window is up, and the scans read every file.
    bool damaged = false;
    const QString fault = OpenCatalogue(damaged);
    StartWorker();
    if (!fault.isEmpty()) {
        QTimer::singleShot(0, this,
                           [this, fault, damaged] { TellCatalogueUnusable(fault, damaged); });
    }
}

QString TForm1::OpenCatalogue(bool& damaged) {
    try {
        const QString file = CatalogueFile();
        QDir().mkpath(QFileInfo(file).absolutePath());
        // Read until a scan writes: another window or the command line may
        // use the catalogue meanwhile.
        auto catalogue = std::make_unique<Catalogue>(NativePath(file), Catalogue::kBusyWait,
                                                     Catalogue::Use::Read);
        catalogue->CheckPages();
        catalogue_ = std::move(catalogue);
        return {};
    } catch (const CatalogueError& error) {
        damaged = error.Damaged();
        return FromLocaleText(error.what());
    }
}

void TForm1::StartWorker() {
    worker_ = std::make_unique<TScanFilesThread>(static_cast<ScanHost&>(*this));
    worker_->SetCatalogue(catalogue_.get());
    worker_->Start();
}

void TForm1::TellCatalogueUnusable(QString fault, bool damaged) {
    // A damaged file would give the same message at every start: offered
    // to be set aside (kept, never deleted) for a new catalogue.
    if (damaged && !scanning_ && OfferNewCatalogue(fault)) {
        try {
            const std::filesystem::path aside = Catalogue::SetAside(NativePath(CatalogueFile()));
            bool again = false;
            fault = OpenCatalogue(again);
            if (fault.isEmpty()) {
                // The worker takes its catalogue before it starts.
                worker_.reset();
                StartWorker();
                statusText_->setText(
                    QStringLiteral("The damaged catalogue was set aside as %1; a new one begins.")
                        .arg(FromLocaleText(aside.native())));
                return;
            }
        } catch (const CatalogueError& error) {
            fault = FromLocaleText(error.what());
        }
    }
    ShowMessage(QStringLiteral("Catalogue"),
                fault + QStringLiteral("\nScans read every file and keep nothing."));
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
    // The filter from after "All formats" to the panel's right edge.
    const int filterLeft = chkAllFormats->x() + chkAllFormats->width() + kGap;
    txtFilter->setGeometry(filterLeft, 38,
                           std::max(0, cmdStop->x() + cmdStop->width() - filterLeft), 21);
    // The details pane, when shown, takes a third of the room under the panel.
    const int room = std::max(0, height() - kPanelHeight - kStatusBarHeight);
    const int details = txtDetails->isVisible() ? room / 3 : 0;
    // The Collection pane, when shown, takes a third of the width at the left.
    const int pane = Collection->isVisible() ? width() / 3 : 0;
    Collection->setGeometry(0, kPanelHeight, pane, room);
    ListView1->setGeometry(pane, kPanelHeight, width() - pane, room - details);
    txtDetails->setGeometry(pane, kPanelHeight + room - details, width() - pane, details);
    StatusBar1->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
}

namespace {

// The folder a drop names: the first local path, or the folder of a file.
QString DroppedFolder(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return {};
    }
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) {
            continue;
        }
        const QFileInfo info(url.toLocalFile());
        if (info.isDir()) {
            return info.absoluteFilePath();
        }
        if (info.exists()) {
            return info.absolutePath();
        }
    }
    return {};
}

} // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFolder(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void TForm1::dropEvent(QDropEvent* event) {
    const QString folder = DroppedFolder(event->mimeData());
    if (folder.isEmpty() || !cmdScan->isEnabled()) {
        return;
    }
    event->acceptProposedAction();
    txtDirectory->setText(folder);
    cmdScan->click();
}

void TForm1::closeEvent(QCloseEvent* event) {
    QSettings().setValue(QStringLiteral("geometry"), saveGeometry());
    worker_->RequestStop();
    worker_->Terminate();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    event->accept();
}

void TForm1::cmdBrowseClick() {
    // From the folder typed in the edit, when there is one.
    const QString typed = TrimBelow33(txtDirectory->text());
    const QString folder =
        BrowseForFolder(!typed.isEmpty() && QFileInfo(typed).isDir() ? typed : QString());
    if (!folder.isEmpty()) {
        txtDirectory->setText(folder);
    }
    // Enter then scans the folder chosen.
    txtDirectory->setFocus();
}

void TForm1::cmdScanClick(bool readAgain) {
    QString path = TrimBelow33(txtDirectory->text());
    if (path.isEmpty()) {
        return;
    }
    cmdScan->setEnabled(false);
    cmdStop->setEnabled(true);
    stopRequested_ = scanning_;
    ++requestsMade_;
    worker_->RequestStop();
    if (!path.endsWith(QDir::separator())) {
        path += QDir::separator();
    }
    txtDirectory->setText(path);
    // Enter scans again, from anywhere the focus goes next.
    txtDirectory->setFocus();
    worker_->RequestScan(NativePath(path), chkAllFormats->isChecked(), readAgain);
}

void TForm1::cmdStopClick() {
    stopRequested_ = true;
    stoppedRequest_ = requestsMade_;
    cmdStop->setText(QStringLiteral("Stopping..."));
    worker_->RequestStop();
    cmdStop->setEnabled(false);
    txtDirectory->setFocus();
}

void TForm1::cmdExportListClick() {
    cmdExportList->setEnabled(false);
    Files->PublishPendingRows();
    const int selected = static_cast<int>(ListView1->selectionModel()->selectedRows().size());
    const int rows = selected > 0 ? selected : Shown->rowCount();
    const QLocale locale;
    const QString lastFolder = QSettings().value(QStringLiteral("exportFolder")).toString();
    QString name = AskExportFileName(
        selected > 0 ? QStringLiteral("Export %1 selected rows").arg(locale.toString(rows))
                     : QStringLiteral("Export all %1 rows").arg(locale.toString(rows)),
        QFileInfo(lastFolder).isDir() ? lastFolder : QString());
    if (!name.isEmpty()) {
        // Only a name without any extension of its own gets ".txt"; the
        // dialog did not ask about that name, so this asks.
        const std::string bareName = NativePath(name).filename().native();
        if (ExtensionOf(bareName).empty()) {
            name += QStringLiteral(".txt");
            if (QFileInfo::exists(name) && !ConfirmReplace(name)) {
                name.clear();
            }
        }
        if (!name.isEmpty() && ExportList(name)) {
            // Told for a while, the sums back after it.
            StatusBar1->showMessage((rows == 1 ? QStringLiteral("Exported %1 row to %2")
                                               : QStringLiteral("Exported %1 rows to %2"))
                                        .arg(locale.toString(rows), QDir::toNativeSeparators(name)),
                                    kExportToldMs);
            QSettings().setValue(QStringLiteral("exportFolder"), QFileInfo(name).absolutePath());
        }
    }
    cmdExportList->setEnabled(true);
}

std::vector<std::size_t> TForm1::ShownCsvColumns() const {
    std::vector<std::size_t> columns;
    const QHeaderView* header = ListView1->horizontalHeader();
    // In the order shown; the list's blank last column is none of CSV's.
    for (int visual = 0; visual < header->count(); ++visual) {
        const int column = header->logicalIndex(visual);
        if (!header->isSectionHidden(column) &&
            kColumns[static_cast<std::size_t>(column)].Name != nullptr) {
            columns.push_back(static_cast<std::size_t>(column));
        }
    }
    return columns;
}

// A term the filter cannot read tints the box and says why in its tooltip;
// the rest of the search still holds.
void TForm1::ShowFilterProblems() {
    const std::vector<vidarium::QueryProblem>& problems = Shown->FilterProblems();
    QPalette palette; // the application's, with only what is set here its own
    if (problems.empty()) {
        txtFilter->setPalette(palette);
        txtFilter->setToolTip(FilterTip());
        return;
    }
    palette.setColor(QPalette::Base, QColor(255, 214, 214));
    palette.setColor(QPalette::Text, QColor(Qt::black));
    txtFilter->setPalette(palette);
    QStringList lines;
    for (const vidarium::QueryProblem& problem : problems) {
        lines << QString::fromStdString(problem.Term) + QStringLiteral(": ") +
                     QString::fromStdString(problem.Reason);
    }
    txtFilter->setToolTip(QStringLiteral("Not understood, left out of the search:\n") +
                          lines.join(u'\n') + QStringLiteral("\n\nThe fields: ") +
                          QString::fromStdString(vidarium::RowQuery::FieldNamesText()));
}

void TForm1::FilterShownColumns() {
    std::vector<int> shown;
    const QHeaderView* header = ListView1->horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        if (!header->isSectionHidden(column)) {
            shown.push_back(column);
        }
    }
    Shown->SetFilteredColumns(std::move(shown));
}

bool TForm1::ExportList(const QString& fileName) {
    // Written beside the target and renamed over it once complete: a
    // failure leaves the old file as it was, and no temporary file.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(false);
    if (file.open(QIODevice::WriteOnly)) {
        // Rows not yet shown cannot be selected; showing them first keeps the
        // selection's row numbers as they are.
        Files->PublishPendingRows();
        if (WriteRows(file, RowsToWrite(true), ExportFormatOf(fileName), ShownCsvColumns()) &&
            file.commit()) {
            return true;
        }
    }
    const QString reason = file.errorString();
    file.cancelWriting();
    ShowMessage(QStringLiteral("Export List"),
                QStringLiteral("The list could not be saved as %1:\n%2").arg(fileName, reason));
    return false;
}

} // namespace vidarium

// The main window: a directory to scan, Scan and Stop, the live file list, and
// the export of the selected rows.
#pragma once

#include "catalogue.h"
#include "collectionpane.h"
#include "filelistmodel.h"
#include "scanworker.h"
#include "windowsteps.h"

#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTableView;
class QAction;
class QMenu;
class QUrl;

namespace vidarium {

// The program's icon, for the window and the application.
QIcon ApplicationIcon();

class TForm1 final : public QWidget, private ScanHost {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 693;
    static constexpr int kClientHeight = 409;
    static constexpr int kPanelHeight = 69;
    static constexpr int kStatusBarHeight = 21;
    // The smallest window in which no control overlaps another and the
    // Directory edit stays usable.
    static constexpr int kMinimumWidth = 400;
    static constexpr int kMinimumHeight = 160;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The dialogs, replaceable so that tests need no person. Each returns an
    // empty text when cancelled. The folder dialog starts in `start`.
    std::function<QString(const QString& start)> BrowseForFolder;
    // The export's file name; the title says which rows it writes, and the
    // dialog starts in `start` (the last export's folder, or empty).
    std::function<QString(const QString& title, const QString& start)> AskExportFileName;
    // Whether to replace an existing file the save dialog did not ask about
    // (a name that got ".txt" after the dialog).
    std::function<bool(const QString& fileName)> ConfirmReplace;
    // A message box: what went wrong, and why.
    std::function<void(const QString& title, const QString& text)> ShowMessage;
    // Whether to set a damaged catalogue aside and start a new one.
    std::function<bool(const QString& fault)> OfferNewCatalogue;
    // Opens a file URL (percent-encoded, so plain ASCII) with the desktop's
    // default application; false when the desktop cannot.
    std::function<bool(const QByteArray& url)> OpenUrl;

    // The file URL of a native path, its bytes percent-encoded as they are:
    // a name that is not UTF-8 still names the file.
    static QByteArray LocalFileUrl(const std::filesystem::path& path);
    // The context menu for a point of the list's viewport: none over the
    // empty area; over a row, that row made current (and selected first when
    // it is not).
    QMenu* ContextMenuAt(const QPoint& position);
    // The header's menu: every column but the name, ticked when shown.
    QMenu* ColumnMenu();

    // The selected rows, in list order, as export lines on the clipboard, so
    // that they paste into a spreadsheet as rows and columns (Ctrl+C).
    void CopySelectedRows();
    // The current row's file, or the folder that holds it.
    void OpenCurrentFile();
    void OpenCurrentFolder();

    // The rows shown, as a summary: "N movies, S in all, running time
    // H:MM:SS", or "N of M movies shown, ..." while the filter hides some.
    QString ShownSummary() const;

    QAction* actCopy;
    QAction* actOpenFile;
    QAction* actOpenFolder;
    // Shows and hides the details pane under the list (Ctrl+I): everything
    // the current row holds, as text to select and copy.
    QAction* actDetails;
    QPlainTextEdit* txtDetails;
    // Shows and hides the Collection pane beside the list (F9): every
    // catalogued drive and folder, "Everything" and "Duplicates"; choosing
    // one lists its rows. Under it, the totals of the rows shown.
    QAction* actCollection;
    CollectionPane* Collection;

    // Writes the selected rows (every row shown when none is selected), in
    // the order shown, to a temporary file beside the target and renames it
    // over the target once every line is written; on a failure the old file
    // stays and a message box says why. A name ending ".csv" writes CSV, one
    // ending ".jsonl" JSON Lines, as the command line does; any other the
    // tab-delimited lines. True when the list was saved.
    bool ExportList(const QString& fileName);
    // The text the status bar shows.
    QString StatusText() const;

    QFrame* Panel1;
    QLineEdit* txtDirectory;
    QLineEdit* txtFilter;
    QPushButton* cmdBrowse;
    QPushButton* cmdScan;
    QPushButton* cmdStop;
    QPushButton* cmdExportList;
    QCheckBox* chkAllFormats;
    QTableView* ListView1;
    QStatusBar* StatusBar1;
    FileListModel* Files;
    FileListProxy* Shown;

    void cmdBrowseClick();
    // `readAgain` (Shift+Enter, Shift+click): every file is read, whatever
    // the catalogue holds.
    void cmdScanClick(bool readAgain = false);
    // Where the window keeps its catalogue: the user's data folder.
    static QString CatalogueFile();
    void cmdStopClick();
    void cmdExportListClick();
    // A click on a column's header: sorted by it, a second click reverses.
    // The filter reads the columns the list shows.
    void FilterShownColumns();
    void ShowFilterProblems();
    void ShowDetails();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Enter starts a scan from anywhere, unless a focused button takes it.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // A folder dropped from a file manager (or a file, whose folder is
    // taken) is scanned as if typed and Enter pressed.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The window is built in steps: the panel of controls above the list,
    // the list with its columns and actions, the status bar, the
    // connections of the controls, and the dialogs (which tests replace).
    void BuildPanel();
    void BuildList();
    void BuildStatusBar();
    void BuildCollection();
    // The catalogue as the Collection pane reads it (null, with the fault,
    // when it cannot be opened).
    Catalogue* CollectionCatalogue(QString& fault);
    // The pane's drives and folders read again (when it is shown).
    void RefreshCollection();
    void ListCollectionEntry(CollectionPane::Entry entry, int root);
    // The rows of one drive or folder, or (nullptr) of everything.
    void ListCatalogued(Catalogue& reader, const CataloguedRoot* chosen);
    void ListDuplicates(Catalogue& reader);
    void ShowCollectionTotals();
    void ConnectControls();
    void InstallDialogs();
    // The rows an export or a copy writes: the selected ones in the order
    // shown, or (`allWhenNone`) every row shown when none is selected.
    std::vector<const FileRow*> RowsToWrite(bool allWhenNone) const;
    // The CSV columns of the list's shown columns, in the order shown.
    std::vector<std::size_t> ShownCsvColumns() const;
    // The full path of the list's current row; empty when there is none.
    std::filesystem::path CurrentFilePath() const;
    // Opens a file or folder; a message box when the desktop cannot.
    void OpenPath(const std::filesystem::path& path, const QString& action);
    void FormCreate();
    // Opens the window's catalogue: empty, or why it cannot be used (and
    // whether it is `damaged`).
    QString OpenCatalogue(bool& damaged);
    void StartWorker();
    void TellCatalogueUnusable(QString fault, bool damaged);
    void FormResize();
    // The list's header: clickable for sorting, the widths, the extra
    // columns hidden, and its menu.
    void SetUpColumns();
    // The folder, "All formats", the window's geometry and the columns, as
    // the last run left them; the first start keeps the design's.
    void RestoreSettings();
    void SaveColumns() const;
    // The design's blank column stays the last one shown.
    void KeepBlankColumnLast();

    // The worker's steps; each runs on this window's thread.
    void ShowStatus(const std::string& text) override;
    void ClearList() override;
    void AddRow(FileRow row) override;
    void ScanDone() override;
    void ScanFailed(const std::string& folder) override;
    void ShowingCatalogued(const std::string& folder, std::size_t rows,
                           std::time_t lastSeen) override;
    // The catalogue's fault, told once, after the scan it happened in.
    void TellCatalogueFault();
    // On the worker's thread: remembered for the status bar.
    void DirectoryUnreadable(const std::filesystem::path& directory) override;
    void CataloguedKept(const KeptFolder& kept) override;
    void WaitingForCatalogue() override;
    void FileUnreadable(const std::filesystem::path& file, std::error_code error) override;
    // The status once a scan has ended, with what could not be read.
    void ShowScanEnd();
    // The list, status (`status`, else the sums) and buttons once a scan
    // has ended.
    void ShowScanEnded(const QString& status);
    void ShowScanning(const QString& folder);

    QLabel* statusText_;
    // The scan in progress was stopped, by Stop, Esc or a new request.
    bool stopRequested_ = false;
    bool scanning_ = false;
    // The worker's count of rows from the catalogue when this scan began.
    std::uint64_t fromCatalogueBefore_ = 0;
    // Scans asked for, and the one Stop was last pressed during (or before
    // it began).
    std::uint64_t requestsMade_ = 0;
    std::uint64_t stoppedRequest_ = 0;
    QString scanningFolder_;
    std::mutex unreadableMutex_;
    std::vector<std::string> unreadable_; // locale text, in the walk's order
    std::vector<KeptFolder> kept_;
    WindowSteps steps_{this};
    // Outlives the worker, which uses it; null when it could not be opened.
    std::unique_ptr<Catalogue> catalogue_;
    bool catalogueFaultTold_ = false;
    std::unique_ptr<TScanFilesThread> worker_;
    std::unique_ptr<Catalogue> collectionReader_;
    // What the status adds to the sums while the list holds a collection
    // entry's rows (empty for a scan's).
    QString collectionStatus_;
    QTimer totalsTimer_;
};

} // namespace vidarium

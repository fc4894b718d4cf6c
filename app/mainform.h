// The main window: a directory to scan, Scan and Stop, the live file list, and
// the export of the selected rows.
#pragma once

#include "filelistmodel.h"
#include "scanworker.h"
#include "windowsteps.h"

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTableView;
class QAction;
class QUrl;

namespace vidarium {

class TForm1 final : public QWidget, private ScanHost {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 693;
    static constexpr int kClientHeight = 409;
    static constexpr int kPanelHeight = 69;
    static constexpr int kStatusBarHeight = 21;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The dialogs, replaceable so that tests need no person. Each returns an
    // empty text when cancelled.
    std::function<QString()> BrowseForFolder;
    std::function<QString()> AskExportFileName;
    // Opens a file or folder with the desktop's default application.
    std::function<void(const QUrl&)> OpenUrl;

    // The selected rows, in list order, as export lines on the clipboard, so
    // that they paste into a spreadsheet as rows and columns (Ctrl+C).
    void CopySelectedRows();
    // The current row's file, or the folder that holds it.
    void OpenCurrentFile();
    void OpenCurrentFolder();

    QAction* actCopy;
    QAction* actOpenFile;
    QAction* actOpenFolder;

    // Writes the selected rows, in list order, to the file; any failure ends
    // it silently.
    void ExportList(const QString& fileName);
    // The text the status bar shows.
    QString StatusText() const;

    QFrame* Panel1;
    QLineEdit* txtDirectory;
    QPushButton* cmdBrowse;
    QPushButton* cmdScan;
    QPushButton* cmdStop;
    QPushButton* cmdExportList;
    QCheckBox* chkAllFormats;
    QTableView* ListView1;
    QStatusBar* StatusBar1;
    FileListModel* Files;

    void cmdBrowseClick();
    void cmdScanClick();
    void cmdStopClick();
    void cmdExportListClick();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Enter starts a scan from anywhere, unless a focused button takes it.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The full path of the list's current row; empty when there is none.
    std::filesystem::path CurrentFilePath() const;
    void FormCreate();
    void FormResize();

    // The worker's steps; each runs on this window's thread.
    void ShowStatus(const std::string& text) override;
    void ClearList() override;
    void AddRow(FileRow row) override;
    void ScanDone() override;

    QLabel* statusText_;
    WindowSteps steps_{this};
    std::unique_ptr<TScanFilesThread> worker_;
};

} // namespace vidarium

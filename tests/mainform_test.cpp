// The window under the offscreen platform: layout, keys, scanning, stopping,
// closing and exporting, with the dialogs replaced.
#include "builders.h"
#include "mainform.h"
#include "tempdir.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include <clocale>
#include <fstream>
#include <memory>
#include <sstream>

using namespace vidarium;
using namespace vidarium::testing;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

QString Q(const fs::path& path) {
    return QString::fromLocal8Bit(path.c_str());
}

// A tree where each directory holds one movie, so the list order is known.
void MakeTree(const fs::path& root) {
    AviParams ntsc;
    ntsc.rate = 30000;
    ntsc.scale = 1001;
    WriteFile(root / "a.avi", AviFile(ntsc));
    fs::create_directories(root / "sub" / "deeper");
    WriteFile(root / "sub" / "b.mpg", MpegFile(352, 288, 3, 2875, 0, 61));
    WriteFile(root / "sub" / "deeper" / "c.mov", Bytes(10, 'x'));
}

QString CellText(const TForm1& form, int row, int column) {
    return form.Files->index(row, column).data().toString();
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void startUpState() {
        TForm1 form;
        form.show();
        QCOMPARE(form.windowTitle(), QStringLiteral("Vidarium v1.10"));
        QCOMPARE(form.size(), QSize(693, 409));
        QCOMPARE(form.cmdStop->x(), 600);
        QCOMPARE(form.cmdScan->x(), 507);
        QCOMPARE(form.cmdBrowse->x(), 478);
        QCOMPARE(form.txtDirectory->width(), 406);
        QCOMPARE(form.Panel1->height(), 69);
        QCOMPARE(form.ListView1->geometry(), QRect(0, 69, 693, 319));
        QCOMPARE(form.StatusBar1->geometry(), QRect(0, 388, 693, 21));
        QVERIFY(form.cmdScan->isEnabled());
        QVERIFY(!form.cmdStop->isEnabled());
        QCOMPARE(form.cmdStop->text(), QStringLiteral("Stop"));
        QVERIFY(form.cmdExportList->isEnabled());
        QCOMPARE(form.StatusText(), QString());
        QCOMPARE(form.txtDirectory->text(), QString());

        QCOMPARE(form.Files->columnCount(), 14);
        const QStringList captions{"Filename", "Filesize", "Length",   "Video", "Bitrate",
                                   "Width",    "Height",   "fps",      "Audio", "Bitrate",
                                   "Freq",     "Chn",      "Comments", ""};
        for (int column = 0; column < 14; ++column) {
            QCOMPARE(form.Files->headerData(column, Qt::Horizontal).toString(), captions[column]);
        }
        QCOMPARE(form.ListView1->horizontalHeader()->sectionSize(13), 44);
        QVERIFY(!form.ListView1->horizontalHeader()->sectionsClickable());
        QCOMPARE(form.ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(form.ListView1->selectionBehavior(), QAbstractItemView::SelectRows);
    }

    void resizeMovesTheButtons() {
        TForm1 form;
        form.show();
        form.resize(893, 500);
        QCOMPARE(form.cmdStop->x(), 800);
        QCOMPARE(form.cmdScan->x(), 707);
        QCOMPARE(form.cmdBrowse->x(), 678);
        QCOMPARE(form.txtDirectory->width(), 606);
        QCOMPARE(form.ListView1->geometry(), QRect(0, 69, 893, 410));
        QCOMPARE(form.cmdExportList->pos(), QPoint(8, 36));
        form.resize(150, 200);
        QCOMPARE(form.txtDirectory->width(), 0);
    }

    void cellsShowWhatTheColumnsCut() {
        FileListModel model;
        FileRow row("clip.mov", {"0 MB", "0:00:05", "MOV: avc1: H.264", "", "640", "480", "", "",
                                 "", "", "", "\xA9xyz: caf\xE9\r\nFull Name: Beach\r\n"});
        row.Path = "/movies/summer/clip.mov";
        model.AppendRow(row);
        model.PublishPendingRows();
        const QModelIndex comments = model.index(0, FileListModel::kCommentsColumn);
        // Bytes the locale cannot decode show as Latin-1, never as a blank mark.
        QCOMPARE(comments.data().toString(),
                 QString::fromUtf8("\u00A9xyz: caf\u00E9 \u00B6 Full Name: Beach"));
        QCOMPARE(comments.data(Qt::ToolTipRole).toString(),
                 QString::fromUtf8("\u00A9xyz: caf\u00E9\nFull Name: Beach"));
        QCOMPARE(model.index(0, 0).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("/movies/summer/clip.mov"));
        QCOMPARE(model.index(0, 3).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("MOV: avc1: H.264"));
        QVERIFY(!model.index(0, 4).data(Qt::ToolTipRole).isValid()); // an empty cell
    }

    void copyAndTheContextMenu() {
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        std::vector<QUrl> opened;
        form.OpenUrl = [&](const QUrl& url) { opened.push_back(url); };
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScanClick();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        form.ListView1->setFocus();
        form.ListView1->selectRow(2);
        form.ListView1->selectionModel()->select(
            form.Files->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keySequence(form.ListView1, QKeySequence::Copy);
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY2(copied.startsWith(QStringLiteral("a.avi\t0 MB\t")), qPrintable(copied));
        QVERIFY(copied.endsWith(QStringLiteral("c.mov\t0 MB\t\r\n")));
        QCOMPARE(copied.count(QStringLiteral("\r\n")), 2);

        QCOMPARE(form.ListView1->contextMenuPolicy(), Qt::ActionsContextMenu);
        QCOMPARE(form.ListView1->actions(),
                 (QList<QAction*>{form.actCopy, form.actOpenFile, form.actOpenFolder}));
        form.ListView1->setCurrentIndex(form.Files->index(2, 0));
        form.actOpenFolder->trigger();
        form.actOpenFile->trigger();
        const QPoint first = form.ListView1->visualRect(form.Files->index(0, 0)).center();
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, first);
        QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, first);
        QCOMPARE(opened.size(), std::size_t{3});
        QCOMPARE(opened[0], QUrl::fromLocalFile(Q(dir.path() / "sub" / "deeper")));
        QCOMPARE(opened[1], QUrl::fromLocalFile(Q(dir.path() / "sub" / "deeper" / "c.mov")));
        QCOMPARE(opened[2], QUrl::fromLocalFile(Q(dir.path() / "a.avi")));

        // Enter in the list starts a scan, as from the default button; a
        // focused button takes Enter itself.
        QTest::keyClick(form.ListView1, Qt::Key_Return);
        QVERIFY(!form.cmdScan->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        bool browsed = false;
        form.BrowseForFolder = [&] {
            browsed = true;
            return QString();
        };
        form.cmdBrowse->setFocus();
        QTest::keyClick(form.cmdBrowse, Qt::Key_Return);
        QVERIFY(browsed);
        QVERIFY(form.cmdScan->isEnabled());
    }

    void scanFillsTheListInOrder() {
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        QAbstractItemModelTester tester(form.Files);
        form.show();
        form.txtDirectory->setText("  " + Q(dir.path()) + " \t");
        QTest::keyClick(form.txtDirectory, Qt::Key_Return); // the default button
        QCOMPARE(form.txtDirectory->text(), Q(dir.path()) + "/");
        QVERIFY(!form.cmdScan->isEnabled());
        QVERIFY(form.cmdStop->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QVERIFY(form.cmdScan->isEnabled());
        QVERIFY(!form.cmdStop->isEnabled());
        QCOMPARE(form.Files->rowCount(), 3);
        QCOMPARE(CellText(form, 0, 0), QStringLiteral("a.avi"));
        QCOMPARE(CellText(form, 0, 7), QStringLiteral("29.97"));
        QCOMPARE(CellText(form, 1, 0), QStringLiteral("b.mpg"));
        QCOMPARE(CellText(form, 1, 2), QStringLiteral("0:01:01"));
        QCOMPARE(CellText(form, 2, 0), QStringLiteral("c.mov"));
        QCOMPARE(CellText(form, 2, 1), QStringLiteral("0 MB"));
        QCOMPARE(CellText(form, 2, 2), QString()); // a cell the plain row does not have
        QCOMPARE(form.Files->index(0, 1).data(Qt::TextAlignmentRole).value<Qt::Alignment>() &
                     Qt::AlignRight,
                 Qt::AlignRight);

        // A second scan starts from an empty list.
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QCOMPARE(form.Files->rowCount(), 3);
    }

    void allFormatsListsAndReadsTheModernFiles() {
        TempDir dir;
        WriteFile(dir / "clip.mp4", IsoMovie());
        WriteFile(dir / "mp4.mov", IsoMovie());
        TForm1 form;
        form.show();
        QVERIFY(!form.chkAllFormats->isChecked());
        QVERIFY(form.chkAllFormats->toolTip().contains(QStringLiteral("MP4")));
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QCOMPARE(form.Files->rowCount(), 1); // the .mp4 is not listed, the .mov is plain
        QCOMPARE(CellText(form, 0, 2), QString());

        QTest::mouseClick(form.chkAllFormats, Qt::LeftButton, {}, QPoint(4, 8));
        QVERIFY(form.chkAllFormats->isChecked());
        form.cmdScan->click();
        QVERIFY(!form.cmdScan->isEnabled()); // until this scan is done
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        QCOMPARE(form.Files->rowCount(), 2);
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(CellText(form, row, 3), QStringLiteral("MP4: AVC"));
            QCOMPARE(CellText(form, row, 2), QStringLiteral("0:00:05"));
        }
    }

    void blankPathChangesNothing() {
        TForm1 form;
        form.show();
        form.txtDirectory->setText(" \t ");
        form.cmdScan->click();
        QVERIFY(form.cmdScan->isEnabled());
        QVERIFY(!form.cmdStop->isEnabled());
        QTest::qWait(150);
        QCOMPARE(form.StatusText(), QString());
    }

    void missingDirectoryEndsWithDone() {
        TForm1 form;
        form.show();
        form.txtDirectory->setText("/nonexistent/vidarium");
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QCOMPARE(form.Files->rowCount(), 0);
    }

    void escapeStopsAScan() {
        TempDir dir;
        for (int i = 0; i < 3000; ++i) {
            WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
        }
        TForm1 form;
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.Files->rowCount() > 0, 10000);
        QTest::keyClick(&form, Qt::Key_Escape); // the cancel button
        QCOMPARE(form.cmdStop->text(), QStringLiteral("Stopping..."));
        QVERIFY(!form.cmdStop->isEnabled());
        QVERIFY(!form.cmdScan->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QCOMPARE(form.cmdStop->text(), QStringLiteral("Stop"));
        QVERIFY(!form.cmdStop->isEnabled());
        QVERIFY(form.cmdScan->isEnabled());
        QVERIFY(form.Files->rowCount() < 3000);
    }

    void closingDuringAScanEndsCleanly() {
        TempDir dir;
        for (int i = 0; i < 3000; ++i) {
            WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
        }
        auto form = std::make_unique<TForm1>();
        form->show();
        form->txtDirectory->setText(Q(dir.path()));
        form->cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Files->rowCount() > 0, 10000);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(form->close());
        form.reset(); // stops the worker without serving its steps
        QVERIFY(timer.elapsed() < 3000);
    }

    void browseFillsTheEditUnlessCancelled() {
        TForm1 form;
        form.txtDirectory->setText("kept");
        form.BrowseForFolder = [] { return QString(); };
        form.cmdBrowse->click();
        QCOMPARE(form.txtDirectory->text(), QStringLiteral("kept"));
        form.BrowseForFolder = [] { return QStringLiteral("/chosen/folder"); };
        form.cmdBrowse->click();
        QCOMPARE(form.txtDirectory->text(), QStringLiteral("/chosen/folder"));
    }

    void exportWritesTheSelectedRows() {
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QItemSelectionModel* selection = form.ListView1->selectionModel();
        const auto select = [&](int row) {
            selection->select(form.Files->index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        };
        select(2);
        select(0);

        struct Case {
            QString chosen;
            fs::path written;
        };
        fs::create_directory(dir / "out.dir");
        const Case cases[] = {
            {Q(dir / "list"), dir / "list.txt"},
            {Q(dir / "list.csv"), dir / "list.csv"},
            {Q(dir / "out.dir" / "rows"), dir / "out.dir" / "rows.txt"},
        };
        for (const Case& c : cases) {
            bool disabledWhileAsking = false;
            form.AskExportFileName = [&] {
                disabledWhileAsking = !form.cmdExportList->isEnabled();
                return c.chosen;
            };
            form.cmdExportList->click();
            QVERIFY(disabledWhileAsking);
            QVERIFY(form.cmdExportList->isEnabled());
            QCOMPARE(ReadFile(c.written),
                     std::string("a.avi\t0 MB\t0:00:10\tAVI: DIVX\t\t320\t240\t29.97\tMP3\t128 "
                                 "kbit/s\t44100\t2\t\r\nc.mov\t0 MB\t\r\n"));
        }

        // An existing file is replaced completely; no selection leaves it empty.
        WriteFile(dir / "old.txt", Bytes(5000, 'z'));
        selection->clearSelection();
        form.ExportList(Q(dir / "old.txt"));
        QCOMPARE(ReadFile(dir / "old.txt"), std::string());

        // A file that cannot be created: nothing is written, no message.
        select(1);
        form.AskExportFileName = [&] { return Q(dir / "missing" / "list.txt"); };
        form.cmdExportList->click();
        QVERIFY(!fs::exists(dir / "missing"));
        QVERIFY(form.cmdExportList->isEnabled());

        // Cancelling the dialog writes nothing.
        form.AskExportFileName = [] { return QString(); };
        form.cmdExportList->click();
        QVERIFY(form.cmdExportList->isEnabled());
    }

    void frameRateKeepsItsPointUnderACommaLocale() {
        const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
        const bool haveCommaLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(), QStringLiteral("Done!"), 10000);
        QCOMPARE(CellText(form, 0, 7), QStringLiteral("29.97"));
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_NUMERIC, previous.c_str());
        if (!haveCommaLocale) {
            qInfo("no de_DE.UTF-8 locale here: checked under Qt's German locale only");
        }
    }
};

QTEST_MAIN(MainFormTest)
#include "mainform_test.moc"

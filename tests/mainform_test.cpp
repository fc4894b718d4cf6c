// The window under the offscreen platform: layout, keys, scanning, stopping,
// closing and exporting, with the dialogs replaced.
#include "builders.h"
#include "bytesource.h"
#include "mainform.h"
#include "tempdir.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QBrush>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <chrono>
#include <clocale>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

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
    Backdate(root);
}

// A click on a column's header, where a person clicks it.
void ClickHeader(QTableView* view, int column) {
    QHeaderView* header = view->horizontalHeader();
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
}

// Whether the header's sort arrow points up: the pixels that the arrow
// changes, told from the caption by drawing the header without it, are
// fewer in the arrow's top row than in its bottom one.
bool SortArrowPointsUp(QHeaderView* header) {
    const QImage with = header->grab().toImage();
    header->setSortIndicatorShown(false);
    const QImage without = header->grab().toImage();
    header->setSortIndicatorShown(true);
    std::map<int, int> changedInRow;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            changedInRow[y] += with.pixel(x, y) != without.pixel(x, y) ? 1 : 0;
        }
    }
    std::erase_if(changedInRow, [](const auto& row) { return row.second == 0; });
    return !changedInRow.empty() && changedInRow.begin()->second < changedInRow.rbegin()->second;
}

fs::path NativePathOf(const QString& file) {
    return fs::path(QFile::encodeName(file).toStdString());
}

QString CellText(const TForm1& form, int row, int column) {
    return form.Files->index(row, column).data().toString();
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The tests' settings apart from the user's, and cleared before each.
        QStandardPaths::setTestModeEnabled(true);
    }
    void init() {
        QSettings().clear();
        for (const char* part : {"", "-wal", "-shm"}) {
            QFile::remove(TForm1::CatalogueFile() + QString::fromLatin1(part));
        }
    }

    void theCatalogueSkipsUnchangedFilesAndShowsAFolderThatIsGone() {
        TempDir dir;
        fs::create_directories(dir / "tree");
        MakeTree(dir / "tree");
        TForm1 form;
        form.show();
        form.txtDirectory->setText(Q(dir / "tree"));
        // The files opened by a scan that `start` starts, once it has ended.
        const auto opensOf = [&](const auto& start) -> std::uint64_t {
            const std::uint64_t opens = FileSource::Activity().Opens;
            start();
            if (form.cmdScan->isEnabled() ||
                !QTest::qWaitFor([&] { return form.cmdScan->isEnabled(); }, 10000)) {
                return ~std::uint64_t{0};
            }
            return FileSource::Activity().Opens - opens;
        };
        const auto scanWith = [&](Qt::KeyboardModifiers modifiers) {
            return opensOf([&] { QTest::keyClick(form.txtDirectory, Qt::Key_Return, modifiers); });
        };
        // The status says what the catalogue saved.
        QCOMPARE(scanWith(Qt::NoModifier), 3U);
        QCOMPARE(form.Files->rowCount(), 3);
        QVERIFY(form.StatusText().endsWith(QStringLiteral(" - 0 from the catalogue, 3 read")));
        QCOMPARE(scanWith(Qt::NoModifier), 0U);
        QVERIFY(form.StatusText().endsWith(QStringLiteral(" - 3 from the catalogue, 0 read")));
        QCOMPARE(scanWith(Qt::ShiftModifier), 3U); // every file read again
        QVERIFY(form.StatusText().endsWith(QStringLiteral(" - 0 from the catalogue, 3 read")));
        // "All formats" reads each file once with it on; turned over again
        // and again, it reads nothing.
        const auto toggle = [&] {
            return opensOf([&] { QTest::mouseClick(form.chkAllFormats, Qt::LeftButton); });
        };
        QCOMPARE(toggle(), 3U);
        QVERIFY(form.chkAllFormats->isChecked());
        for (int turn = 0; turn < 3; ++turn) {
            QCOMPARE(toggle(), 0U);
            QVERIFY(form.StatusText().endsWith(QStringLiteral(" - 3 from the catalogue, 0 read")));
        }
        QVERIFY(!form.chkAllFormats->isChecked());
        // Not plugged in: its catalogued rows, and a status that says so.
        fs::rename(dir / "tree", dir / "away");
        scanWith(Qt::NoModifier);
        QCOMPARE(form.Files->rowCount(), 3);
        QVERIFY2(form.StatusText().startsWith(QStringLiteral("Cannot read ") + Q(dir / "tree") +
                                              "/ - showing 3 catalogued movies (last seen "),
                 qPrintable(form.StatusText()));
        // Its rows greyed, their tooltips saying so; Open File tells it
        // instead of handing the desktop a missing path.
        QCOMPARE(form.Files->index(0, 3).data(Qt::ForegroundRole).value<QBrush>(),
                 QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text));
        QVERIFY(form.Files->index(0, 0)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("\nnot connected, last seen ")));
        std::vector<QString> told;
        form.ShowMessage = [&](const QString&, const QString& text) { told.push_back(text); };
        bool opened = false;
        form.OpenUrl = [&](const QByteArray&) { return opened = true; };
        form.ListView1->setFocus();
        const QPoint row = form.ListView1->visualRect(form.Shown->index(0, 0)).center();
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, row);
        QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, row);
        QVERIFY(!opened);
        QCOMPARE(told.size(), std::size_t{1});
        QVERIFY2(told[0].contains(QStringLiteral("not connected (not connected, last seen ")),
                 qPrintable(told[0]));
        QVERIFY(QFileInfo(TForm1::CatalogueFile()).permissions() ==
                (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser));
        // Back, but a subfolder away (a drive in a drawer): the scan keeps its
        // movies and says so.
        fs::rename(dir / "away", dir / "tree");
        fs::rename(dir / "tree" / "sub", dir / "away");
        scanWith(Qt::NoModifier);
        QCOMPARE(form.Files->rowCount(), 1);
        QVERIFY2(form.StatusText().endsWith(QStringLiteral(" - ") + Q(dir / "tree" / "sub") +
                                            "/ is not there - 2 catalogued movies kept"),
                 qPrintable(form.StatusText()));
        scanWith(Qt::NoModifier);
        QVERIFY(form.StatusText().contains(QStringLiteral("is not there")));
        // An idle window holds no lock: a scan elsewhere takes the catalogue
        // at once; while it holds it, the window's scan waits and says so.
        {
            auto other = std::make_unique<Catalogue>(
                fs::path(TForm1::CatalogueFile().toStdString()), std::chrono::milliseconds(300));
            QTest::keyClick(form.txtDirectory, Qt::Key_Return);
            QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Waiting for "
                                                                                 "another scan")),
                                     5000);
            other.reset();
            QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
            QVERIFY(form.StatusText().startsWith(QStringLiteral("Done! ")));
        }
    }

    void aDamagedCatalogueIsSetAsideWhenTheUserAgrees() {
        const QString file = TForm1::CatalogueFile();
        QDir().mkpath(QFileInfo(file).absolutePath());
        const auto removeAside = [&] {
            for (const QString& name :
                 QDir(QFileInfo(file).absolutePath()).entryList({QStringLiteral("*.damaged-*")})) {
                QFile::remove(QFileInfo(file).absolutePath() + u'/' + name);
            }
        };
        removeAside();
        const std::string random(5000, 'Z');
        for (const bool agree : {false, true}) {
            WriteFile(NativePathOf(file), Bytes(random.begin(), random.end()));
            std::vector<QString> offered;
            std::vector<QString> told;
            TForm1 form;
            form.OfferNewCatalogue = [&](const QString& fault) {
                offered.push_back(fault);
                return agree;
            };
            form.ShowMessage = [&](const QString&, const QString& text) { told.push_back(text); };
            form.show();
            QTRY_COMPARE(offered.size(), std::size_t{1});
            const QStringList aside =
                QDir(QFileInfo(file).absolutePath()).entryList({QStringLiteral("*.damaged-*")});
            if (!agree) {
                // Kept in its place, the scans without it.
                QCOMPARE(told.size(), std::size_t{1});
                QVERIFY(aside.isEmpty());
                QCOMPARE(ReadFile(NativePathOf(file)), random);
                continue;
            }
            // Renamed beside itself, whole; a new catalogue keeps the next scan.
            QVERIFY(told.empty());
            QCOMPARE(aside.size(), 1);
            QCOMPARE(ReadFile(NativePathOf(QFileInfo(file).absolutePath() + u'/' + aside[0])),
                     random);
            QVERIFY(form.StatusText().startsWith(
                QStringLiteral("The damaged catalogue was set aside as ")));
            TempDir dir;
            MakeTree(dir.path());
            form.txtDirectory->setText(Q(dir.path()));
            for (const char* expected :
                 {" - 0 from the catalogue, 3 read", " - 3 from the catalogue, 0 read"}) {
                QTest::keyClick(form.txtDirectory, Qt::Key_Return);
                QVERIFY(!form.cmdScan->isEnabled());
                QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
                QVERIFY2(form.StatusText().endsWith(QLatin1String(expected)),
                         qPrintable(form.StatusText()));
            }
        }
        removeAside();
    }

    void settingsAreRemembered() {
        {
            TForm1 form;
            form.show();
            form.txtDirectory->setText(QStringLiteral("/films/"));
            form.chkAllFormats->setChecked(true);
            form.resize(800, 450);
            form.ListView1->horizontalHeader()->resizeSection(0, 321);
            form.close();
        }
        TForm1 again;
        QCOMPARE(again.txtDirectory->text(), QStringLiteral("/films/"));
        QVERIFY(again.chkAllFormats->isChecked());
        QCOMPARE(again.size(), QSize(800, 450));
        QCOMPARE(again.ListView1->horizontalHeader()->sectionSize(0), 321);
    }

    void columnsMoveAndEveryChangeIsKept() {
        TForm1 form;
        TForm1 other; // opened before the changes, closed after them
        form.show();
        other.show();
        QHeaderView* header = form.ListView1->horizontalHeader();
        const int blank = static_cast<int>(ColumnNamed(""));
        QCOMPARE(header->visualIndex(blank), header->count() - 1);
        const auto centre = [&](int column) {
            return QPoint(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                          header->height() / 2);
        };
        // Two columns ticked in one opening of the menu (a right click, as
        // the platform delivers it).
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, centre(0),
                                     header->viewport()->mapToGlobal(centre(0)));
        QApplication::sendEvent(header->viewport(), &rightClick);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu != nullptr);
        // The right button let go over the item that opened under it ticks
        // nothing.
        const QList<QAction*> items = menu->actions();
        QVERIFY(!items.isEmpty() && items.first()->isChecked());
        QTest::mouseRelease(menu, Qt::RightButton, {},
                            menu->actionGeometry(items.first()).center());
        QVERIFY(items.first()->isChecked());
        QVERIFY(menu->isVisible());
        for (const char* name : {"HDR", "Container"}) {
            const auto actions = menu->actions();
            const auto found = std::find_if(actions.begin(), actions.end(), [&](QAction* action) {
                return action->text() == QLatin1String(name);
            });
            QVERIFY(found != actions.end());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(*found).center());
            QVERIFY(menu->isVisible());
        }
        menu->close();
        const int hdr = static_cast<int>(ColumnNamed("HDR"));
        QCOMPARE(form.Files->headerData(hdr, Qt::Horizontal).toString(), "HDR");
        QVERIFY(!header->isSectionHidden(hdr));
        QVERIFY(header->sectionSize(hdr) >
                form.ListView1->fontMetrics().horizontalAdvance(QStringLiteral("Dolby Vision")));
        QCOMPARE(header->visualIndex(blank), header->count() - 1); // shown ones come before it
        // Then Length dragged past Video.
        const QPoint to = centre(4);
        QTest::mousePress(header->viewport(), Qt::LeftButton, {}, centre(2));
        for (int step = 1; step <= 10; ++step) {
            QTest::mouseMove(header->viewport(), centre(2) + (to - centre(2)) * step / 10);
        }
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, to);
        QVERIFY(header->visualIndex(2) > header->visualIndex(3));
        QTest::mouseClick(form.chkAllFormats, Qt::LeftButton);
        // The header lays its sections out after a timer of its own: what a
        // loaded machine runs late is done before the state is taken.
        QTest::qWait(50);
        const QByteArray state = header->saveState();
        other.close();
        TForm1 again;
        QCOMPARE(again.ListView1->horizontalHeader()->saveState(), state);
        QVERIFY(again.chkAllFormats->isChecked());
    }

    void startUpState() {
        TForm1 form;
        form.show();
        QCOMPARE(form.windowTitle(), QStringLiteral("Vidarium v1.10"));
        // Its own icon (built in, or the installed one).
        QVERIFY(!form.windowIcon().pixmap(48).isNull());
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

        // The design's 14 columns, then the extra ones, hidden at first.
        QCOMPARE(form.Files->columnCount(), 26);
        for (int column = 14; column < 26; ++column) {
            QVERIFY(form.ListView1->horizontalHeader()->isSectionHidden(column));
        }
        const QStringList captions{"Filename", "Filesize", "Length",   "Video", "Bitrate",
                                   "Width",    "Height",   "fps",      "Audio", "Bitrate",
                                   "Freq",     "Chn",      "Comments", ""};
        for (int column = 0; column < 14; ++column) {
            QCOMPARE(form.Files->headerData(column, Qt::Horizontal).toString(), captions[column]);
        }
        QCOMPARE(form.ListView1->horizontalHeader()->sectionSize(13), 44);
        // Headers sort when clicked; until then the walk's order, no indicator.
        QVERIFY(form.ListView1->horizontalHeader()->sectionsClickable());
        QCOMPARE(form.ListView1->horizontalHeader()->sortIndicatorSection(), -1);
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
        // No smaller than its minimum, where no control overlaps another and
        // the edit stays usable.
        form.resize(150, 100);
        QCOMPARE(form.size(), QSize(TForm1::kMinimumWidth, TForm1::kMinimumHeight));
        QVERIFY(form.txtDirectory->width() >= 100);
        const QList<QWidget*> controls = form.Panel1->findChildren<QWidget*>();
        for (const QWidget* a : controls) {
            for (const QWidget* b : controls) {
                QVERIFY2(a == b || !a->geometry().intersects(b->geometry()),
                         qPrintable(a->objectName() + a->metaObject()->className()));
            }
        }
    }

    void cellsShowWhatTheColumnsCut() {
        FileListModel model;
        FileRow row("clip.mov", {"0 MB", "0:00:05", "MOV: avc1: H.264", "", "640", "480", "", "",
                                 "", "", "", "\xA9xyz: caf\xE9\r\nFull Name: Beach\r\n"});
        row.Path = "/movies/summer/clip.mov";
        model.AppendRow(row);
        model.PublishPendingRows();
        const QModelIndex comments = model.index(0, static_cast<int>(ColumnNamed("Comments")));
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

        // A file cut short says so over its comments, and with none.
        const QString note = QStringLiteral("Truncated: the file ends before its container does");
        for (const char* items : {"Title: Dune\r\n", ""}) {
            FileRow cut("cut.mkv",
                        {"0 MB", "0:00:04", "MKV: AVC", "", "", "", "", "AC-3", "", "", "", items});
            cut.Summary.Truncated = true;
            model.AppendRow(cut);
        }
        model.PublishPendingRows();
        QCOMPARE(model.index(1, comments.column()).data(Qt::ToolTipRole).toString(),
                 note + QStringLiteral("\nTitle: Dune"));
        QCOMPARE(model.index(2, comments.column()).data(Qt::ToolTipRole).toString(), note);
        QCOMPARE(model.index(1, static_cast<int>(ColumnNamed("Truncated"))).data().toString(),
                 QStringLiteral("yes"));

        // A tooltip fits on a screen: 40 lines at most, each of 160
        // characters at most, the cut ends with an ellipsis.
        QStringList many;
        for (int i = 0; i < 60; ++i) {
            many << QString::number(i);
        }
        const QStringList cut = TooltipText(many.join(u'\n')).split(u'\n');
        QCOMPARE(cut.size(), FileListModel::kTooltipLines);
        QCOMPARE(cut.last(), QString(QChar(0x2026)));
        QCOMPARE(cut[38], QStringLiteral("38"));
        const QString wide = TooltipText(QString(500, u'w'));
        QCOMPARE(wide.size(), FileListModel::kTooltipWidth);
        QVERIFY(wide.endsWith(QChar(0x2026)));
    }

    void aNameOfOtherBytesReadsInTheListAndTheFilter() {
        // A name from another system (Latin-1 bytes): shown and found as CSV
        // decodes it; Copy keeps the export's rule.
        TempDir dir;
        WriteFile(dir / "caf\xE9 1.avi", AviFile());
        WriteFile(dir / "other.avi", AviFile());
        TForm1 form;
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        QTest::keyClick(form.txtDirectory, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        const QString name = QString::fromUtf8("caf\u00E9 1.avi");
        QTest::keyClicks(form.txtFilter, QString::fromUtf8("CAF\u00C9"));
        QCOMPARE(form.Shown->rowCount(), 1);
        QCOMPARE(form.Shown->index(0, 0).data().toString(), name);
        QVERIFY(form.Shown->index(0, static_cast<int>(ColumnNamed("Path")))
                    .data()
                    .toString()
                    .endsWith(QStringLiteral("/") + name));
        QVERIFY(form.Shown->index(0, 0).data(Qt::ToolTipRole).toString().endsWith(name));
        form.ListView1->setFocus();
        form.ListView1->selectAll();
        QTest::keySequence(form.ListView1, QKeySequence::Copy);
        QVERIFY2(QGuiApplication::clipboard()->text().startsWith(QStringLiteral("caf? 1.avi\t")),
                 qPrintable(QGuiApplication::clipboard()->text()));
    }

    void copyAndTheContextMenu() {
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        std::vector<QByteArray> opened;
        form.OpenUrl = [&](const QByteArray& url) {
            opened.push_back(url);
            return true;
        };
        std::vector<QString> messages;
        form.ShowMessage = [&](const QString&, const QString& text) { messages.push_back(text); };
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScanClick();
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        form.ListView1->setFocus();
        form.ListView1->selectRow(2);
        form.ListView1->selectionModel()->select(
            form.Shown->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keySequence(form.ListView1, QKeySequence::Copy);
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY2(copied.startsWith(QStringLiteral("a.avi\t0 MB\t")), qPrintable(copied));
        QVERIFY(copied.endsWith(QStringLiteral("c.mov\t0 MB\t\r\n")));
        QCOMPARE(copied.count(QStringLiteral("\r\n")), 2);

        // The menu: none below the rows; over a row outside the selection,
        // that row becomes the selection and the current row.
        QCOMPARE(form.ListView1->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(form.ContextMenuAt(QPoint(5, form.ListView1->viewport()->height() - 2)), nullptr);
        const QPoint second = form.ListView1->visualRect(form.Shown->index(1, 3)).center();
        QMenu* menu = form.ContextMenuAt(second);
        QVERIFY(menu != nullptr);
        QCOMPARE(menu->actions().mid(0, 3),
                 (QList<QAction*>{form.actCopy, form.actOpenFile, form.actOpenFolder}));
        QCOMPARE(menu->actions().mid(menu->actions().size() - 2),
                 (QList<QAction*>{form.actDetails, form.actCollection}));
        delete menu;
        QCOMPARE(form.ListView1->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(form.ListView1->currentIndex().row(), 1);
        form.ListView1->setCurrentIndex(form.Shown->index(2, 0));
        form.actOpenFolder->trigger();
        form.actOpenFile->trigger();
        const QPoint first = form.ListView1->visualRect(form.Shown->index(0, 0)).center();
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, first);
        QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, first);
        QCOMPARE(opened.size(), std::size_t{3});
        QCOMPARE(opened[0], QUrl::fromLocalFile(Q(dir.path() / "sub" / "deeper")).toEncoded());
        QCOMPARE(opened[1],
                 QUrl::fromLocalFile(Q(dir.path() / "sub" / "deeper" / "c.mov")).toEncoded());
        QCOMPARE(opened[2], QUrl::fromLocalFile(Q(dir.path() / "a.avi")).toEncoded());
        // A name that is not UTF-8 keeps its bytes; a file no program opens
        // says so.
        QCOMPARE(TForm1::LocalFileUrl("/films/caf\xE9 1.avi"),
                 QByteArray("file:///films/caf%E9%201.avi"));
        form.OpenUrl = [](const QByteArray&) { return false; };
        form.actOpenFile->trigger();
        QCOMPARE(messages.size(), std::size_t{1});

        // Ctrl+End and Ctrl+Home: the last and the first row, in the same
        // column, the list not scrolled sideways.
        form.ListView1->setCurrentIndex(form.Shown->index(0, 3));
        QTest::keyClick(form.ListView1, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(form.ListView1->currentIndex(), form.Shown->index(2, 3));
        QCOMPARE(form.ListView1->horizontalScrollBar()->value(), 0);
        QTest::keyClick(form.ListView1, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(form.ListView1->currentIndex(), form.Shown->index(0, 3));

        // Enter in the list starts a scan, as from the default button, and
        // so does the keypad's; then the edit has the focus, for the next
        // Enter. A focused button takes Enter itself.
        QTest::keyClick(form.ListView1, Qt::Key_Return);
        QVERIFY(!form.cmdScan->isEnabled());
        QCOMPARE(form.focusWidget(), form.txtDirectory);
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        QTest::keyClick(form.ListView1, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(!form.cmdScan->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        QString browsedFrom = QStringLiteral("not asked");
        form.BrowseForFolder = [&](const QString& start) {
            browsedFrom = start;
            return QString();
        };
        form.cmdBrowse->setFocus();
        QTest::keyClick(form.cmdBrowse, Qt::Key_Return);
        QCOMPARE(browsedFrom, form.txtDirectory->text()); // the folder typed there
        QVERIFY(form.cmdScan->isEnabled());
    }

    void sortFilterAndSums() {
        TempDir dir;
        MakeTree(dir.path());
        // Sizes whose cells sort otherwise as text: "10 MB" before "2 MB"; files
        // no reader takes, counted apart from the movies.
        // Modification times in another order again, a year apart.
        for (const auto& [name, mebibytes, years] :
             {std::tuple{"big.mov", 10, 2}, std::tuple{"small.mov", 2, 3},
              std::tuple{"mid.mov", 3, 1}}) {
            WriteFile(dir / name, {});
            fs::resize_file(dir / name, static_cast<std::uintmax_t>(mebibytes) << 20);
            fs::last_write_time(dir / name, fs::file_time_type::clock::now() -
                                                std::chrono::hours(24 * 366 * years));
        }
        TForm1 form;
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        qint64 bytes = 0;
        for (int row = 0; row < form.Files->rowCount(); ++row) {
            bytes += static_cast<qint64>(form.Files->Row(row).Size);
        }
        QVERIFY2(
            form.StatusText().startsWith(
                QStringLiteral("Done! 2 movies and 4 other files, %1 in all, running time 0:01:")
                    .arg(QLocale().formattedDataSize(bytes))),
            qPrintable(form.StatusText()));
        QVERIFY(form.StatusText().endsWith(QStringLiteral(" - 0 from the catalogue, 6 read")));
        const auto column = [&](int number) {
            QStringList cells;
            for (int row = 0; row < form.Shown->rowCount(); ++row) {
                cells << form.Shown->index(row, number).data().toString();
            }
            return cells;
        };
        const QStringList walk = column(0);
        // By size, by value; again: reversed.
        QHeaderView* header = form.ListView1->horizontalHeader();
        // The arrow points up while the first name is on top (a caption on
        // the left, which the arrow does not move).
        ClickHeader(form.ListView1, 0);
        QVERIFY(SortArrowPointsUp(header));
        ClickHeader(form.ListView1, 0);
        QVERIFY(!SortArrowPointsUp(header));
        ClickHeader(form.ListView1, 1);
        QCOMPARE(column(1).mid(3), (QStringList{"2 MB", "3 MB", "10 MB"}));
        QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
        ClickHeader(form.ListView1, 1);
        QCOMPARE(column(1).mid(0, 3), (QStringList{"10 MB", "3 MB", "2 MB"}));
        QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
        // Another column sorts ascending first (it once went on descending):
        // by length, the rows without one first, the longest last; again,
        // reversed.
        ClickHeader(form.ListView1, 2);
        QCOMPARE(column(2).last(), QStringLiteral("0:01:01"));
        QCOMPARE(column(2).first(), QString());
        ClickHeader(form.ListView1, 2);
        QCOMPARE(column(2).first(), QStringLiteral("0:01:01"));
        // The arrow has its room: the caption is not cut.
        QVERIFY(header->sectionSize(1) >= header->sectionSizeHint(1));
        // By when the files were changed; the column is hidden until chosen.
        const int modified = static_cast<int>(ColumnNamed("Modified"));
        QCOMPARE(form.Files->headerData(modified, Qt::Horizontal).toString(), "Modified");
        header->setSectionHidden(modified, false);
        ClickHeader(form.ListView1, modified);
        QCOMPARE(column(0).mid(0, 3), (QStringList{"small.mov", "big.mov", "mid.mov"}));
        QVERIFY(QDateTime::fromString(column(modified).first(), "yyyy-MM-dd HH:mm").isValid());
        // Copy follows the order shown.
        form.ListView1->selectAll();
        form.CopySelectedRows();
        QStringList copied;
        for (const QString& line : QGuiApplication::clipboard()->text().split(
                 QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
            copied << line.section(u'\t', 0, 0);
        }
        QCOMPARE(copied, column(0));
        // Every word, in any column and case.
        QTest::keyClicks(form.txtFilter, QStringLiteral("MOV 3"));
        QCOMPARE(column(0), QStringList{"mid.mov"});
        QVERIFY2(form.StatusText().startsWith(
                     QStringLiteral("Done! 0 of 2 movies and 1 of 4 other files shown, ")),
                 qPrintable(form.StatusText()));
        form.txtFilter->clear();
        // A new scan returns to the walk's order.
        form.cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(header->sortIndicatorSection() == -1 &&
                                     form.StatusText().startsWith(QStringLiteral("Done! ")),
                                 10000);
        QCOMPARE(column(0), walk);
    }

    void namesSortNaturallyInTheCLocale() {
        TempDir dir;
        for (const char* name : {"Episode 10.avi", "episode 3.avi", "Episode 2.avi"}) {
            WriteFile(dir / name, AviFile());
        }
        QLocale::setDefault(QLocale::c());
        TForm1 form;
        QLocale::setDefault(QLocale::system());
        form.show();
        form.txtDirectory->setText(Q(dir.path()));
        QTest::keyClick(form.txtDirectory, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        ClickHeader(form.ListView1, 0);
        QStringList names;
        for (int row = 0; row < form.Shown->rowCount(); ++row) {
            names << form.Shown->index(row, 0).data().toString();
        }
        QCOMPARE(names, (QStringList{"Episode 2.avi", "episode 3.avi", "Episode 10.avi"}));
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
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
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
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        QCOMPARE(form.Files->rowCount(), 3);
    }

    void filterFindsRowsByTheirFieldsAndNamesWhatItCannotRead() {
        TempDir dir;
        fs::create_directories(dir / "Films2");
        WriteFile(dir / "Films2" / "film.mkv", MatroskaFile());
        WriteFile(dir / "clip.mp4", IsoMovie());
        TForm1 form;
        form.show();
        QTest::mouseClick(form.chkAllFormats, Qt::LeftButton, {}, QPoint(4, 8));
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        QCOMPARE(form.Shown->rowCount(), 2);
        const QString tip = form.txtFilter->toolTip();
        const QColor plain = form.txtFilter->palette().color(QPalette::Base);
        const auto shownNames = [&] {
            QStringList names;
            for (int row = 0; row < form.Shown->rowCount(); ++row) {
                names << form.Shown->index(row, 0).data().toString();
            }
            names.sort();
            return names;
        };
        const std::pair<const char*, QStringList> cases[] = {
            {"ext:mkv", {"film.mkv"}},
            {"-ext:mkv", {"clip.mp4"}},
            {"drive:films2", {"film.mkv"}},
            {"container:webm width>=640", {"film.mkv"}},
            {"length<1m codec:h264", {"clip.mp4", "film.mkv"}},
            {"height>360", {}},
        };
        for (const auto& [terms, names] : cases) {
            form.txtFilter->clear();
            QTest::keyClicks(form.txtFilter, QString::fromUtf8(terms));
            QCOMPARE(shownNames(), names);
            QCOMPARE(form.txtFilter->toolTip(), tip);
        }
        // A term it cannot read tints the box and says why; the rest holds.
        form.txtFilter->clear();
        QTest::keyClicks(form.txtFilter, QStringLiteral("ext:mkv height>tall"));
        QCOMPARE(shownNames(), QStringList{"film.mkv"});
        QVERIFY(form.txtFilter->palette().color(QPalette::Base) != plain);
        QVERIFY2(form.txtFilter->toolTip().contains(
                     QStringLiteral("height>tall: 'tall' is not a number for 'height'")),
                 qPrintable(form.txtFilter->toolTip()));
        // Mended, the box is as it was.
        form.txtFilter->clear();
        QTest::keyClicks(form.txtFilter, QStringLiteral("ext:mkv height>100"));
        QCOMPARE(form.txtFilter->palette().color(QPalette::Base), plain);
        QCOMPARE(form.txtFilter->toolTip(), tip);
        QCOMPARE(shownNames(), QStringList{"film.mkv"});
    }

    void detailsPaneShowsTheCurrentRowWhole() {
        TempDir dir;
        WriteFile(dir / "film.mkv", MatroskaFile());
        WriteFile(dir / "clip.mp4", IsoMovie());
        TForm1 form;
        form.resize(700, 420);
        form.show();
        QTest::mouseClick(form.chkAllFormats, Qt::LeftButton, {}, QPoint(4, 8));
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        const int listHeight = form.ListView1->height();
        QVERIFY(!form.txtDetails->isVisible());
        // A click on a row, then Ctrl+I: the pane under a shorter list.
        const QPoint first = form.ListView1->visualRect(form.Shown->index(0, 0)).center();
        QTest::mouseClick(form.ListView1->viewport(), Qt::LeftButton, {}, first);
        QTest::keyClick(form.ListView1, Qt::Key_I, Qt::ControlModifier);
        QVERIFY(form.txtDetails->isVisible());
        QVERIFY(form.ListView1->height() < listHeight);
        QCOMPARE(form.txtDetails->geometry().top(), form.ListView1->geometry().bottom() + 1);
        const auto detailsOf = [&](int row) {
            return FromLocaleText(DetailsText(form.Shown->Row(row)));
        };
        QCOMPARE(form.txtDetails->toPlainText(), detailsOf(0));
        // The next row's, with its full path and whole comments.
        QTest::keyClick(form.ListView1, Qt::Key_Down);
        const QString second = form.txtDetails->toPlainText();
        QCOMPARE(second, detailsOf(1));
        QVERIFY2(second.contains(QStringLiteral("Path: ") + Q(form.Shown->Row(1).Path)),
                 qPrintable(second));
        // Selected and copied whole.
        form.txtDetails->setFocus();
        QTest::keyClick(form.txtDetails, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(form.txtDetails, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), second);
        // Ctrl+I again: the list as it was.
        QTest::keyClick(form.ListView1, Qt::Key_I, Qt::ControlModifier);
        QVERIFY(!form.txtDetails->isVisible());
        QCOMPARE(form.ListView1->height(), listHeight);
    }

    // F9 shows every catalogued folder, connected or not; a click (or the
    // arrow keys) lists an entry's rows, where the filter and the totals
    // work on them; "Duplicates" lists the probable copies.
    void theCollectionListsEveryCatalogedFolderAndItsCopies() {
        TempDir dir;
        AviParams wide;
        wide.width = 1920;
        wide.height = 1080;
        fs::create_directories(dir / "films");
        fs::create_directories(dir / "backup");
        WriteFile(dir / "films" / "a.avi", AviFile(wide));
        WriteFile(dir / "films" / "b.mpg", MpegFile(352, 288, 3, 2875, 0, 61));
        WriteFile(dir / "backup" / "a copy.avi", AviFile(wide));
        Backdate(dir.path());
        TForm1 form;
        form.resize(900, 500);
        form.show();
        for (const char* folder : {"films", "backup"}) {
            form.txtDirectory->setText(Q(dir / folder));
            QTest::keyClick(form.txtDirectory, Qt::Key_Return);
            QVERIFY(!form.cmdScan->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        }
        fs::rename(dir / "backup", dir / "drawer"); // not connected
        const int listWidth = form.ListView1->width();
        QVERIFY(!form.Collection->isVisible());
        QTest::keyClick(form.ListView1, Qt::Key_F9);
        QVERIFY(form.Collection->isVisible());
        QVERIFY(form.ListView1->width() < listWidth);
        QTreeWidget* tree = form.Collection->Tree;
        QCOMPARE(tree->topLevelItemCount(), 4);
        QStringList names;
        for (int i = 0; i < 4; ++i) {
            names << tree->topLevelItem(i)->text(0) + "|" + tree->topLevelItem(i)->text(1);
        }
        QCOMPARE(names, (QStringList{"Everything|3", Q(dir / "backup") + "/ (not connected)|1",
                                     Q(dir / "films") + "/|2", "Duplicates|1"}));
        // Laid out, as a person sees it before clicking.
        QTRY_VERIFY(tree->visualItemRect(tree->topLevelItem(3)).isValid());
        const auto click = [&](int entry) {
            const QRect item = tree->visualItemRect(tree->topLevelItem(entry));
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                              QPoint(item.left() + 20, item.center().y()));
        };
        const auto names_listed = [&] {
            QStringList listed;
            for (int row = 0; row < form.Shown->rowCount(); ++row) {
                listed << form.Shown->index(row, 0).data().toString();
            }
            return listed.join(u' ');
        };
        click(0);
        QCOMPARE(names_listed(), QStringLiteral("a.avi b.mpg a copy.avi"));
        QVERIFY2(form.StatusText().endsWith(QStringLiteral(" - everything catalogued")),
                 qPrintable(form.StatusText()));
        // Among everything, the rows of the folder that is away say so.
        const auto marked = [&](int row) {
            return form.Shown->index(row, 0)
                .data(Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("not connected, last seen"));
        };
        QVERIFY(!marked(0) && !marked(1) && marked(2));
        // Totals of the rows shown, by resolution; then of those the filter
        // leaves.
        form.Collection->TotalsBy->setFocus();
        QTest::keyClick(form.Collection->TotalsBy, Qt::Key_Down); // by video codec
        QTest::keyClick(form.Collection->TotalsBy, Qt::Key_Down);
        QCOMPARE(form.Collection->TotalsBy->currentText(), QStringLiteral("Totals by resolution"));
        QTRY_COMPARE(form.Collection->TotalsTable->rowCount(), 2);
        QCOMPARE(form.Collection->TotalsTable->item(0, 0)->text(), QStringLiteral("1080p"));
        QCOMPARE(form.Collection->TotalsTable->item(0, 1)->text(), QStringLiteral("2"));
        QTest::keyClicks(form.txtFilter, QStringLiteral("ext:mpg"));
        QTRY_COMPARE(form.Collection->TotalsTable->rowCount(), 1);
        QCOMPARE(form.Collection->TotalsTable->item(0, 0)->text(), QStringLiteral("SD"));
        form.txtFilter->clear();
        // The folder not connected: its row greyed, the status says so.
        click(1);
        QCOMPARE(names_listed(), QStringLiteral("a copy.avi"));
        QVERIFY(marked(0));
        QVERIFY2(form.StatusText().contains(QStringLiteral("not connected, last seen")),
                 qPrintable(form.StatusText()));
        // The arrow key moves to the next entry and lists it.
        QTest::keyClick(tree, Qt::Key_Down);
        QCOMPARE(names_listed(), QStringLiteral("a.avi b.mpg"));
        QVERIFY(!marked(0) && !marked(1));
        click(3);
        QCOMPARE(names_listed(), QStringLiteral("a copy.avi a.avi"));
        QVERIFY2(form.StatusText().contains(QStringLiteral(" - 1 group of probable copies, ")),
                 qPrintable(form.StatusText()));
        // F9 again: the list as it was.
        QTest::keyClick(tree, Qt::Key_F9);
        QVERIFY(!form.Collection->isVisible());
        QCOMPARE(form.ListView1->width(), listWidth);
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
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        QCOMPARE(form.Files->rowCount(), 1); // the .mp4 is not listed, the .mov is plain
        QCOMPARE(CellText(form, 0, 2), QString());

        // Ticking the box after a scan scans again: the box and the list agree.
        QTest::mouseClick(form.chkAllFormats, Qt::LeftButton, {}, QPoint(4, 8));
        QVERIFY(form.chkAllFormats->isChecked());
        QVERIFY(!form.cmdScan->isEnabled()); // until this scan is done
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        QCOMPARE(form.Files->rowCount(), 2);
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(CellText(form, row, 3), QStringLiteral("MP4: AVC"));
            QCOMPARE(CellText(form, row, 2), QStringLiteral("0:00:05"));
        }
        // An extra column chosen from the header's menu shows the row's value.
        QMenu* menu = form.ColumnMenu();
        const QList<QAction*> actions = menu->actions();
        // Told apart where the list's captions are not.
        QVERIFY(std::any_of(actions.begin(), actions.end(), [](QAction* action) {
            return action->text() == QStringLiteral("Video bitrate");
        }));
        const auto container = std::find_if(actions.begin(), actions.end(), [](QAction* action) {
            return action->text() == QStringLiteral("Container");
        });
        QVERIFY(container != actions.end() && !(*container)->isChecked());
        (*container)->trigger();
        delete menu;
        const int containerColumn = static_cast<int>(ColumnNamed("Container"));
        QVERIFY(!form.ListView1->horizontalHeader()->isSectionHidden(containerColumn));
        QCOMPARE(CellText(form, 0, containerColumn), QStringLiteral("MP4"));
        QCOMPARE(CellText(form, 0, static_cast<int>(ColumnNamed("Display size"))),
                 QStringLiteral("640 x 360"));
        // The filter reads every column shown, and only those: the display
        // size once it is chosen.
        QTest::keyClicks(form.txtFilter, QStringLiteral("x 360"));
        QCOMPARE(form.Shown->rowCount(), 0);
        menu = form.ColumnMenu();
        for (QAction* action : menu->actions()) {
            if (action->text() == QStringLiteral("Display size")) {
                action->trigger();
            }
        }
        delete menu;
        QCOMPARE(form.Shown->rowCount(), 2);
        form.txtFilter->clear();
        // CSV holds the columns shown, in the order shown.
        QHeaderView* header = form.ListView1->horizontalHeader();
        header->moveSection(header->visualIndex(containerColumn), 1);
        const fs::path csv = dir / "shown.csv";
        QVERIFY(form.ExportList(Q(csv)));
        QVERIFY(ReadFile(csv).starts_with("Filename,Container,Filesize,Length,Video,"));
        QVERIFY(ReadFile(csv).find("\nclip.mp4,MP4,0 MB,0:00:05,MP4: AVC,") != std::string::npos);
    }

    void aLanguageIsOneCodeAndFoundByItsName() {
        TempDir dir;
        IsoParams german;
        IsoTrackParams sound;
        sound.handler = "soun";
        sound.code = "mp4a";
        sound.language = "ger";
        german.tracks.push_back(sound);
        WriteFile(dir / "sound.mp4", IsoMovie(german));
        WriteFile(dir / "plain.mp4", IsoMovie());
        TForm1 form;
        form.show();
        form.chkAllFormats->setChecked(true);
        form.txtDirectory->setText(Q(dir.path()));
        QTest::keyClick(form.txtDirectory, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        const int languages = static_cast<int>(ColumnNamed("Audio languages"));
        QCOMPARE(form.Files->headerData(languages, Qt::Horizontal).toString(), "Audio languages");
        QMenu* menu = form.ColumnMenu();
        for (QAction* action : menu->actions()) {
            if (action->text() == QStringLiteral("Audio languages")) {
                action->trigger();
            }
        }
        delete menu;
        QTest::keyClicks(form.txtFilter, QStringLiteral("german"));
        QCOMPARE(form.Shown->rowCount(), 1);
        QCOMPARE(form.Shown->index(0, languages).data().toString(), QStringLiteral("deu"));
        QCOMPARE(form.Shown->index(0, languages).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("deu\nGerman"));
        form.txtFilter->clear();
        QTest::keyClicks(form.txtFilter, QStringLiteral("deu"));
        QCOMPARE(form.Shown->rowCount(), 1);
    }

    void aDroppedFolderIsScanned() {
        TempDir dir;
        MakeTree(dir.path());
        TForm1 form;
        form.show();
        const auto drop = [&](const QList<QUrl>& urls) {
            QMimeData data;
            data.setUrls(urls);
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(&form, &enter);
            if (!enter.isAccepted()) {
                return false;
            }
            QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(&form, &dropped);
            return true;
        };
        // Not a local folder or file: refused.
        QVERIFY(!drop({QUrl(QStringLiteral("https://example.org/a.avi"))}));
        QVERIFY(!drop({QUrl::fromLocalFile(Q(dir / "nothing-here"))}));
        // A file: its folder is scanned, as if typed and Enter pressed.
        QVERIFY(drop({QUrl::fromLocalFile(Q(dir / "sub" / "b.mpg"))}));
        QCOMPARE(form.txtDirectory->text(), Q(dir / "sub") + "/");
        QVERIFY(!form.cmdScan->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(form.cmdScan->isEnabled(), 10000);
        QCOMPARE(form.Files->rowCount(), 2);
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

    void missingDirectoryIsNamed() {
        TForm1 form;
        form.show();
        form.txtDirectory->setText("/nonexistent/vidarium");
        form.cmdScan->click();
        QTRY_COMPARE_WITH_TIMEOUT(form.StatusText(),
                                  QStringLiteral("Cannot read /nonexistent/vidarium/"), 10000);
        QVERIFY(form.cmdScan->isEnabled());
        QCOMPARE(form.Files->rowCount(), 0);
    }

    void escapeStopsAScan() {
        TempDir dir;
        for (int i = 0; i < 3000; ++i) {
            WriteFile(dir / ("f" + std::to_string(i) + ".avi"), AviFile());
        }
        TForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.txtDirectory->setText(Q(dir.path()));
        form.cmdScan->click();
        // At once: the worker hands its rows over without waiting for the
        // window, and would finish 3,000 files in a blink.
        QTest::keyClick(&form, Qt::Key_Escape); // the cancel button
        QCOMPARE(form.cmdStop->text(), QStringLiteral("Stopping..."));
        QVERIFY(!form.cmdStop->isEnabled());
        QVERIFY(!form.cmdScan->isEnabled());
        // A partial list does not read as complete.
        QTRY_VERIFY2_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Stopped. ")),
                                  qPrintable(form.StatusText()), 3000);
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
        QTest::qWait(10); // the scan under way
        QElapsedTimer timer;
        timer.start();
        QVERIFY(form->close());
        form.reset(); // stops the worker without serving its steps
        QVERIFY(timer.elapsed() < 3000);
    }

    void browseFillsTheEditUnlessCancelled() {
        TForm1 form;
        form.txtDirectory->setText("kept");
        form.BrowseForFolder = [](const QString&) { return QString(); };
        form.cmdBrowse->click();
        QCOMPARE(form.txtDirectory->text(), QStringLiteral("kept"));
        form.BrowseForFolder = [](const QString&) { return QStringLiteral("/chosen/folder"); };
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
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
        QItemSelectionModel* selection = form.ListView1->selectionModel();
        const auto select = [&](int row) {
            selection->select(form.Shown->index(row, 0),
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
            {Q(dir / "list.text"), dir / "list.text"},
            {Q(dir / "out.dir" / "rows"), dir / "out.dir" / "rows.txt"},
        };
        for (const Case& c : cases) {
            bool disabledWhileAsking = false;
            form.AskExportFileName = [&](const QString&, const QString&) {
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

        // A name ending ".csv" or ".jsonl" writes the command line's formats.
        QVERIFY(form.ExportList(Q(dir / "list.csv")));
        const std::string csv = ReadFile(dir / "list.csv");
        QVERIFY(csv.starts_with("Filename,Filesize,Length,Video,"));
        QVERIFY(csv.find("\r\na.avi,0 MB,0:00:10,AVI: DIVX,,320,240,29.97,MP3,128 kbit/s,") !=
                std::string::npos);
        QVERIFY(form.ExportList(Q(dir / "list.jsonl")));
        const std::string json = ReadFile(dir / "list.jsonl");
        QCOMPARE(std::count(json.begin(), json.end(), '\n'), 2);
        QVERIFY(json.starts_with("{\"path\":\"a.avi\",\"name\":\"a.avi\""));

        // An existing file is replaced completely; with nothing selected every
        // row shown is written, and the dialog says so.
        WriteFile(dir / "old.txt", Bytes(5000, 'z'));
        selection->clearSelection();
        QString title;
        QString startedIn;
        form.AskExportFileName = [&](const QString& asked, const QString& start) {
            title = asked;
            startedIn = start;
            return Q(dir / "old.txt");
        };
        form.cmdExportList->click();
        QCOMPARE(title, QStringLiteral("Export all 3 rows"));
        // The dialog starts where the last export went, and the status bar
        // says where this one went.
        QCOMPARE(startedIn, Q(dir / "out.dir"));
        QCOMPARE(form.StatusBar1->currentMessage(),
                 QStringLiteral("Exported 3 rows to ") + Q(dir / "old.txt"));
        const std::string all = ReadFile(dir / "old.txt");
        QCOMPARE(std::count(all.begin(), all.end(), '\n'), 3);

        // A name that got ".txt" after the dialog: asked about here; "No"
        // keeps the old file, "Yes" replaces it.
        select(1);
        for (const bool replace : {false, true}) {
            WriteFile(dir / "asked.txt", Bytes(3, 'o'));
            QString asked;
            form.ConfirmReplace = [&](const QString& name) {
                asked = name;
                return replace;
            };
            form.AskExportFileName = [&](const QString&, const QString&) {
                return Q(dir / "asked");
            };
            form.cmdExportList->click();
            QCOMPARE(asked, Q(dir / "asked.txt"));
            QCOMPARE(ReadFile(dir / "asked.txt") == "ooo", !replace);
        }

        // A file that cannot be written says so, keeps what was there and
        // leaves no temporary file: a folder of that name, a name under a file.
        std::vector<QString> messages;
        form.ShowMessage = [&](const QString&, const QString& text) { messages.push_back(text); };
        fs::create_directory(dir / "taken.txt");
        WriteFile(dir / "taken.txt" / "inside", Bytes(1, 'i'));
        const auto entries = [&] {
            return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
        };
        const auto before = entries();
        QVERIFY(!form.ExportList(Q(dir / "taken.txt")));
        QVERIFY(!form.ExportList(Q(dir / "asked.txt" / "list.txt")));
        QCOMPARE(messages.size(), std::size_t{2});
        QVERIFY(messages[0].contains(Q(dir / "taken.txt")));
        QCOMPARE(entries(), before);
        QVERIFY(fs::is_directory(dir / "taken.txt"));
        QVERIFY(form.cmdExportList->isEnabled());

        // Cancelling the dialog writes nothing.
        form.AskExportFileName = [](const QString&, const QString&) { return QString(); };
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
        QTRY_VERIFY_WITH_TIMEOUT(form.StatusText().startsWith(QStringLiteral("Done! ")), 10000);
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

// Saves a picture of the window after a scan of a folder, its columns
// fitted to their content: window_screenshot [--all-formats] DIR OUTPUT.png
#include "mainform.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const bool allFormats = argc == 4 && std::strcmp(argv[1], "--all-formats") == 0;
    if (argc != (allFormats ? 4 : 3)) {
        std::fputs("Usage: window_screenshot [--all-formats] DIR OUTPUT.png\n", stderr);
        return 2;
    }
    char** const folderAndPicture = argv + (allFormats ? 2 : 1);
    vidarium::TForm1 form;
    form.show();
    form.chkAllFormats->setChecked(allFormats);
    form.txtDirectory->setText(QString::fromLocal8Bit(folderAndPicture[0]));
    form.cmdScan->click();
    QElapsedTimer timer;
    timer.start();
    while (!form.StatusText().startsWith(QStringLiteral("Done!")) && timer.elapsed() < 20000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QHeaderView* header = form.ListView1->horizontalHeader();
    for (int column = 0; column + 1 < header->count(); ++column) {
        if (!header->isSectionHidden(column)) {
            form.ListView1->resizeColumnToContents(column);
        }
    }
    form.ListView1->selectRow(1);
    form.ListView1->selectionModel()->select(
        form.Files->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QApplication::processEvents();
    if (!form.grab().save(QString::fromLocal8Bit(folderAndPicture[1]))) {
        std::fputs("window_screenshot: cannot save the picture\n", stderr);
        return 1;
    }
    return 0;
}

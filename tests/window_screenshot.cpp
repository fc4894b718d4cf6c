// Saves a picture of the window after a scan of a folder:
// window_screenshot DIR OUTPUT.png
#include "mainform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fputs("Usage: window_screenshot DIR OUTPUT.png\n", stderr);
        return 2;
    }
    vidarium::TForm1 form;
    form.show();
    form.txtDirectory->setText(QString::fromLocal8Bit(argv[1]));
    form.cmdScan->click();
    QElapsedTimer timer;
    timer.start();
    while (!form.StatusText().startsWith(QStringLiteral("Done!")) && timer.elapsed() < 20000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    form.ListView1->selectRow(1);
    form.ListView1->selectionModel()->select(
        form.Files->index(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QApplication::processEvents();
    if (!form.grab().save(QString::fromLocal8Bit(argv[2]))) {
        std::fputs("window_screenshot: cannot save the picture\n", stderr);
        return 1;
    }
    return 0;
}

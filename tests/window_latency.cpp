// Measures how long the window's thread is ever busy while a scan fills the
// list: window_latency DIR. A 5 ms timer runs throughout; the longest gap
// between its ticks is the longest time the window could not respond.
#include "mainform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fputs("Usage: window_latency DIR\n", stderr);
        return 2;
    }
    vidarium::TForm1 form;
    form.show();

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });

    QElapsedTimer scan;
    form.txtDirectory->setText(QString::fromLocal8Bit(argv[1]));
    scan.start();
    sinceTick.start();
    ticker.start();
    form.cmdScan->click();
    while (!form.StatusText().startsWith(QStringLiteral("Done!"))) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double seconds = static_cast<double>(scan.elapsed()) / 1000.0;
    std::printf("%d rows in %.2f s (%.0f rows/s); longest gap between 5 ms ticks: %lld ms\n",
                form.Files->rowCount(), seconds, form.Files->rowCount() / seconds,
                static_cast<long long>(longestGap));
    return 0;
}

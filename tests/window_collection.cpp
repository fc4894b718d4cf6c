// Measures the Collection pane over the window's catalogue: how long
// "Everything" takes to be listed, and each keystroke of a search to be
// filtered. window_collection WORD FIELD-TERM
#include "mainform.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Milliseconds until the window's queue is empty after `step`.
template <typename Step> double Timed(Step&& step) {
    QElapsedTimer timer;
    timer.start();
    step();
    QApplication::processEvents();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // The program's names: the window's catalogue is the program's own.
    QApplication::setOrganizationName(QStringLiteral("Vidarium"));
    QApplication::setApplicationName(QStringLiteral("vidarium"));
    if (argc != 3) {
        std::fputs("Usage: window_collection WORD FIELD-TERM\n", stderr);
        return 2;
    }
    vidarium::TForm1 form;
    form.show();
    const double pane = Timed([&] { form.actCollection->trigger(); });
    QTreeWidget* tree = form.Collection->Tree;
    if (tree->topLevelItemCount() == 0) {
        std::fputs("window_collection: the collection is empty\n", stderr);
        return 1;
    }
    const double everything = Timed([&] { tree->setCurrentItem(tree->topLevelItem(0)); });
    std::printf("collection pane shown in %.0f ms; Everything (%d rows) listed in %.0f ms\n", pane,
                form.Files->rowCount(), everything);
    for (const char* search : {argv[1], argv[2]}) {
        // The first keystroke of a search also makes each row's text.
        std::vector<double> keystrokes;
        QString typed;
        for (const QChar c : QString::fromLocal8Bit(search)) {
            typed += c;
            keystrokes.push_back(Timed([&] { form.txtFilter->setText(typed); }));
        }
        std::printf("'%s': %d rows shown, first keystroke %.0f ms, slowest after it %.0f ms\n",
                    search, form.Shown->rowCount(), keystrokes.front(),
                    *std::max_element(keystrokes.begin() + 1, keystrokes.end()));
        form.txtFilter->clear();
    }
    return 0;
}

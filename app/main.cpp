#include "mainform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setWindowIcon(vidarium::ApplicationIcon());
    // The desktop entry the window belongs to, for its task bar icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("vidarium"));
    vidarium::TForm1 form;
    form.show();
    return QApplication::exec();
}

#include "mainform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Where the window's settings are kept: ~/.config/Vidarium/vidarium.conf.
    QApplication::setOrganizationName(QStringLiteral("Vidarium"));
    QApplication::setApplicationName(QStringLiteral("vidarium"));
    QApplication::setWindowIcon(vidarium::ApplicationIcon());
    // The desktop entry the window belongs to, for its task bar icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("vidarium"));
    vidarium::TForm1 form;
    form.show();
    return QApplication::exec();
}

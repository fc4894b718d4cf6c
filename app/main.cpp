#include "mainform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    vidarium::TForm1 form;
    form.show();
    return QApplication::exec();
}

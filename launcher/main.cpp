#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    talvex::Form1 form(QCoreApplication::applicationDirPath());
    form.show();
    // Take the keyboard focus, so "Run >>" has it even without a window manager.
    form.activateWindow();
    return app.exec();
}

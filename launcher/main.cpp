#include "main_window.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    talvex::MainWindow form(QCoreApplication::applicationDirPath());
    form.show();
    // Take the keyboard focus, so "Run >>" has it even without a window manager.
    form.activateWindow();
    return app.exec();
}

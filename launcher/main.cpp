#include "form1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    talvex::Form1 form(QCoreApplication::applicationDirPath());
    form.show();
    return app.exec();
}

// Plays the user of an installed launcher: opens the main window from the
// folder this program was copied into, picks the DN image, the parameter
// file and the output name given on its command line with the three Browse
// buttons and presses "Run >>". A message the window shows is printed, and
// the exit status is then 1.
//
// usage: launcher_installed_driver IMAGE PARAMETERS OUTPUT

#include "file_dialogs.h"
#include "main_window.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int USAGE_STATUS = 2;

void press(talvex::MainWindow& form, const char* button)
{
    form.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: launcher_installed_driver IMAGE PARAMETERS OUTPUT\n");
        return USAGE_STATUS;
    }

    talvex::MainWindow form(QCoreApplication::applicationDirPath());
    // The run goes on in the background: no terminal window.
    form.runLaunch().setTerminalLookup({});
    QString answer;
    form.commonDialog().setExecutor([&answer](QFileDialog& dialog) {
        dialog.selectFile(answer);
        return int(QDialog::Accepted);
    });
    form.show();
    answer = args[1];
    press(form, "cmdinputimage");
    answer = args[2];
    press(form, "cmdparampath");
    answer = args[3];
    press(form, "cmdoutputpath");

    QString message;
    QTimer::singleShot(0, &form, [&message] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            message = box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    press(form, "Command1");
    if (message.isEmpty())
        return 0;
    std::printf("%s\n", qPrintable(message));
    return 1;
}

#include "main_window.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

namespace {

void describeCommandLine(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "The TALVEX window: choose a raw four-band DN image, a parameter file and an output "
        "name, then start TALVEX-V1 on them with \"Run >>\". \"About TALVEX\" shows the user "
        "guide. The window takes no file arguments."));
    parser.addHelpOption();
    parser.addVersionOption();
    // Qt's own window options are single-dash words (-platform, -style), so
    // a single dash starts a word here too, never a group of letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

// --help, --help-all and --version are answered before any window exists,
// so they need no display.
void answerHelpAndVersion(int argc, char* argv[])
{
    const QCoreApplication console(argc, argv);
    QCommandLineParser parser;
    describeCommandLine(parser);
    // Qt's own window options (-platform, -style ...) are unknown here; the
    // window's parser below judges them.
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(console);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("talvex"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALVEX_VERSION));
    answerHelpAndVersion(argc, argv);

    QApplication app(argc, argv);
    QCommandLineParser parser;
    describeCommandLine(parser);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s: unexpected argument '%s'; choose the files in the window.\n",
                     qPrintable(QCoreApplication::applicationName()),
                     qPrintable(parser.positionalArguments().constFirst()));
        return 1;
    }

    talvex::MainWindow form(QCoreApplication::applicationDirPath());
    form.show();
    // Take the keyboard focus, so "Run >>" has it even without a window manager.
    form.activateWindow();
    return app.exec();
}

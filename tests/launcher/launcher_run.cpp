// "Run >>": the run input file byte for byte, where the run files go, the
// start script and what it does when a run fails, the choice of terminal,
// the messages of a Run that cannot start, and runs that really start a
// processor.

#include "launcher_files.h"
#include "launcher_fixture.h"
#include "main_window.h"
#include "run_launch.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstring>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvex;

namespace {

const QByteArray CR_LF("\r\n");
const QByteArray PRESS_ENTER("Press Enter to close this window.");

// Starts nothing; remembers what it was asked to start.
struct RecordingStarter {
    std::shared_ptr<std::vector<StartCommand>> started =
        std::make_shared<std::vector<StartCommand>>();
    Starter starter()
    {
        return [list = started](const StartCommand& command) {
            list->push_back(command);
            return QString();
        };
    }
};

TerminalLookup lookupWith(const QString& preferred, const QMap<QString, QString>& onPath)
{
    return {preferred, [onPath](const QString& name) { return onPath.value(name); }};
}

bool waitForFile(const QString& path, qint64 size, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        if (QFileInfo(path).size() == size)
            return true;
        QTest::qWait(50);
    }
    return false;
}

bool writeProgram(const QString& path, const QByteArray& text)
{
    return test::writeFile(path, text)
           && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A launcher folder that cannot be written: a path below a plain file, which
// stops even root.
QString unwritableFolder(const QTemporaryDir& dir)
{
    const QString file = test::pathIn(dir, QStringLiteral("plain file"));
    test::writeFile(file, "x");
    return file + QStringLiteral("/folder");
}

// Answers the next message box as soon as it is up, and keeps its text.
void answerMessageBox(QObject* context, QString& text)
{
    QTimer::singleShot(0, context, [&text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
}

// The start command run in a terminal of its own (a pseudo-terminal): what
// it shows, whether it waits for Enter, and its exit status once Enter is
// pressed.
struct TerminalRun {
    QByteArray screen;
    bool waitedForEnter = false;
    int status = -1;
};

TerminalRun runInTerminal(const StartCommand& command)
{
    TerminalRun run;
    std::vector<QByteArray> words{QFile::encodeName(command.program)};
    for (const QString& argument : command.arguments)
        words.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0)
        return run;
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    constexpr int POLL_MS = 50;
    constexpr int SETTLE_MS = 300;
    QDeadlineTimer deadline(10000);
    int waitStatus = 0;
    bool ended = false;
    while (!deadline.hasExpired() && !ended) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, POLL_MS) > 0) {
            char buffer[512];
            const ssize_t got = read(terminal, buffer, sizeof buffer);
            if (got > 0)
                run.screen.append(buffer, got);
        }
        ended = waitpid(pid, &waitStatus, WNOHANG) == pid;
        if (!ended && !run.waitedForEnter && run.screen.contains(PRESS_ENTER)) {
            QThread::msleep(SETTLE_MS);
            run.waitedForEnter = waitpid(pid, &waitStatus, WNOHANG) == 0;
            ended = !run.waitedForEnter;
            if (run.waitedForEnter && write(terminal, "\n", 1) != 1)
                break;
        }
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &waitStatus, 0);
    } else if (WIFEXITED(waitStatus)) {
        run.status = WEXITSTATUS(waitStatus);
    }
    close(terminal);
    return run;
}

} // namespace

class RunTest : public QObject {
    Q_OBJECT

private slots:
    void runInputFileByteForByte_data()
    {
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QByteArray>("tail");

        const QString image = QStringLiteral("/data/scene 42/dn image.raw");
        const QString output = QStringLiteral("/data/results dir/scene 42");
        QTest::newRow("no final line end")
            << QByteArray("2 3\n0") << image << output << QByteArray("2 3\n0\r\n");
        QTest::newRow("ends with CR LF")
            << QByteArray("2 3\r\n0\r\n") << image << output << QByteArray("2 3\r\n0\r\n\r\n");
        QTest::newRow("empty parameter file")
            << QByteArray() << image << output << QByteArray("\r\n");
        QTest::newRow("empty paths")
            << QByteArray("45\n") << QString() << QString() << QByteArray("45\n\r\n");
        QTest::newRow("bytes kept as they are")
            << QByteArray("1 1\t# \xe9t\xe9\n\0x\n", 13) << QStringLiteral("/d/\u00e9t\u00e9.raw")
            << output << QByteArray("1 1\t# \xe9t\xe9\n\0x\n\r\n", 15);
    }

    void runInputFileByteForByte()
    {
        QFETCH(QByteArray, params);
        QFETCH(QString, image);
        QFETCH(QString, output);
        QFETCH(QByteArray, tail);
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex launcher XXXXXX"));
        const QString paramPath = test::pathIn(folder, QStringLiteral("my params.txt"));
        QVERIFY(test::writeFile(paramPath, params));

        RunLaunch launch(folder.path(), test::pathIn(folder, QStringLiteral("user")));
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        const RunResult result = launch.run(image, paramPath, output);
        QVERIFY(result.started);
        QVERIFY(result.failure.isEmpty());
        QCOMPARE(result.runFolder, folder.path());

        QCOMPARE(test::readFile(runInputPath(folder.path())),
                 image.toUtf8() + CR_LF + output.toUtf8() + CR_LF + tail);
        QCOMPARE(recorder.started->size(), std::size_t{1});
        QVERIFY(!QFile::exists(test::pathIn(folder, QStringLiteral("user"))));
    }

    // Exactly one line: the quoted program and run input paths with "<"
    // between them, the shell's special characters inside the quotes made
    // literal, and nothing else.
    void startScriptLine()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex launcher XXXXXX"));
        QCOMPARE(processorPath(folder.path()), folder.path() + QStringLiteral("/TALVEX-V1"));
        QCOMPARE(runInputPath(folder.path()), folder.path() + QStringLiteral("/logcom.txt"));
        QCOMPARE(startScriptPath(folder.path()), folder.path() + QStringLiteral("/first.sh"));

        const QString paramPath = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(paramPath, "0\n"));
        RunLaunch launch(folder.path(), folder.path() + QStringLiteral("/user"));
        launch.setStarter(RecordingStarter().starter());
        QVERIFY(launch.run(QString(), paramPath, QString()).started);
        const QByteArray dir = folder.path().toUtf8();
        QCOMPARE(test::readFile(startScriptPath(folder.path())),
                 "\"" + dir + "/TALVEX-V1\"<\"" + dir + "/logcom.txt\"\n");

        QCOMPARE(startScript(QStringLiteral("/a $HOME/`x`/\"q\"\\/TALVEX-V1"),
                             QStringLiteral("/b/logcom.txt")),
                 QByteArray("\"/a \\$HOME/\\`x\\`/\\\"q\\\"\\\\/TALVEX-V1\"<\"/b/logcom.txt\"\n"));
    }

    // In a terminal, a failed run shows its messages, brings the window up
    // and waits for Enter before it closes; a run that succeeds closes at
    // once. A missing processor counts as a failure. The start script itself
    // stays the plain one line: the waiting is in how it is started.
    void failedRunWaitsForEnterInATerminal_data()
    {
        QTest::addColumn<QByteArray>("processor");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("waits");
        QTest::addColumn<QByteArray>("shown");

        QTest::newRow("success") << QByteArray("#!/bin/sh\ncat > /dev/null\necho done\nexit 0\n")
                                 << 0 << false << QByteArray("done");
        QTest::newRow("bad parameters")
            << QByteArray("#!/bin/sh\necho 'Line 9: no number'\nexit 2\n") << 2 << true
            << QByteArray("Line 9: no number");
        QTest::newRow("killed by a signal") << QByteArray("#!/bin/sh\nkill -TERM $$\n") << 143
                                            << true << QByteArray("exit status 143");
        QTest::newRow("missing processor")
            << QByteArray() << 127 << true << QByteArray("TALVEX-V1 cannot be run: ");
    }

    void failedRunWaitsForEnterInATerminal()
    {
        QFETCH(QByteArray, processor);
        QFETCH(int, status);
        QFETCH(bool, waits);
        QFETCH(QByteArray, shown);
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex $HOME launcher XXXXXX"));
        if (!processor.isEmpty())
            QVERIFY(writeProgram(processorPath(folder.path()), processor));
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "2 3\n"));
        RunLaunch launch(folder.path(), folder.path() + QStringLiteral("/user"));
        launch.setStarter(RecordingStarter().starter());
        QVERIFY(launch.run(QStringLiteral("in"), params, QStringLiteral("out")).started);

        const QString script = startScriptPath(folder.path());
        QVERIFY(!test::readFile(script).contains("||"));
        const TerminalRun run = runInTerminal(
            scriptStartCommand(script, processorPath(folder.path()), lookupWith({}, {})));
        QVERIFY2(run.screen.contains(shown), run.screen.constData());
        QCOMPARE(run.waitedForEnter, waits);
        QCOMPARE(run.status, status);
        // Up from the icon and to the front, before the prompt.
        QCOMPARE(run.screen.contains("\033[1t\033[5t" + PRESS_ENTER), waits);
        if (status != 0)
            QVERIFY(run.screen.contains("TALVEX-V1 stopped with exit status "
                                        + QByteArray::number(status)));
    }

    // Nothing is checked before writing: without a Browse the file holds two
    // empty lines, and without a readable parameter file no script is
    // written or started, not even one left by an earlier Run. The window
    // says what is missing.
    void runWithoutParameterFileStartsNothing()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        MainWindow form(folder.path());
        form.runLaunch() = RunLaunch(folder.path(), test::pathIn(folder, QStringLiteral("user")));
        RecordingStarter recorder;
        form.runLaunch().setStarter(recorder.starter());
        form.findChild<QLineEdit*>(QStringLiteral("Text1"))
            ->setText(QStringLiteral("/typed/params.txt"));

        QString message;
        answerMessageBox(this, message);
        form.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
        QVERIFY2(message.startsWith(QStringLiteral("No parameter file has been chosen.")),
                 qPrintable(message));
        QCOMPARE(test::readFile(runInputPath(folder.path())), QByteArray("\r\n\r\n"));
        QVERIFY(!QFile::exists(startScriptPath(folder.path())));

        QVERIFY(test::writeFile(startScriptPath(folder.path()), "earlier\n"));
        const QString missing = folder.path() + QStringLiteral("/none");
        const RunResult result =
            form.runLaunch().run(QStringLiteral("img"), missing, QStringLiteral("out"));
        QVERIFY(!result.started);
        QVERIFY(result.failure.contains(missing));
        QVERIFY(result.failure.contains(QStringLiteral("No such file")));
        QCOMPARE(test::readFile(runInputPath(folder.path())), QByteArray("img\r\nout\r\n"));
        QCOMPARE(test::readFile(startScriptPath(folder.path())), QByteArray("earlier\n"));
        QVERIFY(recorder.started->empty());
    }

    // An installed launcher's folder cannot be written: the run files go to
    // the user's run folder, made on the spot and open to the user alone,
    // and the script there starts the launcher folder's processor.
    void unwritableLauncherFolderRunsFromTheUsersFolder()
    {
        QTemporaryDir folder;
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "0\n"));
        const QString launcherFolder = unwritableFolder(folder);
        const QString userFolder = folder.path() + QStringLiteral("/state home/talvex");
        RunLaunch launch(launcherFolder, userFolder);
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        launch.setTerminalLookup(lookupWith({}, {}));

        const RunResult result = launch.run(QStringLiteral("img"), params, QStringLiteral("out"));
        QVERIFY2(result.started, qPrintable(result.failure));
        QCOMPARE(result.runFolder, userFolder);
        QCOMPARE(test::readFile(runInputPath(userFolder)), QByteArray("img\r\nout\r\n0\n\r\n"));
        QCOMPARE(test::readFile(startScriptPath(userFolder)),
                 "\"" + launcherFolder.toUtf8() + "/TALVEX-V1\"<\"" + userFolder.toUtf8()
                     + "/logcom.txt\"\n");
        QCOMPARE(recorder.started->size(), std::size_t{1});
        QCOMPARE(recorder.started->front(),
                 scriptStartCommand(startScriptPath(userFolder), processorPath(launcherFolder),
                                    lookupWith({}, {})));
        const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QCOMPARE(QFileInfo(userFolder).permissions()
                     & ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 ownerOnly);
        QCOMPARE(QFileInfo(folder.path() + QStringLiteral("/state home")).permissions()
                     & ~QFile::Permissions(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 ownerOnly);
    }

    // Only when neither folder can be written does Run stop, and the window
    // names both folders and the system's reasons.
    void neitherFolderWritableIsReported()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "0\n"));
        const QString launcherFolder = unwritableFolder(folder);
        const QString userFolder = launcherFolder + QStringLiteral("/state/talvex");

        MainWindow form(folder.path());
        form.runLaunch() = RunLaunch(launcherFolder, userFolder);
        RecordingStarter recorder;
        form.runLaunch().setStarter(recorder.starter());
        QString message;
        answerMessageBox(this, message);
        form.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
        QVERIFY2(message.contains(launcherFolder + QStringLiteral("\nNot a directory")),
                 qPrintable(message));
        QVERIFY2(message.contains(userFolder + QStringLiteral("\nNot a directory")),
                 qPrintable(message));
        QVERIFY(recorder.started->empty());
        QVERIFY(form.isEnabled());
    }

    // A ready-to-run folder holds the launcher's files beside it; an
    // installation keeps them in share/talvex beside bin/.
    void launcherFilesBesideOrInTheDataFolder()
    {
        QTemporaryDir root;
        const QString bin = root.path() + QStringLiteral("/usr/bin");
        const QString data = root.path() + QStringLiteral("/usr/share/talvex");
        QVERIFY(QDir().mkpath(bin));

        LauncherFiles files = locateLauncherFiles(bin);
        QVERIFY(!files.installed);
        QCOMPARE(files.frontPage(), bin + QStringLiteral("/front page of sw.jpg"));

        QVERIFY(QDir().mkpath(data));
        files = locateLauncherFiles(bin);
        QVERIFY(files.installed);
        QCOMPARE(files.dataFolder, data);
        QCOMPARE(files.helpDocument(), data + QStringLiteral("/TALVEX.pdf"));
        QCOMPARE(files.launcherFolder, bin);

        // Files beside the launcher make it a ready-to-run folder again.
        QVERIFY(test::writeFile(bin + QStringLiteral("/TALVEX.pdf"), "%PDF"));
        files = locateLauncherFiles(bin);
        QVERIFY(!files.installed);
        QCOMPARE(files.dataFolder, bin);
    }

    // A launcher installed in a folder it may write (as root may /usr/bin)
    // shows the installation's picture and guide, and Run writes into the
    // user's state folder only: the installation's folders stay as
    // installed.
    void installedLauncherWritesOnlyIntoTheUsersFolder()
    {
        QTemporaryDir root;
        const QString bin = root.path() + QStringLiteral("/usr/bin");
        const QString data = root.path() + QStringLiteral("/usr/share/talvex");
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QDir().mkpath(data));
        QVERIFY(test::writeFrontPage(data));
        QVERIFY(test::writePdf(data + QStringLiteral("/TALVEX.pdf"), 1));
        const QString params = root.path() + QStringLiteral("/p.txt");
        QVERIFY(test::writeFile(params, "0\n"));
        const QString stateHome = root.path() + QStringLiteral("/state");
        const QByteArray savedStateHome = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome));
        MainWindow form(bin);
        qputenv("XDG_STATE_HOME", savedStateHome);

        QVERIFY(!form.findChild<QLabel*>(QStringLiteral("Image1"))->pixmap().isNull());
        RecordingStarter recorder;
        form.runLaunch().setStarter(recorder.starter());
        const RunResult result =
            form.runLaunch().run(QStringLiteral("img"), params, QStringLiteral("out"));
        QVERIFY2(result.started, qPrintable(result.failure));
        const QString userFolder = stateHome + QStringLiteral("/talvex");
        QCOMPARE(result.runFolder, userFolder);
        QCOMPARE(test::readFile(runInputPath(userFolder)), QByteArray("img\r\nout\r\n0\n\r\n"));
        QCOMPARE(test::readFile(startScriptPath(userFolder)),
                 "\"" + bin.toUtf8() + "/TALVEX-V1\"<\"" + userFolder.toUtf8() + "/logcom.txt\"\n");
        QVERIFY(QDir(bin).isEmpty());
        QCOMPARE(
            QDir(data).entryList(QDir::Files, QDir::Name),
            (QStringList{QStringLiteral("TALVEX.pdf"), QStringLiteral("front page of sw.jpg")}));
    }

    // In an installation the user's folder is the only place: when it cannot
    // be written, Run names it and starts nothing, and still writes nothing
    // into the writable program folder.
    void installedLauncherWithoutAUserFolderStartsNothing()
    {
        QTemporaryDir root;
        const QString params = test::pathIn(root, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "0\n"));
        const QString userFolder = unwritableFolder(root) + QStringLiteral("/talvex");
        RunLaunch launch(root.path(), userFolder, RunFilesPlace::UserFolder);
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        const RunResult result = launch.run(QStringLiteral("img"), params, QStringLiteral("out"));
        QVERIFY(!result.started);
        QVERIFY2(result.failure.contains(userFolder + QStringLiteral("\nNot a directory")),
                 qPrintable(result.failure));
        QVERIFY(!result.failure.contains(QStringLiteral("TALVEX folder")));
        QVERIFY(!QFile::exists(runInputPath(root.path())));
        QVERIFY(recorder.started->empty());
    }

    void startFailureIsReported()
    {
        QTemporaryDir folder;
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "0\n"));
        RunLaunch launch(folder.path(), folder.path());
        launch.setTerminalLookup(
            lookupWith({}, {{QStringLiteral("xterm"), QStringLiteral("/no/such/xterm")}}));
        const RunResult result = launch.run(QStringLiteral("img"), params, QStringLiteral("out"));
        QVERIFY(!result.started);
        QVERIFY2(result.failure.contains(QStringLiteral("/no/such/xterm")),
                 qPrintable(result.failure));
    }

    void userRunFolderFollowsXdg()
    {
        QCOMPARE(userRunFolder(QStringLiteral("/srv/state"), QStringLiteral("/home/u")),
                 QStringLiteral("/srv/state/talvex"));
        QCOMPARE(userRunFolder(QString(), QStringLiteral("/home/u")),
                 QStringLiteral("/home/u/.local/state/talvex"));
        QCOMPARE(userRunFolder(QStringLiteral("relative/state"), QStringLiteral("/home/u")),
                 QStringLiteral("/home/u/.local/state/talvex"));
    }

    void twoRunsWriteIdenticalFilesAndStartTwice()
    {
        QTemporaryDir folder;
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "2 3\n0\n"));
        RunLaunch launch(folder.path(), folder.path() + QStringLiteral("/user"));
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        QVERIFY(launch.run(QStringLiteral("a"), params, QStringLiteral("b")).started);
        const QByteArray first = test::readFile(runInputPath(folder.path()));
        const QByteArray script = test::readFile(startScriptPath(folder.path()));
        QVERIFY(launch.run(QStringLiteral("a"), params, QStringLiteral("b")).started);
        QCOMPARE(test::readFile(runInputPath(folder.path())), first);
        QCOMPARE(test::readFile(startScriptPath(folder.path())), script);
        QCOMPARE(recorder.started->size(), std::size_t{2});
    }

    void terminalChoice_data()
    {
        QTest::addColumn<QString>("preferred");
        QTest::addColumn<QStringList>("onPath");
        QTest::addColumn<QStringList>("terminal");

        const QString ops =
            QStringLiteral("*disallowedWindowOps: 2,3,4,6,7,8,9,11,13,14,18,19,20,21,"
                           "GetSelection,SetSelection,SetWinLines,SetXprop");
        QTest::newRow("TERMINAL first")
            << "kitty" << QStringList{"kitty", "xterm"} << QStringList{"/p/kitty"};
        QTest::newRow("TERMINAL not installed")
            << "nosuch" << QStringList{"x-terminal-emulator", "xterm"}
            << QStringList{"/p/x-terminal-emulator", "-e"};
        QTest::newRow("xterm minimised, may come up")
            << "" << QStringList{"xterm", "konsole"}
            << QStringList{"/p/xterm", "-iconic", "-xrm", ops, "-e"};
        QTest::newRow("another terminal")
            << "" << QStringList{"gnome-terminal"} << QStringList{"/p/gnome-terminal", "--"};
        QTest::newRow("no terminal") << "" << QStringList{} << QStringList{};
    }

    // The terminal and its options come first, then the shell that runs and
    // watches the script, with the script and the processor as arguments.
    void terminalChoice()
    {
        QFETCH(QString, preferred);
        QFETCH(QStringList, onPath);
        QFETCH(QStringList, terminal);
        QMap<QString, QString> found;
        for (const QString& name : onPath)
            found.insert(name, QStringLiteral("/p/") + name);
        const StartCommand start =
            scriptStartCommand(QStringLiteral("/l/first.sh"), QStringLiteral("/b/TALVEX-V1"),
                               lookupWith(preferred, found));
        const QStringList command = QStringList{start.program} + start.arguments;
        QCOMPARE(command.mid(0, terminal.size()), terminal);
        const QStringList shell = command.mid(terminal.size());
        QCOMPARE(shell.size(), 6);
        QCOMPARE(shell[0], QStringLiteral("/bin/sh"));
        QCOMPARE(shell[1], QStringLiteral("-c"));
        QCOMPARE(shell.mid(3), (QStringList{"/bin/sh", "/l/first.sh", "/b/TALVEX-V1"}));
    }

    // The system's default terminal is followed to the terminal it names.
    void defaultTerminalLinkIsFollowed()
    {
        QTemporaryDir bin;
        const QString urxvt = test::pathIn(bin, QStringLiteral("urxvt"));
        const QString link = test::pathIn(bin, QStringLiteral("x-terminal-emulator"));
        QVERIFY(test::writeFile(urxvt, "#!/bin/sh\n"));
        QVERIFY(QFile::link(urxvt, link));
        const StartCommand start =
            scriptStartCommand(QStringLiteral("/l/first.sh"), QStringLiteral("/b/TALVEX-V1"),
                               lookupWith({}, {{QStringLiteral("x-terminal-emulator"), link}}));
        QCOMPARE(start.program, link);
        QCOMPARE(start.arguments.mid(0, 2), (QStringList{"-e", "/bin/sh"}));
    }

    // Without a terminal the script runs detached, in a session of its own,
    // and hands the run input file to the processor's standard input. A
    // stand-in processor reports both. It fails, and with no terminal to
    // show that in, the script does not wait for an Enter that cannot come.
    void scriptFeedsTheProcessorInItsOwnSession()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex $HOME launcher XXXXXX"));
        const QString dir = folder.path();
        QVERIFY(writeProgram(dir + QStringLiteral("/TALVEX-V1"),
                             "#!/bin/sh\n"
                             "cut -d' ' -f6 /proc/$$/stat > \"$(dirname \"$0\")/sid\"\n"
                             "cat > \"$(dirname \"$0\")/stdin.part\"\n"
                             "mv \"$(dirname \"$0\")/stdin.part\" \"$(dirname \"$0\")/stdin\"\n"
                             "exit 3\n"));
        const QString params = dir + QStringLiteral("/p.txt");
        QVERIFY(test::writeFile(params, "2 3\n0"));

        RunLaunch launch(dir, dir + QStringLiteral("/user"));
        launch.setTerminalLookup(lookupWith({}, {}));
        QVERIFY(launch.run(QStringLiteral("in"), params, QStringLiteral("out")).started);
        const QByteArray expected("in\r\nout\r\n2 3\n0\r\n");
        QVERIFY(waitForFile(dir + QStringLiteral("/stdin"), expected.size(), 10000));
        QCOMPARE(test::readFile(dir + QStringLiteral("/stdin")), expected);
        const pid_t session = test::readFile(dir + QStringLiteral("/sid")).trimmed().toInt();
        QVERIFY(session > 0);
        QVERIFY(session != getsid(0));
        QDeadlineTimer deadline(10000);
        while (kill(session, 0) == 0 && !deadline.hasExpired())
            QTest::qWait(50);
        QVERIFY2(kill(session, 0) != 0, "the script still waits");
    }

    // The real processor on a 2 x 3 scene, started through the no-terminal
    // path from a launcher folder whose name has spaces.
    void realProcessorLeavesItsOutputs()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex launcher XXXXXX"));
        const QString dir = folder.path();
        QVERIFY(QFile::copy(QStringLiteral(TALVEX_PROCESSOR), dir + QStringLiteral("/TALVEX-V1")));

        // Band 2 starts with DN 2048, the worked example of the calibration.
        QByteArray scene;
        for (quint16 i = 0; i < 24; ++i) {
            const quint16 dn = i == 0 ? 2048 : quint16(i * 40);
            scene.append(char(dn & 0xFF)).append(char(dn >> 8));
        }
        const QString image = dir + QStringLiteral("/scene 2x3.dn");
        QVERIFY(test::writeFile(image, scene));
        const QString params = dir + QStringLiteral("/params 0.txt");
        QVERIFY(test::writeFile(params, "2 3\n0.0 52.5\n0.0 40.8\n0.0 33.6\n0.0 7.2\n"
                                        "45\n38.6\n142\n12.5\n101\n0\n"));
        QVERIFY(QDir(dir).mkdir(QStringLiteral("out dir")));
        const QString base = dir + QStringLiteral("/out dir/scene 42");

        RunLaunch launch(dir, dir + QStringLiteral("/user"));
        launch.setTerminalLookup(lookupWith({}, {}));
        QVERIFY(launch.run(image, params, base).started);

        const QString toa = base + QStringLiteral("-TOA-Ref-bands-2345");
        QVERIFY2(waitForFile(toa, 96, 20000), "no complete TOA reflectance image");
        const QByteArray header(
            "ENVI\ndescription = {File Imported into ENVI.}\nsamples = 3\n"
            "lines = 2\nbands = 4\nheader offset = 0\nfile type = ENVI Standard\n"
            "data type = 4\ninterleave = bsq\nsensor type = Unknown\n"
            "byte order = 0\nwavelength units = Unknown\n");
        QVERIFY(waitForFile(toa + QStringLiteral(".hdr"), header.size(), 5000));
        QCOMPARE(test::readFile(toa + QStringLiteral(".hdr")), header);
        const QByteArray values = test::readFile(toa);
        float first = 0;
        std::memcpy(&first, values.constData(), sizeof first);
        QCOMPARE(first, 0.55480140F);
        QVERIFY(!QFile::exists(base + QStringLiteral("-Atm-Corr-Ref-bands-2345")));
    }
};

QTEST_MAIN(RunTest)
#include "launcher_run.moc"

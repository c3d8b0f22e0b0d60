// "Run >>": the run input file byte for byte, the start script, the choice
// of terminal, and runs that really start a processor.

#include "main_window.h"
#include "launcher_fixture.h"
#include "run_launch.h"

#include <QDeadlineTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstring>

#include <unistd.h>

using namespace talvex;

namespace {

const QByteArray CR_LF("\r\n");

// Starts nothing; remembers what it was asked to start.
struct RecordingStarter {
    std::shared_ptr<std::vector<StartCommand>> started = std::make_shared<std::vector<StartCommand>>();
    Starter starter()
    {
        return [list = started](const StartCommand& command) {
            list->push_back(command);
            return true;
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

}  // namespace

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
        QTest::newRow("no final line end") << QByteArray("2 3\n0") << image << output
                                           << QByteArray("2 3\n0\r\n");
        QTest::newRow("ends with CR LF") << QByteArray("2 3\r\n0\r\n") << image << output
                                         << QByteArray("2 3\r\n0\r\n\r\n");
        QTest::newRow("empty parameter file") << QByteArray() << image << output << QByteArray("\r\n");
        QTest::newRow("empty paths") << QByteArray("45\n") << QString() << QString()
                                     << QByteArray("45\n\r\n");
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

        RunLaunch launch(folder.path());
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        QVERIFY(launch.run(image, paramPath, output));

        QCOMPARE(test::readFile(launch.runInputPath()),
                 image.toUtf8() + CR_LF + output.toUtf8() + CR_LF + tail);
        QCOMPARE(recorder.started->size(), std::size_t{1});
    }

    // The quoted program and run input paths, "<" between them; the shell's
    // special characters inside the quotes are made literal.
    void startScriptLine()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex launcher XXXXXX"));
        RunLaunch launch(folder.path());
        QCOMPARE(launch.processorPath(), folder.path() + QStringLiteral("/TALVEX-V1"));
        QCOMPARE(launch.runInputPath(), folder.path() + QStringLiteral("/logcom.txt"));
        QCOMPARE(launch.startScriptPath(), folder.path() + QStringLiteral("/first.sh"));

        const QString paramPath = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(paramPath, "0\n"));
        launch.setStarter(RecordingStarter().starter());
        QVERIFY(launch.run(QString(), paramPath, QString()));
        const QByteArray dir = folder.path().toUtf8();
        QCOMPARE(test::readFile(launch.startScriptPath()),
                 "\"" + dir + "/TALVEX-V1\"<\"" + dir + "/logcom.txt\"\n");

        QCOMPARE(talvex::startScriptLine(QStringLiteral("/a $HOME/`x`/\"q\"\\/TALVEX-V1"),
                                         QStringLiteral("/b/logcom.txt")),
                 QByteArray("\"/a \\$HOME/\\`x\\`/\\\"q\\\"\\\\/TALVEX-V1\"<\"/b/logcom.txt\"\n"));
    }

    // Nothing is checked before writing: without a Browse the file holds two
    // empty lines, and without a readable parameter file no script is
    // written or started, not even one left by an earlier Run.
    void runWithoutParameterFileStartsNothing()
    {
        QTemporaryDir folder;
        QVERIFY(test::writeFrontPage(folder.path()));
        MainWindow form(folder.path());
        RecordingStarter recorder;
        form.runLaunch().setStarter(recorder.starter());
        form.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(QStringLiteral("/typed/params.txt"));

        form.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
        QCOMPARE(test::readFile(form.runLaunch().runInputPath()), QByteArray("\r\n\r\n"));
        QVERIFY(!QFile::exists(form.runLaunch().startScriptPath()));

        QVERIFY(test::writeFile(form.runLaunch().startScriptPath(), "earlier\n"));
        QVERIFY(!form.runLaunch().run(QStringLiteral("img"), folder.path() + QStringLiteral("/none"),
                                      QStringLiteral("out")));
        QCOMPARE(test::readFile(form.runLaunch().runInputPath()), QByteArray("img\r\nout\r\n"));
        QCOMPARE(test::readFile(form.runLaunch().startScriptPath()), QByteArray("earlier\n"));
        QVERIFY(recorder.started->empty());
    }

    void unwritableLauncherFolderStopsTheRun()
    {
        QTemporaryDir folder;
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "0\n"));
        RunLaunch launch(folder.path() + QStringLiteral("/missing folder"));
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        QVERIFY(!launch.run(QStringLiteral("img"), params, QStringLiteral("out")));
        QVERIFY(recorder.started->empty());
    }

    void twoRunsWriteIdenticalFilesAndStartTwice()
    {
        QTemporaryDir folder;
        const QString params = test::pathIn(folder, QStringLiteral("p.txt"));
        QVERIFY(test::writeFile(params, "2 3\n0\n"));
        RunLaunch launch(folder.path());
        RecordingStarter recorder;
        launch.setStarter(recorder.starter());
        QVERIFY(launch.run(QStringLiteral("a"), params, QStringLiteral("b")));
        const QByteArray first = test::readFile(launch.runInputPath());
        const QByteArray script = test::readFile(launch.startScriptPath());
        QVERIFY(launch.run(QStringLiteral("a"), params, QStringLiteral("b")));
        QCOMPARE(test::readFile(launch.runInputPath()), first);
        QCOMPARE(test::readFile(launch.startScriptPath()), script);
        QCOMPARE(recorder.started->size(), std::size_t{2});
    }

    void terminalChoice_data()
    {
        QTest::addColumn<QString>("preferred");
        QTest::addColumn<QStringList>("onPath");
        QTest::addColumn<QStringList>("command");

        const QString s = QStringLiteral("/l/first.sh");
        QTest::newRow("TERMINAL first") << "kitty" << QStringList{"kitty", "xterm"}
                                        << QStringList{"/p/kitty", "--start-as=minimized", "/bin/sh", s};
        QTest::newRow("TERMINAL not installed") << "nosuch" << QStringList{"x-terminal-emulator", "xterm"}
                                                << QStringList{"/p/x-terminal-emulator", "-e", "/bin/sh", s};
        QTest::newRow("xterm minimised") << "" << QStringList{"xterm", "konsole"}
                                         << QStringList{"/p/xterm", "-iconic", "-e", "/bin/sh", s};
        QTest::newRow("another terminal") << "" << QStringList{"gnome-terminal"}
                                          << QStringList{"/p/gnome-terminal", "--", "/bin/sh", s};
        QTest::newRow("no terminal") << "" << QStringList{} << QStringList{"/bin/sh", s};
    }

    void terminalChoice()
    {
        QFETCH(QString, preferred);
        QFETCH(QStringList, onPath);
        QFETCH(QStringList, command);
        QMap<QString, QString> found;
        for (const QString& name : onPath)
            found.insert(name, QStringLiteral("/p/") + name);
        const StartCommand start =
            scriptStartCommand(QStringLiteral("/l/first.sh"), lookupWith(preferred, found));
        QCOMPARE(QStringList{start.program} + start.arguments, command);
    }

    // The system's default terminal is followed to the terminal it names.
    void defaultTerminalLinkIsFollowed()
    {
        QTemporaryDir bin;
        const QString xterm = test::pathIn(bin, QStringLiteral("xterm"));
        const QString link = test::pathIn(bin, QStringLiteral("x-terminal-emulator"));
        QVERIFY(test::writeFile(xterm, "#!/bin/sh\n"));
        QVERIFY(QFile::link(xterm, link));
        const StartCommand start = scriptStartCommand(
            QStringLiteral("/l/first.sh"), lookupWith({}, {{QStringLiteral("x-terminal-emulator"), link}}));
        QCOMPARE(start.program, link);
        QCOMPARE(start.arguments, (QStringList{"-iconic", "-e", "/bin/sh", "/l/first.sh"}));
    }

    // Without a terminal the script runs detached, in a session of its own,
    // and hands the run input file to the processor's standard input. A
    // stand-in processor reports both.
    void scriptFeedsTheProcessorInItsOwnSession()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/talvex $HOME launcher XXXXXX"));
        const QString dir = folder.path();
        const QString processor = dir + QStringLiteral("/TALVEX-V1");
        QVERIFY(test::writeFile(processor, "#!/bin/sh\n"
                                           "cut -d' ' -f6 /proc/$$/stat > \"$(dirname \"$0\")/sid\"\n"
                                           "cat > \"$(dirname \"$0\")/stdin.part\"\n"
                                           "mv \"$(dirname \"$0\")/stdin.part\" \"$(dirname \"$0\")/stdin\"\n"));
        QVERIFY(QFile::setPermissions(processor, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString params = dir + QStringLiteral("/p.txt");
        QVERIFY(test::writeFile(params, "2 3\n0"));

        RunLaunch launch(dir);
        launch.setTerminalLookup(lookupWith({}, {}));
        QVERIFY(launch.run(QStringLiteral("in"), params, QStringLiteral("out")));
        const QByteArray expected("in\r\nout\r\n2 3\n0\r\n");
        QVERIFY(waitForFile(dir + QStringLiteral("/stdin"), expected.size(), 10000));
        QCOMPARE(test::readFile(dir + QStringLiteral("/stdin")), expected);
        const pid_t session = test::readFile(dir + QStringLiteral("/sid")).trimmed().toInt();
        QVERIFY(session > 0);
        QVERIFY(session != getsid(0));
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

        RunLaunch launch(dir);
        launch.setTerminalLookup(lookupWith({}, {}));
        QVERIFY(launch.run(image, params, base));

        const QString toa = base + QStringLiteral("-TOA-Ref-bands-2345");
        QVERIFY2(waitForFile(toa, 96, 20000), "no complete TOA reflectance image");
        const QByteArray header("ENVI\ndescription = {File Imported into ENVI.}\nsamples = 3\n"
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

// "Run >>" from an installed launcher: the launcher is installed with cmake
// --install into a folder owned by root, and runs as the user nobody, who
// cannot write the program folder, and as root, who could but must not.
// Needs root to set this up; skipped otherwise.

#include "launcher_fixture.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

using namespace talvex;

namespace {

const char* const UNPRIVILEGED_USER = "nobody";
const char* const UNPRIVILEGED_GROUP = "nogroup";
constexpr int INSTALL_TIMEOUT_MS = 120000;
constexpr int RUN_TIMEOUT_MS = 30000;
// A 2 x 3 scene: four bands of six DNs.
constexpr int SCENE_VALUES = 24;
constexpr qint64 TOA_IMAGE_BYTES = 96;

const auto WORLD_READABLE_FOLDER =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
    | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

bool giveTo(const QString& path, const passwd& user)
{
    return chown(QFile::encodeName(path).constData(), user.pw_uid, user.pw_gid) == 0;
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

} // namespace

class InstalledTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir root_;
    QString bin_;
    QString work_;
    passwd user_{};

    // Runs the driver from the installed folder as the unprivileged user, or
    // as root.
    int runAsUser(const QProcessEnvironment& environment, QByteArray& printed, bool asRoot = false)
    {
        const QStringList files{
            work_ + QStringLiteral("/scene.dn"), work_ + QStringLiteral("/params.txt"),
            work_ + (asRoot ? QStringLiteral("/out/root-scene") : QStringLiteral("/out/scene"))};
        QProcess driver;
        driver.setProcessEnvironment(environment);
        if (asRoot) {
            driver.setProgram(bin_ + QStringLiteral("/talvex-driver"));
            driver.setArguments(files);
        } else {
            driver.setProgram(QStringLiteral("setpriv"));
            driver.setArguments(
                QStringList{QStringLiteral("--reuid=%1").arg(QLatin1String(UNPRIVILEGED_USER)),
                            QStringLiteral("--regid=%1").arg(QLatin1String(UNPRIVILEGED_GROUP)),
                            QStringLiteral("--clear-groups"),
                            bin_ + QStringLiteral("/talvex-driver")}
                + files);
        }
        driver.start();
        if (!driver.waitForFinished(RUN_TIMEOUT_MS))
            return -1;
        printed = driver.readAllStandardOutput();
        qInfo().noquote() << driver.readAllStandardError();
        return driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : -1;
    }

    QProcessEnvironment userEnvironment(const QString& home) const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("HOME"), home);
        return environment;
    }

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root, to install into a folder of root's and run as another user");
        const passwd* user = getpwnam(UNPRIVILEGED_USER);
        if (!user)
            QSKIP("no user nobody on this system");
        user_ = *user;
        QVERIFY(QFile::setPermissions(root_.path(), WORLD_READABLE_FOLDER));

        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(TALVEX_CMAKE),
                      {QStringLiteral("--install"), QStringLiteral(TALVEX_BUILD_DIR),
                       QStringLiteral("--prefix"), root_.path() + QStringLiteral("/usr")});
        QVERIFY(install.waitForFinished(INSTALL_TIMEOUT_MS));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());
        bin_ = root_.path() + QStringLiteral("/usr/bin");
        QVERIFY(
            QFile::copy(QStringLiteral(TALVEX_DRIVER), bin_ + QStringLiteral("/talvex-driver")));
        QVERIFY(QFileInfo(bin_).isDir());
        QCOMPARE(QFileInfo(bin_).ownerId(), 0U);

        // The user's own folder: the scene, its parameters, an output folder
        // and a home.
        work_ = root_.path() + QStringLiteral("/user");
        QVERIFY(QDir().mkpath(work_ + QStringLiteral("/out")));
        QVERIFY(QDir().mkpath(work_ + QStringLiteral("/home")));
        QByteArray scene;
        for (int i = 1; i <= SCENE_VALUES; ++i)
            scene.append(char(i * 40 & 0xFF)).append(char(i * 40 >> 8));
        QVERIFY(test::writeFile(work_ + QStringLiteral("/scene.dn"), scene));
        QVERIFY(test::writeFile(
            work_ + QStringLiteral("/params.txt"),
            "2 3\n0.0 52.5\n0.0 40.8\n0.0 33.6\n0.0 7.2\n45\n38.6\n142\n12.5\n101\n0\n"));
        for (const QString& name : {QString(), QStringLiteral("/out"), QStringLiteral("/home"),
                                    QStringLiteral("/scene.dn"), QStringLiteral("/params.txt")})
            QVERIFY(giveTo(work_ + name, user_));
    }

    // The run files land in ~/.local/state/talvex, made for the user, and
    // the installed processor runs from there.
    void runFromAFolderTheUserCannotWrite()
    {
        const QString home = work_ + QStringLiteral("/home");
        QByteArray printed;
        // No message box: the driver ends with 0. What it printed is the
        // console of the run, which without a terminal shares its output.
        QCOMPARE(runAsUser(userEnvironment(home), printed), 0);

        const QString runFolder = home + QStringLiteral("/.local/state/talvex");
        QVERIFY(QFile::exists(runFolder + QStringLiteral("/logcom.txt")));
        QCOMPARE(QFileInfo(runFolder).ownerId(), user_.pw_uid);
        QCOMPARE(test::readFile(runFolder + QStringLiteral("/first.sh")),
                 "\"" + bin_.toUtf8() + "/TALVEX-V1\"<\"" + runFolder.toUtf8() + "/logcom.txt\"\n");
        QVERIFY(!QFile::exists(bin_ + QStringLiteral("/logcom.txt")));
        QVERIFY(!QFile::exists(bin_ + QStringLiteral("/first.sh")));

        const QString toa = work_ + QStringLiteral("/out/scene-TOA-Ref-bands-2345");
        QVERIFY2(waitForFile(toa, TOA_IMAGE_BYTES, RUN_TIMEOUT_MS),
                 "the installed processor left no TOA image");
        QCOMPARE(QFileInfo(toa).ownerId(), user_.pw_uid);
    }

    // Root could write the program folder, but the installed launcher keeps
    // to root's own state folder: bin/ holds the programs alone and the data
    // folder its two files, as installed.
    void runAsRootLeavesTheInstallationAlone()
    {
        const QString home = root_.path() + QStringLiteral("/root-home");
        QVERIFY(QDir().mkpath(home));
        const QStringList programs = QDir(bin_).entryList(QDir::Files, QDir::Name);
        QByteArray printed;
        QCOMPARE(runAsUser(userEnvironment(home), printed, true), 0);

        QVERIFY(QFile::exists(home + QStringLiteral("/.local/state/talvex/logcom.txt")));
        QVERIFY(QFile::exists(home + QStringLiteral("/.local/state/talvex/first.sh")));
        QCOMPARE(QDir(bin_).entryList(QDir::Files, QDir::Name), programs);
        for (const QFileInfo& file : QDir(bin_).entryInfoList(QDir::Files))
            QVERIFY2(file.isExecutable(), qPrintable(file.fileName()));
        QCOMPARE(
            QDir(root_.path() + QStringLiteral("/usr/share/talvex"))
                .entryList(QDir::Files, QDir::Name),
            (QStringList{QStringLiteral("TALVEX.pdf"), QStringLiteral("front page of sw.jpg")}));
        QVERIFY2(waitForFile(work_ + QStringLiteral("/out/root-scene-TOA-Ref-bands-2345"),
                             TOA_IMAGE_BYTES, RUN_TIMEOUT_MS),
                 "the installed processor left no TOA image");
    }

    // With $XDG_STATE_HOME in a folder the user cannot write, Run names that
    // folder and the system's reason, and starts nothing; the program folder
    // is not even tried.
    void unwritableStateFolderIsTold()
    {
        const QString stateHome = root_.path() + QStringLiteral("/root-state");
        QVERIFY(QDir().mkpath(stateHome));
        QVERIFY(QFile::setPermissions(stateHome, WORLD_READABLE_FOLDER));
        QProcessEnvironment environment = userEnvironment(work_ + QStringLiteral("/home"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);

        QByteArray printed;
        QCOMPARE(runAsUser(environment, printed), 1);
        QVERIFY2(
            printed.contains((stateHome + QStringLiteral("/talvex\nPermission denied")).toUtf8()),
            printed.constData());
        QVERIFY(!printed.contains(bin_.toUtf8()));
        QVERIFY(!QFile::exists(stateHome + QStringLiteral("/talvex")));
    }
};

QTEST_MAIN(InstalledTest)
#include "launcher_installed.moc"

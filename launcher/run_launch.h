#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace talvex {

// A program to start and its arguments.
struct StartCommand {
    QString program;
    QStringList arguments;
    friend bool operator==(const StartCommand&, const StartCommand&) = default;
};

// Where the start script looks for a terminal window to run in: the user's
// choice ($TERMINAL) first, then the usual names found on the PATH.
struct TerminalLookup {
    QString preferred;
    // Full path of an executable, or empty when there is none by that name.
    std::function<QString(const QString&)> findExecutable;

    static TerminalLookup fromEnvironment();
};

// Starts a command without waiting for it. Returns an empty string when it
// started, otherwise the system's reason.
using Starter = std::function<QString(const StartCommand&)>;

// What became of one "Run >>".
struct RunResult {
    // The folder that received the run input file and the start script, or
    // empty when no folder could.
    QString runFolder;
    bool started = false;
    // Why the run did not start, in words for the user; empty when it did.
    QString failure;
};

// The files of a run in the folder that receives them, and the processor
// in the launcher folder.
QString runInputPath(const QString& runFolder);
QString startScriptPath(const QString& runFolder);
QString processorPath(const QString& launcherFolder);

// The user's own folder for run files, for when the launcher folder cannot
// be written (an installed package): "talvex" in the XDG state folder, that
// is $XDG_STATE_HOME when it is an absolute path, otherwise ~/.local/state.
QString userRunFolder(const QString& xdgStateHome, const QString& home);
QString userRunFolderFromEnvironment();

// The start script, one line and nothing else: the processor, quoted, with
// its standard input redirected from the quoted run input file.
QByteArray startScript(const QString& processorPath, const QString& runInputPath);

// How the start script is started: in a terminal window of its own where
// one is found, otherwise by the shell alone in a session of its own. The
// shell that runs the script watches its exit status: when the run fails (a
// non-zero status, or no processor to start) it says so and, in a terminal,
// brings the window up and keeps it open until Enter is pressed.
StartCommand scriptStartCommand(const QString& scriptPath, const QString& processorPath,
                                const TerminalLookup& lookup);

// Where a Run writes its files.
enum class RunFilesPlace {
    // The launcher folder, as in a ready-to-run folder; the user's run
    // folder when the launcher folder cannot be written.
    LauncherFolderFirst,
    // Always the user's run folder: the launcher folder belongs to an
    // installation, which a Run never writes into, even as root.
    UserFolder,
};

// "Run >>": writes the processor's standard input as the run input file and
// a start script into the folder its place names, then starts the script
// and lets it run by itself. The processor is the launcher folder's.
class RunLaunch {
public:
    RunLaunch(const QString& launcherFolder, const QString& userRunFolder,
              RunFilesPlace place = RunFilesPlace::LauncherFolderFirst);
    // The user's run folder taken from the environment.
    explicit RunLaunch(const QString& launcherFolder,
                       RunFilesPlace place = RunFilesPlace::LauncherFolderFirst);

    QString launcherFolder() const
    {
        return launcherFolder_;
    }
    QString userRunFolder() const
    {
        return userRunFolder_;
    }

    void setTerminalLookup(TerminalLookup lookup)
    {
        lookup_ = std::move(lookup);
    }
    void setStarter(Starter starter)
    {
        starter_ = std::move(starter);
    }

    // Stops at the first step that fails and says why. Nothing about the
    // started run comes back.
    RunResult run(const QString& imagePath, const QString& paramPath,
                  const QString& outputPath) const;

private:
    QString launcherFolder_;
    QString userRunFolder_;
    RunFilesPlace place_;
    TerminalLookup lookup_;
    Starter starter_;
};

} // namespace talvex

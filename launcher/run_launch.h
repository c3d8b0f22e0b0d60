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

// Starts a command without waiting for it; false when it could not start.
using Starter = std::function<bool(const StartCommand&)>;

// The one line of the start script: the processor, quoted, with its
// standard input redirected from the quoted run input file, and a line end.
QByteArray startScriptLine(const QString& processorPath, const QString& runInputPath);

// How the start script is started: in a terminal window of its own where
// one is found, otherwise by the shell alone in a session of its own.
StartCommand scriptStartCommand(const QString& scriptPath, const TerminalLookup& lookup);

// "Run >>": writes the processor's standard input as the run input file and
// a start script in the launcher folder, then starts the script and lets it
// run by itself.
class RunLaunch {
public:
    explicit RunLaunch(const QString& launcherFolder);

    QString runInputPath() const;
    QString startScriptPath() const;
    QString processorPath() const;

    void setTerminalLookup(TerminalLookup lookup) { lookup_ = std::move(lookup); }
    void setStarter(Starter starter) { starter_ = std::move(starter); }

    // Stops silently at the first step that fails; true when the script was
    // started. Nothing about the started run comes back.
    bool run(const QString& imagePath, const QString& paramPath, const QString& outputPath) const;

private:
    QString fileInFolder(const QString& name) const;
    bool writeRunInputFile(const QString& imagePath, const QString& paramPath,
                           const QString& outputPath) const;
    bool writeStartScript() const;

    QString folder_;
    TerminalLookup lookup_;
    Starter starter_;
};

}  // namespace talvex

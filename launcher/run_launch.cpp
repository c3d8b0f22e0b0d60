#include "run_launch.h"

#include "launcher_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <array>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace talvex {

namespace {

const QByteArray CR_LF("\r\n");

#ifdef Q_OS_WIN
const QString PROCESSOR_NAME = QStringLiteral("TALVEX-V1.exe");
const QString START_SCRIPT_NAME = QStringLiteral("first.bat");
const QByteArray SCRIPT_LINE_END = CR_LF;
#else
const QString PROCESSOR_NAME = QStringLiteral("TALVEX-V1");
const QString START_SCRIPT_NAME = QStringLiteral("first.sh");
// The shell would take a carriage return as part of the last file name.
const QByteArray SCRIPT_LINE_END("\n");
#endif
const QString RUN_INPUT_NAME = QStringLiteral("logcom.txt");
const QString SHELL = QStringLiteral("/bin/sh");
const QString USER_RUN_FOLDER_NAME = QStringLiteral("talvex");
// The XDG state folder when $XDG_STATE_HOME does not name one.
const QString DEFAULT_STATE_HOME = QStringLiteral(".local/state");

#ifndef Q_OS_WIN
// What the shell around the start script does: runs the script ($1) with
// the shell it is itself ($0) and, when the run fails, names the processor
// ($2) if it cannot be run at all (the shell has already said why), gives
// the exit status and, in a terminal, brings the window up from its icon
// and to the front and waits for Enter. It ends with the run's own status.
const char* const WATCH_RUN =
    "\"$0\" \"$1\"; s=$?; if [ \"$s\" -ne 0 ]; then "
    "[ -x \"$2\" ] || printf '%s%s\\n' 'TALVEX-V1 cannot be run: ' \"$2\"; "
    "echo \"TALVEX-V1 stopped with exit status $s.\"; "
    "if [ -t 0 ]; then printf '\\033[1t\\033[5t%s' 'Press Enter to close this window. '; "
    "read -r _; fi; fi; exit \"$s\"";
#endif

// Bytes of a path as the file system and the processor see them.
QByteArray pathBytes(const QString& path)
{
    return QFile::encodeName(path);
}

// A path inside double quotes of the script, with the characters that the
// interpreter would still expand there made literal.
QByteArray quotedForScript(const QString& path)
{
    QByteArray quoted("\"");
    for (const char c : pathBytes(path)) {
#ifdef Q_OS_WIN
        if (c == '%')
            quoted += '%';
#else
        if (c == '"' || c == '\\' || c == '$' || c == '`')
            quoted += '\\';
#endif
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

constexpr std::size_t MAX_TERMINAL_OPTIONS = 4;

struct TerminalStyle {
    const char* name;
    // Options put in front of the command that the terminal is to run; where
    // the terminal can start minimised, they ask for it.
    std::array<const char*, MAX_TERMINAL_OPTIONS> options;
};

// xterm obeys a script's request to come up from its icon and to the front
// only when told to; every other window operation stays refused.
const char* const XTERM_WINDOW_OPS = "*disallowedWindowOps: 2,3,4,6,7,8,9,11,13,14,18,19,20,21,"
                                     "GetSelection,SetSelection,SetWinLines,SetXprop";

// Terminals looked for on the PATH, in this order, after $TERMINAL and the
// system's default terminal. Only the xterm family starts minimised: it is
// the one known to come up again when a failed run asks it to, and a run's
// messages must not wait unseen behind an icon.
constexpr std::array<TerminalStyle, 16> KNOWN_TERMINALS{{
    {"xterm", {"-iconic", "-xrm", XTERM_WINDOW_OPS, "-e"}},
    {"uxterm", {"-iconic", "-xrm", XTERM_WINDOW_OPS, "-e"}},
    {"lxterm", {"-iconic", "-xrm", XTERM_WINDOW_OPS, "-e"}},
    {"koi8rxterm", {"-iconic", "-xrm", XTERM_WINDOW_OPS, "-e"}},
    {"urxvt", {"-e"}},
    {"rxvt", {"-e"}},
    {"xfce4-terminal", {"-x"}},
    {"gnome-terminal", {"--"}},
    {"konsole", {"-e"}},
    {"mate-terminal", {"-x"}},
    {"qterminal", {"-e"}},
    {"terminator", {"-x"}},
    {"kitty", {}},
    {"alacritty", {"-e"}},
    {"foot", {}},
    {"st", {"-e"}},
}};

const char* const SYSTEM_DEFAULT_TERMINAL = "x-terminal-emulator";

// The options for a terminal found at this path. A link such as the
// system's default terminal is followed to learn which terminal it is; an
// unknown one gets the -e that terminals commonly take.
QStringList terminalOptions(const QString& terminalPath)
{
    const QString canonical = QFileInfo(terminalPath).canonicalFilePath();
    const QString name = QFileInfo(canonical.isEmpty() ? terminalPath : canonical).fileName();
    for (const TerminalStyle& style : KNOWN_TERMINALS) {
        if (name != QLatin1String(style.name))
            continue;
        QStringList options;
        for (const char* option : style.options) {
            if (option)
                options << QString::fromLatin1(option);
        }
        return options;
    }
    return {QStringLiteral("-e")};
}

QString findTerminal(const TerminalLookup& lookup)
{
    if (!lookup.findExecutable)
        return {};
    if (!lookup.preferred.isEmpty()) {
        const QString preferred = lookup.findExecutable(lookup.preferred);
        if (!preferred.isEmpty())
            return preferred;
    }
    const QString systemDefault =
        lookup.findExecutable(QString::fromLatin1(SYSTEM_DEFAULT_TERMINAL));
    if (!systemDefault.isEmpty())
        return systemDefault;
    for (const TerminalStyle& style : KNOWN_TERMINALS) {
        const QString found = lookup.findExecutable(QString::fromLatin1(style.name));
        if (!found.isEmpty())
            return found;
    }
    return {};
}

QString startDetached(const StartCommand& command)
{
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    // The script reads nothing from the launcher: without a terminal of its
    // own it finds no terminal on its standard input and does not wait.
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_NEW_CONSOLE;
        arguments->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        arguments->startupInfo->wShowWindow = SW_SHOWMINIMIZED;
    });
#endif
    // A detached process runs in a session of its own and outlives the
    // launcher; its working directory is the launcher's.
    if (process.startDetached())
        return {};
    return process.errorString();
}

bool writeAll(QFile& file, const QByteArray& bytes)
{
    return file.write(bytes) == bytes.size();
}

// Creates the folder and whichever of its parents are missing, each open to
// its owner alone, as the XDG convention asks. Returns the system's reason
// when it cannot, otherwise an empty string.
QString makePrivateFolder(const QString& folder)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path partial;
    for (const fs::path& part : fs::path(pathBytes(folder).toStdString())) {
        partial /= part;
        if (part.empty() || fs::is_directory(partial, error))
            continue;
        if (!fs::create_directory(partial, error) && error) {
            // Something that is not a folder stands in the way.
            if (error == std::errc::file_exists)
                error = std::make_error_code(std::errc::not_a_directory);
            return QString::fromLocal8Bit(error.message());
        }
        fs::permissions(partial, fs::perms::owner_all, error);
    }
    if (!fs::is_directory(partial, error))
        return error ? QString::fromLocal8Bit(error.message()) : QStringLiteral("Not a folder");
    return {};
}

QString withReason(const QString& what, const QString& path, const QString& reason)
{
    return QStringLiteral("%1\n\n%2\n\n%3").arg(what, QDir::toNativeSeparators(path), reason);
}

// Opens the run input file for writing in the launcher folder when the
// place allows it, otherwise or failing that in the user's run folder.
// Returns the folder that took it, or an empty string and the reasons.
QString openRunInput(QFile& runInput, const QString& launcherFolder, const QString& userFolder,
                     RunFilesPlace place, QString& failure)
{
    QString launcherReason;
    if (place == RunFilesPlace::LauncherFolderFirst) {
        runInput.setFileName(runInputPath(launcherFolder));
        if (runInput.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return launcherFolder;
        launcherReason = runInput.errorString();
    }

    QString userReason = makePrivateFolder(userFolder);
    if (userReason.isEmpty()) {
        runInput.setFileName(runInputPath(userFolder));
        if (runInput.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return userFolder;
        userReason = runInput.errorString();
    }
    if (place == RunFilesPlace::UserFolder) {
        failure =
            QStringLiteral("The run files cannot be written in your own folder for them.\n\n%1\n%2")
                .arg(QDir::toNativeSeparators(userFolder), userReason);
        return {};
    }
    failure = QStringLiteral("The run files cannot be written, neither in the TALVEX folder "
                             "nor in your own folder for them.\n\n%1\n%2\n\n%3\n%4")
                  .arg(QDir::toNativeSeparators(launcherFolder), launcherReason,
                       QDir::toNativeSeparators(userFolder), userReason);
    return {};
}

// Line 1 the image path, line 2 the output path, then the user's parameter
// file byte for byte, all ended by CR LF. Nothing is checked beforehand: an
// empty path is written as an empty line, and a parameter file that cannot
// be read leaves the two path lines behind. Returns why it failed, or an
// empty string.
QString writeRunInput(QFile& runInput, const QString& imagePath, const QString& paramPath,
                      const QString& outputPath)
{
    const auto writeFailure = [&runInput] {
        return withReason(QStringLiteral("The run input file cannot be written:"),
                          runInput.fileName(), runInput.errorString());
    };
    if (!writeAll(runInput, pathBytes(imagePath) + CR_LF)
        || !writeAll(runInput, pathBytes(outputPath) + CR_LF))
        return writeFailure();

    if (paramPath.isEmpty())
        return QStringLiteral("No parameter file has been chosen.\n\nChoose one with the "
                              "Browse button of \"Input Parameters (Text File)\".");
    QFile params(paramPath);
    if (!params.open(QIODevice::ReadOnly))
        return withReason(QStringLiteral("The parameter file cannot be read:"), paramPath,
                          params.errorString());
    const qint64 size = params.size();
    const QByteArray content = params.read(size);
    if (content.size() != size)
        return withReason(QStringLiteral("The parameter file cannot be read:"), paramPath,
                          params.errorString());

    if (!writeAll(runInput, content + CR_LF) || !runInput.flush())
        return writeFailure();
    runInput.close();
    if (runInput.error() != QFileDevice::NoError)
        return writeFailure();
    return {};
}

QString writeStartScript(const QString& path, const QByteArray& script)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && writeAll(file, script)
        && file.flush()) {
        file.close();
        if (file.error() == QFileDevice::NoError)
            return {};
    }
    return withReason(QStringLiteral("The start script cannot be written:"), path,
                      file.errorString());
}

} // namespace

TerminalLookup TerminalLookup::fromEnvironment()
{
    return {qEnvironmentVariable("TERMINAL"),
            [](const QString& name) { return QStandardPaths::findExecutable(name); }};
}

QString runInputPath(const QString& runFolder)
{
    return fileInFolder(runFolder, RUN_INPUT_NAME);
}

QString startScriptPath(const QString& runFolder)
{
    return fileInFolder(runFolder, START_SCRIPT_NAME);
}

QString processorPath(const QString& launcherFolder)
{
    return fileInFolder(launcherFolder, PROCESSOR_NAME);
}

QString userRunFolder(const QString& xdgStateHome, const QString& home)
{
    // The XDG convention ignores a relative $XDG_STATE_HOME.
    const QString stateHome =
        QDir::isAbsolutePath(xdgStateHome) ? xdgStateHome : QDir(home).filePath(DEFAULT_STATE_HOME);
    return QDir::cleanPath(QDir(stateHome).filePath(USER_RUN_FOLDER_NAME));
}

QString userRunFolderFromEnvironment()
{
    const QString home = qEnvironmentVariable("HOME");
    return userRunFolder(qEnvironmentVariable("XDG_STATE_HOME"),
                         home.isEmpty() ? QDir::homePath() : home);
}

QByteArray startScript(const QString& processorPath, const QString& runInputPath)
{
    return quotedForScript(processorPath) + '<' + quotedForScript(runInputPath) + SCRIPT_LINE_END;
}

StartCommand scriptStartCommand(const QString& scriptPath, const QString& processorPath,
                                const TerminalLookup& lookup)
{
#ifdef Q_OS_WIN
    Q_UNUSED(processorPath);
    Q_UNUSED(lookup);
    return {QStringLiteral("cmd.exe"),
            {QStringLiteral("/c"), QStringLiteral("call"), scriptPath, QStringLiteral("||"),
             QStringLiteral("pause")}};
#else
    // The script and the processor reach the watching shell as its
    // positional parameters, never as part of its command text.
    const QStringList watched{SHELL, QStringLiteral("-c"), QString::fromLatin1(WATCH_RUN),
                              SHELL, scriptPath,           processorPath};
    const QString terminal = findTerminal(lookup);
    if (terminal.isEmpty())
        return {watched.first(), watched.mid(1)};
    return {terminal, terminalOptions(terminal) + watched};
#endif
}

RunLaunch::RunLaunch(const QString& launcherFolder, const QString& userRunFolder,
                     RunFilesPlace place)
    : launcherFolder_(QDir::toNativeSeparators(launcherFolder)),
      userRunFolder_(QDir::toNativeSeparators(userRunFolder)), place_(place),
      lookup_(TerminalLookup::fromEnvironment()), starter_(startDetached)
{
}

RunLaunch::RunLaunch(const QString& launcherFolder, RunFilesPlace place)
    : RunLaunch(launcherFolder, userRunFolderFromEnvironment(), place)
{
}

// The run files go where the place says; the processor is always the
// launcher folder's.
RunResult RunLaunch::run(const QString& imagePath, const QString& paramPath,
                         const QString& outputPath) const
{
    RunResult result;
    QFile runInput;
    result.runFolder =
        openRunInput(runInput, launcherFolder_, userRunFolder_, place_, result.failure);
    if (result.runFolder.isEmpty())
        return result;
    result.failure = writeRunInput(runInput, imagePath, paramPath, outputPath);
    if (!result.failure.isEmpty())
        return result;

    const QString script = startScriptPath(result.runFolder);
    result.failure = writeStartScript(
        script, startScript(processorPath(launcherFolder_), runInputPath(result.runFolder)));
    if (!result.failure.isEmpty())
        return result;

    const StartCommand command =
        scriptStartCommand(script, processorPath(launcherFolder_), lookup_);
    const QString reason = starter_(command);
    if (!reason.isEmpty()) {
        result.failure =
            withReason(QStringLiteral("The run cannot be started:"), command.program, reason);
        return result;
    }
    result.started = true;
    return result;
}

} // namespace talvex

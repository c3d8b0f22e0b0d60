#include "run_launch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <array>

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

struct TerminalStyle {
    const char* name;
    // Options, separated by spaces, put in front of the command that the
    // terminal is to run; where the terminal can start minimised, they ask
    // for it.
    const char* options;
};

// Terminals looked for on the PATH, in this order, after $TERMINAL and the
// system's default terminal.
constexpr std::array<TerminalStyle, 16> KNOWN_TERMINALS{{
    {"xterm", "-iconic -e"},
    {"uxterm", "-iconic -e"},
    {"lxterm", "-iconic -e"},
    {"koi8rxterm", "-iconic -e"},
    {"urxvt", "-iconic -e"},
    {"rxvt", "-iconic -e"},
    {"xfce4-terminal", "--minimize -x"},
    {"gnome-terminal", "--"},
    {"konsole", "-e"},
    {"mate-terminal", "-x"},
    {"qterminal", "-e"},
    {"terminator", "-x"},
    {"kitty", "--start-as=minimized"},
    {"alacritty", "-e"},
    {"foot", ""},
    {"st", "-e"},
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
        if (name == QLatin1String(style.name))
            return QString::fromLatin1(style.options).split(u' ', Qt::SkipEmptyParts);
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
    const QString systemDefault = lookup.findExecutable(QString::fromLatin1(SYSTEM_DEFAULT_TERMINAL));
    if (!systemDefault.isEmpty())
        return systemDefault;
    for (const TerminalStyle& style : KNOWN_TERMINALS) {
        const QString found = lookup.findExecutable(QString::fromLatin1(style.name));
        if (!found.isEmpty())
            return found;
    }
    return {};
}

bool startDetached(const StartCommand& command)
{
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
#ifdef Q_OS_WIN
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_NEW_CONSOLE;
        arguments->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
        arguments->startupInfo->wShowWindow = SW_SHOWMINIMIZED;
    });
#endif
    // A detached process runs in a session of its own and outlives the
    // launcher; its working directory is the launcher's.
    return process.startDetached();
}

bool writeAll(QFile& file, const QByteArray& bytes)
{
    return file.write(bytes) == bytes.size();
}

}  // namespace

TerminalLookup TerminalLookup::fromEnvironment()
{
    return {qEnvironmentVariable("TERMINAL"),
            [](const QString& name) { return QStandardPaths::findExecutable(name); }};
}

QByteArray startScriptLine(const QString& processorPath, const QString& runInputPath)
{
    return quotedForScript(processorPath) + '<' + quotedForScript(runInputPath) + SCRIPT_LINE_END;
}

StartCommand scriptStartCommand(const QString& scriptPath, const TerminalLookup& lookup)
{
#ifdef Q_OS_WIN
    Q_UNUSED(lookup);
    return {QStringLiteral("cmd.exe"), {QStringLiteral("/c"), scriptPath}};
#else
    const QString terminal = findTerminal(lookup);
    if (terminal.isEmpty())
        return {SHELL, {scriptPath}};
    return {terminal, terminalOptions(terminal) << SHELL << scriptPath};
#endif
}

RunLaunch::RunLaunch(const QString& launcherFolder)
    : folder_(QDir::toNativeSeparators(launcherFolder)),
      lookup_(TerminalLookup::fromEnvironment()),
      starter_(startDetached)
{
}

QString RunLaunch::fileInFolder(const QString& name) const
{
    return folder_ + QDir::separator() + name;
}

QString RunLaunch::runInputPath() const
{
    return fileInFolder(RUN_INPUT_NAME);
}

QString RunLaunch::startScriptPath() const
{
    return fileInFolder(START_SCRIPT_NAME);
}

QString RunLaunch::processorPath() const
{
    return fileInFolder(PROCESSOR_NAME);
}

bool RunLaunch::run(const QString& imagePath, const QString& paramPath,
                    const QString& outputPath) const
{
    if (!writeRunInputFile(imagePath, paramPath, outputPath) || !writeStartScript())
        return false;
    return starter_(scriptStartCommand(startScriptPath(), lookup_));
}

// Line 1 the image path, line 2 the output path, then the user's parameter
// file byte for byte, all ended by CR LF. Nothing is checked beforehand: an
// empty path is written as an empty line, and a parameter file that cannot
// be read leaves the two path lines behind.
bool RunLaunch::writeRunInputFile(const QString& imagePath, const QString& paramPath,
                                  const QString& outputPath) const
{
    QFile runInput(runInputPath());
    if (!runInput.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (!writeAll(runInput, pathBytes(imagePath) + CR_LF) ||
        !writeAll(runInput, pathBytes(outputPath) + CR_LF))
        return false;

    QFile params(paramPath);
    if (paramPath.isEmpty() || !params.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = params.size();
    const QByteArray content = params.read(size);
    if (content.size() != size)
        return false;

    if (!writeAll(runInput, content + CR_LF) || !runInput.flush())
        return false;
    runInput.close();
    return runInput.error() == QFileDevice::NoError;
}

bool RunLaunch::writeStartScript() const
{
    QFile script(startScriptPath());
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (!writeAll(script, startScriptLine(processorPath(), runInputPath())) || !script.flush())
        return false;
    script.close();
    return script.error() == QFileDevice::NoError;
}

}  // namespace talvex

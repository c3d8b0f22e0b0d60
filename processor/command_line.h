// TALVEX-V1's command line. The program's work takes no arguments (every
// setting comes on standard input); --help and --version answer as GNU
// programs do, and anything else is refused before the banner is printed.
#pragma once

#include <span>
#include <string>

namespace talvex {

// Name of the console program, as its messages and help give it.
inline constexpr const char* PROCESSOR_PROGRAM = "TALVEX-V1";
// Exit status of a command line that cannot be run.
inline constexpr int STATUS_USAGE = 2;

enum class CommandAction {
    run,        // no arguments: the run with its dialogue on standard output
    help,       // print helpText() on standard output, end with status 0
    version,    // print versionText() on standard output, end with status 0
    usageError, // print the error on standard error, end with STATUS_USAGE
};

struct CommandLine {
    CommandAction action = CommandAction::run;
    std::string error; // for usageError: the whole message, ending with a line end
};

// The arguments after the program's name.
CommandLine parseCommandLine(std::span<const char* const> arguments);

// What --help prints: usage, the stream's layout with the unit of every
// field, the outputs and the exit statuses.
std::string helpText();
// What --version prints.
std::string versionText();

} // namespace talvex

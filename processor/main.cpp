// TALVEX-V1: DN image to top-of-atmosphere and surface reflectance.
// The run parameter stream comes on standard input; every message of a run
// goes to standard output.
#include "command_line.h"
#include "driver.h"
#include "interruption.h"

#include <csignal>
#include <iostream>
#include <span>

int main(int argc, char** argv)
{
    const talvex::CommandLine commandLine =
        talvex::parseCommandLine(std::span<const char* const>(argv + 1, argv + argc));
    switch (commandLine.action) {
    case talvex::CommandAction::help:
        std::cout << talvex::helpText() << std::flush;
        return std::cout ? talvex::STATUS_COMPLETE : talvex::STATUS_OUTPUT_FAILURE;
    case talvex::CommandAction::version:
        std::cout << talvex::versionText() << std::flush;
        return std::cout ? talvex::STATUS_COMPLETE : talvex::STATUS_OUTPUT_FAILURE;
    case talvex::CommandAction::usageError:
        std::cerr << commandLine.error;
        return talvex::STATUS_USAGE;
    case talvex::CommandAction::run:
        break;
    }
    // A file-size limit then shows as a failed write that is reported,
    // instead of ending the process half-way through an output; a reader of
    // the messages that goes away does not stop the run either.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = talvex::runTalvex(std::cin, std::cout);
    if (status > talvex::INTERRUPTED_STATUS_BASE) {
        talvex::endByInterruption(status);
    }
    return status;
}

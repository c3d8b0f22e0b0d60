// TALVEX-V1: DN image to top-of-atmosphere and surface reflectance.
// The run parameter stream comes on standard input; every message goes to
// standard output.
#include "driver.h"
#include "interruption.h"

#include <csignal>
#include <iostream>

int main()
{
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

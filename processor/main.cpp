// TALVEX-V1: DN image to top-of-atmosphere and surface reflectance.
// The run parameter stream comes on standard input; every message goes to
// standard output.
#include "driver.h"

#include <csignal>
#include <iostream>

int main()
{
    // A file-size limit then shows as a failed write that is reported,
    // instead of ending the process half-way through an output.
    std::signal(SIGXFSZ, SIG_IGN);
    return talvex::runTalvex(std::cin, std::cout);
}

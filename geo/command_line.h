// The command line of talvex-geo, in the manner of GDAL's own programs.
#pragma once

#include "talvex_geo.h"

#include <string>
#include <vector>

namespace talvex::geo {

struct CommandLine {
    GeoOptions options;
    bool quiet = false;    // -q: no progress
    bool progress = false; // -progress: progress even when standard error is no terminal
};

// Reads the arguments after the program name (--help and --version already
// answered, GDAL's general options such as --config already taken out).
// Throws a parameters Failure on a line that cannot be run.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();
std::string versionText();

} // namespace talvex::geo

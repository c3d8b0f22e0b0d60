// talvex-geo: TALVEX's reflectances of georeferenced scenes, through GDAL.
// The program reads its command line into the library's options and runs it.
#include "command_line.h"
#include "failure.h"
#include "geo_messages.h"
#include "interruption.h"
#include "talvex_geo.h"

#include <cpl_string.h>
#include <gdal.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <vector>

#include <unistd.h>

namespace {

using namespace talvex;
using namespace talvex::geo;

// --help and --version are answered before GDAL's general options are taken.
bool answeredAtOnce(const std::vector<std::string>& arguments)
{
    for (const std::string& a : arguments) {
        if (a == "--") {
            break;
        }
        if (a == "--help" || a == "-h") {
            std::cout << usageText();
            return true;
        }
        if (a == "--version") {
            std::cout << versionText();
            return true;
        }
    }
    return false;
}

// GDAL's general options (--config, --debug, --formats, --optfile ...) taken
// out of the arguments as GDAL's own programs take them. Returns false with
// `status` set when an option answered and ended the run, or was wrong.
bool withoutGeneralOptions(int argc, char** argv, std::vector<std::string>& rest, int& status)
{
    // GDAL's processor hands back a new list, or leaves the one it was given
    // when it ends early: it is given a copy, never main's own arguments.
    char** given = CSLDuplicate(argv);
    char** arguments = given;
    const int count = GDALGeneralCmdLineProcessor(argc, &arguments, 0);
    if (count >= 1) {
        rest.assign(arguments + 1, arguments + count);
    }
    if (arguments != given) {
        CSLDestroy(arguments);
    }
    CSLDestroy(given);
    if (count < 1) {
        status = count == 0 ? STATUS_COMPLETE : STATUS_BAD_PARAMETERS;
        if (count < 0) {
            std::cerr << "Try 'talvex-geo --help' for the usage.\n";
        }
        return false;
    }
    return true;
}

// GDAL's progress line on standard error: "0...10...20...30" up to
// "100 - done.", a dot every 2.5 %.
class ProgressLine {
public:
    bool operator()(double complete)
    {
        const int ticks = std::clamp(static_cast<int>(complete * TICKS + 1e-9), 0, TICKS);
        for (; shown_ <= ticks; ++shown_) {
            if (shown_ % TICKS_PER_FIGURE == 0) {
                std::cerr << shown_ / TICKS_PER_FIGURE * PERCENT_PER_FIGURE;
            } else {
                std::cerr << '.';
            }
        }
        if (ticks == TICKS && !done_) {
            std::cerr << " - done.\n";
            done_ = true;
        }
        std::cerr << std::flush;
        return true;
    }

private:
    static constexpr int TICKS = 40;
    static constexpr int TICKS_PER_FIGURE = 4;
    static constexpr int PERCENT_PER_FIGURE = 10;
    int shown_ = 0;
    bool done_ = false;
};

int runProgram(int argc, char** argv)
{
    if (answeredAtOnce(std::vector<std::string>(argv + 1, argv + argc))) {
        return STATUS_COMPLETE;
    }
    GDALAllRegister();
    std::vector<std::string> rest;
    int status = STATUS_COMPLETE;
    if (!withoutGeneralOptions(argc, argv, rest, status)) {
        return status;
    }
    try {
        CommandLine line = parseCommandLine(rest);
        GeoOptions& options = line.options;
        options.catchStopSignals = true;
        options.warning = [](const std::string& warning) {
            std::cerr << "talvex-geo: Warning: " << warning << "\n";
        };
        if (!line.quiet && (line.progress || ::isatty(STDERR_FILENO) == 1)) {
            options.progress = ProgressLine();
        }
        const GeoResult result = correctFiles(options);
        if (!result.notice.empty()) {
            std::cerr << "talvex-geo: " << result.notice << "\n";
        }
        return result.status;
    } catch (const Failure& failure) {
        std::cerr << "talvex-geo: " << failure.message << std::flush;
        return failure.status;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A file-size limit shows as a failed write that is reported, and a
    // reader of the messages that goes away does not stop the run.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = runProgram(argc, argv);
    GDALDestroyDriverManager();
    if (status > INTERRUPTED_STATUS_BASE) {
        endByInterruption(status);
    }
    return status;
}

#include "command_line.h"

#include "failure.h"
#include "output_commit.h"
#include "parameter_fields.h"
#include "radiometry.h"
#include "version.h"

#include <string_view>

namespace talvex {

namespace {

constexpr std::string_view HELP_OPTION = "--help";
constexpr std::string_view VERSION_OPTION = "--version";

CommandLine usageError(const std::string& problem)
{
    return CommandLine{CommandAction::usageError, std::string(PROCESSOR_PROGRAM) + ": " + problem
                                                      + "\nTry '" + PROCESSOR_PROGRAM
                                                      + " --help' for more information.\n"};
}

} // namespace

CommandLine parseCommandLine(std::span<const char* const> arguments)
{
    if (arguments.empty()) {
        return {};
    }
    const std::string_view first = arguments.front();
    if (arguments.size() == 1 && first == HELP_OPTION) {
        return CommandLine{CommandAction::help, {}};
    }
    if (arguments.size() == 1 && first == VERSION_OPTION) {
        return CommandLine{CommandAction::version, {}};
    }
    for (const char* argument : arguments) {
        const std::string_view text = argument;
        if (text != HELP_OPTION && text != VERSION_OPTION) {
            return usageError(text.starts_with('-')
                                  ? "unrecognized option '" + std::string(text) + "'"
                                  : "unexpected argument '" + std::string(text)
                                        + "': the run parameters come on standard input");
        }
    }
    return usageError("--help and --version go alone");
}

std::string helpText()
{
    const std::string program = PROCESSOR_PROGRAM;
    std::string text = "Usage: " + program
                       + " < RUN-PARAMETERS\n"
                         "  or:  "
                       + program
                       + " --help | --version\n"
                         "Converts a raw four-band DN image (bands "
                       + std::to_string(FIRST_BAND) + " to " + std::to_string(LAST_BAND)
                       + "; 16-bit unsigned little-endian,\nheaderless, band-sequential) "
                         "into top-of-atmosphere reflectance and, with\ncorrection option 1, "
                         "surface reflectance.\n\n"
                         "The run parameters come on standard input: line 1 the path of the DN "
                         "image,\nline 2 the output base name (its folders must exist), then "
                         "these numbers in\nthis order, one line each except the pairs "
                         "(lineCount and sampleCount on line 3;\nlmin and lmax of each band on "
                         "lines 4 to 7). Text after the numbers of a line\nis ignored.\n";
    text += parameterFieldList(2);
    text += "DNs from 1 to " + std::to_string(radianceFullScale())
            + " are calibrated; DN 0 marks a pixel without data (0.0 in both\noutputs).\n\n"
              "Outputs: BASE"
            + TOA_SUFFIX + " and, with option 1,\nBASE" + SURFACE_SUFFIX
            + ":\nfloat32 images, each with an ENVI header (" + HEADER_SUFFIX
            + ") beside it.\n\n"
              "Exit status: "
            + std::to_string(STATUS_COMPLETE) + " complete, "
            + std::to_string(STATUS_INVALID_OPTION) + " invalid correction option, "
            + std::to_string(STATUS_BAD_PARAMETERS) + " bad run parameters\nor command line, "
            + std::to_string(STATUS_INPUT_FAILURE) + " DN image failure, "
            + std::to_string(STATUS_OUTPUT_FAILURE) + " output failure,\n"
            + std::to_string(INTERRUPTED_STATUS_BASE)
            + " + N stopped by signal N.\n"
              "Full documentation: man "
            + program + "\n";
    return text;
}

std::string versionText()
{
    return std::string(PROCESSOR_PROGRAM) + " (TALVEX) " + PROJECT_VERSION + "\n";
}

} // namespace talvex

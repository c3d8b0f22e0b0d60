#include "geo_messages.h"

namespace talvex::geo {

std::string quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

Failure usageFailure(const std::string& detail)
{
    return makeFailure(FailureKind::parameters, "command line",
                       detail + "\nTry 'talvex-geo --help' for the usage.\n");
}

Failure cancelled()
{
    return makeFailure(FailureKind::interrupted, "cancelled",
                       "The run was cancelled; its unfinished outputs were removed.\n");
}

Failure cannotOpenParameterFile(const std::string& path, const std::string& reason)
{
    return makeFailure(FailureKind::parameters, path,
                       "Can Not Open the Parameter File " + quoted(path) + ": " + reason + "\n");
}

Failure inParameterFile(const std::string& path, const Failure& failure)
{
    return Failure{failure.kind, failure.subject,
                   "The Parameter File " + quoted(path) + ": " + failure.message, failure.status};
}

Failure cannotOpenInput(const std::string& path, const std::string& reason)
{
    return makeFailure(FailureKind::input, path,
                       "Can Not Open the Input File " + quoted(path) + ": " + reason + "\n");
}

Failure wrongBandCount(const std::string& path, int bands, int inputFiles)
{
    const std::string needed = inputFiles == 1
                                   ? "a single input must hold the four bands 2, 3, 4, 5"
                                   : "each of four inputs must hold one band";
    return makeFailure(FailureKind::input, path,
                       "The Input File " + quoted(path) + " has " + std::to_string(bands)
                           + (bands == 1 ? " band" : " bands") + "; " + needed + ".\n");
}

Failure wrongPixelType(const std::string& path, int band, const std::string& typeName)
{
    return makeFailure(FailureKind::input, path,
                       "The Input File " + quoted(path) + ", band " + std::to_string(band)
                           + ", holds " + typeName
                           + " pixels; DNs must be unsigned integers of at most 16 bits (Byte or "
                             "UInt16).\n");
}

Failure gridMismatch(const std::string& path, const std::string& reference, const std::string& what,
                     const std::string& found, const std::string& expected)
{
    return makeFailure(FailureKind::input, path,
                       "The Input File " + quoted(path) + " is not on the grid of "
                           + quoted(reference) + ": its " + what + " is " + found + ", where "
                           + quoted(reference) + " has " + expected + ".\n");
}

Failure sizeMismatch(const std::string& input, int samples, int lines,
                     const std::string& parameterFile, int parameterLines, int parameterSamples)
{
    return makeFailure(FailureKind::parameters, parameterFile,
                       "The Input File " + quoted(input) + " is " + std::to_string(lines)
                           + " lines of " + std::to_string(samples)
                           + " samples, but the Parameter File " + quoted(parameterFile) + " gives "
                           + std::to_string(parameterLines) + " lines of "
                           + std::to_string(parameterSamples)
                           + " samples: is it the parameter file of another scene?\n");
}

} // namespace talvex::geo

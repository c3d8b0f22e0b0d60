// Every failure that talvex-geo finds itself is built here; those of the
// parameter reader and of reading and writing files come from the processor
// library.
#pragma once

#include "failure.h"
#include "raster_io.h"

#include <string>

namespace talvex::geo {

// The path in the form every message quotes it.
std::string quoted(const std::string& path);

// A command line that cannot be run.
Failure usageFailure(const std::string& detail);

// The caller's progress function asked the run to stop.
Failure cancelled();

// The parameter file cannot be read, or a failure of its reader, told with the file's name.
Failure cannotOpenParameterFile(const std::string& path, const std::string& reason);
Failure inParameterFile(const std::string& path, const Failure& failure);

// The input rasters.
Failure cannotOpenInput(const std::string& path, const std::string& reason);
Failure wrongBandCount(const std::string& path, int bands, int inputFiles);
Failure wrongPixelType(const std::string& path, int band, const std::string& typeName);
Failure gridMismatch(const std::string& path, const std::string& reference, const std::string& what,
                     const std::string& found, const std::string& expected);
Failure sizeMismatch(const std::string& input, int samples, int lines,
                     const std::string& parameterFile, int parameterLines, int parameterSamples);

} // namespace talvex::geo

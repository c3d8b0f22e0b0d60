// talvex-geo as a library: one call runs a whole conversion of a
// georeferenced DN scene into reflectance rasters, in the manner of GDAL's
// GDALTranslate() beside its thin gdal_translate program. Every failure is
// thrown as the one Failure type of the processor library.
#pragma once

#include "failure.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace talvex::geo {

enum class OutputFormat {
    gtiff, // tiled GeoTIFF
    cog,   // Cloud Optimized GeoTIFF, with overviews
    envi,  // ENVI raw image with a header that carries the map information
};

// GDAL's resampling of per-pixel maps onto the scene's grid unless told another.
inline constexpr const char* DEFAULT_MAP_RESAMPLING = "bilinear";

// Told how far the whole run is, from 0 to 1; returning false cancels it.
using ProgressFunction = std::function<bool(double complete)>;
// Told each warning (a value in an unlikely unit, GDAL's own warnings).
using WarningFunction = std::function<void(const std::string& warning)>;

struct GeoOptions {
    OutputFormat format = OutputFormat::gtiff;
    std::vector<std::string> creationOptions; // NAME=VALUE, handed to the driver
    std::string parameterFile;                // the stream from its line 3 on
    std::vector<std::string> inputs;          // one four-band raster, or four one-band rasters
    std::string outputBase;
    std::string elevationMap; // per-pixel elevation raster (metres), or empty
    std::string aerosolMap;   // per-pixel aerosol optical depth raster, or empty
    std::string mapResampling = DEFAULT_MAP_RESAMPLING; // GDAL's name, as gdalwarp -r takes it
    ProgressFunction progress;                          // none: no progress
    WarningFunction warning;                            // none: warnings are dropped
    // Stop signals (INT, TERM, HUP) end the run cleanly. A program sets this;
    // a library caller that has signal handlers of its own (Python) does not,
    // and cancels through `progress` instead.
    bool catchStopSignals = false;
};

struct GeoResult {
    // STATUS_COMPLETE, or STATUS_INVALID_OPTION when the parameter file's
    // correction option is neither 0 nor 1 and only the TOA output was written.
    int status = STATUS_COMPLETE;
    std::vector<std::string> outputs; // the final names of the images written
    std::string notice;               // why the status is not STATUS_COMPLETE, one line
};

// Runs one conversion: reads the parameter file and the inputs, writes the
// TOA output and, with correction, the surface output, and commits both
// together. GDAL's drivers must be registered (GDALAllRegister). Throws a
// Failure naming what is wrong; nothing is then left under a final name that
// the run made, and earlier outputs stay whole.
GeoResult correctFiles(const GeoOptions& options);

// The GDAL driver of a format, and the format of a driver's name (in any
// case), if it is one of them.
const char* driverName(OutputFormat format);
std::optional<OutputFormat> formatNamed(const std::string& driver);

} // namespace talvex::geo

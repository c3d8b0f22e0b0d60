// The command line of talvex-geo, in the manner of GDAL's own programs.
#pragma once

#include <string>
#include <vector>

namespace talvex::geo {

enum class OutputFormat {
    gtiff,  // tiled GeoTIFF
    cog,    // Cloud Optimized GeoTIFF, with overviews
    envi,   // ENVI raw image with a header that carries the map information
};

struct GeoOptions {
    OutputFormat format = OutputFormat::gtiff;
    std::vector<std::string> creationOptions;  // NAME=VALUE, handed to the driver
    bool quiet = false;                        // no progress
    std::string parameterFile;                 // the stream from its line 3 on
    std::vector<std::string> inputs;           // one four-band raster, or four one-band rasters
    std::string outputBase;
    std::string elevationMap;          // per-pixel elevation raster (metres), or empty
    std::string aerosolMap;            // per-pixel aerosol optical depth raster, or empty
    std::string mapResampling = "bilinear";  // GDAL's resampling of the maps onto the scene's grid
};

// Reads the arguments after the program name (--help and --version already
// answered, GDAL's general options such as --config already taken out).
// Throws a parameters Failure on a line that cannot be run.
GeoOptions parseCommandLine(const std::vector<std::string>& arguments);

// The GDAL driver of a format.
const char* driverName(OutputFormat format);

std::string usageText();
std::string versionText();

} // namespace talvex::geo

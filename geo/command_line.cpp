#include "command_line.h"

#include "geo_messages.h"
#include "parameter_fields.h"
#include "pixel_terms.h"

#include <gdal.h>

#include <cstddef>

namespace talvex::geo {

namespace {

// Positional arguments with one input raster, and with four.
constexpr std::size_t ARGUMENTS_WITH_STACK = 3;
constexpr std::size_t ARGUMENTS_WITH_BAND_FILES = 6;

OutputFormat formatOption(const std::string& name)
{
    if (const auto format = formatNamed(name)) {
        return *format;
    }
    throw usageFailure("-of " + name + ": the output format must be GTiff, COG or ENVI.");
}

// The value that follows an option.
const std::string& valueOf(const std::vector<std::string>& arguments, std::size_t& i)
{
    if (i + 1 >= arguments.size()) {
        throw usageFailure(arguments[i] + " needs a value.");
    }
    return arguments[++i];
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    GeoOptions& options = line.options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            positional.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-of") {
            options.format = formatOption(valueOf(arguments, i));
        } else if (a == "-co") {
            const std::string& option = valueOf(arguments, i);
            if (option.find('=') == std::string::npos || option.front() == '=') {
                throw usageFailure("-co " + option + ": a creation option is NAME=VALUE.");
            }
            options.creationOptions.push_back(option);
        } else if (a == "-elevation") {
            options.elevationMap = valueOf(arguments, i);
        } else if (a == "-aod") {
            options.aerosolMap = valueOf(arguments, i);
        } else if (a == "-r") {
            options.mapResampling = valueOf(arguments, i);
        } else if (a == "-q" || a == "-quiet") {
            line.quiet = true;
        } else if (a == "-progress") {
            line.progress = true;
        } else {
            throw usageFailure("unknown option " + a + ".");
        }
    }
    if (positional.size() != ARGUMENTS_WITH_STACK
        && positional.size() != ARGUMENTS_WITH_BAND_FILES) {
        throw usageFailure(
            "expected PARAMETER_FILE, one or four INPUT rasters and OUTPUT_BASE; found "
            + std::to_string(positional.size()) + " arguments.");
    }
    options.parameterFile = positional.front();
    options.inputs.assign(positional.begin() + 1, positional.end() - 1);
    options.outputBase = positional.back();
    return line;
}

std::string usageText()
{
    return "Usage: talvex-geo [--help] [--version] [-of GTiff|COG|ENVI] [-co NAME=VALUE]...\n"
           "                  [-q] [-progress] [-elevation FILE] [-aod FILE] [-r RESAMPLING]\n"
           "                  PARAMETER_FILE INPUT... OUTPUT_BASE\n"
           "\n"
           "Top-of-atmosphere and, when the parameter file asks for correction, surface\n"
           "reflectance of a georeferenced four-band DN scene, with TALVEX-V1's numbers.\n"
           "\n"
           "  PARAMETER_FILE  the launcher's parameter file: lineCount and sampleCount on\n"
           "                  its first line, lmin and lmax of bands 2, 3, 4, 5 on the next\n"
           "                  four, then one value a line, each in its unit:\n"
           + talvex::parameterFieldList(18)
           + "  INPUT...        one raster of four bands (2, 3, 4, 5 in that order, whatever\n"
             "                  their colour interpretation; a fifth band marked alpha is\n"
             "                  honoured) or four one-band rasters in that order (each may\n"
             "                  have an alpha band), in any format GDAL reads; unsigned\n"
             "                  integer DNs of up to 16 bits, 4095 the top of the scale.\n"
             "  OUTPUT_BASE     the outputs are OUTPUT_BASE-TOA-Ref-bands-2345.tif and\n"
             "                  OUTPUT_BASE-Atm-Corr-Ref-bands-2345.tif (ENVI: no .tif, a\n"
             "                  .hdr beside each), committed together once both are whole.\n"
             "\n"
             "  -of FORMAT      GTiff (tiled; the default), COG (with overviews) or ENVI.\n"
             "  -co NAME=VALUE  a creation option for the driver, as in gdal_translate;\n"
             "                  may be given several times.\n"
             "  -q              no progress on standard error.\n"
             "  -progress       GDAL's progress line (0...10...100 - done.) on standard\n"
             "                  error even when it is not a terminal.\n"
             "  -elevation FILE a raster of surface elevation in metres, and\n"
             "  -aod FILE       a raster of aerosol optical depth, per pixel, instead of the\n"
             "                  parameter file's values (correction option 1). Any CRS,\n"
             "                  resolution and extent that covers the scene; one band. Values\n"
             "                  are warped onto the scene's grid, then quantised to steps of\n"
             "                  "
           + mapQuantisationText(MapQuantity::elevation) + " and of "
           + mapQuantisationText(MapQuantity::aerosolOpticalDepth)
           + "; a map pixel without data\n"
             "                  masks the output.\n"
             "  -r RESAMPLING   GDAL's resampling of the maps ("
           + DEFAULT_MAP_RESAMPLING
           + " by default; near,\n"
             "                  cubic, average, ... as in gdalwarp).\n"
             "  --help          this text.   --version  the versions of talvex-geo and GDAL.\n"
             "  GDAL's general options (--config KEY VALUE, --debug on, --formats, ...)\n"
             "  also apply.\n"
             "\n"
             "Outputs are Float32 reflectances (no unit), with the input's CRS and\n"
             "geotransform (or GCPs), a band description per band, the run's parameters\n"
             "and their units as metadata and a mask that marks every pixel whose DN is 0\n"
             "or that the input marks as no data (no-data value, mask, alpha) in any band.\n"
             "Values in an unlikely unit (ozone in Dobson units, water vapour in mm, DNs\n"
             "above 4095) are warned about on standard error, not refused.\n"
             "\n"
             "Exit status: 0 complete; 1 option neither 0 nor 1 (TOA output complete);\n"
             "2 arguments or parameters; 3 input; 4 output; 128 + N stopped by signal N.\n";
}

std::string versionText()
{
    return std::string("talvex-geo ") + TALVEX_VERSION + " (GDAL " + GDALVersionInfo("RELEASE_NAME")
           + ")\n";
}

} // namespace talvex::geo

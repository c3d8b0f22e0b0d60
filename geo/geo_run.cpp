#include "geo_run.h"

#include "command_line.h"
#include "failure.h"
#include "geo_messages.h"
#include "geo_outputs.h"
#include "interruption.h"
#include "parameter_maps.h"
#include "reflectance_dataset.h"
#include "run_parameters.h"
#include "scene.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <tuple>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <unistd.h>

namespace talvex::geo {

namespace {

// Settings of GDAL that keep memory the same for any scene size, unless the
// user gives them (--config or the environment): the overviews of a COG
// computed in small pieces and kept uncompressed until they are copied in (a
// compressed scratch file costs more memory than it saves), and the mask
// inside the GeoTIFF itself.
struct GdalDefault {
    const char* key;
    const char* value;
};
constexpr GdalDefault GDAL_DEFAULTS[] = {
    {"GDAL_OVR_CHUNK_MAX_SIZE", "4000000"},  // bytes
    {"COG_TMP_COMPRESSION", "NONE"},
    {"GDAL_TIFF_INTERNAL_MASK", "YES"},
};

// GDAL's block cache, unless the user sets GDAL_CACHEMAX: at least this...
constexpr GIntBig MIN_CACHE_BYTES = GIntBig{32} << 20;
// ... at most this ...
constexpr GIntBig MAX_CACHE_BYTES = GIntBig{96} << 20;
// ... and for a tiled GeoTIFF enough for one row of its 256-line tiles and of
// the input's blocks (4 Float32 and 4 UInt16 values a pixel) with a tenth to
// spare, so that no tile leaves the cache before it is whole.
constexpr GIntBig TILE_LINES = 256;
constexpr GIntBig CACHED_BYTES_PER_PIXEL = 4 * 4 + 4 * 2;

GIntBig cacheBytes(OutputFormat format, int samples)
{
    if (format != OutputFormat::gtiff) {
        return MIN_CACHE_BYTES;
    }
    const GIntBig tileRow = GIntBig{samples} * TILE_LINES * CACHED_BYTES_PER_PIXEL;
    return std::clamp(tileRow + tileRow / 10, MIN_CACHE_BYTES, MAX_CACHE_BYTES);
}

constexpr const char* INVALID_OPTION = "Invalid Option";

RunParameters readParameters(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw cannotOpenParameterFile(path, std::strerror(EISDIR));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw cannotOpenParameterFile(path, std::strerror(errno));
    }
    try {
        RunParameters parameters = readParameterFile(in);
        checkPhysicalRange(parameters);
        return parameters;
    } catch (const Failure& failure) {
        throw inParameterFile(path, failure);
    }
}

// The outputs reserved so far, removed unless committed.
struct GeoRunFiles {
    OutputFile toa;
    OutputFile surface;
};

void writeReflectance(Reflectance reflectance, const Scene& scene, const RunParameters& p,
                      const GeoOptions& options, const std::vector<std::string>& driverOptions,
                      OutputFile& output, GdalMessages& messages, MapSlots* maps = nullptr)
{
    const auto source = std::make_unique<ReflectanceDataset>(scene, reflectance, p, TALVEX_VERSION, maps);
    CopyProgress progress;
    progress.show = !options.quiet && ::isatty(STDERR_FILENO) == 1;
    progress.label = reflectance == Reflectance::topOfAtmosphere ? "TOA reflectance" : "Surface reflectance";
    copyIntoOutput(output, *source, options.format, driverOptions, messages, progress);
    commitGeoOutput(output);
}

int runGeo(const GeoOptions& options, GeoRunFiles& files, GdalMessages& messages)
{
    const RunParameters p = readParameters(options.parameterFile);
    const std::vector<std::string> driverOptions = creationOptions(options.format, options.creationOptions);
    const Scene scene = openScene(options.inputs);
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr) {
        GDALSetCacheMax64(cacheBytes(options.format, scene.samples));
    }
    if (p.lineCount != scene.lines || p.sampleCount != scene.samples) {
        throw sizeMismatch(options.inputs.front(), scene.samples, scene.lines, options.parameterFile,
                           p.lineCount, p.sampleCount);
    }
    const bool correcting = p.correctionOption == CORRECTION_ON;
    const std::string toaName = outputName(options.outputBase, Reflectance::topOfAtmosphere, options.format);
    const std::string surfaceName = outputName(options.outputBase, Reflectance::surface, options.format);

    // Every name is checked, every map opened and every output reserved
    // before the first pixel is read.
    checkOutputNames(toaName, scene);
    if (correcting) {
        checkOutputNames(surfaceName, scene);
    }
    std::vector<ParameterMap> maps;
    for (const auto& [quantity, path, option] :
         {std::tuple{MapQuantity::elevation, options.elevationMap, "-elevation"},
          std::tuple{MapQuantity::aerosolOpticalDepth, options.aerosolMap, "-aod"}}) {
        if (path.empty()) {
            continue;
        }
        if (!correcting) {
            throw usageFailure(std::string(option) + " " + path + ": maps are for the surface reflectance, and the "
                               "Parameter File " + quoted(options.parameterFile) + " does not ask for it.");
        }
        maps.push_back(openParameterMap(quantity, path, scene, options.mapResampling));
    }
    std::optional<MapSlots> mapSlots;
    if (!maps.empty()) {
        mapSlots.emplace(std::move(maps), p);
    }
    removeStaleTemporaries(toaName);
    catchInterruptions();
    files.toa = createOutput(toaName);
    if (correcting) {
        files.surface = createOutput(surfaceName);
    }

    writeReflectance(Reflectance::topOfAtmosphere, scene, p, options, driverOptions, files.toa, messages);
    if (p.correctionOption == CORRECTION_OFF) {
        return STATUS_COMPLETE;
    }
    if (!correcting) {
        std::cerr << "talvex-geo: " << INVALID_OPTION << ": the Parameter File " << quoted(options.parameterFile)
                  << " gives the correction option " << p.correctionOption
                  << " (0 or 1); only the TOA reflectance was written.\n";
        return STATUS_INVALID_OPTION;
    }
    writeReflectance(Reflectance::surface, scene, p, options, driverOptions, files.surface, messages,
                     mapSlots ? &*mapSlots : nullptr);
    return STATUS_COMPLETE;
}

// --help and --version are answered before GDAL's general options are taken.
bool answeredAtOnce(const std::vector<std::string>& arguments, int& status)
{
    for (const std::string& a : arguments) {
        if (a == "--") {
            break;
        }
        if (a == "--help" || a == "-h") {
            std::cout << usageText();
            status = STATUS_COMPLETE;
            return true;
        }
        if (a == "--version") {
            std::cout << versionText();
            status = STATUS_COMPLETE;
            return true;
        }
    }
    return false;
}

} // namespace

int runTalvexGeo(int argc, char** argv)
{
    int status = STATUS_COMPLETE;
    if (answeredAtOnce(std::vector<std::string>(argv + 1, argv + argc), status)) {
        return status;
    }
    GDALAllRegister();
    char** arguments = argv;
    const int count = GDALGeneralCmdLineProcessor(argc, &arguments, 0);
    if (count < 1) {
        CSLDestroy(arguments);
        return count == 0 ? STATUS_COMPLETE : STATUS_BAD_PARAMETERS;  // --formats and the like, or their error
    }
    const std::vector<std::string> rest(arguments + 1, arguments + count);
    CSLDestroy(arguments);
    for (const GdalDefault& setting : GDAL_DEFAULTS) {
        if (CPLGetConfigOption(setting.key, nullptr) == nullptr) {
            CPLSetConfigOption(setting.key, setting.value);
        }
    }

    GdalMessages messages;
    const GdalMessageScope scope(messages);
    GeoRunFiles files;
    try {
        status = runGeo(parseCommandLine(rest), files, messages);
    } catch (const Failure& failure) {
        discardGeoOutput(files.toa);
        discardGeoOutput(files.surface);
        std::cerr << "talvex-geo: " << failure.message << std::flush;
        return failure.status;
    }
    discardGeoOutput(files.toa);
    discardGeoOutput(files.surface);
    return status;
}

} // namespace talvex::geo

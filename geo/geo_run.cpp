#include "talvex_geo.h"

#include "band_tables.h"
#include "geo_messages.h"
#include "geo_outputs.h"
#include "interruption.h"
#include "parameter_maps.h"
#include "plausibility.h"
#include "reflectance_dataset.h"
#include "run_parameters.h"
#include "scene.h"
#include "staged_scene.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

#include <cpl_conv.h>
#include <malloc.h>

namespace talvex::geo {

namespace {

// Settings of GDAL that keep memory the same for any scene size, unless the
// user gives them (--config or the environment): the overviews of a COG
// computed in small pieces and kept uncompressed until they are copied in (a
// compressed scratch file costs more memory than it saves), the mask inside
// the GeoTIFF itself, and raw images read without the block cache.
struct GdalDefault {
    const char* key;
    const char* value;
};
constexpr GdalDefault GDAL_DEFAULTS[] = {
    {"GDAL_OVR_CHUNK_MAX_SIZE", "4000000"}, // bytes
    {"COG_TMP_COMPRESSION", "NONE"},
    {"GDAL_TIFF_INTERNAL_MASK", "YES"},
    // A raw image (the working copy of a staged input, an ENVI input) read
    // straight into the request, not line by line through the block cache.
    {"GDAL_ONE_BIG_READ", "YES"},
};

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

// GDAL's settings for one conversion, given back as they were when it ends,
// so that a library caller's own settings outlive it.
class GdalSettings {
public:
    GdalSettings(OutputFormat format, const Scene& scene, const std::vector<std::string>& options)
        : cacheBytes_(GDALGetCacheMax64())
    {
        for (const GdalDefault& setting : GDAL_DEFAULTS) {
            if (CPLGetConfigOption(setting.key, nullptr) == nullptr) {
                CPLSetThreadLocalConfigOption(setting.key, setting.value);
                set_.push_back(setting.key);
            }
        }
        setCache(blockCacheBytes(format, scene, options));
    }
    // Unless the user sets GDAL_CACHEMAX.
    void setCache(GIntBig bytes)
    {
        if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr) {
            GDALSetCacheMax64(bytes);
        }
    }
    ~GdalSettings()
    {
        for (const char* key : set_) {
            CPLSetThreadLocalConfigOption(key, nullptr);
        }
        GDALSetCacheMax64(cacheBytes_);
    }
    GdalSettings(const GdalSettings&) = delete;
    GdalSettings& operator=(const GdalSettings&) = delete;

private:
    GIntBig cacheBytes_;
    std::vector<const char*> set_;
};

// A name beside the outputs for the working copy of a staged input.
constexpr const char* STAGING_SUFFIX = "-DN-working-copy";

// The outputs reserved so far, removed unless committed, and the working
// copy of the input, always removed (closed first, so that no header is
// written after it is gone).
struct ReservedOutputs {
    Scene& scene;
    OutputFile toa;
    OutputFile surface;
    OutputFile staging;
    ~ReservedOutputs()
    {
        scene.staged.reset();
        discardGeoOutput(staging);
        discardGeoOutput(toa);
        discardGeoOutput(surface);
    }
};

void warn(const GeoOptions& options, const std::string& warning)
{
    if (options.warning && !warning.empty()) {
        options.warning(warning);
    }
}

// Writes one output; returns, per band, how many DNs lie above full scale.
std::array<std::uint64_t, BAND_COUNT>
writeReflectance(Reflectance reflectance, const Scene& scene, const RunParameters& p,
                 const GeoOptions& options, const std::vector<std::string>& driverOptions,
                 OutputFile& output, GdalMessages& messages, CopyProgress& progress,
                 MapSlots* maps = nullptr)
{
    const auto source =
        std::make_unique<ReflectanceDataset>(scene, reflectance, p, TALVEX_VERSION, maps);
    copyIntoOutput(output, *source, options.format, driverOptions, messages, progress);
    return source->dnAboveFullScale();
}

// Told once the run is over, so that they never cut a progress line.
void warnOfDnAboveFullScale(const GeoOptions& options,
                            const std::array<std::uint64_t, BAND_COUNT>& counts)
{
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        warn(options, dnAboveFullScaleWarning(counts[bandIndex(band)], band));
    }
}

} // namespace

GeoResult correctFiles(const GeoOptions& options)
{
    GdalMessages messages(options.warning);
    const GdalMessageScope scope(messages);

    const RunParameters p = readParameters(options.parameterFile);
    for (const std::string& warning : unitWarnings(p)) {
        warn(options, warning);
    }
    Scene scene = openScene(options.inputs);
    if (p.lineCount != scene.lines || p.sampleCount != scene.samples) {
        throw sizeMismatch(options.inputs.front(), scene.samples, scene.lines,
                           options.parameterFile, p.lineCount, p.sampleCount);
    }
    const std::vector<std::string> driverOptions =
        creationOptions(options.format, options.creationOptions, scene);
    GdalSettings settings(options.format, scene, driverOptions);
    const bool correcting = p.correctionOption == CORRECTION_ON;
    const std::string toaName =
        outputName(options.outputBase, Reflectance::topOfAtmosphere, options.format);
    const std::string surfaceName =
        outputName(options.outputBase, Reflectance::surface, options.format);

    // Every name is checked, every map opened and every output reserved
    // before the first pixel is read.
    checkOutputFolder(toaName);
    checkOutputNames(toaName, scene);
    checkOutputNames(surfaceName, scene);
    std::vector<ParameterMap> maps;
    for (const auto& [quantity, path, option] :
         {std::tuple{MapQuantity::elevation, options.elevationMap, "-elevation"},
          std::tuple{MapQuantity::aerosolOpticalDepth, options.aerosolMap, "-aod"}}) {
        if (path.empty()) {
            continue;
        }
        if (!correcting) {
            throw usageFailure(std::string(option) + " " + path
                               + ": maps are for the surface reflectance, and the "
                                 "Parameter File "
                               + quoted(options.parameterFile) + " does not ask for it.");
        }
        maps.push_back(openParameterMap(quantity, path, scene, options.mapResampling));
    }
    std::optional<MapSlots> mapSlots;
    if (!maps.empty()) {
        mapSlots.emplace(std::move(maps), p);
    }
    removeStaleTemporaries(toaName);
    if (options.catchStopSignals) {
        catchInterruptions();
    }
    ReservedOutputs reserved{scene, {}, {}, {}};
    reserved.toa = createOutput(toaName);
    if (correcting) {
        reserved.surface = createOutput(surfaceName);
    }

    const bool staging = needsStaging(scene);
    CopyProgress progress(options.progress, (staging ? 1 : 0) + (correcting ? 2 : 1));
    if (staging) {
        reserved.staging = createOutput(options.outputBase + STAGING_SUFFIX);
        settings.setCache(stagingCacheBytes(scene));
        stageScene(scene, reserved.staging, messages, progress, toaName);
        settings.setCache(blockCacheBytes(options.format, scene, driverOptions));
        // The input's decoded blocks are gone from the cache: their memory
        // goes back to the system before the outputs take theirs.
        ::malloc_trim(0);
        progress.nextStep();
    }
    const auto aboveFullScale = writeReflectance(Reflectance::topOfAtmosphere, scene, p, options,
                                                 driverOptions, reserved.toa, messages, progress);
    GeoResult result;
    result.outputs.push_back(toaName);
    if (correcting) {
        progress.nextStep();
        writeReflectance(Reflectance::surface, scene, p, options, driverOptions, reserved.surface,
                         messages, progress, mapSlots ? &*mapSlots : nullptr);
        result.outputs.push_back(surfaceName);
        // Both at once: the final names never hold outputs of different runs.
        OutputFile* both[] = {&reserved.toa, &reserved.surface};
        commitGeoOutputs(both, {});
        warnOfDnAboveFullScale(options, aboveFullScale);
        return result;
    }
    // A TOA output alone: a surface output of an earlier run under these
    // names would not belong to it, and goes in the same step.
    OutputFile* toaOnly[] = {&reserved.toa};
    commitGeoOutputs(toaOnly, surfaceName);
    warnOfDnAboveFullScale(options, aboveFullScale);
    if (p.correctionOption != CORRECTION_OFF) {
        result.status = STATUS_INVALID_OPTION;
        result.notice = std::string(INVALID_OPTION) + ": the Parameter File "
                        + quoted(options.parameterFile) + " gives the correction option "
                        + std::to_string(p.correctionOption)
                        + " (0 or 1); only the TOA reflectance was written.";
    }
    return result;
}

} // namespace talvex::geo

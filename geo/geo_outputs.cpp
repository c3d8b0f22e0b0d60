#include "geo_outputs.h"

#include "failure.h"
#include "geo_messages.h"
#include "interruption.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string_view>

#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

namespace talvex::geo {

namespace fs = std::filesystem;

namespace {

struct FormatName {
    OutputFormat format;
    const char* driver;
};

constexpr std::array<FormatName, 3> FORMATS = {{
    {OutputFormat::gtiff, "GTiff"},
    {OutputFormat::cog, "COG"},
    {OutputFormat::envi, "ENVI"},
}};

constexpr const char* TIFF_EXTENSION = ".tif";
constexpr const char* ENVI_HEADER = ".hdr";
// Files that GDAL reads together with an image of the same name: its
// auxiliary metadata, an external mask, external overviews, an ENVI header.
// The header comes last, so that an ENVI image is readable only once the
// rest is in place.
constexpr std::array<const char*, 4> COMPANION_SUFFIXES = {".aux.xml", ".msk", ".ovr", ENVI_HEADER};

// Tiles of a GeoTIFF unless the user names them; a scene narrower or shorter
// than one is written in strips, which fit it.
constexpr int TILE_PIXELS = 256;
// A COG's tiles are a multiple of this, at most its driver's default.
constexpr int COG_TILE_STEP = 16;
constexpr int COG_TILE_PIXELS = 512;

// GDAL's block cache, unless the user sets GDAL_CACHEMAX: at least this, at
// most that ...
constexpr GIntBig MIN_CACHE_BYTES = GIntBig{32} << 20;
constexpr GIntBig MAX_CACHE_BYTES = GIntBig{176} << 20;
// ... enough for one row of the output's tiles (4 Float32 values a pixel,
// or one for a band-interleaved GeoTIFF, which is written band by band) and
// one row of the input's blocks, with a tenth to spare, so that no block
// leaves the cache before it is used up (a compressed tile written twice
// would take its place in the file twice).
constexpr GIntBig OUTPUT_BYTES_PER_PIXEL = 4 * 4;
constexpr GIntBig BAND_BYTES_PER_PIXEL = 4;
// A block side beyond any that GDAL writes (the cache's bound applies anyway).
constexpr long MAX_BLOCK_SIDE = 1L << 20;

void CPL_STDCALL collectGdalMessage(CPLErr level, CPLErrorNum, const char* text)
{
    auto& messages = *static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (level == CE_Failure || level == CE_Fatal) {
        const std::lock_guard guard(messages.lock);
        if (messages.failures++ == 0) {
            messages.first = text;
        }
    } else if (level == CE_Warning) {
        const std::lock_guard guard(messages.lock);
        if (messages.warning) {
            messages.warning(text);
        }
    } else if (level == CE_Debug) {
        std::cerr << text << "\n";
    }
}

int CPL_STDCALL reportCopyProgress(double complete, const char*, void* data)
{
    return static_cast<CopyProgress*>(data)->update(complete) ? TRUE : FALSE;
}

std::string reasonOf(GdalMessages& messages, const char* fallback)
{
    const std::string first = messages.firstFailure();
    return first.empty() ? std::string(fallback) : first;
}

bool hasOption(const std::vector<std::string>& options, std::string_view name)
{
    return std::any_of(options.begin(), options.end(), [&](const std::string& option) {
        return option.size() > name.size() && option[name.size()] == '='
               && ::strncasecmp(option.c_str(), name.data(), name.size()) == 0;
    });
}

// The value of an option, empty when it is not given; the first one counts,
// as for GDAL's drivers.
std::string optionValue(const std::vector<std::string>& options, std::string_view name)
{
    for (const std::string& option : options) {
        if (option.size() > name.size() && option[name.size()] == '='
            && ::strncasecmp(option.c_str(), name.data(), name.size()) == 0) {
            return option.substr(name.size() + 1);
        }
    }
    return {};
}

// Every file in the temporary's folder whose name is the temporary's name
// followed by a suffix of the driver's, by suffix.
std::vector<std::string> suffixesBeside(const std::string& temporaryPath)
{
    const fs::path temporary(temporaryPath);
    const fs::path folder = temporary.has_parent_path() ? temporary.parent_path() : fs::path(".");
    const std::string stem = temporary.filename().string() + ".";
    std::vector<std::string> suffixes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > stem.size() && name.compare(0, stem.size(), stem) == 0) {
            suffixes.push_back(name.substr(stem.size() - 1));
        }
    }
    return suffixes;
}

// A written file ready for the commit, open so that its data can be flushed.
OutputFile writtenFile(const std::string& finalPath, const std::string& temporaryPath)
{
    const int fd = ::open(temporaryPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw cannotWriteOutput(finalPath, std::strerror(errno));
    }
    return OutputFile{finalPath, temporaryPath, fd};
}

// Opens a path only to learn which file it is; -1 for GDAL's virtual paths and missing files.
int openToIdentify(const std::string& path)
{
    if (path.rfind("/vsi", 0) == 0) {
        return -1;
    }
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// GDAL's ENVI header names the file it was written as, the temporary: it
// is made to name the image's final name instead.
void nameFinalFileInHeader(const OutputFile& output)
{
    const std::string header = output.temporaryPath + ENVI_HEADER;
    std::ifstream in(header, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        throw cannotWriteOutput(output.finalPath + ENVI_HEADER, "its header cannot be read back");
    }
    in.close();
    const std::string temporaryName = fs::path(output.temporaryPath).filename().string();
    const std::string finalName = fs::path(output.finalPath).filename().string();
    for (std::size_t at = text.find(temporaryName); at != std::string::npos;
         at = text.find(temporaryName, at + finalName.size())) {
        text.replace(at, temporaryName.size(), finalName);
    }
    std::ofstream out(header, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        throw cannotWriteOutput(output.finalPath + ENVI_HEADER, std::strerror(errno));
    }
}

} // namespace

void GdalMessages::clear()
{
    const std::lock_guard guard(lock);
    failures = 0;
    first.clear();
}

int GdalMessages::failureCount()
{
    const std::lock_guard guard(lock);
    return failures;
}

std::string GdalMessages::firstFailure()
{
    const std::lock_guard guard(lock);
    return first;
}

GdalMessageScope::GdalMessageScope(GdalMessages& messages)
{
    previousData_ = nullptr;
    previousHandler_ = CPLSetErrorHandlerEx(collectGdalMessage, &messages);
    CPLPushErrorHandlerEx(collectGdalMessage, &messages);
    CPLSetCurrentErrorHandlerCatchDebug(TRUE);
}

GdalMessageScope::~GdalMessageScope()
{
    CPLPopErrorHandler();
    CPLSetErrorHandler(previousHandler_);
}

bool CopyProgress::update(double stepComplete)
{
    try {
        throwIfInterrupted();
    } catch (const Failure&) {
        interrupted_ = true;
        return false;
    }
    if (report_ && !report_((step_ + std::clamp(stepComplete, 0.0, 1.0)) / steps_)) {
        cancelled_ = true;
        return false;
    }
    return true;
}

const char* driverName(OutputFormat format)
{
    for (const FormatName& f : FORMATS) {
        if (f.format == format) {
            return f.driver;
        }
    }
    return FORMATS.front().driver;
}

std::optional<OutputFormat> formatNamed(const std::string& driver)
{
    for (const FormatName& f : FORMATS) {
        if (::strcasecmp(driver.c_str(), f.driver) == 0) {
            return f.format;
        }
    }
    return std::nullopt;
}

void checkOutputFolder(const std::string& imagePath)
{
    const fs::path folder = fs::path(imagePath).parent_path();
    std::error_code error;
    if (!folder.empty() && imagePath.rfind("/vsi", 0) != 0 && !fs::exists(folder, error)
        && !error) {
        throw cannotWriteOutput(imagePath,
                                "the folder " + quoted(folder.string()) + " does not exist");
    }
}

std::string outputName(const std::string& base, Reflectance reflectance, OutputFormat format)
{
    const std::string image =
        base + (reflectance == Reflectance::topOfAtmosphere ? TOA_SUFFIX : SURFACE_SUFFIX);
    return format == OutputFormat::envi ? image : image + TIFF_EXTENSION;
}

void checkOutputNames(const std::string& imagePath, const Scene& scene)
{
    std::vector<std::string> names = {imagePath};
    for (const char* suffix : COMPANION_SUFFIXES) {
        names.push_back(imagePath + suffix);
    }
    for (const std::string& input : inputFiles(scene)) {
        const int fd = openToIdentify(input);
        try {
            for (const std::string& name : names) {
                checkOutputName(name, fd);
            }
        } catch (...) {
            if (fd >= 0) {
                ::close(fd);
            }
            throw;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::vector<std::string> creationOptions(OutputFormat format, const std::vector<std::string>& given,
                                         const Scene& scene)
{
    const int shortSide = std::min(scene.samples, scene.lines);
    std::vector<std::string> options = given;
    const auto byDefault = [&](std::string_view name, std::string_view value) {
        if (!hasOption(options, name)) {
            options.push_back(std::string(name) + "=" + std::string(value));
        }
    };
    switch (format) {
    case OutputFormat::gtiff:
        if (!hasOption(options, "BLOCKXSIZE") && !hasOption(options, "BLOCKYSIZE")) {
            byDefault("TILED", shortSide < TILE_PIXELS ? "NO" : "YES");
        }
        byDefault("BIGTIFF", "IF_SAFER");
        byDefault("NUM_THREADS", "ALL_CPUS");
        // Each tile queued for compression is held whole by its job, with
        // its compressed bytes: a band's tile is a quarter of a tile of all
        // four bands (16 MiB for 1024-pixel tiles), at the same speed.
        if (const std::string compression = optionValue(options, "COMPRESS");
            !compression.empty() && ::strcasecmp(compression.c_str(), "NONE") != 0) {
            byDefault("INTERLEAVE", "BAND");
        }
        break;
    case OutputFormat::cog:
        if (shortSide < COG_TILE_PIXELS) {
            const int fitting = (shortSide + COG_TILE_STEP - 1) / COG_TILE_STEP * COG_TILE_STEP;
            byDefault("BLOCKSIZE", std::to_string(std::max(fitting, COG_TILE_STEP)));
        }
        byDefault("BIGTIFF", "IF_SAFER");
        byDefault("NUM_THREADS", "ALL_CPUS");
        break;
    case OutputFormat::envi:
        if (hasOption(options, "SUFFIX")) {
            throw usageFailure(
                "-co SUFFIX: talvex-geo names the ENVI header itself (the image's name "
                "and .hdr).");
        }
        options.push_back("SUFFIX=ADD");
        break;
    }
    return options;
}

GIntBig boundedCacheBytes(GIntBig wanted)
{
    return std::clamp(wanted, MIN_CACHE_BYTES, MAX_CACHE_BYTES);
}

GIntBig blockCacheBytes(OutputFormat format, const Scene& scene,
                        const std::vector<std::string>& options)
{
    GIntBig outputTileRow = 0;
    if (format == OutputFormat::gtiff
        && ::strcasecmp(optionValue(options, "INTERLEAVE").c_str(), "BAND") == 0) {
        // Written band by band: one row of one band's tiles at a time, the
        // last tile of the row as wide as the others.
        const auto blockSide = [&](std::string_view name) {
            const std::string given = optionValue(options, name);
            const long side = given.empty() ? TILE_PIXELS : std::strtol(given.c_str(), nullptr, 10);
            return GIntBig{std::clamp<long>(side, 1, MAX_BLOCK_SIDE)};
        };
        const GIntBig width = blockSide("BLOCKXSIZE");
        const GIntBig tilesAcross = (scene.samples + width - 1) / width;
        outputTileRow = tilesAcross * width * blockSide("BLOCKYSIZE") * BAND_BYTES_PER_PIXEL;
    } else if (format != OutputFormat::envi) {
        outputTileRow = GIntBig{scene.samples} * COG_TILE_PIXELS * OUTPUT_BYTES_PER_PIXEL;
    }
    const GIntBig needed = outputTileRow + inputBlockRowBytes(scene);
    return boundedCacheBytes(needed + needed / 10);
}

void copyIntoOutput(OutputFile& output, ReflectanceDataset& source, OutputFormat format,
                    const std::vector<std::string>& options, GdalMessages& messages,
                    CopyProgress& progress)
{
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName(format));
    if (driver == nullptr) {
        throw cannotWriteOutput(output.finalPath,
                                std::string("this GDAL has no ") + driverName(format) + " driver");
    }
    CPLStringList driverOptions;
    for (const std::string& option : options) {
        driverOptions.AddString(option.c_str());
    }
    messages.clear();
    CPLErrorReset();
    GDALDataset* written = driver->CreateCopy(output.temporaryPath.c_str(), &source, FALSE,
                                              driverOptions.List(), reportCopyProgress, &progress);
    if (written != nullptr) {
        GDALClose(written); // the last blocks and the header are written here
    }
    if (progress.interrupted()) {
        throwIfInterrupted();
    }
    if (progress.cancelled()) {
        throw cancelled();
    }
    if (source.readFailure()) {
        throw *source.readFailure();
    }
    if (written == nullptr || messages.failureCount() > 0) {
        throw cannotWriteOutput(output.finalPath,
                                reasonOf(messages, "the driver could not write it"));
    }
    if (format == OutputFormat::envi) {
        nameFinalFileInHeader(output);
    }
}

void commitGeoOutputs(std::span<OutputFile* const> outputs, const std::string& obsoleteImage)
{
    std::vector<std::vector<OutputFile>> sets;
    std::vector<std::string> obsolete;
    try {
        for (OutputFile* output : outputs) {
            // The driver wrote and closed the files itself: each is opened
            // afresh so that its data is on disk before any rename.
            if (output->fd >= 0) {
                ::close(output->fd); // the reservation; the image stays at its temporary name
                output->fd = -1;
            }
            const std::string& temporary = output->temporaryPath;
            const std::vector<std::string> found = suffixesBeside(temporary);
            std::vector<OutputFile>& files = sets.emplace_back();
            files.push_back(writtenFile(output->finalPath, temporary));
            for (const char* suffix : COMPANION_SUFFIXES) {
                if (std::find(found.begin(), found.end(), suffix) != found.end()) {
                    files.push_back(writtenFile(output->finalPath + suffix, temporary + suffix));
                } else {
                    obsolete.push_back(output->finalPath + suffix);
                }
            }
            // Anything else the driver left beside it (its own scratch files) goes.
            for (const std::string& suffix : found) {
                if (std::find_if(COMPANION_SUFFIXES.begin(), COMPANION_SUFFIXES.end(),
                                 [&](const char* s) { return suffix == s; })
                    == COMPANION_SUFFIXES.end()) {
                    ::unlink((temporary + suffix).c_str());
                }
            }
        }
        if (!obsoleteImage.empty()) {
            obsolete.push_back(obsoleteImage);
            for (const char* suffix : COMPANION_SUFFIXES) {
                obsolete.push_back(obsoleteImage + suffix);
            }
        }
        std::vector<std::span<OutputFile>> spans(sets.begin(), sets.end());
        commitOutputSets(spans, obsolete);
    } catch (...) {
        for (std::vector<OutputFile>& files : sets) {
            for (OutputFile& file : files) {
                discardOutput(file);
            }
        }
        throw;
    }
    for (OutputFile* output : outputs) {
        output->temporaryPath.clear();
    }
}

void discardGeoOutput(OutputFile& output)
{
    const std::string temporary = output.temporaryPath;
    discardOutput(output);
    if (temporary.empty()) {
        return;
    }
    for (const std::string& suffix : suffixesBeside(temporary)) {
        ::unlink((temporary + suffix).c_str());
    }
}

} // namespace talvex::geo

#include "geo_outputs.h"

#include "failure.h"
#include "geo_messages.h"
#include "interruption.h"

#include <algorithm>
#include <array>
#include <cerrno>
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

constexpr const char* TIFF_EXTENSION = ".tif";
constexpr const char* ENVI_HEADER = ".hdr";
// Files that GDAL reads together with an image of the same name: its
// auxiliary metadata, an external mask, external overviews, an ENVI header.
// The header comes last, so that an ENVI image is readable only once the
// rest is in place.
constexpr std::array<const char*, 4> COMPANION_SUFFIXES = {".aux.xml", ".msk", ".ovr", ENVI_HEADER};

// Steps of GDAL's progress line: a dot every 2.5 %, the figure every 10 %.
constexpr int PROGRESS_TICKS = 40;
constexpr int TICKS_PER_FIGURE = 4;
constexpr int PERCENT_PER_FIGURE = 10;

void CPL_STDCALL collectGdalMessage(CPLErr level, CPLErrorNum, const char* text)
{
    auto& messages = *static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (level == CE_Failure || level == CE_Fatal) {
        if (messages.failures++ == 0) {
            messages.firstFailure = text;
        }
    } else if (level == CE_Warning) {
        std::cerr << "Warning: " << text << "\n";
    }
}

int CPL_STDCALL showCopyProgress(double complete, const char*, void* data)
{
    auto& progress = *static_cast<CopyProgress*>(data);
    try {
        throwIfInterrupted();
    } catch (const Failure&) {
        progress.interrupted = true;
        return FALSE;
    }
    if (!progress.show) {
        return TRUE;
    }
    const int ticks = std::clamp(static_cast<int>(complete * PROGRESS_TICKS), 0, PROGRESS_TICKS);
    if (progress.ticksShown == 0) {
        std::cerr << progress.label << ": 0";
        progress.ticksShown = 1;
    }
    for (; progress.ticksShown <= ticks; ++progress.ticksShown) {
        if (progress.ticksShown % TICKS_PER_FIGURE == 0) {
            std::cerr << progress.ticksShown / TICKS_PER_FIGURE * PERCENT_PER_FIGURE;
        } else {
            std::cerr << ".";
        }
    }
    if (ticks == PROGRESS_TICKS) {
        std::cerr << " - done.\n";
        progress.show = false;
    }
    std::cerr << std::flush;
    return TRUE;
}

std::string reasonOf(const GdalMessages& messages, const char* fallback)
{
    return messages.firstFailure.empty() ? std::string(fallback) : messages.firstFailure;
}

bool hasOption(const std::vector<std::string>& options, std::string_view name)
{
    return std::any_of(options.begin(), options.end(), [&](const std::string& option) {
        return option.size() > name.size() && option[name.size()] == '='
               && ::strncasecmp(option.c_str(), name.data(), name.size()) == 0;
    });
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

GdalMessageScope::GdalMessageScope(GdalMessages& messages)
{
    CPLPushErrorHandlerEx(collectGdalMessage, &messages);
}

GdalMessageScope::~GdalMessageScope()
{
    CPLPopErrorHandler();
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
    for (const std::string& input : scene.paths) {
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

std::vector<std::string> creationOptions(OutputFormat format, const std::vector<std::string>& given)
{
    std::vector<std::string> options = given;
    const auto byDefault = [&](std::string_view name, std::string_view value) {
        if (!hasOption(options, name)) {
            options.push_back(std::string(name) + "=" + std::string(value));
        }
    };
    switch (format) {
    case OutputFormat::gtiff:
        byDefault("TILED", "YES");
        byDefault("BIGTIFF", "IF_SAFER");
        byDefault("NUM_THREADS", "ALL_CPUS");
        break;
    case OutputFormat::cog:
        byDefault("BIGTIFF", "IF_SAFER");
        byDefault("NUM_THREADS", "ALL_CPUS");
        break;
    case OutputFormat::envi:
        if (hasOption(options, "SUFFIX")) {
            throw usageFailure("-co SUFFIX: talvex-geo names the ENVI header itself (the image's name "
                               "and .hdr).");
        }
        options.push_back("SUFFIX=ADD");
        break;
    }
    return options;
}

void copyIntoOutput(OutputFile& output, ReflectanceDataset& source, OutputFormat format,
                    const std::vector<std::string>& options, GdalMessages& messages, CopyProgress& progress)
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
    messages = GdalMessages{};
    CPLErrorReset();
    GDALDataset* written = driver->CreateCopy(output.temporaryPath.c_str(), &source, FALSE,
                                              driverOptions.List(), showCopyProgress, &progress);
    if (written != nullptr) {
        GDALClose(written);  // the last blocks and the header are written here
    }
    if (progress.interrupted) {
        throwIfInterrupted();
    }
    if (source.readFailure()) {
        throw *source.readFailure();
    }
    if (written == nullptr || messages.failures > 0) {
        throw cannotWriteOutput(output.finalPath, reasonOf(messages, "the driver could not write it"));
    }
    if (format == OutputFormat::envi) {
        nameFinalFileInHeader(output);
    }
}

void commitGeoOutput(OutputFile& output)
{
    // The driver wrote and closed the files itself: each is opened afresh so
    // that its data is on disk before any rename.
    if (output.fd >= 0) {
        ::close(output.fd);  // the reservation; the image stays at its temporary name
        output.fd = -1;
    }
    const std::string temporary = output.temporaryPath;
    const std::vector<std::string> found = suffixesBeside(temporary);
    std::vector<OutputFile> files;
    std::vector<std::string> obsolete;
    try {
        files.push_back(writtenFile(output.finalPath, temporary));
        for (const char* suffix : COMPANION_SUFFIXES) {
            if (std::find(found.begin(), found.end(), suffix) != found.end()) {
                files.push_back(writtenFile(output.finalPath + suffix, temporary + suffix));
            } else {
                obsolete.push_back(output.finalPath + suffix);
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
        commitOutputs(files, obsolete);
    } catch (...) {
        for (OutputFile& file : files) {
            discardOutput(file);
        }
        throw;
    }
    output.temporaryPath.clear();
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

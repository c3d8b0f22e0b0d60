// Output rasters of talvex-geo. A driver writes each one under a hidden
// temporary name beside its final name (with whatever companion files the
// format has, named after the temporary), and the whole set is renamed into
// place only once complete: a GeoTIFF in one rename; an ENVI image first and
// its header last, so that a reader finds either the earlier output, or no
// header, or the new output whole.
#pragma once

#include "band_tables.h"
#include "raster_io.h"
#include "reflectance_dataset.h"
#include "scene.h"
#include "talvex_geo.h"

#include <gdal_priv.h>

#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace talvex::geo {

// What GDAL said while the current step ran, in any thread: its first error,
// and how many there were. Warnings go to the caller as they come; debug
// messages (asked for with --debug or CPL_DEBUG) to standard error.
struct GdalMessages {
    explicit GdalMessages(WarningFunction warn) : warning(std::move(warn)) {}
    void clear();
    int failureCount();
    std::string firstFailure();

    WarningFunction warning;
    std::mutex lock;
    int failures = 0;
    std::string first;
};

// Routes GDAL's messages into `messages` for as long as it lives: those of
// this thread and those of the threads GDAL starts (a driver's compression
// threads), whose failures would otherwise pass unseen.
class GdalMessageScope {
public:
    explicit GdalMessageScope(GdalMessages& messages);
    ~GdalMessageScope();
    GdalMessageScope(const GdalMessageScope&) = delete;
    GdalMessageScope& operator=(const GdalMessageScope&) = delete;

private:
    CPLErrorHandler previousHandler_;
    void* previousData_;
};

// The final name of an output image.
std::string outputName(const std::string& base, Reflectance reflectance, OutputFormat format);

// Checks that the folder an output goes into exists, naming it if not.
void checkOutputFolder(const std::string& imagePath);

// Checks before anything is written that the image's name and those of the
// companions a reader would take with it can be made, and that none of them
// is a file of the inputs (the rasters themselves, their headers and the
// files a VRT refers to).
void checkOutputNames(const std::string& imagePath, const Scene& scene);

// Progress of a run of one or more outputs, each one step, and the point at
// which a stop signal or the caller's cancel ends the copy.
class CopyProgress {
public:
    CopyProgress(ProgressFunction report, int steps) : report_(std::move(report)), steps_(steps) {}
    void nextStep()
    {
        ++step_;
    }
    // GDAL's progress callback over one step; false stops the copy.
    bool update(double stepComplete);
    bool interrupted() const
    {
        return interrupted_;
    }
    bool cancelled() const
    {
        return cancelled_;
    }

private:
    ProgressFunction report_;
    int steps_;
    int step_ = 0;
    bool interrupted_ = false;
    bool cancelled_ = false;
};

// The driver's creation options: the user's, and the defaults a user of this
// tool expects (tiled GeoTIFF, or strips for a scene too narrow or too short
// for a tile; BigTIFF when it may be needed; all cores for compression; ENVI
// headers named after the whole image name).
std::vector<std::string> creationOptions(OutputFormat format, const std::vector<std::string>& given,
                                         const Scene& scene);

// GDAL's block cache for a copy of `scene` into `format` with the driver's
// `options`, so that no block of the input or of the output is decoded or
// written twice.
GIntBig blockCacheBytes(OutputFormat format, const Scene& scene,
                        const std::vector<std::string>& options);
// A size of the block cache within the bounds that keep the run's memory fixed.
GIntBig boundedCacheBytes(GIntBig wanted);

// Copies `source` into the reserved temporary with the format's driver.
// Throws the interruption, the input's read failure or the output's write
// failure, whichever stopped it.
void copyIntoOutput(OutputFile& output, ReflectanceDataset& source, OutputFormat format,
                    const std::vector<std::string>& options, GdalMessages& messages,
                    CopyProgress& progress);

// Renames written outputs and their companions into place, all in one step
// under the folder's lock, removing any companion of an earlier output of
// those names that the new ones lack, and every file of an earlier output
// named `obsoleteImage` (when not empty).
void commitGeoOutputs(std::span<OutputFile* const> outputs, const std::string& obsoleteImage);

// Removes the temporary and its companions.
void discardGeoOutput(OutputFile& output);

} // namespace talvex::geo

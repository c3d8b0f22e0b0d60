// Output rasters of talvex-geo. A driver writes each one under a hidden
// temporary name beside its final name (with whatever companion files the
// format has, named after the temporary), and the whole set is renamed into
// place only once complete: a GeoTIFF in one rename; an ENVI image first and
// its header last, so that a reader finds either the earlier output, or no
// header, or the new output whole.
#pragma once

#include "band_tables.h"
#include "command_line.h"
#include "raster_io.h"
#include "reflectance_dataset.h"
#include "scene.h"

#include <gdal_priv.h>

#include <string>
#include <vector>

namespace talvex::geo {

// What GDAL said while the current step ran: its first error, and whether
// there was one. Warnings are printed as they come.
struct GdalMessages {
    int failures = 0;
    std::string firstFailure;
};

// Routes GDAL's messages of this thread into `messages` for as long as it lives.
struct GdalMessageScope {
    explicit GdalMessageScope(GdalMessages& messages);
    ~GdalMessageScope();
    GdalMessageScope(const GdalMessageScope&) = delete;
    GdalMessageScope& operator=(const GdalMessageScope&) = delete;
};

// The final name of an output image.
std::string outputName(const std::string& base, Reflectance reflectance, OutputFormat format);

// Checks before anything is written that the image's name and those of the
// companions a reader would take with it can be made, and that none of them
// is one of the input files.
void checkOutputNames(const std::string& imagePath, const Scene& scene);

// Progress of one output on standard error (when wanted), and the point at
// which a stop signal ends the copy.
struct CopyProgress {
    bool show = false;
    std::string label;
    int ticksShown = 0;
    bool interrupted = false;
};

// The driver's creation options: the user's, and the defaults a user of this
// tool expects (tiled GeoTIFF, BigTIFF when it may be needed, all cores for
// compression, ENVI headers named after the whole image name).
std::vector<std::string> creationOptions(OutputFormat format, const std::vector<std::string>& given);

// Copies `source` into the reserved temporary with the format's driver.
// Throws the interruption, the input's read failure or the output's write
// failure, whichever stopped it.
void copyIntoOutput(OutputFile& output, ReflectanceDataset& source, OutputFormat format,
                    const std::vector<std::string>& options, GdalMessages& messages, CopyProgress& progress);

// Renames a written output and its companions into place, removing any
// companion of an earlier output of that name that the new one lacks.
void commitGeoOutput(OutputFile& output);

// Removes the temporary and its companions.
void discardGeoOutput(OutputFile& output);

} // namespace talvex::geo

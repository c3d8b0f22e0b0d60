// The DN scene as GDAL gives it: one raster of the four bands, or four
// rasters of one band each, on one grid.
#pragma once

#include "bands.h"

#include <gdal_priv.h>

#include <array>
#include <string>
#include <vector>

namespace talvex::geo {

struct Scene {
    std::vector<std::string> paths;                  // as given, one or four
    std::vector<GDALDatasetUniquePtr> datasets;      // one per path
    std::array<GDALRasterBand*, BAND_COUNT> bands{}; // bands 2, 3, 4, 5, owned by `datasets`
    std::array<std::string, BAND_COUNT> bandPaths;   // the file of each band, for messages
    // What marks a band's pixels as without data besides DN 0: the alpha band
    // of its file, and its own mask (no-data value, per-dataset or per-band
    // mask); null where there is none.
    std::array<GDALRasterBand*, BAND_COUNT> alphaBands{};
    std::array<GDALRasterBand*, BAND_COUNT> inputMasks{};
    int samples = 0;
    int lines = 0;
    // The working copy the bands are read from once the input is staged.
    GDALDatasetUniquePtr staged;
};

// Opens and checks the inputs: each readable by GDAL, one of four bands or
// four of one band (a four-band file is the four bands whatever colour
// interpretation they carry; a fifth or second band marked as alpha is the
// file's alpha), unsigned pixels of up to 16 bits, and all on the grid of the
// first (size, geotransform or ground control points, CRS). Throws an input
// Failure naming the file and what is wrong.
Scene openScene(const std::vector<std::string>& paths);

// Every file the inputs are read from: the rasters, their companions, and
// the files a VRT refers to.
std::vector<std::string> inputFiles(const Scene& scene);

// Bytes of one row of the input's blocks, over every band read.
GIntBig inputBlockRowBytes(const Scene& scene);

// The dataset whose georeference the outputs take: the first input.
GDALDataset& georeferenceSource(const Scene& scene);

} // namespace talvex::geo

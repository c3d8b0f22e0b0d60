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
    std::vector<std::string> paths;             // as given, one or four
    std::vector<GDALDatasetUniquePtr> datasets; // one per path
    std::array<GDALRasterBand*, BAND_COUNT> bands{};  // bands 2, 3, 4, 5, owned by `datasets`
    std::array<std::string, BAND_COUNT> bandPaths;    // the file of each band, for messages
    int samples = 0;
    int lines = 0;
};

// Opens and checks the inputs: each readable by GDAL, one of four bands or
// four of one band (an alpha band after them is allowed), unsigned pixels of
// up to 16 bits, and all on the grid of the first (size, geotransform, CRS).
// Throws an input Failure naming the file and what is wrong.
Scene openScene(const std::vector<std::string>& paths);

// The dataset whose georeference the outputs take: the first input.
GDALDataset& georeferenceSource(const Scene& scene);

} // namespace talvex::geo

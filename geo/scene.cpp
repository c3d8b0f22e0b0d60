#include "scene.h"

#include "geo_messages.h"

#include <cmath>
#include <cstdio>

#include <cpl_error.h>
#include <ogr_spatialref.h>

namespace talvex::geo {

namespace {

// Geotransforms that differ by less than this share of a pixel are one grid:
// formats store them with different numbers of digits.
constexpr double GRID_TOLERANCE_PIXELS = 1e-6;

std::string lastGdalReason()
{
    const std::string reason = CPLGetLastErrorMsg();
    return reason.empty() ? std::string("GDAL cannot read it") : reason;
}

// Bands that carry data: all of them but an alpha band at the end.
int dataBandCount(GDALDataset& dataset)
{
    const int count = dataset.GetRasterCount();
    if (count > 1 && dataset.GetRasterBand(count)->GetColorInterpretation() == GCI_AlphaBand) {
        return count - 1;
    }
    return count;
}

bool isDnType(GDALDataType type)
{
    return type == GDT_Byte || type == GDT_UInt16;
}

std::string sizeText(int samples, int lines)
{
    return std::to_string(samples) + " x " + std::to_string(lines) + " (samples x lines)";
}

std::string geoTransformText(bool known, const std::array<double, 6>& gt)
{
    if (!known) {
        return "none";
    }
    char text[256];
    std::snprintf(text, sizeof text, "(%.10g, %.10g, %.10g, %.10g, %.10g, %.10g)", gt[0], gt[1], gt[2],
                  gt[3], gt[4], gt[5]);
    return text;
}

std::string crsText(const OGRSpatialReference* crs)
{
    if (crs == nullptr || crs->IsEmpty()) {
        return "none";
    }
    const char* name = crs->GetName();
    return quoted(name != nullptr ? name : "unnamed");
}

struct Grid {
    int samples;
    int lines;
    bool hasGeoTransform;
    std::array<double, 6> geoTransform;
    const OGRSpatialReference* crs;
};

Grid gridOf(GDALDataset& dataset)
{
    Grid grid{dataset.GetRasterXSize(), dataset.GetRasterYSize(), false, {}, dataset.GetSpatialRef()};
    grid.hasGeoTransform = dataset.GetGeoTransform(grid.geoTransform.data()) == CE_None;
    return grid;
}

bool sameGeoTransform(const Grid& a, const Grid& b)
{
    if (a.hasGeoTransform != b.hasGeoTransform) {
        return false;
    }
    if (!a.hasGeoTransform) {
        return true;
    }
    const double pixel = std::fabs(a.geoTransform[1]) + std::fabs(a.geoTransform[5]);
    for (std::size_t i = 0; i < a.geoTransform.size(); ++i) {
        if (std::fabs(a.geoTransform[i] - b.geoTransform[i]) > GRID_TOLERANCE_PIXELS * pixel) {
            return false;
        }
    }
    return true;
}

bool sameCrs(const OGRSpatialReference* a, const OGRSpatialReference* b)
{
    const bool aEmpty = a == nullptr || a->IsEmpty();
    const bool bEmpty = b == nullptr || b->IsEmpty();
    if (aEmpty || bEmpty) {
        return aEmpty == bEmpty;
    }
    return a->IsSame(b) != 0;
}

void checkSameGrid(const std::string& path, GDALDataset& dataset, const std::string& referencePath,
                   const Grid& reference)
{
    const Grid grid = gridOf(dataset);
    if (grid.samples != reference.samples || grid.lines != reference.lines) {
        throw gridMismatch(path, referencePath, "size", sizeText(grid.samples, grid.lines),
                           sizeText(reference.samples, reference.lines));
    }
    if (!sameGeoTransform(grid, reference)) {
        throw gridMismatch(path, referencePath, "geotransform",
                           geoTransformText(grid.hasGeoTransform, grid.geoTransform),
                           geoTransformText(reference.hasGeoTransform, reference.geoTransform));
    }
    if (!sameCrs(grid.crs, reference.crs)) {
        throw gridMismatch(path, referencePath, "CRS", crsText(grid.crs), crsText(reference.crs));
    }
}

} // namespace

Scene openScene(const std::vector<std::string>& paths)
{
    Scene scene;
    scene.paths = paths;
    const int files = static_cast<int>(paths.size());
    const int bandsPerFile = BAND_COUNT / files;
    for (const std::string& path : paths) {
        CPLErrorReset();
        GDALDatasetUniquePtr dataset(
            GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr));
        if (!dataset) {
            throw cannotOpenInput(path, lastGdalReason());
        }
        const int bands = dataBandCount(*dataset);
        if (bands != bandsPerFile) {
            throw wrongBandCount(path, bands, files);
        }
        for (int b = 1; b <= bands; ++b) {
            GDALRasterBand* band = dataset->GetRasterBand(b);
            if (!isDnType(band->GetRasterDataType())) {
                throw wrongPixelType(path, b, GDALGetDataTypeName(band->GetRasterDataType()));
            }
        }
        if (!scene.datasets.empty()) {
            checkSameGrid(path, *dataset, paths.front(), gridOf(*scene.datasets.front()));
        }
        scene.datasets.push_back(std::move(dataset));
    }
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t i = bandIndex(band);
        const std::size_t file = i / static_cast<std::size_t>(bandsPerFile);
        scene.bands[i] = scene.datasets[file]->GetRasterBand(static_cast<int>(i % bandsPerFile) + 1);
        scene.bandPaths[i] = paths[file];
    }
    scene.samples = scene.datasets.front()->GetRasterXSize();
    scene.lines = scene.datasets.front()->GetRasterYSize();
    return scene;
}

GDALDataset& georeferenceSource(const Scene& scene)
{
    return *scene.datasets.front();
}

} // namespace talvex::geo

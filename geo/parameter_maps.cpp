#include "parameter_maps.h"

#include "geo_messages.h"

#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cstdio>
#include <memory>

namespace talvex::geo {

namespace {

// Extents that differ by less than this share of a map pixel still cover:
// formats store coordinates with different numbers of digits.
constexpr double COVER_TOLERANCE_PIXELS = 1e-6;
// Points per edge where the scene's extent is taken into the map's CRS.
constexpr int EDGE_POINTS = 21;
// Resampling names that gdalwarp's -r takes.
constexpr std::array<const char*, 15> RESAMPLINGS = {
    "near", "bilinear", "cubic", "cubicspline", "lanczos", "average", "rms",    "mode",
    "max",  "min",      "med",   "q1",          "q3",      "sum",     "nearest"};

struct Extent {
    double xmin;
    double ymin;
    double xmax;
    double ymax;
};

std::string number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// Coordinates handed to GDAL, every digit kept.
std::string number17(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string extentText(const Extent& e)
{
    return "x " + number(e.xmin) + " to " + number(e.xmax) + ", y " + number(e.ymin) + " to "
           + number(e.ymax);
}

std::string crsName(const OGRSpatialReference& crs)
{
    const char* authority = crs.GetAuthorityName(nullptr);
    const char* code = crs.GetAuthorityCode(nullptr);
    if (authority != nullptr && code != nullptr) {
        return std::string(authority) + ":" + code;
    }
    const char* name = crs.GetName();
    return name != nullptr ? name : "its CRS";
}

Failure mapFailure(MapQuantity quantity, const std::string& path, const std::string& detail)
{
    return makeFailure(FailureKind::input, path,
                       std::string("The ") + mapQuantityName(quantity) + " map " + quoted(path)
                           + " " + detail + "\n");
}

std::string lastGdalReason()
{
    const std::string reason = CPLGetLastErrorMsg();
    return reason.empty() ? std::string("GDAL cannot read it") : reason;
}

// The bounding box of a raster's pixels in its own coordinates.
Extent rasterExtent(const std::array<double, 6>& gt, int samples, int lines)
{
    Extent e{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (const auto& [s, l] : {std::pair{0, 0}, {samples, 0}, {0, lines}, {samples, lines}}) {
        const double x = gt[0] + s * gt[1] + l * gt[2];
        const double y = gt[3] + s * gt[4] + l * gt[5];
        e = {std::min(e.xmin, x), std::min(e.ymin, y), std::max(e.xmax, x), std::max(e.ymax, y)};
    }
    return e;
}

// The dimension of a map: one band of real values, placed by a geotransform
// in a CRS.
void checkKind(MapQuantity quantity, const std::string& path, GDALDataset& map)
{
    const int bands = map.GetRasterCount();
    const bool alphaAfterData =
        bands == 2 && map.GetRasterBand(2)->GetColorInterpretation() == GCI_AlphaBand;
    if (bands != 1 && !alphaAfterData) {
        throw mapFailure(quantity, path,
                         "has " + std::to_string(bands) + " bands; a map has one band of values.");
    }
    const GDALDataType type = map.GetRasterBand(1)->GetRasterDataType();
    if (GDALDataTypeIsComplex(type) != 0) {
        throw mapFailure(quantity, path,
                         std::string("holds complex values (") + GDALGetDataTypeName(type)
                             + "); a map holds real numbers.");
    }
    if (map.GetSpatialRef() == nullptr || map.GetSpatialRef()->IsEmpty()) {
        throw mapFailure(quantity, path,
                         "has no CRS; a map is placed on the scene by its coordinates.");
    }
    std::array<double, 6> gt{};
    if (map.GetGeoTransform(gt.data()) != CE_None) {
        throw mapFailure(quantity, path,
                         "has no geotransform; a map is placed on the scene by its coordinates.");
    }
}

// The scene's grid: north up, in a CRS.
struct SceneGrid {
    std::array<double, 6> gt{};
    const OGRSpatialReference* crs = nullptr;
    Extent extent{};
};

SceneGrid sceneGrid(MapQuantity quantity, const std::string& path, const Scene& scene)
{
    GDALDataset& reference = georeferenceSource(scene);
    SceneGrid grid;
    grid.crs = reference.GetSpatialRef();
    if (reference.GetGeoTransform(grid.gt.data()) != CE_None || grid.crs == nullptr
        || grid.crs->IsEmpty()) {
        throw mapFailure(quantity, path,
                         "cannot be placed on the scene " + quoted(scene.paths.front())
                             + ", which has no CRS and geotransform.");
    }
    if (grid.gt[2] != 0.0 || grid.gt[4] != 0.0 || grid.gt[1] <= 0.0 || grid.gt[5] >= 0.0) {
        throw mapFailure(quantity, path,
                         "cannot be placed on the scene " + quoted(scene.paths.front())
                             + ", whose grid is not north up; maps need a north-up scene grid.");
    }
    grid.extent = rasterExtent(grid.gt, scene.samples, scene.lines);
    return grid;
}

void checkCoverage(MapQuantity quantity, const std::string& path, GDALDataset& map,
                   const SceneGrid& grid)
{
    std::array<double, 6> mapGt{};
    map.GetGeoTransform(mapGt.data());
    const Extent mapExtent = rasterExtent(mapGt, map.GetRasterXSize(), map.GetRasterYSize());

    OGRSpatialReference mapCrs(*map.GetSpatialRef());
    OGRSpatialReference sceneCrs(*grid.crs);
    mapCrs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    sceneCrs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    Extent scene = grid.extent;
    if (!mapCrs.IsSame(&sceneCrs)) {
        const std::unique_ptr<OGRCoordinateTransformation> toMap(
            OGRCreateCoordinateTransformation(&sceneCrs, &mapCrs));
        if (!toMap
            || !toMap->TransformBounds(grid.extent.xmin, grid.extent.ymin, grid.extent.xmax,
                                       grid.extent.ymax, &scene.xmin, &scene.ymin, &scene.xmax,
                                       &scene.ymax, EDGE_POINTS)) {
            throw mapFailure(quantity, path,
                             "cannot be placed on the scene: its CRS " + crsName(mapCrs)
                                 + " and the scene's " + crsName(sceneCrs)
                                 + " have no transformation between them (" + lastGdalReason()
                                 + ").");
        }
    }
    const double tolerance =
        COVER_TOLERANCE_PIXELS * std::max(std::fabs(mapGt[1]), std::fabs(mapGt[5]));
    if (scene.xmin < mapExtent.xmin - tolerance || scene.xmax > mapExtent.xmax + tolerance
        || scene.ymin < mapExtent.ymin - tolerance || scene.ymax > mapExtent.ymax + tolerance) {
        throw mapFailure(quantity, path,
                         "does not cover the scene: the map covers " + extentText(mapExtent)
                             + ", the scene " + extentText(scene) + " (both in the map's CRS, "
                             + crsName(mapCrs) + ").");
    }
}

std::string resamplingOf(const std::string& name)
{
    for (const char* known : RESAMPLINGS) {
        if (EQUAL(name.c_str(), known)) {
            return known;
        }
    }
    std::string names;
    for (const char* known : RESAMPLINGS) {
        names += names.empty() ? known : std::string(", ") + known;
    }
    throw usageFailure("-r " + name + ": the resampling must be one of " + names + ".");
}

// GDAL's warp of the map onto the scene's grid, as gdalwarp would make it,
// kept virtual: each block is warped when it is read.
GDALDatasetUniquePtr warpOntoScene(MapQuantity quantity, const std::string& path, GDALDataset& map,
                                   const SceneGrid& grid, const Scene& scene,
                                   const std::string& resampling, bool holes)
{
    char* wkt = nullptr;
    grid.crs->exportToWkt(&wkt);
    const std::string sceneWkt = wkt != nullptr ? wkt : "";
    CPLFree(wkt);
    const std::vector<std::string> arguments = {"-of",
                                                "VRT",
                                                "-t_srs",
                                                sceneWkt,
                                                "-te",
                                                number17(grid.extent.xmin),
                                                number17(grid.extent.ymin),
                                                number17(grid.extent.xmax),
                                                number17(grid.extent.ymax),
                                                "-ts",
                                                std::to_string(scene.samples),
                                                std::to_string(scene.lines),
                                                "-r",
                                                resampling,
                                                "-ot",
                                                "Float32"};
    CPLStringList argv;
    for (const std::string& a : arguments) {
        argv.AddString(a.c_str());
    }
    if (holes) {
        // Pixels without data become NaN. The warper takes twice as long
        // with a no-data value, so a map without holes goes without.
        argv.AddString("-dstnodata");
        argv.AddString("nan");
    }
    std::unique_ptr<GDALWarpAppOptions, decltype(&GDALWarpAppOptionsFree)> options(
        GDALWarpAppOptionsNew(argv.List(), nullptr), GDALWarpAppOptionsFree);
    GDALDatasetH source = GDALDataset::ToHandle(&map);
    int usageError = 0;
    CPLErrorReset();
    GDALDatasetH warped =
        options ? GDALWarp("", nullptr, 1, &source, options.get(), &usageError) : nullptr;
    if (warped == nullptr) {
        throw mapFailure(quantity, path,
                         "cannot be warped onto the scene's grid: " + lastGdalReason() + ".");
    }
    return GDALDatasetUniquePtr(GDALDataset::FromHandle(warped));
}

} // namespace

ParameterMap openParameterMap(MapQuantity quantity, const std::string& path, const Scene& scene,
                              const std::string& resampling)
{
    const std::string algorithm = resamplingOf(resampling);
    CPLErrorReset();
    GDALDatasetUniquePtr map(
        GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
    if (!map) {
        throw mapFailure(quantity, path, "cannot be opened: " + lastGdalReason() + ".");
    }
    checkKind(quantity, path, *map);
    const SceneGrid grid = sceneGrid(quantity, path, scene);
    checkCoverage(quantity, path, *map, grid);
    GDALRasterBand& values = *map->GetRasterBand(1);
    const bool holes = (values.GetMaskFlags() & GMF_ALL_VALID) == 0;
    GDALDatasetUniquePtr warped =
        warpOntoScene(quantity, path, *map, grid, scene, algorithm, holes);
    return ParameterMap{quantity, path, algorithm, holes, std::move(map), std::move(warped)};
}

MapSlots::MapSlots(std::vector<ParameterMap> maps, const RunParameters& parameters)
    : maps_(std::move(maps)), tables_(pixelTermTables(parameters))
{
}

bool MapSlots::holes() const
{
    return std::any_of(maps_.begin(), maps_.end(),
                       [](const ParameterMap& map) { return map.holes; });
}

namespace {

// The slots of the scene's lines first to last of one map, full width, into
// `slots`, a row of the warp's blocks at a time.
void readRows(const ParameterMap& map, PixelTermTables& tables, int first, int last,
              std::vector<float>& values, std::int32_t* slots)
{
    GDALRasterBand& warped = *map.warped->GetRasterBand(1);
    const int width = warped.GetXSize();
    int blockWidth = 0;
    int blockLines = 0;
    warped.GetBlockSize(&blockWidth, &blockLines);
    for (int line = first; line < last; line += blockLines) {
        const int lines = std::min(blockLines, last - line);
        const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(lines);
        values.resize(count);
        CPLErrorReset();
        if (warped.RasterIO(GF_Read, 0, line, width, lines, values.data(), width, lines,
                            GDT_Float32, 0, 0, nullptr)
            != CE_None) {
            throw mapFailure(map.quantity, map.path, "cannot be read: " + lastGdalReason() + ".");
        }
        // Each block is read once: the cache is better kept for the outputs.
        warped.FlushCache(false);
        try {
            mapSlots(tables, map.quantity, values.data(), nullptr,
                     slots
                         + static_cast<std::size_t>(width) * static_cast<std::size_t>(line - first),
                     count);
        } catch (const Failure& failure) {
            // The library's message less its own opening, the map's file named instead.
            const std::size_t detail = failure.message.find(": ");
            throw makeFailure(
                FailureKind::input, map.path,
                std::string("The ") + mapQuantityName(map.quantity) + " map " + quoted(map.path)
                    + failure.message.substr(detail == std::string::npos ? 0 : detail));
        }
    }
}

} // namespace

void MapSlots::holdRows(std::size_t i, int first, int last)
{
    RowBand& band = rows_[i];
    if (band.first <= first && last <= band.last) {
        return;
    }
    const ParameterMap& map = maps_[i];
    GDALRasterBand& warped = *map.warped->GetRasterBand(1);
    const auto width = static_cast<std::size_t>(warped.GetXSize());
    int blockWidth = 0;
    int blockLines = 0;
    warped.GetBlockSize(&blockWidth, &blockLines);
    // Whole rows of the warp's blocks, so that each block is warped once on
    // the way down the scene whatever windows are asked for.
    const int newFirst = first / blockLines * blockLines;
    const int newLast =
        std::min(warped.GetYSize(), (last + blockLines - 1) / blockLines * blockLines);
    std::vector<std::int32_t> slots(width * static_cast<std::size_t>(newLast - newFirst));
    const int keptFirst = std::max(newFirst, band.first);
    const int keptLast = std::min(newLast, band.last);
    const auto rowOffset = [&](int row, int bandFirst) {
        return width * static_cast<std::size_t>(row - bandFirst);
    };
    if (keptFirst < keptLast) {
        std::copy(band.slots.begin()
                      + static_cast<std::ptrdiff_t>(rowOffset(keptFirst, band.first)),
                  band.slots.begin() + static_cast<std::ptrdiff_t>(rowOffset(keptLast, band.first)),
                  slots.begin() + static_cast<std::ptrdiff_t>(rowOffset(keptFirst, newFirst)));
        if (newFirst < keptFirst) {
            readRows(map, tables_, newFirst, keptFirst, values_[i], slots.data());
        }
        if (keptLast < newLast) {
            readRows(map, tables_, keptLast, newLast, values_[i],
                     slots.data() + rowOffset(keptLast, newFirst));
        }
    } else {
        readRows(map, tables_, newFirst, newLast, values_[i], slots.data());
    }
    band = RowBand{newFirst, newLast, std::move(slots)};
}

MapBlockSlots MapSlots::window(int x, int y, int width, int lines)
{
    const std::array<int, 4> key = {x, y, width, lines};
    if (cached_ != key) {
        cached_.reset();
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            holdRows(i, y, y + lines);
        }
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            const RowBand& band = rows_[i];
            const auto sceneWidth = static_cast<std::size_t>(maps_[i].warped->GetRasterXSize());
            auto& target =
                maps_[i].quantity == MapQuantity::elevation ? elevationSlots_ : aerosolSlots_;
            target.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(lines));
            for (int l = 0; l < lines; ++l) {
                const auto from = band.slots.begin()
                                  + static_cast<std::ptrdiff_t>(
                                      sceneWidth * static_cast<std::size_t>(y + l - band.first)
                                      + static_cast<std::size_t>(x));
                std::copy(from, from + width,
                          target.begin() + static_cast<std::ptrdiff_t>(l) * width);
            }
        }
        cached_ = key;
    }
    MapBlockSlots slots;
    for (const ParameterMap& map : maps_) {
        if (map.quantity == MapQuantity::elevation) {
            slots.elevation = elevationSlots_.data();
        } else {
            slots.aerosolOpticalDepth = aerosolSlots_.data();
        }
    }
    return slots;
}

} // namespace talvex::geo

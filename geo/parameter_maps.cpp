#include "parameter_maps.h"

#include "geo_messages.h"

#include <gdal_alg.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <csignal>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace talvex::geo {

namespace {

// Extents that differ by less than this share of a map pixel still cover:
// formats store coordinates with different numbers of digits.
constexpr double COVER_TOLERANCE_PIXELS = 1e-6;
// Points per edge where the scene's extent is taken into the map's CRS.
constexpr int EDGE_POINTS = 21;
// Rows of the warp's blocks warped before the first window asks for them.
constexpr int FIRST_ROWS = 2;
// Buffers of warped rows kept for reuse.
constexpr std::size_t SPARE_ROWS = 4;
// Source pixels around a row's window whose blocks are held as well: the
// widest kernel gdalwarp's resamplings use (lanczos), per scene pixel.
constexpr double KERNEL_MARGIN_PIXELS = 3.0;
// A row's source blocks are held only up to this size, and this share of
// GDAL's block cache.
constexpr std::size_t MAX_PINNED_BYTES = std::size_t{32} << 20;
constexpr GIntBig MAX_PINNED_CACHE_SHARE = 4;
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

namespace {

// GDAL's messages while a row of a map is warped, kept to be told by the
// thread that uses the row (a failure becomes the map's own failure).
using GdalNotes = std::vector<std::pair<CPLErr, std::string>>;

void CPL_STDCALL keepGdalMessage(CPLErr level, CPLErrorNum, const char* text)
{
    static_cast<GdalNotes*>(CPLGetErrorHandlerUserData())->emplace_back(level, text);
}

// The source blocks that the warp of a map's row reads, held in GDAL's block
// cache (locked, so that the outputs' blocks cannot push them out) from the
// first row that reads them to the last: a map coarser than the scene has
// each block read by several rows, which would otherwise decode it again
// each time. The values are GDAL's own, read the same way. Maps with
// overviews (which the warp may read instead) and rows whose blocks would
// take a large share of the cache are left to the cache as they are.
class SourcePins {
public:
    explicit SourcePins(const ParameterMap& map)
    {
        GDALRasterBand& band = *map.source->GetRasterBand(1);
        if (band.GetOverviewCount() > 0) {
            return;
        }
        band_ = &band;
        band.GetBlockSize(&blockWidth_, &blockHeight_);
        blockBytes_ =
            static_cast<std::size_t>(blockWidth_) * static_cast<std::size_t>(blockHeight_)
            * static_cast<std::size_t>(GDALGetDataTypeSizeBytes(band.GetRasterDataType()));
        sceneWidth_ = map.warped->GetRasterXSize();
        transformer_ =
            GDALCreateGenImgProjTransformer2(GDALDataset::ToHandle(map.source.get()),
                                             GDALDataset::ToHandle(map.warped.get()), nullptr);
    }

    ~SourcePins()
    {
        release();
        if (transformer_ != nullptr) {
            GDALDestroyGenImgProjTransformer(transformer_);
        }
    }

    SourcePins(const SourcePins&) = delete;
    SourcePins& operator=(const SourcePins&) = delete;

    // Holds the blocks that the scene's lines `first` to `first + lines`
    // read, and lets go of the others.
    void hold(int first, int lines)
    {
        if (transformer_ == nullptr || blockWidth_ <= 0 || blockHeight_ <= 0) {
            return;
        }
        const std::optional<std::array<int, 4>> blocks = blocksOf(first, lines);
        if (!blocks) {
            release();
            return;
        }
        const auto [firstX, firstY, lastX, lastY] = *blocks;
        const auto count = static_cast<std::size_t>(lastX - firstX + 1)
                           * static_cast<std::size_t>(lastY - firstY + 1);
        const GIntBig cacheBytes = GDALGetCacheMax64();
        if (count * blockBytes_ > MAX_PINNED_BYTES
            || static_cast<GIntBig>(count * blockBytes_) > cacheBytes / MAX_PINNED_CACHE_SHARE) {
            release();
            return;
        }
        // Let go of the blocks this row does not read, then take the new ones.
        std::vector<Pin> kept;
        for (const Pin& pin : pins_) {
            if (pin.x >= firstX && pin.x <= lastX && pin.y >= firstY && pin.y <= lastY) {
                kept.push_back(pin);
            } else {
                pin.block->DropLock();
            }
        }
        pins_.swap(kept);
        for (int by = firstY; by <= lastY; ++by) {
            for (int bx = firstX; bx <= lastX; ++bx) {
                const bool held = std::any_of(pins_.begin(), pins_.end(), [&](const Pin& pin) {
                    return pin.x == bx && pin.y == by;
                });
                if (held) {
                    continue;
                }
                // A block that cannot be read is left to the warp, which
                // then fails with GDAL's reason.
                if (GDALRasterBlock* block = band_->GetLockedBlockRef(bx, by)) {
                    pins_.push_back(Pin{bx, by, block});
                }
            }
        }
    }

    void release()
    {
        for (const Pin& pin : pins_) {
            pin.block->DropLock();
        }
        pins_.clear();
    }

private:
    struct Pin {
        int x;
        int y;
        GDALRasterBlock* block;
    };

    // The first and last block columns and rows of the source window of the
    // scene's lines, with a margin for the resampling's kernel; none if the
    // lines cannot be taken into the map.
    std::optional<std::array<int, 4>> blocksOf(int first, int lines) const
    {
        // Points along the edges of the lines' band of the scene.
        std::vector<double> xs;
        std::vector<double> ys;
        for (int k = 0; k <= EDGE_POINTS; ++k) {
            const double along = static_cast<double>(sceneWidth_) * k / EDGE_POINTS;
            const double down = first + static_cast<double>(lines) * k / EDGE_POINTS;
            for (const auto& [x, y] : {std::pair{along, static_cast<double>(first)},
                                       {along, static_cast<double>(first + lines)},
                                       {0.0, down},
                                       {static_cast<double>(sceneWidth_), down}}) {
                xs.push_back(x);
                ys.push_back(y);
            }
        }
        std::vector<double> zs(xs.size(), 0.0);
        std::vector<int> done(xs.size(), 0);
        if (GDALGenImgProjTransform(transformer_, TRUE, static_cast<int>(xs.size()), xs.data(),
                                    ys.data(), zs.data(), done.data())
            == FALSE) {
            return std::nullopt;
        }
        double xmin = HUGE_VAL;
        double ymin = HUGE_VAL;
        double xmax = -HUGE_VAL;
        double ymax = -HUGE_VAL;
        for (std::size_t k = 0; k < xs.size(); ++k) {
            if (done[k] == 0 || !std::isfinite(xs[k]) || !std::isfinite(ys[k])) {
                return std::nullopt;
            }
            xmin = std::min(xmin, xs[k]);
            xmax = std::max(xmax, xs[k]);
            ymin = std::min(ymin, ys[k]);
            ymax = std::max(ymax, ys[k]);
        }
        // Source pixels per scene pixel: the warper widens its kernel by it
        // where the map is finer than the scene.
        const double scale = std::max(
            {1.0, (xmax - xmin) / std::max(1, sceneWidth_), (ymax - ymin) / std::max(1, lines)});
        const double margin = std::ceil(KERNEL_MARGIN_PIXELS * scale) + 1.0;
        const double width = band_->GetXSize();
        const double height = band_->GetYSize();
        const double left = std::clamp(std::floor(xmin - margin), 0.0, width - 1.0);
        const double right = std::clamp(std::ceil(xmax + margin), 0.0, width - 1.0);
        const double top = std::clamp(std::floor(ymin - margin), 0.0, height - 1.0);
        const double bottom = std::clamp(std::ceil(ymax + margin), 0.0, height - 1.0);
        return std::array<int, 4>{
            static_cast<int>(left) / blockWidth_, static_cast<int>(top) / blockHeight_,
            static_cast<int>(right) / blockWidth_, static_cast<int>(bottom) / blockHeight_};
    }

    GDALRasterBand* band_ = nullptr;
    void* transformer_ = nullptr; // scene pixels to map pixels
    int blockWidth_ = 0;
    int blockHeight_ = 0;
    std::size_t blockBytes_ = 0;
    int sceneWidth_ = 0;
    std::vector<Pin> pins_;
};

// One row of a map's warp: the scene's lines from `first` (a row of the
// warp's blocks, full width).
struct WarpedRow {
    int first = 0;
    std::vector<float> values;
    std::string failure; // GDAL's reason, if the row cannot be warped
    GdalNotes notes;     // GDAL's other messages
};

// Warps a row, into `row.values`, its source blocks held by `pins`.
void warpRow(const ParameterMap& map, int lines, SourcePins& pins, WarpedRow& row)
{
    GDALRasterBand& warped = *map.warped->GetRasterBand(1);
    const int width = warped.GetXSize();
    CPLPushErrorHandlerEx(keepGdalMessage, &row.notes);
    CPLSetCurrentErrorHandlerCatchDebug(FALSE);
    try {
        row.values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(lines));
        pins.hold(row.first, lines);
        CPLErrorReset();
        const CPLErr read = warped.RasterIO(GF_Read, 0, row.first, width, lines, row.values.data(),
                                            width, lines, GDT_Float32, 0, 0, nullptr);
        if (read != CE_None) {
            row.failure = lastGdalReason();
        }
        // Each block is read once: the cache is better kept for the outputs.
        warped.FlushCache(false);
        if (row.first + lines >= warped.GetYSize()) {
            pins.release(); // the last row
        }
    } catch (const std::exception& e) {
        row.failure = e.what();
    }
    CPLPopErrorHandler();
}

int blockLinesOf(const ParameterMap& map)
{
    int blockWidth = 0;
    int blockLines = 0;
    map.warped->GetRasterBand(1)->GetBlockSize(&blockWidth, &blockLines);
    return blockLines;
}

} // namespace

// Warps the maps' rows of blocks in order down the scene on a thread of its
// own, as far as the windows asked for last allow (a window's height
// ahead), so that GDAL's warp runs beside the pixel loop and the writing of
// the outputs; a window whose row is not warped yet has the thread that asks
// warp the rows no thread is warping. A map's rows are warped one at a time,
// in order, whichever thread warps them: the same GDAL calls as on one
// thread, so the same values.
class MapWarper {
public:
    MapWarper(const std::vector<ParameterMap>& maps, int firstLines)
        : settings_(CPLGetThreadLocalConfigOptions())
    {
        for (const ParameterMap& map : maps) {
            lanes_.push_back(Lane{&map,
                                  blockLinesOf(map),
                                  map.warped->GetRasterYSize(),
                                  0,
                                  firstLines,
                                  -1,
                                  0,
                                  {},
                                  std::make_unique<SourcePins>(map)});
        }
        // The thread takes no signals: the run's handlers stay with the
        // threads that expect them.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~MapWarper()
    {
        {
            const std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    MapWarper(const MapWarper&) = delete;
    MapWarper& operator=(const MapWarper&) = delete;

    // The values of map `i`'s row of blocks from line `first` (`lines`
    // lines); the thread then goes on to line `ahead`. Throws a Failure
    // naming the map if GDAL cannot warp them; tells GDAL's other messages.
    void take(std::size_t i, int first, int lines, int ahead, std::vector<float>& values)
    {
        std::unique_lock guard(lock_);
        Lane& lane = lanes_[i];
        while (!lane.ready.empty() && lane.ready.front().first < first) {
            lane.ready.pop_front(); // rows the windows went past
        }
        const bool coming = (!lane.ready.empty() && lane.ready.front().first == first)
                            || lane.busy == first || (lane.ready.empty() && lane.next == first);
        if (!coming) {
            // Another order than down the scene (the mask pass starting
            // again at the top): what was warped ahead is dropped.
            ++lane.generation;
            lane.ready.clear();
            lane.next = first;
        }
        lane.limit = std::max(first + lines, ahead);
        changed_.notify_all();
        while (true) {
            // Rows above this one may still come in from a warp that was
            // under way when this one was asked for: they are not waited on.
            while (!lane.ready.empty() && lane.ready.front().first < first) {
                lane.ready.pop_front();
            }
            if (!lane.ready.empty() && lane.ready.front().first == first) {
                break;
            }
            // The row this thread waits for first, else any other.
            Lane* idle = lane.busy < 0 && lane.next == first ? &lane : nextRow();
            if (idle == nullptr) {
                changed_.wait(guard);
            } else {
                warpNext(*idle, guard);
            }
        }
        WarpedRow row = std::move(lane.ready.front());
        lane.ready.pop_front();
        guard.unlock();
        for (const auto& [level, text] : row.notes) {
            if (level != CE_Failure && level != CE_Fatal) {
                CPLError(level, CPLE_AppDefined, "%s", text.c_str());
            }
        }
        if (!row.failure.empty()) {
            throw mapFailure(lane.map->quantity, lane.map->path,
                             "cannot be read: " + row.failure + ".");
        }
        values.swap(row.values);
        // The buffer given back is kept for a later row: a fixed few
        // buffers, not one allocation a row.
        const std::lock_guard back(lock_);
        if (values.size() > 0 && spare_.size() < SPARE_ROWS) {
            spare_.push_back(std::move(row.values));
        }
    }

private:
    struct Lane {
        const ParameterMap* map;
        int blockLines;
        int height;
        int next;            // the first line of the row warped next
        int limit;           // rows that start before this line are warped
        int busy;            // the first line of the row being warped, or -1
        unsigned generation; // rows of an older generation are dropped
        std::deque<WarpedRow> ready;
        std::unique_ptr<SourcePins> pins; // used by the thread warping the lane's row
    };

    // The lane whose next row is due and that no thread is warping, the
    // one furthest behind; null if none.
    Lane* nextRow()
    {
        Lane* due = nullptr;
        for (Lane& l : lanes_) {
            if (l.busy < 0 && l.next < l.height && l.next < l.limit
                && (due == nullptr || l.next < due->next)) {
                due = &l;
            }
        }
        return due;
    }

    // Warps the lane's next row, the lock released meanwhile.
    void warpNext(Lane& lane, std::unique_lock<std::mutex>& guard)
    {
        WarpedRow row;
        if (!spare_.empty()) {
            row.values = std::move(spare_.back());
            spare_.pop_back();
        }
        row.first = lane.next;
        const unsigned generation = lane.generation;
        lane.busy = row.first;
        lane.next += lane.blockLines;
        guard.unlock();
        warpRow(*lane.map, std::min(lane.blockLines, lane.height - row.first), *lane.pins, row);
        guard.lock();
        lane.busy = -1;
        if (lane.generation == generation) {
            lane.ready.push_back(std::move(row));
        }
        changed_.notify_all();
    }

    void run()
    {
        CPLSetThreadLocalConfigOptions(settings_.List());
        std::unique_lock guard(lock_);
        while (!stopping_) {
            Lane* lane = nextRow();
            if (lane == nullptr) {
                changed_.wait(guard);
            } else {
                warpNext(*lane, guard);
            }
        }
        guard.unlock();
        CPLSetThreadLocalConfigOptions(nullptr);
    }

    CPLStringList settings_; // the thread-local GDAL settings of the run
    std::vector<Lane> lanes_;
    std::vector<std::vector<float>> spare_; // buffers of rows taken
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::thread thread_;
};

MapSlots::MapSlots(std::vector<ParameterMap> maps, const RunParameters& parameters)
    : maps_(std::move(maps)), tables_(pixelTermTables(parameters))
{
    // The first rows are warped while the TOA output is written.
    if (!maps_.empty()) {
        warper_ = std::make_unique<MapWarper>(maps_, FIRST_ROWS * blockLinesOf(maps_.front()));
    }
}

MapSlots::~MapSlots()
{
    warper_.reset(); // before the maps it reads
}

bool MapSlots::holes() const
{
    return std::any_of(maps_.begin(), maps_.end(),
                       [](const ParameterMap& map) { return map.holes; });
}

namespace {

// The slots of the values of a map, its file named in a failure.
void slotsOf(const ParameterMap& map, PixelTermTables& tables, const std::vector<float>& values,
             std::int32_t* slots)
{
    try {
        mapSlots(tables, map.quantity, values.data(), nullptr, slots, values.size());
    } catch (const Failure& failure) {
        // The library's message less its own opening, the map's file named instead.
        const std::size_t detail = failure.message.find(": ");
        throw makeFailure(FailureKind::input, map.path,
                          std::string("The ") + mapQuantityName(map.quantity) + " map "
                              + quoted(map.path)
                              + failure.message.substr(detail == std::string::npos ? 0 : detail));
    }
}

} // namespace

void MapSlots::readRows(std::size_t i, int first, int last, int ahead, std::int32_t* slots)
{
    const ParameterMap& map = maps_[i];
    const auto width = static_cast<std::size_t>(map.warped->GetRasterXSize());
    const int blockLines = blockLinesOf(map);
    for (int line = first; line < last; line += blockLines) {
        const int lines = std::min(blockLines, last - line);
        warper_->take(i, line, lines, ahead, values_[i]);
        slotsOf(map, tables_, values_[i], slots + width * static_cast<std::size_t>(line - first));
    }
}

void MapSlots::holdRows(std::size_t i, int first, int last)
{
    RowBand& band = rows_[i];
    if (band.first <= first && last <= band.last) {
        return;
    }
    const ParameterMap& map = maps_[i];
    const auto width = static_cast<std::size_t>(map.warped->GetRasterXSize());
    const int blockLines = blockLinesOf(map);
    // Whole rows of the warp's blocks, so that each block is warped once on
    // the way down the scene whatever windows are asked for.
    const int newFirst = first / blockLines * blockLines;
    const int newLast =
        std::min(map.warped->GetRasterYSize(), (last + blockLines - 1) / blockLines * blockLines);
    // The warp thread goes on as far again as the rows held.
    const int ahead = newLast + (newLast - newFirst);
    // The rows kept move in place to their new offset, so that no second
    // buffer is ever held.
    std::vector<std::int32_t>& slots = band.slots;
    const int keptFirst = std::max(newFirst, band.first);
    const int keptLast = std::min(newLast, band.last);
    const auto rowOffset = [&](int row, int bandFirst) {
        return static_cast<std::ptrdiff_t>(width * static_cast<std::size_t>(row - bandFirst));
    };
    const std::size_t size = width * static_cast<std::size_t>(newLast - newFirst);
    const int oldFirst = band.first;
    band.first = band.last = 0; // until every row is read
    if (size > slots.size()) {
        slots.resize(size);
    }
    if (keptFirst < keptLast) {
        const auto from = slots.begin() + rowOffset(keptFirst, oldFirst);
        const auto to = slots.begin() + rowOffset(keptFirst, newFirst);
        const auto count = rowOffset(keptLast, keptFirst);
        if (to < from) {
            std::copy(from, from + count, to);
        } else if (from < to) {
            std::copy_backward(from, from + count, to + count);
        }
        if (newFirst < keptFirst) {
            readRows(i, newFirst, keptFirst, ahead, slots.data());
        }
        if (keptLast < newLast) {
            readRows(i, keptLast, newLast, ahead, slots.data() + rowOffset(keptLast, newFirst));
        }
    } else {
        readRows(i, newFirst, newLast, ahead, slots.data());
    }
    slots.resize(size);
    band.first = newFirst;
    band.last = newLast;
}

MapBlockSlots MapSlots::window(int x, int y, int width, int lines)
{
    const std::array<int, 4> key = {x, y, width, lines};
    if (cached_ != key) {
        cached_.reset();
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            holdRows(i, y, y + lines);
        }
        current_ = {};
        for (std::size_t i = 0; i < maps_.size(); ++i) {
            const RowBand& band = rows_[i];
            const auto sceneWidth = static_cast<std::size_t>(maps_[i].warped->GetRasterXSize());
            const bool elevation = maps_[i].quantity == MapQuantity::elevation;
            const std::int32_t*& slots =
                elevation ? current_.elevation : current_.aerosolOpticalDepth;
            if (x == 0 && static_cast<std::size_t>(width) == sceneWidth) {
                // Whole lines: the rows held are the window's slots.
                slots = band.slots.data() + sceneWidth * static_cast<std::size_t>(y - band.first);
                continue;
            }
            auto& target = elevation ? elevationSlots_ : aerosolSlots_;
            target.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(lines));
            slots = target.data();
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
    return current_;
}

} // namespace talvex::geo

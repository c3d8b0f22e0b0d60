// Maps of surface elevation and aerosol optical depth: any raster GDAL
// reads, in any CRS, resolution and extent, reprojected onto the scene's
// grid by GDAL's warper as the scene is read, block by block, and turned
// into the processor library's per-pixel term slots.
#pragma once

#include "failure.h"
#include "pixel_terms.h"
#include "run_parameters.h"
#include "scene.h"
#include "talvex_geo.h"

#include <gdal_priv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvex::geo {

// One map, checked, with its warp onto the scene's grid.
struct ParameterMap {
    MapQuantity quantity;
    std::string path;
    std::string resampling; // GDAL's name of the resampling onto the scene's grid
    bool holes;             // whether the map marks pixels without a value (no-data value, mask)
    GDALDatasetUniquePtr source;
    GDALDatasetUniquePtr warped; // on the scene's grid, Float32, NaN where the map has no data
};

// Opens a map and checks it against the scene: one band of real values, a
// CRS and a geotransform, and an extent that covers the scene's. Throws an
// input Failure naming the file and what is wrong (for the extent, both
// extents), or a parameters Failure for an unknown resampling, before
// anything is written.
ParameterMap openParameterMap(MapQuantity quantity, const std::string& path, const Scene& scene,
                              const std::string& resampling);

class MapWarper;

// The slots of the pixels of scene windows, for the maps given. Each map is
// warped in full-width rows of its warp's blocks, kept until the windows
// move past them; the last window's slots are kept too, since the four bands
// and the mask read the same windows in turn. The rows are warped on a
// thread of their own, a window's height ahead of the windows asked for (the
// same GDAL calls on the same rows, so the same values).
class MapSlots {
public:
    // At most one map of each quantity.
    MapSlots(std::vector<ParameterMap> maps, const RunParameters& parameters);
    ~MapSlots();
    MapSlots(const MapSlots&) = delete;
    MapSlots& operator=(const MapSlots&) = delete;

    // Slots of the window; throws a Failure naming the map that cannot be
    // read or holds a value out of range.
    MapBlockSlots window(int x, int y, int width, int lines);

    // Whether any map may leave a pixel without a value.
    bool holes() const;

    const PixelTermTables& tables() const
    {
        return tables_;
    }
    const std::vector<ParameterMap>& maps() const
    {
        return maps_;
    }

private:
    // Slots of the scene's lines first to last, full width, of one map.
    struct RowBand {
        int first = 0;
        int last = 0;
        std::vector<std::int32_t> slots;
    };
    // Makes rows_[i] hold the lines first to last.
    void holdRows(std::size_t i, int first, int last);
    // The slots of map i's lines first to last (whole rows of its warp's
    // blocks) into `slots`; the warp thread is let go on to line `ahead`.
    void readRows(std::size_t i, int first, int last, int ahead, std::int32_t* slots);

    std::vector<ParameterMap> maps_;
    PixelTermTables tables_;
    std::array<std::vector<float>, 2> values_; // scratch of each map
    std::array<RowBand, 2> rows_;              // of each map
    std::vector<std::int32_t> elevationSlots_;
    std::vector<std::int32_t> aerosolSlots_;
    std::optional<std::array<int, 4>> cached_; // x, y, width, lines of the slots held
    MapBlockSlots current_; // their slots: in the rows held for whole lines, else copied
    std::unique_ptr<MapWarper> warper_; // started at the first window; stopped first
};

} // namespace talvex::geo

#include "reflectance_dataset.h"

#include "geo_messages.h"
#include "parameter_fields.h"
#include "plausibility.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

#include <cpl_error.h>

namespace talvex::geo {

namespace {

// DNs read from the scene per piece of a request: bounds the scratch memory
// whatever window a driver asks for.
constexpr std::size_t PIECE_PIXELS = std::size_t{1} << 20;
// The blocks the drivers are offered: whole lines, in runs as tall as a
// GeoTIFF's tiles (fewer for wide scenes), whatever the input's own blocks,
// which GDAL's block cache holds beneath.
constexpr int BLOCK_LINES = 256;

void setBlockSize(int samples, int lines, int& blockWidth, int& blockHeight)
{
    blockWidth = samples;
    const auto fitting = static_cast<int>(
        std::max<std::size_t>(1, PIECE_PIXELS / static_cast<std::size_t>(samples)));
    blockHeight = std::min({lines, BLOCK_LINES, fitting});
}
// Mask values: GDAL's convention for valid and for missing pixels.
constexpr GByte MASK_VALID = 255;
constexpr GByte MASK_MISSING = 0;

std::string bandDescription(int band)
{
    return "Band " + std::to_string(band) + " (" + BAND_COLOURS[bandIndex(band)] + ")";
}

// A window of the raster and where its values go in the caller's buffer.
struct Window {
    int x;
    int y;
    int width;
    int height;
    GByte* data;
    GSpacing pixelSpacing;
    GSpacing lineSpacing;
};

// Lines of `window` taken per piece.
int linesPerPiece(const Window& window)
{
    return static_cast<int>(
        std::max<std::size_t>(1, PIECE_PIXELS / static_cast<std::size_t>(window.width)));
}

bool readDn(GDALRasterBand& band, int x, int y, int width, int lines, std::uint16_t* dn)
{
    return band.RasterIO(GF_Read, x, y, width, lines, dn, width, lines, GDT_UInt16, 0, 0, nullptr)
           == CE_None;
}

bool readMask(GDALRasterBand& mask, int x, int y, int width, int lines, GByte* values)
{
    return mask.RasterIO(GF_Read, x, y, width, lines, values, width, lines, GDT_Byte, 0, 0, nullptr)
           == CE_None;
}

// The window of one block, written with the block's own line length.
// The caller's buffer as a window, when a request can be served straight
// into it: a read at full resolution in the band's own data type, which is
// how drivers copy. Other requests go through GDAL's generic path.
std::optional<Window> directWindow(GDALRWFlag access, int x, int y, int width, int height,
                                   void* data, int bufferWidth, int bufferHeight,
                                   GDALDataType bufferType, GDALDataType bandType,
                                   GSpacing pixelSpacing, GSpacing lineSpacing)
{
    if (access != GF_Read || bufferWidth != width || bufferHeight != height
        || bufferType != bandType) {
        return std::nullopt;
    }
    return Window{x, y, width, height, static_cast<GByte*>(data), pixelSpacing, lineSpacing};
}

Window blockWindow(GDALRasterBand& band, int blockX, int blockY, void* data, GSpacing valueBytes)
{
    int blockWidth = 0;
    int blockHeight = 0;
    band.GetBlockSize(&blockWidth, &blockHeight);
    const int x = blockX * blockWidth;
    const int y = blockY * blockHeight;
    return Window{x,
                  y,
                  std::min(blockWidth, band.GetXSize() - x),
                  std::min(blockHeight, band.GetYSize() - y),
                  static_cast<GByte*>(data),
                  valueBytes,
                  valueBytes * blockWidth};
}

// The slots of a window from its `offset`-th pixel on.
MapBlockSlots slotsFrom(const MapBlockSlots& slots, std::size_t offset)
{
    return {slots.elevation != nullptr ? slots.elevation + offset : nullptr,
            slots.aerosolOpticalDepth != nullptr ? slots.aerosolOpticalDepth + offset : nullptr};
}

} // namespace

// A pixel of the mask is valid when every band has a DN other than 0 that the
// input does not mark as no data; one mask serves all four bands.
class ValidityMaskBand final : public GDALRasterBand {
public:
    ValidityMaskBand(ReflectanceDataset* dataset, const Scene& scene, MapSlots* maps)
        : paths_(scene.bandPaths), dnZeroMarked_(scene.staged != nullptr), maps_(maps)
    {
        poDS = dataset;
        nBand = 0;
        eDataType = GDT_Byte;
        nRasterXSize = scene.samples;
        nRasterYSize = scene.lines;
        setBlockSize(nRasterXSize, nRasterYSize, nBlockXSize, nBlockYSize);
        for (std::size_t i = 0; i < scene.bands.size(); ++i) {
            sources_[i] = scene.bands[i];
            sourceMasks_[i] = scene.inputMasks[i];
            // One file's alpha serves all its bands: it is read once.
            const bool sharedAlpha = i > 0 && scene.alphaBands[i] == scene.alphaBands[i - 1];
            alphas_[i] = sharedAlpha ? nullptr : scene.alphaBands[i];
        }
    }

protected:
    CPLErr IReadBlock(int blockX, int blockY, void* data) override
    {
        return fill(blockWindow(*this, blockX, blockY, data, 1));
    }

    CPLErr IRasterIO(GDALRWFlag access, int x, int y, int width, int height, void* data,
                     int bufferWidth, int bufferHeight, GDALDataType bufferType,
                     GSpacing pixelSpacing, GSpacing lineSpacing,
                     GDALRasterIOExtraArg* extra) override
    {
        if (const auto window =
                directWindow(access, x, y, width, height, data, bufferWidth, bufferHeight,
                             bufferType, GDT_Byte, pixelSpacing, lineSpacing)) {
            return fill(*window);
        }
        return GDALRasterBand::IRasterIO(access, x, y, width, height, data, bufferWidth,
                                         bufferHeight, bufferType, pixelSpacing, lineSpacing,
                                         extra);
    }

private:
    CPLErr fill(const Window& window)
    {
        const int step = linesPerPiece(window);
        const std::size_t piecePixels = static_cast<std::size_t>(window.width) * step;
        std::vector<GByte> valid(piecePixels);
        std::vector<std::uint16_t> dn(piecePixels);
        std::vector<GByte> inputMask(piecePixels);
        for (int line = 0; line < window.height; line += step) {
            const int lines = std::min(step, window.height - line);
            const std::size_t n = static_cast<std::size_t>(window.width) * lines;
            std::fill_n(valid.begin(), n, MASK_VALID);
            for (std::size_t b = 0; b < sources_.size(); ++b) {
                if (dnZeroMarked_) {
                    // A working copy's validity already marks the DNs of 0.
                } else if (!readDn(*sources_[b], window.x, window.y + line, window.width, lines,
                                   dn.data())) {
                    static_cast<ReflectanceDataset*>(poDS)->noteReadFailure(paths_[b]);
                    return CE_Failure;
                }
                for (std::size_t k = 0; k < n && !dnZeroMarked_; ++k) {
                    if (dn[k] == 0) {
                        valid[k] = MASK_MISSING;
                    }
                }
                for (GDALRasterBand* marks : {sourceMasks_[b], alphas_[b]}) {
                    if (marks == nullptr) {
                        continue;
                    }
                    if (!readMask(*marks, window.x, window.y + line, window.width, lines,
                                  inputMask.data())) {
                        static_cast<ReflectanceDataset*>(poDS)->noteReadFailure(paths_[b]);
                        return CE_Failure;
                    }
                    for (std::size_t k = 0; k < n; ++k) {
                        if (inputMask[k] == 0) {
                            valid[k] = MASK_MISSING;
                        }
                    }
                }
            }
            if (maps_ != nullptr && maps_->holes()
                && !maskMapHoles(window.x, window.y + line, window.width, lines, valid.data())) {
                return CE_Failure;
            }
            for (int l = 0; l < lines; ++l) {
                GByte* out = window.data + (line + l) * window.lineSpacing;
                const GByte* in = valid.data() + static_cast<std::size_t>(l) * window.width;
                for (int s = 0; s < window.width; ++s) {
                    out[s * window.pixelSpacing] = in[s];
                }
            }
        }
        return CE_None;
    }

    // Pixels where a map has no value are missing too.
    bool maskMapHoles(int x, int y, int width, int lines, GByte* valid)
    {
        try {
            const MapBlockSlots slots = maps_->window(x, y, width, lines);
            const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(lines);
            for (const std::int32_t* mapSlots : {slots.elevation, slots.aerosolOpticalDepth}) {
                for (std::size_t k = 0; mapSlots != nullptr && k < n; ++k) {
                    if (mapSlots[k] == MAP_NO_DATA_SLOT) {
                        valid[k] = MASK_MISSING;
                    }
                }
            }
            return true;
        } catch (const Failure& failure) {
            static_cast<ReflectanceDataset*>(poDS)->noteFailure(failure);
            return false;
        }
    }

    std::array<std::string, BAND_COUNT> paths_;
    bool dnZeroMarked_; // the input masks hold DN 0 already
    MapSlots* maps_;
    std::array<GDALRasterBand*, BAND_COUNT> sources_{};
    std::array<GDALRasterBand*, BAND_COUNT> sourceMasks_{}; // null where the input marks nothing
    std::array<GDALRasterBand*, BAND_COUNT>
        alphas_{}; // null where none, or read for an earlier band
};

namespace {

// Counts the DNs above full scale of one band, each pixel once: drivers may
// read a pixel twice (a COG's overviews, then its image), so each line keeps
// the span of samples already counted, which reads extend piece by piece.
class FullScaleCount {
public:
    explicit FullScaleCount(int lines) : counted_(static_cast<std::size_t>(lines)) {}

    void add(int line, int x, std::span<const std::uint16_t> dn)
    {
        Span& done = counted_[static_cast<std::size_t>(line)];
        const int end = x + static_cast<int>(dn.size());
        if (done.begin == done.end) {
            done = {x, end};
            total_ += countDnAboveFullScale(dn);
            return;
        }
        // The parts outside what is counted: before it and after it.
        if (x < done.begin) {
            total_ += countDnAboveFullScale(
                dn.first(static_cast<std::size_t>(std::min(end, done.begin) - x)));
        }
        if (end > done.end) {
            const int from = std::max(x, done.end);
            total_ += countDnAboveFullScale(dn.subspan(static_cast<std::size_t>(from - x)));
        }
        done = {std::min(done.begin, x), std::max(done.end, end)};
    }

    std::uint64_t total() const
    {
        return total_;
    }

private:
    struct Span {
        int begin = 0;
        int end = 0;
    };
    std::vector<Span> counted_;
    std::uint64_t total_ = 0;
};

// One band of reflectance: the scene's DNs through the band's table.
class ReflectanceBand final : public GDALRasterBand {
public:
    ReflectanceBand(ReflectanceDataset* dataset, int number, GDALRasterBand* source,
                    std::string sourcePath, std::span<const float, DN_VALUES> table,
                    GDALRasterBand* mask, bool countingFullScale, MapSlots* maps)
        : source_(source), sourcePath_(std::move(sourcePath)), table_(table), mask_(mask),
          maps_(maps)
    {
        if (countingFullScale) {
            fullScale_.emplace(source->GetYSize());
        }
        poDS = dataset;
        nBand = number;
        eDataType = GDT_Float32;
        nRasterXSize = source->GetXSize();
        nRasterYSize = source->GetYSize();
        setBlockSize(nRasterXSize, nRasterYSize, nBlockXSize, nBlockYSize);
    }

    GDALRasterBand* GetMaskBand() override
    {
        return mask_;
    }
    int GetMaskFlags() override
    {
        return GMF_PER_DATASET;
    }
    std::uint64_t dnAboveFullScale() const
    {
        return fullScale_ ? fullScale_->total() : 0;
    }

    // The DNs of `lines` lines of the scene's band, the failure noted.
    bool readLines(int x, int y, int width, int lines, std::uint16_t* dn)
    {
        if (!readDn(*source_, x, y, width, lines, dn)) {
            static_cast<ReflectanceDataset*>(poDS)->noteReadFailure(sourcePath_);
            return false;
        }
        return true;
    }

    // Counts the DNs above full scale of one line's span, if this band counts.
    void countFullScale(int line, int x, std::span<const std::uint16_t> dn)
    {
        if (fullScale_) {
            fullScale_->add(line, x, dn);
        }
    }

protected:
    CPLErr IReadBlock(int blockX, int blockY, void* data) override
    {
        return convert(blockWindow(*this, blockX, blockY, data, sizeof(float)));
    }

    CPLErr IRasterIO(GDALRWFlag access, int x, int y, int width, int height, void* data,
                     int bufferWidth, int bufferHeight, GDALDataType bufferType,
                     GSpacing pixelSpacing, GSpacing lineSpacing,
                     GDALRasterIOExtraArg* extra) override
    {
        if (const auto window =
                directWindow(access, x, y, width, height, data, bufferWidth, bufferHeight,
                             bufferType, GDT_Float32, pixelSpacing, lineSpacing)) {
            return convert(*window);
        }
        return GDALRasterBand::IRasterIO(access, x, y, width, height, data, bufferWidth,
                                         bufferHeight, bufferType, pixelSpacing, lineSpacing,
                                         extra);
    }

private:
    CPLErr convert(const Window& window)
    {
        const int step = linesPerPiece(window);
        std::vector<std::uint16_t> dn(static_cast<std::size_t>(window.width) * step);
        std::vector<float> values(window.pixelSpacing == sizeof(float) ? 0 : dn.size());
        for (int line = 0; line < window.height; line += step) {
            const int lines = std::min(step, window.height - line);
            if (!readLines(window.x, window.y + line, window.width, lines, dn.data())) {
                return CE_Failure;
            }
            MapBlockSlots slots;
            if (maps_ != nullptr) {
                try {
                    slots = maps_->window(window.x, window.y + line, window.width, lines);
                } catch (const Failure& failure) {
                    static_cast<ReflectanceDataset*>(poDS)->noteFailure(failure);
                    return CE_Failure;
                }
            }
            for (int l = 0; l < lines; ++l) {
                GByte* out = window.data + (line + l) * window.lineSpacing;
                const std::size_t offset = static_cast<std::size_t>(l) * window.width;
                const std::uint16_t* in = dn.data() + offset;
                const auto count = static_cast<std::size_t>(window.width);
                countFullScale(window.y + line + l, window.x, std::span(in, count));
                float* lineValues = window.pixelSpacing == sizeof(float)
                                        ? reinterpret_cast<float*>(out)
                                        : values.data();
                if (maps_ != nullptr) {
                    applyPixelTerms(maps_->tables(), nBand + FIRST_BAND - 1, table_, in,
                                    slotsFrom(slots, offset), lineValues, count);
                } else {
                    applyBandTable(table_, in, lineValues, count);
                }
                if (window.pixelSpacing == sizeof(float)) {
                    continue;
                }
                // Interleaved with other bands: spread.
                for (std::size_t s = 0; s < count; ++s) {
                    std::memcpy(out + static_cast<GSpacing>(s) * window.pixelSpacing, &values[s],
                                sizeof(float));
                }
            }
        }
        return CE_None;
    }

    GDALRasterBand* source_;
    std::string sourcePath_;
    std::span<const float, DN_VALUES>
        table_; // TOA when `maps_` is given, else the reflectance's own
    GDALRasterBand* mask_;
    MapSlots* maps_;
    std::optional<FullScaleCount> fullScale_;
};

} // namespace

ReflectanceDataset::ReflectanceDataset(const Scene& scene, Reflectance reflectance,
                                       const RunParameters& p, const std::string& programVersion,
                                       MapSlots* maps)
    : georeference_(georeferenceSource(scene)), tables_(BAND_COUNT * DN_VALUES)
{
    nRasterXSize = scene.samples;
    nRasterYSize = scene.lines;
    eAccess = GA_ReadOnly;
    if (reflectance != Reflectance::surface) {
        maps = nullptr;
    }
    maps_ = maps;
    mask_ = std::make_unique<ValidityMaskBand>(this, scene, maps);

    const RadiometricSetup setup = radiometricSetup(p);
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t i = bandIndex(band);
        const DnTable table(tables_.data() + i * DN_VALUES, DN_VALUES);
        // With maps, the pixels go through the TOA table and their own terms.
        fillBandTable(maps != nullptr ? Reflectance::topOfAtmosphere : reflectance, band, p, setup,
                      table);
        auto* output = new ReflectanceBand(this, static_cast<int>(i) + 1, scene.bands[i],
                                           scene.bandPaths[i], table, mask_.get(),
                                           reflectance == Reflectance::topOfAtmosphere, maps);
        SetBand(static_cast<int>(i) + 1, output); // the dataset owns its bands
        output->SetDescription(bandDescription(band).c_str());
        output->SetMetadataItem("talvex_band", std::to_string(band).c_str());
        output->SetMetadataItem("talvex_lmin", shortestText(p.lmin[i]).c_str());
        output->SetMetadataItem("talvex_lmax", shortestText(p.lmax[i]).c_str());
    }

    // The run's parameters, under the names the Python package gives them.
    SetMetadataItem(VERSION_ITEM, programVersion.c_str());
    SetMetadataItem(PRODUCT_ITEM, reflectance == Reflectance::topOfAtmosphere
                                      ? "top-of-atmosphere reflectance"
                                      : "surface reflectance");
    for (const MetadataItem& item : parameterMetadata(p)) {
        SetMetadataItem(item.key.c_str(), item.value.c_str());
    }
    // Where each pixel's elevation and optical depth came from, and their step.
    if (maps != nullptr) {
        for (const ParameterMap& map : maps->maps()) {
            const std::string item = map.quantity == MapQuantity::elevation
                                         ? "talvex_elevation"
                                         : "talvex_aerosol_optical_depth";
            SetMetadataItem((item + "_map").c_str(), map.path.c_str());
            SetMetadataItem((item + "_quantisation").c_str(),
                            mapQuantisationText(map.quantity).c_str());
            SetMetadataItem((item + "_map_resampling").c_str(), map.resampling.c_str());
        }
    }
    // Whether a coordinate names a pixel's corner or its centre, and a
    // sensor model, belong to the grid as much as the geotransform does.
    if (const char* areaOrPoint = georeference_.GetMetadataItem(GDALMD_AREA_OR_POINT)) {
        SetMetadataItem(GDALMD_AREA_OR_POINT, areaOrPoint);
    }
    if (char** rpc = georeference_.GetMetadata("RPC")) {
        SetMetadata(rpc, "RPC");
    }
}

ReflectanceDataset::~ReflectanceDataset() = default;

CPLErr ReflectanceDataset::GetGeoTransform(double* transform)
{
    return georeference_.GetGeoTransform(transform);
}

const OGRSpatialReference* ReflectanceDataset::GetSpatialRef() const
{
    return georeference_.GetSpatialRef();
}

int ReflectanceDataset::GetGCPCount()
{
    return georeference_.GetGCPCount();
}

const OGRSpatialReference* ReflectanceDataset::GetGCPSpatialRef() const
{
    return georeference_.GetGCPSpatialRef();
}

const GDAL_GCP* ReflectanceDataset::GetGCPs()
{
    return georeference_.GetGCPs();
}

CPLErr ReflectanceDataset::IRasterIO(GDALRWFlag access, int x, int y, int width, int height,
                                     void* data, int bufferWidth, int bufferHeight,
                                     GDALDataType bufferType, int bandCount, int* bandMap,
                                     GSpacing pixelSpacing, GSpacing lineSpacing,
                                     GSpacing bandSpacing, GDALRasterIOExtraArg* extra)
{
    // Where each band's values go, when the request takes all four once.
    std::array<GByte*, BAND_COUNT> bandData{};
    bool allBands = maps_ != nullptr && access == GF_Read && bufferWidth == width
                    && bufferHeight == height && bufferType == GDT_Float32
                    && bandCount == BAND_COUNT;
    for (int k = 0; allBands && k < bandCount; ++k) {
        const int number = bandMap != nullptr ? bandMap[k] : k + 1;
        allBands = number >= 1 && number <= BAND_COUNT
                   && bandData[static_cast<std::size_t>(number - 1)] == nullptr;
        if (allBands) {
            bandData[static_cast<std::size_t>(number - 1)] =
                static_cast<GByte*>(data) + k * bandSpacing;
        }
    }
    if (allBands) {
        return convertBands(x, y, width, height, bandData, pixelSpacing, lineSpacing);
    }
    return GDALDataset::IRasterIO(access, x, y, width, height, data, bufferWidth, bufferHeight,
                                  bufferType, bandCount, bandMap, pixelSpacing, lineSpacing,
                                  bandSpacing, extra);
}

CPLErr ReflectanceDataset::convertBands(int x, int y, int width, int height,
                                        const std::array<GByte*, BAND_COUNT>& bandData,
                                        GSpacing pixelSpacing, GSpacing lineSpacing)
{
    if (width <= 0 || height <= 0) {
        return CE_None;
    }
    const auto samples = static_cast<std::size_t>(width);
    // The map slots are taken in the pieces the bands and the mask take
    // them in (they keep the last window's); the DNs of the four bands in
    // pieces a quarter of that size, so that the scratch stays as small.
    const auto slotLines = static_cast<int>(std::max<std::size_t>(1, PIECE_PIXELS / samples));
    const int dnLines = std::max(1, slotLines / BAND_COUNT);
    const std::size_t dnStride = samples * static_cast<std::size_t>(dnLines);
    std::vector<std::uint16_t> dn(BAND_COUNT * dnStride);
    // The values of one line, band after band, when they cannot be written
    // in place (pixel-interleaved requests).
    const bool inPlace = pixelSpacing == sizeof(float) && bandData[0] < bandData[1]
                         && bandData[1] < bandData[2] && bandData[2] < bandData[3]
                         && (bandData[1] - bandData[0]) % sizeof(float) == 0
                         && bandData[2] - bandData[1] == bandData[1] - bandData[0]
                         && bandData[3] - bandData[2] == bandData[1] - bandData[0];
    std::vector<float> values(inPlace ? 0 : BAND_COUNT * samples);
    const std::size_t outStride =
        inPlace ? static_cast<std::size_t>(bandData[1] - bandData[0]) / sizeof(float) : samples;
    std::array<ReflectanceBand*, BAND_COUNT> bands{};
    for (std::size_t b = 0; b < bands.size(); ++b) {
        bands[b] = static_cast<ReflectanceBand*>(papoBands[b]);
    }

    for (int line = 0; line < height; line += slotLines) {
        const int lines = std::min(slotLines, height - line);
        MapBlockSlots slots;
        try {
            slots = maps_->window(x, y + line, width, lines);
        } catch (const Failure& failure) {
            noteFailure(failure);
            return CE_Failure;
        }
        for (int part = 0; part < lines; part += dnLines) {
            const int partLines = std::min(dnLines, lines - part);
            for (std::size_t b = 0; b < bands.size(); ++b) {
                if (!bands[b]->readLines(x, y + line + part, width, partLines,
                                         dn.data() + b * dnStride)) {
                    return CE_Failure;
                }
            }
            for (int l = 0; l < partLines; ++l) {
                const std::size_t dnOffset = static_cast<std::size_t>(l) * samples;
                const std::size_t slotOffset = static_cast<std::size_t>(part + l) * samples;
                const int sceneLine = y + line + part + l;
                for (std::size_t b = 0; b < bands.size(); ++b) {
                    bands[b]->countFullScale(
                        sceneLine, x, std::span(dn.data() + b * dnStride + dnOffset, samples));
                }
                const MapBlockSlots lineSlots = slotsFrom(slots, slotOffset);
                const GSpacing lineStart = (line + part + l) * lineSpacing;
                float* out =
                    inPlace ? reinterpret_cast<float*>(bandData[0] + lineStart) : values.data();
                applyPixelTermsToBands(maps_->tables(), tables_.data(), dn.data() + dnOffset,
                                       dnStride, lineSlots, out, outStride, samples);
                if (inPlace) {
                    continue;
                }
                // Interleaved: spread each band's values.
                for (std::size_t b = 0; b < bands.size(); ++b) {
                    GByte* to = bandData[b] + lineStart;
                    const float* from = values.data() + b * samples;
                    for (std::size_t s = 0; s < samples; ++s) {
                        std::memcpy(to + static_cast<GSpacing>(s) * pixelSpacing, &from[s],
                                    sizeof(float));
                    }
                }
            }
        }
    }
    return CE_None;
}

std::array<std::uint64_t, BAND_COUNT> ReflectanceDataset::dnAboveFullScale() const
{
    std::array<std::uint64_t, BAND_COUNT> counts{};
    for (std::size_t i = 0; i < counts.size(); ++i) {
        counts[i] = static_cast<ReflectanceBand*>(papoBands[i])->dnAboveFullScale();
    }
    return counts;
}

void ReflectanceDataset::noteFailure(const Failure& failure)
{
    if (!readFailure_) {
        readFailure_ = failure;
    }
}

void ReflectanceDataset::noteReadFailure(const std::string& path)
{
    if (!readFailure_) {
        const std::string reason = CPLGetLastErrorMsg();
        readFailure_ =
            cannotReadInput(path, reason.empty() ? std::string("GDAL cannot read it") : reason);
    }
}

} // namespace talvex::geo

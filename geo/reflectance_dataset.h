// A reflectance image as a GDAL dataset computed on the fly from the DN
// scene: GDAL's drivers copy it into any format (GTiff, COG with its
// overviews, ENVI) as they would copy a file, while every value comes from the
// processor library's per-band DN tables. Its mask marks the pixels without
// data.
#pragma once

#include "band_tables.h"
#include "failure.h"
#include "parameter_maps.h"
#include "run_parameters.h"
#include "scene.h"

#include <gdal_priv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace talvex::geo {

class ValidityMaskBand;

class ReflectanceDataset final : public GDALDataset {
public:
    // `maps`, when given for the surface reflectance, supplies each pixel's
    // elevation and aerosol optical depth; it must outlive the dataset.
    ReflectanceDataset(const Scene& scene, Reflectance reflectance, const RunParameters& parameters,
                       const std::string& programVersion, MapSlots* maps = nullptr);
    ~ReflectanceDataset() override;

    CPLErr GetGeoTransform(double* transform) override;
    const OGRSpatialReference* GetSpatialRef() const override;
    int GetGCPCount() override;
    const OGRSpatialReference* GetGCPSpatialRef() const override;
    const GDAL_GCP* GetGCPs() override;

    // With maps, a read of all four bands as Float32 at full resolution (how
    // drivers copy a pixel-interleaved output) converts the four bands of
    // each pixel together; other reads go band by band.
    CPLErr IRasterIO(GDALRWFlag access, int x, int y, int width, int height, void* data,
                     int bufferWidth, int bufferHeight, GDALDataType bufferType, int bandCount,
                     int* bandMap, GSpacing pixelSpacing, GSpacing lineSpacing,
                     GSpacing bandSpacing, GDALRasterIOExtraArg* extra) override;

    // The first read of the scene that failed, if any: the copy then fails
    // because of the input, not of the output.
    const std::optional<Failure>& readFailure() const
    {
        return readFailure_;
    }
    void noteReadFailure(const std::string& path);
    void noteFailure(const Failure& failure);

    // Of a top-of-atmosphere dataset: how many DNs of each band (2 to 5)
    // above the calibration's full scale the copy has read, each pixel once
    // however often a driver reads it.
    std::array<std::uint64_t, BAND_COUNT> dnAboveFullScale() const;

private:
    // The four bands of a window at once, band `b` (0 to 3) of a pixel
    // written at bandData[b] plus the pixel's and line's spacing.
    CPLErr convertBands(int x, int y, int width, int height,
                        const std::array<GByte*, BAND_COUNT>& bandData, GSpacing pixelSpacing,
                        GSpacing lineSpacing);

    GDALDataset& georeference_;
    MapSlots* maps_ = nullptr;  // with the surface reflectance only
    std::vector<float> tables_; // the four bands' DN tables, one after the other
    std::unique_ptr<ValidityMaskBand> mask_;
    std::optional<Failure> readFailure_;
};

// Metadata items that say what an output is and what made it.
inline constexpr const char* PRODUCT_ITEM = "talvex_product";
inline constexpr const char* VERSION_ITEM = "talvex_version";

} // namespace talvex::geo

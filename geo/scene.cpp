#include "scene.h"

#include "geo_messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <cpl_error.h>
#include <cpl_string.h>
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

// The bands of a file that carry DNs, and its alpha band if it has one: a
// file of exactly the bands needed is all data, whatever GDAL calls them; a
// file of one more, one of them alpha, has that alpha.
struct FileBands {
    std::vector<GDALRasterBand*> data;
    GDALRasterBand* alpha = nullptr;
};

FileBands fileBands(GDALDataset& dataset, int bandsNeeded)
{
    FileBands bands;
    const int count = dataset.GetRasterCount();
    std::vector<GDALRasterBand*> alphas;
    for (int b = 1; b <= count; ++b) {
        GDALRasterBand* band = dataset.GetRasterBand(b);
        if (count == bandsNeeded + 1 && band->GetColorInterpretation() == GCI_AlphaBand) {
            alphas.push_back(band);
        } else {
            bands.data.push_back(band);
        }
    }
    if (alphas.size() == 1) {
        bands.alpha = alphas.front();
    } else {
        // Several alpha bands, or none: all of them count as data, and the
        // count is refused below.
        bands.data.clear();
        for (int b = 1; b <= count; ++b) {
            bands.data.push_back(dataset.GetRasterBand(b));
        }
    }
    return bands;
}

// The band's own mask, unless it marks nothing or is an alpha band: the
// file's alpha is taken apart, and a band GDAL takes for alpha in a file of
// exactly the bands needed is data.
GDALRasterBand* ownMask(GDALRasterBand& band)
{
    const int flags = band.GetMaskFlags();
    if ((flags & GMF_ALL_VALID) != 0 || (flags & GMF_ALPHA) != 0) {
        return nullptr;
    }
    return band.GetMaskBand();
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
    std::snprintf(text, sizeof text, "(%.10g, %.10g, %.10g, %.10g, %.10g, %.10g)", gt[0], gt[1],
                  gt[2], gt[3], gt[4], gt[5]);
    return text;
}

// The CRS's PROJ string; empty where it has none.
std::string projText(const OGRSpatialReference& crs)
{
    char* proj = nullptr;
    std::string text;
    if (crs.exportToProj4(&proj) == OGRERR_NONE && proj != nullptr) {
        text = proj;
        text.erase(text.find_last_not_of(' ') + 1);
    }
    CPLFree(proj);
    return text;
}

// A CRS as a reader recognises it: its name and authority code, or, for a
// CRS without a name, its PROJ string.
std::string crsText(const OGRSpatialReference* crs)
{
    if (crs == nullptr || crs->IsEmpty()) {
        return "none";
    }
    std::string text;
    const char* name = crs->GetName();
    if (name != nullptr && *name != '\0' && std::strcmp(name, "unknown") != 0
        && std::strcmp(name, "unnamed") != 0) {
        text = quoted(name);
    }
    const char* authority = crs->GetAuthorityName(nullptr);
    const char* code = crs->GetAuthorityCode(nullptr);
    if (authority != nullptr && code != nullptr) {
        if (!text.empty()) {
            text += ' ';
        }
        return text.append("(").append(authority).append(":").append(code).append(")");
    }
    const std::string proj = projText(*crs);
    if (!proj.empty()) {
        if (!text.empty()) {
            text += ' ';
        }
        text.append("(").append(proj).append(")");
    }
    return text.empty() ? std::string("an unnamed CRS") : text;
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
    Grid grid{
        dataset.GetRasterXSize(), dataset.GetRasterYSize(), false, {}, dataset.GetSpatialRef()};
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

// GDAL's own comparison, ignoring axis order; failing that, one definition in
// GDAL's PROJ form: a custom CRS stored by two formats with differently
// spelled names of its datum is still the same CRS.
bool sameCrs(const OGRSpatialReference* a, const OGRSpatialReference* b)
{
    const bool aEmpty = a == nullptr || a->IsEmpty();
    const bool bEmpty = b == nullptr || b->IsEmpty();
    if (aEmpty || bEmpty) {
        return aEmpty == bEmpty;
    }
    const char* const criteria[] = {"CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS",
                                    "IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
    if (a->IsSame(b, criteria) != 0) {
        return true;
    }
    const std::string aProj = projText(*a);
    return !aProj.empty() && aProj == projText(*b);
}

std::string gcpText(int count, const GDAL_GCP* gcps, int index)
{
    if (index >= count) {
        return std::to_string(count) + " ground control points";
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "ground control point %d at pixel %.10g, line %.10g: (%.10g, %.10g, %.10g)",
                  index + 1, gcps[index].dfGCPPixel, gcps[index].dfGCPLine, gcps[index].dfGCPX,
                  gcps[index].dfGCPY, gcps[index].dfGCPZ);
    return text;
}

bool sameGcp(const GDAL_GCP& a, const GDAL_GCP& b)
{
    const auto near = [](double x, double y) {
        return std::fabs(x - y)
               <= GRID_TOLERANCE_PIXELS * std::max(1.0, std::max(std::fabs(x), std::fabs(y)));
    };
    return near(a.dfGCPPixel, b.dfGCPPixel) && near(a.dfGCPLine, b.dfGCPLine)
           && near(a.dfGCPX, b.dfGCPX) && near(a.dfGCPY, b.dfGCPY) && near(a.dfGCPZ, b.dfGCPZ);
}

// Files georeferenced by ground control points alone share them and their CRS.
void checkSameGcps(const std::string& path, GDALDataset& dataset, const std::string& referencePath,
                   GDALDataset& reference)
{
    const int count = dataset.GetGCPCount();
    const int expected = reference.GetGCPCount();
    const GDAL_GCP* gcps = dataset.GetGCPs();
    const GDAL_GCP* expectedGcps = reference.GetGCPs();
    if (count != expected) {
        throw gridMismatch(path, referencePath, "georeference", gcpText(count, gcps, count),
                           gcpText(expected, expectedGcps, expected));
    }
    for (int i = 0; i < count; ++i) {
        if (!sameGcp(gcps[i], expectedGcps[i])) {
            throw gridMismatch(path, referencePath, "georeference", gcpText(count, gcps, i),
                               gcpText(expected, expectedGcps, i));
        }
    }
    if (!sameCrs(dataset.GetGCPSpatialRef(), reference.GetGCPSpatialRef())) {
        throw gridMismatch(path, referencePath, "CRS of its ground control points",
                           crsText(dataset.GetGCPSpatialRef()),
                           crsText(reference.GetGCPSpatialRef()));
    }
}

void checkSameGrid(const std::string& path, GDALDataset& dataset, const std::string& referencePath,
                   GDALDataset& referenceDataset)
{
    const Grid grid = gridOf(dataset);
    const Grid reference = gridOf(referenceDataset);
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
    if (!grid.hasGeoTransform) {
        checkSameGcps(path, dataset, referencePath, referenceDataset);
    }
}

} // namespace

Scene openScene(const std::vector<std::string>& paths)
{
    Scene scene;
    scene.paths = paths;
    const int files = static_cast<int>(paths.size());
    const int bandsPerFile = BAND_COUNT / files;
    std::size_t next = 0;
    for (const std::string& path : paths) {
        CPLErrorReset();
        GDALDatasetUniquePtr dataset(GDALDataset::Open(
            path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr,
            nullptr, nullptr));
        if (!dataset) {
            throw cannotOpenInput(path, lastGdalReason());
        }
        const FileBands bands = fileBands(*dataset, bandsPerFile);
        if (static_cast<int>(bands.data.size()) != bandsPerFile) {
            throw wrongBandCount(path, static_cast<int>(bands.data.size()), files);
        }
        for (std::size_t b = 0; b < bands.data.size(); ++b) {
            GDALRasterBand* band = bands.data[b];
            if (!isDnType(band->GetRasterDataType())) {
                throw wrongPixelType(path, band->GetBand(),
                                     GDALGetDataTypeName(band->GetRasterDataType()));
            }
            scene.bands[next] = band;
            scene.bandPaths[next] = path;
            scene.alphaBands[next] = bands.alpha;
            scene.inputMasks[next] = ownMask(*band);
            ++next;
        }
        if (!scene.datasets.empty()) {
            checkSameGrid(path, *dataset, paths.front(), *scene.datasets.front());
        }
        scene.datasets.push_back(std::move(dataset));
    }
    scene.samples = scene.datasets.front()->GetRasterXSize();
    scene.lines = scene.datasets.front()->GetRasterYSize();
    return scene;
}

std::vector<std::string> inputFiles(const Scene& scene)
{
    std::vector<std::string> names = scene.paths;
    for (const GDALDatasetUniquePtr& dataset : scene.datasets) {
        const CPLStringList list(dataset->GetFileList());
        for (int i = 0; i < list.size(); ++i) {
            names.emplace_back(list[i]);
        }
    }
    return names;
}

GIntBig inputBlockRowBytes(const Scene& scene)
{
    GIntBig bytes = 0;
    const auto addRow = [&](GDALRasterBand* band) {
        int blockWidth = 0;
        int blockHeight = 0;
        band->GetBlockSize(&blockWidth, &blockHeight);
        const GIntBig blocks =
            (GIntBig{band->GetXSize()} + blockWidth - 1) / std::max(blockWidth, 1);
        bytes +=
            blocks * blockWidth * blockHeight * GDALGetDataTypeSizeBytes(band->GetRasterDataType());
    };
    for (std::size_t i = 0; i < scene.bands.size(); ++i) {
        addRow(scene.bands[i]);
        if (scene.alphaBands[i] != nullptr
            && (i == 0 || scene.alphaBands[i] != scene.alphaBands[i - 1])) {
            addRow(scene.alphaBands[i]);
        }
    }
    return bytes;
}

GDALDataset& georeferenceSource(const Scene& scene)
{
    return *scene.datasets.front();
}

} // namespace talvex::geo

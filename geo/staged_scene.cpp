#include "staged_scene.h"

#include "geo_messages.h"
#include "interruption.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include <cpl_error.h>
#include <cpl_string.h>

namespace talvex::geo {

namespace {

// The input's block rows that fit in this are read where they are: the
// block cache holds them while every output reads them.
constexpr GIntBig DIRECT_BLOCK_ROW_BYTES = GIntBig{48} << 20;
// Pixels copied per piece: bounds the copy's own buffers.
constexpr std::size_t PIECE_PIXELS = std::size_t{1} << 20;
// The validity band's values (GDAL's mask convention).
constexpr std::uint16_t VALID = 255;
constexpr std::uint16_t MISSING = 0;
constexpr int VALIDITY_BAND = BAND_COUNT + 1;

bool isCompressed(GDALDataset& dataset)
{
    const char* compression = dataset.GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
    return compression != nullptr && !EQUAL(compression, "NONE");
}

bool isPixelInterleaved(GDALDataset& dataset)
{
    const char* interleave = dataset.GetMetadataItem("INTERLEAVE", "IMAGE_STRUCTURE");
    return dataset.GetRasterCount() > 1 && interleave != nullptr && EQUAL(interleave, "PIXEL");
}

GIntBig blockRowBytes(GDALRasterBand& band)
{
    int width = 0;
    int height = 0;
    band.GetBlockSize(&width, &height);
    const GIntBig blocks = (GIntBig{band.GetXSize()} + width - 1) / std::max(width, 1);
    return blocks * width * height * GDALGetDataTypeSizeBytes(band.GetRasterDataType());
}

// Lines read at a time: whole blocks of the input, within the piece size.
int linesPerPiece(GDALRasterBand& band, int samples)
{
    int width = 0;
    int height = 0;
    band.GetBlockSize(&width, &height);
    const int fitting = static_cast<int>(
        std::max<std::size_t>(1, PIECE_PIXELS / static_cast<std::size_t>(samples)));
    return height <= fitting ? std::max(1, fitting / height * height) : fitting;
}

class StagingCopy {
public:
    StagingCopy(Scene& scene, GDALDataset& staged, GdalMessages& messages, CopyProgress& progress,
                std::string outputName)
        : scene_(scene), staged_(staged), messages_(messages), progress_(progress),
          outputName_(std::move(outputName))
    {
    }

    // Band by band, so that one band's blocks at a time are in the cache.
    void copyBandByBand()
    {
        for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
            const int step = linesPerPiece(*scene_.bands[i], scene_.samples);
            for (int line = 0; line < scene_.lines; line += step) {
                copyPiece(i, line, std::min(step, scene_.lines - line));
                report((static_cast<double>(i) + static_cast<double>(line + step) / scene_.lines)
                       / BAND_COUNT);
            }
            // The band's decoded blocks are not needed again.
            scene_.bands[i]->FlushCache(false);
        }
    }

    // A file that holds its bands pixel by pixel decodes all of them at
    // once: they are read together, in one request per piece.
    void copyBlockRowByBlockRow()
    {
        GDALDataset& dataset = *scene_.datasets.front();
        const int step = linesPerPiece(*scene_.bands.front(), scene_.samples);
        std::array<int, BAND_COUNT> bandNumbers{};
        for (std::size_t i = 0; i < bandNumbers.size(); ++i) {
            bandNumbers[i] = scene_.bands[i]->GetBand();
        }
        std::vector<std::uint16_t> all;
        for (int line = 0; line < scene_.lines; line += step) {
            const int lines = std::min(step, scene_.lines - line);
            const std::size_t n = static_cast<std::size_t>(scene_.samples) * lines;
            all.resize(n * BAND_COUNT);
            constexpr GSpacing VALUE_BYTES = sizeof(std::uint16_t);
            if (dataset.RasterIO(GF_Read, 0, line, scene_.samples, lines, all.data(),
                                 scene_.samples, lines, GDT_UInt16, BAND_COUNT, bandNumbers.data(),
                                 VALUE_BYTES, VALUE_BYTES * scene_.samples,
                                 VALUE_BYTES * static_cast<GSpacing>(n), nullptr)
                != CE_None) {
                failReading(scene_.paths.front());
            }
            for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
                copyPiece(i, line, lines, all.data() + i * n);
            }
            report(static_cast<double>(line + lines) / scene_.lines);
        }
    }

private:
    // One piece of band i: its DNs (read here when not given) into the copy,
    // and its no-data pixels into the copy's validity.
    void copyPiece(std::size_t i, int line, int lines, std::uint16_t* given = nullptr)
    {
        {
            const int samples = scene_.samples;
            const std::size_t n = static_cast<std::size_t>(samples) * lines;
            dn_.resize(std::max(dn_.size(), n));
            validity_.resize(dn_.size());
            marks_.resize(dn_.size());
            std::uint16_t* dn = given != nullptr ? given : dn_.data();
            std::uint16_t* validity = validity_.data();
            GByte* marks = marks_.data();
            if (given == nullptr) {
                read(*scene_.bands[i], line, lines, GDT_UInt16, dn, scene_.bandPaths[i]);
            }
            write(*staged_.GetRasterBand(static_cast<int>(i) + 1), line, lines, dn);
            // The validity so far: every pixel valid before the first band.
            if (i == 0) {
                std::fill_n(validity, n, VALID);
            } else {
                read(*staged_.GetRasterBand(VALIDITY_BAND), line, lines, GDT_UInt16, validity,
                     outputName_);
            }
            for (std::size_t k = 0; k < n; ++k) {
                if (dn[k] == 0) {
                    validity[k] = MISSING;
                }
            }
            const bool sharedAlpha = i > 0 && scene_.alphaBands[i] == scene_.alphaBands[i - 1];
            for (GDALRasterBand* source :
                 {scene_.inputMasks[i], sharedAlpha ? nullptr : scene_.alphaBands[i]}) {
                if (source == nullptr) {
                    continue;
                }
                read(*source, line, lines, GDT_Byte, marks, scene_.bandPaths[i]);
                for (std::size_t k = 0; k < n; ++k) {
                    if (marks[k] == 0) {
                        validity[k] = MISSING;
                    }
                }
            }
            write(*staged_.GetRasterBand(VALIDITY_BAND), line, lines, validity);
        }
    }

    [[noreturn]] void failReading(const std::string& path)
    {
        const std::string reason = messages_.firstFailure();
        throw cannotReadInput(path, reason.empty() ? std::string("GDAL cannot read it") : reason);
    }

    void read(GDALRasterBand& band, int line, int lines, GDALDataType type, void* data,
              const std::string& path)
    {
        if (band.RasterIO(GF_Read, 0, line, scene_.samples, lines, data, scene_.samples, lines,
                          type, 0, 0, nullptr)
            != CE_None) {
            failReading(path);
        }
    }

    void write(GDALRasterBand& band, int line, int lines, std::uint16_t* data)
    {
        if (band.RasterIO(GF_Write, 0, line, scene_.samples, lines, data, scene_.samples, lines,
                          GDT_UInt16, 0, 0, nullptr)
                != CE_None
            || messages_.failureCount() > 0) {
            failWriting();
        }
    }

    void report(double complete)
    {
        if (!progress_.update(complete)) {
            throwIfInterrupted();
            throw cancelled();
        }
    }

public:
    [[noreturn]] void failWriting()
    {
        const std::string reason = messages_.firstFailure();
        throw cannotWriteOutput(
            outputName_, "its working copy of the input beside it could not be written: "
                             + (reason.empty() ? std::string("the disk refused it") : reason));
    }

private:
    Scene& scene_;
    GDALDataset& staged_;
    GdalMessages& messages_;
    CopyProgress& progress_;
    std::string outputName_;
    std::vector<std::uint16_t> dn_;
    std::vector<std::uint16_t> validity_;
    std::vector<GByte> marks_;
};

} // namespace

bool needsStaging(const Scene& scene)
{
    for (const GDALDatasetUniquePtr& dataset : scene.datasets) {
        if (isCompressed(*dataset)) {
            return true;
        }
    }
    return inputBlockRowBytes(scene) > DIRECT_BLOCK_ROW_BYTES;
}

GIntBig stagingCacheBytes(const Scene& scene)
{
    GIntBig largest = 0;
    for (std::size_t i = 0; i < scene.bands.size(); ++i) {
        GDALDataset* dataset = scene.bands[i]->GetDataset();
        const GIntBig bands =
            dataset != nullptr && isPixelInterleaved(*dataset) ? dataset->GetRasterCount() : 1;
        largest = std::max(largest, bands * blockRowBytes(*scene.bands[i]));
    }
    return boundedCacheBytes(largest + largest / 10);
}

void stageScene(Scene& scene, OutputFile& reserved, GdalMessages& messages, CopyProgress& progress,
                const std::string& outputName)
{
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("ENVI");
    if (driver == nullptr) {
        throw cannotWriteOutput(outputName,
                                "this GDAL has no ENVI driver for its working copy of the input");
    }
    const char* const options[] = {"INTERLEAVE=BSQ", "SUFFIX=ADD", nullptr};
    messages.clear();
    GDALDatasetUniquePtr staged(driver->Create(reserved.temporaryPath.c_str(), scene.samples,
                                               scene.lines, VALIDITY_BAND, GDT_UInt16,
                                               const_cast<char**>(options)));
    StagingCopy copy(scene, *staged, messages, progress, outputName);
    if (!staged) {
        copy.failWriting();
    }
    if (scene.datasets.size() == 1 && isPixelInterleaved(*scene.datasets.front())) {
        copy.copyBlockRowByBlockRow();
    } else {
        copy.copyBandByBand();
    }
    staged->FlushCache(false);
    if (messages.failureCount() > 0) {
        copy.failWriting();
    }
    for (std::size_t i = 0; i < scene.bands.size(); ++i) {
        scene.bands[i] = staged->GetRasterBand(static_cast<int>(i) + 1);
        scene.alphaBands[i] = nullptr;
        scene.inputMasks[i] = nullptr;
    }
    scene.inputMasks.front() = staged->GetRasterBand(VALIDITY_BAND);
    scene.staged = std::move(staged);
}

} // namespace talvex::geo

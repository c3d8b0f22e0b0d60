#include "staged_scene.h"

#include "geo_messages.h"
#include "interruption.h"
#include "strip_reader.h"
#include "whole_transfer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <unistd.h>

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

// The raw working copy: five UInt16 bands one after the other (ENVI's BSQ),
// written with positioned writes, so that any window of it is written
// without reading anything back.
// A pixel-interleaved file is copied in windows of whole blocks of all
// bands: as many blocks across as fit in this (whole lines when they do).
constexpr GIntBig WINDOW_BYTES = GIntBig{32} << 20;

struct Window {
    int width;
    int lines;
    GIntBig blockBytes; // of the window's blocks, over all bands of the file
};

Window pixelInterleavedWindow(GDALDataset& dataset, int samples)
{
    GDALRasterBand& band = *dataset.GetRasterBand(1);
    int width = 0;
    int height = 0;
    band.GetBlockSize(&width, &height);
    const GIntBig bands = dataset.GetRasterCount();
    if (width >= samples) {
        return {samples, linesPerPiece(band, samples), bands * blockRowBytes(band)};
    }
    const GIntBig blockBytes =
        GIntBig{width} * height * bands * GDALGetDataTypeSizeBytes(band.GetRasterDataType());
    const GIntBig across = std::max<GIntBig>(1, WINDOW_BYTES / std::max<GIntBig>(blockBytes, 1));
    const int windowWidth = static_cast<int>(std::min<GIntBig>(samples, across * width));
    const GIntBig blocks = (GIntBig{windowWidth} + width - 1) / width;
    return {windowWidth, height, blocks * blockBytes};
}

class WorkingCopyFile {
public:
    WorkingCopyFile(int fd, std::string path, int samples, int lines)
        : fd_(fd), path_(std::move(path)), samples_(samples), lines_(lines)
    {
    }
    ~WorkingCopyFile()
    {
        if (readFd_ >= 0) {
            ::close(readFd_);
        }
    }
    WorkingCopyFile(const WorkingCopyFile&) = delete;
    WorkingCopyFile& operator=(const WorkingCopyFile&) = delete;

    // Rows of a window of band b (0-based), `stride` values apart in `data`;
    // the errno of a failed write, or 0.
    int write(int b, int x, int line, int width, int rows, const std::uint16_t* data,
              std::size_t stride)
    {
        if (x == 0 && width == samples_ && stride == static_cast<std::size_t>(samples_)) {
            return put(data, static_cast<std::size_t>(width) * rows, offset(b, x, line));
        }
        for (int row = 0; row < rows; ++row) {
            if (const int error = put(data + row * stride, static_cast<std::size_t>(width),
                                      offset(b, x, line + row))) {
                return error;
            }
        }
        return 0;
    }

    // Whole lines of band b back; the errno of a failed read, or 0.
    int read(int b, int line, int rows, std::uint16_t* data)
    {
        if (readFd_ < 0) {
            readFd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
            if (readFd_ < 0) {
                return errno;
            }
        }
        auto* start = reinterpret_cast<char*>(data);
        const off_t at = offset(b, 0, line);
        const int error = transferWhole(
            static_cast<std::size_t>(samples_) * rows * sizeof(std::uint16_t),
            [&](std::size_t done, std::size_t left) {
                return ::pread(readFd_, start + done, left, at + static_cast<off_t>(done));
            });
        return error == TRANSFER_ENDED ? EIO : error;
    }

private:
    off_t offset(int b, int x, int line) const
    {
        return static_cast<off_t>(sizeof(std::uint16_t))
               * ((static_cast<off_t>(b) * lines_ + line) * samples_ + x);
    }

    int put(const std::uint16_t* data, std::size_t values, off_t at)
    {
        const auto* start = reinterpret_cast<const char*>(data);
        const int error =
            transferWhole(values * sizeof(std::uint16_t), [&](std::size_t done, std::size_t left) {
                return ::pwrite(fd_, start + done, left, at + static_cast<off_t>(done));
            });
        return error == TRANSFER_ENDED ? ENOSPC : error;
    }

    int fd_;
    std::string path_;
    int readFd_ = -1;
    int samples_;
    int lines_;
};

// Where one band's no-data marks come from besides DN 0, when the input is
// decoded without GDAL: its alpha (a band decoded beside it) and its own
// mask (a no-data value compared here, or any other mask read by GDAL).
struct DecodedMarks {
    const std::uint16_t* alpha = nullptr; // in the piece's buffers
    std::optional<std::uint16_t> noData;
    GDALRasterBand* mask = nullptr;
};

// An integral no-data value a UInt16 band can hold, which GDAL's mask of it
// marks exactly where the DN equals it.
std::optional<std::uint16_t> noDataOf(GDALRasterBand& band)
{
    if (band.GetMaskFlags() != GMF_NODATA) {
        return std::nullopt;
    }
    int has = FALSE;
    const double value = band.GetNoDataValue(&has);
    if (!has || !(value >= 0 && value <= 65535) || value != std::floor(value)) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

class StagingCopy {
public:
    StagingCopy(Scene& scene, WorkingCopyFile& staged, GdalMessages& messages,
                CopyProgress& progress, std::string outputName)
        : scene_(scene), staged_(staged), messages_(messages), progress_(progress),
          outputName_(std::move(outputName))
    {
    }

    // A file that our own strip decoder reads (DEFLATE strips of any size,
    // one per band included): every band and alpha band of every input is
    // decoded a few lines at a time, so neither a whole strip nor its
    // compressed bytes are held. False, having read nothing, when an input
    // is of another layout.
    bool copyDecodedStrips()
    {
        struct Source {
            std::unique_ptr<StripReader> reader;
            std::vector<std::uint16_t*> out;
        };
        std::vector<Source> sources;
        // Buffers: the four DN bands, then the alpha bands.
        std::vector<GDALRasterBand*> decoded(scene_.bands.begin(), scene_.bands.end());
        for (GDALRasterBand* alpha : scene_.alphaBands) {
            if (alpha != nullptr
                && std::find(decoded.begin(), decoded.end(), alpha) == decoded.end()) {
                decoded.push_back(alpha);
            }
        }
        const int step = std::max<int>(
            1, static_cast<int>(PIECE_PIXELS / static_cast<std::size_t>(scene_.samples)));
        const std::size_t n = static_cast<std::size_t>(scene_.samples) * step;
        std::vector<std::vector<std::uint16_t>> buffers(decoded.size());
        for (std::size_t d = 0; d < scene_.datasets.size(); ++d) {
            GDALDataset& dataset = *scene_.datasets[d];
            std::vector<int> numbers;
            Source source;
            for (std::size_t k = 0; k < decoded.size(); ++k) {
                if (decoded[k]->GetDataset() == &dataset) {
                    numbers.push_back(decoded[k]->GetBand());
                    buffers[k].resize(n);
                    source.out.push_back(buffers[k].data());
                }
            }
            source.reader = StripReader::open(dataset, numbers, scene_.paths[d]);
            if (!source.reader) {
                return false;
            }
            sources.push_back(std::move(source));
        }
        for (const std::vector<std::uint16_t>& buffer : buffers) {
            if (buffer.empty()) {
                return false; // a band of no input given (not expected)
            }
        }
        CPLDebug("TALVEX", "working copy: the input's compressed strips decoded by talvex-geo");
        std::array<DecodedMarks, BAND_COUNT> marks;
        for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
            if (scene_.alphaBands[i] != nullptr) {
                const auto at = std::find(decoded.begin(), decoded.end(), scene_.alphaBands[i]);
                marks[i].alpha = buffers[static_cast<std::size_t>(at - decoded.begin())].data();
            }
            if (scene_.inputMasks[i] != nullptr) {
                marks[i].noData = noDataOf(*scene_.bands[i]);
                marks[i].mask = marks[i].noData ? nullptr : scene_.inputMasks[i];
            }
        }
        for (int line = 0; line < scene_.lines; line += step) {
            const int lines = std::min(step, scene_.lines - line);
            const std::size_t count = static_cast<std::size_t>(scene_.samples) * lines;
            for (Source& source : sources) {
                source.reader->read(lines, source.out);
            }
            validity_.assign(count, VALID);
            std::uint16_t* validity = validity_.data();
            const std::uint16_t* previousAlpha = nullptr;
            for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
                const std::uint16_t* dn = buffers[i].data();
                for (std::size_t k = 0; k < count; ++k) {
                    if (dn[k] == 0) {
                        validity[k] = MISSING;
                    }
                }
                if (marks[i].alpha != nullptr && marks[i].alpha != previousAlpha) {
                    const std::uint16_t* alpha = marks[i].alpha;
                    for (std::size_t k = 0; k < count; ++k) {
                        if (alpha[k] == 0) {
                            validity[k] = MISSING;
                        }
                    }
                    previousAlpha = marks[i].alpha;
                }
                if (marks[i].noData) {
                    const std::uint16_t noData = *marks[i].noData;
                    for (std::size_t k = 0; k < count; ++k) {
                        if (dn[k] == noData) {
                            validity[k] = MISSING;
                        }
                    }
                } else if (marks[i].mask != nullptr) {
                    markFrom(*marks[i].mask, 0, line, scene_.samples, lines, validity,
                             scene_.bandPaths[i]);
                }
                write(static_cast<int>(i), 0, line, scene_.samples, lines, dn, scene_.samples);
            }
            write(VALIDITY_BAND - 1, 0, line, scene_.samples, lines, validity, scene_.samples);
            report(static_cast<double>(line + lines) / scene_.lines);
        }
        return true;
    }

    // Band by band, so that one band's blocks at a time are in the cache.
    void copyBandByBand()
    {
        for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
            const int step = linesPerPiece(*scene_.bands[i], scene_.samples);
            for (int line = 0; line < scene_.lines; line += step) {
                copyBandPiece(i, line, std::min(step, scene_.lines - line));
                report((static_cast<double>(i) + static_cast<double>(line + step) / scene_.lines)
                       / BAND_COUNT);
            }
            // The band's decoded blocks are not needed again.
            scene_.bands[i]->FlushCache(false);
        }
    }

    // A file that holds its bands pixel by pixel decodes all of them at
    // once: they are read together, one window of whole blocks at a time
    // (as many blocks across as fit in a window's bytes; whole lines when
    // its blocks are), so that the cache holds one window's blocks.
    void copyWindowByWindow()
    {
        GDALDataset& dataset = *scene_.datasets.front();
        const Window window = pixelInterleavedWindow(dataset, scene_.samples);
        CPLDebug("TALVEX", "working copy: windows of %d x %d pixels", window.width, window.lines);
        std::array<int, BAND_COUNT> bandNumbers{};
        for (std::size_t i = 0; i < bandNumbers.size(); ++i) {
            bandNumbers[i] = scene_.bands[i]->GetBand();
        }
        std::vector<std::uint16_t> all;
        for (int top = 0; top < scene_.lines; top += window.lines) {
            const int bottom = std::min(top + window.lines, scene_.lines);
            for (int x = 0; x < scene_.samples; x += window.width) {
                const int width = std::min(window.width, scene_.samples - x);
                // The window's blocks stay in the cache while it is read
                // in pieces that bound the copy's own buffers.
                const int step =
                    std::max(1, static_cast<int>(PIECE_PIXELS / static_cast<std::size_t>(width)));
                for (int line = top; line < bottom; line += step) {
                    copyWindowPiece(dataset, bandNumbers, x, line, width,
                                    std::min(step, bottom - line), all);
                }
            }
            report(static_cast<double>(bottom) / scene_.lines);
        }
    }

private:
    void copyWindowPiece(GDALDataset& dataset, std::array<int, BAND_COUNT>& bandNumbers, int x,
                         int line, int width, int lines, std::vector<std::uint16_t>& all)
    {
        const std::size_t n = static_cast<std::size_t>(width) * lines;
        all.resize(n * BAND_COUNT);
        constexpr GSpacing VALUE_BYTES = sizeof(std::uint16_t);
        if (dataset.RasterIO(GF_Read, x, line, width, lines, all.data(), width, lines, GDT_UInt16,
                             BAND_COUNT, bandNumbers.data(), VALUE_BYTES, VALUE_BYTES * width,
                             VALUE_BYTES * static_cast<GSpacing>(n), nullptr)
            != CE_None) {
            failReading(scene_.paths.front());
        }
        validity_.assign(n, VALID);
        for (std::size_t i = 0; i < scene_.bands.size(); ++i) {
            const std::uint16_t* dn = all.data() + i * n;
            for (std::size_t k = 0; k < n; ++k) {
                if (dn[k] == 0) {
                    validity_[k] = MISSING;
                }
            }
            markFromInput(i, x, line, width, lines, validity_.data());
            write(static_cast<int>(i), x, line, width, lines, dn, static_cast<std::size_t>(width));
        }
        write(VALIDITY_BAND - 1, x, line, width, lines, validity_.data(),
              static_cast<std::size_t>(width));
    }

    // One piece of band i: its DNs into the copy, and its no-data pixels into
    // the copy's validity.
    void copyBandPiece(std::size_t i, int line, int lines)
    {
        const int samples = scene_.samples;
        const std::size_t n = static_cast<std::size_t>(samples) * lines;
        dn_.resize(std::max(dn_.size(), n));
        validity_.resize(dn_.size());
        std::uint16_t* dn = dn_.data();
        std::uint16_t* validity = validity_.data();
        read(*scene_.bands[i], 0, line, samples, lines, GDT_UInt16, dn, scene_.bandPaths[i]);
        write(static_cast<int>(i), 0, line, samples, lines, dn, static_cast<std::size_t>(samples));
        // The validity so far: every pixel valid before the first band.
        if (i == 0) {
            std::fill_n(validity, n, VALID);
        } else if (const int error = staged_.read(VALIDITY_BAND - 1, line, lines, validity)) {
            failWriting(std::strerror(error));
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (dn[k] == 0) {
                validity[k] = MISSING;
            }
        }
        markFromInput(i, 0, line, samples, lines, validity);
        write(VALIDITY_BAND - 1, 0, line, samples, lines, validity,
              static_cast<std::size_t>(samples));
    }

    // The marks of band i's alpha band (unless band i-1 shares it) and of
    // its own mask over a window.
    void markFromInput(std::size_t i, int x, int line, int width, int lines,
                       std::uint16_t* validity)
    {
        const bool sharedAlpha = i > 0 && scene_.alphaBands[i] == scene_.alphaBands[i - 1];
        for (GDALRasterBand* source :
             {scene_.inputMasks[i], sharedAlpha ? nullptr : scene_.alphaBands[i]}) {
            if (source != nullptr) {
                markFrom(*source, x, line, width, lines, validity, scene_.bandPaths[i]);
            }
        }
    }

    void markFrom(GDALRasterBand& source, int x, int line, int width, int lines,
                  std::uint16_t* validity, const std::string& path)
    {
        const std::size_t n = static_cast<std::size_t>(width) * lines;
        marks_.resize(std::max(marks_.size(), n));
        GByte* marks = marks_.data();
        read(source, x, line, width, lines, GDT_Byte, marks, path);
        for (std::size_t k = 0; k < n; ++k) {
            if (marks[k] == 0) {
                validity[k] = MISSING;
            }
        }
    }

    [[noreturn]] void failReading(const std::string& path)
    {
        const std::string reason = messages_.firstFailure();
        throw cannotReadInput(path, reason.empty() ? std::string("GDAL cannot read it") : reason);
    }

    void read(GDALRasterBand& band, int x, int line, int width, int lines, GDALDataType type,
              void* data, const std::string& path)
    {
        if (band.RasterIO(GF_Read, x, line, width, lines, data, width, lines, type, 0, 0, nullptr)
            != CE_None) {
            failReading(path);
        }
    }

    void write(int b, int x, int line, int width, int lines, const std::uint16_t* data,
               std::size_t stride)
    {
        if (const int error = staged_.write(b, x, line, width, lines, data, stride)) {
            failWriting(std::strerror(error));
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
    [[noreturn]] void failWriting(const std::string& reason = {})
    {
        const std::string gdal = messages_.firstFailure();
        const std::string told = !reason.empty() ? reason : gdal;
        throw cannotWriteOutput(outputName_,
                                "its working copy of the input beside it could not be written: "
                                    + (told.empty() ? std::string("the disk refused it") : told));
    }

private:
    Scene& scene_;
    WorkingCopyFile& staged_;
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
    if (scene.datasets.size() == 1 && isPixelInterleaved(*scene.datasets.front())) {
        const GIntBig window =
            pixelInterleavedWindow(*scene.datasets.front(), scene.samples).blockBytes;
        return boundedCacheBytes(window + window / 10);
    }
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
    WorkingCopyFile file(reserved.fd, reserved.temporaryPath, scene.samples, scene.lines);
    StagingCopy copy(scene, file, messages, progress, outputName);
    {
        // GDAL writes the header; the pixels are written here.
        GDALDatasetUniquePtr created(driver->Create(reserved.temporaryPath.c_str(), scene.samples,
                                                    scene.lines, VALIDITY_BAND, GDT_UInt16,
                                                    const_cast<char**>(options)));
        if (!created) {
            copy.failWriting();
        }
        created.reset();
        if (messages.failureCount() > 0) {
            copy.failWriting();
        }
    }
    if (!copy.copyDecodedStrips()) {
        if (scene.datasets.size() == 1 && isPixelInterleaved(*scene.datasets.front())) {
            copy.copyWindowByWindow();
        } else {
            copy.copyBandByBand();
        }
    }
    // The input's decoded blocks are not needed again.
    for (const GDALDatasetUniquePtr& dataset : scene.datasets) {
        dataset->FlushCache(false);
    }
    const char* const drivers[] = {"ENVI", nullptr};
    GDALDatasetUniquePtr staged(GDALDataset::Open(reserved.temporaryPath.c_str(),
                                                  GDAL_OF_RASTER | GDAL_OF_READONLY, drivers));
    if (!staged || staged->GetRasterCount() != VALIDITY_BAND) {
        copy.failWriting("GDAL cannot read it back");
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

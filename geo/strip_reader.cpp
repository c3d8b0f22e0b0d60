#include "strip_reader.h"

#include "input_image.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <zlib.h>

namespace talvex::geo {

namespace {

// Compressed bytes read at a time.
constexpr std::size_t INPUT_PIECE_BYTES = std::size_t{256} << 10;

struct Strip {
    vsi_l_offset offset = 0;
    vsi_l_offset bytes = 0;
};

bool itemIs(GDALMajorObject& object, const char* item, const char* domain,
            std::initializer_list<const char*> accepted)
{
    const char* value = object.GetMetadataItem(item, domain);
    return std::any_of(accepted.begin(), accepted.end(), [&](const char* a) {
        return (a == nullptr && value == nullptr)
               || (a != nullptr && value != nullptr && EQUAL(a, value));
    });
}

bool parseCount(const char* text, vsi_l_offset& value)
{
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

// The band's strips, from GDAL's TIFF metadata; empty unless every strip
// has bytes in the file (a sparse file's missing strips are GDAL's to fill).
std::vector<Strip> stripsOf(GDALRasterBand& band, int count)
{
    std::vector<Strip> strips(static_cast<std::size_t>(count));
    for (int s = 0; s < count; ++s) {
        const std::string suffix = "_0_" + std::to_string(s);
        if (!parseCount(band.GetMetadataItem(("BLOCK_OFFSET" + suffix).c_str(), "TIFF"),
                        strips[s].offset)
            || !parseCount(band.GetMetadataItem(("BLOCK_SIZE" + suffix).c_str(), "TIFF"),
                           strips[s].bytes)
            || strips[s].offset == 0 || strips[s].bytes == 0) {
            return {};
        }
    }
    return strips;
}

} // namespace

// The strips of one band (or of all bands, pixel-interleaved), inflated
// row by row.
class StripReader::Stream {
public:
    Stream(std::string path, std::string name, VSILFILE* file, std::vector<Strip> strips,
           int rowsPerStrip, int lines, std::size_t rowValues, int samplesPerPixel, bool swap,
           bool predictor)
        : path_(std::move(path)), name_(std::move(name)), file_(file), strips_(std::move(strips)),
          rowsPerStrip_(rowsPerStrip), lines_(lines), rowValues_(rowValues),
          samplesPerPixel_(samplesPerPixel), swap_(swap), predictor_(predictor),
          input_(INPUT_PIECE_BYTES)
    {
        if (inflateInit(&z_) != Z_OK) {
            VSIFCloseL(file_);
            throw cannotReadInput(path_, "zlib cannot start decompressing it");
        }
    }
    ~Stream()
    {
        inflateEnd(&z_);
        VSIFCloseL(file_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The next row, in the host's byte order, the predictor undone.
    void nextRow(std::uint16_t* row)
    {
        if (rowsLeft_ == 0) {
            startStrip();
        }
        z_.next_out = reinterpret_cast<Bytef*>(row);
        z_.avail_out = static_cast<uInt>(rowValues_ * sizeof(std::uint16_t));
        while (z_.avail_out > 0) {
            if (ended_) {
                fail("its " + stripName() + " holds fewer lines than it should");
            }
            if (z_.avail_in == 0) {
                refill();
            }
            const int status = inflate(&z_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                ended_ = true;
            } else if (status != Z_OK) {
                fail("its " + stripName() + " is corrupt ("
                     + (z_.msg != nullptr ? std::string(z_.msg)
                                          : "zlib error " + std::to_string(status))
                     + ")");
            }
        }
        --rowsLeft_;
        if (swap_) {
            for (std::size_t k = 0; k < rowValues_; ++k) {
                row[k] = static_cast<std::uint16_t>((row[k] >> 8) | (row[k] << 8));
            }
        }
        if (predictor_) {
            const std::size_t step = static_cast<std::size_t>(samplesPerPixel_);
            for (std::size_t k = step; k < rowValues_; ++k) {
                row[k] = static_cast<std::uint16_t>(row[k] + row[k - step]);
            }
        }
    }

private:
    [[noreturn]] void fail(const std::string& reason)
    {
        throw cannotReadInput(path_, reason);
    }

    std::string stripName() const
    {
        return name_ + " " + std::to_string(strip_ + 1) + " of " + std::to_string(strips_.size());
    }

    void startStrip()
    {
        strip_ = nextStrip_++;
        if (strip_ >= strips_.size()) {
            fail("it has fewer strips than lines");
        }
        if (inflateReset(&z_) != Z_OK) {
            fail("zlib cannot decompress it");
        }
        z_.avail_in = 0;
        ended_ = false;
        read_ = 0;
        rowsLeft_ = std::min(rowsPerStrip_, lines_ - static_cast<int>(strip_) * rowsPerStrip_);
    }

    void refill()
    {
        const Strip& strip = strips_[strip_];
        if (read_ >= strip.bytes) {
            fail("the compressed bytes of its " + stripName() + " end before its lines");
        }
        const std::size_t wanted = static_cast<std::size_t>(
            std::min<vsi_l_offset>(INPUT_PIECE_BYTES, strip.bytes - read_));
        const std::size_t got = VSIFSeekL(file_, strip.offset + read_, SEEK_SET) == 0
                                    ? VSIFReadL(input_.data(), 1, wanted, file_)
                                    : 0;
        if (got != wanted) {
            fail("the file ends before the bytes of its " + stripName() + " (truncated?)");
        }
        read_ += got;
        z_.next_in = input_.data();
        z_.avail_in = static_cast<uInt>(got);
    }

    std::string path_;
    std::string name_; // "strip" or "strip of band N", for messages
    VSILFILE* file_;
    std::vector<Strip> strips_;
    int rowsPerStrip_;
    int lines_;
    std::size_t rowValues_;
    int samplesPerPixel_;
    bool swap_;
    bool predictor_;
    std::vector<Bytef> input_;
    z_stream z_{};
    std::size_t strip_ = 0;
    std::size_t nextStrip_ = 0;
    int rowsLeft_ = 0;
    vsi_l_offset read_ = 0;
    bool ended_ = false;
};

std::unique_ptr<StripReader> StripReader::open(GDALDataset& dataset, std::span<const int> bands,
                                               const std::string& path)
{
    GDALDriver* driver = dataset.GetDriver();
    if (driver == nullptr || !EQUAL(driver->GetDescription(), "GTiff") || bands.empty()
        || !itemIs(dataset, "COMPRESSION", "IMAGE_STRUCTURE", {"DEFLATE"})
        || !itemIs(dataset, "PREDICTOR", "IMAGE_STRUCTURE", {nullptr, "1", "2"})
        || !itemIs(dataset, "INTERLEAVE", "IMAGE_STRUCTURE", {nullptr, "BAND", "PIXEL"})) {
        return nullptr;
    }
    const int width = dataset.GetRasterXSize();
    const int lines = dataset.GetRasterYSize();
    const int count = dataset.GetRasterCount();
    int rowsPerStrip = 0;
    for (int b = 1; b <= count; ++b) {
        GDALRasterBand* band = dataset.GetRasterBand(b);
        int blockWidth = 0;
        int blockHeight = 0;
        band->GetBlockSize(&blockWidth, &blockHeight);
        if (band->GetRasterDataType() != GDT_UInt16
            || band->GetMetadataItem("NBITS", "IMAGE_STRUCTURE") != nullptr || blockWidth != width
            || blockHeight <= 0 || (rowsPerStrip != 0 && blockHeight != rowsPerStrip)) {
            return nullptr;
        }
        rowsPerStrip = blockHeight;
    }
    for (int b : bands) {
        if (b < 1 || b > count) {
            return nullptr;
        }
    }
    const bool pixelInterleaved =
        count > 1 && itemIs(dataset, "INTERLEAVE", "IMAGE_STRUCTURE", {"PIXEL"});
    const bool predictor = itemIs(dataset, "PREDICTOR", "IMAGE_STRUCTURE", {"2"});
    const int stripCount = (lines + rowsPerStrip - 1) / rowsPerStrip;

    // The byte order, from the file's header.
    VSILFILE* header = VSIFOpenL(dataset.GetDescription(), "rb");
    if (header == nullptr) {
        return nullptr;
    }
    char order[2] = {};
    const bool known =
        VSIFReadL(order, 1, 2, header) == 2
        && ((order[0] == 'I' && order[1] == 'I') || (order[0] == 'M' && order[1] == 'M'));
    VSIFCloseL(header);
    if (!known) {
        return nullptr;
    }
    const bool fileLittleEndian = order[0] == 'I';
    const bool swap = fileLittleEndian != (std::endian::native == std::endian::little);

    std::unique_ptr<StripReader> reader(new StripReader());
    reader->path_ = path;
    reader->width_ = width;
    reader->pixelInterleaved_ = pixelInterleaved;
    reader->samplesPerPixel_ = pixelInterleaved ? count : 1;
    for (int b : bands) {
        reader->bands_.push_back(b - 1);
    }
    const auto addStream = [&](GDALRasterBand& band) {
        std::vector<Strip> strips = stripsOf(band, stripCount);
        if (strips.empty()) {
            return false;
        }
        VSILFILE* file = VSIFOpenL(dataset.GetDescription(), "rb");
        if (file == nullptr) {
            return false;
        }
        const std::string name =
            pixelInterleaved ? "strip" : "band " + std::to_string(band.GetBand()) + "'s strip";
        reader->streams_.push_back(
            std::make_unique<Stream>(path, name, file, std::move(strips), rowsPerStrip, lines,
                                     static_cast<std::size_t>(width) * reader->samplesPerPixel_,
                                     reader->samplesPerPixel_, swap, predictor));
        return true;
    };
    if (pixelInterleaved) {
        if (!addStream(*dataset.GetRasterBand(1))) {
            return nullptr;
        }
        reader->row_.resize(static_cast<std::size_t>(width) * count);
    } else {
        for (int b : bands) {
            if (!addStream(*dataset.GetRasterBand(b))) {
                return nullptr;
            }
        }
    }
    return reader;
}

StripReader::~StripReader() = default;

void StripReader::read(int lines, std::span<std::uint16_t* const> out)
{
    const std::size_t width = static_cast<std::size_t>(width_);
    for (int line = 0; line < lines; ++line) {
        const std::size_t at = static_cast<std::size_t>(line) * width;
        if (!pixelInterleaved_) {
            for (std::size_t k = 0; k < streams_.size(); ++k) {
                streams_[k]->nextRow(out[k] + at);
            }
            continue;
        }
        streams_.front()->nextRow(row_.data());
        const std::size_t step = static_cast<std::size_t>(samplesPerPixel_);
        for (std::size_t k = 0; k < bands_.size(); ++k) {
            const std::uint16_t* from = row_.data() + bands_[k];
            std::uint16_t* to = out[k] + at;
            for (std::size_t x = 0; x < width; ++x) {
                to[x] = from[x * step];
            }
        }
    }
}

} // namespace talvex::geo

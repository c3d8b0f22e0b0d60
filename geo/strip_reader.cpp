#include "strip_reader.h"

#include "input_image.h"

#include <algorithm>
#include <array>
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

// What a strip's bytes are compressed with.
enum class Compression { deflate, lzw };

// One strip's compressed bytes decoded as a stream: decode() takes what it
// can of `in` and fills what it can of `out`, advancing both, and returns
// whether the strip's data ended. Throws DecodeError for corrupt bytes.
struct DecodeError {
    std::string reason;
};

class StripDecoder {
public:
    virtual ~StripDecoder() = default;
    virtual void reset() = 0; // at the start of a strip
    virtual bool decode(const std::uint8_t*& in, std::size_t& inLeft, std::uint8_t*& out,
                        std::size_t& outLeft) = 0;
};

class DeflateDecoder final : public StripDecoder {
public:
    DeflateDecoder()
    {
        if (inflateInit(&z_) != Z_OK) {
            throw DecodeError{"zlib cannot start decompressing it"};
        }
    }
    ~DeflateDecoder() override
    {
        inflateEnd(&z_);
    }
    DeflateDecoder(const DeflateDecoder&) = delete;
    DeflateDecoder& operator=(const DeflateDecoder&) = delete;

    void reset() override
    {
        if (inflateReset(&z_) != Z_OK) {
            throw DecodeError{"zlib cannot decompress it"};
        }
    }
    bool decode(const std::uint8_t*& in, std::size_t& inLeft, std::uint8_t*& out,
                std::size_t& outLeft) override
    {
        z_.next_in = const_cast<Bytef*>(in);
        z_.avail_in = static_cast<uInt>(inLeft);
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(outLeft);
        const int status = inflate(&z_, Z_NO_FLUSH);
        in = z_.next_in;
        inLeft = z_.avail_in;
        out = z_.next_out;
        outLeft = z_.avail_out;
        if (status == Z_STREAM_END) {
            return true;
        }
        if (status != Z_OK) {
            throw DecodeError{z_.msg != nullptr ? std::string(z_.msg)
                                                : "zlib error " + std::to_string(status)};
        }
        return false;
    }

private:
    z_stream z_{};
};

// TIFF's LZW: codes of 9 to 12 bits, most significant bit first; 256
// clears the table, 257 ends the strip, and the code width grows one code
// early (when the next free code reaches 2^width - 1).
class LzwDecoder final : public StripDecoder {
public:
    void reset() override
    {
        bits_ = 0;
        bitCount_ = 0;
        clearTable();
        pendingAt_ = pendingEnd_ = 0;
    }
    bool decode(const std::uint8_t*& in, std::size_t& inLeft, std::uint8_t*& out,
                std::size_t& outLeft) override
    {
        for (;;) {
            while (outLeft > 0 && pendingAt_ < pendingEnd_) {
                *out++ = pending_[pendingAt_++];
                --outLeft;
            }
            if (outLeft == 0) {
                return false;
            }
            while (bitCount_ < width_) {
                if (inLeft == 0) {
                    return false;
                }
                bits_ = (bits_ << 8) | *in++;
                --inLeft;
                bitCount_ += 8;
            }
            bitCount_ -= width_;
            const auto code =
                static_cast<std::uint32_t>((bits_ >> bitCount_) & ((1u << width_) - 1));
            if (code == END_CODE) {
                return true;
            }
            if (code == CLEAR_CODE) {
                clearTable();
                continue;
            }
            if (previous_ == NO_CODE) {
                if (code >= CLEAR_CODE) {
                    throw DecodeError{"an LZW code refers to no string"};
                }
                emit(code);
                previous_ = code;
                continue;
            }
            if (code > nextCode_ || (code == nextCode_ && nextCode_ == TABLE_SIZE)) {
                throw DecodeError{"an LZW code refers to no string"};
            }
            // The new string: the previous one and the first byte of this one
            // (of the previous one, for the code being defined now).
            const std::uint8_t firstByte = first_[code == nextCode_ ? previous_ : code];
            if (nextCode_ < TABLE_SIZE) {
                prefix_[nextCode_] = static_cast<std::uint16_t>(previous_);
                suffix_[nextCode_] = firstByte;
                first_[nextCode_] = first_[previous_];
                length_[nextCode_] = static_cast<std::uint16_t>(length_[previous_] + 1);
                ++nextCode_;
                if (nextCode_ >= (1u << width_) - 1 && width_ < MAX_WIDTH) {
                    ++width_;
                }
            }
            emit(code);
            previous_ = code;
        }
    }

private:
    static constexpr std::uint32_t CLEAR_CODE = 256;
    static constexpr std::uint32_t END_CODE = 257;
    static constexpr std::uint32_t FIRST_FREE_CODE = 258;
    static constexpr std::uint32_t MIN_WIDTH = 9;
    static constexpr std::uint32_t MAX_WIDTH = 12;
    static constexpr std::uint32_t TABLE_SIZE = 1u << MAX_WIDTH;
    static constexpr std::uint32_t NO_CODE = TABLE_SIZE;

    void clearTable()
    {
        width_ = MIN_WIDTH;
        nextCode_ = FIRST_FREE_CODE;
        previous_ = NO_CODE;
        if (length_[0] == 0) {
            for (std::uint32_t c = 0; c < CLEAR_CODE; ++c) {
                suffix_[c] = first_[c] = static_cast<std::uint8_t>(c);
                length_[c] = 1;
            }
        }
    }

    // The string of `code`, into the pending bytes.
    void emit(std::uint32_t code)
    {
        std::size_t at = length_[code];
        pendingAt_ = 0;
        pendingEnd_ = at;
        for (std::uint32_t c = code; at > 0; c = prefix_[c]) {
            pending_[--at] = suffix_[c];
        }
    }

    std::uint32_t bits_ = 0;
    std::uint32_t bitCount_ = 0;
    std::uint32_t width_ = MIN_WIDTH;
    std::uint32_t nextCode_ = FIRST_FREE_CODE;
    std::uint32_t previous_ = NO_CODE;
    std::array<std::uint16_t, TABLE_SIZE> prefix_{};
    std::array<std::uint8_t, TABLE_SIZE> suffix_{};
    std::array<std::uint8_t, TABLE_SIZE> first_{};
    std::array<std::uint16_t, TABLE_SIZE> length_{};
    std::array<std::uint8_t, TABLE_SIZE> pending_{};
    std::size_t pendingAt_ = 0;
    std::size_t pendingEnd_ = 0;
};

// Whether a strip is in the LZW of TIFF's first versions (least significant
// bit first, told by its first two bytes), which is left to GDAL.
bool oldStyleLzw(VSILFILE* file, const Strip& strip)
{
    std::uint8_t start[2] = {};
    return strip.bytes < 2 || VSIFSeekL(file, strip.offset, SEEK_SET) != 0
           || VSIFReadL(start, 1, 2, file) != 2 || (start[0] == 0 && (start[1] & 1) != 0);
}

std::unique_ptr<StripDecoder> decoderFor(Compression compression)
{
    if (compression == Compression::lzw) {
        return std::make_unique<LzwDecoder>();
    }
    return std::make_unique<DeflateDecoder>();
}
} // namespace

// The strips of one band (or of all bands, pixel-interleaved), decoded
// row by row.
class StripReader::Stream {
public:
    Stream(std::string path, std::string name, VSILFILE* file, std::vector<Strip> strips,
           Compression compression, int rowsPerStrip, int lines, std::size_t rowValues,
           int samplesPerPixel, bool swap, bool predictor)
        : path_(std::move(path)), name_(std::move(name)), file_(file), strips_(std::move(strips)),
          rowsPerStrip_(rowsPerStrip), lines_(lines), rowValues_(rowValues),
          samplesPerPixel_(samplesPerPixel), swap_(swap), predictor_(predictor),
          input_(INPUT_PIECE_BYTES)
    {
        try {
            decoder_ = decoderFor(compression);
        } catch (const DecodeError& error) {
            VSIFCloseL(file_);
            throw cannotReadInput(path_, error.reason);
        }
    }
    ~Stream()
    {
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
        auto* out = reinterpret_cast<std::uint8_t*>(row);
        std::size_t outLeft = rowValues_ * sizeof(std::uint16_t);
        while (outLeft > 0) {
            if (ended_) {
                fail("its " + stripName() + " holds fewer lines than it should");
            }
            if (inLeft_ == 0) {
                refill();
            }
            try {
                ended_ = decoder_->decode(in_, inLeft_, out, outLeft);
            } catch (const DecodeError& error) {
                fail("its " + stripName() + " is corrupt (" + error.reason + ")");
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
        try {
            decoder_->reset();
        } catch (const DecodeError& error) {
            fail(error.reason);
        }
        inLeft_ = 0;
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
        in_ = input_.data();
        inLeft_ = got;
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
    std::vector<std::uint8_t> input_;
    std::unique_ptr<StripDecoder> decoder_;
    const std::uint8_t* in_ = nullptr;
    std::size_t inLeft_ = 0;
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
        || !itemIs(dataset, "COMPRESSION", "IMAGE_STRUCTURE", {"DEFLATE", "LZW"})
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
    const Compression compression = itemIs(dataset, "COMPRESSION", "IMAGE_STRUCTURE", {"LZW"})
                                        ? Compression::lzw
                                        : Compression::deflate;
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
        if (compression == Compression::lzw && oldStyleLzw(file, strips.front())) {
            VSIFCloseL(file);
            return false;
        }
        reader->streams_.push_back(std::make_unique<Stream>(
            path, name, file, std::move(strips), compression, rowsPerStrip, lines,
            static_cast<std::size_t>(width) * reader->samplesPerPixel_, reader->samplesPerPixel_,
            swap, predictor));
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

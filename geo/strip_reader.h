// The bands of a DEFLATE- or LZW-compressed GeoTIFF in strips, decoded line by line
// straight from the file's compressed bytes: the compressed bytes are read
// in small pieces and inflated as a stream, so that neither a whole strip
// nor its compressed bytes are ever held, however large the strip (a file of
// one strip per band). The values are those GDAL reads; every other layout
// (other compressions, the LZW of TIFF's first versions, tiles narrower
// than the image, other pixel types) is left to GDAL.
#pragma once

#include <gdal_priv.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace talvex::geo {

class StripReader {
public:
    // A reader of the named bands (1-based) of `dataset`, from its first
    // line on; null when the file is not of a layout it knows. `path` names
    // the file in messages.
    static std::unique_ptr<StripReader> open(GDALDataset& dataset, std::span<const int> bands,
                                             const std::string& path);
    ~StripReader();
    StripReader(const StripReader&) = delete;
    StripReader& operator=(const StripReader&) = delete;

    // The next `lines` lines of each band, into out[k] for the k-th band
    // given to open() (width × lines values each). Throws the input's read
    // failure, naming the file, when its bytes end early or are corrupt.
    void read(int lines, std::span<std::uint16_t* const> out);

    class Stream;

private:
    StripReader() = default;

    std::string path_;
    int width_ = 0;
    bool pixelInterleaved_ = false;
    int samplesPerPixel_ = 1;
    std::vector<int> bands_;                       // 0-based, as given
    std::vector<std::unique_ptr<Stream>> streams_; // one, or one per band given
    std::vector<std::uint16_t> row_;
};

} // namespace talvex::geo

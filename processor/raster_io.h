// Files of a run: the DN image read in large blocks, and each output written
// under a temporary name in its final folder and renamed into place only
// once it is complete, so an earlier output of the same name is replaced by
// a complete new one or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvex {

// Bytes of one DN and of one output value.
inline constexpr std::int64_t DN_BYTES = 2;
inline constexpr std::int64_t VALUE_BYTES = 4;
inline constexpr std::int64_t BANDS_IN_IMAGE = 4;

// Output names: the base name followed by these suffixes, nothing else.
inline constexpr const char* TOA_SUFFIX = "-TOA-Ref-bands-2345";
inline constexpr const char* SURFACE_SUFFIX = "-Atm-Corr-Ref-bands-2345";
inline constexpr const char* HEADER_SUFFIX = ".hdr";

// Pixels of one band; 0 when either count is 0 or less (nothing is read or written).
std::int64_t pixelsPerBand(std::int32_t lineCount, std::int32_t sampleCount);
// Bytes of a complete DN image: 8 x lines x samples, in 64 bits.
std::int64_t expectedImageBytes(std::int32_t lineCount, std::int32_t sampleCount);

struct InputImage {
    std::string path;
    int fd = -1;
};

// Opens the DN image for reading. On failure returns false and sets the
// system's reason.
bool openInputImage(const std::string& path, InputImage& image, std::string& reason);
// Checks that the image is a regular file (it is read twice) holding at
// least `requiredBytes`. Returns a message, or "" when it is fine.
std::string inputImageProblem(const InputImage& image, std::int64_t requiredBytes);
// Reads exactly `bytes` bytes, or returns false with a message.
bool readInput(InputImage& image, void* data, std::size_t bytes, std::string& error);
// Sets the image back to its first byte.
bool rewindInput(InputImage& image, std::string& error);
void closeInput(InputImage& image);

struct OutputFile {
    std::string finalPath;
    std::string temporaryPath;  // where it is written until it is complete
    int fd = -1;
};

// An image and its ENVI header, committed together.
struct OutputPair {
    OutputFile image;
    OutputFile header;
};

// Creates the image, then the header, under temporary names.
bool createOutputPair(const std::string& imagePath, OutputPair& pair, std::string& error);
// Appends bytes to an output, all of them or a message.
bool writeOutput(OutputFile& file, const void* data, std::size_t bytes, std::string& error);
// The header text of a float32, four-band, band-sequential image.
std::string enviHeaderText(std::int32_t sampleCount, std::int32_t lineCount);
// Writes the ENVI header text into an open header.
bool writeEnviHeader(OutputFile& header, std::int32_t sampleCount, std::int32_t lineCount,
                     std::string& error);
// Closes the image, then the header, then renames both into their final names.
bool commitOutputPair(OutputPair& pair, std::string& error);
// Closes whatever is open and removes the temporary files.
void discardOutputPair(OutputPair& pair);

} // namespace talvex

// The ENVI header written beside each output image: a float32, four-band,
// band-sequential, little-endian image without map information.
#pragma once

#include "output_commit.h"

#include <cstdint>
#include <string>

namespace talvex {

// ENVI's codes for what the outputs are.
inline constexpr int ENVI_DATA_TYPE_FLOAT32 = 4;
inline constexpr int ENVI_BYTE_ORDER_LITTLE_ENDIAN = 0;
// Bytes in front of the first pixel: none, the images are headerless.
inline constexpr int ENVI_HEADER_OFFSET_BYTES = 0;

// The header text of an output image.
std::string enviHeaderText(std::int32_t sampleCount, std::int32_t lineCount);
// Writes the header text into an open output.
void writeEnviHeader(OutputFile& header, std::int32_t sampleCount, std::int32_t lineCount);

} // namespace talvex

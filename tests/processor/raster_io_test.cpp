// Sizes, names and the header text of the raster files.
#include "envi_header.h"
#include "run_parameters.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace talvex {
namespace {

TEST(RasterSizes, SixtyFourBitArithmetic)
{
    EXPECT_EQ(expectedImageBytes(1, 3), 24);
    EXPECT_EQ(pixelsPerBand(0, 100), 0);
    EXPECT_EQ(pixelsPerBand(100, -1), 0);
    EXPECT_EQ(pixelsPerBand(-2, -3), 0); // two negatives make no pixels either
    // 40000 x 40000 x 8 bytes is 12.8 GB: far beyond 32 bits.
    EXPECT_EQ(expectedImageBytes(40000, 40000), std::int64_t{12'800'000'000});
    EXPECT_EQ(expectedImageBytes(2147483647, 1), std::int64_t{8} * 2147483647);
    EXPECT_EQ(expectedImageBytes(1 << 20, 1 << 20), std::int64_t{8} << 40);
}

TEST(EnviHeader, ExactText)
{
    EXPECT_EQ(enviHeaderText(3, 1), "ENVI\n"
                                    "description = {File Imported into ENVI.}\n"
                                    "samples = 3\n"
                                    "lines = 1\n"
                                    "bands = 4\n"
                                    "header offset = 0\n"
                                    "file type = ENVI Standard\n"
                                    "data type = 4\n"
                                    "interleave = bsq\n"
                                    "sensor type = Unknown\n"
                                    "byte order = 0\n"
                                    "wavelength units = Unknown\n");
    EXPECT_NE(enviHeaderText(-5, 0).find("samples = -5\nlines = 0\n"), std::string::npos);
}

} // namespace
} // namespace talvex

// Angles, Earth-Sun distance and DN to TOA reflectance, against worked values.
#include "printed_value.h"
#include "radiometry.h"

#include <gtest/gtest.h>

namespace talvex {
namespace {

using testing::bitsOf;

TEST(Cosd, UsesThreePointOneFourAsPi)
{
    EXPECT_EQ(bitsOf(COSD_DEGREE_FACTOR), 0x3F91DCF4D98B0955u);
    EXPECT_EQ(cosd(0.0f), 1.0);
    EXPECT_PRINTED(cosd(60.0f), "0.50045969");
    EXPECT_PRINTED(cosd(90.0f), "0.00079633");
    EXPECT_PRINTED(cosd(180.0f), "-0.99999873");
    EXPECT_GT(cosd(90.0f), 0.0); // no division by zero at the horizon
}

TEST(EarthSunFactor, WorkedDaysReproduceBitPatterns)
{
    EXPECT_EQ(bitsOf(earthSunFactor(1)), 0x3F7BA0D1u);
    EXPECT_PRINTED(earthSunFactor(1), "0.98292261");
    EXPECT_EQ(bitsOf(earthSunFactor(45)), 0x3F7CBD2Fu);
    EXPECT_PRINTED(earthSunFactor(45), "0.98726171");
}

TEST(EarthSunFactor, ExtremesOverTheYearAndWrapAround)
{
    float smallest = earthSunFactor(1);
    float largest = smallest;
    int daySmallest = 1;
    int dayLargest = 1;
    for (int day = 1; day <= 366; ++day) {
        const float d = earthSunFactor(day);
        if (d < smallest) {
            smallest = d;
            daySmallest = day;
        }
        if (d > largest) {
            largest = d;
            dayLargest = day;
        }
    }
    EXPECT_EQ(daySmallest, 3);
    EXPECT_PRINTED(smallest, "0.98290962");
    EXPECT_EQ(dayLargest, 186);
    EXPECT_PRINTED(largest, "1.0171363");

    EXPECT_EQ(bitsOf(earthSunFactor(366)), bitsOf(earthSunFactor(1)));
    EXPECT_EQ(bitsOf(earthSunFactor(0)), bitsOf(earthSunFactor(365)));
    EXPECT_PRINTED(earthSunFactor(0), "0.98293698");
    // Any day number is used as given and stays finite, even at the ends of the integer range.
    EXPECT_TRUE(std::isfinite(earthSunFactor(-2147483647 - 1)));
    EXPECT_TRUE(std::isfinite(earthSunFactor(2147483647)));
}

TEST(Radiometry, ConstantsOfTheTable)
{
    EXPECT_EQ(radianceFullScale(), 4095);
    EXPECT_EQ(bitsOf(bandSolarIrradiance(2)), 0x43396042u);
    EXPECT_EQ(bitsOf(bandSolarIrradiance(3)), 0x431EFA5Eu);
    EXPECT_EQ(bitsOf(bandSolarIrradiance(4)), 0x42DAF53Fu);
    EXPECT_EQ(bitsOf(bandSolarIrradiance(5)), 0x41BD9FBEu);
}

TEST(DnToToaReflectance, WorkedExamples)
{
    const ToaCalibration fullScaleAtZenith =
        toaCalibration(0.0f, 52.5f, bandSolarIrradiance(2), earthSunFactor(1), 0.0f, 4095);
    EXPECT_PRINTED(dnToToaReflectance(4095, fullScaleAtZenith).toaReflectance, "0.85959584");

    const ToaCalibration day45 =
        toaCalibration(0.0f, 52.5f, bandSolarIrradiance(2), earthSunFactor(45), 38.6f, 4095);
    const ToaValue v = dnToToaReflectance(2048, day45);
    // The printed radiance is the double before it is stored, so allow the float's rounding.
    EXPECT_NEAR(v.radiance, 26.25641026, 26.25641026 * 0x1p-24);
    EXPECT_PRINTED(v.toaReflectance, "0.55480140");
}

TEST(DnToToaReflectance, CalibrationEnds)
{
    const ToaCalibration c =
        toaCalibration(1.5f, 52.5f, bandSolarIrradiance(3), earthSunFactor(100), 30.0f, 4095);
    // DN 0 is no data: 0 even with a non-zero lmin.
    EXPECT_EQ(bitsOf(dnToToaReflectance(0, c).toaReflectance), 0u);
    EXPECT_EQ(dnToToaReflectance(0, c).radiance, 0.0f);
    EXPECT_EQ(dnToToaReflectance(4095, c).radiance, 52.5f);
    EXPECT_FLOAT_EQ(dnToToaReflectance(1, c).radiance, 1.5f + 51.0f / 4095.0f);
    // Above full scale nothing is clipped.
    EXPECT_GT(dnToToaReflectance(65535, c).radiance, 52.5f * 15.0f);

    // lmin above lmax: radiance falls as the DN rises.
    const ToaCalibration inverted =
        toaCalibration(50.0f, 10.0f, bandSolarIrradiance(2), earthSunFactor(1), 0.0f, 4095);
    EXPECT_GT(dnToToaReflectance(10, inverted).toaReflectance,
              dnToToaReflectance(4000, inverted).toaReflectance);
}

} // namespace
} // namespace talvex

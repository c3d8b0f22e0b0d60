// Warnings for values in another unit than the model's and for DNs beyond
// the calibrated scale: they name the value and the likely intended one, and
// stay silent on ordinary values.
#include "plausibility.h"

#include <gtest/gtest.h>

#include <vector>

namespace talvex {
namespace {

RunParameters correctionRun(float waterVapour, float ozone)
{
    RunParameters p;
    p.correctionOption = CORRECTION_ON;
    p.waterVapourColumn = waterVapour;
    p.ozoneColumn = ozone;
    return p;
}

TEST(UnitWarnings, OrdinaryAtmosphereAndTheLimitsThemselvesAreSilent)
{
    EXPECT_TRUE(unitWarnings(correctionRun(2.9f, 0.27f)).empty());
    EXPECT_TRUE(
        unitWarnings(correctionRun(WATER_VAPOUR_PLAUSIBLE_MAX_G_CM2, OZONE_PLAUSIBLE_MAX_ATM_CM))
            .empty());
}

TEST(UnitWarnings, OzoneInDobsonUnitsNamesTheValueTheUnitAndTheIntendedValue)
{
    const std::vector<std::string> warnings = unitWarnings(correctionRun(2.9f, 300.0f));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("ozone amount 300 "), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("0.3 atm-cm is 300 Dobson units"), std::string::npos) << warnings[0];
}

TEST(UnitWarnings, WaterVapourInMillimetresNamesTheValueTheUnitAndTheIntendedValue)
{
    const std::vector<std::string> warnings = unitWarnings(correctionRun(25.0f, 0.27f));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("water vapour amount 25 "), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("2.5 g/cm2 is 25 mm"), std::string::npos) << warnings[0];
}

TEST(UnitWarnings, BothWarnedAtOnceButNeverForARunThatReadsNoAtmosphere)
{
    EXPECT_EQ(unitWarnings(correctionRun(25.0f, 300.0f)).size(), 2u);
    RunParameters toaOnly = correctionRun(25.0f, 300.0f);
    toaOnly.correctionOption = CORRECTION_OFF;
    EXPECT_TRUE(unitWarnings(toaOnly).empty());
}

TEST(DnAboveFullScale, CountsOnlyDnsBeyondTheCalibratedScale)
{
    const std::vector<std::uint16_t> dn = {0, 1, 4095, 4096, 65535, 4095, 5000};
    EXPECT_EQ(countDnAboveFullScale(dn), 3u);
    EXPECT_EQ(countDnAboveFullScale({}), 0u);
}

TEST(DnAboveFullScale, WarningNamesTheCountTheBandAndTheFullScale)
{
    EXPECT_EQ(dnAboveFullScaleWarning(0, 3), "");
    const std::string many = dnAboveFullScaleWarning(1234, 3);
    EXPECT_EQ(many.rfind("1234 pixels of band 3 have DNs above 4095", 0), 0u) << many;
    const std::string one = dnAboveFullScaleWarning(1, 5);
    EXPECT_EQ(one.rfind("1 pixel of band 5 has a DN above 4095", 0), 0u) << one;
}

} // namespace
} // namespace talvex

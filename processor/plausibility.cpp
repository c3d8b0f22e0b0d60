#include "plausibility.h"

#include "radiometry.h"

#include <algorithm>
#include <cstdio>

namespace talvex {

namespace {

// A value as a user would write it back: up to six significant digits.
std::string shortNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

std::vector<std::string> unitWarnings(const RunParameters& p)
{
    std::vector<std::string> warnings;
    if (p.correctionOption != CORRECTION_ON) {
        return warnings;
    }
    if (p.ozoneColumn > OZONE_PLAUSIBLE_MAX_ATM_CM) {
        const double dobson = static_cast<double>(p.ozoneColumn);
        warnings.push_back("the ozone amount " + shortNumber(dobson)
                           + " is far above any real ozone column in atm-cm, the unit the model "
                             "expects (about 0.2 to 0.5): if it is in Dobson units, write "
                           + shortNumber(dobson / DOBSON_UNITS_PER_ATM_CM) + ", since "
                           + shortNumber(dobson / DOBSON_UNITS_PER_ATM_CM) + " atm-cm is "
                           + shortNumber(dobson) + " Dobson units.");
    }
    if (p.waterVapourColumn > WATER_VAPOUR_PLAUSIBLE_MAX_G_CM2) {
        const double millimetres = static_cast<double>(p.waterVapourColumn);
        warnings.push_back("the water vapour amount " + shortNumber(millimetres)
                           + " is far above any real water vapour column in g/cm2, the unit the "
                             "model expects (about 0.1 to 7): if it is in millimetres of "
                             "precipitable water, write "
                           + shortNumber(millimetres / MILLIMETRES_PER_G_CM2) + ", since "
                           + shortNumber(millimetres / MILLIMETRES_PER_G_CM2) + " g/cm2 is "
                           + shortNumber(millimetres) + " mm.");
    }
    return warnings;
}

std::uint64_t countDnAboveFullScale(std::span<const std::uint16_t> dn)
{
    const std::int32_t fullScale = radianceFullScale();
    // Counted in 32-bit sums over runs short enough that they cannot
    // overflow, which the compiler vectorises with 16-bit compares (a 64-bit
    // count takes four times the vector lanes).
    constexpr std::size_t RUN_VALUES = std::size_t{1} << 30;
    std::uint64_t count = 0;
    for (std::size_t first = 0; first < dn.size(); first += RUN_VALUES) {
        const std::size_t last = std::min(dn.size(), first + RUN_VALUES);
        std::uint32_t runCount = 0;
        for (std::size_t k = first; k < last; ++k) {
            runCount += static_cast<std::int32_t>(dn[k]) > fullScale;
        }
        count += runCount;
    }
    return count;
}

std::string dnAboveFullScaleWarning(std::uint64_t pixelCount, int band)
{
    if (pixelCount == 0) {
        return {};
    }
    const std::string fullScale = std::to_string(radianceFullScale());
    return std::to_string(pixelCount) + (pixelCount == 1 ? " pixel" : " pixels") + " of band "
           + std::to_string(band) + (pixelCount == 1 ? " has a DN" : " have DNs") + " above "
           + fullScale + ", the full scale of the calibration (the DN that lmax stands for): "
           + "their reflectances are extrapolated beyond lmax (has the image been rescaled?).";
}

} // namespace talvex

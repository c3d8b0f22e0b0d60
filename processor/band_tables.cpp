#include "band_tables.h"

#include "correction_model.h"
#include "radiometry.h"

namespace talvex {

RadiometricSetup radiometricSetup(const RunParameters& p)
{
    return RadiometricSetup{radianceFullScale(), earthSunFactor(p.dayOfYear)};
}

void fillBandTable(Reflectance reflectance, int band, const RunParameters& p,
                   const RadiometricSetup& setup, DnTable table)
{
    const std::size_t i = bandIndex(band);
    const ToaCalibration calibration =
        toaCalibration(p.lmin[i], p.lmax[i], bandSolarIrradiance(band), setup.earthSunFactor,
                       p.solarZenithDeg, setup.fullScale);
    if (reflectance == Reflectance::topOfAtmosphere) {
        for (std::size_t dn = 0; dn < DN_VALUES; ++dn) {
            table[dn] =
                dnToToaReflectance(static_cast<std::uint16_t>(dn), calibration).toaReflectance;
        }
        return;
    }
    const BandTerms terms = bandTerms(band, p);
    table[0] = 0.0f; // no data
    for (std::size_t dn = 1; dn < DN_VALUES; ++dn) {
        const float toa =
            dnToToaReflectance(static_cast<std::uint16_t>(dn), calibration).toaReflectance;
        table[dn] = surfaceReflectance(toa, terms);
    }
}

void applyBandTable(std::span<const float, DN_VALUES> table, const std::uint16_t* dn, float* out,
                    std::size_t count)
{
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = table[dn[k]];
    }
}

} // namespace talvex

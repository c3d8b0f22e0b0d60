#include "radiometry.h"

#include "bands.h"

#include <cmath>

namespace talvex {

namespace {
// Terms of the eccentricity series (square of mean over actual Earth-Sun distance).
constexpr double ECCENTRICITY_E0 = 1.00011;
constexpr double ECCENTRICITY_COS = 0.034221;
constexpr double ECCENTRICITY_SIN = 0.00128;
constexpr double ECCENTRICITY_COS2 = 0.000719;
constexpr double ECCENTRICITY_SIN2 = 0.000077;
constexpr float DOUBLING = 2.0f;
constexpr int RADIANCE_BITS = 12;
} // namespace

double cosd(float angleDeg)
{
    return std::cos(static_cast<double>(angleDeg) * COSD_DEGREE_FACTOR);
}

std::int32_t radianceFullScale()
{
    return static_cast<std::int32_t>(std::pow(2.0, static_cast<double>(RADIANCE_BITS)) - 1.0);
}

// Earth-Sun distance in units of its mean, d = 1 / sqrt(E), from the
// eccentricity correction E = (r0 / r)^2, a Fourier series in the day angle
// Gamma = 2 pi (day - 1) / 365:
//   E = e0 + e1 cos Gamma + e2 sin Gamma + e3 cos 2 Gamma + e4 sin 2 Gamma
// Gamma and 2 Gamma are also stored in single precision, and all but the
// first cosine take the stored values.
float earthSunFactor(std::int32_t dayOfYear)
{
    // Day number from 0, wrapping like 32-bit integer arithmetic does.
    const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(dayOfYear) - 1u);
    const double gamma = n * DAY_ANGLE_FULL_TURN / DAYS_PER_YEAR;
    const float dayAngle = static_cast<float>(gamma);
    const float twiceDayAngle = DOUBLING * dayAngle;
    const double e = ECCENTRICITY_E0 + ECCENTRICITY_COS * std::cos(gamma)
                     + ECCENTRICITY_SIN * std::sin(static_cast<double>(dayAngle))
                     + ECCENTRICITY_COS2 * std::cos(static_cast<double>(twiceDayAngle))
                     + ECCENTRICITY_SIN2 * std::sin(static_cast<double>(twiceDayAngle));
    return static_cast<float>(1.0 / std::sqrt(e));
}

float bandSolarIrradiance(int band)
{
    return BAND_SOLAR_IRRADIANCE[bandIndex(band)];
}

ToaCalibration toaCalibration(float lmin, float lmax, float bandIrradiance, float earthSunFactor,
                              float solarZenithDeg, std::int32_t fullScale)
{
    return ToaCalibration{lmin, lmax, fullScale, static_cast<double>(earthSunFactor),
                          cosd(solarZenithDeg) * static_cast<double>(bandIrradiance)};
}

// At-sensor radiance by the linear calibration of the band,
//   L = lmin + (lmax - lmin) DN / DN_full,
// and the top-of-atmosphere reflectance, the radiance over that of a
// perfect diffuse reflector under the sun,
//   rho_toa = pi L d^2 / (E_sun cos theta_s)
// with d the Earth-Sun distance in mean distances and E_sun the band's
// exo-atmospheric solar irradiance.
ToaValue dnToToaReflectance(std::uint16_t dn, const ToaCalibration& c)
{
    if (dn == 0) {
        return ToaValue{0.0f, 0.0f};
    }
    // Linear calibration, L = lmin + (lmax - lmin) x DN / fullScale, in double.
    const double radiance =
        (static_cast<double>(c.lmax) - static_cast<double>(c.lmin)) * dn / c.fullScale
        + static_cast<double>(c.lmin);
    // rho = pi L d^2 / (Esun cos(solar zenith)), left to right.
    const double numerator = radiance * REFLECTANCE_PI * c.earthSunFactor * c.earthSunFactor;
    return ToaValue{static_cast<float>(radiance), static_cast<float>(numerator / c.denominator)};
}

} // namespace talvex

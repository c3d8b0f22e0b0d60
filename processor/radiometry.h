// Angles, the Earth-Sun distance and the conversion of raw DN into
// top-of-atmosphere reflectance.
//
// Three approximations of pi are in use and each stays where it is: 3.14
// inside cosd, 6.2831853 as the full turn of the day angle, and 3.14159265
// in the reflectance formula and in the radian-to-degree conversion of the
// scattering angle. Every output depends on them.
#pragma once

#include "bands.h"

#include <array>
#include <cstdint>

namespace talvex {

// Degree-to-radian factor of cosd: 3.14 / 180, not pi / 180.
inline constexpr double COSD_DEGREE_FACTOR = 3.14 / 180.0;
// Full turn of the day angle, radians.
inline constexpr double DAY_ANGLE_FULL_TURN = 6.2831853;
inline constexpr double DAYS_PER_YEAR = 365.0;
// Pi of the reflectance formula and of the scattering angle in degrees.
inline constexpr double REFLECTANCE_PI = 3.14159265;

// Exo-atmospheric solar irradiance of bands 2, 3, 4, 5, in the units of
// the calibration radiances.
inline constexpr std::array<float, BAND_COUNT> BAND_SOLAR_IRRADIANCE = {185.376f, 158.978f,
                                                                        109.479f, 23.703f};

// Cosine of an angle in degrees, with 3.14/180 as the degree factor.
double cosd(float angleDeg);

// DN that stands for lmax: 2^12 - 1, computed in floating point and truncated.
std::int32_t radianceFullScale();

// Earth-Sun distance on the acquisition day in units of its mean distance.
float earthSunFactor(std::int32_t dayOfYear);

// Exo-atmospheric solar irradiance of a band (2 to 5).
float bandSolarIrradiance(int band);

// What the TOA conversion of one band needs, fixed for all its pixels.
struct ToaCalibration {
    float lmin;             // radiance at the bottom of the DN scale
    float lmax;             // radiance that DN fullScale stands for
    std::int32_t fullScale; // RADIANCE_FULL_SCALE
    double earthSunFactor;  // d, the 32-bit factor widened exactly
    double denominator;     // cosd(solar zenith) x band solar irradiance
};

ToaCalibration toaCalibration(float lmin, float lmax, float bandIrradiance, float earthSunFactor,
                              float solarZenithDeg, std::int32_t fullScale);

struct ToaValue {
    float radiance;       // at-sensor radiance of the pixel
    float toaReflectance; // top-of-atmosphere reflectance, dimensionless
};

// Radiance and TOA reflectance of one DN; both are 0 for DN 0 (no data).
ToaValue dnToToaReflectance(std::uint16_t dn, const ToaCalibration& calibration);

} // namespace talvex

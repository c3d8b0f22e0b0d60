// A band's conversion depends on the DN alone, so each band is tabulated once
// for all 65536 DNs with exactly the per-pixel arithmetic, and every pixel is
// a table look-up. Every front end converts pixels through these tables.
#pragma once

#include "run_parameters.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace talvex {

// One table entry for every possible DN.
inline constexpr std::size_t DN_VALUES = std::size_t{1} << 16;

using DnTable = std::span<float, DN_VALUES>;

// The two reflectances a run can write.
enum class Reflectance {
    topOfAtmosphere, // at the sensor, before correction
    surface,         // at the ground, after atmospheric correction
};

// What the whole run shares: the DN that lmax stands for and the Earth-Sun
// distance of the acquisition day.
struct RadiometricSetup {
    std::int32_t fullScale;
    float earthSunFactor;
};

RadiometricSetup radiometricSetup(const RunParameters& parameters);

// Fills `table` with the reflectance of every DN of one band (2 to 5); DN 0,
// which marks a pixel without data, is 0 in both reflectances.
void fillBandTable(Reflectance reflectance, int band, const RunParameters& parameters,
                   const RadiometricSetup& setup, DnTable table);

// out[i] = table[dn[i]] for i < count.
void applyBandTable(std::span<const float, DN_VALUES> table, const std::uint16_t* dn, float* out,
                    std::size_t count);

} // namespace talvex

// Warnings, never refusals, for values that are almost certainly in another
// unit than the model's, or outside the scale the calibration covers. The
// run goes on as asked; a front end shows these sentences beside its other
// messages (TALVEX-V1 keeps its own dialogue and shows none of them).
#pragma once

#include "run_parameters.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace talvex {

// The largest ozone column, in atm-cm, that any real atmosphere holds with a
// wide margin (real columns are about 0.2 to 0.5 atm-cm); above it the value
// is almost surely in Dobson units (1 atm-cm = 1000 Dobson units).
inline constexpr float OZONE_PLAUSIBLE_MAX_ATM_CM = 3.0f;
inline constexpr double DOBSON_UNITS_PER_ATM_CM = 1000.0;

// The largest water vapour column, in g/cm2, of any real atmosphere with a
// margin (real columns are about 0.1 to 7 g/cm2); above it the value is
// almost surely precipitable water in millimetres (1 g/cm2 = 10 mm).
inline constexpr float WATER_VAPOUR_PLAUSIBLE_MAX_G_CM2 = 10.0f;
inline constexpr double MILLIMETRES_PER_G_CM2 = 10.0;

// One sentence per atmosphere value that looks like another unit, naming the
// value, the unit the model expects and the value likely meant. Empty when
// nothing looks wrong, and always empty for a run without correction (which
// reads no atmosphere).
std::vector<std::string> unitWarnings(const RunParameters& parameters);

// How many DNs lie above the full scale of the calibration, the DN that lmax
// stands for; DNs up there give reflectances extrapolated beyond lmax.
std::uint64_t countDnAboveFullScale(std::span<const std::uint16_t> dn);

// The sentence for `pixelCount` pixels of `band` above the full scale, or an
// empty text when the count is 0.
std::string dnAboveFullScaleWarning(std::uint64_t pixelCount, int band);

} // namespace talvex

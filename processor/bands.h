// The four spectral bands of the image, numbered 2, 3, 4 and 5 and always
// taken in that order; every per-band table is indexed through bandIndex.
#pragma once

#include <cassert>
#include <cstddef>

namespace talvex {

inline constexpr int FIRST_BAND = 2;
inline constexpr int LAST_BAND = 5;
inline constexpr int BAND_COUNT = LAST_BAND - FIRST_BAND + 1;

// What each band sees, in band order: for band descriptions and captions.
inline constexpr const char* BAND_COLOURS[BAND_COUNT] = {"green", "red", "near infrared",
                                                         "short-wave infrared"};

// Position of a band (2 to 5) in a per-band table.
constexpr std::size_t bandIndex(int band)
{
    assert(band >= FIRST_BAND && band <= LAST_BAND);
    return static_cast<std::size_t>(band - FIRST_BAND);
}

} // namespace talvex

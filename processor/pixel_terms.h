// Surface reflectance when the surface elevation and the aerosol optical
// depth vary from pixel to pixel (maps), rather than being one value for
// the scene.
//
// A map value is first quantised: elevations to whole metres, aerosol
// optical depths to thousandths. The band terms are then computed once per
// distinct quantised value and band, by the model itself with that value as
// the scene value; a pixel only looks its terms up and goes through the
// model's own inversion. A pixel's surface reflectance is therefore bit for
// bit what a run of the whole scene with its quantised values as scene
// values gives it.
//
// The elevation acts only through the Rayleigh terms and the optical depth
// only through the aerosol terms, transmissions and spherical albedo; the
// two meet in the path reflectance, which is put together per pixel from
// the two looked-up halves with the model's own sum.
#pragma once

#include "band_tables.h"
#include "bands.h"
#include "correction_model.h"
#include "run_parameters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talvex {

// Quantisation steps: a map value stands for the nearest multiple of its
// step (halves away from zero).
inline constexpr double MAP_ELEVATION_STEP_METRES = 1.0;
inline constexpr double MAP_AEROSOL_DEPTH_STEP = 0.001;

// Map values accepted: every land surface of the Earth, and optical depths
// from clear air to dense smoke. A value outside (often an unmarked no-data
// value such as -9999) is refused rather than corrected with.
inline constexpr float MAP_MIN_ELEVATION_METRES = -1000.0f;
inline constexpr float MAP_MAX_ELEVATION_METRES = 9000.0f;
inline constexpr float MAP_MIN_AEROSOL_OPTICAL_DEPTH = 0.0f;
inline constexpr float MAP_MAX_AEROSOL_OPTICAL_DEPTH = 10.0f;

// The slot of a pixel without a map value (NaN, or masked by the map): its
// surface reflectance is 0, as for DN 0.
inline constexpr std::int32_t MAP_NO_DATA_SLOT = -1;

// The two quantities a map can give.
enum class MapQuantity {
    elevation,           // surface elevation, metres
    aerosolOpticalDepth, // reference aerosol optical depth, dimensionless
};

// "elevation" or "aerosol optical depth", for messages.
const char* mapQuantityName(MapQuantity quantity);

// The value, as a 32-bit float, that a map value stands for in the model:
// the decimal multiple of the step, read as the parameter stream reads a
// number. Throws a parameters Failure naming the value and the accepted
// range for a value outside it (NaN included).
float quantisedMapValue(MapQuantity quantity, float value);

// The decimal text of the quantisation of a quantity, e.g. "1 m", "0.001".
std::string mapQuantisationText(MapQuantity quantity);

// One value for each of the four bands, as a GCC vector (element 0 is band
// 2), so that a pixel's four bands load their terms at once and go through
// the inversion together. Aligned to their size whatever vector unit a unit
// is built for (GCC would otherwise align them less where the unit has no
// vectors that wide, while loops built for wider units load them aligned).
inline constexpr std::size_t BAND_DOUBLES_BYTES = BAND_COUNT * sizeof(double);
inline constexpr std::size_t BAND_SINGLES_BYTES = BAND_COUNT * sizeof(float);
using BandDoubles =
    double __attribute__((vector_size(BAND_DOUBLES_BYTES), aligned(BAND_DOUBLES_BYTES)));
using BandSingles =
    float __attribute__((vector_size(BAND_SINGLES_BYTES), aligned(BAND_SINGLES_BYTES)));

// What the inversion of a pixel reads from its elevation's terms (the
// Rayleigh part of the path reflectance, in double as the path's sum forms
// it), and from its optical depth's, each held in double as the inversion
// reads it, so that the pixel loop only loads them.
struct ElevationSlotTerms {
    BandDoubles rayleighPathPart;
};
struct AerosolSlotTerms {
    BandDoubles aerosolReflectance;
    BandDoubles aerosolResidual;
    BandDoubles transmission; // T_down T_up T_g
    BandDoubles sphericalAlbedo;
};

// Band terms for every distinct quantised value met so far, filled as the
// values are met. The scene's own values (where no map is given) are slot 0.
struct PixelTermTables {
    RunParameters scene; // the run's parameters; their elevation and optical depth are slot 0
    ScatteringGeometry geometry; // the scene's, which no map changes
    // Per quantity: the first key of the dense range, and per slot (1 + key
    // - first key) whether it is filled. Slot 0 is the scene value.
    std::int64_t firstElevationKey = 0;
    std::int64_t firstAerosolKey = 0;
    std::vector<std::uint8_t> elevationFilled;
    std::vector<std::uint8_t> aerosolFilled;
    // Per slot, whether the block being slotted meets it (working space).
    std::vector<std::uint8_t> elevationMet;
    std::vector<std::uint8_t> aerosolMet;
    // Terms per slot, of the four bands, slot s at entry s + 1: entry 0 is
    // the no-data slot's, zeros never used, so that a pixel loop reads the
    // terms of any slot without a branch (see slotTerms()).
    std::vector<ElevationSlotTerms> elevationTerms;
    std::vector<AerosolSlotTerms> aerosolTerms;
    BandDoubles gasTransmittance{}; // T_g per band, which no map changes
    std::size_t distinctElevations = 0;
    std::size_t distinctAerosolDepths = 0;
};

// Where slot 0's terms are in `terms`: slot s (MAP_NO_DATA_SLOT included)
// is at the result's [s].
template <typename Terms>
const Terms* slotTerms(const std::vector<Terms>& terms)
{
    return terms.data() - MAP_NO_DATA_SLOT;
}

// Tables whose slot 0 holds the terms of `scene`, a correction run's parameters.
PixelTermTables pixelTermTables(const RunParameters& scene);

// Copies into `tables` the terms of the slots that `from`, tables of the
// same scene, has filled and `tables` has not, so that tables kept from one
// run to the next gain what a copy of them met meanwhile.
void mergeFilledSlots(PixelTermTables& tables, const PixelTermTables& from);

// The slot of each value of a map block, filling the terms of values not
// met before. NaN gives MAP_NO_DATA_SLOT; so does a value whose `valid` entry
// is 0, when `valid` is given. Throws a parameters Failure naming the first
// value outside the accepted range.
void mapSlots(PixelTermTables& tables, MapQuantity quantity, const float* values,
              const std::uint8_t* valid, std::int32_t* slots, std::size_t count);

// The slots of one block: null for a quantity without a map (slot 0 for all).
struct MapBlockSlots {
    const std::int32_t* elevation = nullptr;
    const std::int32_t* aerosolOpticalDepth = nullptr;
};

// Surface reflectance of `count` pixels of one band: out[k] from dn[k]
// through the band's TOA table and the terms of the pixel's slots. DN 0 or a
// no-data slot gives 0.
void applyPixelTerms(const PixelTermTables& tables, int band,
                     std::span<const float, DN_VALUES> toaTable, const std::uint16_t* dn,
                     const MapBlockSlots& slots, float* out, std::size_t count);

// The same for the four bands of `count` pixels at once, from band-
// sequential blocks: band i (0 to 3) of pixel k is dn[i * dnBandStride + k]
// and out[i * outBandStride + k], and its TOA table toaTables[i *
// DN_VALUES, (i + 1) * DN_VALUES). Faster than four calls where all bands
// are at hand.
void applyPixelTermsToBands(const PixelTermTables& tables, const float* toaTables,
                            const std::uint16_t* dn, std::size_t dnBandStride,
                            const MapBlockSlots& slots, float* out, std::size_t outBandStride,
                            std::size_t count);

} // namespace talvex

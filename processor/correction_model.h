// The atmospheric correction model: band-level terms of gas absorption,
// Rayleigh and aerosol scattering, diffuse transmissions and spherical
// albedo, and the per-pixel inversion of TOA reflectance into surface
// reflectance.
//
// Arithmetic is in double precision; a value is rounded to single precision
// where it is stored (every float below), and the order of operations of
// each formula is kept as written, since those roundings shape the last
// digits of the results.
#pragma once

#include "run_parameters.h"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace talvex {

// A value rounded or widened to another precision: a cast for one value,
// and for a GCC vector of values, each element as that cast. A vector is
// widened element by element, which GCC 12 turns into one instruction where
// __builtin_convertvector converts each half apart; it is rounded with
// __builtin_convertvector, since GCC 12 folds a round trip from double to
// float and back that is written element by element into nothing,
// dropping the rounding. Always inlined, so the calling convention of wide
// vectors (which GCC warns may differ between vector units) never applies.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename To, typename From, std::size_t... LANE>
[[gnu::always_inline]] inline To widenedLanes(From value, std::index_sequence<LANE...>)
{
    using Element = std::remove_cvref_t<decltype(std::declval<To>()[0])>;
    return To{static_cast<Element>(value[LANE])...};
}
template <typename To, typename From>
[[gnu::always_inline]] inline To converted(From value)
{
    if constexpr (std::is_arithmetic_v<From>) {
        return static_cast<To>(value);
    } else if constexpr (sizeof(std::declval<To>()[0]) < sizeof(std::declval<From>()[0])) {
        return __builtin_convertvector(value, To);
    } else {
        constexpr std::size_t lanes = sizeof(To) / sizeof(std::declval<To>()[0]);
        return widenedLanes<To>(value, std::make_index_sequence<lanes>());
    }
}
#pragma GCC diagnostic pop

// Depolarisation factor of air, held in single precision.
inline constexpr float DEPOLARISATION_FACTOR = 0.0279f;

struct GasTransmittances {
    float waterVapourTransmittance;
    float ozoneTransmittance;
    float gasTransmittance;
};

struct ScatteringGeometry {
    float relativeAzimuthDeg; // |solar azimuth - view azimuth|, not reduced
    double zenithSineProduct; // sin(solar zenith) x sin(view zenith)
    float cosScattering;      // cosine of the scattering angle
    float scatteringAngleDeg; // scattering angle, degrees
};

// Everything the inversion of one band needs, plus the intermediate terms.
struct BandTerms {
    GasTransmittances gas;
    float sphericalAlbedo;
    float downTransmission;
    float upTransmission;
    ScatteringGeometry geometry;
    float rayleighOpticalDepth;
    float rayleighPhase;
    float rayleighReflectance;
    float aerosolOpticalDepthBand;
    float aerosolPhase;
    float aerosolReflectance;
    float rayleighResidual;
    float aerosolResidual;
    float pathReflectance;
};

// Two-way air mass: 1/cos(solar zenith), rounded to single, plus 1/cos(view zenith).
double airMass(float solarZenithDeg, float viewZenithDeg);

// Fractions of light not absorbed by water vapour and ozone on the two-way path.
GasTransmittances gasTransmittance(int band, float solarZenithDeg, float viewZenithDeg,
                                   float waterVapourColumn, float ozoneColumn);

// Fraction of the surface-reflected light that the atmosphere sends back down.
float sphericalAlbedo(int band, float aerosolOpticalDepth);
// Total (direct plus diffuse) transmission along the sun path.
float downTransmission(int band, float aerosolOpticalDepth, float solarZenithDeg);
// Total (direct plus diffuse) transmission along the view path.
float upTransmission(int band, float aerosolOpticalDepth, float viewZenithDeg);

// Angle between the incoming sunlight and the direction towards the sensor.
ScatteringGeometry scatteringGeometry(float solarZenithDeg, float solarAzimuthDeg,
                                      float viewZenithDeg, float viewAzimuthDeg);
// Optical depth of the molecular atmosphere above the surface elevation.
float rayleighOpticalDepth(int band, float elevationMetres);
// Rayleigh phase function at the scattering angle, before it is stored in single precision.
double rayleighPhase(float cosScattering);
// Single-scattering reflectance of the molecular atmosphere.
float rayleighReflectance(float rayleighOpticalDepth, double rayleighPhase, float solarZenithDeg,
                          float viewZenithDeg);

// Aerosol optical depth at the band's wavelength.
float aerosolOpticalDepthBand(int band, float aerosolOpticalDepth);
// Aerosol phase function at the scattering angle (degrees).
float aerosolPhase(int band, float scatteringAngleDeg);
// Reflectance of the aerosol layer, from a two-stream solution.
float aerosolReflectance(int band, float aerosolOpticalDepthBand, float aerosolPhase,
                         float solarZenithDeg, float viewZenithDeg);

// Correction of the single-scattering Rayleigh reflectance for multiple scattering.
float rayleighResidual(int band, float rayleighOpticalDepth, float rayleighPhase,
                       float solarZenithDeg, float viewZenithDeg);
// Correction of the aerosol reflectance, a cubic in depth x angle x air mass.
float aerosolResidual(int band, float aerosolOpticalDepthBand, float scatteringAngleDeg,
                      float solarZenithDeg, float viewZenithDeg);
// Path reflectance, what the sensor would see over a black surface:
//   rho_atm = (rho_r - Delta rho_r) + rho_a - Delta rho_a
// Inline, with the inversion below, since a pixel loop with per-pixel terms
// runs both for every pixel; split at the Rayleigh part (rho_r - Delta rho_r,
// in double) for loops that form it once per elevation.
inline double rayleighPathPart(float rayleighReflectance, float rayleighResidual)
{
    return static_cast<double>(rayleighReflectance) - static_cast<double>(rayleighResidual);
}
// The sum from the Rayleigh part on, for one value (float from double) or
// for several at once (GCC vectors of floats from vectors of doubles, each
// element rounded as the single value is).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi" // always inlined, as converted()
template <typename Single, typename Double>
[[gnu::always_inline]] inline Single
pathReflectanceOf(Double rayleighPathPart, Double aerosolReflectance, Double aerosolResidual)
{
    return converted<Single>((rayleighPathPart + aerosolReflectance) - aerosolResidual);
}
#pragma GCC diagnostic pop
inline float pathReflectance(double rayleighPathPart, double aerosolReflectance,
                             double aerosolResidual)
{
    return pathReflectanceOf<float>(rayleighPathPart, aerosolReflectance, aerosolResidual);
}
inline float pathReflectance(float rayleighReflectance, float rayleighResidual,
                             float aerosolReflectance, float aerosolResidual)
{
    return pathReflectance(rayleighPathPart(rayleighReflectance, rayleighResidual),
                           static_cast<double>(aerosolReflectance),
                           static_cast<double>(aerosolResidual));
}

// The terms of one band that the surface elevation changes (through the
// Rayleigh optical depth), and those that the aerosol optical depth
// changes, each from the parameters and the scene's scattering geometry.
// bandTerms() is made of the two, so a loop that varies one value can
// recompute its part alone.
struct RayleighPart {
    float rayleighOpticalDepth;
    float rayleighPhase;
    float rayleighReflectance;
    float rayleighResidual;
};
RayleighPart rayleighPart(int band, const RunParameters& parameters,
                          const ScatteringGeometry& geometry);
struct AerosolPart {
    float sphericalAlbedo;
    float downTransmission;
    float upTransmission;
    float aerosolOpticalDepthBand;
    float aerosolPhase;
    float aerosolReflectance;
    float aerosolResidual;
};
AerosolPart aerosolPart(int band, const RunParameters& parameters,
                        const ScatteringGeometry& geometry);

// The scattering geometry of a run's angles.
ScatteringGeometry sceneGeometry(const RunParameters& parameters);

// All terms of one band, in the order the model builds them.
BandTerms bandTerms(int band, const RunParameters& parameters);

// Surface reflectance of a pixel from its (non-zero DN) TOA reflectance.
// The TOA reflectance of a Lambertian surface of reflectance rho_s under
// the atmosphere is
//   rho_toa = T_g (rho_atm + T_down T_up rho_s / (1 - S rho_s))
// (path reflectance rho_atm, gas transmittance T_g, transmissions T_down and
// T_up, spherical albedo S). Solved for rho_s, with the surface signal
// A = rho_toa - rho_atm T_g:
//   rho_s = A / (T_down T_up T_g + A S)
// These forms take the terms the inversion reads, as the pixel loop with
// per-pixel terms gathers them.
// The two-way transmission T_down T_up T_g, as the inversion forms it.
inline double inversionTransmission(float downTransmission, float upTransmission,
                                    double gasTransmittance)
{
    return (static_cast<double>(downTransmission) * static_cast<double>(upTransmission))
           * gasTransmittance;
}
// The inversion from the transmission above, for loops that form it once:
// one pixel (float and double), or several pixels or bands at once (GCC
// vectors, element by element the same arithmetic and roundings).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi" // always inlined, as converted()
template <typename Single, typename Double>
[[gnu::always_inline]] inline Single
surfaceReflectanceOf(Single toaReflectance, Single pathReflectance, Double gasTransmittance,
                     Double transmission, Double sphericalAlbedo)
{
    const Double surfaceSignal =
        converted<Double>(toaReflectance) - converted<Double>(pathReflectance) * gasTransmittance;
    const Double denominator = transmission + surfaceSignal * sphericalAlbedo;
    return converted<Single>(surfaceSignal / denominator);
}
#pragma GCC diagnostic pop
inline float surfaceReflectance(float toaReflectance, float pathReflectance,
                                double gasTransmittance, double transmission,
                                double sphericalAlbedo)
{
    return surfaceReflectanceOf(toaReflectance, pathReflectance, gasTransmittance, transmission,
                                sphericalAlbedo);
}
inline float surfaceReflectance(float toaReflectance, float pathReflectance, float gasTransmittance,
                                float downTransmission, float upTransmission, float sphericalAlbedo)
{
    const double gas = static_cast<double>(gasTransmittance);
    return surfaceReflectance(toaReflectance, pathReflectance, gas,
                              inversionTransmission(downTransmission, upTransmission, gas),
                              static_cast<double>(sphericalAlbedo));
}

// The same, from all the terms of the pixel's band.
inline float surfaceReflectance(float toaReflectance, const BandTerms& t)
{
    return surfaceReflectance(toaReflectance, t.pathReflectance, t.gas.gasTransmittance,
                              t.downTransmission, t.upTransmission, t.sphericalAlbedo);
}

} // namespace talvex

// Per-band constants of the atmospheric correction model, tuned for
// continental aerosols and a tropical atmosphere.
//
// One row per constant, one value per band (2, 3, 4, 5, in that order).
// Every value is the double nearest to the decimal written here; the rows
// deliberately mix precisions and must not be rounded to a common one.
#pragma once

#include "bands.h"

#include <array>

namespace talvex {

// Values of one constant for bands 2, 3, 4 and 5.
using BandRow = std::array<double, BAND_COUNT>;

struct BandCoefficients {
    BandRow aerosolDepthOffset;     // additive term of the band aerosol optical depth
    BandRow aerosolDepthScale;      // factor on the reference aerosol optical depth
    BandRow aerosolPhaseP0;         // aerosol phase polynomial in degrees: constant term
    BandRow aerosolPhaseP1;         //   coefficient of the scattering angle
    BandRow aerosolPhaseP2;         //   of the angle squared
    BandRow aerosolPhaseP3;         //   of the angle cubed
    BandRow aerosolPhaseP4;         //   of the angle to the fourth power
    BandRow singleScatteringAlbedo; // aerosol single-scattering albedo
    BandRow asymmetryFactor;        // aerosol asymmetry factor
    BandRow waterVapourA;           // water-vapour absorption: factor in the exponent
    BandRow waterVapourN;           //   power of the absorber path
    BandRow ozoneA;                 // ozone absorption: factor in the exponent
    BandRow ozoneN;                 //   power of the absorber path
    BandRow rayleighDepthSeaLevel;  // Rayleigh optical depth at zero elevation
    BandRow rayleighDepthPerKm;     // its change per kilometre of elevation
    BandRow rayleighResidualR1;     // Rayleigh residual: constant term
    BandRow rayleighResidualR2;     //   linear coefficient
    BandRow rayleighResidualR3;     //   quadratic coefficient
    BandRow aerosolResidualA1;      // aerosol residual: constant term
    BandRow aerosolResidualA2;      //   linear coefficient
    BandRow aerosolResidualA3;      //   quadratic coefficient
    BandRow aerosolResidualA4;      //   cubic coefficient
    BandRow sphericalAlbedoS0;      // spherical albedo: constant of the denominator
    BandRow sphericalAlbedoS1;      //   factor on the aerosol optical depth
    BandRow downTransmissionT0;     // downward transmission: constant term
    BandRow downTransmissionT1;     //   factor on aerosol depth / cos(solar zenith)
    BandRow downTransmissionT2;     //   factor on 1 / (1 + cos(solar zenith))
    BandRow upTransmissionT0;       // upward transmission: constant term
    BandRow upTransmissionT1;       //   factor on aerosol depth / cos(view zenith)
    BandRow upTransmissionT2;       //   factor on 1 / (1 + cos(view zenith))
};

// The table itself, row by row:        band 2               band 3            band 4 band 5
inline constexpr BandCoefficients BAND_COEFFICIENTS{
    .aerosolDepthOffset = {{-1.4e-06, 2.85714e-07, -4.44089e-16, 1.33333e-07}},
    .aerosolDepthScale = {{0.986243, 0.836686, 0.6442, 0.280141}},
    .aerosolPhaseP0 = {{9.06831615083832, -1.28965, -8.059694, 3.493505}},
    .aerosolPhaseP1 = {{-0.239950471685775, 0.049947, 0.243993, -0.0555}},
    .aerosolPhaseP2 = {{0.00243160971283203, -0.000587219, -0.002654, 0.000158}},
    .aerosolPhaseP3 = {{-1.1061041307237e-05, 2.80562e-06, 1.25043e-05, 1.22527e-06}},
    .aerosolPhaseP4 = {{1.9239e-08, -4.4671e-09, -2.13581e-08, -5.256e-09}},
    .singleScatteringAlbedo = {{0.89339, 0.88582, 0.86431, 0.79161}},
    .asymmetryFactor = {{0.635, 0.635, 0.64, 0.66}},
    .waterVapourA = {{-0.005322, -0.00854, -0.05171, -0.008702}},
    .waterVapourN = {{0.6813, 0.7113, 0.5371, 0.6917}},
    .ozoneA = {{-0.06683, -0.0482, -7.03e-05, 0.0}},
    .ozoneN = {{0.9987, 0.9984, 0.5672, 0.0}},
    .rayleighDepthSeaLevel = {{0.0895, 0.0481, 0.0196, 0.0012}},
    .rayleighDepthPerKm = {{-0.0089, -0.0048, -0.002, -0.0001}},
    .rayleighResidualR1 = {{-0.00385656380331991, -0.00112, -0.00022610709, -0.00023}},
    .rayleighResidualR2 = {{0.0110383004219347, 0.001586, -0.00177587599, -0.00178}},
    .rayleighResidualR3 = {{-0.0278068676399053, -0.03174, -0.0583321531, -0.05833}},
    .aerosolResidualA1 = {{-0.0022357034038, -0.00204285, -0.00169113710566987, -0.00069}},
    .aerosolResidualA2 = {{5.8204672093e-05, 1.23359e-05, 7.79789081969951e-05, 6.44e-05}},
    .aerosolResidualA3 = {{-3.8827672255e-07, -3.87031514e-07, -8.29167884538476e-07, -1.6e-06}},
    .aerosolResidualA4 = {{9.76691196292e-10, 1.373600765e-09, 2.94464298507095e-09, 1.41e-08}},
    .sphericalAlbedoS0 = {{1.102, 1.062, 1.032, 1.006}},
    .sphericalAlbedoS1 = {{0.1625, 0.1587, 0.1341, 0.0539}},
    .downTransmissionT0 = {{1.116087, 1.1062, 1.085909, 1.034537}},
    .downTransmissionT1 = {{-0.19503, -0.18302, -0.16117, -0.08523}},
    .downTransmissionT2 = {{-0.32832, -0.257442, -0.1826757, -0.0621689}},
    .upTransmissionT0 = {{1.099512, 1.0855432, 1.0649256, 1.0195852}},
    .upTransmissionT1 = {{-0.20392, -0.1838342, -0.1569196, -0.07919364}},
    .upTransmissionT2 = {{-0.28725, -0.21653, -0.14691, -0.03959}},
};

// The value of one row for a band (2 to 5). The model never asks for any
// other band number.
constexpr double coefficient(const BandRow& row, int band)
{
    return row[bandIndex(band)];
}

} // namespace talvex

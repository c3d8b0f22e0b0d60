#include "correction_model.h"

#include "band_coefficients.h"
#include "radiometry.h"

#include <algorithm>
#include <cmath>

namespace talvex {

namespace {

const BandCoefficients& K = BAND_COEFFICIENTS;

// Radians to degrees for the scattering angle, with the reflectance pi.
constexpr double DEGREES_PER_HALF_TURN = 180.0;
// Elevation rows are per kilometre.
constexpr double METRES_PER_KM = 1000.0;

float single(double value)
{
    return static_cast<float>(value);
}

double widen(float value)
{
    return static_cast<double>(value);
}

} // namespace

double airMass(float solarZenithDeg, float viewZenithDeg)
{
    return widen(single(1.0 / cosd(solarZenithDeg))) + 1.0 / cosd(viewZenithDeg);
}

GasTransmittances gasTransmittance(int band, float solarZenithDeg, float viewZenithDeg,
                                   float waterVapourColumn, float ozoneColumn)
{
    GasTransmittances t{};
    t.waterVapourTransmittance = single(std::exp(
        coefficient(K.waterVapourA, band)
        * std::pow(airMass(solarZenithDeg, viewZenithDeg) * widen(waterVapourColumn),
                   coefficient(K.waterVapourN, band))));
    t.ozoneTransmittance = single(std::exp(
        coefficient(K.ozoneA, band)
        * std::pow(airMass(solarZenithDeg, viewZenithDeg) * widen(ozoneColumn),
                   coefficient(K.ozoneN, band))));
    t.gasTransmittance = single(widen(t.waterVapourTransmittance) * widen(t.ozoneTransmittance));
    return t;
}

float sphericalAlbedo(int band, float aerosolOpticalDepth)
{
    return single(1.0 - 1.0 / (coefficient(K.sphericalAlbedoS1, band) * widen(aerosolOpticalDepth)
                               + coefficient(K.sphericalAlbedoS0, band)));
}

float downTransmission(int band, float aerosolOpticalDepth, float solarZenithDeg)
{
    const double mus = cosd(solarZenithDeg);
    return single((coefficient(K.downTransmissionT0, band)
                   + (coefficient(K.downTransmissionT1, band) * widen(aerosolOpticalDepth)) / mus)
                  + coefficient(K.downTransmissionT2, band) / (mus + 1.0));
}

float upTransmission(int band, float aerosolOpticalDepth, float viewZenithDeg)
{
    const double muv = cosd(viewZenithDeg);
    return single((coefficient(K.upTransmissionT0, band)
                   + (coefficient(K.upTransmissionT1, band) * widen(aerosolOpticalDepth)) / muv)
                  + coefficient(K.upTransmissionT2, band) / (muv + 1.0));
}

ScatteringGeometry scatteringGeometry(float solarZenithDeg, float solarAzimuthDeg,
                                      float viewZenithDeg, float viewAzimuthDeg)
{
    const double mus = cosd(solarZenithDeg);
    const double muv = cosd(viewZenithDeg);
    ScatteringGeometry g{};
    const double cosineProduct = widen(single(mus)) * muv;
    const float solarSineSquared = single(1.0 - mus * widen(single(mus)));
    g.zenithSineProduct = std::sqrt((1.0 - muv * widen(single(muv))) * widen(solarSineSquared));
    g.relativeAzimuthDeg = single(std::fabs(widen(solarAzimuthDeg) - widen(viewAzimuthDeg)));
    const double cosine = -(cosd(g.relativeAzimuthDeg) * g.zenithSineProduct + cosineProduct);
    g.cosScattering = single(cosine);
    // Rounding can put the exact backscatter just below -1; it stays 180 degrees.
    g.scatteringAngleDeg =
        single(std::acos(std::clamp(cosine, -1.0, 1.0)) * DEGREES_PER_HALF_TURN / REFLECTANCE_PI);
    return g;
}

float rayleighOpticalDepth(int band, float elevationMetres)
{
    return single((coefficient(K.rayleighDepthPerKm, band) * widen(elevationMetres)) / METRES_PER_KM
                  + coefficient(K.rayleighDepthSeaLevel, band));
}

double rayleighPhase(float cosScattering)
{
    const double c = widen(cosScattering);
    const double delta = widen(DEPOLARISATION_FACTOR);
    return ((1.0 - delta) * 1.5 * (1.0 + c * c)) / (delta + 2.0) + (3.0 * delta) / (2.0 + delta);
}

float rayleighReflectance(float rayleighOpticalDepth, double rayleighPhase, float solarZenithDeg,
                          float viewZenithDeg)
{
    const double mus = cosd(solarZenithDeg);
    const double muv = cosd(viewZenithDeg);
    return single(widen(single(widen(rayleighOpticalDepth) * rayleighPhase))
                  / (muv * widen(single(4.0 * mus))));
}

float aerosolOpticalDepthBand(int band, float aerosolOpticalDepth)
{
    return single(coefficient(K.aerosolDepthOffset, band)
                  + coefficient(K.aerosolDepthScale, band) * widen(aerosolOpticalDepth));
}

float aerosolPhase(int band, float scatteringAngleDeg)
{
    const double theta = widen(scatteringAngleDeg);
    double sum = coefficient(K.aerosolPhaseP0, band);
    sum = sum + coefficient(K.aerosolPhaseP1, band) * theta;
    sum = sum + (coefficient(K.aerosolPhaseP2, band) * theta) * theta;
    sum = sum + ((coefficient(K.aerosolPhaseP3, band) * theta) * theta) * theta;
    sum = sum + (((coefficient(K.aerosolPhaseP4, band) * theta) * theta) * theta) * theta;
    return single(sum);
}

float aerosolReflectance(int band, float aerosolOpticalDepthBand, float aerosolPhase,
                         float solarZenithDeg, float viewZenithDeg)
{
    // Each named value is stored in single precision as it is defined and
    // read back from there; q2 alone stays in double.
    const double w = coefficient(K.singleScatteringAlbedo, band);
    const double g = coefficient(K.asymmetryFactor, band);
    const double mus = cosd(solarZenithDeg);
    const double muv = cosd(viewZenithDeg);
    const double tau = widen(aerosolOpticalDepthBand);
    const double threeWg = (3.0 * w) * g;

    const double k2Exact = (3.0 - threeWg) * (1.0 - w);
    const double k2 = widen(single(k2Exact));
    const double k = widen(single(std::sqrt(k2Exact)));
    const double musK2 = widen(single(mus * k2));
    const double e = widen(single(w * (mus * (mus * (-3.0))) / ((1.0 - mus * musK2) * 4.0)));
    const double f =
        widen(single(w * (mus * (mus * (g * (-3.0 * (1.0 - w))))) / ((1.0 - mus * musK2) * 4.0)));
    const double dp = widen(single(e / (3.0 * mus) + mus * f));
    const double d = widen(single(e + f));
    const double b = widen(single(2.0 * k / (3.0 - threeWg)));
    const double del = widen(single(std::exp(k * tau) * (1.0 + b) * (1.0 + b)
                                    - std::exp(-k * tau) * (1.0 - b) * (1.0 - b)));
    const double ww = widen(single(w / 4.0));
    const double ss = widen(single(widen(single(mus)) / (1.0 - mus * musK2)));
    const double scatterTerm = (((1.0 - w) * 3.0) * g) * mus;
    const double q1 = widen(single((2.0 + 3.0 * mus) + scatterTerm * (1.0 + 2.0 * mus)));
    const double q2 = (2.0 - 3.0 * mus) - (1.0 - 2.0 * mus) * scatterTerm;
    const double q3 = widen(single(q2 * std::exp(-tau / mus)));
    const double c1 = widen(
        single((q1 * std::exp(k * tau) * (1.0 + b) + (1.0 - b) * q3) * (ww * ss / del)));
    const double c2 = widen(
        single((q1 * std::exp(-k * tau) * (1.0 - b) + (1.0 + b) * q3) * (-(ww * ss / del))));
    const double cp1 = widen(single(c1 * k / (3.0 - threeWg)));
    const double cp2 = widen(single(-c2 * k / (3.0 - threeWg)));
    const double z = widen(single((d - muv * threeWg * dp) + w * widen(aerosolPhase) / 4.0));
    const double x = widen(single(c1 - muv * threeWg * cp1));
    const double y = widen(single(c2 - muv * threeWg * cp2));
    const double aa1 = widen(single(widen(single(muv)) / (1.0 + k * muv)));
    const double aa2 = widen(single(widen(single(muv)) / (1.0 - k * muv)));
    const double musSingle = widen(single(mus));
    const double aa3 = widen(single(widen(single(musSingle * muv)) / (musSingle + muv)));
    const double r = 1.0 / (musSingle * muv);
    const double sum = (1.0 - std::exp(-tau / aa1)) * (x * aa1)
                       + (1.0 - std::exp(-tau / aa2)) * (y * aa2)
                       + (1.0 - std::exp(-tau / aa3)) * (z * aa3);
    return single(sum * r);
}

float rayleighResidual(int band, float rayleighOpticalDepth, float rayleighPhase,
                       float solarZenithDeg, float viewZenithDeg)
{
    const double tauR = widen(rayleighOpticalDepth);
    const double phase = widen(rayleighPhase);
    const double cosineProduct = widen(single(cosd(solarZenithDeg))) * cosd(viewZenithDeg);
    const double x = widen(single(tauR * phase)) / cosineProduct;
    return single((coefficient(K.rayleighResidualR1, band)
                   + (coefficient(K.rayleighResidualR2, band) * tauR * phase) / cosineProduct)
                  + (coefficient(K.rayleighResidualR3, band) * x) * x);
}

float aerosolResidual(int band, float aerosolOpticalDepthBand, float scatteringAngleDeg,
                      float solarZenithDeg, float viewZenithDeg)
{
    const double tauA = widen(aerosolOpticalDepthBand);
    const double theta = widen(scatteringAngleDeg);
    const double m = airMass(solarZenithDeg, viewZenithDeg);
    const double y = widen(single(tauA * theta));
    return single(((coefficient(K.aerosolResidualA1, band)
                    + m * (coefficient(K.aerosolResidualA2, band) * tauA * theta))
                   + coefficient(K.aerosolResidualA3, band) * std::pow(m * y, 2.0))
                  + coefficient(K.aerosolResidualA4, band) * std::pow(m * y, 3.0));
}

BandTerms bandTerms(int band, const RunParameters& p)
{
    BandTerms t{};
    t.gas = gasTransmittance(band, p.solarZenithDeg, p.viewZenithDeg, p.waterVapourColumn,
                             p.ozoneColumn);
    t.sphericalAlbedo = sphericalAlbedo(band, p.aerosolOpticalDepth);
    t.downTransmission = downTransmission(band, p.aerosolOpticalDepth, p.solarZenithDeg);
    t.upTransmission = upTransmission(band, p.aerosolOpticalDepth, p.viewZenithDeg);
    t.geometry = scatteringGeometry(p.solarZenithDeg, p.solarAzimuthDeg, p.viewZenithDeg,
                                    p.viewAzimuthDeg);
    t.rayleighOpticalDepth = rayleighOpticalDepth(band, p.elevationMetres);
    const double phase = rayleighPhase(t.geometry.cosScattering);
    t.rayleighPhase = single(phase);
    t.rayleighReflectance =
        rayleighReflectance(t.rayleighOpticalDepth, phase, p.solarZenithDeg, p.viewZenithDeg);
    t.aerosolOpticalDepthBand = aerosolOpticalDepthBand(band, p.aerosolOpticalDepth);
    t.aerosolPhase = aerosolPhase(band, t.geometry.scatteringAngleDeg);
    t.aerosolReflectance = aerosolReflectance(band, t.aerosolOpticalDepthBand, t.aerosolPhase,
                                              p.solarZenithDeg, p.viewZenithDeg);
    t.rayleighResidual = rayleighResidual(band, t.rayleighOpticalDepth, t.rayleighPhase,
                                          p.solarZenithDeg, p.viewZenithDeg);
    t.aerosolResidual = aerosolResidual(band, t.aerosolOpticalDepthBand,
                                        t.geometry.scatteringAngleDeg, p.solarZenithDeg,
                                        p.viewZenithDeg);
    t.pathReflectance = pathReflectance(t.rayleighReflectance, t.rayleighResidual,
                                        t.aerosolReflectance, t.aerosolResidual);
    return t;
}

} // namespace talvex

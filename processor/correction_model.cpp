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

// Two-way relative air mass of the sun's and the sensor's paths through a
// plane-parallel atmosphere, m = 1/mu_s + 1/mu_v, with mu = cos(zenith angle);
// the solar part is stored in single precision.
double airMass(float solarZenithDeg, float viewZenithDeg)
{
    return widen(single(1.0 / cosd(solarZenithDeg))) + 1.0 / cosd(viewZenithDeg);
}

// Transmittance of each absorbing gas over the two-way path, an empirical
// power law in the absorber amount U met along it:
//   T_gas = exp(a (m U)^n)
// with the band's a and n, U the water vapour column (g/cm2) or the ozone
// column (atm-cm) as given, m the two-way air mass; the total gaseous
// transmittance is T_g = T_h2o T_o3.
GasTransmittances gasTransmittance(int band, float solarZenithDeg, float viewZenithDeg,
                                   float waterVapourColumn, float ozoneColumn)
{
    GasTransmittances t{};
    t.waterVapourTransmittance = single(
        std::exp(coefficient(K.waterVapourA, band)
                 * std::pow(airMass(solarZenithDeg, viewZenithDeg) * widen(waterVapourColumn),
                            coefficient(K.waterVapourN, band))));
    t.ozoneTransmittance =
        single(std::exp(coefficient(K.ozoneA, band)
                        * std::pow(airMass(solarZenithDeg, viewZenithDeg) * widen(ozoneColumn),
                                   coefficient(K.ozoneN, band))));
    t.gasTransmittance = single(widen(t.waterVapourTransmittance) * widen(t.ozoneTransmittance));
    return t;
}

// Spherical albedo of the atmosphere, S = 1 - 1 / (s1 tau_550 + s0), with
// tau_550 the reference aerosol optical depth.
float sphericalAlbedo(int band, float aerosolOpticalDepth)
{
    return single(1.0
                  - 1.0
                        / (coefficient(K.sphericalAlbedoS1, band) * widen(aerosolOpticalDepth)
                           + coefficient(K.sphericalAlbedoS0, band)));
}

// Total (direct plus diffuse) transmission along the sun's path, an
// empirical fit T_down = t0 + t1 tau_550 / mu_s + t2 / (mu_s + 1).
float downTransmission(int band, float aerosolOpticalDepth, float solarZenithDeg)
{
    const double mus = cosd(solarZenithDeg);
    return single((coefficient(K.downTransmissionT0, band)
                   + (coefficient(K.downTransmissionT1, band) * widen(aerosolOpticalDepth)) / mus)
                  + coefficient(K.downTransmissionT2, band) / (mus + 1.0));
}

// The same along the sensor's path: T_up = t0 + t1 tau_550 / mu_v + t2 / (mu_v + 1).
float upTransmission(int band, float aerosolOpticalDepth, float viewZenithDeg)
{
    const double muv = cosd(viewZenithDeg);
    return single((coefficient(K.upTransmissionT0, band)
                   + (coefficient(K.upTransmissionT1, band) * widen(aerosolOpticalDepth)) / muv)
                  + coefficient(K.upTransmissionT2, band) / (muv + 1.0));
}

// Scattering angle Theta between the incoming sunlight and the direction
// towards the sensor, from the zenith angles and the relative azimuth phi:
//   cos Theta = -(mu_s mu_v + sin theta_s sin theta_v cos phi)
// with sin theta_s sin theta_v = sqrt((1 - mu_v^2)(1 - mu_s^2)); Theta is
// taken in degrees with the reflectance pi.
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

// Optical depth of the molecular atmosphere above the surface, linear in
// the elevation z in kilometres: tau_r = r1 z + r0.
float rayleighOpticalDepth(int band, float elevationMetres)
{
    return single((coefficient(K.rayleighDepthPerKm, band) * widen(elevationMetres)) / METRES_PER_KM
                  + coefficient(K.rayleighDepthSeaLevel, band));
}

// Rayleigh phase function with the depolarisation of air delta:
//   P_r(Theta) = (1 - delta) (3/2) (1 + cos^2 Theta) / (2 + delta) + 3 delta / (2 + delta)
double rayleighPhase(float cosScattering)
{
    const double c = widen(cosScattering);
    const double delta = widen(DEPOLARISATION_FACTOR);
    return ((1.0 - delta) * 1.5 * (1.0 + c * c)) / (delta + 2.0) + (3.0 * delta) / (2.0 + delta);
}

// Single-scattering reflectance of the molecular atmosphere:
//   rho_r = tau_r P_r / (4 mu_s mu_v)
// with the product tau_r P_r and the product 4 mu_s each stored in single precision.
float rayleighReflectance(float rayleighOpticalDepth, double rayleighPhase, float solarZenithDeg,
                          float viewZenithDeg)
{
    const double mus = cosd(solarZenithDeg);
    const double muv = cosd(viewZenithDeg);
    return single(widen(single(widen(rayleighOpticalDepth) * rayleighPhase))
                  / (muv * widen(single(4.0 * mus))));
}

// Aerosol optical depth at the band's wavelength, linear in the reference
// depth: tau_a = a0 + a1 tau_550.
float aerosolOpticalDepthBand(int band, float aerosolOpticalDepth)
{
    return single(coefficient(K.aerosolDepthOffset, band)
                  + coefficient(K.aerosolDepthScale, band) * widen(aerosolOpticalDepth));
}

// Aerosol phase function at the scattering angle Theta in degrees, a quartic
// fit P_a = p0 + p1 Theta + p2 Theta^2 + p3 Theta^3 + p4 Theta^4, each power
// built up by repeated multiplication and added in ascending order.
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

// Reflectance of a homogeneous aerosol layer from a two-stream solution of
// the radiative transfer equation, with the direct solar beam as its source:
//
//   rho_a = [ x a1 (1 - exp(-tau/a1)) + y a2 (1 - exp(-tau/a2))
//             + z a3 (1 - exp(-tau/a3)) ] / (mu_s mu_v)
//
// where tau is the band's aerosol optical depth, w the single-scattering
// albedo, g the asymmetry factor, mu_s and mu_v the cosines of the solar and
// view zenith angles and P_a the aerosol phase function at the scattering
// angle. The diffuse field is the sum of a growing and a decaying
// homogeneous mode, exp(+k t) and exp(-k t) with the eigenvalue
// k = sqrt(3 (1 - w g)(1 - w)), fixed by the boundary conditions at the top
// and bottom of the layer, and of a particular solution driven by the sun's
// beam exp(-t / mu_s). Seen along the view direction each part is weighted
// (x, y, z) and integrated over the layer with its own path cosine
// (a1 = mu_v / (1 + k mu_v), a2 = mu_v / (1 - k mu_v),
// a3 = mu_s mu_v / (mu_s + mu_v)); the single-scattering weight z carries
// the phase function, w P_a / 4.
//
// Each named value is stored in single precision as it is defined and read
// back from there; the bottom boundary term alone stays in double.
float aerosolReflectance(int band, float aerosolOpticalDepthBand, float aerosolPhase,
                         float solarZenithDeg, float viewZenithDeg)
{
    const double w = coefficient(K.singleScatteringAlbedo, band);
    const double g = coefficient(K.asymmetryFactor, band);
    const double mus = cosd(solarZenithDeg);
    const double muv = cosd(viewZenithDeg);
    const double tau = widen(aerosolOpticalDepthBand);
    // 3 w g, which scales every flux gradient; 3 - 3 w g is 3 (1 - w g).
    const double threeWg = (3.0 * w) * g;

    // Eigenvalue of the homogeneous modes: k^2 = 3 (1 - w g)(1 - w).
    const double eigenvalueSquaredExact = (3.0 - threeWg) * (1.0 - w);
    const double eigenvalueSquared = widen(single(eigenvalueSquaredExact));
    const double k = widen(single(std::sqrt(eigenvalueSquaredExact)));
    // mu_s k^2, stored before it meets mu_s again in 1 - k^2 mu_s^2, the
    // resonance denominator of the particular solution.
    const double musEigenvalueSquared = widen(single(mus * eigenvalueSquared));

    // Particular solution (the scattered direct beam): its isotropic part
    // e = -3 w mu_s^2 / (4 (1 - k^2 mu_s^2)), its anisotropic part
    // f = -3 (1 - w) g w mu_s^2 / (4 (1 - k^2 mu_s^2)), the intensity they
    // make together, d = e + f, and its flux gradient dp = e / (3 mu_s) + mu_s f.
    const double particularIsotropic =
        widen(single(w * (mus * (mus * (-3.0))) / ((1.0 - mus * musEigenvalueSquared) * 4.0)));
    const double particularAnisotropic = widen(single(
        w * (mus * (mus * (g * (-3.0 * (1.0 - w))))) / ((1.0 - mus * musEigenvalueSquared) * 4.0)));
    const double particularGradient =
        widen(single(particularIsotropic / (3.0 * mus) + mus * particularAnisotropic));
    const double particularIntensity = widen(single(particularIsotropic + particularAnisotropic));

    // Ratio that couples the upward and downward streams of a homogeneous
    // mode, b = 2 k / (3 (1 - w g)), and the determinant of the boundary
    // conditions, del = exp(k tau)(1 + b)^2 - exp(-k tau)(1 - b)^2.
    const double modeCoupling = widen(single(2.0 * k / (3.0 - threeWg)));
    const double boundaryDeterminant =
        widen(single(std::exp(k * tau) * (1.0 + modeCoupling) * (1.0 + modeCoupling)
                     - std::exp(-k * tau) * (1.0 - modeCoupling) * (1.0 - modeCoupling)));
    // The source strength w / 4 and the resonance factor mu_s / (1 - k^2 mu_s^2).
    const double quarterAlbedo = widen(single(w / 4.0));
    const double resonanceFactor =
        widen(single(widen(single(mus)) / (1.0 - mus * musEigenvalueSquared)));

    // What the particular solution leaves at the top (q1) and at the bottom
    // (q2) of the layer, the bottom one attenuated along the sun's path (q3):
    //   q1 = 2 + 3 mu_s + 3 (1 - w) g mu_s (1 + 2 mu_s)
    //   q2 = 2 - 3 mu_s - 3 (1 - w) g mu_s (1 - 2 mu_s),  q3 = q2 exp(-tau / mu_s)
    const double anisotropicSource = (((1.0 - w) * 3.0) * g) * mus;
    const double topBoundaryTerm =
        widen(single((2.0 + 3.0 * mus) + anisotropicSource * (1.0 + 2.0 * mus)));
    const double bottomBoundaryTerm = (2.0 - 3.0 * mus) - (1.0 - 2.0 * mus) * anisotropicSource;
    const double attenuatedBottomTerm = widen(single(bottomBoundaryTerm * std::exp(-tau / mus)));

    // Amplitudes of the growing (c1) and decaying (c2) modes that meet the
    // boundary conditions, and their flux gradients cp = -+ c k / (3 (1 - w g)).
    const double growingAmplitude =
        widen(single((topBoundaryTerm * std::exp(k * tau) * (1.0 + modeCoupling)
                      + (1.0 - modeCoupling) * attenuatedBottomTerm)
                     * (quarterAlbedo * resonanceFactor / boundaryDeterminant)));
    const double decayingAmplitude =
        widen(single((topBoundaryTerm * std::exp(-k * tau) * (1.0 - modeCoupling)
                      + (1.0 + modeCoupling) * attenuatedBottomTerm)
                     * (-(quarterAlbedo * resonanceFactor / boundaryDeterminant))));
    const double growingGradient = widen(single(growingAmplitude * k / (3.0 - threeWg)));
    const double decayingGradient = widen(single(-decayingAmplitude * k / (3.0 - threeWg)));

    // Each part's intensity towards the sensor, intensity - 3 w g mu_v x
    // gradient: z for the particular solution (with the single scattering
    // w P_a / 4), x and y for the growing and decaying modes.
    const double singleScatterWeight =
        widen(single((particularIntensity - muv * threeWg * particularGradient)
                     + w * widen(aerosolPhase) / 4.0));
    const double growingWeight = widen(single(growingAmplitude - muv * threeWg * growingGradient));
    const double decayingWeight =
        widen(single(decayingAmplitude - muv * threeWg * decayingGradient));

    // Path cosines over which each part is integrated through the layer.
    const double growingPathCosine = widen(single(widen(single(muv)) / (1.0 + k * muv)));
    const double decayingPathCosine = widen(single(widen(single(muv)) / (1.0 - k * muv)));
    const double musSingle = widen(single(mus));
    const double twoWayPathCosine =
        widen(single(widen(single(musSingle * muv)) / (musSingle + muv)));
    const double inverseCosineProduct = 1.0 / (musSingle * muv);
    const double sum =
        (1.0 - std::exp(-tau / growingPathCosine)) * (growingWeight * growingPathCosine)
        + (1.0 - std::exp(-tau / decayingPathCosine)) * (decayingWeight * decayingPathCosine)
        + (1.0 - std::exp(-tau / twoWayPathCosine)) * (singleScatterWeight * twoWayPathCosine);
    return single(sum * inverseCosineProduct);
}

// Correction of the single-scattering Rayleigh reflectance for multiple
// scattering, a quadratic in the scaled Rayleigh scattering X = tau_r P_r / (mu_s mu_v):
//   Delta rho_r = r1 + r2 X + r3 X^2
float rayleighResidual(int band, float rayleighOpticalDepth, float rayleighPhase,
                       float solarZenithDeg, float viewZenithDeg)
{
    const double tauR = widen(rayleighOpticalDepth);
    const double phase = widen(rayleighPhase);
    const double cosineProduct = widen(single(cosd(solarZenithDeg))) * cosd(viewZenithDeg);
    const double scaledScattering = widen(single(tauR * phase)) / cosineProduct;
    return single((coefficient(K.rayleighResidualR1, band)
                   + (coefficient(K.rayleighResidualR2, band) * tauR * phase) / cosineProduct)
                  + (coefficient(K.rayleighResidualR3, band) * scaledScattering)
                        * scaledScattering);
}

// Correction of the two-stream aerosol reflectance, a cubic in the aerosol
// depth times scattering angle seen along the two-way air mass, with
// Y = tau_a Theta (Theta in degrees) and m the air mass:
//   Delta rho_a = a1 + a2 m Y + a3 (m Y)^2 + a4 (m Y)^3
float aerosolResidual(int band, float aerosolOpticalDepthBand, float scatteringAngleDeg,
                      float solarZenithDeg, float viewZenithDeg)
{
    const double tauA = widen(aerosolOpticalDepthBand);
    const double theta = widen(scatteringAngleDeg);
    const double m = airMass(solarZenithDeg, viewZenithDeg);
    const double depthAngle = widen(single(tauA * theta));
    return single(((coefficient(K.aerosolResidualA1, band)
                    + m * (coefficient(K.aerosolResidualA2, band) * tauA * theta))
                   + coefficient(K.aerosolResidualA3, band) * std::pow(m * depthAngle, 2.0))
                  + coefficient(K.aerosolResidualA4, band) * std::pow(m * depthAngle, 3.0));
}

RayleighPart rayleighPart(int band, const RunParameters& p, const ScatteringGeometry& geometry)
{
    RayleighPart r{};
    r.rayleighOpticalDepth = rayleighOpticalDepth(band, p.elevationMetres);
    const double phase = rayleighPhase(geometry.cosScattering);
    r.rayleighPhase = single(phase);
    r.rayleighReflectance =
        rayleighReflectance(r.rayleighOpticalDepth, phase, p.solarZenithDeg, p.viewZenithDeg);
    r.rayleighResidual = rayleighResidual(band, r.rayleighOpticalDepth, r.rayleighPhase,
                                          p.solarZenithDeg, p.viewZenithDeg);
    return r;
}

AerosolPart aerosolPart(int band, const RunParameters& p, const ScatteringGeometry& geometry)
{
    AerosolPart a{};
    a.sphericalAlbedo = sphericalAlbedo(band, p.aerosolOpticalDepth);
    a.downTransmission = downTransmission(band, p.aerosolOpticalDepth, p.solarZenithDeg);
    a.upTransmission = upTransmission(band, p.aerosolOpticalDepth, p.viewZenithDeg);
    a.aerosolOpticalDepthBand = aerosolOpticalDepthBand(band, p.aerosolOpticalDepth);
    a.aerosolPhase = aerosolPhase(band, geometry.scatteringAngleDeg);
    a.aerosolReflectance = aerosolReflectance(band, a.aerosolOpticalDepthBand, a.aerosolPhase,
                                              p.solarZenithDeg, p.viewZenithDeg);
    a.aerosolResidual =
        aerosolResidual(band, a.aerosolOpticalDepthBand, geometry.scatteringAngleDeg,
                        p.solarZenithDeg, p.viewZenithDeg);
    return a;
}

ScatteringGeometry sceneGeometry(const RunParameters& p)
{
    return scatteringGeometry(p.solarZenithDeg, p.solarAzimuthDeg, p.viewZenithDeg,
                              p.viewAzimuthDeg);
}

BandTerms bandTerms(int band, const RunParameters& p)
{
    BandTerms t{};
    t.gas = gasTransmittance(band, p.solarZenithDeg, p.viewZenithDeg, p.waterVapourColumn,
                             p.ozoneColumn);
    t.geometry = sceneGeometry(p);
    const AerosolPart a = aerosolPart(band, p, t.geometry);
    t.sphericalAlbedo = a.sphericalAlbedo;
    t.downTransmission = a.downTransmission;
    t.upTransmission = a.upTransmission;
    const RayleighPart r = rayleighPart(band, p, t.geometry);
    t.rayleighOpticalDepth = r.rayleighOpticalDepth;
    t.rayleighPhase = r.rayleighPhase;
    t.rayleighReflectance = r.rayleighReflectance;
    t.aerosolOpticalDepthBand = a.aerosolOpticalDepthBand;
    t.aerosolPhase = a.aerosolPhase;
    t.aerosolReflectance = a.aerosolReflectance;
    t.rayleighResidual = r.rayleighResidual;
    t.aerosolResidual = a.aerosolResidual;
    t.pathReflectance = pathReflectance(t.rayleighReflectance, t.rayleighResidual,
                                        t.aerosolReflectance, t.aerosolResidual);
    return t;
}

} // namespace talvex

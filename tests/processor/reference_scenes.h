// Three fixed scenes whose results are stored bit for bit: the example scene
// shipped with the project, a hazy humid one at a low sun, and a clear one
// high in the mountains. What is compared is every band's terms, printed as
// hexadecimal floats, and a SHA-256 digest of the four full DN tables (all
// 65,536 DNs of bands 2, 3, 4, 5, little-endian float32) of each reflectance.
#pragma once

#include "band_tables.h"
#include "correction_model.h"
#include "radiometry.h"
#include "run_parameters.h"
#include "sha256.h"

#include <bit>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace talvex::testing {

inline RunParameters exampleScene()
{
    std::ifstream in(TALVEX_EXAMPLE_PARAMETERS, std::ios::binary);
    return readParameterFile(in);
}

// Thick continental haze and a humid tropical column, sun low in the west.
inline RunParameters hazyScene()
{
    RunParameters p;
    p.lineCount = 1;
    p.sampleCount = 1;
    p.lmin = {-1.5f, -1.2f, -0.9f, -0.15f};
    p.lmax = {51.0f, 41.5f, 32.25f, 7.45f};
    p.dayOfYear = 201;
    p.solarZenithDeg = 61.25f;
    p.solarAzimuthDeg = 262.5f;
    p.viewZenithDeg = 23.75f;
    p.viewAzimuthDeg = 98.0f;
    p.correctionOption = CORRECTION_ON;
    p.elevationMetres = 12.0f;
    p.aerosolOpticalDepth = 1.35f;
    p.waterVapourColumn = 5.2f;
    p.ozoneColumn = 0.31f;
    return p;
}

// A clear, dry high plateau near the December solstice, sun high, near nadir view.
inline RunParameters highScene()
{
    RunParameters p;
    p.lineCount = 1;
    p.sampleCount = 1;
    p.lmin = {0.25f, 0.1f, 0.0f, 0.05f};
    p.lmax = {54.75f, 42.0f, 35.5f, 7.8f};
    p.dayOfYear = 356;
    p.solarZenithDeg = 21.5f;
    p.solarAzimuthDeg = 35.0f;
    p.viewZenithDeg = 3.25f;
    p.viewAzimuthDeg = 287.5f;
    p.correctionOption = CORRECTION_ON;
    p.elevationMetres = 4150.0f;
    p.aerosolOpticalDepth = 0.04f;
    p.waterVapourColumn = 0.35f;
    p.ozoneColumn = 0.265f;
    return p;
}

inline std::string hexFloat(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%a", value);
    return text;
}

// One line per run-wide value, then per band and term: "band 2
// rayleighReflectance 0x1.8p-4". The double-precision intermediates that are
// visible (the air mass, the Rayleigh phase before it is stored, the TOA
// denominator) are listed too, since a change of their rounding often
// vanishes in the single-precision terms of one scene.
inline std::vector<std::string> bandTermLines(const RunParameters& p)
{
    std::vector<std::string> lines;
    const RadiometricSetup setup = radiometricSetup(p);
    lines.push_back("run fullScale " + std::to_string(setup.fullScale));
    lines.push_back("run earthSunFactor " + hexFloat(setup.earthSunFactor));
    lines.push_back("run airMass " + hexFloat(airMass(p.solarZenithDeg, p.viewZenithDeg)));
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const BandTerms t = bandTerms(band, p);
        const std::string prefix = "band " + std::to_string(band) + " ";
        auto add = [&](const char* name, double value) {
            lines.push_back(prefix + name + " " + hexFloat(value));
        };
        const std::size_t i = bandIndex(band);
        add("toaDenominator",
            toaCalibration(p.lmin[i], p.lmax[i], bandSolarIrradiance(band), setup.earthSunFactor,
                           p.solarZenithDeg, setup.fullScale)
                .denominator);
        add("rayleighPhaseExact", rayleighPhase(t.geometry.cosScattering));
        add("waterVapourTransmittance", t.gas.waterVapourTransmittance);
        add("ozoneTransmittance", t.gas.ozoneTransmittance);
        add("gasTransmittance", t.gas.gasTransmittance);
        add("sphericalAlbedo", t.sphericalAlbedo);
        add("downTransmission", t.downTransmission);
        add("upTransmission", t.upTransmission);
        add("relativeAzimuthDeg", t.geometry.relativeAzimuthDeg);
        add("zenithSineProduct", t.geometry.zenithSineProduct);
        add("cosScattering", t.geometry.cosScattering);
        add("scatteringAngleDeg", t.geometry.scatteringAngleDeg);
        add("rayleighOpticalDepth", t.rayleighOpticalDepth);
        add("rayleighPhase", t.rayleighPhase);
        add("rayleighReflectance", t.rayleighReflectance);
        add("aerosolOpticalDepthBand", t.aerosolOpticalDepthBand);
        add("aerosolPhase", t.aerosolPhase);
        add("aerosolReflectance", t.aerosolReflectance);
        add("rayleighResidual", t.rayleighResidual);
        add("aerosolResidual", t.aerosolResidual);
        add("pathReflectance", t.pathReflectance);
    }
    return lines;
}

// SHA-256 of the tables of bands 2, 3, 4, 5 of one reflectance, each value as
// the four little-endian bytes an output file holds.
inline std::string tableDigest(const RunParameters& p, Reflectance reflectance)
{
    const RadiometricSetup setup = radiometricSetup(p);
    std::vector<float> table(DN_VALUES);
    std::vector<std::uint8_t> bytes(DN_VALUES * sizeof(float));
    Sha256 digest;
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        fillBandTable(reflectance, band, p, setup, DnTable(table.data(), DN_VALUES));
        for (std::size_t dn = 0; dn < DN_VALUES; ++dn) {
            const auto bits = std::bit_cast<std::uint32_t>(table[dn]);
            for (std::size_t k = 0; k < sizeof(float); ++k) {
                bytes[dn * sizeof(float) + k] = static_cast<std::uint8_t>(bits >> (8 * k));
            }
        }
        digest.update(bytes);
    }
    return digest.hexDigest();
}

} // namespace talvex::testing

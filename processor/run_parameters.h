// The run parameter stream: every setting of a run, read once from
// standard input.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>

namespace talvex {

// The correction option that asks for surface reflectance too.
inline constexpr std::int32_t CORRECTION_ON = 1;
// The option that stops after the TOA reflectance.
inline constexpr std::int32_t CORRECTION_OFF = 0;

struct RunParameters {
    std::string inputImagePath;            // line 1: path of the DN image
    std::string outputBaseName;            // line 2: common prefix of the output names
    std::int32_t lineCount = 0;            // line 3: image lines per band
    std::int32_t sampleCount = 0;          //         samples per line
    std::array<float, 4> lmin{};           // lines 4-7: calibration of bands 2, 3, 4, 5
    std::array<float, 4> lmax{};
    std::int32_t dayOfYear = 0;            // line 8: day of the acquisition, from 1
    float solarZenithDeg = 0.0f;           // line 9
    float solarAzimuthDeg = 0.0f;          // line 10
    float viewZenithDeg = 0.0f;            // line 11
    float viewAzimuthDeg = 0.0f;           // line 12
    std::int32_t correctionOption = 0;     // line 13: 0 TOA only, 1 with surface reflectance
    float elevationMetres = 0.0f;          // lines 14-17, read only when the option is 1
    float aerosolOpticalDepth = 0.0f;
    float waterVapourColumn = 0.0f;
    float ozoneColumn = 0.0f;
};

// The outcome of reading the stream: the parameters, or a message that names
// the stream line and the field that could not be read.
struct ParameterReading {
    RunParameters parameters;
    std::string error;  // empty when every expected field was read
};

// Reads lines 1 to 13, and 14 to 17 when the option is 1. Lines 1 and 2 are
// taken whole (a CR before the LF is part of the line end). Numeric lines
// skip blank lines and leading white space, read their number or pair of
// numbers (a pair may be split over two lines), then drop the rest of the
// line, so labels and comments after the values are harmless. Nothing after
// the last expected line is read.
ParameterReading readRunParameters(std::istream& in);

// Values that would turn whole bands into NaN or infinities: the sun below
// the horizon in every run; in a correction run also the sensor below the
// horizon and negative absorber amounts or aerosol optical depth.
// Returns a message naming the value and the accepted range, or "".
std::string physicalRangeError(const RunParameters& parameters);

} // namespace talvex

// The run parameter stream: every setting of a run, read once from
// standard input.
#pragma once

#include "bands.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <string>

namespace talvex {

// The correction option that asks for surface reflectance too.
inline constexpr std::int32_t CORRECTION_ON = 1;
// The option that stops after the TOA reflectance.
inline constexpr std::int32_t CORRECTION_OFF = 0;

struct RunParameters {
    std::string inputImagePath;           // line 1: path of the DN image
    std::string outputBaseName;           // line 2: common prefix of the output names
    std::int32_t lineCount = 0;           // line 3: image lines per band
    std::int32_t sampleCount = 0;         //         samples per line
    std::array<float, BAND_COUNT> lmin{}; // lines 4-7: calibration of bands 2, 3, 4, 5
    std::array<float, BAND_COUNT> lmax{};
    std::int32_t dayOfYear = 0;        // line 8: day of the acquisition, from 1
    float solarZenithDeg = 0.0f;       // line 9
    float solarAzimuthDeg = 0.0f;      // line 10
    float viewZenithDeg = 0.0f;        // line 11
    float viewAzimuthDeg = 0.0f;       // line 12
    std::int32_t correctionOption = 0; // line 13: 0 TOA only, 1 with surface reflectance
    float elevationMetres = 0.0f;      // lines 14-17, read only when the option is 1
    float aerosolOpticalDepth = 0.0f;
    float waterVapourColumn = 0.0f;
    float ozoneColumn = 0.0f;
};

// Limits that keep reading bounded on any input. They are far above what a
// real stream holds; a stream beyond them is refused with the line named.
inline constexpr std::size_t MAX_LINE_CHARACTERS = 4096; // any line, paths included
inline constexpr int MAX_BLANK_LINES = 100;              // skipped in front of one number

// Reads lines 1 to 13, and 14 to 17 when the option is 1. Lines 1 and 2 are
// taken whole (a CR before the LF is part of the line end). Numeric lines
// skip blank lines and leading white space, read their number or pair of
// numbers (a pair may be split over two lines), then drop the rest of the
// line, so labels and comments after the values are harmless. Nothing after
// the last expected line is read. Throws a Failure naming the line and the
// field that could not be read.
RunParameters readRunParameters(std::istream& in);

// Reads a parameter file: the stream from its line 3 on (sizes, calibration,
// day, angles, option and atmosphere), by the same rules, with the lines of
// messages counted in the file. The two paths are left empty.
RunParameters readParameterFile(std::istream& in);

// Refuses values that would turn whole bands into NaN or infinities: the sun
// below the horizon in every run; in a correction run also the sensor below
// the horizon and negative absorber amounts or aerosol optical depth. Throws a
// Failure naming the value and the accepted range.
void checkPhysicalRange(const RunParameters& parameters);

// Bytes of one DN and of one output value.
inline constexpr std::int64_t DN_BYTES = 2;
inline constexpr std::int64_t VALUE_BYTES = 4;

// Pixels of one band; 0 when either count is 0 or less (nothing is read or written).
std::int64_t pixelsPerBand(std::int32_t lineCount, std::int32_t sampleCount);
// The most pixels per band for which an output's size is a file size.
inline constexpr std::int64_t MAX_PIXELS_PER_BAND =
    std::numeric_limits<std::int64_t>::max() / (BAND_COUNT * VALUE_BYTES);
// Bytes of a complete DN image: 8 x lines x samples (sizes already checked).
std::int64_t expectedImageBytes(std::int32_t lineCount, std::int32_t sampleCount);

// Refuses image sizes whose outputs no file could hold, naming the figures.
void checkImageSize(const RunParameters& parameters);

} // namespace talvex

// The fields of the run parameters, once for every front end: how each is
// named in messages, as a Python keyword and as a metadata key, its unit, and
// which member of RunParameters holds it. The stream reader's messages,
// the Python conversions and the metadata of the GDAL outputs all come from
// this table.
#pragma once

#include "bands.h"
#include "run_parameters.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace talvex {

// Where a field lives in RunParameters: a whole integer, a whole number, or
// one number per band (2, 3, 4, 5 in order).
using ParameterMember = std::variant<std::int32_t RunParameters::*, float RunParameters::*,
                                     std::array<float, BAND_COUNT> RunParameters::*>;

struct ParameterField {
    const char* member;      // the member of RunParameters: "solarZenithDeg"
    const char* messageName; // how the reader's messages name it
    const char* description; // what it is, for help texts and documentation
    const char* pythonName;  // the keyword of the Python package: "solar_zenith_deg"
    const char* metadataKey; // the key in an output's metadata: "talvex_solar_zenith_deg"
    const char* unit;        // as a metadata value gives it (UDUNITS spelling: "degree",
                             // "m"); "" for a count, a code or a dimensionless value
    bool perBand;            // one value per band, bands 2, 3, 4, 5
    bool correctionOnly;     // read (and meaningful) only when correction is asked for
    ParameterMember address;
};

// The fields in the order of the stream; the index of each is its ParameterId.
enum class ParameterId : std::size_t {
    lineCount,
    sampleCount,
    lmin,
    lmax,
    dayOfYear,
    solarZenithDeg,
    solarAzimuthDeg,
    viewZenithDeg,
    viewAzimuthDeg,
    correctionOption,
    elevationMetres,
    aerosolOpticalDepth,
    waterVapourColumn,
    ozoneColumn,
};

// The unit of the calibration radiances, which is that of the built-in
// solar irradiances.
inline constexpr const char* RADIANCE_UNIT = "mW/(cm2 sr um)";

inline constexpr std::array<ParameterField, 14> PARAMETER_FIELDS = {{
    {"lineCount", "lineCount (image lines per band)", "image lines per band", "line_count",
     "talvex_line_count", "", false, false, &RunParameters::lineCount},
    {"sampleCount", "sampleCount (samples per line)", "samples per line", "sample_count",
     "talvex_sample_count", "", false, false, &RunParameters::sampleCount},
    {"lmin", "lmin", "bottom radiance of the DN scale", "lmin", "talvex_lmin", RADIANCE_UNIT, true,
     false, &RunParameters::lmin},
    {"lmax", "lmax", "top radiance of the DN scale", "lmax", "talvex_lmax", RADIANCE_UNIT, true,
     false, &RunParameters::lmax},
    {"dayOfYear", "dayOfYear (day of the acquisition)",
     "day of the acquisition within its year, from 1", "day_of_year", "talvex_day_of_year", "",
     false, false, &RunParameters::dayOfYear},
    {"solarZenithDeg", "solarZenithDeg (solar zenith angle, degrees)", "solar zenith angle",
     "solar_zenith_deg", "talvex_solar_zenith_deg", "degree", false, false,
     &RunParameters::solarZenithDeg},
    {"solarAzimuthDeg", "solarAzimuthDeg (solar azimuth, degrees)", "solar azimuth",
     "solar_azimuth_deg", "talvex_solar_azimuth_deg", "degree", false, false,
     &RunParameters::solarAzimuthDeg},
    {"viewZenithDeg", "viewZenithDeg (view zenith angle, degrees)", "view zenith angle",
     "view_zenith_deg", "talvex_view_zenith_deg", "degree", false, false,
     &RunParameters::viewZenithDeg},
    {"viewAzimuthDeg", "viewAzimuthDeg (view azimuth, degrees)", "view azimuth", "view_azimuth_deg",
     "talvex_view_azimuth_deg", "degree", false, false, &RunParameters::viewAzimuthDeg},
    {"correctionOption", "correctionOption (0 or 1)",
     "0: TOA reflectance only; 1: TOA and surface reflectance", "correction_option",
     "talvex_correction_option", "", false, false, &RunParameters::correctionOption},
    {"elevationMetres", "elevationMetres (surface elevation, metres)", "surface elevation",
     "elevation_metres", "talvex_elevation_metres", "m", false, true,
     &RunParameters::elevationMetres},
    {"aerosolOpticalDepth", "aerosolOpticalDepth (reference aerosol optical depth)",
     "reference aerosol optical depth", "aerosol_optical_depth", "talvex_aerosol_optical_depth", "",
     false, true, &RunParameters::aerosolOpticalDepth},
    {"waterVapourColumn", "waterVapourColumn (water vapour amount)", "water vapour column",
     "water_vapour_column", "talvex_water_vapour_column", "g/cm2", false, true,
     &RunParameters::waterVapourColumn},
    {"ozoneColumn", "ozoneColumn (ozone amount)", "ozone column", "ozone_column",
     "talvex_ozone_column", "atm-cm", false, true, &RunParameters::ozoneColumn},
}};

constexpr const ParameterField& parameterField(ParameterId id)
{
    return PARAMETER_FIELDS[static_cast<std::size_t>(id)];
}

// How messages name one band's value of a per-band field: "lmin of band 2".
std::string bandFieldName(const ParameterField& field, int band);

// The fields in the order of the stream, one a line, for help texts: the
// member's name after `indent` spaces, then what it is, its unit in brackets
// and whether only a correction run reads it.
std::string parameterFieldList(std::size_t indent);

// Suffix of the metadata item that gives a field's unit: "talvex_ozone_column_unit".
inline constexpr const char* UNIT_KEY_SUFFIX = "_unit";

struct MetadataItem {
    std::string key;
    std::string value;
};

// A value as metadata and messages write it: the shortest decimal that reads
// back as the same 32-bit float.
std::string shortestText(float value);

// The run parameters as an output's metadata items, in the table's order:
// each field under its key (a per-band field as its values for bands 2, 3,
// 4, 5 separated by spaces), followed by its unit item where it has a unit;
// the correction-only fields only when correction is asked for.
std::vector<MetadataItem> parameterMetadata(const RunParameters& parameters);

// The numbers a parameter file holds (the stream from its line 3 on): one per
// field, one per band for the calibration.
constexpr int numbersInParameterFile()
{
    int numbers = 0;
    for (const ParameterField& field : PARAMETER_FIELDS) {
        numbers += field.perBand ? BAND_COUNT : 1;
    }
    return numbers;
}
inline constexpr int NUMBERS_IN_PARAMETER_FILE = numbersInParameterFile();

// The most lines the reader takes from a parameter file: every number behind
// at most MAX_BLANK_LINES blank lines, on a line of its own.
inline constexpr std::size_t MAX_PARAMETER_FILE_LINES =
    static_cast<std::size_t>(NUMBERS_IN_PARAMETER_FILE) * (MAX_BLANK_LINES + 1);
// The most bytes the reader takes from a parameter file before it has its
// last field or has failed: those lines at their longest with their line
// ends, and the one character that makes a line too long. A front end that
// reads a file into memory reads no more than this, and gets the same result.
inline constexpr std::size_t MAX_PARAMETER_FILE_BYTES =
    MAX_PARAMETER_FILE_LINES * (MAX_LINE_CHARACTERS + 1) + 1;

} // namespace talvex

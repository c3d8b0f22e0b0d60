// Writes, as JSON, what the QGIS plugin needs to know of TALVEX: the run-
// parameter fields it shows, from the processor library's table of fields
// (names, descriptions, units, which are per band and which only matter with
// correction, integer or number), in the order of the parameter file, with
// the values of the example parameter file as defaults, read by the
// library's own reader; the names talvex-geo gives its outputs, and its exit
// status when only the top-of-atmosphere output is complete. Run at
// build time; the plugin reads only this description.
//
// Usage: describe_parameters EXAMPLE_PARAMETER_FILE OUTPUT_JSON
#include "band_tables.h"
#include "bands.h"
#include "failure.h"
#include "geo_outputs.h"
#include "parameter_fields.h"
#include "run_parameters.h"
#include "talvex_geo.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <variant>

namespace {

using talvex::ParameterField;
using talvex::ParameterId;
using talvex::RunParameters;

std::string jsonText(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// The shortest decimal that reads back to the same 32-bit float.
std::string numberText(float value)
{
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

bool isField(const ParameterField& field, ParameterId id)
{
    return &field == &talvex::parameterField(id);
}

const char* roleOf(const ParameterField& field)
{
    if (isField(field, ParameterId::lineCount) || isField(field, ParameterId::sampleCount)) {
        return "size"; // the raster's size
    }
    if (isField(field, ParameterId::correctionOption)) {
        return "option"; // the algorithm's
    }
    return field.perBand ? "band" : "value";
}

// "type" and "default" of a field, from the member that holds it.
std::string typeAndDefault(const ParameterField& field, const RunParameters& example)
{
    return std::visit(
        [&](auto member) -> std::string {
            using Value = std::remove_cvref_t<decltype(example.*member)>;
            if constexpr (std::is_same_v<Value, std::int32_t>) {
                return "\"type\": \"int\", \"default\": " + std::to_string(example.*member);
            } else if constexpr (std::is_same_v<Value, float>) {
                return "\"type\": \"float\", \"default\": " + numberText(example.*member);
            } else {
                std::string values;
                for (const float v : example.*member) {
                    values += (values.empty() ? "" : ", ") + numberText(v);
                }
                return "\"type\": \"float\", \"default\": [" + values + "]";
            }
        },
        field.address);
}

std::string describe(const RunParameters& example)
{
    std::ostringstream out;
    out << "{\n \"bands\": [";
    for (int band = talvex::FIRST_BAND; band <= talvex::LAST_BAND; ++band) {
        out << (band == talvex::FIRST_BAND ? "" : ", ") << band;
    }
    out << "],\n \"correction_off\": " << talvex::CORRECTION_OFF
        << ",\n \"correction_on\": " << talvex::CORRECTION_ON << ",\n";
    // The names talvex-geo gives a GeoTIFF output after the base name it is given.
    const auto suffix = [](talvex::Reflectance reflectance) {
        return talvex::geo::outputName("", reflectance, talvex::geo::OutputFormat::gtiff);
    };
    out << " \"toa_output_suffix\": " << jsonText(suffix(talvex::Reflectance::topOfAtmosphere))
        << ",\n"
        << " \"surface_output_suffix\": " << jsonText(suffix(talvex::Reflectance::surface)) << ",\n"
        << " \"status_toa_only\": " << talvex::STATUS_INVALID_OPTION << ",\n"
        << " \"fields\": [\n";
    bool first = true;
    for (const ParameterField& field : talvex::PARAMETER_FIELDS) {
        out << (first ? "" : ",\n") << "  {\"name\": " << jsonText(field.pythonName)
            << ", \"role\": " << jsonText(roleOf(field))
            << ", \"correction_only\": " << (field.correctionOnly ? "true" : "false")
            << ", \"description\": " << jsonText(field.description)
            << ", \"unit\": " << jsonText(field.unit) << ", " << typeAndDefault(field, example)
            << "}";
        first = false;
    }
    out << "\n ]\n}\n";
    return out.str();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "Usage: describe_parameters EXAMPLE_PARAMETER_FILE OUTPUT_JSON\n";
        return talvex::STATUS_BAD_PARAMETERS;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "describe_parameters: cannot open " << argv[1] << "\n";
        return talvex::STATUS_INPUT_FAILURE;
    }
    try {
        const std::string description = describe(talvex::readParameterFile(in));
        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        out << description;
        out.close();
        if (!out) {
            std::cerr << "describe_parameters: cannot write " << argv[2] << "\n";
            return talvex::STATUS_OUTPUT_FAILURE;
        }
    } catch (const talvex::Failure& failure) {
        std::cerr << "describe_parameters: " << argv[1] << ": " << failure.message;
        return failure.status;
    }
    return talvex::STATUS_COMPLETE;
}

#include "parameter_fields.h"

#include <charconv>
#include <cstdint>

namespace talvex {

namespace {

// Characters of the longest shortest-decimal of a float ("-1.17549435e-38").
constexpr std::size_t FLOAT_TEXT_CHARACTERS = 32;

std::string valueText(std::int32_t value)
{
    return std::to_string(value);
}

std::string valueText(float value)
{
    return shortestText(value);
}

std::string valueText(const std::array<float, BAND_COUNT>& values)
{
    std::string text;
    for (const float value : values) {
        if (!text.empty()) {
            text += ' ';
        }
        text += shortestText(value);
    }
    return text;
}

} // namespace

std::string bandFieldName(const ParameterField& field, int band)
{
    return std::string(field.messageName) + " of band " + std::to_string(band);
}

std::string parameterFieldList(std::size_t indent)
{
    // Width of the name column, from the indent on.
    constexpr std::size_t NAME_COLUMN = 22;
    std::string list;
    for (const ParameterField& field : PARAMETER_FIELDS) {
        std::string line = std::string(indent, ' ') + field.member;
        const std::size_t column = indent + NAME_COLUMN;
        line += std::string(line.size() < column ? column - line.size() : 1, ' ');
        line += field.description;
        if (*field.unit != '\0') {
            line += std::string(" [") + field.unit + "]";
        }
        if (field.correctionOnly) {
            line += " (option 1 only)";
        }
        list += line + "\n";
    }
    return list;
}

std::string shortestText(float value)
{
    char text[FLOAT_TEXT_CHARACTERS];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::vector<MetadataItem> parameterMetadata(const RunParameters& p)
{
    std::vector<MetadataItem> items;
    for (const ParameterField& field : PARAMETER_FIELDS) {
        if (field.correctionOnly && p.correctionOption != CORRECTION_ON) {
            continue;
        }
        items.push_back(
            {field.metadataKey,
             std::visit([&p](auto member) { return valueText(p.*member); }, field.address)});
        if (*field.unit != '\0') {
            items.push_back({std::string(field.metadataKey) + UNIT_KEY_SUFFIX, field.unit});
        }
    }
    return items;
}

} // namespace talvex

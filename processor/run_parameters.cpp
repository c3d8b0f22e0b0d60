#include "run_parameters.h"

#include "radiometry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace talvex {

namespace {

// How much of an offending line a message quotes.
constexpr std::size_t QUOTE_LIMIT = 60;

// Position in the stream: the stream itself and the number of the line
// that the next character belongs to, counted from 1.
struct StreamCursor {
    std::istream& in;
    int line = 1;
};

int peekChar(StreamCursor& c)
{
    return c.in.peek();
}

int takeChar(StreamCursor& c)
{
    const int ch = c.in.get();
    if (ch == '\n') {
        ++c.line;
    }
    return ch;
}

bool isBlank(int ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool isDigit(int ch)
{
    return ch >= '0' && ch <= '9';
}

// Drops the rest of the current line, its line end included.
void discardRestOfLine(StreamCursor& c)
{
    for (int ch = takeChar(c); ch != EOF && ch != '\n'; ch = takeChar(c)) {
    }
}

// The rest of the current line as it will be quoted in a message.
std::string restOfLineForMessage(StreamCursor& c)
{
    std::string text;
    for (int ch = peekChar(c); ch != EOF && ch != '\n'; ch = peekChar(c)) {
        text.push_back(static_cast<char>(takeChar(c)));
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.size() > QUOTE_LIMIT) {
        text.resize(QUOTE_LIMIT);
        text += "...";
    }
    return text;
}

std::string endOfStreamError(const StreamCursor& c, const char* field)
{
    return "Error in the run parameters: the stream ends before line " + std::to_string(c.line)
           + ", which should hold " + field + ".\n";
}

// Message for a number that could not be read. `token` is what the
// conversion had taken before it failed.
std::string conversionError(StreamCursor& c, int line, const char* expected, const char* field,
                            const std::string& token)
{
    const std::string found = token + restOfLineForMessage(c);
    return "Error in the run parameters, line " + std::to_string(line) + ": expected " + expected
           + " for " + field + ", found \"" + found + "\".\n";
}

// Whole-line read: everything up to the line end; a CR directly before the
// LF belongs to the line end. Fails only at the very end of the stream.
bool readWholeLine(StreamCursor& c, std::string& text, const char* field, std::string& error)
{
    if (peekChar(c) == EOF) {
        error = endOfStreamError(c, field);
        return false;
    }
    const int line = c.line;
    text.clear();
    for (int ch = takeChar(c); ch != EOF && ch != '\n'; ch = takeChar(c)) {
        text.push_back(static_cast<char>(ch));
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.find('\0') != std::string::npos) {
        error = "Error in the run parameters, line " + std::to_string(line) + ": " + field
                + " contains a NUL character.\n";
        return false;
    }
    return true;
}

// Skips white space, line ends included, as a numeric conversion does.
// Returns false at the end of the stream.
bool skipBlanks(StreamCursor& c)
{
    while (isBlank(peekChar(c))) {
        takeChar(c);
    }
    return peekChar(c) != EOF;
}

void takeDigits(StreamCursor& c, std::string& token)
{
    while (isDigit(peekChar(c))) {
        token.push_back(static_cast<char>(takeChar(c)));
    }
}

// Start of a number: white space skipped (line ends included), then an
// optional sign taken into `token`. Notes the line the number stands on.
bool beginNumber(StreamCursor& c, const char* field, int& line, std::string& token,
                 std::string& error)
{
    if (!skipBlanks(c)) {
        error = endOfStreamError(c, field);
        return false;
    }
    line = c.line;
    if (peekChar(c) == '+' || peekChar(c) == '-') {
        token.push_back(static_cast<char>(takeChar(c)));
    }
    return true;
}

// Integer: optional sign and decimal digits; stops at the first character
// that cannot continue it (so 45.9 reads as 45).
bool readInteger(StreamCursor& c, std::int32_t& value, const char* field, std::string& error)
{
    int line = 0;
    std::string token;
    if (!beginNumber(c, field, line, token, error)) {
        return false;
    }
    const std::size_t signLength = token.size();
    takeDigits(c, token);
    if (token.size() == signLength) {
        error = conversionError(c, line, "an integer", field, token);
        return false;
    }
    errno = 0;
    const long long parsed = std::strtoll(token.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min()
        || parsed > std::numeric_limits<std::int32_t>::max()) {
        error = "Error in the run parameters, line " + std::to_string(line) + ": " + field + " = "
                + token + " is out of the range of a 32-bit integer.\n";
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    return true;
}

// Number: optional sign, digits with an optional decimal point, optional
// exponent (e or E, optional sign, digits); stored as the nearest float.
bool readNumber(StreamCursor& c, float& value, const char* field, std::string& error)
{
    int line = 0;
    std::string token;
    if (!beginNumber(c, field, line, token, error)) {
        return false;
    }
    const std::size_t before = token.size();
    takeDigits(c, token);
    bool hasDigits = token.size() > before;
    if (peekChar(c) == '.') {
        token.push_back(static_cast<char>(takeChar(c)));
        const std::size_t afterPoint = token.size();
        takeDigits(c, token);
        hasDigits = hasDigits || token.size() > afterPoint;
    }
    if (hasDigits && (peekChar(c) == 'e' || peekChar(c) == 'E')) {
        token.push_back(static_cast<char>(takeChar(c)));
        if (peekChar(c) == '+' || peekChar(c) == '-') {
            token.push_back(static_cast<char>(takeChar(c)));
        }
        const std::size_t exponentStart = token.size();
        takeDigits(c, token);
        hasDigits = token.size() > exponentStart;
    }
    if (!hasDigits) {
        error = conversionError(c, line, "a number", field, token);
        return false;
    }
    errno = 0;
    const float parsed = std::strtof(token.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(parsed)) {
        error = "Error in the run parameters, line " + std::to_string(line) + ": " + field + " = "
                + token + " is too large for a 32-bit float.\n";
        return false;
    }
    value = parsed;
    return true;
}

// One integer per line, the rest of the line dropped.
bool readIntegerLine(StreamCursor& c, std::int32_t& value, const char* field, std::string& error)
{
    if (!readInteger(c, value, field, error)) {
        return false;
    }
    discardRestOfLine(c);
    return true;
}

// One number per line, the rest of the line dropped.
bool readNumberLine(StreamCursor& c, float& value, const char* field, std::string& error)
{
    if (!readNumber(c, value, field, error)) {
        return false;
    }
    discardRestOfLine(c);
    return true;
}

bool readCalibrationLine(StreamCursor& c, float& lmin, float& lmax, const char* lminField,
                         const char* lmaxField, std::string& error)
{
    if (!readNumber(c, lmin, lminField, error) || !readNumber(c, lmax, lmaxField, error)) {
        return false;
    }
    discardRestOfLine(c);
    return true;
}

std::string formatValue(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

} // namespace

ParameterReading readRunParameters(std::istream& in)
{
    ParameterReading reading;
    RunParameters& p = reading.parameters;
    std::string& error = reading.error;
    StreamCursor c{in};

    const bool complete =
        readWholeLine(c, p.inputImagePath, "inputImagePath (the path of the DN image)", error)
        && readWholeLine(c, p.outputBaseName, "outputBaseName (the base name of the outputs)", error)
        && readInteger(c, p.lineCount, "lineCount (image lines per band)", error)
        && readIntegerLine(c, p.sampleCount, "sampleCount (samples per line)", error)
        && readCalibrationLine(c, p.lmin[0], p.lmax[0], "lmin of band 2", "lmax of band 2", error)
        && readCalibrationLine(c, p.lmin[1], p.lmax[1], "lmin of band 3", "lmax of band 3", error)
        && readCalibrationLine(c, p.lmin[2], p.lmax[2], "lmin of band 4", "lmax of band 4", error)
        && readCalibrationLine(c, p.lmin[3], p.lmax[3], "lmin of band 5", "lmax of band 5", error)
        && readIntegerLine(c, p.dayOfYear, "dayOfYear (day of the acquisition)", error)
        && readNumberLine(c, p.solarZenithDeg, "solarZenithDeg (solar zenith angle, degrees)", error)
        && readNumberLine(c, p.solarAzimuthDeg, "solarAzimuthDeg (solar azimuth, degrees)", error)
        && readNumberLine(c, p.viewZenithDeg, "viewZenithDeg (view zenith angle, degrees)", error)
        && readNumberLine(c, p.viewAzimuthDeg, "viewAzimuthDeg (view azimuth, degrees)", error)
        && readIntegerLine(c, p.correctionOption, "correctionOption (0 or 1)", error);
    if (!complete || p.correctionOption != CORRECTION_ON) {
        return reading;
    }
    readNumberLine(c, p.elevationMetres, "elevationMetres (surface elevation, metres)", error)
        && readNumberLine(c, p.aerosolOpticalDepth, "aerosolOpticalDepth (reference aerosol optical depth)", error)
        && readNumberLine(c, p.waterVapourColumn, "waterVapourColumn (water vapour amount)", error)
        && readNumberLine(c, p.ozoneColumn, "ozoneColumn (ozone amount)", error);
    return reading;
}

std::string physicalRangeError(const RunParameters& p)
{
    const std::string zenithRange =
        " is out of range: its cosine must be positive, which holds for zenith angles "
        "from 0 to about 90.046 degrees.\n";
    if (!(cosd(p.solarZenithDeg) > 0.0)) {
        return "Error in the run parameters: solarZenithDeg = " + formatValue(p.solarZenithDeg)
               + zenithRange;
    }
    if (p.correctionOption != CORRECTION_ON) {
        return "";
    }
    if (!(cosd(p.viewZenithDeg) > 0.0)) {
        return "Error in the run parameters: viewZenithDeg = " + formatValue(p.viewZenithDeg)
               + zenithRange;
    }
    const std::string notNegative = " is negative: the accepted range is 0 or more.\n";
    if (p.aerosolOpticalDepth < 0.0f) {
        return "Error in the run parameters: aerosolOpticalDepth = "
               + formatValue(p.aerosolOpticalDepth) + notNegative;
    }
    if (p.waterVapourColumn < 0.0f) {
        return "Error in the run parameters: waterVapourColumn = "
               + formatValue(p.waterVapourColumn) + notNegative;
    }
    if (p.ozoneColumn < 0.0f) {
        return "Error in the run parameters: ozoneColumn = " + formatValue(p.ozoneColumn)
               + notNegative;
    }
    return "";
}

} // namespace talvex

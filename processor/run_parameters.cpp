#include "run_parameters.h"

#include "failure.h"
#include "parameter_fields.h"
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
// Characters of one number; far more than any float or integer needs.
constexpr std::size_t MAX_NUMBER_CHARACTERS = 256;

// Position in the stream: the stream itself, the number of the line that the
// next character belongs to (counted from 1, or from where the stream's text
// begins) and how many characters of that line have been taken.
struct StreamCursor {
    std::istream& in;
    int line = 1;
    std::size_t column = 0;
};

// Every message about the run parameters is built here.
Failure parameterFailure(const std::string& field, const std::string& detail)
{
    return makeFailure(FailureKind::parameters, field,
                       "Error in the run parameters" + detail + "\n");
}

Failure lineFailure(int line, const std::string& field, const std::string& detail)
{
    return parameterFailure(field, ", line " + std::to_string(line) + ": " + detail);
}

int peekChar(StreamCursor& c)
{
    return c.in.peek();
}

int takeChar(StreamCursor& c)
{
    const int ch = c.in.get();
    if (ch == '\n') {
        ++c.line;
        c.column = 0;
    } else if (ch != EOF && ++c.column > MAX_LINE_CHARACTERS) {
        throw lineFailure(c.line, "line " + std::to_string(c.line),
                          "the line is longer than " + std::to_string(MAX_LINE_CHARACTERS)
                              + " characters.");
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
    for (int ch = peekChar(c); ch != EOF && ch != '\n' && text.size() <= QUOTE_LIMIT;
         ch = peekChar(c)) {
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

Failure endOfStream(const StreamCursor& c, const char* field)
{
    return parameterFailure(field, ": the stream ends before line " + std::to_string(c.line)
                                       + ", which should hold " + field + ".");
}

// A number that could not be read. `token` is what the conversion had taken
// before it failed.
Failure conversionFailure(StreamCursor& c, int line, const char* expected, const char* field,
                          const std::string& token)
{
    const std::string found = token + restOfLineForMessage(c);
    return lineFailure(line, field,
                       std::string("expected ") + expected + " for " + field + ", found \"" + found
                           + "\".");
}

// Whole-line read: everything up to the line end; a CR directly before the
// LF belongs to the line end. Fails only at the very end of the stream.
std::string readWholeLine(StreamCursor& c, const char* field)
{
    if (peekChar(c) == EOF) {
        throw endOfStream(c, field);
    }
    const int line = c.line;
    std::string text;
    for (int ch = takeChar(c); ch != EOF && ch != '\n'; ch = takeChar(c)) {
        text.push_back(static_cast<char>(ch));
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.find('\0') != std::string::npos) {
        throw lineFailure(line, field, std::string(field) + " contains a NUL character.");
    }
    return text;
}

// Skips white space, line ends included, as a numeric conversion does, but
// not more than MAX_BLANK_LINES line ends. Returns false at the end of the stream.
bool skipBlanks(StreamCursor& c, const char* field)
{
    const int firstLine = c.line;
    while (isBlank(peekChar(c))) {
        takeChar(c);
        if (c.line - firstLine > MAX_BLANK_LINES) {
            throw lineFailure(c.line, field,
                              "more than " + std::to_string(MAX_BLANK_LINES)
                                  + " blank lines in front of " + field + ".");
        }
    }
    return peekChar(c) != EOF;
}

void takeDigits(StreamCursor& c, std::string& token, int line, const char* field)
{
    while (isDigit(peekChar(c))) {
        if (token.size() >= MAX_NUMBER_CHARACTERS) {
            throw lineFailure(line, field,
                              std::string(field) + " has more than "
                                  + std::to_string(MAX_NUMBER_CHARACTERS) + " characters.");
        }
        token.push_back(static_cast<char>(takeChar(c)));
    }
}

// Start of a number: white space skipped (line ends included), then an
// optional sign taken into `token`. Returns the line the number stands on.
int beginNumber(StreamCursor& c, const char* field, std::string& token)
{
    if (!skipBlanks(c, field)) {
        throw endOfStream(c, field);
    }
    if (peekChar(c) == '+' || peekChar(c) == '-') {
        token.push_back(static_cast<char>(takeChar(c)));
    }
    return c.line;
}

// Integer: optional sign and decimal digits; stops at the first character
// that cannot continue it (so 45.9 reads as 45).
std::int32_t readInteger(StreamCursor& c, const char* field)
{
    std::string token;
    const int line = beginNumber(c, field, token);
    const std::size_t signLength = token.size();
    takeDigits(c, token, line, field);
    if (token.size() == signLength) {
        throw conversionFailure(c, line, "an integer", field, token);
    }
    errno = 0;
    const long long parsed = std::strtoll(token.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min()
        || parsed > std::numeric_limits<std::int32_t>::max()) {
        throw lineFailure(line, field,
                          std::string(field) + " = " + token
                              + " is out of the range of a 32-bit integer.");
    }
    return static_cast<std::int32_t>(parsed);
}

// Number: optional sign, digits with an optional decimal point, optional
// exponent (e or E, optional sign, digits); stored as the nearest float.
float readNumber(StreamCursor& c, const char* field)
{
    std::string token;
    const int line = beginNumber(c, field, token);
    const std::size_t before = token.size();
    takeDigits(c, token, line, field);
    bool hasDigits = token.size() > before;
    if (peekChar(c) == '.') {
        token.push_back(static_cast<char>(takeChar(c)));
        const std::size_t afterPoint = token.size();
        takeDigits(c, token, line, field);
        hasDigits = hasDigits || token.size() > afterPoint;
    }
    if (hasDigits && (peekChar(c) == 'e' || peekChar(c) == 'E')) {
        token.push_back(static_cast<char>(takeChar(c)));
        if (peekChar(c) == '+' || peekChar(c) == '-') {
            token.push_back(static_cast<char>(takeChar(c)));
        }
        const std::size_t exponentStart = token.size();
        takeDigits(c, token, line, field);
        hasDigits = token.size() > exponentStart;
    }
    if (!hasDigits) {
        throw conversionFailure(c, line, "a number", field, token);
    }
    errno = 0;
    const float parsed = std::strtof(token.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(parsed)) {
        throw lineFailure(line, field,
                          std::string(field) + " = " + token + " is too large for a 32-bit float.");
    }
    return parsed;
}

// One integer per line, the rest of the line dropped.
std::int32_t readIntegerLine(StreamCursor& c, const char* field)
{
    const std::int32_t value = readInteger(c, field);
    discardRestOfLine(c);
    return value;
}

// One number per line, the rest of the line dropped.
float readNumberLine(StreamCursor& c, const char* field)
{
    const float value = readNumber(c, field);
    discardRestOfLine(c);
    return value;
}

const char* nameOf(ParameterId id)
{
    return parameterField(id).messageName;
}

// Everything after the two paths: sizes, calibration, day, angles, option
// and, when the option asks for correction, the atmosphere.
void readNumericLines(StreamCursor& c, RunParameters& p)
{
    using enum ParameterId;
    p.lineCount = readInteger(c, nameOf(lineCount));
    p.sampleCount = readIntegerLine(c, nameOf(sampleCount));
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t i = bandIndex(band);
        p.lmin[i] = readNumber(c, bandFieldName(parameterField(lmin), band).c_str());
        p.lmax[i] = readNumberLine(c, bandFieldName(parameterField(lmax), band).c_str());
    }
    p.dayOfYear = readIntegerLine(c, nameOf(dayOfYear));
    p.solarZenithDeg = readNumberLine(c, nameOf(solarZenithDeg));
    p.solarAzimuthDeg = readNumberLine(c, nameOf(solarAzimuthDeg));
    p.viewZenithDeg = readNumberLine(c, nameOf(viewZenithDeg));
    p.viewAzimuthDeg = readNumberLine(c, nameOf(viewAzimuthDeg));
    p.correctionOption = readIntegerLine(c, nameOf(correctionOption));
    if (p.correctionOption != CORRECTION_ON) {
        return;
    }
    p.elevationMetres = readNumberLine(c, nameOf(elevationMetres));
    p.aerosolOpticalDepth = readNumberLine(c, nameOf(aerosolOpticalDepth));
    p.waterVapourColumn = readNumberLine(c, nameOf(waterVapourColumn));
    p.ozoneColumn = readNumberLine(c, nameOf(ozoneColumn));
}

std::string formatValue(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

Failure rangeFailure(ParameterId id, float value, const std::string& range)
{
    const char* field = parameterField(id).member;
    return parameterFailure(field, ": " + std::string(field) + " = " + formatValue(value) + range);
}

} // namespace

RunParameters readRunParameters(std::istream& in)
{
    RunParameters p;
    StreamCursor c{in};
    p.inputImagePath = readWholeLine(c, "inputImagePath (the path of the DN image)");
    p.outputBaseName = readWholeLine(c, "outputBaseName (the base name of the outputs)");
    readNumericLines(c, p);
    return p;
}

RunParameters readParameterFile(std::istream& in)
{
    RunParameters p;
    StreamCursor c{in};
    readNumericLines(c, p);
    return p;
}

void checkPhysicalRange(const RunParameters& p)
{
    const std::string zenithRange =
        " is out of range: its cosine must be positive, which holds for zenith angles "
        "from 0 to about 90.046 degrees.";
    if (!(cosd(p.solarZenithDeg) > 0.0)) {
        throw rangeFailure(ParameterId::solarZenithDeg, p.solarZenithDeg, zenithRange);
    }
    if (p.correctionOption != CORRECTION_ON) {
        return;
    }
    if (!(cosd(p.viewZenithDeg) > 0.0)) {
        throw rangeFailure(ParameterId::viewZenithDeg, p.viewZenithDeg, zenithRange);
    }
    const std::string notNegative = " is negative: the accepted range is 0 or more.";
    if (p.aerosolOpticalDepth < 0.0f) {
        throw rangeFailure(ParameterId::aerosolOpticalDepth, p.aerosolOpticalDepth, notNegative);
    }
    if (p.waterVapourColumn < 0.0f) {
        throw rangeFailure(ParameterId::waterVapourColumn, p.waterVapourColumn, notNegative);
    }
    if (p.ozoneColumn < 0.0f) {
        throw rangeFailure(ParameterId::ozoneColumn, p.ozoneColumn, notNegative);
    }
}

void checkImageSize(const RunParameters& p)
{
    const std::int64_t pixels = pixelsPerBand(p.lineCount, p.sampleCount);
    if (pixels > MAX_PIXELS_PER_BAND) {
        throw parameterFailure("lineCount x sampleCount",
                               ": " + std::to_string(p.lineCount) + " lines x "
                                   + std::to_string(p.sampleCount) + " samples make "
                                   + std::to_string(pixels)
                                   + " pixels per band, more than a file can hold (at most "
                                   + std::to_string(MAX_PIXELS_PER_BAND) + ").");
    }
}

std::int64_t pixelsPerBand(std::int32_t lineCount, std::int32_t sampleCount)
{
    if (lineCount <= 0 || sampleCount <= 0) {
        return 0;
    }
    return static_cast<std::int64_t>(lineCount) * static_cast<std::int64_t>(sampleCount);
}

std::int64_t expectedImageBytes(std::int32_t lineCount, std::int32_t sampleCount)
{
    return BAND_COUNT * DN_BYTES * pixelsPerBand(lineCount, sampleCount);
}

} // namespace talvex

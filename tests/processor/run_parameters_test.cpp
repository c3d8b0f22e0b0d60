// The reading rules of the run parameter stream, and what it refuses.
#include "run_parameters.h"

#include "failure.h"
#include "parameter_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace talvex {
namespace {

const std::string WORKED_STREAM = "scenes/scene42_dn.raw\n"
                                  "results/scene42\n"
                                  "1200 1500 lines samples\n"
                                  "0.0 52.5 band 2\n"
                                  "0.0 40.8\n"
                                  "0.0 33.6\n"
                                  "0.0 7.2\n"
                                  "45\n"
                                  "38.6\n"
                                  "142\n"
                                  "12.5\n"
                                  "101\n"
                                  "1\n"
                                  "55\n"
                                  "0.25\n"
                                  "2.9\n"
                                  "0.27\n";

// What reading a stream gave: the parameters, or the message of its failure.
struct ParameterReading {
    RunParameters parameters;
    std::string error;
};

// Reads a stream and also returns what the reader left unread.
ParameterReading read(const std::string& text, std::string* rest = nullptr)
{
    std::istringstream in(text);
    ParameterReading reading;
    try {
        reading.parameters = readRunParameters(in);
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.kind, FailureKind::parameters);
        EXPECT_EQ(failure.status, STATUS_BAD_PARAMETERS);
        reading.error = failure.message;
    }
    if (rest != nullptr) {
        *rest = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return reading;
}

// The message of a range check, or "" when the values pass.
std::string physicalRangeError(const RunParameters& p)
{
    try {
        checkPhysicalRange(p);
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.status, STATUS_BAD_PARAMETERS);
        return failure.message;
    }
    return "";
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

std::string replaceLine(const std::string& text, int lineNumber, const std::string& replacement)
{
    std::istringstream in(text);
    std::string out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        out += (n == lineNumber ? replacement : line) + "\n";
    }
    return out;
}

TEST(ReadRunParameters, WorkedStream)
{
    std::string rest;
    const ParameterReading r = read(WORKED_STREAM + "never read\n", &rest);
    ASSERT_EQ(r.error, "");
    const RunParameters& p = r.parameters;
    EXPECT_EQ(p.inputImagePath, "scenes/scene42_dn.raw");
    EXPECT_EQ(p.outputBaseName, "results/scene42");
    EXPECT_EQ(p.lineCount, 1200);
    EXPECT_EQ(p.sampleCount, 1500);
    EXPECT_EQ(p.lmin[0], 0.0f);
    EXPECT_EQ(p.lmax[0], 52.5f);
    EXPECT_EQ(p.lmax[1], 40.8f);
    EXPECT_EQ(p.lmax[2], 33.6f);
    EXPECT_EQ(p.lmax[3], 7.2f);
    EXPECT_EQ(p.dayOfYear, 45);
    EXPECT_EQ(p.solarZenithDeg, 38.6f);
    EXPECT_EQ(p.solarAzimuthDeg, 142.0f);
    EXPECT_EQ(p.viewZenithDeg, 12.5f);
    EXPECT_EQ(p.viewAzimuthDeg, 101.0f);
    EXPECT_EQ(p.correctionOption, 1);
    EXPECT_EQ(p.elevationMetres, 55.0f);
    EXPECT_EQ(p.aerosolOpticalDepth, 0.25f);
    EXPECT_EQ(p.waterVapourColumn, 2.9f);
    EXPECT_EQ(p.ozoneColumn, 0.27f);
    EXPECT_EQ(rest, "never read\n");
}

TEST(ReadRunParameters, LayoutFreedoms)
{
    // A pair split over two lines; blank lines before numbers; tabs; a last line without its end.
    const std::string stream =
        "in.raw\nout\n1200\n1500 whatever follows\n\n\n0.0\t52.5\n0.0 40.8\n0.0\n 33.6\n0.0 7.2\n"
        "45.9\n38.6\n142\n12.5\n101\n1.0 means yes\n55\n.25\n2.9e0\n+27E-2";
    const ParameterReading r = read(stream);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.parameters.lineCount, 1200);
    EXPECT_EQ(r.parameters.sampleCount, 1500);
    EXPECT_EQ(r.parameters.lmax[0], 52.5f);
    EXPECT_EQ(r.parameters.lmax[2], 33.6f);
    EXPECT_EQ(r.parameters.dayOfYear, 45); // 45.9 reads as 45
    EXPECT_EQ(r.parameters.correctionOption, 1);
    EXPECT_EQ(r.parameters.aerosolOpticalDepth, 0.25f);
    EXPECT_EQ(r.parameters.waterVapourColumn, 2.9f);
    EXPECT_EQ(r.parameters.ozoneColumn, 0.27f);
}

TEST(ReadRunParameters, PathsAreTakenWhole)
{
    std::string crlf;
    for (char ch : WORKED_STREAM) {
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    EXPECT_EQ(read(crlf).error, "");
    EXPECT_EQ(read(crlf).parameters.inputImagePath, "scenes/scene42_dn.raw");
    EXPECT_EQ(read(crlf).parameters.ozoneColumn, 0.27f);

    const std::string spaced =
        replaceLine(replaceLine(WORKED_STREAM, 1, "  my scenes/a b.raw\t "), 2, "");
    EXPECT_EQ(read(spaced).parameters.inputImagePath, "  my scenes/a b.raw\t ");
    EXPECT_EQ(read(spaced).parameters.outputBaseName, ""); // empty line 2: empty base name

    const std::string longPath(MAX_LINE_CHARACTERS, 'p');
    const ParameterReading r = read(replaceLine(WORKED_STREAM, 2, longPath));
    EXPECT_EQ(r.parameters.outputBaseName, longPath); // never cut short
}

TEST(ReadRunParameters, CrLfStreamWithBlankLinesAndSplitPairs)
{
    // What a parameter file edited on Windows looks like after the launcher's two lines.
    const std::string stream =
        "in.raw\r\nout\r\n\r\n1200\r\n\r\n1500 samples\r\n0.0\r\n52.5\r\n\r\n\r\n0.0 40.8\r\n"
        "0.0 33.6\r\n0.0\t\r\n 7.2\r\n45\r\n38.6\r\n142\r\n\r\n12.5\r\n101\r\n1\r\n55\r\n"
        "0.25\r\n2.9\r\n0.27\r\n";
    std::string rest;
    const ParameterReading r = read(stream + "\r\n", &rest);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.parameters.inputImagePath, "in.raw");
    EXPECT_EQ(r.parameters.outputBaseName, "out");
    EXPECT_EQ(r.parameters.lineCount, 1200);
    EXPECT_EQ(r.parameters.sampleCount, 1500);
    EXPECT_EQ(r.parameters.lmax[0], 52.5f);
    EXPECT_EQ(r.parameters.lmax[3], 7.2f);
    EXPECT_EQ(r.parameters.viewZenithDeg, 12.5f);
    EXPECT_EQ(r.parameters.ozoneColumn, 0.27f);
    EXPECT_EQ(rest, "\r\n");

    // A line's message counts CR LF lines like LF lines.
    EXPECT_EQ(
        read(replaced(stream, "38.6", "sun")).error.find("Error in the run parameters, line 16:"),
        0u);
}

TEST(ReadRunParameters, ReadingIsBoundedWhateverTheInput)
{
    std::string text = replaceLine(WORKED_STREAM, 1, std::string(MAX_LINE_CHARACTERS + 1, 'p'));
    EXPECT_EQ(read(text).error, "Error in the run parameters, line 1: the line is longer than 4096 "
                                "characters.\n");
    text = replaceLine(WORKED_STREAM, 4, "0.0 52.5 " + std::string(MAX_LINE_CHARACTERS, '#'));
    EXPECT_EQ(read(text).error.find("Error in the run parameters, line 4: the line is longer"), 0u);
    text = replaceLine(WORKED_STREAM, 9, std::string(300, '9'));
    EXPECT_NE(read(text).error.find(
                  "line 9: solarZenithDeg (solar zenith angle, degrees) has more than 256"),
              std::string::npos);

    // Blank lines in front of a number: 100 are skipped, 101 refused.
    const std::string blanks(MAX_BLANK_LINES, '\n');
    EXPECT_EQ(read(replaceLine(WORKED_STREAM, 8, blanks + "45")).error, "");
    EXPECT_EQ(
        read(replaceLine(WORKED_STREAM, 8, blanks + "\n45")).error,
        "Error in the run parameters, line 109: more than 100 blank lines in front of dayOfYear "
        "(day of the acquisition).\n");
}

TEST(ReadParameterFile, TheStreamFromItsThirdLineWithTheFilesLineNumbers)
{
    const std::string file = WORKED_STREAM.substr(WORKED_STREAM.find("1200"));
    std::istringstream in(file);
    const RunParameters p = readParameterFile(in);
    EXPECT_EQ(p.inputImagePath, "");
    EXPECT_EQ(p.lineCount, 1200);
    EXPECT_EQ(p.ozoneColumn, 0.27f);

    std::istringstream bad(replaceLine(file, 7, "zenith 38.6"));
    try {
        readParameterFile(bad);
        ADD_FAILURE() << "a bad field was accepted";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message,
                  "Error in the run parameters, line 7: expected a number for "
                  "solarZenithDeg (solar zenith angle, degrees), found \"zenith 38.6\".\n");
        EXPECT_EQ(failure.subject, "solarZenithDeg (solar zenith angle, degrees)");
    }
}

TEST(ReadRunParameters, OptionOtherThanOneStopsAfterLine13)
{
    std::string rest;
    const ParameterReading r = read(replaceLine(WORKED_STREAM, 13, "2"), &rest);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.parameters.correctionOption, 2);
    EXPECT_EQ(rest, "55\n0.25\n2.9\n0.27\n");

    // A TOA-only stream may end right after line 13.
    const std::string toaOnly =
        replaceLine(WORKED_STREAM, 13, "0").substr(0, WORKED_STREAM.find("55\n"));
    EXPECT_EQ(read(toaOnly).error, "");
}

TEST(ReadRunParameters, UnreadableFieldsNameTheLineAndField)
{
    ParameterReading r = read(replaceLine(WORKED_STREAM, 9, "zenith 38.6"));
    EXPECT_EQ(r.error, "Error in the run parameters, line 9: expected a number for solarZenithDeg "
                       "(solar zenith angle, degrees), found \"zenith 38.6\".\n");

    r = read(replaceLine(WORKED_STREAM, 5, "0.0, 40.8"));
    EXPECT_EQ(r.error, "Error in the run parameters, line 5: expected a number for lmax of band 3, "
                       "found \", 40.8\".\n");

    r = read(replaceLine(WORKED_STREAM, 8, "day 45"));
    EXPECT_NE(r.error.find("line 8: expected an integer for dayOfYear"), std::string::npos);

    r = read(replaceLine(WORKED_STREAM, 3, "1200 lines\r"));
    EXPECT_EQ(r.error, "Error in the run parameters, line 3: expected an integer for sampleCount "
                       "(samples per line), found \"lines\".\n");

    r = read(replaceLine(WORKED_STREAM, 16, "1.5e"));
    EXPECT_NE(r.error.find("line 16: expected a number for waterVapourColumn"), std::string::npos);

    r = read(replaceLine(WORKED_STREAM, 3, "99999999999 10"));
    EXPECT_NE(r.error.find("lineCount (image lines per band) = 99999999999 is out of the range"),
              std::string::npos);

    r = read(replaceLine(WORKED_STREAM, 17, "1e39"));
    EXPECT_NE(r.error.find("ozoneColumn (ozone amount) = 1e39 is too large"), std::string::npos);
}

TEST(ReadRunParameters, EveryEarlyEndIsReported)
{
    // Cut the stream at each of its line ends: every prefix lacks a field.
    std::size_t at = 0;
    int completeLines = 0;
    while (completeLines < 16) {
        at = WORKED_STREAM.find('\n', at) + 1;
        ++completeLines;
        const ParameterReading r = read(WORKED_STREAM.substr(0, at));
        EXPECT_EQ(r.error.rfind("Error in the run parameters: the stream ends before line "
                                    + std::to_string(completeLines + 1) + ", which should hold ",
                                0),
                  0u)
            << r.error;
    }
    EXPECT_EQ(read("").error,
              "Error in the run parameters: the stream ends before line 1, which should hold "
              "inputImagePath (the path of the DN image).\n");
    // A pair cut after its first number.
    EXPECT_NE(read("a\nb\n1200").error.find("should hold sampleCount"), std::string::npos);
}

// The file's stream (from line 3) with each number alone on its line behind
// the most blank lines the reader skips, every line at its longest (the first
// number of a pair can carry nothing after it, since its partner follows, and
// its line end counts among the blank lines in front of the partner).
std::string longestParameterFile()
{
    const std::string padding(MAX_LINE_CHARACTERS, ' ');
    std::string file;
    std::istringstream numbers(
        "1200 1500 0.0 52.5 0.0 40.8 0.0 33.6 0.0 7.2 45 38.6 142 12.5 101 1 "
        "55 0.25 2.9 0.27");
    const std::set<int> firstOfPair = {0, 2, 4, 6, 8};
    int index = 0;
    for (std::string number; numbers >> number; ++index) {
        const int blankLines =
            firstOfPair.contains(index - 1) ? MAX_BLANK_LINES - 1 : MAX_BLANK_LINES;
        for (int blank = 0; blank < blankLines; ++blank) {
            file += padding + "\n";
        }
        const std::size_t comment =
            firstOfPair.contains(index) ? 0 : MAX_LINE_CHARACTERS - number.size();
        file += number + std::string(comment, '#') + "\n";
    }
    return file;
}

TEST(ParameterFields, EveryNumberOfTheStreamHasItsField)
{
    // Sizes 2, calibration 2 x 4 bands, day, four angles, option, atmosphere 4.
    EXPECT_EQ(NUMBERS_IN_PARAMETER_FILE, 20);
    const std::string file = longestParameterFile();
    EXPECT_LE(file.size(), MAX_PARAMETER_FILE_BYTES);
    EXPECT_LE(static_cast<std::size_t>(std::count(file.begin(), file.end(), '\n')),
              MAX_PARAMETER_FILE_LINES);
    std::istringstream in(file);
    const RunParameters p = readParameterFile(in);
    EXPECT_EQ(p.lineCount, 1200);
    EXPECT_EQ(p.lmax[3], 7.2f);
    EXPECT_EQ(p.ozoneColumn, 0.27f);
}

TEST(ParameterFields, TheReaderNamesEachFieldAsTheTableDoes)
{
    // Cutting the stream in front of a field makes the reader name that field.
    const std::string numbers[] = {"1200", "1500", "0.0", "52.5", "0.0",  "40.8", "0.0",
                                   "33.6", "0.0",  "7.2", "45",   "38.6", "142",  "12.5",
                                   "101",  "1",    "55",  "0.25", "2.9",  "0.27"};
    std::vector<std::string> expectedNames;
    for (const ParameterField& field : PARAMETER_FIELDS) {
        if (field.perBand) {
            continue; // lmin and lmax alternate band by band
        }
        expectedNames.push_back(field.messageName);
        if (field.member == std::string("sampleCount")) {
            for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
                expectedNames.push_back(bandFieldName(parameterField(ParameterId::lmin), band));
                expectedNames.push_back(bandFieldName(parameterField(ParameterId::lmax), band));
            }
        }
    }
    ASSERT_EQ(expectedNames.size(), std::size(numbers));
    std::string stream = "image\nout\n";
    for (std::size_t i = 0; i < expectedNames.size(); ++i) {
        EXPECT_NE(read(stream).error.find("which should hold " + expectedNames[i] + "."),
                  std::string::npos)
            << read(stream).error;
        stream += numbers[i] + "\n";
    }
    EXPECT_EQ(read(stream).error, "");
}

TEST(ParameterFields, NamesFollowOneSpellingPerFrontEnd)
{
    for (const ParameterField& field : PARAMETER_FIELDS) {
        // The Python keyword is the member in lower case with underscores.
        std::string snake;
        for (const char ch : std::string(field.member)) {
            if (ch >= 'A' && ch <= 'Z') {
                snake += '_';
                snake += static_cast<char>(ch - 'A' + 'a');
            } else {
                snake += ch;
            }
        }
        EXPECT_EQ(field.pythonName, snake);
        EXPECT_EQ(field.metadataKey, "talvex_" + snake);
        EXPECT_EQ(std::string(field.messageName).rfind(field.member, 0), 0u) << field.messageName;
        const bool atmosphere = std::holds_alternative<float RunParameters::*>(field.address)
                                && static_cast<std::size_t>(&field - PARAMETER_FIELDS.data())
                                       > static_cast<std::size_t>(ParameterId::correctionOption);
        EXPECT_EQ(field.correctionOnly, atmosphere) << field.member;
        using BandValues = std::array<float, BAND_COUNT> RunParameters::*;
        EXPECT_EQ(field.perBand, std::holds_alternative<BandValues>(field.address));
    }
    RunParameters p;
    p.waterVapourColumn = 2.9f;
    EXPECT_EQ(
        p.*std::get<float RunParameters::*>(parameterField(ParameterId::waterVapourColumn).address),
        2.9f);
}

TEST(ParameterFields, MetadataOfTheWorkedStream)
{
    const RunParameters p = read(WORKED_STREAM).parameters;
    std::string text;
    for (const MetadataItem& item : parameterMetadata(p)) {
        text += item.key + "=" + item.value + "\n";
    }
    EXPECT_EQ(text, "talvex_line_count=1200\n"
                    "talvex_sample_count=1500\n"
                    "talvex_lmin=0 0 0 0\n"
                    "talvex_lmin_unit=mW/(cm2 sr um)\n"
                    "talvex_lmax=52.5 40.8 33.6 7.2\n"
                    "talvex_lmax_unit=mW/(cm2 sr um)\n"
                    "talvex_day_of_year=45\n"
                    "talvex_solar_zenith_deg=38.6\n"
                    "talvex_solar_zenith_deg_unit=degree\n"
                    "talvex_solar_azimuth_deg=142\n"
                    "talvex_solar_azimuth_deg_unit=degree\n"
                    "talvex_view_zenith_deg=12.5\n"
                    "talvex_view_zenith_deg_unit=degree\n"
                    "talvex_view_azimuth_deg=101\n"
                    "talvex_view_azimuth_deg_unit=degree\n"
                    "talvex_correction_option=1\n"
                    "talvex_elevation_metres=55\n"
                    "talvex_elevation_metres_unit=m\n"
                    "talvex_aerosol_optical_depth=0.25\n"
                    "talvex_water_vapour_column=2.9\n"
                    "talvex_water_vapour_column_unit=g/cm2\n"
                    "talvex_ozone_column=0.27\n"
                    "talvex_ozone_column_unit=atm-cm\n");
    // Without correction the atmosphere is not read, so it is not written.
    RunParameters toaOnly = p;
    toaOnly.correctionOption = CORRECTION_OFF;
    for (const MetadataItem& item : parameterMetadata(toaOnly)) {
        EXPECT_EQ(item.key.find("ozone"), std::string::npos) << item.key;
    }
    // Every float reads back as itself.
    for (const float value : {0.1f, 1e-38f, 3.4028235e38f, -7.2f, 16777217.0f}) {
        EXPECT_EQ(std::strtof(shortestText(value).c_str(), nullptr), value) << shortestText(value);
    }
}

TEST(PhysicalRangeError, RejectsValuesThatWouldFillBandsWithNaN)
{
    RunParameters p = read(WORKED_STREAM).parameters;
    EXPECT_EQ(physicalRangeError(p), "");

    RunParameters q = p;
    q.solarZenithDeg = 90.0f; // the horizon itself still gives finite values
    EXPECT_EQ(physicalRangeError(q), "");
    q.solarZenithDeg = 90.05f;
    EXPECT_EQ(
        physicalRangeError(q),
        "Error in the run parameters: solarZenithDeg = 90.05 is out of range: its cosine must "
        "be positive, which holds for zenith angles from 0 to about 90.046 degrees.\n");

    q = p;
    q.viewZenithDeg = 120.0f;
    EXPECT_NE(physicalRangeError(q).find("viewZenithDeg = 120"), std::string::npos);
    q.correctionOption = 0; // the view angle is not used without correction
    EXPECT_EQ(physicalRangeError(q), "");

    q = p;
    q.waterVapourColumn = -0.1f;
    EXPECT_EQ(physicalRangeError(q), "Error in the run parameters: waterVapourColumn = -0.1 is "
                                     "negative: the accepted range is 0 or more.\n");
    q = p;
    q.ozoneColumn = -1.0f;
    EXPECT_NE(physicalRangeError(q).find("ozoneColumn = -1 is negative"), std::string::npos);
    q = p;
    q.aerosolOpticalDepth = -0.01f;
    EXPECT_NE(physicalRangeError(q).find("aerosolOpticalDepth = -0.01 is negative"),
              std::string::npos);
    q.correctionOption = 7;
    EXPECT_EQ(physicalRangeError(q), "");

    // Everything else is used as given.
    q = p;
    q.dayOfYear = -40;
    q.elevationMetres = -400.0f;
    q.lmin[0] = 60.0f;
    q.lineCount = -3;
    EXPECT_EQ(physicalRangeError(q), "");
}

} // namespace
} // namespace talvex

#include "driver.h"

#include "correction_model.h"
#include "radiometry.h"
#include "raster_io.h"
#include "run_parameters.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace talvex {

namespace {

constexpr const char* BANNER =
    "***** TALVEX : Scheme for Atmospheric Correction of Orvale-2 VELMOR *****\n\n";
constexpr const char* NOTES[] = {
    "Developed at : the TALVEX open-source project for remote-sensing software\n",
    "Contributors : the TALVEX developers\n",
    "Important Information:\n",
    "1. The input data must be in generic binary file format.\n",
    "2. The input data must be DN values (raw data) in unsigned integer format (2 byte data).\n",
    "3. The program will generate TOA reflectance and surface reflectance files.\n"
    "The generated output files will be binary files (ENVI standard files) along with "
    "corresponding header files (.hdr).\n",
    "4. The output files will be named as 'Ouputfilename-TOA-Ref-bands-2345' and "
    "'Outputfilename-Atm-Corr-Ref-bands-2345'.\n",
    "5. The generated outputs do not contain map/projection information.\n",
    "6. This Atmospheric Correction Model is tuned for 'CONTINENTAL AEROSOLS AND TROPICAL "
    "ATMOSPHERIC CONDITIONS'.\n",
    "\t\t**********\t\t\n\n",
};

constexpr const char* MESSAGE_OPENED = "Data file for all bands is Opened \n";
constexpr const char* MESSAGE_CANNOT_OPEN = "Can Not Open the Input File \n";
constexpr const char* MESSAGE_TOA_BEGINS =
    "The TOA reflectance computations are being done...wait...\n";
constexpr const char* MESSAGE_TOA_COMPLETE = "TOA Reflectance computations are complete.\n\n";
constexpr const char* MESSAGE_NOT_CORRECTED = "Data is not Atmopherically Corrected.\n";
constexpr const char* MESSAGE_CORRECTION_BEGINS = "Atmospheric correction begins ...wait...\n";
constexpr const char* MESSAGE_CORRECTION_COMPLETE =
    "The Atmospheric correction is successfully performed.\nThe output is stored in the output "
    "file.\nThe program for Atmospheric Correction ends.\n\n";
constexpr const char* MESSAGE_INVALID_OPTION = "Invalid Option\n";

// Pixels converted per block: large enough for few system calls, small
// enough that memory stays the same for any image size.
constexpr std::size_t BLOCK_PIXELS = std::size_t{1} << 18;
// One table entry for every possible DN.
constexpr std::size_t DN_VALUES = std::size_t{1} << 16;

void say(std::ostream& console, const std::string& text)
{
    console << text << std::flush;
}

// A band's conversion is a function of the DN alone, so it is worked out
// once per band for every possible DN, and each pixel is a table look-up.
using DnTable = std::vector<float>;

ToaCalibration bandCalibration(int band, const RunParameters& p, float earthSun,
                               std::int32_t fullScale)
{
    const std::size_t i = static_cast<std::size_t>(band - 2);
    return toaCalibration(p.lmin[i], p.lmax[i], bandSolarIrradiance(band), earthSun,
                          p.solarZenithDeg, fullScale);
}

void fillToaTable(DnTable& table, const ToaCalibration& calibration)
{
    for (std::size_t dn = 0; dn < DN_VALUES; ++dn) {
        table[dn] = dnToToaReflectance(static_cast<std::uint16_t>(dn), calibration).toaReflectance;
    }
}

void fillSurfaceTable(DnTable& table, const ToaCalibration& calibration, const BandTerms& terms)
{
    table[0] = 0.0f;  // no data
    for (std::size_t dn = 1; dn < DN_VALUES; ++dn) {
        const float toa =
            dnToToaReflectance(static_cast<std::uint16_t>(dn), calibration).toaReflectance;
        table[dn] = surfaceReflectance(toa, terms);
    }
}

// Buffers of one block, allocated once per run.
struct BlockBuffers {
    std::vector<std::uint16_t> dn = std::vector<std::uint16_t>(BLOCK_PIXELS);
    std::vector<std::uint32_t> values = std::vector<std::uint32_t>(BLOCK_PIXELS);
};

// Reads the next `pixelCount` DNs of the image and writes their table values.
// Returns STATUS_COMPLETE, or the status of the side that failed.
int convertBand(InputImage& image, OutputFile& output, std::int64_t pixelCount,
                const DnTable& table, BlockBuffers& buffers, std::string& error)
{
    while (pixelCount > 0) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(pixelCount, static_cast<std::int64_t>(BLOCK_PIXELS)));
        if (!readInput(image, buffers.dn.data(), n * DN_BYTES, error)) {
            return STATUS_INPUT_FAILURE;
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t dn = buffers.dn[i];
            if constexpr (std::endian::native == std::endian::big) {
                dn = static_cast<std::uint16_t>((dn >> 8) | (dn << 8));
            }
            std::uint32_t bits = std::bit_cast<std::uint32_t>(table[dn]);
            if constexpr (std::endian::native == std::endian::big) {
                bits = (bits >> 24) | ((bits >> 8) & 0xFF00u) | ((bits << 8) & 0xFF0000u) | (bits << 24);
            }
            buffers.values[i] = bits;
        }
        if (!writeOutput(output, buffers.values.data(), n * VALUE_BYTES, error)) {
            return STATUS_OUTPUT_FAILURE;
        }
        pixelCount -= static_cast<std::int64_t>(n);
    }
    return STATUS_COMPLETE;
}

// Finishes an output pair: header text, close, rename into place.
int finishOutputPair(OutputPair& pair, const RunParameters& p, std::string& error)
{
    if (!writeEnviHeader(pair.header, p.sampleCount, p.lineCount, error)
        || !commitOutputPair(pair, error)) {
        discardOutputPair(pair);
        return STATUS_OUTPUT_FAILURE;
    }
    return STATUS_COMPLETE;
}

// The TOA pass: every band through its TOA table into the TOA pair.
int toaPass(InputImage& image, const RunParameters& p, float earthSun, std::int32_t fullScale,
            BlockBuffers& buffers, DnTable& table, std::string& error)
{
    OutputPair toa;
    if (!createOutputPair(p.outputBaseName + TOA_SUFFIX, toa, error)) {
        return STATUS_OUTPUT_FAILURE;
    }
    const std::int64_t pixels = pixelsPerBand(p.lineCount, p.sampleCount);
    for (int band = 2; band <= 5; ++band) {
        fillToaTable(table, bandCalibration(band, p, earthSun, fullScale));
        const int status = convertBand(image, toa.image, pixels, table, buffers, error);
        if (status != STATUS_COMPLETE) {
            discardOutputPair(toa);
            return status;
        }
    }
    return finishOutputPair(toa, p, error);
}

// The correction pass: the DN image again from its first byte, every band
// through its surface-reflectance table into the surface pair.
int correctionPass(InputImage& image, const RunParameters& p, float earthSun,
                   std::int32_t fullScale, BlockBuffers& buffers, DnTable& table,
                   std::string& error)
{
    OutputPair surface;
    if (!createOutputPair(p.outputBaseName + SURFACE_SUFFIX, surface, error)) {
        return STATUS_OUTPUT_FAILURE;
    }
    if (!rewindInput(image, error)) {
        discardOutputPair(surface);
        return STATUS_INPUT_FAILURE;
    }
    const std::int64_t pixels = pixelsPerBand(p.lineCount, p.sampleCount);
    for (int band = 2; band <= 5; ++band) {
        fillSurfaceTable(table, bandCalibration(band, p, earthSun, fullScale), bandTerms(band, p));
        const int status = convertBand(image, surface.image, pixels, table, buffers, error);
        if (status != STATUS_COMPLETE) {
            discardOutputPair(surface);
            return status;
        }
    }
    return finishOutputPair(surface, p, error);
}

} // namespace

int runTalvex(std::istream& in, std::ostream& console)
{
    say(console, BANNER);
    for (const char* note : NOTES) {
        say(console, note);
    }
    say(console, BANNER);

    const ParameterReading reading = readRunParameters(in);
    if (!reading.error.empty()) {
        say(console, reading.error);
        return STATUS_BAD_PARAMETERS;
    }
    const RunParameters& p = reading.parameters;
    const std::string rangeError = physicalRangeError(p);
    if (!rangeError.empty()) {
        say(console, rangeError);
        return STATUS_BAD_PARAMETERS;
    }

    const std::int32_t fullScale = radianceFullScale();
    const float earthSun = earthSunFactor(p.dayOfYear);

    InputImage image;
    std::string error;
    if (!openInputImage(p.inputImagePath, image, error)) {
        say(console, MESSAGE_CANNOT_OPEN);
        say(console, "The Input File \"" + p.inputImagePath + "\": " + error + "\n");
        return STATUS_INPUT_FAILURE;
    }
    say(console, MESSAGE_OPENED);
    error = inputImageProblem(image, expectedImageBytes(p.lineCount, p.sampleCount));
    if (!error.empty()) {
        say(console, error);
        closeInput(image);
        return STATUS_INPUT_FAILURE;
    }

    BlockBuffers buffers;
    DnTable table(DN_VALUES);
    say(console, MESSAGE_TOA_BEGINS);
    int status = toaPass(image, p, earthSun, fullScale, buffers, table, error);
    if (status != STATUS_COMPLETE) {
        say(console, error);
        closeInput(image);
        return status;
    }
    say(console, MESSAGE_TOA_COMPLETE);

    if (p.correctionOption == CORRECTION_OFF) {
        say(console, MESSAGE_NOT_CORRECTED);
    } else if (p.correctionOption == CORRECTION_ON) {
        say(console, MESSAGE_CORRECTION_BEGINS);
        status = correctionPass(image, p, earthSun, fullScale, buffers, table, error);
        say(console, status == STATUS_COMPLETE ? std::string(MESSAGE_CORRECTION_COMPLETE) : error);
    } else {
        say(console, MESSAGE_INVALID_OPTION);
        status = STATUS_INVALID_OPTION;
    }
    closeInput(image);
    return status;
}

} // namespace talvex

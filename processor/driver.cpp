#include "driver.h"

#include "band_tables.h"
#include "envi_header.h"
#include "failure.h"
#include "input_image.h"
#include "interruption.h"
#include "messages.h"
#include "output_commit.h"
#include "run_parameters.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
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
constexpr const char* MESSAGE_TOA_BEGINS =
    "The TOA reflectance computations are being done...wait...\n";
constexpr const char* MESSAGE_TOA_COMPLETE = "TOA Reflectance computations are complete.\n\n";
constexpr const char* MESSAGE_NOT_CORRECTED = "Data is not Atmopherically Corrected.\n";
constexpr const char* MESSAGE_CORRECTION_BEGINS = "Atmospheric correction begins ...wait...\n";
constexpr const char* MESSAGE_CORRECTION_COMPLETE =
    "The Atmospheric correction is successfully performed.\nThe output is stored in the output "
    "file.\nThe program for Atmospheric Correction ends.\n\n";

// Pixels converted per block: large enough for few system calls, small
// enough that memory stays the same for any image size.
constexpr std::size_t BLOCK_PIXELS = std::size_t{1} << 18;

void say(std::ostream& console, const std::string& text)
{
    console << text << std::flush;
}

// Buffers of one block and the table of the current band, allocated once per run.
struct PassBuffers {
    std::vector<std::uint16_t> dn = std::vector<std::uint16_t>(BLOCK_PIXELS);
    std::vector<float> values = std::vector<float>(BLOCK_PIXELS);
    std::vector<float> table = std::vector<float>(DN_VALUES);
};

// DNs are stored least significant byte first, and so are the output values.
void dnFromLittleEndian(std::span<std::uint16_t> dn)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (std::uint16_t& v : dn) {
            v = static_cast<std::uint16_t>((v >> 8) | (v << 8));
        }
    }
}

void valuesToLittleEndian(std::span<float> values)
{
    if constexpr (std::endian::native == std::endian::big) {
        for (float& v : values) {
            std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
            bits =
                (bits >> 24) | ((bits >> 8) & 0xFF00u) | ((bits << 8) & 0xFF0000u) | (bits << 24);
            v = std::bit_cast<float>(bits);
        }
    }
}

// One pass over the DN image from where it stands: every band through its
// table of the reflectance asked for, block by block, into `output`.
void writePass(Reflectance reflectance, InputImage& image, OutputFile& output,
               const RunParameters& p, const RadiometricSetup& setup, PassBuffers& buffers)
{
    const std::int64_t pixels = pixelsPerBand(p.lineCount, p.sampleCount);
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        fillBandTable(reflectance, band, p, setup, DnTable(buffers.table.data(), DN_VALUES));
        for (std::int64_t left = pixels; left > 0;) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::int64_t>(left, static_cast<std::int64_t>(BLOCK_PIXELS)));
            readInput(image, buffers.dn.data(), n * DN_BYTES);
            dnFromLittleEndian(std::span(buffers.dn.data(), n));
            applyBandTable(std::span<const float, DN_VALUES>(buffers.table.data(), DN_VALUES),
                           buffers.dn.data(), buffers.values.data(), n);
            valuesToLittleEndian(std::span(buffers.values.data(), n));
            writeOutput(output, buffers.values.data(), n * VALUE_BYTES);
            throwIfInterrupted();
            left -= static_cast<std::int64_t>(n);
        }
    }
}

// An output image and its ENVI header, written under temporary names.
struct OutputPair {
    std::array<OutputFile, 2> files; // the image, then its header
};

std::string imageName(const RunParameters& p, Reflectance reflectance)
{
    return p.outputBaseName
           + (reflectance == Reflectance::topOfAtmosphere ? TOA_SUFFIX : SURFACE_SUFFIX);
}

OutputPair createOutputPair(const std::string& imagePath)
{
    OutputPair pair;
    pair.files[0] = createOutput(imagePath);
    try {
        pair.files[1] = createOutput(imagePath + HEADER_SUFFIX);
    } catch (...) {
        discardOutput(pair.files[0]);
        throw;
    }
    return pair;
}

void discardOutputPair(OutputPair& pair)
{
    for (OutputFile& file : pair.files) {
        discardOutput(file);
    }
}

// The header written after the last pixel, then both renamed into place together.
void finishOutputPair(OutputPair& pair, const RunParameters& p)
{
    writeEnviHeader(pair.files[1], p.sampleCount, p.lineCount);
    commitOutputs(pair.files);
}

// Everything the run writes, kept so that a failure can remove it.
struct RunFiles {
    InputImage image;
    OutputPair toa;
    OutputPair surface;
};

void releaseRunFiles(RunFiles& files)
{
    discardOutputPair(files.toa);
    discardOutputPair(files.surface);
    closeInput(files.image);
}

// The run after the banner, up to its last message; every failure is thrown.
int runPasses(std::istream& in, std::ostream& console, RunFiles& files)
{
    const RunParameters p = readRunParameters(in);
    checkPhysicalRange(p);
    checkImageSize(p);
    const RadiometricSetup setup = radiometricSetup(p);
    const bool correcting = p.correctionOption == CORRECTION_ON;

    files.image = openInputImage(p.inputImagePath);
    say(console, MESSAGE_OPENED);
    checkInputImage(files.image, expectedImageBytes(p.lineCount, p.sampleCount));

    // Every name is checked and every file created before the first pixel is read.
    say(console, MESSAGE_TOA_BEGINS);
    std::vector<std::string> names = {imageName(p, Reflectance::topOfAtmosphere)};
    if (correcting) {
        names.push_back(imageName(p, Reflectance::surface));
    }
    for (const std::string& name : names) {
        checkOutputName(name, files.image.fd);
        checkOutputName(name + HEADER_SUFFIX, files.image.fd);
    }
    removeStaleTemporaries(names.front());
    catchInterruptions();
    files.toa = createOutputPair(names[0]);
    if (correcting) {
        files.surface = createOutputPair(names[1]);
    }

    PassBuffers buffers;
    writePass(Reflectance::topOfAtmosphere, files.image, files.toa.files[0], p, setup, buffers);
    finishOutputPair(files.toa, p);
    say(console, MESSAGE_TOA_COMPLETE);

    if (p.correctionOption == CORRECTION_OFF) {
        say(console, MESSAGE_NOT_CORRECTED);
        return STATUS_COMPLETE;
    }
    if (!correcting) {
        say(console, std::string(INVALID_OPTION) + "\n");
        return STATUS_INVALID_OPTION;
    }
    say(console, MESSAGE_CORRECTION_BEGINS);
    rewindInput(files.image);
    writePass(Reflectance::surface, files.image, files.surface.files[0], p, setup, buffers);
    finishOutputPair(files.surface, p);
    say(console, MESSAGE_CORRECTION_COMPLETE);
    return STATUS_COMPLETE;
}

} // namespace

int runTalvex(std::istream& in, std::ostream& console)
{
    say(console, BANNER);
    for (const char* note : NOTES) {
        say(console, note);
    }
    say(console, BANNER);

    RunFiles files;
    int status = STATUS_COMPLETE;
    try {
        status = runPasses(in, console, files);
    } catch (const Failure& failure) {
        releaseRunFiles(files);
        say(console, failure.message);
        return failure.status;
    }
    releaseRunFiles(files);
    return status;
}

} // namespace talvex

// What the end-to-end tests share: the console text of a run, small scenes
// and streams, and a fixture that runs the real TALVEX-V1 in a fresh folder.
#pragma once

#include "correction_model.h"
#include "radiometry.h"
#include "run_parameters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

namespace talvex::testing {

namespace fs = std::filesystem;

inline const std::string BANNER =
    "***** TALVEX : Scheme for Atmospheric Correction of Orvale-2 VELMOR *****\n\n";
inline const std::string OPENING =
    BANNER
    + "Developed at : the TALVEX open-source project for remote-sensing software\n"
      "Contributors : the TALVEX developers\n"
      "Important Information:\n"
      "1. The input data must be in generic binary file format.\n"
      "2. The input data must be DN values (raw data) in unsigned integer format (2 byte data).\n"
      "3. The program will generate TOA reflectance and surface reflectance files.\n"
      "The generated output files will be binary files (ENVI standard files) along with "
      "corresponding header files (.hdr).\n"
      "4. The output files will be named as 'Ouputfilename-TOA-Ref-bands-2345' and "
      "'Outputfilename-Atm-Corr-Ref-bands-2345'.\n"
      "5. The generated outputs do not contain map/projection information.\n"
      "6. This Atmospheric Correction Model is tuned for 'CONTINENTAL AEROSOLS AND TROPICAL "
      "ATMOSPHERIC CONDITIONS'.\n"
      "\t\t**********\t\t\n\n"
    + BANNER;
inline const std::string TOA_MESSAGES =
    "Data file for all bands is Opened \n"
    "The TOA reflectance computations are being done...wait...\n"
    "TOA Reflectance computations are complete.\n\n";
inline const std::string CORRECTION_MESSAGES =
    "Atmospheric correction begins ...wait...\n"
    "The Atmospheric correction is successfully performed.\nThe output is stored in the output "
    "file.\nThe program for Atmospheric Correction ends.\n\n";

inline std::string headerFor(int samples, int lines)
{
    return "ENVI\ndescription = {File Imported into ENVI.}\nsamples = " + std::to_string(samples)
           + "\nlines = " + std::to_string(lines)
           + "\nbands = 4\nheader offset = 0\nfile type = ENVI Standard\ndata type = 4\n"
             "interleave = bsq\nsensor type = Unknown\nbyte order = 0\nwavelength units = "
             "Unknown\n";
}

inline std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<float> readFloats(const fs::path& path)
{
    const std::string bytes = readFile(path);
    std::vector<float> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + 4 * i);
        values[i] = std::bit_cast<float>(static_cast<std::uint32_t>(
            b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24));
    }
    return values;
}

inline std::string dnBytes(const std::vector<std::uint16_t>& dn)
{
    std::string bytes;
    for (std::uint16_t v : dn) {
        bytes.push_back(static_cast<char>(v & 0xFF));
        bytes.push_back(static_cast<char>(v >> 8));
    }
    return bytes;
}

// A stream from line 3 on, with the worked scene's calibration and atmosphere.
inline std::string parameterLines(int lines, int samples, const std::string& option)
{
    return std::to_string(lines) + " " + std::to_string(samples)
           + "\n0.0 52.5\n1.5 40.8\n0.0 33.6\n0.2 7.2\n45\n38.6\n142\n12.5\n101\n" + option
           + "\n55\n0.25\n2.9\n0.27\n";
}

// A copy of `text` with the first `from` replaced by `to`.
inline std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

inline RunParameters parametersOf(const std::string& stream)
{
    std::istringstream in(stream);
    return readRunParameters(in);
}

struct RunResult {
    int status;
    std::string console;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "talvex-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        fs::remove_all(dir);
    }

    // Runs the processor in the test folder on the given stream.
    RunResult run(const std::string& stream, const std::string& shellPrefix = "")
    {
        writeFile(dir / "stream.txt", stream);
        const std::string command = "cd '" + dir.string() + "' && " + shellPrefix
                                    + "'" TALVEX_EXECUTABLE
                                      "' < stream.txt > console.txt 2> stderr.txt";
        const int raw = std::system(command.c_str());
        EXPECT_EQ(readFile(dir / "stderr.txt"), "") << "nothing goes to standard error";
        return RunResult{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "console.txt")};
    }

    // Files left in the folder besides those the test wrote.
    std::vector<std::string> outputs()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name != "stream.txt" && name != "console.txt" && name != "stderr.txt"
                && name.rfind("in", 0) != 0 && name != "old" && !entry.is_directory()) {
                names.push_back(fs::relative(entry.path(), dir).string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

// A 3 x 5 scene covering no data, the calibration ends and DNs above full scale.
inline std::vector<std::uint16_t> smallScene()
{
    std::vector<std::uint16_t> dn;
    for (int band = 0; band < 4; ++band) {
        for (std::uint16_t v :
             {0, 1, 2, 100, 517, 1023, 2048, 4095, 4096, 65535, 0, 300, 812, 9, 3000}) {
            dn.push_back(static_cast<std::uint16_t>(v + (v != 0 ? band : 0)));
        }
    }
    return dn;
}

} // namespace talvex::testing

// GDAL's own tools read both outputs as the processor wrote them: size,
// four Float32 bands, band-sequential, and the same values at chosen pixels.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int LINES = 37;
constexpr int SAMPLES = 53;

std::string capture(const std::string& command)
{
    std::string text;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return text;
    }
    std::array<char, 4096> chunk{};
    for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        text.append(chunk.data(), got);
    }
    ::pclose(pipe);
    return text;
}

float floatAt(const std::string& bytes, std::size_t index)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + 4 * index);
    return std::bit_cast<float>(static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16)
                                | static_cast<std::uint32_t>(b[3]) << 24);
}

class GdalReadsOutputs : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "talvex-gdal-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        std::string dn;
        for (int i = 0; i < 4 * LINES * SAMPLES; ++i) {
            const int value = i % 97 == 0 ? 0 : 50 + (i * 37) % 3000;
            dn.push_back(static_cast<char>(value & 0xFF));
            dn.push_back(static_cast<char>(value >> 8));
        }
        std::ofstream(dir / "in.raw", std::ios::binary) << dn;
        std::ofstream(dir / "stream.txt")
            << "in.raw\nscene\n"
            << LINES << " " << SAMPLES
            << "\n0.0 52.5\n0.0 40.8\n0.0 33.6\n0.0 "
               "7.2\n45\n38.6\n142\n12.5\n101\n1\n55\n0.25\n2.9\n0.27\n";
        const std::string command =
            "cd '" + dir.string() + "' && '" TALVEX_EXECUTABLE "' < stream.txt > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(dir);
    }

    static inline fs::path dir;
};

TEST_F(GdalReadsOutputs, BothImagesAreFourFloat32BandsInBandOrder)
{
    for (const char* name : {"scene-TOA-Ref-bands-2345", "scene-Atm-Corr-Ref-bands-2345"}) {
        SCOPED_TRACE(name);
        const std::string info = capture("gdalinfo '" + (dir / name).string() + "'");
        EXPECT_NE(info.find("Driver: ENVI/ENVI .hdr Labelled"), std::string::npos) << info;
        EXPECT_NE(info.find("Size is " + std::to_string(SAMPLES) + ", " + std::to_string(LINES)),
                  std::string::npos)
            << info;
        EXPECT_NE(info.find("INTERLEAVE=BAND"), std::string::npos) << info;
        for (int band = 1; band <= 4; ++band) {
            EXPECT_NE(info.find("Band " + std::to_string(band) + " Block=" + std::to_string(SAMPLES)
                                + "x1 Type=Float32"),
                      std::string::npos)
                << info;
        }
        EXPECT_EQ(info.find("Band 5"), std::string::npos);
    }
}

TEST_F(GdalReadsOutputs, ValuesAtChosenPixelsAreWhatWasWritten)
{
    struct Pixel {
        int band;
        int line;
        int sample;
    };
    const std::vector<Pixel> pixels = {{1, 0, 0},  {1, 5, 7},  {2, 36, 52},
                                       {3, 18, 0}, {4, 0, 52}, {4, 20, 31}};
    for (const char* name : {"scene-TOA-Ref-bands-2345", "scene-Atm-Corr-Ref-bands-2345"}) {
        std::ifstream in(dir / name, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(bytes.size(), 16u * LINES * SAMPLES);
        for (const Pixel& p : pixels) {
            SCOPED_TRACE(std::string(name) + " band " + std::to_string(p.band) + " line "
                         + std::to_string(p.line) + " sample " + std::to_string(p.sample));
            const std::string printed =
                capture("gdallocationinfo -valonly -b " + std::to_string(p.band) + " '"
                        + (dir / name).string() + "' " + std::to_string(p.sample) + " "
                        + std::to_string(p.line));
            // GDAL prints the float widened to double with enough digits to
            // recover it exactly.
            const float read = std::strtof(printed.c_str(), nullptr);
            const std::size_t index =
                (static_cast<std::size_t>(p.band - 1) * LINES + p.line) * SAMPLES + p.sample;
            EXPECT_EQ(std::bit_cast<std::uint32_t>(read),
                      std::bit_cast<std::uint32_t>(floatAt(bytes, index)))
                << "GDAL printed " << printed;
        }
    }
}

} // namespace

// Runs of the real TALVEX-V1 on small scenes made here: console text,
// file names, sizes and bytes, exit statuses, and the failures it reports.
#include "processor_runs.h"

#include "command_line.h"
#include "parameter_fields.h"
#include "version.h"

namespace talvex::testing {
namespace {

struct CommandResult {
    int status;
    std::string out;
    std::string err;
};

// Runs the program with arguments, its standard input a pipe that never
// ends (a FIFO it holds open itself): an answer to --help must not wait for a
// stream.
CommandResult runWithArguments(const fs::path& dir, const std::string& arguments)
{
    const std::string command =
        "cd '" + dir.string()
        + "' && rm -f in.fifo && mkfifo in.fifo && timeout 10 '" TALVEX_EXECUTABLE "' " + arguments
        + " <> in.fifo > out.txt 2> err.txt; status=$?; rm -f in.fifo; exit $status";
    const int raw = std::system(command.c_str());
    return CommandResult{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "out.txt"),
                         readFile(dir / "err.txt")};
}

TEST_F(EndToEnd, HelpAndVersionAnswerOnStandardOutputWithoutReadingTheStream)
{
    const CommandResult help = runWithArguments(dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, helpText());
    EXPECT_EQ(help.err, "");
    // Every field with a unit is listed with it.
    for (const ParameterField& field : PARAMETER_FIELDS) {
        const std::size_t at = help.out.find("  " + std::string(field.member) + " ");
        ASSERT_NE(at, std::string::npos) << field.member;
        const std::string line = help.out.substr(at, help.out.find('\n', at) - at);
        EXPECT_NE(line.find(field.unit), std::string::npos) << line;
    }
    EXPECT_NE(help.out.find("ozone column [atm-cm]"), std::string::npos);

    const CommandResult version = runWithArguments(dir, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("TALVEX-V1 (TALVEX) ") + PROJECT_VERSION + "\n");
    EXPECT_EQ(outputs(), (std::vector<std::string>{"err.txt", "out.txt"}));
}

TEST_F(EndToEnd, AnyOtherArgumentIsRefusedOnStandardErrorBeforeTheBanner)
{
    for (const std::string arguments :
         {"--frobnicate", "-h", "run.txt", "--help --version", "--help x"}) {
        const CommandResult r = runWithArguments(dir, arguments);
        EXPECT_EQ(r.status, STATUS_USAGE) << arguments;
        EXPECT_EQ(r.out, "") << arguments;
        EXPECT_NE(r.err.find("Try 'TALVEX-V1 --help' for more information.\n"), std::string::npos)
            << r.err;
    }
    EXPECT_EQ(
        runWithArguments(dir, "--frob").err,
        "TALVEX-V1: unrecognized option '--frob'\nTry 'TALVEX-V1 --help' for more information.\n");
}

TEST_F(EndToEnd, CorrectionRunWritesBothPairsExactly)
{
    const std::vector<std::uint16_t> dn = smallScene();
    writeFile(dir / "in.raw", dnBytes(dn));
    const std::string stream = "in.raw\nout\n" + parameterLines(3, 5, "1");
    const RunResult r = run(stream);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, OPENING + TOA_MESSAGES + CORRECTION_MESSAGES);
    EXPECT_EQ(outputs(), (std::vector<std::string>{
                             "out-Atm-Corr-Ref-bands-2345", "out-Atm-Corr-Ref-bands-2345.hdr",
                             "out-TOA-Ref-bands-2345", "out-TOA-Ref-bands-2345.hdr"}));
    EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345.hdr"), headerFor(5, 3));
    EXPECT_EQ(readFile(dir / "out-Atm-Corr-Ref-bands-2345.hdr"), headerFor(5, 3));
    EXPECT_EQ(fs::file_size(dir / "out-TOA-Ref-bands-2345"), 16u * 15);
    EXPECT_EQ(fs::file_size(dir / "out-Atm-Corr-Ref-bands-2345"), 16u * 15);

    // Every value is the library's, bit for bit, computed pixel by pixel here.
    const RunParameters p = parametersOf(stream);
    const std::vector<float> toa = readFloats(dir / "out-TOA-Ref-bands-2345");
    const std::vector<float> surface = readFloats(dir / "out-Atm-Corr-Ref-bands-2345");
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t b = bandIndex(band);
        const ToaCalibration c =
            toaCalibration(p.lmin[b], p.lmax[b], bandSolarIrradiance(band),
                           earthSunFactor(p.dayOfYear), p.solarZenithDeg, 4095);
        const BandTerms terms = bandTerms(band, p);
        for (std::size_t i = b * 15; i < (b + 1) * 15; ++i) {
            const float expectedToa = dnToToaReflectance(dn[i], c).toaReflectance;
            EXPECT_EQ(std::bit_cast<std::uint32_t>(toa[i]),
                      std::bit_cast<std::uint32_t>(expectedToa))
                << i;
            const float expectedSurface =
                dn[i] == 0 ? 0.0f : surfaceReflectance(expectedToa, terms);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(surface[i]),
                      std::bit_cast<std::uint32_t>(expectedSurface))
                << i;
            if (dn[i] == 0) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(toa[i]), 0u) << "no data is +0.0";
                EXPECT_EQ(std::bit_cast<std::uint32_t>(surface[i]), 0u) << "no data is +0.0";
            }
        }
    }
}

TEST_F(EndToEnd, ToaOnlyRunAndLongerImage)
{
    std::vector<std::uint16_t> dn = smallScene();
    std::string bytes = dnBytes(dn) + std::string(100, '\x7f'); // trailing bytes are ignored
    writeFile(dir / "in.raw", bytes);
    const std::string stream = "in.raw\nres\n" + parameterLines(3, 5, "0");
    const RunResult r = run(stream.substr(0, stream.find("55\n")));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, OPENING + TOA_MESSAGES + "Data is not Atmopherically Corrected.\n");
    EXPECT_EQ(outputs(),
              (std::vector<std::string>{"res-TOA-Ref-bands-2345", "res-TOA-Ref-bands-2345.hdr"}));
    EXPECT_EQ(fs::file_size(dir / "res-TOA-Ref-bands-2345"), 240u);
}

TEST_F(EndToEnd, InvalidOptionLeavesCompleteToaOutputs)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    const RunResult r = run("in.raw\nx\n" + parameterLines(3, 5, "7"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, OPENING + TOA_MESSAGES + "Invalid Option\n");
    EXPECT_EQ(outputs(),
              (std::vector<std::string>{"x-TOA-Ref-bands-2345", "x-TOA-Ref-bands-2345.hdr"}));
    EXPECT_EQ(fs::file_size(dir / "x-TOA-Ref-bands-2345"), 240u);
    EXPECT_EQ(readFile(dir / "x-TOA-Ref-bands-2345.hdr"), headerFor(5, 3));
}

TEST_F(EndToEnd, ZeroLinesWritesEmptyImagesAndHeaders)
{
    writeFile(dir / "in.raw", "");
    const RunResult r = run("in.raw\nz\n" + parameterLines(0, 5, "1"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, OPENING + TOA_MESSAGES + CORRECTION_MESSAGES);
    EXPECT_EQ(fs::file_size(dir / "z-TOA-Ref-bands-2345"), 0u);
    EXPECT_EQ(fs::file_size(dir / "z-Atm-Corr-Ref-bands-2345"), 0u);
    EXPECT_EQ(readFile(dir / "z-Atm-Corr-Ref-bands-2345.hdr"), headerFor(5, 0));
}

TEST_F(EndToEnd, EmptyBaseNameAndLongNamesInSubfolders)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    EXPECT_EQ(run("in.raw\n\n" + parameterLines(3, 5, "0")).status, 0);
    EXPECT_TRUE(fs::exists(dir / "-TOA-Ref-bands-2345.hdr"));

    // Names far beyond 249 characters are used whole.
    const std::string folder(200, 'f');
    const std::string base(200, 'b');
    fs::create_directory(dir / folder);
    const RunResult r = run("in.raw\n" + folder + "/" + base + "\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(fs::file_size(dir / folder / (base + "-Atm-Corr-Ref-bands-2345")), 240u);
}

TEST_F(EndToEnd, MissingImageStopsBeforeAnyOutput)
{
    const RunResult r = run("no such.raw\nout\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.console, OPENING
                             + "Can Not Open the Input File \n"
                               "The Input File \"no such.raw\": No such file or directory\n");
    EXPECT_TRUE(outputs().empty());
}

TEST_F(EndToEnd, BadStreamsStopBeforeAnyFileIsOpened)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    const std::string good = "in.raw\nout\n" + parameterLines(3, 5, "1");

    RunResult r = run(good.substr(0, good.find("2.9\n")));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, OPENING
                             + "Error in the run parameters: the stream ends before line 16, "
                               "which should hold waterVapourColumn (water vapour amount).\n");

    r = run(replaced(good, "38.6", "sun 38.6"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.console.find("line 9: expected a number for solarZenithDeg"), std::string::npos);

    r = run(replaced(good, "2.9", "-2.9"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, OPENING
                             + "Error in the run parameters: waterVapourColumn = -2.9 is "
                               "negative: the accepted range is 0 or more.\n");

    r = run(replaced(good, "38.6", "95"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.console.find("solarZenithDeg = 95 is out of range"), std::string::npos);
    EXPECT_TRUE(outputs().empty());
}

TEST_F(EndToEnd, ShortOrIrregularImageIsRefusedAndEarlierOutputsKept)
{
    writeFile(dir / "out-TOA-Ref-bands-2345", "earlier image");
    writeFile(dir / "out-TOA-Ref-bands-2345.hdr", "earlier header");
    const std::string bytes = dnBytes(smallScene());
    writeFile(dir / "in.raw", bytes.substr(0, bytes.size() - 1));
    RunResult r = run("in.raw\nout\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.console, OPENING
                             + "Data file for all bands is Opened \n"
                               "The Input File \"in.raw\" is too short: the parameters promise "
                               "120 bytes (4 bands x lines x samples x 2 bytes), the file holds "
                               "119 bytes.\n");

    // More than 4 GiB promised: the expected size is computed in 64 bits.
    r = run("in.raw\nout\n" + parameterLines(40000, 40000, "0"));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.console.find("promise 12800000000 bytes"), std::string::npos) << r.console;

    fs::create_directory(dir / "in-folder");
    r = run("in-folder\nout\n" + parameterLines(3, 5, "0"));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.console.find("\"in-folder\" is not a regular file"), std::string::npos);

    EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345"), "earlier image");
    EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345.hdr"), "earlier header");
    EXPECT_EQ(outputs().size(), 2u) << "no temporary file is left behind";
}

TEST_F(EndToEnd, OutputsThatCannotBeWrittenAreReported)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    RunResult r = run("in.raw\nmissing/out\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.console, OPENING
                             + "Data file for all bands is Opened \n"
                               "The TOA reflectance computations are being done...wait...\n"
                               "Can Not Create the Output File \"missing/out-TOA-Ref-bands-2345\": "
                               "the folder \"missing/\" does not exist; create it first\n");
    // A file where the folder should be.
    writeFile(dir / "plain", "not a folder");
    r = run("in.raw\nplain/out\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.console.find("Can Not Create the Output File \"plain/out-TOA-Ref-bands-2345\": "
                             "\"plain/\" is not a folder\n"),
              std::string::npos)
        << r.console;
    fs::remove(dir / "plain");
    EXPECT_EQ(outputs(), std::vector<std::string>{});

    // A full disk, as a file-size limit: the earlier outputs survive whole.
    std::vector<std::uint16_t> big(4 * 64 * 64, 700);
    writeFile(dir / "in.raw", dnBytes(big));
    writeFile(dir / "out-TOA-Ref-bands-2345", "earlier image");
    r = run("in.raw\nout\n" + parameterLines(64, 64, "1"), "ulimit -f 16 && ");
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.console.find(
                  "Can Not Write the Output File \"out-TOA-Ref-bands-2345\": File too large\n"),
              std::string::npos)
        << r.console;
    EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345"), "earlier image");
    EXPECT_EQ(outputs(), std::vector<std::string>{"out-TOA-Ref-bands-2345"});

    // The surface image cannot take its final name (a folder is in the
    // way): found before the first pixel, so nothing is written at all and
    // the earlier TOA image stays as it was.
    fs::create_directory(dir / "out-Atm-Corr-Ref-bands-2345");
    r = run("in.raw\nout\n" + parameterLines(64, 64, "1"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.console, OPENING
                             + "Data file for all bands is Opened \n"
                               "The TOA reflectance computations are being done...wait...\n"
                               "Can Not Create the Output File \"out-Atm-Corr-Ref-bands-2345\": "
                               "a folder stands at that name\n");
    EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345"), "earlier image");
    EXPECT_TRUE(fs::is_empty(dir / "out-Atm-Corr-Ref-bands-2345"));
    EXPECT_EQ(outputs(), std::vector<std::string>{"out-TOA-Ref-bands-2345"});
}

TEST_F(EndToEnd, PipesEmptyImagesAndUnwritableFoldersAreReported)
{
    // A named pipe cannot be read twice: refused before anything is written.
    ASSERT_EQ(::mkfifo((dir / "in-pipe").c_str(), 0600), 0);
    RunResult r = run("in-pipe\nout\n" + parameterLines(3, 5, "0"));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.console.find("\"in-pipe\" is not a regular file"), std::string::npos) << r.console;

    writeFile(dir / "in-empty", "");
    r = run("in-empty\nout\n" + parameterLines(3, 5, "0"));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.console.find("the file holds 0 bytes"), std::string::npos) << r.console;

    // A folder that nobody, not even root, may create files in.
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    r = run("in.raw\n/proc/talvex-test/out\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.console.find(
                  "Can Not Create the Output File \"/proc/talvex-test/out-TOA-Ref-bands-2345\""),
              std::string::npos)
        << r.console;
    EXPECT_TRUE(outputs().empty());
}

TEST_F(EndToEnd, StreamCutAtEveryLineIsRefusedWithoutOutputs)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    const std::string stream = "in.raw\nout\n" + parameterLines(3, 5, "1");
    std::size_t cut = 0;
    for (int lines = 0; lines < 17; ++lines) {
        const RunResult r = run(stream.substr(0, cut));
        EXPECT_EQ(r.status, 2) << "cut after " << lines << " lines";
        EXPECT_NE(r.console.find("the stream ends before line " + std::to_string(lines + 1)),
                  std::string::npos)
            << r.console;
        cut = stream.find('\n', cut) + 1;
    }
    EXPECT_TRUE(outputs().empty());
}

TEST_F(EndToEnd, ConcurrentRunsNeverMixTheirOutputs)
{
    std::vector<std::uint16_t> dn(4 * 256 * 256);
    for (std::size_t i = 0; i < dn.size(); ++i) {
        dn[i] = static_cast<std::uint16_t>(1 + i % 4000);
    }
    writeFile(dir / "in.raw", dnBytes(dn));
    // Two runs that differ only in their day, so their outputs differ.
    const std::string dayA = "in.raw\nout\n" + parameterLines(256, 256, "1");
    const std::string dayB = replaced(dayA, "\n45\n", "\n200\n");
    const std::string exe = TALVEX_EXECUTABLE;
    const auto runBoth = [&](const std::string& baseA, const std::string& baseB) {
        writeFile(dir / "stream-a.txt", replaced(dayA, "\nout\n", "\n" + baseA + "\n"));
        writeFile(dir / "stream-b.txt", replaced(dayB, "\nout\n", "\n" + baseB + "\n"));
        const std::string command = "cd '" + dir.string() + "' && ('" + exe
                                    + "' < stream-a.txt > console-a.txt & '" + exe
                                    + "' < stream-b.txt > console-b.txt & wait)";
        ASSERT_EQ(std::system(command.c_str()), 0);
    };

    // Different base names: both complete; they are also the references.
    runBoth("a", "b");
    const std::string toaA = readFile(dir / "a-TOA-Ref-bands-2345");
    const std::string toaB = readFile(dir / "b-TOA-Ref-bands-2345");
    const std::string surfaceA = readFile(dir / "a-Atm-Corr-Ref-bands-2345");
    const std::string surfaceB = readFile(dir / "b-Atm-Corr-Ref-bands-2345");
    ASSERT_EQ(toaA.size(), 16u * 256 * 256);
    ASSERT_EQ(surfaceB.size(), 16u * 256 * 256);
    ASSERT_NE(toaA, toaB);

    // The same base name, several times: each output is one run's, whole.
    for (int attempt = 0; attempt < 5; ++attempt) {
        runBoth("same", "same");
        const std::string toa = readFile(dir / "same-TOA-Ref-bands-2345");
        const std::string surface = readFile(dir / "same-Atm-Corr-Ref-bands-2345");
        EXPECT_TRUE(toa == toaA || toa == toaB) << "attempt " << attempt;
        EXPECT_TRUE(surface == surfaceA || surface == surfaceB) << "attempt " << attempt;
        EXPECT_EQ(readFile(dir / "same-TOA-Ref-bands-2345.hdr"), headerFor(256, 256));
    }
    std::size_t hidden = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        hidden += entry.path().filename().string().rfind('.', 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(hidden, 0u) << "no temporary file is left behind";
}

} // namespace
} // namespace talvex::testing

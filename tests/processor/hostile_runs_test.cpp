// Runs of the real TALVEX-V1 under what a batch scheduler, a busy user and
// a careless script do to it: signals at any moment, runs sharing a base
// name, an output named like the input, endless or absurd streams, names
// that cannot be made, and a reader of the messages that goes away.
#include "band_tables.h"
#include "processor_runs.h"

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

// Pixels of one block of the processor's loop; the scenes below span several.
constexpr int BLOCK_PIXELS = 1 << 18;

// Starts TALVEX-V1 in `dir` with `streamFile` on its standard input; returns its process.
pid_t startRun(const fs::path& dir, const std::string& streamFile)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) {
            ::_exit(126);
        }
        const int in = ::open(streamFile.c_str(), O_RDONLY);
        const int out = ::open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0) {
            ::_exit(126);
        }
        ::execl(TALVEX_EXECUTABLE, "TALVEX-V1", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

int waitFor(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Names in the folder that only a run's temporaries carry.
std::vector<std::string> temporaries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".tmp-talvex-") != std::string::npos) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A scene whose bands each span several blocks, with varied DNs and no-data pixels.
std::vector<std::uint16_t> severalBlockScene(int lines, int samples)
{
    std::vector<std::uint16_t> dn(4 * static_cast<std::size_t>(lines) * samples);
    for (std::size_t i = 0; i < dn.size(); ++i) {
        dn[i] = static_cast<std::uint16_t>(i % 7919 == 0 ? 0 : 1 + (i * 2654435761u) % 5000);
    }
    return dn;
}

// What the header at `header` says the image's size must be, or -1 without a header.
std::int64_t sizePromisedBy(const fs::path& header)
{
    if (!fs::exists(header)) {
        return -1;
    }
    const std::string text = readFile(header);
    const auto number = [&](const std::string& key) {
        return std::stoll(text.substr(text.find(key) + key.size()));
    };
    return 16 * number("samples = ") * number("lines = ");
}

TEST_F(EndToEnd, BandsOfSeveralBlocksAreConvertedWhole)
{
    // 700 x 800 = 560000 pixels per band: two full blocks and a part of a third.
    const int lines = 700;
    const int samples = 800;
    ASSERT_GT(lines * samples, 2 * BLOCK_PIXELS);
    const std::vector<std::uint16_t> dn = severalBlockScene(lines, samples);
    writeFile(dir / "in.raw", dnBytes(dn));
    const std::string stream = "in.raw\nout\n" + parameterLines(lines, samples, "1");
    ASSERT_EQ(run(stream).status, 0);

    const RunParameters p = parametersOf(stream);
    const RadiometricSetup setup = radiometricSetup(p);
    std::vector<float> table(DN_VALUES);
    const std::size_t pixels = static_cast<std::size_t>(lines) * samples;
    for (const auto& [reflectance, name] :
         {std::pair{Reflectance::topOfAtmosphere, "out-TOA-Ref-bands-2345"},
          std::pair{Reflectance::surface, "out-Atm-Corr-Ref-bands-2345"}}) {
        const std::vector<float> values = readFloats(dir / name);
        ASSERT_EQ(values.size(), dn.size()) << name;
        std::size_t mismatches = 0;
        for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
            fillBandTable(reflectance, band, p, setup, DnTable(table.data(), DN_VALUES));
            for (std::size_t i = bandIndex(band) * pixels; i < (bandIndex(band) + 1) * pixels;
                 ++i) {
                mismatches += std::bit_cast<std::uint32_t>(values[i])
                                      != std::bit_cast<std::uint32_t>(table[dn[i]])
                                  ? 1
                                  : 0;
            }
        }
        EXPECT_EQ(mismatches, 0u) << name;
    }
}

TEST_F(EndToEnd, StopSignalsRemoveTemporariesAndEndTheRunByTheSignal)
{
    const int size = 1500;
    writeFile(dir / "in.raw", dnBytes(severalBlockScene(size, size)));
    writeFile(dir / "stream.txt", "in.raw\nout\n" + parameterLines(size, size, "1"));
    writeFile(dir / "out-TOA-Ref-bands-2345", "earlier image");
    writeFile(dir / "out-TOA-Ref-bands-2345.hdr", "earlier header");
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const pid_t pid = startRun(dir, "stream.txt");
        // Wait until the run has created its temporaries, then stop it mid-pass.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (temporaries(dir).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_FALSE(temporaries(dir).empty()) << "the run never created its outputs";
        ::kill(pid, signal);
        const int status = waitFor(pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal << ", status " << status;
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_EQ(temporaries(dir), std::vector<std::string>{}) << "signal " << signal;
        EXPECT_NE(
            readFile(dir / "console.txt").find("interrupted by signal " + std::to_string(signal)),
            std::string::npos);
        // Whatever the moment, the final names hold one whole pair.
        if (readFile(dir / "out-TOA-Ref-bands-2345.hdr") == "earlier header") {
            EXPECT_EQ(readFile(dir / "out-TOA-Ref-bands-2345"), "earlier image");
        } else if (const std::int64_t promised = sizePromisedBy(dir / "out-TOA-Ref-bands-2345.hdr");
                   promised >= 0) {
            EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(dir / "out-TOA-Ref-bands-2345")),
                      promised);
        }
    }
}

TEST_F(EndToEnd, KilledRunsNeverLeaveAMismatchedPairAndTheirTemporariesAreSwept)
{
    // An earlier run of another size stands under the final names.
    writeFile(dir / "in.raw", dnBytes(severalBlockScene(20, 30)));
    ASSERT_EQ(run("in.raw\nout\n" + parameterLines(20, 30, "0")).status, 0);
    const int size = 600;
    writeFile(dir / "in.raw", dnBytes(severalBlockScene(size, size)));
    writeFile(dir / "big.txt", "in.raw\nout\n" + parameterLines(size, size, "1"));

    std::mt19937 random(20261207);
    for (int attempt = 0; attempt < 12; ++attempt) {
        const pid_t pid = startRun(dir, "big.txt");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
        ::kill(pid, SIGKILL);
        waitFor(pid);
        for (const char* image : {"out-TOA-Ref-bands-2345", "out-Atm-Corr-Ref-bands-2345"}) {
            const std::int64_t promised = sizePromisedBy(dir / (std::string(image) + ".hdr"));
            if (promised >= 0) {
                ASSERT_TRUE(fs::exists(dir / image)) << "a header without its image";
                EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(dir / image)), promised)
                    << image << " after a kill at attempt " << attempt;
            }
        }
    }

    // A temporary of a process that is alive stays; those of killed runs go
    // with the next run into the folder.
    const std::string alive =
        ".x-TOA-Ref-bands-2345.tmp-talvex-" + std::to_string(::getpid()) + "-0";
    writeFile(dir / alive, "still being written");
    writeFile(dir / ".y-TOA-Ref-bands-2345.tmp-talvex-999999999-3", "left by a killed run");
    writeFile(dir / ".y-TOA-Ref-bands-2345.tmp-talvex-999999999-3.aux.xml", "its companion");
    writeFile(dir / ".notes.tmp-talvex-1-x", "not a temporary of ours");
    writeFile(dir / ".notes.tmp-talvex-1-2x", "nor this");
    writeFile(dir / "small.txt", "in.raw\nout\n" + parameterLines(3, 5, "0"));
    ASSERT_EQ(run(readFile(dir / "small.txt")).status, 0);
    EXPECT_EQ(temporaries(dir),
              (std::vector<std::string>{".notes.tmp-talvex-1-2x", ".notes.tmp-talvex-1-x", alive}));
    EXPECT_EQ(sizePromisedBy(dir / "out-TOA-Ref-bands-2345.hdr"), 240);
}

TEST_F(EndToEnd, CommitRemovesTheOldHeaderBeforeTheImageTakesItsName)
{
    if (std::system("command -v strace > /dev/null") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    writeFile(dir / "stream.txt", "in.raw\nout\n" + parameterLines(3, 5, "1"));
    const std::string command = "cd '" + dir.string()
                                + "' && ASAN_OPTIONS=detect_leaks=0 strace -qq -e "
                                  "trace=unlink,unlinkat,rename,renameat,renameat2 "
                                  "-o trace.txt '" TALVEX_EXECUTABLE "' < stream.txt > console.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string trace = readFile(dir / "trace.txt");
    for (const std::string image : {"out-TOA-Ref-bands-2345", "out-Atm-Corr-Ref-bands-2345"}) {
        const std::size_t dropHeader = trace.find("\"" + image + ".hdr\")");
        const std::size_t renameImage = trace.find("\"" + image + "\")");
        const std::size_t renameHeader = trace.find("\"" + image + ".hdr\")", dropHeader + 1);
        ASSERT_NE(dropHeader, std::string::npos) << trace;
        ASSERT_NE(renameImage, std::string::npos) << trace;
        ASSERT_NE(renameHeader, std::string::npos) << trace;
        EXPECT_LT(dropHeader, renameImage) << trace;
        EXPECT_LT(renameImage, renameHeader) << trace;
        EXPECT_NE(trace.rfind("unlink", dropHeader), std::string::npos);
    }
}

TEST_F(EndToEnd, AnOutputThatIsTheInputIsRefusedBeforeAnythingIsWritten)
{
    const std::string dn = dnBytes(smallScene());
    fs::create_directory(dir / "w");
    writeFile(dir / "w/x-TOA-Ref-bands-2345", dn);
    RunResult r = run("w/x-TOA-Ref-bands-2345\nw/x\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.console,
              OPENING
                  + "Data file for all bands is Opened \n"
                    "The TOA reflectance computations are being done...wait...\n"
                    "The Output File \"w/x-TOA-Ref-bands-2345\" is the Input File itself "
                    "(the same file under this or another name); writing it would "
                    "destroy the DN image.\n");

    // The same file through a hard link, and through a symbolic link at an output's name.
    writeFile(dir / "in.raw", dn);
    fs::create_hard_link(dir / "in.raw", dir / "h-TOA-Ref-bands-2345");
    fs::create_symlink("in.raw", dir / "s-Atm-Corr-Ref-bands-2345.hdr");
    EXPECT_EQ(run("in.raw\nh\n" + parameterLines(3, 5, "0")).status, 3);
    EXPECT_EQ(run("in.raw\ns\n" + parameterLines(3, 5, "1")).status, 3);

    EXPECT_EQ(readFile(dir / "w/x-TOA-Ref-bands-2345"), dn);
    EXPECT_EQ(readFile(dir / "in.raw"), dn);
    EXPECT_EQ(readFile(dir / "h-TOA-Ref-bands-2345"), dn);
    EXPECT_TRUE(fs::is_symlink(dir / "s-Atm-Corr-Ref-bands-2345.hdr"));
    for (const char* name :
         {"w/x-TOA-Ref-bands-2345.hdr", "h-TOA-Ref-bands-2345.hdr", "s-TOA-Ref-bands-2345"}) {
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    }
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
}

TEST_F(EndToEnd, EndlessAndAbsurdStreamsEndWithTheLineNamed)
{
    const auto runShell = [&](const std::string& input) {
        const std::string command = "cd '" + dir.string() + "' && " + input
                                    + " | timeout 20 '" TALVEX_EXECUTABLE "' > console.txt";
        const int raw = std::system(command.c_str());
        return RunResult{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "console.txt")};
    };
    RunResult r = runShell("cat /dev/zero");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, OPENING
                             + "Error in the run parameters, line 1: the line is longer than "
                               "4096 characters.\n");

    r = runShell("yes ''"); // blank lines without end
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.console.find("more than 100 blank lines in front of lineCount"), std::string::npos)
        << r.console;

    r = runShell("(printf 'a\\nb\\n1200 x'; head -c 100000000 /dev/zero | tr '\\0' 'y')");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.console.find("line 3: expected an integer for sampleCount (samples per line), "
                             "found \"xyyyy"),
              std::string::npos)
        << r.console;

    writeFile(dir / "in.raw", "");
    for (const std::string sizes : {"2147483647 2147483647", "1518500250 1518500250"}) {
        r = run("in.raw\nout\n" + replaced(parameterLines(3, 5, "0"), "3 5", sizes));
        EXPECT_EQ(r.status, 2) << sizes;
        EXPECT_NE(r.console.find("more than a file can hold"), std::string::npos) << r.console;
    }
    EXPECT_TRUE(outputs().empty());
}

TEST_F(EndToEnd, NamesThatCannotBeMadeStopTheRunUpFront)
{
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    // 230 characters fit every name but the surface header's.
    const std::string base(230, 'b');
    RunResult r = run("in.raw\n" + base + "\n" + parameterLines(3, 5, "1"));
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(
        r.console.find(base + "-Atm-Corr-Ref-bands-2345.hdr\": its last part has 258 characters"),
        std::string::npos)
        << r.console;
    EXPECT_EQ(r.console.find("TOA Reflectance computations are complete"), std::string::npos);
    EXPECT_TRUE(outputs().empty());

    // Without correction the same base name is fine.
    EXPECT_EQ(run("in.raw\n" + base + "\n" + parameterLines(3, 5, "0")).status, 0);

    fs::create_directory(dir / "out-TOA-Ref-bands-2345.hdr");
    r = run("in.raw\nout\n" + parameterLines(3, 5, "0"));
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.console.find("\"out-TOA-Ref-bands-2345.hdr\": a folder stands at that name"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "out-TOA-Ref-bands-2345"));
}

// A folder its user may write but not read cannot be locked itself; runs
// then share a hidden lock file in it. Root reads every folder, so the run
// is made by the user nobody.
TEST_F(EndToEnd, AFolderThatCannotBeReadIsWrittenWhole)
{
    if (::geteuid() != 0
        || std::system("command -v setpriv > /dev/null && id nobody > /dev/null") != 0) {
        GTEST_SKIP() << "needs root, setpriv and the user nobody";
    }
    writeFile(dir / "in.raw", dnBytes(smallScene()));
    writeFile(dir / "stream.txt", "in.raw\nhidden/out\n" + parameterLines(3, 5, "1"));
    fs::create_directory(dir / "hidden");
    fs::permissions(dir, fs::perms::all);
    fs::permissions(dir / "hidden", fs::perms::owner_write | fs::perms::owner_exec
                                        | fs::perms::group_write | fs::perms::group_exec
                                        | fs::perms::others_write | fs::perms::others_exec);
    const std::string command =
        "cd '" + dir.string()
        + "' && setpriv --reuid=nobody --regid=nogroup --clear-groups '" TALVEX_EXECUTABLE
          "' < stream.txt > console.txt";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << readFile(dir / "console.txt");
    EXPECT_EQ(fs::file_size(dir / "hidden/out-Atm-Corr-Ref-bands-2345"), 16u * 3 * 5);
    EXPECT_EQ(readFile(dir / "hidden/out-TOA-Ref-bands-2345.hdr"), headerFor(5, 3));
    fs::permissions(dir / "hidden", fs::perms::all);
}

TEST_F(EndToEnd, RunCompletesWhenItsReaderGoesAway)
{
    writeFile(dir / "in.raw", dnBytes(severalBlockScene(300, 300)));
    writeFile(dir / "stream.txt", "in.raw\nout\n" + parameterLines(300, 300, "1"));
    const std::string command = "cd '" + dir.string()
                                + "' && set -o pipefail && '" TALVEX_EXECUTABLE
                                  "' < stream.txt | head -c 1 > /dev/null";
    EXPECT_EQ(std::system(("bash -c \"" + command + "\"").c_str()), 0);
    EXPECT_EQ(fs::file_size(dir / "out-Atm-Corr-Ref-bands-2345"), 16u * 300 * 300);
    EXPECT_EQ(readFile(dir / "out-Atm-Corr-Ref-bands-2345.hdr"), headerFor(300, 300));
}

} // namespace
} // namespace talvex::testing

// Outputs under stress from outside: two runs writing one folder at once,
// and runs killed at any moment. No output may be lost or half written, and
// what a killed run left is gone once the next run has passed.

#include "app/model_io.h"
#include "common/cli_run.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/format_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace morvex {
namespace {

using namespace morvex::testing;
namespace fs = std::filesystem;

// A flat grid of side × side squares, two triangles each.
void writeGrid(const fs::path& path, std::uint32_t side)
{
    Model model;
    ModelObject& grid = *model.addObject();
    const std::uint32_t row = side + 1;
    ASSERT_TRUE(grid.vertices.allocate(row * row));
    for (std::uint32_t y = 0; y < row; ++y)
        for (std::uint32_t x = 0; x < row; ++x)
            grid.vertices[y * row + x] = {float(x), float(y), float((x * 7 + y * 3) % 5)};
    ASSERT_TRUE(grid.indices.allocate(side * side * 6));
    std::uint32_t k = 0;
    for (std::uint32_t y = 0; y < side; ++y)
        for (std::uint32_t x = 0; x < side; ++x) {
            const std::uint32_t corner = y * row + x;
            for (std::uint32_t index : {corner, corner + 1, corner + row + 1, corner, corner + row + 1, corner + row})
                grid.indices[k++] = index;
        }
    RecordingReporter reporter;
    ASSERT_EQ(writeModel(reporter, path, model, *outputFormatNamed("stl")), OperationResult::Success);
}

std::uint32_t trianglesIn(const fs::path& path)
{
    Model model;
    RecordingReporter reporter;
    if (readModel(reporter, model, path) != OperationResult::Success)
        return 0;
    std::uint32_t triangles = 0;
    for (const auto& object : model.objects)
        triangles += object->triangleCount();
    return triangles;
}

// Entries of a folder (not below it), by name.
std::set<std::string> entriesOf(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::size_t hiddenEntries(const fs::path& folder)
{
    std::size_t hidden = 0;
    for (const std::string& name : entriesOf(folder))
        hidden += name.starts_with(".") || name.starts_with("Morvex-");
    return hidden;
}

// Two runs convert the same 30 files into one folder at once, numbering
// names that exist. Every conversion of both must end as its own file: a
// final move that replaced a file the other run had just put there lost it.
TEST(OutputSafety, TwoRunsIntoOneFolderLoseNothing)
{
    TempDir dir;
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    constexpr int Files = 30;
    for (int i = 0; i < Files; ++i)
        writeGrid(dir / "in" / ("part" + std::to_string(i) + ".stl"), 2 + i % 3);
    const CliRun convert(dir / "config", "convert");
    const std::string arguments = shellQuote((dir / "in").string()) + " --to stl --output " +
                                  shellQuote((dir / "out").string()) + " --on-exists rename --jobs 2 -q";
    const std::string both = "(" + convert.commandLine(arguments) + " </dev/null & " + convert.commandLine(arguments) +
                             " </dev/null & wait) 2>&1";
    constexpr int Rounds = 8;
    for (int round = 1; round <= Rounds; ++round) {
        std::string output;
        ASSERT_EQ(runCommand(both, &output), 0) << output;
        const std::set<std::string> outputs = entriesOf(dir / "out");
        ASSERT_EQ(outputs.size(), static_cast<std::size_t>(2 * Files * round)) << "round " << round;
        for (const std::string& name : outputs)
            ASSERT_GT(trianglesIn(dir / "out" / name), 0u) << name;
    }
}

// Starts `command` and kills it with SIGKILL after `delay`.
void runAndKill(const std::vector<std::string>& command, std::chrono::microseconds delay)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

// Conversions killed at many moments, in every output format and with an
// earlier output at the name: the name holds the earlier file or a complete
// new one, never part of one, and the next run in the folder leaves no
// private file or folder of the killed ones behind.
TEST(OutputSafety, KilledRunsLeaveCompleteFilesAndNoDebris)
{
    TempDir dir;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "tmp");
    const fs::path source = dir / "grid.stl";
    writeGrid(source, 160); // 51,200 triangles
    writeGrid(dir / "tiny.stl", 1);
    const std::uint32_t triangles = 160 * 160 * 2;
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);

    for (const FileFormat& format : fileFormats()) {
        if (!format.writable())
            continue;
        const std::string name(format.name);
        const fs::path output = dir / "out" / ("grid." + std::string(format.extension));
        for (const char* policy : {"overwrite", "rename"}) {
            for (int step = 0; step < 6; ++step) {
                const std::string earlier = readFile(source); // a stand-in earlier output
                fs::remove_all(dir / "out");
                fs::create_directories(dir / "out");
                writeFile(output, earlier);
                runAndKill({cliPath().string(), "convert", source.string(), "--to", name, "--output",
                            (dir / "out").string(), "--on-exists", policy, "-q"},
                           std::chrono::milliseconds(40 + 70 * step));
                for (const std::string& entry : entriesOf(dir / "out")) {
                    if (entry.starts_with("."))
                        continue; // a killed run's private file: checked below
                    const fs::path written = dir / "out" / entry;
                    if (written == output && readFile(written) == earlier)
                        continue;
                    EXPECT_EQ(trianglesIn(written), triangles)
                        << name << ", " << policy << ", step " << step << ": " << entry << " is not complete";
                }
                std::string log;
                ASSERT_EQ(runCommand(CliRun(dir / "config", "convert")
                                         .commandLine(shellQuote((dir / "tiny.stl").string()) + " --to " + name +
                                                      " --output " + shellQuote((dir / "out").string()) +
                                                      " --on-exists rename -q 2>&1"),
                                     &log),
                          0)
                    << log;
                EXPECT_EQ(hiddenEntries(dir / "out"), 0u) << name << ", " << policy << ", step " << step;
            }
        }
    }
    EXPECT_EQ(hiddenEntries(dir / "tmp"), 0u);
    ::unsetenv("TMPDIR");
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace morvex

namespace morvex {
namespace {

// A pipe or a device named like a model is refused at once by every reader
// (info and convert alike), never read until it ends or memory runs out.
TEST(HostileInput, PipesAndDevicesAreRefusedAtOnce)
{
    TempDir dir;
    for (const char* name : {"pipe.ply", "pipe.obj", "pipe.3dp", "pipe.stl", "pipe.3mf"})
        ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.ply");
    fs::create_symlink("/dev/zero", dir / "zero.stl");
    const CliRun info(dir / "config", "info");
    for (const char* name : {"pipe.ply", "pipe.obj", "pipe.3dp", "pipe.stl", "pipe.3mf", "zero.ply", "zero.stl"}) {
        std::string output;
        const int status =
            runCommand("timeout 60 env " + info.commandLine(shellQuote((dir / name).string())) + " 2>&1", &output);
        EXPECT_EQ(status, 1) << name << ": " << output; // 124 when it hung
        EXPECT_NE(output.find("not a regular file"), std::string::npos) << name << ": " << output;
    }
}

} // namespace
} // namespace morvex

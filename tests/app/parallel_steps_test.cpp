#include "app/pipeline.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/parallel_ranges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::testing;
namespace fs = std::filesystem;

namespace {

// Restores one thread per file when a test ends, whatever it set.
struct ThreadsPerFile {
    explicit ThreadsPerFile(unsigned threads) { setThreadsPerFile(threads); }
    ~ThreadsPerFile() { setThreadsPerFile(1); }
};

// Three objects of 2 * side * side triangles each, with irregular
// coordinates and per-vertex colours on the second, as OBJ text.
std::string gridObjects(int side)
{
    std::string text;
    int firstVertex = 1;
    for (int object = 0; object < 3; ++object) {
        text += "o part" + std::to_string(object) + "\n";
        for (int row = 0; row <= side; ++row)
            for (int column = 0; column <= side; ++column) {
                const double x = column * 0.37 + object * 100.0, y = row * 0.29 - 3.0;
                const double z = (row * 7 + column * 13) % 17 * 0.031 + object;
                text += "v " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z);
                if (object == 1)
                    text += " " + std::to_string((row % 10) / 10.0) + " 0.5 " + std::to_string((column % 4) / 4.0);
                text += "\n";
            }
        for (int row = 0; row < side; ++row)
            for (int column = 0; column < side; ++column) {
                const int a = firstVertex + row * (side + 1) + column, b = a + 1, c = a + side + 1, d = c + 1;
                text += "f " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) + "\n";
                text += "f " + std::to_string(a) + " " + std::to_string(d) + " " + std::to_string(c) + "\n";
            }
        firstVertex += (side + 1) * (side + 1);
    }
    return text;
}

std::string convertedBytes(const fs::path& source, const fs::path& output, ConversionSettings settings,
                           unsigned threads)
{
    const ThreadsPerFile scope(threads);
    RecordingReporter reporter;
    Failure failure;
    fs::remove(output);
    EXPECT_EQ(convertFile(source, output, settings, reporter, &failure), ConversionStatus::Success)
        << source << " -> " << output << ": " << describeFailure(failure);
    return readFile(output);
}

} // namespace

TEST(ParallelRanges, PartsCoverTheCountInOrderAndCarryExceptions)
{
    for (const std::uint64_t count : {0ull, 1ull, 5ull, 100003ull})
        for (const unsigned parts : {1u, 2u, 3u, 8u}) {
            std::vector<std::atomic<int>> seen(count);
            std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges(parts);
            forEachRange(count, parts, [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
                ranges[part] = {begin, end};
                for (std::uint64_t i = begin; i < end; ++i)
                    ++seen[i];
            });
            for (std::uint64_t i = 0; i < count; ++i)
                ASSERT_EQ(seen[i], 1) << count << " items in " << parts << " parts, item " << i;
            EXPECT_EQ(ranges[0].first, 0u);
        }
    EXPECT_THROW(forEachRange(10, 2,
                              [](unsigned part, std::uint64_t, std::uint64_t) {
                                  if (part == 1)
                                      throw std::runtime_error("helper failed");
                              }),
                 std::runtime_error);

    const ThreadsPerFile scope(2);
    EXPECT_EQ(threadsFor(1000, 4096), 1u);
    EXPECT_EQ(threadsFor(10000, 4096), 2u);
    setThreadsPerFile(0);
    EXPECT_EQ(threadsPerFile(), 1u);
}

// The steps and writers that split their work over both cores write the
// same bytes as one thread, with and without the transforms that run on
// every vertex and normal.
TEST(ParallelSteps, TwoThreadsWriteTheBytesOfOne)
{
    TempDir dir;
    fs::create_directory(dir / "out");
    std::vector<fs::path> sources{dir / "grid.obj"};
    writeFile(sources[0], gridObjects(90)); // 48,600 triangles
    for (const char* name : {"stl/cura__UltimakerRobot_support.stl", "ply/tinyply__bunny.ply"})
        if (corpusAvailable() && fs::exists(corpusDir() / name))
            sources.push_back(corpusDir() / name);

    struct Output {
        FormatKind kind;
        const char* extension;
    };
    const Output outputs[] = {{FormatKind::StlBinary, "stl"}, {FormatKind::StlAscii, "stl"},
                              {FormatKind::Ply, "ply"},       {FormatKind::Obj, "obj"},
                              {FormatKind::ThreeDs, "3ds"},   {FormatKind::Document3dp, "3dp"}};
    for (const fs::path& source : sources)
        for (const Output& output : outputs)
            for (const bool effects : {false, true}) {
                ConversionSettings settings;
                settings.outputKind = output.kind;
                settings.outputExtension = output.extension;
                settings.recalculateNormalsOn = effects;
                settings.customTransformOn = effects;
                settings.customMatrix =
                    composeTransform({30, -45, 10}, {1.5f, 0.5f, 2}, Matrix4::identity(), {5, 6, 7});
                const fs::path target = dir / "out" / (source.stem().string() + "." + output.extension);
                const std::string one = convertedBytes(source, target, settings, 1);
                const std::string two = convertedBytes(source, target, settings, 2);
                ASSERT_FALSE(one.empty()) << target;
                EXPECT_TRUE(one == two) << source << " as " << static_cast<int>(output.kind)
                                        << (effects ? " with effects" : "") << ": the outputs differ";
            }
}

// When the system gives no thread, the work a thread would have done is done
// on the converting thread: the same bytes, nothing lost, no abort. The
// 3MF read inflates alongside its parse on two threads, and the steps and
// writers split their work.
TEST(ParallelSteps, ThreadsRefusedByTheSystemLeaveTheOutputAlone)
{
    std::vector<std::atomic<int>> seen(100003);
    refuseThreadStartsForTesting(2);
    forEachRange(seen.size(), 4, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i)
            ++seen[i];
    });
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], 1) << "item " << i;

    TempDir dir;
    writeFile(dir / "grid.obj", gridObjects(200)); // 240,000 triangles
    ConversionSettings to3mf;
    to3mf.outputKind = FormatKind::ThreeMf;
    to3mf.outputExtension = "3mf";
    convertedBytes(dir / "grid.obj", dir / "grid.3mf", to3mf, 1);
    for (const FormatKind kind : {FormatKind::StlBinary, FormatKind::Obj}) {
        ConversionSettings settings;
        settings.outputKind = kind;
        settings.outputExtension = kind == FormatKind::Obj ? "obj" : "stl";
        settings.recalculateNormalsOn = true;
        const fs::path target = dir / ("out." + settings.outputExtension);
        const std::string one = convertedBytes(dir / "grid.3mf", target, settings, 1);
        refuseThreadStartsForTesting(1000);
        const std::string refused = convertedBytes(dir / "grid.3mf", target, settings, 2);
        refuseThreadStartsForTesting(0);
        ASSERT_FALSE(one.empty());
        EXPECT_TRUE(one == refused) << settings.outputExtension << ": the outputs differ";
    }
}

#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace morvex::testing;
namespace fs = std::filesystem;

namespace {

int convert(const std::string& arguments, std::string* output = nullptr)
{
    return runCommand(shellQuote(cliPath().string()) + " convert " + arguments + " 2>&1", output);
}

} // namespace

TEST(CliConvert, EffectOptionsAreChecked)
{
    struct Case {
        const char* arguments;
        const char* message;
    };
    const Case cases[] = {
        {"x.stl --to stl --translate 1,2", "--translate needs three numbers X,Y,Z"},
        {"x.stl --to stl --rotate 1,2,3,4", "--rotate needs three numbers"},
        {"x.stl --to stl --scale 1,2,x", "--scale needs three numbers"},
        {"x.stl --to stl --scale 2e7,1,1", "between -1000000 and 1000000"},
        {"x.stl --to stl --scale nan,1,1", "--scale needs three numbers"},
        {"x.stl --to stl --scale", "--scale needs a value"},
        {"x.stl --to gif", "(3dp, 3mf, obj, ply, stl, stl-ascii)"},
        {"x.stl --to stl --remove-duplicate", "unknown option --remove-duplicate"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(convert(c.arguments, &output), 2) << c.arguments;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.arguments << " printed: " << output;
    }
}

TEST(CliConvert, EachFileGetsItsStatusLine)
{
    TempDir dir;
    const std::string triangle = "solid same\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                                 "vertex 0 1 0\nendloop\nendfacet\nendsolid same\n";
    writeFile(dir / "same.stl", triangle);
    std::string output;
    const int status = convert(shellQuote((dir / "absent.stl").string()) + " " + shellQuote((dir / "same.stl").string()) +
                                   " --to stl --remove-duplicates --rotate 0,90,0 --on-exists overwrite </dev/null",
                               &output);
    EXPECT_EQ(status, 1) << "a path that names nothing is an error";
    EXPECT_NE(output.find("absent.stl': No such file or directory"), std::string::npos) << output;
    // Converting a file onto itself would replace the source: it is never
    // overwritten, the output gets a numbered name.
    EXPECT_NE(output.find("same.stl: Converted and renamed -> "), std::string::npos) << output;
    EXPECT_EQ(readFile(dir / "same.stl"), triangle);
    EXPECT_TRUE(fs::exists(dir / "same-1.stl"));
}

TEST(CliConvert, InterruptCancelsAndLeavesNoOutput)
{
    TempDir dir;
    // A binary STL large enough that the conversion is still running when
    // the signal arrives.
    constexpr std::uint32_t facets = 1000000;
    std::string bytes(84 + std::size_t(facets) * 50, '\0');
    std::memcpy(&bytes[80], &facets, 4);
    for (std::uint32_t i = 0; i < facets; ++i) {
        const float corners[9] = {float(i), 0, 0, float(i), 1, 0, float(i), 0, float(i % 7 + 1)};
        std::memcpy(&bytes[84 + std::size_t(i) * 50 + 12], corners, sizeof corners);
    }
    writeFile(dir / "big.stl", bytes);
    fs::create_directories(dir / "out");
    std::string output;
    runCommand(shellQuote(cliPath().string()) + " convert " + shellQuote((dir / "big.stl").string()) +
                   " --to stl --remove-duplicates --output " + shellQuote((dir / "out").string()) +
                   " </dev/null 2>&1 & pid=$!; sleep 0.5; kill -INT $pid; wait $pid; echo \"exit=$?\"",
               &output);
    EXPECT_NE(output.find("big.stl: Cancelled"), std::string::npos) << output;
    EXPECT_NE(output.find("exit=130"), std::string::npos) << output;
    EXPECT_TRUE(fs::is_empty(dir / "out")) << "the output folder should hold nothing";
}

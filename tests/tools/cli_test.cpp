#include "common/test_support.h"

#include <gtest/gtest.h>

using namespace morvex::testing;

namespace {

// The settings of these runs live in a folder of the test, never the user's.
int cli(const std::string& arguments, std::string* output = nullptr)
{
    static const TempDir config;
    return runCommand("XDG_CONFIG_HOME=" + shellQuote(config.path().string()) + " " + shellQuote(cliPath().string()) +
                          " " + arguments + " </dev/null 2>&1",
                      output);
}

} // namespace

TEST(Cli, UsageErrorsExitWithTwo)
{
    struct Case {
        const char* arguments;
        const char* message;
    };
    const Case cases[] = {
        {"", "no command given"},
        {"frobnicate", "unknown command"},
        {"info", "at least one file"},
        {"info --bogus x.stl", "unknown option --bogus"},
        {"convert", "at least one file or folder"},
        {"convert x.stl --to gif", "unknown output format"},
        {"convert x.stl --to", "--to needs a value"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.arguments << " printed: " << output;
    }
    std::string help;
    EXPECT_EQ(cli("--help", &help), 0);
    EXPECT_NE(help.find("usage: morvex-cli"), std::string::npos);
}
TEST(Cli, MissingAndUnreadableFilesFailWithReason)
{
    TempDir dir;
    std::string output;
    EXPECT_EQ(cli("info --json " + shellQuote((dir / "missing.stl").string()), &output), 1);
    EXPECT_NE(output.find("\"result\":\"failed\""), std::string::npos) << output;
    EXPECT_NE(output.find("No such file"), std::string::npos) << output;

    output.clear();
    EXPECT_EQ(cli("convert " + shellQuote((dir / "missing.stl").string()) + " --to stl", &output), 2);
    EXPECT_NE(output.find("No such file"), std::string::npos) << output;
    EXPECT_NE(output.find("None of the selected files could be converted"), std::string::npos) << output;

    writeFile(dir / "broken.stl", "solid broken\nfacet normal 0 0 1\n");
    output.clear();
    EXPECT_EQ(cli("convert " + shellQuote((dir / "broken.stl").string()) + " --to stl --output " +
                      shellQuote((dir / "out").string()),
                  &output),
              1);
    EXPECT_NE(output.find("Read failed"), std::string::npos) << output;
}

TEST(Cli, ConvertsTheExampleAndDescribesIt)
{
    TempDir dir;
    const std::string example = shellQuote((sourceDir() / "examples" / "bracket.stl").string());
    std::string output;
    ASSERT_EQ(cli("convert " + example + " --to stl --output " + shellQuote(dir.path().string()), &output), 0)
        << output;
    EXPECT_NE(output.find("Success"), std::string::npos) << output;

    output.clear();
    ASSERT_EQ(cli("info --json " + example + " " + shellQuote((dir / "bracket.stl").string()), &output), 0);
    // Both lines describe the same closed bracket: 20 triangles over 12 shared
    // corners, 40 x 20 x 30.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = output.find('\n', at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 2u) << output;
    for (const char* expected : {"\"triangles\":20", "\"vertices\":12", "\"bbox\":[0,0,0,40,20,30]",
                                 "\"ModelName\":\"bracket\"", "\"result\":\"ok\""}) {
        const std::size_t first = output.find(expected);
        EXPECT_NE(first, std::string::npos) << expected << " in " << output;
        EXPECT_NE(output.find(expected, first + 1), std::string::npos) << expected << " twice in " << output;
    }
}

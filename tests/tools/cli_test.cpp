#include "common/test_support.h"

#include <gtest/gtest.h>

using namespace morvex::testing;

namespace {

int cli(const std::string& arguments, std::string* output = nullptr)
{
    return runCommand(shellQuote(cliPath().string()) + " " + arguments + " 2>&1", output);
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
        {"convert x.stl", "needs --to"},
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

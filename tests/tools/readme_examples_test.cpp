// The README's examples, run in order as a new user would on a fresh clone:
// none may ask a question, clash with an earlier one's output or fail.

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace morvex::testing;

namespace {

// Every "./run ..." command of the README's sh blocks, continuation lines
// joined, in the order they appear.
std::vector<std::string> readmeRunLines(const std::string& readme)
{
    std::vector<std::string> commands;
    std::istringstream lines(readme);
    std::string line;
    bool inShell = false;
    while (std::getline(lines, line)) {
        if (line.starts_with("```")) {
            inShell = line == "```sh";
            continue;
        }
        if (!inShell || !line.starts_with("./run "))
            continue;
        std::string command = line;
        while (command.ends_with("\\") && std::getline(lines, line))
            command = command.substr(0, command.size() - 1) + line;
        commands.push_back(command);
    }
    return commands;
}

} // namespace

TEST(ReadmeExamples, RunInOrderOnAFreshCloneWithoutQuestionsOrClashes)
{
    if (runCommand("command -v python3 >/dev/null") != 0)
        GTEST_SKIP() << "an example pipes into python3";
    TempDir dir;
    const std::filesystem::path clone = dir / "clone";
    std::filesystem::create_directory(clone);
    std::filesystem::copy(sourceDir() / "examples", clone / "examples", std::filesystem::copy_options::recursive);
    const CliRun cli(dir / "config", "");

    const std::vector<std::string> commands = readmeRunLines(readFile(sourceDir() / "README.md"));
    ASSERT_GE(commands.size(), 10u);
    for (const std::string& command : commands) {
        // Braces, so that the example's own pipes and redirections stay its own.
        const std::string run = "cd " + shellQuote(clone.string()) + " && { " +
                                cli.commandLine(command.substr(std::string_view("./run ").size())) +
                                "; } 2>&1 </dev/null";
        std::string output;
        EXPECT_EQ(runCommand("bash -c " + shellQuote(run), &output), 0) << command << "\n" << output;
        EXPECT_FALSE(contains(output, "What would you like to do?")) << command << "\n" << output;
        EXPECT_FALSE(contains(output, "Would you like to create it?")) << command << "\n" << output;
        EXPECT_FALSE(contains(output, "Failed")) << command << "\n" << output;
    }
    EXPECT_TRUE(std::filesystem::exists(clone / "out" / "single" / "bracket.ply"));
    EXPECT_TRUE(std::filesystem::exists(clone / "out" / "bracket-1.ply")) << "the second of two same names";
    EXPECT_GT(std::filesystem::file_size(clone / "out" / "piped.3mf"), 0u);
    EXPECT_TRUE(contains(readFile(clone / "out" / "results.jsonl"), "\"exitStatus\":0"));
}

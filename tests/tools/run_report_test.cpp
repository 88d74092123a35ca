// How a convert run reports: each file's result the moment it ends, and a
// summary whose counts agree with the exit status, for every way a run ends.

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sys/wait.h>
#include <vector>

using namespace morvex::testing;

namespace {

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The number after "\"key\":" in a JSON line; -1 when absent.
long numberField(const std::string& line, std::string_view key)
{
    const std::string marker = "\"" + std::string(key) + "\":";
    const std::size_t at = line.find(marker);
    return at == std::string::npos ? -1 : std::stol(line.substr(at + marker.size()));
}

// The summary line printed on standard error.
std::string summaryOf(const std::string& output)
{
    for (const std::string& line : linesOf(output))
        if (line.find(" converted, ") != std::string::npos && line.find(" cancelled") != std::string::npos)
            return line;
    return {};
}

} // namespace

TEST(RunReport, JsonLinesArriveWhileTheRunGoesOn)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    constexpr int Files = 300;
    std::filesystem::create_directory(dir / "in");
    for (int i = 0; i < Files; ++i)
        writeBinaryStl(dir / "in" / ("m" + std::to_string(1000 + i) + ".stl"), 3000, static_cast<float>(i));
    writeFile(dir / "in" / "m0999-broken.stl", "solid broken\nfacet normal 0 0 1\n");

    const std::string command = cli.commandLine(shellQuote((dir / "in").string()) + " --to stl --jobs 1 --json -o " +
                                                shellQuote((dir / "out").string() + "/")) +
                                " </dev/null 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string json;
    char buffer[4096];
    ASSERT_NE(std::fgets(buffer, sizeof buffer, pipe), nullptr);
    json += buffer;
    // The first file's line came while most files were still to be converted.
    std::error_code error;
    std::size_t writtenWhenFirstArrived = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out", error)) {
        (void)entry;
        ++writtenWhenFirstArrived;
    }
    EXPECT_LT(writtenWhenFirstArrived, static_cast<std::size_t>(Files) / 2) << "the first line waited for the run";
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        json += buffer;
    const int status = ::pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "one file failed";

    const std::vector<std::string> lines = linesOf(json);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(Files) + 2) << json.substr(0, 2000);
    std::set<long> indexes;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        indexes.insert(numberField(line, "index"));
        const bool failed = contains(line, "m0999-broken.stl");
        EXPECT_EQ(contains(line, "\"output\":null"), failed) << line;
        EXPECT_EQ(numberField(line, "status"), failed ? 9 : 3) << line;
        // Walked in name order; scheduled from the last file to the first.
        if (i == 0) {
            EXPECT_TRUE(contains(line, "m1299.stl")) << line;
        }
    }
    EXPECT_EQ(indexes.size(), static_cast<std::size_t>(Files) + 1);
    EXPECT_EQ(*indexes.begin(), 0);
    EXPECT_EQ(*indexes.rbegin(), Files);
    const std::string& summary = lines.back();
    EXPECT_TRUE(contains(summary, "\"text\":\"301 files: 300 converted, 0 skipped, 1 failed, 0 cancelled in "))
        << summary;
    EXPECT_EQ(numberField(summary, "exitStatus"), 1);
    EXPECT_EQ(numberField(summary, "converted"), Files);
}

TEST(RunReport, SummaryCountsAgreeWithTheExitStatus)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 10, 1.0f);
    writeBinaryStl(dir / "b.stl", 11, 2.0f);
    writeFile(dir / "broken.stl", "solid broken\nfacet normal 0 0 1\n");
    writeFile(dir / "notes.txt", "not a model");
    const std::string a = shellQuote((dir / "a.stl").string());
    const std::string b = shellQuote((dir / "b.stl").string());
    const std::string out = " --to stl -o " + shellQuote((dir / "out").string() + "/");
    struct Case {
        std::string what;
        std::string arguments;
        int exitStatus;
        std::string summary; // start of the summary line; empty: none
    };
    const Case cases[] = {
        {"all converted", a + " " + b + out + " --on-exists overwrite", 0,
         "2 files: 2 converted, 0 skipped, 0 failed, 0 cancelled in "},
        {"one skipped", a + out + " --on-exists skip", 0, "1 file: 0 converted, 1 skipped, 0 failed, 0 cancelled in "},
        {"one failed", a + " " + shellQuote((dir / "broken.stl").string()) + out + " --on-exists overwrite", 1,
         "2 files: 1 converted, 0 skipped, 1 failed, 0 cancelled in "},
        // Scheduled from the last to the first: b meets its existing output
        // and stops the run before a starts.
        {"stopped", a + " " + b + out + " --on-exists stop --jobs 1", 1,
         "2 files: 0 converted, 0 skipped, 0 failed, 2 cancelled (stopped: " + (dir / "out" / "b.stl").string() +
             " existed, --on-exists stop) in "},
        {"a path that names nothing",
         a + " " + shellQuote((dir / "absent.stl").string()) + out + " --on-exists overwrite", 1,
         "1 file: 1 converted, 0 skipped, 0 failed, 0 cancelled in "},
        {"nothing to do", shellQuote((dir / "notes.txt").string()) + out, 2, ""},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(cli(c.arguments, &output), c.exitStatus) << c.what << ": " << output;
        if (c.summary.empty()) {
            EXPECT_EQ(summaryOf(output), "") << c.what << ": " << output;
            continue;
        }
        EXPECT_TRUE(summaryOf(output).starts_with(c.summary)) << c.what << ": " << output;
        std::string json;
        EXPECT_EQ(cli(c.arguments + " --json", &json, true), c.exitStatus) << c.what;
        const std::string summary = linesOf(json).back();
        EXPECT_EQ(numberField(summary, "exitStatus"), c.exitStatus) << c.what << ": " << summary;
        EXPECT_TRUE(contains(summary, "\"text\":\"" + c.summary)) << c.what << ": " << summary;
    }
}

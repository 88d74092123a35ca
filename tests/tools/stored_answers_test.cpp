// Defaults and stored answers that the command line says out loud: the
// output format it falls back on, answers kept for a run or stored for
// later runs, the settings command, and dry runs that end as the real run.

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

using namespace morvex::testing;

TEST(StoredAnswers, DefaultsAreNamedAndExplicitOverwriteIsHonouredBesideSources)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 5);
    const std::string a = shellQuote((dir / "a.stl").string());
    std::string output;
    ASSERT_EQ(cli(a + " --same-folder", &output), 0) << output;
    EXPECT_TRUE(contains(output, "output format: 3dp (the default; choose one with --to)\n")) << output;
    EXPECT_TRUE(std::filesystem::exists(dir / "a.3dp"));

    cli.writeSettings("[Output Format]\nPDLIndex=4\n");
    output.clear();
    ASSERT_EQ(cli(a + " --same-folder", &output), 0) << output;
    EXPECT_TRUE(contains(output, "output format: ply (stored by the desktop program in " + cli.settingsFile().string() +
                                     "; 'morvex-cli settings --reset output-format' forgets it)\n"))
        << output;
    output.clear();
    EXPECT_EQ(cli(a + " --same-folder --to ply", &output), 2) << "beside its source and asked about: " << output;
    EXPECT_FALSE(contains(output, "output format:")) << "--to given: " << output;

    // --on-exists overwrite, asked for by name, replaces the file beside its
    // source; the source itself is never replaced.
    const std::string oldPly = readFile(dir / "a.ply");
    writeFile(dir / "a.ply", "stale");
    output.clear();
    ASSERT_EQ(cli(a + " --same-folder --to ply --on-exists overwrite", &output), 0) << output;
    EXPECT_TRUE(contains(output, "a.stl: Replaced -> " + (dir / "a.ply").string())) << output;
    EXPECT_EQ(readFile(dir / "a.ply"), oldPly);
    const std::string source = readFile(dir / "a.stl");
    output.clear();
    ASSERT_EQ(cli(a + " --same-folder --to stl --on-exists overwrite", &output), 0) << output;
    EXPECT_EQ(readFile(dir / "a.stl"), source);
    EXPECT_TRUE(contains(output, "a.stl: Converted and renamed -> " + (dir / "a-1.stl").string())) << output;
}

TEST(StoredAnswers, SettingsAreShownAndReset)
{
    TempDir dir;
    const CliRun settings(dir / "config", "settings");
    settings.writeSettings("[Output Format]\nPDLIndex=5\n[Output Folder]\nCBString=/models/out\n[Overwrite]\n"
                           "AlwaysPrompt=0\nAlwaysOverwrite=0\nNeverOverwrite=0\nStopConverting=0\nEnumerate=1\n"
                           "EnumerateTEXT=%number%_%filename%\n[Options]\nCreateFolderDecision=0\nInput folder=/in\n"
                           "[Effects]\nRecalculateNormals=1\n");
    std::string shown;
    ASSERT_EQ(settings("", &shown), 0);
    for (const char* line :
         {"output-format  (--to)             stl  [stored]", "output-folder  (--output)         /models/out  [stored]",
          "overwrite      (--on-exists)      rename  [stored]",
          "name-template  (--name-template)  %number%_%filename%  [stored]",
          "create-folder  (--create-folder)  ask on a terminal; stop without one  [stored]",
          "effects        (--stored-effects) recalculate normals  [stored]"})
        EXPECT_TRUE(contains(shown, line)) << line << " in " << shown;

    std::string output;
    ASSERT_EQ(settings("--reset overwrite --reset=output-format", &output), 0) << output;
    EXPECT_TRUE(contains(output, "reset overwrite: ask (on a terminal; stop without one)")) << output;
    shown.clear();
    ASSERT_EQ(settings("", &shown), 0);
    EXPECT_TRUE(contains(shown, "output-format  (--to)             3dp  [default]")) << shown;
    EXPECT_TRUE(contains(shown, "name-template  (--name-template)  %number%_%filename%  [stored]")) << shown;
    const std::string file = readFile(settings.settingsFile());
    EXPECT_FALSE(contains(file, "Enumerate=")) << file;
    EXPECT_TRUE(contains(file, "Input folder=/in")) << "settings of the desktop program stay: " << file;

    output.clear();
    EXPECT_EQ(settings("--reset overwrit", &output), 2);
    EXPECT_TRUE(contains(output, "unknown setting 'overwrit' (did you mean 'overwrite'?)")) << output;
    ASSERT_EQ(settings("--all", &output), 0);
    shown.clear();
    ASSERT_EQ(settings("", &shown), 0);
    EXPECT_EQ(countOf(shown, "[stored]"), 0u) << shown;
    EXPECT_TRUE(contains(readFile(settings.settingsFile()), "Input folder=/in"));
}

TEST(StoredAnswers, DryRunEndsAsTheRealRun)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 5);
    writeBinaryStl(dir / "b.stl", 6);
    const std::string files = shellQuote((dir / "a.stl").string()) + " " + shellQuote((dir / "b.stl").string()) +
                              " --to stl -o " + shellQuote((dir / "out").string() + "/");
    struct Case {
        std::string what;
        std::string settings;
        std::string extra;
        std::string dryRunSays;
    };
    const Case cases[] = {
        {"a missing folder, stored no", "[Options]\nCreateFolderDecision=0\n", "",
         "stops: the output folder '" + (dir / "out").string() + "/' does not exist; pass --create-folder"},
        {"a missing folder, created by default", "", "", "would create the output folder"},
        {"outputs that exist, nobody to ask", "", "", "(exists: stops: nobody to ask; pass --on-exists)"},
        {"outputs that exist, skipped", "", " --on-exists skip", "(exists: would skip the file)"},
    };
    for (const Case& c : cases) {
        cli.writeSettings(c.settings);
        std::string dry, real;
        const int dryStatus = cli(files + c.extra + " --dry-run", &dry);
        EXPECT_TRUE(contains(dry, c.dryRunSays)) << c.what << ": " << dry;
        const int realStatus = cli(files + c.extra, &real);
        EXPECT_EQ(dryStatus, realStatus) << c.what << "\n" << dry << "\n" << real;
    }
}

TEST(StoredAnswers, CapitalAnswersHoldForTheRunAndStoredOnesSayWhere)
{
    if (runCommand("command -v script >/dev/null") != 0)
        GTEST_SKIP() << "script(1) is needed for a terminal";
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    std::string files;
    for (const char* name : {"a.stl", "b.stl", "c.stl"}) {
        writeBinaryStl(dir / name, 5);
        files += shellQuote((dir / name).string()) + " ";
    }
    files += "--to stl -o " + shellQuote((dir / "out").string() + "/");
    ASSERT_EQ(cli(files), 0);
    const std::string onTerminal = "script -qec " + shellQuote(cli.commandLine(files)) + " /dev/null 2>&1";

    std::string output;
    EXPECT_EQ(runCommand("printf 'R\\n' | " + onTerminal, &output), 0) << output;
    EXPECT_EQ(countOf(output, "What would you like to do?"), 1u) << "asked once: " << output;
    EXPECT_EQ(countOf(output, "exists: rename (your answer for this run)"), 2u) << output;
    EXPECT_EQ(countOf(output, "Converted and renamed"), 3u) << output;
    EXPECT_FALSE(contains(readFile(cli.settingsFile()), "Enumerate")) << "kept for this run only";

    output.clear();
    EXPECT_EQ(runCommand("printf 's!\\n' | " + onTerminal, &output), 0) << output;
    EXPECT_TRUE(contains(output, "\"skip\" is now the policy of later runs, stored in " + cli.settingsFile().string() +
                                     "; 'morvex-cli settings --reset overwrite' forgets it"))
        << output;
    EXPECT_EQ(countOf(output, "What would you like to do?"), 1u) << output;
    EXPECT_EQ(countOf(output, ": Skipped ("), 3u) << output;
}

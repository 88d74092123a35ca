// The man pages and shell completions are made from the same description of
// the options as --help: installed, they must name every option --help
// names, and the bash completion must complete what a user types.

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <set>

using namespace morvex::testing;

namespace {

// The long options that option lines of a --help text start with
// ("  -t, --to FORMAT ...", "      --json ...").
std::set<std::string> helpOptions(const std::string& help)
{
    std::set<std::string> options;
    for (std::size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(help.data() + start, end - start);
        if (!line.starts_with("  "))
            continue;
        line.remove_prefix(line.find_first_not_of(' '));
        if (line.size() > 4 && line[0] == '-' && line[1] != '-' && line.substr(2, 2) == ", ")
            line.remove_prefix(4);
        if (line.starts_with("--"))
            options.emplace(line.substr(0, line.find(' ')));
    }
    return options;
}

// What the installed bash completion offers for the words typed so far (the
// last one being completed), run in `folder`.
std::string bashCompletes(const std::filesystem::path& script, const std::filesystem::path& folder,
                          const std::string& words)
{
    const std::string body = "cd " + shellQuote(folder.string()) + " && source " + shellQuote(script.string()) +
                             " && COMP_WORDS=(" + words +
                             ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && "
                             "_morvex_cli && printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    std::string output;
    EXPECT_EQ(runCommand("bash -c " + shellQuote(body), &output), 0) << words;
    return output;
}

} // namespace

TEST(ManAndCompletion, InstalledAndAgreeingWithHelp)
{
    TempDir dir;
    const std::filesystem::path buildDir = cliPath().parent_path().parent_path();
    std::string output;
    ASSERT_EQ(runCommand("cmake --install " + shellQuote(buildDir.string()) + " --prefix " +
                             shellQuote((dir / "prefix").string()) + " 2>&1",
                         &output),
              0)
        << output;
    const std::filesystem::path share = dir / "prefix" / "share";
    EXPECT_TRUE(std::filesystem::exists(dir / "prefix" / "bin" / "morvex-cli"));
    const std::filesystem::path bash = share / "bash-completion" / "completions" / "morvex-cli";
    const std::string bashScript = readFile(bash);
    const std::string zshScript = readFile(share / "zsh" / "site-functions" / "_morvex-cli");
    const std::string wholeMan = readFile(share / "man" / "man1" / "morvex-cli.1");

    const CliRun cli(dir / "config", "");
    for (const char* command : {"info", "convert", "render", "formats", "settings", "components"}) {
        std::string help;
        ASSERT_EQ(cli(std::string(command) + " --help", &help), 0);
        const std::set<std::string> options = helpOptions(help);
        EXPECT_GE(options.size(), 2u) << help;
        const std::string page = readFile(share / "man" / "man1" / ("morvex-cli-" + std::string(command) + ".1"));
        for (const std::string& option : options) {
            std::string inTroff; // every minus sign escaped
            for (const char c : option)
                inTroff += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_TRUE(contains(page, inTroff)) << option << " in the " << command << " page";
            EXPECT_TRUE(contains(wholeMan, inTroff)) << option;
            EXPECT_TRUE(contains(zshScript, "'" + option + "[") || contains(zshScript, "," + option + "}'")) << option;
        }
        // The bash completion offers exactly the options --help lists.
        std::set<std::string> offered;
        const std::string completes = bashCompletes(bash, dir.path(), std::string("morvex-cli ") + command + " --");
        for (std::size_t start = 0, end; (end = completes.find('\n', start)) != std::string::npos; start = end + 1)
            offered.insert(completes.substr(start, end - start));
        EXPECT_EQ(offered, options) << command;
    }
    if (runCommand("command -v groff >/dev/null") == 0) {
        std::string warnings;
        EXPECT_EQ(runCommand("groff -man -Tutf8 -ww -z " +
                                 shellQuote((share / "man" / "man1" / "morvex-cli.1").string()) + " 2>&1",
                             &warnings),
                  0);
        EXPECT_EQ(warnings, "");
    }
    if (runCommand("command -v zsh >/dev/null") == 0) {
        EXPECT_EQ(runCommand("zsh -n " + shellQuote((share / "zsh" / "site-functions" / "_morvex-cli").string())), 0);
    }

    // Files: folders and files of extensions read, in any case; values: the
    // --to names and the --on-exists actions.
    std::filesystem::create_directories(dir / "work" / "scans");
    for (const char* name : {"a.stl", "B.OBJ", "c.ply", "notes.txt", "photo.jpg"})
        writeFile(dir / "work" / name, "x");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert ''"), "B.OBJ\na.stl\nc.ply\nscans\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli info -- ''"), "B.OBJ\na.stl\nc.ply\nscans\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert a.stl --to ''"),
              "3dp\n3ds\n3mf\nobj\nply\nstl\nstl-ascii\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert a.stl -t s"), "stl\nstl-ascii\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert a.stl --on-exists r"), "rename\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert a.stl -o ''"), "scans\n");
    // A list is any file: its name says nothing of its format.
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli convert --from-list ''"),
              "B.OBJ\na.stl\nc.ply\nnotes.txt\nphoto.jpg\nscans\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli con"), "convert\n");
    EXPECT_EQ(bashCompletes(bash, dir / "work", "morvex-cli settings --reset o"),
              "output-folder\noutput-format\noverwrite\n");
    // Every format this build reads, those of the helper included.
    EXPECT_TRUE(contains(bashScript, "sdf") && contains(bashScript, "fbx")) << bashScript;
}

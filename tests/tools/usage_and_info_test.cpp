#include "common/cli_run.h"
#include "common/test_support.h"
#include "formats/format_table.h"

#include <gtest/gtest.h>

using namespace morvex::testing;

TEST(CliUsage, UsageErrorsExitWithTwo)
{
    TempDir dir;
    const CliRun cli(dir / "config", "");
    struct Case {
        const char* arguments;
        const char* message;
    };
    const Case cases[] = {
        {"", "no command given"},
        {"frobnicate", "unknown command"},
        {"info", "at least one file"},
        {"info --bogus x.stl", "unknown option --bogus"},
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

TEST(InfoCommand, MissingFileFailsWithReason)
{
    TempDir dir;
    const CliRun cli(dir / "config", "info");
    std::string output;
    EXPECT_EQ(cli("--json " + shellQuote((dir / "missing.stl").string()), &output), 1);
    EXPECT_NE(output.find("\"result\":\"failed\""), std::string::npos) << output;
    EXPECT_NE(output.find("No such file"), std::string::npos) << output;
}

TEST(InfoCommand, DescribesTheExampleAndItsConversion)
{
    TempDir dir;
    const CliRun convert(dir / "config", "convert");
    const CliRun info(dir / "config", "info");
    const std::string example = shellQuote((sourceDir() / "examples" / "bracket.stl").string());
    std::string output;
    ASSERT_EQ(convert(example + " --to stl --output " + shellQuote(dir.path().string()), &output), 0) << output;
    EXPECT_NE(output.find("Success"), std::string::npos) << output;

    output.clear();
    ASSERT_EQ(info("--json " + example + " " + shellQuote((dir / "bracket.stl").string()), &output), 0);
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

TEST(FormatsCommand, ListsTheTableAndOnlyWritersAreAcceptedByTo)
{
    TempDir dir;
    const CliRun formats(dir / "config", "formats");
    const CliRun convert(dir / "config", "convert");
    writeFile(dir / "a.stl", "solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
                             "endloop\nendfacet\nendsolid a\n");
    std::string text;
    ASSERT_EQ(formats("", &text), 0);
    EXPECT_NE(text.find("stl      .stl      yes, own reader"), std::string::npos) << text;
    EXPECT_NE(text.find("stl, stl-ascii"), std::string::npos) << text;
    // The build registers the helper it built, so its formats are readable.
    EXPECT_NE(text.find("fbx      .fbx      through the helper  "), std::string::npos) << text;
    EXPECT_NE(text.find("Formats read through the helper"), std::string::npos) << "points to the README: " << text;

    std::string json;
    ASSERT_EQ(formats("--json", &json), 0);
    std::size_t lines = 0, writable = 0;
    for (std::size_t start = 0, end; (end = json.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = json.substr(start, end - start);
        ++lines;
        const std::size_t nameAt = line.find("\"format\":\"") + 10;
        const std::string name = line.substr(nameAt, line.find('"', nameAt) - nameAt);
        const bool writes = line.find("\"write\":[]") == std::string::npos;
        writable += writes;
        // --to takes exactly the formats listed as written.
        std::string output;
        EXPECT_EQ(convert(shellQuote((dir / "a.stl").string()) + " --dry-run --to " + name + " -o " +
                              shellQuote((dir / "out").string() + "/"),
                          &output),
                  writes ? 0 : 2)
            << line << "\n"
            << output;
        if (line.find("\"route\":\"helper\"") != std::string::npos) {
            EXPECT_NE(line.find("\"helperInstalled\":true"), std::string::npos) << line;
        }
    }
    std::size_t readableRows = 0;
    for (const morvex::FileFormat& format : morvex::fileFormats())
        readableRows += format.readable();
    EXPECT_EQ(lines, readableRows);
    EXPECT_EQ(writable, 6u) << "3dp, 3ds, 3mf, obj, ply, stl (with stl-ascii): " << json;
}

TEST(InfoCommand, SaysWhatAFileIsWhenItIsNoModel)
{
    TempDir dir;
    const CliRun info(dir / "config", "info");
    writeFile(dir / "notes.txt", "plain text");
    writeFile(dir / "scene.fbx", "Kaydara FBX Binary");
    writeFile(dir / "odd.xyz", "1 2 3");
    std::filesystem::create_directory(dir / "folder.stl");
    struct Case {
        const char* file;
        const char* message;
    };
    const Case cases[] = {
        {"notes.txt", "not a model file"},
        {"folder.stl", "is a folder"},
        {"odd.xyz", "no format has the extension '.xyz'"},
        {"scene.fbx", "the external converter could not read the file (exit code 3): FBX"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(info("-- " + shellQuote((dir / c.file).string()), &output), 1) << c.file;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.file << " printed: " << output;
        EXPECT_EQ(output.find("profile kind"), std::string::npos) << output;
    }
    std::string output;
    EXPECT_EQ(info(shellQuote((sourceDir() / "examples" / "bracket.stl").string()), &output), 0);
    EXPECT_NE(output.find("format ASCII STL, 1 object(s)"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(info("--help", &output), 0);
    EXPECT_NE(output.find("usage: morvex-cli info"), std::string::npos) << output;
}

TEST(CliUsage, ConventionsOfTheCommandLine)
{
    TempDir dir;
    const CliRun cli(dir / "config", "");
    writeFile(dir / "-odd.stl", "solid a\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
                                "endloop\nendfacet\nendsolid a\n");
    const std::string out = shellQuote((dir / "out").string() + "/");
    std::string output;
    // Short options run together or with their values attached, and -- before
    // a name that starts with "-".
    ASSERT_EQ(cli("convert -qj2 -tobj -o " + out + " -- " + shellQuote((dir / "-odd.stl").string()), &output), 0)
        << output;
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "-odd.obj"));
    EXPECT_EQ(output, "") << "quiet";
    output.clear();
    ASSERT_EQ(cli("convert -nt3mf -o " + out + " -- " + shellQuote((dir / "-odd.stl").string()), &output), 0);
    EXPECT_NE(output.find("-odd.3mf"), std::string::npos) << "a dry run: " << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "-odd.3mf"));

    struct Case {
        const char* arguments;
        const char* message;
    };
    const Case misspelt[] = {
        {"conver x.stl", "unknown command 'conver' (did you mean 'convert'?)"},
        {"fromats", "(did you mean 'formats'?)"},
        {"convert x.stl --on-exist skip", "unknown option --on-exist (did you mean '--on-exists'?)"},
        {"convert x.stl --to pyl", "(did you mean 'ply'?)"},
        {"convert x.stl --to STL-ASCI", "(did you mean 'stl-ascii'?)"},
        {"convert - --from stk -o -", "unknown input format 'stk' (did you mean 'stl'?)"},
        {"convert x.stl -nx", "unknown option -x"},
        {"convert x.stl -j", "--jobs needs a value"},
        {"info --jsno x.stl", "(did you mean '--json'?)"},
        {"help frobnicate", "unknown command 'frobnicate'\n"},
    };
    for (const Case& c : misspelt) {
        output.clear();
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.arguments << " printed: " << output;
    }

    std::string version, shortVersion, word;
    EXPECT_EQ(cli("--version", &version), 0);
    EXPECT_EQ(cli("-V", &shortVersion), 0);
    EXPECT_EQ(cli("version", &word), 0);
    EXPECT_TRUE(version.starts_with("morvex-cli ")) << version;
    EXPECT_EQ(shortVersion, version);
    EXPECT_EQ(word, version);
    for (const char* command : {"convert", "info", "formats", "components"}) {
        std::string help, helpCommand;
        EXPECT_EQ(cli(std::string(command) + " --help", &help), 0) << command;
        EXPECT_EQ(cli(std::string("help ") + command, &helpCommand), 0) << command;
        EXPECT_EQ(help, helpCommand) << command;
        EXPECT_NE(help.find(std::string("usage: morvex-cli ") + command), std::string::npos) << help;
    }
}

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace morvex::testing;

TEST(ConvertCommand, FoldersAreWalkedAndEveryFileReported)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::filesystem::path in = dir / "in";
    std::filesystem::create_directories(in / "sub");
    std::filesystem::create_directories(in / ".hidden");
    writeBinaryStl(in / "a.stl", 20);
    writeBinaryStl(in / "b.STL", 30);
    writeBinaryStl(in / "sub" / "c.stl", 40);
    writeBinaryStl(in / ".hidden" / "d.stl", 10);
    writeFile(in / "clip.mp3", "ID3");
    writeFile(in / "scene.xsi", "xsi");
    std::filesystem::create_directory_symlink("..", in / "sub" / "loop");

    std::string output;
    EXPECT_EQ(cli(shellQuote(in.string()) + " --to stl --output " + shellQuote((dir / "out").string()), &output), 0)
        << output;
    EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"a.stl", "b.stl", "c.stl"}));
    for (const char* name : {"a.stl", "b.stl", "c.stl"})
        EXPECT_TRUE(isCompleteBinaryStl(dir / "out" / name)) << name;
    EXPECT_TRUE(contains(output, "skipped 1 file that is not a model: 1 audio file\n")) << output;
    EXPECT_TRUE(contains(output, "skipped 1 file of formats that may not be supported (.xsi; ")) << output;
    EXPECT_TRUE(contains(output, "a.stl: Success -> ")) << output;
    EXPECT_TRUE(contains(output, "3 files: 3 converted, 0 skipped, 0 failed, 0 cancelled in ")) << output;

    output.clear();
    EXPECT_EQ(cli(shellQuote((in / "clip.mp3").string()) + " --to stl", &output), 2);
    EXPECT_TRUE(contains(output, "None of the selected files could be converted using Morvex")) << output;
}

TEST(ConvertCommand, EachFileGetsItsStatusLine)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::string triangle = "solid same\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                                 "vertex 0 1 0\nendloop\nendfacet\nendsolid same\n";
    writeFile(dir / "same.stl", triangle);
    std::string output;
    EXPECT_EQ(cli(shellQuote((dir / "absent.stl").string()) + " " + shellQuote((dir / "same.stl").string()) +
                      " --to stl --remove-duplicates --rotate 0,90,0 --on-exists overwrite",
                  &output),
              1)
        << "a path that names nothing is an error";
    EXPECT_TRUE(contains(output, "absent.stl': No such file or directory")) << output;
    // Converting a file onto itself would replace the source: it is never
    // overwritten, the output gets a numbered name.
    EXPECT_TRUE(contains(output, "same.stl: Converted and renamed -> ")) << output;
    EXPECT_EQ(readFile(dir / "same.stl"), triangle);
    EXPECT_TRUE(std::filesystem::exists(dir / "same-1.stl"));

    output.clear();
    EXPECT_EQ(cli(shellQuote((dir / "absent.stl").string()) + " --to stl", &output), 2);
    EXPECT_TRUE(contains(output, "No such file")) << output;
    EXPECT_TRUE(contains(output, "None of the selected files could be converted")) << output;

    writeFile(dir / "broken.stl", "solid broken\nfacet normal 0 0 1\n");
    output.clear();
    EXPECT_EQ(
        cli(shellQuote((dir / "broken.stl").string()) + " --to stl --output " + shellQuote((dir / "out").string()),
            &output),
        1);
    EXPECT_TRUE(contains(output, "broken.stl: Read failed")) << output;
}

// Nothing to convert is a failure with its reason, and so are points that a
// format of triangles cannot hold; nothing is written for either.
TEST(ConvertCommand, EmptySourcesAndPointsWithoutFacesFailWithTheirReasons)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeFile(dir / "empty.obj", "");
    writeFile(dir / "cloud.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                 "property float z\nend_header\n0 0 0\n1 0 0\n0 1 0\n");
    const std::string out = " --output " + shellQuote((dir / "out").string()) + " --create-folder";
    std::string output;
    EXPECT_EQ(cli(shellQuote((dir / "empty.obj").string()) + " --to ply" + out, &output), 1) << output;
    EXPECT_TRUE(contains(output, "empty.obj: Read failed: the file holds no model\n")) << output;
    output.clear();
    EXPECT_EQ(cli(shellQuote((dir / "cloud.ply").string()) + " --to stl" + out, &output), 1) << output;
    EXPECT_TRUE(contains(output, "cloud.ply: Save failed: the model has no faces\n")) << output;
    EXPECT_TRUE(namesIn(dir / "out").empty());
    output.clear();
    EXPECT_EQ(cli(shellQuote((dir / "cloud.ply").string()) + " --to ply" + out, &output), 0) << output;
    EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"cloud.ply"}));
}

TEST(ConvertCommand, NameClashesFollowThePolicy)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    std::filesystem::create_directories(dir / "x");
    std::filesystem::create_directories(dir / "y");
    writeBinaryStl(dir / "x" / "a.stl", 10, 1.0f);
    writeBinaryStl(dir / "y" / "a.stl", 11, 2.0f);
    const std::string sources =
        shellQuote((dir / "x" / "a.stl").string()) + " " + shellQuote((dir / "y" / "a.stl").string());
    const std::string out = " --to stl --output " + shellQuote((dir / "out").string());

    std::string output;
    ASSERT_EQ(cli(sources + out, &output), 0) << output;
    EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"a.stl", "a-1.stl"})) << "two sources, one name";
    EXPECT_NE(readFile(dir / "out" / "a.stl"), readFile(dir / "out" / "a-1.stl"));
    const std::string before = readFile(dir / "out" / "a.stl");

    output.clear();
    EXPECT_EQ(cli(sources + out, &output), 2) << "the stored policy asks; nobody can answer";
    EXPECT_TRUE(contains(output, "already exists. What would you like to do?")) << output;
    EXPECT_TRUE(contains(output, "--on-exists")) << output;
    EXPECT_EQ(namesIn(dir / "out").size(), 2u) << "nothing converted";

    // The second source always gets a numbered name of this run (its first
    // choice was taken by the first source); only the first meets the
    // existing a.stl and the policy.
    const auto count = [&] { return namesIn(dir / "out").size(); };
    output.clear();
    EXPECT_EQ(cli(sources + out + " --on-exists skip", &output), 0) << output;
    EXPECT_TRUE(contains(output, "Skipped")) << output;
    EXPECT_EQ(count(), 3u);
    EXPECT_EQ(readFile(dir / "out" / "a.stl"), before);
    output.clear();
    EXPECT_EQ(cli(sources + out + " --on-exists stop --jobs 1", &output), 1) << output;
    EXPECT_TRUE(contains(output, "Cancelled")) << output;
    EXPECT_EQ(count(), 3u) << "stopped at the first file, the second never ran";
    output.clear();
    EXPECT_EQ(cli(sources + out + " --on-exists rename --name-template '%number%_%filename%'", &output), 0) << output;
    EXPECT_TRUE(contains(output, "Converted and renamed")) << output;
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "1_a.stl"));
    EXPECT_EQ(count(), 5u);
    output.clear();
    EXPECT_EQ(cli(sources + out + " --on-exists overwrite", &output), 0) << output;
    EXPECT_TRUE(contains(output, "Replaced")) << output;
    EXPECT_EQ(readFile(dir / "out" / "a.stl"), before) << "the same source written again";
    EXPECT_EQ(count(), 6u);

    output.clear();
    EXPECT_EQ(cli(sources + out + " --dry-run --on-exists rename", &output), 0) << output;
    EXPECT_TRUE(contains(output, "(exists: would write ")) << output;
    EXPECT_EQ(count(), 6u) << "a dry run writes nothing";
}

TEST(ConvertCommand, JsonStoredDefaultsAndEffects)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "part.stl", 12);
    // Stored output format 5 (STL), stored folder, stored effects with a
    // scale of 2, and a damaged line.
    cli.writeSettings("[Output Format]\nPDLIndex=5\n[Output Folder]\nCBString=" + (dir / "stored").string() +
                      "\n\x01\xff garbage\n[Effects]\nApplyCustomTransform=1\nCustomScaleX=2.00000000\n"
                      "CustomScaleY=2.00000000\nCustomScaleZ=2.00000000\n");
    std::string json;
    ASSERT_EQ(cli(shellQuote((dir / "part.stl").string()) + " --json --stored-effects", &json, true), 0) << json;
    EXPECT_TRUE(isCompleteBinaryStl(dir / "stored" / "part.stl")) << "created with the stored answer (default yes)";
    EXPECT_TRUE(contains(json, "\"statusText\":\"Success\"")) << json;
    EXPECT_TRUE(contains(json, "\"status\":3")) << json;
    EXPECT_TRUE(contains(json, "\"seconds\":")) << json;
    EXPECT_TRUE(contains(json, "{\"summary\":{\"files\":1,\"converted\":1")) << json;

    std::string info;
    ASSERT_EQ(runCommand(shellQuote(cliPath().string()) + " info --json " +
                             shellQuote((dir / "stored" / "part.stl").string()),
                         &info),
              0);
    EXPECT_TRUE(contains(info, "\"bbox\":[0,0,0,2,2,")) << "scaled by the stored effects: " << info;

    // A stored "no" to the create-folder question without a terminal.
    cli.writeSettings("[Options]\nCreateFolderDecision=0\n");
    std::string output;
    EXPECT_EQ(cli(shellQuote((dir / "part.stl").string()) + " --to stl --output " + shellQuote((dir / "new").string()),
                  &output),
              2);
    EXPECT_TRUE(contains(output, "--create-folder")) << output;
    EXPECT_EQ(cli(shellQuote((dir / "part.stl").string()) + " --to stl --create-folder --output " +
                      shellQuote((dir / "new" / "deeper").string()),
                  &output),
              0)
        << output;
    EXPECT_TRUE(isCompleteBinaryStl(dir / "new" / "deeper" / "part.stl"));
}

TEST(ConvertCommand, UsageAndValidationErrors)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 3);
    const std::string a = shellQuote((dir / "a.stl").string());
    struct Case {
        std::string arguments;
        const char* message;
    };
    const Case cases[] = {
        {a + " --name-template '%filename%'", "Format must contain both %filename% and %number%."},
        {a + " --name-template '%filename%/%number%'", "/ is an invalid character"},
        {a + " --jobs 0", "--jobs takes a number"},
        {a + " --threads 2x", "--threads takes a number"},
        {a + " --scale 1e3", "--scale needs three numbers X,Y,Z (or one factor)"},
        {a + " --translate 1,2", "--translate needs three numbers X,Y,Z"},
        {a + " --stored-effects --rotate 0,0,90", "cannot be combined"},
        {a + " --on-exists maybe", "--on-exists takes"},
        {a + " --frobnicate", "unknown option --frobnicate"},
        {a + " --remove-duplicate", "unknown option --remove-duplicate"},
        {a + " --rotate 1,2,3,4", "--rotate needs three numbers"},
        {a + " --scale 1,2,x", "--scale needs three numbers"},
        {a + " --scale 2e7,1,1", "between -1000000 and 1000000"},
        {a + " --scale nan,1,1", "--scale needs three numbers"},
        {a + " --scale", "--scale needs a value"},
        {a + " --to gif", "unknown output format 'gif' (3dp, 3ds, 3mf, obj, ply, stl, stl-ascii)"},
        {a + " --to", "--to needs a value"},
        {"", "at least one file or folder"},
        {shellQuote((dir / "missing.stl").string()), "None of the selected files"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_TRUE(contains(output, c.message)) << c.arguments << " printed: " << output;
    }
    std::string help;
    EXPECT_EQ(cli("--help", &help), 0);
    for (const char* option : {"--to", "--output", "--create-folder", "--on-exists", "--name-template",
                               "--remove-duplicates", "--recalculate-normals", "--translate", "--rotate", "--scale",
                               "--stored-effects", "--jobs", "--threads", "--dry-run", "--quiet", "--json"})
        EXPECT_TRUE(contains(help, option)) << option;
}

TEST(ConvertCommand, OddPathCharacters)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::string names[] = {"with space.stl", "quo\"te's.stl", "new\nline.stl", std::string("byte\xff.stl")};
    std::filesystem::create_directory(dir / "src");
    for (const std::string& name : names)
        writeBinaryStl(dir / "src" / name, 5);
    std::string output;
    ASSERT_EQ(cli(shellQuote((dir / "src").string()) + " --to stl --output " + shellQuote((dir / "out").string()),
                  &output),
              0)
        << output;
    for (const std::string& name : names)
        EXPECT_TRUE(isCompleteBinaryStl(dir / "out" / name)) << name;
    EXPECT_TRUE(contains(output, "new\\nline.stl: Success")) << "one file, one line: " << output;
    EXPECT_TRUE(contains(output, "byte\\xff.stl: Success")) << output;

    // JSON gives back the very bytes of a name that is not UTF-8, as
    // Python's surrogateescape reads them.
    ASSERT_EQ(cli(shellQuote((dir / "src").string()) + " --to stl --on-exists overwrite --json --output " +
                      shellQuote((dir / "out").string()),
                  &output),
              0)
        << output;
    EXPECT_TRUE(contains(output, "/src/byte\\udcff.stl\",\"output\":")) << output;
    EXPECT_TRUE(contains(output, "/out/byte\\udcff.stl\"")) << output;
}

TEST(ConvertCommand, ReadOnlyOutputFolder)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 5);
    std::filesystem::create_directory(dir / "locked");
    ::chmod((dir / "locked").c_str(), 0500);
    std::string output;
    EXPECT_EQ(cli(shellQuote((dir / "a.stl").string()) + " --to stl --output " + shellQuote((dir / "locked").string()),
                  &output),
              1);
    ::chmod((dir / "locked").c_str(), 0700);
    EXPECT_TRUE(contains(output, "Save failed")) << output;
    EXPECT_TRUE(namesIn(dir / "locked").empty());
}

TEST(ConvertCommand, TerminalQuestionsAndRememberedAnswers)
{
    if (runCommand("command -v script >/dev/null") != 0)
        GTEST_SKIP() << "script(1) is needed for a terminal";
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 5);
    writeBinaryStl(dir / "b.stl", 6);
    const std::string files = shellQuote((dir / "a.stl").string()) + " " + shellQuote((dir / "b.stl").string()) +
                              " --to stl --output " + shellQuote((dir / "out").string());
    ASSERT_EQ(cli(files), 0);
    // Both outputs exist now. On a terminal the question is asked; "x" is
    // not an answer, "r!" renames and remembers.
    const std::string onTerminal = "script -qec " + shellQuote(cli.commandLine(files)) + " /dev/null";
    std::string output;
    EXPECT_EQ(runCommand("printf 'x\\nr!\\n' | " + onTerminal + " 2>&1", &output), 0) << output;
    EXPECT_TRUE(contains(output, "already exists. What would you like to do?")) << output;
    EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"a.stl", "b.stl", "a-1.stl", "b-1.stl"}))
        << "the answer was remembered for the second file";
    EXPECT_TRUE(contains(readFile(cli.settingsFile()), "Enumerate=1"));

    output.clear();
    EXPECT_EQ(runCommand(onTerminal + " </dev/null 2>&1", &output), 0) << output;
    EXPECT_FALSE(contains(output, "What would you like to do?")) << "no question any more: " << output;
    EXPECT_EQ(namesIn(dir / "out").size(), 6u);
}

TEST(ConvertCommand, InterruptCancelsAndLeavesOnlyCompleteOutputs)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    std::filesystem::create_directory(dir / "in");
    constexpr int Files = 20;
    for (int i = 0; i < Files; ++i)
        writeBinaryStl(dir / "in" / ("m" + std::to_string(i) + ".stl"), 150000, static_cast<float>(i));
    // Interrupted once the first file is done, while others are running;
    // once with text lines and once with JSON.
    for (const std::string mode : {"text", "json"}) {
        const std::filesystem::path outFolder = dir / ("out-" + mode);
        const std::string out = shellQuote(outFolder.string());
        const std::string json = mode == "json" ? " --json" : "";
        const std::string command =
            cli.commandLine(shellQuote((dir / "in").string()) + " --to stl --jobs 2 --output " + out + json) +
            " </dev/null >" + shellQuote((dir / "stdout").string()) + " 2>" + shellQuote((dir / "log").string()) +
            " & pid=$!; until ls " + out +
            "/*.stl >/dev/null 2>&1 || ! kill -0 $pid 2>/dev/null; do sleep 0.02; "
            "done; kill -INT $pid; wait $pid; echo $?";
        std::string status;
        ASSERT_EQ(runCommand("bash -c " + shellQuote(command), &status), 0);
        EXPECT_EQ(status, "130\n");
        const std::string log = readFile(dir / "log");
        const std::string data = readFile(dir / "stdout");
        EXPECT_TRUE(contains(log, " cancelled (interrupted) in ")) << log;
        if (mode == "text") {
            // The files running when Ctrl-C came end "Cancelled"; those never
            // started are counted by the summary line only.
            EXPECT_LE(countOf(log, ".stl: Cancelled"), 2u) << log;
        } else {
            EXPECT_EQ(countOf(data, "\"index\":"), static_cast<std::size_t>(Files)) << data;
            EXPECT_TRUE(contains(data, "\"exitStatus\":130")) << data;
        }
        std::size_t complete = 0;
        for (const std::string& name : namesIn(outFolder)) {
            EXPECT_NE(name.front(), '.') << "temporary file left: " << name;
            EXPECT_TRUE(isCompleteBinaryStl(outFolder / name)) << "partial output: " << name;
            ++complete;
        }
        EXPECT_LT(complete, static_cast<std::size_t>(Files)) << "the run was interrupted before the end";
    }
}

TEST(ConvertCommand, OutputNamesOneFileOrAFolder)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 5);
    writeBinaryStl(dir / "b.stl", 6);
    std::filesystem::create_directory(dir / "existing");
    const std::string a = shellQuote((dir / "a.stl").string());
    const auto to = [&](std::string_view name) { return " -o " + shellQuote((dir / name).string()); };

    std::string output;
    ASSERT_EQ(cli(a + to("made/b.obj"), &output), 0) << output;
    EXPECT_TRUE(contains(output, "a.stl: Success -> " + (dir / "made" / "b.obj").string())) << output;
    EXPECT_EQ(namesIn(dir / "made"), (std::set<std::string>{"b.obj"})) << "exactly the file named";
    std::string info;
    EXPECT_EQ(
        runCommand(shellQuote(cliPath().string()) + " info --json " + shellQuote((dir / "made" / "b.obj").string()),
                   &info),
        0);
    EXPECT_TRUE(contains(info, "\"triangles\":5")) << info;

    ASSERT_EQ(cli(a + to("ascii.stl") + " --to stl-ascii", &output), 0) << output;
    EXPECT_TRUE(readFile(dir / "ascii.stl").starts_with("solid")) << "--to picks among the writers of .stl";
    ASSERT_EQ(cli(a + to("existing") + " --to stl", &output), 0) << output;
    EXPECT_TRUE(isCompleteBinaryStl(dir / "existing" / "a.stl")) << "an existing folder stays a folder";
    ASSERT_EQ(cli(a + to("newfolder.ply/") + " --to stl", &output), 0) << output;
    EXPECT_TRUE(isCompleteBinaryStl(dir / "newfolder.ply" / "a.stl")) << "a trailing / names a folder";
    output.clear();
    ASSERT_EQ(cli(a + to("planned.ply") + " --dry-run", &output), 0) << output;
    EXPECT_TRUE(contains(output, " -> " + (dir / "planned.ply").string())) << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "planned.ply"));

    struct Case {
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {a + " " + shellQuote((dir / "b.stl").string()) + to("two.obj"),
         "names a model file, but there are several inputs"},
        {shellQuote((dir / "existing").string()) + to("walked.obj"), "several inputs"},
        {a + to("c.xyz"), "cannot write .xyz files"},
        {a + to("c.xyz"), "known extensions: .3dp, .3ds, .3mf, .obj, .ply, .stl"},
        {a + to("c.stl") + " --to ply", "--to ply writes .ply files, not"},
    };
    for (const Case& c : cases) {
        output.clear();
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_TRUE(contains(output, c.message)) << c.arguments << " printed: " << output;
    }
    for (const char* never : {"two.obj", "walked.obj", "c.xyz", "c.stl"})
        EXPECT_FALSE(std::filesystem::exists(dir / never)) << never;
}

TEST(ConvertCommand, StandardInputAndOutputForOneFileFormats)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    writeBinaryStl(dir / "a.stl", 7);
    std::filesystem::create_directory(dir / "tmp");
    const std::string a = shellQuote((dir / "a.stl").string());
    const std::string tmp = "TMPDIR=" + shellQuote((dir / "tmp").string()) + " ";

    // STL in, through PLY on a pipe, back to STL: the same model as a direct
    // conversion of the file.
    ASSERT_EQ(cli(a + " -o " + shellQuote((dir / "direct.stl").string())), 0);
    std::string output;
    const std::string piped = tmp + cli.commandLine("- --from stl -o - --to ply") + " <" + a + " 2>/dev/null | " + tmp +
                              cli.commandLine("- --from ply -o " + shellQuote((dir / "piped.stl").string())) + " 2>&1";
    ASSERT_EQ(runCommand(piped, &output), 0) << output;
    EXPECT_TRUE(contains(output, "-: Success -> " + (dir / "piped.stl").string())) << output;
    EXPECT_EQ(readFile(dir / "piped.stl").substr(80), readFile(dir / "direct.stl").substr(80));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp")) << "temporary copies are removed";

    output.clear();
    EXPECT_EQ(runCommand("echo 'solid x' | " + tmp + cli.commandLine("- --from stl -o - --to stl") + " 2>/dev/null",
                         &output),
              1)
        << "a damaged model on standard input";
    EXPECT_EQ(output, "") << "nothing but the model ever goes to standard output";

    struct Case {
        std::string arguments;
        const char* message;
    };
    const Case cases[] = {
        {"- -o " + shellQuote((dir / "x.stl").string()), "reading standard input needs its format: --from"},
        {"- --from obj -o -", "only for the formats that are one file: 3dp, 3ds, 3mf, mqo, ply, stl"},
        {"- --from stl --to stl -o " + shellQuote((dir / "out").string() + "/"), "needs an output file"},
        {a + " - --from stl -o -", "must be the only input"},
        {a + " --from stl -o -", "--from names the format of standard input"},
        {a + " -o - --to obj", "only for the formats that are one file: 3dp, 3ds, 3mf, ply, stl, stl-ascii"},
        {a + " -o -", "needs the format: --to"},
        {a + " -o - --to stl --json", "cannot be combined with --json"},
        {shellQuote(dir.path().string()) + " -o - --to stl", "takes one input file"},
    };
    for (const Case& c : cases) {
        output.clear();
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_TRUE(contains(output, c.message)) << c.arguments << " printed: " << output;
    }
}

TEST(ConvertCommand, MessagesNameTheCause)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::filesystem::path walk = dir / "walk";
    std::filesystem::create_directories(walk / "tex");
    writeBinaryStl(walk / "a.stl", 4);
    writeFile(walk / "part.obj", "mtllib part.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl wood\nf 1 2 3\n");
    writeFile(walk / "part.mtl", "newmtl wood\nKd 1 1 1\nmap_Kd tex/wood.png\n");
    for (const char* other : {"tex/wood.png", "photo.jpg", "scan.png", "old.zip", "notes.txt", "scene.xsi"})
        writeFile(walk / other, "x");
    writeFile(dir / "plain.txt", "not a model");

    std::string output;
    ASSERT_EQ(cli(shellQuote(walk.string()) + " --to stl -o " + shellQuote((dir / "out").string() + "/"), &output), 0)
        << output;
    // One line per kind; the OBJ's material library and texture are expected
    // beside it and never mentioned.
    EXPECT_TRUE(contains(output, "skipped 4 files that are not models: 2 images, 1 archive, 1 text\n")) << output;
    EXPECT_TRUE(contains(output, "skipped 1 file of formats that may not be supported (.xsi; ")) << output;
    EXPECT_FALSE(contains(output, "wood.png")) << output;
    EXPECT_FALSE(contains(output, "part.mtl")) << output;
    EXPECT_FALSE(contains(output, "photo.jpg")) << "named only with --verbose: " << output;
    output.clear();
    ASSERT_EQ(cli(shellQuote(walk.string()) + " --to stl --verbose --on-exists overwrite -o " +
                      shellQuote((dir / "out").string() + "/"),
                  &output),
              0);
    EXPECT_TRUE(contains(output, "skipped (image): " + (walk / "photo.jpg").string() + "\n")) << output;
    std::string json;
    ASSERT_EQ(cli(shellQuote(walk.string()) + " --to stl --json --on-exists overwrite -o " +
                      shellQuote((dir / "out").string() + "/"),
                  &json, true),
              0);
    EXPECT_TRUE(contains(json, "{\"skipped\":\"" + (walk / "old.zip").string() + "\",\"kind\":\"archive\"")) << json;
    EXPECT_EQ(countOf(json, "{\"skipped\":"), 5u) << json;

    const std::string plain = shellQuote((dir / "plain.txt").string());
    const std::string a = shellQuote((walk / "a.stl").string());
    struct Case {
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {a + " " + a + " --to stl -o " + plain,
         "the output folder '" + (dir / "plain.txt").string() + "' is a file, not a folder"},
        {a + " --to stl -o " + shellQuote((dir / "plain.txt" / "sub").string() + "/"),
         "Folder creation failed. (" + (dir / "plain.txt" / "sub").string() + "/: Not a directory)"},
    };
    for (const Case& c : cases) {
        output.clear();
        EXPECT_EQ(cli(c.arguments, &output), 2) << c.arguments;
        EXPECT_TRUE(contains(output, c.message)) << c.arguments << " printed: " << output;
    }
}

TEST(ConvertCommand, ProgressLineOnATerminalAndStepsWithVerbose)
{
    if (runCommand("command -v script >/dev/null") != 0)
        GTEST_SKIP() << "script(1) is needed for a terminal";
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    std::filesystem::create_directory(dir / "in");
    for (int i = 0; i < 6; ++i)
        writeBinaryStl(dir / "in" / ("m" + std::to_string(i) + ".stl"), 150000, static_cast<float>(i));
    const auto onTerminal = [&](const std::string& term, const std::string& extra) {
        const std::string command =
            cli.commandLine(shellQuote((dir / "in").string()) + " --to stl --jobs 1 --create-folder -o " +
                            shellQuote((dir / ("out-" + term)).string() + "/") + extra);
        std::string output;
        EXPECT_EQ(runCommand("TERM=" + term + " script -qec " + shellQuote(command) + " /dev/null </dev/null 2>&1",
                             &output),
                  0)
            << output;
        return output;
    };
    const std::string drawn = onTerminal("xterm", "");
    EXPECT_TRUE(contains(drawn, "\r\033[K")) << "redrawn in place";
    EXPECT_TRUE(contains(drawn, " files  m")) << "names the file being converted: " << drawn;
    EXPECT_TRUE(contains(drawn, "6 files: 6 converted, 0 skipped, 0 failed, 0 cancelled in ")) << drawn;

    const std::string dumb = onTerminal("dumb", " --verbose");
    EXPECT_FALSE(contains(dumb, "\033")) << "no escape sequences on a dumb terminal: " << dumb;
    EXPECT_TRUE(contains(dumb, "\r")) << "the line is still redrawn: " << dumb;
    // Every step of every file, with the time since the file started.
    EXPECT_EQ(countOf(dumb, ": Generating Object Indices ("), 6u) << dumb;
    EXPECT_TRUE(contains(dumb, "  m0.stl: Loading as Binary: ")) << dumb;

    std::string piped;
    EXPECT_EQ(cli(shellQuote((dir / "in").string()) + " --to stl --on-exists overwrite -o " +
                      shellQuote((dir / "out-dumb").string()),
                  &piped),
              0);
    EXPECT_FALSE(contains(piped, "\r")) << "no progress line without a terminal: " << piped;
}

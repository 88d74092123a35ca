// One batch split over many runs: lists, shards, reruns after a failure,
// and the recipes of docs/scale-out run here on one machine.

#include "common/cli_run.h"
#include "common/test_support.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <unistd.h>
#include <vector>

using namespace morvex::testing;
using namespace std::string_literals;

namespace {

// The JSON string field `name` of one line, unescaped; nothing when absent.
std::optional<std::string> jsonField(std::string_view line, std::string_view name)
{
    const std::string marker = "\"" + std::string(name) + "\":\"";
    std::size_t at = line.find(marker);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string value;
    for (at += marker.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            value += line[at];
            continue;
        }
        const char escaped = line[++at];
        value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
    }
    return value;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The sources of every file line of a run's --json output, by status text.
std::multimap<std::string, std::string> sourcesByStatus(const std::string& json)
{
    std::multimap<std::string, std::string> sources;
    for (const std::string& line : linesOf(json))
        if (const std::optional<std::string> source = jsonField(line, "source"))
            sources.emplace(jsonField(line, "statusText").value_or(""), *source);
    return sources;
}

std::set<std::string> statusSources(const std::multimap<std::string, std::string>& sources, const std::string& status)
{
    std::set<std::string> found;
    for (auto [at, end] = sources.equal_range(status); at != end; ++at)
        found.insert(at->second);
    return found;
}

std::string thisHost()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// `count` small binary STL files with names of their own, spread over
// folders below `root`; their paths relative to it, in list order.
std::vector<std::string> makeLibrary(const std::filesystem::path& root, int count)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const std::string name = (i % 4 == 0   ? "deep/er/"
                                  : i % 2 == 0 ? "scans/"
                                               : "") +
                                 std::string("part") + std::to_string(i) + ".stl";
        std::filesystem::create_directories((root / name).parent_path());
        writeBinaryStl(root / name, 1 + static_cast<std::uint32_t>(i % 3), static_cast<float>(i));
        names.push_back(name);
    }
    return names;
}

std::string joinedLines(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += name + "\n";
    return text;
}

// Every output file under `folder` (recursively) whose name ends in
// `extension`, by file name, with how often each name occurs.
std::map<std::string, int> outputsUnder(const std::filesystem::path& folder, std::string_view extension)
{
    std::map<std::string, int> outputs;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == extension)
            ++outputs[entry.path().filename().string()];
    return outputs;
}

// The outputs that `names` (sources) should give: part7.stl -> part7.obj.
std::map<std::string, int> expectedOutputs(const std::vector<std::string>& names)
{
    std::map<std::string, int> outputs;
    for (const std::string& name : names)
        outputs[std::filesystem::path(name).stem().string() + ".obj"] = 1;
    return outputs;
}

std::filesystem::path recipe(std::string_view name)
{
    return sourceDir() / "docs" / "scale-out" / std::string(name);
}

bool haveCommand(std::string_view name)
{
    return runCommand("command -v " + std::string(name) + " >/dev/null 2>&1") == 0;
}

} // namespace

// Four shards of one list convert every file exactly once between them, and
// every machine agrees which shard a file is in wherever it runs: the key is
// the path as the list names it, hashed as docs/scale-out/shard_of.py does.
TEST(ScaleOut, ShardsPartitionAListExactlyFromAnyWorkingFolder)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::vector<std::string> names = makeLibrary(dir / "library", 40);
    // A folder entry, an empty line and a path that names nothing too.
    std::filesystem::create_directories(dir / "library" / "extra");
    writeBinaryStl(dir / "library" / "extra" / "bolt.stl", 2);
    writeFile(dir / "library" / "list.txt", joinedLines(names) + "\nextra\nvanished.stl\n");
    std::filesystem::create_directories(dir / "elsewhere" / "deeper");

    constexpr int Shards = 4;
    const std::string host = thisHost();
    std::map<std::string, int> shardOf; // by source, from the runs in dir
    int missingReported = 0;
    for (int shard = 0; shard < Shards; ++shard) {
        const std::string common = " --from-list " + shellQuote((dir / "library" / "list.txt").string()) + " --shard " +
                                   std::to_string(shard) + "/" + std::to_string(Shards) +
                                   " --to obj --create-folder --on-exists overwrite --json";
        std::string json;
        const int status = runCommand("cd " + shellQuote(dir.path().string()) + " && " +
                                          cli.commandLine(common + " --output out-" + std::to_string(shard)) +
                                          " </dev/null 2>stderr-" + std::to_string(shard),
                                      &json);
        const std::string errors = readFile(dir / ("stderr-" + std::to_string(shard)));
        const bool reportsMissing = contains(errors, "vanished.stl': No such file");
        missingReported += reportsMissing;
        EXPECT_EQ(status, reportsMissing ? 1 : 0) << errors;
        for (const std::string& line : linesOf(json)) {
            EXPECT_EQ(jsonField(line, "host"), host) << line;
            if (const std::optional<std::string> source = jsonField(line, "source")) {
                EXPECT_EQ(jsonField(line, "statusText"), "Success") << line;
                EXPECT_TRUE(shardOf.emplace(*source, shard).second) << *source << " in two shards";
            }
        }
        EXPECT_TRUE(contains(json, "{\"summary\":{")) << json;

        // Another working folder and a dry run: the same files.
        std::string elsewhere;
        runCommand("cd " + shellQuote((dir / "elsewhere" / "deeper").string()) + " && " +
                       cli.commandLine(common + " --dry-run --output " + shellQuote((dir / "dry").string())) +
                       " </dev/null 2>/dev/null",
                   &elsewhere);
        std::set<std::string> planned;
        for (const std::string& line : linesOf(elsewhere))
            if (const std::optional<std::string> source = jsonField(line, "source"))
                planned.insert(*source);
        std::set<std::string> converted;
        for (const auto& [source, where] : shardOf)
            if (where == shard)
                converted.insert(source);
        EXPECT_EQ(planned, converted) << "shard " << shard;
    }
    EXPECT_EQ(missingReported, 1) << "a path that names nothing is reported by the one shard it belongs to";
    EXPECT_EQ(shardOf.size(), names.size() + 1);

    // Every output written once, in the folder of the shard that had it.
    std::map<std::string, int> outputs;
    for (int shard = 0; shard < Shards; ++shard)
        if (std::filesystem::exists(dir / ("out-" + std::to_string(shard))))
            for (const auto& [name, count] : outputsUnder(dir / ("out-" + std::to_string(shard)), ".obj"))
                outputs[name] += count;
    std::map<std::string, int> expected = expectedOutputs(names);
    expected["bolt.obj"] = 1;
    EXPECT_EQ(outputs, expected);

    // The documented formula gives the same shards for the listed files.
    std::string computed;
    ASSERT_EQ(runCommand("python3 " + shellQuote(recipe("shard_of.py").string()) + " 4 < " +
                             shellQuote((dir / "library" / "list.txt").string()),
                         &computed),
              0);
    int compared = 0;
    for (const std::string& line : linesOf(computed)) {
        const std::string key = line.substr(line.find('\t') + 1);
        const auto found = shardOf.find((dir / "library" / key).string());
        if (found == shardOf.end())
            continue; // the folder entry and the missing file
        EXPECT_EQ(std::to_string(found->second), line.substr(0, line.find('\t'))) << key;
        ++compared;
    }
    EXPECT_EQ(compared, static_cast<int>(names.size()));
}

// A run that died half way leaves some outputs missing; a source changed
// since makes its output stale. The rerun with --skip-complete converts
// exactly those and leaves every other output as it was.
TEST(ScaleOut, SkipCompleteRedoesOnlyMissingAndStaleOutputs)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    const std::vector<std::string> names = makeLibrary(dir / "library", 12);
    const std::string out = shellQuote((dir / "out").string());
    const std::string library = shellQuote((dir / "library").string());
    std::string output;
    ASSERT_EQ(cli(library + " --to obj --create-folder --output " + out, &output), 0) << output;

    for (const char* gone : {"part1.obj", "part4.obj", "part9.obj"})
        std::filesystem::remove(dir / "out" / gone);
    // Sources changed after their outputs were made: outputs older than them.
    const auto earlier = std::filesystem::last_write_time(dir / "library" / "part3.stl") - std::chrono::hours(1);
    for (const char* stale : {"part2.obj", "part3.obj"})
        std::filesystem::last_write_time(dir / "out" / stale, earlier);
    std::map<std::string, std::filesystem::file_time_type> untouched;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out"))
        if (entry.path().filename() != "part2.obj" && entry.path().filename() != "part3.obj")
            untouched[entry.path().filename().string()] = entry.last_write_time();

    std::string json;
    EXPECT_EQ(cli(library + " --to obj --output " + out + " --skip-complete --on-exists overwrite --json", &json, true),
              0);
    const std::multimap<std::string, std::string> sources = sourcesByStatus(json);
    const auto stems = [](const std::set<std::string>& paths) {
        std::set<std::string> found;
        for (const std::string& path : paths)
            found.insert(std::filesystem::path(path).stem().string());
        return found;
    };
    EXPECT_EQ(stems(statusSources(sources, "Success")), (std::set<std::string>{"part1", "part4", "part9"})) << json;
    EXPECT_EQ(stems(statusSources(sources, "Replaced")), (std::set<std::string>{"part2", "part3"})) << json;
    EXPECT_EQ(statusSources(sources, "Skipped").size(), 7u) << json;
    EXPECT_TRUE(contains(json, "\"converted\":5,\"failed\":0,\"skipped\":7")) << json;
    for (const auto& [name, time] : untouched)
        EXPECT_EQ(std::filesystem::last_write_time(dir / "out" / name), time) << name;
    EXPECT_EQ(outputsUnder(dir / "out", ".obj"), expectedOutputs(names));

    // Nothing left to do: every file passed over, and a dry run says so.
    output.clear();
    EXPECT_EQ(cli(library + " --to obj --output " + out + " --skip-complete", &output), 0);
    EXPECT_TRUE(contains(output, "12 files: 0 converted, 12 skipped, 0 failed")) << output;
    output.clear();
    EXPECT_EQ(cli(library + " --to obj --output " + out + " --skip-complete --dry-run", &output), 0);
    EXPECT_EQ(countOf(output, "would skip the file"), 12u) << output;
}

// -0 lists keep new lines inside names; a list on standard input resolves
// relative paths against the working folder; bad lists and shard numbers
// end the command with a clear message before anything is written.
TEST(ScaleOut, NulAndStandardInputListsAndTheirErrors)
{
    TempDir dir;
    const CliRun cli(dir / "config", "convert");
    std::filesystem::create_directories(dir / "in" / "sub");
    writeBinaryStl(dir / "in" / "line\nbreak.stl", 2);
    writeBinaryStl(dir / "in" / "sub" / "tab\tname.stl", 3);
    writeBinaryStl(dir / "in" / "plain.stl", 4);
    writeFile(dir / "in" / "list0", "line\nbreak.stl\0sub/tab\tname.stl\0plain.stl"s);
    std::string json;
    EXPECT_EQ(cli("--from-list " + shellQuote((dir / "in" / "list0").string()) + " -0 --to obj --output " +
                      shellQuote((dir / "out0").string()) + " --create-folder --json",
                  &json, true),
              0);
    EXPECT_EQ(statusSources(sourcesByStatus(json), "Success"),
              (std::set<std::string>{(dir / "in" / "line\nbreak.stl").string(),
                                     (dir / "in" / "sub" / "tab\tname.stl").string(),
                                     (dir / "in" / "plain.stl").string()}));
    EXPECT_TRUE(isCompleteBinaryStl(dir / "in" / "line\nbreak.stl"));
    EXPECT_TRUE(std::filesystem::exists(dir / "out0" / "line\nbreak.obj"));

    // Standard input: relative to the working folder, here "in".
    std::string output;
    EXPECT_EQ(runCommand("cd " + shellQuote((dir / "in").string()) + " && printf 'plain.stl\\n\\nsub/\\n' | " +
                             cli.commandLine("--from-list - --to stl --output " + shellQuote((dir / "outs").string()) +
                                             " --create-folder") +
                             " 2>&1",
                         &output),
              0)
        << output;
    EXPECT_TRUE(contains(output, "2 files: 2 converted")) << output;
    EXPECT_EQ(namesIn(dir / "outs"), (std::set<std::string>{"plain.stl", "tab\tname.stl"}));

    writeFile(dir / "empty.txt", "\n\n");
    const std::string list0 = shellQuote((dir / "in" / "list0").string());
    const std::pair<std::string, std::string> refused[] = {
        {"a.stl --shard 3/2", "--shard takes I/N"},
        {"a.stl --shard 0/0", "not '0/0'"},
        {"a.stl --shard two/4", "not 'two/4'"},
        {"--from-list " + shellQuote((dir / "absent.txt").string()), "cannot read the list"},
        {"--from-list " + shellQuote((dir / "empty.txt").string()), "names no paths"},
        {"--from-list " + shellQuote((dir / "in").string()), "Is a directory"},
        {"--from-list " + list0, "holds NUL bytes: give -0"},
        {"a.stl -0", "it needs --from-list"},
        {"--from-list - -", "standard input (-) can be read once"},
        {"--from-list " + list0 + " -0 -o one.obj", "several inputs"},
        {"", "or --from-list FILE"},
    };
    for (const auto& [arguments, message] : refused) {
        output.clear();
        const std::string target =
            contains(arguments, " -o ") ? "" : " --output " + shellQuote((dir / "never").string());
        EXPECT_EQ(cli(arguments + " --to obj" + target, &output), 2) << arguments;
        EXPECT_TRUE(contains(output, message)) << arguments << ": " << output;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "never"));
}

// Each recipe of docs/scale-out runs here, on this machine as every host,
// converts every file once, and after a simulated failure converts only
// what the failure lost. The document names every recipe file.
TEST(ScaleOut, RecipesRunAndTheDocumentNamesThem)
{
    if (!haveCommand("parallel") || runCommand("python3 -c 'import yaml' 2>/dev/null") != 0)
        GTEST_SKIP() << "GNU parallel and python3-yaml are needed (scripts/packages.sh installs them)";
    TempDir dir;
    const std::vector<std::string> names = makeLibrary(dir / "library", 24);
    writeFile(dir / "library" / "list.txt", joinedLines(names));
    const std::string list = shellQuote((dir / "library" / "list.txt").string());
    const std::string environment = "export XDG_CONFIG_HOME=" + shellQuote((dir / "config").string()) +
                                    " MORVEX_CLI=" + shellQuote(cliPath().string()) + "; ";
    const auto run = [&](const std::string& command, std::string* output = nullptr) {
        return runCommand(environment + command + " 2>&1", output);
    };
    const std::map<std::string, int> expected = expectedOutputs(names);

    struct Recipe {
        std::string name;
        std::string command; // after the environment, with LIST and OUTPUT given
        std::string output;
    };
    const std::string out = (dir / "out").string();
    const Recipe recipes[] = {
        {"parallel-pipe.sh",
         "MORVEX_BLOCK=5 MORVEX_RUNS=2 " + shellQuote(recipe("parallel-pipe.sh").string()) + " " + list + " " +
             shellQuote(out + "-pipe") + " --to obj",
         out + "-pipe"},
        {"parallel-hosts.sh",
         "MORVEX_HOSTS=2/: MORVEX_SHARDS=3 " + shellQuote(recipe("parallel-hosts.sh").string()) + " " + list + " " +
             shellQuote(out + "-hosts") + " --to obj",
         out + "-hosts"},
        {"xargs.sh",
         "MORVEX_SHARDS=3 MORVEX_RUNS=2 " + shellQuote(recipe("xargs.sh").string()) + " " +
             shellQuote((dir / "library").string()) + " " + shellQuote(out + "-xargs") + " --to obj",
         out + "-xargs"},
        {"slurm-array.sh",
         "for task in 0 1 2 3; do SLURM_ARRAY_TASK_ID=$task MORVEX_SHARDS=4 SLURM_CPUS_PER_TASK=1 " +
             shellQuote(recipe("slurm-array.sh").string()) + " " + list + " " + shellQuote(out + "-slurm") +
             " --to obj || exit; done",
         out + "-slurm"},
    };
    for (const Recipe& each : recipes) {
        EXPECT_EQ(runCommand("bash -n " + shellQuote(recipe(each.name).string())), 0) << each.name;
        std::string output;
        ASSERT_EQ(run(each.command, &output), 0) << each.name << ":\n" << output;
        EXPECT_EQ(outputsUnder(each.output, ".obj"), expected) << each.name;

        // A failure lost two outputs: the same command converts those two.
        for (const char* lost : {"part5.obj", "part8.obj"})
            for (const auto& entry : std::filesystem::recursive_directory_iterator(each.output))
                if (entry.path().filename() == lost) {
                    std::filesystem::remove(entry.path());
                    break;
                }
        output.clear();
        ASSERT_EQ(run(each.command, &output), 0) << each.name << ":\n" << output;
        EXPECT_EQ(outputsUnder(each.output, ".obj"), expected) << each.name;
        std::string results;
        for (const auto& entry : std::filesystem::directory_iterator(each.output))
            if (entry.path().extension() == ".jsonl")
                results += readFile(entry.path());
        EXPECT_GE(statusSources(sourcesByStatus(results), "Skipped").size(), names.size() - 2) << each.name;
    }
    std::string output;
    EXPECT_NE(
        run(shellQuote(recipe("slurm-array.sh").string()) + " " + list + " " + shellQuote(out + "-none"), &output), 0);
    EXPECT_TRUE(contains(output, "submit with sbatch --array")) << output;

    // The indexed Job: its manifest checked, its container's command run
    // with each completion index on a folder standing for the volume.
    std::string script;
    ASSERT_EQ(runCommand("python3 " + shellQuote((sourceDir() / "tests" / "tools" / "check_indexed_job.py").string()) +
                             " " + shellQuote(recipe("indexed-job.yaml").string()) + " 2>&1",
                         &script),
              0)
        << script;
    const std::filesystem::path volume = dir / "volume";
    std::filesystem::create_directories(volume);
    std::filesystem::copy(dir / "library", volume, std::filesystem::copy_options::recursive);
    std::string local = script.substr(0, script.find_last_not_of('\n') + 1);
    for (std::size_t at; (at = local.find("/data")) != std::string::npos;)
        local.replace(at, 5, volume.string());
    local.replace(local.find("morvex-cli"), 10, shellQuote(cliPath().string()));
    for (int index = 0; index < 16; ++index) {
        output.clear();
        EXPECT_EQ(run("JOB_COMPLETION_INDEX=" + std::to_string(index) + " sh -c " + shellQuote(local), &output), 0)
            << index << ": " << output;
    }
    EXPECT_EQ(outputsUnder(volume / "converted", ".obj"), expected);

    const std::string document = readFile(sourceDir() / "docs" / "scale-out.md");
    for (const auto& entry : std::filesystem::directory_iterator(sourceDir() / "docs" / "scale-out"))
        EXPECT_TRUE(contains(document, "scale-out/" + entry.path().filename().string())) << entry.path();
    for (std::size_t at = 0; (at = document.find("docs/scale-out/", at)) != std::string::npos; ++at) {
        const std::size_t end = document.find_first_of(" `)\n", at);
        EXPECT_TRUE(std::filesystem::exists(sourceDir() / document.substr(at, end - at)))
            << document.substr(at, end - at);
    }
}

#include "app/input_list.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

std::vector<std::filesystem::path> pathsOf(const std::vector<InputRoot>& roots)
{
    std::vector<std::filesystem::path> paths;
    for (const InputRoot& root : roots)
        paths.push_back(root.path);
    return paths;
}

std::set<std::string> namesOf(const std::vector<std::filesystem::path>& files)
{
    std::set<std::string> names;
    for (const std::filesystem::path& file : files)
        names.insert(file.string());
    return names;
}

} // namespace

// Other programs compute the shard of a path from the published constants
// of FNV-1a; these are the published values of the 64-bit hash.
TEST(InputList, ShardsFollowThePublishedHashAndRefuseBadCounts)
{
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ull);
    // Bytes as they are: a name that is not UTF-8 hashes like any other.
    EXPECT_NE(fnv1a64("caf\xe9.stl"), fnv1a64("caf\xc3\xa9.stl"));
    EXPECT_EQ(shardOfKey("foobar", 7), 0x85944171f73967e8ull % 7);

    const std::optional<Shard> shard = parseShard("3/16");
    ASSERT_TRUE(shard);
    EXPECT_EQ(shard->index, 3u);
    EXPECT_EQ(shard->count, 16u);
    EXPECT_TRUE(parseShard("0/1"));
    for (const char* bad : {"3/2", "2/2", "0/0", "1", "/4", "1/", "-1/4", "1/4x", "a/b", "1/2000000", " 1/4", "1//4"})
        EXPECT_FALSE(parseShard(bad)) << bad;
}

TEST(InputList, EntriesResolveAgainstTheListFolderAndKeepTheirKeys)
{
    std::vector<InputRoot> roots;
    appendListEntries("a.stl\n\nsub/b.obj\r\n./c.ply\n/abs/d.stl\n.//e.3ds\n\n", '\n', "/lists", roots);
    ASSERT_EQ(roots.size(), 5u);
    EXPECT_EQ(roots[0].path, "/lists/a.stl");
    EXPECT_EQ(roots[0].key, "a.stl");
    EXPECT_EQ(roots[1].path, "/lists/sub/b.obj"); // a list written on Windows
    EXPECT_EQ(roots[1].key, "sub/b.obj");
    EXPECT_EQ(roots[2].path, "/lists/c.ply");
    EXPECT_EQ(roots[2].key, "./c.ply"); // keyed as written
    EXPECT_EQ(roots[3].path, "/abs/d.stl");
    EXPECT_EQ(roots[4].path, "/lists/e.3ds");

    // NUL-separated: new lines and carriage returns belong to the names; a
    // last entry without its NUL counts.
    roots.clear();
    appendListEntries(std::string_view("line\nbreak.stl\0\0tail\r.stl\0last.stl", 34), '\0', {}, roots);
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[0].path, "line\nbreak.stl");
    EXPECT_EQ(roots[1].path, "tail\r.stl");
    EXPECT_EQ(roots[2].path, "last.stl");
}

// Every file of a walk lands in exactly one shard, by a key that does not
// depend on where the folder lies or how it was named.
TEST(InputList, ShardsPartitionAWalkWhereverItsFolderLies)
{
    TempDir dir;
    for (const std::filesystem::path& copy : {dir / "here", dir / "elsewhere" / "deeper"}) {
        std::filesystem::create_directories(copy / "sub");
        for (int i = 0; i < 30; ++i)
            writeFile(copy / (i % 3 == 0 ? "sub" : ".") / ("m" + std::to_string(i) + ".stl"), "solid\n");
        writeFile(copy / "notes.txt", "not a model");
    }
    RecordingReporter reporter;
    constexpr unsigned Count = 4;
    std::map<std::string, unsigned> shardOfKeyFound;
    for (const std::filesystem::path& folder : {dir / "here", dir / "elsewhere" / "deeper"}) {
        const std::vector<InputRoot> roots{commandLineRoot(folder)};
        const InputCollection all = collectInputs(pathsOf(roots), reporter);
        ASSERT_EQ(all.files.size(), 30u);
        std::set<std::string> seen;
        std::size_t notices = 0;
        for (unsigned index = 0; index < Count; ++index) {
            InputCollection part = collectInputs(pathsOf(roots), reporter);
            keepShard(part, roots, {index, Count});
            EXPECT_EQ(part.files.size(), part.origins.size());
            notices += part.notices.size();
            for (const std::filesystem::path& file : part.files) {
                EXPECT_TRUE(seen.insert(file.string()).second) << file << " in two shards";
                const std::string key = shardKey(file, roots[0]);
                EXPECT_FALSE(key.starts_with("/")) << key;
                const auto [where, added] = shardOfKeyFound.emplace(key, index);
                EXPECT_EQ(where->second, index) << key << " moved with its folder";
            }
        }
        EXPECT_EQ(seen, namesOf(all.files));
        EXPECT_EQ(notices, all.notices.size()) << "each notice belongs to one shard";
    }
    EXPECT_EQ(shardOfKeyFound.size(), 30u);
    EXPECT_EQ(shardOfKeyFound.count("sub/m3.stl"), 1u);
}

// A list's entries are keyed as written, a folder entry's files by the
// entry and their path inside it; a file named alone by its name.
TEST(InputList, KeysOfListedFoldersAndFiles)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "batch" / "inner");
    writeFile(dir / "batch" / "inner" / "x.stl", "solid\n");
    writeFile(dir / "y.obj", "v 0 0 0\n");
    std::vector<InputRoot> roots;
    appendListEntries("batch/\ny.obj\n", '\n', dir.path(), roots);
    roots.push_back(commandLineRoot(dir / "y.obj"));
    RecordingReporter reporter;
    const InputCollection inputs = collectInputs(pathsOf(roots), reporter);
    ASSERT_EQ(inputs.files.size(), 2u); // y.obj named twice is converted once
    EXPECT_EQ(shardKey(inputs.files[0], roots[inputs.origins[0]]), "batch/inner/x.stl");
    EXPECT_EQ(shardKey(inputs.files[1], roots[inputs.origins[1]]), "y.obj");
    EXPECT_EQ(shardKey(dir / "y.obj", roots[2]), "y.obj");
}

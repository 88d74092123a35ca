#include "app/input_collection.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

std::vector<std::string> relativeNames(const InputCollection& inputs, const std::filesystem::path& root)
{
    std::vector<std::string> names;
    for (const std::filesystem::path& file : inputs.files)
        names.push_back(file.lexically_relative(root).string());
    return names;
}

const InputNotice* noticeFor(const InputCollection& inputs, const std::string& name)
{
    for (const InputNotice& notice : inputs.notices)
        if (notice.path.filename() == name)
            return &notice;
    return nullptr;
}

} // namespace

TEST(InputCollection, FoldersAreWalkedOnceWithoutHiddenEntries)
{
    TempDir dir;
    const std::filesystem::path root = dir / "models";
    std::filesystem::create_directories(root / "sub" / "deeper");
    std::filesystem::create_directories(root / ".hidden");
    for (const char* name : {"b.stl", "a.OBJ", "sub/c.ply", "sub/deeper/d.3ds", ".hidden/e.stl", ".f.stl", "clip.mp3",
                             "track.ac3", "model.RAW", "scene.xsi", "notes"})
        writeFile(root / name, "x");
    std::filesystem::create_directory_symlink("..", root / "sub" / "up");    // a loop back up the tree
    std::filesystem::create_directory_symlink(root / "sub", root / "again"); // the same folder twice
    std::filesystem::create_symlink(root / "self", root / "self");           // a link to itself
    ASSERT_EQ(::mkfifo((root / "pipe.stl").c_str(), 0600), 0);               // never opened

    RecordingReporter reporter;
    const InputCollection inputs =
        collectInputs({root, root / "b.stl", dir / "models/./a.OBJ", dir / "missing.stl"}, reporter);
    EXPECT_FALSE(inputs.cancelled);
    EXPECT_EQ(relativeNames(inputs, root),
              (std::vector<std::string>{"a.OBJ", "b.stl", "again/c.ply", "again/deeper/d.3ds"}))
        << "each folder once (the link comes first by name), files before subfolders";

    struct Expected {
        const char* name;
        InputNotice::Kind kind;
        const char* title;
    };
    const Expected expected[] = {
        {"clip.mp3", InputNotice::Kind::Media, "Audio File Selected"},
        {"track.ac3", InputNotice::Kind::Media, "Audio File Selected"},
        {"model.RAW", InputNotice::Kind::Media, "Image File Selected"},
        {"scene.xsi", InputNotice::Kind::Unsupported, ""},
        {"notes", InputNotice::Kind::Unsupported, ""},
        {"self", InputNotice::Kind::Unreadable, ""},
        {"missing.stl", InputNotice::Kind::Missing, ""},
    };
    for (const Expected& e : expected) {
        const InputNotice* notice = noticeFor(inputs, e.name);
        ASSERT_NE(notice, nullptr) << e.name;
        EXPECT_EQ(notice->kind, e.kind) << e.name;
        EXPECT_EQ(notice->title, e.title) << e.name;
    }
    EXPECT_EQ(noticeFor(inputs, "e.stl"), nullptr) << "hidden entries are passed over silently";
    EXPECT_EQ(noticeFor(inputs, ".f.stl"), nullptr);
    EXPECT_EQ(noticeFor(inputs, "pipe.stl"), nullptr) << "special files in a walk are passed over";

    const InputCollection named = collectInputs({root / "pipe.stl"}, reporter);
    EXPECT_TRUE(named.files.empty());
    ASSERT_EQ(named.notices.size(), 1u);
    EXPECT_EQ(named.notices[0].text, "not a regular file");
}

TEST(InputCollection, OddNamesAndCancellation)
{
    TempDir dir;
    const std::string odd[] = {"with space.stl", "quote\"'s.stl", "new\nline.stl", std::string("bytes\xff\xfe.stl")};
    for (const std::string& name : odd)
        writeFile(dir / name, "x");
    RecordingReporter reporter;
    const InputCollection inputs = collectInputs({dir.path()}, reporter);
    EXPECT_EQ(inputs.files.size(), 4u);
    EXPECT_TRUE(inputs.notices.empty());

    for (int i = 0; i < 250; ++i)
        writeFile(dir / ("many" + std::to_string(i) + ".stl"), "x");
    RecordingReporter cancelling;
    cancelling.cancelAfterChecks(2);
    const InputCollection cancelled = collectInputs({dir.path()}, cancelling);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_TRUE(cancelled.files.empty()) << "a cancelled walk adds nothing";

    if (geteuid() != 0) {
        std::filesystem::create_directory(dir / "closed");
        ::chmod((dir / "closed").c_str(), 0);
        const InputCollection closed = collectInputs({dir / "closed"}, reporter);
        ::chmod((dir / "closed").c_str(), 0700);
        ASSERT_EQ(closed.notices.size(), 1u);
        EXPECT_EQ(closed.notices[0].kind, InputNotice::Kind::Unreadable);
    }
}

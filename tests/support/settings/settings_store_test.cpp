#include "common/test_support.h"
#include "support/settings/settings_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace morvex;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

SettingsStore storeIn(const TempDir& dir)
{
    return SettingsStore(dir / "Quellor Software" / "Morvex.ini");
}

} // namespace

TEST(SettingsStore, TypedValuesReadAsStoredTextSays)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    std::filesystem::create_directories(store.filePath().parent_path());
    writeFile(store.filePath(),
              "[Values]\n"
              "yes=yes\nzeroabc=0abc\nempty=\none=1\n"
              "int=42\nneg=-7\nplus=+5\ntwoplus=++5\nspaced=  12\nword=abc\ntail=12abc\nhuge=99999999999\n"
              "num=1.5\nexp=1e3\nnan=nan\ninf=inf\ntext=abc\n");

    struct BoolCase {
        const char* name;
        bool fallback;
        bool expected;
    };
    for (const BoolCase& c :
         {BoolCase{"yes", false, true}, BoolCase{"zeroabc", true, false}, BoolCase{"empty", true, true},
          BoolCase{"empty", false, false}, BoolCase{"one", false, true}, BoolCase{"missing", true, true}})
        EXPECT_EQ(store.readBool("Values", c.name, c.fallback), c.expected) << c.name;

    struct IntCase {
        const char* name;
        std::int32_t expected;
    };
    for (const IntCase& c : {IntCase{"int", 42}, IntCase{"neg", -7}, IntCase{"plus", 5}, IntCase{"twoplus", 99},
                             IntCase{"spaced", 12}, IntCase{"word", 99}, IntCase{"tail", 12},
                             IntCase{"huge", 2147483647}, IntCase{"empty", 99}, IntCase{"missing", 99}})
        EXPECT_EQ(store.readInt("Values", c.name, 99), c.expected) << c.name;

    struct NumberCase {
        const char* name;
        double expected;
    };
    for (const NumberCase& c : {NumberCase{"num", 1.5}, NumberCase{"exp", 1000.0}, NumberCase{"nan", 3.0},
                                NumberCase{"inf", 3.0}, NumberCase{"text", 3.0}, NumberCase{"empty", 3.0}})
        EXPECT_EQ(store.readNumber("Values", c.name, 3.0), c.expected) << c.name;

    EXPECT_EQ(store.readText("Values", "missing", "default"), "default");
    EXPECT_EQ(store.readText("Values", "empty", "default"), "") << "an empty text is a present value";
    EXPECT_TRUE(store.valueExists("Values", "empty"));
    EXPECT_FALSE(store.valueExists("Values", "missing"));

    ASSERT_TRUE(store.writeNumber("Effects", "CustomScaleX", 0.1));
    ASSERT_TRUE(store.writeBool("Effects", "RecalculateNormals", true));
    ASSERT_TRUE(store.writeInt("Output Format", "PDLIndex", -3));
    EXPECT_EQ(store.readText("Effects", "CustomScaleX"), "0.10000000");
    EXPECT_EQ(store.readText("Effects", "RecalculateNormals"), "1");
    EXPECT_EQ(store.readText("Output Format", "PDLIndex"), "-3");
    EXPECT_FALSE(store.writeNumber("Effects", "CustomScaleY", std::nan("")));
}

TEST(SettingsStore, NamesCompareWithoutCaseAndTextsRoundTrip)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    ASSERT_TRUE(store.writeText("Output folder", "Item 1", "/data/first"));
    ASSERT_TRUE(store.writeText("Output Folder", "CBString", "[Same folder as the original file]"));
    EXPECT_EQ(store.readText("OUTPUT FOLDER", "item 1"), "/data/first");
    EXPECT_EQ(store.readText("output folder", "cbstring"), "[Same folder as the original file]");
    const std::string file = readFile(store.filePath());
    EXPECT_EQ(file.find("[Output Folder]"), std::string::npos) << "both spellings name one section:\n" << file;

    const std::string odd[] = {
        "two\nlines\r\n",
        "back\\slash\\",
        "  spaced  ",
        "a=b [c] ;d #e",
        std::string("bytes \xff\xfe\x01 end"),
        "C:\\new\\x41",
        "",
    };
    for (const std::string& text : odd) {
        ASSERT_TRUE(store.writeText("Texts", "value", text));
        EXPECT_EQ(store.readText("Texts", "value", "missing"), text);
    }
    EXPECT_FALSE(store.writeText("Texts", "bad=name", "x"));
    EXPECT_FALSE(store.writeText("Texts", "", "x"));
    EXPECT_FALSE(store.writeText("two\nlines", "name", "x"));
}

TEST(SettingsStore, HandEditedFilesKeepTheirLinesAndHandWrittenPaths)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    std::filesystem::create_directories(store.filePath().parent_path());
    writeFile(store.filePath(), "; my settings\r\n[Options]\r\n  Input folder = C:\\temp\\models  \r\n"
                                "garbage line\r\n[Effects]\r\nCustomScaleX=2\r\n");
    EXPECT_EQ(store.readText("Options", "Input folder"), "C:\\temp\\models");
    ASSERT_TRUE(store.writeBool("Options", "ApplyEffects", true));
    ASSERT_TRUE(store.writeNumber("Effects", "CustomScaleX", 3));
    EXPECT_EQ(readFile(store.filePath()), "; my settings\n[Options]\n  Input folder = C:\\temp\\models  \n"
                                          "ApplyEffects=1\ngarbage line\n[Effects]\nCustomScaleX=3.00000000\n");
}

TEST(SettingsStore, DamagedMissingAndUnwritableFilesGiveDefaults)
{
    TempDir dir;
    {
        // Binary garbage, an empty file, a file without sections.
        for (const std::string& content :
             {std::string("\0\xff\x80[\n=\n[[]]\n\x01=\x02", 16), std::string(), std::string("Count=5\n")}) {
            const SettingsStore store = storeIn(dir);
            std::filesystem::create_directories(store.filePath().parent_path());
            writeFile(store.filePath(), content);
            EXPECT_TRUE(store.readBool("Overwrite", "AlwaysPrompt", true));
            EXPECT_EQ(store.readInt("Output folder", "Count", 0), 0);
            EXPECT_TRUE(loadRecentOutputFolders(store).empty());
            ASSERT_TRUE(store.writeBool("Overwrite", "AlwaysPrompt", false));
            EXPECT_FALSE(store.readBool("Overwrite", "AlwaysPrompt", true));
        }
    }
    {
        // The settings path is a folder: nothing readable, nothing writable.
        const SettingsStore store(dir / "folder.ini");
        std::filesystem::create_directories(store.filePath());
        EXPECT_EQ(store.readText("Options", "Input folder", "fallback"), "fallback");
        EXPECT_FALSE(store.writeText("Options", "Input folder", "x"));
        EXPECT_TRUE(std::filesystem::is_directory(store.filePath()));
    }
    {
        // The settings folder cannot be created: a plain file is in the way.
        writeFile(dir / "blocker", "x");
        const SettingsStore store(dir / "blocker" / "Morvex.ini");
        EXPECT_FALSE(store.writeBool("Options", "ApplyEffects", true));
        EXPECT_FALSE(store.readBool("Options", "ApplyEffects", false));
    }
    if (geteuid() != 0) {
        // A read-only folder: the write fails and the old file is untouched.
        const SettingsStore store(dir / "locked" / "Morvex.ini");
        ASSERT_TRUE(store.writeText("Options", "Input folder", "/old"));
        ::chmod((dir / "locked").c_str(), 0500);
        EXPECT_FALSE(store.writeText("Options", "Input folder", "/new"));
        EXPECT_EQ(store.readText("Options", "Input folder"), "/old");
        ::chmod((dir / "locked").c_str(), 0700);
    }
}

TEST(SettingsStore, RecentOutputFolders)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    std::filesystem::create_directories(store.filePath().parent_path());

    std::string many = "[Output folder]\nCount=25\n";
    for (int i = 1; i <= 12; ++i)
        many += "Item " + std::to_string(i) + "=/f" + std::to_string(i) + "\n";
    writeFile(store.filePath(), many);
    EXPECT_EQ(loadRecentOutputFolders(store).size(), 10u) << "a count of 25 loads at most ten";

    writeFile(store.filePath(), "[Output folder]\nCount=3\nItem 1=/a\nItem 2=\nItem 3=/c\n");
    EXPECT_EQ(loadRecentOutputFolders(store), std::vector<std::string>{"/a"}) << "stops at the first empty item";

    std::vector<std::string> ten;
    for (int i = 1; i <= 10; ++i)
        ten.push_back("/folder " + std::to_string(i));
    ASSERT_TRUE(saveRecentOutputFolders(store, ten));
    EXPECT_EQ(store.readInt("Output folder", "Count", 0), 10);
    EXPECT_EQ(store.readText("Output folder", "Item 10"), "/folder 10");
    EXPECT_EQ(loadRecentOutputFolders(store), ten);

    ASSERT_TRUE(addRecentOutputFolder(store, "/folder 5"));
    EXPECT_EQ(loadRecentOutputFolders(store), ten) << "a listed folder stays where it is";
    ASSERT_TRUE(addRecentOutputFolder(store, "/Folder 5"));
    const std::vector<std::string> after = loadRecentOutputFolders(store);
    ASSERT_EQ(after.size(), 10u);
    EXPECT_EQ(after.front(), "/Folder 5") << "folders compare with case";
    EXPECT_EQ(after.back(), "/folder 9") << "the oldest entry falls off";
}

TEST(SettingsStore, DeletingASectionRestoresItsDefaults)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    const SettingValue values[] = {{"Options", "Input folder", "/models"},
                                   {"Options", "CreateFolderDecision", "0"},
                                   {"Options", "ApplyEffects", "1"},
                                   {"Effects", "RecalculateNormals", "1"}};
    ASSERT_TRUE(store.writeValues(values));
    ASSERT_TRUE(store.deleteSection("options"));
    EXPECT_EQ(store.readText("Options", "Input folder", "pictures"), "pictures");
    EXPECT_TRUE(store.readBool("Options", "CreateFolderDecision", true));
    EXPECT_FALSE(store.readBool("Options", "ApplyEffects", false));
    EXPECT_TRUE(store.readBool("Effects", "RecalculateNormals", false)) << "other sections stay";

    // Single values go the same way; their neighbours and hand-written
    // lines stay.
    ASSERT_TRUE(store.writeValues(values));
    writeFile(store.filePath(), readFile(store.filePath()) + "; kept by hand\n[effects]\nrecalculatenormals=1\n");
    const SettingValue removed[] = {{"Effects", "RecalculateNormals", ""}, {"Options", "ApplyEffects", ""}};
    ASSERT_TRUE(store.deleteValues(removed));
    EXPECT_FALSE(store.valueExists("Effects", "RecalculateNormals")) << "in every section of that name";
    EXPECT_FALSE(store.valueExists("Options", "ApplyEffects"));
    EXPECT_EQ(store.readText("Options", "Input folder"), "/models");
    EXPECT_NE(readFile(store.filePath()).find("; kept by hand"), std::string::npos);
}

TEST(SettingsStore, UserFileFollowsXdgConfigHome)
{
    TempDir dir;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(SettingsStore::forUser().filePath(), dir / "Quellor Software" / "Morvex.ini");
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);
    EXPECT_NE(SettingsStore::forUser().filePath().string().find("/.config/Quellor Software/Morvex.ini"),
              std::string::npos);
    if (saved != nullptr)
        ::setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsStore, TwoProcessesWritingAtOnceLoseNothing)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    constexpr int ValuesPerProcess = 150;
    const auto writeMany = [&](const char* prefix) {
        bool ok = true;
        for (int i = 0; i < ValuesPerProcess; ++i) {
            ok = store.writeInt("Race", std::string(prefix) + std::to_string(i), i) && ok;
            if (i % 15 == 0)
                ok = addRecentOutputFolder(store, std::string("/") + prefix + std::to_string(i)) && ok;
        }
        return ok;
    };

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(writeMany("child") ? 0 : 1);
    const bool parentOk = writeMany("parent");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "every write of the child succeeded";
    EXPECT_TRUE(parentOk);

    const IniDocument all = store.snapshot();
    int found = 0;
    for (const char* prefix : {"child", "parent"})
        for (int i = 0; i < ValuesPerProcess; ++i)
            found += settingToInt(all.find("Race", std::string(prefix) + std::to_string(i)), -1) == i;
    EXPECT_EQ(found, 2 * ValuesPerProcess);
    EXPECT_EQ(loadRecentOutputFolders(store).size(), 10u) << "twenty adds, the newest ten kept";
}

TEST(SettingsStore, SharedSettingsMachineFirstThenUserThenLegacy)
{
    TempDir dir;
    const SharedSettingRoots roots{{dir / "machine"}, dir / "user"};
    const auto put = [&](const std::filesystem::path& root, const char* company, const char* text) {
        ASSERT_TRUE(SettingsStore(root / company / "Viewer.ini").writeText("Settings", "InstallDir", text));
    };
    EXPECT_FALSE(readSharedSetting("Viewer", "InstallDir", "none", true, roots).found);
    put(dir / "user", "Quellor Legacy", "/legacy");
    EXPECT_FALSE(readSharedSetting("Viewer", "InstallDir", "none", false, roots).found);
    SharedSetting legacy = readSharedSetting("Viewer", "InstallDir", "none", true, roots);
    EXPECT_TRUE(legacy.found);
    EXPECT_EQ(legacy.text, "/legacy");
    put(dir / "user", "Quellor Software", "/user");
    EXPECT_EQ(readSharedSetting("Viewer", "InstallDir", "none", true, roots).text, "/user");
    put(dir / "machine", "Quellor Software", "/machine");
    EXPECT_EQ(readSharedSetting("Viewer", "InstallDir", "none", true, roots).text, "/machine");
    EXPECT_EQ(readSharedSetting("../Viewer", "InstallDir", "none", true, roots).text, "none");
}

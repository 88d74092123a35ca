#include "app/completion_summary.h"
#include "app/component_steps.h"
#include "app/free_space_check.h"
#include "app/input_formats.h"
#include "app/output_folder_check.h"
#include "app/run_selection.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <map>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

constexpr std::uint64_t MiB = 1 << 20;

class AnsweringFolderQuestion : public CreateFolderQuestion {
public:
    explicit AnsweringFolderQuestion(CreateFolderReply reply) : reply_(reply) {}
    CreateFolderReply ask(std::string_view folder) override
    {
        asked.emplace_back(folder);
        return reply_;
    }
    std::vector<std::string> asked;

private:
    CreateFolderReply reply_;
};

void makeSparseFile(const std::filesystem::path& path, std::uint64_t size)
{
    writeFile(path, "");
    std::filesystem::resize_file(path, size);
}

} // namespace

TEST(ConvertChecks, FreeSpaceRequiredAndCheckedPerDrive)
{
    EXPECT_EQ(requiredFreeSpace(2, 1 * MiB), 5 * MiB) << "two files of 1 MiB need the 5 MiB minimum";
    EXPECT_EQ(requiredFreeSpace(3, 3 * MiB), 9 * MiB);
    EXPECT_EQ(requiredFreeSpace(0, 0), 5 * MiB);
    EXPECT_EQ(requiredFreeSpace(3, UINT64_MAX / 2), UINT64_MAX) << "no overflow";

    TempDir dir;
    std::filesystem::create_directories(dir / "first");
    std::filesystem::create_directories(dir / "second");
    makeSparseFile(dir / "first" / "a.stl", 3 * MiB);
    makeSparseFile(dir / "first" / "b.stl", 1 * MiB);
    makeSparseFile(dir / "second" / "c.stl", 2 * MiB);
    const std::vector<std::filesystem::path> sources = {dir / "first" / "a.stl", dir / "first" / "b.stl",
                                                        dir / "second" / "c.stl"};
    std::map<std::filesystem::path, std::optional<std::uint64_t>> space = {
        {dir / "first", 9 * MiB}, {dir / "second", 9 * MiB - 1}, {dir / "out", 9 * MiB}};
    const FreeSpaceFunction fake = [&](const std::filesystem::path& folder) { return space.at(folder); };

    FreeSpaceCheck check = checkFreeSpace(sources, "", fake);
    EXPECT_EQ(check.required, 9 * MiB);
    EXPECT_FALSE(check.enough) << "each source's drive against the same amount";
    EXPECT_EQ(check.message, NotEnoughOnAnOutputDriveText);
    EXPECT_EQ(check.folder, dir / "second");

    check = checkFreeSpace(sources, (dir / "out").string(), fake);
    EXPECT_TRUE(check.enough);
    EXPECT_TRUE(check.message.empty());
    space[dir / "out"] = 1;
    EXPECT_EQ(checkFreeSpace(sources, (dir / "out").string(), fake).message, NotEnoughOnOutputDriveText);
    space[dir / "out"] = std::nullopt;
    EXPECT_TRUE(checkFreeSpace(sources, (dir / "out").string(), fake).enough) << "unknown space counts as plenty";
    EXPECT_TRUE(checkFreeSpace(sources, dir.path().string()).enough) << "the real file system";
}

TEST(ConvertChecks, OutputFolderDecisions)
{
    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    AnsweringFolderQuestion never({false, false});
    EXPECT_EQ(checkOutputFolder(SameFolderText, store, &never).outcome, OutputFolderOutcome::SameFolder);
    const OutputFolderCheck reset = checkOutputFolder("", store, &never);
    EXPECT_EQ(reset.outcome, OutputFolderOutcome::ResetToSameFolder);
    EXPECT_TRUE(reset.proceed());
    EXPECT_TRUE(reset.outputFolder.empty());
    EXPECT_EQ(checkOutputFolder(dir.path().string(), store, &never).outcome, OutputFolderOutcome::Existing);
    EXPECT_TRUE(never.asked.empty());

    const std::string nested = (dir / "new" / "deeper").string();
    AnsweringFolderQuestion yes({true, false});
    const OutputFolderCheck created = checkOutputFolder(nested, store, &yes);
    EXPECT_EQ(created.outcome, OutputFolderOutcome::Created);
    EXPECT_EQ(created.outputFolder, nested);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    ASSERT_EQ(yes.asked.size(), 1u);
    EXPECT_EQ(createFolderQuestionText(yes.asked[0]),
              "Folder is invalid or no longer available:\n" + nested + "\nWould you like to create it?");

    AnsweringFolderQuestion noAndRemember({false, true});
    const OutputFolderCheck declined = checkOutputFolder((dir / "other").string(), store, &noAndRemember);
    EXPECT_EQ(declined.outcome, OutputFolderOutcome::Declined);
    EXPECT_FALSE(declined.proceed());
    EXPECT_FALSE(std::filesystem::exists(dir / "other"));
    EXPECT_EQ(checkOutputFolder((dir / "third").string(), store, &yes).outcome, OutputFolderOutcome::Declined)
        << "the stored answer decides without a question";
    EXPECT_EQ(yes.asked.size(), 1u);

    ASSERT_TRUE(store.writeBool("Options", "CreateFolderDecision", true));
    writeFile(dir / "plain-file", "x");
    EXPECT_EQ(checkOutputFolder((dir / "plain-file" / "sub").string(), store, &yes).outcome,
              OutputFolderOutcome::CreationFailed);
}

TEST(ConvertChecks, SelectionComponentsAndCompletion)
{
    std::vector<ListRow> rows = {
        {"/m/a.stl", SupportedFormatFlag | NativeFormatFlag | 3, false},
        {"/m/b.xsi", 0 | 9, false},
        {"/m/c.mdl", 0x3B, false}, // marked not convertible
        {"/m/d.dae", SupportedFormatFlag | 10, false},
    };
    EXPECT_EQ(prepareRunSelection(rows), (std::vector<std::filesystem::path>{"/m/a.stl", "/m/c.mdl", "/m/d.dae"}));
    EXPECT_TRUE(rows[1].selected) << "nothing selected: everything is";
    EXPECT_EQ(rowStatus(rows[0]), ConversionStatus::Ready);
    EXPECT_EQ(rowStatus(rows[2]), ConversionStatus::CannotBeConverted);
    EXPECT_EQ(rows[0].flags, SupportedFormatFlag | NativeFormatFlag) << "other flags kept";
    for (ListRow& row : rows)
        row.selected = false;
    rows[1].selected = true;
    EXPECT_TRUE(prepareRunSelection(rows).empty()) << "only an unsupported row selected";

    struct Provider : ComponentProvider {
        bool find(std::string_view id) override { return calls.push_back("find " + std::string(id)), false; }
        bool ensure(std::string_view id) override
        {
            calls.push_back("ensure " + std::string(id));
            return id != failing;
        }
        std::string failing;
        std::vector<std::string> calls;
    };
    Provider all;
    makeComponentsAvailable("3mf", all);
    EXPECT_EQ(all.calls, (std::vector<std::string>{"ensure infozip3", "find assimpext2", "ensure assimpext2",
                                                   "find ifcconvert", "ensure ifcconvert"}));
    Provider stopping;
    stopping.failing = "assimpext2";
    makeComponentsAvailable(".stl", stopping);
    EXPECT_EQ(stopping.calls, (std::vector<std::string>{"find assimpext2", "ensure assimpext2"}));

    // The components a run's files are read through, counted per component
    // in the order they are made available; own readers need none.
    const std::vector<std::filesystem::path> files{"/m/a.stl", "/m/b.IFC",        "/m/c.fbx", "/m/d.dae",
                                                   "/m/e.sdf", "/m/f.unknownext", "/m/g.ifc"};
    std::vector<std::string> asked;
    const std::vector<MissingComponent> none = missingComponents(files, [&asked](std::string_view id) {
        asked.emplace_back(id);
        return true;
    });
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(asked, (std::vector<std::string>{"assimpext2", "ifcconvert"})) << "each component looked for once";
    const std::vector<MissingComponent> missing =
        missingComponents(files, [](std::string_view id) { return id == "infozip3"; });
    ASSERT_EQ(missing.size(), 2u);
    EXPECT_EQ(missing[0].id, "assimpext2");
    EXPECT_EQ(missing[0].files, 3u);
    EXPECT_EQ(missing[1].id, "ifcconvert");
    EXPECT_EQ(missing[1].files, 2u);
    const std::vector<std::filesystem::path> native{"/m/a.stl", "/m/b.obj", "/m/c.3mf"};
    EXPECT_TRUE(missingComponents(native, [](std::string_view) { return false; }).empty());

    struct Case {
        unsigned converted, selected;
        bool shown;
        std::string_view text;
        bool openFile;
    };
    const Case cases[] = {
        {3, 3, true, ConversionCompleteText, false},
        {1, 1, true, ConversionCompleteText, true},
        {1, 2, true, SomeNotConvertedText, true},
        {2, 5, true, SomeNotConvertedText, false},
        {0, 4, false, {}, false},
    };
    for (const Case& c : cases) {
        const CompletionSummary summary = completionSummary(c.converted, c.selected);
        EXPECT_EQ(summary.shown, c.shown) << c.converted << "/" << c.selected;
        EXPECT_EQ(summary.text, c.text) << c.converted << "/" << c.selected;
        EXPECT_EQ(summary.offerOpenFile, c.openFile) << c.converted << "/" << c.selected;
        EXPECT_EQ(summary.offerOpenFolder, c.shown);
    }

    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    rememberOutputFolder(store, SameFolderText);
    rememberOutputFolder(store, (dir / "missing").string());
    rememberOutputFolder(store, dir.path().string());
    EXPECT_EQ(loadRecentOutputFolders(store), std::vector<std::string>{dir.path().string()});
}

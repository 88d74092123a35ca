#include "app/naming.h"
#include "app/overwrite.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

using namespace morvex;
using morvex::testing::ScriptedQuestion;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

TEST(Naming, TemplatesChecksAndExamples)
{
    EXPECT_EQ(applyNameTemplate("%number%_%filename%", "model", 2), "2_model");
    EXPECT_EQ(applyNameTemplate("%filename%-%number%", "x%number%", 1), "x%number%-1")
        << "marker text in the file name is never replaced";
    EXPECT_EQ(applyNameTemplate("%filename%%filename%-%number%", "a", 12), "aa-12");

    struct Case {
        const char* nameTemplate;
        NameTemplateProblem problem;
        const char* example;
    };
    const Case cases[] = {
        {"%filename%-%number%", NameTemplateProblem::None, "model-1.3dp\nmodel-2.3dp\nmodel-3.3dp\netc."},
        {"%number%_%filename%", NameTemplateProblem::None, "1_model.3dp\n2_model.3dp\n3_model.3dp\netc."},
        {"%filename%", NameTemplateProblem::MissingMarker, "model.3dp\nmodel.3dp\nmodel.3dp\netc."},
        {"%FILENAME%-%number%", NameTemplateProblem::MissingMarker,
         "%FILENAME%-1.3dp\n%FILENAME%-2.3dp\n%FILENAME%-3.3dp\netc."},
        {"%filename%:%number%", NameTemplateProblem::InvalidCharacter, ": is an invalid character"},
        {"../%filename%%number%", NameTemplateProblem::InvalidCharacter, "/ is an invalid character"},
        {"%filename%|%number%?", NameTemplateProblem::InvalidCharacter, "| is an invalid character"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkNameTemplate(c.nameTemplate), c.problem) << c.nameTemplate;
        EXPECT_EQ(nameTemplateExample(c.nameTemplate), c.example) << c.nameTemplate;
        EXPECT_EQ(usableNameTemplate(c.nameTemplate),
                  c.problem == NameTemplateProblem::None ? c.nameTemplate : DefaultNameTemplate);
    }
}

TEST(Naming, NextFreeNameSkipsFilesFoldersAndLinks)
{
    TempDir dir;
    writeFile(dir / "model.stl", "x");
    writeFile(dir / "model-1.stl", "x");
    std::filesystem::create_directory(dir / "model-2.stl");
    std::filesystem::create_symlink(dir / "nowhere", dir / "model-3.stl");
    EXPECT_EQ(nextFreeName(dir / "model.stl", DefaultNameTemplate), dir / "model-4.stl");
    EXPECT_EQ(nextFreeName(dir / "model.stl", "%number%_%filename%"), dir / "1_model.stl");
    writeFile(dir / "1_model.stl", "x");
    EXPECT_EQ(nextFreeName(dir / "model.stl", "%number%_%filename%"), dir / "2_model.stl");
    EXPECT_EQ(nextFreeName(dir / "a-1.stl", DefaultNameTemplate), dir / "a-1-1.stl");

    const SettingsStore store(dir / "Morvex.ini");
    EXPECT_EQ(storedNameTemplate(store), DefaultNameTemplate);
    ASSERT_TRUE(store.writeText("Overwrite", "EnumerateTEXT", "../../%number%"));
    EXPECT_EQ(storedNameTemplate(store), DefaultNameTemplate) << "a damaged template is not used";
}

TEST(Overwrite, PolicyRulesAndDefaults)
{
    struct Case {
        OverwritePolicy policy;
        bool sameFolder;
        std::optional<OverwriteDecision> expected;
    };
    const OverwritePolicy overwriteOnly = policyForChoice(OverwriteChoice::Overwrite);
    OverwritePolicy overwriteAndSkip = overwriteOnly;
    overwriteAndSkip.neverOverwrite = true;
    OverwritePolicy overwriteAndStop = overwriteOnly;
    overwriteAndStop.stopConverting = true;
    const Case cases[] = {
        {policyForChoice(OverwriteChoice::Prompt), false, std::nullopt},
        {overwriteOnly, false, OverwriteDecision::Overwrite},
        {overwriteOnly, true, OverwriteDecision::Rename}, // never replaced beside its source
        {overwriteAndSkip, true, OverwriteDecision::Skip},
        {overwriteAndStop, true, OverwriteDecision::Stop},
        {policyForChoice(OverwriteChoice::Skip), false, OverwriteDecision::Skip},
        {policyForChoice(OverwriteChoice::Stop), false, OverwriteDecision::Stop},
        {policyForChoice(OverwriteChoice::Rename), true, OverwriteDecision::Rename},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decisionWithoutAsking(c.policy, c.sameFolder), c.expected);

    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    EXPECT_EQ(decisionWithoutAsking(readSchedulerPolicy(store), false), std::nullopt) << "no settings: ask";
    ASSERT_TRUE(store.writeBool("Overwrite", "AlwaysPrompt", false));
    const OverwritePolicy fallThrough = readSchedulerPolicy(store);
    EXPECT_EQ(decisionWithoutAsking(fallThrough, false), OverwriteDecision::Overwrite)
        << "the scheduler's defaults are true";
    EXPECT_EQ(decisionWithoutAsking(fallThrough, true), OverwriteDecision::Skip);
}

TEST(Overwrite, QuestionsAndRememberedAnswers)
{
    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    StoredOverwritePolicy policy(store);
    ScriptedQuestion question;
    question.replies = {
        {OverwriteAnswer::Overwrite, false}, {OverwriteAnswer::Overwrite, false}, {OverwriteAnswer::Rename, true}};

    EXPECT_EQ(decideForExistingOutput("/out/a.stl", false, policy, question), OverwriteDecision::Overwrite);
    EXPECT_EQ(decideForExistingOutput("/src/a.stl", true, policy, question), OverwriteDecision::Skip)
        << "an overwrite answer beside the source is taken as Skip";
    EXPECT_EQ(decideForExistingOutput("/out/b.stl", false, policy, question), OverwriteDecision::Rename);
    ASSERT_EQ(question.asked.size(), 3u);
    EXPECT_TRUE(question.asked[0].overwriteOffered);
    EXPECT_FALSE(question.asked[1].overwriteOffered) << "same-folder mode offers Rename and Skip only";

    EXPECT_EQ(decideForExistingOutput("/out/c.stl", false, policy, question), OverwriteDecision::Rename);
    EXPECT_EQ(question.asked.size(), 3u) << "remembered: no further question";
    EXPECT_EQ(readSchedulerPolicy(store), policyForChoice(OverwriteChoice::Rename));
    EXPECT_EQ(overwriteQuestionText("/out/a.stl"),
              "The output file \"/out/a.stl\" already exists. What would you like to do?");

    // A dismissed question decides nothing; a fixed policy remembers for the
    // rest of its run and in the store.
    const SettingsStore other(dir / "Other.ini");
    FixedOverwritePolicy fixed(policyForChoice(OverwriteChoice::Prompt), &other);
    ScriptedQuestion dismissed;
    EXPECT_EQ(decideForExistingOutput("/out/a.stl", false, fixed, dismissed), std::nullopt);
    dismissed.replies = {{OverwriteAnswer::Skip, true}};
    EXPECT_EQ(decideForExistingOutput("/out/a.stl", false, fixed, dismissed), OverwriteDecision::Skip);
    EXPECT_EQ(decideForExistingOutput("/out/b.stl", false, fixed, dismissed), OverwriteDecision::Skip);
    EXPECT_EQ(dismissed.asked.size(), 2u);
    EXPECT_TRUE(other.readBool("Overwrite", "NeverOverwrite", false));
    EXPECT_FALSE(other.readBool("Overwrite", "AlwaysPrompt", true));
}

TEST(Overwrite, OptionsPage)
{
    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    OverwriteOptions options = loadOverwriteOptions(store);
    EXPECT_EQ(options.choice, OverwriteChoice::Prompt);
    EXPECT_EQ(options.nameTemplate, DefaultNameTemplate);
    EXPECT_FALSE(nameTemplateControlsEnabled(options));

    options.choice = OverwriteChoice::Rename;
    options.nameTemplate = "%FILENAME%-%NUMBER%";
    EXPECT_TRUE(nameTemplateControlsEnabled(options));
    EXPECT_FALSE(resetTemplateEnabled(options)) << "the default, compared without case";
    EXPECT_EQ(commitOverwriteOptions(store, options), OverwriteOptionsCommit::MissingMarkers);
    EXPECT_EQ(loadOverwriteOptions(store).choice, OverwriteChoice::Rename) << "the buttons are stored first";
    EXPECT_EQ(store.readText("Overwrite", "EnumerateTEXT", "unset"), "unset");

    options.nameTemplate = "%filename%*%number%";
    EXPECT_TRUE(resetTemplateEnabled(options));
    EXPECT_EQ(commitOverwriteOptions(store, options), OverwriteOptionsCommit::InvalidCharacter);
    options.nameTemplate = "%number%_%filename%";
    EXPECT_EQ(commitOverwriteOptions(store, options), OverwriteOptionsCommit::Stored);
    EXPECT_EQ(loadOverwriteOptions(store).nameTemplate, "%number%_%filename%");

    options.choice = OverwriteChoice::Stop;
    options.nameTemplate = "broken";
    EXPECT_EQ(commitOverwriteOptions(store, options), OverwriteOptionsCommit::Stored)
        << "the template is checked only while numbering is chosen";
    EXPECT_EQ(readSchedulerPolicy(store), policyForChoice(OverwriteChoice::Stop));
}

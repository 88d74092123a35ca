#include "app/effects.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

SettingsStore storeIn(const TempDir& dir)
{
    return SettingsStore(dir / "Morvex.ini");
}

} // namespace

TEST(Effects, NumberBoxAcceptsOnlyPlainDecimalsInRange)
{
    struct Case {
        const char* text;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"-0.5", -0.5},
        {".5", 0.5},
        {"-.5", -0.5},
        {"12.", 12.0},
        {"0", 0.0},
        {"1000000", 1e6},
        {"-1000000", -1e6},
        {"007", 7.0},
        {"1e3", std::nullopt},
        {"1,5", std::nullopt},
        {"1.2.3", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {".", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"--1", std::nullopt},
        {"2000000", std::nullopt},
        {"1000000.5", std::nullopt},
        {"inf", std::nullopt},
        {"1-", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseEffectNumber(c.text), c.expected) << '"' << c.text << '"';
}

TEST(Effects, BoxTextShowsStoredDecimalsAndIsAcceptedAgain)
{
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {1.0, "1"},
        {0.0, "0"},
        {-0.0, "0"},
        {-0.5, "-0.5"},
        {0.0005, "0.0005"},
        {1e-7, "0.0000001"},
        {-1e-9, "0"},
        {123.456, "123.456"},
        {1e6, "1000000"},
        {-2e6, "-1000000"},
        {0.123456789, "0.12345679"},
        {100.0, "100"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(effectNumberText(c.value), c.text) << c.value;
        EXPECT_TRUE(parseEffectNumber(effectNumberText(c.value)).has_value()) << c.value;
    }
}

TEST(Effects, ScaleRoundingAndTwoZeroAxesWarning)
{
    struct Case {
        EffectVector entered;
        EffectVector committed;
        bool warning;
    };
    const Case cases[] = {
        {{0.0005, 1, 1}, {0, 1, 1}, false}, // one zero axis: no warning
        {{0.0005, 0, 1}, {0, 0, 1}, true},  // two zero axes
        {{-0.0009, 0.001, 1e-8}, {0, 0.001, 0}, true},
        {{0.001, -0.001, 2}, {0.001, -0.001, 2}, false}, // the limit itself is kept
        {{5e6, -5e6, 0}, {1e6, -1e6, 0}, false},         // clamped into the range
    };
    for (const Case& c : cases) {
        const ScaleCommit commit = prepareScale(c.entered);
        EXPECT_EQ(commit.scale, c.committed) << c.entered.x << " " << c.entered.y << " " << c.entered.z;
        EXPECT_EQ(commit.needsZeroScaleWarning, c.warning) << c.entered.x << " " << c.entered.y;
    }
}

TEST(Effects, DialogCommitStoresSwitchesAlwaysAndNumbersOnlyWhenConfirmed)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    EffectSettings edited;
    edited.recalculateNormals = true;
    edited.translation = {1.5, -2, 0};
    edited.scale = {0.0005, 0, 3};

    int asked = 0;
    EXPECT_FALSE(commitEffectsDialog(store, edited, [&] { return ++asked, false; })) << "Cancel keeps the dialog";
    EXPECT_EQ(asked, 1);
    EffectSettings stored = loadEffects(store);
    EXPECT_TRUE(stored.recalculateNormals) << "the switches are stored before the warning";
    EXPECT_EQ(stored.translation, (EffectVector{0, 0, 0})) << "no numbers stored after Cancel";
    EXPECT_EQ(stored.scale, (EffectVector{1, 1, 1}));

    EXPECT_TRUE(commitEffectsDialog(store, edited, [&] { return ++asked, true; })) << "Apply anyway";
    stored = loadEffects(store);
    EXPECT_EQ(stored.translation, (EffectVector{1.5, -2, 0}));
    EXPECT_EQ(stored.scale, (EffectVector{0, 0, 3})) << "the zero scale is stored as asked";
    EXPECT_EQ(store.readText("Effects", "CustomTranslationX"), "1.50000000");

    edited.scale = {2, 0.0005, 1};
    EXPECT_TRUE(commitEffectsDialog(store, edited, nullptr)) << "a single zero axis asks nothing";
    EXPECT_EQ(loadEffects(store).scale, (EffectVector{2, 0, 1}));
}

TEST(Effects, RowDialogsSwitchTheTransformOnAndStoreTheirRow)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    ASSERT_TRUE(commitEffectRow(store, EffectRow::Translation, {0, 0, 0}, nullptr));
    EffectSettings stored = loadEffects(store);
    EXPECT_TRUE(stored.applyCustomTransform) << "even with three zeros";
    EXPECT_FALSE(stored.recalculateNormals);

    ASSERT_TRUE(commitEffectRow(store, EffectRow::Rotation, {10, 20, 30}, nullptr));
    EXPECT_FALSE(commitEffectRow(store, EffectRow::Scale, {0, 0, 1}, [] { return false; }));
    stored = loadEffects(store);
    EXPECT_EQ(stored.rotation, (EffectVector{10, 20, 30}));
    EXPECT_EQ(stored.scale, (EffectVector{1, 1, 1}));
}

TEST(Effects, StoredEffectsReachTheRunSettings)
{
    TempDir dir;
    const SettingsStore store = storeIn(dir);
    writeFile(store.filePath(), "[Effects]\nRemoveDuplicateTriangles=1\nApplyCustomTransform=yes\n"
                                "CustomScaleX=2\nCustomScaleY=abc\nCustomScaleZ=1e30\n"
                                "CustomRotationZ=90.00000000\nCustomTranslationX=1\nCustomTranslationY=2\n"
                                "CustomTranslationZ=3\n");
    const EffectSettings effects = loadEffects(store);
    EXPECT_EQ(effects.scale, (EffectVector{2, 1, 1e6})) << "not a number: default; too large: clamped";

    ConversionSettings settings;
    loadEffectsInto(effects, settings);
    EXPECT_FALSE(settings.recalculateNormalsOn);
    EXPECT_TRUE(settings.removeDuplicatesOn);
    EXPECT_TRUE(settings.customTransformOn);
    // Scaled first (x by 2), then turned 90 degrees about Z, then moved.
    const Vector3 moved = transformPoint({1, 0, 0}, settings.customMatrix);
    EXPECT_NEAR(moved.x, 1.0f, 1e-5f);
    EXPECT_NEAR(moved.y, 4.0f, 1e-5f);
    EXPECT_NEAR(moved.z, 3.0f, 1e-5f);

    ConversionSettings plain;
    loadEffectsInto(EffectSettings{}, plain);
    EXPECT_EQ(plain.customMatrix, Matrix4::identity());
}

TEST(Effects, StartupCheckAndClearing)
{
    struct Case {
        bool applyEffects;
        bool normalsOn;
        bool dontShow;
        StartupEffectsDecision expected;
    };
    const Case cases[] = {
        {false, true, false, StartupEffectsDecision::Clear},
        {true, false, false, StartupEffectsDecision::Clear},
        {true, true, false, StartupEffectsDecision::Ask},
        {true, true, true, StartupEffectsDecision::Keep},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const SettingsStore store = storeIn(dir);
        EffectSettings effects;
        effects.recalculateNormals = c.normalsOn;
        effects.scale = {2, 2, 2};
        ASSERT_TRUE(storeEffects(store, effects));
        ASSERT_TRUE(store.writeBool("Options", "ApplyEffects", c.applyEffects));
        ASSERT_TRUE(store.writeBool("Effects", "LoadEffectsDontShowMsg", c.dontShow));
        EXPECT_EQ(runStartupEffectsCheck(store), c.expected);
        const EffectSettings after = loadEffects(store);
        if (c.expected == StartupEffectsDecision::Clear) {
            EXPECT_FALSE(after.anySwitchOn());
            EXPECT_EQ(after.scale, (EffectVector{1, 1, 1})) << "cleared numbers";
        } else {
            EXPECT_EQ(after.scale, (EffectVector{2, 2, 2})) << "kept until answered";
        }
    }

    TempDir dir;
    const SettingsStore store = storeIn(dir);
    EffectSettings effects;
    effects.applyCustomTransform = true;
    effects.rotation = {0, 45, 0};
    ASSERT_TRUE(storeEffects(store, effects));
    ASSERT_TRUE(applyReuseEffectsAnswer(store, true, true));
    EXPECT_EQ(loadEffects(store).rotation, (EffectVector{0, 45, 0}));
    EXPECT_TRUE(loadEffects(store).loadEffectsDontShowMsg);
    ASSERT_TRUE(applyReuseEffectsAnswer(store, false, false));
    EXPECT_EQ(loadEffects(store), EffectSettings{}) << "No, clear effects";

    ASSERT_TRUE(storeEffects(store, effects));
    ASSERT_TRUE(storeApplyEffectsOption(store, true));
    EXPECT_TRUE(loadEffects(store).applyCustomTransform);
    ASSERT_TRUE(storeApplyEffectsOption(store, false));
    EXPECT_FALSE(applyEffectsOption(store));
    EXPECT_FALSE(loadEffects(store).applyCustomTransform) << "switching the option off clears the effects";
}

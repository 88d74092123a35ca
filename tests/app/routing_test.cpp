#include "app/input_formats.h"
#include "app/media_kinds.h"
#include "app/open_dialog.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

TEST(Routing, ExtensionsAreClassifiedByTheirLists)
{
    struct Case {
        const char* extension;
        MediaKind media;
        bool supported;
        bool native;
    };
    const Case cases[] = {
        {".STL", MediaKind::None, true, true},      {"3dp", MediaKind::None, true, true},
        {".FBX", MediaKind::None, true, false},     {".ifc", MediaKind::None, true, false},
        {".Mdl", MediaKind::None, true, false},     {".xsi", MediaKind::None, false, false},
        {".xyz", MediaKind::None, false, false},    {"", MediaKind::None, false, false},
        {".RAW", MediaKind::Image, true, false}, // an image first, though a reader would take it
        {".ac3", MediaKind::Audio, false, false},   {"aiff", MediaKind::Audio, false, false},
        {".mp3", MediaKind::Audio, false, false},   {".MP4", MediaKind::Video, false, false},
        {".hdp", MediaKind::Image, false, false},   {".7z", MediaKind::Compressed, false, false},
        {".h", MediaKind::Document, false, false},  {".ac", MediaKind::None, true, false},
        {".MD5MESH", MediaKind::None, true, false}, // MD5 models as they are named on disk
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mediaKindOf(c.extension), c.media) << c.extension;
        EXPECT_EQ(isSupportedInput(c.extension), c.supported) << c.extension;
        EXPECT_EQ(isNativeInput(c.extension), c.native) << c.extension;
    }
    EXPECT_EQ(formatFlagsFor(".obj"), 0x30u);
    EXPECT_EQ(formatFlagsFor(".dae"), 0x10u);
    EXPECT_EQ(formatFlagsFor(".xsi"), 0u);
    EXPECT_EQ(mediaNoticeTitle(mediaKindOf("mp3")), "Audio File Selected");
    EXPECT_EQ(mediaNoticeTitle(MediaKind::Compressed), "Compress File Selected");
    EXPECT_NE(mediaNoticeText(MediaKind::Audio, "/music/clip.mp3").find("\"clip.mp3\" is an audio file"),
              std::string::npos);
}

TEST(Routing, NotConvertibleReasonLooksAtMdlMagic)
{
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        std::string_view expected;
    };
    const Case cases[] = {
        {"a.mdl", "IDST\x2c\0\0\0", UnsupportedMdlText},
        {"b.MDL", "TSDI....", UnsupportedMdlText},
        {"c.mdl", "IDPO....", NotConvertibleText},
        {"d.stl", "IDST....", NotConvertibleText},
        {"e.mdl", "ID", NotConvertibleText},
        {"f.mdl", "", NotConvertibleText},
    };
    for (const Case& c : cases) {
        writeFile(dir / c.name, c.content);
        EXPECT_EQ(notConvertibleReason(dir / c.name), c.expected) << c.name;
    }
    EXPECT_EQ(notConvertibleReason(dir / "missing.mdl"), NotConvertibleText);

    const SettingsStore store(dir / "Morvex.ini");
    EXPECT_EQ(recordPreviewOutcome(store, dir / "a.mdl", OperationResult::Failure), UnsupportedMdlText);
    EXPECT_EQ(storedPreviewReason(store), UnsupportedMdlText);
    EXPECT_EQ(recordPreviewOutcome(store, dir / "c.mdl", OperationResult::Success), "");
    EXPECT_EQ(storedPreviewReason(store), "") << "a file that reads well leaves no failure behind";
    EXPECT_FALSE(store.valueExists("Preview", "Status"));
}

TEST(Routing, FileDialogFiltersAndStartFolder)
{
    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    EXPECT_FALSE(inputDialogFolder(store).empty());
    ASSERT_TRUE(rememberInputFolder(store, dir / "models" / "first.stl"));
    EXPECT_EQ(inputDialogFolder(store), dir / "models");

    const std::vector<FileDialogFilter> filters = modelFileDialogFilters();
    ASSERT_EQ(filters.size(), 3u + 45u);
    EXPECT_EQ(filters[0].patterns, "*.*");
    EXPECT_EQ(filters[1].name, "Model Formats");
    EXPECT_EQ(filters[1].patterns.find("*.ifc"), std::string::npos);
    EXPECT_EQ(filters[1].patterns.substr(0, 16), "*.3d;*.3dp;*.3ds");
    EXPECT_EQ(filters[2].patterns, "*.3ds;*.3mf;*.blend;*.dae;*.fbx;*.glb;*.gltf;*.obj;*.stl;");
    EXPECT_EQ(filters[3].name, "3D File Format (*.3d)");
    EXPECT_EQ(filters.back().patterns, "*.zgl");
}

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"
#include "support/zip/zip_component.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

using namespace morvex;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::threemf_test::scratchFolders;
using morvex::threemf_test::setColors;

namespace {

ModelObject& addTriangleObject(Model& model, Vector3 offset = {0, 0, 0})
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(3));
    object.vertices[0] = {offset.x + 0.0f, offset.y + 0.0f, offset.z};
    object.vertices[1] = {offset.x + 1.0f, offset.y + 0.0f, offset.z};
    object.vertices[2] = {offset.x + 0.0f, offset.y + 1.0f, offset.z};
    EXPECT_TRUE(object.indices.allocate(3));
    for (std::uint32_t i = 0; i < 3; ++i)
        object.indices[i] = i;
    return object;
}

struct WrittenPackage {
    std::vector<std::string> entryNames;
    std::string contentTypes;
    std::string relationships;
    std::string model;
};

// Writes the model and unpacks the package with the zip component.
WrittenPackage writeAndUnpack(const Model& model, const TempDir& temp)
{
    WrittenPackage package;
    const std::filesystem::path path = temp / "out.3mf";
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(threemf::write3mf(path, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    threemf_test::expectStrictlyReadable(path);
    std::vector<ZipEntryInfo> entries;
    EXPECT_EQ(listZipEntries(path, entries, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    for (const ZipEntryInfo& entry : entries) {
        package.entryNames.push_back(entry.name);
        EXPECT_EQ(extractZipEntry(path, entry.name, temp / "unpacked", reporter, 1 << 30, &failure),
                  OperationResult::Success)
            << describeFailure(failure);
    }
    package.contentTypes = readFile(temp / "unpacked" / "[Content_Types].xml");
    package.relationships = readFile(temp / "unpacked" / "_rels" / ".rels");
    package.model = readFile(temp / "unpacked" / "3D" / "3dmodel.model");
    return package;
}

std::size_t countOf(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Every piece of the text from `start` up to and including the next `end`.
std::vector<std::string> piecesBetween(const std::string& text, const std::string& start, const std::string& end)
{
    std::vector<std::string> found;
    for (std::size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
        const std::size_t stop = text.find(end, at);
        found.push_back(text.substr(at, stop == std::string::npos ? std::string::npos : stop + end.size() - at));
    }
    return found;
}

} // namespace

TEST(ThreeMfWriter, WritesThePackagePartsOfAnUncolouredModel)
{
    TempDir temp;
    Model model;
    addTriangleObject(model);
    const std::vector<std::string> before = scratchFolders();
    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_EQ(scratchFolders(), before) << "the staging folder is removed";

    EXPECT_EQ(package.entryNames, (std::vector<std::string>{"3D/3dmodel.model", "[Content_Types].xml", "_rels/.rels"}));
    EXPECT_EQ(
        package.contentTypes,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">\r\n"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>\r\n"
        "<Default Extension=\"model\" ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>\r\n"
        "</Types>\r\n");
    EXPECT_EQ(package.relationships,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\r\n"
              "<Relationship Target=\"/3D/3dmodel.model\" Id=\"rel10\" "
              "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>\r\n"
              "</Relationships>\r\n");
    // No colours: no colour group, no pid anywhere, bare triangle lines.
    EXPECT_EQ(package.model,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<model unit=\"millimeter\" xml:lang=\"en-US\" "
              "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\" "
              "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
              "xmlns:morvex=\"urn:morvex:3mf:metadata\" >"
              "<resources><object id=\"1\" type=\"model\" ><mesh><vertices>"
              "<vertex x=\"0.000000\" y=\"0.000000\" z=\"0.000000\" />\n"
              "<vertex x=\"1.000000\" y=\"0.000000\" z=\"0.000000\" />\n"
              "<vertex x=\"0.000000\" y=\"1.000000\" z=\"0.000000\" />\n"
              "</vertices>\n<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\" />\n</triangles>\n</mesh>\n</object>\n"
              "</resources>\n<build><item objectid=\"1\" />\n</build>\n</model>\n");
}

TEST(ThreeMfWriter, KeepsModelAttributesAndWritesMetadataOnce)
{
    struct Case {
        std::vector<std::pair<std::string, std::string>> properties;
        std::vector<std::string> metadata;
    };
    const Case cases[] = {
        {{{"Title", "Bracket"}, {"ModelName", "solid"}},
         {"<metadata name=\"morvex:ModelName\">solid</metadata>", "<metadata name=\"Title\">Bracket</metadata>"}},
        {{{"ModelName", "solid"}},
         {"<metadata name=\"morvex:ModelName\">solid</metadata>", "<metadata name=\"Title\">solid</metadata>"}},
        {{{"ModelName", ""}, {"Designer", "Ann"}},
         {"<metadata name=\"Designer\">Ann</metadata>", "<metadata name=\"morvex:ModelName\"></metadata>"}},
        // Package bookkeeping is not metadata.
        {{{"BuildItem:object_1", "1"},
          {"BuildItem:transform_1", "1 0 0 0 1 0 0 0 1 10 20 30"},
          {"Component:transform_4", "1 0 0 0 1 0 0 0 1 0 0 0"},
          {"3DPszFilePath", "/a.3dp"},
          {"3DPiFileType", "0"},
          {"3DPbHaveChanges", "1"},
          {"3DPbUntitled", "1"}},
         {"<metadata name=\"morvex:3DPbUntitled\">1</metadata>"}},
    };
    for (const Case& c : cases) {
        TempDir temp;
        Model model;
        addTriangleObject(model);
        for (const auto& [key, value] : c.properties)
            model.properties.setProperty(key, value);
        const WrittenPackage package = writeAndUnpack(model, temp);
        EXPECT_EQ(piecesBetween(package.model, "<metadata ", "</metadata>"), c.metadata) << c.properties[0].first;
        EXPECT_EQ(package.model.find("<item objectid=\"1\" />"), package.model.find("<item ")) << "no transform";
    }

    TempDir temp;
    Model model;
    addTriangleObject(model);
    model.properties.setProperty("Model:unit", "inch");
    model.properties.setProperty("Model:xml:lang", "de-DE");
    // A source of the first form declared its own namespaces; the package
    // written is of the 2015/02 form whatever they were.
    model.properties.setProperty("Model:xmlns", "http://schemas.microsoft.com/3dmanufacturing/2013/01");
    model.properties.setProperty("Model:xmlns:m", std::string(300, 'm'));
    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_NE(package.model.find("<model unit=\"inch\" xml:lang=\"de-DE\" "
                                 "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\" "
                                 "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "),
              std::string::npos)
        << package.model.substr(0, 400);
    model.properties.setProperty("Model:unit", "parsec");
    EXPECT_NE(writeAndUnpack(model, temp).model.find("<model unit=\"millimeter\" "), std::string::npos)
        << "only the units the format knows";
}

TEST(ThreeMfWriter, RenumbersObjectsAndKeepsPartNumbersWithTheirObjects)
{
    TempDir temp;
    Model model;
    ModelObject& first = addTriangleObject(model);
    first.properties.setProperty("id", "7");
    first.properties.setProperty("name", "Left <part>");
    first.properties.setProperty("partnumber", "P-7");
    model.addObject()->properties.setProperty("id", "5"); // no vertices: left out
    ModelObject& third = addTriangleObject(model);
    third.properties.setProperty("id", "3");
    third.properties.setProperty("type", "support");
    third.properties.setProperty("thumbnail", "/Metadata/t.png");
    model.properties.setProperty("BuildItem:partnumber_3", "Item-3");
    model.properties.setProperty("BuildItem:partnumber_7", "Item-7");

    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_EQ(
        piecesBetween(package.model, "<object ", ">"),
        (std::vector<std::string>{"<object id=\"1\" type=\"model\" partnumber=\"P-7\" name=\"Left &lt;part&gt;\" >",
                                  "<object id=\"2\" type=\"support\" >"}))
        << "no thumbnail attribute: its part is not written";
    EXPECT_EQ(piecesBetween(package.model, "<item ", ">"),
              (std::vector<std::string>{"<item objectid=\"1\" partnumber=\"Item-7\" />",
                                        "<item objectid=\"2\" partnumber=\"Item-3\" />"}));
    EXPECT_EQ(first.properties.getProperty("id"), "7") << "the model itself is not changed";
}

TEST(ThreeMfWriter, OneSharedColourMakesOnePaletteEntry)
{
    TempDir temp;
    Model model;
    setColors(addTriangleObject(model), {0xFF102030, 0xFF102030, 0xFF102030});
    setColors(addTriangleObject(model, {5, 0, 0}), {0xFF102030, 0xFF102030, 0xFF102030});
    const WrittenPackage package = writeAndUnpack(model, temp);
    // Objects are 1 and 2, so the colour group takes 3.
    EXPECT_NE(package.model.find("<resources><m:colorgroup id=\"3\" ><m:color color=\"#102030FF\" />\n"
                                 "</m:colorgroup><object id=\"1\" type=\"model\" pid=\"3\" pindex=\"0\" >"),
              std::string::npos)
        << package.model;
    EXPECT_EQ(countOf(package.model, "<m:color "), 1u);
    EXPECT_EQ(countOf(package.model, "pid=\"3\" pindex=\"0\" >"), 2u);
    EXPECT_EQ(piecesBetween(package.model, "<triangle ", "/>"),
              (std::vector<std::string>{"<triangle v1=\"0\" v2=\"1\" v3=\"2\" pid=\"3\" />",
                                        "<triangle v1=\"0\" v2=\"1\" v3=\"2\" pid=\"3\" />"}));
}

TEST(ThreeMfWriter, WritesCornerColoursAsPaletteNumbers)
{
    constexpr ArgbColor red = 0xFFFF0000, green = 0x8000FF00, blue = 0xFF0000FF;
    TempDir temp;
    Model model;
    // Per vertex (three colours for three vertices, six corners).
    ModelObject& perVertex = addTriangleObject(model);
    ASSERT_TRUE(perVertex.indices.resize(6));
    perVertex.indices[3] = 2, perVertex.indices[4] = 1, perVertex.indices[5] = 0;
    setColors(perVertex, {red, green, blue});
    // Per corner, with corners at palette entry 0 behind other entries.
    ModelObject& perCorner = addTriangleObject(model);
    ASSERT_TRUE(perCorner.indices.resize(9));
    for (std::uint32_t i = 3; i < 9; ++i)
        perCorner.indices[i] = i % 3;
    setColors(perCorner, {green, red, red, red, green, green, blue, blue, blue});
    // Uncoloured: does not take on the first palette colour.
    addTriangleObject(model);

    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_NE(package.model.find("<m:colorgroup id=\"4\" ><m:color color=\"#FF0000FF\" />\n"
                                 "<m:color color=\"#00FF0080\" />\n<m:color color=\"#0000FFFF\" />\n</m:colorgroup>"),
              std::string::npos);
    EXPECT_EQ(piecesBetween(package.model, "<triangle ", "/>"),
              (std::vector<std::string>{
                  "<triangle v1=\"0\" v2=\"1\" v3=\"2\" p1=\"0\" p2=\"1\" p3=\"2\" pid=\"4\" />",
                  "<triangle v1=\"2\" v2=\"1\" v3=\"0\" p1=\"2\" p2=\"1\" p3=\"0\" pid=\"4\" />",
                  "<triangle v1=\"0\" v2=\"1\" v3=\"2\" p1=\"1\" p2=\"0\" p3=\"0\" pid=\"4\" />",
                  "<triangle v1=\"0\" v2=\"1\" v3=\"2\" p1=\"0\" p2=\"1\" p3=\"1\" pid=\"4\" />",
                  "<triangle v1=\"0\" v2=\"1\" v3=\"2\" p1=\"2\" p2=\"2\" p3=\"2\" pid=\"4\" />",
                  "<triangle v1=\"0\" v2=\"1\" v3=\"2\" />",
              }));
    EXPECT_EQ(piecesBetween(package.model, "<object ", ">"),
              (std::vector<std::string>{"<object id=\"1\" type=\"model\" pid=\"4\" pindex=\"0\" >",
                                        "<object id=\"2\" type=\"model\" pid=\"4\" pindex=\"0\" >",
                                        "<object id=\"3\" type=\"model\" >"}));
}

TEST(ThreeMfWriter, AppliesPlacementAndSkipsBrokenTriangles)
{
    TempDir temp;
    Model model;
    ModelObject& moved = addTriangleObject(model);
    moved.position = {5, 0, 0};
    ModelObject& turned = addTriangleObject(model);
    turned.scale = {2, 1, 1};
    turned.rotation = {0, 0, 90};
    turned.position = {0, 0, 5};
    ASSERT_TRUE(turned.indices.resize(8)); // a triangle out of range, two stray corners
    turned.indices[3] = 0, turned.indices[4] = 3, turned.indices[5] = 1, turned.indices[6] = 0, turned.indices[7] = 1;

    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_EQ(piecesBetween(package.model, "<vertex ", "/>"),
              (std::vector<std::string>{
                  "<vertex x=\"5.000000\" y=\"0.000000\" z=\"0.000000\" />",
                  "<vertex x=\"6.000000\" y=\"0.000000\" z=\"0.000000\" />",
                  "<vertex x=\"5.000000\" y=\"1.000000\" z=\"0.000000\" />",
                  "<vertex x=\"0.000000\" y=\"0.000000\" z=\"5.000000\" />",
                  // (1, 0, 0) scaled to (2, 0, 0), turned to (0, 2, 0), moved up 5.
                  "<vertex x=\"0.000000\" y=\"2.000000\" z=\"5.000000\" />",
                  "<vertex x=\"-1.000000\" y=\"0.000000\" z=\"5.000000\" />",
              }));
    EXPECT_EQ(countOf(package.model, "<triangle "), 2u);
}

TEST(ThreeMfWriter, CoordinatesAreWrittenAsPrintfWritesThem)
{
    std::vector<float> values = {0.0078125f,  -0.0078125f,  0.0234375f,  1e-7f, -1e-7f, -0.0f,  0.5f,
                                 123456.789f, -98765.4321f, 16777216.0f, 1e9f,  -1e9f,  2.5e8f, 1.4e-45f};
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> wide(-1e7f, 1e7f);
    std::uniform_real_distribution<float> narrow(-1.0f, 1.0f);
    for (int i = 0; i < 3000; ++i)
        values.push_back(i % 2 ? wide(random) : narrow(random));
    // Exact ties at the sixth decimal: k / 128 with odd k.
    for (int k = 1; k < 200; k += 2)
        values.push_back(static_cast<float>(k) / 128.0f + 1000.0f * static_cast<float>(k));
    while (values.size() % 3 != 0)
        values.push_back(0.25f);

    TempDir temp;
    Model model;
    ModelObject& object = *model.addObject();
    ASSERT_TRUE(object.vertices.allocate(static_cast<std::uint32_t>(values.size() / 3)));
    for (std::uint32_t i = 0; i < object.vertices.count(); ++i)
        object.vertices[i] = {values[3 * i], values[3 * i + 1], values[3 * i + 2]};
    ASSERT_TRUE(object.indices.allocate(3));
    object.indices[0] = 0, object.indices[1] = 1, object.indices[2] = 2;
    const WrittenPackage package = writeAndUnpack(model, temp);

    std::string expected;
    char buffer[128];
    for (std::size_t i = 0; i < values.size(); i += 3) {
        std::snprintf(buffer, sizeof buffer, "<vertex x=\"%f\" y=\"%f\" z=\"%f\" />\n", values[i], values[i + 1],
                      values[i + 2]);
        expected += buffer;
    }
    const std::size_t start = package.model.find("<vertices>") + 10;
    EXPECT_EQ(package.model.substr(start, package.model.find("</vertices>") - start), expected);

    // Beyond a billion, readers refuse the package: the write fails instead.
    object.vertices[1].y = 1.5e9f;
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(threemf::write3mf(temp / "huge.3mf", model, reporter, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "the model has coordinates beyond 1000000000, which 3MF readers refuse");
    EXPECT_FALSE(std::filesystem::exists(temp / "huge.3mf"));
}

TEST(ThreeMfWriter, EscapesTextSoThePartStaysWellFormed)
{
    TempDir temp;
    Model model;
    ModelObject& object = addTriangleObject(model);
    object.properties.setProperty("name", "a\"b'c&d<e>f\tg\nh");
    model.properties.setProperty("Title", "Fish & Chips <deluxe> \"quoted\" 'single'\r\nline\x01\x1f end\xef\xbf\xbf");
    model.properties.setProperty("Designer", "M\xfcller"); // Windows-1252, not UTF-8
    model.properties.setProperty("a\"<b>", "x");
    const WrittenPackage package = writeAndUnpack(model, temp);
    EXPECT_NE(package.model.find("name=\"a&quot;b&apos;c&amp;d&lt;e&gt;f g h\" >"), std::string::npos);
    EXPECT_NE(package.model.find("<metadata name=\"Title\">Fish &amp; Chips &lt;deluxe&gt; &quot;quoted&quot; "
                                 "&apos;single&apos;&#13;\nline end</metadata>"),
              std::string::npos);
    EXPECT_NE(package.model.find("<metadata name=\"Designer\">M\xc3\xbcller</metadata>"), std::string::npos);
    EXPECT_NE(package.model.find("<metadata name=\"morvex:a&quot;&lt;b&gt;\">x</metadata>"), std::string::npos);
}

TEST(ThreeMfWriter, CancelledOrFailedWritesLeaveNothingBehind)
{
    TempDir temp;
    Model model;
    ModelObject& object = *model.addObject();
    constexpr std::uint32_t count = 30000;
    ASSERT_TRUE(object.vertices.allocate(count));
    ASSERT_TRUE(object.indices.allocate(count));
    ASSERT_TRUE(object.colors.allocate(count));
    for (std::uint32_t i = 0; i < count; ++i) {
        object.vertices[i] = {static_cast<float>(i), static_cast<float>(i % 7), 0.5f};
        object.indices[i] = i;
        object.colors[i] = 0xFF000000u | (i % 5);
    }
    const std::vector<std::string> before = scratchFolders();
    const std::filesystem::path path = temp / "out.3mf";

    RecordingReporter counting;
    Failure failure;
    ASSERT_EQ(threemf::write3mf(path, model, counting, &failure), OperationResult::Success) << describeFailure(failure);
    const std::uint64_t checks = counting.cancelChecks();
    EXPECT_GT(checks, 400u) << "stop questions while vertices and triangles are written";
    EXPECT_EQ(counting.progress.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(counting.progress.begin(), counting.progress.end()));
    EXPECT_EQ(counting.lastStatus(0), "Finalizing 3MF file...");
    const std::string written = readFile(path);

    for (std::uint64_t stopAt : {std::uint64_t{1}, std::uint64_t{2}, checks / 3, checks - 3, checks - 2, checks - 1}) {
        RecordingReporter stopping;
        stopping.cancelAfterChecks(stopAt);
        EXPECT_EQ(threemf::write3mf(path, model, stopping, &failure), OperationResult::Cancelled) << stopAt;
        EXPECT_EQ(readFile(path), written) << "the earlier file is untouched";
    }
    RecordingReporter reporter;
    failure = {};
    EXPECT_EQ(threemf::write3mf(temp / "missing" / "out.3mf", model, reporter, &failure), OperationResult::Failure);
    EXPECT_FALSE(failure.message.empty());
    EXPECT_EQ(scratchFolders(), before);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path()))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"out.3mf"});
}

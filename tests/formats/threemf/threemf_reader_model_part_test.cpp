#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/threemf/threemf_model_part.h"
#include "support/core/memory_guard.h"

#include <gtest/gtest.h>

#include <string>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

constexpr const char* Header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<model unit=\"millimeter\" xml:lang=\"en-US\" "
                               "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
                               "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\">\n";

// A unit tetrahedron's mesh with extra triangle attributes per triangle.
std::string tetrahedron(const std::string& objectAttributes, const std::string (&triangleAttributes)[4])
{
    std::string text = "<object id=\"1\" type=\"model\" " + objectAttributes +
                       "><mesh><vertices>\n"
                       "<vertex x=\"0\" y=\"0\" z=\"0\"/>\n<vertex x=\"1\" y=\"0\" z=\"0\"/>\n"
                       "<vertex x=\"0\" y=\"1\" z=\"0\"/>\n<vertex x=\"0\" y=\"0\" z=\"1\"/>\n</vertices><triangles>\n";
    const char* corners[4] = {"v1=\"0\" v2=\"2\" v3=\"1\"", "v1=\"0\" v2=\"1\" v3=\"3\"", "v1=\"0\" v2=\"3\" v3=\"2\"",
                              "v1=\"1\" v2=\"2\" v3=\"3\""};
    for (int t = 0; t < 4; ++t)
        text += std::string("<triangle ") + corners[t] + " " + triangleAttributes[t] + "/>\n";
    return text + "</triangles></mesh></object>\n";
}

struct Read {
    OperationResult result;
    Failure failure;
};

Read readPart(const TempDir& dir, const std::string& text, Model& model, ProgressReporter& reporter)
{
    const auto path = dir / "3dmodel.model";
    writeFile(path, text);
    Read read{};
    read.result = threemf::read3mfModelPart(path, model, reporter, &read.failure);
    return read;
}

Read readPart(const TempDir& dir, const std::string& text, Model& model)
{
    StoppableReporter reporter;
    return readPart(dir, text, model, reporter);
}

std::vector<ArgbColor> colours(const ModelObject& object)
{
    return std::vector<ArgbColor>(object.colors.begin(), object.colors.end());
}

} // namespace

TEST(ThreeMfModelPart, ColourText)
{
    EXPECT_EQ(threemf::parseThreeMfColor("#102030"), 0xFF102030u);
    EXPECT_EQ(threemf::parseThreeMfColor("10203040"), 0x40102030u);
    EXPECT_EQ(threemf::parseThreeMfColor("#CAD1EE00"), 0x00CAD1EEu);
    EXPECT_EQ(threemf::parseThreeMfColor("#1020"), 0xFF102000u) << "missing pairs keep their bytes";
    EXPECT_EQ(threemf::parseThreeMfColor(""), 0xFF000000u);
    EXPECT_EQ(threemf::parseThreeMfColor("#zz2030"), 0xFF000000u);
}

TEST(ThreeMfModelPart, ColoursFromGroupsMaterialsAndColourElements)
{
    const std::string groups =
        "<resources>\n<m:colorgroup id=\"5\"><m:color color=\"#FF0000\"/><m:color color=\"#00FF00\"/>"
        "<m:color color=\"#0000FF80\"/></m:colorgroup>\n"
        "<basematerials id=\"7\"><base name=\"steel\" displaycolor=\"#808080\"/>"
        "<base displaycolor=\"#C0C0C0\"/></basematerials>\n";
    const std::string plain[4] = {"", "", "", ""};
    const std::string pOnly[4] = {"pid=\"5\" p1=\"1\"", "p1=\"2\"", "pid=\"5\" p1=\"0\" p2=\"1\" p3=\"2\"",
                                  "pid=\"5\" p1=\"9\""};
    const std::string colorIds[4] = {"colorid=\"3,4,5\"", "colorid=\"4\"", "colorid=\"5,3\"", "colorid=\"9,4,3)\""};
    constexpr ArgbColor red = 0xFFFF0000, green = 0xFF00FF00, blue = 0x800000FF, grey = 0xFF808080, silver = 0xFFC0C0C0,
                        black = 0xFF000000;
    const struct {
        const char* label;
        std::string text;
        std::vector<ArgbColor> corners;
        int defaultColour; // -1: none
        bool materialRange;
    } cases[] = {
        {"object colour from a colour group, triangles without colours",
         groups + tetrahedron("pid=\"5\" pindex=\"1\"", plain), std::vector<ArgbColor>(12, green),
         static_cast<int>(green), false},
        {"p1 only colours all three corners; a triangle without pid takes its object's; a missing entry gives the "
         "object colour",
         groups + tetrahedron("pid=\"5\" pindex=\"0\"", pOnly),
         {green, green, green, blue, blue, blue, red, green, blue, red, red, red},
         static_cast<int>(red),
         true},
        {"base materials colour objects and triangles by pid",
         groups + tetrahedron("pid=\"7\" pindex=\"1\"", pOnly),
         {green, green, green, silver, silver, silver, red, green, blue, silver, silver, silver},
         static_cast<int>(silver),
         true},
        {"colour elements by colorid per corner",
         "<resources><color id=\"3\" value=\"#808080\"/><color id=\"4\" "
         "value=\"#C0C0C0\"/><color id=\"5\" value=\"#FF0000\"/>" +
             tetrahedron("", colorIds),
         {grey, silver, red, silver, silver, silver, red, grey, red, black, silver, grey},
         -1,
         true},
        {"no colours at all", groups + tetrahedron("", plain), {}, -1, false},
        {"a reference to a missing group gives the default colour",
         groups + tetrahedron("pid=\"99\" pindex=\"0\"", plain), std::vector<ArgbColor>(12, black),
         static_cast<int>(black), false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Model model;
        const Read read = readPart(dir, Header + c.text + "</resources></model>", model);
        ASSERT_EQ(read.result, OperationResult::Success) << c.label << ": " << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), 1u) << c.label;
        const ModelObject& object = *model.objects[0];
        EXPECT_EQ(colours(object), c.corners) << c.label;
        if (c.defaultColour == -1)
            EXPECT_FALSE(object.properties.hasProperty("ObjectDefaultColor")) << c.label;
        else
            EXPECT_EQ(static_cast<ArgbColor>(object.properties.getIntProperty("ObjectDefaultColor")),
                      static_cast<ArgbColor>(c.defaultColour))
                << c.label;
        EXPECT_EQ(object.materialRanges.size(), c.materialRange ? 1u : 0u) << c.label;
        if (c.materialRange && !object.materialRanges.empty()) {
            EXPECT_EQ(object.materialRanges[0].materialId, model.materials.front()->id) << c.label;
            EXPECT_EQ(object.materialRanges[0].endIndex, 12u) << c.label;
        }
    }
}

TEST(ThreeMfModelPart, MaterialsAreKeptNewestFirst)
{
    TempDir dir;
    Model model;
    const std::string plain[4] = {"", "", "", ""};
    const Read read = readPart(dir,
                               std::string(Header) +
                                   "<resources><basematerials id=\"7\"><base name=\"steel\" displaycolor=\"#808080\"/>"
                                   "<base displaycolor=\"#C0C0C0\"/></basematerials>"
                                   "<m:colorgroup id=\"5\"><m:color color=\"#FF0000\"/></m:colorgroup>"
                                   "<color id=\"12\" value=\"#00FF00\"/>" +
                                   tetrahedron("", plain) + "</resources></model>",
                               model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    ASSERT_EQ(model.materials.size(), 4u);
    const Material& colourElement = *model.materials[0];
    EXPECT_EQ(colourElement.id, 12);
    EXPECT_EQ(colourElement.properties.getProperty("ColorID"), "12");
    EXPECT_EQ(colourElement.colors[AmbientSlot], 0xFF00FF00u);
    EXPECT_TRUE(colourElement.colorSet[AmbientSlot]);
    EXPECT_EQ(model.materials[1]->properties.getProperty("ColorGroupID"), "5");
    EXPECT_EQ(model.materials[1]->id, 0);
    EXPECT_EQ(model.materials[2]->id, 1);
    EXPECT_EQ(model.materials[2]->properties.getProperty("name"), "1");
    EXPECT_EQ(model.materials[3]->properties.getProperty("name"), "steel");
    EXPECT_EQ(model.materials[3]->properties.getProperty("BaseMaterialID"), "7");
    EXPECT_EQ(model.nextMaterialId, 4);
}

TEST(ThreeMfModelPart, DocumentPropertiesBuildItemsAndPlacement)
{
    TempDir dir;
    Model model;
    const std::string plain[4] = {"", "", "", ""};
    std::string second = tetrahedron("name=\"Second\" partnumber=\"P-2\"", plain);
    second.replace(second.find("id=\"1\""), 6, "id=\"2\"");
    const std::string text =
        "<?xml version=\"1.0\"?>\n<model unit=\"inch\" xmlns=\"urn:x\">\n"
        "  <metadata name=\"Title\">Bracket</metadata>\n  <metadata name=\"Designer\">Ann</metadata>\n"
        "  <metadata>no name</metadata>\n<resources>\n" +
        tetrahedron("", plain) + second +
        "<object id=\"3\"><components><component objectid=\"1\" transform=\"1 0 0 0 1 0 0 0 1 5 5 5\"/>"
        "<component objectid=\"2\"/></components></object>\n"
        "<slice:slicestack id=\"9\"><object id=\"8\"><mesh><vertices><vertex x=\"1\" y=\"1\" z=\"1\"/></vertices>"
        "<triangles><triangle v1=\"0\" v2=\"0\" v3=\"0\"/></triangles></mesh></object></slice:slicestack>\n"
        "</resources>\n<build>\n<item objectid=\"1\" transform=\"1 0 0 0 1 0 0 0 1 10 20 30\" partnumber=\"A\"/>\n"
        "<item objectid=\"3\"/>\n</build>\n</model>\n";
    const Read read = readPart(dir, text, model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);

    const PropertyBag& p = model.properties;
    EXPECT_EQ(p.getProperty("Model:unit"), "inch");
    EXPECT_EQ(p.getProperty("Model:xml:lang"), "en-US");
    EXPECT_EQ(p.getProperty("Model:xmlns"), "urn:x");
    EXPECT_EQ(p.getProperty("Model:xmlns:m"), "http://schemas.microsoft.com/3dmanufacturing/material/2015/02");
    EXPECT_EQ(p.getProperty("Title"), "Bracket");
    EXPECT_EQ(p.getProperty("ModelName"), "Bracket");
    EXPECT_EQ(p.getProperty("Designer"), "Ann");
    EXPECT_EQ(p.getProperty("BuildItem:object_1"), "1");
    EXPECT_EQ(p.getProperty("BuildItem:transform_1"), "1 0 0 0 1 0 0 0 1 10 20 30");
    EXPECT_EQ(p.getProperty("BuildItem:partnumber_1"), "A");
    EXPECT_EQ(p.getProperty("BuildItem:object_3"), "3");
    EXPECT_FALSE(p.hasProperty("BuildItem:transform_3"));
    EXPECT_EQ(p.getProperty("Component:transform_1"), "1 0 0 0 1 0 0 0 1 5 5 5");
    EXPECT_FALSE(p.hasProperty("Component:transform_2"));

    // Item 1 places object 1; item 3 places the meshes its components
    // reach, each moved by its component's transform. The extension's
    // object 8 is skipped.
    ASSERT_EQ(model.objects.size(), 3u);
    const ModelObject& first = *model.objects[0];
    const ModelObject& firstAgain = *model.objects[1];
    const ModelObject& other = *model.objects[2];
    EXPECT_EQ(first.properties.getProperty("id"), "1");
    EXPECT_EQ(firstAgain.properties.getProperty("id"), "1");
    EXPECT_EQ(first.properties.getProperty("type"), "model");
    EXPECT_EQ(other.properties.getProperty("name"), "Second");
    EXPECT_EQ(other.properties.getProperty("partnumber"), "P-2");
    EXPECT_EQ(first.vertices[1], (Vector3{11, 20, 30})) << "moved by its build item, inches kept";
    EXPECT_EQ(firstAgain.vertices[1], (Vector3{6, 5, 5})) << "moved by its component";
    EXPECT_EQ(other.vertices[1], (Vector3{1, 0, 0})) << "a component without transform keeps coordinates";
    for (const ModelObject* object : {&first, &firstAgain, &other}) {
        ASSERT_EQ(object->normals.count(), 12u);
        EXPECT_EQ(object->normals[0], (Vector3{0, 0, -1})) << "normal of triangle 0 2 1";
        EXPECT_EQ(object->normals[3], (Vector3{0, -1, 0}));
        EXPECT_TRUE(object->colors.empty());
    }
}

TEST(ThreeMfModelPart, DoubtfulGeometry)
{
    const std::string mesh = "<resources><object id=\"1\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
                             "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles>";
    const struct {
        const char* label;
        std::string triangles;
        OperationResult result;
        std::uint32_t indices;
        const char* reason;
    } cases[] = {
        {"indices not below the vertex count are dropped",
         "<triangle v1=\"0\" v2=\"1\" v3=\"3\"/><triangle v1=\"0\" v2=\"1\" v3=\"2\"/>"
         "<triangle v1=\"-1\" v2=\"1\" v3=\"2\"/><triangle v1=\"a\" v2=\"1\" v3=\"2\"/>"
         "<triangle v1=\"4294967296\" v2=\"1\" v3=\"2\"/>",
         OperationResult::Success, 3, ""},
        {"missing indices read as 0", "<triangle v2=\"1\" v3=\"2\"/>", OperationResult::Success, 3, ""},
        {"only bad triangles leave no object", "<triangle v1=\"0\" v2=\"1\" v3=\"7\"/>", OperationResult::Success, 0,
         ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Model model;
        const Read read =
            readPart(dir, Header + mesh + c.triangles + "</triangles></mesh></object></resources></model>", model);
        ASSERT_EQ(read.result, c.result) << c.label;
        EXPECT_EQ(read.failure.message, c.reason) << c.label;
        if (c.indices == 0) {
            EXPECT_TRUE(model.objects.empty()) << c.label;
        } else {
            ASSERT_EQ(model.objects.size(), 1u) << c.label;
            EXPECT_EQ(model.objects[0]->indices.count(), c.indices) << c.label;
            EXPECT_EQ(model.objects[0]->normals.count(), c.indices) << c.label;
        }
    }

    TempDir dir;
    Model model;
    const Read read =
        readPart(dir,
                 std::string(Header) + "<resources><object><mesh><vertices><vertex x=\"1.5\" y=\"abc\" z=\"0\"/>"
                                       "</vertices></mesh></object></resources></model>",
                 model);
    EXPECT_EQ(read.result, OperationResult::Failure);
    EXPECT_EQ(read.failure.message, "a vertex coordinate is not a number: \"abc\"");
    EXPECT_EQ(read.failure.kind, FailureKind::Malformed);
}

TEST(ThreeMfModelPart, HostileStructure)
{
    // Deep nesting of walked elements, objects inside objects, vertices
    // outside any object, a materials namespace under another prefix.
    std::string deep(Header);
    for (int i = 0; i < 200'000; ++i)
        deep += "<resources>";
    deep += "<object><mesh><vertices><vertex x=\"1\" y=\"2\" z=\"3\"/><vertex/><vertex/></vertices>"
            "<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object>";
    for (int i = 0; i < 200'000; ++i)
        deep += "</resources>";
    deep += "</model>";
    const std::string nested = std::string(
        "<model xmlns:mat=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\"><vertex x=\"9\"/>"
        "<triangle/><resources><mat:colorgroup id=\"4\"><mat:color color=\"#112233\"/></mat:colorgroup>"
        "<object id=\"1\"><mesh><vertices><vertex/><vertex x=\"1\"/><vertex y=\"1\"/></vertices>"
        "<object id=\"2\"><mesh><vertices><vertex/></vertices></mesh></object>"
        "<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\" pid=\"4\" p1=\"0\"/></triangles></mesh></object>"
        "</resources></model>");
    for (const std::string* text : {static_cast<const std::string*>(&deep), &nested}) {
        TempDir dir;
        Model model;
        const Read read = readPart(dir, *text, model);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), 1u);
        EXPECT_EQ(model.objects[0]->indices.count(), 3u);
        EXPECT_EQ(model.objects[0]->vertices.count(), 3u);
        if (text == &nested) {
            EXPECT_EQ(colours(*model.objects[0]), std::vector<ArgbColor>(3, 0xFF112233u));
        }
    }
}

TEST(ThreeMfModelPart, RefusalsAndFailureKinds)
{
    const std::string plain[4] = {"", "", "", ""};
    const std::string good =
        std::string(Header) + "<resources>" + tetrahedron("", plain) +
        "</resources><build><item objectid=\"1\" transform=\"1 0 0 0 1 0 0 0 1 1 1 1\"/></build></model>";
    const struct {
        const char* label;
        std::string text;
        std::uint64_t memory;
        std::uint64_t cancelAfter;
        OperationResult result;
        FailureKind kind; // when it fails
        const char* reason;
    } cases[] = {
        {"empty part", "", 0, 0, OperationResult::Failure, FailureKind::Malformed, "the model part is empty"},
        {"too large for the memory", good, 20 * good.size(), 0, OperationResult::Failure, FailureKind::OutOfMemory,
         "the model part is too large for the available memory"},
        {"no model element", "<?xml version=\"1.0\"?><m  odel/>", 0, 0, OperationResult::Failure,
         FailureKind::Malformed, "the model part holds no 3MF model"},
        {"stopped while the tree is walked", good, 0, 6, OperationResult::Cancelled, FailureKind::Cancelled, ""},
        {"stopped while the objects are completed", good, 0, 0, OperationResult::Cancelled, FailureKind::Cancelled, ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Model model;
        RecordingReporter reporter;
        if (c.cancelAfter != 0) {
            reporter.cancelAfterChecks(c.cancelAfter);
        } else if (c.result == OperationResult::Cancelled) {
            // Count the checks of a whole read, then stop at the last one.
            Model counting;
            RecordingReporter counter;
            ASSERT_EQ(readPart(dir, c.text, counting, counter).result, OperationResult::Success);
            reporter.cancelAfterChecks(counter.cancelChecks());
        }
        setAvailableMemoryOverride(c.memory);
        const Read read = readPart(dir, c.text, model, reporter);
        setAvailableMemoryOverride(0);
        EXPECT_EQ(read.result, c.result) << c.label;
        EXPECT_EQ(read.failure.message, c.reason) << c.label;
        if (c.result == OperationResult::Failure) {
            EXPECT_EQ(read.failure.kind, c.kind) << c.label;
        }
    }
}

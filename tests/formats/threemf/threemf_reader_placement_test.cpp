// Build items, components across model parts, texture groups and the first
// form's materials, read from packages built here and from the corpus, with
// the reference 3MF library's reading as the second opinion.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace morvex;
using morvex::testing::buildZipArchive;
using morvex::testing::TempDir;
using morvex::testing::ZipTestEntry;
using morvex::threemf_test::scratchFolders;

namespace {

constexpr const char* ModelType = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";

const std::string Rels = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Relationships "
                         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship "
                         "Target=\"/3D/3dmodel.model\" Id=\"rel0\" Type=\"" +
                         std::string(ModelType) + "\"/></Relationships>";
const std::string ContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Types "
    "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/><Default Extension=\"model\" "
    "ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/><Default Extension=\"png\" "
    "ContentType=\"image/png\"/></Types>";

std::string modelPart(const std::string& resources, const std::string& build)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" xml:lang=\"en-US\" "
           "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
           "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\" "
           "xmlns:p=\"http://schemas.microsoft.com/3dmanufacturing/production/2015/06\">\n<resources>" +
           resources + "</resources>\n<build>" + build + "</build></model>\n";
}

// A unit tetrahedron object; extra attributes for the object and for every
// triangle.
std::string tetrahedron(const std::string& id, const std::string& objectAttributes = "",
                        const std::string& triangleAttributes = "")
{
    std::string text = "<object id=\"" + id + "\" type=\"model\" " + objectAttributes +
                       "><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/>"
                       "<vertex x=\"0\" y=\"1\" z=\"0\"/><vertex x=\"0\" y=\"0\" z=\"1\"/></vertices><triangles>";
    for (const char* corners : {"v1=\"0\" v2=\"2\" v3=\"1\"", "v1=\"0\" v2=\"1\" v3=\"3\"",
                                "v1=\"0\" v2=\"3\" v3=\"2\"", "v1=\"1\" v2=\"2\" v3=\"3\""})
        text += std::string("<triangle ") + corners + " " + triangleAttributes + "/>";
    return text + "</triangles></mesh></object>\n";
}

std::string components(const std::string& id, const std::string& inner)
{
    return "<object id=\"" + id + "\" type=\"model\"><components>" + inner + "</components></object>\n";
}

std::string translation(float x, float y, float z)
{
    return "transform=\"1 0 0 0 1 0 0 0 1 " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z) +
           "\"";
}

// Bytes that stand for an image: nothing here decodes them.
const std::string OnePixelPng = "\x89PNG\r\n\x1a\n image bytes";

struct PackageRead {
    OperationResult result;
    Failure failure;
};

PackageRead readPackage(const std::filesystem::path& path, Model& model)
{
    RecordingReporter reporter;
    PackageRead read{};
    read.result = threemf::read3mf(path, model, reporter, &read.failure);
    return read;
}

// A package of just the root model part, read.
PackageRead readOnePartPackage(const std::filesystem::path& path, const std::string& part, Model& model)
{
    buildZipArchive(path, {{"[Content_Types].xml", ContentTypes}, {"_rels/.rels", Rels}, {"3D/3dmodel.model", part}});
    return readPackage(path, model);
}

std::array<float, 6> boxOf(const Model& model)
{
    std::array<float, 6> box{std::numeric_limits<float>::max(),  std::numeric_limits<float>::max(),
                             std::numeric_limits<float>::max(),  -std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()};
    for (const auto& object : model.objects)
        for (const Vector3& p : object->vertices) {
            const float c[3] = {p.x, p.y, p.z};
            for (int k = 0; k < 3; ++k) {
                box[k] = std::min(box[k], c[k]);
                box[k + 3] = std::max(box[k + 3], c[k]);
            }
        }
    return box;
}

std::uint64_t triangleCount(const Model& model)
{
    std::uint64_t total = 0;
    for (const auto& object : model.objects)
        total += object->triangleCount();
    return total;
}

// Triangles whose material shows a texture image.
std::uint64_t texturedTriangles(const Model& model)
{
    std::uint64_t total = 0;
    for (const auto& object : model.objects)
        for (const MaterialRange& range : object->materialRanges) {
            const Material* material = model.findMaterial(range.materialId);
            if (material != nullptr && !material->textures.empty() && !object->texCoords.empty())
                total += (range.endIndex - range.firstIndex) / 3;
        }
    return total;
}

} // namespace

TEST(ThreeMfPlacement, BuildItemsAndComponentsPlaceEveryCopy)
{
    const struct {
        const char* label;
        std::string resources;
        std::string build;
        std::vector<Vector3> firstVertices; // of each placed object, in order
    } cases[] = {
        {"six items of one object give six copies",
         tetrahedron("1"),
         "<item objectid=\"1\"/><item objectid=\"1\" " + translation(10, 0, 0) + "/><item objectid=\"1\" " +
             translation(20, 0, 0) + "/><item objectid=\"1\" " + translation(30, 0, 0) + "/><item objectid=\"1\" " +
             translation(40, 0, 0) + "/><item objectid=\"1\" " + translation(50, 0, 0) + "/>",
         {{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {30, 0, 0}, {40, 0, 0}, {50, 0, 0}}},
        {"nested components compose their transforms, the item's last",
         tetrahedron("1") + components("2", "<component objectid=\"1\" " + translation(1, 0, 0) + "/>") +
             components("3", "<component objectid=\"2\" transform=\"0 1 0 -1 0 0 0 0 1 0 0 5\"/>"
                             "<component objectid=\"1\"/>"),
         "<item objectid=\"3\" " + translation(100, 0, 0) + "/>",
         // (0,0,0) +1 in x, turned a quarter about z to (0,1,0), +5 in z, +100 in x.
         {{100, 1, 5}, {100, 0, 0}}},
        {"an object without any build item is not placed; a build that names none places each top object",
         tetrahedron("1") + tetrahedron("2") +
             components("3", "<component objectid=\"2\" " + translation(0, 7, 0) + "/>"),
         "",
         {{0, 0, 0}, {0, 7, 0}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = dir / "placed.3mf";
        Model model;
        const PackageRead read = readOnePartPackage(path, modelPart(c.resources, c.build), model);
        ASSERT_EQ(read.result, OperationResult::Success) << c.label << ": " << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), c.firstVertices.size()) << c.label;
        for (std::size_t i = 0; i < c.firstVertices.size(); ++i) {
            const ModelObject& object = *model.objects[i];
            ASSERT_EQ(object.vertices.count(), 4u) << c.label;
            ASSERT_EQ(object.normals.count(), 12u) << c.label;
            EXPECT_NEAR(object.vertices[0].x, c.firstVertices[i].x, 1e-4) << c.label << " copy " << i;
            EXPECT_NEAR(object.vertices[0].y, c.firstVertices[i].y, 1e-4) << c.label << " copy " << i;
            EXPECT_NEAR(object.vertices[0].z, c.firstVertices[i].z, 1e-4) << c.label << " copy " << i;
        }
#ifdef MORVEX_HAVE_LIB3MF
        if (!c.build.empty()) {
            const threemf_test::Lib3mfView view = threemf_test::viewWithLib3mf(path, false);
            ASSERT_TRUE(view.read) << c.label << ": " << view;
            EXPECT_EQ(view.triangles(), triangleCount(model)) << c.label;
            const std::array<float, 6> box = boxOf(model);
            for (int k = 0; k < 6; ++k)
                EXPECT_NEAR(box[k], view.box[k], 1e-4) << c.label << " box " << k;
        }
#endif
    }
}

TEST(ThreeMfPlacement, ComponentsReachObjectsInOtherModelParts)
{
    TempDir dir;
    const auto path = dir / "parts.3mf";
    const std::string wheel =
        modelPart(tetrahedron("7") + components("8", "<component objectid=\"7\" " + translation(0, 0, 3) + "/>"), "");
    const std::string root =
        modelPart(components("1", "<component p:path=\"/3D/Wheel.model\" objectid=\"8\" " + translation(2, 0, 0) +
                                      "/><component p:path=\"/3D/wheel.model\" objectid=\"7\"/>") +
                      tetrahedron("2"),
                  "<item objectid=\"1\"/><item objectid=\"8\" p:path=\"/3D/Wheel.model\"/><item objectid=\"2\"/>");
    buildZipArchive(path, {{"[Content_Types].xml", ContentTypes},
                           {"_rels/.rels", Rels},
                           {"3D/3dmodel.model", root},
                           {"3D/Wheel.model", wheel}});
    Model model;
    const PackageRead read = readPackage(path, model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    ASSERT_EQ(model.objects.size(), 4u);
    const Vector3 expected[] = {{2, 0, 3}, {0, 0, 0}, {0, 0, 3}, {0, 0, 0}};
    const char* ids[] = {"7", "7", "7", "2"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(model.objects[i]->vertices[0], expected[i]) << i;
        EXPECT_EQ(model.objects[i]->properties.getProperty("id"), ids[i]) << i;
    }
    EXPECT_TRUE(model.properties.hasProperty("Model:unit"));
    EXPECT_FALSE(model.properties.hasProperty("BuildItem:object_7")) << "a part's own build is not the package's";
}

TEST(ThreeMfPlacement, CyclesDepthAndBlowUpsAreRefusedWithAReason)
{
    std::string chain = tetrahedron("1");
    for (int id = 2; id <= 40; ++id)
        chain += components(std::to_string(id), "<component objectid=\"" + std::to_string(id - 1) + "\"/>");
    // Each level doubles the copies: 2^30 tetrahedra from a few lines.
    std::string doubling = tetrahedron("1");
    for (int id = 2; id <= 31; ++id) {
        const std::string below = "<component objectid=\"" + std::to_string(id - 1) + "\"/>";
        doubling += components(std::to_string(id), below + below);
    }
    const struct {
        const char* label;
        std::string resources;
        std::string build;
        const char* reason;
        std::string partName;
    } cases[] = {
        {"a cycle",
         tetrahedron("1") + components("2", "<component objectid=\"3\"/><component objectid=\"1\"/>") +
             components("3", "<component objectid=\"2\"/>"),
         "<item objectid=\"2\"/>", "object 2 contains itself through its components", ""},
        {"an object that contains itself", components("5", "<component objectid=\"5\"/>"), "<item objectid=\"5\"/>",
         "object 5 contains itself through its components", ""},
        {"nesting deeper than the bound", chain, "<item objectid=\"40\"/>",
         "components are nested deeper than 32 levels", ""},
        {"an expansion past the triangle bound", doubling, "<item objectid=\"31\"/>",
         "the components expand to more than 200000000 triangles or 250000 meshes", ""},
        {"a build item naming a missing object", tetrahedron("1"), "<item objectid=\"9\"/>",
         "object 9 is referred to but not defined", ""},
        {"a component in a part the package lacks",
         components("1", "<component p:path=\"/3D/missing.model\" objectid=\"1\"/>"), "<item objectid=\"1\"/>",
         "the model part \"3D/missing.model\" is missing from the package", ""},
        {"a duplicated attribute", tetrahedron("1", "", "v1=\"3\""), "<item objectid=\"1\"/>",
         "Ln 3, Col 225: Attribute v1 appears twice in <triangle>.", ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = dir / "refused.3mf";
        Model model;
        const PackageRead read = readOnePartPackage(path, modelPart(c.resources, c.build), model);
        EXPECT_EQ(read.result, OperationResult::Failure) << c.label;
        EXPECT_EQ(read.failure.message, c.reason) << c.label;
        EXPECT_TRUE(scratchFolders().empty()) << c.label;
#ifdef MORVEX_HAVE_LIB3MF
        if (std::string_view(c.label) != "an expansion past the triangle bound" &&
            std::string_view(c.label) != "nesting deeper than the bound") {
            EXPECT_FALSE(threemf_test::viewWithLib3mf(path, false).read) << c.label << ": lib3mf refuses it too";
        }
#endif
    }
}

// An image of the package (id 2) with a texture group of three coordinates
// (id 3), and the vertices of a tetrahedron.
const std::string WoodTexture =
    "<m:texture2d id=\"2\" path=\"/3D/Texture/wood.png\" contenttype=\"image/png\"/>"
    "<m:texture2dgroup id=\"3\" texid=\"2\"><m:tex2coord u=\"0.25\" v=\"0.5\"/><m:tex2coord u=\"1\" v=\"0\"/>"
    "<m:tex2coord u=\"0\" v=\"1\"/></m:texture2dgroup>";
const std::string TetrahedronVertices =
    "<vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/>"
    "<vertex x=\"0\" y=\"0\" z=\"1\"/></vertices>";

TEST(ThreeMfPlacement, TextureGroupsBecomeTextureCoordinatesAndAnImageBesideTheModel)
{
    const std::string resources =
        "<m:colorgroup id=\"1\"><m:color color=\"#008000\"/></m:colorgroup>" + WoodTexture +
        "<m:texture2d id=\"4\" path=\"/../../etc/passwd\" contenttype=\"image/png\"/>"
        "<m:texture2dgroup id=\"5\" texid=\"4\"><m:tex2coord u=\"0.5\" v=\"0.5\"/></m:texture2dgroup>"
        "<object id=\"6\" pid=\"1\" pindex=\"0\"><mesh>" +
        TetrahedronVertices +
        "<triangles><triangle v1=\"0\" v2=\"2\" v3=\"1\"/>"
        "<triangle v1=\"0\" v2=\"1\" v3=\"3\" pid=\"3\" p1=\"0\" p2=\"1\" p3=\"2\"/>"
        "<triangle v1=\"0\" v2=\"3\" v3=\"2\" pid=\"3\" p1=\"2\"/>"
        "<triangle v1=\"1\" v2=\"2\" v3=\"3\" pid=\"5\" p1=\"0\"/></triangles></mesh></object>";
    TempDir dir;
    const auto path = dir / "textured.3mf";
    buildZipArchive(path, {{"[Content_Types].xml", ContentTypes},
                           {"_rels/.rels", Rels},
                           {"3D/3dmodel.model", modelPart(resources, "<item objectid=\"6\"/>")},
                           {"3D/Texture/wood.png", OnePixelPng},
                           {"../../etc/passwd", "not an image"}});
    std::string imageFile;
    {
        Model model;
        const PackageRead read = readPackage(path, model);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), 1u);
        const ModelObject& object = *model.objects[0];
        ASSERT_EQ(object.texCoords.count(), 12u);
        const TexCoord expected[12] = {{0, 0}, {0, 0}, {0, 0}, {0.25f, 0.5f}, {1, 0},       {0, 1},
                                       {0, 1}, {0, 1}, {0, 1}, {0.5f, 0.5f},  {0.5f, 0.5f}, {0.5f, 0.5f}};
        for (std::uint32_t i = 0; i < 12; ++i) {
            EXPECT_EQ(object.texCoords[i].u, expected[i].u) << i;
            EXPECT_EQ(object.texCoords[i].v, expected[i].v) << i;
        }
        // Ranges cover every triangle: untextured, wood, the image outside.
        std::vector<MaterialRange> ranges(object.materialRanges.rbegin(), object.materialRanges.rend());
        ASSERT_EQ(ranges.size(), 3u);
        EXPECT_EQ(ranges[0].firstIndex, 0u);
        EXPECT_EQ(ranges[0].endIndex, 3u);
        EXPECT_EQ(ranges[1].endIndex, 9u);
        EXPECT_EQ(ranges[2].endIndex, 12u);
        const Material* untextured = model.findMaterial(ranges[0].materialId);
        const Material* wood = model.findMaterial(ranges[1].materialId);
        const Material* outside = model.findMaterial(ranges[2].materialId);
        ASSERT_TRUE(untextured && wood && outside);
        EXPECT_TRUE(untextured->textures.empty());
        EXPECT_EQ(wood->properties.getProperty("Name"), "wood");
        ASSERT_EQ(wood->textures.size(), 1u);
        imageFile = wood->textures[0].path;
        EXPECT_EQ(morvex::testing::readFile(imageFile), OnePixelPng) << "the image unpacked from the package";
        EXPECT_TRUE(outside->textures.empty()) << "a path that leaves the package gives no image";
        EXPECT_NE(wood->id, outside->id);
        EXPECT_NE(wood->id, untextured->id);
        // Colours stay colours: the untextured triangle takes the object's.
        ASSERT_EQ(object.colors.count(), 12u);
        EXPECT_EQ(object.colors[0], 0xFF008000u);
    }
    EXPECT_FALSE(std::filesystem::exists(imageFile)) << "the image goes with the model";
    EXPECT_TRUE(scratchFolders().empty());

#ifdef MORVEX_HAVE_LIB3MF
    const threemf_test::Lib3mfView view = threemf_test::viewWithLib3mf(path, false);
    ASSERT_TRUE(view.read) << view;
    EXPECT_EQ(view.textures, 3u);
#endif
}

// An object whose pid and pindex name a texture group (as our writer and
// others write textured objects) gives its triangles texture coordinates;
// no colour is made up for it.
TEST(ThreeMfPlacement, AnObjectOfATextureGroupHasNoColours)
{
    const std::string resources =
        WoodTexture + "<object id=\"6\" pid=\"3\" pindex=\"0\"><mesh>" + TetrahedronVertices +
        "<triangles><triangle v1=\"0\" v2=\"2\" v3=\"1\"/>"
        "<triangle v1=\"0\" v2=\"1\" v3=\"3\" pid=\"3\" p1=\"0\" p2=\"1\" p3=\"2\"/></triangles></mesh></object>";
    TempDir dir;
    const auto path = dir / "textured.3mf";
    buildZipArchive(path, {{"[Content_Types].xml", ContentTypes},
                           {"_rels/.rels", Rels},
                           {"3D/3dmodel.model", modelPart(resources, "<item objectid=\"6\"/>")},
                           {"3D/Texture/wood.png", OnePixelPng}});
    Model model;
    const PackageRead read = readPackage(path, model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    ASSERT_EQ(model.objects.size(), 1u);
    const ModelObject& object = *model.objects[0];
    EXPECT_TRUE(object.colors.empty());
    EXPECT_EQ(object.properties.getProperty("pindex"), "0");
    ASSERT_EQ(object.texCoords.count(), 6u);
    const TexCoord expected[6] = {{0.25f, 0.5f}, {0.25f, 0.5f}, {0.25f, 0.5f}, {0.25f, 0.5f}, {1, 0}, {0, 1}};
    for (std::uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(object.texCoords[i].u, expected[i].u) << i;
        EXPECT_EQ(object.texCoords[i].v, expected[i].v) << i;
    }
    ASSERT_EQ(object.materialRanges.size(), 1u);
    const Material* wood = model.findMaterial(object.materialRanges[0].materialId);
    ASSERT_NE(wood, nullptr);
    EXPECT_EQ(wood->textures.size(), 1u);
}

TEST(ThreeMfPlacement, FirstFormMaterialsAndColoursColourObjectsAndTriangles)
{
    const std::string part = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" "
                             "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/2013/01\"><resources>"
                             "<color id=\"0\" value=\"#FF0000\"/><color id=\"1\" value=\"#0000FF\"/>"
                             "<material id=\"5\" name=\"blue\" colorid=\"1\"/>" +
                             tetrahedron("2", "materialid=\"5\"", "") +
                             tetrahedron("3", "colorid=\"0\"", "materialid=\"5\"") +
                             "</resources><build><item objectid=\"2\"/><item objectid=\"3\"/></build></model>";
    TempDir dir;
    Model model;
    const PackageRead read = readOnePartPackage(dir / "draft.3mf", part, model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    ASSERT_EQ(model.objects.size(), 2u);
    EXPECT_EQ(std::vector<ArgbColor>(model.objects[0]->colors.begin(), model.objects[0]->colors.end()),
              std::vector<ArgbColor>(12, 0xFF0000FFu))
        << "the object's material gives its colour";
    EXPECT_EQ(static_cast<ArgbColor>(model.objects[1]->properties.getIntProperty("ObjectDefaultColor")), 0xFFFF0000u);
    EXPECT_EQ(std::vector<ArgbColor>(model.objects[1]->colors.begin(), model.objects[1]->colors.end()),
              std::vector<ArgbColor>(12, 0xFF0000FFu))
        << "a triangle's material wins over the object's colour";
}

#ifdef MORVEX_HAVE_LIB3MF
TEST(ThreeMfPlacement, CorpusFilesAgreeWithLib3mf)
{
    MORVEX_REQUIRE_CORPUS();
    std::size_t compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(morvex::testing::corpusDir() / "3mf")) {
        const std::string name = entry.path().filename().string();
        const threemf_test::Lib3mfView view = threemf_test::viewWithLib3mf(entry.path(), false);
        Model model;
        const PackageRead read = readPackage(entry.path(), model);
        if (!view.read) {
            // What lib3mf refuses (a broken encoding) we refuse too.
            EXPECT_EQ(read.result, OperationResult::Failure) << name << ": " << view;
            EXPECT_FALSE(read.failure.message.empty()) << name;
            continue;
        }
        if (read.result == OperationResult::Failure && read.failure.line.has_value()) {
            // lib3mf reads parts that are not well-formed XML (a repeated
            // attribute: which of the two values holds?); we name the line.
            EXPECT_NE(read.failure.message.find("appears twice"), std::string::npos) << name;
            continue;
        }
        ASSERT_EQ(read.result, OperationResult::Success) << name << ": " << describeFailure(read.failure);
        ++compared;
        EXPECT_EQ(triangleCount(model), view.triangles()) << name << ": " << view;
        EXPECT_EQ(texturedTriangles(model), view.textures) << name;
        if (view.triangles() == 0)
            continue;
        const std::array<float, 6> box = boxOf(model);
        for (int k = 0; k < 6; ++k)
            EXPECT_NEAR(box[k], view.box[k], 1e-3f * std::max(1.0f, std::fabs(view.box[k]))) << name << " box " << k;
    }
    EXPECT_GE(compared, 10u);
}
#endif

#include "formats/obj/obj.h"
#include "obj_test_model.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::objtest;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

OperationResult write(const std::filesystem::path& path, const Model& model, Failure* failure = nullptr)
{
    RecordingReporter reporter;
    return obj::writeObj(path, model, reporter, failure);
}

OperationResult readBack(const std::filesystem::path& path, Model& model)
{
    RecordingReporter reporter;
    return obj::readObj(path, model, reporter);
}

} // namespace

TEST(ObjWriter, PlainModelLayout)
{
    TempDir dir;
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    // The second object's vertices are numbered on from the first's; its
    // trailing index belongs to no triangle.
    addMesh(model, {{0, 0, 1}, {0.5f, 0, 1}, {0, 0.001f, 1}}, {0, 1, 2, 0});
    ASSERT_EQ(write(dir / "out.obj", model), OperationResult::Success);
    EXPECT_EQ(readFile(dir / "out.obj"), "# Created using Morvex\r\n\r\n"
                                         "# Vertex Array \r\n"
                                         "v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\n"
                                         "v 0 0 1\r\nv 0.5 0 1\r\nv 0 0.001 1\r\n"
                                         "\r\n"
                                         "# Normal Array\r\n"
                                         "vn 0 0 1\r\nvn 0 0 1\r\n"
                                         "\r\n"
                                         "# Facets\r\n"
                                         "f 1//1 2//1 3//1\r\n"
                                         "f 4//2 5//2 6//2\r\n"
                                         "\r\n"
                                         "# Thank you for using Morvex\r\n\r\n");
    // No material library, no textures, no temporary files.
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"out.obj"}));
}

// Coordinates are written in the shortest form that reads back as the same
// float, so small models keep their detail.
TEST(ObjWriter, CoordinatesSurviveExactly)
{
    TempDir dir;
    Model model;
    const std::vector<Vector3> points = {{0.0001234f, -2.5e-7f, 1e20f},
                                         {0.1f, 1.0f / 3.0f, -123456.789f},
                                         {std::nextafter(1.0f, 2.0f), 3.4028235e38f, 1.17549435e-38f}};
    addMesh(model, {points[0], points[1], points[2]}, {0, 1, 2});
    ASSERT_EQ(write(dir / "fine.obj", model), OperationResult::Success);
    const std::string text = readFile(dir / "fine.obj");
    EXPECT_NE(text.find("v 0.0001234 -2.5e-07 1e+20\r\n"), std::string::npos);
    Model back;
    ASSERT_EQ(readBack(dir / "fine.obj", back), OperationResult::Success);
    EXPECT_EQ(trianglesOf(back), points);
}

TEST(ObjWriter, PlacementIsApplied)
{
    TempDir dir;
    Model model;
    ModelObject& object = addMesh(model, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 1, 2});
    object.scale = {2, 1, 1};
    object.rotation = {0, 0, 90};
    object.position = {0, 0, 5};
    ASSERT_EQ(write(dir / "placed.obj", model), OperationResult::Success);
    Model back;
    ASSERT_EQ(readBack(dir / "placed.obj", back), OperationResult::Success);
    const Matrix4 placement = placementMatrix(object);
    const std::vector<Vector3> expected = {transformPoint({1, 0, 0}, placement), transformPoint({0, 1, 0}, placement),
                                           transformPoint({0, 0, 1}, placement)};
    EXPECT_EQ(trianglesOf(back), expected);
    EXPECT_NEAR(expected[0].y, 2.0f, 1e-6f);
    EXPECT_NEAR(expected[0].z, 5.0f, 1e-6f);
}

// Vertex colours are fractions of 1 with the fewest digits that give the
// same byte back, and every byte comes back exactly.
TEST(ObjWriter, VertexColoursAreFractionsThatReadBackExactly)
{
    TempDir dir;
    Model perVertex;
    ModelObject& object = addMesh(perVertex, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    ASSERT_TRUE(object.colors.allocate(3));
    object.colors[0] = 0xFFFF0000u;
    object.colors[1] = 0xFF80FF33u;
    object.colors[2] = 0xFF0001FEu;
    ASSERT_EQ(write(dir / "colours.obj", perVertex), OperationResult::Success);
    EXPECT_NE(readFile(dir / "colours.obj").find("v 0 0 0 1 0 0\r\nv 1 0 0 0.502 1 0.2\r\nv 0 1 0 0 0.004 0.997\r\n"),
              std::string::npos);

    // Every byte in every channel: a triangle per byte value.
    Model all;
    ModelObject& ramp = *all.addObject();
    ASSERT_TRUE(ramp.vertices.allocate(3 * 256) && ramp.indices.allocate(3 * 256) && ramp.colors.allocate(3 * 256));
    for (std::uint32_t v = 0; v < 3 * 256; ++v) {
        ramp.vertices[v] = {float(v), float(v % 3), 0};
        ramp.indices[v] = v;
        const std::uint32_t byte = v / 3;
        ramp.colors[v] = 0xFF000000u | byte << (8 * (v % 3)) | (255 - byte) << (8 * ((v + 1) % 3));
    }
    ASSERT_EQ(write(dir / "ramp.obj", all), OperationResult::Success);
    const std::string text = readFile(dir / "ramp.obj");
    for (const char* longer : {" 0.0039", " 0.50196", " 1.0"})
        EXPECT_EQ(text.find(longer), std::string::npos) << longer;
    Model back;
    ASSERT_EQ(readBack(dir / "ramp.obj", back), OperationResult::Success);
    ASSERT_EQ(back.objects.size(), 1u);
    const ModelObject& read = *back.objects[0];
    ASSERT_EQ(read.colors.count(), 3u * 256);
    for (std::uint32_t corner = 0; corner < 3 * 256; ++corner)
        ASSERT_EQ(read.colors[read.indices[corner]], ramp.colors[corner]) << corner;

    // Per-corner colours land on the corner's vertex, the later corner
    // winning; an object without colours beside them gets the default grey.
    Model perCorner;
    ModelObject& shared = addMesh(perCorner, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 2, 1, 3});
    ASSERT_TRUE(shared.colors.allocate(6));
    const ArgbColor corners[] = {0xFF010101u, 0xFF020202u, 0xFF030303u, 0xFF040404u, 0xFF050505u, 0xFF060606u};
    std::copy(std::begin(corners), std::end(corners), shared.colors.begin());
    addMesh(perCorner, {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}}, {0, 1, 2});
    ASSERT_EQ(write(dir / "corners.obj", perCorner), OperationResult::Success);
    EXPECT_NE(readFile(dir / "corners.obj")
                  .find("v 0 0 0 0.004 0.004 0.004\r\nv 1 0 0 0.02 0.02 0.02\r\nv 0 1 0 0.016 0.016 0.016\r\n"
                        "v 1 1 0 0.024 0.024 0.024\r\nv 0 0 1 0.785 0.785 0.785\r\n"),
              std::string::npos);
}

// Two materials with the same diffuse colour and no texture are written
// once, and both sets of triangles use the first one's name.
TEST(ObjWriter, MaterialsAreWrittenOnceAndSwitchedByUsemtl)
{
    TempDir dir;
    Model model;
    Material& alsoRed = addNamedMaterial(model, "AlsoRed", 0xFFCC6633u);
    Material& blue = addNamedMaterial(model, "Blue", 0xFF0000FFu);
    Material& red = addNamedMaterial(model, "Red", 0xFFCC6633u); // newest: first in the list
    red.setColor(AmbientSlot, 0xFF333333u);
    red.shininess = 12.5f;
    ModelObject& first = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 2, 1, 3, 0, 1, 3});
    addRange(first, blue.id, 3, 9); // ranges run in corner order: this one comes second
    addRange(first, red.id, 0, 3);
    ModelObject& second = addMesh(model, {{0, 0, 2}, {1, 0, 2}, {0, 1, 2}}, {0, 1, 2});
    addRange(second, alsoRed.id, 0, 3);

    ASSERT_EQ(write(dir / "m.obj", model), OperationResult::Success);
    const std::string obj = readFile(dir / "m.obj");
    EXPECT_EQ(obj.rfind("# Created using Morvex\r\n\r\nmtllib m.mtl\r\n\r\n# Vertex Array \r\n", 0), 0u);
    // Materials without texture coordinates: no "vt" is made up for them.
    EXPECT_EQ(obj.find("vt "), std::string::npos);
    const std::size_t facets = obj.find("# Facets\r\n");
    ASSERT_NE(facets, std::string::npos);
    EXPECT_EQ(obj.substr(facets), "# Facets\r\n"
                                  "usemtl Red\r\n"
                                  "f 1//1 2//1 3//1\r\n"
                                  "usemtl Blue\r\n"
                                  "f 3//2 2//2 4//2\r\n"
                                  "f 1//3 2//3 4//3\r\n"
                                  "usemtl Red\r\n"
                                  "f 5//4 6//4 7//4\r\n"
                                  "\r\n"
                                  "# Thank you for using Morvex\r\n\r\n");
    EXPECT_EQ(readFile(dir / "m.mtl"), "# Created using Morvex\r\n\r\n"
                                       "newmtl Red\r\nNs 12.500\r\nKa 0.200 0.200 0.200\r\n"
                                       "Kd 0.800 0.400 0.200\r\nKs 0.000 0.000 0.000\r\n\r\n"
                                       "newmtl Blue\r\nNs 0.000\r\nKa 0.000 0.000 0.000\r\n"
                                       "Kd 0.000 0.000 1.000\r\nKs 0.000 0.000 0.000\r\n\r\n"
                                       "# Thank you for using Morvex\r\n\r\n");

    // Read back: the colours and the runs come back.
    Model back;
    ASSERT_EQ(readBack(dir / "m.obj", back), OperationResult::Success);
    ASSERT_EQ(back.objects.size(), 3u);
    EXPECT_EQ(trianglesOf(back), trianglesOf(model)); // the ranges happen to keep object order
    ASSERT_EQ(back.materials.size(), 2u);
    for (const auto& material : back.materials) {
        const std::string name = material->properties.getProperty("Name");
        EXPECT_EQ(material->colors[DiffuseSlot], name == "Red" ? 0xFFCC6633u : 0xFF0000FFu) << name;
    }
}

// A reader adds ranges as it goes, so the list holds the last range of the
// file first; the faces are written in the order of their corners all the
// same, so that triangles come back in the order they had.
TEST(ObjWriter, RangesAddedInFileOrderKeepTheTriangleOrder)
{
    TempDir dir;
    Model model;
    Material& red = addNamedMaterial(model, "Red", 0xFFFF0000u);
    Material& blue = addNamedMaterial(model, "Blue", 0xFF0000FFu);
    ModelObject& object =
        addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 1, 0}}, {0, 1, 2, 2, 1, 3, 1, 4, 3});
    addRange(object, red.id, 0, 3);
    addRange(object, blue.id, 3, 9); // now first in the list

    ASSERT_EQ(write(dir / "m.obj", model), OperationResult::Success);
    const std::string obj = readFile(dir / "m.obj");
    EXPECT_LT(obj.find("usemtl Red"), obj.find("usemtl Blue"));
    Model back;
    ASSERT_EQ(readBack(dir / "m.obj", back), OperationResult::Success);
    EXPECT_EQ(trianglesOf(back), trianglesOf(model));
    EXPECT_EQ(back.objects.size(), 2u) << "one object a run of faces";
}

// What the model holds is written as it is: per-corner normals (turned with
// the placement), texture coordinates without a material, and material
// assignments without texture coordinates.
TEST(ObjWriter, KeepsNormalsTextureCoordinatesAndMaterialsAsTheyAre)
{
    TempDir dir;
    Model model;
    // A quad of two triangles over four shared vertices, smooth normals that
    // are no face normal, one texture coordinate per vertex.
    ModelObject& smooth = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.5f}}, {0, 1, 2, 2, 1, 3});
    const Vector3 normals[] = {{0, 0, 1},       {0.6f, 0, 0.8f}, {0, 0.6f, 0.8f},
                               {0, 0.6f, 0.8f}, {0.6f, 0, 0.8f}, {0, 0, 1}};
    ASSERT_TRUE(smooth.normals.allocate(6) && smooth.texCoords.allocate(4));
    std::copy(std::begin(normals), std::end(normals), smooth.normals.begin());
    const TexCoord perVertex[] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    std::copy(std::begin(perVertex), std::end(perVertex), smooth.texCoords.begin());
    smooth.rotation = {0, 0, 90};
    // One texture coordinate per corner, no normals: face normals.
    ModelObject& flat = addMesh(model, {{0, 0, 2}, {1, 0, 2}, {0, 1, 2}}, {0, 1, 2});
    ASSERT_TRUE(flat.texCoords.allocate(3));
    flat.texCoords[0] = {0.25f, 0.5f};
    flat.texCoords[1] = {0.75f, 0.5f};
    flat.texCoords[2] = {0.5f, 1};

    ASSERT_EQ(write(dir / "kept.obj", model), OperationResult::Success);
    const std::string text = readFile(dir / "kept.obj");
    EXPECT_EQ(text.find("mtllib"), std::string::npos);
    EXPECT_NE(text.find("# Texture Coordinate Array \r\nvt 0 0\r\nvt 1 0\r\nvt 0 1\r\nvt 1 1\r\n"
                        "vt 0.25 0.5\r\nvt 0.75 0.5\r\nvt 0.5 1\r\n\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# Facets\r\nf 1/1/1 2/2/2 3/3/3\r\nf 3/3/4 2/2/5 4/4/6\r\nf 5/5/7 6/6/7 7/7/7\r\n"),
              std::string::npos)
        << text;

    Model back;
    ASSERT_EQ(readBack(dir / "kept.obj", back), OperationResult::Success);
    ASSERT_EQ(triangleTotal(back), 3u);
    std::vector<Vector3> readNormals;
    std::vector<TexCoord> readTexCoords;
    for (const auto& object : back.objects) {
        ASSERT_EQ(object->normals.count(), object->indices.count());
        ASSERT_EQ(object->texCoords.count(), object->indices.count());
        readNormals.insert(readNormals.end(), object->normals.begin(), object->normals.end());
        readTexCoords.insert(readTexCoords.end(), object->texCoords.begin(), object->texCoords.end());
    }
    const NormalTransform turn(placementMatrix(smooth));
    for (std::uint32_t corner = 0; corner < 6; ++corner) {
        const Vector3 expected = turn.apply(normals[corner]); // (x, y, z) turned to (-y, x, z)
        EXPECT_NEAR(readNormals[corner].x, -normals[corner].y, 1e-6f) << corner;
        EXPECT_EQ(readNormals[corner], expected) << corner;
        EXPECT_EQ(readTexCoords[corner], perVertex[smooth.indices[corner]]) << corner;
    }
    for (std::uint32_t corner = 6; corner < 9; ++corner) {
        EXPECT_EQ(readNormals[corner], (Vector3{0, 0, 1})) << corner;
        EXPECT_EQ(readTexCoords[corner], flat.texCoords[corner - 6]) << corner;
    }

    // A material without texture coordinates: "usemtl" and "f v//vn".
    Model plain;
    Material& red = addNamedMaterial(plain, "Red", 0xFFFF0000u);
    ModelObject& object = addMesh(plain, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    addRange(object, red.id, 0, 3);
    ASSERT_EQ(write(dir / "red.obj", plain), OperationResult::Success);
    const std::string redText = readFile(dir / "red.obj");
    EXPECT_NE(redText.find("usemtl Red\r\nf 1//1 2//1 3//1\r\n"), std::string::npos) << redText;
    EXPECT_EQ(redText.find("vt "), std::string::npos);
}

// A point set keeps its vertices, as "p" elements; it gets no normals.
TEST(ObjWriter, PointSetsAreWrittenAsPoints)
{
    TempDir dir;
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    ModelObject& cloud = addMesh(model, {{5, 5, 5}, {6, 5, 5}, {7, 5, 5}, {8, 5, 5}}, {});
    ASSERT_TRUE(cloud.colors.allocate(4));
    cloud.colors[3] = 0xFFFFFFFFu;
    ASSERT_EQ(write(dir / "points.obj", model), OperationResult::Success);
    const std::string text = readFile(dir / "points.obj");
    EXPECT_NE(text.find("v 7 5 5 0 0 0\r\nv 8 5 5 1 1 1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# Normal Array\r\nvn 0 0 1\r\n\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("f 1//1 2//1 3//1\r\n# Points\r\np 4\r\np 5\r\np 6\r\np 7\r\n\r\n"), std::string::npos) << text;
}

// Triangles with an index beyond their object's vertices keep their normal
// number but get no face; so do triangles with two equal corners.
TEST(ObjWriter, BrokenTrianglesKeepTheirNumbers)
{
    TempDir dir;
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 9}}, {0, 1, 7, 0, 0, 1, 0, 1, 2});
    addMesh(model, {{5, 5, 5}}, {0, 1, 2});
    ASSERT_EQ(write(dir / "broken.obj", model), OperationResult::Success);
    const std::string text = readFile(dir / "broken.obj");
    EXPECT_NE(text.find("# Normal Array\r\nvn 0 0 0\r\nvn 0 0 0\r\nvn 0 0 1\r\nvn 0 0 0\r\n\r\n"), std::string::npos);
    EXPECT_NE(text.find("# Facets\r\nf 1//3 2//3 3//3\r\n\r\n"), std::string::npos);
}

namespace {

Material& addTexturedMaterial(Model& model, const std::string& name, ArgbColor diffuse, const std::string& texture)
{
    Material& material = addNamedMaterial(model, name, diffuse);
    EXPECT_TRUE(material.addTextureMap(TextureKind::Diffuse, texture));
    return material;
}

// A textured grid of `size` x `size` quads, one material range.
void addTexturedGrid(Model& model, std::int16_t materialId, std::uint32_t size)
{
    ModelObject& object = *model.addObject();
    const std::uint32_t corners = size * size * 6;
    ASSERT_TRUE(object.vertices.allocate(corners));
    ASSERT_TRUE(object.indices.allocate(corners));
    ASSERT_TRUE(object.texCoords.allocate(corners));
    std::uint32_t at = 0;
    for (std::uint32_t y = 0; y < size; ++y)
        for (std::uint32_t x = 0; x < size; ++x) {
            const float fx = static_cast<float>(x), fy = static_cast<float>(y);
            const Vector3 quad[6] = {{fx, fy, 0}, {fx + 1, fy, 0},     {fx + 1, fy + 1, 0},
                                     {fx, fy, 0}, {fx + 1, fy + 1, 0}, {fx, fy + 1, 0}};
            for (const Vector3& p : quad) {
                object.vertices[at] = p;
                object.indices[at] = at;
                object.texCoords[at] = {p.x / size, p.y / size};
                ++at;
            }
        }
    addRange(object, materialId, 0, corners);
}

} // namespace

TEST(ObjWriter, TexturesAreCopiedBesideTheFile)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "src" / "other");
    std::filesystem::create_directories(dir / "out" / "Textures");
    writeFile(dir / "src" / "wood.jpg", "first wood");
    writeFile(dir / "src" / "other" / "wood.jpg", "second wood");
    writeFile(dir / "out" / "Textures" / "wood.jpg", "an older copy");
    Model model;
    Material& dup = addTexturedMaterial(model, "SameAsWood", 0xFF808080u, (dir / "src/wood.jpg").string());
    Material& missing = addTexturedMaterial(model, "Missing", 0xFF808080u, (dir / "src/none.png").string());
    Material& other = addTexturedMaterial(model, "OtherWood", 0xFF808080u, (dir / "src/other/wood.jpg").string());
    Material& wood = addTexturedMaterial(model, "Wood", 0xFF808080u, (dir / "src/wood.jpg").string());
    addTexturedGrid(model, wood.id, 1);
    addTexturedGrid(model, other.id, 1);
    addTexturedGrid(model, missing.id, 1);
    addTexturedGrid(model, dup.id, 1);

    Failure failure;
    ASSERT_EQ(write(dir / "out" / "model.obj", model, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(filesIn(dir / "out"), (std::vector<std::string>{"Textures", "model.mtl", "model.obj"}));
    EXPECT_EQ(filesIn(dir / "out" / "Textures"), (std::vector<std::string>{"wood-2.jpg", "wood.jpg"}));
    EXPECT_EQ(readFile(dir / "out" / "Textures" / "wood.jpg"), "first wood");
    EXPECT_EQ(readFile(dir / "out" / "Textures" / "wood-2.jpg"), "second wood");
    const std::string library = readFile(dir / "out" / "model.mtl");
    EXPECT_NE(library.find("newmtl Wood\r\n"), std::string::npos);
    EXPECT_NE(library.find("map_Kd Textures/wood.jpg\r\n"), std::string::npos);
    EXPECT_NE(library.find("map_Kd Textures/wood-2.jpg\r\n"), std::string::npos);
    EXPECT_NE(library.find("map_Kd Textures/none.png\r\n"), std::string::npos); // referenced, not copied
    EXPECT_EQ(library.find("SameAsWood"), std::string::npos);
    EXPECT_EQ(readFile(dir / "out" / "model.obj").find("usemtl SameAsWood"), std::string::npos);

    // Read back: the same triangles, texture coordinates and copied textures.
    Model back;
    ASSERT_EQ(readBack(dir / "out" / "model.obj", back), OperationResult::Success);
    EXPECT_EQ(trianglesOf(back), trianglesOf(model));
    ASSERT_EQ(back.objects.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const ModelObject& read = *back.objects[i];
        const ModelObject& written = *model.objects[i];
        EXPECT_EQ(std::vector<TexCoord>(read.texCoords.begin(), read.texCoords.end()),
                  std::vector<TexCoord>(written.texCoords.begin(), written.texCoords.end()));
        ASSERT_EQ(read.materialRanges.size(), 1u);
        const Material* material = back.findMaterial(read.materialRanges[0].materialId);
        ASSERT_NE(material, nullptr);
        ASSERT_EQ(material->textures.size(), 1u);
        const char* expected[] = {"Textures/wood.jpg", "Textures/wood-2.jpg", "Textures/none.png", "Textures/wood.jpg"};
        EXPECT_EQ(material->textures[0].path, (dir / "out" / expected[i]).string());
    }
}

// A write that fails or is cancelled leaves neither file, no texture copy
// and no temporary file behind, and an older output as it was.
TEST(ObjWriter, FailedOrCancelledWritesLeaveNothing)
{
    TempDir dir;
    writeFile(dir / "wood.jpg", "wood");
    Model model;
    Material& wood = addTexturedMaterial(model, "Wood", 0xFF808080u, (dir / "wood.jpg").string());
    addTexturedGrid(model, wood.id, 30); // 1800 triangles

    // "Textures" taken by a file: the copy cannot be made.
    std::filesystem::create_directories(dir / "blocked");
    writeFile(dir / "blocked" / "Textures", "a file");
    writeFile(dir / "blocked" / "model.obj", "older output");
    Failure failure;
    EXPECT_EQ(write(dir / "blocked" / "model.obj", model, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("Textures"), std::string::npos) << describeFailure(failure);
    EXPECT_EQ(filesIn(dir / "blocked"), (std::vector<std::string>{"Textures", "model.obj"}));
    EXPECT_EQ(readFile(dir / "blocked" / "model.obj"), "older output");

    // A folder that does not exist.
    failure = {};
    EXPECT_EQ(write(dir / "absent" / "model.obj", model, &failure), OperationResult::Failure);
    EXPECT_FALSE(failure.message.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));

    // A stop at any check: the first, one in the middle, the last.
    EXPECT_GE(expectEveryStopLeavesNothing(model, dir / "stops"), 5u);
}

TEST(ObjWriter, ProgressAndStatus)
{
    TempDir dir;
    Model model;
    addTexturedGrid(model, 0, 30); // 5400 vertices, 1800 triangles
    RecordingReporter reporter;
    ASSERT_EQ(obj::writeObj(dir / "grid.obj", model, reporter), OperationResult::Success);
    std::vector<std::string> phases, counts;
    for (const auto& status : reporter.statuses)
        (status.line == 0 ? phases : counts).push_back(status.text);
    EXPECT_EQ(phases, (std::vector<std::string>{"Arranging data...", "Writing vertices...", "Writing normals...",
                                                "Writing texture coordinate array...", "Writing triangles..."}));
    EXPECT_EQ(counts.front(), "");
    EXPECT_NE(std::find(counts.begin(), counts.end(), "Vertices written: 5000 / 5400."), counts.end());
    EXPECT_NE(std::find(counts.begin(), counts.end(), "Normals written: 1000 / 1800."), counts.end());
    EXPECT_NE(std::find(counts.begin(), counts.end(), "Texture Coordinates: 5000 / 5400."), counts.end());
    EXPECT_NE(std::find(counts.begin(), counts.end(), "Facets written: 1000 / 1800."), counts.end());
    EXPECT_EQ(counts.back(), "");
    ASSERT_FALSE(reporter.progress.empty());
    EXPECT_TRUE(std::is_sorted(reporter.progress.begin(), reporter.progress.end()));
    EXPECT_DOUBLE_EQ(reporter.progress.back(), 1.0);
}

// Names cannot break lines apart; a material without a name is "None".
TEST(ObjWriter, NamesStayOnTheirLines)
{
    TempDir dir;
    writeFile(dir / "bad\nname.png", "png");
    Model model;
    Material& evil = addTexturedMaterial(model, "Evil\r\nf 1 1 1", 0xFF112233u, (dir / "bad\nname.png").string());
    Material& unnamed = *model.addMaterial();
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 2, 1, 3});
    addRange(object, unnamed.id, 3, 6);
    addRange(object, evil.id, 0, 3);
    ASSERT_EQ(write(dir / "names.obj", model), OperationResult::Success);
    const std::string library = readFile(dir / "names.mtl");
    EXPECT_NE(library.find("newmtl Evil__f 1 1 1\r\n"), std::string::npos);
    EXPECT_NE(library.find("map_Kd Textures/bad_name.png\r\n"), std::string::npos);
    EXPECT_NE(library.find("newmtl None\r\n"), std::string::npos);
    EXPECT_EQ(readFile(dir / "Textures" / "bad_name.png"), "png");
    Model back;
    ASSERT_EQ(readBack(dir / "names.obj", back), OperationResult::Success);
    EXPECT_EQ(trianglesOf(back), trianglesOf(model));
}

#include "formats/obj/obj.h"
#include "support/platform/reference_policy.h"

#include "common/cli_convert.h"
#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

OperationResult readText(const TempDir& dir, const std::string& text, Model& model, Failure* failure = nullptr,
                         const char* name = "model.obj")
{
    writeFile(dir / name, text);
    RecordingReporter reporter;
    return obj::readObj(dir / name, model, reporter, failure);
}

std::vector<Vector3> positionsOf(const ModelObject& object)
{
    return {object.vertices.begin(), object.vertices.end()};
}

const Material* materialNamed(const Model& model, const std::string& name)
{
    for (const auto& material : model.materials)
        if (material->properties.getProperty("Name") == name)
            return material.get();
    return nullptr;
}

const std::string fourPositions = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

} // namespace

// Faces of every corner form become fans of triangles with one vertex per
// corner; indices run 0, 1, 2, ...
TEST(ObjReader, FacesFansAndCornerForms)
{
    const Vector3 p1{0, 0, 0}, p2{1, 0, 0}, p3{1, 1, 0}, p4{0, 1, 0};
    struct Case {
        const char* name;
        std::string text;
        std::vector<Vector3> vertices;
    };
    const std::vector<Case> cases = {
        {"quad fan", fourPositions + "f 1 2 3 4\n", {p1, p2, p3, p3, p4, p1}},
        {"negative indices", "v 9 9 9\n" + fourPositions + "f -3 -2 -1\n", {p2, p3, p4}},
        {"position and texture", fourPositions + "vt 0 0\nf 1/1 2/1 3/1\n", {p1, p2, p3}},
        {"position and normal", fourPositions + "vn 0 0 1\nf 4//1 3//1 2//1\n", {p4, p3, p2}},
        {"all three", fourPositions + "vt 0 0\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n", {p1, p2, p3}},
        {"blanks around slashes", fourPositions + "vt 0 0\nvn 0 0 1\nf 1 / 1 / 1 2/ 1 /1 3 /1/ 1\n", {p1, p2, p3}},
        {"tabs and CR endings", "v\t0 0 0\rv 1 0 0\r\nv 1 1 0\r\tf\t1 2 3\r", {p1, p2, p3}},
        {"no final line end", fourPositions + "f 1 2 3", {p1, p2, p3}},
        {"face before its positions", "f 1 2 3\n" + fourPositions, {p1, p2, p3}},
        {"v line with letters is skipped", "v 5 5 x\n" + fourPositions + "f 1 2 3\n", {p1, p2, p3}},
        {"v line with too few numbers is skipped", "v 5 5\n" + fourPositions + "f 1 2 3\n", {p1, p2, p3}},
        {"groups, objects and smoothing change nothing",
         "o a\ng b\ns 1\n" + fourPositions + "vp 1\nl 1 2\np 1\nf 1 2 3\n",
         {p1, p2, p3}},
        {"junk tokens are no corners", fourPositions + "f 1 x 2 \\ 3\n", {p1, p2, p3}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        Model model;
        Failure failure;
        ASSERT_EQ(readText(dir, test.text, model, &failure), OperationResult::Success) << describeFailure(failure);
        ASSERT_EQ(model.objects.size(), 1u);
        const ModelObject& object = *model.objects[0];
        EXPECT_EQ(positionsOf(object), test.vertices);
        ASSERT_EQ(object.indices.count(), test.vertices.size());
        for (std::uint32_t i = 0; i < object.indices.count(); ++i)
            EXPECT_EQ(object.indices[i], i);
        EXPECT_EQ(model.profile.kind, FormatKind::Obj);
    }
}

// Indices of every length, with leading zeros and signs, followed by
// slashes, blanks, junk, line ends or the end of the file, name the vertices
// they say: long and short stretches of text behind a number read alike.
TEST(ObjReader, IndicesOfEveryLengthAndEnding)
{
    std::string text;
    constexpr int Positions = 1200;
    for (int i = 1; i <= Positions; ++i)
        text += "v " + std::to_string(i) + " 0 0\n";
    text += "vt 0 0\nvn 0 0 1\n";
    std::uint32_t random = 12345;
    const auto next = [&](std::uint32_t n) {
        random = random * 1103515245u + 12345u;
        return (random >> 8) % n;
    };
    const char* tails[] = {"", "/1", "//1", "/1/1", "abc", "/1x/1"};
    const char* blanks[] = {" ", "\t", "  "};
    const char* endings[] = {"\n", "\r\n", " \n"};
    std::vector<Vector3> expected;
    for (int face = 0; face < 3000; ++face) {
        text += "f";
        for (int corner = 0; corner < 3; ++corner) {
            const int index = 1 + static_cast<int>(next(Positions));
            std::string written = std::to_string(index);
            switch (next(4)) {
            case 0: written = std::string(next(9), '0') + written; break; // up to 8 leading zeros
            case 1: written = "+" + written; break;
            case 2: written = std::to_string(index - Positions - 1); break; // relative
            default: break;
            }
            text += blanks[next(3)] + written + tails[next(6)];
            expected.push_back({static_cast<float>(index), 0, 0});
        }
        if (face + 1 < 3000)
            text += endings[next(3)];
    }
    TempDir dir;
    Model model;
    Failure failure;
    ASSERT_EQ(readText(dir, text, model, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(model.objects.size(), 1u);
    EXPECT_EQ(positionsOf(*model.objects[0]), expected);
}

TEST(ObjReader, FacesOfAnyCornerCountAndLongLines)
{
    TempDir dir;
    // Twenty corners make eighteen triangles.
    std::string text = fourPositions;
    text += "f";
    for (int i = 0; i < 20; ++i)
        text += " " + std::to_string(i % 4 + 1);
    text += "\n";
    Model model;
    ASSERT_EQ(readText(dir, text, model), OperationResult::Success);
    EXPECT_EQ(model.objects[0]->indices.count(), 18u * 3);

    // A line far beyond 259 bytes is read whole: its last numbers are not cut.
    std::string padded = "v 0 0 0\nv 1 0 0\nv " + std::string(300, ' ') + "0.5 0.25 0.125\nf 1 2 3\n";
    Model paddedModel;
    ASSERT_EQ(readText(dir, padded, paddedModel), OperationResult::Success);
    EXPECT_EQ(paddedModel.objects[0]->vertices[2], (Vector3{0.5f, 0.25f, 0.125f}));

    // The corpus' long face line names corners 1 2 3 4 over and over.
    std::string longFace = fourPositions + "f";
    std::uint32_t corners = 0;
    for (; longFace.size() < 2000; corners += 4)
        longFace += " 1 2 3 4";
    Model longModel;
    ASSERT_EQ(readText(dir, longFace + "\nf 1 2 3\n", longModel), OperationResult::Success);
    EXPECT_EQ(longModel.objects[0]->indices.count(), (corners - 2 + 1) * 3);
}

TEST(ObjReader, RejectsFacesWithFewerThanThreeCorners)
{
    for (const char* face : {"f 1 2\n", "f 1\n", "f\n", "f x y\n"}) {
        SCOPED_TRACE(face);
        TempDir dir;
        Model model;
        Failure failure;
        EXPECT_EQ(readText(dir, fourPositions + "f 1 2 3\n" + face, model, &failure), OperationResult::Failure);
        EXPECT_EQ(failure.message, "face with fewer than three corners");
    }
}

// A face that names a vertex the file does not have (index 0, beyond the
// list, or before its start) is dropped and counted, never built from other
// vertices or the origin.
TEST(ObjReader, FacesNamingMissingVerticesAreDroppedAndCounted)
{
    for (const char* face : {"f -9 2 3\n", "f 2 3 4 0\n", "f 2 3 4 99999999999\n", "f 1 0 3\n", "f -1 -2 -9999999\n"}) {
        SCOPED_TRACE(face);
        TempDir dir;
        writeFile(dir / "model.obj", fourPositions + "f 1 2 3\n" + face);
        Model model;
        RecordingReporter reporter;
        ASSERT_EQ(obj::readObj(dir / "model.obj", model, reporter), OperationResult::Success);
        ASSERT_EQ(model.objects.size(), 1u);
        EXPECT_EQ(model.objects[0]->triangleCount(), 1u);
        EXPECT_EQ(reporter.messages,
                  (std::vector<std::string>{"1 face(s) dropped: a corner names a vertex the file does not have"}));
    }
    TempDir dir;
    writeFile(dir / "model.obj", "f 1 2 3\n");
    Model model;
    RecordingReporter reporter;
    ASSERT_EQ(obj::readObj(dir / "model.obj", model, reporter), OperationResult::Success);
    EXPECT_TRUE(model.objects.empty()) << "a face before any vertex, and no vertex after it";
    EXPECT_EQ(reporter.messages.size(), 1u);
}

// A file without vertices is an empty model; vertices without faces (a
// point cloud, points as "p" elements, lines) stay one point set with their
// colours, never made into triangles.
TEST(ObjReader, EmptyFilesGiveEmptyModelsAndFacelessOnesPointSets)
{
    for (const std::string& text : {std::string(), std::string("# nothing\n\n"), std::string("f 1 2 3\n")}) {
        TempDir dir;
        Model model;
        EXPECT_EQ(readText(dir, text, model), OperationResult::Success);
        EXPECT_TRUE(model.objects.empty());
        EXPECT_EQ(model.profile.kind, FormatKind::Obj);
    }
    for (const std::string& text : {fourPositions, fourPositions + "p 1 2 3 4\n", fourPositions + "l 1 2 3\n",
                                    std::string("v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 1 0 0 0 1\nv 1 1 1 1 1 1\n")}) {
        TempDir dir;
        Model model;
        ASSERT_EQ(readText(dir, text, model), OperationResult::Success) << text;
        ASSERT_EQ(model.objects.size(), 1u) << text;
        const ModelObject& points = *model.objects[0];
        EXPECT_EQ(points.vertices.count(), 4u) << text;
        EXPECT_TRUE(points.indices.empty()) << text;
        EXPECT_TRUE(points.isPointSet()) << text;
        if (text.starts_with("v 0 0 0 1")) {
            EXPECT_EQ(morvex::testing::toVector(points.colors),
                      (std::vector<ArgbColor>{0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF}));
        }
    }
    Model missing;
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(obj::readObj("/nonexistent/model.obj", missing, reporter, &failure), OperationResult::Failure);
    EXPECT_FALSE(failure.message.empty());
}

// One object per run of faces with the same material; runs get a material
// range only when the file has texture coordinates.
TEST(ObjReader, MaterialRunsBecomeObjects)
{
    TempDir dir;
    std::string text = fourPositions + "vt 0 0\n";
    text += "f 1 2 3\n"; // before any usemtl: material -1
    text += "usemtl A\n";
    for (int i = 0; i < 5; ++i)
        text += "f 1/1 2/1 3/1\n";
    text += "usemtl B\nusemtl B\n";
    for (int i = 0; i < 3; ++i)
        text += "f 1 2 3 4\n";
    text += "usemtl A\nf 1 2 3\n";
    Model model;
    ASSERT_EQ(readText(dir, text, model), OperationResult::Success);
    ASSERT_EQ(model.objects.size(), 4u);
    const std::uint32_t expectedIndices[] = {3, 15, 18, 3};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(model.objects[i]->indices.count(), expectedIndices[i]);

    ASSERT_EQ(model.materials.size(), 2u);
    const Material* a = materialNamed(model, "A");
    const Material* b = materialNamed(model, "B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, 0);
    EXPECT_EQ(b->id, 1);
    const std::int16_t expectedIds[] = {0, a->id, b->id, a->id}; // the run without material takes id 0
    for (int i = 0; i < 4; ++i) {
        const ModelObject& object = *model.objects[i];
        ASSERT_EQ(object.materialRanges.size(), 1u);
        EXPECT_EQ(object.materialRanges[0].materialId, expectedIds[i]);
        EXPECT_EQ(object.materialRanges[0].firstIndex, 0u);
        EXPECT_EQ(object.materialRanges[0].endIndex, object.indices.count());
        EXPECT_EQ(object.texCoords.count(), object.indices.count());
    }

    // Without "vt" lines: the same objects, no ranges.
    std::string untextured = fourPositions + "usemtl A\nf 1 2 3\nusemtl B\nf 1 2 3\n";
    Model plain;
    ASSERT_EQ(readText(dir, untextured, plain), OperationResult::Success);
    ASSERT_EQ(plain.objects.size(), 2u);
    for (const auto& object : plain.objects) {
        EXPECT_TRUE(object->materialRanges.empty());
        EXPECT_TRUE(object->texCoords.empty());
    }
}

TEST(ObjReader, NormalsTexCoordsAndColoursPerCorner)
{
    TempDir dir;
    const std::string text = "v 0 0 0 255 0 0\n"
                             "v 1 0 0\n"
                             "v 1 1 0 0.5 0.5 0.5\n"
                             "v 0 1 0 0 300 -5\n"
                             "vn 0 0 1\nvn 1\n"
                             "vt 0.25 0.75\nvt 0.5\n"
                             "f 1/1/1 2/2/2 3/1/1 4/2/1\n";
    Model model;
    ASSERT_EQ(readText(dir, text, model), OperationResult::Success);
    const ModelObject& object = *model.objects[0];
    ASSERT_EQ(object.normals.count(), 6u);
    ASSERT_EQ(object.texCoords.count(), 6u);
    ASSERT_EQ(object.colors.count(), 6u);
    // Fan corners: 1 2 3 | 3 4 1.
    const Vector3 up{0, 0, 1}, x{1, 0, 0};
    EXPECT_EQ(std::vector<Vector3>(object.normals.begin(), object.normals.end()),
              (std::vector<Vector3>{up, x, up, up, up, up}));
    const TexCoord t1{0.25f, 0.75f}, t2{0.5f, 0.0f};
    EXPECT_EQ(std::vector<TexCoord>(object.texCoords.begin(), object.texCoords.end()),
              (std::vector<TexCoord>{t1, t2, t1, t1, t2, t1}));
    // Byte colours, fractions of 1 scaled to bytes, no colour black,
    // out-of-range bytes clamped.
    const std::vector<ArgbColor> colours(object.colors.begin(), object.colors.end());
    EXPECT_EQ(colours,
              (std::vector<ArgbColor>{0xFFFF0000u, 0xFF000000u, 0xFF808080u, 0xFF808080u, 0xFF00FF00u, 0xFFFF0000u}));
}

TEST(ObjReader, MaterialLibraries)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "sub");
    std::filesystem::create_directories(dir / "folder.mtl");
    writeFile(dir / "lib.mtl", "# library\n"
                               "Kd 1 1 1\n" // before any material: ignored
                               "newmtl Red\n"
                               "Ka 0.2 0.2 0.2\n"
                               "Kd 0.8 0.4 0.2\n"
                               "Ks 1.5 -1 0.5\n"
                               "map_Kd .\\textures\\red.png\n"
                               "newmtl\tGrey\t\t\n"
                               "Kd 0.5\n"
                               "Kd spectral file.rfl\n"
                               "map_Ka sub/grey skin.jpg\n"
                               "map_Kd missing\\dir\\none.png\n");
    writeFile(dir / "red.png", "png");
    writeFile(dir / "sub" / "grey skin.jpg", "jpg");
    writeFile(dir / "sub" / "other.mtl", "newmtl Other\nKd 0 0 1\n");
    const std::string text = "mtllib lib.mtl\n"
                             "mtllib lib\n" // the same library again: read once
                             "mtllib nothing-here.mtl\n"
                             "mtllib folder.mtl\n"
                             "mtllib sub\\other\n" +
                             fourPositions + "vt 0 0\nusemtl Grey\nf 1 2 3\nusemtl Unknown\nf 1 2 3\n";
    Model model;
    Failure failure;
    ASSERT_EQ(readText(dir, text, model, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(model.materials.size(), 4u);
    const Material* red = materialNamed(model, "Red");
    const Material* grey = materialNamed(model, "Grey");
    const Material* other = materialNamed(model, "Other");
    const Material* unknown = materialNamed(model, "Unknown");
    ASSERT_TRUE(red && grey && other && unknown);
    EXPECT_EQ(red->colors[AmbientSlot], 0xFF333333u);
    EXPECT_EQ(red->colors[DiffuseSlot], 0xFFCC6633u);
    EXPECT_EQ(red->colors[SpecularSlot], 0xFFFF007Fu);
    EXPECT_TRUE(red->colorSet[AmbientSlot] && red->colorSet[DiffuseSlot] && red->colorSet[SpecularSlot]);
    ASSERT_EQ(red->textures.size(), 1u);
    EXPECT_EQ(red->textures[0].kind, TextureKind::Diffuse);
    EXPECT_EQ(red->textures[0].path, (dir / "red.png").string());

    EXPECT_EQ(grey->colors[DiffuseSlot], 0xFF7F7F7Fu);
    EXPECT_FALSE(grey->colorSet[AmbientSlot]);
    ASSERT_EQ(grey->textures.size(), 2u);
    EXPECT_EQ(grey->textures[0].kind, TextureKind::Ambient);
    EXPECT_EQ(grey->textures[0].path, (dir / "sub/grey skin.jpg").string());
    EXPECT_EQ(grey->textures[1].path, (dir / "missing/dir/none.png").string());

    EXPECT_EQ(other->colors[DiffuseSlot], 0xFF0000FFu);
    EXPECT_FALSE(unknown->colorSet[DiffuseSlot]);
    // Ids in order of creation; the list runs newest first.
    EXPECT_EQ(red->id, 0);
    EXPECT_EQ(grey->id, 1);
    EXPECT_EQ(other->id, 2);
    EXPECT_EQ(unknown->id, 3);
    EXPECT_EQ(model.materials.front().get(), unknown);
    ASSERT_EQ(model.objects.size(), 2u);
    EXPECT_EQ(model.objects[0]->materialRanges[0].materialId, grey->id);
    EXPECT_EQ(model.objects[1]->materialRanges[0].materialId, unknown->id);
}

// A library beside the OBJ's folder is read only when that folder is allowed
// (the folder converted as a whole, or one the user names).
TEST(ObjReader, LibraryOutsideTheFolderIsReadOnlyWhenAllowed)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "models");
    writeFile(dir / "shared.mtl", "newmtl Shared\nKd 0 1 0\n");
    const std::string text = "mtllib ../shared.mtl\n" + fourPositions + "usemtl Shared\nf 1 2 3\n";
    Model refused;
    ASSERT_EQ(readText(dir, text, refused, nullptr, "models/part.obj"), OperationResult::Success);
    const Material* unread = materialNamed(refused, "Shared"); // "usemtl" alone makes a plain one
    EXPECT_TRUE(unread == nullptr || unread->colors[DiffuseSlot] != 0xFF00FF00u);

    setReferencePolicy({{dir.path()}});
    Model model;
    ASSERT_EQ(readText(dir, text, model, nullptr, "models/part.obj"), OperationResult::Success);
    setReferencePolicy({});
    const Material* shared = materialNamed(model, "Shared");
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->colors[DiffuseSlot], 0xFF00FF00u);
}

TEST(ObjReader, ProgressStatusAndCancellation)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "v " + std::to_string(i) + " 0 0\n";
    text += "f 1 2 3\n";
    writeFile(dir / "model.obj", text);

    RecordingReporter reporter;
    Model model;
    ASSERT_EQ(obj::readObj(dir / "model.obj", model, reporter), OperationResult::Success);
    std::vector<std::string> texts;
    for (const auto& status : reporter.statuses) {
        EXPECT_EQ(status.line, 1); // the passes report one line down
        texts.push_back(status.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Reading raw OBJ", "Reading raw OBJ... Line #102",
                                               "Reading raw OBJ... Line #204", "Reading raw OBJ... Complete!",
                                               "Compiling 3D Model", "Compiling 3D Model... Complete!"}));
    ASSERT_FALSE(reporter.progress.empty());
    EXPECT_DOUBLE_EQ(reporter.progress.back(), 1.0);
    EXPECT_NE(std::find(reporter.progress.begin(), reporter.progress.end(), 0.45), reporter.progress.end());

    RecordingReporter stopping;
    stopping.cancelAfterChecks(2);
    Model cancelled;
    EXPECT_EQ(obj::readObj(dir / "model.obj", cancelled, stopping), OperationResult::Cancelled);
    EXPECT_EQ(stopping.cancelChecks(), 2u);
    EXPECT_TRUE(cancelled.objects.empty());

    // A stop asked while a long library is read ends the read too.
    std::string library = "newmtl M\n";
    for (int i = 0; i < 300; ++i)
        library += "Kd 1 1 1\n";
    writeFile(dir / "long.mtl", library);
    writeFile(dir / "lib.obj", "mtllib long.mtl\n" + fourPositions + "f 1 2 3\n");
    RecordingReporter stopInLibrary;
    stopInLibrary.cancelAfterChecks(1);
    Model libraryModel;
    EXPECT_EQ(obj::readObj(dir / "lib.obj", libraryModel, stopInLibrary), OperationResult::Cancelled);
}

// Damaged files never crash, hang or read out of bounds: every prefix of a
// file with materials, and random changes of its bytes.
TEST(ObjReader, DamagedFilesAreHandled)
{
    TempDir dir;
    writeFile(dir / "lib.mtl", "newmtl A\nKd 1 0 0\nmap_Kd a.png\n");
    const std::string valid = "mtllib lib.mtl\n" + fourPositions +
                              "vt 0 0\nvt 1 1\nvn 0 0 1\nusemtl A\nf 1/1/1 2/2/1 3/1/1 4/2/1\n"
                              "f -1/-1/-1 -2/-2/-1 -3/-1/-1\nusemtl B\nf 1//1 2//1 3//1\n";
    for (std::size_t length = 0; length <= valid.size(); ++length) {
        Model model;
        const OperationResult result = readText(dir, valid.substr(0, length), model);
        EXPECT_NE(result, OperationResult::Cancelled);
    }
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const char alphabet[] = "0123456789-+./ \t\r\nfvnt#e";
    for (int round = 0; round < 400; ++round) {
        std::string damaged = valid;
        for (int change = 0; change < 4; ++change) {
            const std::size_t at = next() % damaged.size();
            damaged[at] = next() % 3 == 0 ? static_cast<char>(next() & 0xFF) : alphabet[next() % (sizeof alphabet - 1)];
        }
        Model model;
        const OperationResult result = readText(dir, damaged, model);
        EXPECT_NE(result, OperationResult::Cancelled);
        for (const auto& object : model.objects) {
            EXPECT_EQ(object->vertices.count(), object->indices.count());
            EXPECT_EQ(object->indices.count() % 3, 0u);
        }
    }
}

TEST(ObjReader, CommandLineConvertsObjFiles)
{
    using morvex::testing::convertWithCli;
    TempDir dir;
    writeFile(dir / "part.mtl", "newmtl Steel\nKd 0.5 0.5 0.5\nmap_Kd steel.png\n");
    writeFile(dir / "steel.png", "png");
    writeFile(dir / "part.obj", "mtllib part.mtl\n" + fourPositions + "vt 0 0\nusemtl Steel\nf 1/1 2/1 3/1 4/1\n");
    writeFile(dir / "broken.obj", fourPositions + "f 1 2\n");
    std::string output;
    EXPECT_EQ(convertWithCli(dir / "part.obj", "obj", dir / "out", &output), 0) << output;
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "part.obj"));
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "part.mtl"));
    EXPECT_EQ(morvex::testing::readFile(dir / "out" / "Textures" / "steel.png"), "png");

    output.clear();
    EXPECT_EQ(convertWithCli(dir / "broken.obj", "obj", dir / "out", &output), 1);
    EXPECT_NE(output.find("broken.obj: Read failed: line 5: face with fewer than three corners"), std::string::npos)
        << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "broken.obj"));
}

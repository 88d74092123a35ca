#include "formats/obj/obj.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::utf16Text;
using morvex::testing::writeFile;
using namespace std::string_literals;

namespace {

struct Outline {
    std::vector<double> x;
    std::vector<double> y;
};

// Twice the area of the triangles of every object, each measured in 3D.
double twiceTriangleArea(const Model& model)
{
    double total = 0;
    for (const auto& object : model.objects)
        for (std::uint32_t i = 0; i + 2 < object->indices.count(); i += 3) {
            const Vector3& a = object->vertices[object->indices[i]];
            const Vector3& b = object->vertices[object->indices[i + 1]];
            const Vector3& c = object->vertices[object->indices[i + 2]];
            const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
            const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
            total += std::sqrt(std::pow(uy * vz - uz * vy, 2) + std::pow(uz * vx - ux * vz, 2) +
                               std::pow(ux * vy - uy * vx, 2));
        }
    return total;
}

// An OBJ face over the outline, in the plane z = x (tilted), with a
// texture coordinate and a normal per corner that name the corner.
std::string faceText(const Outline& outline)
{
    std::string text;
    for (std::size_t i = 0; i < outline.x.size(); ++i) {
        text += "v " + std::to_string(outline.x[i]) + " " + std::to_string(outline.y[i]) + " " +
                std::to_string(outline.x[i]) + "\n";
        text += "vt " + std::to_string(outline.x[i]) + " " + std::to_string(outline.y[i]) + "\n";
        text += "vn 0 " + std::to_string(i) + " 1\n";
    }
    text += "f";
    for (std::size_t i = 1; i <= outline.x.size(); ++i)
        text += " " + std::to_string(i) + "/" + std::to_string(i) + "/" + std::to_string(i);
    return text + "\n";
}

void readText(const TempDir& dir, std::string_view text, Model& model, RecordingReporter& reporter,
              Failure* failure = nullptr, OperationResult expected = OperationResult::Success)
{
    writeFile(dir / "model.obj", text);
    EXPECT_EQ(obj::readObj(dir / "model.obj", model, reporter, failure), expected);
}

} // namespace

// Faces of any corner count become corners - 2 triangles; a concave face is
// cut so that its area is right (a fan would cover area outside it), and
// every corner keeps its own texture coordinate and normal.
TEST(ObjPolygons, FacesOfAnyCornerCountKeepTheirArea)
{
    Outline circle;
    for (int i = 0; i < 66; ++i) {
        circle.x.push_back(4 * std::cos(2 * M_PI * i / 66));
        circle.y.push_back(4 * std::sin(2 * M_PI * i / 66));
    }
    Outline star; // ten tips, concave at every inner corner
    for (int i = 0; i < 20; ++i) {
        const double radius = i % 2 == 0 ? 5 : 2;
        star.x.push_back(radius * std::cos(M_PI * i / 10));
        star.y.push_back(radius * std::sin(M_PI * i / 10));
    }
    // A "U": its fan from the first corner would bridge the gap.
    const Outline u = {{0, 3, 3, 2, 2, 1, 1, 0}, {0, 0, 3, 3, 1, 1, 3, 3}};
    const struct {
        const char* name;
        Outline outline;
    } faces[] = {{"66-corner circle", circle}, {"star", star}, {"U", u}};
    for (const auto& face : faces) {
        SCOPED_TRACE(face.name);
        const Outline& outline = face.outline;
        double twiceArea = 0; // in the xy plane; the face lies at z = x
        for (std::size_t i = 0; i < outline.x.size(); ++i) {
            const std::size_t j = (i + 1) % outline.x.size();
            twiceArea += outline.x[i] * outline.y[j] - outline.x[j] * outline.y[i];
        }
        TempDir dir;
        RecordingReporter reporter;
        Failure failure;
        Model model;
        readText(dir, faceText(outline), model, reporter, &failure);
        ASSERT_EQ(model.objects.size(), 1u) << describeFailure(failure);
        const ModelObject& object = *model.objects[0];
        EXPECT_EQ(object.triangleCount(), outline.x.size() - 2);
        EXPECT_NEAR(twiceTriangleArea(model), std::fabs(twiceArea) * std::sqrt(2.0), 1e-3);
        ASSERT_EQ(object.texCoords.count(), object.indices.count());
        ASSERT_EQ(object.normals.count(), object.indices.count());
        for (std::uint32_t k = 0; k < object.indices.count(); ++k) {
            const Vector3& position = object.vertices[object.indices[k]];
            EXPECT_FLOAT_EQ(object.texCoords[k].u, position.x);
            EXPECT_FLOAT_EQ(object.texCoords[k].v, position.y);
            const auto corner = static_cast<std::size_t>(object.normals[k].y);
            ASSERT_LT(corner, outline.x.size());
            EXPECT_NEAR(position.x, outline.x[corner], 1e-5);
            EXPECT_NEAR(position.y, outline.y[corner], 1e-5);
        }
    }
}

// Faces of hundreds of corners among triangles, in runs of different
// materials: every face keeps its corner count and every run its faces.
TEST(ObjPolygons, FacesOfHundredsOfCornersAmongTrianglesAndMaterials)
{
    const auto circle = [](int corners, int firstVertex, std::string& vertices, std::string& face) {
        face = "f";
        for (int i = 0; i < corners; ++i) {
            vertices += "v " + std::to_string(std::cos(2 * M_PI * i / corners)) + " " +
                        std::to_string(std::sin(2 * M_PI * i / corners)) + " " + std::to_string(corners) + "\n";
            face += " " + std::to_string(firstVertex + i);
        }
        face += "\n";
    };
    std::string vertices = "v 0 0 0\nv 1 0 0\nv 0 1 0\n", big, bigger;
    circle(300, 4, vertices, big);
    circle(260, 304, vertices, bigger);
    const std::string text =
        vertices + "f 1 2 3\n" + big + "usemtl other\n" + bigger + "f 3 2 1\n" + "usemtl first\nf 1 3 2\n" + big;
    TempDir dir;
    RecordingReporter reporter;
    Model model;
    readText(dir, text, model, reporter);
    ASSERT_EQ(model.objects.size(), 3u);
    EXPECT_EQ(model.objects[0]->triangleCount(), 1u + 298u);
    EXPECT_EQ(model.objects[1]->triangleCount(), 258u + 1u);
    EXPECT_EQ(model.objects[2]->triangleCount(), 1u + 298u);
    // Each face's triangles lie in its own plane (z is its corner count).
    const auto zOf = [](const ModelObject& object, std::uint32_t triangle) {
        return object.vertices[object.indices[3 * triangle + 2]].z;
    };
    EXPECT_EQ(zOf(*model.objects[0], 0), 0.0f);
    EXPECT_EQ(zOf(*model.objects[0], 298), 300.0f);
    EXPECT_EQ(zOf(*model.objects[1], 257), 260.0f);
    EXPECT_EQ(zOf(*model.objects[1], 258), 0.0f);
    EXPECT_EQ(zOf(*model.objects[2], 0), 0.0f);
    EXPECT_EQ(zOf(*model.objects[2], 1), 300.0f);
    // Twice the area of a regular n-gon of radius 1 is n sin(2 pi / n); of
    // each small triangle, 1.
    const auto twiceCircle = [](int n) { return n * std::sin(2 * M_PI / n); };
    EXPECT_NEAR(twiceTriangleArea(model), 3 + 2 * twiceCircle(300) + twiceCircle(260), 1e-3);
}

// OBJ and MTL text in UTF-16 with a mark reads as the same text in UTF-8;
// text that is neither is refused with the reason, and a library that is
// neither is skipped with a message.
TEST(ObjEncodings, ReadsUtf16AndRefusesOtherEncodings)
{
    const std::string library = "newmtl r\xC3\xB6t\nKd 1 0 0\n";
    const std::string text = "mtllib colours.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nusemtl r\xC3\xB6t\nf 1 2 3 4\n";
    for (const int variant : {0, 1, 2, 3}) {
        SCOPED_TRACE(variant);
        TempDir dir;
        const bool bigEndian = variant == 2;
        const std::string objText = variant == 0   ? text
                                    : variant == 3 ? "\xEF\xBB\xBF" + text
                                                   : utf16Text(text, bigEndian);
        writeFile(dir / "colours.mtl", variant == 0 ? library : utf16Text(library, !bigEndian));
        RecordingReporter reporter;
        Failure failure;
        Model model;
        readText(dir, objText, model, reporter, &failure);
        ASSERT_EQ(model.objects.size(), 1u) << describeFailure(failure);
        EXPECT_EQ(model.objects[0]->triangleCount(), 2u);
        EXPECT_EQ(model.objects[0]->vertices[2], (Vector3{1, 1, 0}));
        ASSERT_EQ(model.materials.size(), 1u);
        EXPECT_EQ(model.materials[0]->properties.getProperty("Name"), "r\xC3\xB6t");
        EXPECT_EQ(model.materials[0]->colors[DiffuseSlot], 0xFFFF0000u);
        EXPECT_TRUE(reporter.messages.empty());
    }

    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } refused[] = {
        {"UTF-16 without a mark", utf16Text(text, false, false), "UTF-16 without a byte-order mark"},
        {"UTF-32", std::string("\xFF\xFE\0\0v\0\0\0", 8), "UTF-32"},
        {"NUL bytes", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n\0\0\0\0"s, "NUL"},
        {"odd UTF-16", utf16Text(text, false) + "x", "odd number of bytes"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RecordingReporter reporter;
        Failure failure;
        Model model;
        readText(dir, c.bytes, model, reporter, &failure, OperationResult::Failure);
        EXPECT_TRUE(model.objects.empty());
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << describeFailure(failure);
    }

    TempDir dir;
    writeFile(dir / "colours.mtl", utf16Text(library, false, false));
    RecordingReporter reporter;
    Model model;
    readText(dir, text, model, reporter);
    ASSERT_EQ(model.objects.size(), 1u);
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_NE(reporter.messages[0].find("colours.mtl skipped: text in UTF-16 without a byte-order mark"),
              std::string::npos)
        << reporter.messages[0];
}

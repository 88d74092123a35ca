#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/obj/obj.h"
#include "formats/stl/stl.h"

#include <functional>
#include <vector>

using namespace morvex;
using namespace morvex::testing;

namespace {

using Reader = std::function<OperationResult(const std::filesystem::path&, Model&, ProgressReporter&, Failure*)>;

// The path entry point of a reader that also reads from memory.
Reader pathReader(OperationResult (*read)(const std::filesystem::path&, Model&, ProgressReporter&, Failure*))
{
    return read;
}
using Writer = std::function<OperationResult(const std::filesystem::path&, const Model&, ProgressReporter&, Failure*)>;

struct Triangle {
    Vector3 corners[3];
    friend bool operator==(const Triangle&, const Triangle&) = default;
};

// Every triangle of every object, placed, in order.
std::vector<Triangle> placedTriangles(const Model& model)
{
    std::vector<Triangle> triangles;
    for (const auto& object : model.objects) {
        const Matrix4 placement = placementMatrix(*object);
        for (std::uint32_t t = 0; t < object->triangleCount(); ++t) {
            Triangle triangle;
            for (int c = 0; c < 3; ++c)
                triangle.corners[c] = transformPoint(object->vertices[object->indices[3 * t + c]], placement);
            triangles.push_back(triangle);
        }
    }
    return triangles;
}

// Reads `source`, passes it through a document and writes and reads it
// back in the source format; the triangles must come back unchanged.
void expectSameGeometryThroughDocument(const std::filesystem::path& source, const std::string& extension,
                                       const Reader& read, const Writer& write)
{
    TempDir dir;
    RecordingReporter reporter;
    Failure failure;
    Model original;
    ASSERT_EQ(read(source, original, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_FALSE(original.objects.empty());
    ASSERT_EQ(docs3dp::write3dp(dir / "middle.3dp", original, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    Model document;
    ASSERT_EQ(docs3dp::read3dp(dir / "middle.3dp", document, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_EQ(placedTriangles(document), placedTriangles(original));
    // Uncoloured objects stay uncoloured; coloured ones keep colours.
    ASSERT_EQ(document.objects.size(), original.objects.size());
    for (std::size_t i = 0; i < original.objects.size(); ++i)
        EXPECT_EQ(document.objects[i]->colors.empty(), original.objects[i]->colors.empty()) << "object " << i;
    ASSERT_EQ(write(dir / ("back" + extension), document, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    Model back;
    ASSERT_EQ(read(dir / ("back" + extension), back, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_EQ(placedTriangles(back), placedTriangles(original));
}

} // namespace

TEST(Document3dpRoundTrip, StlThroughADocumentKeepsItsGeometry)
{
    MORVEX_REQUIRE_CORPUS();
    for (const char* name : {"assimp__Spider_binary.stl", "assimp__Spider_ascii.stl", "trimesh__20mm-xyz-cube.stl",
                             "assimp__3DSMaxExport.STL", "openscad__example016.stl",
                             "assimp__triangle_with_two_solids.stl", "trimesh__1002_tray_bottom.STL"}) {
        SCOPED_TRACE(name);
        expectSameGeometryThroughDocument(corpusDir() / "stl" / name, ".stl", pathReader(stl::readStl),
                                          stl::writeStlBinary);
    }
}

TEST(Document3dpRoundTrip, ObjThroughADocumentKeepsItsGeometry)
{
    MORVEX_REQUIRE_CORPUS();
    for (const char* name : {"assimp__spider/spider.obj", "assimp__box.obj", "assimp__cube_with_vertexcolors.obj",
                             "assimp__testmixed.obj", "trimesh__capsule/capsule.obj", "trimesh__fuze/fuze.obj"}) {
        SCOPED_TRACE(name);
        expectSameGeometryThroughDocument(corpusDir() / "obj" / name, ".obj", pathReader(obj::readObj), obj::writeObj);
    }
}

// Packages written by us, read by the reference 3MF library and by Assimp.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#ifdef MORVEX_HAVE_LIB3MF
#include "Model/COM/NMR_DLLInterfaces.h"

// lib3mf 1.8 never closes the zip entries it reads. The leak report's stack
// ends inside libzip (built without frame pointers), so it can only be
// matched there; the zip component's own use of libzip is leak-checked in
// the zip tests, which carry no such suppression.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:lib3MF.so\nleak:libzip.so\n";
}
#endif

using namespace morvex;
using namespace morvex::threemf_test;
using morvex::testing::runCommand;
using morvex::testing::shellQuote;
using morvex::testing::TempDir;

namespace {

// Three objects: per-corner colours with mixed corners and a placement,
// per-vertex colours with a rotation, no colours; and one without vertices.
void buildInteropModel(Model& model)
{
    model.properties.setProperty("Title", "Interop check");
    model.properties.setProperty("BuildItem:partnumber_11", "PN-11");

    ModelObject& corners = addTetrahedron(model);
    corners.properties.setProperty("id", "11");
    corners.position = {5, 0, 0};
    setColors(corners, {Red, Red, Red, Green, Red, Red, Blue, Yellow, Green, Red, Red, Blue});

    ModelObject& perVertex = addTetrahedron(model);
    perVertex.rotation = {0, 0, 90};
    perVertex.position = {0, 30, 0};
    setColors(perVertex, {Blue, Green, Yellow, Red});

    addTetrahedron(model).position = {-20, 0, 0};
    model.addObject();
}

// Where a model's vertex lands in the file, placement applied.
Vector3 placedVertex(const ModelObject& object, std::uint32_t index)
{
    return transformPoint(object.vertices[index], placementMatrix(object));
}

std::filesystem::path writeInteropPackage(const Model& model, const TempDir& temp)
{
    const std::filesystem::path path = temp / "interop.3mf";
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(threemf::write3mf(path, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    threemf_test::expectStrictlyReadable(path);
    return path;
}

#ifdef MORVEX_HAVE_LIB3MF

// Releases a lib3mf instance when it goes.
struct Lib3mfHandle {
    NMR::PLib3MFBase* instance = nullptr;
    ~Lib3mfHandle()
    {
        if (instance != nullptr)
            NMR::lib3mf_release(instance);
    }
};

ArgbColor argbOf(const NMR::MODELMESHCOLOR_SRGB& color)
{
    return static_cast<ArgbColor>(color.m_Alpha) << 24 | static_cast<ArgbColor>(color.m_Red) << 16 |
           static_cast<ArgbColor>(color.m_Green) << 8 | color.m_Blue;
}

#endif

} // namespace

TEST(ThreeMfWriterInterop, Lib3mfReadsOurObjectsTrianglesColoursAndBuild)
{
#ifndef MORVEX_HAVE_LIB3MF
    GTEST_SKIP() << "lib3mf is not installed (Debian lib3mf-dev)";
#else
    using namespace NMR;
    TempDir temp;
    Model model;
    buildInteropModel(model);
    const std::filesystem::path path = writeInteropPackage(model, temp);

    Lib3mfHandle document, reader;
    ASSERT_EQ(lib3mf_createmodel(&document.instance), 0);
    ASSERT_EQ(lib3mf_model_queryreader(document.instance, "3mf", &reader.instance), 0);
    // Strict mode: any deviation from the core rules fails the read. (It
    // also refuses metadata names outside the well-known set, such as the
    // "ModelName" that models from STL carry; lenient mode skips those.)
    ASSERT_EQ(lib3mf_reader_setstrictmodeactive(reader.instance, true), 0);
    const HRESULT read = lib3mf_reader_readfromfileutf8(reader.instance, path.c_str());
    DWORD errorCode = 0;
    LPCSTR errorText = nullptr;
    if (read != 0)
        lib3mf_getlasterror(reader.instance, &errorCode, &errorText);
    ASSERT_EQ(read, 0) << "lib3mf error " << std::hex << errorCode << " " << (errorText ? errorText : "");
    DWORD warnings = 1;
    ASSERT_EQ(lib3mf_reader_getwarningcount(reader.instance, &warnings), 0);
    EXPECT_EQ(warnings, 0u);

    Lib3mfHandle meshes;
    ASSERT_EQ(lib3mf_model_getmeshobjects(document.instance, &meshes.instance), 0);
    std::uint32_t objectNumber = 0;
    BOOL more = false;
    while (lib3mf_resourceiterator_movenext(meshes.instance, &more) == 0 && more) {
        ASSERT_LT(objectNumber, 3u);
        const ModelObject& source = *model.objects[objectNumber];
        Lib3mfHandle mesh;
        ASSERT_EQ(lib3mf_resourceiterator_getcurrent(meshes.instance, &mesh.instance), 0);
        DWORD id = 0, vertexCount = 0, triangleCount = 0;
        lib3mf_resource_getresourceid(mesh.instance, &id);
        lib3mf_meshobject_getvertexcount(mesh.instance, &vertexCount);
        lib3mf_meshobject_gettrianglecount(mesh.instance, &triangleCount);
        EXPECT_EQ(id, objectNumber + 1) << "objects numbered 1, 2, 3 in model order";
        ASSERT_EQ(vertexCount, source.vertices.count());
        ASSERT_EQ(triangleCount, source.triangleCount());

        for (DWORD v = 0; v < vertexCount; ++v) {
            MODELMESHVERTEX vertex{};
            ASSERT_EQ(lib3mf_meshobject_getvertex(mesh.instance, v, &vertex), 0);
            const Vector3 expected = placedVertex(source, v);
            EXPECT_NEAR(vertex.m_fPosition[0], expected.x, 1e-5) << id << ":" << v;
            EXPECT_NEAR(vertex.m_fPosition[1], expected.y, 1e-5) << id << ":" << v;
            EXPECT_NEAR(vertex.m_fPosition[2], expected.z, 1e-5) << id << ":" << v;
        }
        Lib3mfHandle properties;
        ASSERT_EQ(lib3mf_meshobject_createpropertyhandler(mesh.instance, &properties.instance), 0);
        for (DWORD t = 0; t < triangleCount; ++t) {
            MODELMESHTRIANGLE triangle{};
            ASSERT_EQ(lib3mf_meshobject_gettriangle(mesh.instance, t, &triangle), 0);
            eModelPropertyType type = MODELPROPERTYTYPE_NONE;
            ASSERT_EQ(lib3mf_propertyhandler_getpropertytype(properties.instance, t, &type), 0);
            MODELMESH_TRIANGLECOLOR_SRGB colors{};
            if (type == MODELPROPERTYTYPE_COLOR) {
                ASSERT_EQ(lib3mf_propertyhandler_getcolor(properties.instance, t, &colors), 0);
            }
            for (std::uint32_t k = 0; k < 3; ++k) {
                EXPECT_EQ(triangle.m_nIndices[k], source.indices[3 * t + k]);
                if (source.colors.empty()) {
                    EXPECT_EQ(type, MODELPROPERTYTYPE_NONE) << "an uncoloured object stays uncoloured";
                } else {
                    ASSERT_EQ(type, MODELPROPERTYTYPE_COLOR);
                    EXPECT_EQ(argbOf(colors.m_Colors[k]), source.cornerColor(3 * t + k))
                        << "object " << id << " triangle " << t << " corner " << k;
                }
            }
        }
        ++objectNumber;
    }
    EXPECT_EQ(objectNumber, 3u);

    Lib3mfHandle items;
    ASSERT_EQ(lib3mf_model_getbuilditems(document.instance, &items.instance), 0);
    std::vector<std::pair<DWORD, std::string>> build;
    while (lib3mf_builditemiterator_movenext(items.instance, &more) == 0 && more) {
        Lib3mfHandle item;
        ASSERT_EQ(lib3mf_builditemiterator_getcurrent(items.instance, &item.instance), 0);
        DWORD objectId = 0;
        lib3mf_builditem_getobjectresourceid(item.instance, &objectId);
        char partNumber[64] = {};
        ULONG needed = 0;
        lib3mf_builditem_getpartnumberutf8(item.instance, partNumber, sizeof partNumber, &needed);
        build.emplace_back(objectId, partNumber);
    }
    EXPECT_EQ(build, (std::vector<std::pair<DWORD, std::string>>{{1, "PN-11"}, {2, ""}, {3, ""}}));

    DWORD metadataCount = 0;
    ASSERT_EQ(lib3mf_model_getmetadatacount(document.instance, &metadataCount), 0);
    ASSERT_EQ(metadataCount, 1u);
    char key[64] = {}, value[64] = {};
    ULONG needed = 0;
    lib3mf_model_getmetadatakeyutf8(document.instance, 0, key, sizeof key, &needed);
    lib3mf_model_getmetadatavalueutf8(document.instance, 0, value, sizeof value, &needed);
    EXPECT_STREQ(key, "Title");
    EXPECT_STREQ(value, "Interop check");
#endif
}

TEST(ThreeMfWriterInterop, AssimpReadsOurObjectsAndTriangles)
{
    if (runCommand("command -v assimp >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "assimp is not installed (Debian assimp-utils)";
    TempDir temp;
    Model model;
    buildInteropModel(model);
    const std::filesystem::path path = writeInteropPackage(model, temp);

    std::string output;
    ASSERT_EQ(runCommand("assimp info " + shellQuote(path.string()) + " 2>&1", &output), 0) << output;
    const auto field = [&](const std::string& name) {
        const std::size_t at = output.find("\n" + name);
        return at == std::string::npos ? std::string() : output.substr(at + 1, output.find('\n', at + 1) - at - 1);
    };
    EXPECT_EQ(field("Meshes:"), "Meshes:             3") << output;
    EXPECT_EQ(field("Faces:"), "Faces:              12");
    EXPECT_EQ(field("Vertices:"), "Vertices:           12");

    // The box over all placed vertices, as assimp prints it.
    Vector3 low{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                std::numeric_limits<float>::max()};
    Vector3 high{-low.x, -low.y, -low.z};
    for (std::uint32_t o = 0; o < 3; ++o)
        for (std::uint32_t v = 0; v < 4; ++v) {
            const Vector3 p = placedVertex(*model.objects[o], v);
            low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
            high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
        }
    char expected[128];
    std::snprintf(expected, sizeof expected, "Minimum point      (%f %f %f)", low.x, low.y, low.z);
    EXPECT_EQ(field("Minimum point"), expected);
    std::snprintf(expected, sizeof expected, "Maximum point      (%f %f %f)", high.x, high.y, high.z);
    EXPECT_EQ(field("Maximum point"), expected);
    // The Assimp of this system takes colours only from base materials, not
    // from colour groups, so the colours are checked with lib3mf above.
}

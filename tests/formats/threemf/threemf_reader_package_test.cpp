// Whole packages through read3mf: relationship parts, refusals, scratch
// folders, and the real files of the corpus.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"
#include "support/core/memory_guard.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <unistd.h>

using namespace morvex;
using morvex::testing::buildZipArchive;
using morvex::testing::TempDir;
using morvex::testing::writeFile;
using morvex::testing::ZipTestEntry;
using morvex::threemf_test::scratchFolders;

namespace {

constexpr const char* ModelType = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";
constexpr const char* TextureType = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dtexture";

std::string relationships(const std::string& target, const char* type = ModelType)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Relationships "
           "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\r\n  <Relationship\r\n    "
           "Target=\"" +
           target + "\"\r\n    Id=\"rel0\"\r\n    Type=\"" + type + "\" />\r\n</Relationships>\r\n";
}

const std::string triangleModel =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" "
    "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\n<resources><object id=\"1\"><mesh>"
    "<vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/>"
    "</vertices><triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object></resources>"
    "<build><item objectid=\"1\"/></build></model>\n";

} // namespace

TEST(ThreeMfPackage, RelationshipPartsAndRefusals)
{
    const std::string contentTypes = "<?xml version=\"1.0\"?><Types/>";
    const struct {
        const char* label;
        std::vector<ZipTestEntry> entries;
        std::uint64_t memory;
        OperationResult result;
        const char* reason;
        FailureKind kind; // when it fails
    } cases[] = {
        {"target with a leading slash",
         {{"[Content_Types].xml", contentTypes},
          {"_rels/.rels", relationships("/3D/3dmodel.model")},
          {"3D/3dmodel.model", triangleModel}},
         0,
         OperationResult::Success,
         "",
         FailureKind::Malformed},
        {"target without a slash",
         {{"_rels/.rels", relationships("3D/3dmodel.model")}, {"3D/3dmodel.model", triangleModel}},
         0,
         OperationResult::Success,
         "",
         FailureKind::Malformed},
        {"another relationship part listed before the root one",
         {{"3D/_rels/3dmodel.model.rels", relationships("/3D/Texture/t.png", TextureType)},
          {"3D/3dmodel.model", triangleModel},
          {"_rels/.rels", relationships("/3D/3dmodel.model")}},
         0,
         OperationResult::Success,
         "",
         FailureKind::Malformed},
        {"a root part without a model relationship falls back to the others",
         {{"_rels/.rels", relationships("/Metadata/thumbnail.png", TextureType)},
          {"Other/_rels/x.RELS", relationships("/3D/other.model")},
          {"3D/other.model", triangleModel}},
         0,
         OperationResult::Success,
         "",
         FailureKind::Malformed},
        {"part names are compared without regard to case",
         {{"_rels/.rels", relationships("/3D/3DModel.model")}, {"3D/3dmodel.model", triangleModel}},
         0,
         OperationResult::Success,
         "",
         FailureKind::Malformed},
        {"no relationship part",
         {{"3D/3dmodel.model", triangleModel}},
         0,
         OperationResult::Failure,
         "the package has no relationship part",
         FailureKind::Malformed},
        {"no Relationships element",
         {{"_rels/.rels", "<Other/>"}, {"3D/3dmodel.model", triangleModel}},
         0,
         OperationResult::Failure,
         "the relationship part has no Relationships element",
         FailureKind::Malformed},
        {"no model relationship",
         {{"_rels/.rels", relationships("/x.png", TextureType)}},
         0,
         OperationResult::Failure,
         "the package names no 3D model part",
         FailureKind::Malformed},
        {"the named model part is missing",
         {{"_rels/.rels", relationships("/3D/3dmodel.model")}},
         0,
         OperationResult::Failure,
         "the model part \"3D/3dmodel.model\" is missing from the package",
         FailureKind::Malformed},
        {"a target outside the folder",
         {{"_rels/.rels", relationships("../../x")}, {"../../x", triangleModel}},
         0,
         OperationResult::Failure,
         "cannot extract the model part: unsafe entry name",
         FailureKind::Malformed},
        {"an absolute target",
         {{"_rels/.rels", relationships("//etc/x")}, {"/etc/x", triangleModel}},
         0,
         OperationResult::Failure,
         "cannot extract the model part: unsafe entry name",
         FailureKind::Malformed},
        {"an encrypted model part",
         {{"_rels/.rels", relationships("/3D/3dmodel.model")}, {"3D/3dmodel.model", triangleModel, ZIP_EM_AES_256}},
         0,
         OperationResult::Failure,
         "cannot extract the model part: entry is encrypted",
         FailureKind::Unsupported},
        {"a model part larger than the memory allows",
         {{"_rels/.rels", relationships("/3D/3dmodel.model")},
          {"3D/3dmodel.model", triangleModel + std::string(4'000'000, ' ')}},
         40'000'000,
         OperationResult::Failure,
         "the model part is too large for the available memory",
         FailureKind::OutOfMemory},
        {"an empty model part",
         {{"_rels/.rels", relationships("/3D/3dmodel.model")}, {"3D/3dmodel.model", ""}},
         0,
         OperationResult::Failure,
         "the model part is empty",
         FailureKind::Malformed},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = dir / "package.3mf";
        buildZipArchive(path, c.entries);
        Model model;
        RecordingReporter reporter;
        Failure failure;
        setAvailableMemoryOverride(c.memory);
        const OperationResult result = threemf::read3mf(path, model, reporter, &failure);
        setAvailableMemoryOverride(0);
        EXPECT_EQ(result, c.result) << c.label << ": " << describeFailure(failure);
        EXPECT_EQ(failure.message, c.reason) << c.label;
        if (c.result == OperationResult::Failure) {
            EXPECT_EQ(failure.kind, c.kind) << c.label;
        }
        EXPECT_EQ(model.profile.kind, FormatKind::ThreeMf) << c.label;
        if (c.result == OperationResult::Success) {
            ASSERT_EQ(model.objects.size(), 1u) << c.label;
            EXPECT_EQ(model.objects[0]->triangleCount(), 1u) << c.label;
        }
        EXPECT_EQ(reporter.indeterminateBegins, 1) << c.label;
        EXPECT_EQ(reporter.indeterminateEnds, 1) << c.label;
        EXPECT_EQ(reporter.lastStatus(1), "") << c.label;
        EXPECT_TRUE(scratchFolders().empty()) << c.label;
        EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path().parent_path() / "x")) << c.label;
    }
}

TEST(ThreeMfPackage, DamagedArchivesAndCancellation)
{
    TempDir dir;
    const auto good = dir / "good.3mf";
    buildZipArchive(good, {{"_rels/.rels", relationships("/3D/3dmodel.model")}, {"3D/3dmodel.model", triangleModel}});
    const std::string bytes = morvex::testing::readFile(good);
    writeFile(dir / "truncated.3mf", bytes.substr(0, bytes.size() / 2));
    writeFile(dir / "text.3mf", "solid not a zip\n");
    for (const char* name : {"truncated.3mf", "text.3mf", "missing.3mf"}) {
        Model model;
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(threemf::read3mf(dir / name, model, reporter, &failure), OperationResult::Failure) << name;
        EXPECT_FALSE(failure.message.empty()) << name;
        EXPECT_TRUE(scratchFolders().empty()) << name;
    }

    // Stopped at every question in turn: cancelled, never half-read as ok,
    // and the scratch folder always gone.
    RecordingReporter counter;
    Model whole;
    ASSERT_EQ(threemf::read3mf(good, whole, counter), OperationResult::Success);
    ASSERT_GT(counter.cancelChecks(), 3u);
    for (std::uint64_t stopAt = 1; stopAt <= counter.cancelChecks(); ++stopAt) {
        Model model;
        RecordingReporter reporter;
        reporter.cancelAfterChecks(stopAt);
        EXPECT_EQ(threemf::read3mf(good, model, reporter), OperationResult::Cancelled) << stopAt;
        EXPECT_TRUE(scratchFolders().empty()) << stopAt;
        EXPECT_EQ(reporter.indeterminateEnds, 1);
    }
}

namespace {

// What a corpus file must give: the refusal reason, or the triangle count
// and the bounding box of all vertices (build-item transforms applied).
struct CorpusExpectation {
    const char* file;
    const char* reason; // nullptr: the file reads
    std::size_t objects;
    std::uint64_t triangles;
    float box[6];
    const char* unit;
};

void boundingBox(const Model& model, float box[6])
{
    for (int k = 0; k < 3; ++k) {
        box[k] = std::numeric_limits<float>::max();
        box[k + 3] = std::numeric_limits<float>::lowest();
    }
    for (const auto& object : model.objects) {
        for (const Vector3& v : object->vertices) {
            const float c[3] = {v.x, v.y, v.z};
            for (int k = 0; k < 3; ++k) {
                box[k] = std::min(box[k], c[k]);
                box[k + 3] = std::max(box[k + 3], c[k]);
            }
        }
    }
}

} // namespace

TEST(ThreeMfPackage, CorpusFiles)
{
    MORVEX_REQUIRE_CORPUS();
    // Triangle counts and boxes agree with Assimp where it reads the file the
    // same way; where it differs the file was checked by hand (noted).
    const CorpusExpectation expectations[] = {
        {"3mf-samples__MUSTFAIL_Chapter2.3.2a_NonUTF_Encoding.3mf", "the model part holds no 3MF model", 0, 0, {}, ""},
        {"3mf-samples__box.3mf", nullptr, 1, 12, {0, 0, 0, 10, 20, 30}, "millimeter"},
        // The slice stack in its own part is skipped; the build item moves the box.
        {"3mf-samples__box_sliced.3mf",
         nullptr,
         1,
         12,
         {33.0327f, 31.5297f, 14.967f, 43.1367f, 51.7367f, 45.275f},
         "millimeter"},
        {"3mf-samples__cube_gears.3mf",
         nullptr,
         17,
         25692,
         {2.61457f, 2.61846f, 2.2479f, 170.61038f, 127.72037f, 35.8492f},
         "millimeter"},
        {"3mf-samples__dodeca_chain_loop_color.3mf",
         nullptr,
         1,
         7680,
         {1.58698f, 3.96245f, 1.59398f, 221.461f, 144.637f, 17.594f},
         "millimeter"},
        // Six build items of one object: six placed copies, as Assimp and
        // lib3mf place them.
        {"3mf-samples__multiple_cylinders.3mf", nullptr, 6, 528, {0, 0.002f, 0, 62, 40.5948f, 20}, "millimeter"},
        {"3mf-samples__multipletextures.3mf",
         nullptr,
         1,
         96692,
         {4.946f, -0.002f, 0, 145.05f, 149.998f, 99.644f},
         "millimeter"},
        // Beams only: the object has no triangles and is dropped.
        {"3mf-samples__pyramid.3mf", nullptr, 0, 0, {}, "millimeter"},
        // The first relationship part listed is a texture's; the root one names the model.
        {"lib3mf__3mfbase10_box.3mf", nullptr, 1, 12, {-5, -5, -5, 5, 5, 5}, "millimeter"},
        // Assimp aborts on this file; it holds four triangles over 0..10.
        {"lib3mf__3mfbase8_VertexTet1.3mf", nullptr, 1, 4, {0, 0, 0, 10, 10, 10}, "millimeter"},
        // A component carries its transform twice: not well-formed XML, and
        // which transform holds cannot be known.
        {"lib3mf__GEN-C-ADA-COMPONENT-TRANSFORM-0.3mf",
         "Ln 61, Col 130: Attribute transform appears twice in <component>.",
         0,
         0,
         {},
         ""},
        {"trimesh__featuretype.3MF", nullptr, 1, 2208, {-2.5f, -1.25f, 0, 2.5f, 1.25f, 1.375f}, "inch"},
        // Assimp refuses this file; nine build items, one of them an object
        // of components, place twelve meshes (as lib3mf places them).
        {"trimesh__pyramids.3mf",
         nullptr,
         12,
         3276,
         {5.0123f, 5.0236f, 10.025f, 351.738f, 168.105f, 35.025f},
         "millimeter"},
    };
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(morvex::testing::corpusDir() / "3mf"))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, std::size(expectations)) << "every corpus file has an expectation";

    for (const CorpusExpectation& e : expectations) {
        const auto path = morvex::testing::corpusDir() / "3mf" / e.file;
        Model model;
        RecordingReporter reporter;
        Failure failure;
        const OperationResult result = threemf::read3mf(path, model, reporter, &failure);
        EXPECT_EQ(scratchFolders().size(), model.keptAlive.size()) << e.file << ": only unpacked images stay";
        if (e.reason != nullptr) {
            EXPECT_EQ(result, OperationResult::Failure) << e.file;
            EXPECT_EQ(failure.message, e.reason) << e.file;
            continue;
        }
        ASSERT_EQ(result, OperationResult::Success) << e.file << ": " << describeFailure(failure);
        EXPECT_EQ(model.objects.size(), e.objects) << e.file;
        std::uint64_t triangles = 0;
        for (const auto& object : model.objects) {
            triangles += object->triangleCount();
            EXPECT_EQ(object->normals.count(), object->indices.count()) << e.file;
        }
        EXPECT_EQ(triangles, e.triangles) << e.file;
        EXPECT_EQ(model.properties.getProperty("Model:unit"), e.unit) << e.file;
        if (triangles != 0) {
            float box[6];
            boundingBox(model, box);
            for (int k = 0; k < 6; ++k)
                EXPECT_NEAR(box[k], e.box[k], 1e-3f * std::max(1.0f, std::fabs(e.box[k]))) << e.file << " box " << k;
        }
    }
}

#ifdef MORVEX_HAVE_LIB3MF
#include "Model/COM/NMR_DLLInterfaces.h"

namespace {

struct Lib3mfInstance {
    NMR::PLib3MFBase* instance = nullptr;
    ~Lib3mfInstance()
    {
        if (instance != nullptr)
            NMR::lib3mf_release(instance);
    }
};

} // namespace

TEST(ThreeMfPackage, ReadsPackagesWrittenByLib3mf)
{
    using namespace NMR;
    // A cube with a colour per corner of some triangles, and a tetrahedron
    // coloured as a whole by a base material, placed by its build item.
    const MODELMESHVERTEX cube[8] = {{{0, 0, 0}},  {{10, 0, 0}},  {{10, 10, 0}},  {{0, 10, 0}},
                                     {{0, 0, 10}}, {{10, 0, 10}}, {{10, 10, 10}}, {{0, 10, 10}}};
    const MODELMESHTRIANGLE cubeTriangles[12] = {{{0, 2, 1}}, {{0, 3, 2}}, {{4, 5, 6}}, {{4, 6, 7}},
                                                 {{0, 1, 5}}, {{0, 5, 4}}, {{1, 2, 6}}, {{1, 6, 5}},
                                                 {{2, 3, 7}}, {{2, 7, 6}}, {{3, 0, 4}}, {{3, 4, 7}}};
    const MODELMESHVERTEX tetrahedron[4] = {{{0, 0, 0}}, {{5, 0, 0}}, {{0, 5, 0}}, {{0, 0, 5}}};
    const MODELMESHTRIANGLE tetrahedronTriangles[4] = {{{0, 2, 1}}, {{0, 1, 3}}, {{0, 3, 2}}, {{1, 2, 3}}};

    TempDir dir;
    const auto path = dir / "lib3mf.3mf";
    {
        Lib3mfInstance document, cubeMesh, tetraMesh, cubeColours, cubeDefault, tetraDefault, materials, cubeItem,
            tetraItem, writer;
        ASSERT_EQ(lib3mf_createmodel(&document.instance), 0);
        ASSERT_EQ(lib3mf_model_addmetadatautf8(document.instance, "Title", "From lib3mf"), 0);
        ASSERT_EQ(lib3mf_model_addmeshobject(document.instance, &cubeMesh.instance), 0);
        ASSERT_EQ(lib3mf_meshobject_setgeometry(cubeMesh.instance, const_cast<MODELMESHVERTEX*>(cube), 8,
                                                const_cast<MODELMESHTRIANGLE*>(cubeTriangles), 12),
                  0);
        ASSERT_EQ(lib3mf_meshobject_createpropertyhandler(cubeMesh.instance, &cubeColours.instance), 0);
        for (DWORD t = 0; t < 12; ++t)
            ASSERT_EQ(lib3mf_propertyhandler_setsinglecolorrgb(cubeColours.instance, t, t % 2 ? 255 : 0, 128, 0), 0);
        ASSERT_EQ(lib3mf_object_createdefaultpropertyhandler(cubeMesh.instance, &cubeDefault.instance), 0);
        ASSERT_EQ(lib3mf_defaultpropertyhandler_setcolorrgb(cubeDefault.instance, 255, 255, 255), 0);

        ASSERT_EQ(lib3mf_model_addbasematerialgroup(document.instance, &materials.instance), 0);
        DWORD first = 0, second = 0;
        ASSERT_EQ(lib3mf_basematerial_addmaterialutf8(materials.instance, "red", 200, 0, 0, &first), 0);
        ASSERT_EQ(lib3mf_basematerial_addmaterialutf8(materials.instance, "blue", 0, 0, 200, &second), 0);
        // Added without alpha the library writes "#0000C800", transparent.
        ASSERT_EQ(lib3mf_basematerial_setdisplaycolorrgba(materials.instance, second, 0, 0, 200, 255), 0);
        DWORD materialGroup = 0;
        ASSERT_EQ(lib3mf_resource_getresourceid(materials.instance, &materialGroup), 0);
        ASSERT_EQ(lib3mf_model_addmeshobject(document.instance, &tetraMesh.instance), 0);
        ASSERT_EQ(lib3mf_meshobject_setgeometry(tetraMesh.instance, const_cast<MODELMESHVERTEX*>(tetrahedron), 4,
                                                const_cast<MODELMESHTRIANGLE*>(tetrahedronTriangles), 4),
                  0);
        ASSERT_EQ(lib3mf_object_createdefaultpropertyhandler(tetraMesh.instance, &tetraDefault.instance), 0);
        ASSERT_EQ(lib3mf_defaultpropertyhandler_setbasematerial(tetraDefault.instance, materialGroup, second), 0);

        ASSERT_EQ(lib3mf_model_addbuilditem(document.instance, cubeMesh.instance, nullptr, &cubeItem.instance), 0);
        MODELTRANSFORM moved{};
        for (int r = 0; r < 3; ++r)
            moved.m_fFields[r][r] = 1;
        moved.m_fFields[0][3] = 10;
        moved.m_fFields[1][3] = 20;
        moved.m_fFields[2][3] = 30;
        ASSERT_EQ(lib3mf_model_addbuilditem(document.instance, tetraMesh.instance, &moved, &tetraItem.instance), 0);
        ASSERT_EQ(lib3mf_model_querywriter(document.instance, "3mf", &writer.instance), 0);
        const HRESULT written = lib3mf_writer_writetofileutf8(writer.instance, path.c_str());
        DWORD errorCode = 0;
        LPCSTR errorText = nullptr;
        if (written != 0)
            lib3mf_getlasterror(writer.instance, &errorCode, &errorText);
        ASSERT_EQ(written, 0) << "lib3mf error " << std::hex << errorCode << " " << (errorText ? errorText : "");
    }

    Model model;
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(threemf::read3mf(path, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(model.properties.getProperty("Title"), "From lib3mf");
    ASSERT_EQ(model.objects.size(), 2u);

    const ModelObject& readCube = *model.objects[0];
    ASSERT_EQ(readCube.vertices.count(), 8u);
    ASSERT_EQ(readCube.triangleCount(), 12u);
    for (std::uint32_t v = 0; v < 8; ++v)
        EXPECT_EQ(readCube.vertices[v],
                  (Vector3{cube[v].m_fPosition[0], cube[v].m_fPosition[1], cube[v].m_fPosition[2]}));
    EXPECT_EQ(static_cast<ArgbColor>(readCube.properties.getIntProperty("ObjectDefaultColor")), 0xFFFFFFFFu);
    ASSERT_EQ(readCube.colors.count(), 36u);
    EXPECT_EQ(readCube.materialRanges.size(), 1u);
    for (std::uint32_t t = 0; t < 12; ++t) {
        for (std::uint32_t k = 0; k < 3; ++k) {
            EXPECT_EQ(readCube.indices[3 * t + k], cubeTriangles[t].m_nIndices[k]);
            EXPECT_EQ(readCube.colors[3 * t + k], t % 2 ? 0xFFFF8000u : 0xFF008000u) << t;
        }
    }

    const ModelObject& readTetra = *model.objects[1];
    ASSERT_EQ(readTetra.vertices.count(), 4u);
    ASSERT_EQ(readTetra.triangleCount(), 4u);
    for (std::uint32_t v = 0; v < 4; ++v)
        EXPECT_EQ(readTetra.vertices[v],
                  (Vector3{tetrahedron[v].m_fPosition[0] + 10, tetrahedron[v].m_fPosition[1] + 20,
                           tetrahedron[v].m_fPosition[2] + 30}));
    EXPECT_EQ(static_cast<ArgbColor>(readTetra.properties.getIntProperty("ObjectDefaultColor")), 0xFF0000C8u);
    EXPECT_EQ(std::vector<ArgbColor>(readTetra.colors.begin(), readTetra.colors.end()),
              std::vector<ArgbColor>(12, 0xFF0000C8u));
}
#endif

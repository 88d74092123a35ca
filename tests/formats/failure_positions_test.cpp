// Every reader says where it stopped in a damaged file: the line of a text
// format, the byte offset of a binary one, as the command line shows it.
// Read through the in-memory entry points, which must give what the path
// entry points give.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/docs3dp/test_helpers.h"
#include "formats/obj/obj.h"
#include "formats/ply/ply.h"
#include "formats/stl/stl.h"
#include "formats/threemf/threemf.h"

#include <cstring>
#include <functional>
#include <string>

namespace morvex {
namespace {

using testing::TempDir;
using testing::writeFile;

using MemoryReader =
    std::function<OperationResult(std::string_view, std::string_view, Model&, ProgressReporter&, Failure*)>;

const MemoryReader readStlBytes = [](std::string_view bytes, std::string_view name, Model& model,
                                     ProgressReporter& reporter,
                                     Failure* failure) { return stl::readStl(bytes, name, model, reporter, failure); };
const MemoryReader readObjBytes = [](std::string_view bytes, std::string_view name, Model& model,
                                     ProgressReporter& reporter,
                                     Failure* failure) { return obj::readObj(bytes, name, model, reporter, failure); };
const MemoryReader readPlyBytes = [](std::string_view bytes, std::string_view name, Model& model,
                                     ProgressReporter& reporter,
                                     Failure* failure) { return ply::readPly(bytes, name, model, reporter, failure); };
const MemoryReader read3mfBytes = [](std::string_view bytes, std::string_view name, Model& model,
                                     ProgressReporter& reporter, Failure* failure) {
    return threemf::read3mf(bytes, name, model, reporter, failure);
};
const MemoryReader read3dpBytes = [](std::string_view bytes, std::string_view name, Model& model,
                                     ProgressReporter& reporter, Failure* failure) {
    return docs3dp::read3dp(bytes, name, model, reporter, failure);
};

// A 3MF package around one model part, as bytes.
std::string packageWith(const std::string& modelPart)
{
    TempDir dir;
    testing::buildZipArchive(dir / "p.3mf",
                             {{"_rels/.rels",
                               "<?xml version=\"1.0\"?><Relationships><Relationship Target=\"/3D/3dmodel.model\" "
                               "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>"
                               "</Relationships>"},
                              {"3D/3dmodel.model", modelPart}});
    return testing::readFile(dir / "p.3mf");
}

struct PositionCase {
    const char* label;
    const char* fileName;
    std::string bytes;
    MemoryReader read;
    FailureKind kind;
    std::string described;
};

std::string binaryStlWithFacets(std::uint32_t declared, std::uint32_t present)
{
    std::string bytes(80, ' ');
    bytes += testing::littleEndian(declared);
    bytes += std::string(std::size_t{present} * 50, '\0');
    return bytes;
}

std::string manyMaterials(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "newmtl m" + std::to_string(i) + "\n";
    return text;
}

TEST(FailurePositions, EveryReaderSaysWhereItStopped)
{
    const PositionCase cases[] = {
        {"ASCII STL ending inside a facet", "a.stl",
         "solid t\r\nfacet normal 0 0 1\r\n outer loop\r\n  vertex 0 0 0\r\n  vertex 1 0 0\r\n", readStlBytes,
         FailureKind::Malformed, "line 5: the file ends inside a facet"},
        {"ASCII STL without endsolid", "b.stl",
         "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n",
         readStlBytes, FailureKind::Malformed, "line 8: the solid is never closed (no endsolid)"},
        {"binary STL short of its facets", "c.stl", binaryStlWithFacets(2, 1), readStlBytes, FailureKind::Malformed,
         "byte 134: file is truncated: 2 facets need 184 bytes, the file has 134"},
        {"binary STL longer than its facets", "d.stl", binaryStlWithFacets(1, 2), readStlBytes, FailureKind::Malformed,
         "byte 134: file is longer than its 1 facets (184 bytes instead of 134)"},
        {"OBJ face with two corners", "e.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n\n# a comment\nf 1 2\nf 1 2 3\n",
         readObjBytes, FailureKind::Malformed, "line 6: face with fewer than three corners"},
        {"PLY header without its end", "f.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n",
         readPlyBytes, FailureKind::Malformed, "line 4: header has no end_header line"},
        {"3MF model part broken before its model", "g.3mf", packageWith("<?xml version=\"1.0\"?>\n<other>\n</model>\n"),
         read3mfBytes, FailureKind::Malformed, "line 3: the model part holds no 3MF model"},
        {"3MF that is no zip archive", "g2.3mf", "PK but not really", read3mfBytes, FailureKind::Malformed,
         "not a zip archive, or truncated"},
        {"3DP with a foreign header", "h.3dp", "not a chunked document at all", read3dpBytes, FailureKind::Malformed,
         "byte 0: not a 3DP document"},
        {"3DP of a later version", "i.3dp", testing::chunkedFile("", 7), read3dpBytes, FailureKind::Unsupported,
         "byte 10: unsupported 3DP document version 7"},
    };
    for (const PositionCase& c : cases) {
        Model model;
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(c.read(c.bytes, c.fileName, model, reporter, &failure), OperationResult::Failure) << c.label;
        EXPECT_EQ(failure.kind, c.kind) << c.label;
        EXPECT_EQ(describeFailure(failure), c.described) << c.label;
    }
}

TEST(FailurePositions, MaterialLibraryFailuresNameTheLibraryAndItsLine)
{
    // Material ids are 16-bit: the 32768th material cannot be made.
    obj::ObjMemoryCompanions companions;
    companions.libraries["many.mtl"] = manyMaterials(32768);
    Model model;
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(obj::readObj("mtllib many\nv 0 0 0\n", "m.obj", model, reporter, &failure, &companions),
              OperationResult::Failure);
    EXPECT_EQ(failure.kind, FailureKind::Unsupported);
    EXPECT_EQ(describeFailure(failure), "line 32768: too many materials in many.mtl");
}

TEST(FailurePositions, OnlyTheFirstFailureIsKept)
{
    Failure failure;
    EXPECT_EQ(failAtLine(&failure, FailureKind::Malformed, 12, "first"), OperationResult::Failure);
    EXPECT_EQ(failAtByte(&failure, FailureKind::Unreadable, 40, "second"), OperationResult::Failure);
    failOutOfMemory(&failure);
    placeAtByte(&failure, 99);
    EXPECT_EQ(describeFailure(failure), "line 12: first");
    EXPECT_EQ(failure.kind, FailureKind::Malformed);
    EXPECT_FALSE(failure.byteOffset.has_value());

    Failure unplaced;
    failWith(&unplaced, FailureKind::Unwritable, "disk full");
    EXPECT_EQ(describeFailure(unplaced), "disk full");
    EXPECT_EQ(failWith(nullptr, FailureKind::Malformed, "nowhere to say it"), OperationResult::Failure);
}

using PathReader = OperationResult (*)(const std::filesystem::path&, Model&, ProgressReporter&, Failure*);

void expectSameModel(const Model& fromPath, const Model& fromMemory, const std::string& label)
{
    ASSERT_EQ(fromPath.objects.size(), fromMemory.objects.size()) << label;
    EXPECT_EQ(fromPath.materials.size(), fromMemory.materials.size()) << label;
    EXPECT_EQ(fromPath.profile, fromMemory.profile) << label;
    for (std::size_t i = 0; i < fromPath.objects.size(); ++i) {
        const ModelObject& a = *fromPath.objects[i];
        const ModelObject& b = *fromMemory.objects[i];
        ASSERT_EQ(a.vertices.count(), b.vertices.count()) << label;
        ASSERT_EQ(a.indices.count(), b.indices.count()) << label;
        EXPECT_EQ(std::memcmp(a.vertices.data(), b.vertices.data(), a.vertices.count() * sizeof(Vector3)), 0) << label;
        EXPECT_EQ(std::memcmp(a.indices.data(), b.indices.data(), a.indices.count() * sizeof(std::uint32_t)), 0)
            << label;
    }
}

TEST(InMemoryReaders, GiveWhatThePathReadersGive)
{
    MORVEX_REQUIRE_CORPUS();
    const std::filesystem::path corpus = testing::corpusDir();
    const std::filesystem::path spider = corpus / "obj" / "assimp__spider" / "spider.obj";
    obj::ObjFolderCompanions spiderFolder(spider.parent_path());
    const MemoryReader readSpiderBytes = [&](std::string_view bytes, std::string_view name, Model& model,
                                             ProgressReporter& reporter, Failure* failure) {
        return obj::readObj(bytes, name, model, reporter, failure, &spiderFolder);
    };
    const struct {
        std::filesystem::path file;
        PathReader fromPath;
        MemoryReader fromMemory;
    } cases[] = {
        {corpus / "stl" / "assimp__3DSMaxExport.STL", stl::readStl, readStlBytes},
        {corpus / "stl" / "openscad__example016.stl", stl::readStl, readStlBytes},
        {spider, obj::readObj, readSpiderBytes},
        {corpus / "ply" / "assimp__cube_binary.ply", ply::readPly, readPlyBytes},
        {corpus / "ply" / "assimp__float-color.ply", ply::readPly, readPlyBytes},
        {corpus / "3mf" / "3mf-samples__box.3mf", threemf::read3mf, read3mfBytes},
    };
    for (const auto& c : cases) {
        const std::string label = c.file.filename().string();
        RecordingReporter reporter;
        Model fromPath;
        Model fromMemory;
        ASSERT_EQ(c.fromPath(c.file, fromPath, reporter, nullptr), OperationResult::Success) << label;
        const std::string bytes = testing::readFile(c.file);
        Failure failure;
        ASSERT_EQ(c.fromMemory(bytes, label, fromMemory, reporter, &failure), OperationResult::Success)
            << label << ": " << describeFailure(failure);
        expectSameModel(fromPath, fromMemory, label);
    }
    // Without companions an OBJ file reads without its material libraries:
    // its materials are the bare names it uses, without textures.
    const auto textureCount = [](const Model& model) {
        std::size_t count = 0;
        for (const auto& material : model.materials)
            count += material->textures.size();
        return count;
    };
    Model withLibraries;
    Model bare;
    RecordingReporter reporter;
    ASSERT_EQ(readSpiderBytes(testing::readFile(spider), "spider.obj", withLibraries, reporter, nullptr),
              OperationResult::Success);
    ASSERT_EQ(readObjBytes(testing::readFile(spider), "spider.obj", bare, reporter, nullptr), OperationResult::Success);
    EXPECT_GT(textureCount(withLibraries), 0u);
    EXPECT_EQ(textureCount(bare), 0u);
}

} // namespace
} // namespace morvex

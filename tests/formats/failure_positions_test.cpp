// Every reader says where it stopped in a damaged file: the line of a text
// format, the byte offset of a binary one, as the command line shows it.

#include "common/test_support.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/docs3dp/test_helpers.h"
#include "formats/obj/obj.h"
#include "formats/ply/ply.h"
#include "formats/stl/stl.h"
#include "formats/threemf/threemf_model_part.h"
#include "support/progress/recording_reporter.h"

#include <functional>
#include <string>

namespace morvex {
namespace {

using testing::TempDir;
using testing::writeFile;

using PathReader = std::function<OperationResult(const std::filesystem::path&, Model&, ProgressReporter&, Failure*)>;

struct PositionCase {
    const char* label;
    const char* fileName;
    std::string bytes;
    PathReader read;
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
         "solid t\r\nfacet normal 0 0 1\r\n outer loop\r\n  vertex 0 0 0\r\n  vertex 1 0 0\r\n", stl::readStl,
         FailureKind::Malformed, "line 5: the file ends inside a facet"},
        {"ASCII STL without endsolid", "b.stl",
         "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n",
         stl::readStl, FailureKind::Malformed, "line 8: the solid is never closed (no endsolid)"},
        {"binary STL short of its facets", "c.stl", binaryStlWithFacets(2, 1), stl::readStl, FailureKind::Malformed,
         "byte 134: file is truncated: 2 facets need 184 bytes, the file has 134"},
        {"binary STL longer than its facets", "d.stl", binaryStlWithFacets(1, 2), stl::readStl, FailureKind::Malformed,
         "byte 134: file is longer than its 1 facets (184 bytes instead of 134)"},
        {"OBJ face with two corners", "e.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n\n# a comment\nf 1 2\nf 1 2 3\n",
         obj::readObj, FailureKind::Malformed, "line 6: face with fewer than three corners"},
        {"PLY header without its end", "f.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n",
         ply::readPly, FailureKind::Malformed, "line 4: header has no end_header line"},
        {"3MF model part broken before its model", "g.model", "<?xml version=\"1.0\"?>\n<other>\n</model>\n",
         [](const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure) {
             return threemf::read3mfModelPart(path, model, reporter, failure);
         },
         FailureKind::Malformed, "line 3: the model part holds no 3MF model"},
        {"3DP with a foreign header", "h.3dp", "not a chunked document at all", docs3dp::read3dp,
         FailureKind::Malformed, "byte 0: not a 3DP document"},
        {"3DP of a later version", "i.3dp", testing::chunkedFile("", 7), docs3dp::read3dp, FailureKind::Unsupported,
         "byte 10: unsupported 3DP document version 7"},
    };
    for (const PositionCase& c : cases) {
        TempDir dir;
        writeFile(dir / c.fileName, c.bytes);
        Model model;
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(c.read(dir / c.fileName, model, reporter, &failure), OperationResult::Failure) << c.label;
        EXPECT_EQ(failure.kind, c.kind) << c.label;
        EXPECT_EQ(describeFailure(failure), c.described) << c.label;
    }
}

TEST(FailurePositions, MaterialLibraryFailuresNameTheLibraryAndItsLine)
{
    TempDir dir;
    // Material ids are 16-bit: the 32768th material cannot be made.
    writeFile(dir / "many.mtl", manyMaterials(32768));
    writeFile(dir / "m.obj", "mtllib many.mtl\nv 0 0 0\n");
    Model model;
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(obj::readObj(dir / "m.obj", model, reporter, &failure), OperationResult::Failure);
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

} // namespace
} // namespace morvex

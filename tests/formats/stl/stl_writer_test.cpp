#include "formats/stl/stl.h"
#include "formats/stl/stl_test_files.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>
#include <sys/resource.h>

namespace morvex::stl {
namespace {

using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::writeFile;
using namespace morvex::stl::testing;

// One object from corner positions, three per triangle, without sharing.
ModelObject& addTriangles(Model& model, const std::vector<Vector3>& corners)
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(static_cast<std::uint32_t>(corners.size())));
    EXPECT_TRUE(object.indices.allocate(static_cast<std::uint32_t>(corners.size())));
    for (std::uint32_t i = 0; i < corners.size(); ++i) {
        object.vertices[i] = corners[i];
        object.indices[i] = i;
    }
    return object;
}

// The corners of the facets, three per facet, in order.
std::vector<Vector3> cornersOf(const std::vector<TestFacet>& facets)
{
    std::vector<Vector3> corners;
    for (const TestFacet& facet : facets)
        corners.insert(corners.end(), std::begin(facet.corners), std::end(facet.corners));
    return corners;
}

// The corners of the cube's facets, each coordinate scaled, then moved.
std::vector<Vector3> cubeCorners(Vector3 scale = {1, 1, 1}, Vector3 offset = {0, 0, 0})
{
    std::vector<Vector3> corners;
    for (const TestFacet& facet : cubeFacets())
        for (const Vector3& v : facet.corners)
            corners.push_back({v.x * scale.x + offset.x, v.y * scale.y + offset.y, v.z * scale.z + offset.z});
    return corners;
}

OperationResult writeBinary(const std::filesystem::path& path, const Model& model, Failure* failure = nullptr)
{
    StoppableReporter reporter;
    return writeStlBinary(path, model, reporter, failure);
}

OperationResult writeAscii(const std::filesystem::path& path, const Model& model, Failure* failure = nullptr)
{
    StoppableReporter reporter;
    return writeStlAscii(path, model, reporter, failure);
}

std::vector<std::string> splitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::uint16_t attributeOfFacet(const std::string& file, std::size_t facet)
{
    std::uint16_t word;
    std::memcpy(&word, file.data() + 84 + facet * 50 + 48, 2);
    return word;
}

Vector3 vectorAt(const std::string& file, std::size_t offset)
{
    Vector3 v;
    std::memcpy(&v, file.data() + offset, 12);
    return v;
}

TEST(StlAsciiWriter, ExactTextOfOneTriangle)
{
    TempDir dir;
    Model model;
    model.properties.setProperty("ModelName", "  tri  ");
    addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 2.5f, -1e-5f}});
    ASSERT_EQ(writeAscii(dir / "tri.stl", model), OperationResult::Success);
    const std::string expected = "solid tri\r\n"
                                 // e1 = (1, 0, 0), e2 = (0, 2.5, -1e-5): x = 0 * -1e-5 - 0 * 2.5 is -0.
                                 "  facet normal -0.000000e+000 4.000000e-006 1.000000e+000\r\n"
                                 "    outer loop\r\n"
                                 "      vertex 0.000000e+000 0.000000e+000 0.000000e+000\r\n"
                                 "      vertex 1.000000e+000 0.000000e+000 0.000000e+000\r\n"
                                 "      vertex 0.000000e+000 2.500000e+000 -1.000000e-005\r\n"
                                 "    endloop\r\n"
                                 "  endfacet\r\n"
                                 "endsolid\r\n";
    EXPECT_EQ(readFile(dir / "tri.stl"), expected);
}

TEST(StlAsciiWriter, LineCountsNamesAndEmptyModels)
{
    TempDir dir;
    Model model;
    addTriangles(model, cubeCorners());
    ASSERT_EQ(writeAscii(dir / "cube.stl", model), OperationResult::Success);
    const std::vector<std::string> lines = splitCrLf(readFile(dir / "cube.stl"));
    EXPECT_EQ(lines.size(), 12u * 7 + 2);
    EXPECT_EQ(lines.front(), "solid "); // no name: the word and one space
    EXPECT_EQ(lines.back(), "endsolid");

    // A line break in the name would end the first line early.
    Model broken;
    broken.properties.setProperty("ModelName", "two\r\nlines");
    ASSERT_EQ(writeAscii(dir / "broken.stl", broken), OperationResult::Success);
    EXPECT_EQ(readFile(dir / "broken.stl"), "solid two  lines\r\nendsolid\r\n");
}

TEST(StlBinaryWriter, HeaderNameRules)
{
    struct Case {
        const char* name;
        std::optional<std::string> modelName;
        std::string headerStart;
    };
    const std::vector<Case> cases = {
        {"no name", std::nullopt, "Morvex "},
        {"plain", "part", "part "},
        {"solid and a name", "solid part", "     solid part "},
        {"spaces collapse and trim", "  many   spaces  ", "many spaces "},
        {"line breaks removed", "a\r\nb", "ab "},
        {"the bare word", "solid", "     solid "},
        {"leading space before solid", " solid x", "     solid x "},
        {"colour marker in the name", "aCOLOR=b", "aCOLOR-b "},
        {"empty name", "", " "},
    };
    TempDir dir;
    for (const Case& c : cases) {
        Model model;
        if (c.modelName)
            model.properties.setProperty("ModelName", *c.modelName);
        addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
        ASSERT_EQ(writeBinary(dir / "h.stl", model), OperationResult::Success) << c.name;
        const std::string file = readFile(dir / "h.stl");
        ASSERT_EQ(file.size(), 84u + 50u) << c.name;
        const std::string header = file.substr(0, 80);
        EXPECT_EQ(header, c.headerStart + std::string(80 - c.headerStart.size(), ' ')) << c.name;
        EXPECT_FALSE(header.starts_with("solid")) << c.name;
    }
}

TEST(StlBinaryWriter, LongNamesAreShortenedToFitTheHeader)
{
    TempDir dir;
    const std::uint32_t colour = 0xFF102030;
    for (int colourBlock : {0, 1, 2}) {
        Model model;
        // Multi-byte characters: the cut must not split one.
        std::string name;
        for (int i = 0; i < 50; ++i)
            name += "\xC3\xA9";
        model.properties.setProperty("ModelName", name);
        ModelObject& object = addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
        if (colourBlock >= 1)
            object.properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(colour));
        if (colourBlock == 2) {
            Material& material = *model.addMaterial();
            material.setColor(DiffuseSlot, 0xFF0000FF);
            MaterialRange& range = *object.addMaterialRange();
            range = {material.id, 0, 3};
        }
        ASSERT_EQ(writeBinary(dir / "long.stl", model), OperationResult::Success);
        const std::string file = readFile(dir / "long.stl");
        ASSERT_EQ(file.size(), 134u);
        const std::size_t room = 79 - (colourBlock == 0 ? 0 : colourBlock == 1 ? 10 : 31);
        const std::string expectedName = name.substr(0, room - room % 2);
        EXPECT_EQ(file.substr(0, expectedName.size() + 1), expectedName + " ") << colourBlock;
        if (colourBlock >= 1) {
            EXPECT_EQ(file.substr(expectedName.size() + 1, 6), "COLOR=");
        }

        Model back;
        ASSERT_EQ(readStlFile(dir / "long.stl", back), OperationResult::Success);
        EXPECT_EQ(back.properties.getProperty("ModelName"), expectedName);
        EXPECT_EQ(back.objects.front()->properties.hasProperty("ObjectDefaultColor"), colourBlock >= 1);
        EXPECT_EQ(back.materials.size(), colourBlock == 2 ? 1u : 0u);
    }
}

TEST(StlBinaryWriter, ColoursBecomeAttributeWords)
{
    TempDir dir;
    Model model;
    ModelObject& grey = addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    (void)grey;
    ModelObject& perVertex = addTriangles(model, {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 2}, {1, 0, 2}, {0, 1, 2}});
    ASSERT_TRUE(perVertex.colors.allocate(5)); // not the index count: per vertex
    perVertex.colors[0] = 0xFF0000F8;
    perVertex.colors[3] = 0xFFF80000;
    ModelObject& perCorner = addTriangles(model, {{0, 0, 3}, {1, 0, 3}, {0, 1, 3}});
    ASSERT_TRUE(perCorner.colors.allocate(3));
    perCorner.colors[0] = 0xFF00F800;
    perCorner.colors[1] = 0xFFFFFFFF;
    ASSERT_EQ(writeBinary(dir / "c.stl", model), OperationResult::Success);
    const std::string file = readFile(dir / "c.stl");
    ASSERT_EQ(file.size(), 84u + 4 * 50);
    EXPECT_EQ(attributeOfFacet(file, 0), 0); // an object without colours: no colour
    EXPECT_EQ(attributeOfFacet(file, 1), 0x7C00);
    EXPECT_EQ(attributeOfFacet(file, 2), 0x001F);
    EXPECT_EQ(attributeOfFacet(file, 3), 0x03E0);
}

// Facet colours that five bits a channel make black have the word 0, which
// readers take for "no colour" when no facet has another word. Black and
// near-black come back black whether the facets carry them or take the
// header's object colour, and a model without colours stays without.
TEST(StlRoundTrip, BlackAndNearBlackSurviveUnderBothColourConventions)
{
    constexpr ArgbColor Red = 0xFFF80000u;
    struct Case {
        const char* name;
        std::vector<ArgbColor> facetColours; // empty: the object has no colours
        std::optional<ArgbColor> objectColour;
        std::vector<std::uint16_t> words;
        std::optional<ArgbColor> headerColour; // after "COLOR=" in the file
        std::vector<ArgbColor> readBack;       // per facet; empty: no colours
    };
    const Case cases[] = {
        {"no colours", {}, std::nullopt, {0, 0}, std::nullopt, {}},
        {"black facets",
         {OpaqueBlack, OpaqueBlack},
         std::nullopt,
         {0x8000, 0x8000},
         OpaqueBlack,
         {OpaqueBlack, OpaqueBlack}},
        {"near-black facets",
         {0xFF050302u, 0xFF070707u},
         std::nullopt,
         {0x8000, 0x8000},
         OpaqueBlack,
         {OpaqueBlack, OpaqueBlack}},
        {"black beside red", {OpaqueBlack, Red}, std::nullopt, {0, 0x001F}, std::nullopt, {OpaqueBlack, Red}},
        {"near-black object colour",
         {0xFF010203u, 0xFF010203u},
         0xFF010203u,
         {0x8000, 0x8000},
         0xFF010203u,
         {0xFF010203u, 0xFF010203u}},
        {"black facets, near-black object colour",
         {OpaqueBlack, 0xFF020202u},
         0xFF010203u,
         {0x8000, 0x8000},
         0xFF010203u,
         {0xFF010203u, 0xFF010203u}},
        {"object colour beside red",
         {0xFF102030u, Red},
         0xFF102030u,
         {0x8000, 0x001F},
         0xFF102030u,
         {0xFF102030u, Red}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Model model;
        // Two facets apart from each other, so that no vertex is shared.
        ModelObject& object = addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}, {6, 5, 5}, {5, 6, 5}});
        if (!c.facetColours.empty()) {
            ASSERT_TRUE(object.colors.allocate(6));
            for (std::uint32_t corner = 0; corner < 6; ++corner)
                object.colors[corner] = c.facetColours[corner / 3];
        }
        if (c.objectColour)
            object.properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(*c.objectColour));
        ASSERT_EQ(writeBinary(dir / "black.stl", model), OperationResult::Success);
        const std::string file = readFile(dir / "black.stl");
        EXPECT_EQ(attributeOfFacet(file, 0), c.words[0]);
        EXPECT_EQ(attributeOfFacet(file, 1), c.words[1]);
        const std::size_t marker = file.substr(0, 80).find("COLOR=");
        ASSERT_EQ(marker != std::string::npos, c.headerColour.has_value());
        if (c.headerColour) {
            ArgbColor written;
            std::memcpy(&written, file.data() + marker + 6, 4);
            EXPECT_EQ(written, *c.headerColour);
        }

        Model back;
        ASSERT_EQ(readStlFile(dir / "black.stl", back), OperationResult::Success);
        const ModelObject& read = *back.objects.front();
        ASSERT_EQ(read.colors.empty(), c.readBack.empty());
        for (std::uint32_t facet = 0; facet < c.readBack.size(); ++facet)
            EXPECT_EQ(read.colors[read.indices[3 * facet]], c.readBack[facet]) << facet;
    }
}

TEST(StlBinaryWriter, PlacementIsResolvedIntoWorldCoordinates)
{
    TempDir dir;
    Model model;
    ModelObject& object = addTriangles(model, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    object.position = {0, 0, 5};
    object.rotation = {0, 0, 90};
    object.scale = {2, 1, 1};
    ASSERT_EQ(writeBinary(dir / "placed.stl", model), OperationResult::Success);
    const std::string file = readFile(dir / "placed.stl");
    const Matrix4 placement = composeTransform(object.rotation, object.scale, Matrix4::identity(), object.position);
    Vector3 corners[3];
    for (int i = 0; i < 3; ++i) {
        corners[i] = vectorAt(file, 84 + 12 + 12 * static_cast<std::size_t>(i));
        EXPECT_EQ(corners[i], transformPoint(object.vertices[static_cast<std::uint32_t>(i)], placement));
    }
    EXPECT_NEAR(corners[0].x, 0.0f, 1e-6f);
    EXPECT_NEAR(corners[0].y, 2.0f, 1e-6f);
    EXPECT_NEAR(corners[0].z, 5.0f, 1e-6f);
    EXPECT_EQ(vectorAt(file, 84), faceNormal(corners[0], corners[1], corners[2]));
    // The model keeps its placement.
    EXPECT_EQ(object.vertices[0], (Vector3{1, 0, 0}));
}

TEST(StlWriters, ObjectsInOrderAndWholeTrianglesOnly)
{
    TempDir dir;
    Model model;
    addTriangles(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    ModelObject& two = addTriangles(model, {{5, 0, 0}, {6, 0, 0}, {5, 1, 0}, {7, 7, 7}});
    (void)two;                                   // 4 indices: one triangle, one stray index
    addTriangles(model, {{9, 9, 9}, {8, 8, 8}}); // too few indices: left out
    model.addObject();                           // empty
    ASSERT_EQ(writeBinary(dir / "order.stl", model), OperationResult::Success);
    const std::string file = readFile(dir / "order.stl");
    ASSERT_EQ(file.size(), 84u + 2 * 50);
    std::uint32_t count;
    std::memcpy(&count, file.data() + 80, 4);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(vectorAt(file, 84 + 12), (Vector3{0, 0, 0}));
    EXPECT_EQ(vectorAt(file, 84 + 50 + 12), (Vector3{5, 0, 0}));

    // Nothing to write: still a valid file.
    Model empty;
    ASSERT_EQ(writeBinary(dir / "empty.stl", empty), OperationResult::Success);
    EXPECT_EQ(readFile(dir / "empty.stl").size(), 84u);
    Model back;
    EXPECT_EQ(readStlFile(dir / "empty.stl", back), OperationResult::Success);
    ASSERT_EQ(writeAscii(dir / "empty-ascii.stl", empty), OperationResult::Success);
    EXPECT_EQ(readFile(dir / "empty-ascii.stl"), "solid \r\nendsolid\r\n");
}

TEST(StlWriters, BadModelsAndTargetsFailWithoutLeavingFiles)
{
    TempDir dir;
    Model outOfRange;
    ModelObject& object = addTriangles(outOfRange, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    object.indices[2] = 3;
    Model noVertices;
    ModelObject& bare = *noVertices.addObject();
    ASSERT_TRUE(bare.indices.allocate(3));
    for (std::uint32_t i = 0; i < 3; ++i)
        bare.indices[i] = i;
    Model good;
    addTriangles(good, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});

    struct Case {
        const char* name;
        const Model* model;
        std::filesystem::path target;
        const char* reasonPart;
    };
    const std::vector<Case> cases = {
        {"index past the vertices", &outOfRange, dir / "a.stl", "indices past"},
        {"indices without vertices", &noVertices, dir / "b.stl", "no vertices"},
        {"missing folder", &good, dir / "no-such-folder" / "c.stl", "cannot create"},
    };
    for (const Case& c : cases)
        for (bool ascii : {false, true}) {
            Failure failure;
            const OperationResult result =
                ascii ? writeAscii(c.target, *c.model, &failure) : writeBinary(c.target, *c.model, &failure);
            EXPECT_EQ(result, OperationResult::Failure) << c.name;
            EXPECT_NE(failure.message.find(c.reasonPart), std::string::npos)
                << c.name << ": " << describeFailure(failure);
            EXPECT_FALSE(std::filesystem::exists(c.target)) << c.name;
        }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(StlWriters, WriteErrorsAreFailures)
{
    // A file size limit makes writes fail as a full disk would.
    TempDir dir;
    Model model;
    addTriangles(model, cornersOf(stripFacets(10000)));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Failure binaryFailure, asciiFailure;
    const OperationResult binary = writeBinary(dir / "full.stl", model, &binaryFailure);
    const OperationResult ascii = writeAscii(dir / "full-ascii.stl", model, &asciiFailure);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(binary, OperationResult::Failure);
    EXPECT_EQ(ascii, OperationResult::Failure);
    EXPECT_NE(binaryFailure.message.find("write failed"), std::string::npos) << binaryFailure.message;
    EXPECT_NE(asciiFailure.message.find("write failed"), std::string::npos) << asciiFailure.message;
    EXPECT_EQ(binaryFailure.kind, FailureKind::Unwritable);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(StlWriters, ProgressAndCancellation)
{
    TempDir dir;
    Model model;
    addTriangles(model, cornersOf(stripFacets(250)));

    RecordingReporter reporter;
    ASSERT_EQ(writeStlBinary(dir / "p.stl", model, reporter), OperationResult::Success);
    // One check before the object, then one every 100 facets.
    EXPECT_EQ(reporter.cancelChecks(), 1u + 3u);
    std::vector<std::string> texts;
    for (const auto& status : reporter.statuses) {
        EXPECT_EQ(status.line, 1);
        texts.push_back(status.text);
    }
    const std::vector<std::string> expected = {"Preparing data", "Write Binary file", "Write Binary file : 0 facets",
                                               "Write Binary file : 100 facets", "Write Binary file : 200 facets"};
    EXPECT_EQ(texts, expected);
    EXPECT_DOUBLE_EQ(reporter.progress.back(), 1.0);

    for (bool ascii : {false, true})
        for (std::uint64_t after : {1, 2, 4}) {
            RecordingReporter cancelling;
            cancelling.cancelAfterChecks(after);
            const auto target = dir / ("cancel-" + std::to_string(after) + ".stl");
            const OperationResult result =
                ascii ? writeStlAscii(target, model, cancelling) : writeStlBinary(target, model, cancelling);
            EXPECT_EQ(result, OperationResult::Cancelled) << after;
            EXPECT_FALSE(std::filesystem::exists(target));
        }
    // Only the finished file is in the folder: no temporary files remain.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(StlRoundTrip, BinaryKeepsGeometryColoursNameAndMaterial)
{
    TempDir dir;
    Model model;
    model.properties.setProperty("ModelName", "round trip");
    const std::vector<Vector3> corners = cubeCorners({3.5f, 0.001f, 1}, {-1, 0, 100});
    ModelObject& object = addTriangles(model, corners);
    ASSERT_TRUE(object.colors.allocate(object.vertices.count()));
    for (std::uint32_t i = 0; i < object.colors.count(); ++i)
        object.colors[i] = 0xFF000000u | (i * 0x0A1408u);
    object.properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(0xFF112233u));
    Material& material = *model.addMaterial();
    material.setColor(DiffuseSlot, 0xFF445566);
    material.setColor(AmbientSlot, 0xFF778899);
    *object.addMaterialRange() = {material.id, 0, object.indices.count()};

    ASSERT_EQ(writeBinary(dir / "rt.stl", model), OperationResult::Success);
    Model back;
    Failure failure;
    ASSERT_EQ(readStlFile(dir / "rt.stl", back, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(back.objects.size(), 1u);
    const ModelObject& read = *back.objects.front();
    EXPECT_EQ(back.properties.getProperty("ModelName"), "round trip");
    EXPECT_EQ(static_cast<ArgbColor>(read.properties.getIntProperty("ObjectDefaultColor")), 0xFF112233u);
    ASSERT_EQ(back.materials.size(), 1u);
    EXPECT_EQ(back.materials.front()->colors[DiffuseSlot], 0xFF445566u);
    EXPECT_EQ(back.materials.front()->colors[AmbientSlot], 0xFF778899u);
    EXPECT_EQ(back.materials.front()->colors[SpecularSlot], OpaqueBlack); // not set: written as opaque black
    ASSERT_EQ(read.materialRanges.size(), 1u);
    EXPECT_EQ(read.materialRanges.front().endIndex, 36u);
    ASSERT_EQ(read.indices.count(), 36u);
    EXPECT_EQ(read.vertices.count(), 8u);
    for (std::uint32_t corner = 0; corner < 36; ++corner) {
        EXPECT_EQ(read.vertices[read.indices[corner]], corners[corner]);
        if (corner % 3 == 0) {
            // Facet colours: the first corner's colour, five bits a channel.
            const std::uint32_t vertex = read.indices[corner];
            // A shared vertex takes the colour of the last facet using it.
            std::uint32_t last = corner;
            for (std::uint32_t later = 0; later < 36; ++later)
                if (read.indices[later] == vertex)
                    last = later - later % 3;
            EXPECT_EQ(read.colors[vertex], object.colors[last] & 0xFFF8F8F8u) << corner;
        }
    }
}

TEST(StlRoundTrip, AsciiKeepsGeometryToSevenDigits)
{
    TempDir dir;
    Model model;
    model.properties.setProperty("ModelName", "ascii trip");
    const std::vector<Vector3> corners = cubeCorners({123.456789f, -1e-4f, 7e6f});
    addTriangles(model, corners);
    ASSERT_EQ(writeAscii(dir / "rt.stl", model), OperationResult::Success);
    Model back;
    ASSERT_EQ(readStlFile(dir / "rt.stl", back), OperationResult::Success);
    EXPECT_EQ(back.profile.kind, FormatKind::StlAscii);
    EXPECT_EQ(back.properties.getProperty("ModelName"), "ascii trip");
    const ModelObject& read = *back.objects.front();
    ASSERT_EQ(read.indices.count(), 36u);
    EXPECT_EQ(read.vertices.count(), 8u);
    EXPECT_EQ(read.colors.count(), 0u);
    for (std::uint32_t corner = 0; corner < 36; ++corner) {
        const Vector3& v = read.vertices[read.indices[corner]];
        const Vector3& w = corners[corner];
        for (auto [a, b] : {std::pair{v.x, w.x}, std::pair{v.y, w.y}, std::pair{v.z, w.z}})
            EXPECT_NEAR(a, b, std::fabs(b) * 5e-7f) << corner;
    }
}

TEST(StlRoundTrip, PeerReadsWhatWeWrite)
{
    if (morvex::testing::runCommand("command -v assimp >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "assimp is not installed";
    TempDir dir;
    Model model;
    addTriangles(model, cubeCorners({20, 20, 20}));
    ASSERT_EQ(writeBinary(dir / "peer-binary.stl", model), OperationResult::Success);
    ASSERT_EQ(writeAscii(dir / "peer-ascii.stl", model), OperationResult::Success);
    for (const char* name : {"peer-binary.stl", "peer-ascii.stl"}) {
        std::string output;
        ASSERT_EQ(morvex::testing::runCommand(
                      "assimp info " + morvex::testing::shellQuote((dir / name).string()) + " 2>&1", &output),
                  0)
            << output;
        EXPECT_NE(output.find("Faces:              12"), std::string::npos) << output;
        EXPECT_NE(output.find("Maximum point      (20.000000 20.000000 20.000000)"), std::string::npos) << output;
    }
}

} // namespace
} // namespace morvex::stl

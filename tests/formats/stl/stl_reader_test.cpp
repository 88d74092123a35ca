#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"
#include "formats/stl/stl_test_files.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/memory_guard.h"
#include "support/core/parallel_ranges.h"
#include "support/text/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <unistd.h>

namespace morvex::stl {
namespace {

using morvex::RecordingReporter;
using morvex::testing::TempDir;
using morvex::testing::utf16Text;
using morvex::testing::writeFile;
using namespace morvex::stl::testing;

struct ReadOutcome {
    OperationResult result = OperationResult::Failure;
    Failure failure;
};

ReadOutcome readBytes(const TempDir& dir, std::string_view bytes, Model& model, const char* name = "input.stl")
{
    writeFile(dir / name, bytes);
    ReadOutcome outcome;
    outcome.result = readStlFile(dir / name, model, &outcome.failure);
    return outcome;
}

const ModelObject& onlyObject(const Model& model)
{
    EXPECT_EQ(model.objects.size(), 1u);
    return *model.objects.front();
}

TEST(StlAsciiReader, CubeGivesEightSharedVerticesAndItsName)
{
    TempDir dir;
    for (std::string_view eol : {"\n", "\r\n", "\r"}) {
        Model model;
        ASSERT_EQ(readBytes(dir, asciiStl("cube", cubeFacets(), eol), model).result, OperationResult::Success);
        const ModelObject& cube = onlyObject(model);
        EXPECT_EQ(cube.vertices.count(), 8u);
        EXPECT_EQ(cube.indices.count(), 36u);
        EXPECT_EQ(cube.normals.count(), 0u);
        EXPECT_EQ(cube.colors.count(), 0u);
        EXPECT_TRUE(cube.materialRanges.empty());
        EXPECT_EQ(model.properties.getProperty("ModelName", "absent"), "cube");
        EXPECT_EQ(model.profile.kind, FormatKind::StlAscii);
        // Corners keep the file's order: the first facet is (0,0,0) (1,1,0) (1,0,0).
        EXPECT_EQ(cube.vertices[cube.indices[1]], (Vector3{1, 1, 0}));
        EXPECT_EQ(cube.vertices[cube.indices[2]], (Vector3{1, 0, 0}));
    }
}

TEST(StlAsciiReader, FirstLineDecidesAndNamesTheSolid)
{
    const std::string body = asciiFacet(cubeFacets()[0]) + "endsolid\n";
    struct Case {
        std::string firstLine;
        bool accepted;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"solid cube", true, "cube"},
        {"solid", true, ""},               // nothing after the word
        {"solid\tpart 7", true, "part 7"}, // a tab after the word
        {"   solid    padded name   ", true, "padded name"},
        {"solid \t mixed blanks", true, "mixed blanks"},
        {"solidworks part", false, ""},
        {"Solid cube", false, ""},
        {"\tsolid cube", false, ""}, // only spaces are trimmed
        {"", false, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        Model model;
        const ReadOutcome outcome = readBytes(dir, c.firstLine + "\n" + body, model);
        if (!c.accepted) {
            EXPECT_EQ(outcome.result, OperationResult::Failure) << c.firstLine;
            EXPECT_FALSE(outcome.failure.message.empty()) << c.firstLine;
            continue;
        }
        ASSERT_EQ(outcome.result, OperationResult::Success) << c.firstLine << ": " << describeFailure(outcome.failure);
        EXPECT_TRUE(model.properties.hasProperty("ModelName")) << c.firstLine;
        EXPECT_EQ(model.properties.getProperty("ModelName"), c.name) << c.firstLine;
    }
}

TEST(StlAsciiReader, NamesAreCutAndMadeValidUtf8)
{
    TempDir dir;
    Model longName;
    const std::string name(400, 'n');
    ASSERT_EQ(readBytes(dir, asciiStl(name, cubeFacets()), longName).result, OperationResult::Success);
    // The line keeps 259 bytes: "solid " and 253 of the name.
    EXPECT_EQ(longName.properties.getProperty("ModelName"), std::string(253, 'n'));

    Model latin1;
    ASSERT_EQ(readBytes(dir, asciiStl("caf\xE9 \x80", cubeFacets()), latin1).result, OperationResult::Success);
    const std::string decoded = latin1.properties.getProperty("ModelName");
    EXPECT_TRUE(isValidUtf8(decoded));
    EXPECT_EQ(decoded, "caf\xC3\xA9 \xE2\x82\xAC");
}

TEST(StlAsciiReader, MalformedFacetsAreSkipped)
{
    const std::vector<TestFacet> cube = cubeFacets();
    const std::string good = asciiFacet(cube[0]);
    const std::string other = asciiFacet(cube[5]);
    struct Case {
        const char* name;
        std::string facet;
    };
    const std::vector<Case> broken = {
        {"missing normal number",
         "facet normal 0 0\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"},
        {"word as coordinate",
         "facet normal 0 0 1\nouter loop\nvertex 0 0 blah\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"},
        {"no outer loop", "facet normal 0 0 1\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"},
        {"two vertices", "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nendloop\nendfacet\n"},
        {"no endfacet", "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nfoo\n"},
        {"normal before facet",
         "normal facet 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"},
        {"number glued to text",
         "facet normal 0 0 1x\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n"},
    };
    TempDir dir;
    for (const Case& c : broken) {
        Model model;
        const ReadOutcome outcome = readBytes(dir, "solid s\n" + good + c.facet + other + "endsolid s\n", model);
        ASSERT_EQ(outcome.result, OperationResult::Success) << c.name << ": " << describeFailure(outcome.failure);
        // The broken facet's lines are consumed; the good facets on both
        // sides are kept.
        EXPECT_EQ(onlyObject(model).triangleCount(), 2u) << c.name;
    }

    // Keywords are found anywhere in a line, numbers follow them.
    Model loose;
    const std::string text = "solid s\nxx facet yy normal 0 0 1\nthe outer loop here\nA vertex 0 0 0 trailing\n"
                             "vertex 1 0 0\n vertex 1 1 0\nendloop\nendfacet\nendsolid\n";
    ASSERT_EQ(readBytes(dir, text, loose).result, OperationResult::Success);
    EXPECT_EQ(onlyObject(loose).triangleCount(), 1u);
}

TEST(StlAsciiReader, EndsolidClosesTheSolidEvenInsideABrokenFacet)
{
    TempDir dir;
    const std::vector<TestFacet> cube = cubeFacets();
    // A cut-off last facet followed by "endsolid": the good facets are kept.
    Model model;
    const std::string text = "solid s\n" + asciiFacet(cube[0]) + asciiFacet(cube[1]) +
                             "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nendsolid s\n";
    ASSERT_EQ(readBytes(dir, text, model).result, OperationResult::Success);
    EXPECT_EQ(onlyObject(model).triangleCount(), 2u);
}

// Every solid of a file is an object named by its solid line; a solid
// without facets (as our writers write an empty model) an object without
// triangles. Blank lines between solids are passed over.
TEST(StlAsciiReader, ReadsEverySolidAsAnObject)
{
    TempDir dir;
    const std::vector<TestFacet> cube = cubeFacets();
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> names;
        std::vector<std::uint32_t> triangles;
    };
    const Case cases[] = {
        {"two solids", asciiStl("a", {cube[0]}) + asciiStl("b part", {cube[1], cube[2]}), {"a", "b part"}, {1, 2}},
        {"empty solid between two",
         asciiStl("a", {cube[0]}) + "\n  \nsolid hollow\nendsolid hollow\n" + asciiStl("c", cube),
         {"a", "hollow", "c"},
         {1, 0, 12}},
        {"only an empty solid", "solid nothing\nendsolid nothing\n", {"nothing"}, {0}},
        {"empty solid without a name or line end", "solid\nendsolid", {""}, {0}},
        {"a UTF-8 mark before the first solid", "\xEF\xBB\xBF" + asciiStl("marked", {cube[0]}), {"marked"}, {1}},
        // Text after the last solid that opens none is not read.
        {"trailing words", asciiStl("a", {cube[0]}) + "made by hand\n", {"a"}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Model model;
        const ReadOutcome outcome = readBytes(dir, c.text, model);
        ASSERT_EQ(outcome.result, OperationResult::Success) << describeFailure(outcome.failure);
        EXPECT_EQ(model.profile.kind, FormatKind::StlAscii);
        ASSERT_EQ(model.objects.size(), c.names.size());
        EXPECT_EQ(model.properties.getProperty("ModelName", "absent"), c.names.front());
        for (std::size_t i = 0; i < c.names.size(); ++i) {
            const ModelObject& object = *model.objects[i];
            EXPECT_EQ(object.properties.getProperty(ObjectNameKey, "absent"), c.names[i]);
            EXPECT_EQ(object.triangleCount(), c.triangles[i]);
            if (c.triangles[i] == 0) {
                EXPECT_TRUE(object.vertices.empty());
            }
            for (std::uint32_t index : object.indices)
                ASSERT_LT(index, object.vertices.count());
        }
    }
    // What our ASCII writer makes of an empty model reads back as one
    // object without triangles, not as a failure.
    Model empty;
    RecordingReporter reporter;
    ASSERT_EQ(writeStlAscii(dir / "empty.stl", empty, reporter), OperationResult::Success);
    Model emptyAgain;
    ASSERT_EQ(readStlFile(dir / "empty.stl", emptyAgain), OperationResult::Success);
    ASSERT_EQ(emptyAgain.objects.size(), 1u);
    EXPECT_EQ(emptyAgain.objects[0]->triangleCount(), 0u);

    // Each solid merges only its own vertices: the cube shares its corners,
    // the single facet before it keeps its three.
    Model both;
    ASSERT_EQ(readBytes(dir, asciiStl("one", {cube[0]}) + asciiStl("cube", cube), both).result,
              OperationResult::Success);
    ASSERT_EQ(both.objects.size(), 2u);
    EXPECT_EQ(both.objects[0]->vertices.count(), 3u);
    EXPECT_EQ(both.objects[1]->vertices.count(), 8u);
}

// ASCII STL in UTF-16 with its mark reads as the same text in ASCII, from
// a file and from memory; without a mark it is refused with the reason. A
// binary file whose header holds a whole empty solid is still binary.
TEST(StlAsciiReader, ReadsUtf16TextAndTellsBinaryFromEmptySolids)
{
    TempDir dir;
    const std::vector<TestFacet> cube = cubeFacets();
    const std::string ascii = asciiStl("caf\xC3\xA9", cube) + asciiStl("second", {cube[0]});
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const std::string text = utf16Text(ascii, bigEndian);
        Model fromFile;
        const ReadOutcome outcome = readBytes(dir, text, fromFile);
        ASSERT_EQ(outcome.result, OperationResult::Success) << describeFailure(outcome.failure);
        Model fromMemory;
        RecordingReporter reporter;
        ASSERT_EQ(readStl(text, "memory.stl", fromMemory, reporter), OperationResult::Success);
        for (const Model* model : {&fromFile, &fromMemory}) {
            EXPECT_EQ(model->profile.kind, FormatKind::StlAscii);
            ASSERT_EQ(model->objects.size(), 2u);
            EXPECT_EQ(model->objects[0]->properties.getProperty(ObjectNameKey), "caf\xC3\xA9");
            EXPECT_EQ(model->objects[0]->triangleCount(), 12u);
            EXPECT_EQ(model->objects[0]->vertices.count(), 8u);
            EXPECT_EQ(model->objects[1]->triangleCount(), 1u);
        }
    }
    Model unmarked;
    const ReadOutcome refused = readBytes(dir, utf16Text(ascii, false, false), unmarked);
    EXPECT_EQ(refused.result, OperationResult::Failure);
    EXPECT_NE(refused.failure.message.find("UTF-16 without a byte-order mark"), std::string::npos)
        << describeFailure(refused.failure);

    std::string header = "solid fake\nendsolid fake\n";
    header.resize(80, ' ');
    Model binary;
    const ReadOutcome read = readBytes(dir, binaryStl(header, {cube[0], cube[1]}), binary);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    EXPECT_EQ(binary.profile.kind, FormatKind::StlBinary);
    ASSERT_EQ(binary.objects.size(), 1u);
    EXPECT_EQ(binary.objects[0]->triangleCount(), 2u);
}

TEST(StlAsciiReader, RefusedTextFilesGiveAReason)
{
    const std::vector<TestFacet> cube = cubeFacets();
    const std::string facets = asciiFacet(cube[0]) + asciiFacet(cube[1]);
    struct Case {
        const char* name;
        std::string bytes;
        const char* reasonPart;
    };
    const std::vector<Case> cases = {
        {"no endsolid", "solid s\n" + facets, "endsolid"},
        {"file ends inside a facet", "solid s\n" + facets + "facet normal 0 0 1\nouter loop\n", "inside a facet"},
        {"not-a-number coordinate", "solid s\n" + asciiFacet({{{0, 0, 0}, {1, 0, 0}, {NAN, 1, 0}}}) + "endsolid\n",
         "not a finite number"},
        {"overflowing coordinate",
         "solid s\nfacet normal 0 0 1\nouter loop\nvertex 1e39 0 0\nvertex 1 0 0\n"
         "vertex 0 1 0\nendloop\nendfacet\nendsolid\n",
         "not a finite number"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        Model model;
        const ReadOutcome outcome = readBytes(dir, c.bytes, model);
        EXPECT_EQ(outcome.result, OperationResult::Failure) << c.name;
        EXPECT_NE(outcome.failure.message.find(c.reasonPart), std::string::npos)
            << c.name << ": " << describeFailure(outcome.failure);
    }
}

TEST(StlAsciiReader, TextCheckAppliesOnlyBeforeTheFirstFacet)
{
    TempDir dir;
    const std::vector<TestFacet> cube = cubeFacets();
    Model before;
    EXPECT_EQ(readBytes(dir, "solid s\nnote_1\n" + asciiFacet(cube[0]) + "endsolid\n", before).result,
              OperationResult::Failure);
    Model after;
    ASSERT_EQ(readBytes(dir, "solid s\n" + asciiFacet(cube[0]) + "note_1 (ok)\n" + asciiFacet(cube[1]) + "endsolid\n",
                        after)
                  .result,
              OperationResult::Success);
    EXPECT_EQ(onlyObject(after).triangleCount(), 2u);
}

TEST(StlAsciiReader, LongLinesAreCutNotFatal)
{
    TempDir dir;
    const std::vector<TestFacet> cube = cubeFacets();
    // A vertex line whose third number lies beyond byte 259 loses it, and
    // with it its facet; a comment longer than a block is simply skipped.
    const std::string padded = "vertex 0 0" + std::string(260, ' ') + "0\n";
    const std::string text = "solid s\n" + asciiFacet(cube[0]) + std::string(20000, 'c') + "\n" +
                             "facet normal 0 0 1\nouter loop\n" + padded +
                             "vertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n" + asciiFacet(cube[1]) + "endsolid\n";
    Model model;
    ASSERT_EQ(readBytes(dir, text, model).result, OperationResult::Success);
    EXPECT_EQ(onlyObject(model).triangleCount(), 2u);

    Model oneLine;
    EXPECT_EQ(readBytes(dir, "solid " + std::string(1 << 20, 'x'), oneLine).result, OperationResult::Failure);
}

TEST(StlAsciiReader, SameModelForEveryBlockSize)
{
    TempDir dir;
    std::vector<TestFacet> facets = cubeFacets();
    for (int i = 0; i < 40; ++i)
        facets.push_back({{{static_cast<float>(i), 0.5f, 1e-7f}, {1, static_cast<float>(i), 2}, {0, 0, 3}}});
    // Mixed line endings, so that CR LF pairs fall across block borders.
    std::string text = "solid blocks\r\n";
    for (std::size_t i = 0; i < facets.size(); ++i)
        text += asciiFacet(facets[i], i % 3 == 0 ? "\r\n" : (i % 3 == 1 ? "\r" : "\n"));
    text += "endsolid\r\n";
    writeFile(dir / "blocks.stl", text);

    Model reference;
    AsciiVerdict verdict;
    StoppableReporter reporter;
    FileBlockSource file;
    ASSERT_EQ(file.open(dir / "blocks.stl", nullptr), OperationResult::Success);
    ASSERT_EQ(readStlAscii(file, reference, reporter, nullptr, &verdict), OperationResult::Success);
    const ModelObject& expected = onlyObject(reference);
    EXPECT_EQ(expected.triangleCount(), facets.size());
    for (std::size_t block = 1; block <= 40; ++block) {
        Model model;
        MemoryBlockSource memory(text);
        ASSERT_EQ(readStlAscii(memory, model, reporter, nullptr, &verdict, {}, block), OperationResult::Success)
            << block;
        const ModelObject& object = onlyObject(model);
        ASSERT_EQ(object.vertices.count(), expected.vertices.count()) << block;
        ASSERT_EQ(object.indices.count(), expected.indices.count()) << block;
        EXPECT_EQ(std::memcmp(object.vertices.data(), expected.vertices.data(), object.vertices.count() * 12), 0);
        EXPECT_EQ(std::memcmp(object.indices.data(), expected.indices.data(), object.indices.count() * 4), 0);
        EXPECT_EQ(model.properties.getProperty("ModelName"), "blocks");
    }
}

TEST(StlBinaryReader, HeaderColourAndMaterial)
{
    TempDir dir;
    const std::vector<TestFacet> facets = cubeFacets();
    std::string header = "made by a test COLOR=";
    const std::uint32_t object = 0xFF336699, diffuse = 0x11223344, specular = 0x55667788, ambient = 0x99AABBCC;
    appendBytes(header, &object, 4);
    header += "MATERIAL=";
    appendBytes(header, &diffuse, 4);
    appendBytes(header, &specular, 4);
    appendBytes(header, &ambient, 4);
    Model model;
    ASSERT_EQ(readBytes(dir, binaryStl(header, facets), model).result, OperationResult::Success);
    const ModelObject& cube = onlyObject(model);
    EXPECT_EQ(static_cast<ArgbColor>(cube.properties.getIntProperty("ObjectDefaultColor")), object);
    EXPECT_EQ(model.properties.getProperty("ModelName"), "made by a test");
    EXPECT_EQ(model.profile.kind, FormatKind::StlBinary);
    ASSERT_EQ(model.materials.size(), 1u);
    const Material& material = *model.materials.front();
    EXPECT_EQ(material.colors[DiffuseSlot], diffuse);
    EXPECT_EQ(material.colors[SpecularSlot], specular);
    EXPECT_EQ(material.colors[AmbientSlot], ambient);
    EXPECT_TRUE(material.colorSet[DiffuseSlot] && material.colorSet[SpecularSlot] && material.colorSet[AmbientSlot]);
    ASSERT_EQ(cube.materialRanges.size(), 1u);
    EXPECT_EQ(cube.materialRanges.front().materialId, material.id);
    EXPECT_EQ(cube.materialRanges.front().firstIndex, 0u);
    EXPECT_EQ(cube.materialRanges.front().endIndex, 36u);
    // All attribute words are 0: the object colour alone, no vertex colours.
    EXPECT_EQ(cube.colors.count(), 0u);
    EXPECT_EQ(cube.vertices.count(), 8u);
}

TEST(StlBinaryReader, ColourMarkerMustFitInTheHeader)
{
    TempDir dir;
    const std::uint32_t colour = 0xFF010203;
    struct Case {
        std::size_t position;
        bool found;
    };
    for (const Case& c : {Case{0, true}, Case{70, true}, Case{71, false}}) {
        std::string header(c.position, 'h');
        header += "COLOR=";
        appendBytes(header, &colour, 4);
        Model model;
        ASSERT_EQ(readBytes(dir, binaryStl(header, cubeFacets()), model).result, OperationResult::Success);
        const ModelObject& object = onlyObject(model);
        EXPECT_EQ(object.properties.hasProperty("ObjectDefaultColor"), c.found) << c.position;
        EXPECT_TRUE(model.materials.empty());
        // The name is what precedes the colour block.
        const std::string name = model.properties.getProperty("ModelName");
        EXPECT_EQ(name.substr(0, std::min<std::size_t>(name.size(), c.position)),
                  std::string(std::min<std::size_t>(name.size(), c.position), 'h'));
        if (c.found) {
            EXPECT_EQ(name.size(), c.position);
        }
    }
}

TEST(StlBinaryReader, AttributeWordsColourTheVertices)
{
    TempDir dir;
    std::string header = "COLOR=";
    const std::uint32_t objectColour = 0xFF808000;
    appendBytes(header, &objectColour, 4);
    const Vector3 a{0, 0, 0}, b{1, 0, 0}, c{1, 1, 0}, d{0, 1, 0}, e{5, 5, 5}, f{6, 5, 5}, g{6, 6, 5};
    const std::vector<TestFacet> facets = {
        {{a, b, c}, 0x7C00}, // blue 248
        {{a, c, d}, 0x001F}, // red 248, and the later colour of the shared a and c
        {{e, f, g}, 0x801F}, // bit 15: the object colour
    };
    Model model;
    ASSERT_EQ(readBytes(dir, binaryStl(header, facets), model).result, OperationResult::Success);
    const ModelObject& object = onlyObject(model);
    ASSERT_EQ(object.vertices.count(), 7u);
    ASSERT_EQ(object.colors.count(), 7u);
    const auto colourOf = [&](const Vector3& v) {
        for (std::uint32_t i = 0; i < object.vertices.count(); ++i)
            if (object.vertices[i] == v)
                return object.colors[i];
        ADD_FAILURE() << "vertex missing";
        return ArgbColor{0};
    };
    EXPECT_EQ(colourOf(b), 0xFF0000F8u);
    EXPECT_EQ(colourOf(a), 0xFFF80000u);
    EXPECT_EQ(colourOf(c), 0xFFF80000u);
    EXPECT_EQ(colourOf(d), 0xFFF80000u);
    EXPECT_EQ(colourOf(e), objectColour);

    // Without a header colour, bit 15 gives opaque black.
    Model plain;
    ASSERT_EQ(readBytes(dir, binaryStl("plain", {{{a, b, c}, 0x8000}}), plain).result, OperationResult::Success);
    ASSERT_EQ(onlyObject(plain).colors.count(), 3u);
    EXPECT_EQ(onlyObject(plain).colors[0], 0xFF000000u);
}

// A file large enough to be mapped gives its pages back while it is read,
// in the check pass and in the merge; what is read is what the same bytes
// give from memory, colours of the last facets included.
TEST(StlBinaryReader, AMappedFileGivesBackItsPagesAndReadsTheSame)
{
    TempDir dir;
    std::vector<TestFacet> facets;
    const int side = 600; // 720,000 facets, 36 MB
    facets.reserve(std::size_t{side} * side * 2);
    for (int row = 0; row < side; ++row)
        for (int column = 0; column < side; ++column) {
            const auto x = static_cast<float>(column), y = static_cast<float>(row);
            const float z = static_cast<float>((row * 7 + column * 3) % 11) * 0.25f;
            const std::uint16_t colour = row >= side - 2 ? static_cast<std::uint16_t>(column % 0x7FFF) : 0;
            facets.push_back({{Vector3{x, y, z}, Vector3{x + 1, y, z}, Vector3{x + 1, y + 1, z}}, colour});
            facets.push_back({{Vector3{x, y, z}, Vector3{x + 1, y + 1, z}, Vector3{x, y + 1, z}}, 0});
        }
    const std::string bytes = binaryStl("grid", facets);
    ASSERT_GT(bytes.size(), 32u << 20);

    Model mapped;
    ASSERT_EQ(readBytes(dir, bytes, mapped).result, OperationResult::Success);
    Model inMemory;
    RecordingReporter reporter;
    ASSERT_EQ(readStl(bytes, "grid.stl", inMemory, reporter), OperationResult::Success);
    const ModelObject& a = onlyObject(mapped);
    const ModelObject& b = onlyObject(inMemory);
    ASSERT_EQ(a.indices.count(), facets.size() * 3);
    ASSERT_EQ(a.vertices.count(), b.vertices.count());
    ASSERT_EQ(a.colors.count(), a.vertices.count());
    EXPECT_EQ(std::memcmp(a.vertices.data(), b.vertices.data(), a.vertices.count() * sizeof(Vector3)), 0);
    EXPECT_EQ(std::memcmp(a.indices.data(), b.indices.data(), a.indices.count() * sizeof(std::uint32_t)), 0);
    EXPECT_EQ(std::memcmp(a.colors.data(), b.colors.data(), a.colors.count() * sizeof(ArgbColor)), 0);
    EXPECT_EQ(a.vertices[a.indices[0]], (Vector3{0, 0, 0}));
}

TEST(StlBinaryReader, VertexMergeWithinTolerance)
{
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<TestFacet> facets;
        std::uint32_t vertices;
    };
    const std::vector<Case> cases = {
        {"shared edge", {{{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}}, {{{0, 0, 0}, {1, 1, 0}, {0, 1, 0}}}}, 4},
        {"1e-7 apart merge",
         {{{{0.5f, 0, 0}, {1, 0, 0}, {1, 1, 0}}}, {{{0.5f + 1e-7f, 0, 0}, {2, 2, 2}, {3, 3, 3}}}},
         5},
        {"1e-6 apart do not",
         {{{{0.5f, 0, 0}, {1, 0, 0}, {1, 1, 0}}}, {{{0.5f + 1e-6f, 0, 0}, {2, 2, 2}, {3, 3, 3}}}},
         6},
    };
    for (const Case& c : cases) {
        Model model;
        ASSERT_EQ(readBytes(dir, binaryStl("merge", c.facets), model).result, OperationResult::Success);
        EXPECT_EQ(onlyObject(model).vertices.count(), c.vertices) << c.name;
    }

    // A vertex last seen more than 10000 unique vertices ago is added again.
    std::vector<TestFacet> many;
    for (int i = 0; i < 3400; ++i) {
        const float x = static_cast<float>(i) * 10.0f;
        many.push_back({{{x, 100, 0}, {x, 200, 0}, {x, 300, 0}}});
    }
    many.push_back({{{0, 100, 0}, {33990, 300, 0}, {7, 7, 7}}});
    Model window;
    ASSERT_EQ(readBytes(dir, binaryStl("window", many), window).result, OperationResult::Success);
    const ModelObject& object = onlyObject(window);
    EXPECT_EQ(object.vertices.count(), 3400u * 3 + 2);
    EXPECT_EQ(object.indices[3400 * 3], 3400u * 3);         // (0,100,0): beyond the window
    EXPECT_EQ(object.indices[3400 * 3 + 1], 3399u * 3 + 2); // recent: found
}

TEST(StlBinaryReader, SizeMustMatchTheFacetCount)
{
    TempDir dir;
    const std::vector<TestFacet> facets = cubeFacets();
    const std::string good = binaryStl("sized", facets);
    struct Case {
        const char* name;
        std::string bytes;
        const char* reasonPart;
    };
    const std::vector<Case> cases = {
        {"one byte more", good + "x", "longer"},
        {"one byte less", good.substr(0, good.size() - 1), "truncated"},
        {"half a file", good.substr(0, good.size() / 2), "truncated"},
        {"four billion facets claimed in 84 bytes", binaryStl("huge", {}, 4'000'000'000u), "truncated"},
        {"header only", good.substr(0, 80), "truncated"},
        {"shorter than a header", good.substr(0, 50), "too short"},
        {"zero bytes", "", "empty"},
    };
    for (const Case& c : cases) {
        Model model;
        const ReadOutcome outcome = readBytes(dir, c.bytes, model);
        EXPECT_EQ(outcome.result, OperationResult::Failure) << c.name;
        EXPECT_NE(outcome.failure.message.find(c.reasonPart), std::string::npos)
            << c.name << ": " << describeFailure(outcome.failure);
    }

    Model empty;
    ASSERT_EQ(readBytes(dir, binaryStl("nothing here", {}), empty).result, OperationResult::Success);
    EXPECT_EQ(onlyObject(empty).vertices.count(), 0u);
    EXPECT_EQ(onlyObject(empty).indices.count(), 0u);
    EXPECT_EQ(empty.properties.getProperty("ModelName"), "nothing here");
}

TEST(StlBinaryReader, HugeFilesAreRefusedBeforeTheirFacetsAreRead)
{
    TempDir dir;
    struct Case {
        std::uint32_t count;
        const char* reasonPart;
    };
    // 1.6 billion facets: more corners than 32-bit indices can number. A
    // billion: more memory than the guard gives (the available memory is
    // pinned for the test).
    setAvailableMemoryOverride(std::uint64_t{8} << 30);
    for (const Case& c : {Case{1'600'000'000u, "too many facets"}, Case{1'000'000'000u, "out of memory"}}) {
        const auto path = dir / "sparse.stl";
        writeFile(path, binaryStl("sparse", {}, c.count));
        std::error_code error;
        std::filesystem::resize_file(path, 84 + std::uint64_t{c.count} * 50, error);
        if (error) {
            std::cout << "no sparse files here: " << error.message() << "\n";
            continue;
        }
        Model model;
        Failure failure;
        EXPECT_EQ(readStlFile(path, model, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find(c.reasonPart), std::string::npos) << describeFailure(failure);
        std::filesystem::remove(path);
    }
    setAvailableMemoryOverride(0);
}

TEST(StlBinaryReader, SolidHeaderIsReadAsBinary)
{
    TempDir dir;
    Model model;
    const std::string header = "solid part exported as binary" + std::string(51, ' ');
    ASSERT_EQ(readBytes(dir, binaryStl(header, cubeFacets()), model).result, OperationResult::Success);
    EXPECT_EQ(model.profile.kind, FormatKind::StlBinary);
    EXPECT_EQ(onlyObject(model).vertices.count(), 8u);
    EXPECT_EQ(model.properties.getProperty("ModelName"), "solid part exported as binary");
}

TEST(StlBinaryReader, NonFiniteCoordinatesAreRefused)
{
    TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {nan, inf, -inf}) {
        std::vector<TestFacet> facets = cubeFacets();
        facets[7].corners[1].y = bad;
        Model model;
        const ReadOutcome outcome = readBytes(dir, binaryStl("bad", facets), model);
        EXPECT_EQ(outcome.result, OperationResult::Failure);
        EXPECT_NE(outcome.failure.message.find("not a finite number"), std::string::npos)
            << describeFailure(outcome.failure);
    }
    // A NaN facet normal is harmless: normals are not kept.
    std::vector<TestFacet> facets = cubeFacets();
    facets[0].normal = {nan, nan, nan};
    Model model;
    EXPECT_EQ(readBytes(dir, binaryStl("normal", facets), model).result, OperationResult::Success);
}

// A large file is looked over in parts on several threads: a colour word or
// a bad coordinate found only by the last part counts as much as one the
// first part finds, and the failure names the first bad facet.
TEST(StlBinaryReader, LargeFileLookedOverInPartsFindsWhatEveryPartSees)
{
    TempDir dir;
    setThreadsPerFile(3);
    std::vector<TestFacet> facets(700'000);
    for (std::size_t i = 0; i < facets.size(); ++i) {
        const float x = static_cast<float>(i % 1000), y = static_cast<float>(i / 1000);
        facets[i].corners[0] = {x, y, 0};
        facets[i].corners[1] = {x + 1, y, 0};
        facets[i].corners[2] = {x, y + 1, 0};
    }
    facets[650'000].attribute = 0x7C00;
    Model coloured;
    ASSERT_EQ(readBytes(dir, binaryStl("parts", facets), coloured).result, OperationResult::Success);
    EXPECT_EQ(onlyObject(coloured).colors.empty(), false);

    facets[650'000].attribute = 0;
    facets[690'000].corners[2].z = std::numeric_limits<float>::infinity();
    facets[600'000].corners[0].x = std::numeric_limits<float>::quiet_NaN();
    Model broken;
    const ReadOutcome outcome = readBytes(dir, binaryStl("parts", facets), broken);
    setThreadsPerFile(1);
    EXPECT_EQ(outcome.result, OperationResult::Failure);
    EXPECT_EQ(outcome.failure.byteOffset, std::optional<std::uint64_t>(84 + 600'000ull * 50))
        << describeFailure(outcome.failure);
}

TEST(StlReader, PathsThatAreNotReadableFiles)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "folder.stl");
    writeFile(dir / "plain", "x");
    struct Case {
        std::filesystem::path path;
        const char* reasonPart;
    };
    const std::vector<Case> cases = {
        {dir / "folder.stl", "directory"},
        {dir / "missing.stl", "No such file"},
        {dir / "plain" / "below-a-file.stl", "Not a directory"},
        {dir / "missing-\xff\xfe.stl", "No such file"},
        {"/dev/null", "not a regular file"},
    };
    for (const Case& c : cases) {
        Model model;
        Failure failure;
        EXPECT_EQ(readStlFile(c.path, model, &failure), OperationResult::Failure) << c.path;
        EXPECT_NE(failure.message.find(c.reasonPart), std::string::npos) << c.path << ": " << describeFailure(failure);
    }

    // A name that is not UTF-8 is still a name: the file reads.
    Model model;
    EXPECT_EQ(readBytes(dir, asciiStl("x", cubeFacets()), model, "latin-\xe9.stl").result, OperationResult::Success);

    if (geteuid() != 0) {
        writeFile(dir / "locked.stl", asciiStl("x", cubeFacets()));
        std::filesystem::permissions(dir / "locked.stl", std::filesystem::perms::none);
        Model locked;
        Failure failure;
        EXPECT_EQ(readStlFile(dir / "locked.stl", locked, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find("Permission denied"), std::string::npos) << describeFailure(failure);
    }
}

TEST(StlReader, ProgressTextsAndCadence)
{
    TempDir dir;
    const std::vector<TestFacet> facets = stripFacets(1000);
    writeFile(dir / "ascii.stl", asciiStl("p", facets));
    writeFile(dir / "binary.stl", binaryStl("p", facets));

    RecordingReporter ascii;
    Model asciiModel;
    ASSERT_EQ(readStl(dir / "ascii.stl", asciiModel, ascii), OperationResult::Success);
    // 7001 lines before "endsolid": 70 checks; compiling and building check
    // once per 1000 facets.
    EXPECT_EQ(ascii.cancelChecks(), 72u);
    EXPECT_EQ(ascii.indeterminateBegins, 1);
    EXPECT_EQ(ascii.indeterminateEnds, 1);
    std::vector<std::string> texts;
    for (const auto& status : ascii.statuses) {
        EXPECT_EQ(status.line, 1) << status.text; // line 0 of each phase
        texts.push_back(status.text);
    }
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Loading as ASCII: 15 facets"); // line 106 passes 100
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Loading as ASCII: Compiling facets [0%: 0 / 1000]"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Loading as ASCII: Compiling facets [100%: 1000 / 1000]"),
              texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Processing Colors and Normals: [0%: 0 / 1000]"), texts.end());
    EXPECT_EQ(texts.back(), "Processing Colors and Normals: [100%: 1000 / 1000]");
    for (std::size_t i = 1; i < ascii.progress.size(); ++i)
        EXPECT_GE(ascii.progress[i], ascii.progress[i - 1]);
    EXPECT_DOUBLE_EQ(ascii.progress.back(), 1.0);

    RecordingReporter binary;
    Model binaryModel;
    ASSERT_EQ(readStl(dir / "binary.stl", binaryModel, binary), OperationResult::Success);
    // The ASCII attempt fails at the first line; reading binary facets polls
    // nothing, building polls once per 1000 facets.
    EXPECT_EQ(binary.cancelChecks(), 1u);
    ASSERT_GE(binary.statuses.size(), 12u);
    EXPECT_EQ(binary.statuses[0].text, "Loading as Binary: 0 facets");
    EXPECT_EQ(binary.statuses[1].text, "Loading as Binary: 100 facets");
    EXPECT_EQ(binary.statuses.back().text, "Processing Colors and Normals: [100%: 1000 / 1000]");
    EXPECT_DOUBLE_EQ(binary.progress.front(), 0.0);
    EXPECT_DOUBLE_EQ(binary.progress.back(), 1.0);
    for (std::size_t i = 1; i < binary.progress.size(); ++i)
        EXPECT_GE(binary.progress[i], binary.progress[i - 1]);
}

TEST(StlReader, CancellationStopsWithoutTryingBinary)
{
    TempDir dir;
    const std::vector<TestFacet> facets = stripFacets(2500);
    writeFile(dir / "ascii.stl", asciiStl("c", facets));
    writeFile(dir / "binary.stl", binaryStl("c", facets));
    // ASCII: 175 checks while reading (17501 lines), 3 compiling, 3 building.
    for (std::uint64_t after : {1, 100, 175, 176, 178, 179, 181}) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(after);
        Model model;
        EXPECT_EQ(readStl(dir / "ascii.stl", model, reporter), OperationResult::Cancelled) << after;
        EXPECT_EQ(reporter.cancelChecks(), after);
    }
    RecordingReporter complete;
    complete.cancelAfterChecks(182);
    Model model;
    EXPECT_EQ(readStl(dir / "ascii.stl", model, complete), OperationResult::Success);

    for (std::uint64_t after : {1, 3}) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(after);
        Model binary;
        EXPECT_EQ(readStl(dir / "binary.stl", binary, reporter), OperationResult::Cancelled) << after;
    }
}

} // namespace
} // namespace morvex::stl

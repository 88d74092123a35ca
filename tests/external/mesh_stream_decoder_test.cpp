#include "external/converter_stream.h"
#include "external/meshconv/mesh_stream_decoder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace morvex {
namespace {

using testing::converterStream;
using testing::StreamBlock;

// A triangle with one normal, colour and texture coordinate per vertex,
// then a quad of two triangles with nothing else.
std::vector<StreamBlock> twoBlocks()
{
    StreamBlock triangle;
    triangle.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 9, 9, 9};
    triangle.indices = {0, 1, 2};
    triangle.normals = {0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, -1};
    triangle.colours = {1.0f, 0.5f, 0.0f, 1.0f, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
    triangle.texCoords = {0, 0, 7, 1, 0, 7, 0, 1, 7, 1, 1, 7};
    StreamBlock quad;
    quad.vertices = {0, 0, 5, 1, 0, 5, 1, 1, 5, 0, 1, 5};
    quad.indices = {0, 1, 2, 0, 2, 3};
    return {triangle, quad};
}

void expectTwoObjects(const Model& model)
{
    ASSERT_EQ(model.objects.size(), 2u);
    const ModelObject& triangle = *model.objects[0];
    ASSERT_EQ(triangle.vertices.count(), 4u);
    EXPECT_EQ(triangle.vertices[1].x, 1.0f);
    EXPECT_EQ(triangle.vertices[3].z, 9.0f);
    ASSERT_EQ(triangle.indices.count(), 3u);
    EXPECT_EQ(triangle.indices[2], 2u);
    // Normals are per corner in a model: the vertices' normals are spread.
    ASSERT_EQ(triangle.normals.count(), 3u);
    EXPECT_EQ(triangle.normals[1].y, 1.0f);
    EXPECT_EQ(triangle.normals[2].x, 1.0f);
    ASSERT_TRUE(triangle.colorsPerVertex());
    EXPECT_EQ(triangle.colors[0], 0xFFFF7F00u);
    EXPECT_EQ(triangle.colors[1], 0xFF0000FFu);
    EXPECT_EQ(triangle.colors[2], 0x00FFFFFFu);
    ASSERT_TRUE(triangle.texCoordsPerVertex());
    EXPECT_EQ(triangle.texCoords[1].u, 1.0f);
    EXPECT_EQ(triangle.texCoords[2].v, 1.0f);

    const ModelObject& quad = *model.objects[1];
    EXPECT_EQ(quad.vertices.count(), 4u);
    EXPECT_EQ(quad.vertices[2].z, 5.0f);
    EXPECT_EQ(quad.triangleCount(), 2u);
    EXPECT_EQ(quad.indices[5], 3u);
    EXPECT_TRUE(quad.normals.empty());
    EXPECT_TRUE(quad.colors.empty());
    EXPECT_TRUE(quad.texCoords.empty());
}

TEST(MeshStreamDecoder, EveryPieceSizeGivesTheSameObjectsInBlockOrder)
{
    const std::string stream = converterStream(twoBlocks());
    for (std::size_t piece : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(5),
                              std::size_t(7), std::size_t(13), std::size_t(16), std::size_t(17), std::size_t(64)}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        Model model;
        const DecodedStream decoded = decodeConverterStream(stream, model, piece);
        EXPECT_TRUE(decoded.complete) << decoded.problem;
        EXPECT_EQ(decoded.problem, "");
        EXPECT_EQ(decoded.objectsAdded, 2u);
        expectTwoObjects(model);
    }
}

TEST(MeshStreamDecoder, ColoursAreTruncatedClampedChannels)
{
    EXPECT_EQ(colourFromChannels(1.0f, 0.5f, 0.0f, 1.0f), 0xFFFF7F00u);
    EXPECT_EQ(colourFromChannels(0.999f, 0.004f, 0.0039f, 0.5f), 0x7FFE0100u);
    EXPECT_EQ(colourFromChannels(2.0f, -1.0f, NAN, INFINITY), 0xFFFF0000u);
}

// Where the vertex count equals the corner count, per-vertex values would
// be taken for per-corner ones; they are spread over the corners instead.
TEST(MeshStreamDecoder, PerVertexValuesThatLookPerCornerAreSpreadOverTheCorners)
{
    StreamBlock block;
    block.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    block.indices = {2, 0, 1};
    block.colours = {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1};
    block.texCoords = {0, 0, 0, 1, 0, 0, 2, 0, 0};
    Model model;
    ASSERT_TRUE(decodeConverterStream(converterStream({block}), model).complete);
    const ModelObject& object = *model.objects[0];
    ASSERT_TRUE(object.colorsPerCorner());
    EXPECT_EQ(object.cornerColor(0), 0xFF0000FFu);
    EXPECT_EQ(object.cornerColor(1), 0xFFFF0000u);
    ASSERT_EQ(object.texCoords.count(), 3u);
    EXPECT_EQ(object.texCoords[0].u, 2.0f);
    EXPECT_EQ(object.texCoords[1].u, 0.0f);
}

TEST(MeshStreamDecoder, ValuesOfAnyOtherCountAreDropped)
{
    StreamBlock block;
    block.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    block.indices = {0, 1, 2, 2, 1, 3};
    block.normals = {0, 0, 1, 0, 0, 1};   // 2: neither 4 vertices nor 6 corners
    block.colours = {1, 1, 1, 1};         // 1
    block.texCoords = {0, 0, 0, 1, 1, 0}; // 2
    Model model;
    ASSERT_TRUE(decodeConverterStream(converterStream({block}), model).complete);
    const ModelObject& object = *model.objects[0];
    EXPECT_EQ(object.triangleCount(), 2u);
    EXPECT_TRUE(object.normals.empty());
    EXPECT_TRUE(object.colors.empty());
    EXPECT_TRUE(object.texCoords.empty());
}

TEST(MeshStreamDecoder, BytesAfterTheMeshMessageAreIgnored)
{
    const std::string stream = converterStream(twoBlocks()) + std::string(1000, '\xAB');
    Model model;
    MeshStreamDecoder decoder(model);
    EXPECT_TRUE(decoder.feed(reinterpret_cast<const unsigned char*>(stream.data()), stream.size()));
    EXPECT_TRUE(decoder.finish());
    EXPECT_EQ(decoder.bytesIgnored(), 1000u);
    expectTwoObjects(model);
}

TEST(MeshStreamDecoder, AnEmptyMeshMessageIsComplete)
{
    Model model;
    const DecodedStream decoded = decodeConverterStream(converterStream({}), model);
    EXPECT_TRUE(decoded.complete);
    EXPECT_TRUE(model.objects.empty());
}

// Each damaged stream stops the decoding with its reason; the objects
// completed before the damage stay, the one being filled goes.
TEST(MeshStreamDecoder, DamagedStreamsKeepOnlyTheObjectsBeforeTheDamage)
{
    const std::vector<StreamBlock> good = twoBlocks();
    std::vector<StreamBlock> badIndex = good;
    badIndex[1].indices[4] = 4;
    std::vector<StreamBlock> lying = good;
    lying[0].claimed = wire::BlockCounts{1000000000u, 1, 0, 0, 0};
    std::vector<StreamBlock> lyingLater = good;
    lyingLater[1].claimed = wire::BlockCounts{4, 0x7FFFFFFFu, 0, 0, 0};
    const std::string whole = converterStream(good);
    std::string shortHeader = whole;
    wire::putU32(reinterpret_cast<unsigned char*>(shortHeader.data()) + 12, 7);

    struct Case {
        const char* label;
        std::string stream;
        std::size_t objectsKept;
        const char* problem;
    };
    const Case cases[] = {
        {"nothing at all", "", 0, "ended before the hello message"},
        {"first message not a hello", converterStream(good, 3), 0, "first message is not a hello message"},
        {"second message not a mesh", converterStream(good, 1, 1), 0, "second message is not a mesh message"},
        {"mesh message shorter than its header", shortHeader, 0, "shorter than its own header"},
        {"counts beyond the message", converterStream(lying), 0, "needs 12000000032 bytes, but its message has"},
        {"later counts beyond the message", converterStream(lyingLater), 1, "needs"},
        {"index beyond the block's vertices", converterStream(badIndex), 1,
         "triangle 1 of object 2 names vertex 4 of 4"},
        {"cut inside the second block", whole.substr(0, whole.size() - 10), 1,
         "ended before the mesh message was complete"},
        {"cut inside the first block", whole.substr(0, 40), 0, "ended before the mesh message was complete"},
        {"hello alone", whole.substr(0, 8), 0, "ended before the mesh message was complete"},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t(0), std::size_t(3)}) {
            SCOPED_TRACE(std::string(c.label) + ", piece " + std::to_string(piece));
            Model model;
            const DecodedStream decoded = decodeConverterStream(c.stream, model, piece);
            EXPECT_FALSE(decoded.complete);
            EXPECT_NE(decoded.problem.find(c.problem), std::string::npos) << decoded.problem;
            EXPECT_EQ(decoded.problem.rfind("byte ", 0), 0u) << decoded.problem;
            EXPECT_EQ(model.objects.size(), c.objectsKept);
            EXPECT_EQ(decoded.objectsAdded, c.objectsKept);
            if (c.objectsKept == 1) {
                EXPECT_EQ(model.objects[0]->vertices.count(), 4u);
            }
        }
    }
}

// A block that claims far more than it sends costs only what it sent.
TEST(MeshStreamDecoder, ArraysGrowOnlyWithTheBytesThatArrive)
{
    StreamBlock block;
    block.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    block.claimed = wire::BlockCounts{100000000u, 0, 0, 0, 0};
    std::string stream = converterStream({block});
    // The header declares room for all of it, so only the bytes bound it.
    wire::putU32(reinterpret_cast<unsigned char*>(stream.data()) + 12, 0xFFFFFFF0u);
    Model model;
    MeshStreamDecoder decoder(model);
    decoder.feed(reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
    ASSERT_EQ(model.objects.size(), 1u);
    EXPECT_EQ(model.objects[0]->vertices.count(), 3u);
    EXPECT_LT(model.objects[0]->vertices.capacity(), 16u);
    EXPECT_FALSE(decoder.finish());
    EXPECT_TRUE(model.objects.empty());
}

} // namespace
} // namespace morvex

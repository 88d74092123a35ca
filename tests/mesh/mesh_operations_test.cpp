#include "common/recording_reporter.h"
#include "mesh/mesh_operations.h"
#include "support/core/memory_guard.h"

#include "common/test_models.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace morvex;
using morvex::testing::addMesh;

namespace {

constexpr std::uint32_t Dropped = 0xFFFFFFFFu;

struct Mesh {
    std::vector<Vector3> vertices;
    std::vector<std::uint32_t> indices;
};

bool sameRotation(const std::uint32_t* x, const std::uint32_t* y)
{
    for (int r = 0; r < 3; ++r)
        if (x[0] == y[r] && x[1] == y[(r + 1) % 3] && x[2] == y[(r + 2) % 3])
            return true;
    return false;
}

// The plain passes as described: greedy in vertex order with nested scans,
// and a triangle pass that marks later triangles equal to a kept one.
Mesh referenceRemoveDuplicates(const Mesh& in)
{
    const std::size_t n = in.vertices.size(), m = in.indices.size();
    Mesh out;
    std::vector<std::uint32_t> newIndex = in.indices;
    std::vector<char> merged(n, 0), remapped(m, 0);
    std::uint32_t k = 0;
    const auto remap = [&](std::size_t vertex) {
        for (std::size_t g = 0; g < m; ++g)
            if (!remapped[g] && in.indices[g] == vertex) {
                newIndex[g] = k;
                remapped[g] = 1;
            }
    };
    for (std::size_t u = 0; u < n; ++u) {
        if (merged[u])
            continue;
        out.vertices.push_back(in.vertices[u]);
        for (std::size_t v = u + 1; v < n; ++v)
            if (!merged[v] && vectorsEqual(in.vertices[u], in.vertices[v])) {
                merged[v] = 1;
                remap(v);
            }
        remap(u);
        ++k;
    }
    for (std::size_t t = 0; 3 * t + 2 < m; ++t) {
        const std::uint32_t* tri = &newIndex[3 * t];
        if (tri[0] == Dropped || tri[1] == Dropped || tri[2] == Dropped)
            continue;
        out.indices.insert(out.indices.end(), tri, tri + 3);
        for (std::size_t s = t + 1; 3 * s + 2 < m; ++s)
            if (sameRotation(&newIndex[3 * s], tri))
                newIndex[3 * s] = Dropped;
    }
    return out;
}

Mesh meshOf(const ModelObject& object)
{
    return {{object.vertices.begin(), object.vertices.end()}, {object.indices.begin(), object.indices.end()}};
}

// Bitwise, so that NaN vertices compare as stored.
void expectSameMesh(const Mesh& actual, const Mesh& expected, const std::string& label)
{
    ASSERT_EQ(actual.vertices.size(), expected.vertices.size()) << label;
    const std::size_t bytes = actual.vertices.size() * sizeof(Vector3);
    EXPECT_TRUE(bytes == 0 || std::memcmp(actual.vertices.data(), expected.vertices.data(), bytes) == 0) << label;
    EXPECT_EQ(actual.indices, expected.indices) << label;
}

Mesh runRemoveDuplicates(const Mesh& mesh)
{
    Model model;
    addMesh(model, mesh.vertices, mesh.indices);
    RecordingReporter reporter;
    EXPECT_EQ(removeDuplicates(model, reporter), OperationResult::Success);
    return meshOf(*model.objects.front());
}

// Random meshes full of near-duplicates: points drawn from a small pool,
// each coordinate nudged by one of the offsets around the tolerance, plus
// chains of small steps, so that merging order and non-transitivity matter.
Mesh randomNearDuplicateMesh(std::mt19937& random, std::uint32_t vertexCount, float scale)
{
    static const float offsets[] = {0.0f,   1e-7f, -1e-7f, 1.1920929e-7f, -1.1920929e-7f, 1e-6f,
                                    -1e-6f, 2e-7f, 6e-8f,  1.2e-7f,       1.1920928e-7f,  -2.3841858e-7f};
    std::uniform_int_distribution<int> offsetPick(0, std::size(offsets) - 1);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Vector3> pool;
    for (int i = 0; i < 12; ++i)
        pool.push_back({scale + unit(random) * scale * 1e-5f, scale - unit(random) * 3e-7f, unit(random) * 1e-6f});
    pool.push_back({scale, scale, scale});
    pool.push_back({0.0f, -0.0f, scale});

    Mesh mesh;
    std::uniform_int_distribution<std::size_t> poolPick(0, pool.size() - 1);
    while (mesh.vertices.size() < vertexCount) {
        Vector3 p = pool[poolPick(random)];
        if (random() % 8 == 0) { // a chain of steps just under the tolerance
            for (int step = 0; step < 4 && mesh.vertices.size() < vertexCount; ++step) {
                mesh.vertices.push_back(p);
                p.x += 1e-7f;
            }
            continue;
        }
        p.x += offsets[offsetPick(random)];
        p.y += offsets[offsetPick(random)];
        p.z += offsets[offsetPick(random)];
        mesh.vertices.push_back(p);
    }

    const std::uint32_t triangles = vertexCount;
    std::uniform_int_distribution<std::uint32_t> index(0, vertexCount + 2); // a few beyond the vertices
    for (std::uint32_t t = 0; t < triangles; ++t) {
        const std::uint32_t roll = random() % 16;
        if (roll == 0 && t > 0) { // an earlier triangle again, rotated or reversed
            const std::size_t s = random() % t;
            const std::uint32_t a = mesh.indices[3 * s], b = mesh.indices[3 * s + 1], c = mesh.indices[3 * s + 2];
            const std::uint32_t pick = random() % 3;
            if (pick == 0)
                mesh.indices.insert(mesh.indices.end(), {b, c, a});
            else if (pick == 1)
                mesh.indices.insert(mesh.indices.end(), {a, c, b});
            else
                mesh.indices.insert(mesh.indices.end(), {c, a, b});
            continue;
        }
        for (int corner = 0; corner < 3; ++corner)
            mesh.indices.push_back(roll == 1 && corner == 1 ? Dropped : index(random));
    }
    mesh.indices.resize(mesh.indices.size() - random() % 3); // trailing indices
    return mesh;
}

Mesh cubeAsSeparateTriangles()
{
    const Vector3 corners[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    const std::uint32_t faces[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                                        {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
    Mesh mesh;
    for (const auto& face : faces)
        for (std::uint32_t corner : face) {
            mesh.indices.push_back(static_cast<std::uint32_t>(mesh.vertices.size()));
            mesh.vertices.push_back(corners[corner]);
        }
    return mesh;
}

} // namespace

TEST(RemoveDuplicates, MatchesThePlainPassesOnRandomNearDuplicates)
{
    std::mt19937 random(20240611);
    const float scales[] = {0.0f, 1.0f, 1000.0f, 0.5f, 2.0f, 1e-30f};
    int meshes = 0;
    for (float scale : scales)
        for (std::uint32_t size : {3u, 17u, 120u, 600u}) {
            for (int round = 0; round < 6; ++round) {
                const Mesh mesh = randomNearDuplicateMesh(random, size, scale);
                const std::string label = "scale " + std::to_string(scale) + " size " + std::to_string(size) +
                                          " round " + std::to_string(round);
                expectSameMesh(runRemoveDuplicates(mesh), referenceRemoveDuplicates(mesh), label);
                ++meshes;
            }
        }
    // One larger mesh, with longer cell chains.
    const Mesh large = randomNearDuplicateMesh(random, 6000, 1.0f);
    expectSameMesh(runRemoveDuplicates(large), referenceRemoveDuplicates(large), "large");
    EXPECT_EQ(meshes, 144);
}

TEST(RemoveDuplicates, MatchesThePlainPassesOnAwkwardFloats)
{
    const float tol = VertexTolerance;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float big = std::numeric_limits<float>::max();
    const float values[] = {0.0f,
                            -0.0f,
                            tol,
                            -tol,
                            std::nextafter(tol, 1.0f),
                            tiny,
                            -tiny,
                            1.0f,
                            std::nextafter(1.0f, 0.0f),
                            std::nextafter(1.0f, 2.0f),
                            2.0f,
                            std::nextafter(2.0f, 0.0f),
                            std::nextafter(std::nextafter(2.0f, 0.0f), 0.0f),
                            4.0f,
                            std::nextafter(4.0f, 0.0f),
                            0.4375f / 262144.0f, // cell borders of the search grid
                            std::nextafter(0.5625f / 262144.0f, 0.0f),
                            -0.4375f / 262144.0f,
                            1.7e10f,
                            std::nextafter(1.7e10f, 0.0f),
                            big,
                            -big,
                            inf,
                            -inf,
                            nan};
    // Every pairing of those values on x with small variations on y and z.
    Mesh mesh;
    for (float x : values)
        for (float y : {0.0f, tol, 2.0f})
            mesh.vertices.push_back({x, y, y == 2.0f ? x : 0.0f});
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i)
        mesh.vertices.push_back(mesh.vertices[random() % mesh.vertices.size()]);
    for (std::uint32_t i = 0; i + 2 < mesh.vertices.size(); i += 2)
        mesh.indices.insert(mesh.indices.end(), {i, i + 1, i + 2});
    expectSameMesh(runRemoveDuplicates(mesh), referenceRemoveDuplicates(mesh), "awkward floats");
}

TEST(RemoveDuplicates, DescribedExamples)
{
    const Mesh cube = cubeAsSeparateTriangles();
    const Mesh merged = runRemoveDuplicates(cube);
    EXPECT_EQ(merged.vertices.size(), 8u);
    ASSERT_EQ(merged.indices.size(), 36u);
    for (std::size_t g = 0; g < 36; ++g) // every corner still names its position, in order
        EXPECT_EQ(merged.vertices[merged.indices[g]], cube.vertices[cube.indices[g]]) << g;

    struct Case {
        const char* name;
        Mesh in;
        std::size_t vertices;
        std::vector<std::uint32_t> indices;
    };
    const Case cases[] = {
        {"1e-7 apart merge", {{{1, 1, 1}, {1, 1, 1 + 1e-7f}, {0, 0, 0}}, {0, 1, 2}}, 2, {0, 0, 1}},
        {"1e-6 apart stay", {{{1, 1, 1}, {1, 1, 1.000001f}, {0, 0, 0}}, {0, 1, 2}}, 3, {0, 1, 2}},
        {"seven indices keep six",
         {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 1, 2, 1, 2, 3, 0}},
         4,
         {0, 1, 2, 1, 2, 3}},
        {"rotations are duplicates, reversal is not",
         {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2, 1, 2, 0, 2, 0, 1, 0, 2, 1, 0, 1, 2}},
         3,
         {0, 1, 2, 0, 2, 1}},
        {"dropped-corner marker and out-of-range indices",
         {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, Dropped, 0, 1, 7, 0, 1, 7}},
         3,
         {0, 1, 7}},
        {"not transitive: the third stays apart", {{{0, 0, 0}, {1e-7f, 0, 0}, {2e-7f, 0, 0}}, {0, 1, 2}}, 2, {0, 0, 1}},
        {"indices without vertices", {{}, {5, 6, 7, 5, 6, 7}}, 0, {5, 6, 7}},
    };
    for (const Case& c : cases) {
        const Mesh out = runRemoveDuplicates(c.in);
        EXPECT_EQ(out.vertices.size(), c.vertices) << c.name;
        EXPECT_EQ(out.indices, c.indices) << c.name;
        expectSameMesh(out, referenceRemoveDuplicates(c.in), c.name);
    }
}

TEST(RemoveDuplicates, ObjectsWithoutIndicesAndEmptyModels)
{
    Model empty;
    RecordingReporter quiet;
    EXPECT_EQ(removeDuplicates(empty, quiet), OperationResult::Success);
    EXPECT_EQ(generateIndices(empty, quiet), OperationResult::Success);
    EXPECT_TRUE(quiet.statuses.empty());

    Model model;
    const Mesh soup = cubeAsSeparateTriangles();
    addMesh(model, soup.vertices, {});
    model.addObject(); // no storage at all
    RecordingReporter reporter;
    ASSERT_EQ(removeDuplicates(model, reporter), OperationResult::Success);
    EXPECT_EQ(model.objects[0]->vertices.count(), 36u); // implicit triangles kept
    EXPECT_TRUE(model.objects[0]->indices.empty());
    EXPECT_EQ(reporter.statuses.front().text, "Removing Duplicates. This may be a very long process.");
    EXPECT_EQ(reporter.lastStatus(1), "");
    EXPECT_EQ(reporter.indeterminateBegins, 1);
    EXPECT_EQ(reporter.indeterminateEnds, 1);
    EXPECT_DOUBLE_EQ(reporter.progress.back(), 1.0);
}

TEST(RemoveDuplicates, AttributesStayInStepWithTheKeptTriangles)
{
    // Two triangles over four positions stored as six vertices, then the
    // first triangle again, rotated: it must go with its attributes.
    const Mesh mesh{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3, 4, 5, 1, 2, 0}};
    Model model;
    ModelObject& object = addMesh(model, mesh.vertices, mesh.indices);
    ASSERT_TRUE(object.normals.allocate(9) && object.texCoords.allocate(9));
    for (std::uint32_t k = 0; k < 9; ++k) {
        object.normals[k] = {float(k), 0, 0};
        object.texCoords[k] = {float(k), 1};
    }
    ASSERT_TRUE(object.colors.allocate(6)); // per vertex
    for (std::uint32_t v = 0; v < 6; ++v)
        object.colors[v] = 0xFF000000u + v;
    MaterialRange* first = object.addMaterialRange();
    *first = {1, 6, 9};
    MaterialRange* second = object.addMaterialRange();
    *second = {0, 0, 6};

    RecordingReporter reporter;
    ASSERT_EQ(removeDuplicates(model, reporter), OperationResult::Success);
    EXPECT_EQ(object.vertices.count(), 4u);
    EXPECT_EQ(std::vector<std::uint32_t>(object.indices.begin(), object.indices.end()),
              (std::vector<std::uint32_t>{0, 1, 2, 1, 3, 2}));
    ASSERT_EQ(object.normals.count(), 6u);
    ASSERT_EQ(object.texCoords.count(), 6u);
    for (std::uint32_t k = 0; k < 6; ++k) {
        EXPECT_EQ(object.normals[k].x, float(k));
        EXPECT_EQ(object.texCoords[k].u, float(k));
    }
    // Per-vertex colours follow the survivors: vertices 0, 1, 2, 4.
    ASSERT_EQ(object.colors.count(), 4u);
    EXPECT_EQ(object.colors[3], 0xFF000004u);
    EXPECT_TRUE(object.colorsPerVertex());
    // The range of the dropped triangle is now empty.
    EXPECT_EQ(object.materialRanges[0].firstIndex, 0u);
    EXPECT_EQ(object.materialRanges[0].endIndex, 6u);
    EXPECT_EQ(object.materialRanges[1].firstIndex, 6u);
    EXPECT_EQ(object.materialRanges[1].endIndex, 6u);
}

TEST(RemoveDuplicates, PerVertexValuesAreSpelledOutWhenCountsWouldMislead)
{
    // Nine vertices merge to six, and two triangles stay: six indices. Six
    // per-vertex colours would read as per-corner ones, so they are written
    // per corner instead, each corner keeping its vertex's colour.
    Mesh mesh{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 5, 5}, {6, 5, 5}, {5, 6, 5}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}},
              {3, 5, 4, 0, 1, 2, 6, 7, 8}};
    Model model;
    ModelObject& object = addMesh(model, mesh.vertices, mesh.indices);
    ASSERT_TRUE(object.colors.allocate(9) && object.texCoords.allocate(9));
    // Nine colours and nine indices: per corner. Make the index count differ.
    ASSERT_TRUE(object.indices.resize(6));
    for (std::uint32_t v = 0; v < 9; ++v) {
        object.colors[v] = 0xFF000000u + v;
        object.texCoords[v] = {float(v), 0};
    }
    RecordingReporter reporter;
    ASSERT_EQ(removeDuplicates(model, reporter), OperationResult::Success);
    ASSERT_EQ(object.vertices.count(), 6u);
    ASSERT_EQ(object.indices.count(), 6u);
    ASSERT_EQ(object.colors.count(), 6u);
    ASSERT_EQ(object.texCoords.count(), 6u);
    for (std::uint32_t k = 0; k < 6; ++k) {
        const Vector3& p = object.vertices[object.indices[k]];
        const std::uint32_t original = mesh.indices[k];
        EXPECT_EQ(p, mesh.vertices[original]);
        EXPECT_EQ(object.cornerColor(k), 0xFF000000u + original) << k;
        EXPECT_EQ(object.texCoords[k].u, float(original)) << k;
    }
}

TEST(RemoveDuplicates, CancellationAndOutOfMemoryKeepTheObjectAsItWas)
{
    std::mt19937 random(99);
    const Mesh mesh = randomNearDuplicateMesh(random, 60000, 1.0f);
    const std::uint32_t m = static_cast<std::uint32_t>(mesh.indices.size());
    // One check per object, then the vertex pass every 20000 vertices, the
    // index pass every 50000 positions, the triangle pass every 25000.
    const std::uint64_t expectedChecks = 1 + 3 + (m + 49999) / 50000 + (m / 3 + 24999) / 25000;
    {
        Model model;
        addMesh(model, mesh.vertices, mesh.indices);
        RecordingReporter reporter;
        ASSERT_EQ(removeDuplicates(model, reporter), OperationResult::Success);
        EXPECT_EQ(reporter.cancelChecks(), expectedChecks);
        bool sawVertices = false, sawIndices = false;
        for (const auto& status : reporter.statuses) {
            sawVertices |= status.line == 1 && status.text.rfind("Total: ", 0) == 0 &&
                           status.text.find(" - Vertices: ") != std::string::npos;
            sawIndices |= status.line == 1 && status.text.find(" - Indices: ") != std::string::npos;
        }
        EXPECT_TRUE(sawVertices && sawIndices);
    }
    for (std::uint64_t stopAt = 1; stopAt <= expectedChecks; ++stopAt) {
        Model model;
        ModelObject& object = addMesh(model, mesh.vertices, mesh.indices);
        RecordingReporter reporter;
        reporter.cancelAfterChecks(stopAt);
        EXPECT_EQ(removeDuplicates(model, reporter), OperationResult::Cancelled) << stopAt;
        expectSameMesh(meshOf(object), mesh, "cancelled at check " + std::to_string(stopAt));
        EXPECT_EQ(reporter.indeterminateBegins, reporter.indeterminateEnds);
    }
    {
        Model model;
        ModelObject& object = addMesh(model, mesh.vertices, mesh.indices);
        RecordingReporter reporter;
        setAvailableMemoryOverride(1500000); // refuses the working arrays
        Failure failure;
        const OperationResult result = removeDuplicates(model, reporter, &failure);
        setAvailableMemoryOverride(0);
        EXPECT_EQ(result, OperationResult::Failure);
        EXPECT_EQ(failure.kind, FailureKind::OutOfMemory);
        expectSameMesh(meshOf(object), mesh, "out of memory");
    }
}

TEST(GenerateIndices, TriangleListsOverPlainVertexLists)
{
    // Only vertices that their reader marked as a triangle list get
    // triangles; unmarked vertices without indices are points and stay so.
    struct Case {
        std::uint32_t vertices;
        bool triangleList;
        std::vector<std::uint32_t> existing;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {8, true, {}, {0, 1, 2, 3, 4, 5}},
        {9, true, {}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {2, true, {}, {}},
        {0, true, {}, {}},
        {6, true, {2, 1, 0}, {2, 1, 0}},
        {9, false, {}, {}},
        {6, false, {2, 1, 0}, {2, 1, 0}},
    };
    Model model;
    for (const Case& c : cases) {
        ModelObject& object = *model.addObject();
        object.verticesFormTriangles = c.triangleList;
        ASSERT_TRUE(object.vertices.allocate(c.vertices));
        if (!c.existing.empty()) {
            ASSERT_TRUE(object.indices.allocate(static_cast<std::uint32_t>(c.existing.size())));
            std::copy(c.existing.begin(), c.existing.end(), object.indices.begin());
        }
    }
    RecordingReporter reporter;
    ASSERT_EQ(generateIndices(model, reporter), OperationResult::Success);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(std::vector<std::uint32_t>(model.objects[i]->indices.begin(), model.objects[i]->indices.end()),
                  cases[i].expected)
            << i;
    EXPECT_TRUE(model.objects[5]->isPointSet());
    EXPECT_FALSE(model.objects[0]->isPointSet());
    EXPECT_FALSE(model.objects[3]->isPointSet()) << "no vertices: empty, not points";
    EXPECT_EQ(reporter.statuses.front().text, "Generating Object Indices");
    EXPECT_EQ(reporter.cancelChecks(), std::size(cases));

    RecordingReporter stopping;
    stopping.cancelAfterChecks(1);
    Model other;
    ModelObject& soup = *other.addObject();
    soup.verticesFormTriangles = true;
    ASSERT_TRUE(soup.vertices.allocate(3));
    EXPECT_EQ(generateIndices(other, stopping), OperationResult::Cancelled);
    EXPECT_TRUE(other.objects[0]->indices.empty());
}

#include "common/recording_reporter.h"
#include "mesh/convention_steps.h"
#include "support/core/memory_guard.h"

#include "common/test_models.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace morvex;
using morvex::testing::addMesh;

namespace {

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance, const std::string& label = {})
{
    EXPECT_NEAR(actual.x, expected.x, tolerance) << label;
    EXPECT_NEAR(actual.y, expected.y, tolerance) << label;
    EXPECT_NEAR(actual.z, expected.z, tolerance) << label;
}

std::vector<std::uint32_t> indicesOf(const ModelObject& object)
{
    return {object.indices.begin(), object.indices.end()};
}

FormatProfile profile(UpAxis up, Handedness hand, Winding winding)
{
    return {FormatKind::Unknown, up, hand, winding, false};
}

// Where the objects' vertices end up in the world through their placements.
std::vector<Vector3> worldPoints(const Model& model)
{
    std::vector<Vector3> points;
    for (const auto& object : model.objects)
        for (const Vector3& v : object->vertices)
            points.push_back(transformPoint(v, placementMatrix(*object)));
    return points;
}

void expectSamePoints(const std::vector<Vector3>& actual, const std::vector<Vector3>& expected, float tolerance)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k)
        expectNear(actual[k], expected[k], tolerance, "point " + std::to_string(k));
}

void placeRandomObjects(Model& model, std::mt19937& random)
{
    std::uniform_real_distribution<float> angle(-180.0f, 360.0f), offset(-10.0f, 10.0f), factor(0.5f, 2.0f);
    for (int i = 0; i < 20; ++i) {
        ModelObject& object = addMesh(model,
                                      {{offset(random), offset(random), offset(random)},
                                       {offset(random), offset(random), offset(random)},
                                       {offset(random), offset(random), offset(random)}},
                                      {0, 1, 2});
        object.position = {offset(random), offset(random), offset(random)};
        object.scale = {factor(random), factor(random), factor(random)};
        // Some objects turn about X alone, the others about all three axes.
        object.rotation = {angle(random), i % 2 ? angle(random) : 0.0f, i % 2 ? angle(random) : 0.0f};
    }
}

} // namespace

TEST(ConventionSteps, UpAxisTurnsPlacementAboutX)
{
    struct Case {
        UpAxis from, to;
        float rotationX;
        float expectedX;
        UpAxis expectedAxis;
        Vector3 expectedPosition; // of (0, 1, 0)
    };
    const Case cases[] = {
        {UpAxis::Y, UpAxis::Z, 0, 90, UpAxis::Z, {0, 0, 1}},
        {UpAxis::Z, UpAxis::Y, 0, 270, UpAxis::Y, {0, 0, -1}},
        {UpAxis::Y, UpAxis::Z, 300, 30, UpAxis::Z, {0, 0, 1}},  // wraps once past 360
        {UpAxis::Y, UpAxis::Z, 270, 360, UpAxis::Z, {0, 0, 1}}, // exactly 360 stays
        {UpAxis::Z, UpAxis::Y, 200, 110, UpAxis::Y, {0, 0, -1}},
        {UpAxis::Unknown, UpAxis::Z, 10, 10, UpAxis::Unknown, {0, 1, 0}},
        {UpAxis::Y, UpAxis::Unknown, 10, 10, UpAxis::Y, {0, 1, 0}},
        {UpAxis::Z, UpAxis::Z, 10, 10, UpAxis::Z, {0, 1, 0}},
    };
    for (const Case& c : cases) {
        Model model;
        model.profile = profile(c.from, Handedness::Right, Winding::CounterClockwise);
        ModelObject& object = addMesh(model, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {0, 1, 2});
        object.rotation.x = c.rotationX;
        object.position = {0, 1, 0};
        RecordingReporter reporter;
        ASSERT_EQ(reconcileUpAxis(model, c.to, reporter), OperationResult::Success);
        EXPECT_FLOAT_EQ(object.rotation.x, c.expectedX);
        EXPECT_EQ(model.profile.upAxis, c.expectedAxis);
        EXPECT_EQ(object.vertices[0], (Vector3{1, 2, 3})); // vertices follow later
        expectNear(object.position, c.expectedPosition, 1e-6f);
    }

    // With Y and Z angles present the whole placement turns with the world.
    std::mt19937 random(5);
    for (UpAxis from : {UpAxis::Y, UpAxis::Z}) {
        Model model;
        placeRandomObjects(model, random);
        model.profile = profile(from, Handedness::Right, Winding::CounterClockwise);
        const float degrees = from == UpAxis::Y ? 90.0f : 270.0f;
        const Matrix4 turn = composeTransform({degrees, 0, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0});
        std::vector<Vector3> expected = worldPoints(model);
        for (Vector3& p : expected)
            p = transformPoint(p, turn);
        RecordingReporter reporter;
        ASSERT_EQ(reconcileUpAxis(model, from == UpAxis::Y ? UpAxis::Z : UpAxis::Y, reporter),
                  OperationResult::Success);
        expectSamePoints(worldPoints(model), expected, 2e-4f);
    }
}

TEST(ConventionSteps, HandednessMirrorsInXAndTogglesWinding)
{
    Model model;
    model.profile = profile(UpAxis::Z, Handedness::Right, Winding::CounterClockwise);
    ModelObject& object = addMesh(model, {{1, 2, 3}, {0, 5, 6}, {-7, 8, 9}}, {0, 1, 2});
    ASSERT_TRUE(object.normals.allocate(3));
    object.normals[0] = {1, 0, 0};
    object.position = {4, 5, 6};
    RecordingReporter reporter;
    ASSERT_EQ(reconcileHandedness(model, Handedness::Left, reporter), OperationResult::Success);
    EXPECT_EQ(model.profile.handedness, Handedness::Left);
    EXPECT_EQ(model.profile.winding, Winding::Clockwise);
    EXPECT_EQ(object.vertices[0], (Vector3{-1, 2, 3}));
    EXPECT_FALSE(std::signbit(object.vertices[1].x)); // zero stays +0, never "-0" in text output
    EXPECT_EQ(object.vertices[2], (Vector3{7, 8, 9}));
    EXPECT_EQ(object.normals[0], (Vector3{-1, 0, 0}));
    EXPECT_EQ(object.position, (Vector3{-4, 5, 6}));
    EXPECT_EQ(reporter.cancelChecks(), 1u);

    // Unknown or equal handedness changes nothing.
    for (Handedness target : {Handedness::Left, Handedness::Unknown}) {
        ASSERT_EQ(reconcileHandedness(model, target, reporter), OperationResult::Success);
        EXPECT_EQ(object.vertices[0], (Vector3{-1, 2, 3}));
    }

    // Placed objects end up as the mirror image of their world geometry.
    std::mt19937 random(11);
    Model placed;
    placeRandomObjects(placed, random);
    placed.profile = profile(UpAxis::Y, Handedness::Left, Winding::CounterClockwise);
    std::vector<Vector3> expected = worldPoints(placed);
    for (Vector3& p : expected)
        p.x = -p.x;
    ASSERT_EQ(reconcileHandedness(placed, Handedness::Right, reporter), OperationResult::Success);
    expectSamePoints(worldPoints(placed), expected, 1e-4f);
}

TEST(ConventionSteps, WindingSwapsCornersWithTheirAttributes)
{
    Model model;
    model.profile = profile(UpAxis::Y, Handedness::Left, Winding::Clockwise);
    // Seven indices: the trailing one belongs to no triangle.
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 1, 3, 2, 3});
    ASSERT_TRUE(object.normals.allocate(7) && object.texCoords.allocate(7) && object.colors.allocate(7));
    for (std::uint32_t k = 0; k < 7; ++k) {
        object.normals[k] = {float(k), 0, 0};
        object.texCoords[k] = {float(k), 0};
        object.colors[k] = k;
    }
    Model perVertex;
    perVertex.profile = model.profile;
    ModelObject& coloured = addMesh(perVertex, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 1, 3, 2});
    ASSERT_TRUE(coloured.colors.allocate(4));
    for (std::uint32_t v = 0; v < 4; ++v)
        coloured.colors[v] = v;

    RecordingReporter reporter;
    ASSERT_EQ(reconcileWinding(model, Winding::CounterClockwise, reporter), OperationResult::Success);
    ASSERT_EQ(reconcileWinding(perVertex, Winding::CounterClockwise, reporter), OperationResult::Success);
    EXPECT_EQ(indicesOf(object), (std::vector<std::uint32_t>{0, 2, 1, 1, 2, 3, 3}));
    const std::uint32_t cornerOrder[] = {0, 2, 1, 3, 5, 4, 6};
    for (std::uint32_t k = 0; k < 7; ++k) {
        EXPECT_EQ(object.normals[k].x, float(cornerOrder[k])) << k;
        EXPECT_EQ(object.texCoords[k].u, float(cornerOrder[k])) << k;
        EXPECT_EQ(object.colors[k], cornerOrder[k]) << k;
    }
    EXPECT_EQ(model.profile.winding, Winding::CounterClockwise);
    EXPECT_EQ(indicesOf(coloured), (std::vector<std::uint32_t>{0, 2, 1, 1, 2, 3}));
    for (std::uint32_t v = 0; v < 4; ++v)
        EXPECT_EQ(coloured.colors[v], v); // per-vertex colours stay with their vertices

    // Unknown windings change nothing.
    Model unknown;
    unknown.profile = profile(UpAxis::Y, Handedness::Left, Winding::Unknown);
    ModelObject& untouched = addMesh(unknown, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    ASSERT_EQ(reconcileWinding(unknown, Winding::Clockwise, reporter), OperationResult::Success);
    EXPECT_EQ(indicesOf(untouched), (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(ConventionSteps, BakingAppliesPlacementOnlyOutsideTheTolerance)
{
    const float justInside = 1.0f + 1e-7f;
    const float outside = 1.000001f;
    struct Case {
        const char* name;
        Vector3 position, rotation, scale;
        bool baked;
    };
    const Case cases[] = {
        {"identity", {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, false},
        {"within 2^-23", {1e-7f, -1e-7f, 0}, {0, 1e-7f, 0}, {justInside, 1, 1}, false},
        {"scale just outside", {0, 0, 0}, {0, 0, 0}, {outside, 1, 1}, true},
        {"position", {0, 0, 5}, {0, 0, 0}, {1, 1, 1}, true},
        {"rotation", {0, 0, 0}, {0, 0, 90}, {1, 1, 1}, true},
        {"zero scale", {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, true},
    };
    for (const Case& c : cases) {
        Model model;
        ModelObject& object = addMesh(model, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 1, 2});
        ASSERT_TRUE(object.normals.allocate(3));
        object.normals[0] = {1, 0, 0};
        object.position = c.position;
        object.rotation = c.rotation;
        object.scale = c.scale;
        const Vector3 expected = transformPoint({1, 0, 0}, placementMatrix(object));
        RecordingReporter reporter;
        ASSERT_EQ(bakeObjectTransforms(model, true, reporter), OperationResult::Success) << c.name;
        if (!c.baked) {
            EXPECT_EQ(object.vertices[0], (Vector3{1, 0, 0})) << c.name;
            EXPECT_EQ(object.position, c.position) << c.name;
            continue;
        }
        EXPECT_EQ(object.vertices[0], expected) << c.name;
        EXPECT_EQ(object.position, (Vector3{0, 0, 0})) << c.name;
        EXPECT_EQ(object.rotation, (Vector3{0, 0, 0})) << c.name;
        EXPECT_EQ(object.scale, (Vector3{1, 1, 1})) << c.name;
        // Normals turn as directions: no translation, same length.
        const Vector3 n = object.normals[0];
        EXPECT_TRUE(std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) << c.name;
        const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        EXPECT_NEAR(length, c.scale.x == 0 ? 0.0 : 1.0, 1e-6) << c.name;
    }
}

TEST(ConventionSteps, NormalsFollowTheTransformAsDirections)
{
    // A plane y = x, stretched by 2 in x: its normal tilts towards y.
    Model model;
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 1, 0}, {0, 0, 1}}, {0, 1, 2});
    ASSERT_TRUE(object.normals.allocate(3));
    const float h = std::sqrt(0.5f);
    for (Vector3& n : object.normals)
        n = {h, -h, 0};
    const Matrix4 stretch = composeTransform({0, 0, 0}, {2, 1, 1}, Matrix4::identity(), {100, 0, 0});
    RecordingReporter reporter;
    ASSERT_EQ(applyCustomTransform(model, stretch, true, reporter), OperationResult::Success);
    const Vector3 recomputed = faceNormal(object.vertices[0], object.vertices[1], object.vertices[2]);
    expectNear(object.normals[0], recomputed, 1e-6f);

    // A mirror keeps normals pointing out of the mirrored surface; without
    // withNormals they are left alone.
    const Matrix4 mirror = composeTransform({0, 0, 0}, {-1, 1, 1}, Matrix4::identity(), {0, 0, 0});
    ASSERT_EQ(applyCustomTransform(model, mirror, true, reporter), OperationResult::Success);
    expectNear(object.normals[0], {-recomputed.x, recomputed.y, recomputed.z}, 1e-6f);
    ASSERT_EQ(applyCustomTransform(model, stretch, false, reporter), OperationResult::Success);
    expectNear(object.normals[0], {-recomputed.x, recomputed.y, recomputed.z}, 1e-6f);

    // A zero scale flattens the object; normals collapse onto the remaining axis.
    const Matrix4 flatten = composeTransform({0, 0, 0}, {1, 1, 0}, Matrix4::identity(), {0, 0, 0});
    object.normals[0] = {0.6f, 0, 0.8f};
    object.normals[1] = {1, 0, 0};
    ASSERT_EQ(applyCustomTransform(model, flatten, true, reporter), OperationResult::Success);
    expectNear(object.normals[0], {0, 0, 1}, 1e-6f);
    EXPECT_EQ(object.normals[1], (Vector3{0, 0, 0}));
    EXPECT_EQ(object.vertices[2].z, 0.0f);
}

TEST(ConventionSteps, RecalculateNormals)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Model model;
    // Triangle 0 is fine, triangle 1 names a vertex beyond the count, then one
    // trailing index.
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2, 0, 1, 9, 2});
    ASSERT_TRUE(object.normals.allocate(4));
    for (Vector3& n : object.normals)
        n = {7, 7, 7};
    ModelObject& withoutNormals = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    ModelObject& degenerate = addMesh(model, {{0, 0, 0}, {0, 0, 0}, {nan, 0, 0}}, {0, 1, 2, 0, 0, 0});
    ASSERT_TRUE(degenerate.normals.allocate(6));

    RecordingReporter reporter;
    ASSERT_EQ(recalculateNormals(model, Winding::CounterClockwise, reporter), OperationResult::Success);
    ASSERT_EQ(object.normals.count(), 7u); // one per index
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(object.normals[k], (Vector3{0, 0, 1}));
    EXPECT_EQ(object.normals[3], (Vector3{7, 7, 7})); // skipped triangle keeps its normals
    EXPECT_EQ(object.normals[4], (Vector3{0, 0, 0})); // grown, never written
    EXPECT_EQ(object.normals[6], (Vector3{0, 0, 0})); // trailing index
    EXPECT_TRUE(withoutNormals.normals.empty());
    EXPECT_EQ(degenerate.normals[3], (Vector3{0, 0, 0}));

    ASSERT_EQ(recalculateNormals(model, Winding::Clockwise, reporter), OperationResult::Success);
    EXPECT_EQ(object.normals[0], (Vector3{0, 0, -1}));

    // Out of memory while growing the normal array.
    Model big;
    ModelObject& large = addMesh(big, std::vector<Vector3>(3), std::vector<std::uint32_t>(600000, 0));
    ASSERT_TRUE(large.normals.allocate(1));
    setAvailableMemoryOverride(4000000);
    Failure failure;
    const OperationResult result = recalculateNormals(big, Winding::CounterClockwise, reporter, &failure);
    setAvailableMemoryOverride(0);
    EXPECT_EQ(result, OperationResult::Failure);
    EXPECT_EQ(failure.kind, FailureKind::OutOfMemory);
}

TEST(ConventionSteps, CancellationCadences)
{
    // 2500 vertices and 1200 normals: 3700 elements, checked at 0, 1000, 2000
    // and 3000; 1200 triangles checked at 0, 500 and 1000 plus once per object.
    Model model;
    ModelObject& object = addMesh(model, std::vector<Vector3>(2500), std::vector<std::uint32_t>(3600, 0));
    ASSERT_TRUE(object.normals.allocate(1200));
    {
        RecordingReporter reporter;
        ASSERT_EQ(transformObject(object, Matrix4::identity(), true, reporter), OperationResult::Success);
        EXPECT_EQ(reporter.cancelChecks(), 4u);
    }
    {
        RecordingReporter reporter;
        ASSERT_EQ(recalculateNormals(model, Winding::CounterClockwise, reporter), OperationResult::Success);
        EXPECT_EQ(reporter.cancelChecks(), 1u + 3u);
    }
    RecordingReporter counting;
    ASSERT_EQ(applyCustomTransform(model, Matrix4::identity(), true, counting), OperationResult::Success);
    for (std::uint64_t stopAt = 1; stopAt <= counting.cancelChecks(); ++stopAt) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(stopAt);
        EXPECT_EQ(applyCustomTransform(model, Matrix4::identity(), true, reporter), OperationResult::Cancelled);
    }
    model.profile = profile(UpAxis::Y, Handedness::Left, Winding::Clockwise);
    RecordingReporter stopped;
    stopped.requestStop();
    EXPECT_EQ(reconcileUpAxis(model, UpAxis::Z, stopped), OperationResult::Cancelled);
    EXPECT_EQ(reconcileHandedness(model, Handedness::Right, stopped), OperationResult::Cancelled);
    EXPECT_EQ(reconcileWinding(model, Winding::CounterClockwise, stopped), OperationResult::Cancelled);
    EXPECT_EQ(bakeObjectTransforms(model, true, stopped), OperationResult::Cancelled);
    EXPECT_EQ(recalculateNormals(model, Winding::CounterClockwise, stopped), OperationResult::Cancelled);
}

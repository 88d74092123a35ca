#include "mesh/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

using namespace morvex;

namespace {

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance = 1e-6f)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

} // namespace

TEST(Geometry, ComposeTransform)
{
    EXPECT_EQ(composeTransform({0, 0, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0}), Matrix4::identity());

    const Matrix4 aboutX = composeTransform({90, 0, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0});
    expectNear(transformPoint({0, 1, 0}, aboutX), {0, 0, 1});

    // Scale first, then rotation, then translation.
    const Matrix4 placed = composeTransform({0, 0, 90}, {2, 1, 1}, Matrix4::identity(), {0, 0, 5});
    expectNear(transformPoint({1, 0, 0}, placed), {0, 2, 5});

    // Rotation about X first, then Y: (0, 1, 0) -> (0, 0, 1) -> (1, 0, 0).
    const Matrix4 xThenY = composeTransform({90, 90, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0});
    expectNear(transformPoint({0, 1, 0}, xThenY), {1, 0, 0});

    Matrix4 projective;
    projective.m[3][3] = 2.0f;
    expectNear(transformPoint({2, 4, 6}, projective), {1, 2, 3});
}

TEST(Geometry, EqualityNormalsAndDegenerates)
{
    EXPECT_TRUE(vectorsEqual({1, 1, 1}, {1, 1, 1 + 1e-7f}));
    EXPECT_FALSE(vectorsEqual({1, 1, 1}, {1, 1, 1.000001f}));
    EXPECT_TRUE(vectorsEqual({0, 0, 0}, {0, 0, VertexTolerance}));
    EXPECT_FALSE(vectorsEqual({0, 0, 0}, {0, 0, std::nextafter(VertexTolerance, 1.0f)}));
    EXPECT_FALSE(vectorsEqual({NAN, 0, 0}, {NAN, 0, 0}));

    EXPECT_EQ(normalizeVector({0, 0, 0}), (Vector3{0, 0, 0}));
    expectNear(normalizeVector({3, 0, 4}), {0.6f, 0, 0.8f});

    expectNear(faceNormal({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), {0, 0, 1});
    expectNear(faceNormal({0, 0, 0}, {0, 1, 0}, {1, 0, 0}), {0, 0, -1});
    EXPECT_EQ(faceNormal({1, 1, 1}, {2, 2, 2}, {3, 3, 3}), (Vector3{0, 0, 0}));
}

// The shortcut for the identity gives the product's bits for every kind of
// coordinate: signed zeros, subnormals, the largest floats, infinities, NaN.
TEST(Geometry, IdentityShortcutGivesTheProductsBits)
{
    const float values[] = {0.0f, -0.0f, 1.5f, -3.25e-41f, 3.4028235e38f, -1e-30f, INFINITY, -INFINITY, NAN};
    const auto bitsOf = [](const Vector3& v) {
        std::uint32_t bits[3];
        std::memcpy(bits, &v, sizeof bits);
        return std::vector<std::uint32_t>(bits, bits + 3);
    };
    for (const float x : values)
        for (const float y : values)
            for (const float z : values) {
                const Vector3 point{x, y, z};
                EXPECT_EQ(bitsOf(transformPointByIdentity(point)), bitsOf(transformPoint(point, Matrix4::identity())))
                    << x << " " << y << " " << z;
            }
    EXPECT_TRUE(isExactIdentity(Matrix4::identity()));
    Matrix4 negativeZero;
    negativeZero.m[3][0] = -0.0f;
    EXPECT_FALSE(isExactIdentity(negativeZero));
    EXPECT_FALSE(isExactIdentity(composeTransform({0, 0, 0}, {2, 1, 1}, Matrix4::identity(), {0, 0, 0})));
}

// Turns by multiples of 90 degrees about every axis, mirrored or not, with
// and without a translation, give the product's bits for every kind of
// coordinate; other matrices are not taken for axis swaps.
TEST(Geometry, AxisSwapGivesTheProductsBits)
{
    const float values[] = {0.0f, -0.0f, 1.5f, -7.0f, -3.25e-41f, 3.4028235e38f, -1e-30f, 0.1f, INFINITY, NAN};
    const auto bitsOf = [](const Vector3& v) {
        std::uint32_t bits[3];
        std::memcpy(bits, &v, sizeof bits);
        return std::vector<std::uint32_t>(bits, bits + 3);
    };
    int swaps = 0;
    for (float ax : {0.0f, 90.0f, 180.0f, 270.0f, -90.0f})
        for (float ay : {0.0f, 90.0f, 180.0f, 270.0f})
            for (float az : {0.0f, 90.0f, 270.0f})
                for (const Vector3& scale : {Vector3{1, 1, 1}, Vector3{-1, 1, 1}, Vector3{1, -1, -1}})
                    for (const Vector3& move : {Vector3{0, 0, 0}, Vector3{2.5f, -1e-30f, 3e38f}}) {
                        const Matrix4 matrix = composeTransform({ax, ay, az}, scale, Matrix4::identity(), move);
                        const std::optional<AxisSwap> swap = AxisSwap::of(matrix);
                        ASSERT_TRUE(swap.has_value()) << ax << " " << ay << " " << az;
                        ++swaps;
                        for (const float x : values)
                            for (const float y : values)
                                for (const float z : values) {
                                    const Vector3 point{x, y, z};
                                    ASSERT_EQ(bitsOf(swap->apply(point)), bitsOf(transformPoint(point, matrix)))
                                        << ax << " " << ay << " " << az << ": " << x << " " << y << " " << z;
                                }
                    }
    EXPECT_EQ(swaps, 360);
    // Written by hand, as files hold them: a -0 translation keeps a -0 only
    // where every term of the sum is -0.
    Matrix4 swapped;
    swapped.m[0][0] = swapped.m[1][1] = 0.0f;
    swapped.m[1][0] = -1.0f;
    swapped.m[0][1] = 1.0f;
    swapped.m[2][0] = swapped.m[2][1] = -0.0f;
    swapped.m[3][0] = swapped.m[3][1] = swapped.m[3][2] = -0.0f;
    const std::optional<AxisSwap> swap = AxisSwap::of(swapped);
    ASSERT_TRUE(swap.has_value());
    for (const float x : values)
        for (const float y : values)
            for (const float z : values) {
                const Vector3 point{x, y, z};
                ASSERT_EQ(bitsOf(swap->apply(point)), bitsOf(transformPoint(point, swapped)))
                    << x << " " << y << " " << z;
            }
    EXPECT_FALSE(AxisSwap::of(composeTransform({45, 0, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0})));
    EXPECT_FALSE(AxisSwap::of(composeTransform({90, 0, 0}, {2, 1, 1}, Matrix4::identity(), {0, 0, 0})));
    Matrix4 projective;
    projective.m[2][3] = 0.5f;
    EXPECT_FALSE(AxisSwap::of(projective));
}

// An affine matrix skips the homogeneous divide: for random placements and
// points of every kind the bits are those of the full product.
TEST(Geometry, AffineProductSkipsTheDivideWithTheSameBits)
{
    const auto fullProduct = [](const Vector3& p, const Matrix4& matrix) {
        const auto& m = matrix.m;
        double out[4];
        for (int column = 0; column < 4; ++column)
            out[column] = static_cast<double>(p.x) * m[0][column] + static_cast<double>(p.y) * m[1][column] +
                          static_cast<double>(p.z) * m[2][column] + m[3][column];
        return Vector3{static_cast<float>(out[0] / out[3]), static_cast<float>(out[1] / out[3]),
                       static_cast<float>(out[2] / out[3])};
    };
    const auto bitsOf = [](const Vector3& v) {
        std::uint32_t bits[3];
        std::memcpy(bits, &v, sizeof bits);
        return std::vector<std::uint32_t>(bits, bits + 3);
    };
    std::mt19937 random(5);
    std::uniform_real_distribution<float> any(-1000.0f, 1000.0f);
    const float special[] = {0.0f, -0.0f, 1e-42f, 3.4e38f, -3.4e38f, INFINITY, NAN};
    for (int i = 0; i < 2000; ++i) {
        const Matrix4 placement =
            composeTransform({any(random), any(random), any(random)},
                             {any(random) / 100, 1.0f, i % 7 == 0 ? 0.0f : 2.5f}, Matrix4::identity(),
                             {any(random), i % 5 == 0 ? -0.0f : any(random), 0.0f});
        for (int j = 0; j < 8; ++j) {
            const Vector3 point = j < 4 ? Vector3{any(random), any(random), any(random)}
                                        : Vector3{special[(i + j) % 7], any(random), special[(i * j) % 7]};
            EXPECT_EQ(bitsOf(transformPoint(point, placement)), bitsOf(fullProduct(point, placement)));
        }
    }
}

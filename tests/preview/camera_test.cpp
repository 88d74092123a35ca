#include "preview/orbit_camera.h"

#include <gtest/gtest.h>

#include <cmath>

namespace morvex {
namespace {

void expectMatrixNear(const Matrix4& actual, const float (&expected)[4][4], float tolerance = 1e-5f)
{
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            EXPECT_NEAR(actual.m[row][column], expected[row][column], tolerance) << "element " << row << column;
}

Vector3 timesMatrix(const Vector3& p, const Matrix4& m, float* w = nullptr)
{
    Vector3 out{p.x * m.m[0][0] + p.y * m.m[1][0] + p.z * m.m[2][0] + m.m[3][0],
                p.x * m.m[0][1] + p.y * m.m[1][1] + p.z * m.m[2][1] + m.m[3][1],
                p.x * m.m[0][2] + p.y * m.m[1][2] + p.z * m.m[2][2] + m.m[3][2]};
    if (w != nullptr)
        *w = p.x * m.m[0][3] + p.y * m.m[1][3] + p.z * m.m[2][3] + m.m[3][3];
    return out;
}

float distanceFromOrigin(const Vector3& v)
{
    return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

TEST(OrbitCamera, ProjectionAndLookAtMatchHandComputedMatrices)
{
    // Zoom 1: f = tan(90 - 20 degrees) = 2.7474774; 800x400 gives aspect 2.
    const Matrix4 wide = previewProjection(1.0f, 800, 400);
    const float f = 2.7474774f;
    const float expected[4][4] = {{f / 2, 0, 0, 0}, {0, f, 0, 0}, {0, 0, 1.0001f, 1}, {0, 0, -1.0001f, 0}};
    expectMatrixNear(wide, expected);
    // Zoom 0.5: f = tan(90 - 10 degrees) = 5.6712818.
    EXPECT_NEAR(previewProjection(0.5f, 100, 100).m[1][1], 5.6712818f, 1e-4f);

    // Depth 0 at the near plane (z 1) and nearly 1 at z 10000.
    float w = 0;
    const Vector3 nearPoint = timesMatrix({0, 0, 1}, wide, &w);
    EXPECT_NEAR(nearPoint.z / w, 0.0f, 1e-6f);
    const Vector3 farPoint = timesMatrix({0, 0, 10000}, wide, &w);
    EXPECT_NEAR(farPoint.z / w, 1.0f, 1e-4f);

    // Looking from (0, 0, -10) at the origin: x stays right, y up, z away.
    const float frontal[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 10, 1}};
    expectMatrixNear(lookAtLeftHanded({0, 0, -10}, {0, 0, 0}, {0, 1, 0}), frontal);
    // From (10, 0, 0): the view's z axis is -x, its x axis +z (left-handed).
    const float side[4][4] = {{0, 0, -1, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}, {0, 0, 10, 1}};
    expectMatrixNear(lookAtLeftHanded({10, 0, 0}, {0, 0, 0}, {0, 1, 0}), side);
    // A flipped up vector turns the picture upside down.
    const Vector3 above = timesMatrix({0, 1, 0}, lookAtLeftHanded({0, 0, -10}, {0, 0, 0}, {0, -1, 0}));
    EXPECT_NEAR(above.y, -1.0f, 1e-6f);
}

TEST(OrbitCamera, FitResetAndZoomFollowTheStatedValues)
{
    OrbitCamera camera;
    EXPECT_EQ(camera.eye(), DefaultEye);
    EXPECT_EQ(camera.zoom(), 1.0f);
    camera.setViewport(0, -5);
    EXPECT_EQ(camera.width(), 1);
    EXPECT_EQ(camera.height(), 1);

    // Radius 100: three radii along the unit vector of (150, 125, 150).
    camera.fit(10000.0f);
    const float length = std::sqrt(150.0f * 150 + 125.0f * 125 + 150.0f * 150);
    EXPECT_NEAR(camera.eye().x, 150.0f / length * 300, 1e-3f);
    EXPECT_NEAR(camera.eye().y, 125.0f / length * 300, 1e-3f);
    EXPECT_NEAR(camera.eye().z, 150.0f / length * 300, 1e-3f);
    const Vector3 direction = camera.viewDirection();
    EXPECT_NEAR(direction.x, -150.0f / length, 1e-6f);
    EXPECT_NEAR(direction.y, -125.0f / length, 1e-6f);

    // Wheel: towards the user (negative delta) x1.1, away x0.9, within
    // 0.005 and 1.
    camera.zoomByWheel(120);
    EXPECT_NEAR(camera.zoom(), 0.9f, 1e-6f);
    camera.zoomByWheel(120);
    EXPECT_NEAR(camera.zoom(), 0.81f, 1e-6f);
    camera.zoomByWheel(-120);
    EXPECT_NEAR(camera.zoom(), 0.891f, 1e-6f);
    for (int i = 0; i < 100; ++i)
        camera.zoomByWheel(120);
    EXPECT_EQ(camera.zoom(), MinZoom);
    for (int i = 0; i < 100; ++i)
        camera.zoomByWheel(-1);
    EXPECT_EQ(camera.zoom(), MaxZoom);
    // The projection follows the zoom.
    camera.setZoom(0.5f);
    EXPECT_NEAR(camera.projection().m[1][1], 5.6712818f, 1e-4f);

    camera.orbitByPixels(100, 700);
    camera.reset();
    EXPECT_EQ(camera.eye(), DefaultEye);
    EXPECT_EQ(camera.zoom(), 1.0f);
    EXPECT_FALSE(camera.upFlipped());
}

TEST(OrbitCamera, OrbitTurnsAQuarterDegreePerPixelAndFlipsOverThePole)
{
    OrbitCamera camera;
    camera.setEye({0, 0, -100});
    // 360 pixels sideways: 90 degrees about the vertical axis, same height
    // and distance.
    camera.orbitByPixels(360, 0);
    EXPECT_NEAR(std::abs(camera.eye().x), 100.0f, 1e-3f);
    EXPECT_NEAR(camera.eye().y, 0.0f, 1e-3f);
    EXPECT_NEAR(camera.eye().z, 0.0f, 1e-3f);
    EXPECT_NEAR(distanceFromOrigin(camera.eye()), 100.0f, 1e-3f);

    // Moving the mouse up 180 pixels turns 45 degrees about the horizontal
    // axis: the eye rises to 100 sin 45.
    camera.setEye({0, 0, -100});
    camera.orbitByPixels(0, -180);
    EXPECT_NEAR(std::abs(camera.eye().y), 70.710678f, 1e-3f);
    EXPECT_NEAR(camera.eye().z, -70.710678f, 1e-3f);
    EXPECT_FALSE(camera.upFlipped());

    // On over the pole (another 90 degrees): the camera's up turns against
    // the world's and the flag flips; turning back restores it.
    camera.orbitByPixels(0, -360);
    EXPECT_TRUE(camera.upFlipped());
    EXPECT_NEAR(distanceFromOrigin(camera.eye()), 100.0f, 1e-3f);
    EXPECT_NEAR(camera.eye().z, 70.710678f, 1e-3f);
    camera.orbitByPixels(0, 360);
    EXPECT_FALSE(camera.upFlipped());
    EXPECT_NEAR(camera.eye().z, -70.710678f, 1e-3f);
    // The view keeps the target in the middle of the picture wherever the
    // eye went.
    const Vector3 target = timesMatrix({0, 0, 0}, camera.view());
    EXPECT_NEAR(target.x, 0.0f, 1e-3f);
    EXPECT_NEAR(target.y, 0.0f, 1e-3f);
    EXPECT_NEAR(target.z, 100.0f, 1e-3f);
}

} // namespace
} // namespace morvex

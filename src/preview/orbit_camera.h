#pragma once

#include "mesh/geometry.h"

// The preview's camera: an eye that orbits the origin, a left-handed
// look-at view and a perspective of 40 degrees vertical field of view at
// zoom 1, near plane 1 and far plane about 10000, in row-vector matrices
// (a point is the row (x, y, z, 1) times the matrix).

namespace morvex {

// The eye of an empty panel and the direction a fitted camera looks from.
inline constexpr Vector3 DefaultEye{150.0f, 125.0f, 150.0f};
// A quarter degree per pixel of mouse movement.
inline constexpr double OrbitRadiansPerPixel = 0.004363323;
inline constexpr float MinZoom = 0.005f;
inline constexpr float MaxZoom = 1.0f;

class OrbitCamera {
public:
    const Vector3& eye() const { return eye_; }
    Vector3 target() const { return Vector3{}; }
    // Unit vector from the eye to the target.
    Vector3 viewDirection() const;
    bool upFlipped() const { return upFlipped_; }
    float zoom() const { return zoom_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // Each at least 1.
    void setViewport(int width, int height);
    void setEye(const Vector3& eye);
    void setZoom(float zoom);

    // Back to the empty panel's view: the default eye, zoom 1, upright.
    void reset();
    // Frames a scene of that squared radius: the eye in the default
    // direction at three radii, zoom 1.
    void fit(float radiusSquared);

    // Mouse movement of (dx, dy) pixels, y growing downwards: horizontal
    // movement turns the eye about the camera's vertical axis, vertical
    // movement about its horizontal axis (moving up turns positive).
    void orbitByPixels(int dx, int dy);
    // The same by angles in radians.
    void turn(double aboutVertical, double aboutHorizontal);
    // Wheel towards the user (negative delta) zooms by 1.1, otherwise by
    // 0.9, within MinZoom and MaxZoom.
    void zoomByWheel(int delta);

    const Matrix4& view();
    const Matrix4& projection();

private:
    void update();

    Vector3 eye_ = DefaultEye;
    bool upFlipped_ = false;
    int width_ = 1;
    int height_ = 1;
    float zoom_ = 1.0f;
    Matrix4 view_;
    Matrix4 projection_;
    bool dirty_ = true;
};

// A left-handed look-at matrix for row vectors.
Matrix4 lookAtLeftHanded(const Vector3& eye, const Vector3& target, const Vector3& up);
// The preview's perspective: f = tan(pi/2 - zoom * 20 degrees); m[0][0] =
// f / aspect, m[1][1] = f, m[2][2] = 1.0001, m[2][3] = 1, m[3][2] = -1.0001.
Matrix4 previewProjection(float zoom, int width, int height);

} // namespace morvex

#include "preview/orbit_camera.h"

#include <algorithm>
#include <cmath>

namespace morvex {
namespace {

// Half the vertical field of view at zoom 1 (20 degrees), in radians.
constexpr double HalfFieldOfView = 0.34906584;
constexpr double HalfPi = 1.5707963267948966;

struct Vec {
    double x, y, z;
};

Vec toVec(const Vector3& v)
{
    return {v.x, v.y, v.z};
}
Vector3 toVector3(const Vec& v)
{
    return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}
Vec operator+(const Vec& a, const Vec& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator*(const Vec& a, double s)
{
    return {a.x * s, a.y * s, a.z * s};
}
double dot(const Vec& a, const Vec& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec cross(const Vec& a, const Vec& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double length(const Vec& v)
{
    return std::sqrt(dot(v, v));
}
Vec unit(const Vec& v)
{
    const double d = length(v);
    return d == 0.0 ? v : v * (1.0 / d);
}
// Rodrigues' rotation of v about the unit axis.
Vec rotate(const Vec& v, const Vec& axis, double angle)
{
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return v * c + cross(axis, v) * s + axis * (dot(axis, v) * (1.0 - c));
}

} // namespace

Matrix4 lookAtLeftHanded(const Vector3& eye, const Vector3& target, const Vector3& up)
{
    const Vec e = toVec(eye);
    const Vec z = unit(toVec(target) + e * -1.0);
    const Vec x = unit(cross(toVec(up), z));
    const Vec y = cross(z, x);
    Matrix4 m;
    const Vec axes[3] = {x, y, z};
    for (int column = 0; column < 3; ++column) {
        m.m[0][column] = static_cast<float>(axes[column].x);
        m.m[1][column] = static_cast<float>(axes[column].y);
        m.m[2][column] = static_cast<float>(axes[column].z);
        m.m[3][column] = static_cast<float>(-dot(axes[column], e));
    }
    return m;
}

Matrix4 previewProjection(float zoom, int width, int height)
{
    const double f = std::tan(HalfPi - static_cast<double>(zoom) * HalfFieldOfView);
    const double aspect = static_cast<double>(std::max(width, 1)) / std::max(height, 1);
    Matrix4 m;
    m.m[0][0] = static_cast<float>(f / aspect);
    m.m[1][1] = static_cast<float>(f);
    m.m[2][2] = 1.0001f;
    m.m[2][3] = 1.0f;
    m.m[3][2] = -1.0001f;
    m.m[3][3] = 0.0f;
    return m;
}

Vector3 OrbitCamera::viewDirection() const
{
    return toVector3(unit(toVec(eye_) * -1.0));
}

void OrbitCamera::setViewport(int width, int height)
{
    width_ = std::max(width, 1);
    height_ = std::max(height, 1);
    dirty_ = true;
}

void OrbitCamera::setEye(const Vector3& eye)
{
    eye_ = eye;
    dirty_ = true;
}

void OrbitCamera::setZoom(float zoom)
{
    zoom_ = std::clamp(zoom, MinZoom, MaxZoom);
    dirty_ = true;
}

void OrbitCamera::reset()
{
    eye_ = DefaultEye;
    upFlipped_ = false;
    zoom_ = 1.0f;
    dirty_ = true;
}

void OrbitCamera::fit(float radiusSquared)
{
    const double distance = 3.0 * std::sqrt(static_cast<double>(radiusSquared));
    eye_ = toVector3(unit(toVec(DefaultEye)) * distance);
    upFlipped_ = false;
    zoom_ = 1.0f;
    dirty_ = true;
}

void OrbitCamera::orbitByPixels(int dx, int dy)
{
    turn(dx * OrbitRadiansPerPixel, -dy * OrbitRadiansPerPixel);
}

void OrbitCamera::turn(double aboutVertical, double aboutHorizontal)
{
    const Vec offset = toVec(eye_); // the target is the origin
    const double distance = length(offset);
    if (distance == 0.0)
        return;
    const Vec worldUp{0.0, upFlipped_ ? -1.0 : 1.0, 0.0};
    const Vec forward = offset * (-1.0 / distance);
    Vec right = unit(cross(worldUp, forward));
    if (length(right) == 0.0) // looking straight along the up vector
        right = {1.0, 0.0, 0.0};
    const Vec cameraUp = cross(forward, right);

    const Vec turnedOffset = rotate(offset, cameraUp, aboutVertical);
    const Vec turnedRight = rotate(right, cameraUp, aboutVertical);
    const Vec finalOffset = rotate(turnedOffset, turnedRight, aboutHorizontal);
    const Vec finalUp = rotate(cameraUp, turnedRight, aboutHorizontal);
    // Turning over the top: the camera's up vector now points against the
    // world's, and the view keeps the model upright for the eye's new side.
    if (dot(finalUp, worldUp) < 0.0)
        upFlipped_ = !upFlipped_;
    eye_ = toVector3(unit(finalOffset) * distance);
    dirty_ = true;
}

void OrbitCamera::zoomByWheel(int delta)
{
    setZoom(zoom_ * (delta < 0 ? 1.1f : 0.9f));
}

const Matrix4& OrbitCamera::view()
{
    update();
    return view_;
}

const Matrix4& OrbitCamera::projection()
{
    update();
    return projection_;
}

void OrbitCamera::update()
{
    if (!dirty_)
        return;
    const Vector3 up{0.0f, upFlipped_ ? -1.0f : 1.0f, 0.0f};
    view_ = lookAtLeftHanded(eye_, target(), up);
    projection_ = previewProjection(zoom_, width_, height_);
    dirty_ = false;
}

} // namespace morvex

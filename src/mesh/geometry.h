#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace morvex {

struct Vector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    friend bool operator==(const Vector3&, const Vector3&) = default;
};

struct TexCoord {
    float u = 0.0f;
    float v = 0.0f;
    friend bool operator==(const TexCoord&, const TexCoord&) = default;
};

// 0xAARRGGBB. Readers without alpha store 0xFF.
using ArgbColor = std::uint32_t;

inline constexpr ArgbColor DefaultVertexColor = 0xFFC8C8C8u;
inline constexpr ArgbColor OpaqueBlack = 0xFF000000u;

// Row-major 4x4 matrix used with row vectors: p' = (x, y, z, 1) * M, so rows
// 0-2 hold the linear part and row 3 the translation.
struct Matrix4 {
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    static Matrix4 identity() { return Matrix4{}; }
    friend bool operator==(const Matrix4&, const Matrix4&) = default;
};

// Degrees to radians with the single-precision factor every placement uses.
inline constexpr float DegreesToRadians = 0.017453292f;

// Tolerance of vectorsEqual: 2^-23 per coordinate, absolute.
inline constexpr float VertexTolerance = 1.1920929e-7f;

// Scale, then rotation about X, Y and Z (degrees), then translation, applied
// on top of the matrix passed in (callers pass the identity).
Matrix4 composeTransform(const Vector3& rotationDegrees, const Vector3& scale, const Matrix4& matrix,
                         const Vector3& translation);

// Row-vector product with homogeneous divide.
Vector3 transformPoint(const Vector3& point, const Matrix4& matrix);

// Each coordinate differs by at most 2^-23 (absolute). Inline: the vertex
// merges call it in their inner loops.
inline bool vectorsEqual(const Vector3& p, const Vector3& q)
{
    const auto within = [](float a, float b) {
        const double d = static_cast<double>(b) - static_cast<double>(a);
        return d >= -static_cast<double>(VertexTolerance) && d <= static_cast<double>(VertexTolerance);
    };
    return within(p.x, q.x) && within(p.y, q.y) && within(p.z, q.z);
}

// No coordinate is NaN or infinite.
inline bool isFinite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// What transformPoint gives for the identity matrix, without the product,
// for writers that place millions of corners: a finite point comes back as
// it is (a zero coordinate as +0, as the product makes it), any other
// through the product (where an infinite coordinate makes all of them NaN).
inline Vector3 transformPointByIdentity(const Vector3& p)
{
    if (!isFinite(p))
        return transformPoint(p, Matrix4::identity());
    return {p.x + 0.0f, p.y + 0.0f, p.z + 0.0f};
}

// A placement whose linear part only exchanges axes and flips their signs
// (turns by multiples of 90 degrees, mirrors), with any translation: the
// turn between up axes places every vertex of a model with one. apply gives
// transformPoint's bits without the product: each coordinate is one
// coordinate of the point, exactly, plus the translation. A point with a
// zero coordinate or one that is not finite goes through the product, where
// the sum of the zero terms decides the sign of a zero.
class AxisSwap {
public:
    // Nothing when the matrix is not of that kind.
    static std::optional<AxisSwap> of(const Matrix4& matrix);

    Vector3 apply(const Vector3& p) const
    {
        if (!isFinite(p))
            return transformPoint(p, matrix_);
        const float in[3] = {p.x, p.y, p.z};
        float out[3];
        for (int c = 0; c < 3; ++c) {
            const double moved = static_cast<double>(in[source_[c]]) * sign_[c];
            if (moved == 0.0)
                return transformPoint(p, matrix_);
            out[c] = static_cast<float>(moved + translation_[c]);
        }
        return {out[0], out[1], out[2]};
    }

private:
    Matrix4 matrix_;
    int source_[3] = {0, 1, 2};
    double sign_[3] = {1, 1, 1};
    double translation_[3] = {0, 0, 0};
};

// The matrix is the identity to the bit (a -0 entry changes the sign of
// zero results, so it does not count).
bool isExactIdentity(const Matrix4& matrix);

// Unit length; a zero vector comes back unchanged.
Vector3 normalizeVector(const Vector3& v);

// Unit normal of triangle a, b, c; front faces are counter-clockwise.
// A degenerate triangle gives (0, 0, 0).
Vector3 faceNormal(const Vector3& a, const Vector3& b, const Vector3& c);

Matrix4 multiply(const Matrix4& a, const Matrix4& b);

// Maps normals as directions: n * (L^-1)^T for the linear part L of a
// matrix, taken as the cofactor matrix with the sign of the determinant so
// that it also works for a singular L (a zero scale flattens normals onto the
// remaining axis). Each normal keeps its length.
class NormalTransform {
public:
    explicit NormalTransform(const Matrix4& matrix);
    Vector3 apply(const Vector3& n) const;

private:
    double cofactor_[3][3];
};

} // namespace morvex

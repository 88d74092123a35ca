#include "mesh/geometry.h"

#include <cmath>
#include <cstring>

namespace morvex {

Matrix4 multiply(const Matrix4& a, const Matrix4& b)
{
    Matrix4 out;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += static_cast<double>(a.m[row][k]) * b.m[k][col];
            out.m[row][col] = static_cast<float>(sum);
        }
    return out;
}

namespace {

// Sine and cosine of an angle in degrees. Quarter turns are exact, so that
// turning a model between Y-up and Z-up formats and back gives back the very
// same coordinates; other angles go through the single-precision factor.
void sineAndCosine(float degrees, double& sine, double& cosine)
{
    if (std::isfinite(degrees) && std::fmod(degrees, 90.0f) == 0.0f) {
        static constexpr double sines[4] = {0, 1, 0, -1};
        const auto quarter = static_cast<int>(std::fmod(double(degrees) / 90.0, 4.0) + 4.0) % 4;
        sine = sines[quarter];
        cosine = sines[(quarter + 1) % 4];
        return;
    }
    const double radians = degrees * DegreesToRadians;
    sine = std::sin(radians);
    cosine = std::cos(radians);
}

} // namespace

Matrix4 composeTransform(const Vector3& rotationDegrees, const Vector3& scale, const Matrix4& matrix,
                         const Vector3& translation)
{
    Matrix4 scaled = matrix;
    scaled.m[0][0] = scale.x;
    scaled.m[1][1] = scale.y;
    scaled.m[2][2] = scale.z;

    double sa, ca, sb, cb, sg, cg;
    sineAndCosine(rotationDegrees.x, sa, ca);
    sineAndCosine(rotationDegrees.y, sb, cb);
    sineAndCosine(rotationDegrees.z, sg, cg);

    // Rx(alpha) * Ry(beta) * Rz(gamma) for row vectors.
    const double rotation[3][3] = {
        {cb * cg, cb * sg, -sb},
        {sa * sb * cg - ca * sg, sa * sb * sg + ca * cg, sa * cb},
        {ca * sb * cg + sa * sg, ca * sb * sg - sa * cg, ca * cb},
    };

    Matrix4 out = scaled;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 3; ++col) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += scaled.m[row][k] * rotation[k][col];
            out.m[row][col] = static_cast<float>(sum);
        }
    out.m[3][0] += translation.x;
    out.m[3][1] += translation.y;
    out.m[3][2] += translation.z;
    return out;
}

bool isExactIdentity(const Matrix4& matrix)
{
    const Matrix4 identity = Matrix4::identity();
    return std::memcmp(&matrix.m, &identity.m, sizeof matrix.m) == 0;
}

Vector3 transformPoint(const Vector3& p, const Matrix4& matrix)
{
    const auto& m = matrix.m;
    const double x = static_cast<double>(p.x) * m[0][0] + static_cast<double>(p.y) * m[1][0] +
                     static_cast<double>(p.z) * m[2][0] + m[3][0];
    const double y = static_cast<double>(p.x) * m[0][1] + static_cast<double>(p.y) * m[1][1] +
                     static_cast<double>(p.z) * m[2][1] + m[3][1];
    const double z = static_cast<double>(p.x) * m[0][2] + static_cast<double>(p.y) * m[1][2] +
                     static_cast<double>(p.z) * m[2][2] + m[3][2];
    // Placements are affine: w is then exactly 1 for a finite point, and
    // the divisions, the slowest part of the product, change nothing.
    if (m[0][3] == 0.0f && m[1][3] == 0.0f && m[2][3] == 0.0f && m[3][3] == 1.0f && isFinite(p))
        return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
    const double w = static_cast<double>(p.x) * m[0][3] + static_cast<double>(p.y) * m[1][3] +
                     static_cast<double>(p.z) * m[2][3] + m[3][3];
    return {static_cast<float>(x / w), static_cast<float>(y / w), static_cast<float>(z / w)};
}

std::optional<AxisSwap> AxisSwap::of(const Matrix4& matrix)
{
    const auto& m = matrix.m;
    if (m[0][3] != 0.0f || m[1][3] != 0.0f || m[2][3] != 0.0f || m[3][3] != 1.0f)
        return std::nullopt;
    AxisSwap swap;
    swap.matrix_ = matrix;
    bool sourceUsed[3] = {false, false, false};
    for (int c = 0; c < 3; ++c) {
        int unit = -1;
        for (int r = 0; r < 3; ++r) {
            if (m[r][c] == 1.0f || m[r][c] == -1.0f) {
                if (unit >= 0)
                    return std::nullopt;
                unit = r;
            } else if (m[r][c] != 0.0f) {
                return std::nullopt;
            }
        }
        if (unit < 0 || sourceUsed[unit])
            return std::nullopt;
        sourceUsed[unit] = true;
        swap.source_[c] = unit;
        swap.sign_[c] = m[unit][c];
        swap.translation_[c] = m[3][c];
    }
    return swap;
}

Vector3 normalizeVector(const Vector3& v)
{
    const double length =
        std::sqrt(static_cast<double>(v.x) * v.x + static_cast<double>(v.y) * v.y + static_cast<double>(v.z) * v.z);
    if (length == 0.0)
        return v;
    const double inverse = 1.0 / length;
    return {static_cast<float>(v.x * inverse), static_cast<float>(v.y * inverse), static_cast<float>(v.z * inverse)};
}

Vector3 faceNormal(const Vector3& a, const Vector3& b, const Vector3& c)
{
    const Vector3 e1{b.x - a.x, b.y - a.y, b.z - a.z};
    const Vector3 e2{c.x - a.x, c.y - a.y, c.z - a.z};
    const Vector3 cross{
        static_cast<float>(static_cast<double>(e1.y) * e2.z - static_cast<double>(e1.z) * e2.y),
        static_cast<float>(static_cast<double>(e1.z) * e2.x - static_cast<double>(e1.x) * e2.z),
        static_cast<float>(static_cast<double>(e1.x) * e2.y - static_cast<double>(e1.y) * e2.x),
    };
    return normalizeVector(cross);
}

NormalTransform::NormalTransform(const Matrix4& matrix)
{
    double l[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            l[r][c] = matrix.m[r][c];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (r + 1) % 3, r2 = (r + 2) % 3, c1 = (c + 1) % 3, c2 = (c + 2) % 3;
            cofactor_[r][c] = l[r1][c1] * l[r2][c2] - l[r1][c2] * l[r2][c1];
        }
    const double determinant = l[0][0] * cofactor_[0][0] + l[0][1] * cofactor_[0][1] + l[0][2] * cofactor_[0][2];
    if (determinant < 0)
        for (auto& row : cofactor_)
            for (double& value : row)
                value = -value;
}

Vector3 NormalTransform::apply(const Vector3& n) const
{
    const double x = n.x * cofactor_[0][0] + n.y * cofactor_[1][0] + n.z * cofactor_[2][0];
    const double y = n.x * cofactor_[0][1] + n.y * cofactor_[1][1] + n.z * cofactor_[2][1];
    const double z = n.x * cofactor_[0][2] + n.y * cofactor_[1][2] + n.z * cofactor_[2][2];
    const double lengthOut = std::sqrt(x * x + y * y + z * z);
    if (lengthOut == 0.0) // flattened away by a zero scale
        return {0, 0, 0};
    if (!std::isfinite(lengthOut)) // NaN or infinite input passes through
        return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
    const double lengthIn = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
    const double factor = lengthIn / lengthOut;
    return {static_cast<float>(x * factor), static_cast<float>(y * factor), static_cast<float>(z * factor)};
}

} // namespace morvex

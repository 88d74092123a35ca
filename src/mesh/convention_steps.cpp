#include "mesh/convention_steps.h"

#include "mesh/index_steps.h"

#include <atomic>
#include <cmath>
#include <utility>

namespace morvex {
namespace {

constexpr std::uint32_t TransformCheckElements = 1000;
constexpr std::uint32_t NormalCheckTriangles = 500;

float negated(float value)
{
    return 0.0f - value;
} // +0 rather than -0 for zero

Winding toggled(Winding winding)
{
    switch (winding) {
    case Winding::CounterClockwise: return Winding::Clockwise;
    case Winding::Clockwise: return Winding::CounterClockwise;
    default: return winding;
    }
}

bool knownWinding(Winding w)
{
    return w == Winding::CounterClockwise || w == Winding::Clockwise;
}
bool knownHandedness(Handedness h)
{
    return h == Handedness::Left || h == Handedness::Right;
}

// Angles (degrees) about X, Y and Z of a rotation matrix in the form that
// composeTransform builds, Rx * Ry * Rz for row vectors.
Vector3 anglesOfRotation(const Matrix4& r)
{
    const double toDegrees = 1.0 / double(DegreesToRadians);
    const double m02 = r.m[0][2];
    const double cosBeta = std::hypot(double(r.m[0][0]), double(r.m[0][1]));
    const double beta = std::atan2(-m02, cosBeta);
    double alpha, gamma;
    if (cosBeta > 1e-6) {
        alpha = std::atan2(double(r.m[1][2]), double(r.m[2][2]));
        gamma = std::atan2(double(r.m[0][1]), double(r.m[0][0]));
    } else {
        // Y at +-90 degrees: only alpha -+ gamma is defined; put it all in X.
        alpha = std::atan2(-double(r.m[2][1]), double(r.m[1][1]));
        gamma = 0.0;
    }
    return {static_cast<float>(alpha * toDegrees), static_cast<float>(beta * toDegrees),
            static_cast<float>(gamma * toDegrees)};
}

// Turns an object's placement about the world X axis.
void turnPlacementAboutX(ModelObject& object, float degrees)
{
    const Matrix4 turn = composeTransform({degrees, 0, 0}, {1, 1, 1}, Matrix4::identity(), {0, 0, 0});
    object.position = transformPoint(object.position, turn);
    if (object.rotation.y == 0.0f && object.rotation.z == 0.0f) {
        // About X alone the turn simply adds to the X angle.
        object.rotation.x += degrees;
        if (object.rotation.x > 360.0f)
            object.rotation.x -= 360.0f;
        return;
    }
    // The X angle is applied first, so with Y or Z angles present the turn
    // must be composed after the whole rotation and the angles recovered.
    const Matrix4 rotation = composeTransform(object.rotation, {1, 1, 1}, Matrix4::identity(), {0, 0, 0});
    object.rotation = anglesOfRotation(multiply(rotation, turn));
}

// Mirror in X: M * Rx(a) Ry(b) Rz(c) * M is Rx(a) Ry(-b) Rz(-c), so the
// placement stays the mirror image of the old one.
void mirrorObjectInX(ModelObject& object)
{
    for (Vector3& v : object.vertices)
        v.x = negated(v.x);
    for (Vector3& n : object.normals)
        n.x = negated(n.x);
    object.position.x = negated(object.position.x);
    if (object.rotation.y != 0.0f)
        object.rotation.y = -object.rotation.y;
    if (object.rotation.z != 0.0f)
        object.rotation.z = -object.rotation.z;
}

template <typename Array>
void swapCorners(Array& array, std::uint32_t first, std::uint32_t second)
{
    if (second < array.count())
        std::swap(array[first], array[second]);
}

void reverseTriangles(ModelObject& object)
{
    const std::uint32_t m = object.indices.count();
    const bool colorsPerCorner = object.colorsPerCorner();
    const bool texCoordsPerVertex = object.texCoordsPerVertex();
    for (std::uint32_t t = 0; t < m / 3; ++t) {
        const std::uint32_t second = 3 * t + 1, third = 3 * t + 2;
        std::swap(object.indices[second], object.indices[third]);
        swapCorners(object.normals, second, third);
        if (colorsPerCorner)
            swapCorners(object.colors, second, third);
        if (!texCoordsPerVertex)
            swapCorners(object.texCoords, second, third);
    }
}

bool isIdentityPlacement(const ModelObject& object)
{
    return vectorsEqual(object.scale, {1, 1, 1}) && vectorsEqual(object.rotation, {0, 0, 0}) &&
           vectorsEqual(object.position, {0, 0, 0});
}

// `counted`: the elements changed before these, for the cancellation cadence.
template <typename Array, typename Change>
bool changeEachElement(Array& array, ProgressReporter& reporter, Change change, std::uint64_t counted = 0)
{
    return forEachIndex(
        array.count(), TransformCheckElements, reporter, [&](std::uint32_t i) { array[i] = change(array[i]); },
        counted);
}

// The flat normal of triangle `t` on its three corners; a triangle naming a
// vertex the object lacks keeps what it had.
void setFaceNormal(ModelObject& o, std::uint32_t t, std::uint32_t vertexCount, Winding target)
{
    const std::uint32_t i0 = o.indices[3 * t], i1 = o.indices[3 * t + 1], i2 = o.indices[3 * t + 2];
    if (i0 >= vertexCount || i1 >= vertexCount || i2 >= vertexCount)
        return;
    const Vector3& p0 = o.vertices[i0];
    const Vector3& p1 = o.vertices[i1];
    const Vector3& p2 = o.vertices[i2];
    const Vector3 normal = target == Winding::Clockwise ? faceNormal(p0, p2, p1) : faceNormal(p0, p1, p2);
    o.normals[3 * t] = normal;
    o.normals[3 * t + 1] = normal;
    o.normals[3 * t + 2] = normal;
}

} // namespace

OperationResult transformObject(ModelObject& object, const Matrix4& matrix, bool withNormals,
                                ProgressReporter& reporter)
{
    const std::optional<AxisSwap> swap = AxisSwap::of(matrix);
    const auto place = [&](const Vector3& v) { return swap ? swap->apply(v) : transformPoint(v, matrix); };
    if (!changeEachElement(object.vertices, reporter, place))
        return OperationResult::Cancelled;
    if (!withNormals)
        return OperationResult::Success;
    const NormalTransform normalTransform(matrix);
    const auto transformNormal = [&](const Vector3& n) { return normalTransform.apply(n); };
    if (!changeEachElement(object.normals, reporter, transformNormal, object.vertices.count()))
        return OperationResult::Cancelled;
    return OperationResult::Success;
}

OperationResult reconcileUpAxis(Model& model, UpAxis target, ProgressReporter& reporter)
{
    const UpAxis current = model.profile.upAxis;
    float degrees;
    if (current == UpAxis::Y && target == UpAxis::Z)
        degrees = 90.0f;
    else if (current == UpAxis::Z && target == UpAxis::Y)
        degrees = 270.0f;
    else
        return OperationResult::Success;
    model.profile.upAxis = target;
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    for (auto& object : model.objects)
        turnPlacementAboutX(*object, degrees);
    return OperationResult::Success;
}

OperationResult reconcileHandedness(Model& model, Handedness target, ProgressReporter& reporter)
{
    if (!knownHandedness(model.profile.handedness) || !knownHandedness(target) || model.profile.handedness == target)
        return OperationResult::Success;
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    model.profile.handedness = target;
    for (auto& object : model.objects)
        mirrorObjectInX(*object);
    model.profile.winding = toggled(model.profile.winding);
    return OperationResult::Success;
}

OperationResult reconcileWinding(Model& model, Winding target, ProgressReporter& reporter)
{
    if (!knownWinding(model.profile.winding) || !knownWinding(target) || model.profile.winding == target)
        return OperationResult::Success;
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        reverseTriangles(*object);
    }
    model.profile.winding = toggled(model.profile.winding);
    return OperationResult::Success;
}

OperationResult bakeObjectTransforms(Model& model, bool withNormals, ProgressReporter& reporter)
{
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        if (isIdentityPlacement(*object))
            continue;
        const OperationResult result = transformObject(*object, placementMatrix(*object), withNormals, reporter);
        if (result != OperationResult::Success)
            return result;
        object->position = {0, 0, 0};
        object->rotation = {0, 0, 0};
        object->scale = {1, 1, 1};
    }
    return OperationResult::Success;
}

OperationResult applyCustomTransform(Model& model, const Matrix4& matrix, bool withNormals, ProgressReporter& reporter)
{
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        const OperationResult result = transformObject(*object, matrix, withNormals, reporter);
        if (result != OperationResult::Success)
            return result;
    }
    return OperationResult::Success;
}

OperationResult recalculateNormals(Model& model, Winding target, ProgressReporter& reporter, Failure* failure)
{
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        ModelObject& o = *object;
        if (o.vertices.empty() || o.indices.empty() || o.normals.empty())
            continue;
        const std::uint32_t m = o.indices.count();
        const std::uint32_t n = o.vertices.count();
        if (!o.normals.resize(m))
            return failOutOfMemory(failure);
        if (!forEachIndex(m / 3, NormalCheckTriangles, reporter,
                          [&](std::uint32_t t) { setFaceNormal(o, t, n, target); }))
            return OperationResult::Cancelled;
    }
    return OperationResult::Success;
}

} // namespace morvex

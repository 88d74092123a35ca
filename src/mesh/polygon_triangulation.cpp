#include "mesh/polygon_triangulation.h"

#include <cmath>
#include <utility>

namespace morvex {

void fanTriangles(std::uint32_t count, std::uint32_t* triangles)
{
    triangles[0] = 0;
    triangles[1] = 1;
    triangles[2] = 2;
    for (std::uint32_t k = 3; k < count; ++k) {
        triangles += 3;
        triangles[0] = k - 1;
        triangles[1] = k;
        triangles[2] = 0;
    }
}

// The plane of the polygon: the axis most along its normal (Newell's
// method) is dropped, and the other two are taken in the order that makes
// the corners wind counter-clockwise. False for corners that span no plane
// (or are not finite): nothing but a fan makes sense of them.
bool PolygonTriangulator::findPlane(const Vector3* corners, std::uint32_t count, Plane& plane)
{
    double normal[3] = {0, 0, 0};
    for (std::uint32_t i = 0; i < count; ++i) {
        const Vector3& a = corners[i];
        const Vector3& b = corners[i + 1 == count ? 0 : i + 1];
        normal[0] += (double{a.y} - b.y) * (double{a.z} + b.z);
        normal[1] += (double{a.z} - b.z) * (double{a.x} + b.x);
        normal[2] += (double{a.x} - b.x) * (double{a.y} + b.y);
    }
    int axis = 2;
    if (std::fabs(normal[0]) > std::fabs(normal[axis]))
        axis = 0;
    if (std::fabs(normal[1]) > std::fabs(normal[axis]))
        axis = 1;
    if (!(std::fabs(normal[axis]) > 0) || !std::isfinite(normal[axis]))
        return false;
    // (y, z) seen from +x, (z, x) from +y, (x, y) from +z wind
    // counter-clockwise; swapped when the normal points the other way.
    plane.first = (axis + 1) % 3;
    plane.second = (axis + 2) % 3;
    if (normal[axis] < 0)
        std::swap(plane.first, plane.second);
    return true;
}

void PolygonTriangulator::project(const Vector3* corners, std::uint32_t count, const Plane& plane)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        const float coordinates[3] = {corners[i].x, corners[i].y, corners[i].z};
        points_[i] = Point2{coordinates[plane.first], coordinates[plane.second]};
    }
}

// Positive for a left turn at `at`, negative for a right (reflex) one.
double PolygonTriangulator::turn(std::uint32_t before, std::uint32_t at, std::uint32_t after) const
{
    const Point2& a = points_[before];
    const Point2& b = points_[at];
    const Point2& c = points_[after];
    return (b.u - a.u) * (c.v - b.v) - (b.v - a.v) * (c.u - b.u);
}

// Every corner turns left, measured against the nearest corners at another
// place: a corner repeated in place would hide the turn of its twin.
bool PolygonTriangulator::isConvex(std::uint32_t count) const
{
    const auto samePlace = [this](std::uint32_t a, std::uint32_t b) {
        return points_[a].u == points_[b].u && points_[a].v == points_[b].v;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t before = i == 0 ? count - 1 : i - 1;
        std::uint32_t after = i + 1 == count ? 0 : i + 1;
        for (std::uint32_t step = 0; step < count && samePlace(before, i); ++step)
            before = before == 0 ? count - 1 : before - 1;
        for (std::uint32_t step = 0; step < count && samePlace(after, i); ++step)
            after = after + 1 == count ? 0 : after + 1;
        if (turn(before, i, after) < 0)
            return false;
    }
    return true;
}

// No reflex corner lies inside (or on the edges of) the triangle that
// cutting `corner` off would make. Only reflex corners can: a convex one
// inside would need a reflex one inside too. Corners without a turn count
// as reflex here: a corner repeated in place hides the turn of its twin.
bool PolygonTriangulator::isEar(std::uint32_t corner) const
{
    const std::uint32_t before = previous_[corner];
    const std::uint32_t after = next_[corner];
    if (turn(before, corner, after) < 0)
        return false;
    const Point2& a = points_[before];
    const Point2& b = points_[corner];
    const Point2& c = points_[after];
    const auto side = [](const Point2& p, const Point2& q, const Point2& r) {
        return (q.u - p.u) * (r.v - p.v) - (q.v - p.v) * (r.u - p.u);
    };
    for (std::uint32_t other = next_[after]; other != before; other = next_[other]) {
        if (!reflex_[other])
            continue;
        const Point2& p = points_[other];
        // A corner at the same place as one of the triangle's (a polygon
        // touching itself) does not block it.
        if ((p.u == a.u && p.v == a.v) || (p.u == b.u && p.v == b.v) || (p.u == c.u && p.v == c.v))
            continue;
        if (side(a, b, p) >= 0 && side(b, c, p) >= 0 && side(c, a, p) >= 0)
            return false;
    }
    return true;
}

// Cuts ears off the corner ring until three corners are left. A ring with no
// ear (a polygon crossing itself, or rounding) still loses a corner per
// round, so the triangle count is always count - 2.
void PolygonTriangulator::clipEars(std::uint32_t count, std::uint32_t* triangles)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        next_[i] = i + 1 == count ? 0 : i + 1;
        previous_[i] = i == 0 ? count - 1 : i - 1;
        reflex_[i] = turn(previous_[i], i, next_[i]) <= 0;
    }
    std::uint32_t corner = 0;
    std::uint32_t left = count;
    std::uint32_t triedSinceCut = 0;
    while (left > 3) {
        if (!isEar(corner) && triedSinceCut < left) {
            corner = next_[corner];
            ++triedSinceCut;
            continue;
        }
        const std::uint32_t before = previous_[corner];
        const std::uint32_t after = next_[corner];
        *triangles++ = before;
        *triangles++ = corner;
        *triangles++ = after;
        next_[before] = after;
        previous_[after] = before;
        --left;
        reflex_[before] = turn(previous_[before], before, after) <= 0;
        reflex_[after] = turn(before, after, next_[after]) <= 0;
        corner = after;
        triedSinceCut = 0;
    }
    *triangles++ = previous_[corner];
    *triangles++ = corner;
    *triangles++ = next_[corner];
}

bool PolygonTriangulator::triangulate(const Vector3* corners, std::uint32_t count, std::uint32_t* triangles)
{
    Plane plane;
    if (count == 3 || !findPlane(corners, count, plane)) {
        fanTriangles(count, triangles);
        return true;
    }
    if (!points_.allocate(count))
        return false;
    project(corners, count, plane);
    if (isConvex(count)) {
        fanTriangles(count, triangles);
        return true;
    }
    if (!next_.allocate(count) || !previous_.allocate(count) || !reflex_.allocate(count))
        return false;
    clipEars(count, triangles);
    return true;
}

} // namespace morvex

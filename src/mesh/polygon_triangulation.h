#pragma once

// Splitting polygon faces (OBJ faces of any corner count) into triangles.

#include "mesh/geometry.h"
#include "support/core/growable_array.h"

#include <cstdint>

namespace morvex {

// Reusable: its scratch arrays keep their storage from polygon to polygon,
// so a file of many faces allocates only for its largest one.
class PolygonTriangulator {
public:
    // Writes 3 * (count - 2) corner numbers (0 to count - 1) into
    // `triangles`, which the caller sizes; count must be at least 3.
    // A convex polygon, and one whose corners span no plane, becomes a fan
    // around corner 0: (0, 1, 2), then (k - 1, k, 0) for k from 3; this costs
    // one pass over the corners. A concave polygon is cut ear by ear, in the
    // winding of its corners, so that the triangles cover it exactly. False
    // only when scratch memory ran out.
    bool triangulate(const Vector3* corners, std::uint32_t count, std::uint32_t* triangles);

private:
    struct Point2 {
        double u;
        double v;
    };

    struct Plane {
        int first = 0; // the coordinates kept, in counter-clockwise order
        int second = 1;
    };

    static bool findPlane(const Vector3* corners, std::uint32_t count, Plane& plane);
    void project(const Vector3* corners, std::uint32_t count, const Plane& plane);
    bool isConvex(std::uint32_t count) const;
    void clipEars(std::uint32_t count, std::uint32_t* triangles);
    double turn(std::uint32_t before, std::uint32_t at, std::uint32_t after) const;
    bool isEar(std::uint32_t corner) const;

    GrowableArray<Point2> points_;
    GrowableArray<std::uint32_t> next_;
    GrowableArray<std::uint32_t> previous_;
    GrowableArray<std::uint8_t> reflex_;
};

// The fan of a polygon of `count` corners, as triangulate gives it for a
// convex one: 3 * (count - 2) corner numbers.
void fanTriangles(std::uint32_t count, std::uint32_t* triangles);

} // namespace morvex

#include "mesh/polygon_triangulation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

using namespace morvex;

namespace {

struct Point2 {
    double x;
    double y;
};

// Twice the signed area of a ring of points, counter-clockwise positive.
double twiceArea(const std::vector<Point2>& ring)
{
    double sum = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const Point2& a = ring[i];
        const Point2& b = ring[(i + 1) % ring.size()];
        sum += a.x * b.y - b.x * a.y;
    }
    return sum;
}

// The polygon placed in 3D: in the plane spanned by `u` and `v` through
// `origin`.
std::vector<Vector3> placed(const std::vector<Point2>& ring, const Vector3& origin, const Vector3& u, const Vector3& v)
{
    std::vector<Vector3> corners;
    for (const Point2& p : ring)
        corners.push_back({static_cast<float>(origin.x + p.x * u.x + p.y * v.x),
                           static_cast<float>(origin.y + p.x * u.y + p.y * v.y),
                           static_cast<float>(origin.z + p.x * u.z + p.y * v.z)});
    return corners;
}

std::vector<Point2> regularPolygon(int corners, double radius)
{
    std::vector<Point2> ring;
    for (int i = 0; i < corners; ++i)
        ring.push_back({radius * std::cos(2 * M_PI * i / corners), radius * std::sin(2 * M_PI * i / corners)});
    return ring;
}

// A star with `points` tips: concave at every inner corner.
std::vector<Point2> star(int points)
{
    std::vector<Point2> ring;
    for (int i = 0; i < 2 * points; ++i) {
        const double radius = i % 2 == 0 ? 10 : 4;
        ring.push_back({radius * std::cos(M_PI * i / points), radius * std::sin(M_PI * i / points)});
    }
    return ring;
}

// A comb: `teeth` tall narrow teeth on a base, the worst case for ears.
std::vector<Point2> comb(int teeth)
{
    std::vector<Point2> ring = {{0, 0}, {2.0 * teeth, 0}};
    for (int t = teeth - 1; t >= 0; --t) {
        ring.push_back({2.0 * t + 2, 10});
        ring.push_back({2.0 * t + 1, 10});
        ring.push_back({2.0 * t + 1, 1});
        ring.push_back({2.0 * t + 0.5, 1});
    }
    ring.pop_back();
    ring.pop_back();
    ring.push_back({0, 10});
    return ring;
}

// Each triangle has three distinct corners, faces the way the polygon
// winds, and together they cover the polygon's area exactly: for a simple
// polygon that is all triangles inside it, none overlapping.
void expectCovers(const std::vector<Point2>& ring, const std::vector<std::uint32_t>& triangles)
{
    const double sign = twiceArea(ring) > 0 ? 1 : -1;
    double total = 0;
    for (std::size_t t = 0; t < triangles.size(); t += 3) {
        const std::uint32_t a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
        ASSERT_LT(std::max({a, b, c}), ring.size());
        EXPECT_TRUE(a != b && b != c && a != c) << "triangle " << t / 3;
        const double area = sign * twiceArea({ring[a], ring[b], ring[c]});
        EXPECT_GE(area, -1e-9) << "triangle " << t / 3 << " is turned over";
        total += area;
    }
    EXPECT_NEAR(total, std::fabs(twiceArea(ring)), 1e-6 * std::fabs(twiceArea(ring)));
}

struct Plane {
    const char* name;
    Vector3 origin;
    Vector3 u;
    Vector3 v;
};

const Plane planes[] = {
    {"xy", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}},
    {"xy seen from below", {0, 0, 5}, {0, 1, 0}, {1, 0, 0}},
    {"yz", {3, 0, 0}, {0, 1, 0}, {0, 0, 1}},
    {"zx", {0, -2, 0}, {0, 0, 1}, {1, 0, 0}},
    {"tilted", {1, 2, 3}, {0.6f, 0.8f, 0}, {0, 0.6f, 0.8f}},
};

} // namespace

TEST(PolygonTriangulation, ConvexPolygonsBecomeTheFanAroundTheirFirstCorner)
{
    PolygonTriangulator triangulator;
    for (int corners : {3, 4, 5, 16, 66, 1000}) {
        for (const Plane& plane : planes) {
            SCOPED_TRACE(std::to_string(corners) + " corners in " + plane.name);
            const std::vector<Point2> ring = regularPolygon(corners, 5);
            const std::vector<Vector3> points = placed(ring, plane.origin, plane.u, plane.v);
            std::vector<std::uint32_t> triangles(3 * (corners - 2), UINT32_MAX);
            ASSERT_TRUE(triangulator.triangulate(points.data(), corners, triangles.data()));
            std::vector<std::uint32_t> fan(triangles.size());
            fanTriangles(corners, fan.data());
            EXPECT_EQ(triangles, fan);
            expectCovers(ring, triangles);
        }
    }
    // The fan's order: (0, 1, 2), then (k - 1, k, 0).
    std::vector<std::uint32_t> pentagon(9);
    fanTriangles(5, pentagon.data());
    EXPECT_EQ(pentagon, (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 0, 3, 4, 0}));
}

TEST(PolygonTriangulation, ConcavePolygonsAreCutIntoEarsThatCoverThem)
{
    const struct {
        const char* name;
        std::vector<Point2> ring;
    } shapes[] = {
        {"L", {{0, 0}, {4, 0}, {4, 1}, {1, 1}, {1, 4}, {0, 4}}},
        {"arrow, reflex corner first", {{2, 1}, {0, 0}, {4, 2}, {0, 4}}},
        {"star of 5", star(5)},
        {"star of 40", star(40)},
        {"comb of 30 teeth", comb(30)},
        {"collinear corners on a concave outline", {{0, 0}, {1, 0}, {2, 0}, {2, 2}, {1, 1}, {0, 2}}},
        {"corners repeated", {{0, 0}, {3, 0}, {3, 0}, {3, 3}, {1, 1}, {1, 1}, {0, 3}}},
    };
    PolygonTriangulator triangulator; // reused over every shape, as a reader does
    for (const auto& shape : shapes) {
        for (const bool reversed : {false, true}) {
            for (const Plane& plane : planes) {
                SCOPED_TRACE(std::string(shape.name) + (reversed ? " clockwise" : "") + " in " + plane.name);
                std::vector<Point2> ring = shape.ring;
                if (reversed)
                    ring.assign(shape.ring.rbegin(), shape.ring.rend());
                const std::vector<Vector3> points = placed(ring, plane.origin, plane.u, plane.v);
                const auto count = static_cast<std::uint32_t>(ring.size());
                std::vector<std::uint32_t> triangles(3 * (count - 2), UINT32_MAX);
                ASSERT_TRUE(triangulator.triangulate(points.data(), count, triangles.data()));
                if (std::string(shape.name) == "corners repeated") {
                    // Repeated corners make zero-area triangles; the area
                    // and the count still hold.
                    double total = 0;
                    for (std::size_t t = 0; t < triangles.size(); t += 3)
                        total +=
                            std::fabs(twiceArea({ring[triangles[t]], ring[triangles[t + 1]], ring[triangles[t + 2]]}));
                    EXPECT_NEAR(total, std::fabs(twiceArea(ring)), 1e-4);
                    continue;
                }
                expectCovers(ring, triangles);
            }
        }
    }
}

// Corners on one line, or all in one place, span no plane: they are fanned
// (the triangles have no area to get wrong), and nothing reads beyond them.
TEST(PolygonTriangulation, DegenerateAndNonFinitePolygonsAreFanned)
{
    PolygonTriangulator triangulator;
    const std::vector<Vector3> line = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {1.5f, 1.5f, 1.5f}};
    const std::vector<Vector3> point(7, Vector3{1, 2, 3});
    const std::vector<Vector3> notFinite = {{0, 0, 0}, {1, 0, 0}, {NAN, 1, 0}, {0, 1, 0}, {0.5f, 0.5f, 0}};
    for (const std::vector<Vector3>* corners : {&line, &point, &notFinite}) {
        const auto count = static_cast<std::uint32_t>(corners->size());
        std::vector<std::uint32_t> triangles(3 * (count - 2));
        ASSERT_TRUE(triangulator.triangulate(corners->data(), count, triangles.data()));
        std::vector<std::uint32_t> fan(triangles.size());
        fanTriangles(count, fan.data());
        EXPECT_EQ(triangles, fan);
    }
}

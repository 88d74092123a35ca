#include "formats/stl/stl_vertex_merge.h"

#include "mesh/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace morvex::stl {
namespace {

// The definition the merger must reproduce: search the unique vertices
// backwards from the newest, over at most 10000 of them.
std::vector<std::uint32_t> scanMerge(const std::vector<Vector3>& corners, std::vector<Vector3>& unique)
{
    std::vector<std::uint32_t> indices;
    for (const Vector3& corner : corners) {
        std::uint32_t found = UINT32_MAX;
        const std::size_t stop = unique.size() > 10000 ? unique.size() - 10000 : 0;
        for (std::size_t j = unique.size(); j > stop; --j)
            if (vectorsEqual(unique[j - 1], corner)) {
                found = static_cast<std::uint32_t>(j - 1);
                break;
            }
        if (found == UINT32_MAX) {
            found = static_cast<std::uint32_t>(unique.size());
            unique.push_back(corner);
        }
        indices.push_back(found);
    }
    return indices;
}

// Returns how many corners were merged into a vertex that is not
// bit-identical to them, so that a test can show it exercised tolerance.
int expectSameAsScan(const std::vector<Vector3>& corners, const char* what)
{
    std::vector<Vector3> scanned;
    const std::vector<std::uint32_t> expected = scanMerge(corners, scanned);
    VertexMerger merger;
    EXPECT_TRUE(merger.reserve(static_cast<std::uint32_t>(corners.size())));
    std::vector<std::uint32_t> got;
    for (const Vector3& corner : corners) {
        std::uint32_t index = 0;
        EXPECT_TRUE(merger.merge(corner, index));
        got.push_back(index);
    }
    EXPECT_EQ(merger.count(), scanned.size()) << what;
    int nearMerges = 0;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (std::memcmp(&scanned[expected[i]], &corners[i], sizeof(Vector3)) != 0)
            ++nearMerges;
        if (got[i] != expected[i]) {
            ADD_FAILURE() << what << ": corner " << i << " (" << corners[i].x << ", " << corners[i].y << ", "
                          << corners[i].z << ") got " << got[i] << " instead of " << expected[i];
            return nearMerges;
        }
    }
    for (std::uint32_t i = 0; i < merger.count() && i < scanned.size(); ++i) {
        const Vector3& a = merger.vertices()[i];
        const Vector3& b = scanned[i];
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << what << ": vertex " << i;
    }
    return nearMerges;
}

TEST(StlVertexMerge, NearDuplicatesGiveExactlyTheScanResult)
{
    std::mt19937 random(3);
    const float bases[] = {0.0f,  -0.0f, 1.0f,  -1.0f,   2.0f,     -2.0f,  3.9999998f,
                           4.0f,  -4.0f, 0.5f,  1000.0f, -1000.0f, 1e-30f, 6.1035156e-05f /* 2^-14, a cell border */,
                           0.25f, 12.5f, -7.75f};
    const float offsets[] = {0.0f,  1e-7f,  -1e-7f,   1.1920929e-7f, -1.1920929e-7f, 1.2e-7f,
                             1e-6f, -1e-6f, 5.96e-8f, 2.4e-7f,       3e-8f};
    const auto pick = [&](std::uint32_t n) { return random() % n; };
    for (int round = 0; round < 8; ++round) {
        // Few distinct bases so that near-duplicates meet often.
        std::vector<Vector3> corners;
        for (int i = 0; i < 6000; ++i) {
            Vector3 v;
            for (float* c : {&v.x, &v.y, &v.z}) {
                const float base = bases[pick(std::size(bases))];
                float offset = offsets[pick(std::size(offsets))];
                *c = base + offset;
                // Step a few floats away, to hit the exact edge of the tolerance.
                for (std::uint32_t step = pick(3); step > 0; --step)
                    *c = std::nextafter(*c, pick(2) ? INFINITY : -INFINITY);
            }
            corners.push_back(v);
        }
        EXPECT_GT(expectSameAsScan(corners, "near duplicates"), 100);
    }
}

TEST(StlVertexMerge, CellBordersAndTinyValues)
{
    std::mt19937 random(5);
    std::vector<Vector3> corners;
    for (int i = 0; i < 20000; ++i) {
        // Values right at the borders of the 2^-14 cells, below and above
        // zero, and denormals.
        const auto coordinate = [&] {
            const int cell = static_cast<int>(random() % 64) - 32;
            const float border = static_cast<float>(cell) / 16384.0f;
            const float shift = static_cast<float>(static_cast<int>(random() % 9) - 4) * 4e-8f;
            return random() % 10 == 0 ? std::ldexp(1.0f, -140 - static_cast<int>(random() % 8)) : border + shift;
        };
        corners.push_back({coordinate(), coordinate(), coordinate()});
    }
    EXPECT_GT(expectSameAsScan(corners, "cell borders"), 100);
}

TEST(StlVertexMerge, WindowOfTenThousandUniqueVertices)
{
    std::vector<Vector3> corners;
    // 11000 distinct vertices; then early ones again (beyond the window, so
    // appended a second time), later ones again (found), repeats at
    // distances around the window's edge, and the same in the grid range.
    for (int i = 0; i < 11000; ++i)
        corners.push_back({static_cast<float>(i) + 10.0f, 5.0f, 0.001f * static_cast<float>(i % 7)});
    for (int i = 0; i < 1500; ++i)
        corners.push_back(corners[static_cast<std::size_t>(i)]);
    for (int i = 9500; i < 11000; i += 3)
        corners.push_back(corners[static_cast<std::size_t>(i)]);
    for (int distance : {9998, 9999, 10000, 10001, 10002})
        for (int k = 0; k < 3; ++k)
            corners.push_back(corners[corners.size() - static_cast<std::size_t>(distance)]);
    for (int i = 0; i < 600; ++i)
        corners.push_back({0.5f + static_cast<float>(i) * 1e-4f, -0.25f, 0.0f});
    for (int i = 0; i < 600; i += 7)
        corners.push_back({0.5f + static_cast<float>(i) * 1e-4f + 1e-7f, -0.25f, 0.0f});
    EXPECT_GT(expectSameAsScan(corners, "window"), 50);
}

TEST(StlVertexMerge, LongRunsKeepExactlyTheWindow)
{
    // Unique vertices lie far apart, so each corner's answer is known as it
    // is made: the vertex it repeats when that is among the last 10000, else
    // a new one. The window's oldest vertex comes again after every new
    // vertex, over many window lengths, so every state the search's storage
    // passes through is met; a third are beyond +-4 in every coordinate.
    VertexMerger merger;
    ASSERT_TRUE(merger.reserve(400000));
    std::vector<Vector3> uniques; // as the merger must hold them
    int wrong = 0;
    const auto expectIndex = [&](const Vector3& corner, std::size_t expected) {
        std::uint32_t index = 0;
        if (!merger.merge(corner, index) || index != expected)
            ++wrong;
        if (expected == uniques.size())
            uniques.push_back(corner);
    };
    for (int i = 0; i < 120000 && wrong == 0; ++i) {
        const float shift = i % 3 == 0 ? 9.0f : 0.0f;
        expectIndex({static_cast<float>(i % 997) * 0.0037f - 1.8f + shift,
                     static_cast<float>(i / 997) * 0.0041f - 0.1f + shift, 0.25f + shift},
                    uniques.size());
        if (uniques.size() <= VertexMerger::Window)
            continue;
        const std::size_t oldest = uniques.size() - VertexMerger::Window;
        Vector3 again = uniques[oldest];
        if (i % 2 == 0 && std::fabs(again.x) < 4.0f)
            again.y = std::nextafter(again.y, INFINITY);                   // within tolerance
        expectIndex(again, std::isnan(again.x) ? uniques.size() : oldest); // NaN never merges
        if (i % 3 == 1)
            expectIndex(uniques[oldest - 1], uniques.size()); // just left the window
        if (i % 4999 == 0)
            expectIndex({std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.0f}, uniques.size());
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(merger.count(), uniques.size());
}

TEST(StlVertexMerge, NonFiniteCoordinatesNeverMerge)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Vector3> corners = {{nan, 0, 0},  {nan, 0, 0},        {inf, 1, 1}, {inf, 1, 1},   {1, 1, 1},
                                    {-inf, 0, 0}, {1, 1, 1.0000001f}, {0, 0, 0},   {-0.0f, 0, 0}, {0, nan, 0}};
    expectSameAsScan(corners, "non-finite");
    VertexMerger merger;
    ASSERT_TRUE(merger.reserve(static_cast<std::uint32_t>(corners.size())));
    std::uint32_t first = 0, second = 0;
    ASSERT_TRUE(merger.merge(corners[0], first));
    ASSERT_TRUE(merger.merge(corners[1], second));
    EXPECT_NE(first, second);
}

TEST(StlVertexMerge, ClosedMeshSharesItsCorners)
{
    // A grid of 80 x 80 quads: every inner vertex is used by six triangles.
    std::vector<Vector3> corners;
    const auto point = [](int i, int j) {
        return Vector3{static_cast<float>(i) * 0.37f, static_cast<float>(j) * 0.37f, 1.0f};
    };
    for (int i = 0; i < 80; ++i)
        for (int j = 0; j < 80; ++j)
            for (const Vector3& p :
                 {point(i, j), point(i + 1, j), point(i + 1, j + 1), point(i, j), point(i + 1, j + 1), point(i, j + 1)})
                corners.push_back(p);
    expectSameAsScan(corners, "grid");
    VertexMerger merger;
    ASSERT_TRUE(merger.reserve(static_cast<std::uint32_t>(corners.size())));
    for (const Vector3& corner : corners) {
        std::uint32_t index = 0;
        ASSERT_TRUE(merger.merge(corner, index));
    }
    EXPECT_EQ(merger.count(), 81u * 81u);
}

TEST(StlVertexMerge, RefusesMoreVerticesThanReserved)
{
    VertexMerger merger;
    ASSERT_TRUE(merger.reserve(2));
    std::uint32_t index = 0;
    ASSERT_TRUE(merger.merge({1, 2, 3}, index));
    ASSERT_TRUE(merger.merge({4, 5, 6}, index));
    ASSERT_TRUE(merger.merge({1, 2, 3}, index));
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(merger.merge({7, 8, 9}, index));
}

} // namespace
} // namespace morvex::stl

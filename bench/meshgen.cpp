// Writes a large closed mesh (a torus on a u x v grid, 2*u*v triangles, every
// vertex shared by six triangles) as binary and/or ASCII STL, for the
// benchmarks. The STL output here is independent of the converter's writers.

#include "mesh/geometry.h"
#include "support/platform/files.h"
#include "support/text/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace morvex;

namespace {

struct Options {
    std::uint64_t triangles = 2'000'000;
    std::string binaryPath;
    std::string asciiPath;
};

struct Torus {
    std::uint32_t u = 0;
    std::uint32_t v = 0;

    Vector3 point(std::uint32_t i, std::uint32_t j) const
    {
        const double a = 2.0 * M_PI * (i % u) / u;
        const double b = 2.0 * M_PI * (j % v) / v;
        const double ring = 40.0 + 12.0 * std::cos(b);
        return {static_cast<float>(ring * std::cos(a)), static_cast<float>(ring * std::sin(a)),
                static_cast<float>(12.0 * std::sin(b))};
    }

    template <typename Visit>
    void forEachTriangle(Visit visit) const
    {
        for (std::uint32_t i = 0; i < u; ++i)
            for (std::uint32_t j = 0; j < v; ++j) {
                const Vector3 p00 = point(i, j), p10 = point(i + 1, j);
                const Vector3 p01 = point(i, j + 1), p11 = point(i + 1, j + 1);
                visit(p00, p10, p11);
                visit(p00, p11, p01);
            }
    }
};

Torus torusFor(std::uint64_t triangles)
{
    // Grid close to square with 2*u*v == triangles where possible.
    const std::uint64_t cells = std::max<std::uint64_t>(1, triangles / 2);
    std::uint32_t u = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(cells)));
    while (u > 3 && cells % u != 0)
        --u;
    u = std::max<std::uint32_t>(u, 3);
    const std::uint32_t v = std::max<std::uint32_t>(3, static_cast<std::uint32_t>(cells / u));
    return {u, v};
}

bool writeBinary(const Torus& torus, const std::string& path)
{
    AtomicFileWriter out;
    Failure failure;
    if (out.open(path, &failure) != OperationResult::Success) {
        std::fprintf(stderr, "meshgen: %s: %s\n", path.c_str(), describeFailure(failure).c_str());
        return false;
    }
    char header[80] = {};
    std::snprintf(header, sizeof header, "meshgen torus %ux%u", torus.u, torus.v);
    out.write(header, 80);
    out.writeLittleEndian<std::uint32_t>(2u * torus.u * torus.v);
    torus.forEachTriangle([&](const Vector3& a, const Vector3& b, const Vector3& c) {
        const Vector3 n = faceNormal(a, b, c);
        const Vector3 record[4] = {n, a, b, c};
        out.write(record, sizeof record);
        out.writeLittleEndian<std::uint16_t>(0);
    });
    if (out.commit(&failure) != OperationResult::Success) {
        std::fprintf(stderr, "meshgen: %s: %s\n", path.c_str(), describeFailure(failure).c_str());
        return false;
    }
    return true;
}

void writeVector(AtomicFileWriter& out, std::string_view prefix, const Vector3& p)
{
    out.write(prefix);
    char* at = out.reserve(3 * (MaxNumberChars + 1) + 2);
    char* start = at;
    for (float value : {p.x, p.y, p.z}) {
        *at++ = ' ';
        at += formatExponent3(at, value);
    }
    *at++ = '\r';
    *at++ = '\n';
    out.advance(static_cast<std::size_t>(at - start));
}

bool writeAscii(const Torus& torus, const std::string& path)
{
    AtomicFileWriter out;
    Failure failure;
    if (out.open(path, &failure) != OperationResult::Success) {
        std::fprintf(stderr, "meshgen: %s: %s\n", path.c_str(), describeFailure(failure).c_str());
        return false;
    }
    out.write("solid meshgen torus\r\n");
    torus.forEachTriangle([&](const Vector3& a, const Vector3& b, const Vector3& c) {
        writeVector(out, "  facet normal", faceNormal(a, b, c));
        out.write("    outer loop\r\n");
        writeVector(out, "      vertex", a);
        writeVector(out, "      vertex", b);
        writeVector(out, "      vertex", c);
        out.write("    endloop\r\n  endfacet\r\n");
    });
    out.write("endsolid meshgen torus\r\n");
    if (out.commit(&failure) != OperationResult::Success) {
        std::fprintf(stderr, "meshgen: %s: %s\n", path.c_str(), describeFailure(failure).c_str());
        return false;
    }
    return true;
}

int usage()
{
    std::fputs("usage: morvex-meshgen [--triangles N] [--binary OUT.stl] [--ascii OUT.stl]\n"
               "Writes a closed torus mesh of about N triangles (default 2000000).\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        if (arg == "--triangles") {
            auto [end, error] = std::from_chars(value, value + std::strlen(value), options.triangles);
            if (error != std::errc() || *end != '\0' || options.triangles < 18)
                return usage();
        } else if (arg == "--binary") {
            options.binaryPath = value;
        } else if (arg == "--ascii") {
            options.asciiPath = value;
        } else {
            return usage();
        }
    }
    if (options.binaryPath.empty() && options.asciiPath.empty())
        return usage();
    const Torus torus = torusFor(options.triangles);
    if (!options.binaryPath.empty() && !writeBinary(torus, options.binaryPath))
        return 1;
    if (!options.asciiPath.empty() && !writeAscii(torus, options.asciiPath))
        return 1;
    return 0;
}

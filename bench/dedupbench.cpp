// Duplicate removal on a mesh read as separate triangles: reads an STL file,
// gives every corner a vertex of its own (as readers of formats with
// per-corner data do), removes duplicates, and writes binary STL. Prints the
// time of the duplicate removal alone; the benchmark times the whole run
// against a peer that reads the STL as separate triangles and joins them.
//   morvex-dedupbench IN.stl OUT.stl

#include "app/model_io.h"
#include "mesh/mesh_operations.h"
#include "support/progress/progress_reporter.h"

#include <chrono>
#include <cstdio>

using namespace morvex;

namespace {

// Every corner becomes a vertex of its own, indices 0, 1, 2, ...
bool separateCorners(ModelObject& object)
{
    const std::uint32_t corners = object.indices.count();
    Vector3Array expanded;
    if (!expanded.allocate(corners))
        return false;
    for (std::uint32_t k = 0; k < corners; ++k) {
        const std::uint32_t index = object.indices[k];
        expanded[k] = index < object.vertices.count() ? object.vertices[index] : Vector3{};
        object.indices[k] = k;
    }
    object.vertices.swap(expanded);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: morvex-dedupbench IN.stl OUT.stl\n", stderr);
        return 2;
    }
    StoppableReporter reporter;
    Model model;
    std::string reason;
    if (readModel(reporter, model, argv[1], ".stl", &reason) != OperationResult::Success) {
        std::fprintf(stderr, "morvex-dedupbench: cannot read %s: %s\n", argv[1], reason.c_str());
        return 1;
    }
    std::uint64_t before = 0;
    for (auto& object : model.objects) {
        if (!separateCorners(*object)) {
            std::fputs("morvex-dedupbench: out of memory\n", stderr);
            return 1;
        }
        before += object->vertices.count();
    }

    const auto start = std::chrono::steady_clock::now();
    if (removeDuplicates(model, reporter) != OperationResult::Success) {
        std::fputs("morvex-dedupbench: duplicate removal failed\n", stderr);
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    std::uint64_t after = 0, triangles = 0;
    for (const auto& object : model.objects) {
        after += object->vertices.count();
        triangles += object->triangleCount();
    }
    ConversionSettings settings;
    settings.outputKind = FormatKind::StlBinary;
    if (writeModel(reporter, argv[2], model, settings, &reason) != OperationResult::Success) {
        std::fprintf(stderr, "morvex-dedupbench: cannot write %s: %s\n", argv[2], reason.c_str());
        return 1;
    }
    std::fprintf(stderr, "removeDuplicates: %llu -> %llu vertices, %llu triangles in %.3f s\n",
                 static_cast<unsigned long long>(before), static_cast<unsigned long long>(after),
                 static_cast<unsigned long long>(triangles), seconds.count());
    return 0;
}

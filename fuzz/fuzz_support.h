#pragma once

// Shared by the fuzz targets: a reporter that never stops and never prints,
// and a check that what a reader accepted is safe for every later step.

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace morvex::fuzzing {

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// Whatever a reader returns as read must be safe for every later step:
// every index names a vertex, per-corner arrays are as long as the corners,
// material ranges lie inside them.
inline void requireSafeModel(const Model& model)
{
    for (const auto& object : model.objects) {
        const std::uint32_t vertices = object->vertices.count();
        const std::uint32_t corners = object->indices.count();
        for (std::uint32_t index : object->indices)
            if (index >= vertices)
                std::abort();
        if (!object->normals.empty() && object->normals.count() != corners)
            std::abort();
        for (const MaterialRange& range : object->materialRanges)
            if (range.firstIndex > range.endIndex || range.endIndex > corners)
                std::abort();
    }
}

// A reporter for the targets: never cancelled, keeps nothing.
using QuietReporter = StoppableReporter;

// Reads the input with an in-memory reader entry point and checks what it
// accepted; the whole body of a reader's target.
template <typename ReadFromBytes>
int readAndCheck(ReadFromBytes read, const std::uint8_t* data, std::size_t size, std::string_view name)
{
    Model model;
    QuietReporter reporter;
    if (read(bytesOf(data, size), name, model, reporter, nullptr) == OperationResult::Success)
        requireSafeModel(model);
    return 0;
}

} // namespace morvex::fuzzing

#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::ply {

// Reads an ASCII or binary (either byte order) PLY file into one object:
// vertices, triangles (polygons split into fans around their first corner,
// triangle strips into their triangles) and per-vertex or per-face colours
// (float ones as fractions of full intensity). Elements may come in any
// order. A file without faces gives the
// vertices and no indices. Comments become the document properties
// "Comment1", "Comment2", ...
OperationResult readPly(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from bytes in memory; `name` is the file name messages use.
OperationResult readPly(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Writes the whole model as one binary little-endian PLY file: placement
// applied to the vertices, triangles as three-corner faces, vertex or face
// colours when the model has colours, the document properties as comments.
OperationResult writePly(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

} // namespace morvex::ply

#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

namespace morvex::obj {

// Reads a Wavefront OBJ file and the material libraries it names. Every run
// of faces with the same material becomes one object; faces are fanned into
// triangles and every corner gets a vertex of its own. Objects get a
// material range only when the file has texture coordinates. Profile kind
// becomes Obj.
OperationResult readObj(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Writes all objects as one OBJ vertex list with one normal per triangle.
// With materials, a material library (the OBJ name with ".mtl") is written
// beside it and diffuse textures are copied into a "Textures" folder there.
// Nothing appears at either name unless the whole write succeeded.
OperationResult writeObj(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

// The material library written beside an OBJ file: the extension of its
// file name replaced by ".mtl", or ".mtl" appended when it has none.
std::filesystem::path materialLibraryPathFor(const std::filesystem::path& objPath);

} // namespace morvex::obj

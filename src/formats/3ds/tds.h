#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::tds {

// Reads a 3DS file: one object per object block with its vertices, faces and
// texture coordinates; materials with their names, diffuse colours and
// texture files (looked up beside the file, in any letter case when the
// exact name is missing, and only inside the folders the reference policy
// allows); faces of material groups expanded to a vertex per corner.
// Vertices are kept as stored; an object whose first keyframer position lies
// away from its local origin gets the difference as its position.
// Profile kind becomes ThreeDs.
OperationResult read3ds(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from bytes in memory; `name` is the file name messages use.
// Texture files keep the names the file gives them.
OperationResult read3ds(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Writes the meshes as 3DS: one object block per piece ("Object 0", ...),
// objects beyond the format's 16-bit counts split into pieces of unshared
// vertices; materials with their diffuse colour and texture, and the faces
// of each material range as a face material group. Texture files are copied
// beside the output under names of at most 8 + 3 characters, as the format's
// readers expect them. Vertices are written as stored (no placement).
OperationResult write3ds(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

} // namespace morvex::tds

#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"
#include "support/xml/xml_reader.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::sdf {

// Reads one referenced mesh file into a fresh model. The program passes the
// external mesh converter, which reads every mesh format the references use.
using MeshFileReader = OperationResult (*)(ProgressReporter& reporter, Model& model, const std::filesystem::path& mesh,
                                           Failure* failure);

// The text of every "uri" element reached by walking only the elements an
// SDF model description is built of (sdf, model, link, visual, collision,
// geometry, mesh, material and their plain settings), in document order,
// duplicates kept, empty texts left out. Any other element is skipped with
// all it holds, so the uris of include, world or material script elements
// are never read. Cancelled when the reporter says stop.
OperationResult collectMeshUris(XmlNodeRef root, ProgressReporter& reporter, std::vector<std::string>& uris);

// Where a "model://<model>/<path>" reference lies for an SDF file: the
// folder that holds the SDF file's folder (the model tree's parent), joined
// with the reference less its eight-character scheme prefix (the prefix is
// not compared) and less any slashes that follow, so that the result never
// leaves that folder by being absolute. Empty when nothing is left.
std::filesystem::path meshPathForUri(const std::filesystem::path& sdfFile, std::string_view uri);

// Reads an SDF file: collects its mesh references and reads each through
// `readMesh`, appending the objects (and materials) of each mesh in the
// order of the references. A reference that leads outside the model tree's
// parent folder (and the allowed folders of the reference policy), a mesh
// that cannot be read, an oversized or unreadable file fail the read with
// the reason; the objects of the meshes read before stay. A file without
// mesh references gives an empty model.
OperationResult readSdf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        MeshFileReader readMesh, Failure* failure = nullptr);

} // namespace morvex::sdf

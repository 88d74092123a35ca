#include "formats/sdf/sdf.h"

#include "support/core/memory_guard.h"
#include "support/platform/reference_policy.h"

#include <algorithm>
#include <array>
#include <system_error>

namespace morvex::sdf {
namespace {

// Larger files are refused before they are parsed.
constexpr std::uint64_t MaxSdfBytes = 214748365;
// The scheme prefix "model://" is dropped without being compared.
constexpr std::size_t UriPrefixLength = 8;

constexpr std::array<std::string_view, 22> WalkedElements = {"sdf",          "model",
                                                             "link",         "pose",
                                                             "visual",       "geometry",
                                                             "mesh",         "uri",
                                                             "scale",        "material",
                                                             "lighting",     "ambient",
                                                             "diffuse",      "specular",
                                                             "emissive",     "cast_shadows",
                                                             "transparency", "collision",
                                                             "laser_retro",  "max_contacts",
                                                             "static",       "allow_auto_disable"};

bool walked(std::string_view name)
{
    return std::find(WalkedElements.begin(), WalkedElements.end(), name) != WalkedElements.end();
}

OperationResult walk(XmlNodeRef element, ProgressReporter& reporter, std::vector<std::string>& uris)
{
    for (XmlNodeRef child = element.firstChild(); child; child = child.next()) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        if (!child.isElement() || !walked(child.name()))
            continue;
        if (child.name() == "uri") {
            const std::string_view text = getNodeText(child);
            if (!text.empty())
                uris.emplace_back(text);
        }
        if (const OperationResult result = walk(child, reporter, uris); result != OperationResult::Success)
            return result;
    }
    return OperationResult::Success;
}

OperationResult checkSize(const std::filesystem::path& path, Failure* failure)
{
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (error)
        return OperationResult::Success; // the XML loader reports what is wrong
    if (size >= MaxSdfBytes || 20 * size >= availableMemoryBytes())
        return failWith(failure, FailureKind::OutOfMemory,
                        "the SDF file is too large (" + std::to_string(size) + " bytes)");
    return OperationResult::Success;
}

// Moves the mesh's objects to the end of the model's list, and its
// materials after the model's own.
void appendMesh(Model& model, Model& mesh)
{
    for (auto& object : mesh.objects)
        model.objects.push_back(std::move(object));
    for (auto& material : mesh.materials)
        model.materials.push_back(std::move(material));
}

OperationResult readMeshes(const std::filesystem::path& path, const std::vector<std::string>& uris, Model& model,
                           ProgressReporter& reporter, MeshFileReader readMesh, Failure* failure)
{
    const std::filesystem::path treeParent = path.parent_path().parent_path();
    for (std::size_t i = 0; i < uris.size(); ++i) {
        const std::filesystem::path mesh = meshPathForUri(path, uris[i]);
        const std::string which = "mesh " + std::to_string(i + 1) + " (\"" + uris[i] + "\")";
        if (mesh.empty())
            return failWith(failure, FailureKind::Malformed, which + " is no model:// reference");
        if (std::string why; !referenceAllowed(treeParent, mesh, &why))
            return failWith(failure, FailureKind::Unsupported, which + ": " + why);
        Model fresh;
        Failure meshFailure;
        const OperationResult result = readMesh(reporter, fresh, mesh, &meshFailure);
        if (result == OperationResult::Cancelled)
            return result;
        if (result != OperationResult::Success)
            return failWith(failure, meshFailure.kind, which + " could not be read: " + describeFailure(meshFailure));
        appendMesh(model, fresh);
    }
    return OperationResult::Success;
}

} // namespace

OperationResult collectMeshUris(XmlNodeRef root, ProgressReporter& reporter, std::vector<std::string>& uris)
{
    return walk(root, reporter, uris);
}

std::filesystem::path meshPathForUri(const std::filesystem::path& sdfFile, std::string_view uri)
{
    if (uri.size() <= UriPrefixLength)
        return {};
    // A rest that starts with a slash ("model:///etc/passwd", or any
    // scheme of another length) would replace the folder when joined.
    std::string_view rest = uri.substr(UriPrefixLength);
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    if (rest.empty())
        return {};
    return sdfFile.parent_path().parent_path() / rest;
}

OperationResult readSdf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        MeshFileReader readMesh, Failure* failure)
{
    IndeterminateScope indeterminate(reporter);
    if (checkSize(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    reporter.setStatusText("Opening file...", 1);
    XmlDocument document;
    std::string xmlError;
    const OperationResult loaded = loadXmlFile(path, &reporter, document, xmlError);
    if (loaded != OperationResult::Success)
        return loaded == OperationResult::Cancelled ? loaded : failWith(failure, FailureKind::Unreadable, xmlError);
    std::vector<std::string> uris;
    if (const OperationResult walked = collectMeshUris(document, reporter, uris); walked != OperationResult::Success)
        return walked;
    const OperationResult result = readMeshes(path, uris, model, reporter, readMesh, failure);
    reporter.setStatusText("", 1);
    return result;
}

} // namespace morvex::sdf

#include "preview/preview_scene.h"

#include "app/model_io.h"
#include "app/pipeline.h"
#include "formats/format_table.h"
#include "mesh/mesh_operations.h"
#include "support/settings/settings_store.h"
#include "support/text/text.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace morvex {
namespace {

constexpr const char* PreviewSection = "Preview";
constexpr const char* CannotReadText = "File cannot be converted, may not be supported or may be corrupted.";
constexpr const char* UnsupportedMdlText =
    "Unsupported format. MDL formats IDPO, MDL2, MDL3, MDL4, MDL5 and MDL7 are supported.";
constexpr std::uint32_t CornersPerCancelCheck = 100;

// The ".mdl" files that start "IDST" or "TSDI" are another program's
// models of the same extension, which no reader here knows.
bool isOtherKindOfMdl(const std::filesystem::path& path)
{
    if (!equalsIgnoreCase(extensionOf(path.string()), ".mdl"))
        return false;
    char magic[4] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    const std::size_t got = std::fread(magic, 1, sizeof magic, file);
    std::fclose(file);
    const std::string_view head(magic, got);
    return head == "IDST" || head == "TSDI";
}

OperationResult prepareLoadedModel(const FileFormat& format, Model& model, ProgressReporter& reporter, Failure* failure)
{
    if (const OperationResult indexed = generateIndices(model, reporter, failure); indexed != OperationResult::Success)
        return indexed;
    setSourceProfile(model, format);
    return reconcileConventions(model, previewProfile(), reporter);
}

float squaredLength(const Vector3& v)
{
    return v.x * v.x + v.y * v.y + v.z * v.z;
}

// Per-corner texture coordinates, or per vertex when the list is as long as
// the vertex list; none (zero) for a corner beyond the list.
TexCoord cornerTexCoord(const ModelObject& object, std::uint32_t corner, std::uint32_t vertex)
{
    if (object.texCoordsPerVertex())
        return vertex < object.texCoords.count() ? object.texCoords[vertex] : TexCoord{};
    return corner < object.texCoords.count() ? object.texCoords[corner] : TexCoord{};
}

std::string firstTexturePath(const Model& model, const ModelObject& object)
{
    if (object.materialRanges.empty())
        return {};
    const Material* material = model.findMaterial(object.materialRanges.front().materialId);
    if (material == nullptr || material->textures.empty())
        return {};
    return material->textures.front().path;
}

OperationResult buildMesh(const Model& model, const ModelObject& object, PreviewMesh& mesh, float& radiusSquared,
                          ProgressReporter& reporter)
{
    const Matrix4 placement = placementMatrix(object);
    const std::uint32_t cornerCount = object.triangleCount() * 3;
    mesh.corners.resize(cornerCount);
    for (std::uint32_t corner = 0; corner < cornerCount; ++corner) {
        if (corner % CornersPerCancelCheck == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        PreviewVertex& out = mesh.corners[corner];
        const std::uint32_t vertex = object.indices[corner];
        if (vertex < object.vertices.count()) {
            out.position = transformPoint(object.vertices[vertex], placement);
            if (isFinite(out.position))
                radiusSquared = std::max(radiusSquared, std::min(squaredLength(out.position), MaxSceneRadiusSquared));
            else
                out.position = Vector3{};
        }
        out.color = object.cornerColor(corner);
        const TexCoord uv = cornerTexCoord(object, corner, vertex);
        out.texCoord = TexCoord{uv.u, -uv.v};
    }
    // Flat shading: the face normal on all three corners; the object's own
    // normals are not used.
    for (std::uint32_t first = 0; first < cornerCount; first += 3) {
        const Vector3 normal = faceNormal(mesh.corners[first].position, mesh.corners[first + 1].position,
                                          mesh.corners[first + 2].position);
        for (std::uint32_t k = 0; k < 3; ++k)
            mesh.corners[first + k].normal = normal;
    }
    mesh.texturePath = firstTexturePath(model, object);
    return OperationResult::Success;
}

float clampUnit(float value)
{
    return std::clamp(value, 0.0f, 1.0f);
}

float dot(const Vector3& a, const Vector3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

std::uint32_t channel(ArgbColor color, int shift)
{
    return (color >> shift) & 0xFFu;
}

} // namespace

FormatProfile previewProfile()
{
    FormatProfile profile;
    profile.upAxis = UpAxis::Y;
    profile.handedness = Handedness::Left;
    profile.winding = Winding::CounterClockwise;
    return profile;
}

std::string previewFailureText(const std::filesystem::path& path)
{
    return isOtherKindOfMdl(path) ? UnsupportedMdlText : CannotReadText;
}

OperationResult loadPreviewModel(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                                 const SettingsStore* store, Failure* failure)
{
    const FileFormat* listed = formatForPath(path);
    const FileFormat& format = listed != nullptr ? *listed : unlistedFormat();
    try {
        const OperationResult read = readModel(reporter, model, path, format, failure);
        if (store != nullptr)
            store->deleteSection(PreviewSection);
        if (read == OperationResult::Failure && store != nullptr)
            store->writeText(PreviewSection, "Status", previewFailureText(path));
        if (read != OperationResult::Success)
            return read;
        return prepareLoadedModel(format, model, reporter, failure);
    } catch (const std::bad_alloc&) {
        failOutOfMemory(failure);
        return OperationResult::Failure;
    }
}

OperationResult buildPreviewScene(const Model& model, PreviewScene& scene, ProgressReporter& reporter)
{
    scene = PreviewScene{};
    try {
        scene.meshes.resize(model.objects.size());
        for (std::size_t i = 0; i < model.objects.size(); ++i)
            if (const OperationResult built =
                    buildMesh(model, *model.objects[i], scene.meshes[i], scene.radiusSquared, reporter);
                built != OperationResult::Success)
                return built;
    } catch (const std::bad_alloc&) {
        scene = PreviewScene{};
        return OperationResult::Failure;
    }
    return OperationResult::Success;
}

float previewLightFactor(const Vector3& normal, const Vector3& viewDirection)
{
    using L = PreviewLighting;
    const Vector3 towardsLight{-L::LightDirection.x, -L::LightDirection.y, -L::LightDirection.z};
    const Vector3 towardsEye{-viewDirection.x, -viewDirection.y, -viewDirection.z};
    const float ambient = L::AmbientShare * L::GlobalAmbient + L::LightAmbient;
    return clampUnit(ambient + L::DirectionalShare * std::max(dot(normal, towardsLight), 0.0f) +
                     L::EyeShare * std::max(dot(normal, towardsEye), 0.0f));
}

ArgbColor previewShadedColor(ArgbColor color, const Vector3& normal, const Vector3& viewDirection, ArgbColor texel)
{
    const float factor = previewLightFactor(normal, viewDirection);
    ArgbColor out = color & 0xFF000000u;
    for (int shift : {16, 8, 0}) {
        const float lit = clampUnit(channel(color, shift) / 255.0f * factor) * (channel(texel, shift) / 255.0f);
        out |= static_cast<std::uint32_t>(lit * 255.0f + 0.5f) << shift;
    }
    return out;
}

} // namespace morvex

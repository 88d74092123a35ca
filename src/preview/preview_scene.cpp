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

TexCoord flippedForImageRows(const TexCoord& uv)
{
    return TexCoord{uv.u, -uv.v};
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

// Corners can share their vertex's entry when neither their colours nor
// their texture coordinates belong to the corners themselves.
bool cornersShareVertices(const ModelObject& object)
{
    return !object.colorsPerCorner() && (object.texCoords.empty() || object.texCoordsPerVertex());
}

// The placed vertex, or the origin when it is not finite; only vertices
// that some corner uses widen the scene.
Vector3 placedPosition(const Vector3& vertex, const Matrix4& placement, bool used, float& radiusSquared)
{
    const Vector3 position = transformPoint(vertex, placement);
    if (!isFinite(position))
        return Vector3{};
    if (used)
        radiusSquared = std::max(radiusSquared, std::min(squaredLength(position), MaxSceneRadiusSquared));
    return position;
}

OperationResult buildSharedMesh(const ModelObject& object, const Matrix4& placement, PreviewMesh& mesh,
                                float& radiusSquared, ProgressReporter& reporter)
{
    const std::uint32_t vertexCount = object.vertices.count();
    const std::uint32_t cornerCount = object.triangleCount() * 3;
    std::vector<std::uint8_t> used(vertexCount);
    mesh.indices.resize(cornerCount);
    bool anyOutOfRange = false;
    for (std::uint32_t corner = 0; corner < cornerCount; ++corner) {
        if (corner % CornersPerCancelCheck == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        std::uint32_t vertex = object.indices[corner];
        if (vertex < vertexCount) {
            used[vertex] = 1;
        } else {
            vertex = vertexCount; // the extra vertex at the origin
            anyOutOfRange = true;
        }
        mesh.indices[corner] = vertex;
    }
    mesh.vertices.resize(vertexCount + (anyOutOfRange ? 1u : 0u));
    const bool texCoordsPerVertex = object.texCoordsPerVertex();
    for (std::uint32_t vertex = 0; vertex < vertexCount; ++vertex) {
        if (vertex % CornersPerCancelCheck == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        PreviewVertex& out = mesh.vertices[vertex];
        out.position = placedPosition(object.vertices[vertex], placement, used[vertex] != 0, radiusSquared);
        if (vertex < object.colors.count())
            out.color = object.colors[vertex];
        if (texCoordsPerVertex)
            out.texCoord = flippedForImageRows(object.texCoords[vertex]);
    }
    return OperationResult::Success;
}

OperationResult buildCornerMesh(const ModelObject& object, const Matrix4& placement, PreviewMesh& mesh,
                                float& radiusSquared, ProgressReporter& reporter)
{
    const std::uint32_t cornerCount = object.triangleCount() * 3;
    mesh.vertices.resize(cornerCount);
    mesh.indices.resize(cornerCount);
    for (std::uint32_t corner = 0; corner < cornerCount; ++corner) {
        if (corner % CornersPerCancelCheck == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        PreviewVertex& out = mesh.vertices[corner];
        const std::uint32_t vertex = object.indices[corner];
        if (vertex < object.vertices.count())
            out.position = placedPosition(object.vertices[vertex], placement, true, radiusSquared);
        out.color = object.cornerColor(corner);
        out.texCoord = flippedForImageRows(cornerTexCoord(object, corner, vertex));
        mesh.indices[corner] = corner;
    }
    return OperationResult::Success;
}

OperationResult buildMesh(const Model& model, const ModelObject& object, PreviewMesh& mesh, float& radiusSquared,
                          ProgressReporter& reporter)
{
    const Matrix4 placement = placementMatrix(object);
    const OperationResult built = cornersShareVertices(object)
                                      ? buildSharedMesh(object, placement, mesh, radiusSquared, reporter)
                                      : buildCornerMesh(object, placement, mesh, radiusSquared, reporter);
    mesh.texturePath = firstTexturePath(model, object);
    return built;
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

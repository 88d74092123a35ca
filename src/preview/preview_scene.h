#pragma once

#include "mesh/model.h"
#include "support/core/failure.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// What the preview draws, built from a model on the loader's thread without
// any graphics context, in the layout the shaders read, so that the drawing
// thread only uploads each buffer once. Faces are shaded flat from their
// plane in the fragment shader, so corners that share a vertex share one
// entry of the vertex buffer unless their colours or texture coordinates
// belong to the corners.

namespace morvex {

class SettingsStore;

// The preview's own conventions: Y up, left-handed, counter-clockwise.
FormatProfile previewProfile();

// One vertex as the vertex buffer holds it.
struct PreviewVertex {
    Vector3 position;
    ArgbColor color = DefaultVertexColor;
    TexCoord texCoord; // (u, -v): image rows run downwards
};
static_assert(sizeof(PreviewVertex) == 24, "the shaders read a packed 24-byte vertex");

struct PreviewMesh {
    std::vector<PreviewVertex> vertices;
    std::vector<std::uint32_t> indices; // three per triangle, each below vertices.size()
    std::string texturePath;            // the first texture of the object's first material; may be empty
};

struct PreviewScene {
    std::vector<PreviewMesh> meshes;
    // The largest squared distance of a corner from the origin, at least 1,
    // capped so that a huge model is framed as one of radius 1000.
    float radiusSquared = 1.0f;
};

inline constexpr float MaxSceneRadiusSquared = 1000000.0f;

// Reads a model for the preview: readModel, the "Preview" settings section
// cleared, and on failure its "Status" value set to the reason the panel
// shows; then indices generated, the profile of the file's format, and the
// model brought to the preview's conventions. `store` may be null.
OperationResult loadPreviewModel(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                                 const SettingsStore* store, Failure* failure = nullptr);

// The text stored under "Preview"/"Status" when a file cannot be read.
std::string previewFailureText(const std::filesystem::path& path);

// One mesh per object, in order: placed vertices, their colours (or the
// default grey) and texture coordinates; a corner whose vertex number is
// out of range, or whose vertex is not finite, sits at the origin. Asks
// whether to stop every 100 corners.
OperationResult buildPreviewScene(const Model& model, PreviewScene& scene, ProgressReporter& reporter);

// The preview's lighting, as the shaders compute it: the ambient light, one
// directional light and a light from the eye, for a face of unit normal
// `normal` seen along `viewDirection`. The factor multiplies the colour.
struct PreviewLighting {
    static constexpr float GlobalAmbient = 200.0f / 255.0f; // 0xFFC8C8C8
    static constexpr float LightAmbient = 0.1f;
    static constexpr Vector3 LightDirection{0.30151134f, -0.90453403f, 0.30151134f}; // unit (0.1, -0.3, 0.1)
    // Shares of the ambient colour, the directional light and the eye light.
    static constexpr float AmbientShare = 0.5f;
    static constexpr float DirectionalShare = 0.45f;
    static constexpr float EyeShare = 0.35f;
};
float previewLightFactor(const Vector3& normal, const Vector3& viewDirection);
// A vertex colour lit for a face, alpha kept; `texel` (0xAARRGGBB)
// modulates it when the mesh is textured.
ArgbColor previewShadedColor(ArgbColor color, const Vector3& normal, const Vector3& viewDirection,
                             ArgbColor texel = 0xFFFFFFFFu);

// The axis lines: from the origin, 50 units along +x, +y and +z.
struct AxisLine {
    Vector3 end;
    ArgbColor color;
};
inline constexpr AxisLine AxisLines[3] = {
    {{50, 0, 0}, 0xFFFF5050u},
    {{0, 50, 0}, 0xFF00FF00u},
    {{0, 0, 50}, 0xFF00C8FFu},
};
inline constexpr ArgbColor PreviewBackground = 0xFF808080u;

} // namespace morvex

#pragma once

#include "preview/orbit_camera.h"
#include "preview/preview_scene.h"
#include "preview/texture_cache.h"

#include <QOpenGLExtraFunctions>
#include <QOpenGLShaderProgram>

#include <memory>
#include <string>
#include <vector>

namespace morvex {

// Textures of the scene's meshes taken from the cache; a mesh whose texture
// does not load (another image type, a missing file) is drawn untextured.
void acquireSceneTextures(PreviewScene& scene, TextureCache& cache);

// Draws the axis lines and a scene with OpenGL 3.3 core, into whatever
// framebuffer is bound, in the context that is current when initialize()
// is called; every call must come with that context current. The scene's
// vertex buffers are made once by setScene and drawn unchanged every frame.
class PreviewRenderer {
public:
    explicit PreviewRenderer(TextureCache& textures) : textures_(textures) {}
    ~PreviewRenderer();
    PreviewRenderer(const PreviewRenderer&) = delete;
    PreviewRenderer& operator=(const PreviewRenderer&) = delete;

    // Compiles the shaders and makes the axis lines; false with `error`.
    bool initialize(std::string& error);
    bool initialized() const { return program_ != nullptr; }

    // Uploads the scene (whose textures were acquired) and frees its
    // arrays; the textures of the previous scene are released.
    void setScene(PreviewScene&& scene);
    void clearScene();
    bool hasScene() const { return !meshes_.empty(); }
    float sceneRadiusSquared() const { return radiusSquared_; }

    void render(OrbitCamera& camera, int width, int height);

    // Deletes every GL object; the context must be current.
    void release();

private:
    struct GpuMesh {
        GLuint vertexArray = 0;
        GLuint buffer = 0;
        GLuint indexBuffer = 0;
        GLsizei count = 0; // indices
        std::string texture;
    };
    GpuMesh upload(const std::vector<PreviewVertex>& vertices, const std::vector<std::uint32_t>& indices);
    void deleteMesh(GpuMesh& mesh);
    void setConstants(OrbitCamera& camera);
    void drawAxisLines();
    void drawMeshes();

    TextureCache& textures_;
    QOpenGLExtraFunctions gl_;
    std::unique_ptr<QOpenGLShaderProgram> program_;
    GpuMesh axes_;
    std::vector<GpuMesh> meshes_;
    float radiusSquared_ = 1.0f;
};

} // namespace morvex

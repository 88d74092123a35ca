#pragma once

#include "preview/orbit_camera.h"
#include "preview/preview_renderer.h"
#include "preview/preview_scene.h"
#include "preview/texture_cache.h"

#include <QImage>
#include <QOffscreenSurface>
#include <QOpenGLContext>

#include <memory>
#include <string>

namespace morvex {

// The preview's renderer without a window: an OpenGL 3.3 core context on an
// offscreen surface, drawing into a multisampled framebuffer that is read
// back as an image. Needs a QGuiApplication; every call must come from the
// thread that made it.
class OffscreenRenderer {
public:
    OffscreenRenderer();
    ~OffscreenRenderer();

    bool create(std::string& error);
    // Draws the scene as the panel shows it once loaded: the camera fitted
    // to the scene, then turned by the angles (degrees) about its vertical
    // and horizontal axes. A null image when drawing failed.
    QImage render(PreviewScene&& scene, int width, int height, double yawDegrees = 0.0, double pitchDegrees = 0.0);
    // Draws what is loaded with the camera as it is.
    QImage render(OrbitCamera& camera, int width, int height);

    TextureCache& textures() { return textures_; }

private:
    TextureCache textures_;
    QOpenGLContext context_;
    QOffscreenSurface surface_;
    std::unique_ptr<PreviewRenderer> renderer_;
};

} // namespace morvex

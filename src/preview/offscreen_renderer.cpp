#include "preview/offscreen_renderer.h"

#include "preview/preview_format.h"
#include "preview/rendering_display.h"

#include <QOpenGLFramebufferObject>

#include <numbers>

namespace morvex {

OffscreenRenderer::OffscreenRenderer() = default;

OffscreenRenderer::~OffscreenRenderer()
{
    if (renderer_ && context_.makeCurrent(&surface_)) {
        renderer_->release();
        context_.doneCurrent();
    }
}

bool OffscreenRenderer::create(std::string& error)
{
    context_.setFormat(previewSurfaceFormat());
    if (!context_.create()) {
        error = "no OpenGL context can be made here";
        return false;
    }
    surface_.setFormat(context_.format());
    surface_.create();
    if (!context_.makeCurrent(&surface_)) {
        error = "the OpenGL context cannot be made current";
        return false;
    }
    const QSurfaceFormat made = context_.format();
    if (made.majorVersion() * 10 + made.minorVersion() < 33) {
        error = "OpenGL 3.3 is needed; this context offers " + std::to_string(made.majorVersion()) + "." +
                std::to_string(made.minorVersion());
        return false;
    }
    keepGraphicsDriversLoaded();
    renderer_ = std::make_unique<PreviewRenderer>(textures_);
    return renderer_->initialize(error);
}

QImage OffscreenRenderer::render(PreviewScene&& scene, int width, int height, double yawDegrees, double pitchDegrees)
{
    if (!renderer_ || !context_.makeCurrent(&surface_))
        return {};
    acquireSceneTextures(scene, textures_);
    renderer_->setScene(std::move(scene));
    OrbitCamera camera;
    camera.fit(renderer_->sceneRadiusSquared());
    constexpr double radiansPerDegree = std::numbers::pi / 180.0;
    camera.turn(yawDegrees * radiansPerDegree, pitchDegrees * radiansPerDegree);
    QImage image = render(camera, width, height);
    renderer_->clearScene();
    return image;
}

QImage OffscreenRenderer::render(OrbitCamera& camera, int width, int height)
{
    if (!renderer_ || !context_.makeCurrent(&surface_))
        return {};
    QOpenGLFramebufferObjectFormat format;
    format.setAttachment(QOpenGLFramebufferObject::CombinedDepthStencil);
    format.setSamples(PreviewSamples);
    QOpenGLFramebufferObject target(width, height, format);
    if (!target.isValid() || !target.bind())
        return {};
    renderer_->render(camera, width, height);
    context_.functions()->glFinish();
    QImage image = target.toImage(); // resolves the samples
    target.release();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace morvex

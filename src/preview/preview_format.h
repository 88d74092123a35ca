#pragma once

#include <QSurfaceFormat>

namespace morvex {

// Samples per pixel for the preview's anti-aliasing.
inline constexpr int PreviewSamples = 4;

// OpenGL 3.3 core with a 24-bit depth buffer and multisampling: what the
// panel and the offscreen renderer both ask for.
inline QSurfaceFormat previewSurfaceFormat()
{
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    format.setStencilBufferSize(8);
    format.setSamples(PreviewSamples);
    return format;
}

} // namespace morvex

#pragma once

#include "preview/orbit_camera.h"
#include "preview/preview_loader.h"
#include "preview/preview_renderer.h"
#include "preview/texture_cache.h"

#include <QOpenGLWidget>
#include <QPoint>
#include <QString>

#include <filesystem>
#include <memory>

namespace morvex {

// The main window's preview of the selected model file: loads it on a
// background thread, draws it with the preview renderer, and lets the user
// orbit with the mouse (left or right button) and zoom with the wheel.
//
// What the window calls: showFile() on a selection of exactly one
// convertible file (after clearPreview(), which showFile() also does),
// clearPreview() on any other selection change, and
// setHiddenDuringConversion() around a conversion run.
class PreviewPanel : public QOpenGLWidget {
    Q_OBJECT

public:
    // Reasons for unreadable files go to the "Preview" section of this
    // settings file (default: the user's).
    explicit PreviewPanel(QWidget* parent = nullptr, std::filesystem::path settingsFile = {});
    ~PreviewPanel() override;

    // Shows a model file: stops any load, and starts loading this file
    // when it exists and is not empty.
    void showFile(const QString& path);
    // Stops and waits for the loader, forgets the file, puts the camera back
    // and redraws at once.
    void clearPreview();
    // Frames the loaded scene (done when a load succeeds).
    void fitCamera();
    // Hidden and cleared while a conversion runs; shown again after.
    void setHiddenDuringConversion(bool converting);

    const QString& shownPath() const { return path_; }
    bool isLoading() const { return loading_; }
    bool isLoaded() const { return loaded_; }
    float sceneRadiusSquared() const;
    OrbitCamera& camera() { return camera_; }

signals:
    void loadSucceeded(const QString& path);
    void loadFailed(const QString& path, const QString& reason);

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void loadFinished(unsigned generation, PreviewLoadResult outcome);
    void uploadPendingScene();
    void releaseGl();
    void drawMessage(const QString& text, bool placeholder);

    std::filesystem::path settingsFile_;
    TextureCache textures_;
    std::unique_ptr<PreviewRenderer> renderer_;
    std::shared_ptr<PreviewScene> pending_; // loaded, not yet on the GPU
    PreviewLoader loader_;
    OrbitCamera camera_;
    QString path_;
    bool loading_ = false;
    bool loaded_ = false;
    unsigned generation_ = 0; // which load a finished result belongs to
    QPoint lastMouse_;
};

} // namespace morvex

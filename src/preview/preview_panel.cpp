#include "preview/preview_panel.h"

#include "preview/preview_format.h"
#include "support/settings/settings_store.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QPainter>
#include <QWheelEvent>

namespace morvex {

PreviewPanel::PreviewPanel(QWidget* parent, std::filesystem::path settingsFile)
    : QOpenGLWidget(parent),
      settingsFile_(settingsFile.empty() ? SettingsStore::forUser().filePath() : std::move(settingsFile))
{
    setFormat(previewSurfaceFormat());
    setFocusPolicy(Qt::ClickFocus);
    setMinimumSize(64, 64);
}

PreviewPanel::~PreviewPanel()
{
    loader_.stop();
    if (pending_)
        releaseSceneTextures(*pending_, textures_);
    releaseGl();
    // The base class destroys the context after this object is gone.
    if (context() != nullptr)
        disconnect(context(), nullptr, this, nullptr);
}

void PreviewPanel::showFile(const QString& path)
{
    clearPreview();
    path_ = path;
    const QFileInfo file(path);
    if (!file.isFile() || file.size() == 0)
        return;
    loading_ = true;
    const unsigned generation = generation_;
    loader_.start(path.toStdString(), settingsFile_, textures_, [this, generation](PreviewLoadResult outcome) {
        QMetaObject::invokeMethod(
            this, [this, generation, outcome = std::move(outcome)]() mutable { loadFinished(generation, outcome); },
            Qt::QueuedConnection);
    });
    update();
}

void PreviewPanel::clearPreview()
{
    loader_.stop();
    ++generation_; // results of the stopped load that are still on their way are dropped
    path_.clear();
    loading_ = false;
    loaded_ = false;
    if (pending_) {
        releaseSceneTextures(*pending_, textures_);
        pending_.reset();
    }
    if (renderer_ && context() != nullptr) {
        makeCurrent();
        renderer_->clearScene();
        doneCurrent();
    }
    camera_.reset();
    repaint();
}

void PreviewPanel::fitCamera()
{
    camera_.fit(sceneRadiusSquared());
    update();
}

void PreviewPanel::setHiddenDuringConversion(bool converting)
{
    if (converting)
        clearPreview();
    setVisible(!converting);
}

void PreviewPanel::loadFinished(unsigned generation, PreviewLoadResult outcome)
{
    if (generation != generation_) {
        if (outcome.scene)
            releaseSceneTextures(*outcome.scene, textures_);
        return;
    }
    loader_.stop(); // the thread has finished its work: reap it
    loading_ = false;
    if (outcome.result != OperationResult::Success || !outcome.scene) {
        update();
        emit loadFailed(path_, QString::fromStdString(outcome.reason));
        return;
    }
    pending_ = std::move(outcome.scene);
    if (renderer_) {
        makeCurrent();
        uploadPendingScene();
        doneCurrent();
    }
    loaded_ = true;
    fitCamera();
    emit loadSucceeded(path_);
}

// With the context current: the loaded scene goes to the GPU once.
void PreviewPanel::uploadPendingScene()
{
    if (!pending_ || !renderer_)
        return;
    renderer_->setScene(std::move(*pending_));
    pending_.reset();
}

float PreviewPanel::sceneRadiusSquared() const
{
    if (pending_)
        return pending_->radiusSquared;
    return renderer_ ? renderer_->sceneRadiusSquared() : 1.0f;
}

void PreviewPanel::initializeGL()
{
    // A new context (the widget moved to another window): the old GL
    // objects went with the old one.
    releaseGl();
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &PreviewPanel::releaseGl, Qt::DirectConnection);
    auto renderer = std::make_unique<PreviewRenderer>(textures_);
    std::string error;
    if (renderer->initialize(error))
        renderer_ = std::move(renderer);
    else
        qWarning("morvex: %s", error.c_str());
    // A file loaded before the context existed goes up now.
    uploadPendingScene();
}

void PreviewPanel::releaseGl()
{
    if (!renderer_)
        return;
    if (context() != nullptr && QOpenGLContext::currentContext() != context())
        makeCurrent();
    renderer_->release();
    renderer_.reset();
    loaded_ = false; // the meshes went with the context
}

void PreviewPanel::resizeGL(int width, int height)
{
    camera_.setViewport(width, height);
}

void PreviewPanel::paintGL()
{
    const qreal ratio = devicePixelRatioF();
    const int width = static_cast<int>(this->width() * ratio);
    const int height = static_cast<int>(this->height() * ratio);
    if (loading_) {
        drawMessage(tr("Loading"), false);
        return;
    }
    if (!loaded_ || !renderer_) {
        drawMessage(tr("Select one model file to see it here"), true);
        return;
    }
    renderer_->render(camera_, width, height);
}

// The grey background with a line of text: white "Loading" while a file
// loads, a faint hint (the placeholder) while none is shown.
void PreviewPanel::drawMessage(const QString& text, bool placeholder)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgba(PreviewBackground));
    painter.setPen(placeholder ? QColor(0xD8, 0xD8, 0xD8) : QColor(Qt::white));
    QFont font = painter.font();
    font.setPointSizeF(font.pointSizeF() * (placeholder ? 1.0 : 1.5));
    painter.setFont(font);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, text);
}

void PreviewPanel::mousePressEvent(QMouseEvent* event)
{
    lastMouse_ = event->position().toPoint();
    setFocus(Qt::MouseFocusReason);
}

void PreviewPanel::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    const QPoint moved = at - lastMouse_;
    lastMouse_ = at;
    setFocus(Qt::MouseFocusReason);
    if (!(event->buttons() & (Qt::LeftButton | Qt::RightButton)))
        return;
    camera_.orbitByPixels(moved.x(), moved.y());
    update();
}

void PreviewPanel::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    camera_.zoomByWheel(delta);
    update();
    event->accept();
}

void PreviewPanel::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down: update(); break;
    default: QOpenGLWidget::keyPressEvent(event);
    }
}

} // namespace morvex

#pragma once

// Shared by the preview's tests: model files written to disk, drawing them
// through the offscreen renderer, and reading the picture back.

#include "common/test_support.h"
#include "preview/offscreen_renderer.h"
#include "preview/orbit_camera.h"
#include "preview/preview_scene.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace morvex::testing {

// Runs the event loop until `done` holds or a generous time has passed.
template <typename Condition>
bool processEventsUntil(Condition done, int milliseconds = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// The one offscreen renderer of the test program (made on first use, on
// the main thread, under the program's QApplication); null when this
// machine cannot draw, with the reason in `why`.
OffscreenRenderer* sharedRenderer(std::string* why = nullptr);

#define MORVEX_REQUIRE_RENDERER()                                                    \
    std::string whyNoRenderer;                                                       \
    OffscreenRenderer* renderer = ::morvex::testing::sharedRenderer(&whyNoRenderer); \
    ASSERT_NE(renderer, nullptr) << whyNoRenderer

// Reads a file into a scene as the panel does; fails the test on error.
PreviewScene loadScene(const std::filesystem::path& path);

// An ASCII PLY of an axis-aligned box with one colour on every vertex.
std::string coloredBoxPly(const Vector3& min, const Vector3& max, ArgbColor color);
// An ASCII STL of an axis-aligned box, plus a zero-area triangle at
// `farPoint` when given (it counts for the radius but draws nothing).
std::string boxStl(const Vector3& min, const Vector3& max, std::optional<Vector3> farPoint = std::nullopt);

// The pixel of a scene point, with the camera's matrices computed here.
struct Pixel {
    int x = 0;
    int y = 0;
};
Pixel projectToPixel(OrbitCamera& camera, const Vector3& point);

// Largest difference of the colour channels (alpha ignored).
int channelDistance(QRgb a, ArgbColor b);
// Whether a pixel is the background blended with `color` by at least
// `share` (0 to 1), as the edge pixels of an anti-aliased line are.
bool blendsTowards(QRgb pixel, ArgbColor color, double share);
// The pixel nearest in colour to `wanted` within `radius` of (x, y).
QRgb closestNear(const QImage& image, Pixel at, ArgbColor wanted, int radius);

// The box around every pixel that is not the background.
struct Silhouette {
    int left = 0, top = 0, right = -1, bottom = -1;
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
    bool empty() const { return right < left; }
};
Silhouette silhouetteOf(const QImage& image);

} // namespace morvex::testing

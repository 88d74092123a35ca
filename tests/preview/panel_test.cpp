#include "preview_test_support.h"

#include "preview/preview_panel.h"
#include "support/settings/settings_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QWheelEvent>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace morvex {
namespace {

using namespace morvex::testing;

// A binary STL of many small triangles, big enough that reading it takes a
// while.
void writeLargeStl(const std::filesystem::path& path, std::uint32_t triangles)
{
    std::string bytes(84 + std::size_t(triangles) * 50, '\0');
    std::memcpy(bytes.data() + 80, &triangles, 4);
    for (std::uint32_t t = 0; t < triangles; ++t) {
        float facet[12] = {0, 0, 1};
        const float x = static_cast<float>(t % 1000);
        const float y = static_cast<float>(t / 1000);
        const float corners[9] = {x, y, 0, x + 1, y, 0, x, y + 1, 0};
        std::memcpy(facet + 3, corners, sizeof corners);
        std::memcpy(bytes.data() + 84 + std::size_t(t) * 50, facet, sizeof facet);
    }
    writeFile(path, bytes);
}

TEST(PreviewPanel, LoadsCancelsOnANewSelectionAndClears)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    writeLargeStl(dir / "large.stl", 400000);
    writeFile(dir / "box.ply", coloredBoxPly({-10, -10, -10}, {10, 10, 10}, 0xFF20A040u));
    writeFile(dir / "broken.stl", "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 1 2\n");
    const std::filesystem::path settingsFile = dir / "Morvex.ini";

    PreviewPanel panel(nullptr, settingsFile);
    panel.resize(320, 240);
    panel.show();
    ASSERT_TRUE(processEventsUntil([&] { return panel.isValid(); }));
    QSignalSpy succeeded(&panel, &PreviewPanel::loadSucceeded);
    QSignalSpy failed(&panel, &PreviewPanel::loadFailed);

    // The placeholder: no file, the background colour in a corner.
    EXPECT_FALSE(panel.isLoading());
    EXPECT_EQ(panel.grabFramebuffer().pixel(0, 0), PreviewBackground);

    // A large file starts loading; selecting another one at once stops it:
    // only the second file's load ever reports, and its scene is shown.
    panel.showFile(QString::fromStdString((dir / "large.stl").string()));
    EXPECT_TRUE(panel.isLoading());
    panel.showFile(QString::fromStdString((dir / "box.ply").string()));
    ASSERT_TRUE(processEventsUntil([&] { return !panel.isLoading(); }));
    ASSERT_EQ(succeeded.count(), 1);
    EXPECT_EQ(succeeded.at(0).at(0).toString().toStdString(), (dir / "box.ply").string());
    EXPECT_TRUE(panel.isLoaded());
    EXPECT_NEAR(panel.sceneRadiusSquared(), 300.0f, 1e-3f);
    // fitCamera framed it: three radii away, zoom 1.
    const Vector3 eye = panel.camera().eye();
    EXPECT_NEAR(std::sqrt(eye.x * eye.x + eye.y * eye.y + eye.z * eye.z), 3.0f * std::sqrt(300.0f), 1e-3f);
    QImage shown = panel.grabFramebuffer();
    EXPECT_EQ(shown.pixel(0, 0), PreviewBackground);
    EXPECT_FALSE(silhouetteOf(shown).empty());
    // The same picture as the offscreen renderer draws.
    const Pixel top = projectToPixel(panel.camera(), {0, 10, 0});
    EXPECT_LE(channelDistance(shown.pixel(top.x, top.y),
                              previewShadedColor(0xFF20A040u, {0, 1, 0}, panel.camera().viewDirection())),
              3);

    // Dragging with the right button turns the eye about the target at a
    // quarter degree per pixel (40 pixels: 10 degrees) about the camera's
    // vertical axis, keeping its distance; the wheel turned away from the
    // user zooms by 0.9.
    const Vector3 before = panel.camera().eye();
    const QPointF from(100, 100);
    QMouseEvent press(QEvent::MouseButtonPress, from, panel.mapToGlobal(from), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&panel, &press);
    const QPointF to(140, 100);
    QMouseEvent drag(QEvent::MouseMove, to, panel.mapToGlobal(to), Qt::NoButton, Qt::RightButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&panel, &drag);
    // The camera's vertical axis is perpendicular to the line of sight, so
    // the eye turns by exactly that angle as seen from the target.
    const Vector3 after = panel.camera().eye();
    const auto length = [](const Vector3& v) {
        return std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
    };
    EXPECT_NEAR(length(after), length(before), 1e-3);
    const double turned =
        std::acos((double(before.x) * after.x + double(before.y) * after.y + double(before.z) * after.z) /
                  (length(before) * length(after)));
    EXPECT_NEAR(turned, 40 * OrbitRadiansPerPixel, 1e-4);
    // Moving without a button pressed turns nothing.
    QMouseEvent hover(QEvent::MouseMove, from, panel.mapToGlobal(from), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&panel, &hover);
    EXPECT_EQ(panel.camera().eye(), after);
    QWheelEvent wheel(from, panel.mapToGlobal(from), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&panel, &wheel);
    EXPECT_NEAR(panel.camera().zoom(), 0.9f, 1e-6f);
    EXPECT_NE(panel.grabFramebuffer(), shown);

    // clearPreview: nothing loaded, the camera back at the start, the
    // placeholder drawn.
    panel.clearPreview();
    EXPECT_FALSE(panel.isLoaded());
    EXPECT_TRUE(panel.shownPath().isEmpty());
    EXPECT_EQ(panel.camera().eye(), DefaultEye);
    EXPECT_EQ(panel.camera().zoom(), 1.0f);

    // A file that cannot be read: failure with the reason, kept in the
    // settings for the status line.
    panel.showFile(QString::fromStdString((dir / "broken.stl").string()));
    ASSERT_TRUE(processEventsUntil([&] { return !panel.isLoading(); }));
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed.at(0).at(1).toString().toStdString(),
              "File cannot be converted, may not be supported or may be corrupted.");
    EXPECT_EQ(SettingsStore(settingsFile).readText("Preview", "Status"),
              "File cannot be converted, may not be supported or may be corrupted.");
    EXPECT_EQ(succeeded.count(), 1);

    // Hidden during a conversion, and cleared.
    panel.showFile(QString::fromStdString((dir / "large.stl").string()));
    panel.setHiddenDuringConversion(true);
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(panel.isLoading());
    panel.setHiddenDuringConversion(false);
    EXPECT_TRUE(panel.isVisible());
    processEventsUntil([] { return false; }, 200);
    EXPECT_EQ(succeeded.count(), 1);
}

} // namespace
} // namespace morvex

#include "preview_test_support.h"

#include "preview/rendering_display.h"
#include "support/progress/progress_reporter.h"

#include <QApplication>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace morvex::testing {
namespace {

// The program's QApplication, made before any test runs: the widget tests
// need a QApplication, the renderer a QGuiApplication, and either wants the
// virtual display set up first. The tests always draw on a private virtual
// display, never on the desktop of whoever runs them, and on the X11
// platform: Qt's "offscreen" platform has no OpenGL widgets.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        std::string error;
        if (!prepareRenderingDisplay(error))
            displayProblem = error;
        static int argc = 1;
        static char name[] = "test_preview";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override
    {
        renderer.reset();
        application.reset();
    }

    std::string displayProblem;
    std::unique_ptr<QApplication> application;
    std::unique_ptr<OffscreenRenderer> renderer;
    std::string rendererProblem;
    bool rendererTried = false;
};

QtEnvironment* environment = static_cast<QtEnvironment*>(::testing::AddGlobalTestEnvironment(new QtEnvironment));

std::string facet(const Vector3& a, const Vector3& b, const Vector3& c)
{
    auto vertex = [](const Vector3& p) {
        return "   vertex " + std::to_string(p.x) + " " + std::to_string(p.y) + " " + std::to_string(p.z) + "\n";
    };
    return " facet normal 0 0 0\n  outer loop\n" + vertex(a) + vertex(b) + vertex(c) + "  endloop\n endfacet\n";
}

// The eight corners of a box; the faces below wind counter-clockwise seen
// from outside in right-handed coordinates.
struct Box {
    Vector3 corners[8];
    static constexpr int Faces[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                                        {2, 3, 7, 6}, {1, 2, 6, 5}, {0, 4, 7, 3}};
    Box(const Vector3& lo, const Vector3& hi)
    {
        for (int i = 0; i < 8; ++i)
            corners[i] = {(i == 1 || i == 2 || i == 5 || i == 6) ? hi.x : lo.x,
                          (i == 2 || i == 3 || i == 6 || i == 7) ? hi.y : lo.y, i >= 4 ? hi.z : lo.z};
    }
};

} // namespace

OffscreenRenderer* sharedRenderer(std::string* why)
{
    if (!environment->rendererTried) {
        environment->rendererTried = true;
        auto made = std::make_unique<OffscreenRenderer>();
        if (made->create(environment->rendererProblem))
            environment->renderer = std::move(made);
        else if (!environment->displayProblem.empty())
            environment->rendererProblem += " (" + environment->displayProblem + ")";
    }
    if (why != nullptr)
        *why = environment->rendererProblem;
    return environment->renderer.get();
}

PreviewScene loadScene(const std::filesystem::path& path)
{
    StoppableReporter reporter;
    Model model;
    Failure failure;
    EXPECT_EQ(loadPreviewModel(path, model, reporter, nullptr, &failure), OperationResult::Success)
        << path << ": " << describeFailure(failure);
    PreviewScene scene;
    EXPECT_EQ(buildPreviewScene(model, scene, reporter), OperationResult::Success);
    return scene;
}

std::string coloredBoxPly(const Vector3& lo, const Vector3& hi, ArgbColor color)
{
    const Box box(lo, hi);
    std::string text = "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\nproperty float "
                       "z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nelement face 6\nproperty "
                       "list uchar int vertex_indices\nend_header\n";
    for (const Vector3& p : box.corners)
        text += std::to_string(p.x) + " " + std::to_string(p.y) + " " + std::to_string(p.z) + " " +
                std::to_string((color >> 16) & 0xFF) + " " + std::to_string((color >> 8) & 0xFF) + " " +
                std::to_string(color & 0xFF) + "\n";
    for (const auto& face : Box::Faces)
        text += "4 " + std::to_string(face[0]) + " " + std::to_string(face[1]) + " " + std::to_string(face[2]) + " " +
                std::to_string(face[3]) + "\n";
    return text;
}

std::string boxStl(const Vector3& lo, const Vector3& hi, std::optional<Vector3> farPoint)
{
    const Box box(lo, hi);
    std::string text = "solid box\n";
    for (const auto& face : Box::Faces) {
        text += facet(box.corners[face[0]], box.corners[face[1]], box.corners[face[2]]);
        text += facet(box.corners[face[0]], box.corners[face[2]], box.corners[face[3]]);
    }
    if (farPoint)
        text += facet(*farPoint, *farPoint, *farPoint);
    return text + "endsolid box\n";
}

Pixel projectToPixel(OrbitCamera& camera, const Vector3& point)
{
    const Matrix4 m = multiply(camera.view(), camera.projection());
    double clip[4];
    for (int column = 0; column < 4; ++column)
        clip[column] = point.x * m.m[0][column] + point.y * m.m[1][column] + point.z * m.m[2][column] + m.m[3][column];
    const double x = clip[0] / clip[3];
    const double y = clip[1] / clip[3];
    return Pixel{static_cast<int>(std::floor((x + 1.0) / 2.0 * camera.width())),
                 static_cast<int>(std::floor((1.0 - y) / 2.0 * camera.height()))};
}

int channelDistance(QRgb a, ArgbColor b)
{
    return std::max({std::abs(qRed(a) - static_cast<int>((b >> 16) & 0xFF)),
                     std::abs(qGreen(a) - static_cast<int>((b >> 8) & 0xFF)),
                     std::abs(qBlue(a) - static_cast<int>(b & 0xFF))});
}

bool blendsTowards(QRgb pixel, ArgbColor color, double share)
{
    const int got[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
    double found = -1.0;
    for (int channel = 0; channel < 3; ++channel) {
        const int shift = 16 - 8 * channel;
        const int from = static_cast<int>((PreviewBackground >> shift) & 0xFF);
        const int to = static_cast<int>((color >> shift) & 0xFF);
        if (std::abs(to - from) < 64) {
            if (std::abs(got[channel] - from) > 12 + std::abs(to - from))
                return false;
            continue;
        }
        const double part = double(got[channel] - from) / (to - from);
        if (found >= 0.0 && std::abs(part - found) > 0.1)
            return false;
        found = found < 0.0 ? part : (found + part) / 2;
    }
    return found >= share;
}

QRgb closestNear(const QImage& image, Pixel at, ArgbColor wanted, int radius)
{
    QRgb best = image.pixel(std::clamp(at.x, 0, image.width() - 1), std::clamp(at.y, 0, image.height() - 1));
    for (int y = at.y - radius; y <= at.y + radius; ++y)
        for (int x = at.x - radius; x <= at.x + radius; ++x)
            if (image.valid(x, y) && channelDistance(image.pixel(x, y), wanted) < channelDistance(best, wanted))
                best = image.pixel(x, y);
    return best;
}

Silhouette silhouetteOf(const QImage& image)
{
    Silhouette box{image.width(), image.height(), -1, -1};
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (channelDistance(image.pixel(x, y), PreviewBackground) > 8) {
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
            }
    if (box.right < 0)
        return Silhouette{};
    return box;
}

} // namespace morvex::testing

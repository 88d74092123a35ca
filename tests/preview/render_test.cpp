#include "preview_test_support.h"

#include "support/progress/progress_reporter.h"
#include "support/settings/settings_store.h"

#include <QImage>

#include <cmath>

namespace morvex {
namespace {

using namespace morvex::testing;

constexpr int Width = 320;
constexpr int Height = 240;

// The camera the renderer uses for a freshly loaded scene.
OrbitCamera fittedCamera(float radiusSquared)
{
    OrbitCamera camera;
    camera.setViewport(Width, Height);
    camera.fit(radiusSquared);
    return camera;
}

QImage renderFile(OffscreenRenderer& renderer, const std::filesystem::path& path, float* radiusSquared = nullptr)
{
    PreviewScene scene = loadScene(path);
    if (radiusSquared != nullptr)
        *radiusSquared = scene.radiusSquared;
    QImage image = renderer.render(std::move(scene), Width, Height);
    EXPECT_FALSE(image.isNull());
    return image;
}

TEST(PreviewRendering, BackgroundFacesAndAxisLinesHaveTheirColours)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    const ArgbColor color = 0xFF4080C0u;
    writeFile(dir / "box.ply", coloredBoxPly({-10, -10, -10}, {10, 10, 10}, color));
    float radiusSquared = 0;
    const QImage image = renderFile(*renderer, dir / "box.ply", &radiusSquared);
    EXPECT_NEAR(radiusSquared, 300.0f, 1e-3f);

    EXPECT_EQ(image.pixel(0, 0), PreviewBackground);
    EXPECT_EQ(image.pixel(Width - 1, Height - 1), PreviewBackground);

    // Only the faces turned towards the eye survive culling: the top face
    // above the middle, and the two side faces below it.
    OrbitCamera camera = fittedCamera(radiusSquared);
    const Vector3 view = camera.viewDirection();
    const struct {
        Vector3 point;
        Vector3 normal;
    } faces[] = {{{0, 10, 0}, {0, 1, 0}}, {{10, -3, 0}, {1, 0, 0}}, {{0, -3, 10}, {0, 0, 1}}};
    for (const auto& face : faces) {
        const Pixel at = projectToPixel(camera, face.point);
        const ArgbColor expected = previewShadedColor(color, face.normal, view);
        EXPECT_LE(channelDistance(image.pixel(at.x, at.y), expected), 3)
            << "face of normal (" << face.normal.x << ", " << face.normal.y << ", " << face.normal.z << ") at " << at.x
            << "," << at.y << ": " << std::hex << image.pixel(at.x, at.y) << " for " << expected;
    }

    // The axis lines, drawn under the box, where they leave its outline:
    // at the farthest point of each that is still in the picture.
    for (const AxisLine& line : AxisLines) {
        const auto wellInside = [&image](Pixel p) {
            return image.valid(p.x - 3, p.y - 3) && image.valid(p.x + 3, p.y + 3);
        };
        Pixel at{-1, -1};
        for (float t = 1.0f; t > 0.25f && !wellInside(at); t -= 0.01f)
            at = projectToPixel(camera, {line.end.x * t, line.end.y * t, line.end.z * t});
        ASSERT_TRUE(image.valid(at.x, at.y));
        EXPECT_TRUE(blendsTowards(closestNear(image, at, line.color, 2), line.color, 0.45))
            << "axis line of colour " << std::hex << line.color << " near " << std::dec << at.x << "," << at.y;
    }
}

// Two triangles over four used vertices, a fifth vertex far away that no
// corner uses, and one corner whose vertex number is out of range.
ModelObject& twoTriangles(Model& model)
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(5) && object.indices.allocate(6));
    const Vector3 points[5] = {{0, 0, 0}, {4, 0, 0}, {0, 3, 0}, {4, 3, 0}, {5000, 0, 0}};
    const std::uint32_t corners[6] = {0, 1, 2, 2, 3, 9};
    for (std::uint32_t k = 0; k < 5; ++k)
        object.vertices[k] = points[k];
    for (std::uint32_t k = 0; k < 6; ++k)
        object.indices[k] = corners[k];
    return object;
}

TEST(PreviewScene, CornersShareVerticesUnlessTheirOwnColoursDiffer)
{
    StoppableReporter reporter;
    Model shared;
    ModelObject& plain = twoTriangles(shared);
    ASSERT_TRUE(plain.colors.allocate(5));
    for (std::uint32_t k = 0; k < 5; ++k)
        plain.colors[k] = 0xFF000000u | k;
    PreviewScene scene;
    ASSERT_EQ(buildPreviewScene(shared, scene, reporter), OperationResult::Success);
    ASSERT_EQ(scene.meshes.size(), 1u);
    const PreviewMesh& sharedMesh = scene.meshes[0];
    // The five vertices and one at the origin for the corner out of range.
    ASSERT_EQ(sharedMesh.vertices.size(), 6u);
    EXPECT_EQ(sharedMesh.indices, (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 5}));
    EXPECT_EQ(sharedMesh.vertices[3].color, 0xFF000003u);
    EXPECT_EQ(sharedMesh.vertices[5].position, (Vector3{0, 0, 0}));
    EXPECT_EQ(sharedMesh.vertices[5].color, DefaultVertexColor);
    // Only used vertices frame the scene: not the one 5000 units away.
    EXPECT_FLOAT_EQ(scene.radiusSquared, 25.0f);

    Model perCorner;
    ModelObject& painted = twoTriangles(perCorner);
    ASSERT_TRUE(painted.colors.allocate(6));
    for (std::uint32_t k = 0; k < 6; ++k)
        painted.colors[k] = 0xFF100000u | k;
    ASSERT_EQ(buildPreviewScene(perCorner, scene, reporter), OperationResult::Success);
    const PreviewMesh& cornerMesh = scene.meshes[0];
    ASSERT_EQ(cornerMesh.vertices.size(), 6u);
    EXPECT_EQ(cornerMesh.indices, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
    for (std::uint32_t k = 0; k < 6; ++k)
        EXPECT_EQ(cornerMesh.vertices[k].color, 0xFF100000u | k) << k;
    EXPECT_EQ(cornerMesh.vertices[4].position, (Vector3{4, 3, 0}));
    EXPECT_EQ(cornerMesh.vertices[5].position, (Vector3{0, 0, 0}));
    EXPECT_FLOAT_EQ(scene.radiusSquared, 25.0f);
}

TEST(PreviewRendering, TexturesShowOnlyFromPngAndJpegFiles)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    // Red above, blue below: the picture must not come out upside down.
    QImage texture(8, 8, QImage::Format_RGB888);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            texture.setPixel(x, y, y < 4 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
    ASSERT_TRUE(texture.save(QString::fromStdString((dir / "paint.png").string())));
    ASSERT_TRUE(texture.save(QString::fromStdString((dir / "paint.bmp").string())));
    const std::string quad = "v -10 -10 0\nv 10 -10 0\nv 10 10 0\nv -10 10 0\n"
                             "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nusemtl paint\nf 1/1 2/2 3/3 4/4\n";
    writeFile(dir / "png.mtl", "newmtl paint\nKd 1 1 1\nmap_Kd paint.png\n");
    writeFile(dir / "png.obj", "mtllib png.mtl\n" + quad);
    writeFile(dir / "bmp.mtl", "newmtl paint\nKd 1 1 1\nmap_Kd paint.bmp\n");
    writeFile(dir / "bmp.obj", "mtllib bmp.mtl\n" + quad);

    float radiusSquared = 0;
    const QImage textured = renderFile(*renderer, dir / "png.obj", &radiusSquared);
    const QImage plain = renderFile(*renderer, dir / "bmp.obj");
    OrbitCamera camera = fittedCamera(radiusSquared);
    const Vector3 view = camera.viewDirection();
    const Vector3 normal{0, 0, 1};
    const Pixel upper = projectToPixel(camera, {0, 5, 0});
    const Pixel lower = projectToPixel(camera, {0, -5, 0});
    // The texture modulates the lit default grey of the corners.
    EXPECT_LE(channelDistance(textured.pixel(upper.x, upper.y),
                              previewShadedColor(DefaultVertexColor, normal, view, 0xFFFF0000u)),
              3);
    EXPECT_LE(channelDistance(textured.pixel(lower.x, lower.y),
                              previewShadedColor(DefaultVertexColor, normal, view, 0xFF0000FFu)),
              3);
    // A ".bmp" texture is not loaded: the quad is lit grey.
    EXPECT_LE(channelDistance(plain.pixel(upper.x, upper.y), previewShadedColor(DefaultVertexColor, normal, view)), 3);
    EXPECT_EQ(plain.pixel(upper.x, upper.y), plain.pixel(lower.x, lower.y));
    // Textures are given back when the scene goes.
    EXPECT_EQ(renderer->textures().referenceCount((dir / "paint.png").string()), 0);
}

TEST(TextureCache, CountsReferencesAndLoadsOnlyPngAndJpeg)
{
    TempDir dir;
    QImage image(4, 4, QImage::Format_RGB888);
    image.fill(qRgb(10, 20, 30));
    for (const char* name : {"a.png", "b.JPG", "c.jpeg", "d.bmp", "e.gif"})
        image.save(QString::fromStdString((dir / name).string()), name[2] == 'J' ? "JPG" : nullptr);
    writeFile(dir / "f.png", "not an image");
    TextureCache cache;
    const std::string png = (dir / "a.png").string();
    EXPECT_TRUE(cache.acquire(png));
    EXPECT_TRUE(cache.acquire(png));
    EXPECT_EQ(cache.referenceCount(png), 2);
    cache.release(png);
    EXPECT_EQ(cache.referenceCount(png), 1);
    cache.release(png);
    EXPECT_EQ(cache.referenceCount(png), 0);
    cache.release(png); // one release too many changes nothing
    EXPECT_EQ(cache.referenceCount(png), 0);
    EXPECT_TRUE(cache.acquire((dir / "b.JPG").string()));
    EXPECT_TRUE(cache.acquire((dir / "c.jpeg").string()));
    for (const char* refused : {"d.bmp", "e.gif", "f.png", "missing.png"}) {
        EXPECT_FALSE(cache.acquire((dir / refused).string())) << refused;
        EXPECT_EQ(cache.referenceCount((dir / refused).string()), 0) << refused;
    }
}

TEST(PreviewRendering, ZUpStlStandsUpright)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    // A post ten times as tall (in Z, the file's up) as it is wide.
    writeFile(dir / "post.stl", boxStl({-20, -20, 0}, {20, 20, 400}));
    const Silhouette post = silhouetteOf(renderFile(*renderer, dir / "post.stl"));
    ASSERT_FALSE(post.empty());
    EXPECT_GT(post.height(), 2 * post.width()) << post.width() << "x" << post.height();
    // Lying along X instead it is wider than tall.
    writeFile(dir / "beam.stl", boxStl({0, -20, -20}, {400, 20, 20}));
    const Silhouette beam = silhouetteOf(renderFile(*renderer, dir / "beam.stl"));
    EXPECT_GT(beam.width(), beam.height()) << beam.width() << "x" << beam.height();
}

TEST(PreviewRendering, HugeModelsAreFramedAsRadius1000)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    // The same small box, with a point (a zero-area triangle) 5000, 1000 or
    // 500 units away that only counts for the radius.
    writeFile(dir / "r5000.stl", boxStl({-50, -50, -50}, {50, 50, 50}, Vector3{5000, 0, 0}));
    writeFile(dir / "r1000.stl", boxStl({-50, -50, -50}, {50, 50, 50}, Vector3{1000, 0, 0}));
    writeFile(dir / "r500.stl", boxStl({-50, -50, -50}, {50, 50, 50}, Vector3{0, 0, 500}));
    float radiusSquared = 0;
    const QImage huge = renderFile(*renderer, dir / "r5000.stl", &radiusSquared);
    EXPECT_EQ(radiusSquared, MaxSceneRadiusSquared);
    const QImage capped = renderFile(*renderer, dir / "r1000.stl");
    const QImage nearer = renderFile(*renderer, dir / "r500.stl");
    EXPECT_EQ(huge, capped);
    EXPECT_FALSE(silhouetteOf(huge).empty());
    // A model within the cap is framed by its own radius: the box looks
    // twice as large.
    EXPECT_NEAR(silhouetteOf(nearer).height(), 2 * silhouetteOf(capped).height(), 6);
}

TEST(PreviewRendering, UnreadableFilesLeaveTheirReasonInTheSettings)
{
    TempDir dir;
    SettingsStore store(dir / "Morvex.ini");
    StoppableReporter reporter;
    writeFile(dir / "broken.stl", "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 1 2\n");
    writeFile(dir / "other.mdl", std::string("IDST") + std::string(60, '\0'));
    writeFile(dir / "good.stl", boxStl({0, 0, 0}, {1, 1, 1}));
    Model model;
    EXPECT_EQ(loadPreviewModel(dir / "broken.stl", model, reporter, &store), OperationResult::Failure);
    EXPECT_EQ(store.readText("Preview", "Status"),
              "File cannot be converted, may not be supported or may be corrupted.");
    Model mdl;
    if (loadPreviewModel(dir / "other.mdl", mdl, reporter, &store) == OperationResult::Failure) {
        EXPECT_EQ(store.readText("Preview", "Status"),
                  "Unsupported format. MDL formats IDPO, MDL2, MDL3, MDL4, MDL5 and MDL7 are supported.");
    }
    // A file that reads clears the reason.
    Model good;
    EXPECT_EQ(loadPreviewModel(dir / "good.stl", good, reporter, &store), OperationResult::Success);
    EXPECT_FALSE(store.valueExists("Preview", "Status"));
    EXPECT_EQ(good.profile.upAxis, UpAxis::Y);
    EXPECT_EQ(good.profile.handedness, Handedness::Left);
    EXPECT_EQ(good.profile.winding, Winding::CounterClockwise);
}

} // namespace
} // namespace morvex

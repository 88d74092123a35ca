#include "preview/preview_renderer.h"

#include <cstddef>
#include <cstdint>
#include <numeric>

namespace morvex {
namespace {

// The constants follow the layout of the panel's shader constants:
// world-view-projection, inverse world, view, projection, the material's
// diffuse, ambient, specular and emissive colours, its power, the eye, the
// view direction and the flags (perspective, unlit, texture blend). Matrices
// are handed over as stored (row-major, for row vectors): GLSL then reads
// them transposed, so `matrix * vector` is the row-vector product.
constexpr const char* VertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 2) in vec4 color;
layout(location = 3) in vec2 texCoord;

uniform mat4 worldViewProjection;

out vec4 vertexColor;
out vec2 textureCoordinate;
out vec3 worldPosition;

void main()
{
    vec4 clip = worldViewProjection * vec4(position, 1.0);
    // The projection maps depth to 0..w; OpenGL clips at -w..w.
    clip.z = 2.0 * clip.z - clip.w;
    gl_Position = clip;
    vertexColor = color;
    textureCoordinate = texCoord;
    worldPosition = position;
}
)";

// Faces are lit flat: the normal is the face's own, from the plane of the
// positions around the fragment, turned towards the eye (only faces that
// look at the eye are drawn).
constexpr const char* FragmentShader = R"(#version 330 core
in vec4 vertexColor;
in vec2 textureCoordinate;
in vec3 worldPosition;

uniform mat4 inverseWorld;
uniform mat4 view;
uniform mat4 projection;
uniform vec4 materialDiffuse;
uniform vec4 materialAmbient;
uniform vec4 materialSpecular;
uniform vec4 materialEmissive;
uniform vec4 materialPower;
uniform vec4 eye;
uniform vec4 viewDirection;
uniform vec4 flags; // x: perspective, y: unlit, z: texture blend
uniform vec3 lightDirection;
uniform vec4 lightShares; // ambient level, directional light, eye light
uniform sampler2D surface;

out vec4 fragmentColor;

vec3 faceNormal()
{
    vec3 plane = cross(dFdx(worldPosition), dFdy(worldPosition));
    if (dot(plane, plane) == 0.0)
        return vec3(0.0);
    vec3 n = normalize((vec4(plane, 0.0) * inverseWorld).xyz);
    vec3 towardsEye = flags.x > 0.5 ? eye.xyz - worldPosition : -viewDirection.xyz;
    return dot(n, towardsEye) < 0.0 ? -n : n;
}

vec4 litColor()
{
    vec3 n = faceNormal();
    float towardsLight = max(dot(n, -lightDirection), 0.0);
    float light = lightShares.x * materialAmbient.r + lightShares.y * towardsLight
                + lightShares.z * max(dot(n, -viewDirection.xyz), 0.0);
    float highlight = pow(max(dot(reflect(lightDirection, n), -viewDirection.xyz), 0.0), materialPower.x);
    vec3 lit = vertexColor.rgb * clamp(light, 0.0, 1.0) + materialDiffuse.rgb * towardsLight
             + materialSpecular.rgb * highlight + materialEmissive.rgb;
    return vec4(clamp(lit, 0.0, 1.0), vertexColor.a);
}

void main()
{
    vec4 c = flags.y > 0.5 ? vertexColor : litColor();
    if (flags.z > 0.0)
        c *= texture(surface, textureCoordinate);
    // Nearly transparent texels are not drawn (alpha reference 8).
    if (c.a < 8.0 / 255.0)
        discard;
    fragmentColor = c;
}
)";

const GLfloat* data(const Matrix4& m)
{
    return &m.m[0][0];
}

QVector4D colorVector(ArgbColor color)
{
    return QVector4D(((color >> 16) & 0xFF) / 255.0f, ((color >> 8) & 0xFF) / 255.0f, (color & 0xFF) / 255.0f,
                     (color >> 24) / 255.0f);
}

} // namespace

void acquireSceneTextures(PreviewScene& scene, TextureCache& cache)
{
    for (PreviewMesh& mesh : scene.meshes)
        if (!mesh.texturePath.empty() && !cache.acquire(mesh.texturePath))
            mesh.texturePath.clear();
}

PreviewRenderer::~PreviewRenderer()
{
    // Without a current context the GL objects die with it; the texture
    // references must still be given back.
    for (GpuMesh& mesh : meshes_)
        if (!mesh.texture.empty())
            textures_.release(mesh.texture);
}

bool PreviewRenderer::initialize(std::string& error)
{
    gl_.initializeOpenGLFunctions();
    auto program = std::make_unique<QOpenGLShaderProgram>();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, VertexShader) ||
        !program->addShaderFromSourceCode(QOpenGLShader::Fragment, FragmentShader) || !program->link()) {
        error = "the preview's shaders do not build: " + program->log().toStdString();
        return false;
    }
    program_ = std::move(program);
    std::vector<PreviewVertex> axisEnds;
    for (const AxisLine& line : AxisLines) {
        axisEnds.push_back(PreviewVertex{Vector3{}, line.color, TexCoord{}});
        axisEnds.push_back(PreviewVertex{line.end, line.color, TexCoord{}});
    }
    std::vector<std::uint32_t> axisIndices(axisEnds.size());
    std::iota(axisIndices.begin(), axisIndices.end(), 0u);
    axes_ = upload(axisEnds, axisIndices);
    return true;
}

PreviewRenderer::GpuMesh PreviewRenderer::upload(const std::vector<PreviewVertex>& vertices,
                                                 const std::vector<std::uint32_t>& indices)
{
    GpuMesh mesh;
    mesh.count = static_cast<GLsizei>(indices.size());
    gl_.glGenVertexArrays(1, &mesh.vertexArray);
    gl_.glBindVertexArray(mesh.vertexArray);
    gl_.glGenBuffers(1, &mesh.buffer);
    gl_.glBindBuffer(GL_ARRAY_BUFFER, mesh.buffer);
    gl_.glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(PreviewVertex)), vertices.data(),
                     GL_STATIC_DRAW);
    gl_.glGenBuffers(1, &mesh.indexBuffer);
    gl_.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mesh.indexBuffer);
    gl_.glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(std::uint32_t)),
                     indices.data(), GL_STATIC_DRAW);
    constexpr GLsizei stride = sizeof(PreviewVertex);
    const auto at = [](std::size_t offset) { return reinterpret_cast<const void*>(offset); };
    gl_.glEnableVertexAttribArray(0);
    gl_.glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, at(offsetof(PreviewVertex, position)));
    // 0xAARRGGBB in memory is B, G, R, A: the BGRA size swaps it to RGBA.
    gl_.glEnableVertexAttribArray(2);
    gl_.glVertexAttribPointer(2, GL_BGRA, GL_UNSIGNED_BYTE, GL_TRUE, stride, at(offsetof(PreviewVertex, color)));
    gl_.glEnableVertexAttribArray(3);
    gl_.glVertexAttribPointer(3, 2, GL_FLOAT, GL_FALSE, stride, at(offsetof(PreviewVertex, texCoord)));
    gl_.glBindVertexArray(0); // the array keeps the index buffer
    return mesh;
}

void PreviewRenderer::deleteMesh(GpuMesh& mesh)
{
    if (mesh.buffer != 0)
        gl_.glDeleteBuffers(1, &mesh.buffer);
    if (mesh.indexBuffer != 0)
        gl_.glDeleteBuffers(1, &mesh.indexBuffer);
    if (mesh.vertexArray != 0)
        gl_.glDeleteVertexArrays(1, &mesh.vertexArray);
    if (!mesh.texture.empty())
        textures_.release(mesh.texture);
    mesh = GpuMesh{};
}

void PreviewRenderer::setScene(PreviewScene&& scene)
{
    clearScene();
    meshes_.reserve(scene.meshes.size());
    for (PreviewMesh& mesh : scene.meshes) {
        GpuMesh gpu = upload(mesh.vertices, mesh.indices);
        gpu.texture = std::move(mesh.texturePath);
        meshes_.push_back(std::move(gpu));
        std::vector<PreviewVertex>().swap(mesh.vertices);
        std::vector<std::uint32_t>().swap(mesh.indices);
    }
    radiusSquared_ = scene.radiusSquared;
}

void PreviewRenderer::clearScene()
{
    for (GpuMesh& mesh : meshes_)
        deleteMesh(mesh);
    meshes_.clear();
    radiusSquared_ = 1.0f;
}

void PreviewRenderer::release()
{
    clearScene();
    deleteMesh(axes_);
    if (QOpenGLContext::currentContext() != nullptr)
        textures_.deleteReleased(gl_);
    program_.reset();
}

void PreviewRenderer::setConstants(OrbitCamera& camera)
{
    const Matrix4 identity;
    const Matrix4 viewProjection = multiply(camera.view(), camera.projection());
    program_->setUniformValue("flags", QVector4D(1.0f, 0.0f, 0.0f, 0.0f));
    gl_.glUniformMatrix4fv(program_->uniformLocation("worldViewProjection"), 1, GL_FALSE, data(viewProjection));
    gl_.glUniformMatrix4fv(program_->uniformLocation("inverseWorld"), 1, GL_FALSE, data(identity));
    gl_.glUniformMatrix4fv(program_->uniformLocation("view"), 1, GL_FALSE, data(camera.view()));
    gl_.glUniformMatrix4fv(program_->uniformLocation("projection"), 1, GL_FALSE, data(camera.projection()));
    // The material: no diffuse, full ambient, no specular or emissive, power 20.
    program_->setUniformValue("materialDiffuse", QVector4D(0, 0, 0, 0));
    program_->setUniformValue("materialAmbient", QVector4D(1, 1, 1, 1));
    program_->setUniformValue("materialSpecular", QVector4D(0, 0, 0, 0));
    program_->setUniformValue("materialEmissive", QVector4D(0, 0, 0, 0));
    program_->setUniformValue("materialPower", QVector4D(20, 0, 0, 0));
    const Vector3& eye = camera.eye();
    const Vector3 direction = camera.viewDirection();
    program_->setUniformValue("eye", QVector4D(eye.x, eye.y, eye.z, 0));
    program_->setUniformValue("viewDirection", QVector4D(direction.x, direction.y, direction.z, 0));
    using L = PreviewLighting;
    program_->setUniformValue("lightDirection",
                              QVector3D(L::LightDirection.x, L::LightDirection.y, L::LightDirection.z));
    program_->setUniformValue("lightShares", QVector4D(L::AmbientShare * L::GlobalAmbient + L::LightAmbient,
                                                       L::DirectionalShare, L::EyeShare, 0));
    program_->setUniformValue("surface", 0);
}

void PreviewRenderer::drawAxisLines()
{
    gl_.glDisable(GL_DEPTH_TEST);
    gl_.glDisable(GL_CULL_FACE);
    program_->setUniformValue("flags", QVector4D(1.0f, 1.0f, 0.0f, 0.0f));
    gl_.glBindVertexArray(axes_.vertexArray);
    gl_.glDrawElements(GL_LINES, axes_.count, GL_UNSIGNED_INT, nullptr);
}

void PreviewRenderer::drawMeshes()
{
    gl_.glEnable(GL_DEPTH_TEST);
    gl_.glDepthFunc(GL_LEQUAL);
    gl_.glDepthMask(GL_TRUE);
    // Counter-clockwise faces as seen on the screen are culled.
    gl_.glEnable(GL_CULL_FACE);
    gl_.glFrontFace(GL_CW);
    gl_.glCullFace(GL_BACK);
    gl_.glActiveTexture(GL_TEXTURE0);
    for (const GpuMesh& mesh : meshes_) {
        const GLuint texture = mesh.texture.empty() ? 0 : textures_.textureFor(mesh.texture, gl_);
        gl_.glBindTexture(GL_TEXTURE_2D, texture);
        program_->setUniformValue("flags", QVector4D(1.0f, 0.0f, texture != 0 ? 0.95f : 0.0f, 0.0f));
        gl_.glBindVertexArray(mesh.vertexArray);
        gl_.glDrawElements(GL_TRIANGLES, mesh.count, GL_UNSIGNED_INT, nullptr);
    }
    gl_.glBindVertexArray(0);
    gl_.glBindTexture(GL_TEXTURE_2D, 0);
}

void PreviewRenderer::render(OrbitCamera& camera, int width, int height)
{
    camera.setViewport(width, height);
    textures_.deleteReleased(gl_);
    gl_.glViewport(0, 0, camera.width(), camera.height());
    const QVector4D background = colorVector(PreviewBackground);
    gl_.glClearColor(background.x(), background.y(), background.z(), background.w());
    gl_.glClearDepthf(1.0f);
    gl_.glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    gl_.glDisable(GL_BLEND);
    gl_.glDisable(GL_STENCIL_TEST);
    if (!program_)
        return;
    program_->bind();
    setConstants(camera);
    drawAxisLines();
    drawMeshes();
    program_->release();
}

} // namespace morvex

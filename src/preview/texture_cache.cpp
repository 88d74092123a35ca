#include "preview/texture_cache.h"

#include "support/text/text.h"

namespace morvex {
namespace {

// Not defined by the core profile headers; the extension is on every
// desktop driver that matters.
constexpr GLenum TextureMaxAnisotropy = 0x84FE;
constexpr GLenum MaxTextureMaxAnisotropy = 0x84FF;

void setSampling(QOpenGLExtraFunctions& gl)
{
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    // Coordinates are (u, -v): repeating maps -v onto 1 - v.
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    if (QOpenGLContext::currentContext()->hasExtension("GL_EXT_texture_filter_anisotropic")) {
        GLfloat maximum = 1.0f;
        gl.glGetFloatv(MaxTextureMaxAnisotropy, &maximum);
        gl.glTexParameterf(GL_TEXTURE_2D, TextureMaxAnisotropy, maximum);
    }
}

} // namespace

bool TextureCache::loadsExtensionOf(const std::string& path)
{
    const std::string extension = extensionOf(path);
    return equalsIgnoreCase(extension, ".png") || equalsIgnoreCase(extension, ".jpg") ||
           equalsIgnoreCase(extension, ".jpeg");
}

bool TextureCache::acquire(const std::string& path)
{
    if (path.empty() || !loadsExtensionOf(path))
        return false;
    {
        std::lock_guard lock(mutex_);
        if (auto found = entries_.find(path); found != entries_.end()) {
            ++found->second.references;
            return true;
        }
    }
    // Read outside the lock: the drawing thread must not wait for a decoder.
    QImage image(QString::fromStdString(path));
    if (image.isNull())
        return false;
    image.convertTo(QImage::Format_RGBA8888);
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[path];
    if (entry.references++ == 0 && entry.texture == 0)
        entry.image = std::move(image);
    return true;
}

void TextureCache::release(const std::string& path)
{
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found == entries_.end() || --found->second.references > 0)
        return;
    if (found->second.texture != 0)
        released_.push_back(found->second.texture);
    entries_.erase(found);
}

int TextureCache::referenceCount(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    return found == entries_.end() ? 0 : found->second.references;
}

GLuint TextureCache::textureFor(const std::string& path, QOpenGLExtraFunctions& gl)
{
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found == entries_.end())
        return 0;
    Entry& entry = found->second;
    if (entry.texture == 0 && !entry.image.isNull()) {
        gl.glGenTextures(1, &entry.texture);
        gl.glBindTexture(GL_TEXTURE_2D, entry.texture);
        setSampling(gl);
        gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, entry.image.width(), entry.image.height(), 0, GL_RGBA,
                        GL_UNSIGNED_BYTE, entry.image.constBits());
        entry.image = QImage(); // the GPU holds it now
    }
    return entry.texture;
}

void TextureCache::deleteReleased(QOpenGLExtraFunctions& gl)
{
    std::lock_guard lock(mutex_);
    if (released_.empty())
        return;
    gl.glDeleteTextures(static_cast<GLsizei>(released_.size()), released_.data());
    released_.clear();
}

} // namespace morvex

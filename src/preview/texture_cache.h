#pragma once

#include <QImage>
#include <QOpenGLExtraFunctions>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvex {

// The preview's textures by path, each with a count of the meshes that use
// it. Images are read on any thread (the loader's); the GL texture is made
// on the drawing thread the first time it is bound, and a texture whose last
// reference is released is deleted there at the next draw. Only ".png",
// ".jpg" and ".jpeg" files load; images without alpha get alpha 0xFF.
class TextureCache {
public:
    static bool loadsExtensionOf(const std::string& path);

    // One more reference; false (and no reference) when the file is of
    // another type or cannot be read as an image.
    bool acquire(const std::string& path);
    // One reference less; the last frees the texture.
    void release(const std::string& path);
    int referenceCount(const std::string& path) const;

    // On the drawing thread: the GL texture of an acquired path (made now
    // if needed), 0 when the path holds none.
    GLuint textureFor(const std::string& path, QOpenGLExtraFunctions& gl);
    // On the drawing thread: deletes the textures released since.
    void deleteReleased(QOpenGLExtraFunctions& gl);

private:
    struct Entry {
        int references = 0;
        QImage image; // until uploaded
        GLuint texture = 0;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::vector<GLuint> released_;
};

} // namespace morvex

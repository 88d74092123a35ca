#include "formats/3ds/tds.h"
#include "formats/3ds/tds_chunks.h"
#include "formats/3ds/tds_textures.h"
#include "formats/format_table.h"
#include "support/core/memory_guard.h"
#include "support/platform/files.h"
#include "support/platform/reference_policy.h"
#include "support/text/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <unistd.h>
#include <unordered_map>

namespace morvex::tds {
namespace {

namespace fs = std::filesystem;

// Files from this size on are read in ten slices, with a stop question and
// a progress step before each.
constexpr std::uint64_t SlicedReadBytes = 250001;
constexpr int Slices = 10;
// Triangle meshes may nest inside triangle meshes; deeper than this is damage.
constexpr int MaxMeshNesting = 16;

constexpr std::string_view ObjectNameKey = "ObjectName";
constexpr std::uint16_t NoParent = 0xFFFF;

struct FreeGuarded {
    void operator()(char* block) const { guardedFree(block); }
};
using FileBuffer = std::unique_ptr<char, FreeGuarded>;

// A list chunk: its 16-bit count and where its records start.
struct ListView {
    std::uint32_t count = 0;
    std::uint64_t records = 0;
};

struct MaterialGroup {
    std::string_view name;
    std::uint32_t count = 0;
    std::uint64_t faceNumbers = 0;
    std::uint64_t offset = 0; // of the chunk, for failures
};

// What an object block holds, found before anything is built from it.
struct MeshParts {
    std::optional<ListView> vertices;
    std::optional<ListView> faces;
    std::uint64_t faceListOffset = 0;
    std::optional<ListView> mapping;
    std::vector<MaterialGroup> groups;
    std::optional<Vector3> origin;
};

// Texture names stay as written, or are looked up beside the file on disk.
struct TextureSource {
    std::optional<TextureFinder> finder;
    fs::path folder;
    std::vector<std::string> refused;
};

class Reader {
public:
    Reader(std::string_view file, Model& model, ProgressReporter& reporter, Failure* failure, TextureSource& textures)
        : file_(file), bytes_(reinterpret_cast<const unsigned char*>(file.data())), model_(model), reporter_(reporter),
          failure_(failure), textures_(textures)
    {
    }

    OperationResult readMain()
    {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        ChunkWalk walk(file_, ChunkHeaderSize, file_.size());
        Chunk chunk;
        for (ChunkWalk::Step step; (step = walk.next(chunk, failure_)) != ChunkWalk::Step::Done;) {
            if (step == ChunkWalk::Step::Malformed)
                return OperationResult::Failure;
            OperationResult result = OperationResult::Success;
            if (chunk.id == EditorChunk)
                result = readEditor(chunk);
            else if (chunk.id == KeyframerChunk)
                result = readKeyframer(chunk);
            if (result != OperationResult::Success)
                return result;
        }
        return OperationResult::Success;
    }

private:
    template <typename Handle>
    OperationResult forEachChild(const Chunk& parent, std::uint64_t childrenStart, Handle&& handle)
    {
        ChunkWalk walk(file_, parent, childrenStart);
        Chunk child;
        for (ChunkWalk::Step step; (step = walk.next(child, failure_)) != ChunkWalk::Step::Done;) {
            if (step == ChunkWalk::Step::Malformed)
                return OperationResult::Failure;
            if (const OperationResult result = handle(child); result != OperationResult::Success)
                return result;
        }
        return OperationResult::Success;
    }

    OperationResult malformed(std::uint64_t offset, std::string message)
    {
        return failAtByte(failure_, FailureKind::Malformed, offset, message);
    }

    // The NUL-terminated string at the start of the chunk's data, and where
    // the data after it starts. Without a NUL the whole data is the string.
    std::string_view stringAt(const Chunk& chunk, std::uint64_t& after) const
    {
        const std::string_view data = file_.substr(chunk.data, chunk.dataSize());
        const std::size_t nul = data.find('\0');
        after = nul == std::string_view::npos ? chunk.end : chunk.data + nul + 1;
        return data.substr(0, nul);
    }

    // A 16-bit count and `count` records of `recordSize` bytes from `at`.
    bool readList(const Chunk& chunk, std::uint64_t at, std::uint32_t recordSize, const char* what, ListView& list)
    {
        if (chunk.end - at < 2) {
            malformed(chunk.offset, std::string(what) + " without its count");
            return false;
        }
        list.count = loadLittleEndian<std::uint16_t>(bytes_ + at);
        list.records = at + 2;
        if (std::uint64_t{list.count} * recordSize > chunk.end - list.records) {
            malformed(chunk.offset, std::string(what) + " of " + std::to_string(list.count) + " entries in " +
                                        std::to_string(chunk.end - list.records) + " bytes");
            return false;
        }
        return true;
    }

    Vector3 vectorAt(std::uint64_t at) const
    {
        return {loadLittleEndian<float>(bytes_ + at), loadLittleEndian<float>(bytes_ + at + 4),
                loadLittleEndian<float>(bytes_ + at + 8)};
    }

    // ---------------------------------------------------------------------
    // Editor: materials and objects.

    OperationResult readEditor(const Chunk& editor)
    {
        return forEachChild(editor, editor.data, [&](const Chunk& chunk) {
            if (chunk.id == MaterialBlock)
                return readMaterial(chunk);
            if (chunk.id == ObjectBlock)
                return readObject(chunk);
            return OperationResult::Success;
        });
    }

    OperationResult readMaterial(const Chunk& block)
    {
        Material* current = nullptr;
        return forEachChild(block, block.data, [&](const Chunk& chunk) {
            std::uint64_t after = 0;
            switch (chunk.id) {
            case MaterialName: {
                if (model_.nextMaterialId == INT16_MAX)
                    return failAtByte(failure_, FailureKind::Unsupported, chunk.offset, "more than 32767 materials");
                current = model_.addMaterial();
                if (current == nullptr)
                    return failOutOfMemory(failure_);
                std::string name = modelText(stringAt(chunk, after));
                current->properties.setProperty("Name", name);
                try {
                    materialsByName_[std::move(name)] = current; // the newest of a name wins
                } catch (const std::bad_alloc&) {
                    return failOutOfMemory(failure_);
                }
                return OperationResult::Success;
            }
            case DiffuseColour:
                if (current == nullptr)
                    return malformed(chunk.offset, "diffuse colour before a material name");
                return readColour(chunk, *current);
            case TextureMapChunk:
                if (current == nullptr)
                    return malformed(chunk.offset, "texture map before a material name");
                return forEachChild(chunk, chunk.data, [&](const Chunk& map) {
                    if (map.id != MapFileName)
                        return OperationResult::Success;
                    return addTexture(*current, stringAt(map, after));
                });
            default: return OperationResult::Success;
            }
        });
    }

    // The slot's flag stays unset: the colour is what the file says, not a
    // choice the user made.
    OperationResult readColour(const Chunk& diffuse, Material& material)
    {
        return forEachChild(diffuse, diffuse.data, [&](const Chunk& chunk) {
            const unsigned char* data = bytes_ + chunk.data;
            std::uint32_t rgb[3];
            if (chunk.id == FloatColour && chunk.dataSize() >= 12) {
                for (int i = 0; i < 3; ++i) {
                    const float component = loadLittleEndian<float>(data + 4 * i) * 255.0f;
                    // NaN and values outside 0..1 are kept within a byte.
                    rgb[i] = component >= 0.0f ? static_cast<std::uint32_t>(std::min(component, 255.0f)) : 0;
                }
            } else if (chunk.id == ByteColour && chunk.dataSize() >= 3) {
                for (int i = 0; i < 3; ++i)
                    rgb[i] = data[i];
            } else {
                return OperationResult::Success;
            }
            material.colors[DiffuseSlot] = 0xFF000000u | rgb[0] << 16 | rgb[1] << 8 | rgb[2];
            return OperationResult::Success;
        });
    }

    OperationResult addTexture(Material& material, std::string_view written)
    {
        const std::string name = sanitizeUtf8(written);
        if (name.empty())
            return OperationResult::Success;
        std::string path = name;
        if (textures_.finder) {
            const fs::path found = textures_.finder->find(name);
            if (std::string why; !referenceAllowed(textures_.folder, found, &why)) {
                if (std::find(textures_.refused.begin(), textures_.refused.end(), why) == textures_.refused.end())
                    textures_.refused.push_back(std::move(why));
                return OperationResult::Success;
            }
            path = found.string();
        }
        if (!material.addTextureMap(TextureKind::Diffuse, path))
            return failOutOfMemory(failure_);
        return OperationResult::Success;
    }

    // ---------------------------------------------------------------------
    // Object blocks.

    OperationResult readObject(const Chunk& block)
    {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        reporter_.setProgress(static_cast<double>(block.offset) / static_cast<double>(file_.size()));
        ModelObject* object = model_.addObject();
        if (object == nullptr)
            return failOutOfMemory(failure_);
        std::uint64_t after = 0;
        object->properties.setProperty(ObjectNameKey, modelText(stringAt(block, after)));
        MeshParts parts;
        if (const OperationResult found = forEachChild(block, after,
                                                       [&](const Chunk& chunk) {
                                                           return chunk.id == TriangleMesh
                                                                      ? findMeshParts(chunk, parts, 1)
                                                                      : OperationResult::Success;
                                                       });
            found != OperationResult::Success)
            return found;
        try {
            origins_.push_back(parts.origin.value_or(Vector3{0, 0, 0}));
        } catch (const std::bad_alloc&) {
            return failOutOfMemory(failure_);
        }
        if (const OperationResult grouped = expandMaterialGroups(parts, *object); grouped != OperationResult::Success)
            return grouped;
        return copyLists(parts, *object);
    }

    OperationResult findMeshParts(const Chunk& mesh, MeshParts& parts, int nesting)
    {
        if (nesting > MaxMeshNesting)
            return malformed(mesh.offset, "triangle meshes nested too deeply");
        return forEachChild(mesh, mesh.data, [&](const Chunk& chunk) {
            ListView list;
            switch (chunk.id) {
            case TriangleMesh: return findMeshParts(chunk, parts, nesting + 1);
            case VertexList:
                if (!readList(chunk, chunk.data, 12, "vertex list", list))
                    return OperationResult::Failure;
                parts.vertices = list;
                return OperationResult::Success;
            case MappingList:
                if (!readList(chunk, chunk.data, 8, "mapping list", list))
                    return OperationResult::Failure;
                parts.mapping = list;
                return OperationResult::Success;
            case FaceList:
                if (!readList(chunk, chunk.data, 8, "face list", list))
                    return OperationResult::Failure;
                parts.faces = list;
                parts.faceListOffset = chunk.offset;
                parts.groups.clear(); // the groups of the last face list count
                return findMaterialGroups(chunk, list, parts);
            case LocalCoordinates:
                if (chunk.dataSize() >= 48)
                    parts.origin = vectorAt(chunk.data + 36);
                return OperationResult::Success;
            default: return OperationResult::Success;
            }
        });
    }

    OperationResult findMaterialGroups(const Chunk& faceList, const ListView& faces, MeshParts& parts)
    {
        return forEachChild(faceList, faces.records + std::uint64_t{faces.count} * 8, [&](const Chunk& chunk) {
            if (chunk.id != FaceMaterialGroup)
                return OperationResult::Success;
            MaterialGroup group;
            std::uint64_t after = 0;
            group.name = stringAt(chunk, after);
            group.offset = chunk.offset;
            ListView numbers;
            if (!readList(chunk, after, 2, "face material group", numbers))
                return OperationResult::Failure;
            group.count = numbers.count;
            group.faceNumbers = numbers.records;
            for (std::uint32_t i = 0; i < group.count; ++i)
                if (const std::uint32_t face = loadLittleEndian<std::uint16_t>(bytes_ + group.faceNumbers + 2 * i);
                    face >= faces.count)
                    return malformed(chunk.offset, "face material group names face " + std::to_string(face) + " of " +
                                                       std::to_string(faces.count));
            try {
                parts.groups.push_back(group);
            } catch (const std::bad_alloc&) {
                return failOutOfMemory(failure_);
            }
            return OperationResult::Success;
        });
    }

    // The newest material of that exact name.
    const Material* materialNamed(std::string_view name) const
    {
        const auto found = materialsByName_.find(modelText(name));
        return found == materialsByName_.end() ? nullptr : found->second;
    }

    std::uint32_t faceCorner(const ListView& faces, std::uint32_t face, int corner) const
    {
        return loadLittleEndian<std::uint16_t>(bytes_ + faces.records + 8 * std::uint64_t{face} + 2 * corner);
    }

    OperationResult faceOutOfRange(const MeshParts& parts, std::uint32_t face, std::uint32_t vertex,
                                   std::uint32_t vertexCount)
    {
        return malformed(parts.faceListOffset, "face " + std::to_string(face) + " uses vertex " +
                                                   std::to_string(vertex) + " of " + std::to_string(vertexCount));
    }

    // Each grouped face gets three vertices of its own, coloured with its
    // material's diffuse colour; faces in no group are left out.
    OperationResult expandMaterialGroups(const MeshParts& parts, ModelObject& object)
    {
        if (model_.materials.empty() || !parts.faces || !parts.vertices)
            return OperationResult::Success;
        std::vector<const Material*> materials;
        std::uint64_t corners = 0;
        try {
            for (const MaterialGroup& group : parts.groups) {
                materials.push_back(group.count == 0 ? nullptr : materialNamed(group.name));
                corners += materials.back() != nullptr ? 3 * std::uint64_t{group.count} : 0;
            }
        } catch (const std::bad_alloc&) {
            return failOutOfMemory(failure_);
        }
        if (corners == 0)
            return OperationResult::Success;
        if (corners > UINT32_MAX)
            return failWith(failure_, FailureKind::Unsupported, "more than 2^32 corners in one object");
        const auto total = static_cast<std::uint32_t>(corners);
        const bool mapped = parts.mapping && parts.mapping->count > 0;
        if (!object.indices.allocate(total) || !object.vertices.allocate(total) || !object.colors.allocate(total) ||
            (mapped && !object.texCoords.allocate(total)))
            return failOutOfMemory(failure_);
        std::uint32_t p = 0;
        for (std::size_t g = 0; g < parts.groups.size(); ++g) {
            if (materials[g] == nullptr)
                continue;
            const MaterialGroup& group = parts.groups[g];
            MaterialRange* range = object.addMaterialRange();
            if (range == nullptr)
                return failOutOfMemory(failure_);
            *range = {materials[g]->id, p, p + 3 * group.count};
            for (std::uint32_t i = 0; i < group.count; ++i) {
                const std::uint32_t face = loadLittleEndian<std::uint16_t>(bytes_ + group.faceNumbers + 2 * i);
                for (int c = 0; c < 3; ++c, ++p) {
                    const std::uint32_t vertex = faceCorner(*parts.faces, face, c);
                    if (vertex >= parts.vertices->count)
                        return faceOutOfRange(parts, face, vertex, parts.vertices->count);
                    object.indices[p] = p;
                    object.vertices[p] = vectorAt(parts.vertices->records + 12 * std::uint64_t{vertex});
                    object.colors[p] = materials[g]->colors[DiffuseSlot];
                    if (mapped)
                        object.texCoords[p] = texCoordOf(*parts.mapping, vertex);
                }
            }
        }
        return OperationResult::Success;
    }

    TexCoord texCoordOf(const ListView& mapping, std::uint32_t vertex) const
    {
        if (vertex >= mapping.count)
            return {0, 0};
        const std::uint64_t at = mapping.records + 8 * std::uint64_t{vertex};
        return {loadLittleEndian<float>(bytes_ + at), loadLittleEndian<float>(bytes_ + at + 4)};
    }

    // What the material groups did not fill comes from the lists as they are.
    OperationResult copyLists(const MeshParts& parts, ModelObject& object)
    {
        if (object.vertices.empty() && parts.vertices && parts.vertices->count > 0) {
            if (!object.vertices.allocate(parts.vertices->count))
                return failOutOfMemory(failure_);
            std::memcpy(static_cast<void*>(object.vertices.data()), bytes_ + parts.vertices->records,
                        std::size_t{parts.vertices->count} * 12);
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
        }
        if (object.indices.empty() && parts.faces && parts.faces->count > 0) {
            if (!object.indices.allocate(3 * parts.faces->count))
                return failOutOfMemory(failure_);
            for (std::uint32_t face = 0, p = 0; face < parts.faces->count; ++face)
                for (int c = 0; c < 3; ++c, ++p) {
                    const std::uint32_t vertex = faceCorner(*parts.faces, face, c);
                    if (vertex >= object.vertices.count())
                        return faceOutOfRange(parts, face, vertex, object.vertices.count());
                    object.indices[p] = vertex;
                }
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
        }
        // Texture coordinates belong to the vertices; a list of another
        // length is cut or padded to theirs.
        if (object.texCoords.empty() && parts.mapping && parts.mapping->count > 0 && !object.vertices.empty()) {
            if (!object.texCoords.allocate(object.vertices.count()))
                return failOutOfMemory(failure_);
            for (std::uint32_t v = 0; v < object.vertices.count(); ++v)
                object.texCoords[v] = texCoordOf(*parts.mapping, v);
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
        }
        return OperationResult::Success;
    }

    // ---------------------------------------------------------------------
    // Keyframer: the first position key of each object node.
    //
    // Vertices are stored where the object stood when it was modelled, and
    // the local coordinate system's origin says where that was: a first key
    // at another place moves the object by the difference. Keys of nodes
    // inside a hierarchy are relative to their parents and are not used.

    OperationResult readKeyframer(const Chunk& keyframer)
    {
        return forEachChild(keyframer, keyframer.data, [&](const Chunk& node) {
            if (node.id != ObjectNode)
                return OperationResult::Success;
            std::string name;
            bool topLevel = true;
            return forEachChild(node, node.data, [&](const Chunk& chunk) {
                std::uint64_t after = 0;
                if (chunk.id == NodeHeader) {
                    name = modelText(stringAt(chunk, after));
                    // Two flag words, then the parent's node number.
                    topLevel = chunk.end - after < 6 || loadLittleEndian<std::uint16_t>(bytes_ + after + 4) == NoParent;
                } else if (chunk.id == PositionTrack && topLevel) {
                    placeNamedObject(chunk, name);
                }
                return OperationResult::Success;
            });
        });
    }

    void placeNamedObject(const Chunk& track, const std::string& name)
    {
        if (name.empty() || track.dataSize() < 32 || loadLittleEndian<std::uint32_t>(bytes_ + track.data + 10) == 0)
            return;
        if (objectsByName_.empty())
            for (std::size_t n = 0; n < model_.objects.size(); ++n)
                objectsByName_.try_emplace(model_.objects[n]->properties.getProperty(ObjectNameKey), n);
        const auto found = objectsByName_.find(name);
        if (found == objectsByName_.end())
            return;
        const Vector3 key = vectorAt(track.data + 20);
        const Vector3& origin = origins_[found->second];
        model_.objects[found->second]->position = {key.x - origin.x, key.y - origin.y, key.z - origin.z};
    }

    std::string_view file_;
    const unsigned char* bytes_;
    Model& model_;
    ProgressReporter& reporter_;
    Failure* failure_;
    TextureSource& textures_;
    std::unordered_map<std::string, const Material*> materialsByName_;
    std::vector<Vector3> origins_;                               // of each object, in order
    std::unordered_map<std::string, std::size_t> objectsByName_; // the first object of each name
};

OperationResult readBytes(std::string_view bytes, Model& model, ProgressReporter& reporter, Failure* failure,
                          TextureSource& textures)
{
    if (bytes.size() <= 5)
        return failWith(failure, FailureKind::Malformed, "too short for a 3DS file");
    const std::uint32_t length =
        loadLittleEndian<std::uint32_t>(reinterpret_cast<const unsigned char*>(bytes.data()) + 2);
    if (length != bytes.size())
        return failAtByte(failure, FailureKind::Malformed, 2,
                          "main chunk length " + std::to_string(length) + " is not the file size " +
                              std::to_string(bytes.size()));
    Reader reader(bytes, model, reporter, failure, textures);
    if (const OperationResult result = reader.readMain(); result != OperationResult::Success) {
        model.reset(); // no half-read object is left behind
        return result;
    }
    // Cameras, lights and objects without faces have no mesh to offer.
    model.removeEmptyObjects();
    model.profile = profileForExtension(".3ds");
    reporter.setProgress(1.0);
    return OperationResult::Success;
}

// The whole file, its size checked against the main chunk's length before
// anything is allocated; large files in ten slices with a stop question
// before each.
OperationResult readWholeFile(const fs::path& path, FileBuffer& buffer, std::uint64_t& size, ProgressReporter& reporter,
                              Failure* failure)
{
    struct stat info {};
    const int descriptor = openRegularFile(path, failure, &info);
    if (descriptor < 0)
        return OperationResult::Failure;
    struct Closer {
        int descriptor;
        ~Closer() { ::close(descriptor); }
    } closer{descriptor};
    size = static_cast<std::uint64_t>(info.st_size);
    if (size <= 5)
        return failWith(failure, FailureKind::Malformed, "too short for a 3DS file");
    reporter.setStatusText("Reading 3DS Data.", 0);
    unsigned char header[ChunkHeaderSize];
    if (readRetrying(descriptor, header, sizeof header) != static_cast<std::ptrdiff_t>(sizeof header))
        return failAtByte(failure, FailureKind::Malformed, 0, "main chunk header cut short");
    const std::uint32_t length = loadLittleEndian<std::uint32_t>(header + 2);
    if (length != size)
        return failAtByte(failure, FailureKind::Malformed, 2,
                          "main chunk length " + std::to_string(length) + " is not the file size " +
                              std::to_string(size));
    buffer.reset(static_cast<char*>(guardedAllocate(size, 1)));
    if (!buffer)
        return failOutOfMemory(failure);
    std::memcpy(buffer.get(), header, sizeof header);
    const std::uint64_t body = size - ChunkHeaderSize;
    const int slices = body >= SlicedReadBytes ? Slices : 1;
    std::uint64_t done = 0;
    for (int slice = 0; slice < slices; ++slice) {
        const std::uint64_t want = slice + 1 == slices ? body - done : body / Slices;
        if (slices > 1) {
            if (reporter.isCancelled())
                return OperationResult::Cancelled;
            reporter.setProgress(static_cast<double>(slice) / Slices);
        }
        for (std::uint64_t got = 0; got < want;) {
            const std::ptrdiff_t n = readRetrying(descriptor, buffer.get() + ChunkHeaderSize + done + got, want - got);
            if (n <= 0)
                return n < 0 ? failWith(failure, FailureKind::Unreadable, "cannot read: " + systemErrorText(errno))
                             : failAtByte(failure, FailureKind::Malformed, ChunkHeaderSize + done + got,
                                          "file shorter than announced");
            got += static_cast<std::uint64_t>(n);
        }
        done += want;
    }
    if (slices > 1) {
        reporter.setStatusText("Reading 3DS Data. Complete!", 0);
        reporter.setProgress(1.0);
    }
    return OperationResult::Success;
}

} // namespace

OperationResult read3ds(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    FileBuffer buffer;
    std::uint64_t size = 0;
    if (const OperationResult read = readWholeFile(path, buffer, size, reporter, failure);
        read != OperationResult::Success)
        return read;
    TextureSource textures;
    textures.folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    textures.finder.emplace(textures.folder);
    const OperationResult result =
        readBytes(std::string_view(buffer.get(), static_cast<std::size_t>(size)), model, reporter, failure, textures);
    for (const std::string& refused : textures.refused)
        reporter.postTextMessage(refused);
    return result;
}

OperationResult read3ds(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    TextureSource textures;
    return readBytes(bytes, model, reporter, failure, textures);
}

} // namespace morvex::tds

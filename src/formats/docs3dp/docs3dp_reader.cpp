#include "formats/docs3dp/chunk_reader.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/docs3dp/document_chunks.h"
#include "formats/format_table.h"
#include "support/platform/files.h"
#include "support/text/text.h"

#include <cstring>

namespace morvex::docs3dp {
namespace {

using namespace docs3dp;

// Bytes of a stored file path that are looked at; more than 259 characters
// of UTF-16 never need more.
constexpr std::size_t MaxFilePathBytes = 1560;
constexpr std::uint32_t MeshChildrenPerCancelCheck = 1000;

std::string fileMessage(const char* before, std::string_view name, const char* after)
{
    return std::string(before) + std::string(name) + after;
}

// "key=value", split at the first '='; set only when both parts have text.
void setKeyValue(PropertyBag& properties, std::string_view text)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return;
    const std::string key = modelText(text.substr(0, equals));
    const std::string value = modelText(text.substr(equals + 1));
    if (!key.empty() && !value.empty())
        properties.setProperty(key, value);
}

std::int32_t loadInt32(const unsigned char* at)
{
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

class DocumentReader {
public:
    DocumentReader(const ChunkReader& chunks, Model& model, ProgressReporter& reporter, Failure* failure)
        : chunks_(chunks), model_(model), reporter_(reporter), failure_(failure)
    {
    }

    OperationResult readRoot()
    {
        // A root that claims no content while the file goes on is damage,
        // not an empty document.
        const Chunk& root = chunks_.root();
        if (root.size == 0 && chunks_.fileSize() > root.start + chunkfile::TrailerSize)
            return failAtByte(failure_, FailureKind::Malformed, root.start,
                              "the document's root group claims no content");
        // A root that runs past the end of the file is a cut-off document:
        // reading what is there would pass a part of the model for all of it.
        if (!root.complete())
            return failAtByte(failure_, FailureKind::Malformed, chunks_.fileSize(),
                              "file is truncated: the document's root group claims " + std::to_string(root.size) +
                                  " bytes, the file holds " + std::to_string(root.available));
        ChunkIterator children = chunks_.children(root);
        Chunk child;
        while (children.next(child)) {
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            if (const OperationResult result = readRootChild(child); result != OperationResult::Success)
                return result;
            reporter_.setProgress(static_cast<double>(children.position()) / static_cast<double>(chunks_.fileSize()));
        }
        return OperationResult::Success;
    }

private:
    OperationResult readRootChild(const Chunk& chunk)
    {
        std::string_view text;
        std::int32_t number = 0;
        bool flag = false;
        switch (chunk.id) {
        case Object: return readObject(chunk);
        case DocumentProperty:
            if (chunks_.readText(chunk, text))
                setKeyValue(model_.properties, text);
            break;
        case FilePath:
            if (chunks_.readText(chunk, text))
                model_.properties.setProperty(FilePathKey, modelText(limitUtf8Bytes(text, MaxFilePathBytes)));
            break;
        case FileType:
            if (chunks_.readInt(chunk, number))
                model_.properties.setIntProperty(FileTypeKey, number);
            break;
        case HaveChanges:
        case Untitled:
            if (chunks_.readBool(chunk, flag))
                model_.properties.setBoolProperty(chunk.id == HaveChanges ? HaveChangesKey : UntitledKey, flag);
            break;
        default: break;
        }
        return OperationResult::Success;
    }

    OperationResult readObject(const Chunk& objectChunk)
    {
        ModelObject* object = model_.addObject();
        if (object == nullptr)
            return outOfMemory();
        ChunkIterator children = chunks_.children(objectChunk);
        Chunk child;
        std::string_view text;
        while (children.next(child)) {
            if (child.id == Placement) {
                readPlacement(child, *object);
            } else if (child.id == Mesh) {
                if (const OperationResult result = readMesh(child, *object); result != OperationResult::Success)
                    return result;
            } else if (child.id == ObjectProperty && chunks_.readText(child, text)) {
                setKeyValue(object->properties, text);
            }
        }
        // An object that ends without vertices has no mesh to offer; one with
        // vertices and no corners is a point set and stays one. It is the
        // last one added, and dropping just it keeps a file of many empty
        // objects linear.
        if (object->vertices.empty())
            model_.objects.pop_back();
        return OperationResult::Success;
    }

    void readPlacement(const Chunk& placement, ModelObject& object)
    {
        ChunkIterator children = chunks_.children(placement);
        Chunk child;
        while (children.next(child)) {
            float* target = placementField(child.id, object);
            float value = 0.0f;
            if (target != nullptr && chunks_.readFloat(child, value))
                *target = value;
        }
    }

    static float* placementField(std::uint16_t id, ModelObject& object)
    {
        switch (id) {
        case PositionX: return &object.position.x;
        case PositionY: return &object.position.y;
        case PositionZ: return &object.position.z;
        case RotationX: return &object.rotation.x;
        case RotationY: return &object.rotation.y;
        case RotationZ: return &object.rotation.z;
        case ScaleX: return &object.scale.x;
        case ScaleY: return &object.scale.y;
        case ScaleZ: return &object.scale.z;
        default: return nullptr;
        }
    }

    // Failure only when memory ran out; a mesh without usable vertices
    // leaves the object empty and the object is dropped.
    OperationResult readMesh(const Chunk& mesh, ModelObject& object)
    {
        ChunkIterator children = chunks_.children(mesh);
        Chunk child;
        MaterialRange* range = nullptr;
        bool coloured = false;
        std::uint32_t seen = 0;
        while (children.next(child)) {
            if (++seen % MeshChildrenPerCancelCheck == 0 && reporter_.isCancelled())
                return OperationResult::Cancelled;
            std::int32_t number = 0;
            std::string_view text;
            switch (child.id) {
            case Vertices:
                if (!child.complete())
                    return failAtByte(failure_, FailureKind::Malformed, child.start,
                                      "vertex block of " + std::to_string(child.size) + " bytes where the file holds " +
                                          std::to_string(child.available));
                if (!readVertices(child, object))
                    return outOfMemory();
                break;
            case Corners:
                if (!readCorners(child, object, coloured))
                    return outOfMemory();
                break;
            case OwnColors: {
                bool own = false;
                if (chunks_.readBool(child, own))
                    coloured = coloured || own;
                break;
            }
            case DefaultColor:
                if (chunks_.readInt(child, number))
                    object.properties.setIntProperty(DefaultColorKey, number);
                break;
            case Comment:
                if (chunks_.readText(child, text))
                    object.properties.setProperty(CommentKey, modelText(text));
                break;
            case AmbientColor:
            case DiffuseColor:
            case SpecularColor:
                if (chunks_.readInt(child, number) && !setMaterialColor(child.id, number, object, range))
                    return outOfMemory();
                break;
            default: break;
            }
        }
        if (range != nullptr)
            range->endIndex = object.indices.count();
        // Objects without colours are written with the default grey in
        // every corner; they read back without colours, as they were, unless
        // the writer said the colours are the object's own.
        if (!coloured)
            object.colors.release();
        return OperationResult::Success;
    }

    // A block that is cut short or larger than 32 bits counts as empty.
    // Corners read before it belong to the vertices it replaces, so they go
    // too; no index is ever left pointing past the vertices.
    bool readVertices(const Chunk& chunk, ModelObject& object)
    {
        object.indices.clear();
        object.normals.clear();
        object.colors.clear();
        std::span<const unsigned char> bytes;
        if (!chunks_.readBlock(chunk, bytes) || bytes.size() > UINT32_MAX) {
            object.vertices.clear();
            return true;
        }
        const auto count = static_cast<std::uint32_t>(bytes.size() / VertexRecordSize);
        if (count == 0) {
            object.vertices.clear();
            return true;
        }
        if (!object.vertices.allocate(count))
            return false;
        std::memcpy(static_cast<void*>(object.vertices.data()), bytes.data(), std::size_t{count} * VertexRecordSize);
        return true;
    }

    // Corners are taken a triangle at a time: a triangle with an index that
    // is negative or beyond the vertices is dropped whole, so that every
    // stored index is safe to use and the triangles keep their corners.
    // Colours go to the vertex of each kept corner; the last one wins.
    // `coloured` is set when a kept corner has other than the default grey.
    bool readCorners(const Chunk& chunk, ModelObject& object, bool& coloured)
    {
        std::span<const unsigned char> bytes;
        if (!chunks_.readBlock(chunk, bytes))
            return true;
        const std::uint64_t records = bytes.size() / CornerRecordSize;
        const std::uint64_t existing = object.indices.count();
        if (records == 0)
            return true;
        if (existing + records > UINT32_MAX)
            return false;
        const std::uint32_t vertexCount = object.vertices.count();
        if (vertexCount == 0)
            return true;
        if (object.colors.count() != vertexCount) {
            object.colors.clear();
            if (!object.colors.allocate(vertexCount))
                return false;
        }
        const auto total = static_cast<std::uint32_t>(existing + records);
        if (!object.indices.resize(total) || !object.normals.resize(total))
            return false;

        std::uint32_t* indices = object.indices.data();
        Vector3* normals = object.normals.data();
        ArgbColor* colors = object.colors.data();
        std::uint32_t kept = static_cast<std::uint32_t>(existing);
        const unsigned char* record = bytes.data();
        for (std::uint64_t done = 0; done < records;) {
            const auto corners = static_cast<std::uint32_t>(std::min<std::uint64_t>(3, records - done));
            bool valid = true;
            for (std::uint32_t c = 0; c < corners; ++c) {
                const std::int32_t index = loadInt32(record + c * CornerRecordSize);
                valid = valid && index >= 0 && static_cast<std::uint32_t>(index) < vertexCount;
            }
            if (valid) {
                for (std::uint32_t c = 0; c < corners; ++c, ++kept) {
                    const unsigned char* at = record + c * CornerRecordSize;
                    const auto index = static_cast<std::uint32_t>(loadInt32(at));
                    indices[kept] = index;
                    std::memcpy(static_cast<void*>(&normals[kept]), at + 4, sizeof(Vector3));
                    ArgbColor color;
                    std::memcpy(&color, at + 16, sizeof color);
                    colors[index] = color;
                    coloured = coloured || color != DefaultVertexColor;
                }
            }
            record += corners * CornerRecordSize;
            done += corners;
        }
        // Shrinking keeps the storage and cannot fail.
        return object.indices.resize(kept) && object.normals.resize(kept);
    }

    // The first colour of a mesh gives the object an unnamed material of its
    // own, covering all its corners.
    bool setMaterialColor(std::uint16_t id, std::int32_t bits, ModelObject& object, MaterialRange*& range)
    {
        if (range == nullptr) {
            Material* material = model_.addMaterial();
            if (material == nullptr)
                return false;
            range = object.addMaterialRange();
            if (range == nullptr)
                return false;
            range->materialId = material->id;
            range->firstIndex = 0;
        }
        Material* material = model_.findMaterial(range->materialId);
        const int slot = id == AmbientColor ? AmbientSlot : id == DiffuseColor ? DiffuseSlot : SpecularSlot;
        material->setColor(slot, static_cast<ArgbColor>(bits));
        return true;
    }

    OperationResult outOfMemory() { return failOutOfMemory(failure_); }

    const ChunkReader& chunks_;
    Model& model_;
    ProgressReporter& reporter_;
    Failure* failure_;
};

} // namespace

OperationResult read3dp(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    MappedFile file;
    if (file.open(path, failure) != OperationResult::Success) {
        reporter.postTextMessage(fileMessage("File ", path.string(), " can not be opened."));
        return OperationResult::Failure;
    }
    return read3dp(file.view(), path.string(), model, reporter, failure);
}

OperationResult read3dp(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    ChunkReader chunks(
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    if (!chunks.readHeader()) {
        reporter.postTextMessage(fileMessage("File ", name, " was not readable."));
        return failAtByte(failure, FailureKind::Malformed, chunks.headerFaultOffset(), "not a 3DP document");
    }
    if (chunks.version() >= FirstUnsupportedVersion)
        return failAtByte(failure, FailureKind::Unsupported, ChunkReader::VersionOffset,
                          "unsupported 3DP document version " + std::to_string(chunks.version()));

    DocumentReader reader(chunks, model, reporter, failure);
    if (const OperationResult result = reader.readRoot(); result != OperationResult::Success) {
        model.reset(); // no half-read object is left behind
        return result;
    }
    // The trailer carries nothing: a document without it reads the same.
    model.profile = profileForExtension(".3dp");
    reporter.setProgress(1.0);
    return OperationResult::Success;
}

} // namespace morvex::docs3dp

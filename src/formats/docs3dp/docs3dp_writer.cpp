#include "formats/docs3dp/chunk_writer.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/docs3dp/document_chunks.h"
#include "support/text/text.h"

#include <algorithm>
#include <cstring>

namespace morvex::docs3dp {
namespace {

using namespace docs3dp;

// Corners are encoded straight into the output buffer in batches of whole
// triangles; cancellation and progress are checked once per batch.
constexpr std::uint32_t CornersPerBatch = 3 * 4096;
static_assert(CornersPerBatch * CornerRecordSize <= AtomicFileWriter::BufferSize);

std::string keyValueText(std::string_view key, std::string_view value)
{
    std::string text;
    text.reserve(key.size() + 1 + value.size());
    text.append(key).append("=").append(value);
    return limitUtf16Units(text);
}

std::int32_t colorBits(ArgbColor color)
{
    return static_cast<std::int32_t>(color);
}

void putCorner(char* at, std::uint32_t index, const Vector3& normal, ArgbColor color)
{
    std::memcpy(at, &index, 4);
    std::memcpy(at + 4, &normal, 12);
    std::memcpy(at + 16, &color, 4);
}

bool validIndex(std::uint32_t index, std::uint32_t vertexCount)
{
    return static_cast<std::int32_t>(index) >= 0 && index < vertexCount;
}

// Corner records [first, first + count) of an object; `first` is a multiple
// of 3. Without normals of its own, each triangle with valid indices gets its
// flat face normal in all three corners and the rest get (0, 0, 0).
void encodeCorners(const ModelObject& object, bool ownNormals, std::uint32_t first, std::uint32_t count, char* out)
{
    const std::uint32_t end = first + count;
    if (ownNormals) {
        for (std::uint32_t k = first; k < end; ++k, out += CornerRecordSize)
            putCorner(out, object.indices[k], object.normals[k], object.cornerColor(k));
        return;
    }
    const std::uint32_t vertexCount = object.vertices.count();
    std::uint32_t k = first;
    for (; end - k >= 3; k += 3, out += 3 * CornerRecordSize) {
        const std::uint32_t a = object.indices[k], b = object.indices[k + 1], c = object.indices[k + 2];
        Vector3 normal{};
        if (validIndex(a, vertexCount) && validIndex(b, vertexCount) && validIndex(c, vertexCount))
            normal = faceNormal(object.vertices[a], object.vertices[b], object.vertices[c]);
        putCorner(out, a, normal, object.cornerColor(k));
        putCorner(out + CornerRecordSize, b, normal, object.cornerColor(k + 1));
        putCorner(out + 2 * CornerRecordSize, c, normal, object.cornerColor(k + 2));
    }
    for (; k < end; ++k, out += CornerRecordSize)
        putCorner(out, object.indices[k], Vector3{}, object.cornerColor(k));
}

// Whether the object has colours of its own that are all the default grey,
// which is what the corners of an object without colours hold: only then do
// its colours need saying so.
bool coloursLookUncoloured(const ModelObject& object)
{
    if (object.colors.empty())
        return false;
    const std::uint32_t count = object.indices.count();
    for (std::uint32_t k = 0; k < count; ++k)
        if (object.cornerColor(k) != DefaultVertexColor)
            return false;
    return true;
}

class DocumentWriter {
public:
    DocumentWriter(AtomicFileWriter& file, const Model& model, ProgressReporter& reporter)
        : chunks_(file), model_(model), reporter_(reporter)
    {
        for (const auto& object : model.objects)
            totalCorners_ += object->indices.count();
    }

    OperationResult write()
    {
        chunks_.writeHeader(Version);
        chunks_.beginGroup(Root);
        writeDocumentProperties();
        for (const auto& object : model_.objects) {
            if (object->vertices.empty())
                continue;
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            if (const OperationResult result = writeObject(*object); result != OperationResult::Success)
                return result;
        }
        const bool ended = chunks_.endGroup();
        const bool trailed = chunks_.writeTrailer();
        return ended && trailed ? OperationResult::Success : OperationResult::Failure;
    }

    bool ok() const { return chunks_.ok(); }

private:
    void writeDocumentProperties()
    {
        const PropertyBag& properties = model_.properties;
        if (properties.hasProperty(FilePathKey))
            chunks_.writeText(FilePath, properties.getProperty(FilePathKey));
        if (properties.hasProperty(FileTypeKey))
            chunks_.writeInt(FileType, properties.getIntProperty(FileTypeKey));
        if (properties.hasProperty(HaveChangesKey))
            chunks_.writeBool(HaveChanges, properties.getBoolProperty(HaveChangesKey));
        if (properties.hasProperty(UntitledKey))
            chunks_.writeBool(Untitled, properties.getBoolProperty(UntitledKey));
        for (const auto& [key, value] : properties) {
            if (key == FilePathKey || key == FileTypeKey || key == HaveChangesKey || key == UntitledKey)
                continue;
            chunks_.writeText(DocumentProperty, keyValueText(key, value));
        }
    }

    OperationResult writeObject(const ModelObject& object)
    {
        chunks_.beginGroup(Object);
        // A point set keeps its vertices in a mesh without corners.
        if (object.indices.count() > 2 || object.indices.empty()) {
            if (const OperationResult result = writeMesh(object); result != OperationResult::Success)
                return result;
        }
        writePlacement(object);
        for (const auto& [key, value] : object.properties)
            chunks_.writeText(ObjectProperty, keyValueText(key, value));
        return chunks_.endGroup() ? OperationResult::Success : OperationResult::Failure;
    }

    void writePlacement(const ModelObject& object)
    {
        chunks_.beginGroup(Placement);
        const struct {
            std::uint16_t id;
            float value;
        } floats[] = {
            {PositionX, object.position.x}, {PositionY, object.position.y}, {PositionZ, object.position.z},
            {RotationX, object.rotation.x}, {RotationY, object.rotation.y}, {RotationZ, object.rotation.z},
            {ScaleX, object.scale.x},       {ScaleY, object.scale.y},       {ScaleZ, object.scale.z},
        };
        for (const auto& entry : floats)
            chunks_.writeFloat(entry.id, entry.value);
        chunks_.endGroup();
    }

    OperationResult writeMesh(const ModelObject& object)
    {
        chunks_.beginGroup(Mesh);
        chunks_.writeBlock(Vertices, object.vertices.data(), std::uint64_t{object.vertices.count()} * VertexRecordSize);
        if (const OperationResult result = writeCorners(object); result != OperationResult::Success)
            return result;
        if (coloursLookUncoloured(object))
            chunks_.writeBool(OwnColors, true);
        if (object.properties.hasProperty(DefaultColorKey))
            chunks_.writeInt(DefaultColor, object.properties.getIntProperty(DefaultColorKey));
        if (object.properties.hasProperty(CommentKey))
            chunks_.writeText(Comment, object.properties.getProperty(CommentKey));
        writeMaterialColors(object);
        return chunks_.endGroup() ? OperationResult::Success : OperationResult::Failure;
    }

    OperationResult writeCorners(const ModelObject& object)
    {
        const std::uint32_t count = object.indices.count();
        const bool ownNormals = object.normals.count() >= count && !object.normals.empty();
        chunks_.beginBlock(Corners);
        for (std::uint32_t first = 0; first < count; first += CornersPerBatch) {
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            const std::uint32_t batch = std::min(CornersPerBatch, count - first);
            char* out = chunks_.blockSpace(std::size_t{batch} * CornerRecordSize);
            if (out == nullptr)
                return OperationResult::Failure;
            encodeCorners(object, ownNormals, first, batch, out);
            chunks_.blockAdvance(std::size_t{batch} * CornerRecordSize);
            cornersDone_ += batch;
            reporter_.setProgress(static_cast<double>(cornersDone_) / static_cast<double>(totalCorners_));
        }
        return chunks_.endBlock() ? OperationResult::Success : OperationResult::Failure;
    }

    // The colours of the material of the object's first range.
    void writeMaterialColors(const ModelObject& object)
    {
        if (object.materialRanges.empty())
            return;
        const Material* material = model_.findMaterial(object.materialRanges.front().materialId);
        if (material == nullptr)
            return;
        const struct {
            std::uint16_t id;
            int slot;
        } slots[] = {{AmbientColor, AmbientSlot}, {DiffuseColor, DiffuseSlot}, {SpecularColor, SpecularSlot}};
        for (const auto& entry : slots)
            if (material->colorSet[entry.slot])
                chunks_.writeInt(entry.id, colorBits(material->colors[entry.slot]));
    }

    ChunkWriter chunks_;
    const Model& model_;
    ProgressReporter& reporter_;
    std::uint64_t totalCorners_ = 0;
    std::uint64_t cornersDone_ = 0;
};

} // namespace

OperationResult write3dp(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    AtomicFileWriter file;
    if (const OperationResult opened = file.open(path, failure); opened != OperationResult::Success)
        return opened;
    DocumentWriter writer(file, model, reporter);
    const OperationResult result = writer.write();
    if (result == OperationResult::Cancelled)
        return result; // the temporary file goes with the writer
    if (result != OperationResult::Success || !writer.ok()) {
        if (file.failed())
            return file.commit(failure); // fails with the system's failure and removes the file
        return failWith(failure, FailureKind::Unwritable, "write failed");
    }
    reporter.setProgress(1.0);
    return file.commit(failure);
}

} // namespace morvex::docs3dp

#include "formats/ply/ply.h"

#include "support/platform/files.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <cstring>

namespace morvex::ply {
namespace {

constexpr std::size_t MaxCommentBytes = 259;

// Keys that describe where a document came from, not what it says.
bool isBookkeepingKey(std::string_view key)
{
    return key.starts_with("Model:") || key.starts_with("BuildItem:") || key.starts_with("Component:") ||
           key == "3DPszFilePath" || key == "3DPiFileType" || key == "3DPbHaveChanges";
}

// A comment is one header line: line ends inside a value become blanks.
std::string commentText(std::string_view value)
{
    std::string text = limitUtf8Bytes(value, MaxCommentBytes);
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

bool triangleInside(const ModelObject& object, std::uint32_t t)
{
    const std::uint32_t* corner = object.indices.data() + 3 * t;
    const std::uint32_t count = object.vertices.count();
    return corner[0] < count && corner[1] < count && corner[2] < count;
}

// The colour an object gives corner p, or the default colour when it has
// none for it.
ArgbColor objectCornerColor(const ModelObject& object, std::uint32_t p)
{
    if (object.colors.empty())
        return DefaultVertexColor;
    if (object.colors.count() == object.indices.count())
        return object.colors[p];
    const std::uint32_t v = object.indices[p];
    return v < object.colors.count() ? object.colors[v] : DefaultVertexColor;
}

void writeColorBytes(char* out, ArgbColor color)
{
    out[0] = static_cast<char>((color >> 16) & 0xFF);
    out[1] = static_cast<char>((color >> 8) & 0xFF);
    out[2] = static_cast<char>(color & 0xFF);
    out[3] = static_cast<char>((color >> 24) & 0xFF);
}

class PlyWriter {
public:
    PlyWriter(const Model& model, ProgressReporter& reporter, Failure* failure)
        : model_(model), reporter_(reporter), failure_(failure)
    {
    }

    OperationResult write(const std::filesystem::path& path);

private:
    OperationResult countContents();
    void writeHeader();
    OperationResult arrangeVertexColors();
    OperationResult writeVertices();
    OperationResult writeTriangles();

    const Model& model_;
    ProgressReporter& reporter_;
    Failure* failure_;
    AtomicFileWriter out_;
    std::uint64_t vertexTotal_ = 0;
    std::uint64_t indexTotal_ = 0;
    std::uint64_t triangleTotal_ = 0; // triangles whose corners are all inside their object
    bool vertexColors_ = false;
    bool faceColors_ = false;
    ColorArray vertexColorTable_;
};

OperationResult PlyWriter::countContents()
{
    std::uint64_t colorTotal = 0;
    for (const auto& object : model_.objects) {
        vertexTotal_ += object->vertices.count();
        indexTotal_ += object->indices.count();
        colorTotal += object->colors.count();
        // A triangle that names a vertex its object does not have cannot be
        // written: it would point into another object or past the end.
        const std::uint32_t triangles = object->triangleCount();
        for (std::uint32_t t = 0; t < triangles; ++t) {
            if (t % 100 == 0 && reporter_.isCancelled())
                return OperationResult::Cancelled;
            triangleTotal_ += triangleInside(*object, t) ? 1 : 0;
        }
    }
    // Corners are written as signed 32-bit numbers.
    if (vertexTotal_ > INT32_MAX || triangleTotal_ > UINT32_MAX)
        return failWith(failure_, FailureKind::Unsupported, "model too large for a PLY file");
    vertexColors_ = colorTotal > 0 && colorTotal != indexTotal_;
    faceColors_ = colorTotal > 0 && colorTotal == indexTotal_;
    return OperationResult::Success;
}

void PlyWriter::writeHeader()
{
    std::string header =
        "element vertex " + std::to_string(vertexTotal_) + "\nproperty float x\nproperty float y\nproperty float z\n";
    const char* colorLines = "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n";
    if (vertexColors_)
        header += colorLines;
    header += "element face " + std::to_string(triangleTotal_) + "\nproperty list uchar int vertex_indices\n";
    if (faceColors_)
        header += colorLines;
    header += "end_header\n";
    out_.write(header);
}

// Vertex colours come from the corners that use each vertex, later corners
// winning; vertices of colourless objects that a triangle uses get the
// default colour, unused ones stay opaque black.
OperationResult PlyWriter::arrangeVertexColors()
{
    if (!vertexColorTable_.allocate(static_cast<std::uint32_t>(vertexTotal_)))
        return failOutOfMemory(failure_);
    std::uint32_t base = 0;
    for (const auto& object : model_.objects) {
        // An object coloured per vertex keeps the colour of vertices that no
        // triangle uses.
        if (object->colorsPerVertex())
            std::memcpy(vertexColorTable_.data() + base, object->colors.data(),
                        sizeof(ArgbColor) * object->vertices.count());
        const std::uint32_t triangles = object->triangleCount();
        for (std::uint32_t t = 0; t < triangles; ++t) {
            if (t % 100 == 0 && reporter_.isCancelled())
                return OperationResult::Cancelled;
            if (!triangleInside(*object, t))
                continue;
            for (std::uint32_t p = 3 * t; p < 3 * t + 3; ++p) {
                const std::uint32_t v = object->indices[p];
                if (object->colors.empty()) {
                    vertexColorTable_[base + v] = DefaultVertexColor;
                } else if (object->colors.count() == object->indices.count()) {
                    vertexColorTable_[base + v] = object->colors[p];
                } else if (v < object->colors.count()) {
                    vertexColorTable_[base + v] = object->colors[v];
                }
            }
        }
        base += object->vertices.count();
    }
    return OperationResult::Success;
}

OperationResult PlyWriter::writeVertices()
{
    reporter_.setStatusText("Writing vertices...", 0);
    std::uint32_t base = 0;
    for (const auto& object : model_.objects) {
        const bool placed = object->hasPlacement();
        const Matrix4 placement = placementMatrix(*object);
        const std::uint32_t count = object->vertices.count();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i % 100 == 0) {
                if (reporter_.isCancelled())
                    return OperationResult::Cancelled;
                reporter_.setProgress(static_cast<double>(i) / count);
            }
            const Vector3 point = placed ? transformPoint(object->vertices[i], placement) : object->vertices[i];
            char* at = out_.reserve(16);
            std::memcpy(at, &point.x, 4);
            std::memcpy(at + 4, &point.y, 4);
            std::memcpy(at + 8, &point.z, 4);
            if (vertexColors_) {
                writeColorBytes(at + 12, vertexColorTable_[base + i]);
                out_.advance(16);
            } else {
                out_.advance(12);
            }
        }
        base += count;
    }
    return OperationResult::Success;
}

OperationResult PlyWriter::writeTriangles()
{
    reporter_.setStatusText("Writing triangles...", 0);
    std::uint64_t written = 0;
    std::uint32_t base = 0;
    for (const auto& object : model_.objects) {
        const std::uint32_t triangles = object->triangleCount();
        for (std::uint32_t t = 0; t < triangles; ++t) {
            if (written % 100 == 0) {
                if (reporter_.isCancelled())
                    return OperationResult::Cancelled;
                reporter_.setProgress(static_cast<double>(3 * written) / static_cast<double>(indexTotal_));
            }
            if (!triangleInside(*object, t))
                continue;
            char* at = out_.reserve(17);
            at[0] = 3;
            for (int k = 0; k < 3; ++k) {
                const std::int32_t corner = static_cast<std::int32_t>(base + object->indices[3 * t + k]);
                std::memcpy(at + 1 + 4 * k, &corner, 4);
            }
            if (faceColors_) {
                writeColorBytes(at + 13, objectCornerColor(*object, 3 * t));
                out_.advance(17);
            } else {
                out_.advance(13);
            }
            ++written;
        }
        base += object->vertices.count();
    }
    return OperationResult::Success;
}

OperationResult PlyWriter::write(const std::filesystem::path& path)
{
    reporter_.setStatusText("Writing file header...", 0);
    if (OperationResult result = out_.open(path, failure_); result != OperationResult::Success)
        return result;
    out_.write("ply\nformat binary_little_endian 1.0\n");
    for (const auto& [key, value] : model_.properties) {
        if (isBookkeepingKey(key))
            continue;
        out_.write("comment ");
        out_.write(commentText(value));
        out_.put('\n');
    }

    reporter_.setStatusText("Writing properties...", 0);
    OperationResult result = countContents();
    if (result != OperationResult::Success)
        return result;
    writeHeader();

    reporter_.setStatusText("Arranging data...", 0);
    if (vertexColors_) {
        result = arrangeVertexColors();
        if (result != OperationResult::Success)
            return result;
    }
    result = writeVertices();
    if (result == OperationResult::Success)
        result = writeTriangles();
    if (result == OperationResult::Success)
        result = out_.commit(failure_);
    if (result == OperationResult::Success)
        reporter_.setProgress(1.0);
    return result;
}

} // namespace

OperationResult writePly(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    PlyWriter writer(model, reporter, failure);
    return writer.write(path);
}

} // namespace morvex::ply

#include "formats/3ds/tds.h"
#include "formats/3ds/tds_chunks.h"
#include "formats/3ds/tds_textures.h"
#include "formats/companion_copies.h"
#include "support/platform/files.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

namespace morvex::tds {
namespace {

namespace fs = std::filesystem;

// A piece of unshared vertices holds at most this many triangles: three
// vertices each within the 16-bit vertex count.
constexpr std::uint32_t MaxUnsharedTriangles = MaxListCount / 3;
constexpr std::uint16_t FaceFlags = 7;
constexpr std::uint16_t Version = 3;
constexpr std::uint32_t TrianglesPerCheck = 5000;
constexpr std::uint16_t NoMaterial = UINT16_MAX;

static_assert(sizeof(Vector3) == 12 && sizeof(TexCoord) == 8);

// One object block of the output: a run of an object's triangles.
struct Piece {
    const ModelObject* object = nullptr;
    std::uint32_t firstTriangle = 0;
    std::uint32_t endTriangle = 0;
    std::uint32_t faces = 0; // triangles written: those whose corners all name vertices
    bool unshared = false;   // three vertices per triangle (else the object's own vertex list)
};

// Texture coordinates parallel to the corners can only be written with a
// vertex per corner.
bool texCoordsPerCorner(const ModelObject& object)
{
    return !object.indices.empty() && object.texCoords.count() == object.indices.count();
}

bool triangleValid(const ModelObject& object, std::uint32_t triangle)
{
    const std::uint32_t* corner = object.indices.data() + 3 * std::uint64_t{triangle};
    const std::uint32_t vertices = object.vertices.count();
    return corner[0] < vertices && corner[1] < vertices && corner[2] < vertices;
}

// Opens and closes chunks, writing each one's length into its header when
// it is closed.
class ChunkStack {
public:
    explicit ChunkStack(AtomicFileWriter& out) : out_(out) {}

    void open(std::uint16_t id)
    {
        starts_.push_back(out_.position());
        out_.writeLittleEndian(id);
        out_.writeLittleEndian(std::uint32_t{0});
    }
    void close()
    {
        const std::uint64_t length = out_.position() - starts_.back();
        tooLarge_ = tooLarge_ || length > UINT32_MAX;
        const auto written = static_cast<std::uint32_t>(length);
        out_.patch(starts_.back() + 2, &written, sizeof written);
        starts_.pop_back();
    }
    void closeAll()
    {
        while (!starts_.empty())
            close();
    }
    // A chunk longer than its 32-bit length can say.
    bool tooLarge() const { return tooLarge_; }

private:
    AtomicFileWriter& out_;
    std::vector<std::uint64_t> starts_;
    bool tooLarge_ = false;
};

// The pieces of every object, in order: an object within the 16-bit counts
// is one piece with its own vertices, a larger one (or one with texture
// coordinates per corner) pieces of unshared vertices.
bool planPieces(const Model& model, std::vector<Piece>& pieces, ProgressReporter& reporter)
{
    const double share = model.objects.empty() ? 0.0 : 0.5 / static_cast<double>(model.objects.size());
    for (std::size_t n = 0; n < model.objects.size(); ++n) {
        const ModelObject& object = *model.objects[n];
        reporter.setProgress(0.1 + share * static_cast<double>(n));
        const std::uint32_t triangles = object.triangleCount();
        const bool fits = triangles < MaxListCount && object.vertices.count() < MaxListCount;
        Piece piece{&object, 0, 0, 0, !fits || texCoordsPerCorner(object)};
        for (std::uint32_t t = 0; t < triangles; ++t) {
            if (t % TrianglesPerCheck == 0 && reporter.isCancelled())
                return false;
            if (piece.unshared && piece.faces == MaxUnsharedTriangles) {
                piece.endTriangle = t;
                pieces.push_back(piece);
                piece = Piece{&object, t, t, 0, true};
            }
            piece.faces += triangleValid(object, t) ? 1 : 0;
        }
        piece.endTriangle = triangles;
        if (piece.faces > 0)
            pieces.push_back(piece);
    }
    return true;
}

// The materials as written: unique names (the groups find them by name)
// and a short name for each texture file.
class MaterialTable {
public:
    explicit MaterialTable(const Model& model)
    {
        // Oldest first, so that reading back gives the model's order.
        for (auto it = model.materials.rbegin(); it != model.materials.rend(); ++it) {
            const Material& material = **it;
            std::string name = material.properties.getProperty("Name");
            if (name.empty())
                name = "Material " + std::to_string(material.id);
            for (int n = 2;
                 std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.name == name; });
                 ++n)
                name = material.properties.getProperty("Name") + " " + std::to_string(n);
            std::string texture;
            for (const TextureMap& map : material.textures)
                if (map.kind == TextureKind::Diffuse && !map.path.empty()) {
                    texture = textures_.nameFor(map.path);
                    break;
                }
            numberOf_[material.id] = static_cast<std::uint16_t>(entries_.size());
            entries_.push_back({&material, std::move(name), std::move(texture)});
        }
    }

    struct Entry {
        const Material* material;
        std::string name;
        std::string texture; // the short name, or empty
    };
    const std::vector<Entry>& entries() const { return entries_; }
    const ShortTextureNames& textures() const { return textures_; }

    // The entry of a material id, or NoMaterial.
    std::uint16_t numberOf(std::int16_t id) const
    {
        const auto found = numberOf_.find(id);
        return found == numberOf_.end() ? NoMaterial : found->second;
    }

    // A material for faces of a grouped piece that no range covers: a
    // reader keeps only grouped faces once a piece has groups.
    std::uint16_t fallback()
    {
        if (fallback_ == NoMaterial) {
            fallback_ = static_cast<std::uint16_t>(entries_.size());
            entries_.push_back({nullptr, "Morvex default", {}});
        }
        return fallback_;
    }

private:
    std::vector<Entry> entries_;
    std::unordered_map<std::int16_t, std::uint16_t> numberOf_;
    ShortTextureNames textures_;
    std::uint16_t fallback_ = NoMaterial;
};

// The material entry of every face of a piece (NoMaterial for none).
class FaceMaterials {
public:
    FaceMaterials(const ModelObject& object, MaterialTable& table)
    {
        for (const MaterialRange& range : object.materialRanges)
            if (const std::uint16_t number = table.numberOf(range.materialId);
                number != NoMaterial && range.firstIndex < range.endIndex)
                ranges_.push_back({range.firstIndex, range.endIndex, number});
        // The newest range is first and wins where ranges overlap.
        std::stable_sort(ranges_.begin(), ranges_.end(),
                         [](const Span& a, const Span& b) { return a.first < b.first; });
    }

    bool any() const { return !ranges_.empty(); }

    std::uint16_t of(std::uint32_t triangle) const
    {
        const std::uint64_t corner = 3 * std::uint64_t{triangle};
        // Ranges do not overlap: the last one that starts at or before the
        // corner is the only one that can hold it.
        const auto after = std::upper_bound(ranges_.begin(), ranges_.end(), corner,
                                            [](std::uint64_t c, const Span& span) { return c < span.first; });
        if (after != ranges_.begin() && corner < std::prev(after)->end)
            return std::prev(after)->number;
        return NoMaterial;
    }

private:
    struct Span {
        std::uint64_t first;
        std::uint64_t end;
        std::uint16_t number;
    };
    std::vector<Span> ranges_;
};

// Whether some written face of a grouped piece lies in no range.
bool needsFallback(const std::vector<Piece>& pieces, MaterialTable& table)
{
    const ModelObject* last = nullptr;
    std::optional<FaceMaterials> materials;
    for (const Piece& piece : pieces) {
        if (piece.object != last) {
            materials.emplace(*piece.object, table);
            last = piece.object;
        }
        if (!materials->any())
            continue;
        for (std::uint32_t t = piece.firstTriangle; t < piece.endTriangle; ++t)
            if (triangleValid(*piece.object, t) && materials->of(t) == NoMaterial)
                return true;
    }
    return false;
}

class Writer {
public:
    Writer(AtomicFileWriter& out, MaterialTable& materials, ProgressReporter& reporter)
        : out_(out), chunks_(out), materials_(materials), reporter_(reporter)
    {
    }

    ChunkStack& chunks() { return chunks_; }

    void writeMaterials()
    {
        for (const MaterialTable::Entry& entry : materials_.entries()) {
            chunks_.open(MaterialBlock);
            writeString(MaterialName, entry.name);
            chunks_.open(DiffuseColour);
            chunks_.open(ByteColour);
            const ArgbColor colour =
                entry.material != nullptr ? entry.material->colors[DiffuseSlot] : DefaultVertexColor;
            for (int shift = 16; shift >= 0; shift -= 8)
                out_.put(static_cast<char>((colour >> shift) & 0xFF));
            chunks_.close();
            chunks_.close();
            if (!entry.texture.empty()) {
                chunks_.open(TextureMapChunk);
                writeString(MapFileName, entry.texture);
                chunks_.close();
            }
            chunks_.close();
        }
    }

    // False when a stop was asked; the chunks are then left open.
    bool writePiece(const Piece& piece, std::uint32_t number, bool fallback)
    {
        chunks_.open(ObjectBlock);
        out_.write("Object " + std::to_string(number));
        out_.put('\0');
        chunks_.open(TriangleMesh);
        writeVertices(piece);
        if (reporter_.isCancelled())
            return false;
        writeMapping(piece);
        if (!writeFaces(piece, fallback))
            return false;
        chunks_.close();
        chunks_.close();
        return true;
    }

private:
    void writeString(std::uint16_t id, std::string_view text)
    {
        chunks_.open(id);
        out_.write(text);
        out_.put('\0');
        chunks_.close();
    }

    template <typename Visit>
    void forEachWrittenTriangle(const Piece& piece, Visit&& visit)
    {
        for (std::uint32_t t = piece.firstTriangle; t < piece.endTriangle; ++t)
            if (triangleValid(*piece.object, t))
                visit(t);
    }

    void writeVertices(const Piece& piece)
    {
        const ModelObject& object = *piece.object;
        chunks_.open(VertexList);
        if (!piece.unshared) {
            out_.writeLittleEndian(static_cast<std::uint16_t>(object.vertices.count()));
            out_.write(object.vertices.data(), std::size_t{object.vertices.count()} * sizeof(Vector3));
        } else {
            out_.writeLittleEndian(static_cast<std::uint16_t>(3 * piece.faces));
            forEachWrittenTriangle(piece, [&](std::uint32_t t) {
                char* at = out_.reserve(3 * sizeof(Vector3));
                for (int c = 0; c < 3; ++c)
                    std::memcpy(at + c * sizeof(Vector3), &object.vertices[object.indices[3 * t + c]], sizeof(Vector3));
                out_.advance(3 * sizeof(Vector3));
            });
        }
        chunks_.close();
    }

    void writeMapping(const Piece& piece)
    {
        const ModelObject& object = *piece.object;
        if (!piece.unshared && object.texCoordsPerVertex()) {
            chunks_.open(MappingList);
            out_.writeLittleEndian(static_cast<std::uint16_t>(object.texCoords.count()));
            out_.write(object.texCoords.data(), std::size_t{object.texCoords.count()} * sizeof(TexCoord));
            chunks_.close();
        } else if (piece.unshared && (texCoordsPerCorner(object) || object.texCoordsPerVertex())) {
            const bool perCorner = texCoordsPerCorner(object);
            chunks_.open(MappingList);
            out_.writeLittleEndian(static_cast<std::uint16_t>(3 * piece.faces));
            forEachWrittenTriangle(piece, [&](std::uint32_t t) {
                for (std::uint32_t k = 3 * t; k < 3 * t + 3; ++k)
                    out_.write(&object.texCoords[perCorner ? k : object.indices[k]], sizeof(TexCoord));
            });
            chunks_.close();
        }
    }

    bool writeFaces(const Piece& piece, bool fallback)
    {
        const ModelObject& object = *piece.object;
        chunks_.open(FaceList);
        out_.writeLittleEndian(static_cast<std::uint16_t>(piece.faces));
        std::uint32_t face = 0;
        bool stopped = false;
        forEachWrittenTriangle(piece, [&](std::uint32_t t) {
            if (++face % TrianglesPerCheck == 0)
                stopped = stopped || reporter_.isCancelled();
            char* at = out_.reserve(8);
            for (int c = 0; c < 3; ++c) {
                const auto index =
                    static_cast<std::uint16_t>(piece.unshared ? 3 * (face - 1) + c : object.indices[3 * t + c]);
                std::memcpy(at + 2 * c, &index, 2);
            }
            std::memcpy(at + 6, &FaceFlags, 2);
            out_.advance(8);
        });
        if (stopped)
            return false;
        writeGroups(piece, fallback);
        chunks_.close();
        return true;
    }

    // One face material group per material the piece's faces use, in the
    // order of each material's first face: readers list a piece's faces
    // group by group, so the faces of a model whose materials each cover one
    // run of triangles come back in their own order.
    void writeGroups(const Piece& piece, bool fallback)
    {
        const FaceMaterials materials(*piece.object, materials_);
        if (!materials.any())
            return;
        faceKeys_.clear();
        firstUse_.assign(materials_.entries().size(), NoMaterial);
        std::uint16_t used = 0;
        std::uint16_t face = 0;
        forEachWrittenTriangle(piece, [&](std::uint32_t t) {
            std::uint16_t number = materials.of(t);
            if (number == NoMaterial && fallback)
                number = materials_.fallback();
            if (number != NoMaterial && firstUse_[number] == NoMaterial)
                firstUse_[number] = used++;
            faceKeys_.push_back({number, face++});
        });
        const auto rank = [&](std::uint16_t number) { return number == NoMaterial ? NoMaterial : firstUse_[number]; };
        std::stable_sort(faceKeys_.begin(), faceKeys_.end(),
                         [&](const FaceKey& a, const FaceKey& b) { return rank(a.material) < rank(b.material); });
        for (std::size_t at = 0; at < faceKeys_.size();) {
            const std::uint16_t number = faceKeys_[at].material;
            std::size_t end = at;
            while (end < faceKeys_.size() && faceKeys_[end].material == number)
                ++end;
            if (number != NoMaterial) {
                chunks_.open(FaceMaterialGroup);
                out_.write(materials_.entries()[number].name);
                out_.put('\0');
                out_.writeLittleEndian(static_cast<std::uint16_t>(end - at));
                for (std::size_t k = at; k < end; ++k)
                    out_.writeLittleEndian(faceKeys_[k].face);
                chunks_.close();
            }
            at = end;
        }
    }

    struct FaceKey {
        std::uint16_t material;
        std::uint16_t face;
    };

    AtomicFileWriter& out_;
    ChunkStack chunks_;
    MaterialTable& materials_;
    ProgressReporter& reporter_;
    std::vector<FaceKey> faceKeys_;       // reused from piece to piece
    std::vector<std::uint16_t> firstUse_; // per material entry: the rank of its first face
};

} // namespace

OperationResult write3ds(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    reporter.setStatusText("Writing 3DS Data.", 0);
    std::vector<Piece> pieces;
    std::optional<MaterialTable> materials;
    bool fallback = false;
    try {
        if (!planPieces(model, pieces, reporter))
            return OperationResult::Cancelled;
        materials.emplace(model);
        fallback = needsFallback(pieces, *materials);
        if (fallback)
            materials->fallback();
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }

    AtomicFileWriter out;
    if (out.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    Writer writer(out, *materials, reporter);
    ChunkStack& chunks = writer.chunks();
    try {
        chunks.open(MainChunk);
        chunks.open(VersionChunk);
        out.writeLittleEndian(Version);
        chunks.close();
        chunks.open(EditorChunk);
        writer.writeMaterials();
        for (std::size_t n = 0; n < pieces.size(); ++n) {
            reporter.setProgress(0.5 + 0.4 * static_cast<double>(n) / static_cast<double>(pieces.size()));
            if (reporter.isCancelled() || !writer.writePiece(pieces[n], static_cast<std::uint32_t>(n), fallback)) {
                chunks.closeAll();
                return OperationResult::Cancelled;
            }
        }
        reporter.setProgress(0.9);
        chunks.closeAll();
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
    if (chunks.tooLarge())
        return failWith(failure, FailureKind::Unsupported, "the model is too large for a 3DS file (4 GB)");

    // Texture files go beside the output, where the readers of the format
    // look for them.
    CompanionCopies textures;
    for (const ShortTextureNames::Copy& copy : materials->textures().copies())
        textures.add(copy.source, copy.name);
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (textures.stage(folder, failure) != OperationResult::Success ||
        textures.place(failure) != OperationResult::Success || out.commit(failure) != OperationResult::Success)
        return OperationResult::Failure;
    reporter.setProgress(1.0);
    reporter.setStatusText("", 1);
    return OperationResult::Success;
}

} // namespace morvex::tds

#pragma once

#include "mesh/geometry.h"
#include "mesh/property_bag.h"
#include "support/core/growable_array.h"
#include "support/core/operation_result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

using Vector3Array = GrowableArray<Vector3, ArrayFill::Zero>;
using TexCoordArray = GrowableArray<TexCoord, ArrayFill::Zero>;
using ColorArray = GrowableArray<ArgbColor, ArrayFill::Colour>;
using IndexArray = GrowableArray<std::uint32_t, ArrayFill::None>;

// Kinds of file format. The numbers are stored in files and settings; 5 is
// no longer used.
enum class FormatKind : std::int32_t {
    Document3dp = 0,
    ThreeDs = 1,
    StlAscii = 2,
    StlBinary = 3,
    Obj = 4,
    ThreeMf = 6,
    Ply = 7,
    External = 8,
    Fbx = 9,
    Sdf = 10,
    Mqo = 11,
    Unknown = 12,
};

enum class UpAxis : std::int32_t { Unknown = 0, Y = 2, Z = 3 };
enum class Handedness : std::int32_t { Unknown = 0, Left = 3, Right = 6 };
enum class Winding : std::int32_t { Unknown = 0, CounterClockwise = 1, Clockwise = 2 };

// Coordinate conventions of a format, and of a model expressed in them.
struct FormatProfile {
    FormatKind kind = FormatKind::Unknown;
    UpAxis upAxis = UpAxis::Unknown;
    Handedness handedness = Handedness::Unknown;
    Winding winding = Winding::Unknown;
    bool carriesNormals = false;
    friend bool operator==(const FormatProfile&, const FormatProfile&) = default;
};

// Corners firstIndex .. endIndex-1 of an object's indices use one material.
struct MaterialRange {
    std::int16_t materialId = -1;
    std::uint32_t firstIndex = 0;
    std::uint32_t endIndex = 0;
};

enum class TextureKind : std::int32_t { Diffuse = 1, Ambient = 4 };

struct TextureMap {
    TextureKind kind = TextureKind::Diffuse;
    std::string path; // resolved next to the material file
    bool flag = false;
};

// Colour slots of a material.
enum MaterialSlot : int {
    AmbientSlot = 0, // also the plain colour of a one-colour material
    DiffuseSlot = 1,
    SpecularSlot = 5,
    MaterialSlotCount = 6,
};

struct Material {
    PropertyBag properties; // "Name" holds the material name
    std::int16_t id = 0;
    ArgbColor colors[MaterialSlotCount] = {OpaqueBlack, OpaqueBlack, OpaqueBlack,
                                           OpaqueBlack, 0x00000000u, OpaqueBlack};
    bool colorSet[MaterialSlotCount] = {};
    float shininess = 0.0f;
    std::vector<TextureMap> textures; // in the order added

    void setColor(int slot, ArgbColor color)
    {
        colors[slot] = color;
        colorSet[slot] = true;
    }
    // False when memory ran out.
    bool addTextureMap(TextureKind kind, std::string_view path);
};

// One mesh. Normals and texture coordinates are per corner (parallel to
// indices); colours are per vertex or per corner, told apart by count.
struct ModelObject {
    PropertyBag properties;
    Vector3 position{0, 0, 0};
    Vector3 rotation{0, 0, 0}; // degrees about x, y, z
    Vector3 scale{1, 1, 1};
    Vector3Array vertices;
    IndexArray indices;
    Vector3Array normals;
    ColorArray colors;
    TexCoordArray texCoords;
    std::vector<MaterialRange> materialRanges; // newest first
    // Set by a reader that delivers triangles as a plain vertex list without
    // indices: every three consecutive vertices form a triangle, and
    // generateIndices gives them their index list. Without it, vertices
    // without indices are a point set (a point cloud, the ends of lines) and
    // stay one.
    bool verticesFormTriangles = false;

    std::uint32_t triangleCount() const { return indices.count() / 3; }
    // Vertices but not one whole triangle: points, which formats that hold
    // only triangles cannot write.
    bool isPointSet() const { return !vertices.empty() && triangleCount() == 0; }
    bool hasPlacement() const;
    // Pushes a range {-1, 0, 0} at the front; nullptr when memory ran out.
    MaterialRange* addMaterialRange();
    // Per-corner colours win when the colour count equals the index count.
    bool colorsPerCorner() const { return !colors.empty() && colors.count() == indices.count(); }
    bool colorsPerVertex() const
    {
        return !colors.empty() && colors.count() != indices.count() && colors.count() == vertices.count();
    }
    // Texture coordinates as long as the vertex list (and not the index
    // list) belong to the vertices rather than the corners.
    bool texCoordsPerVertex() const
    {
        return texCoords.count() == vertices.count() && texCoords.count() != indices.count();
    }
    // Colour of corner k as the document writers take it.
    ArgbColor cornerColor(std::uint32_t corner) const;
};

// The in-memory document every reader fills and every writer reads.
struct Model {
    PropertyBag properties;
    std::vector<std::unique_ptr<ModelObject>> objects; // file order
    std::vector<std::unique_ptr<Material>> materials;  // newest first
    FormatProfile profile;
    std::int16_t nextMaterialId = 0;
    // What files the model refers to need while it lives (the folder of
    // textures unpacked from a package); released with the model.
    std::vector<std::shared_ptr<void>> keptAlive;

    Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Appends an empty object; nullptr when memory ran out.
    ModelObject* addObject();
    // Pushes a new material with the next id at the front; nullptr when
    // memory ran out.
    Material* addMaterial();
    Material* findMaterial(std::int16_t id);
    const Material* findMaterial(std::int16_t id) const;
    // Clears everything but the material id counter.
    void reset();
    // Drops objects without vertices or without indices, keeping the order.
    void removeEmptyObjects();
};

inline void resetModel(Model& model)
{
    model.reset();
}

// The placement matrix of an object: scale, rotation, position.
Matrix4 placementMatrix(const ModelObject& object);

} // namespace morvex

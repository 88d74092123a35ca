#include "mesh/model.h"

#include "support/text/text.h"

#include <algorithm>
#include <array>
#include <new>

namespace morvex {
namespace {

struct ProfileRow {
    const char* extension;
    FormatProfile profile;
};

constexpr FormatProfile makeProfile(FormatKind kind, UpAxis up, Handedness hand, Winding winding, bool normals)
{
    return FormatProfile{kind, up, hand, winding, normals};
}

constexpr std::array<ProfileRow, 9> nativeProfiles{{
    {".3dp", makeProfile(FormatKind::Document3dp, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true)},
    {".3ds", makeProfile(FormatKind::Tds, UpAxis::Z, Handedness::Right, Winding::CounterClockwise, false)},
    {".stl", makeProfile(FormatKind::StlBinary, UpAxis::Z, Handedness::Right, Winding::CounterClockwise, false)},
    {".obj", makeProfile(FormatKind::Obj, UpAxis::Y, Handedness::Right, Winding::CounterClockwise, true)},
    {".3mf", makeProfile(FormatKind::ThreeMf, UpAxis::Z, Handedness::Right, Winding::CounterClockwise, false)},
    {".ply", makeProfile(FormatKind::Ply, UpAxis::Z, Handedness::Right, Winding::CounterClockwise, false)},
    {".fbx", makeProfile(FormatKind::Fbx, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true)},
    {".sdf", makeProfile(FormatKind::Sdf, UpAxis::Y, Handedness::Right, Winding::Clockwise, false)},
    {".mqo", makeProfile(FormatKind::Mqo, UpAxis::Y, Handedness::Right, Winding::Clockwise, false)},
}};

constexpr const char* externalExtensions[] = {
    ".3d",  ".ac",  ".ase",  ".b3d", ".blend", ".cob", ".dae", ".dxf", ".gltf", ".glb",
    ".hmp", ".ifc", ".lwo",  ".lws", ".lxo",   ".mdl", ".md2", ".md3", ".mdc",  ".md5",
    ".ms3d", ".ndo", ".nff", ".off", ".ogex",  ".pk3", ".q3d", ".q3s", ".raw",  ".scn",
    ".smd", ".ter", ".vta",  ".x",   ".xgl",   ".zgl", ".xsi",
};

} // namespace

FormatProfile profileForExtension(std::string_view extension)
{
    for (const ProfileRow& row : nativeProfiles)
        if (equalsIgnoreCase(extension, row.extension))
            return row.profile;
    for (const char* external : externalExtensions)
        if (equalsIgnoreCase(extension, external))
            return makeProfile(FormatKind::External, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true);
    return FormatProfile{};
}

bool Material::addTextureMap(TextureKind kind, std::string_view path)
{
    try {
        textures.push_back(TextureMap{kind, limitUtf16Units(path), false});
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ModelObject::hasPlacement() const
{
    return !(position == Vector3{0, 0, 0} && rotation == Vector3{0, 0, 0} && scale == Vector3{1, 1, 1});
}

MaterialRange* ModelObject::addMaterialRange()
{
    try {
        materialRanges.insert(materialRanges.begin(), MaterialRange{});
        return &materialRanges.front();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

ArgbColor ModelObject::cornerColor(std::uint32_t corner) const
{
    if (colors.empty() || corner >= indices.count())
        return DefaultVertexColor;
    // Per-corner colours are found by corner alone: the corner's vertex
    // number may well exceed the colour count when vertices outnumber corners.
    if (colorsPerCorner())
        return colors[corner];
    const std::uint32_t index = indices[corner];
    return index < colors.count() ? colors[index] : DefaultVertexColor;
}

ModelObject* Model::addObject()
{
    try {
        objects.push_back(std::make_unique<ModelObject>());
        return objects.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Material* Model::addMaterial()
{
    try {
        auto material = std::make_unique<Material>();
        material->id = nextMaterialId++;
        materials.insert(materials.begin(), std::move(material));
        return materials.front().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

Material* Model::findMaterial(std::int16_t id)
{
    for (auto& material : materials)
        if (material->id == id)
            return material.get();
    return nullptr;
}

const Material* Model::findMaterial(std::int16_t id) const
{
    for (const auto& material : materials)
        if (material->id == id)
            return material.get();
    return nullptr;
}

void Model::reset()
{
    materials.clear();
    objects.clear();
    properties.clear();
    profile = FormatProfile{};
}

void Model::removeEmptyObjects()
{
    std::erase_if(objects, [](const std::unique_ptr<ModelObject>& object) {
        return object->vertices.count() == 0 || object->indices.count() == 0;
    });
}

Matrix4 placementMatrix(const ModelObject& object)
{
    return composeTransform(object.rotation, object.scale, Matrix4::identity(), object.position);
}

} // namespace morvex

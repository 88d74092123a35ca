#include "mesh/model.h"

#include "support/text/text.h"

#include <algorithm>
#include <array>
#include <new>

namespace morvex {

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
    keptAlive.clear();
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

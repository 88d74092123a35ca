#include "app/model_summary.h"

#include "support/text/json.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace morvex {
namespace {

void appendProperties(std::string& out, const PropertyBag& bag)
{
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : bag) {
        if (!first)
            out.push_back(',');
        first = false;
        appendJsonString(out, key);
        out.push_back(':');
        appendJsonString(out, value);
    }
    out.push_back('}');
}

void appendCount(std::string& out, const char* name, std::uint64_t value, bool comma = true)
{
    out.push_back('"');
    out += name;
    out += "\":";
    out += std::to_string(value);
    if (comma)
        out.push_back(',');
}

std::string colorText(ArgbColor color)
{
    char text[16];
    std::snprintf(text, sizeof text, "#%08X", color);
    return text;
}

const char* materialSlotName(int slot)
{
    switch (slot) {
    case AmbientSlot: return "ambient";
    case DiffuseSlot: return "diffuse";
    case SpecularSlot: return "specular";
    default: return nullptr;
    }
}

} // namespace

BoundingBox boundingBoxOf(const Model& model)
{
    BoundingBox box;
    box.min = {INFINITY, INFINITY, INFINITY};
    box.max = {-INFINITY, -INFINITY, -INFINITY};
    for (const auto& object : model.objects) {
        const bool placed = object->hasPlacement();
        const Matrix4 placement = placementMatrix(*object);
        for (const Vector3& vertex : object->vertices) {
            const Vector3 p = placed ? transformPoint(vertex, placement) : vertex;
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
                continue;
            const double c[3] = {p.x, p.y, p.z};
            for (int axis = 0; axis < 3; ++axis) {
                box.min[axis] = std::min(box.min[axis], c[axis]);
                box.max[axis] = std::max(box.max[axis], c[axis]);
            }
            box.valid = true;
        }
    }
    if (!box.valid)
        box = BoundingBox{};
    return box;
}

// The kind of format a model was read as, in words.
std::string_view formatKindName(FormatKind kind)
{
    switch (kind) {
    case FormatKind::Document3dp: return "3DP document";
    case FormatKind::ThreeDs: return "3DS";
    case FormatKind::StlAscii: return "ASCII STL";
    case FormatKind::StlBinary: return "binary STL";
    case FormatKind::Obj: return "OBJ";
    case FormatKind::ThreeMf: return "3MF";
    case FormatKind::Ply: return "PLY";
    case FormatKind::External: return "read through the helper";
    case FormatKind::Fbx: return "FBX";
    case FormatKind::Sdf: return "SDF";
    case FormatKind::Mqo: return "MQO";
    case FormatKind::Unknown: break;
    }
    return "unknown";
}

std::string modelSummaryJson(std::string_view path, OperationResult result, const Model& model, std::string_view reason)
{
    std::string out = "{\"path\":";
    appendJsonPath(out, path);
    out += ",\"result\":";
    appendJsonString(out, operationResultName(result));
    if (!reason.empty()) {
        out += ",\"reason\":";
        appendJsonString(out, reason);
    }
    out += ",\"profileKind\":" + std::to_string(static_cast<int>(model.profile.kind));
    out += ",\"format\":";
    appendJsonString(out, formatKindName(model.profile.kind));
    out += ",\"objects\":[";
    for (std::size_t i = 0; i < model.objects.size(); ++i) {
        const ModelObject& object = *model.objects[i];
        if (i != 0)
            out.push_back(',');
        out.push_back('{');
        appendCount(out, "vertices", object.vertices.count());
        appendCount(out, "indices", object.indices.count());
        appendCount(out, "triangles", object.triangleCount());
        appendCount(out, "normals", object.normals.count());
        appendCount(out, "colors", object.colors.count());
        appendCount(out, "texcoords", object.texCoords.count());
        appendCount(out, "materialRanges", object.materialRanges.size());
        out += "\"placement\":[";
        const float placement[9] = {object.position.x, object.position.y, object.position.z,
                                    object.rotation.x, object.rotation.y, object.rotation.z,
                                    object.scale.x,    object.scale.y,    object.scale.z};
        for (int k = 0; k < 9; ++k) {
            if (k != 0)
                out.push_back(',');
            appendJsonNumber(out, placement[k]);
        }
        out += "],\"properties\":";
        appendProperties(out, object.properties);
        out.push_back('}');
    }
    out += "],\"materials\":[";
    for (std::size_t i = 0; i < model.materials.size(); ++i) {
        const Material& material = *model.materials[i];
        if (i != 0)
            out.push_back(',');
        out += "{\"id\":" + std::to_string(material.id);
        for (int slot = 0; slot < MaterialSlotCount; ++slot) {
            const char* name = materialSlotName(slot);
            if (name != nullptr && material.colorSet[slot]) {
                out += ",\"";
                out += name;
                out += "\":";
                appendJsonString(out, colorText(material.colors[slot]));
            }
        }
        out += ",\"textures\":[";
        for (std::size_t t = 0; t < material.textures.size(); ++t) {
            if (t != 0)
                out.push_back(',');
            appendJsonPath(out, material.textures[t].path);
        }
        out += "],\"properties\":";
        appendProperties(out, material.properties);
        out.push_back('}');
    }
    out += "],\"bbox\":";
    const BoundingBox box = boundingBoxOf(model);
    if (box.valid) {
        out.push_back('[');
        for (int k = 0; k < 6; ++k) {
            if (k != 0)
                out.push_back(',');
            appendJsonNumber(out, k < 3 ? box.min[k] : box.max[k - 3]);
        }
        out.push_back(']');
    } else {
        out += "null";
    }
    out += ",\"properties\":";
    appendProperties(out, model.properties);
    out.push_back('}');
    return out;
}

std::string modelSummaryText(std::string_view path, OperationResult result, const Model& model, std::string_view reason)
{
    // Names and texts come from the files: escaped, so that every entry
    // stays on its own line whatever bytes they hold.
    std::string out = escapeForDisplay(path);
    out += ": ";
    out += operationResultName(result);
    if (!reason.empty()) {
        out += " (";
        out += escapeForDisplay(reason);
        out += ")";
    }
    out += "\n";
    if (result != OperationResult::Success)
        return out;
    out += "  format " + std::string(formatKindName(model.profile.kind)) + ", " + std::to_string(model.objects.size()) +
           " object(s), " + std::to_string(model.materials.size()) + " material(s)\n";
    for (const auto& [key, value] : model.properties)
        out += "  property " + escapeForDisplay(key) + " = " + escapeForDisplay(value) + "\n";
    for (std::size_t i = 0; i < model.objects.size(); ++i) {
        const ModelObject& object = *model.objects[i];
        out += "  object " + std::to_string(i) + ": " + std::to_string(object.vertices.count()) + " vertices, " +
               std::to_string(object.indices.count()) + " indices, " + std::to_string(object.triangleCount()) +
               " triangles, " + std::to_string(object.normals.count()) + " normals, " +
               std::to_string(object.colors.count()) + " colours, " + std::to_string(object.texCoords.count()) +
               " texture coordinates\n";
        for (const auto& [key, value] : object.properties)
            out += "    property " + escapeForDisplay(key) + " = " + escapeForDisplay(value) + "\n";
    }
    for (const auto& material : model.materials) {
        out += "  material " + std::to_string(material->id) + " \"" +
               escapeForDisplay(material->properties.getProperty("Name")) + "\"";
        for (int slot = 0; slot < MaterialSlotCount; ++slot)
            if (const char* name = materialSlotName(slot); name != nullptr && material->colorSet[slot])
                out += std::string(" ") + name + " " + colorText(material->colors[slot]);
        for (const TextureMap& texture : material->textures)
            out += " texture " + escapeForDisplay(texture.path);
        out += "\n";
    }
    const BoundingBox box = boundingBoxOf(model);
    if (box.valid) {
        char text[256];
        std::snprintf(text, sizeof text, "  bounding box (%g, %g, %g) - (%g, %g, %g)\n", box.min[0], box.min[1],
                      box.min[2], box.max[0], box.max[1], box.max[2]);
        out += text;
    }
    return out;
}

} // namespace morvex

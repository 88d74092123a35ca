#include "product_meshes.h"

#include <ifcpp/IFC4/include/IfcAnnotation.h>
#include <ifcpp/IFC4/include/IfcLabel.h>
#include <ifcpp/IFC4/include/IfcSpace.h>
#include <ifcpp/geometry/Carve/GeometryConverter.h>

#include <carve/triangulator.hpp>

#include <algorithm>
#include <cstdio>

namespace morvex::ifctool {
namespace {

using MeshSet = carve::mesh::MeshSet<3>;

// The first surface colour found on the product's items, then on its
// representations, then on the product itself.
const AppearanceData* surfaceAppearance(const std::vector<shared_ptr<AppearanceData>>& appearances)
{
    for (const auto& appearance : appearances)
        if (appearance && (appearance->m_apply_to_geometry_type == AppearanceData::GEOM_TYPE_SURFACE ||
                           appearance->m_apply_to_geometry_type == AppearanceData::GEOM_TYPE_VOLUME ||
                           appearance->m_apply_to_geometry_type == AppearanceData::GEOM_TYPE_ANY))
            return appearance.get();
    return nullptr;
}

const AppearanceData* productAppearance(ProductShapeData& shape,
                                        const std::vector<const RepresentationData*>& representations)
{
    for (const RepresentationData* representation : representations)
        for (const auto& item : representation->m_vec_item_data)
            if (const AppearanceData* found = surfaceAppearance(item->m_vec_item_appearances))
                return found;
    for (const RepresentationData* representation : representations)
        if (const AppearanceData* found = surfaceAppearance(representation->m_vec_representation_appearances))
            return found;
    return surfaceAppearance(shape.getAppearances());
}

// "Body" is the shape of the thing itself; "Axis", "Box" or "FootPrint"
// would add lines, bounding boxes and outlines on top of it.
std::vector<const RepresentationData*> chosenRepresentations(const ProductShapeData& shape)
{
    std::vector<const RepresentationData*> bodies;
    std::vector<const RepresentationData*> all;
    for (const auto& representation : shape.m_vec_representations) {
        if (!representation)
            continue;
        all.push_back(representation.get());
        if (representation->m_representation_identifier == L"Body")
            bodies.push_back(representation.get());
    }
    return bodies.empty() ? all : bodies;
}

// IFC is Z up, OBJ Y up; both are right-handed, so this turn keeps every
// triangle's winding.
void appendPosition(std::vector<double>& positions, const carve::math::Matrix& placement, const vec3& local)
{
    const vec3 world = placement * local;
    positions.insert(positions.end(), {world.x, world.z, -world.y});
}

// Corners of one face, as indices into the mesh set's vertex storage.
void appendFaceTriangles(const carve::mesh::Face<3>& face, const MeshSet& meshSet, std::uint32_t base,
                         std::vector<std::uint32_t>& corners, std::vector<vec2>& projected,
                         std::vector<carve::triangulate::tri_idx>& triangles)
{
    if (face.n_edges < 3)
        return;
    const carve::mesh::Vertex<3>* const first = meshSet.vertex_storage.data();
    auto cornerOf = [&](const carve::mesh::Edge<3>* edge) {
        return base + static_cast<std::uint32_t>(edge->vert - first);
    };
    const carve::mesh::Edge<3>* edge = face.edge;
    if (face.n_edges == 3) {
        corners.insert(corners.end(), {cornerOf(edge), cornerOf(edge->next), cornerOf(edge->next->next)});
        return;
    }
    std::vector<const carve::mesh::Edge<3>*> ring;
    ring.reserve(face.n_edges);
    for (std::size_t i = 0; i < face.n_edges; ++i, edge = edge->next)
        ring.push_back(edge);
    triangles.clear();
    try {
        face.getProjectedVertices(projected);
        carve::triangulate::triangulate(projected, triangles);
    } catch (const carve::exception&) {
        triangles.clear();
    }
    if (triangles.empty()) // a face the ear cutter refuses is fanned
        for (unsigned i = 1; i + 1 < ring.size(); ++i)
            triangles.emplace_back(0, i, i + 1);
    for (const auto& triangle : triangles)
        corners.insert(corners.end(),
                       {cornerOf(ring[triangle.a]), cornerOf(ring[triangle.b]), cornerOf(ring[triangle.c])});
}

void appendMeshSet(const MeshSet& meshSet, const carve::math::Matrix& placement, ProductMesh& product)
{
    const std::size_t vertexCount = meshSet.vertex_storage.size();
    const auto base = static_cast<std::uint32_t>(product.positions.size() / 3);
    product.positions.reserve(product.positions.size() + 3 * vertexCount);
    for (const auto& vertex : meshSet.vertex_storage)
        appendPosition(product.positions, placement, vertex.v);
    std::vector<vec2> projected;
    std::vector<carve::triangulate::tri_idx> triangles;
    for (const carve::mesh::Mesh<3>* mesh : meshSet.meshes)
        for (const carve::mesh::Face<3>* face : mesh->faces)
            appendFaceTriangles(*face, meshSet, base, product.corners, projected, triangles);
}

unsigned channelByte(float channel)
{
    return static_cast<unsigned>(std::clamp(channel, 0.0f, 1.0f) * 255.0f + 0.5f);
}

std::string productName(const IfcObjectDefinition& object)
{
    std::string name = object.className();
    if (object.m_Name && !object.m_Name->m_value.empty())
        name += " '" + utf8(object.m_Name->m_value) + "'";
    name += " #" + std::to_string(object.m_entity_id);
    // One line per name in the OBJ file.
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return name;
}

// A reader may keep at most this many materials (ours numbers them in 16
// bits); beyond it, products of one colour share a material.
constexpr std::size_t MaterialsPerFile = 32000;

void shareMaterialsByColour(std::vector<ProductMesh>& products)
{
    for (ProductMesh& product : products) {
        char name[40];
        std::snprintf(name, sizeof name, "colour_%02x%02x%02x%02x", channelByte(product.colour.red),
                      channelByte(product.colour.green), channelByte(product.colour.blue),
                      channelByte(product.colour.alpha));
        product.material = name;
    }
}

} // namespace

std::string utf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t wide : text) {
        auto code = static_cast<std::uint32_t>(wide);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            code = 0xFFFD;
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::vector<ProductMesh> collectProducts(GeometryConverter& geometry)
{
    std::vector<ProductMesh> products;
    for (auto& [id, shape] : geometry.getShapeInputData()) {
        if (!shape || shape->m_ifc_object_definition.expired())
            continue;
        const shared_ptr<IfcObjectDefinition> object(shape->m_ifc_object_definition);
        if (dynamic_pointer_cast<IfcSpace>(object) || dynamic_pointer_cast<IfcAnnotation>(object))
            continue;
        const std::vector<const RepresentationData*> representations = chosenRepresentations(*shape);
        ProductMesh product;
        const carve::math::Matrix placement = shape->getTransform();
        for (const RepresentationData* representation : representations)
            for (const auto& item : representation->m_vec_item_data) {
                for (const auto& meshSet : item->m_meshsets)
                    appendMeshSet(*meshSet, placement, product);
                for (const auto& meshSet : item->m_meshsets_open)
                    appendMeshSet(*meshSet, placement, product);
            }
        if (product.corners.empty())
            continue;
        product.name = productName(*object);
        product.material = std::string(object->className()) + "_" + std::to_string(id);
        if (const AppearanceData* appearance = productAppearance(*shape, representations)) {
            const vec4& diffuse = appearance->m_color_diffuse;
            product.coloured = true;
            product.colour = Colour{static_cast<float>(diffuse.r()), static_cast<float>(diffuse.g()),
                                    static_cast<float>(diffuse.b()), static_cast<float>(diffuse.a())};
        }
        products.push_back(std::move(product));
    }
    if (products.size() > MaterialsPerFile)
        shareMaterialsByColour(products);
    return products;
}

} // namespace morvex::ifctool

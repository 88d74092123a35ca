#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"

#include "support/core/memory_guard.h"
#include "support/text/numbers.h"
#include "support/xml/xml_reader.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morvex::threemf {
namespace {

// The vertex and index arrays of an object grow by doubling from these, so a
// file of many small objects takes memory in proportion to what it holds;
// each array is fitted to its count when the object ends.
constexpr std::uint32_t FirstVertexRoom = 16;
constexpr std::uint32_t FirstIndexRoom = 48;
// Vertices or index positions between two questions to the reporter while
// the objects are completed.
constexpr std::uint32_t CompletionCadence = 500;
constexpr std::uint64_t MemoryFactor = 20;
// Stands for a triangle index that is no number at all.
constexpr std::uint32_t InvalidIndex = UINT32_MAX;

// Grows an array filled ahead of its elements: to double its count, at
// least `first`; false when memory ran out or the count is at its limit.
template <typename Array>
bool growAhead(Array& array, std::uint32_t first)
{
    const std::uint32_t count = array.count();
    if (count == UINT32_MAX)
        return false;
    return array.resize(count >= UINT32_MAX / 2 ? UINT32_MAX : std::max(first, 2 * count));
}

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// Colours that triangles and objects refer to, found by hash instead of a
// walk over all materials per corner. Later entries replace earlier ones of
// the same key, as the newest-first search over the materials would find.
class ColourTable {
public:
    // A colour-group or base-material entry: the group's id text and the
    // entry's number within the group.
    void addGroupEntry(std::string_view group, std::int16_t number, ArgbColor colour)
    {
        auto found = groups_.find(group);
        if (found == groups_.end())
            found = groups_.emplace(std::string(group), Entries{}).first;
        found->second[number] = colour;
        lastGroup_ = nullptr;
    }

    // A colour element, found by its id text.
    void addIdEntry(std::string_view id, ArgbColor colour)
    {
        const auto found = ids_.find(id);
        if (found == ids_.end())
            ids_.emplace(std::string(id), colour);
        else
            found->second = colour;
    }

    // Colour of (group, index): with a group, the group's entry numbered by
    // the index; without one, the colour element whose id text is the index.
    bool find(std::string_view group, std::string_view index, ArgbColor& colour)
    {
        if (group.empty()) {
            const auto found = ids_.find(index);
            if (found == ids_.end())
                return false;
            colour = found->second;
            return true;
        }
        if (lastGroup_ == nullptr || lastGroupName_ != group) {
            const auto found = groups_.find(group);
            if (found == groups_.end())
                return false;
            lastGroup_ = &found->second;
            lastGroupName_.assign(group);
        }
        const std::int32_t number = parseLeadingInt(index);
        if (number < INT16_MIN || number > INT16_MAX)
            return false;
        const auto entry = lastGroup_->find(static_cast<std::int16_t>(number));
        if (entry == lastGroup_->end())
            return false;
        colour = entry->second;
        return true;
    }

private:
    using Entries = std::unordered_map<std::int16_t, ArgbColor>;
    std::unordered_map<std::string, Entries, TextHash, std::equal_to<>> groups_;
    std::unordered_map<std::string, ArgbColor, TextHash, std::equal_to<>> ids_;
    const Entries* lastGroup_ = nullptr;
    std::string lastGroupName_;
};

enum class Element {
    Model,
    Metadata,
    Container, // resources, build, mesh, components: only their children count
    Object,
    BaseMaterials,
    Base,
    ColorGroup,
    GroupColor,
    Color, // a colour element of the first published form of the format
    Item,
    Component,
    Vertices,
    Triangles,
    Vertex,
    Triangle,
    Other, // skipped with everything inside
};

// What the walk keeps for the object being read.
struct ObjectState {
    ModelObject* object = nullptr;
    std::string pid;
    std::uint32_t vertexCount = 0;
    std::uint32_t indexCount = 0;
    ArgbColor defaultColour = OpaqueBlack;
    bool hasDefaultColour = false;
    bool triangleColoured = false;
    bool coloursStored = false; // the colour array runs parallel to the indices
};

// Passes over the spaces, tabs and line breaks before a number.
void skipBlanks(const char*& at, const char* end)
{
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
        ++at;
}

bool parseIndex(std::string_view text, std::uint32_t& index)
{
    const char* at = text.data();
    const char* end = at + text.size();
    skipBlanks(at, end);
    std::int64_t value = 0;
    if (!parseInt64(at, end, value) || value < 0 || value >= InvalidIndex)
        return false;
    index = static_cast<std::uint32_t>(value);
    return true;
}

bool parseCoordinate(std::string_view text, float& value)
{
    const char* at = text.data();
    const char* end = at + text.size();
    skipBlanks(at, end);
    return parseFloat(at, end, value);
}

// Twelve numbers m00 m01 m02 m10 ... m32; missing ones keep the identity.
Matrix4 parseTransform(std::string_view text)
{
    Matrix4 matrix;
    const char* at = text.data();
    const char* end = at + text.size();
    for (int i = 0; i < 12; ++i) {
        skipBlanks(at, end);
        float value = 0;
        if (!parseFloat(at, end, value))
            break;
        matrix.m[i / 3][i % 3] = value;
    }
    return matrix;
}

class ModelWalker {
public:
    ModelWalker(Model& model, ProgressReporter& reporter, Failure* failure)
        : model_(model), reporter_(reporter), failure_(failure)
    {
    }

    OperationResult walk(XmlNodeRef root);
    // Hands the materials made by the walk to the model, newest first.
    OperationResult moveMaterialsToModel();

private:
    Element classify(std::string_view name) const;
    OperationResult enter(Element kind, XmlNodeRef node, bool& descend);
    OperationResult leave(Element kind);
    void readModelAttributes(XmlNodeRef node);
    void readMetadata(XmlNodeRef node);
    OperationResult beginObject(XmlNodeRef node);
    OperationResult finishObject();
    OperationResult addMaterial(std::int16_t id, std::string_view key, std::string_view group, ArgbColor colour,
                                Material*& material);
    OperationResult addVertex(XmlNodeRef node);
    OperationResult addTriangle(XmlNodeRef node);
    OperationResult startStoringColours(ObjectState& state);
    void trimVertices(ObjectState& state);
    void trimTriangles(ObjectState& state);
    ArgbColor lookUp(std::string_view group, std::string_view index);
    OperationResult outOfMemory() { return failOutOfMemory(failure_); }

    Model& model_;
    ProgressReporter& reporter_;
    Failure* failure_;
    ColourTable colours_;
    std::vector<std::unique_ptr<Material>> materials_; // in the order made
    std::vector<ObjectState> objects_;                 // the object being read, innermost last
    std::string baseGroup_;
    std::int32_t baseCounter_ = -1;
    std::string colourGroup_;
    std::int32_t colourCounter_ = -1;
    // Names of the material elements under the prefix the model binds to
    // the materials namespace ("m:" unless it says otherwise).
    std::string colorGroupName_ = "m:colorgroup";
    std::string groupColorName_ = "m:color";
};

Element ModelWalker::classify(std::string_view name) const
{
    struct Row {
        std::string_view name;
        Element kind;
    };
    static constexpr Row rows[] = {
        {"vertex", Element::Vertex},       {"triangle", Element::Triangle},
        {"vertices", Element::Vertices},   {"triangles", Element::Triangles},
        {"model", Element::Model},         {"metadata", Element::Metadata},
        {"resources", Element::Container}, {"build", Element::Container},
        {"mesh", Element::Container},      {"components", Element::Container},
        {"object", Element::Object},       {"basematerials", Element::BaseMaterials},
        {"base", Element::Base},           {"m:colorgroup", Element::ColorGroup},
        {"m:color", Element::GroupColor},  {"color", Element::Color},
        {"item", Element::Item},           {"component", Element::Component},
    };
    for (const Row& row : rows)
        if (row.name == name)
            return row.kind;
    if (name == colorGroupName_)
        return Element::ColorGroup;
    if (name == groupColorName_)
        return Element::GroupColor;
    return Element::Other;
}

// Children in document order, with an explicit stack so that no nesting in
// the file can exhaust the call stack.
OperationResult ModelWalker::walk(XmlNodeRef root)
{
    struct Frame {
        XmlNodeRef next;
        Element kind;
    };
    try {
        std::vector<Frame> frames{Frame{root.firstChild(), Element::Container}};
        while (!frames.empty()) {
            const XmlNodeRef child = frames.back().next;
            if (!child) {
                const Element kind = frames.back().kind;
                frames.pop_back();
                if (const OperationResult result = leave(kind); result != OperationResult::Success)
                    return result;
                continue;
            }
            frames.back().next = child.next();
            if (!child.isElement())
                continue;
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            const Element kind = classify(child.name());
            bool descend = false;
            if (const OperationResult result = enter(kind, child, descend); result != OperationResult::Success)
                return result;
            if (descend)
                frames.push_back(Frame{child.firstChild(), kind});
        }
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
    return OperationResult::Success;
}

OperationResult ModelWalker::enter(Element kind, XmlNodeRef node, bool& descend)
{
    switch (kind) {
    case Element::Model:
        readModelAttributes(node);
        descend = true;
        return OperationResult::Success;
    case Element::Metadata: readMetadata(node); return OperationResult::Success;
    case Element::Container: descend = true; return OperationResult::Success;
    case Element::Object: descend = true; return beginObject(node);
    case Element::BaseMaterials:
        baseGroup_ = getAttribute(node, "id", "1");
        baseCounter_ = -1;
        descend = true;
        return OperationResult::Success;
    case Element::Base: {
        Material* material = nullptr;
        const OperationResult result =
            addMaterial(static_cast<std::int16_t>(++baseCounter_), "BaseMaterialID", baseGroup_,
                        parseThreeMfColor(getAttribute(node, "displaycolor", "#000000")), material);
        if (material != nullptr)
            material->properties.setProperty("name", getAttribute(node, "name", "1"));
        return result;
    }
    case Element::ColorGroup:
        colourGroup_ = getAttribute(node, "id", "1");
        colourCounter_ = -1;
        descend = true;
        return OperationResult::Success;
    case Element::GroupColor: {
        Material* material = nullptr;
        return addMaterial(static_cast<std::int16_t>(++colourCounter_), "ColorGroupID", colourGroup_,
                           parseThreeMfColor(getAttribute(node, "color", "#000000")), material);
    }
    case Element::Color: {
        const std::string_view id = getAttribute(node, "id", "1");
        Material* material = nullptr;
        return addMaterial(static_cast<std::int16_t>(parseLeadingInt(id)), "ColorID", id,
                           parseThreeMfColor(getAttribute(node, "value", "#000000")), material);
    }
    case Element::Item: {
        const std::string id(getAttribute(node, "objectid", "1"));
        if (!id.empty()) {
            model_.properties.setProperty("BuildItem:object_" + id, id);
            std::string_view value;
            if (node.findAttribute("transform", value))
                model_.properties.setProperty("BuildItem:transform_" + id, value);
            if (node.findAttribute("partnumber", value))
                model_.properties.setProperty("BuildItem:partnumber_" + id, value);
        }
        return OperationResult::Success;
    }
    case Element::Component: {
        // Components are kept as properties; the referenced object is not copied.
        const std::string_view transform = getAttribute(node, "transform");
        if (!transform.empty())
            model_.properties.setProperty("Component:transform_" + std::string(getAttribute(node, "objectid", "1")),
                                          transform);
        return OperationResult::Success;
    }
    case Element::Vertices:
        reporter_.setStatusText("Loading vertices...", 1);
        descend = true;
        return OperationResult::Success;
    case Element::Triangles:
        reporter_.setStatusText("Loading faces...", 1);
        descend = true;
        return OperationResult::Success;
    case Element::Vertex: return addVertex(node);
    case Element::Triangle: return addTriangle(node);
    case Element::Other: return OperationResult::Success;
    }
    return OperationResult::Success;
}

OperationResult ModelWalker::leave(Element kind)
{
    if (objects_.empty())
        return OperationResult::Success;
    switch (kind) {
    case Element::Vertices: trimVertices(objects_.back()); return OperationResult::Success;
    case Element::Triangles: trimTriangles(objects_.back()); return OperationResult::Success;
    case Element::Object: return finishObject();
    default: return OperationResult::Success;
    }
}

void ModelWalker::readModelAttributes(XmlNodeRef node)
{
    PropertyBag& properties = model_.properties;
    properties.setProperty("Model:unit", getAttribute(node, "unit", "millimeter"));
    properties.setProperty("Model:xml:lang", getAttribute(node, "xml:lang", "en-US"));
    properties.setProperty("Model:xmlns", getAttribute(node, "xmlns", ThreeMfCoreNamespace));
    properties.setProperty("Model:xmlns:m", getAttribute(node, "xmlns:m", ThreeMfMaterialNamespace));

    // Writers may bind the materials namespace to another prefix than "m".
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance()) {
        const XmlAttribute a = attribute.current();
        if (a.value == ThreeMfMaterialNamespace && a.name.starts_with("xmlns:") && a.name.size() > 6) {
            const std::string prefix(a.name.substr(6));
            colorGroupName_ = prefix + ":colorgroup";
            groupColorName_ = prefix + ":color";
        }
    }
}

void ModelWalker::readMetadata(XmlNodeRef node)
{
    const std::string_view name = getAttribute(node, "name");
    if (name.empty())
        return;
    const std::string_view text = getNodeText(node);
    model_.properties.setProperty(name, text);
    if (name == "Title" && !model_.properties.hasProperty("ModelName"))
        model_.properties.setProperty("ModelName", text);
}

OperationResult ModelWalker::beginObject(XmlNodeRef node)
{
    ModelObject* object = model_.addObject();
    if (object == nullptr)
        return outOfMemory();
    objects_.emplace_back();
    ObjectState& state = objects_.back();
    state.object = object;
    PropertyBag& properties = object->properties;
    properties.setProperty("id", getAttribute(node, "id", "1"));
    properties.setProperty("type", getAttribute(node, "type", "model"));
    state.pid = getAttribute(node, "pid");
    if (!state.pid.empty()) {
        properties.setProperty("pid", state.pid);
        const std::string_view pindex = getAttribute(node, "pindex");
        if (!pindex.empty()) {
            properties.setProperty("pindex", pindex);
            state.defaultColour = lookUp(state.pid, pindex);
            state.hasDefaultColour = true;
            properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(state.defaultColour));
        }
    }
    for (const char* key : {"thumbnail", "partnumber", "name"}) {
        const std::string_view value = getAttribute(node, key);
        if (!value.empty())
            properties.setProperty(key, value);
    }
    return OperationResult::Success;
}

// Drops the triangles that name a vertex the object does not have, so that
// nothing later reads outside the vertex array.
void dropInvalidTriangles(ModelObject& object, bool withColours)
{
    const std::uint32_t vertexCount = object.vertices.count();
    std::uint32_t kept = 0;
    const std::uint32_t count = object.indices.count() / 3 * 3;
    for (std::uint32_t i = 0; i < count; i += 3) {
        const std::uint32_t* corner = &object.indices[i];
        if (corner[0] >= vertexCount || corner[1] >= vertexCount || corner[2] >= vertexCount)
            continue;
        if (kept != i) {
            std::copy_n(corner, 3, &object.indices[kept]);
            if (withColours)
                std::copy_n(&object.colors[i], 3, &object.colors[kept]);
        }
        kept += 3;
    }
    (void)object.indices.resize(kept); // shrinking never fails
    if (withColours)
        (void)object.colors.resize(kept);
}

OperationResult ModelWalker::finishObject()
{
    ObjectState& state = objects_.back();
    ModelObject& object = *state.object;
    trimVertices(state);
    trimTriangles(state);
    dropInvalidTriangles(object, state.coloursStored);

    if (state.triangleColoured && (!materials_.empty() || !model_.materials.empty())) {
        MaterialRange* range = object.addMaterialRange();
        if (range == nullptr)
            return outOfMemory();
        range->materialId = materials_.empty() ? model_.materials.front()->id : materials_.back()->id;
        range->firstIndex = 0;
        range->endIndex = object.indices.count();
    } else if (!state.hasDefaultColour) {
        object.colors.release();
    }

    // An object without vertices or triangles (components only, or beams)
    // is dropped; it is the newest object unless objects were nested.
    if (object.vertices.empty() || object.indices.empty()) {
        auto& objects = model_.objects;
        const auto found = std::find_if(objects.rbegin(), objects.rend(),
                                        [&](const auto& candidate) { return candidate.get() == &object; });
        if (found != objects.rend())
            objects.erase(std::next(found).base());
    }
    objects_.pop_back();
    return OperationResult::Success;
}

OperationResult ModelWalker::addMaterial(std::int16_t id, std::string_view key, std::string_view group,
                                         ArgbColor colour, Material*& material)
{
    try {
        auto made = std::make_unique<Material>();
        made->id = id;
        made->properties.setProperty(key, group);
        made->setColor(AmbientSlot, colour);
        if (key == "ColorID")
            colours_.addIdEntry(group, colour);
        else
            colours_.addGroupEntry(group, id, colour);
        material = made.get();
        materials_.push_back(std::move(made));
        ++model_.nextMaterialId;
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
    return OperationResult::Success;
}

OperationResult ModelWalker::moveMaterialsToModel()
{
    try {
        model_.materials.insert(model_.materials.begin(), std::make_move_iterator(materials_.rbegin()),
                                std::make_move_iterator(materials_.rend()));
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
    materials_.clear();
    return OperationResult::Success;
}

ArgbColor ModelWalker::lookUp(std::string_view group, std::string_view index)
{
    ArgbColor colour = objects_.empty() ? OpaqueBlack : objects_.back().defaultColour;
    colours_.find(group, index, colour);
    return colour;
}

OperationResult ModelWalker::addVertex(XmlNodeRef node)
{
    if (objects_.empty())
        return OperationResult::Success; // a vertex outside any object
    ObjectState& state = objects_.back();
    Vector3 point{0, 0, 0};
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance()) {
        const XmlAttribute a = attribute.current();
        if (a.name.size() != 1)
            continue;
        float* target = a.name[0] == 'x'   ? &point.x
                        : a.name[0] == 'y' ? &point.y
                        : a.name[0] == 'z' ? &point.z
                                           : nullptr;
        if (target != nullptr && !parseCoordinate(a.value, *target))
            return failWith(failure_, FailureKind::Malformed,
                            "a vertex coordinate is not a number: \"" + std::string(a.value.substr(0, 40)) + "\"");
    }
    Vector3Array& vertices = state.object->vertices;
    if (state.vertexCount >= vertices.count()) {
        if (!growAhead(vertices, FirstVertexRoom))
            return outOfMemory();
    }
    vertices[state.vertexCount++] = point;
    return OperationResult::Success;
}

OperationResult ModelWalker::startStoringColours(ObjectState& state)
{
    ColorArray& colours = state.object->colors;
    if (!colours.allocate(state.object->indices.count()))
        return outOfMemory();
    std::fill_n(colours.data(), state.indexCount, state.defaultColour);
    state.coloursStored = true;
    return OperationResult::Success;
}

OperationResult ModelWalker::addTriangle(XmlNodeRef node)
{
    if (objects_.empty())
        return OperationResult::Success; // a triangle outside any object
    ObjectState& state = objects_.back();
    ModelObject& object = *state.object;

    std::string_view v[3] = {"0", "0", "0"};
    std::string_view colorId, pid, p[3];
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance()) {
        const XmlAttribute a = attribute.current();
        if (a.name.size() == 2 && (a.name[0] == 'v' || a.name[0] == 'p') && a.name[1] >= '1' && a.name[1] <= '3')
            (a.name[0] == 'v' ? v : p)[a.name[1] - '1'] = a.value;
        else if (a.name == "colorid")
            colorId = a.value;
        else if (a.name == "pid")
            pid = a.value;
    }
    std::uint32_t corners[3];
    for (int k = 0; k < 3; ++k)
        if (!parseIndex(v[k], corners[k]))
            corners[k] = InvalidIndex; // dropped with its triangle when the object ends

    ArgbColor c[3] = {state.defaultColour, state.defaultColour, state.defaultColour};
    if (!colorId.empty()) {
        // "a,b,c": one colour element per corner; the last id ends at ")".
        state.triangleColoured = true;
        std::string_view ids[3];
        std::string_view rest = colorId;
        for (int k = 0; k < 3; ++k) {
            const std::size_t cut = k < 2 ? rest.find(',') : rest.find(')');
            ids[k] = rest.substr(0, cut);
            if (cut == std::string_view::npos) {
                rest = {};
                break;
            }
            rest.remove_prefix(cut + 1);
        }
        c[0] = lookUp({}, ids[0]);
        c[1] = ids[1].empty() ? c[0] : lookUp({}, ids[1]);
        c[2] = ids[2].empty() ? c[0] : lookUp({}, ids[2]);
    } else if (!p[0].empty()) {
        // A triangle without its own pid takes its object's, as the format
        // intends; the colour group read last is the final fallback.
        state.triangleColoured = true;
        const std::string_view group = !pid.empty()         ? pid
                                       : !state.pid.empty() ? std::string_view(state.pid)
                                                            : colourGroup_;
        c[0] = lookUp(group, p[0]);
        c[1] = p[1].empty() ? c[0] : lookUp(group, p[1]);
        c[2] = p[2].empty() ? c[0] : lookUp(group, p[2]);
    }

    IndexArray& indices = object.indices;
    if (state.indexCount + 3 > indices.count()) {
        if (!growAhead(indices, FirstIndexRoom))
            return outOfMemory();
        if (state.coloursStored && !object.colors.resize(indices.count()))
            return outOfMemory();
    }
    // Colours are stored from the first triangle that needs them on; the
    // corners before it get the object's default colour.
    if (!state.coloursStored && (state.triangleColoured || state.hasDefaultColour)) {
        if (const OperationResult result = startStoringColours(state); result != OperationResult::Success)
            return result;
    }
    std::copy_n(corners, 3, &indices[state.indexCount]);
    if (state.coloursStored)
        std::copy_n(c, 3, &object.colors[state.indexCount]);
    state.indexCount += 3;
    return OperationResult::Success;
}

void ModelWalker::trimVertices(ObjectState& state)
{
    Vector3Array& vertices = state.object->vertices;
    (void)vertices.resize(std::min(state.vertexCount, vertices.count()));
    vertices.shrinkToFit();
}

void ModelWalker::trimTriangles(ObjectState& state)
{
    ModelObject& object = *state.object;
    (void)object.indices.resize(std::min(state.indexCount, object.indices.count()));
    object.indices.shrinkToFit();
    if (state.coloursStored) {
        (void)object.colors.resize(std::min(state.indexCount, object.colors.count()));
        object.colors.shrinkToFit();
    }
}

// Build-item transforms and per-corner normals for every object.
OperationResult completeObjects(Model& model, ProgressReporter& reporter, Failure* failure)
{
    for (const auto& owned : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        ModelObject& object = *owned;
        if (object.indices.empty())
            continue;
        const std::string id = object.properties.getProperty("id");
        const std::string transform =
            id.empty() ? std::string() : model.properties.getProperty("BuildItem:transform_" + id);
        if (!transform.empty()) {
            const Matrix4 matrix = parseTransform(transform);
            for (std::uint32_t i = 0; i < object.vertices.count(); ++i) {
                if (i % CompletionCadence == 0 && reporter.isCancelled())
                    return OperationResult::Cancelled;
                object.vertices[i] = transformPoint(object.vertices[i], matrix);
            }
        }
        if (!object.normals.allocate(object.indices.count()))
            return failOutOfMemory(failure);
        for (std::uint32_t i = 0; i + 2 < object.indices.count(); i += 3) {
            if (i % CompletionCadence < 3 && reporter.isCancelled())
                return OperationResult::Cancelled;
            const std::uint32_t* corner = &object.indices[i];
            const Vector3 normal =
                faceNormal(object.vertices[corner[0]], object.vertices[corner[1]], object.vertices[corner[2]]);
            object.normals[i] = object.normals[i + 1] = object.normals[i + 2] = normal;
        }
    }
    reporter.setStatusText("Arranging the model objects...", 1);
    return OperationResult::Success;
}

} // namespace

ArgbColor parseThreeMfColor(std::string_view text)
{
    if (text.starts_with('#'))
        text.remove_prefix(1);
    ArgbColor colour = OpaqueBlack;
    constexpr int shifts[4] = {16, 8, 0, 24}; // red, green, blue, alpha
    for (int pair = 0; pair < 4; ++pair) {
        if (text.size() < 2)
            break;
        unsigned value = 0;
        const auto parsed = std::from_chars(text.data(), text.data() + 2, value, 16);
        if (parsed.ec != std::errc() || parsed.ptr != text.data() + 2)
            break;
        const int shift = shifts[pair];
        colour = (colour & ~(0xFFu << shift)) | (static_cast<ArgbColor>(value) << shift);
        text.remove_prefix(2);
    }
    return colour;
}

bool modelPartFitsMemory(std::uint64_t bytes)
{
    return bytes < MaxModelPartBytes && MemoryFactor * bytes < availableMemoryBytes();
}

std::uint64_t modelPartByteLimit()
{
    // One reading of the available memory: asking again per candidate size
    // would read the system's figures once per byte the limit moves.
    const std::uint64_t available = availableMemoryBytes();
    if (available == 0)
        return 0;
    return std::min<std::uint64_t>(MaxModelPartBytes - 1, (available - 1) / MemoryFactor);
}

OperationResult findModelPartTarget(const std::filesystem::path& relationshipPart, std::string& target,
                                    bool& hasRelationships, ProgressReporter& reporter)
{
    target.clear();
    hasRelationships = false;
    XmlDocument root;
    std::string error;
    const OperationResult loaded = loadXmlFile(relationshipPart, &reporter, root, error);
    if (loaded != OperationResult::Success)
        return loaded;
    const XmlNodeRef relationships = findChild(root, "Relationships");
    if (!relationships)
        return OperationResult::Success;
    hasRelationships = true;
    for (XmlNodeRef child = relationships.firstChild(); child; child = child.next()) {
        if (child.name() == "Relationship" && getAttribute(child, "Type") == ThreeMfModelRelationship) {
            std::string_view path = getAttribute(child, "Target");
            if (path.starts_with('/'))
                path.remove_prefix(1);
            target = path;
            break;
        }
    }
    return OperationResult::Success;
}

OperationResult read3mfModelPart(const std::filesystem::path& modelPart, Model& model, ProgressReporter& reporter,
                                 Failure* failure)
{
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(modelPart, error);
    if (error)
        return failWith(failure, FailureKind::Unreadable, "cannot read the model part");
    if (!modelPartFitsMemory(size))
        return failWith(failure, FailureKind::OutOfMemory, TooLargeForMemory);
    if (size == 0)
        return failWith(failure, FailureKind::Malformed, "the model part is empty");

    reporter.setStatusText("Opening file...", 1);
    OperationResult result = OperationResult::Success;
    {
        XmlDocument root;
        std::string xmlError;
        std::uint64_t xmlErrorLine = 0;
        result = loadXmlFile(modelPart, &reporter, root, xmlError, &xmlErrorLine);
        if (result == OperationResult::Failure)
            failWith(failure, FailureKind::Unreadable, xmlError.empty() ? "cannot load the model part" : xmlError);
        // A part that is no 3MF model at all (another encoding, another
        // format) is refused rather than read as an empty model.
        if (result == OperationResult::Success && !findChild(root, "model"))
            result = failWith(failure, FailureKind::Malformed, "the model part holds no 3MF model");
        if (result == OperationResult::Success) {
            ModelWalker walker(model, reporter, failure);
            result = walker.walk(root);
            if (const OperationResult moved = walker.moveMaterialsToModel(); result == OperationResult::Success)
                result = moved;
        }
        // A syntax error ends the tree early: what fails after it fails
        // because of it, so the failure lies at its line.
        if (result == OperationResult::Failure && xmlErrorLine != 0 && failure != nullptr &&
            failure->kind == FailureKind::Malformed)
            placeAtLine(failure, xmlErrorLine);
        // The tree goes before the normals are made.
    }
    if (result != OperationResult::Success)
        return result;
    return completeObjects(model, reporter, failure);
}

} // namespace morvex::threemf

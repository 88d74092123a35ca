#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"
#include "formats/threemf/threemf_resources.h"
#include "mesh/index_steps.h"

#include "support/core/memory_guard.h"
#include "support/core/parallel_ranges.h"
#include "support/text/numbers.h"
#include "support/xml/xml_reader.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace morvex::threemf {
namespace {

// The vertex and index arrays of an object grow by doubling from these, so a
// file of many small objects takes memory in proportion to what it holds;
// each array is fitted to its count when the object ends.
constexpr std::uint32_t FirstVertexRoom = 16;
constexpr std::uint32_t FirstIndexRoom = 48;
// Vertices or triangles between two questions to the reporter while
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
    Color,         // a colour element of the first published form of the format
    DraftMaterial, // a material element of that form, naming a colour element
    Texture,
    TextureGroup,
    TextureCoordinate,
    Item,
    Component,
    Vertices,
    Triangles,
    Vertex,
    Triangle,
    Other, // skipped with everything inside
};

// Material numbers that triangles carry until the walk has ended and the
// materials get their ids: a texture material's place in the list of
// texture materials, or this for the material of untextured triangles.
constexpr std::int16_t UntexturedMaterial = -1;

// What the walks of all parts of one package share.
struct ReadState {
    PackageResources resources;
    std::vector<std::unique_ptr<Material>> colourMaterials; // in the order made
    std::vector<std::unique_ptr<Material>> textureMaterials;
    // Meshes whose material ranges hold texture material numbers.
    std::vector<ModelObject*> texturedMeshes;
    // Model parts that components name, in the order first named.
    std::vector<std::string> partsNamed;
    std::unordered_set<std::string> partsKnown;
    // Triangles dropped for naming a vertex their object does not have.
    std::uint64_t droppedTriangles = 0;
};

// A texture coordinate group: its image's id and its coordinates.
struct TextureGroup {
    std::string textureId;
    std::vector<TexCoord> coordinates;
};

// What the walk keeps for the object being read.
struct ObjectState {
    ObjectResource* resource = nullptr;
    ModelObject* object = nullptr;
    std::string pid;
    std::string pindex;
    std::uint32_t vertexCount = 0;
    std::uint32_t indexCount = 0;
    ArgbColor defaultColour = OpaqueBlack;
    bool hasDefaultColour = false;
    bool triangleColoured = false;
    bool coloursStored = false;   // the colour array runs parallel to the indices
    bool texCoordsStored = false; // so does the texture coordinate array
    // Runs of triangles with one material, in file order; the last run is
    // still open from runStart on.
    std::vector<MaterialRange> runs;
    std::int16_t runMaterial = UntexturedMaterial;
    std::uint32_t runStart = 0;
};

// Passes over the spaces, tabs and line breaks before a number.
void skipBlanks(const char*& at, const char* end)
{
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
        ++at;
}

bool parseIndex(std::string_view text, std::uint32_t& index)
{
    // Most indices are plain digits: up to nine of them fit without overflow.
    if (!text.empty() && text.size() <= 9) {
        std::uint32_t value = 0;
        std::size_t i = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (i == text.size()) {
            index = value;
            return true;
        }
    }
    const char* at = text.data();
    const char* end = at + text.size();
    skipBlanks(at, end);
    std::int64_t value = 0;
    if (!parseInt64(at, end, value) || value < 0 || value >= InvalidIndex)
        return false;
    index = static_cast<std::uint32_t>(value);
    return true;
}

// A number at the start of the text (what follows it is ignored); the
// whole-token parser takes the common case, with the same value.
bool parseCoordinate(std::string_view text, float& value)
{
    const char* at = text.data();
    const char* end = at + text.size();
    skipBlanks(at, end);
    return parseFloatToken(at, end, value) || parseFloat(at, end, value);
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

// The last part of a part name without its extension ("wood" of
// "/3D/Textures/wood.png").
std::string_view partStem(std::string_view name)
{
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

// Walks one model part and adds what it holds to the read state: its
// objects to the resources, its materials, and for the root part the model
// attributes, metadata and build items. It takes the elements in document
// order, as a parse hands them out or from a whole tree: an element it
// descends into is entered at its start tag and left at its end, any other
// element it reads is handled once it has ended, with its subtree. After a
// failure or a stop it takes nothing more.
class ModelWalker : public XmlElementSink {
public:
    ModelWalker(Model& model, ReadState& state, PartSource& parts, std::string_view part, bool isRoot,
                ProgressReporter& reporter)
        : model_(model), state_(state), parts_(parts), part_(part), isRoot_(isRoot), reporter_(reporter)
    {
    }

    XmlElementUse opened(XmlNodeRef element, std::size_t depth) override;
    void closed(XmlNodeRef element, XmlElementUse use) override;
    bool takePlain(std::string_view name, std::span<const XmlAttribute> attributes, std::size_t depth) override;

    // The elements of a whole tree, as a parse with this walker would hand
    // them out.
    void walk(XmlNodeRef root);

    // Whether a top-level element is a model element.
    bool sawModel() const { return sawModel_; }
    // Whether it has taken any element (and so changed the read state).
    bool started() const { return started_; }
    // The walk's result; a failure is passed on to `failure`.
    OperationResult finish(Failure* failure) const
    {
        return result_ == OperationResult::Failure ? failWith(failure, failure_) : result_;
    }

private:
    Element classify(std::string_view name) const;
    OperationResult enter(Element kind, XmlNodeRef node, bool& descend);
    OperationResult leave(Element kind);
    void readModelAttributes(XmlNodeRef node);
    void readMetadata(XmlNodeRef node);
    ObjectReference readReference(XmlNodeRef node);
    void readItem(XmlNodeRef node);
    void readComponent(XmlNodeRef node);
    OperationResult beginObject(XmlNodeRef node);
    OperationResult finishObject();
    OperationResult addMaterial(std::int16_t id, std::string_view key, std::string_view group, ArgbColor colour,
                                Material*& material);
    void addTextureCoordinate(XmlNodeRef node);
    std::span<const XmlAttribute> attributesOf(XmlNodeRef node);
    OperationResult addVertex(std::span<const XmlAttribute> attributes);
    OperationResult addTriangle(std::span<const XmlAttribute> attributes);
    void cornerColours(ObjectState& state, std::string_view colorId, std::string_view materialId,
                       std::string_view group, const std::string_view (&p)[3], ArgbColor (&c)[3]);
    OperationResult textureMaterial(const TextureGroup& group, std::int16_t& number);
    OperationResult startStoringColours(ObjectState& state);
    OperationResult startStoringTexCoords(ObjectState& state);
    void trimVertices(ObjectState& state);
    void trimTriangles(ObjectState& state);
    void dropInvalidTriangles(ObjectState& state);
    ArgbColor lookUp(std::string_view group, std::string_view index);
    ArgbColor lookUpDraftMaterial(std::string_view id);
    TextureGroup* findTextureGroup(std::string_view id);
    OperationResult outOfMemory() { return failOutOfMemory(&failure_); }

    Model& model_;
    ReadState& state_;
    PartSource& parts_;
    std::string part_;
    bool isRoot_;
    ProgressReporter& reporter_;
    Failure failure_;
    OperationResult result_ = OperationResult::Success;
    bool sawModel_ = false;
    bool started_ = false;
    // Kinds of the open elements it descended into, innermost last, and of
    // the element it waits to end.
    std::vector<Element> open_;
    Element pending_ = Element::Other;
    std::vector<XmlAttribute> attributes_;
    ColourTable colours_;
    std::vector<ObjectState> objects_; // the object being read, innermost last
    std::string baseGroup_;
    std::int32_t baseCounter_ = -1;
    std::string colourGroup_;
    std::int32_t colourCounter_ = -1;
    // Material elements of the first form of the format: id to colour id.
    std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> draftMaterials_;
    // Images by id (their part names) and texture coordinate groups by id.
    std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> textures_;
    std::unordered_map<std::string, TextureGroup, TextHash, std::equal_to<>> textureGroups_;
    // Texture materials of this part by image id.
    std::unordered_map<std::string, std::int16_t, TextHash, std::equal_to<>> textureMaterials_;
    TextureGroup* groupBeingRead_ = nullptr;
    TextureGroup* lastGroup_ = nullptr;
    std::string lastGroupId_;
    // Names of the material elements under the prefix the model binds to
    // the materials namespace ("m:" unless it says otherwise), and of the
    // production extension's path attribute.
    std::string materialPrefix_ = "m:";
    std::string pathAttribute_ = "p:path";
    std::string metadataPrefix_;
};

Element ModelWalker::classify(std::string_view name) const
{
    struct Row {
        std::string_view name;
        Element kind;
    };
    static constexpr Row rows[] = {
        {"vertex", Element::Vertex},
        {"triangle", Element::Triangle},
        {"vertices", Element::Vertices},
        {"triangles", Element::Triangles},
        {"model", Element::Model},
        {"metadata", Element::Metadata},
        {"resources", Element::Container},
        {"build", Element::Container},
        {"mesh", Element::Container},
        {"components", Element::Container},
        {"object", Element::Object},
        {"basematerials", Element::BaseMaterials},
        {"base", Element::Base},
        {"color", Element::Color},
        {"material", Element::DraftMaterial},
        {"item", Element::Item},
        {"component", Element::Component},
    };
    static constexpr Row materialRows[] = {
        {"colorgroup", Element::ColorGroup},       {"color", Element::GroupColor},
        {"texture2d", Element::Texture},           {"texture2dgroup", Element::TextureGroup},
        {"tex2coord", Element::TextureCoordinate},
    };
    for (const Row& row : rows)
        if (row.name == name)
            return row.kind;
    for (const std::string_view prefix : {std::string_view(materialPrefix_), std::string_view("m:")}) {
        if (!name.starts_with(prefix))
            continue;
        const std::string_view local = name.substr(prefix.size());
        for (const Row& row : materialRows)
            if (row.name == local)
                return row.kind;
    }
    return Element::Other;
}

// Whether the walk descends into an element of this kind (and handles it at
// its start tag) or takes it whole once it has ended.
bool descendsInto(Element kind)
{
    switch (kind) {
    case Element::Model:
    case Element::Container:
    case Element::Object:
    case Element::BaseMaterials:
    case Element::ColorGroup:
    case Element::TextureGroup:
    case Element::Vertices:
    case Element::Triangles: return true;
    default: return false;
    }
}

XmlElementUse ModelWalker::opened(XmlNodeRef element, std::size_t depth)
{
    if (depth == 0 && element.name() == "model")
        sawModel_ = true;
    if (result_ != OperationResult::Success)
        return XmlElementUse::Skip;
    started_ = true;
    if (reporter_.isCancelled()) {
        result_ = OperationResult::Cancelled;
        return XmlElementUse::Skip;
    }
    const Element kind = classify(element.name());
    if (kind == Element::Other)
        return XmlElementUse::Skip;
    if (!descendsInto(kind)) {
        pending_ = kind;
        return XmlElementUse::Collect;
    }
    try {
        bool descend = false;
        result_ = enter(kind, element, descend);
        if (result_ != OperationResult::Success)
            return XmlElementUse::Skip;
        open_.push_back(kind);
    } catch (const std::bad_alloc&) {
        result_ = outOfMemory();
        return XmlElementUse::Skip;
    }
    return XmlElementUse::Descend;
}

void ModelWalker::closed(XmlNodeRef element, XmlElementUse use)
{
    try {
        if (use == XmlElementUse::Descend) {
            const Element kind = open_.back();
            open_.pop_back();
            if (result_ == OperationResult::Success)
                result_ = leave(kind);
        } else if (result_ == OperationResult::Success) {
            bool descend = false;
            result_ = enter(pending_, element, descend);
        }
    } catch (const std::bad_alloc&) {
        result_ = outOfMemory();
    }
}

// Vertices and triangles, the bulk of a large part, straight from their tags
// without a node in the tree; as opened() and closed() would take them.
bool ModelWalker::takePlain(std::string_view name, std::span<const XmlAttribute> attributes, std::size_t)
{
    const bool vertex = name == "vertex";
    if (!vertex && name != "triangle")
        return false;
    if (result_ != OperationResult::Success)
        return true;
    started_ = true;
    if (reporter_.isCancelled()) {
        result_ = OperationResult::Cancelled;
        return true;
    }
    try {
        result_ = vertex ? addVertex(attributes) : addTriangle(attributes);
    } catch (const std::bad_alloc&) {
        result_ = outOfMemory();
    }
    return true;
}

// Children in document order, with an explicit stack so that no nesting in
// the file can exhaust the call stack.
void ModelWalker::walk(XmlNodeRef root)
{
    struct Frame {
        XmlNodeRef element;
        XmlNodeRef next;
    };
    try {
        std::vector<Frame> frames{Frame{root, root.firstChild()}};
        while (!frames.empty() && result_ == OperationResult::Success) {
            Frame& top = frames.back();
            const XmlNodeRef child = top.next;
            if (!child) {
                const XmlNodeRef ended = top.element;
                frames.pop_back();
                if (!frames.empty())
                    closed(ended, XmlElementUse::Descend);
                continue;
            }
            top.next = child.next();
            if (!child.isElement())
                continue;
            const XmlElementUse use = opened(child, frames.size() - 1);
            if (use == XmlElementUse::Descend)
                frames.push_back(Frame{child, child.firstChild()});
            else if (use == XmlElementUse::Collect)
                closed(child, use);
        }
    } catch (const std::bad_alloc&) {
        if (result_ == OperationResult::Success)
            result_ = outOfMemory();
    }
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
    case Element::DraftMaterial:
        draftMaterials_[std::string(getAttribute(node, "id", "1"))] = getAttribute(node, "colorid");
        return OperationResult::Success;
    case Element::Texture:
        textures_[std::string(getAttribute(node, "id"))] = getAttribute(node, "path");
        return OperationResult::Success;
    case Element::TextureGroup: {
        TextureGroup& group = textureGroups_[std::string(getAttribute(node, "id"))];
        group.textureId = getAttribute(node, "texid");
        group.coordinates.clear();
        groupBeingRead_ = &group;
        lastGroup_ = nullptr;
        descend = true;
        return OperationResult::Success;
    }
    case Element::TextureCoordinate: addTextureCoordinate(node); return OperationResult::Success;
    case Element::Item: readItem(node); return OperationResult::Success;
    case Element::Component: readComponent(node); return OperationResult::Success;
    case Element::Vertices:
        reporter_.setStatusText("Loading vertices...", 1);
        descend = true;
        return OperationResult::Success;
    case Element::Triangles:
        reporter_.setStatusText("Loading faces...", 1);
        descend = true;
        return OperationResult::Success;
    case Element::Vertex: return addVertex(attributesOf(node));
    case Element::Triangle: return addTriangle(attributesOf(node));
    case Element::Other: return OperationResult::Success;
    }
    return OperationResult::Success;
}

OperationResult ModelWalker::leave(Element kind)
{
    if (kind == Element::TextureGroup)
        groupBeingRead_ = nullptr;
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
    if (isRoot_) {
        PropertyBag& properties = model_.properties;
        properties.setProperty("Model:unit", getAttribute(node, "unit", "millimeter"));
        properties.setProperty("Model:xml:lang", getAttribute(node, "xml:lang", "en-US"));
        properties.setProperty("Model:xmlns", getAttribute(node, "xmlns", ThreeMfCoreNamespace));
        properties.setProperty("Model:xmlns:m", getAttribute(node, "xmlns:m", ThreeMfMaterialNamespace));
    }
    // Writers may bind the extensions' namespaces to other prefixes.
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance()) {
        const XmlAttribute a = attribute.current();
        if (!a.name.starts_with("xmlns:") || a.name.size() <= 6)
            continue;
        const std::string prefix(a.name.substr(6));
        if (a.value == ThreeMfMaterialNamespace)
            materialPrefix_ = prefix + ":";
        else if (a.value == MorvexMetadataNamespace)
            metadataPrefix_ = prefix + ":";
        else if (a.value == ThreeMfProductionNamespace)
            pathAttribute_ = prefix + ":path";
    }
}

void ModelWalker::readMetadata(XmlNodeRef node)
{
    std::string_view name = getAttribute(node, "name");
    // Names we wrote in our namespace come back as they were.
    if (!metadataPrefix_.empty() && name.starts_with(metadataPrefix_) && name.size() > metadataPrefix_.size())
        name.remove_prefix(metadataPrefix_.size());
    if (name.empty() || !isRoot_)
        return;
    const std::string_view text = getNodeText(node);
    model_.properties.setProperty(name, text);
    if (name == "Title" && !model_.properties.hasProperty("ModelName"))
        model_.properties.setProperty("ModelName", text);
}

// The object a build item or component names: in the part its path names
// (a part not read yet is read after this one), else in this part.
ObjectReference ModelWalker::readReference(XmlNodeRef node)
{
    ObjectReference reference;
    reference.objectId = getAttribute(node, "objectid", "1");
    reference.transform = parseTransform(getAttribute(node, "transform"));
    const std::string_view path = getAttribute(node, pathAttribute_);
    if (path.empty()) {
        reference.part = part_;
        return reference;
    }
    std::string name = partNameOf(path);
    reference.part = partKey(name);
    if (state_.partsKnown.insert(reference.part).second)
        state_.partsNamed.push_back(std::move(name));
    return reference;
}

void ModelWalker::readItem(XmlNodeRef node)
{
    if (!isRoot_)
        return; // only the root part's build counts
    const std::string id(getAttribute(node, "objectid", "1"));
    if (id.empty())
        return;
    model_.properties.setProperty("BuildItem:object_" + id, id);
    std::string_view value;
    if (node.findAttribute("transform", value))
        model_.properties.setProperty("BuildItem:transform_" + id, value);
    if (node.findAttribute("partnumber", value))
        model_.properties.setProperty("BuildItem:partnumber_" + id, value);
    state_.resources.buildItems.push_back(readReference(node));
}

void ModelWalker::readComponent(XmlNodeRef node)
{
    const std::string_view transform = getAttribute(node, "transform");
    if (!transform.empty() && isRoot_)
        model_.properties.setProperty("Component:transform_" + std::string(getAttribute(node, "objectid", "1")),
                                      transform);
    if (!objects_.empty())
        objects_.back().resource->components.push_back(readReference(node));
}

OperationResult ModelWalker::beginObject(XmlNodeRef node)
{
    const std::string_view id = getAttribute(node, "id", "1");
    ObjectResource& resource = state_.resources.add(part_, id);
    resource.mesh = std::make_unique<ModelObject>();
    objects_.emplace_back();
    ObjectState& state = objects_.back();
    state.resource = &resource;
    state.object = resource.mesh.get();
    PropertyBag& properties = state.object->properties;
    properties.setProperty("id", id);
    properties.setProperty("type", getAttribute(node, "type", "model"));
    state.pid = getAttribute(node, "pid");
    if (!state.pid.empty()) {
        properties.setProperty("pid", state.pid);
        state.pindex = getAttribute(node, "pindex");
        if (!state.pindex.empty())
            properties.setProperty("pindex", state.pindex);
        // A pid naming a texture group gives the object's triangles texture
        // coordinates, not a colour.
        if (!state.pindex.empty() && textureGroups_.find(state.pid) == textureGroups_.end()) {
            state.defaultColour = lookUp(state.pid, state.pindex);
            state.hasDefaultColour = true;
        }
    } else if (const std::string_view colorId = getAttribute(node, "colorid"); !colorId.empty()) {
        state.defaultColour = lookUp({}, colorId);
        state.hasDefaultColour = true;
    } else if (const std::string_view materialId = getAttribute(node, "materialid"); !materialId.empty()) {
        state.defaultColour = lookUpDraftMaterial(materialId);
        state.hasDefaultColour = true;
    }
    if (state.hasDefaultColour)
        properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(state.defaultColour));
    for (const char* key : {"thumbnail", "partnumber", "name"}) {
        const std::string_view value = getAttribute(node, key);
        if (!value.empty())
            properties.setProperty(key, value);
    }
    return OperationResult::Success;
}

// Drops the triangles that name a vertex the object does not have, so that
// nothing later reads outside the vertex array; the material runs shrink
// with them.
void ModelWalker::dropInvalidTriangles(ObjectState& state)
{
    ModelObject& object = *state.object;
    const std::uint32_t vertexCount = object.vertices.count();
    std::uint32_t kept = 0;
    std::size_t run = 0;
    const std::uint32_t count = object.indices.count() / 3 * 3;
    for (std::uint32_t i = 0; i < count; i += 3) {
        for (; run < state.runs.size() && state.runs[run].endIndex <= i; ++run)
            state.runs[run].endIndex = kept;
        const std::uint32_t* corner = &object.indices[i];
        if (corner[0] >= vertexCount || corner[1] >= vertexCount || corner[2] >= vertexCount) {
            ++state_.droppedTriangles;
            continue;
        }
        if (kept != i) {
            std::copy_n(corner, 3, &object.indices[kept]);
            if (state.coloursStored)
                std::copy_n(&object.colors[i], 3, &object.colors[kept]);
            if (state.texCoordsStored)
                std::copy_n(&object.texCoords[i], 3, &object.texCoords[kept]);
        }
        kept += 3;
    }
    for (; run < state.runs.size(); ++run)
        state.runs[run].endIndex = kept;
    for (std::size_t r = 0; r < state.runs.size(); ++r)
        state.runs[r].firstIndex = r == 0 ? 0 : state.runs[r - 1].endIndex;
    // Shrinking never fails.
    (void)object.indices.resize(kept);
    if (state.coloursStored)
        (void)object.colors.resize(kept);
    if (state.texCoordsStored)
        (void)object.texCoords.resize(kept);
}

OperationResult ModelWalker::finishObject()
{
    ObjectState& state = objects_.back();
    ModelObject& object = *state.object;
    trimVertices(state);
    trimTriangles(state);
    state.runs.push_back(MaterialRange{state.runMaterial, state.runStart, state.indexCount});
    dropInvalidTriangles(state);

    if (state.texCoordsStored) {
        // Every run, textured or not, gets a range so that writers that go
        // by ranges keep all triangles; ranges are kept newest first.
        for (const MaterialRange& run : state.runs)
            if (run.endIndex > run.firstIndex)
                object.materialRanges.insert(object.materialRanges.begin(), run);
        state_.texturedMeshes.push_back(&object);
    } else if (state.triangleColoured && (!state_.colourMaterials.empty() || !model_.materials.empty())) {
        MaterialRange* range = object.addMaterialRange();
        if (range == nullptr)
            return outOfMemory();
        range->materialId =
            state_.colourMaterials.empty() ? model_.materials.front()->id : state_.colourMaterials.back()->id;
        range->firstIndex = 0;
        range->endIndex = object.indices.count();
    }
    if (!state.coloursStored || (!state.triangleColoured && !state.hasDefaultColour))
        object.colors.release();

    // An object without vertices or triangles (components only, or beams)
    // has no mesh to place.
    if (object.vertices.empty() || object.indices.empty()) {
        std::erase(state_.texturedMeshes, &object);
        state.resource->mesh.reset();
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
        state_.colourMaterials.push_back(std::move(made));
        ++model_.nextMaterialId;
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    }
    return OperationResult::Success;
}

void ModelWalker::addTextureCoordinate(XmlNodeRef node)
{
    if (groupBeingRead_ == nullptr)
        return;
    TexCoord coordinate{0, 0};
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance()) {
        const XmlAttribute a = attribute.current();
        if (a.name == "u")
            (void)parseCoordinate(a.value, coordinate.u);
        else if (a.name == "v")
            (void)parseCoordinate(a.value, coordinate.v);
    }
    groupBeingRead_->coordinates.push_back(coordinate);
}

ArgbColor ModelWalker::lookUp(std::string_view group, std::string_view index)
{
    ArgbColor colour = objects_.empty() ? OpaqueBlack : objects_.back().defaultColour;
    colours_.find(group, index, colour);
    return colour;
}

// The colour of a material element of the first form of the format: that of
// the colour element it names.
ArgbColor ModelWalker::lookUpDraftMaterial(std::string_view id)
{
    const auto found = draftMaterials_.find(id);
    if (found == draftMaterials_.end())
        return objects_.empty() ? OpaqueBlack : objects_.back().defaultColour;
    return lookUp({}, found->second);
}

TextureGroup* ModelWalker::findTextureGroup(std::string_view id)
{
    if (lastGroup_ != nullptr && lastGroupId_ == id)
        return lastGroup_;
    const auto found = textureGroups_.find(id);
    if (found == textureGroups_.end())
        return nullptr;
    lastGroup_ = &found->second;
    lastGroupId_.assign(id);
    return lastGroup_;
}

// The material of a group's image, made at its first use: its image is
// unpacked then, so that images no triangle shows are never unpacked.
OperationResult ModelWalker::textureMaterial(const TextureGroup& group, std::int16_t& number)
{
    if (const auto found = textureMaterials_.find(group.textureId); found != textureMaterials_.end()) {
        number = found->second;
        return OperationResult::Success;
    }
    if (state_.textureMaterials.size() >= static_cast<std::size_t>(INT16_MAX))
        return failWith(&failure_, FailureKind::Unsupported, "the model has too many textures");
    const auto image = textures_.find(group.textureId);
    const std::string_view imagePart = image == textures_.end() ? std::string_view() : image->second;
    std::string file;
    if (!imagePart.empty()) {
        const OperationResult unpacked = parts_.imagePart(partNameOf(imagePart), model_, file, &failure_);
        if (unpacked != OperationResult::Success)
            return unpacked;
    }
    auto material = std::make_unique<Material>();
    const std::string_view stem = partStem(imagePart);
    material->properties.setProperty("Name", stem.empty() ? "texture" : stem);
    material->properties.setProperty("Texture2dID", group.textureId);
    material->setColor(AmbientSlot, 0xFFFFFFFFu);
    material->setColor(DiffuseSlot, 0xFFFFFFFFu);
    if (!file.empty() && !material->addTextureMap(TextureKind::Diffuse, file))
        return outOfMemory();
    number = static_cast<std::int16_t>(state_.textureMaterials.size());
    state_.textureMaterials.push_back(std::move(material));
    textureMaterials_.emplace(group.textureId, number);
    return OperationResult::Success;
}

// The attributes of an element in the tree, in a list reused from element
// to element.
std::span<const XmlAttribute> ModelWalker::attributesOf(XmlNodeRef node)
{
    attributes_.clear();
    for (auto attribute = node.attributes(); !attribute.atEnd(); attribute.advance())
        attributes_.push_back(attribute.current());
    return attributes_;
}

OperationResult ModelWalker::addVertex(std::span<const XmlAttribute> attributes)
{
    if (objects_.empty())
        return OperationResult::Success; // a vertex outside any object
    ObjectState& state = objects_.back();
    Vector3 point{0, 0, 0};
    for (const XmlAttribute& a : attributes) {
        if (a.name.size() != 1)
            continue;
        float* target = a.name[0] == 'x'   ? &point.x
                        : a.name[0] == 'y' ? &point.y
                        : a.name[0] == 'z' ? &point.z
                                           : nullptr;
        if (target != nullptr && !parseCoordinate(a.value, *target))
            return failWith(&failure_, FailureKind::Malformed,
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

OperationResult ModelWalker::startStoringTexCoords(ObjectState& state)
{
    TexCoordArray& texCoords = state.object->texCoords;
    if (!texCoords.allocate(state.object->indices.count()))
        return outOfMemory();
    std::fill_n(texCoords.data(), state.indexCount, TexCoord{0, 0});
    state.texCoordsStored = true;
    return OperationResult::Success;
}

// Corner colours c1, c2, c3 of a triangle from its colour attributes: the
// colour elements "colorid" names ("a,b,c", the last id ending at ")"), the
// colour of a material element, or the entries p1, p2, p3 of its group.
void ModelWalker::cornerColours(ObjectState& state, std::string_view colorId, std::string_view materialId,
                                std::string_view group, const std::string_view (&p)[3], ArgbColor (&c)[3])
{
    if (!colorId.empty()) {
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
    } else if (!materialId.empty()) {
        state.triangleColoured = true;
        c[0] = c[1] = c[2] = lookUpDraftMaterial(materialId);
    } else if (!p[0].empty()) {
        state.triangleColoured = true;
        c[0] = lookUp(group, p[0]);
        c[1] = p[1].empty() ? c[0] : lookUp(group, p[1]);
        c[2] = p[2].empty() ? c[0] : lookUp(group, p[2]);
    }
}

OperationResult ModelWalker::addTriangle(std::span<const XmlAttribute> attributes)
{
    if (objects_.empty())
        return OperationResult::Success; // a triangle outside any object
    ObjectState& state = objects_.back();
    ModelObject& object = *state.object;

    std::string_view v[3] = {"0", "0", "0"};
    std::string_view colorId, materialId, pid, p[3];
    for (const XmlAttribute& a : attributes) {
        if (a.name.size() == 2 && (a.name[0] == 'v' || a.name[0] == 'p') && a.name[1] >= '1' && a.name[1] <= '3')
            (a.name[0] == 'v' ? v : p)[a.name[1] - '1'] = a.value;
        else if (a.name == "colorid")
            colorId = a.value;
        else if (a.name == "materialid")
            materialId = a.value;
        else if (a.name == "pid")
            pid = a.value;
    }
    std::uint32_t corners[3];
    for (int k = 0; k < 3; ++k)
        if (!parseIndex(v[k], corners[k]))
            corners[k] = InvalidIndex; // dropped with its triangle when the object ends

    // A triangle without its own pid takes its object's, as the format
    // intends; the colour group read last is the final fallback.
    const std::string_view group = !pid.empty() ? pid : !state.pid.empty() ? std::string_view(state.pid) : colourGroup_;
    // A texture group gives texture coordinates, not colours; a triangle
    // without p1 takes its object's pindex.
    const TextureGroup* textureGroup =
        !textureGroups_.empty() && (!p[0].empty() || !state.pindex.empty()) ? findTextureGroup(group) : nullptr;
    ArgbColor c[3] = {state.defaultColour, state.defaultColour, state.defaultColour};
    TexCoord t[3] = {};
    std::int16_t material = UntexturedMaterial;
    if (textureGroup != nullptr && colorId.empty() && materialId.empty()) {
        const std::string_view first = p[0].empty() ? std::string_view(state.pindex) : p[0];
        const std::string_view entries[3] = {first, p[1].empty() ? first : p[1], p[2].empty() ? first : p[2]};
        for (int k = 0; k < 3; ++k) {
            std::uint32_t entry = 0;
            if (parseIndex(entries[k], entry) && entry < textureGroup->coordinates.size())
                t[k] = textureGroup->coordinates[entry];
        }
        if (const OperationResult made = textureMaterial(*textureGroup, material); made != OperationResult::Success)
            return made;
    } else {
        cornerColours(state, colorId, materialId, group, p, c);
    }

    IndexArray& indices = object.indices;
    if (state.indexCount + 3 > indices.count()) {
        if (!growAhead(indices, FirstIndexRoom))
            return outOfMemory();
        if (state.coloursStored && !object.colors.resize(indices.count()))
            return outOfMemory();
        if (state.texCoordsStored && !object.texCoords.resize(indices.count()))
            return outOfMemory();
    }
    // Colours and texture coordinates are stored from the first triangle
    // that needs them on; the corners before it get the object's default
    // colour and texture coordinates of 0.
    if (!state.coloursStored && (state.triangleColoured || state.hasDefaultColour)) {
        if (const OperationResult result = startStoringColours(state); result != OperationResult::Success)
            return result;
    }
    if (!state.texCoordsStored && material != UntexturedMaterial) {
        if (const OperationResult result = startStoringTexCoords(state); result != OperationResult::Success)
            return result;
    }
    if (material != state.runMaterial) {
        if (state.indexCount > state.runStart)
            state.runs.push_back(MaterialRange{state.runMaterial, state.runStart, state.indexCount});
        state.runMaterial = material;
        state.runStart = state.indexCount;
    }
    std::copy_n(corners, 3, &indices[state.indexCount]);
    if (state.coloursStored)
        std::copy_n(c, 3, &object.colors[state.indexCount]);
    if (state.texCoordsStored)
        std::copy_n(t, 3, &object.texCoords[state.indexCount]);
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
    if (state.texCoordsStored) {
        (void)object.texCoords.resize(std::min(state.indexCount, object.texCoords.count()));
        object.texCoords.shrinkToFit();
    }
}

// Hands the materials to the model, newest first. Texture materials take ids
// after every colour material's (those count within their groups), and the
// untextured triangles of textured meshes one plain material after them.
OperationResult moveMaterialsToModel(ReadState& state, Model& model, Failure* failure)
{
    std::int32_t nextId = model.nextMaterialId;
    for (const auto& material : model.materials)
        nextId = std::max<std::int32_t>(nextId, material->id + 1);
    for (const auto& material : state.colourMaterials)
        nextId = std::max<std::int32_t>(nextId, material->id + 1);
    std::int32_t plainId = -1;
    if (!state.texturedMeshes.empty()) {
        if (nextId + static_cast<std::int32_t>(state.textureMaterials.size()) >= INT16_MAX)
            return failWith(failure, FailureKind::Unsupported, "the model has too many materials");
        for (const auto& material : state.textureMaterials)
            material->id = static_cast<std::int16_t>(nextId++);
        plainId = nextId++;
        auto plain = std::make_unique<Material>();
        plain->id = static_cast<std::int16_t>(plainId);
        plain->properties.setProperty("Name", "untextured");
        plain->setColor(AmbientSlot, DefaultVertexColor);
        plain->setColor(DiffuseSlot, DefaultVertexColor);
        state.textureMaterials.push_back(std::move(plain));
        for (ModelObject* mesh : state.texturedMeshes)
            for (MaterialRange& range : mesh->materialRanges)
                range.materialId = range.materialId == UntexturedMaterial
                                       ? static_cast<std::int16_t>(plainId)
                                       : state.textureMaterials[static_cast<std::size_t>(range.materialId)]->id;
        model.nextMaterialId = static_cast<std::int16_t>(std::max<std::int32_t>(model.nextMaterialId, nextId));
    } else {
        state.textureMaterials.clear(); // made for meshes that are gone
    }
    auto& materials = model.materials;
    materials.insert(materials.begin(), std::make_move_iterator(state.colourMaterials.rbegin()),
                     std::make_move_iterator(state.colourMaterials.rend()));
    materials.insert(materials.begin(), std::make_move_iterator(state.textureMaterials.rbegin()),
                     std::make_move_iterator(state.textureMaterials.rend()));
    state.colourMaterials.clear();
    state.textureMaterials.clear();
    return OperationResult::Success;
}

// Per-corner normals for every placed object.
OperationResult completeObjects(Model& model, ProgressReporter& reporter, Failure* failure)
{
    for (const auto& owned : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        ModelObject& object = *owned;
        if (object.indices.empty())
            continue;
        if (!object.normals.allocate(object.indices.count()))
            return failOutOfMemory(failure);
        const bool completed =
            forEachIndex(object.indices.count() / 3, CompletionCadence, reporter, [&object](std::uint32_t triangle) {
                const std::uint32_t i = triangle * 3;
                const std::uint32_t* corner = &object.indices[i];
                const Vector3 normal =
                    faceNormal(object.vertices[corner[0]], object.vertices[corner[1]], object.vertices[corner[2]]);
                object.normals[i] = object.normals[i + 1] = object.normals[i + 2] = normal;
            });
        if (!completed)
            return OperationResult::Cancelled;
    }
    reporter.setStatusText("Arranging the model objects...", 1);
    return OperationResult::Success;
}

// A large model part inflated straight into memory while this thread
// parses it: on a helper thread when the file may use two, else a chunk at
// a time on this thread whenever the parse needs more. The text passes
// through a window of a few megabytes; no scratch file of its size is
// written and read again. `used` stays false (and the part is read from
// its file instead) when the part is small or the text needs what only a
// whole parse gives: another encoding than UTF-8, a tag longer than the
// parse looks ahead, more bytes than declared.
OperationResult parseWhileInflating(const std::string& name, PartSource& parts, ProgressReporter& reporter,
                                    XmlDocument& root, std::string& xmlError, std::uint64_t& xmlErrorLine, bool& used,
                                    XmlElementSink* sink, Failure* failure)
{
    used = false;
    const std::uint64_t size = parts.inflatableSize(name);
    if (size == 0 || !modelPartFitsMemory(size))
        return OperationResult::Success;
    const std::unique_ptr<ZipEntryFeeder> feeder = parts.modelPartFeeder(name);
    if (!feeder)
        return OperationResult::Success;
    const std::size_t window = parts.feedWindow();
    XmlFeed feed(size, window, std::min(XmlFeed::DefaultLookAhead, std::max<std::size_t>(window / 4, 1)));
    if (!feed.allocated())
        return OperationResult::Success;
    std::vector<std::thread> helper; // the inflater, when it runs alongside
    const bool alongside = parts.inflatesAlongside() && startThread(helper, [&] {
                               while (feeder->step(feed)) {
                               }
                           });
    if (!alongside) {
        feed.stopWith(&reporter);
        feed.pumpWith([&] { feeder->step(feed); });
    }

    reporter.setStatusText("Opening file...", 1);
    constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";
    const XmlFeed::State head = feed.waitFor(Utf8Mark.size());
    const std::string_view start(feed.at(0), std::min<std::uint64_t>(head.available, Utf8Mark.size()));
    const bool utf16 = start.starts_with("\xFE\xFF") || start.starts_with("\xFF\xFE");
    bool incomplete = utf16;
    OperationResult parsed = OperationResult::Success;
    if (utf16)
        feed.requestStop();
    else
        parsed = parseXmlFeed(feed, start.starts_with(Utf8Mark) ? Utf8Mark.size() : 0, root, xmlError, &reporter,
                              &xmlErrorLine, incomplete, sink);
    if (parsed == OperationResult::Success && !incomplete) {
        // The document may end before the text does: the rest is inflated
        // unread, for its size and encoding.
        feed.drain();
        (void)feed.waitFor(UINT64_MAX);
    }
    for (std::thread& inflater : helper)
        inflater.join();
    const OperationResult inflated = feeder->result();

    if (reporter.isCancelled() && (parsed == OperationResult::Cancelled || inflated == OperationResult::Cancelled))
        return OperationResult::Cancelled;
    // Whatever stopped the parse short (a damaged stream among them), the
    // read from the file meets it in the same way.
    if (feeder->overflowed() || incomplete)
        return OperationResult::Success;
    used = true;
    if (inflated != OperationResult::Success) {
        if (feeder->failure().kind == FailureKind::OutOfMemory)
            return failWith(failure, FailureKind::OutOfMemory, TooLargeForMemory);
        return failWith(failure, feeder->failure().kind, "cannot extract the model part: " + feeder->failure().message);
    }
    if (parsed == OperationResult::Failure)
        return failWith(failure, FailureKind::Unreadable, xmlError);
    if (parsed != OperationResult::Success)
        return parsed;
    if (feed.written() == 0)
        return failWith(failure, FailureKind::Malformed, "the model part is empty");
    // Bytes that are not UTF-8 are read as another encoding, which only a
    // parse of the decoded whole gives.
    used = feed.wellFormedUtf8();
    return OperationResult::Success;
}

// Loads the model part from the file the part source unpacks it into.
OperationResult loadFromFile(const std::string& name, PartSource& parts, ProgressReporter& reporter, XmlDocument& root,
                             std::string& xmlError, std::uint64_t& xmlErrorLine, XmlElementSink* sink, Failure* failure)
{
    std::filesystem::path file;
    if (const OperationResult found = parts.modelPart(name, file, failure); found != OperationResult::Success)
        return found;
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error)
        return failWith(failure, FailureKind::Unreadable, "cannot read the model part");
    if (!modelPartFitsMemory(size))
        return failWith(failure, FailureKind::OutOfMemory, TooLargeForMemory);
    if (size == 0)
        return failWith(failure, FailureKind::Malformed, "the model part is empty");

    reporter.setStatusText("Opening file...", 1);
    const OperationResult result = loadXmlFile(file, &reporter, root, xmlError, &xmlErrorLine, sink);
    if (result == OperationResult::Failure)
        return failWith(failure, FailureKind::Unreadable, xmlError.empty() ? "cannot load the model part" : xmlError);
    return result;
}

// What a part's walk changes in the model, kept from before it so that a
// walk that ends in no model or a syntax error leaves the model as a part
// refused before its walk does.
struct ModelBeforePart {
    PropertyBag properties;
    std::int16_t nextMaterialId = 0;

    void restore(Model& model) const
    {
        model.properties = properties;
        model.nextMaterialId = nextMaterialId;
    }
};

// Loads one model part and walks it: while it is parsed when the part source
// allows, so that the part never stands as a whole tree, else after. A
// syntax error fails the part at its line: a damaged part read as far as it
// goes would lose data unseen. Either way the part fails alike: first for
// holding no model, then for a syntax error anywhere, then for what the
// walk met.
OperationResult readOnePart(const std::string& name, bool isRoot, ReadState& state, PartSource& parts, Model& model,
                            ProgressReporter& reporter, Failure* failure)
{
    const std::string key = partKey(name);
    const auto newWalker = [&] { return std::make_unique<ModelWalker>(model, state, parts, key, isRoot, reporter); };
    std::unique_ptr<ModelWalker> walker = newWalker();
    XmlDocument root;
    std::string xmlError;
    std::uint64_t xmlErrorLine = 0;
    // The read from memory may give up half way and leave the part to the
    // read from its file; only the root part's walk, into a fresh read
    // state, is simple to undo then.
    const bool streams = parts.walksWhileParsing();
    ModelBeforePart before;
    if (streams)
        before = ModelBeforePart{model.properties, model.nextMaterialId};
    XmlElementSink* sink = streams && isRoot ? walker.get() : nullptr;
    bool parsedAlongside = false;
    OperationResult result =
        parseWhileInflating(name, parts, reporter, root, xmlError, xmlErrorLine, parsedAlongside, sink, failure);
    if (result == OperationResult::Success && !parsedAlongside) {
        if (walker->started()) {
            // Back to a fresh read state that knows only the root part.
            state = ReadState{};
            state.partsKnown.insert(key);
            before.restore(model);
            walker = newWalker();
        }
        root.clear();
        xmlError.clear();
        xmlErrorLine = 0;
        sink = streams ? walker.get() : nullptr;
        result = loadFromFile(name, parts, reporter, root, xmlError, xmlErrorLine, sink, failure);
    }
    // A part refused before its walk would have counted leaves the model as
    // the walk after a whole parse would not have touched it.
    const auto refuse = [&](OperationResult refused) {
        if (sink != nullptr)
            before.restore(model);
        return refused;
    };
    if (result != OperationResult::Success)
        return refuse(result);
    // A part that is no 3MF model at all (another encoding, another format)
    // is refused rather than read as an empty model.
    if (sink != nullptr ? !walker->sawModel() : !findChild(root, "model")) {
        failWith(failure, FailureKind::Malformed, "the model part holds no 3MF model");
        // A syntax error that ended the tree early is why.
        if (xmlErrorLine != 0)
            placeAtLine(failure, xmlErrorLine);
        return refuse(OperationResult::Failure);
    }
    if (!xmlError.empty()) {
        failWith(failure, FailureKind::Malformed, isRoot ? xmlError : "in /" + name + ": " + xmlError);
        placeAtLine(failure, xmlErrorLine);
        return refuse(OperationResult::Failure);
    }
    if (sink == nullptr)
        walker->walk(root);
    return walker->finish(failure);
}

// The file itself as the root part; a plain file has no other parts.
class LoosePartSource : public PartSource {
public:
    LoosePartSource(std::filesystem::path file, std::string name) : file_(std::move(file)), name_(std::move(name)) {}

    OperationResult modelPart(std::string_view name, std::filesystem::path& file, Failure* failure) override
    {
        if (name != name_)
            return failWith(failure, FailureKind::Malformed,
                            "the model part refers to part /" + std::string(name) + ", which only a package holds");
        file = file_;
        return OperationResult::Success;
    }

    OperationResult imagePart(std::string_view, Model&, std::string& file, Failure*) override
    {
        file.clear();
        return OperationResult::Success;
    }

private:
    std::filesystem::path file_;
    std::string name_;
};

} // namespace

bool isCoreMetadataName(std::string_view name)
{
    static constexpr std::string_view names[] = {"Title",        "Designer",         "Description",
                                                 "Copyright",    "LicenseTerms",     "Rating",
                                                 "CreationDate", "ModificationDate", "Application"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

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

OperationResult readModelParts(std::string_view rootName, PartSource& parts, Model& model, ProgressReporter& reporter,
                               Failure* failure)
{
    try {
        ReadState state;
        const std::string root(rootName);
        state.partsKnown.insert(partKey(root));
        OperationResult result = readOnePart(root, true, state, parts, model, reporter, failure);
        // Parts that components name, each read once, in the order named.
        for (std::size_t next = 0; result == OperationResult::Success && next < state.partsNamed.size(); ++next) {
            const std::string name = state.partsNamed[next];
            if (next > MaxModelParts)
                return failWith(failure, FailureKind::Unsupported,
                                "the model names more than " + std::to_string(MaxModelParts) + " model parts");
            result = readOnePart(name, false, state, parts, model, reporter, failure);
        }
        if (result == OperationResult::Success)
            result = moveMaterialsToModel(state, model, failure);
        if (result == OperationResult::Success)
            result = placeBuildItems(state.resources, partKey(root), model, reporter, failure);
        if (result != OperationResult::Success)
            return result;
        if (state.droppedTriangles > 0)
            reporter.postTextMessage(std::to_string(state.droppedTriangles) +
                                     " triangle(s) dropped: a corner names a vertex the object does not have");
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
    return completeObjects(model, reporter, failure);
}

OperationResult read3mfModelPart(const std::filesystem::path& modelPart, Model& model, ProgressReporter& reporter,
                                 Failure* failure)
{
    const std::string name = modelPart.filename().string();
    LoosePartSource parts(modelPart, name);
    return readModelParts(name, parts, model, reporter, failure);
}

} // namespace morvex::threemf

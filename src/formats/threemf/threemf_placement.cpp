#include "formats/threemf/threemf_resources.h"

#include "support/core/memory_guard.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

namespace morvex::threemf {

std::string partNameOf(std::string_view path)
{
    while (path.starts_with('/') || path.starts_with('\\'))
        path.remove_prefix(1);
    std::string name(path);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::string partKey(std::string_view name)
{
    std::string key(name);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

std::string PackageResources::key(std::string_view part, std::string_view id)
{
    std::string text(part);
    text += '\n'; // never in a part name or an id
    text += id;
    return text;
}

ObjectResource& PackageResources::add(std::string_view part, std::string_view id)
{
    owned_.push_back(std::make_unique<ObjectResource>());
    owned_.back()->part = part;
    owned_.back()->id = id;
    byKey_[key(part, id)] = owned_.back().get();
    return *owned_.back();
}

ObjectResource* PackageResources::find(std::string_view part, std::string_view id)
{
    const auto found = byKey_.find(key(part, id));
    return found == byKey_.end() ? nullptr : found->second;
}

namespace {

// One mesh where a build item puts it.
struct Placement {
    ModelObject* mesh;
    Matrix4 matrix;
};

class Expansion {
public:
    Expansion(PackageResources& resources, std::string_view rootPart, ProgressReporter& reporter, Failure* failure)
        : resources_(resources), rootPart_(rootPart), reporter_(reporter), failure_(failure),
          memoryLimit_(availableMemoryBytes() / 2)
    {
    }

    // Adds the placements of one object and everything its components reach.
    OperationResult expand(const ObjectReference& reference, const Matrix4& matrix)
    {
        ObjectResource* resource = resources_.find(reference.part, reference.objectId);
        if (resource == nullptr)
            return failWith(failure_, FailureKind::Malformed,
                            "object " + reference.objectId + " is referred to but not defined" +
                                (reference.part == rootPart_ ? std::string() : " in /" + reference.part));
        if (ancestry_.size() >= MaxComponentDepth)
            return failWith(failure_, FailureKind::Malformed,
                            "components are nested deeper than " + std::to_string(MaxComponentDepth) + " levels");
        if (std::find(ancestry_.begin(), ancestry_.end(), resource) != ancestry_.end())
            return failWith(failure_, FailureKind::Malformed,
                            "object " + reference.objectId + " contains itself through its components");
        if (++visits_ % 1024 == 0 && reporter_.isCancelled())
            return OperationResult::Cancelled;
        if (resource->mesh) {
            const ModelObject& mesh = *resource->mesh;
            triangles_ += mesh.triangleCount();
            if (placements_.size() >= MaxPlacedMeshes || triangles_ > MaxPlacedTriangles)
                return failWith(failure_, FailureKind::Unsupported,
                                "the components expand to more than " + std::to_string(MaxPlacedTriangles) +
                                    " triangles or " + std::to_string(MaxPlacedMeshes) + " meshes");
            // What the copies and their normals take, against what is free.
            bytes_ += std::uint64_t(mesh.vertices.count()) * sizeof(Vector3) +
                      std::uint64_t(mesh.indices.count()) * (sizeof(std::uint32_t) + sizeof(Vector3)) +
                      std::uint64_t(mesh.colors.count()) * sizeof(ArgbColor) +
                      std::uint64_t(mesh.texCoords.count()) * sizeof(TexCoord);
            if (bytes_ > memoryLimit_)
                return failWith(failure_, FailureKind::OutOfMemory,
                                "the components expand to more copies than the available memory holds");
            placements_.push_back(Placement{resource->mesh.get(), matrix});
        }
        if (resource->components.empty())
            return OperationResult::Success;
        ancestry_.push_back(resource);
        for (const ObjectReference& component : resource->components) {
            // A visit count bound also stops trees of empty objects.
            if (visits_ > MaxPlacedMeshes * 4)
                return failWith(failure_, FailureKind::Unsupported,
                                "the components expand to more than " + std::to_string(MaxPlacedMeshes) + " meshes");
            const OperationResult result = expand(component, multiply(component.transform, matrix));
            if (result != OperationResult::Success)
                return result;
        }
        ancestry_.pop_back();
        return OperationResult::Success;
    }

    std::vector<Placement>& placements() { return placements_; }

private:
    PackageResources& resources_;
    std::string_view rootPart_;
    ProgressReporter& reporter_;
    Failure* failure_;
    std::vector<const ObjectResource*> ancestry_;
    std::vector<Placement> placements_;
    std::uint64_t triangles_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t memoryLimit_;
    std::uint64_t visits_ = 0;
};

template <typename Array>
bool copyArray(Array& target, const Array& source)
{
    if (source.empty()) {
        target.release();
        return true;
    }
    if (!target.allocate(source.count()))
        return false;
    std::memcpy(target.data(), source.data(), sizeof(*source.data()) * source.count());
    return true;
}

// The placed object: the mesh moved when this is its last use, else copied
// into arrays of exactly its size; then its vertices transformed.
OperationResult placeMesh(ModelObject& mesh, bool lastUse, const Matrix4& matrix, ModelObject& placed,
                          ProgressReporter& reporter, Failure* failure)
{
    placed.properties = mesh.properties;
    placed.materialRanges = mesh.materialRanges;
    if (lastUse) {
        placed.vertices = std::move(mesh.vertices);
        placed.indices = std::move(mesh.indices);
        placed.colors = std::move(mesh.colors);
        placed.texCoords = std::move(mesh.texCoords);
    } else if (!copyArray(placed.vertices, mesh.vertices) || !copyArray(placed.indices, mesh.indices) ||
               !copyArray(placed.colors, mesh.colors) || !copyArray(placed.texCoords, mesh.texCoords)) {
        return failOutOfMemory(failure);
    }
    if (matrix == Matrix4::identity())
        return OperationResult::Success;
    constexpr std::uint32_t Cadence = 1u << 16;
    for (std::uint32_t i = 0; i < placed.vertices.count(); ++i) {
        if (i % Cadence == Cadence - 1 && reporter.isCancelled())
            return OperationResult::Cancelled;
        placed.vertices[i] = transformPoint(placed.vertices[i], matrix);
    }
    return OperationResult::Success;
}

} // namespace

OperationResult placeBuildItems(PackageResources& resources, std::string_view rootPart, Model& model,
                                ProgressReporter& reporter, Failure* failure)
{
    Expansion expansion(resources, rootPart, reporter, failure);
    if (!resources.buildItems.empty()) {
        for (const ObjectReference& item : resources.buildItems) {
            const OperationResult result = expansion.expand(item, item.transform);
            if (result != OperationResult::Success)
                return result;
        }
    } else {
        std::unordered_set<const ObjectResource*> referenced;
        for (const auto& resource : resources.all())
            for (const ObjectReference& component : resource->components)
                referenced.insert(resources.find(component.part, component.objectId));
        for (const auto& resource : resources.all()) {
            if (referenced.contains(resource.get()))
                continue;
            if (resources.find(rootPart, resource->id) != resource.get())
                continue; // a replaced duplicate or an object of another part
            const OperationResult result =
                expansion.expand(ObjectReference{std::string(rootPart), resource->id, Matrix4{}}, Matrix4{});
            if (result != OperationResult::Success)
                return result;
        }
    }

    std::vector<Placement>& placements = expansion.placements();
    // Counted down to find each mesh's last use, which may take its arrays.
    std::unordered_map<const ModelObject*, std::uint32_t> usesLeft;
    for (const Placement& placement : placements)
        ++usesLeft[placement.mesh];
    model.objects.reserve(model.objects.size() + placements.size());
    for (const Placement& placement : placements) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        ModelObject* placed = model.addObject();
        if (placed == nullptr)
            return failOutOfMemory(failure);
        const bool lastUse = --usesLeft[placement.mesh] == 0;
        const OperationResult result =
            placeMesh(*placement.mesh, lastUse, placement.matrix, *placed, reporter, failure);
        if (result != OperationResult::Success)
            return result;
    }
    return OperationResult::Success;
}

} // namespace morvex::threemf

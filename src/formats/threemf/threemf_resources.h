#pragma once

// What the walk of a package's model parts collects before anything is
// placed: the object resources of every part, found by part and id, and the
// root part's build items. Placing turns them into the model's objects.

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morvex::threemf {

// A reference to an object: the part that holds it (its partKey) and its id
// there, with the transform that places it.
struct ObjectReference {
    std::string part;
    std::string objectId;
    Matrix4 transform;
};

// An object resource as read: its mesh in its own coordinates (per-corner
// colours, texture coordinates and material ranges as a model object holds
// them) when it has one, and its components.
struct ObjectResource {
    std::string part;
    std::string id;
    std::unique_ptr<ModelObject> mesh;
    std::vector<ObjectReference> components;
};

class PackageResources {
public:
    // A new resource under (part, id); a later one of the same key replaces
    // the earlier in lookups. Stays valid as long as this collection.
    ObjectResource& add(std::string_view part, std::string_view id);
    ObjectResource* find(std::string_view part, std::string_view id);
    // Resources in the order read.
    const std::vector<std::unique_ptr<ObjectResource>>& all() const { return owned_; }

    std::vector<ObjectReference> buildItems; // of the root part, in file order

private:
    static std::string key(std::string_view part, std::string_view id);

    std::vector<std::unique_ptr<ObjectResource>> owned_;
    std::unordered_map<std::string, ObjectResource*> byKey_;
};

// The part name a path names: without leading "/", "\" taken as "/".
std::string partNameOf(std::string_view path);
// A part name as references compare it: ASCII letters in lower case (part
// names in a package ignore case).
std::string partKey(std::string_view name);

// Limits on what components may expand to: deeper nesting than this is
// refused, as are more placed triangles or placed meshes in total.
inline constexpr std::uint32_t MaxComponentDepth = 32;
inline constexpr std::uint64_t MaxPlacedTriangles = 200'000'000;
inline constexpr std::uint64_t MaxPlacedMeshes = 250'000;

// Places every build item's object in the model: each item gives placed
// copies of the meshes it reaches through components (transforms composed,
// the item's last), in item order. A mesh used once is moved, not copied.
// Refuses references to missing objects, component cycles, nesting deeper
// than MaxComponentDepth and expansions beyond the limits, with a reason.
// Without any build item, every object of the root part that no component
// refers to is placed once where it is.
OperationResult placeBuildItems(PackageResources& resources, std::string_view rootPart, Model& model,
                                ProgressReporter& reporter, Failure* failure);

} // namespace morvex::threemf

#include "formats/obj/obj_internal.h"

#include <cstdint>
#include <new>

namespace morvex::obj {

Material* MaterialCollection::add(const std::string& name, Failure* failure)
{
    // Material ids are 16-bit and must stay unique.
    if (holder.nextMaterialId == INT16_MAX) {
        failWith(failure, FailureKind::Unsupported, "too many materials");
        return nullptr;
    }
    Material* material = holder.addMaterial();
    try {
        if (material != nullptr) {
            material->properties.setProperty("Name", name);
            byName[name] = material;
            return material;
        }
    } catch (const std::bad_alloc&) {
    }
    failOutOfMemory(failure);
    return nullptr;
}

Material* MaterialCollection::findOrAdd(const std::string& name, Failure* failure)
{
    const auto found = byName.find(name);
    return found != byName.end() ? found->second : add(name, failure);
}

} // namespace morvex::obj

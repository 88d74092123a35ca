#include "formats/obj/obj_internal.h"

#include <cstdint>
#include <new>

namespace morvex::objformat {

Material* MaterialCollection::add(const std::string& name, std::string* reason)
{
    // Material ids are 16-bit and must stay unique.
    if (holder.nextMaterialId == INT16_MAX) {
        failWith(reason, "too many materials");
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
    failWith(reason, "out of memory");
    return nullptr;
}

Material* MaterialCollection::findOrAdd(const std::string& name, std::string* reason)
{
    const auto found = byName.find(name);
    return found != byName.end() ? found->second : add(name, reason);
}

} // namespace morvex::objformat

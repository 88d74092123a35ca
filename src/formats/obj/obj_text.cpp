#include "formats/obj/obj_internal.h"

#include "support/text/numbers.h"
#include "support/text/text.h"

#include <cstdint>
#include <new>

namespace morvex::objformat {

namespace {

// A number is a whole token: "1a" or "1,5" is not one.
bool endsToken(const char* at, const char* end)
{
    return at >= end || isLineEnd(*at) || isBlank(*at);
}

} // namespace

bool LineScanner::readFloat(float& value)
{
    skipBlanks();
    const char* at = at_;
    float parsed = 0.0f;
    if (!parseFloat(at, end_, parsed) || !endsToken(at, end_))
        return false;
    value = parsed;
    at_ = at;
    return true;
}

bool LineScanner::readDouble(double& value, bool* fractional)
{
    skipBlanks();
    const char* start = at_;
    const char* at = at_;
    double parsed = 0.0;
    if (!parseDouble(at, end_, parsed) || !endsToken(at, end_))
        return false;
    if (fractional != nullptr) {
        // Anything but plain digits ("0.5", "1e2", "inf") is a fraction.
        *fractional = false;
        for (const char* c = start; c < at; ++c)
            if (!(*c >= '0' && *c <= '9') && *c != '+' && *c != '-')
                *fractional = true;
    }
    value = parsed;
    at_ = at;
    return true;
}

std::string modelText(std::string_view text)
{
    return limitUtf16Units(sanitizeUtf8(text));
}

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

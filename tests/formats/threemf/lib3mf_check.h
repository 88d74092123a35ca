#pragma once

// The reference 3MF library's view of a package: whether it reads it (in
// strict mode, any deviation from the core rules fails), and per build item
// the triangles it places and the box they span, components applied. Tests
// hold our reader's results and our writer's packages against it.

#include <gtest/gtest.h>

#include <filesystem>

#ifdef MORVEX_HAVE_LIB3MF

#include "Model/COM/NMR_DLLInterfaces.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace morvex::threemf_test {

struct Lib3mfView {
    bool read = false;
    std::string error; // why it was not read
    std::uint32_t warnings = 0;
    std::vector<std::uint64_t> itemTriangles; // per build item
    std::uint64_t textures = 0;               // triangles with texture coordinates
    std::array<float, 6> box{std::numeric_limits<float>::max(),  std::numeric_limits<float>::max(),
                             std::numeric_limits<float>::max(),  -std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()};

    std::uint64_t triangles() const
    {
        std::uint64_t total = 0;
        for (const std::uint64_t count : itemTriangles)
            total += count;
        return total;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Lib3mfView& view)
{
    out << (view.read ? "read" : "not read: " + view.error) << ", " << view.triangles() << " triangles in "
        << view.itemTriangles.size() << " items, box";
    for (const float value : view.box)
        out << " " << value;
    return out;
}

namespace lib3mf_detail {

// Releases a lib3mf instance when it goes.
struct Handle {
    NMR::PLib3MFBase* instance = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (instance != nullptr)
            NMR::lib3mf_release(instance);
    }
};

// lib3mf's transforms act on column vectors: p' = F p, translation in column 3.
using Transform = NMR::MODELTRANSFORM;

inline Transform identity()
{
    Transform t{};
    for (int r = 0; r < 3; ++r)
        t.m_fFields[r][r] = 1;
    return t;
}

// outer after inner.
inline Transform compose(const Transform& outer, const Transform& inner)
{
    Transform t{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            float sum = c == 3 ? outer.m_fFields[r][3] : 0.0f;
            for (int k = 0; k < 3; ++k)
                sum += outer.m_fFields[r][k] * inner.m_fFields[k][c];
            t.m_fFields[r][c] = sum;
        }
    return t;
}

inline void addObject(NMR::PLib3MFBase* object, const Transform& transform, std::uint64_t& triangles, Lib3mfView& view,
                      int depth)
{
    using namespace NMR;
    BOOL isMesh = false, isComponents = false;
    lib3mf_object_ismeshobject(object, &isMesh);
    lib3mf_object_iscomponentsobject(object, &isComponents);
    if (isMesh) {
        DWORD vertexCount = 0, triangleCount = 0;
        lib3mf_meshobject_getvertexcount(object, &vertexCount);
        lib3mf_meshobject_gettrianglecount(object, &triangleCount);
        triangles += triangleCount;
        for (DWORD v = 0; v < vertexCount; ++v) {
            MODELMESHVERTEX vertex{};
            lib3mf_meshobject_getvertex(object, v, &vertex);
            for (int r = 0; r < 3; ++r) {
                float x = transform.m_fFields[r][3];
                for (int k = 0; k < 3; ++k)
                    x += transform.m_fFields[r][k] * vertex.m_fPosition[k];
                view.box[r] = std::min(view.box[r], x);
                view.box[r + 3] = std::max(view.box[r + 3], x);
            }
        }
        Handle properties;
        if (lib3mf_meshobject_createpropertyhandler(object, &properties.instance) == 0)
            for (DWORD t = 0; t < triangleCount; ++t) {
                eModelPropertyType type = MODELPROPERTYTYPE_NONE;
                lib3mf_propertyhandler_getpropertytype(properties.instance, t, &type);
                view.textures += type == MODELPROPERTYTYPE_TEXCOORD2D ? 1 : 0;
            }
    }
    if (isComponents && depth < 64) {
        DWORD count = 0;
        lib3mf_componentsobject_getcomponentcount(object, &count);
        for (DWORD c = 0; c < count; ++c) {
            Handle component, child;
            if (lib3mf_componentsobject_getcomponent(object, c, &component.instance) != 0 ||
                lib3mf_component_getobjectresource(component.instance, &child.instance) != 0)
                continue;
            Transform local = identity();
            lib3mf_component_gettransform(component.instance, &local);
            addObject(child.instance, compose(transform, local), triangles, view, depth + 1);
        }
    }
}

} // namespace lib3mf_detail

// Reads the package with lib3mf and places every build item.
inline Lib3mfView viewWithLib3mf(const std::filesystem::path& path, bool strict)
{
    using namespace NMR;
    using namespace lib3mf_detail;
    Lib3mfView view;
    Handle document, reader;
    if (lib3mf_createmodel(&document.instance) != 0 ||
        lib3mf_model_queryreader(document.instance, "3mf", &reader.instance) != 0) {
        view.error = "lib3mf cannot start";
        return view;
    }
    lib3mf_reader_setstrictmodeactive(reader.instance, strict);
    if (lib3mf_reader_readfromfileutf8(reader.instance, path.c_str()) != 0) {
        DWORD code = 0;
        LPCSTR text = nullptr;
        lib3mf_getlasterror(reader.instance, &code, &text);
        view.error = "lib3mf error " + std::to_string(code) + ": " + (text != nullptr ? text : "");
        return view;
    }
    view.read = true;
    DWORD warnings = 0;
    lib3mf_reader_getwarningcount(reader.instance, &warnings);
    view.warnings = warnings;

    Handle items;
    if (lib3mf_model_getbuilditems(document.instance, &items.instance) != 0)
        return view;
    BOOL more = false;
    while (lib3mf_builditemiterator_movenext(items.instance, &more) == 0 && more) {
        Handle item, object;
        if (lib3mf_builditemiterator_getcurrent(items.instance, &item.instance) != 0 ||
            lib3mf_builditem_getobjectresource(item.instance, &object.instance) != 0)
            continue;
        Transform transform = identity();
        lib3mf_builditem_getobjecttransform(item.instance, &transform);
        std::uint64_t triangles = 0;
        addObject(object.instance, transform, triangles, view, 0);
        view.itemTriangles.push_back(triangles);
    }
    return view;
}

} // namespace morvex::threemf_test

#endif

namespace morvex::threemf_test {

// Every package our tests write goes through lib3mf's strict reading when
// the library is there: read without error and without warning.
inline void expectStrictlyReadable([[maybe_unused]] const std::filesystem::path& path)
{
#ifdef MORVEX_HAVE_LIB3MF
    const Lib3mfView view = viewWithLib3mf(path, true);
    EXPECT_TRUE(view.read) << path << ": " << view;
    EXPECT_EQ(view.warnings, 0u) << path;
#endif
}

} // namespace morvex::threemf_test

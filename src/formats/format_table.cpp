#include "formats/format_table.h"

#include "formats/3ds/tds.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/mqo/mqo.h"
#include "formats/obj/obj.h"
#include "formats/ply/ply.h"
#include "formats/sdf/sdf.h"
#include "formats/stl/stl.h"
#include "formats/threemf/threemf.h"
#include "support/text/text.h"

#include <array>

namespace morvex {
namespace {

constexpr FormatProfile profile(FormatKind kind, UpAxis up, Handedness hand, Winding winding, bool normals)
{
    return FormatProfile{kind, up, hand, winding, normals};
}

constexpr FormatProfile zUpRight(FormatKind kind)
{
    return profile(kind, UpAxis::Z, Handedness::Right, Winding::CounterClockwise, false);
}
constexpr FormatProfile yUpRightClockwise(FormatKind kind)
{
    return profile(kind, UpAxis::Y, Handedness::Right, Winding::Clockwise, false);
}
constexpr FormatProfile ExternalProfile =
    profile(FormatKind::External, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true);

// Facet normals stored in STL files never reach a model: every target either
// keeps none or gets them computed from the corners.
OperationResult readStlWithoutNormals(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                                      Failure* failure)
{
    const OperationResult result = stl::readStl(path, model, reporter, failure);
    if (result != OperationResult::Success)
        return result;
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

constexpr FileFormat external(std::string_view extension, bool popular = false)
{
    FileFormat row{.name = extension, .extension = extension, .description = {}, .profile = ExternalProfile};
    row.popular = popular;
    return row;
}

constexpr FileFormat ownMissing(std::string_view extension, std::string_view description, FormatProfile rowProfile)
{
    return FileFormat{.name = extension,
                      .extension = extension,
                      .description = description,
                      .profile = rowProfile,
                      .route = ReadRoute::OwnReaderMissing};
}

// In the open dialog's order, which is alphabetical but for "ply" before
// "pk3"; the rows outside the dialog come last. The output list positions
// are those the desktop program stores.
const auto& table()
{
    static const auto rows = [] {
        FileFormat document3dp{
            .name = "3dp",
            .extension = "3dp",
            .description =
                "3DP documents, the converter's own chunked format (object placement, per-corner normals and "
                "colours, the first material's colours, all properties)",
            .profile = profile(FormatKind::Document3dp, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true),
            .route = ReadRoute::OwnReader,
            .read = docs3dp::read3dp,
            .write = docs3dp::write3dp,
            .native = true,
            .writesOneFile = true,
            .writesPoints = true,
            .outputListIndex = 0};
        const FileFormat threeDs{
            .name = "3ds",
            .extension = "3ds",
            .description = "3DS (read: objects with their texture coordinates, materials with their names, diffuse "
                           "colours and texture files, faces of material groups with a vertex per corner, objects "
                           "moved by the keyframer; write: objects split at 65,535 vertices, "
                           "materials and face groups, textures copied beside the output under 8.3 names)",
            .profile = zUpRight(FormatKind::ThreeDs),
            .route = ReadRoute::OwnReader,
            .read = tds::read3ds,
            .write = tds::write3ds,
            .native = true,
            .keepsPlacement = false,
            .popular = true,
            .outputListIndex = 1};
        const FileFormat threeMf{
            .name = "3mf",
            .extension = "3mf",
            .description =
                "3MF packages (read: a placed mesh per build item and per mesh its components reach, also in other "
                "model parts, transforms composed; per-corner colours from colour groups, base materials and colour "
                "elements; texture groups as texture coordinates with the package's images; metadata; write: mesh "
                "objects with placement applied, all colours as one colour group, textures as texture groups with "
                "their PNG and JPEG images, metadata, build items with part numbers)",
            .profile = zUpRight(FormatKind::ThreeMf),
            .route = ReadRoute::OwnReader,
            .read = threemf::read3mf,
            .write = threemf::write3mf,
            .native = true,
            .popular = true,
            .outputListIndex = 2};
        FileFormat fbx = external("fbx", true);
        fbx.profile = profile(FormatKind::Fbx, UpAxis::Y, Handedness::Left, Winding::CounterClockwise, true);
        const FileFormat mqo{.name = "mqo",
                             .extension = "mqo",
                             .description = "MQO text scenes (objects with their names, vertices and triangles, "
                                            "quads split; materials and texture coordinates are not read)",
                             .profile = yUpRightClockwise(FormatKind::Mqo),
                             .route = ReadRoute::OwnReader,
                             .read = mqo::readMqo,
                             .native = true};
        FileFormat sdf = ownMissing("sdf",
                                    "SDF model descriptions (the meshes their model:// references name, read "
                                    "through the helper, in reference order; poses and materials are not applied)",
                                    yUpRightClockwise(FormatKind::Sdf));
        sdf.route = ReadRoute::OwnReaderWithHelper;
        sdf.readWithMeshes = sdf::readSdf;
        sdf.keepsPlacement = false;
        const FileFormat obj{
            .name = "obj",
            .extension = "obj",
            .description = "OBJ with its MTL material library (diffuse textures copied into a `Textures` folder beside "
                           "the output)",
            .profile = profile(FormatKind::Obj, UpAxis::Y, Handedness::Right, Winding::CounterClockwise, true),
            .route = ReadRoute::OwnReader,
            .read = obj::readObj,
            .write = obj::writeObj,
            .native = true,
            .keepsPlacement = false,
            .writesPoints = true,
            .popular = true,
            .outputListIndex = 3};
        const FileFormat ply{
            .name = "ply",
            .extension = "ply",
            .description = "PLY, ASCII and binary of either byte order (vertex and face colours, polygons split into "
                           "triangles, comments; written binary little-endian)",
            .profile = zUpRight(FormatKind::Ply),
            .route = ReadRoute::OwnReader,
            .read = ply::readPly,
            .write = ply::writePly,
            .native = true,
            .keepsPlacement = false,
            .writesOneFile = true,
            .writesPoints = true,
            .outputListIndex = 4};
        const FileFormat stl{.name = "stl",
                             .extension = "stl",
                             .description = "STL, ASCII and binary (colours in the header and attribute words)",
                             .profile = zUpRight(FormatKind::StlBinary),
                             .route = ReadRoute::OwnReader,
                             .read = readStlWithoutNormals,
                             .write = stl::writeStlBinary,
                             .native = true,
                             .keepsPlacement = false,
                             .writesOneFile = true,
                             .popular = true,
                             .outputListIndex = 5};
        FileFormat stlAscii = stl;
        stlAscii.name = "stl-ascii";
        stlAscii.description = "STL, written as ASCII";
        stlAscii.profile.kind = FormatKind::StlAscii;
        stlAscii.route = ReadRoute::NotAnInput;
        stlAscii.read = nullptr;
        stlAscii.write = stl::writeStlAscii;
        stlAscii.inOpenDialog = false;
        stlAscii.popular = false;
        stlAscii.outputListIndex = -1;
        FileFormat ifc = external("ifc");
        ifc.route = ReadRoute::IfcTool;
        ifc.inOpenDialog = false;

        return std::array{
            external("3d"),
            document3dp,
            threeDs,
            threeMf,
            external("ac"),
            external("ase"),
            external("b3d"),
            external("blend", true),
            external("cob"),
            external("dae", true),
            external("dxf"),
            fbx,
            external("glb", true),
            external("gltf", true),
            external("hmp"),
            external("lwo"),
            external("lws"),
            external("lxo"),
            external("md2"),
            external("md3"),
            external("md5"),
            external("md5mesh"), // what MD5 models are called on disk
            external("mdc"),
            external("mdl"),
            mqo,
            external("ms3d"),
            external("ndo"),
            external("nff"),
            obj,
            external("off"),
            external("ogex"),
            ply,
            external("pk3"),
            external("q3d"),
            external("q3s"),
            external("raw"),
            external("scn"),
            sdf,
            external("smd"),
            stl,
            external("ter"),
            external("vta"),
            external("x"),
            external("xgl"),
            external("zgl"),
            stlAscii,
            ifc,
        };
    }();
    return rows;
}

} // namespace

std::span<const FileFormat> fileFormats()
{
    return table();
}

const FileFormat* formatForExtension(std::string_view extension)
{
    extension = withoutLeadingDot(extension);
    for (const FileFormat& format : table())
        if (format.readable() && equalsIgnoreCase(extension, format.extension))
            return &format;
    return nullptr;
}

const FileFormat* formatForPath(const std::filesystem::path& path)
{
    return formatForExtension(extensionOf(path.string()));
}

const FileFormat& unlistedFormat()
{
    static constexpr FileFormat unlisted{.name = {}, .extension = {}, .description = {}, .profile = FormatProfile{}};
    return unlisted;
}

const FileFormat* outputFormatNamed(std::string_view name)
{
    name = withoutLeadingDot(name);
    for (const FileFormat& format : table())
        if (format.writable() && equalsIgnoreCase(name, format.name))
            return &format;
    return nullptr;
}

const FileFormat* outputFormatOfKind(FormatKind kind)
{
    for (const FileFormat& format : table())
        if (format.writable() && format.profile.kind == kind)
            return &format;
    return nullptr;
}

const FileFormat* outputListEntry(int index)
{
    for (const FileFormat& format : table())
        if (index >= 0 && format.outputListIndex == index)
            return &format;
    return nullptr;
}

std::string outputFormatNames()
{
    std::string names;
    for (const FileFormat& format : table()) {
        if (!format.writable())
            continue;
        if (!names.empty())
            names += ", ";
        names += format.name;
    }
    return names;
}

FormatProfile profileForExtension(std::string_view extension)
{
    const FileFormat* format = formatForExtension(extension);
    return format != nullptr ? format->profile : FormatProfile{};
}

bool keepsPlacement(FormatKind kind)
{
    for (const FileFormat& format : table())
        if (format.profile.kind == kind)
            return format.keepsPlacement;
    return true;
}

} // namespace morvex

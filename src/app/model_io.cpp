#include "app/model_io.h"

#include "external/external_converters.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/obj/obj.h"
#include "formats/ply/ply.h"
#include "formats/stl/stl.h"
#include "formats/threemf/threemf.h"
#include "support/text/text.h"

namespace morvex {

FormatKind outputKindForExtension(std::string_view extension)
{
    extension = withoutLeadingDot(extension);
    struct Row {
        const char* extension;
        FormatKind kind;
    };
    static constexpr Row rows[] = {
        {"3dp", FormatKind::Document3dp}, {"3ds", FormatKind::Tds}, {"3mf", FormatKind::ThreeMf},
        {"obj", FormatKind::Obj},         {"ply", FormatKind::Ply}, {"stl", FormatKind::StlBinary},
    };
    for (const Row& row : rows)
        if (equalsIgnoreCase(extension, row.extension))
            return row.kind;
    return FormatKind::Unknown;
}

namespace {

// Facet normals stored in STL files never reach the output.
OperationResult readStlWithoutNormals(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                                      std::string* reason)
{
    const OperationResult result = readStl(source, model, reporter, reason);
    if (result != OperationResult::Success)
        return result;
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

// The IFC tool writes an OBJ file that the OBJ reader reads; when the tool
// fails or its OBJ cannot be read, the external converter reads the source.
OperationResult readIfc(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                        std::string* reason)
{
    const OperationResult tool = runIfcConverter(reporter, source, ifcOutputPath(source));
    if (tool == OperationResult::Cancelled)
        return tool;
    if (tool == OperationResult::Success) {
        const OperationResult obj = readModel(reporter, model, ifcObjPath(source), ".obj");
        if (obj != OperationResult::Failure)
            return obj;
        model.reset();
    }
    return runExternalConverter(reporter, model, source, reason);
}

} // namespace

OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          std::string_view extension, std::string* reason)
{
    const std::string ext = asciiLower(extension);
    if (ext == ".stl")
        return readStlWithoutNormals(reporter, model, source, reason);
    if (ext == ".3mf")
        return read3mf(source, model, reporter, reason);
    if (ext == ".ply")
        return readPly(source, model, reporter, reason);
    if (ext == ".obj")
        return readObj(source, model, reporter, reason);
    if (ext == ".3dp")
        return read3dp(source, model, reporter, reason);
    if (ext == ".ifc")
        return readIfc(reporter, model, source, reason);
    // Formats read by code of our own whose reader is not in this build.
    for (const char* native : {".3ds", ".sdf", ".mqo"})
        if (ext == native)
            return failWith(reason, "no reader for " + ext + " files yet");
    return runExternalConverter(reporter, model, source, reason);
}

OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const ConversionSettings& settings, std::string* reason)
{
    switch (settings.outputKind) {
    case FormatKind::StlAscii: return writeStlAscii(output, model, reporter, reason);
    case FormatKind::StlBinary: return writeStlBinary(output, model, reporter, reason);
    case FormatKind::Ply: return writePly(output, model, reporter, reason);
    case FormatKind::Obj: return writeObj(output, model, reporter, reason);
    case FormatKind::Document3dp: return write3dp(output, model, reporter, reason);
    case FormatKind::ThreeMf: return write3mf(output, model, reporter, reason);
    default: return failWith(reason, "no writer for this output format");
    }
}

} // namespace morvex

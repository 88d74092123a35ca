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
                                      Failure* failure)
{
    const OperationResult result = stl::readStl(source, model, reporter, failure);
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
OperationResult readIfc(ProgressReporter& reporter, Model& model, const std::filesystem::path& source, Failure* failure)
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
    return runExternalConverter(reporter, model, source, failure);
}

} // namespace

OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          std::string_view extension, Failure* failure)
{
    const std::string ext = asciiLower(extension);
    if (ext == ".stl")
        return readStlWithoutNormals(reporter, model, source, failure);
    if (ext == ".3mf")
        return threemf::read3mf(source, model, reporter, failure);
    if (ext == ".ply")
        return ply::readPly(source, model, reporter, failure);
    if (ext == ".obj")
        return obj::readObj(source, model, reporter, failure);
    if (ext == ".3dp")
        return docs3dp::read3dp(source, model, reporter, failure);
    if (ext == ".ifc")
        return readIfc(reporter, model, source, failure);
    // Formats read by code of our own whose reader is not in this build.
    for (const char* native : {".3ds", ".sdf", ".mqo"})
        if (ext == native)
            return failWith(failure, FailureKind::Unsupported, "no reader for " + ext + " files yet");
    return runExternalConverter(reporter, model, source, failure);
}

OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const ConversionSettings& settings, Failure* failure)
{
    switch (settings.outputKind) {
    case FormatKind::StlAscii: return stl::writeStlAscii(output, model, reporter, failure);
    case FormatKind::StlBinary: return stl::writeStlBinary(output, model, reporter, failure);
    case FormatKind::Ply: return ply::writePly(output, model, reporter, failure);
    case FormatKind::Obj: return obj::writeObj(output, model, reporter, failure);
    case FormatKind::Document3dp: return docs3dp::write3dp(output, model, reporter, failure);
    case FormatKind::ThreeMf: return threemf::write3mf(output, model, reporter, failure);
    default: return failWith(failure, FailureKind::Unsupported, "no writer for this output format");
    }
}

} // namespace morvex

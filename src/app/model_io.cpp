#include "app/model_io.h"

#include "external/external_converters.h"

#include <cmath>
#include <new>
#include <system_error>

namespace morvex {
namespace {

// The IFC tool writes an OBJ file that the OBJ reader reads; when the tool
// fails or its OBJ cannot be read, the external converter reads the source.
// The model's profile says which of the two read it. When both fail, the
// reason names both.
OperationResult readIfc(ProgressReporter& reporter, Model& model, const std::filesystem::path& source, Failure* failure)
{
    Failure toolFailure;
    const OperationResult tool = runIfcConverter(reporter, source, ifcOutputPath(source), &toolFailure);
    if (tool == OperationResult::Cancelled)
        return tool;
    if (tool == OperationResult::Success) {
        const std::filesystem::path obj = ifcObjPath(source);
        const FileFormat& objFormat = *formatForExtension("obj");
        const OperationResult read = readModel(reporter, model, obj, objFormat, &toolFailure);
        std::error_code ignored;
        std::filesystem::remove(obj, ignored); // the tool's output is read once
        std::filesystem::remove(ifcMtlPath(source), ignored);
        if (read == OperationResult::Success)
            model.profile = objFormat.profile;
        if (read != OperationResult::Failure)
            return read;
        model.reset();
    }
    const bool firstFailure = failure != nullptr && !failure->recorded();
    const OperationResult read = runExternalConverter(reporter, model, source, failure);
    if (read == OperationResult::Success)
        model.profile = profileForExtension("ifc"); // the external converter's conventions
    else if (read == OperationResult::Failure && firstFailure && toolFailure.recorded())
        failure->message = toolFailure.message + "; then " + failure->message;
    return read;
}

OperationResult readByRoute(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                            const FileFormat& format, Failure* failure)
{
    switch (format.route) {
    case ReadRoute::OwnReader: return format.read(source, model, reporter, failure);
    case ReadRoute::IfcTool: return readIfc(reporter, model, source, failure);
    case ReadRoute::OwnReaderWithHelper:
        return format.readWithMeshes(source, model, reporter, runExternalConverter, failure);
    case ReadRoute::OwnReaderMissing:
        return failWith(failure, FailureKind::Unsupported,
                        "no reader for ." + std::string(format.extension) + " files yet");
    case ReadRoute::ExternalConverter:
    case ReadRoute::NotAnInput: break;
    }
    return runExternalConverter(reporter, model, source, failure);
}

bool finite(const Vector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Writers of formats without placement apply it to the vertices, so the
// placed coordinates count as well.
bool coordinatesFinite(const Model& model)
{
    for (const auto& object : model.objects) {
        if (!finite(object->position) || !finite(object->rotation) || !finite(object->scale))
            return false;
        const bool placed = object->hasPlacement();
        const Matrix4 placement = placementMatrix(*object);
        for (const Vector3& v : object->vertices)
            if (!finite(v) || (placed && !finite(transformPoint(v, placement))))
                return false;
    }
    return true;
}

// Points without any triangle: a format that holds only triangles would have
// to invent faces for them, or write an empty file.
bool onlyPoints(const Model& model)
{
    bool points = false;
    for (const auto& object : model.objects) {
        if (object->triangleCount() > 0)
            return false;
        points |= object->isPointSet();
    }
    return points;
}

} // namespace

// Readers and writers report their own arrays running out of memory; what a
// standard container throws while reading a hostile file ends that file
// alone, never the program or the other files of a batch.
OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          const FileFormat& format, Failure* failure)
{
    try {
        return readByRoute(reporter, model, source, format, failure);
    } catch (const std::bad_alloc&) {
        model.reset();
        return failOutOfMemory(failure);
    }
}

OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          Failure* failure)
{
    const FileFormat* format = formatForPath(source);
    return readModel(reporter, model, source, format != nullptr ? *format : unlistedFormat(), failure);
}

OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const FileFormat& format, Failure* failure)
{
    if (!format.writable())
        return failWith(failure, FailureKind::Unsupported,
                        "no writer for ." + std::string(format.extension) + " files");
    // A coordinate that is no finite number (a source that held one, or an
    // effect that overflowed) would make a file that no reader takes back.
    if (!coordinatesFinite(model))
        return failWith(failure, FailureKind::Unsupported, "the model has coordinates that are not finite numbers");
    if (!format.writesPoints && onlyPoints(model))
        return failWith(failure, FailureKind::Unsupported, "the model has no faces");
    try {
        return format.write(output, model, reporter, failure);
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
}

} // namespace morvex

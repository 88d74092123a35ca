#include "app/pipeline.h"

#include "app/model_io.h"
#include "app/staged_output.h"
#include "external/external_converters.h"
#include "mesh/convention_steps.h"
#include "mesh/mesh_operations.h"
#include "support/text/text.h"

#include <system_error>

namespace morvex {
namespace {

// Kinds that hold no per-object placement: 3DS, both STLs, OBJ, PLY, SDF
// (and the unused kind 5).
bool keepsNoPlacement(FormatKind kind)
{
    const auto value = static_cast<std::int32_t>(kind);
    return (value > 0 && value <= 5) || kind == FormatKind::Ply || kind == FormatKind::Sdf;
}

// The profile the model's geometry is in after reading. An IFC file read
// through the IFC tool came in as OBJ; one read by the external converter
// keeps what that reader set.
void setSourceProfile(Model& model, const std::filesystem::path& source)
{
    const std::string extension = extensionOf(source.string());
    if (!equalsIgnoreCase(extension, ".ifc")) {
        model.profile = profileForExtension(extension);
        return;
    }
    std::error_code error;
    const std::filesystem::path obj = ifcObjPath(source);
    if (std::filesystem::exists(obj, error))
        model.profile = profileForExtension(extensionOf(obj.string()));
}

OperationResult reconcileConventions(Model& model, const FormatProfile& target, ProgressReporter& reporter)
{
    if (model.profile.upAxis != target.upAxis)
        if (OperationResult r = reconcileUpAxis(model, target.upAxis, reporter); r != OperationResult::Success)
            return r;
    if (model.profile.handedness != target.handedness)
        if (OperationResult r = reconcileHandedness(model, target.handedness, reporter); r != OperationResult::Success)
            return r;
    if (model.profile.winding != target.winding)
        return reconcileWinding(model, target.winding, reporter);
    return OperationResult::Success;
}

// Formats written as one file through a temporary file that replaces the
// output only when complete. They need no staging folder of their own, which
// saves two folder operations per file in a batch.
bool writesOneFileAtomically(FormatKind kind)
{
    return kind == FormatKind::StlBinary || kind == FormatKind::StlAscii || kind == FormatKind::Ply ||
           kind == FormatKind::Document3dp;
}

ConversionStatus writeOutput(const std::filesystem::path& output, const Model& model,
                             const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure)
{
    if (writesOneFileAtomically(settings.outputKind)) {
        // Once the file is in place the conversion is done, even if Cancel
        // came a moment too late to stop it.
        const OperationResult written = writeModel(reporter, output, model, settings, failure);
        if (written == OperationResult::Cancelled)
            return ConversionStatus::Cancelled;
        if (written != OperationResult::Success)
            return ConversionStatus::SaveFailed;
        reporter.setProgress(1.0);
        return ConversionStatus::Success;
    }
    StagedOutput staged;
    if (staged.open(output, failure) != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    const OperationResult written = writeModel(reporter, staged.writePath(), model, settings, failure);
    if (written == OperationResult::Cancelled || reporter.isCancelled())
        return ConversionStatus::Cancelled;
    if (written != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    if (staged.commit(failure) != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    reporter.setProgress(1.0);
    return ConversionStatus::Success;
}

} // namespace

OperationResult applyConversionSteps(Model& model, const std::filesystem::path& source,
                                     const std::filesystem::path& output, const ConversionSettings& settings,
                                     ProgressReporter& reporter, Failure* failure)
{
    OperationResult result = OperationResult::Success;
    if (settings.removeDuplicatesOn &&
        (result = removeDuplicates(model, reporter, failure)) != OperationResult::Success)
        return result;
    if ((result = generateIndices(model, reporter, failure)) != OperationResult::Success)
        return result;

    setSourceProfile(model, source);
    const FormatProfile target = profileForExtension(extensionOf(output.string()));
    if ((result = reconcileConventions(model, target, reporter)) != OperationResult::Success)
        return result;

    const bool withNormals = !settings.recalculateNormalsOn && target.carriesNormals;
    if (keepsNoPlacement(model.profile.kind) || keepsNoPlacement(settings.outputKind))
        if ((result = bakeObjectTransforms(model, withNormals, reporter)) != OperationResult::Success)
            return result;
    if (settings.customTransformOn)
        if ((result = applyCustomTransform(model, settings.customMatrix, withNormals, reporter)) !=
            OperationResult::Success)
            return result;
    if (settings.recalculateNormalsOn && target.carriesNormals)
        result = recalculateNormals(model, target.winding, reporter, failure);
    return result;
}

ConversionStatus convertFile(const std::filesystem::path& source, const std::filesystem::path& output,
                             const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure)
{
    if (reporter.isCancelled())
        return ConversionStatus::Cancelled;
    Model model;
    const OperationResult read = readModel(reporter, model, source, extensionOf(source.string()), failure);
    if (read == OperationResult::Cancelled || reporter.isCancelled())
        return ConversionStatus::Cancelled;
    if (read != OperationResult::Success)
        return ConversionStatus::ReadFailed;

    const OperationResult prepared = applyConversionSteps(model, source, output, settings, reporter, failure);
    if (prepared == OperationResult::Cancelled)
        return ConversionStatus::Cancelled;
    if (prepared != OperationResult::Success) { // the mesh steps fail only when memory runs out
        failOutOfMemory(failure);
        return ConversionStatus::ReadFailed;
    }
    return writeOutput(output, model, settings, reporter, failure);
}

} // namespace morvex

#include "app/pipeline.h"

#include "app/model_io.h"
#include "app/staged_output.h"
#include "mesh/convention_steps.h"
#include "mesh/mesh_operations.h"

#include <new>

namespace morvex {

void setSourceProfile(Model& model, const FileFormat& source)
{
    if (source.route != ReadRoute::IfcTool)
        model.profile = source.profile;
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

namespace {

// The writer writes aside (a private file, or a private folder for formats
// with companions) and the result moves to the output name only when
// complete: replacing what is there only when the run said to overwrite, and
// never a file that someone else put at the name meanwhile.
ConversionStatus writeOutput(const std::filesystem::path& output, const Model& model, const FileFormat& target,
                             bool mayReplace, ProgressReporter& reporter, Failure* failure)
{
    StagedOutput staged;
    const auto kind = target.writesOneFile ? StagedOutput::Kind::OneFile : StagedOutput::Kind::WithCompanions;
    if (staged.open(output, kind, failure) != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    const OperationResult written = writeModel(reporter, staged.writePath(), model, target, failure);
    if (written == OperationResult::Cancelled)
        return ConversionStatus::Cancelled;
    if (written != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    // A file written whole is moved even if Cancel came a moment too late
    // to stop its writer; a folder of companions is not.
    if (!target.writesOneFile && reporter.isCancelled())
        return ConversionStatus::Cancelled;
    if (staged.commit(mayReplace, failure) != OperationResult::Success)
        return staged.nameWasTaken() ? ConversionStatus::OutputNameTaken : ConversionStatus::SaveFailed;
    reporter.setProgress(1.0);
    return ConversionStatus::Success;
}

} // namespace

OperationResult applyConversionSteps(Model& model, const FileFormat& source, const FileFormat& target,
                                     const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure)
{
    OperationResult result = OperationResult::Success;
    if (settings.removeDuplicatesOn &&
        (result = removeDuplicates(model, reporter, failure)) != OperationResult::Success)
        return result;
    if ((result = generateIndices(model, reporter, failure)) != OperationResult::Success)
        return result;

    setSourceProfile(model, source);
    const FormatProfile& targetProfile = target.profile;
    if ((result = reconcileConventions(model, targetProfile, reporter)) != OperationResult::Success)
        return result;

    const bool withNormals = !settings.recalculateNormalsOn && targetProfile.carriesNormals;
    if (!keepsPlacement(model.profile.kind) || !target.keepsPlacement)
        if ((result = bakeObjectTransforms(model, withNormals, reporter)) != OperationResult::Success)
            return result;
    if (settings.customTransformOn)
        if ((result = applyCustomTransform(model, settings.customMatrix, withNormals, reporter)) !=
            OperationResult::Success)
            return result;
    if (settings.recalculateNormalsOn && targetProfile.carriesNormals)
        result = recalculateNormals(model, targetProfile.winding, reporter, failure);
    return result;
}

ConversionStatus statusOfRead(OperationResult read, const Model& model, Failure* failure)
{
    if (read == OperationResult::Cancelled)
        return ConversionStatus::Cancelled;
    if (read != OperationResult::Success)
        return ConversionStatus::ReadFailed;
    // An empty file or one with a header alone: nothing to convert is no
    // success, and no empty output is written for it. An object without
    // triangles (an empty solid) is still a model.
    if (model.objects.empty()) {
        failWith(failure, FailureKind::Malformed, "the file holds no model");
        return ConversionStatus::ReadFailed;
    }
    return ConversionStatus::Success;
}

ConversionStatus convertFile(const std::filesystem::path& source, const std::filesystem::path& output,
                             const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure)
{
    if (reporter.isCancelled())
        return ConversionStatus::Cancelled;
    const FileFormat* target = outputFormatOfKind(settings.outputKind);
    if (target == nullptr) {
        failWith(failure, FailureKind::Unsupported, "no writer for this output format");
        return ConversionStatus::SaveFailed;
    }
    const FileFormat* listed = formatForPath(source);
    const FileFormat* sourceFormat = listed != nullptr ? listed : &unlistedFormat();
    Model model;
    const OperationResult read = readModel(reporter, model, source, *sourceFormat, failure);
    if (reporter.isCancelled())
        return ConversionStatus::Cancelled;
    if (const ConversionStatus status = statusOfRead(read, model, failure); status != ConversionStatus::Success)
        return status;

    OperationResult prepared = OperationResult::Failure;
    try {
        prepared = applyConversionSteps(model, *sourceFormat, *target, settings, reporter, failure);
    } catch (const std::bad_alloc&) {
        prepared = OperationResult::Failure;
    }
    if (prepared == OperationResult::Cancelled)
        return ConversionStatus::Cancelled;
    if (prepared != OperationResult::Success) { // the mesh steps fail only when memory runs out
        failOutOfMemory(failure);
        return ConversionStatus::ReadFailed;
    }
    const bool mayReplace = settings.overwriteDecision == OverwriteDecision::Overwrite;
    return writeOutput(output, model, *target, mayReplace, reporter, failure);
}

} // namespace morvex

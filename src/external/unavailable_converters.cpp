#include "external/external_converters.h"

// The helper programs are not part of this build yet: both routes fail with
// a reason, so such files end "Read failed" instead of crashing or hanging.

namespace morvex {

bool externalConverterInstalled()
{
    return false;
}

OperationResult runExternalConverter(ProgressReporter&, Model&, const std::filesystem::path&, Failure* failure)
{
    return failWith(failure, FailureKind::Unsupported,
                    "the external mesh converter is not available: this format is read through that helper, "
                    "which is not installed in this build (see \"Formats read through the helper\" in the README)");
}

OperationResult runIfcConverter(ProgressReporter&, const std::filesystem::path&, const std::filesystem::path&,
                                Failure* failure)
{
    return failWith(failure, FailureKind::Unsupported,
                    "the IFC converter is not available: IFC files are read through the IFC tool, which is not "
                    "installed in this build (see \"Formats read through the helper\" in the README)");
}

} // namespace morvex

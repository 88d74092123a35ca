#include "external/external_converters.h"

// The helper programs are not part of this build yet: both routes fail with
// a reason, so such files end "Read failed" instead of crashing or hanging.

namespace morvex {

OperationResult runExternalConverter(ProgressReporter&, Model&, const std::filesystem::path&, Failure* failure)
{
    return failWith(failure, FailureKind::Unsupported, "the external mesh converter is not available");
}

OperationResult runIfcConverter(ProgressReporter&, const std::filesystem::path&, const std::filesystem::path&,
                                Failure* failure)
{
    return failWith(failure, FailureKind::Unsupported, "the IFC converter is not available");
}

} // namespace morvex

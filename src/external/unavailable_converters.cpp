#include "external/external_converters.h"

// The IFC tool is not part of this build yet: the route fails with a reason,
// so IFC files go on to the external mesh converter.

namespace morvex {

OperationResult runIfcConverter(ProgressReporter&, const std::filesystem::path&, const std::filesystem::path&,
                                Failure* failure)
{
    return failWith(failure, FailureKind::Unsupported,
                    "the IFC converter is not available: IFC files are read through the IFC tool, which is not "
                    "installed in this build (see \"Formats read through the helper\" in the README)");
}

} // namespace morvex

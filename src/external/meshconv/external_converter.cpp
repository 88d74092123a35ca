#include "external/components/component_registry.h"
#include "external/external_converters.h"
#include "external/meshconv/converter_run.h"

namespace morvex {

// The component name under which the converter program is registered.
constexpr std::string_view ExternalConverterComponent = "assimpext2";

bool externalConverterInstalled()
{
    std::filesystem::path path;
    return findComponent(ExternalConverterComponent, path);
}

OperationResult runExternalConverter(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                                     Failure* failure)
{
    std::filesystem::path converter;
    if (!findComponent(ExternalConverterComponent, converter))
        return failWith(failure, FailureKind::Unsupported,
                        "the external mesh converter is not installed: this format is read through that helper, "
                        "component \"assimpext2\" ('morvex-cli components install assimpext2' installs it; see "
                        "\"Formats read through the helper\" in the README)");
    return runConverterProgram(reporter, model, converter, source, ConverterLimits{}, failure);
}

} // namespace morvex

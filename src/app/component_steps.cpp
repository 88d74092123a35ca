#include "app/component_steps.h"

#include "formats/format_table.h"
#include "support/text/text.h"

namespace morvex {

std::vector<ComponentStep> componentSteps(std::string_view outputExtension)
{
    std::vector<ComponentStep> steps;
    if (equalsIgnoreCase(withoutLeadingDot(outputExtension), "3mf"))
        steps.push_back({"infozip3", false});
    steps.push_back({"assimpext2", true});
    steps.push_back({"ifcconvert", true});
    return steps;
}

void makeComponentsAvailable(std::string_view outputExtension, ComponentProvider& provider)
{
    for (const ComponentStep& step : componentSteps(outputExtension)) {
        const bool available = (step.findFirst && provider.find(step.id)) || provider.ensure(step.id);
        if (!available)
            return;
    }
}

std::string_view componentReading(const std::filesystem::path& file)
{
    const FileFormat* format = formatForPath(file);
    const ReadRoute route = format != nullptr ? format->route : unlistedFormat().route;
    switch (route) {
    case ReadRoute::IfcTool: return "ifcconvert";
    case ReadRoute::ExternalConverter:
    case ReadRoute::NotAnInput: return "assimpext2";
    // SDF reads its referenced meshes through the helper only when it has
    // some: not a need that the extension tells.
    case ReadRoute::OwnReaderWithHelper:
    case ReadRoute::OwnReader:
    case ReadRoute::OwnReaderMissing: break;
    }
    return {};
}

std::vector<MissingComponent> missingComponents(std::span<const std::filesystem::path> files,
                                                const std::function<bool(std::string_view id)>& found)
{
    const std::vector<ComponentStep> steps = componentSteps({});
    std::vector<std::size_t> needing(steps.size(), 0);
    for (const std::filesystem::path& file : files)
        if (const std::string_view id = componentReading(file); !id.empty())
            for (std::size_t step = 0; step < steps.size(); ++step)
                needing[step] += steps[step].id == id ? 1 : 0;
    std::vector<MissingComponent> missing;
    for (std::size_t step = 0; step < steps.size(); ++step)
        if (needing[step] > 0 && !found(steps[step].id))
            missing.push_back({steps[step].id, needing[step]});
    return missing;
}

} // namespace morvex

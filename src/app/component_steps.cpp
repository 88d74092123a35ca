#include "app/component_steps.h"

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

} // namespace morvex

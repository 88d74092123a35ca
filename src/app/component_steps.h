#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The components a convert command makes available before it starts a run,
// in this order, each only after the previous succeeded: the zip component
// for 3MF output, then the external converter and the IFC converter (each
// looked for first, installed when missing).
struct ComponentStep {
    std::string id;
    bool findFirst = false;
};
std::vector<ComponentStep> componentSteps(std::string_view outputExtension);

class ComponentProvider {
public:
    virtual ~ComponentProvider() = default;
    virtual bool find(std::string_view id) = 0;
    virtual bool ensure(std::string_view id) = 0;
};
// The outcome never stops the command: a missing component makes the
// files that need it fail in their own readers and writers.
void makeComponentsAvailable(std::string_view outputExtension, ComponentProvider& provider);

} // namespace morvex

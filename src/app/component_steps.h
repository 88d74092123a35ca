#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
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

// The component a file is read through: "ifcconvert" for IFC, "assimpext2"
// for the formats (and unknown extensions) the external converter reads;
// empty for the program's own readers.
std::string_view componentReading(const std::filesystem::path& file);

// A component that files of a run are read through and that is not found.
struct MissingComponent {
    std::string id;
    std::size_t files = 0; // how many of the files need it
};
// The components the files need and `found` denies, in the order in which
// componentSteps makes them available.
std::vector<MissingComponent> missingComponents(std::span<const std::filesystem::path> files,
                                                const std::function<bool(std::string_view id)>& found);

} // namespace morvex

#include "formats/stl/stl.h"

namespace morvex {

// Placeholder until the STL reader lands.
OperationResult readStl(const std::filesystem::path&, Model&, ProgressReporter&, std::string* reason)
{
    return failWith(reason, "STL reader not built yet");
}

} // namespace morvex

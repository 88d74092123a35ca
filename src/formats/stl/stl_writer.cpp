#include "formats/stl/stl.h"

namespace morvex {

// Placeholders until the STL writers land.
OperationResult writeStlAscii(const std::filesystem::path&, const Model&, ProgressReporter&, std::string* reason)
{
    return failWith(reason, "STL writer not built yet");
}

OperationResult writeStlBinary(const std::filesystem::path&, const Model&, ProgressReporter&, std::string* reason)
{
    return failWith(reason, "STL writer not built yet");
}

} // namespace morvex

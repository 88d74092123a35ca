#pragma once

#include "app/overwrite_decision.h"
#include "mesh/geometry.h"
#include "mesh/model.h"

#include <string>
#include <string_view>

namespace morvex {

// What a conversion run applies to every file; copied into every job.
struct ConversionSettings {
    std::string outputExtension;              // "stl", without the dot
    FormatKind outputKind = FormatKind::Unknown;
    bool recalculateNormalsOn = false;
    bool removeDuplicatesOn = false;
    bool customTransformOn = false;
    Matrix4 customMatrix;                     // identity unless the effect is set
    std::string outputFolder;                 // empty: next to each source
    OverwriteDecision overwriteDecision = OverwriteDecision::None;
};

// "3dp" 0, "3ds" 1, "3mf" 6, "obj" 4, "ply" 7, "stl" 3, else 12; a leading
// dot is skipped and case does not matter.
FormatKind outputKindForExtension(std::string_view extension);

} // namespace morvex

#pragma once

#include "app/overwrite_decision.h"
#include "mesh/geometry.h"
#include "mesh/model.h"

#include <string>
#include <string_view>

namespace morvex {

// What a conversion run applies to every file; copied into every job.
struct ConversionSettings {
    std::string outputExtension;                 // "stl", without the dot
    FormatKind outputKind = FormatKind::Unknown; // picks the writer row of the format table
    bool recalculateNormalsOn = false;
    bool removeDuplicatesOn = false;
    bool customTransformOn = false;
    Matrix4 customMatrix;       // identity unless the effect is set
    std::string outputFolder;   // empty: next to each source
    std::string outputFileName; // one file's exact output name; empty: the source's name
    OverwriteDecision overwriteDecision = OverwriteDecision::None;
};

} // namespace morvex

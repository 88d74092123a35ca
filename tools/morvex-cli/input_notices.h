#pragma once

#include "app/input_collection.h"
#include "console_report.h"

namespace morvex::cli {

// Tells what the walk left out: paths that named nothing or could not be
// read, one line each; files of other media and of formats that may not be
// supported, one line per kind with counts ("skipped 12 files that are not
// models: 9 images, 2 archives, 1 text"), each file named with --verbose
// and as a JSON object with --json. The material libraries and textures that
// an OBJ of the same walk refers to are expected beside it and not reported.
void reportInputNotices(const InputCollection& inputs, ResultStyle style);

// False when a path named nothing usable: an error even when the rest of
// the run went well.
bool everyPathUsed(const InputCollection& inputs);

} // namespace morvex::cli

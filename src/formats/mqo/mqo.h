#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::mqo {

// Reads the text form of an MQO scene: one object per "Object" chunk, named
// by its "ObjectName" property (Shift-JIS names converted to UTF-8), with its
// vertices and its triangles (quads split in two, other polygons left out,
// faces naming vertices the object does not have dropped). Materials,
// texture coordinates, the scene and the thumbnail are not read. Profile
// kind becomes Mqo.
OperationResult readMqo(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from bytes in memory; `name` is the file name messages use.
OperationResult readMqo(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Shift-JIS (in its Windows form) as UTF-8; bytes that are not Shift-JIS
// become U+FFFD. ASCII comes back unchanged.
std::string shiftJisToUtf8(std::string_view text);

} // namespace morvex::mqo

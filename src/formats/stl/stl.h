#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::stl {

// Reads ASCII or binary STL (ASCII first; binary when the ASCII reader
// fails): one object per solid of an ASCII file, named by its solid line
// (object property "Name"), one object for a binary file. ASCII text may be
// UTF-16 with a byte-order mark. Facet normals are not kept. Profile kind becomes
// StlAscii or StlBinary.
OperationResult readStl(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from bytes in memory; `name` is the file name messages use.
OperationResult readStl(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

OperationResult writeStlAscii(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                              Failure* failure = nullptr);
OperationResult writeStlBinary(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                               Failure* failure = nullptr);

} // namespace morvex::stl

#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"
#include "support/zip/parallel_deflate.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::threemf {

// Reads a 3MF package: the model part named by the package's relationships,
// and the model parts its components name, are unpacked into a private
// scratch folder (always removed afterwards) and walked by element name.
// Every build item gives one object per mesh it reaches through components,
// placed by the composed transforms, with per-corner colours and normals;
// cycles, nesting deeper than 32 levels and expansions past the bounds fail
// with the reason, as does a model part that is not well-formed XML. Colour
// groups, base materials and colour elements become materials; texture
// groups become texture coordinates and a material per image, the image
// unpacked from the package into a folder the model keeps while it lives.
// Model attributes, metadata, build items and component transforms become
// document properties. Units are recorded in "Model:unit", never converted.
OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// How a package's model part is read: a part declared at least
// `minimumBytes` is inflated straight into memory (no scratch file) while
// it is parsed, with more than one thread on a helper thread, else a chunk
// at a time on this thread whenever the parse needs more text; the
// model, the failures and their positions are those of a read from the
// unpacked file.
// The text inflated passes through a window of `windowBytes`. `streamed`
// false parses each model part into a whole tree before walking it, for
// comparison.
struct ThreeMfReadSplit {
    unsigned threads = 1;
    std::uint64_t minimumBytes = 4u << 20;
    bool streamed = true;
    std::size_t windowBytes = 4u << 20;
};
// The same read with the split given; the others take the thread cap of
// the current file.
OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        const ThreeMfReadSplit& split, Failure* failure = nullptr);
// The same from the package's bytes in memory; `name` is the file name
// messages use. Only the parts read are unpacked into the scratch folder.
OperationResult read3mf(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Writes the model as a 3MF package that strict readers take: every object
// with vertices becomes a mesh object (placement applied, numbered 1, 2, ...
// in model order) with one build item, triangles that do not name three
// distinct vertices left out; all colours become one colour group; diffuse
// PNG and JPEG textures of textured objects become texture groups with the
// images stored in the package; document properties become metadata (names
// the core does not define in a namespace of ours); the unit and the
// "BuildItem:partnumber_" properties kept by the reader are written back,
// always in the 2015/02 namespaces. Coordinates beyond a billion fail the
// write. The package is staged in a private scratch folder and zipped under
// the program-wide zip lock; the output file is replaced only when the whole
// package was written. A large model part is deflated in pieces on the
// threads the current file may use (deflateSplitForThisFile).
OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);
// The same with the split of the model part's compression given.
OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         const DeflateSplit& split, Failure* failure = nullptr);

} // namespace morvex::threemf

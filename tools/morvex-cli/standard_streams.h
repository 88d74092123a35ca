#pragma once

#include "convert_options.h"
#include "support/platform/scratch_folder.h"

#include <filesystem>
#include <string>

namespace morvex::cli {

// "-" as the input reads a model from standard input, "-o -" writes the
// output to standard output: the input is copied to a temporary file first
// and the output written to one, then copied out, so the run itself only
// ever sees files. Only formats that are one file (not OBJ, whose material
// library and textures lie beside it) can go through a stream.
class StandardStreams {
public:
    // Checks the use of "-" in `options` and puts the temporary files in
    // their place; false with a usage message.
    bool prepare(ConvertOptions& options, std::string& error);
    // After the run: the output file copied to standard output.
    bool copyOutOnce(const std::filesystem::path& output, std::string& error) const;

    bool readsInput() const { return !input_.empty(); }
    bool writesOutput() const { return !output_.empty(); }
    // The name a temporary file is shown by in messages: "-" for both.
    std::string shownName(const std::filesystem::path& path) const;

private:
    bool makeFolder(std::string& error);

    ScratchFolder folder_; // removed with the temporary files at the end
    std::filesystem::path input_;
    std::filesystem::path output_;
};

} // namespace morvex::cli

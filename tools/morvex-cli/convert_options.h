#pragma once

#include "app/effects.h"
#include "app/input_list.h"
#include "app/overwrite.h"
#include "formats/format_table.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::cli {

struct ConvertOptions {
    std::vector<std::string> paths;
    const FileFormat* format = nullptr;      // --to; default: the stored format
    const FileFormat* from = nullptr;        // --from: the format of standard input
    std::optional<std::string> outputFolder; // --output; default: the stored folder
    // --output naming one file (one input, a model extension): written
    // exactly there; outputFolder then holds its folder.
    std::optional<std::filesystem::path> outputFile;
    bool sameFolder = false;                    // --same-folder
    bool createFolder = false;                  // --create-folder
    std::optional<OverwriteChoice> onExists;    // --on-exists
    std::optional<std::string> nameTemplate;    // --name-template
    std::vector<std::string> allowedReferences; // --allow-references, each folder
    std::vector<std::string> lists;             // --from-list, each list file ("-": standard input)
    bool nulSeparated = false;                  // -0: the lists' entries end with NUL
    std::optional<Shard> shard;                 // --shard I/N
    bool skipComplete = false;                  // --skip-complete
    bool removeDuplicates = false;
    bool recalculateNormals = false;
    std::optional<EffectVector> translate;
    std::optional<EffectVector> rotate;
    std::optional<EffectVector> scale;
    bool storedEffects = false;
    unsigned jobs = 0;    // 0: one per processor
    unsigned threads = 0; // processors all files together may use; 0: all
    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;
    bool json = false;
    bool help = false;

    bool anyEffectOption() const { return removeDuplicates || recalculateNormals || translate || rotate || scale; }
};

// Fills `options` from the arguments after "convert"; false with a message
// for the user on a usage error.
bool parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& options, std::string& error);

// Decides whether --output names a folder or one output file: a folder when
// it exists as one, ends in "/", has no extension, or there are several
// inputs (a folder counts as several); otherwise the file, whose extension
// gives the output format. False with a message on a usage error.
bool settleOutputTarget(ConvertOptions& options, std::string& error);

// ".3dp, .3mf, .obj, .ply, .stl": the extensions that can be written.
std::string outputExtensionList();

// "X,Y,Z" with numbers as the effect boxes take them; a single number when
// `uniform` allows it (a scale), used for all three.
std::optional<EffectVector> parseEffectTriple(std::string_view text, bool uniform);

} // namespace morvex::cli

#include "convert_options.h"

#include "command_line_spec.h"
#include "suggestion.h"
#include "support/text/text.h"

#include <algorithm>
#include <charconv>
#include <system_error>

namespace morvex::cli {
namespace {

const CommandSpec& convertSpec()
{
    static const CommandSpec& spec = *commandSpec("convert");
    return spec;
}

// A count of jobs or threads: 1 to 1024, digits only.
std::optional<unsigned> parseCount(std::string_view text)
{
    unsigned count = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (failure != std::errc() || end != text.data() + text.size() || count < 1 || count > 1024)
        return std::nullopt;
    return count;
}

std::optional<OverwriteChoice> parseChoice(std::string_view text)
{
    struct Row {
        const char* name;
        OverwriteChoice choice;
    };
    static constexpr Row rows[] = {{"ask", OverwriteChoice::Prompt},
                                   {"overwrite", OverwriteChoice::Overwrite},
                                   {"skip", OverwriteChoice::Skip},
                                   {"stop", OverwriteChoice::Stop},
                                   {"rename", OverwriteChoice::Rename}};
    for (const Row& row : rows)
        if (equalsIgnoreCase(text, row.name))
            return row.choice;
    return std::nullopt;
}

// The closest format name that --to (writers) or --from (readers) takes.
std::string suggestFormat(std::string_view typed, bool writers)
{
    std::vector<std::string_view> names;
    for (const FileFormat& format : fileFormats())
        if (writers ? format.writable() : format.readable())
            names.push_back(writers ? format.name : format.extension);
    return didYouMean(typed, names);
}

bool applyOption(const OptionSpec& option, const std::string& value, ConvertOptions& options, std::string& error)
{
    const std::string_view name = option.longName;
    if (name == "--to") {
        options.format = outputFormatNamed(value);
        if (options.format == nullptr && formatForExtension(value) != nullptr)
            return error = "'" + value + "' files are read but cannot be written; --to takes " + outputFormatNames() +
                           " (see 'morvex-cli formats')",
                   false;
        if (options.format == nullptr)
            return error = "unknown output format '" + value + "' (" + outputFormatNames() + ")" +
                           suggestFormat(value, true),
                   false;
    } else if (name == "--from") {
        options.from = formatForExtension(value);
        if (options.from == nullptr)
            return error = "unknown input format '" + value + "'" + suggestFormat(value, false) +
                           " ('morvex-cli formats' lists them)",
                   false;
    } else if (name == "--output") {
        options.outputFolder = value;
    } else if (name == "--same-folder") {
        options.sameFolder = true;
    } else if (name == "--create-folder") {
        options.createFolder = true;
    } else if (name == "--on-exists") {
        options.onExists = parseChoice(value);
        if (!options.onExists)
            return error = "--on-exists takes ask, overwrite, skip, stop or rename", false;
    } else if (name == "--name-template") {
        options.nameTemplate = value;
    } else if (name == "--allow-references") {
        options.allowedReferences.push_back(value);
    } else if (name == "--from-list") {
        options.lists.push_back(value);
    } else if (name == "--null") {
        options.nulSeparated = true;
    } else if (name == "--shard") {
        options.shard = parseShard(value);
        if (!options.shard)
            return error = "--shard takes I/N, shard I of N with 0 <= I < N <= " + std::to_string(MaxShardCount) +
                           " (the first of 4 is 0/4), not '" + value + "'",
                   false;
    } else if (name == "--skip-complete") {
        options.skipComplete = true;
    } else if (name == "--remove-duplicates") {
        options.removeDuplicates = true;
    } else if (name == "--recalculate-normals") {
        options.recalculateNormals = true;
    } else if (name == "--translate" || name == "--rotate" || name == "--scale") {
        const bool isScale = name == "--scale";
        const std::optional<EffectVector> triple = parseEffectTriple(value, isScale);
        if (!triple)
            return error = std::string(name) + " needs three numbers X,Y,Z" + (isScale ? " (or one factor)" : "") +
                           " between -1000000 and 1000000, each digits with an optional minus and at most one "
                           "decimal point, not '" +
                           value + "'",
                   false;
        (name == "--translate" ? options.translate : name == "--rotate" ? options.rotate : options.scale) = triple;
    } else if (name == "--stored-effects") {
        options.storedEffects = true;
    } else if (name == "--jobs" || name == "--threads") {
        const std::optional<unsigned> count = parseCount(value);
        if (!count)
            return error = std::string(name) + " takes a number from 1 to 1024", false;
        (name == "--jobs" ? options.jobs : options.threads) = *count;
    } else if (name == "--dry-run") {
        options.dryRun = true;
    } else if (name == "--quiet") {
        options.quiet = true;
    } else if (name == "--verbose") {
        options.verbose = true;
    } else if (name == "--json") {
        options.json = true;
    } else if (name == "--help") {
        options.help = true;
    }
    return true;
}

// The writer of files with this extension: --to when it writes them,
// else the first row that does.
const FileFormat* writerForExtension(std::string_view extension, const FileFormat* chosen)
{
    if (chosen != nullptr)
        return equalsIgnoreCase(chosen->extension, extension) ? chosen : nullptr;
    for (const FileFormat& format : fileFormats())
        if (format.writable() && equalsIgnoreCase(format.extension, extension))
            return &format;
    return nullptr;
}

bool severalInputs(const ConvertOptions& options)
{
    std::error_code error;
    return options.paths.size() != 1 || !options.lists.empty() ||
           std::filesystem::is_directory(options.paths.front(), error);
}

} // namespace

std::string outputExtensionList()
{
    std::vector<std::string_view> listed; // stl and stl-ascii share one
    std::string list;
    for (const FileFormat& format : fileFormats()) {
        if (!format.writable() || std::find(listed.begin(), listed.end(), format.extension) != listed.end())
            continue;
        listed.push_back(format.extension);
        list += (list.empty() ? "." : ", .") + std::string(format.extension);
    }
    return list;
}

bool settleOutputTarget(ConvertOptions& options, std::string& error)
{
    if (!options.outputFolder)
        return true;
    const std::string target = *options.outputFolder;
    std::error_code ignored;
    if (target == "-" || target.ends_with('/') || std::filesystem::is_directory(target, ignored))
        return true;
    const std::filesystem::path path(target);
    const std::string extension(withoutLeadingDot(path.extension().string()));
    if (extension.empty())
        return true;
    if (severalInputs(options)) {
        if (formatForExtension(extension) == nullptr)
            return true; // "scans.2026" is a folder name
        return error = "--output '" + target +
                       "' names a model file, but there are several inputs; name a folder "
                       "(end it with /)",
               false;
    }
    const FileFormat* format = writerForExtension(extension, options.format);
    if (format == nullptr && options.format != nullptr)
        return error = "--to " + std::string(options.format->name) + " writes ." +
                       std::string(options.format->extension) + " files, not '" + target + "'",
               false;
    if (format == nullptr)
        return error = "cannot write ." + extension + " files ('" + target +
                       "'); known extensions: " + outputExtensionList() + " (end the name with / for a folder)",
               false;
    options.format = format;
    options.outputFile = path;
    options.outputFolder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
    return true;
}

std::optional<EffectVector> parseEffectTriple(std::string_view text, bool uniform)
{
    double values[3] = {};
    int count = 0;
    for (;;) {
        const std::size_t comma = text.find(',');
        if (count == 3)
            return std::nullopt;
        const std::optional<double> value = parseEffectNumber(text.substr(0, comma));
        if (!value)
            return std::nullopt;
        values[count++] = *value;
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    if (count == 1 && uniform)
        return EffectVector{values[0], values[0], values[0]};
    if (count != 3)
        return std::nullopt;
    return EffectVector{values[0], values[1], values[2]};
}

bool parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& options, std::string& error)
{
    const auto apply = [&options](const OptionSpec& option, const std::string& value, std::string& message) {
        return applyOption(option, value, options, message);
    };
    if (!parseCommandLine(convertSpec(), args, options.paths, apply, error))
        return false;
    if (options.help)
        return true;
    if (options.paths.empty() && options.lists.empty())
        return error = "convert needs at least one file or folder, or --from-list FILE", false;
    if (options.nulSeparated && options.lists.empty())
        return error = "-0 (--null) says how a list separates its paths; it needs --from-list", false;
    if (std::count(options.lists.begin(), options.lists.end(), "-") +
            std::count(options.paths.begin(), options.paths.end(), "-") >
        1)
        return error = "standard input (-) can be read once: as one list or as one model", false;
    if (options.storedEffects && options.anyEffectOption())
        return error = "--stored-effects cannot be combined with effect options", false;
    if (options.sameFolder && options.outputFolder)
        return error = "--same-folder and --output exclude each other", false;
    return settleOutputTarget(options, error);
}

} // namespace morvex::cli

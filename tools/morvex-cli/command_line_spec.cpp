#include "command_line_spec.h"

#include "external/external_converters.h"
#include "formats/format_table.h"
#include "suggestion.h"

#include <vector>

namespace morvex::cli {
namespace {

constexpr OptionSpec ConvertOptions[] = {
    {"--to", 't', "FORMAT", "%FORMATS%;\ndefault: the stored output format", Completion::OutputFormat, {}, "Output"},
    {"--from", 0, "FORMAT", "the format of standard input, given as the path -", Completion::InputFormat},
    {"--output", 'o', "DIR|FILE",
     "output folder; default: the stored output folder,\nelse next to each source file. One input file and\na name "
     "with a model extension (out.obj): exactly\nthat file, in the format of its extension; - for\nstandard output "
     "(3dp, 3ds, 3mf, ply, stl with --to)",
     Completion::Folder},
    {"--same-folder", 0, {}, "next to each source file, whatever is stored"},
    {"--create-folder", 0, {}, "create a missing output folder without asking"},
    {"--on-exists", 0, "ACTION",
     "when an output file exists: ask, overwrite, skip,\nstop or rename; default: the "
     "stored policy",
     Completion::Words, "ask overwrite skip stop rename"},
    {"--name-template", 0, "T",
     "numbered names for rename, with %filename% and\n%number%; default: the stored one, "
     "%filename%-%number%"},
    {"--allow-references", 0, "DIR",
     "also read textures and material libraries that a\nmodel names inside DIR "
     "(repeatable); by default only\nits own folder and the folders given are read",
     Completion::Folder},
    {"--from-list",
     0,
     "FILE",
     "also convert the paths FILE names, one a line (- for\nstandard input); relative ones start from FILE's\nfolder "
     "(from the working folder for -)",
     Completion::AnyFile,
     {},
     "Batches over many machines"},
    {"--null", '0', {}, "the lists' paths end with a NUL byte, not a new line\n(find -print0)"},
    {"--shard", 0, "I/N",
     "convert only shard I (0 to N-1) of N: the inputs whose\nFNV-1a 64 hash of their path, relative to the "
     "list's\nfolder or the folder named, modulo N is I"},
    {"--skip-complete",
     0,
     {},
     "pass over an input whose output exists and is newer\nthan it: a rerun redoes what is missing or stale"},
    {"--remove-duplicates",
     0,
     {},
     "remove duplicate triangles and vertices",
     Completion::Nothing,
     {},
     "Effects (for this run)"},
    {"--recalculate-normals", 0, {}, "compute normals afresh"},
    {"--translate", 0, "X,Y,Z", "move by X, Y, Z model units"},
    {"--rotate", 0, "X,Y,Z", "turn by X, Y, Z degrees about the axes"},
    {"--scale", 0, "X,Y,Z|F", "scale (before rotating and moving)"},
    {"--stored-effects", 0, {}, "the effects stored by the desktop program instead"},
    {"--jobs", 'j', "N", "files converted at once; default: processor count", Completion::Nothing, {}, "Run"},
    {"--threads", 0, "N",
     "processors the run may use in all; a file left alone\nuses those of idle workers; default: all"},
    {"--dry-run", 'n', {}, "list each planned output and name clash; write nothing"},
    {"--quiet", 'q', {}, "print errors only"},
    {"--verbose",
     'v',
     {},
     "every step of every file with its time, every file\nleft out and every file that never "
     "started"},
    {"--json", 0, {}, "one JSON object per file on standard output"},
    {"--help", 'h', {}, "this text"},
};

constexpr OptionSpec RenderOptions[] = {
    {"--png",
     0,
     "DIR",
     "write one PNG per model into DIR (made when missing);\nrequired",
     Completion::Folder,
     {},
     "Output"},
    {"--size", 0, "WxH", "picture size in pixels; default: 800x600"},
    {"--yaw", 0, "DEG", "turn the view about its vertical axis; default: 0"},
    {"--pitch", 0, "DEG", "turn the view about its horizontal axis; default: 0"},
    {"--allow-references", 0, "DIR",
     "also read textures that a model names inside DIR\n(repeatable); by default only its own folder and\nthe "
     "folders given are read",
     Completion::Folder},
    {"--jobs", 'j', "N", "files read at once; default: processor count", Completion::Nothing, {}, "Run"},
    {"--quiet", 'q', {}, "print errors only"},
    {"--verbose", 'v', {}, "every step of every file with its time"},
    {"--json", 0, {}, "one JSON object per file on standard output"},
    {"--help", 'h', {}, "this text"},
};

constexpr OptionSpec InfoOptions[] = {
    {"--json", 0, {}, "one JSON object per file and line"},
    {"--help", 'h', {}, "this text"},
};

constexpr OptionSpec FormatsOptions[] = {
    {"--json", 0, {}, "one JSON object per format and line"},
    {"--help", 'h', {}, "this text"},
};

constexpr OptionSpec SettingsOptions[] = {
    {"--reset", 0, "KEY", "forget one: output-format, output-folder, overwrite,\nname-template, create-folder, effects",
     Completion::SettingKey},
    {"--all", 0, {}, "forget all of them"},
    {"--help", 'h', {}, "this text"},
};

constexpr OptionSpec ComponentsOptions[] = {
    {"--json", 0, {}, "one JSON object per component and line"},
    {"--help", 'h', {}, "this text"},
};

constexpr std::string_view SettingKeys = "output-format output-folder overwrite name-template create-folder effects";

constexpr CommandSpec Commands[] = {
    {"info", "[--json] FILE...",
     "Reads each file and prints what it holds: objects with their vertex, index,\ntriangle, normal, colour and "
     "texture-coordinate counts, materials, bounding\nbox and properties.",
     InfoOptions, Completion::ModelFile,
     "0 when every file was read, 1 when any was not, 2 for a usage\nerror, 130 when interrupted."},
    {"convert", "[options] {PATH...|--from-list FILE}",
     "Converts model files, and every model file in the folders named (hidden\nentries skipped), into one output "
     "format, several files at once. A batch\ntoo large for one machine is split with --from-list and --shard: "
     "every\nmachine runs the same command with its own shard and --skip-complete.",
     ConvertOptions, Completion::ModelFile,
     "0 when every file was converted (or skipped by the policy),\n1 when any file was not, 2 for usage or "
     "validation errors, 130 after Ctrl-C."},
    {"render", "--png DIR [options] PATH...",
     "Draws each model file, and every model file in the folders named, as the\ndesktop program's preview shows "
     "it, and writes one PNG picture per file:\nthumbnails for a whole folder in one run. Drawing needs OpenGL 3.3; "
     "without\na display a private virtual one (Xvfb) is started.",
     RenderOptions, Completion::ModelFile,
     "0 when every file was drawn, 1 when any was not (or nothing can\ndraw here), 2 for a usage error, 130 after "
     "Ctrl-C."},
    {"formats", "[--json]",
     "Lists every format with its extension, whether it is read (by our own\nreader or through the helper) and the "
     "--to names that write it.",
     FormatsOptions, Completion::Nothing, "0, or 2 for a usage error."},
    {"settings", "[--reset KEY]... [--all]",
     "Shows the stored settings that decide what convert does when an option is\nnot given (shared with the desktop "
     "program), or resets them to the defaults.",
     SettingsOptions, Completion::Nothing, "0, 1 when the settings file cannot be written, 2 for a usage error."},
    {"components", "[--json] | install ID | update ID",
     "Lists the helper components (assimpext2, ifcconvert, infozip3) with their\nversion and path, or \"not "
     "installed\". install downloads a missing one,\nupdate a newer published one, from the download hosts of the "
     "machine-wide\nComponents.ini; a package is installed only when its signature verifies.",
     ComponentsOptions, Completion::Nothing,
     "0 when done or nothing was to do, 1 when an install or update failed,\n2 for a usage error, 130 when "
     "interrupted."},
};

// Calls `line` for each line of a text whose lines are separated by '\n'.
template <typename Each>
void forEachLine(std::string_view text, Each line)
{
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        line(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return;
        start = end + 1;
    }
}

std::string withFormats(std::string_view help)
{
    std::string text(help);
    const std::string_view marker = "%FORMATS%";
    if (const std::size_t at = text.find(marker); at != std::string::npos)
        text.replace(at, marker.size(), outputFormatNames());
    return text;
}

// "-t, --to FORMAT" or "    --json".
std::string optionTitle(const OptionSpec& option)
{
    std::string title = option.shortName != 0 ? std::string("-") + option.shortName + ", " : "    ";
    title += option.longName;
    if (option.takesValue())
        title += " " + std::string(option.valueName);
    return title;
}

std::vector<std::string> writerNames()
{
    std::vector<std::string> names;
    for (const FileFormat& format : fileFormats())
        if (format.writable())
            names.emplace_back(format.name);
    return names;
}

// The extensions of the formats this build reads.
std::vector<std::string> readExtensions()
{
    std::vector<std::string> extensions;
    for (const FileFormat& format : fileFormats()) {
        const bool throughHelper = format.route == ReadRoute::ExternalConverter || format.route == ReadRoute::IfcTool ||
                                   format.route == ReadRoute::OwnReaderWithHelper;
        if (format.route == ReadRoute::OwnReader || (throughHelper && externalConverterInstalled()))
            extensions.emplace_back(format.extension);
    }
    return extensions;
}

std::string joined(const std::vector<std::string>& words, std::string_view separator)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : std::string(separator)) + word;
    return text;
}

std::string wordsOf(const OptionSpec& option)
{
    switch (option.completes) {
    case Completion::OutputFormat: return joined(writerNames(), " ");
    case Completion::InputFormat: return joined(readExtensions(), " ");
    case Completion::Words: return std::string(option.words);
    case Completion::SettingKey: return std::string(SettingKeys);
    default: return {};
    }
}

// Text for troff: backslashes and minus signs escaped, no line starting
// with a control character.
std::string troff(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

std::string troffParagraph(std::string_view text)
{
    std::string out;
    forEachLine(text, [&](std::string_view line) {
        const std::string escaped = troff(line);
        out += (escaped.starts_with('.') || escaped.starts_with('\'') ? "\\&" : "") + escaped + "\n";
    });
    return out;
}

std::string manSection(const CommandSpec& command)
{
    std::string out = ".SS \"morvex\\-cli " + troff(command.name) + " " + troff(command.operands) + "\"\n";
    out += troffParagraph(command.summary);
    for (const OptionSpec& option : command.options) {
        out += ".TP\n.B " + troff(optionTitle(option).substr(option.shortName != 0 ? 0 : 4)) + "\n";
        out += troffParagraph(withFormats(option.help));
    }
    out += ".PP\nExit status: " + troffParagraph(command.exitStatus);
    return out;
}

std::string manPage(const CommandSpec* only)
{
    const std::string title = only != nullptr ? "MORVEX-CLI-" + std::string(only->name) : "MORVEX-CLI";
    std::string upper;
    for (const char c : title)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    std::string out = ".TH " + troff(upper) + " 1 \"\" \"morvex-cli\" \"User Commands\"\n.SH NAME\n";
    out += only != nullptr ? "morvex\\-cli\\-" + troff(only->name) + " \\- " : "morvex\\-cli \\- ";
    out += "a batch converter of 3D model files\n.SH SYNOPSIS\n";
    for (const CommandSpec& command : commandSpecs())
        if (only == nullptr || only == &command)
            out += ".B morvex\\-cli " + troff(command.name) + "\n" + troff(command.operands) + "\n.br\n";
    out += ".SH DESCRIPTION\n";
    for (const CommandSpec& command : commandSpecs())
        if (only == nullptr || only == &command)
            out += manSection(command);
    out += ".SH FILES\n.TP\n.I $XDG_CONFIG_HOME/Quellor Software/Morvex.ini\nthe stored settings, shared with the "
           "desktop program (~/.config when XDG_CONFIG_HOME is unset); see\n.B morvex\\-cli settings\n";
    out += ".TP\n.I $XDG_CONFIG_HOME/Quellor Software/Components.ini\nthe components installed for this user, "
           "read before the machine-wide one in share/morvex beside the programs; see\n.B morvex\\-cli components\n";
    out += ".SH SEE ALSO\n";
    for (const CommandSpec& command : commandSpecs())
        if (&command != only)
            out += ".BR morvex\\-cli\\-" + troff(command.name) + " (1)\n";
    return out;
}

std::string bashCompletion()
{
    std::string commands;
    for (const CommandSpec& command : commandSpecs())
        commands += std::string(command.name) + " ";
    std::string out = "# bash completion for morvex-cli, made from its own description of its options\n"
                      "_morvex_cli_models()\n{\n"
                      "    local IFS=$'\\n' entry\n"
                      "    compopt -o filenames 2>/dev/null\n"
                      "    COMPREPLY=($(compgen -d -- \"$cur\"))\n"
                      "    for entry in $(compgen -f -- \"$cur\"); do\n"
                      "        [[ -d $entry ]] && continue\n"
                      "        case \"${entry##*.}\" in\n"
                      "        " +
                      joined(readExtensions(), "|") +
                      ") COMPREPLY+=(\"$entry\") ;;\n"
                      "        *) case \"$(printf '%s' \"${entry##*.}\" | tr '[:upper:]' '[:lower:]')\" in\n"
                      "           " +
                      joined(readExtensions(), "|") +
                      ") COMPREPLY+=(\"$entry\") ;;\n"
                      "           esac ;;\n"
                      "        esac\n"
                      "    done\n}\n\n"
                      "_morvex_cli()\n{\n"
                      "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                      "    if [[ $COMP_CWORD -eq 1 ]]; then\n"
                      "        COMPREPLY=($(compgen -W \"" +
                      commands +
                      "help version --help --version\" -- \"$cur\"))\n"
                      "        return\n"
                      "    fi\n"
                      "    case ${COMP_WORDS[1]} in\n";
    for (const CommandSpec& command : commandSpecs()) {
        out += "    " + std::string(command.name) + ")\n        case $prev in\n";
        std::string optionWords;
        for (const OptionSpec& option : command.options) {
            optionWords += std::string(option.longName) + " ";
            if (!option.takesValue())
                continue;
            const std::string names =
                (option.shortName != 0 ? std::string("-") + option.shortName + "|" : "") + std::string(option.longName);
            out += "        " + names + ") ";
            if (option.completes == Completion::Folder)
                out += "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")) ;;\n";
            else if (option.completes == Completion::AnyFile)
                out += "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n";
            else if (const std::string words = wordsOf(option); !words.empty())
                out += "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\")) ;;\n";
            else
                out += "COMPREPLY=() ;;\n";
        }
        out += "        *) if [[ $cur == -* ]]; then\n"
               "               COMPREPLY=($(compgen -W \"" +
               optionWords + "\" -- \"$cur\"))\n";
        out += command.operandsAre == Completion::ModelFile ? "           else\n               _morvex_cli_models\n"
                                                            : "           else\n               COMPREPLY=()\n";
        out += "           fi ;;\n        esac ;;\n";
    }
    out += "    help) COMPREPLY=($(compgen -W \"" + commands +
           "\" -- \"$cur\")) ;;\n"
           "    esac\n}\ncomplete -F _morvex_cli morvex-cli\n";
    return out;
}

// Help text for a zsh description: one line, without the characters that
// _arguments gives a meaning.
std::string zshText(std::string_view help)
{
    std::string out;
    for (const char c : withFormats(help))
        out += c == '\n' ? ' ' : (c == '[' || c == ']' || c == ':' || c == '\'') ? ' ' : c;
    return out;
}

std::string zshCompletion()
{
    const std::string models = "_files -g '*.(#i)(" + joined(readExtensions(), "|") + ")(-.)'";
    std::string out = "#compdef morvex-cli\n# zsh completion for morvex-cli, made from its own description of its "
                      "options\n\n_morvex_cli() {\n  local -a commands\n  commands=(\n";
    for (const CommandSpec& command : commandSpecs()) {
        std::string summary = zshText(command.summary);
        out += "    '" + std::string(command.name) + ":" + summary.substr(0, summary.find('.')) + "'\n";
    }
    out += "  )\n  if (( CURRENT == 2 )); then\n    _describe command commands\n    return\n  fi\n"
           "  local command=$words[2]\n  shift words\n  (( CURRENT-- ))\n  case $command in\n";
    for (const CommandSpec& command : commandSpecs()) {
        out += "  " + std::string(command.name) + ")\n    _arguments -s -S \\\n";
        for (const OptionSpec& option : command.options) {
            std::string value;
            if (option.takesValue()) {
                const std::string words = wordsOf(option);
                value = ":" + std::string(option.valueName) + ":" +
                        (option.completes == Completion::Folder || option.completes == Completion::AnyFile ? "_files"
                         : !words.empty() ? "(" + words + ")"
                                          : " ");
            }
            const std::string text = "[" + zshText(option.help) + "]" + value;
            if (option.shortName != 0)
                out += "      '(-" + std::string(1, option.shortName) + " " + std::string(option.longName) + ")'{-" +
                       std::string(1, option.shortName) + "," + std::string(option.longName) + "}'" + text + "' \\\n";
            else
                out += "      '" + std::string(option.longName) + text + "' \\\n";
        }
        out += command.operandsAre == Completion::ModelFile ? "      '*:model file:" + models + "'\n    ;;\n"
                                                            : "      \n    ;;\n";
    }
    out += "  esac\n}\n\n_morvex_cli \"$@\"\n";
    return out;
}

} // namespace

std::span<const CommandSpec> commandSpecs()
{
    return Commands;
}

const CommandSpec* commandSpec(std::string_view name)
{
    for (const CommandSpec& command : Commands)
        if (command.name == name)
            return &command;
    return nullptr;
}

const OptionSpec* findOptionSpec(const CommandSpec& command, std::string_view name)
{
    for (const OptionSpec& option : command.options)
        if (name == option.longName ||
            (name.size() == 2 && name[0] == '-' && option.shortName != 0 && name[1] == option.shortName))
            return &option;
    return nullptr;
}

std::string commandHelp(const CommandSpec& command)
{
    std::string out = "usage: morvex-cli " + std::string(command.name) + " " + std::string(command.operands) + "\n\n" +
                      std::string(command.summary) + "\n\n";
    std::size_t width = 0;
    for (const OptionSpec& option : command.options)
        width = std::max(width, optionTitle(option).size());
    for (const OptionSpec& option : command.options) {
        if (!option.heading.empty())
            out += std::string(option.heading) + ":\n";
        const std::string title = optionTitle(option);
        bool first = true;
        forEachLine(withFormats(option.help), [&](std::string_view line) {
            out += "  " + (first ? title : std::string()) + std::string(width + 2 - (first ? title.size() : 0), ' ');
            out += std::string(line) + "\n";
            first = false;
        });
    }
    return out + "\nExit status: " + std::string(command.exitStatus) + "\n";
}

std::string generatedFile(std::string_view what)
{
    if (what == "man")
        return manPage(nullptr);
    if (what.starts_with("man-"))
        if (const CommandSpec* command = commandSpec(what.substr(4)))
            return manPage(command);
    if (what == "bash")
        return bashCompletion();
    if (what == "zsh")
        return zshCompletion();
    return {};
}

namespace {

std::string unknownOption(const CommandSpec& command, std::string_view name)
{
    std::vector<std::string_view> names;
    for (const OptionSpec& option : command.options)
        names.push_back(option.longName);
    return "unknown option " + std::string(name) + didYouMean(name, names);
}

std::string needsValue(const OptionSpec& option)
{
    return std::string(option.longName) + " needs a value";
}

bool parseLongOption(const CommandSpec& command, const std::vector<std::string>& args, std::size_t& i,
                     const ApplyOption& apply, std::string& error)
{
    const std::string& arg = args[i];
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionSpec* option = findOptionSpec(command, name);
    if (option == nullptr)
        return error = unknownOption(command, name), false;
    std::string value;
    if (option->takesValue()) {
        if (equals != std::string::npos)
            value = arg.substr(equals + 1);
        else if (i + 1 < args.size())
            value = args[++i];
        else
            return error = needsValue(*option), false;
    } else if (equals != std::string::npos) {
        return error = std::string(option->longName) + " takes no value", false;
    }
    return apply(*option, value, error);
}

bool parseShortOptions(const CommandSpec& command, const std::vector<std::string>& args, std::size_t& i,
                       const ApplyOption& apply, std::string& error)
{
    const std::string& arg = args[i];
    for (std::size_t at = 1; at < arg.size(); ++at) {
        const OptionSpec* option = findOptionSpec(command, std::string{'-', arg[at]});
        if (option == nullptr)
            return error = unknownOption(command, at == 1 ? arg : std::string{'-', arg[at]}), false;
        std::string value;
        if (option->takesValue()) {
            if (at + 1 < arg.size())
                value = arg.substr(at + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return error = needsValue(*option), false;
            at = arg.size();
        }
        if (!apply(*option, value, error))
            return false;
    }
    return true;
}

} // namespace

bool parseCommandLine(const CommandSpec& command, const std::vector<std::string>& args,
                      std::vector<std::string>& operands, const ApplyOption& apply, std::string& error)
{
    bool operandsOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operandsOnly || arg.empty() || arg[0] != '-' || arg == "-")
            operands.push_back(arg);
        else if (arg == "--")
            operandsOnly = true;
        else if (!(arg.starts_with("--") ? parseLongOption : parseShortOptions)(command, args, i, apply, error))
            return false;
    }
    return true;
}

} // namespace morvex::cli

#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The one description of the command line: every command with its options,
// from which the parser's option table, each command's --help, the man
// pages and the bash and zsh completions are all made, so that none of them
// can disagree with another.

namespace morvex::cli {

// What a value or an operand is, for completion.
enum class Completion {
    Nothing,      // free text (a number, a template)
    OutputFormat, // a --to name
    InputFormat,  // a readable extension
    ModelFile,    // files of readable extensions, and folders
    Folder,       // folders (or a file name to write)
    AnyFile,      // files of every kind, and folders
    Words,        // one of OptionSpec::words
    SettingKey,   // a key of the settings command
};

struct OptionSpec {
    std::string_view longName;       // "--to"
    char shortName = 0;              // 't'; 0 when none
    std::string_view valueName = {}; // "FORMAT"; empty when the option takes none
    std::string_view help = {};      // lines separated by '\n'; "%FORMATS%" for the --to names
    Completion completes = Completion::Nothing;
    std::string_view words = {};   // for Completion::Words: "ask overwrite skip stop rename"
    std::string_view heading = {}; // a group heading printed before the option
    bool takesValue() const { return !valueName.empty(); }
};

struct CommandSpec {
    std::string_view name;     // "convert"
    std::string_view operands; // "[options] PATH..."
    std::string_view summary;  // lines separated by '\n'
    std::span<const OptionSpec> options;
    Completion operandsAre = Completion::Nothing;
    std::string_view exitStatus; // lines separated by '\n'
};

std::span<const CommandSpec> commandSpecs();
// nullptr for a name no command has.
const CommandSpec* commandSpec(std::string_view name);
const OptionSpec* findOptionSpec(const CommandSpec& command, std::string_view name);

// Applies one option with its value (empty for an option that takes none);
// false with a message for the user.
using ApplyOption = std::function<bool(const OptionSpec& option, const std::string& value, std::string& error)>;

// Splits a command's arguments into operands and options: "--name",
// "--name=value" and "--name value"; short options run together or not
// ("-nq", "-j2", "-tobj", "-t obj"), where one that takes a value takes the
// rest of the word, else the next word; "--" ends the options and "-" is an
// operand. False with a message on an unknown option or a missing value.
bool parseCommandLine(const CommandSpec& command, const std::vector<std::string>& args,
                      std::vector<std::string>& operands, const ApplyOption& apply, std::string& error);

// The text of "morvex-cli COMMAND --help".
std::string commandHelp(const CommandSpec& command);

// Made by "morvex-cli --generate WHAT" at build time: "man" (the whole
// program), "man-COMMAND", "bash" and "zsh". Empty for anything else.
std::string generatedFile(std::string_view what);

} // namespace morvex::cli

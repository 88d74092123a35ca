#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex {
class SettingsStore;
}

namespace morvex::cli {

// morvex-cli settings [--reset KEY]... [--all]: the stored settings that
// change what the command line does when an option is not given, and their
// reset to the defaults.
int runSettings(const std::vector<std::string>& args);

// Where a stored answer is and the way back: "in FILE; 'morvex-cli
// settings --reset KEY' forgets it".
std::string storedAnswerNote(const SettingsStore& store, std::string_view key);

} // namespace morvex::cli

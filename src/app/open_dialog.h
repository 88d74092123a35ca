#pragma once

#include "support/settings/settings_store.h"

#include <filesystem>
#include <string>
#include <vector>

namespace morvex {

// The filter list of the "Locate model files" dialog, in order.
struct FileDialogFilter {
    std::string name;
    std::string patterns;
};
std::vector<FileDialogFilter> modelFileDialogFilters();

// Where the "Locate model files" dialog starts: the stored "Input folder",
// else the user's pictures folder, else the documents folder, else home.
std::filesystem::path inputDialogFolder(const SettingsStore& store);
// The folder of the first chosen file becomes the new start folder.
bool rememberInputFolder(const SettingsStore& store, const std::filesystem::path& firstChosenFile);

} // namespace morvex

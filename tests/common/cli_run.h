#pragma once

#include "common/test_support.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::testing {

// Runs morvex-cli as a user would, with a settings folder of the test's
// own (never the user's) and no terminal. `command` ("convert", "info" or
// nothing) goes before the arguments of every call.
class CliRun {
public:
    CliRun(std::filesystem::path configFolder, std::string command)
        : config_(std::move(configFolder)), command_(std::move(command))
    {
    }

    // The command line, without redirections.
    std::string commandLine(const std::string& arguments) const
    {
        return "XDG_CONFIG_HOME=" + shellQuote(config_.string()) + " " + shellQuote(cliPath().string()) + " " +
               command_ + " " + arguments;
    }
    // Standard error is merged into `output` unless `jsonOnly`.
    int operator()(const std::string& arguments, std::string* output = nullptr, bool jsonOnly = false) const
    {
        return runCommand(commandLine(arguments) + " </dev/null" + (jsonOnly ? " 2>/dev/null" : " 2>&1"), output);
    }

    std::filesystem::path settingsFile() const { return config_ / "Quellor Software" / "Morvex.ini"; }
    void writeSettings(std::string_view text) const
    {
        std::filesystem::create_directories(settingsFile().parent_path());
        writeFile(settingsFile(), text);
    }

private:
    std::filesystem::path config_;
    std::string command_;
};

} // namespace morvex::testing

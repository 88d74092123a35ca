#pragma once

#include "common/test_support.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::testing {

// Runs `morvex-cli convert <input> --to <format> --output <folder>` with
// standard error merged into `output`; returns the exit status.
inline int convertWithCli(const std::filesystem::path& input, std::string_view format,
                          const std::filesystem::path& outputFolder, std::string* output = nullptr)
{
    return runCommand(shellQuote(cliPath().string()) + " convert " + shellQuote(input.string()) + " --to " +
                          std::string(format) + " --output " + shellQuote(outputFolder.string()) + " 2>&1",
                      output);
}

} // namespace morvex::testing

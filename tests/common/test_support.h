#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::testing {

// The folder of real model files from other programs; tests that use it
// call GTEST_SKIP when it is absent.
std::filesystem::path corpusDir();
bool corpusAvailable();

std::filesystem::path sourceDir();

// Path of the built morvex-cli.
std::filesystem::path cliPath();

// A fresh folder for one test, removed with its contents afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);
std::string readFile(const std::filesystem::path& path);

// UTF-8 text (well-formed) as UTF-16 in either byte order, with the
// byte-order mark FF FE / FE FF first when `withMark`; characters beyond
// U+FFFF become surrogate pairs.
std::string utf16Text(std::string_view utf8, bool bigEndian, bool withMark = true);

// Runs a command line through the shell; returns the exit status and puts
// standard output (and error, when merged by the command) into `output`.
int runCommand(const std::string& command, std::string* output = nullptr);

// Quotes a path for the shell.
std::string shellQuote(std::string_view text);

} // namespace morvex::testing

#define MORVEX_REQUIRE_CORPUS()                                                                 \
    do {                                                                                        \
        if (!::morvex::testing::corpusAvailable())                                              \
            GTEST_SKIP() << "corpus folder " << ::morvex::testing::corpusDir() << " is absent"; \
    } while (0)

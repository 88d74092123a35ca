#include "common/test_support.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace morvex::testing {
namespace {

// Every test program, and every program it starts, keeps its settings in a
// folder of its own and never touches the user's.
struct IsolatedSettings {
    IsolatedSettings()
    {
        folder = std::filesystem::temp_directory_path() / ("morvex-test-config-" + std::to_string(getpid()));
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    }
    ~IsolatedSettings()
    {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    std::filesystem::path folder;
};
const IsolatedSettings isolatedSettings;

} // namespace

std::filesystem::path corpusDir()
{
    return MORVEX_CORPUS_DIR;
}

bool corpusAvailable()
{
    std::error_code error;
    return std::filesystem::is_directory(corpusDir(), error);
}

std::filesystem::path sourceDir()
{
    return MORVEX_SOURCE_DIR;
}

std::filesystem::path cliPath()
{
    return MORVEX_CLI_PATH;
}

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "morvex";
    for (char& c : name)
        if (c == '/')
            c = '_';
    path_ = std::filesystem::temp_directory_path() /
            ("morvex-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir()
{
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

void writeFile(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string utf16Text(std::string_view utf8, bool bigEndian, bool withMark)
{
    std::string out;
    const auto unit = [&](std::uint32_t value) {
        const char high = static_cast<char>(value >> 8);
        const char low = static_cast<char>(value & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    };
    if (withMark)
        unit(0xFEFF);
    for (std::size_t at = 0; at < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            codePoint = codePoint << 6 | (static_cast<unsigned char>(utf8[at + k]) & 0x3F);
        at += length;
        if (codePoint >= 0x10000) {
            unit(0xD800 + ((codePoint - 0x10000) >> 10));
            unit(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            unit(codePoint);
        }
    }
    return out;
}

int runCommand(const std::string& command, std::string* output)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, pipe)) > 0)
        if (output != nullptr)
            output->append(block, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace morvex::testing

// Runs a fuzz target's entry point over files and folders of inputs, without
// libFuzzer: the test build replays the seeds and every input that once made
// a target fail, with the sanitizers of that build watching.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replayFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int failures = 0;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path root(argv[i]);
        std::error_code error;
        if (std::filesystem::is_regular_file(root, error)) {
            failures += replayFile(root);
            ++replayed;
            continue;
        }
        if (!std::filesystem::is_directory(root, error))
            continue; // a corpus folder that is absent on this machine
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error))
            if (entry.is_regular_file(error)) {
                failures += replayFile(entry.path());
                ++replayed;
            }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return failures == 0 ? 0 : 1;
}

// Seeds: input_list
#include "app/input_list.h"
#include "fuzz_support.h"

#include <cstdlib>

// A list file is read whole from memory, with either separator: every entry
// it yields has a path and a key without the separator, a listed file's own
// key is its entry, and the shard of every key lies inside the count.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text = morvex::fuzzing::bytesOf(data, size);
    const unsigned count = size == 0 ? 1 : 1 + data[0] % 16;
    for (const char separator : {'\n', '\0'}) {
        std::vector<morvex::InputRoot> roots;
        morvex::appendListEntries(text, separator, "/lists", roots);
        for (const morvex::InputRoot& root : roots) {
            if (root.path.empty() || root.key.empty() || root.key.find(separator) != std::string::npos)
                std::abort();
            if (morvex::shardKey(root.path, root) != root.key)
                std::abort();
            if (morvex::shardOfKey(root.key, count) >= count)
                std::abort();
        }
    }
    return 0;
}

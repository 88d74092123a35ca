#pragma once

#include "app/input_collection.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// A path to convert, with the root its shard key is measured from: the
// key of a file found under `path` is `key`, then "/" and the file's path
// inside `path`. Machines that read the same list therefore agree on every
// file's key, wherever the list lies and whatever folder they run in.
struct InputRoot {
    std::filesystem::path path; // as the walk is given it
    std::string key;            // empty: the files' paths inside `path` alone
};

// The paths named on the command line: a folder is its own root (its files
// are keyed by their paths inside it), a file is keyed by its name.
InputRoot commandLineRoot(const std::filesystem::path& operand);

// The paths of a list, one per entry: entries end at `separator` ('\n' or
// '\0'); with '\n' a '\r' before it is dropped too (a list written on
// Windows). Empty entries are passed over. A relative entry resolves
// against `listFolder` (empty: the working folder) and is keyed as written;
// an absolute entry is keyed as written too.
void appendListEntries(std::string_view text, char separator, const std::filesystem::path& listFolder,
                       std::vector<InputRoot>& roots);

// Reads the whole list file ("-": standard input, which may be a pipe) and
// appends its entries; false with a message when it cannot be read.
bool readInputList(const std::string& listFile, char separator, std::vector<InputRoot>& roots, std::string& error);

// Shard `index` of `count`: the inputs whose key hashes to it.
struct Shard {
    unsigned index = 0;
    unsigned count = 1;
};

inline constexpr unsigned MaxShardCount = 1000000;

// "I/N" with 0 <= I < N <= MaxShardCount, digits only.
std::optional<Shard> parseShard(std::string_view text);

// FNV-1a, 64 bits, over the bytes of `text` as they are: the same number on
// every machine and in every language that follows the published constants.
std::uint64_t fnv1a64(std::string_view text);

// The shard of a key: fnv1a64(key) modulo `count`.
unsigned shardOfKey(std::string_view key, unsigned count);

// The key of `file`, found under `root` (the file itself, or inside a folder).
std::string shardKey(const std::filesystem::path& file, const InputRoot& root);

// Keeps the files and notices of `inputs` whose keys fall into `shard`;
// `roots` are the paths the collection was made from, in the same order.
void keepShard(InputCollection& inputs, const std::vector<InputRoot>& roots, Shard shard);

} // namespace morvex

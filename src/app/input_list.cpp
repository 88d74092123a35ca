#include "app/input_list.h"

#include "support/platform/files.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::uint64_t FnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr std::uint64_t FnvPrime = 0x100000001b3ull;

// Appends everything `descriptor` gives until its end: a pipe has no size to
// read up front.
bool readAll(int descriptor, std::string& text)
{
    constexpr std::size_t Chunk = 1u << 16;
    for (;;) {
        const std::size_t used = text.size();
        text.resize(used + Chunk);
        const std::ptrdiff_t got = readRetrying(descriptor, text.data() + used, Chunk);
        text.resize(used + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got <= 0)
            return got == 0;
    }
}

std::optional<unsigned> parseShardNumber(std::string_view text)
{
    unsigned value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failure != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

InputRoot commandLineRoot(const std::filesystem::path& operand)
{
    std::error_code error;
    if (std::filesystem::is_directory(operand, error))
        return {operand, {}};
    return {operand, operand.filename().string()};
}

void appendListEntries(std::string_view text, char separator, const std::filesystem::path& listFolder,
                       std::vector<InputRoot>& roots)
{
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view entry = text.substr(start, end - start);
        start = end + 1;
        if (separator == '\n' && !entry.empty() && entry.back() == '\r')
            entry.remove_suffix(1);
        if (entry.empty())
            continue;
        const std::string key(entry);
        // "find ." writes "./a.stl": shown and walked as "a.stl", keyed as written.
        for (std::size_t rest; entry.starts_with("./") && (rest = entry.find_first_not_of('/', 2)) != entry.npos;)
            entry.remove_prefix(rest);
        const std::filesystem::path path(entry);
        roots.push_back({path.is_relative() && !listFolder.empty() ? listFolder / path : path, key});
    }
}

bool readInputList(const std::string& listFile, char separator, std::vector<InputRoot>& roots, std::string& error)
{
    const bool standardInput = listFile == "-";
    const int descriptor = standardInput ? STDIN_FILENO : ::open(listFile.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text;
    const bool read = descriptor >= 0 && readAll(descriptor, text);
    const int reason = errno;
    if (descriptor >= 0 && !standardInput)
        ::close(descriptor);
    if (!read)
        return error = "cannot read the list '" + listFile + "': " + systemErrorText(reason), false;
    if (separator == '\n' && text.find('\0') != std::string::npos)
        return error = "the list '" + listFile + "' holds NUL bytes: give -0 for a NUL-separated list", false;
    const std::size_t before = roots.size();
    // Standard input's relative entries stay relative: the working folder.
    const std::filesystem::path listFolder =
        standardInput ? std::filesystem::path() : std::filesystem::path(listFile).parent_path();
    appendListEntries(text, separator, listFolder, roots);
    if (roots.size() == before)
        return error = "the list '" + listFile + "' names no paths", false;
    return true;
}

std::optional<Shard> parseShard(std::string_view text)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::optional<unsigned> index = parseShardNumber(text.substr(0, slash));
    const std::optional<unsigned> count = parseShardNumber(text.substr(slash + 1));
    if (!index || !count || *count == 0 || *count > MaxShardCount || *index >= *count)
        return std::nullopt;
    return Shard{*index, *count};
}

std::uint64_t fnv1a64(std::string_view text)
{
    std::uint64_t hash = FnvOffsetBasis;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= FnvPrime;
    }
    return hash;
}

unsigned shardOfKey(std::string_view key, unsigned count)
{
    return static_cast<unsigned>(fnv1a64(key) % count);
}

std::string shardKey(const std::filesystem::path& file, const InputRoot& root)
{
    const std::string& full = file.native();
    const std::string& rootPath = root.path.native();
    if (full == rootPath)
        return root.key.empty() ? file.filename().string() : root.key;
    // The walk builds every path as root / inside, so the root is its start.
    std::string inside =
        full.starts_with(rootPath) ? full.substr(rootPath.size()) : file.lexically_relative(root.path).generic_string();
    const std::size_t first = inside.find_first_not_of('/');
    inside.erase(0, first == std::string::npos ? inside.size() : first);
    if (root.key.empty())
        return inside;
    return root.key + (root.key.ends_with('/') ? "" : "/") + inside;
}

void keepShard(InputCollection& inputs, const std::vector<InputRoot>& roots, Shard shard)
{
    const auto inShard = [&](const std::filesystem::path& path, std::size_t origin) {
        return origin < roots.size() && shardOfKey(shardKey(path, roots[origin]), shard.count) == shard.index;
    };
    std::size_t kept = 0;
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        if (!inShard(inputs.files[i], inputs.origins[i]))
            continue;
        inputs.files[kept] = std::move(inputs.files[i]);
        inputs.origins[kept] = inputs.origins[i];
        ++kept;
    }
    inputs.files.resize(kept);
    inputs.origins.resize(kept);
    std::erase_if(inputs.notices, [&](const InputNotice& notice) { return !inShard(notice.path, notice.origin); });
}

} // namespace morvex

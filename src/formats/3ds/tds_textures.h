#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morvex::tds {

// Finds the texture files a 3DS file names, beside it. Files made on Windows
// often name "IMAGE1.JPG" where the file is "image1.jpg": when no file has
// the exact path, each folder on the way is searched for an entry of the
// same name in another letter case. Folder listings are kept, so a file
// naming many textures lists each folder once.
class TextureFinder {
public:
    explicit TextureFinder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The path of the texture `written` names (backslashes separate folders
    // too); the exact path when nothing matches in any case.
    std::filesystem::path find(std::string_view written);

private:
    const std::vector<std::string>& listing(const std::filesystem::path& folder);

    std::filesystem::path folder_;
    std::unordered_map<std::string, std::vector<std::string>> listings_;
};

// Names for texture files copied beside a 3DS output. The format's readers
// expect at most eight characters, a dot and three: a name that fits is
// kept, others are shortened ("brick_wall.jpeg" to "brick_wa.jpg"), and two
// sources never share a name ("brick_~2.jpg").
class ShortTextureNames {
public:
    // The name of the copy of `source` (the same for the same source).
    std::string nameFor(const std::string& source);

    struct Copy {
        std::string source;
        std::string name;
    };
    const std::vector<Copy>& copies() const { return copies_; }

private:
    bool taken(std::string_view name) const;

    std::vector<Copy> copies_;
};

// Whether a file name fits the 8.3 form: one to eight characters, then
// optionally a dot and one to three, all printable ASCII but for the
// characters that file systems refuse.
bool isShortFileName(std::string_view name);

} // namespace morvex::tds

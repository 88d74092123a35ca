#include "formats/obj/obj_internal.h"

#include "support/platform/files.h"
#include "support/platform/reference_policy.h"
#include "support/text/text_encoding.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <vector>

namespace morvex::obj {

namespace {

namespace fs = std::filesystem;

bool isRegularFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

// Files written on Windows separate folders with backslashes.
std::string withForwardSlashes(std::string_view text)
{
    std::string out(text);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

// The first candidate that is a regular file, or an empty path. A
// candidate equal to an earlier one is not looked up again.
template <std::size_t N>
fs::path firstRegularFile(const fs::path (&candidates)[N])
{
    for (std::size_t i = 0; i < N; ++i)
        if (std::find(candidates, candidates + i, candidates[i]) == candidates + i && isRegularFile(candidates[i]))
            return candidates[i];
    return {};
}

// The library an "mtllib" name refers to: the name itself, or the name with
// ".mtl" added (older files of ours leave the extension out), each as written
// and with forward slashes. Empty when none is a file.
fs::path findLibrary(const fs::path& objFolder, std::string_view name)
{
    const std::string written(name);
    const std::string forward = withForwardSlashes(name);
    const fs::path candidates[] = {
        objFolder / written,
        objFolder / (written + ".mtl"),
        objFolder / forward,
        objFolder / (forward + ".mtl"),
    };
    return firstRegularFile(candidates);
}

// Texture files are looked up next to the OBJ file under their bare file
// name first, then under the whole path as written, then next to the
// library. A texture found nowhere keeps the written path beside the OBJ.
fs::path resolveTexture(const fs::path& objFolder, const fs::path& libraryFolder, std::string_view argument)
{
    const std::size_t slash = argument.find_last_of("/\\");
    const std::string_view fileName = slash == std::string_view::npos ? argument : argument.substr(slash + 1);
    const std::string forward = withForwardSlashes(argument);
    const fs::path candidates[] = {
        objFolder / fileName,    objFolder / argument,     objFolder / forward,
        libraryFolder / forward, libraryFolder / fileName,
    };
    if (fs::path found = firstRegularFile(candidates); !found.empty())
        return found;
    return objFolder / forward;
}

// "Kd 0.8 0.4 0.2" (a single number is grey) as an opaque colour; each
// component times 255, truncated and kept within a byte.
bool readColour(LineScanner& line, ArgbColor& colour)
{
    double rgb[3] = {0, 0, 0};
    int count = 0;
    while (count < 3 && line.readDouble(rgb[count]))
        ++count;
    if (count == 0)
        return false; // "Kd spectral file.rfl" and the like
    if (count == 1)
        rgb[1] = rgb[2] = rgb[0];
    colour = OpaqueBlack;
    for (int i = 0; i < 3; ++i) {
        const double scaled = rgb[i] * 255.0;
        const std::uint32_t byte = std::isnan(scaled) ? 0 : static_cast<std::uint32_t>(std::clamp(scaled, 0.0, 255.0));
        colour |= byte << (16 - 8 * i);
    }
    return true;
}

// A failure inside a library is placed at its line there and names the
// library, since the line is not one of the OBJ file.
OperationResult failedInLibrary(Failure* failure, const std::string& identity, std::uint64_t lineNumber)
{
    if (failure != nullptr && failure->recorded() && !failure->hasPosition()) {
        failure->message += " in " + fs::path(identity).filename().string();
        failure->line = lineNumber;
    }
    return OperationResult::Failure;
}

OperationResult readLibraryText(ObjCompanions& companions, std::string_view text, const std::string& identity,
                                MaterialCollection& materials, ProgressReporter& reporter, Failure* failure)
{
    LineScanner line(text);
    Material* current = nullptr;
    for (std::uint64_t lineNumber = 1; !line.atEnd(); ++lineNumber, line.nextLine()) {
        if (lineNumber % LinesPerCheck == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        line.skipBlanks();
        if (line.atLineEnd() || *line.cursor() == '#')
            continue;
        const std::string_view keyword = line.token();
        if (keywordIs(keyword, "newmtl", 6)) {
            current = materials.add(modelText(line.argument()), failure);
            if (current == nullptr)
                return failedInLibrary(failure, identity, lineNumber);
            continue;
        }
        if (current == nullptr)
            continue; // nothing to describe before the first "newmtl"
        ArgbColor colour = 0;
        if (keywordIs(keyword, "Ka", 6)) {
            if (readColour(line, colour))
                current->setColor(AmbientSlot, colour);
        } else if (keywordIs(keyword, "Kd", 6)) {
            if (readColour(line, colour))
                current->setColor(DiffuseSlot, colour);
        } else if (keywordIs(keyword, "Ks", 6)) {
            if (readColour(line, colour))
                current->setColor(SpecularSlot, colour);
        } else if (keywordIs(keyword, "map_Ka", 6) || keywordIs(keyword, "map_Kd", 6)) {
            const TextureKind kind = keywordIs(keyword, "map_Ka", 6) ? TextureKind::Ambient : TextureKind::Diffuse;
            const std::string_view argument = line.argument();
            if (argument.empty())
                continue;
            const std::string texture = companions.texturePath(argument);
            if (texture.empty())
                continue; // refused: it lies outside where references may be read
            if (!current->addTextureMap(kind, texture)) {
                failOutOfMemory(failure);
                return failedInLibrary(failure, identity, lineNumber);
            }
        }
    }
    return OperationResult::Success;
}

// Reads one library by name; Success when there is none.
OperationResult readNamedLibrary(ObjCompanions& companions, std::string_view name, MaterialCollection& materials,
                                 ProgressReporter& reporter, Failure* failure, bool& found)
{
    std::string_view text;
    std::string identity;
    found = companions.fetchLibrary(name, text, identity);
    if (!found || !materials.librariesRead.insert(identity).second)
        return OperationResult::Success; // each library is read once per file
    // A library in an encoding we cannot read is skipped like a missing one.
    std::string decoded;
    Failure encoding;
    if (textAsUtf8(text, decoded, text, &encoding) != OperationResult::Success) {
        reporter.postTextMessage("material library " + fs::path(identity).filename().string() +
                                 " skipped: " + encoding.message);
        return OperationResult::Success;
    }
    return readLibraryText(companions, text, identity, materials, reporter, failure);
}

} // namespace

bool ObjFolderCompanions::fetchLibrary(std::string_view name, std::string_view& bytes, std::string& identity)
{
    const fs::path library = findLibrary(objFolder_, name);
    if (library.empty())
        return false;
    if (std::string why; !referenceAllowed(objFolder_, library, &why)) {
        noteRefused(std::move(why));
        return false;
    }
    if (library_.open(library) != OperationResult::Success)
        return false;
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(library, error);
    identity = (error ? library.lexically_normal() : canonical).string();
    libraryFolder_ = library.parent_path();
    bytes = library_.view();
    return true;
}

// A library line may be looked up whole and then name by name, and many
// materials may name one texture: each refused file is named once.
void ObjFolderCompanions::noteRefused(std::string why)
{
    if (std::find(refused_.begin(), refused_.end(), why) == refused_.end())
        refused_.push_back(std::move(why));
}

std::string ObjFolderCompanions::texturePath(std::string_view written)
{
    const fs::path texture = resolveTexture(objFolder_, libraryFolder_, written);
    if (std::string why; !referenceAllowed(objFolder_, texture, &why)) {
        noteRefused(std::move(why));
        return {};
    }
    return texture.string();
}

bool ObjMemoryCompanions::fetchLibrary(std::string_view name, std::string_view& bytes, std::string& identity)
{
    auto found = libraries.find(name);
    if (found == libraries.end())
        found = libraries.find(std::string(name) + ".mtl");
    if (found == libraries.end())
        return false;
    identity = found->first;
    bytes = found->second;
    return true;
}

OperationResult readMaterialLibrary(ObjCompanions& companions, std::string_view argument, MaterialCollection& materials,
                                    ProgressReporter& reporter, Failure* failure)
{
    bool found = false;
    OperationResult result = readNamedLibrary(companions, argument, materials, reporter, failure, found);
    if (found)
        return result;
    // One line may name several libraries.
    LineScanner names(argument);
    for (std::string_view name = names.nextToken(); !name.empty() && result == OperationResult::Success;
         name = names.nextToken())
        result = readNamedLibrary(companions, name, materials, reporter, failure, found);
    return result;
}

} // namespace morvex::obj

#include "formats/obj/obj_internal.h"

#include "support/platform/files.h"

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
OperationResult failedInLibrary(Failure* failure, const fs::path& libraryPath, std::uint64_t lineNumber)
{
    if (failure != nullptr && failure->recorded() && !failure->hasPosition()) {
        failure->message += " in " + libraryPath.filename().string();
        failure->line = lineNumber;
    }
    return OperationResult::Failure;
}

OperationResult readLibraryFile(const fs::path& objFolder, const fs::path& libraryPath, MaterialCollection& materials,
                                ProgressReporter& reporter, Failure* failure)
{
    MappedFile file;
    if (file.open(libraryPath) != OperationResult::Success)
        return OperationResult::Success; // an unreadable library is skipped
    const fs::path libraryFolder = libraryPath.parent_path();
    LineScanner line(file.data(), file.data() + file.size());
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
                return failedInLibrary(failure, libraryPath, lineNumber);
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
            const fs::path texture = resolveTexture(objFolder, libraryFolder, argument);
            if (!current->addTextureMap(kind, texture.string())) {
                failOutOfMemory(failure);
                return failedInLibrary(failure, libraryPath, lineNumber);
            }
        }
    }
    return OperationResult::Success;
}

} // namespace

OperationResult readMaterialLibrary(const std::filesystem::path& objFolder, std::string_view argument,
                                    MaterialCollection& materials, ProgressReporter& reporter, Failure* failure)
{
    std::vector<fs::path> libraries;
    if (fs::path whole = findLibrary(objFolder, argument); !whole.empty()) {
        libraries.push_back(std::move(whole));
    } else {
        // One line may name several libraries.
        LineScanner names(argument);
        for (std::string_view name = names.nextToken(); !name.empty(); name = names.nextToken())
            if (fs::path one = findLibrary(objFolder, name); !one.empty())
                libraries.push_back(std::move(one));
    }
    for (const fs::path& library : libraries) {
        std::error_code error;
        fs::path identity = fs::weakly_canonical(library, error);
        if (error)
            identity = library.lexically_normal();
        if (!materials.librariesRead.insert(identity.string()).second)
            continue; // each library is read once per file
        const OperationResult result = readLibraryFile(objFolder, library, materials, reporter, failure);
        if (result != OperationResult::Success)
            return result;
    }
    return OperationResult::Success;
}

} // namespace morvex::obj

#include "app/model_io.h"

#include "formats/ply/ply.h"
#include "formats/obj/obj.h"
#include "formats/stl/stl.h"
#include "formats/threemf/threemf.h"
#include "support/text/text.h"

namespace morvex {

FormatKind outputKindForExtension(std::string_view extension)
{
    if (!extension.empty() && extension.front() == '.')
        extension.remove_prefix(1);
    struct Row {
        const char* extension;
        FormatKind kind;
    };
    static constexpr Row rows[] = {
        {"3dp", FormatKind::Document3dp}, {"3ds", FormatKind::Tds}, {"3mf", FormatKind::ThreeMf},
        {"obj", FormatKind::Obj},         {"ply", FormatKind::Ply}, {"stl", FormatKind::StlBinary},
    };
    for (const Row& row : rows)
        if (equalsIgnoreCase(extension, row.extension))
            return row.kind;
    return FormatKind::Unknown;
}

OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          std::string_view extension, std::string* reason)
{
    const std::string ext = asciiLower(extension);
    if (ext == ".stl")
        return readStl(source, model, reporter, reason);
    if (ext == ".3mf")
        return read3mf(source, model, reporter, reason);
    if (ext == ".ply")
        return readPly(source, model, reporter, reason);
    if (ext == ".obj")
        return readObj(source, model, reporter, reason);
    return failWith(reason, "no reader for " + std::string(extension.empty() ? "files without extension" : extension) +
                                " files");
}

OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const ConversionSettings& settings, std::string* reason)
{
    switch (settings.outputKind) {
    case FormatKind::StlAscii: return writeStlAscii(output, model, reporter, reason);
    case FormatKind::StlBinary: return writeStlBinary(output, model, reporter, reason);
    case FormatKind::Ply: return writePly(output, model, reporter, reason);
    case FormatKind::Obj: return writeObj(output, model, reporter, reason);
    default: return failWith(reason, "no writer for this output format");
    }
}

} // namespace morvex

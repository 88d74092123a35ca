#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"

#include <sys/stat.h>

namespace morvex {

OperationResult readStl(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        std::string* reason)
{
    // Devices and pipes could be endless or could not be read twice.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return failWith(reason, "is a directory");
        if (!S_ISREG(info.st_mode))
            return failWith(reason, "not a regular file");
    }
    std::string asciiReason;
    stl::AsciiVerdict verdict = stl::AsciiVerdict::NotAscii;
    OperationResult result = stl::readStlAscii(path, model, reporter, &asciiReason, &verdict);
    FormatKind kind = FormatKind::StlAscii;
    if (result == OperationResult::Failure) {
        std::string binaryReason;
        result = stl::readStlBinary(path, model, reporter, &binaryReason);
        kind = FormatKind::StlBinary;
        if (result == OperationResult::Failure)
            return failWith(reason, verdict == stl::AsciiVerdict::BadAscii ? asciiReason : binaryReason);
    }
    if (result != OperationResult::Success)
        return result;
    model.profile.kind = kind;
    // Facet normals are not kept: they would not follow later transforms.
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

} // namespace morvex

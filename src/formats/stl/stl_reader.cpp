#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"

#include <sys/stat.h>

namespace morvex::stl {

OperationResult readStl(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    // Devices and pipes could be endless or could not be read twice.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return failWith(failure, FailureKind::Unreadable, "is a directory");
        if (!S_ISREG(info.st_mode))
            return failWith(failure, FailureKind::Unreadable, "not a regular file");
    }
    Failure asciiFailure;
    stl::AsciiVerdict verdict = stl::AsciiVerdict::NotAscii;
    OperationResult result = stl::readStlAscii(path, model, reporter, &asciiFailure, &verdict);
    FormatKind kind = FormatKind::StlAscii;
    if (result == OperationResult::Failure) {
        Failure binaryFailure;
        result = stl::readStlBinary(path, model, reporter, &binaryFailure);
        kind = FormatKind::StlBinary;
        if (result == OperationResult::Failure)
            return failWith(failure, verdict == stl::AsciiVerdict::BadAscii ? asciiFailure : binaryFailure);
    }
    if (result != OperationResult::Success)
        return result;
    model.profile.kind = kind;
    // Facet normals are not kept: they would not follow later transforms.
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

} // namespace morvex::stl

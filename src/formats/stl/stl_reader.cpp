#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"

#include "support/platform/files.h"

#include <sys/stat.h>

namespace morvex::stl {
namespace {

// ASCII first, from a stream of blocks; the binary reader gets the whole
// file only when the ASCII attempt failed. `wholeFile` gives those bytes.
template <typename WholeFile>
OperationResult readEither(BlockSource& text, WholeFile&& wholeFile, Model& model, ProgressReporter& reporter,
                           Failure* failure)
{
    Failure asciiFailure;
    AsciiVerdict verdict = AsciiVerdict::NotAscii;
    OperationResult result = readStlAscii(text, model, reporter, &asciiFailure, &verdict);
    FormatKind kind = FormatKind::StlAscii;
    if (result == OperationResult::Failure) {
        Failure binaryFailure;
        std::string_view bytes;
        result = wholeFile(bytes, &binaryFailure);
        if (result == OperationResult::Success)
            result = readStlBinary(bytes, model, reporter, &binaryFailure);
        kind = FormatKind::StlBinary;
        if (result == OperationResult::Failure)
            return failWith(failure, verdict == AsciiVerdict::BadAscii ? asciiFailure : binaryFailure);
    }
    if (result != OperationResult::Success)
        return result;
    model.profile.kind = kind;
    // Facet normals are not kept: they would not follow later transforms.
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

} // namespace

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
    // An ASCII file is read in blocks, never held whole in memory.
    FileBlockSource text;
    if (text.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    MappedFile file;
    const auto mapWholeFile = [&](std::string_view& bytes, Failure* binaryFailure) {
        const OperationResult opened = file.open(path, binaryFailure);
        bytes = file.view();
        return opened;
    };
    return readEither(text, mapWholeFile, model, reporter, failure);
}

OperationResult readStl(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    MemoryBlockSource text(bytes);
    const auto given = [bytes](std::string_view& whole, Failure*) {
        whole = bytes;
        return OperationResult::Success;
    };
    return readEither(text, given, model, reporter, failure);
}

} // namespace morvex::stl

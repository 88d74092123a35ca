#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"

#include "support/platform/files.h"
#include "support/text/text_encoding.h"
#include "support/text/text_pieces.h"

#include <sys/stat.h>

namespace morvex::stl {
namespace {

// ASCII first, from a stream of blocks; the binary reader gets the whole
// file only when the ASCII attempt failed. `wholeFile` gives those bytes;
// `wholeText`, when not empty, is the text of `text` already held whole,
// which a large file is read from on several threads.
template <typename WholeFile>
OperationResult readEither(BlockSource& text, WholeText wholeText, WholeFile&& wholeFile, MappedFile* mapping,
                           Model& model, ProgressReporter& reporter, Failure* failure)
{
    Failure asciiFailure;
    AsciiVerdict verdict = AsciiVerdict::NotAscii;
    OperationResult result = readStlAscii(text, model, reporter, &asciiFailure, &verdict, wholeText);
    FormatKind kind = FormatKind::StlAscii;
    if (result == OperationResult::Failure) {
        Failure binaryFailure;
        std::string_view bytes;
        result = wholeFile(bytes, &binaryFailure);
        if (result == OperationResult::Success)
            result = readStlBinary(bytes, model, reporter, &binaryFailure, mapping);
        kind = FormatKind::StlBinary;
        if (result == OperationResult::Failure) {
            if (verdict == AsciiVerdict::BadAscii)
                return failWith(failure, asciiFailure);
            // Text that no reader of ours takes says so rather than failing
            // as a binary file of the wrong size.
            if (const TextCheck encoding = checkTextEncoding(bytes.substr(0, 64));
                encoding.encoding == TextEncoding::Utf16WithoutMark)
                return failWith(failure, FailureKind::Unsupported, encoding.reason);
            return failWith(failure, binaryFailure);
        }
    }
    if (result != OperationResult::Success)
        return result;
    model.profile.kind = kind;
    // Facet normals are not kept: they would not follow later transforms.
    for (auto& object : model.objects)
        object->normals.clear();
    return OperationResult::Success;
}

// ASCII STL written as UTF-16 (with its mark) is read from its UTF-8 form;
// the binary attempt still gets the file as it is.
template <typename WholeFile>
OperationResult readAnyText(std::string_view firstBytes, BlockSource& text, WholeText wholeText, WholeFile&& wholeFile,
                            MappedFile* mapping, Model& model, ProgressReporter& reporter, Failure* failure)
{
    const TextEncoding encoding = byteOrderMark(firstBytes);
    if (encoding != TextEncoding::Utf16LittleEndian && encoding != TextEncoding::Utf16BigEndian)
        return readEither(text, wholeText, wholeFile, mapping, model, reporter, failure);
    std::string_view bytes;
    if (wholeFile(bytes, failure) != OperationResult::Success)
        return OperationResult::Failure;
    std::string decoded;
    if (decodeUtf16(bytes.substr(2), encoding == TextEncoding::Utf16BigEndian, decoded, failure) !=
        OperationResult::Success)
        return OperationResult::Failure;
    MemoryBlockSource decodedText(decoded);
    return readEither(decodedText, WholeText{decoded}, wholeFile, mapping, model, reporter, failure);
}

// The first bytes of a file, for its byte-order mark.
std::string firstBytesOf(const std::filesystem::path& path)
{
    FileBlockSource source;
    char bytes[4];
    if (source.open(path, nullptr) != OperationResult::Success)
        return {};
    const std::ptrdiff_t count = source.read(bytes, sizeof bytes);
    return count > 0 ? std::string(bytes, static_cast<std::size_t>(count)) : std::string();
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
    // An ASCII file is read in blocks, never held whole in memory, unless it
    // is large enough for several threads: then it is read mapped.
    FileBlockSource text;
    if (text.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    MappedFile file;
    const auto mapWholeFile = [&](std::string_view& bytes, Failure* binaryFailure) {
        const OperationResult opened =
            file.data() != nullptr ? OperationResult::Success : file.open(path, binaryFailure);
        bytes = file.view();
        return opened;
    };
    // A text large enough for several threads is read from the mapped file;
    // anything else streams.
    WholeText wholeText;
    if (textPiecesFor(static_cast<std::uint64_t>(info.st_size)) > 1 &&
        file.open(path, nullptr) == OperationResult::Success)
        wholeText = WholeText{file.view(), &file};
    return readAnyText(firstBytesOf(path), text, wholeText, mapWholeFile, &file, model, reporter, failure);
}

OperationResult readStl(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    MemoryBlockSource text(bytes);
    const auto given = [bytes](std::string_view& whole, Failure*) {
        whole = bytes;
        return OperationResult::Success;
    };
    return readAnyText(bytes, text, WholeText{bytes}, given, nullptr, model, reporter, failure);
}

} // namespace morvex::stl

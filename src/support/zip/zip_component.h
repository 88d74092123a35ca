#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"
#include "support/xml/xml_reader.h"
#include "support/zip/parallel_deflate.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// One entry of a zip archive as its central directory describes it.
struct ZipEntryInfo {
    std::string name;             // UTF-8, as stored ("3D/3dmodel.model")
    std::uint64_t size;           // uncompressed size as declared
    std::uint64_t compressedSize; // bytes in the archive
    bool encrypted;
};

// Where an archive is read from: a file, or bytes in memory that the caller
// keeps alive while the archive is read.
struct ZipSource {
    ZipSource(const std::filesystem::path& file) : path(file) {}
    static ZipSource inMemory(std::string_view bytes)
    {
        ZipSource source{std::filesystem::path()};
        source.bytes = bytes;
        source.fromMemory = true;
        return source;
    }

    std::filesystem::path path;
    std::string_view bytes;
    bool fromMemory = false;
};

// Every entry of the archive, in central-directory order. Fails for a file
// that is missing, truncated or not a zip archive; cancellation through the
// reporter.
OperationResult listZipEntries(const ZipSource& archive, std::vector<ZipEntryInfo>& entries, ProgressReporter& reporter,
                               Failure* failure = nullptr);

// Writes the entry to folder/<entryName>, creating the folder and the
// subfolders the name holds. Names with "..", absolute names and drive
// prefixes fail without writing anything, so nothing lands outside the
// folder. An entry larger than maxBytes (declared, or found while inflating)
// is refused before it is written whole, and nothing is left at its name.
// Encrypted and damaged entries fail; a stop request cancels.
OperationResult extractZipEntry(const ZipSource& archive, std::string_view entryName,
                                const std::filesystem::path& folder, ProgressReporter& reporter, std::uint64_t maxBytes,
                                Failure* failure = nullptr);

// Inflates the entry into the feed's buffer, chunk by chunk, for a parse on
// another thread, and closes the feed (complete only when the whole entry
// fitted and inflated). Fails as extractZipEntry does; `overflowed` when the
// entry holds more than the buffer (a declared size that lies); cancelled
// when the parse asks the feed to stop.
OperationResult inflateZipEntry(const ZipSource& archive, std::string_view entryName, std::uint64_t maxBytes,
                                XmlFeed& feed, bool& overflowed, Failure* failure = nullptr);

// Archives every regular file under the folder, under its relative name with
// "/" separators, deflated. The archive is replaced as a whole (written to a
// temporary file beside it and renamed), never updated; a failed or
// cancelled call leaves any earlier file at that name untouched. Files the
// split finds large enough are deflated in pieces on its threads first and
// stored as they are, still one ordinary deflate entry each; smaller files
// are deflated by the zip library.
OperationResult zipFolder(const std::filesystem::path& archive, const std::filesystem::path& folder,
                          ProgressReporter& reporter, Failure* failure = nullptr, const DeflateSplit& split = {});

// The program-wide zip lock: callers hold it around extraction and zipping.
std::mutex& zipLock();

} // namespace morvex

#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"
#include "support/xml/xml_reader.h"
#include "support/zip/parallel_deflate.h"

#include <cstdint>
#include <filesystem>
#include <memory>
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

// Inflates an entry into a feed a chunk at a time, taking the zip lock for
// each chunk only (so that a parse may unpack other entries meanwhile): on
// a thread of its own, or pumped on the parse's thread.
class ZipEntryFeeder {
public:
    ZipEntryFeeder();
    ~ZipEntryFeeder();
    ZipEntryFeeder(const ZipEntryFeeder&) = delete;
    ZipEntryFeeder& operator=(const ZipEntryFeeder&) = delete;

    // Opens the entry; fails as extractZipEntry does.
    OperationResult open(const ZipSource& archive, std::string_view entryName, std::uint64_t maxBytes,
                         Failure* failure = nullptr);
    // Inflates the next chunk into the feed, waiting for room. At the
    // entry's end, on a failure, a stop request or more bytes than the
    // feed's limit it closes the feed (complete only at the end of an entry
    // that fitted) and returns false, as it does from then on.
    bool step(XmlFeed& feed);

    // Once the feed is closed: how the inflating ended (cancelled by a stop
    // request; a failure as extractZipEntry's, described by failure()), and
    // whether the entry held more than the feed's limit (a declared size
    // that lies).
    OperationResult result() const;
    bool overflowed() const;
    const Failure& failure() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Inflates the whole entry into the feed with a ZipEntryFeeder, for a parse
// on another thread, and closes the feed. Fails as extractZipEntry does;
// `overflowed` when the entry holds more than the feed's limit; cancelled
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

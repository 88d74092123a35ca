#include "support/zip/zip_component.h"

#include "support/platform/files.h"
#include "support/platform/scratch_folder.h"

#include <isa-l/igzip_lib.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <system_error>

namespace morvex {

namespace {

// libzip's deflate level for the small files: level 2 takes the least time of
// zlib's levels 1 to 6 on model XML. Large files go through deflateInPieces.
constexpr int DeflateLevel = 2;

// Bytes inflated between two stop questions.
constexpr std::size_t ExtractChunk = 256 * 1024;

// Entries listed between two stop questions.
constexpr std::uint64_t ListCheckInterval = 1024;

struct ArchiveDiscarder {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ArchiveHandle = std::unique_ptr<zip_t, ArchiveDiscarder>;

struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryHandle = std::unique_ptr<zip_file_t, EntryCloser>;

std::string zipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

// libzip opens bytes in memory through a buffer source, which the archive
// owns once opened.
zip_t* openInMemory(std::string_view bytes, int& code)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_t* archive = source != nullptr ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (archive == nullptr) {
        code = zip_error_code_zip(&error);
        if (source != nullptr)
            zip_source_free(source);
    }
    zip_error_fini(&error);
    return archive;
}

OperationResult openForReading(const ZipSource& from, ArchiveHandle& archive, Failure* failure)
{
    if (!from.fromMemory) {
        // libzip would wait on a pipe and read a device without end; a look
        // at the file's kind opens nothing.
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(from.path, error);
        if (!std::filesystem::exists(status))
            return failWith(failure, FailureKind::Unreadable, "archive not found");
        if (!std::filesystem::is_regular_file(status))
            return failWith(failure, FailureKind::Unreadable, "is not a regular file");
    }
    int code = 0;
    archive.reset(from.fromMemory ? openInMemory(from.bytes, code) : zip_open(from.path.c_str(), ZIP_RDONLY, &code));
    if (archive)
        return OperationResult::Success;
    switch (code) {
    case ZIP_ER_NOENT: return failWith(failure, FailureKind::Unreadable, "archive not found");
    case ZIP_ER_OPEN:
    case ZIP_ER_READ: return failWith(failure, FailureKind::Unreadable, "cannot read the archive");
    case ZIP_ER_NOZIP: return failWith(failure, FailureKind::Malformed, "not a zip archive, or truncated");
    case ZIP_ER_INCONS: return failWith(failure, FailureKind::Malformed, "the archive is damaged");
    case ZIP_ER_MEMORY: return failOutOfMemory(failure);
    default: return failWith(failure, FailureKind::Unreadable, "cannot open the archive: " + zipErrorText(code));
    }
}

char asciiLowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compared as package part names: letters without regard to case, and
// "\" (stored by some Windows tools) taken as "/".
bool samePartName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] == '\\' ? '/' : asciiLowerChar(a[i]);
        char y = b[i] == '\\' ? '/' : asciiLowerChar(b[i]);
        if (x != y)
            return false;
    }
    return true;
}

// The relative path an entry name stands for, or false for a name that could
// reach outside the target folder: "..", an absolute name, a drive prefix, a
// NUL byte, or a name of a folder rather than a file.
bool relativePathOfEntry(std::string_view name, std::filesystem::path& relative)
{
    std::string normalized(name);
    std::replace(normalized.begin(), normalized.end(), '\\', '/');
    if (normalized.empty() || normalized.front() == '/' || normalized.back() == '/' ||
        normalized.find('\0') != std::string::npos)
        return false;
    const char first = normalized[0];
    if (normalized.size() >= 2 && normalized[1] == ':' &&
        ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z')))
        return false;
    relative.clear();
    std::size_t start = 0;
    while (start <= normalized.size()) {
        std::size_t stop = normalized.find('/', start);
        if (stop == std::string::npos)
            stop = normalized.size();
        const std::string_view part(normalized.data() + start, stop - start);
        if (part == "..")
            return false;
        if (!part.empty() && part != ".")
            relative /= std::string(part);
        start = stop + 1;
    }
    return !relative.empty();
}

// Index of the entry: the exact name first, else the first entry with the
// same part name.
zip_int64_t locateEntry(zip_t* archive, const std::string& name)
{
    const zip_int64_t exact = zip_name_locate(archive, name.c_str(), 0);
    if (exact >= 0)
        return exact;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* stored = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
        if (stored != nullptr && samePartName(stored, name))
            return i;
    }
    return -1;
}

// True when `inner` lies inside `outer` once links are resolved.
bool staysInside(const std::filesystem::path& inner, const std::filesystem::path& outer)
{
    std::error_code error;
    const std::filesystem::path a = std::filesystem::canonical(inner, error);
    if (error)
        return false;
    const std::filesystem::path b = std::filesystem::canonical(outer, error);
    if (error)
        return false;
    auto [end, ignored] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    (void)ignored;
    return end == b.end();
}

OperationResult writeEmptyArchive(const std::filesystem::path& path, Failure* failure)
{
    // Just the end-of-central-directory record: the signature and 18 zero bytes.
    static constexpr unsigned char emptyArchive[22] = {0x50, 0x4b, 0x05, 0x06};
    AtomicFileWriter writer;
    if (writer.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    writer.write(emptyArchive, sizeof emptyArchive);
    return writer.commit(failure);
}

// Regular files under the folder (links are not followed), as relative
// names with "/" separators, sorted.
OperationResult collectFiles(const std::filesystem::path& folder, std::vector<std::string>& names, Failure* failure)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        return failWith(failure, FailureKind::Unreadable, "the folder to archive does not exist");
    std::filesystem::recursive_directory_iterator walk(folder, error);
    for (; !error && walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
        const std::filesystem::file_status status = walk->symlink_status(error);
        if (error)
            break;
        if (std::filesystem::is_regular_file(status))
            names.push_back(walk->path().lexically_relative(folder).generic_string());
    }
    if (error)
        return failWith(failure, FailureKind::Unreadable, "cannot read the folder to archive: " + error.message());
    std::sort(names.begin(), names.end());
    return OperationResult::Success;
}

struct CloseCallbacks {
    ProgressReporter* reporter;
};

void reportArchiveProgress(zip_t*, double fraction, void* state)
{
    static_cast<CloseCallbacks*>(state)->reporter->setProgress(fraction);
}

int askArchiveCancel(zip_t*, void* state)
{
    return static_cast<CloseCallbacks*>(state)->reporter->isCancelled() ? 1 : 0;
}

// A file already deflated (by deflateInPieces), handed to libzip as the
// compressed data of its entry: the stat names the method, both sizes and
// the CRC, so libzip copies the bytes instead of compressing them again.
struct PrecompressedFile {
    std::filesystem::path compressed;
    DeflatedFile deflated;
    time_t modified = 0;
    std::FILE* file = nullptr;
    zip_error_t error{};

    ~PrecompressedFile() { close(); }
    void close()
    {
        if (file != nullptr)
            std::fclose(file);
        file = nullptr;
    }
    zip_int64_t fail(int zipCode)
    {
        zip_error_set(&error, zipCode, errno);
        return -1;
    }
};

zip_int64_t servePrecompressed(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    PrecompressedFile& source = *static_cast<PrecompressedFile*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        source.close();
        source.file = std::fopen(source.compressed.c_str(), "rb");
        return source.file != nullptr ? 0 : source.fail(ZIP_ER_OPEN);
    case ZIP_SOURCE_READ: {
        const std::size_t got = std::fread(data, 1, static_cast<std::size_t>(length), source.file);
        return got == length || !std::ferror(source.file) ? static_cast<zip_int64_t>(got) : source.fail(ZIP_ER_READ);
    }
    case ZIP_SOURCE_CLOSE: source.close(); return 0;
    case ZIP_SOURCE_STAT: {
        zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source.error);
        if (stat == nullptr)
            return -1;
        zip_stat_init(stat);
        stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC | ZIP_STAT_MTIME |
                      ZIP_STAT_ENCRYPTION_METHOD;
        stat->size = source.deflated.size;
        stat->comp_size = source.deflated.compressedSize;
        stat->comp_method = ZIP_CM_DEFLATE;
        stat->crc = source.deflated.crc;
        stat->mtime = source.modified;
        stat->encryption_method = ZIP_EM_NONE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR: return zip_error_to_data(&source.error, data, length);
    case ZIP_SOURCE_FREE: source.close(); return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default: zip_error_set(&source.error, ZIP_ER_OPNOTSUPP, 0); return -1;
    }
}

// A file the split finds large enough to deflate in pieces.
struct LargeFile {
    std::size_t index = 0; // into the names
    std::uint64_t bytes = 0;
    time_t modified = 0;
};

// The large files among the names, and their bytes in all.
std::vector<LargeFile> findLargeFiles(const std::filesystem::path& folder, const std::vector<std::string>& names,
                                      const DeflateSplit& split, std::uint64_t& totalBytes)
{
    std::vector<LargeFile> large;
    totalBytes = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        struct stat info;
        if (::stat((folder / names[i]).c_str(), &info) == 0 &&
            static_cast<std::uint64_t>(info.st_size) >= split.minimumFileBytes) {
            large.push_back({i, static_cast<std::uint64_t>(info.st_size), info.st_mtime});
            totalBytes += static_cast<std::uint64_t>(info.st_size);
        }
    }
    return large;
}

// Deflates the large files into the scratch folder, one entry of
// `precompressed` per name (empty for the files libzip compresses itself).
OperationResult deflateLargeFiles(const std::filesystem::path& folder, const std::vector<std::string>& names,
                                  const std::vector<LargeFile>& large, std::uint64_t totalBytes,
                                  const DeflateSplit& split, const std::filesystem::path& scratch,
                                  ProgressReporter& reporter,
                                  std::vector<std::unique_ptr<PrecompressedFile>>& precompressed, Failure* failure)
{
    precompressed.resize(names.size());
    const auto share = [&](std::uint64_t part) { return static_cast<double>(part) / std::max<double>(1, totalBytes); };
    // Each file fills its share of the progress, in the order compressed.
    std::uint64_t doneBytes = 0;
    for (const LargeFile& file : large) {
        ProgressRange fileProgress(reporter, share(doneBytes), share(file.bytes));
        auto entry = std::make_unique<PrecompressedFile>();
        entry->compressed = scratch / (std::to_string(file.index) + ".deflate");
        entry->modified = file.modified;
        if (const OperationResult result = deflateInPieces(folder / names[file.index], entry->compressed, split,
                                                           fileProgress, entry->deflated, failure);
            result != OperationResult::Success)
            return result;
        precompressed[file.index] = std::move(entry);
        doneBytes += file.bytes;
    }
    return OperationResult::Success;
}

zip_source_t* precompressedSource(zip_t* archive, PrecompressedFile& file)
{
    return zip_source_function(archive, servePrecompressed, &file);
}

} // namespace

std::mutex& zipLock()
{
    static std::mutex lock;
    return lock;
}

OperationResult listZipEntries(const ZipSource& archivePath, std::vector<ZipEntryInfo>& entries,
                               ProgressReporter& reporter, Failure* failure)
{
    entries.clear();
    ArchiveHandle archive;
    if (openForReading(archivePath, archive, failure) != OperationResult::Success)
        return OperationResult::Failure;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        if (static_cast<std::uint64_t>(i) % ListCheckInterval == 0 && reporter.isCancelled())
            return OperationResult::Cancelled;
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0 || stat.name == nullptr)
            return failWith(failure, FailureKind::Malformed, "the archive directory is damaged");
        ZipEntryInfo info;
        info.name = stat.name;
        info.size = (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
        info.compressedSize = (stat.valid & ZIP_STAT_COMP_SIZE) ? stat.comp_size : 0;
        info.encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
        entries.push_back(std::move(info));
    }
    return OperationResult::Success;
}

namespace {

// Reads an entry's bytes. Deflate entries are read raw and inflated by
// ISA-L's inflater, about six times as fast as libzip's zlib, which checks
// the CRC and the size as libzip would; other methods go through libzip.
class EntryReader {
public:
    // Opens the entry of that name: refused when it is encrypted, of a
    // method libzip lacks, or declared larger than maxBytes.
    OperationResult open(const ZipSource& archivePath, std::string_view entryName, std::uint64_t maxBytes,
                         Failure* failure)
    {
        if (openForReading(archivePath, archive_, failure) != OperationResult::Success)
            return OperationResult::Failure;
        const zip_int64_t index = locateEntry(archive_.get(), std::string(entryName));
        if (index < 0)
            return failWith(failure, FailureKind::Malformed, "entry not found in the archive");
        const auto entryIndex = static_cast<zip_uint64_t>(index);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive_.get(), entryIndex, 0, &stat) != 0)
            return failWith(failure, FailureKind::Malformed, "the archive directory is damaged");
        if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
            return failWith(failure, FailureKind::Unsupported, "entry is encrypted");
        if ((stat.valid & ZIP_STAT_SIZE) && stat.size > maxBytes)
            return failWith(failure, FailureKind::OutOfMemory, "entry is too large");
        const zip_uint64_t needed = ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC | ZIP_STAT_SIZE;
        raw_ = (stat.valid & needed) == needed && stat.comp_method == ZIP_CM_DEFLATE;
        if (raw_) {
            expectedCrc_ = stat.crc;
            expectedSize_ = stat.size;
            inflater_ = std::make_unique<inflate_state>();
            isal_inflate_init(inflater_.get());
            inflater_->crc_flag = ISAL_GZIP_NO_HDR; // raw deflate, CRC-32 of the output kept
            input_.resize(InputChunk);
        }
        entry_.reset(zip_fopen_index(archive_.get(), entryIndex, raw_ ? ZIP_FL_COMPRESSED : 0));
        if (entry_)
            return OperationResult::Success;
        const int code = zip_error_code_zip(zip_get_error(archive_.get()));
        if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_ENCRNOTSUPP)
            return failWith(failure, FailureKind::Unsupported, "entry is encrypted");
        if (code == ZIP_ER_COMPNOTSUPP)
            return failWith(failure, FailureKind::Unsupported, "entry uses an unsupported compression method");
        return failWith(failure, FailureKind::Unreadable, "cannot read the entry: " + zipErrorText(code));
    }

    // Up to `size` bytes of the entry into `data`: how many, 0 at its end,
    // -1 when it is damaged (`error` says how).
    std::int64_t read(char* data, std::size_t size, std::string& error)
    {
        if (!raw_) {
            const zip_int64_t got = zip_fread(entry_.get(), data, size);
            if (got < 0)
                error = zip_file_strerror(entry_.get());
            return got;
        }
        if (finished_ || size == 0)
            return 0;
        inflate_state& state = *inflater_;
        const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
        state.next_out = reinterpret_cast<std::uint8_t*>(data);
        state.avail_out = room;
        while (state.avail_out == room) {
            if (state.avail_in == 0 && !inputEnded_) {
                const zip_int64_t got = zip_fread(entry_.get(), input_.data(), input_.size());
                if (got < 0) {
                    error = zip_file_strerror(entry_.get());
                    return -1;
                }
                inputEnded_ = got == 0;
                state.next_in = input_.data();
                state.avail_in = static_cast<std::uint32_t>(got);
            }
            const std::uint32_t before = state.avail_out;
            if (isal_inflate(&state) < 0) {
                error = "invalid deflate data";
                return -1;
            }
            if (state.block_state == ISAL_BLOCK_FINISH) {
                finished_ = true;
                break;
            }
            if (inputEnded_ && state.avail_in == 0 && state.avail_out == before) {
                error = "the compressed data ends early";
                return -1;
            }
        }
        const std::uint32_t produced = room - state.avail_out;
        total_ += produced;
        if (finished_ && (total_ != expectedSize_ || state.crc != expectedCrc_)) {
            error = total_ != expectedSize_ ? "the entry's size differs from the directory's" : "CRC error";
            return -1;
        }
        return produced;
    }

private:
    // Compressed bytes read from the archive at a time.
    static constexpr std::size_t InputChunk = 256 * 1024;

    ArchiveHandle archive_;
    EntryHandle entry_;
    bool raw_ = false;
    std::unique_ptr<inflate_state> inflater_;
    std::vector<std::uint8_t> input_;
    bool inputEnded_ = false;
    bool finished_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t expectedSize_ = 0;
    std::uint32_t expectedCrc_ = 0;
};

// Inflates the open entry chunk by chunk into the room that `room` gives
// ({where, how many bytes}) and `advance` takes (false: stop here);
// `stopped` is asked before every chunk.
template <typename Room, typename Advance, typename Stopped>
OperationResult inflateEntry(EntryReader& entry, std::uint64_t maxBytes, Room&& room, Advance&& advance,
                             Stopped&& stopped, Failure* failure)
{
    std::uint64_t total = 0;
    std::string error;
    for (;;) {
        if (stopped())
            return OperationResult::Cancelled;
        const std::pair<char*, std::size_t> space = room();
        const std::int64_t got = entry.read(space.first, space.second, error);
        if (got < 0)
            return failWith(failure, FailureKind::Malformed, "the entry is damaged: " + error);
        if (got == 0)
            return OperationResult::Success;
        total += static_cast<std::uint64_t>(got);
        if (total > maxBytes)
            return failWith(failure, FailureKind::OutOfMemory, "entry is too large");
        if (!advance(static_cast<std::size_t>(got)))
            return OperationResult::Success;
    }
}

} // namespace

OperationResult extractZipEntry(const ZipSource& archivePath, std::string_view entryName,
                                const std::filesystem::path& folder, ProgressReporter& reporter, std::uint64_t maxBytes,
                                Failure* failure)
{
    std::filesystem::path relative;
    if (!relativePathOfEntry(entryName, relative))
        return failWith(failure, FailureKind::Malformed, "unsafe entry name");
    if (reporter.isCancelled())
        return OperationResult::Cancelled;

    EntryReader entry;
    if (const OperationResult opened = entry.open(archivePath, entryName, maxBytes, failure);
        opened != OperationResult::Success)
        return opened;
    const std::filesystem::path target = folder / relative;
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error)
        return failWith(failure, FailureKind::Unwritable, "cannot create the folder: " + error.message());
    if (!staysInside(target.parent_path(), folder))
        return failWith(failure, FailureKind::Malformed, "unsafe entry name");

    AtomicFileWriter writer;
    if (writer.open(target, failure) != OperationResult::Success)
        return OperationResult::Failure;
    const OperationResult inflated = inflateEntry(
        entry, maxBytes, [&] { return std::pair<char*, std::size_t>(writer.reserve(ExtractChunk), ExtractChunk); },
        [&](std::size_t bytes) {
            writer.advance(bytes);
            return !writer.failed(); // commit reports the error
        },
        [&] { return reporter.isCancelled(); }, failure);
    if (inflated != OperationResult::Success)
        return inflated;
    return writer.commit(failure);
}

struct ZipEntryFeeder::State {
    EntryReader entry;
    std::uint64_t maxBytes = 0;
    std::uint64_t total = 0;
    bool closed = false;
    bool overflowed = false;
    OperationResult result = OperationResult::Success;
    Failure failure;
};

ZipEntryFeeder::ZipEntryFeeder() : state_(std::make_unique<State>()) {}
ZipEntryFeeder::~ZipEntryFeeder() = default;

OperationResult ZipEntryFeeder::open(const ZipSource& archive, std::string_view entryName, std::uint64_t maxBytes,
                                     Failure* failure)
{
    state_->maxBytes = maxBytes;
    std::lock_guard lock(zipLock());
    return state_->entry.open(archive, entryName, maxBytes, failure);
}

bool ZipEntryFeeder::step(XmlFeed& feed)
{
    State& state = *state_;
    if (state.closed)
        return false;
    const auto finish = [&](OperationResult result) {
        state.result = result;
        state.closed = true;
        feed.close(result == OperationResult::Success && !state.overflowed);
        return false;
    };
    try {
        if (feed.stopRequested())
            return finish(OperationResult::Cancelled);
        std::span<char> room = feed.room(ExtractChunk);
        char probe = 0; // once the feed is full, one more byte tells whether the entry goes on
        if (room.empty()) {
            if (feed.stopRequested())
                return finish(OperationResult::Cancelled);
            room = std::span<char>(&probe, 1);
        }
        std::string error;
        std::int64_t got = 0;
        {
            std::lock_guard lock(zipLock());
            got = state.entry.read(room.data(), room.size(), error);
        }
        if (got < 0)
            return finish(failWith(&state.failure, FailureKind::Malformed, "the entry is damaged: " + error));
        if (got == 0)
            return finish(OperationResult::Success);
        state.total += static_cast<std::uint64_t>(got);
        if (state.total > state.maxBytes)
            return finish(failWith(&state.failure, FailureKind::OutOfMemory, "entry is too large"));
        if (room.data() == &probe) {
            state.overflowed = true;
            return finish(OperationResult::Success);
        }
        feed.append(static_cast<std::size_t>(got));
        return true;
    } catch (const std::bad_alloc&) {
        return finish(failOutOfMemory(&state.failure));
    }
}

OperationResult ZipEntryFeeder::result() const
{
    return state_->result;
}

bool ZipEntryFeeder::overflowed() const
{
    return state_->overflowed;
}

const Failure& ZipEntryFeeder::failure() const
{
    return state_->failure;
}

OperationResult inflateZipEntry(const ZipSource& archivePath, std::string_view entryName, std::uint64_t maxBytes,
                                XmlFeed& feed, bool& overflowed, Failure* failure)
{
    ZipEntryFeeder feeder;
    overflowed = false;
    if (const OperationResult opened = feeder.open(archivePath, entryName, maxBytes, failure);
        opened != OperationResult::Success) {
        feed.close(false);
        return opened;
    }
    while (feeder.step(feed)) {
    }
    overflowed = feeder.overflowed();
    return feeder.result() == OperationResult::Failure ? failWith(failure, feeder.failure()) : feeder.result();
}

OperationResult zipFolder(const std::filesystem::path& archivePath, const std::filesystem::path& folder,
                          ProgressReporter& reporter, Failure* failure, const DeflateSplit& split)
{
    std::vector<std::string> names;
    if (collectFiles(folder, names, failure) != OperationResult::Success)
        return OperationResult::Failure;
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    if (names.empty())
        return writeEmptyArchive(archivePath, failure);

    // Large files are compressed before the archive is opened, so that a
    // cancel during the long part leaves nothing behind.
    ScratchFolder scratch;
    std::vector<std::unique_ptr<PrecompressedFile>> precompressed(names.size());
    std::uint64_t largeBytes = 0;
    const std::vector<LargeFile> large = findLargeFiles(folder, names, split, largeBytes);
    const double compressShare = large.empty() ? 0.0 : 0.9;
    ProgressRange compressProgress(reporter, 0.0, compressShare);
    if (!large.empty() && (scratch.create(failure) != OperationResult::Success ||
                           deflateLargeFiles(folder, names, large, largeBytes, split, scratch.path(), compressProgress,
                                             precompressed, failure) != OperationResult::Success))
        return reporter.isCancelled() ? OperationResult::Cancelled : OperationResult::Failure;

    int code = 0;
    // Truncate: the archive is built anew, whatever was at the name before.
    // The archive goes before the precompressed files it reads.
    ArchiveHandle archive(zip_open(archivePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
    if (!archive)
        return failWith(failure, FailureKind::Unwritable, "cannot create the archive: " + zipErrorText(code));

    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const std::filesystem::path source = folder / name;
        zip_source_t* data = precompressed[i] ? precompressedSource(archive.get(), *precompressed[i])
                                              : zip_source_file(archive.get(), source.c_str(), 0, -1);
        if (data == nullptr)
            return failWith(failure, FailureKind::Unreadable, "cannot read " + name);
        const zip_int64_t index = zip_file_add(archive.get(), name.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            return failWith(failure, FailureKind::Unwritable, "cannot add " + name + " to the archive");
        }
        // A precompressed entry keeps its method from the source: asking for
        // deflate here would have libzip inflate and deflate it again.
        if (!precompressed[i] && zip_set_file_compression(archive.get(), static_cast<zip_uint64_t>(index),
                                                          ZIP_CM_DEFLATE, DeflateLevel) != 0)
            return failWith(failure, FailureKind::Unsupported, "deflate compression is not available");
    }

    ProgressRange closeProgress(reporter, compressShare, 1.0 - compressShare);
    CloseCallbacks callbacks{&closeProgress};
    zip_register_progress_callback_with_state(archive.get(), 0.01, reportArchiveProgress, nullptr, &callbacks);
    zip_register_cancel_callback_with_state(archive.get(), askArchiveCancel, nullptr, &callbacks);
    // zip_close writes everything into a temporary file beside the archive
    // and renames it at the end; on failure it removes the temporary file.
    if (zip_close(archive.get()) == 0) {
        (void)archive.release();
        return OperationResult::Success;
    }
    code = zip_error_code_zip(zip_get_error(archive.get()));
    if (code == ZIP_ER_CANCELLED || reporter.isCancelled())
        return OperationResult::Cancelled;
    return failWith(failure, FailureKind::Unwritable, "cannot write the archive: " + zipErrorText(code));
}

} // namespace morvex

#pragma once

#include "support/core/operation_result.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace morvex {

// A whole file, read-only in memory (mapped where the file system allows).
// Parsers walk it with a bounded cursor; nothing is copied.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Fails with a reason for a missing path, a directory, anything but a
    // regular file (a pipe or a device would block or never end), an
    // unreadable file, and one that outgrows the allocation guard.
    OperationResult open(const std::filesystem::path& path, Failure* failure = nullptr);

    const char* data() const { return data_; }
    std::uint64_t size() const { return size_; }
    std::string_view view() const { return {data_, static_cast<std::size_t>(size_)}; }
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(data_); }

    // A reader that goes through a large file once gives back the pages it
    // has passed, so that the file's memory does not add to that of what it
    // builds: the mapped pages wholly before `offset` leave the process (the
    // bytes stay readable; touching them again reads the file again). Acts
    // once every ReleaseStep bytes, and not at all for a file read into
    // memory.
    void releaseBefore(std::uint64_t offset);
    // The same for the pages wholly inside [from, to), at once: for threads
    // that each read their own part of a file (safe from any thread).
    void releaseRange(std::uint64_t from, std::uint64_t to) const;

private:
    static constexpr std::uint64_t ReleaseStep = 16u << 20;

    // Files up to this size are read into memory rather than mapped: in a
    // batch of many small files, mapping and unmapping each one costs more
    // (page faults, and flushing the other processors' address caches) than
    // copying it into a buffer the allocator hands back for the next file.
    static constexpr std::uint64_t SmallFileBytes = 16u << 20;

    OperationResult readWhole(int descriptor, Failure* failure);
    void close();

    const char* data_ = nullptr;
    std::uint64_t size_ = 0;
    bool mapped_ = false;
    char* owned_ = nullptr;
    std::uint64_t released_ = 0; // bytes from the start given back
};

// Writes a file through a large buffer into a temporary file beside the
// target, and renames it onto the target only on commit(). Anything not
// committed is removed, so a failed or cancelled write leaves nothing at the
// output name and never a half-replaced old file.
class AtomicFileWriter {
public:
    static constexpr std::size_t BufferSize = 1 << 20;

    AtomicFileWriter() = default;
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    OperationResult open(const std::filesystem::path& target, Failure* failure = nullptr);

    void write(const void* bytes, std::size_t length);
    void write(std::string_view text) { write(text.data(), text.size()); }
    void put(char c)
    {
        if (used_ == BufferSize)
            flush();
        buffer_[used_++] = c;
    }
    // Room for at least `length` bytes (at most BufferSize) at the cursor;
    // call advance() with what was used.
    char* reserve(std::size_t length)
    {
        if (BufferSize - used_ < length)
            flush();
        return buffer_ + used_;
    }
    void advance(std::size_t length) { used_ += length; }

    template <typename T>
    void writeLittleEndian(T value)
    {
        static_assert(sizeof(T) <= 8);
        char* at = reserve(sizeof(T));
        std::memcpy(at, &value, sizeof(T)); // this platform is little-endian
        advance(sizeof(T));
    }

    // Overwrites bytes written earlier (a size field left open until the
    // content behind it is known), whether still buffered or already on
    // disk. Later writes continue at position(); a range beyond it fails.
    void patch(std::uint64_t at, const void* bytes, std::size_t length);

    // Bytes written so far, buffered ones included.
    std::uint64_t position() const { return flushed_ + used_; }
    bool failed() const { return failed_; }

    // Flushes, closes and renames onto the target; Failure with a reason
    // when any write failed or the rename did.
    OperationResult commit(Failure* failure = nullptr);
    // Removes the temporary file (also done by the destructor).
    void discard();

private:
    void flush();
    void writeOut(const char* bytes, std::size_t length);

    int descriptor_ = -1;
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    char* buffer_ = nullptr;
    std::size_t used_ = 0;
    std::uint64_t flushed_ = 0;
    bool failed_ = false;
    int error_ = 0;
};

// Moves a file to a name that must not exist yet, in one step: 0 when moved,
// EEXIST when the name was taken (the file stays where it was), or the errno
// value of another failure. Two programs moving onto one name never lose a
// file to each other this way.
int moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Opens a file for reading only when it is a regular file (a link to one is
// followed): a pipe, a device or a socket would block the reader or never
// end. The open itself does not wait for a pipe's writer. The descriptor, or
// -1 with the failure recorded ("is a directory", "is not a regular file").
int openRegularFile(const std::filesystem::path& path, Failure* failure, struct stat* info = nullptr);

// The system's text for an errno value ("No such file or directory").
std::string systemErrorText(int error);

// read(2), retried when a signal interrupts it: the bytes read, 0 at the end
// of the file, -1 on an error (errno tells which).
std::ptrdiff_t readRetrying(int descriptor, void* buffer, std::size_t size);

} // namespace morvex

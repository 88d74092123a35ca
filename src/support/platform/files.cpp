#include "support/platform/files.h"

#include "support/core/memory_guard.h"
#include "support/platform/stale_temporaries.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {

std::string systemErrorText(int error)
{
    char text[256];
    // GNU strerror_r returns the text, possibly not in the buffer.
    return std::string(strerror_r(error, text, sizeof text));
}

std::ptrdiff_t readRetrying(int descriptor, void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

MappedFile::~MappedFile()
{
    close();
}

void MappedFile::close()
{
    if (mapped_ && data_ != nullptr)
        munmap(const_cast<char*>(data_), static_cast<std::size_t>(size_));
    guardedFree(owned_);
    owned_ = nullptr;
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
    released_ = 0;
}

void MappedFile::releaseBefore(std::uint64_t offset)
{
    if (!mapped_ || offset < released_ + ReleaseStep)
        return;
    static const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t end = std::min(offset, size_) / pageSize * pageSize;
    // A private mapping that was never written: its pages are the file's,
    // read again from it should anyone look.
    if (end > released_ &&
        ::madvise(const_cast<char*>(data_) + released_, static_cast<std::size_t>(end - released_), MADV_DONTNEED) == 0)
        released_ = end;
}

void MappedFile::releaseRange(std::uint64_t from, std::uint64_t to) const
{
    if (!mapped_)
        return;
    static const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t first = (from + pageSize - 1) / pageSize * pageSize;
    const std::uint64_t end = std::min(to, size_) / pageSize * pageSize;
    if (end > first)
        ::madvise(const_cast<char*>(data_) + first, static_cast<std::size_t>(end - first), MADV_DONTNEED);
}

OperationResult MappedFile::readWhole(int descriptor, Failure* failure)
{
    // Bounded by SmallFileBytes, so not the allocation guard's business: the
    // guard answers for the model built from these bytes.
    owned_ = static_cast<char*>(std::malloc(static_cast<std::size_t>(size_)));
    if (owned_ == nullptr) {
        close();
        return failOutOfMemory(failure);
    }
    std::uint64_t used = 0;
    while (used < size_) {
        const std::ptrdiff_t got = readRetrying(descriptor, owned_ + used, static_cast<std::size_t>(size_ - used));
        if (got < 0) {
            const int error = errno;
            close();
            return failWith(failure, FailureKind::Unreadable, "cannot read file: " + systemErrorText(error));
        }
        if (got == 0) // the file shrank while being read
            break;
        used += static_cast<std::uint64_t>(got);
    }
    data_ = owned_;
    size_ = used;
    return OperationResult::Success;
}

int openRegularFile(const std::filesystem::path& path, Failure* failure, struct stat* info)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        failWith(failure, FailureKind::Unreadable, "cannot open file: " + systemErrorText(errno));
        return -1;
    }
    struct stat own {};
    struct stat& status = info != nullptr ? *info : own;
    const char* refusal = nullptr;
    if (fstat(descriptor, &status) != 0)
        refusal = "cannot read file";
    else if (S_ISDIR(status.st_mode))
        refusal = "is a directory";
    else if (!S_ISREG(status.st_mode))
        refusal = "is not a regular file";
    if (refusal != nullptr) {
        ::close(descriptor);
        failWith(failure, FailureKind::Unreadable, refusal);
        return -1;
    }
    // Reads of a regular file never wait anyway; the flag only kept the
    // open from waiting for a pipe's writer.
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return descriptor;
}

OperationResult MappedFile::open(const std::filesystem::path& path, Failure* failure)
{
    close();
    struct stat info {};
    const int descriptor = openRegularFile(path, failure, &info);
    if (descriptor < 0)
        return OperationResult::Failure;
    // Small files are read, large ones mapped; what cannot be mapped is read
    // in blocks below.
    size_ = static_cast<std::uint64_t>(info.st_size);
    if (size_ == 0) {
        ::close(descriptor);
        data_ = "";
        return OperationResult::Success;
    }
    if (size_ <= SmallFileBytes) {
        const OperationResult result = readWhole(descriptor, failure);
        ::close(descriptor);
        return result;
    }
    void* mapping = mmap(nullptr, static_cast<std::size_t>(size_), PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping != MAP_FAILED) {
        ::close(descriptor);
        madvise(mapping, static_cast<std::size_t>(size_), MADV_SEQUENTIAL);
        data_ = static_cast<const char*>(mapping);
        mapped_ = true;
        return OperationResult::Success;
    }
    size_ = 0;

    // Not mappable (a special file system): read it in blocks.
    std::uint64_t capacity = 1 << 16;
    owned_ = static_cast<char*>(guardedAllocate(capacity, 1));
    std::uint64_t used = 0;
    for (;;) {
        if (owned_ == nullptr) {
            ::close(descriptor);
            close();
            return failOutOfMemory(failure);
        }
        const std::ptrdiff_t got = readRetrying(descriptor, owned_ + used, static_cast<std::size_t>(capacity - used));
        if (got < 0) {
            const int error = errno;
            ::close(descriptor);
            close();
            return failWith(failure, FailureKind::Unreadable, "cannot read file: " + systemErrorText(error));
        }
        if (got == 0)
            break;
        used += static_cast<std::uint64_t>(got);
        if (used == capacity) {
            capacity *= 2;
            char* grown = static_cast<char*>(guardedReallocate(owned_, capacity, 1));
            if (grown == nullptr)
                guardedFree(owned_);
            owned_ = grown;
        }
    }
    ::close(descriptor);
    data_ = owned_;
    size_ = used;
    return OperationResult::Success;
}

AtomicFileWriter::~AtomicFileWriter()
{
    discard();
    std::free(buffer_);
}

OperationResult AtomicFileWriter::open(const std::filesystem::path& target, Failure* failure)
{
    discard();
    target_ = target;
    if (buffer_ == nullptr) {
        buffer_ = static_cast<char*>(std::malloc(BufferSize));
        if (buffer_ == nullptr)
            return failOutOfMemory(failure);
    }
    std::filesystem::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    static std::atomic<unsigned> counter{0};
    // O_EXCL makes the name ours; the clock only keeps retries rare when
    // several processes share the folder.
    const auto clockBits = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = folder / partFileName(target.filename().string(), counter++,
                                           clockBits + static_cast<unsigned>(attempt) * 2654435761u);
        descriptor_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor_ >= 0)
            break;
        if (errno != EEXIST) {
            const int error = errno;
            temporary_.clear();
            return failWith(failure, FailureKind::Unwritable, "cannot create file: " + systemErrorText(error));
        }
    }
    if (descriptor_ < 0) {
        temporary_.clear();
        return failWith(failure, FailureKind::Unwritable, "cannot create a temporary file in the output folder");
    }
    used_ = 0;
    flushed_ = 0;
    failed_ = false;
    error_ = 0;
    return OperationResult::Success;
}

void AtomicFileWriter::writeOut(const char* bytes, std::size_t length)
{
    std::size_t done = 0;
    while (!failed_ && done < length) {
        const ssize_t wrote = ::write(descriptor_, bytes + done, length - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            failed_ = true;
            error_ = errno;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    flushed_ += length;
}

void AtomicFileWriter::flush()
{
    writeOut(buffer_, used_);
    used_ = 0;
}

void AtomicFileWriter::write(const void* bytes, std::size_t length)
{
    const char* from = static_cast<const char*>(bytes);
    // A block the size of the buffer goes to the file as it is, after what
    // is buffered: copying it through the buffer would only cost time.
    if (length >= BufferSize) {
        flush();
        writeOut(from, length);
        return;
    }
    while (length > 0) {
        if (used_ == BufferSize)
            flush();
        const std::size_t chunk = std::min(length, BufferSize - used_);
        std::memcpy(buffer_ + used_, from, chunk);
        used_ += chunk;
        from += chunk;
        length -= chunk;
    }
}

void AtomicFileWriter::patch(std::uint64_t at, const void* bytes, std::size_t length)
{
    if (failed_)
        return;
    if (descriptor_ < 0 || at > position() || length > position() - at) {
        failed_ = true;
        error_ = EINVAL;
        return;
    }
    const char* from = static_cast<const char*>(bytes);
    // The part already flushed goes to the file without moving its offset.
    while (length > 0 && at < flushed_) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(length, flushed_ - at));
        const ssize_t wrote = ::pwrite(descriptor_, from, part, static_cast<off_t>(at));
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            failed_ = true;
            error_ = errno;
            return;
        }
        at += static_cast<std::uint64_t>(wrote);
        from += wrote;
        length -= static_cast<std::size_t>(wrote);
    }
    if (length > 0)
        std::memcpy(buffer_ + (at - flushed_), from, length);
}

OperationResult AtomicFileWriter::commit(Failure* failure)
{
    if (descriptor_ < 0)
        return failWith(failure, FailureKind::Unwritable, "file not open");
    flush();
    if (::close(descriptor_) != 0 && !failed_) {
        failed_ = true;
        error_ = errno;
    }
    descriptor_ = -1;
    if (failed_) {
        const std::string text = "write failed: " + systemErrorText(error_);
        discard();
        return failWith(failure, FailureKind::Unwritable, text);
    }
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        const std::string text = "cannot replace the output file: " + systemErrorText(errno);
        discard();
        return failWith(failure, FailureKind::Unwritable, text);
    }
    temporary_.clear();
    return OperationResult::Success;
}

void AtomicFileWriter::discard()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    used_ = 0;
}

int moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // The file system cannot rename without replacing: a hard link fails on
    // an existing name just the same, then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    ::unlink(from.c_str());
    return 0;
}

} // namespace morvex

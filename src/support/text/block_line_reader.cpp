#include "support/text/block_line_reader.h"

#include "support/platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morvex {

const char* findLineEnd(const char* from, const char* to)
{
#if defined(__SSE2__)
    const __m128i carriageReturn = _mm_set1_epi8('\r');
    const __m128i lineFeed = _mm_set1_epi8('\n');
    while (to - from >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, carriageReturn), _mm_cmpeq_epi8(bytes, lineFeed)));
        if (mask != 0)
            return from + __builtin_ctz(static_cast<unsigned>(mask));
        from += 16;
    }
#endif
    for (; from < to; ++from)
        if (*from == '\r' || *from == '\n')
            return from;
    return nullptr;
}

FileBlockSource::~FileBlockSource()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

OperationResult FileBlockSource::open(const std::filesystem::path& path, Failure* failure)
{
    descriptor_ = openRegularFile(path, failure);
    if (descriptor_ < 0)
        return OperationResult::Failure;
    posix_fadvise(descriptor_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return OperationResult::Success;
}

std::ptrdiff_t FileBlockSource::read(char* buffer, std::size_t size)
{
    return readRetrying(descriptor_, buffer, size);
}

std::ptrdiff_t MemoryBlockSource::read(char* buffer, std::size_t size)
{
    const std::size_t count = std::min(size, bytes_.size());
    std::memcpy(buffer, bytes_.data(), count);
    bytes_.remove_prefix(count);
    return static_cast<std::ptrdiff_t>(count);
}

BlockLineReader::BlockLineReader(BlockSource& source, std::size_t blockBytes, std::size_t maxLineBytes)
    : source_(source), blockBytes_(std::max<std::size_t>(blockBytes, 1)),
      maxLineBytes_(std::max<std::size_t>(maxLineBytes, 1)), block_(new (std::nothrow) char[blockBytes_]),
      line_(new (std::nothrow) char[maxLineBytes_])
{
}

bool BlockLineReader::fill()
{
    if (position_ < end_)
        return true;
    if (exhausted_)
        return false;
    const std::ptrdiff_t got = source_.read(block_.get(), blockBytes_);
    if (got <= 0) {
        exhausted_ = true;
        failed_ = got < 0;
        return false;
    }
    position_ = 0;
    end_ = static_cast<std::size_t>(got);
    return true;
}

// Steps over the CR or LF at `at`, and over an LF that follows a CR; when the
// CR ends the block, the next call looks at the next block's first byte.
void BlockLineReader::consumeEnding(std::size_t at)
{
    position_ = at + 1;
    if (block_[at] != '\r')
        return;
    if (position_ < end_) {
        if (block_[position_] == '\n')
            ++position_;
    } else {
        afterCarriageReturn_ = true;
    }
}

bool BlockLineReader::skipRestOfLine()
{
    skipping_ = false;
    while (fill()) {
        const char* start = block_.get() + position_;
        const char* stop = findLineEnd(start, block_.get() + end_);
        if (stop != nullptr) {
            consumeEnding(static_cast<std::size_t>(stop - block_.get()));
            return true;
        }
        position_ = end_;
    }
    return false;
}

bool BlockLineReader::next(std::string_view& line)
{
    if (!valid())
        return false;
    if (skipping_ && !skipRestOfLine())
        return false;
    if (afterCarriageReturn_) {
        afterCarriageReturn_ = false;
        if (!fill())
            return false;
        if (block_[position_] == '\n')
            ++position_;
    }

    std::size_t kept = 0;
    for (;;) {
        if (!fill()) {
            if (kept == 0)
                return false;
            line = std::string_view(line_.get(), kept);
            ++lines_;
            return true;
        }
        const char* start = block_.get() + position_;
        const char* stop = findLineEnd(start, block_.get() + end_);
        const std::size_t segment = static_cast<std::size_t>((stop != nullptr ? stop : block_.get() + end_) - start);
        const std::size_t take = std::min(segment, maxLineBytes_ - kept);
        if (stop != nullptr && kept == 0) {
            // The whole line lies in this block: no copy.
            line = std::string_view(start, take);
            consumeEnding(static_cast<std::size_t>(stop - block_.get()));
            ++lines_;
            return true;
        }
        std::memcpy(line_.get() + kept, start, take);
        kept += take;
        if (stop != nullptr) {
            consumeEnding(static_cast<std::size_t>(stop - block_.get()));
            line = std::string_view(line_.get(), kept);
            ++lines_;
            return true;
        }
        position_ = end_;
        if (kept == maxLineBytes_) {
            skipping_ = true;
            line = std::string_view(line_.get(), kept);
            ++lines_;
            return true;
        }
    }
}

} // namespace morvex

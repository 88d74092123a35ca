#pragma once

#include "support/core/operation_result.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace morvex {

// The first CR or LF in [from, to), or nullptr.
const char* findLineEnd(const char* from, const char* to);

// Where the line reader takes its blocks from.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    // Fills up to `size` bytes; the count read, 0 at the end, -1 on an error.
    virtual std::ptrdiff_t read(char* buffer, std::size_t size) = 0;
};

// A regular file, read with plain reads (no mapping, so that memory stays
// small however large the file is).
class FileBlockSource : public BlockSource {
public:
    FileBlockSource() = default;
    ~FileBlockSource() override;
    FileBlockSource(const FileBlockSource&) = delete;
    FileBlockSource& operator=(const FileBlockSource&) = delete;

    OperationResult open(const std::filesystem::path& path, Failure* failure);
    std::ptrdiff_t read(char* buffer, std::size_t size) override;

private:
    int descriptor_ = -1;
};

class MemoryBlockSource : public BlockSource {
public:
    explicit MemoryBlockSource(std::string_view bytes) : bytes_(bytes) {}
    std::ptrdiff_t read(char* buffer, std::size_t size) override;

private:
    std::string_view bytes_;
};

// Splits a byte stream into lines, block by block, for files read without
// holding them whole in memory. A line ends at CR, LF or CR LF (also when
// the LF starts the next block); at most maxLineBytes of a line are kept and
// the rest is dropped; a last line without an ending counts when it is not
// empty. The rest of a cut line is skipped only when the next line is asked
// for, so a caller that stops early never reads it. Lines that lie whole in
// a block are returned in place, without a copy.
class BlockLineReader {
public:
    BlockLineReader(BlockSource& source, std::size_t blockBytes, std::size_t maxLineBytes);

    // The next line without its ending, valid until the next call; false
    // when no line is left (or reading failed: see failed()).
    bool next(std::string_view& line);

    bool failed() const { return failed_; }
    // Lines returned so far.
    std::uint64_t lineCount() const { return lines_; }
    // False when the buffers could not be allocated.
    bool valid() const { return block_ != nullptr && line_ != nullptr; }
    std::size_t maxLineBytes() const { return maxLineBytes_; }

private:
    bool fill();
    void consumeEnding(std::size_t at);
    bool skipRestOfLine();

    BlockSource& source_;
    std::size_t blockBytes_;
    std::size_t maxLineBytes_;
    std::unique_ptr<char[]> block_;
    std::unique_ptr<char[]> line_;
    std::size_t position_ = 0;
    std::size_t end_ = 0;
    bool exhausted_ = false;
    bool failed_ = false;
    bool afterCarriageReturn_ = false;
    bool skipping_ = false;
    std::uint64_t lines_ = 0;
};

// The lines of a text held whole in memory, by the rules of BlockLineReader
// (the same lines, cut after maxLineBytes), from offset `from` on; tells
// where each line starts, so that pieces of one text can be read apart.
class TextLineReader {
public:
    TextLineReader(std::string_view text, std::size_t from, std::size_t maxLineBytes)
        : text_(text), at_(from), maxLineBytes_(maxLineBytes)
    {
    }

    bool next(std::string_view& line)
    {
        if (at_ >= text_.size())
            return false;
        const char* start = text_.data() + at_;
        const char* end = text_.data() + text_.size();
        const char* stop = findLineEnd(start, end);
        if (stop == nullptr)
            stop = end;
        line = std::string_view(start, std::min<std::size_t>(static_cast<std::size_t>(stop - start), maxLineBytes_));
        at_ = static_cast<std::size_t>(stop - text_.data());
        if (at_ < text_.size() && text_[at_++] == '\r' && at_ < text_.size() && text_[at_] == '\n')
            ++at_;
        ++lines_;
        return true;
    }

    // Where the next line starts.
    std::size_t position() const { return at_; }
    std::uint64_t lineCount() const { return lines_; }
    bool failed() const { return false; }

private:
    std::string_view text_;
    std::size_t at_;
    std::size_t maxLineBytes_;
    std::uint64_t lines_ = 0;
};

} // namespace morvex

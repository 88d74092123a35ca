#pragma once

#include "support/core/operation_result.h"
#include "support/platform/files.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace morvex {

// A growing text buffer that one thread formats lines into. It keeps its
// memory when cleared, so a buffer reused piece after piece stops
// allocating once it has grown to a piece's size. Each buffer has a cache
// line of its own: threads that move the cursors of neighbouring buffers
// line after line would otherwise take the line from each other each time.
class alignas(64) TextPiece {
public:
    // Room for at least `length` more bytes at the cursor; advanceTo() the
    // end of what was put there. Throws std::bad_alloc when memory runs out.
    char* room(std::size_t length)
    {
        if (capacity_ - used_ < length)
            grow(length);
        return data_.get() + used_;
    }
    void advanceTo(const char* at) { used_ = static_cast<std::size_t>(at - data_.get()); }
    void append(std::string_view text);

    std::string_view text() const { return {data_.get(), used_}; }
    void clear() { used_ = 0; }

private:
    void grow(std::size_t length);

    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};

// Formats a long run of lines in pieces on several threads and writes the
// pieces in order, so the output is byte for byte what one loop over all
// lines writes, for any number of threads. Each piece is a contiguous range
// of elements formatted into a buffer of its own; at most two buffers per
// thread are in flight, so memory does not grow with the output, and the
// buffers are kept from section to section.
class OrderedTextWriter {
public:
    // Formats the elements [begin, end) into `text`; called on any of the
    // threads, for different pieces at once, so it must only read shared
    // state. May throw std::bad_alloc.
    using FormatPiece = std::function<void(std::uint64_t begin, std::uint64_t end, TextPiece& text)>;
    // Called on the calling thread after each piece went to the output,
    // with the elements written so far: false stops the writing (a cancel).
    using PieceWritten = std::function<bool(std::uint64_t done)>;

    // Writes elements [0, count) in pieces of `elementsPerPiece`, on up to
    // `threads` threads (the calling thread among them). Cancelled when
    // `written` asked to stop, Failure when memory ran out; the output
    // then holds a part of the pieces and is meant to be discarded.
    OperationResult write(AtomicFileWriter& out, std::uint64_t count, std::uint64_t elementsPerPiece, unsigned threads,
                          const FormatPiece& format, const PieceWritten& written, Failure* failure = nullptr);

private:
    std::vector<TextPiece> buffers_;
};

} // namespace morvex

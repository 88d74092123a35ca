#pragma once

#include "formats/docs3dp/chunk_format.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace morvex::docs3dp {

// One chunk as found in the file. Offsets are from the start of the file.
struct Chunk {
    std::uint16_t id = 0;
    std::uint16_t type = 0;      // as written; readers go by the id
    std::uint64_t size = 0;      // content size the header claims
    std::uint64_t start = 0;     // offset of the content
    std::uint64_t available = 0; // content bytes inside the parent group and the file
    std::uint32_t depth = 0;     // 0 for the root

    // The whole claimed content is present.
    bool complete() const { return available == size; }
};

class ChunkReader;

// Walks the children of one group by their sizes: each step reads the next
// header where the previous child's content ends, so content that is not
// read is skipped. A child that claims more than is left of its group is
// given with the bytes that are there (complete() false) and ends the walk.
class ChunkIterator {
public:
    // False at the end of the group or when no whole header is left.
    bool next(Chunk& child);
    // Offset of the next header.
    std::uint64_t position() const { return position_; }

private:
    friend class ChunkReader;
    ChunkIterator(const ChunkReader& reader, std::uint64_t position, std::uint64_t end, std::uint32_t depth)
        : reader_(&reader), position_(position), end_(end), depth_(depth)
    {
    }

    const ChunkReader* reader_;
    std::uint64_t position_;
    std::uint64_t end_;
    std::uint32_t depth_;
};

// Reads a chunked file held in memory. Nothing is read outside the bytes
// given, and a chunk's content is only handed out when all of it is there,
// so claimed sizes never lead to reads or allocations of their own.
class ChunkReader {
public:
    // Groups deeper than this are treated as empty.
    static constexpr std::uint32_t MaxDepth = 64;

    explicit ChunkReader(std::span<const unsigned char> file) : file_(file) {}

    // Checks the magic and the two fixed values, keeps the version and reads
    // the root header, which must have id 0 and type group. A root longer
    // than the file is cut to the file. headerFaultOffset() then tells where
    // a header that is refused went wrong.
    bool readHeader();
    std::uint64_t headerFaultOffset() const { return headerFault_; }
    // Where the version word lies in the file header.
    static constexpr std::uint64_t VersionOffset = 10;
    std::uint16_t version() const { return version_; }
    const Chunk& root() const { return root_; }

    ChunkIterator children(const Chunk& group) const;

    // Each is false, leaving the value alone, when the chunk is not complete
    // or holds fewer bytes than the value; extra bytes are ignored.
    bool readBool(const Chunk& chunk, bool& value) const;
    bool readInt(const Chunk& chunk, std::int32_t& value) const;
    bool readFloat(const Chunk& chunk, float& value) const;
    // The bytes before the first zero byte, or all content when it has none.
    bool readText(const Chunk& chunk, std::string_view& text) const;
    // The whole content, viewed in place.
    bool readBlock(const Chunk& chunk, std::span<const unsigned char>& bytes) const;

    // True when the trailer follows the root's content.
    bool readTrailer() const;

    std::uint64_t fileSize() const { return file_.size(); }

private:
    friend class ChunkIterator;
    bool readChunkHeader(std::uint64_t at, std::uint64_t end, std::uint32_t depth, Chunk& chunk) const;
    template <typename T>
    bool readScalar(const Chunk& chunk, T& value) const;

    std::span<const unsigned char> file_;
    Chunk root_;
    std::uint16_t version_ = 0;
    std::uint64_t headerFault_ = 0;
};

} // namespace morvex::docs3dp

#pragma once

#include "formats/docs3dp/chunk_format.h"
#include "support/platform/files.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace morvex::docs3dp {

// Writes a chunked file through an AtomicFileWriter. Every chunk header goes
// out with its size; chunks whose size is not known in advance (groups and
// streamed blocks) get size 0 first and have it patched when they end. Open
// chunks form a stack.
//
// The writer keeps an ok flag: after the first failure (a failed write or a
// misuse such as ending a chunk that is not open) every later operation does
// nothing, and endGroup and writeTrailer report the failure.
class ChunkWriter {
public:
    explicit ChunkWriter(AtomicFileWriter& file) : file_(file) {}

    void writeHeader(std::uint16_t version);

    void beginGroup(std::uint16_t id);
    // False when anything written so far failed.
    bool endGroup();

    void writeBool(std::uint16_t id, bool value);
    void writeInt(std::uint16_t id, std::int32_t value);
    void writeFloat(std::uint16_t id, float value);
    // UTF-8 bytes followed by one zero byte.
    void writeText(std::uint16_t id, std::string_view text);
    void writeBlock(std::uint16_t id, const void* bytes, std::uint64_t length);

    // A block whose content is produced piece by piece: beginBlock, then
    // any mix of appendToBlock and blockSpace/blockAdvance, then endBlock.
    void beginBlock(std::uint16_t id);
    void appendToBlock(const void* bytes, std::size_t length);
    // Room for `length` bytes (at most AtomicFileWriter::BufferSize) in the
    // output buffer; nullptr once the writer has failed.
    char* blockSpace(std::size_t length);
    void blockAdvance(std::size_t length);
    bool endBlock();

    // The trailer after the root group; false when anything failed.
    bool writeTrailer();

    bool ok() const { return ok_ && !file_.failed(); }
    std::size_t openChunks() const { return open_.size(); }

private:
    struct OpenChunk {
        std::uint64_t headerStart;
        ChunkType type;
    };

    void writeChunkHeader(std::uint16_t id, ChunkType type, std::uint64_t size);
    void writeValue(std::uint16_t id, ChunkType type, const void* bytes, std::size_t length);
    void beginChunk(std::uint16_t id, ChunkType type);
    bool endChunk(ChunkType type);
    // A chunk may only be written inside a group (or as the root).
    bool canStartChunk();
    bool inBlock() const { return !open_.empty() && open_.back().type != ChunkType::Group; }

    AtomicFileWriter& file_;
    std::vector<OpenChunk> open_;
    bool ok_ = true;
};

} // namespace morvex::docs3dp

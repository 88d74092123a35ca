#include "formats/docs3dp/chunk_writer.h"

#include <cstring>
#include <new>

namespace morvex::docs3dp {

void ChunkWriter::writeHeader(std::uint16_t version)
{
    if (!ok())
        return;
    file_.write(chunkfile::Magic, sizeof chunkfile::Magic);
    file_.writeLittleEndian(chunkfile::HeaderWord);
    file_.writeLittleEndian(chunkfile::HeaderLong);
    file_.writeLittleEndian(version);
}

bool ChunkWriter::canStartChunk()
{
    if (!ok())
        return false;
    if (inBlock()) {
        ok_ = false;
        return false;
    }
    return true;
}

void ChunkWriter::writeChunkHeader(std::uint16_t id, ChunkType type, std::uint64_t size)
{
    file_.writeLittleEndian(id);
    file_.writeLittleEndian(static_cast<std::uint16_t>(type));
    file_.writeLittleEndian(size);
}

void ChunkWriter::writeValue(std::uint16_t id, ChunkType type, const void* bytes, std::size_t length)
{
    if (!canStartChunk())
        return;
    writeChunkHeader(id, type, length);
    file_.write(bytes, length);
}

void ChunkWriter::beginChunk(std::uint16_t id, ChunkType type)
{
    if (!canStartChunk())
        return;
    try {
        open_.push_back({file_.position(), type});
    } catch (const std::bad_alloc&) {
        ok_ = false;
        return;
    }
    writeChunkHeader(id, type, 0);
}

bool ChunkWriter::endChunk(ChunkType type)
{
    if (!ok())
        return false;
    if (open_.empty() || (open_.back().type == ChunkType::Group) != (type == ChunkType::Group)) {
        ok_ = false;
        return false;
    }
    const std::uint64_t headerStart = open_.back().headerStart;
    open_.pop_back();
    const std::uint64_t size = file_.position() - headerStart - chunkfile::ChunkHeaderSize;
    file_.patch(headerStart + 4, &size, sizeof size); // this platform is little-endian
    return ok();
}

void ChunkWriter::beginGroup(std::uint16_t id)
{
    beginChunk(id, ChunkType::Group);
}

bool ChunkWriter::endGroup()
{
    return endChunk(ChunkType::Group);
}

void ChunkWriter::writeBool(std::uint16_t id, bool value)
{
    const unsigned char byte = value ? 1 : 0;
    writeValue(id, ChunkType::Boolean, &byte, 1);
}

void ChunkWriter::writeInt(std::uint16_t id, std::int32_t value)
{
    writeValue(id, ChunkType::Integer, &value, sizeof value);
}

void ChunkWriter::writeFloat(std::uint16_t id, float value)
{
    writeValue(id, ChunkType::Float, &value, sizeof value);
}

void ChunkWriter::writeText(std::uint16_t id, std::string_view text)
{
    if (!canStartChunk())
        return;
    writeChunkHeader(id, ChunkType::Text, text.size() + 1);
    file_.write(text);
    file_.put('\0');
}

void ChunkWriter::writeBlock(std::uint16_t id, const void* bytes, std::uint64_t length)
{
    writeValue(id, ChunkType::Block, bytes, static_cast<std::size_t>(length));
}

void ChunkWriter::beginBlock(std::uint16_t id)
{
    beginChunk(id, ChunkType::Block);
}

void ChunkWriter::appendToBlock(const void* bytes, std::size_t length)
{
    if (ok() && inBlock())
        file_.write(bytes, length);
    else
        ok_ = false;
}

char* ChunkWriter::blockSpace(std::size_t length)
{
    if (!ok() || !inBlock() || length > AtomicFileWriter::BufferSize) {
        ok_ = false;
        return nullptr;
    }
    return file_.reserve(length);
}

void ChunkWriter::blockAdvance(std::size_t length)
{
    if (ok() && inBlock())
        file_.advance(length);
}

bool ChunkWriter::endBlock()
{
    return endChunk(ChunkType::Block);
}

bool ChunkWriter::writeTrailer()
{
    if (!ok() || !open_.empty()) {
        ok_ = false;
        return false;
    }
    file_.write(chunkfile::Magic, sizeof chunkfile::Magic);
    return ok();
}

} // namespace morvex::docs3dp

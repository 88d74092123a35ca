#include "formats/docs3dp/chunk_reader.h"

#include <algorithm>
#include <cstring>

namespace morvex::docs3dp {
namespace {

template <typename T>
T loadLittleEndian(const unsigned char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value); // this platform is little-endian
    return value;
}

} // namespace

bool ChunkReader::readChunkHeader(std::uint64_t at, std::uint64_t end, std::uint32_t depth, Chunk& chunk) const
{
    if (at > end || end - at < chunkfile::ChunkHeaderSize)
        return false;
    const unsigned char* header = file_.data() + at;
    chunk.id = loadLittleEndian<std::uint16_t>(header);
    chunk.type = loadLittleEndian<std::uint16_t>(header + 2);
    chunk.size = loadLittleEndian<std::uint64_t>(header + 4);
    chunk.start = at + chunkfile::ChunkHeaderSize;
    chunk.available = std::min(chunk.size, end - chunk.start);
    chunk.depth = depth;
    return true;
}

bool ChunkReader::readHeader()
{
    headerFault_ = 0;
    if (file_.size() < chunkfile::FileHeaderSize) {
        headerFault_ = file_.size();
        return false;
    }
    const unsigned char* header = file_.data();
    if (std::memcmp(header, chunkfile::Magic, sizeof chunkfile::Magic) != 0 ||
        loadLittleEndian<std::uint16_t>(header + 4) != chunkfile::HeaderWord ||
        loadLittleEndian<std::uint32_t>(header + 6) != chunkfile::HeaderLong)
        return false;
    version_ = loadLittleEndian<std::uint16_t>(header + VersionOffset);
    headerFault_ = chunkfile::FileHeaderSize; // the root chunk's header
    return readChunkHeader(chunkfile::FileHeaderSize, file_.size(), 0, root_) && root_.id == chunkfile::RootId &&
           root_.type == static_cast<std::uint16_t>(ChunkType::Group);
}

ChunkIterator ChunkReader::children(const Chunk& group) const
{
    const std::uint64_t end = group.depth < MaxDepth ? group.start + group.available : group.start;
    return ChunkIterator(*this, group.start, end, group.depth + 1);
}

bool ChunkIterator::next(Chunk& child)
{
    if (!reader_->readChunkHeader(position_, end_, depth_, child)) {
        position_ = end_;
        return false;
    }
    position_ = child.start + child.available;
    return true;
}

template <typename T>
bool ChunkReader::readScalar(const Chunk& chunk, T& value) const
{
    if (!chunk.complete() || chunk.size < sizeof(T))
        return false;
    value = loadLittleEndian<T>(file_.data() + chunk.start);
    return true;
}

bool ChunkReader::readBool(const Chunk& chunk, bool& value) const
{
    std::uint8_t byte = 0;
    if (!readScalar(chunk, byte))
        return false;
    value = byte != 0;
    return true;
}

bool ChunkReader::readInt(const Chunk& chunk, std::int32_t& value) const
{
    return readScalar(chunk, value);
}

bool ChunkReader::readFloat(const Chunk& chunk, float& value) const
{
    return readScalar(chunk, value);
}

bool ChunkReader::readText(const Chunk& chunk, std::string_view& text) const
{
    if (!chunk.complete())
        return false;
    const char* begin = reinterpret_cast<const char*>(file_.data() + chunk.start);
    const std::string_view content(begin, static_cast<std::size_t>(chunk.size));
    text = content.substr(0, content.find('\0'));
    return true;
}

bool ChunkReader::readBlock(const Chunk& chunk, std::span<const unsigned char>& bytes) const
{
    if (!chunk.complete())
        return false;
    bytes = file_.subspan(static_cast<std::size_t>(chunk.start), static_cast<std::size_t>(chunk.size));
    return true;
}

bool ChunkReader::readTrailer() const
{
    if (!root_.complete())
        return false;
    const std::uint64_t at = root_.start + root_.size;
    return file_.size() - at >= chunkfile::TrailerSize &&
           std::memcmp(file_.data() + at, chunkfile::Magic, sizeof chunkfile::Magic) == 0;
}

} // namespace morvex::docs3dp

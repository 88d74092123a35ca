#include "common/test_support.h"
#include "formats/docs3dp/chunk_reader.h"
#include "formats/docs3dp/chunk_writer.h"
#include "formats/docs3dp/test_helpers.h"

#include <cstring>
#include <functional>
#include <vector>

using namespace morvex;
using namespace morvex::docs3dp;
using namespace morvex::testing;

namespace {

// Writes a chunked file with `body` between the header and the trailer.
std::string writeChunked(const std::filesystem::path& path, const std::function<void(docs3dp::ChunkWriter&)>& body)
{
    AtomicFileWriter file;
    EXPECT_EQ(file.open(path), OperationResult::Success);
    docs3dp::ChunkWriter chunks(file);
    chunks.writeHeader(1);
    chunks.beginGroup(0);
    body(chunks);
    EXPECT_TRUE(chunks.endGroup());
    EXPECT_TRUE(chunks.writeTrailer());
    EXPECT_EQ(file.commit(), OperationResult::Success);
    return readFile(path);
}

std::vector<std::uint16_t> childIds(const ChunkReader& reader, const Chunk& group)
{
    std::vector<std::uint16_t> ids;
    docs3dp::ChunkIterator children = reader.children(group);
    docs3dp::Chunk child;
    while (children.next(child))
        ids.push_back(child.id);
    return ids;
}

} // namespace

TEST(ChunkWriter, WritesEveryKindOfChunkExactly)
{
    TempDir dir;
    const std::string written = writeChunked(dir / "all.bin", [](ChunkWriter& chunks) {
        chunks.writeBool(0x11, true);
        chunks.writeInt(0x12, -2);
        chunks.writeFloat(0x13, 1.5f);
        chunks.writeText(0x14, "ab");
        chunks.beginGroup(0x15);
        const char raw[3] = {'\x01', '\x02', '\x03'};
        chunks.writeBlock(0x16, raw, sizeof raw);
        chunks.endGroup();
        chunks.beginBlock(0x17);
        chunks.appendToBlock("xy", 2);
        std::memcpy(chunks.blockSpace(1), "z", 1);
        chunks.blockAdvance(1);
        chunks.endBlock();
    });

    const std::string group = chunkHeader(0x16, ChunkType::Block, 3) + "\x01\x02\x03";
    const std::string content =
        chunkHeader(0x11, ChunkType::Boolean, 1) + '\x01' + chunkHeader(0x12, ChunkType::Integer, 4) +
        littleEndian<std::int32_t>(-2) + chunkHeader(0x13, ChunkType::Float, 4) + littleEndian(1.5f) +
        chunkHeader(0x14, ChunkType::Text, 3) + std::string("ab\0", 3) +
        chunkHeader(0x15, ChunkType::Group, group.size()) + group + chunkHeader(0x17, ChunkType::Block, 3) + "xyz";
    const std::string expected = chunkedFile(content);
    EXPECT_EQ(written, expected);
}

TEST(ChunkWriter, PatchesSizesOfChunksAlreadyFlushedToDisk)
{
    // Groups and a streamed block larger than the output buffer, so their
    // size fields are on disk when they end.
    TempDir dir;
    std::vector<unsigned char> big(3 * AtomicFileWriter::BufferSize + 7);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 31);
    const std::string written = writeChunked(dir / "big.bin", [&](ChunkWriter& chunks) {
        chunks.beginGroup(0x100);
        chunks.writeBlock(0x101, big.data(), big.size());
        chunks.beginGroup(0x102);
        chunks.beginBlock(0x103);
        for (std::size_t at = 0; at < big.size(); at += 1000)
            chunks.appendToBlock(big.data() + at, std::min<std::size_t>(1000, big.size() - at));
        chunks.endBlock();
        chunks.endGroup();
        chunks.endGroup();
        chunks.writeInt(0x104, 9);
    });

    docs3dp::ChunkReader reader(bytesOf(written));
    ASSERT_TRUE(reader.readHeader());
    EXPECT_TRUE(reader.readTrailer());
    EXPECT_EQ(reader.root().size, written.size() - 12 - 12 - 4);
    EXPECT_EQ(childIds(reader, reader.root()), (std::vector<std::uint16_t>{0x100, 0x104}));

    docs3dp::ChunkIterator top = reader.children(reader.root());
    docs3dp::Chunk outer;
    ASSERT_TRUE(top.next(outer));
    docs3dp::ChunkIterator inner = reader.children(outer);
    docs3dp::Chunk block, group, streamed;
    ASSERT_TRUE(inner.next(block));
    ASSERT_TRUE(inner.next(group));
    EXPECT_FALSE(inner.next(streamed));
    std::span<const unsigned char> content;
    ASSERT_TRUE(reader.readBlock(block, content));
    EXPECT_TRUE(std::equal(content.begin(), content.end(), big.begin(), big.end()));
    docs3dp::ChunkIterator nested = reader.children(group);
    ASSERT_TRUE(nested.next(streamed));
    ASSERT_TRUE(reader.readBlock(streamed, content));
    EXPECT_TRUE(std::equal(content.begin(), content.end(), big.begin(), big.end()));
    docs3dp::Chunk last;
    ASSERT_TRUE(top.next(last));
    std::int32_t value = 0;
    EXPECT_TRUE(reader.readInt(last, value));
    EXPECT_EQ(value, 9);
}

TEST(ChunkWriter, StopsAtTheFirstMisuse)
{
    struct Case {
        const char* name;
        std::function<void(docs3dp::ChunkWriter&)> misuse;
    };
    const Case cases[] = {
        {"end without an open group",
         [](ChunkWriter& c) {
             c.endGroup();
             c.endGroup();
         }},
        {"chunk inside a block",
         [](ChunkWriter& c) {
             c.beginBlock(1);
             c.writeInt(2, 0);
         }},
        {"block ended as a group",
         [](ChunkWriter& c) {
             c.beginBlock(1);
             c.endGroup();
         }},
        {"group ended as a block",
         [](ChunkWriter& c) {
             c.beginGroup(1);
             c.endBlock();
         }},
        {"append outside a block", [](ChunkWriter& c) { c.appendToBlock("x", 1); }},
        {"trailer with a group open",
         [](ChunkWriter& c) {
             c.beginGroup(1);
             c.writeTrailer();
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TempDir dir;
        AtomicFileWriter file;
        ASSERT_EQ(file.open(dir / "out.bin"), OperationResult::Success);
        docs3dp::ChunkWriter chunks(file);
        chunks.writeHeader(1);
        chunks.beginGroup(0);
        test.misuse(chunks);
        EXPECT_FALSE(chunks.ok());
        const std::uint64_t stopped = file.position();
        chunks.writeInt(3, 1);
        chunks.writeText(4, "later");
        chunks.beginGroup(5);
        EXPECT_EQ(file.position(), stopped);
        EXPECT_FALSE(chunks.endGroup());
        EXPECT_FALSE(chunks.writeTrailer());
    }
}

TEST(ChunkWriter, ReportsAFailedWriteAtTheEnd)
{
    // A file size limit makes the writes fail as a full disk would.
    TempDir dir;
    AtomicFileWriter file;
    ASSERT_EQ(file.open(dir / "full.bin"), OperationResult::Success);
    FileSizeLimit limit(1 << 20);
    ASSERT_TRUE(limit.active());
    docs3dp::ChunkWriter chunks(file);
    chunks.writeHeader(1);
    chunks.beginGroup(0);
    const std::vector<char> block(3 << 20, 'x');
    chunks.writeBlock(1, block.data(), block.size());
    EXPECT_FALSE(chunks.endGroup());
    EXPECT_FALSE(chunks.writeTrailer());
    Failure failure;
    EXPECT_EQ(file.commit(&failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("write failed"), std::string::npos) << describeFailure(failure);
    EXPECT_FALSE(std::filesystem::exists(dir / "full.bin"));
}

TEST(ChunkReader, ChecksTheFileHeaderAndTheRoot)
{
    const std::string root = chunkHeader(0, ChunkType::Group, 0);
    struct Case {
        const char* name;
        std::string bytes;
        bool readable;
    };
    const Case cases[] = {
        {"valid", fileHeader() + root + "lsdf", true},
        {"valid without trailer", fileHeader() + root, true},
        {"empty file", "", false},
        {"header only", fileHeader(), false},
        {"root header cut short", fileHeader() + root.substr(0, 11), false},
        {"wrong magic", "lsdg" + fileHeader().substr(4) + root, false},
        {"first value not 1", "lsdf" + littleEndian<std::uint16_t>(2) + fileHeader().substr(6) + root, false},
        {"second value not 32",
         fileHeader().substr(0, 6) + littleEndian<std::uint32_t>(64) + littleEndian<std::uint16_t>(1) + root, false},
        {"root id not 0", fileHeader() + chunkHeader(1, ChunkType::Group, 0), false},
        {"root not a group", fileHeader() + chunkHeader(0, ChunkType::Block, 0), false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        docs3dp::ChunkReader reader(bytesOf(test.bytes));
        EXPECT_EQ(reader.readHeader(), test.readable);
    }

    const std::string versioned = fileHeader(7) + root;
    docs3dp::ChunkReader reader(bytesOf(versioned));
    ASSERT_TRUE(reader.readHeader());
    EXPECT_EQ(reader.version(), 7);
}

TEST(ChunkReader, WalksChildrenBySizeAndStopsAtDamage)
{
    const std::string text = chunkHeader(0x20, ChunkType::Text, 3) + "abc"; // no zero byte
    const std::string shortInt = chunkHeader(0x21, ChunkType::Integer, 2) + "\x01\x02";
    const std::string skipped = chunkHeader(0x22, ChunkType::Group, 12) + chunkHeader(0x23, ChunkType::Block, 0);
    const std::string overlong = chunkHeader(0x24, ChunkType::Block, 100) + "tail";
    const std::string content = text + shortInt + skipped + overlong;
    // The root claims more than the file holds: it is cut to the file.
    const std::string bytes = fileHeader() + chunkHeader(0, ChunkType::Group, content.size() + 1000) + content;

    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    EXPECT_FALSE(reader.root().complete());
    EXPECT_FALSE(reader.readTrailer());

    docs3dp::ChunkIterator children = reader.children(reader.root());
    docs3dp::Chunk chunk;
    ASSERT_TRUE(children.next(chunk));
    std::string_view value;
    ASSERT_TRUE(reader.readText(chunk, value));
    EXPECT_EQ(value, "abc");

    ASSERT_TRUE(children.next(chunk));
    std::int32_t number = 5;
    EXPECT_FALSE(reader.readInt(chunk, number));
    EXPECT_EQ(number, 5);

    ASSERT_TRUE(children.next(chunk));
    EXPECT_EQ(chunk.id, 0x22);

    ASSERT_TRUE(children.next(chunk));
    EXPECT_EQ(chunk.id, 0x24);
    EXPECT_EQ(chunk.available, 4u);
    std::span<const unsigned char> block;
    EXPECT_FALSE(reader.readBlock(chunk, block));
    EXPECT_FALSE(children.next(chunk));
    EXPECT_EQ(children.position(), bytes.size());
}

TEST(ChunkReader, ChildrenNeverReachPastTheirParent)
{
    // The inner group claims a child that runs into the outer group's
    // sibling; the walk of the inner group ends at the inner group's end.
    const std::string sibling = chunkHeader(0x31, ChunkType::Integer, 4) + littleEndian<std::int32_t>(77);
    const std::string inner = chunkHeader(0x32, ChunkType::Block, 4 + sibling.size()) + "data";
    const std::string content = chunkHeader(0x30, ChunkType::Group, inner.size()) + inner + sibling;
    const std::string bytes = chunkedFile(content);

    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    EXPECT_TRUE(reader.readTrailer());
    docs3dp::ChunkIterator top = reader.children(reader.root());
    docs3dp::Chunk group;
    ASSERT_TRUE(top.next(group));
    docs3dp::ChunkIterator children = reader.children(group);
    docs3dp::Chunk child;
    ASSERT_TRUE(children.next(child));
    EXPECT_EQ(child.available, 4u);
    EXPECT_FALSE(child.complete());
    EXPECT_FALSE(children.next(child));
    docs3dp::Chunk after;
    ASSERT_TRUE(top.next(after));
    std::int32_t value = 0;
    EXPECT_TRUE(reader.readInt(after, value));
    EXPECT_EQ(value, 77);
}

TEST(ChunkReader, TreatsGroupsNestedTooDeeplyAsEmpty)
{
    constexpr int Levels = 5000;
    std::string content;
    for (int level = 0; level < Levels; ++level)
        content = chunkHeader(0x40, ChunkType::Group, content.size()) + content;
    const std::string bytes = chunkedFile(content);

    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    std::uint32_t deepest = 0;
    docs3dp::Chunk group = reader.root();
    for (;;) {
        docs3dp::ChunkIterator children = reader.children(group);
        if (!children.next(group))
            break;
        deepest = group.depth;
    }
    EXPECT_EQ(deepest, ChunkReader::MaxDepth);
}

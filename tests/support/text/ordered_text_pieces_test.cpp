#include "support/text/ordered_text_pieces.h"

#include "common/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace morvex {
namespace {

using testing::readFile;
using testing::TempDir;

constexpr std::uint64_t Lines = 10'000;

// Line n is "n" followed by n % 13 dots, so pieces differ in size.
void formatLines(std::uint64_t begin, std::uint64_t end, TextPiece& text)
{
    for (std::uint64_t n = begin; n < end; ++n) {
        text.append(std::to_string(n));
        text.append(std::string(n % 13, '.'));
        text.append("\n");
    }
}

std::string expectedLines()
{
    TextPiece all;
    formatLines(0, Lines, all);
    return std::string(all.text());
}

// Every thread count and piece size gives the lines in order; the progress
// calls come on the calling thread, one per piece, counting up to the end.
TEST(OrderedTextWriter, PiecesAreWrittenInOrderOnAnyThreadCount)
{
    TempDir dir;
    const std::string expected = expectedLines();
    OrderedTextWriter writer; // its buffers reused from write to write
    for (const unsigned threads : {1u, 2u, 3u, 5u})
        for (const std::uint64_t perPiece : {std::uint64_t{1}, std::uint64_t{37}, Lines, 2 * Lines}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, pieces of " + std::to_string(perPiece));
            AtomicFileWriter out;
            ASSERT_EQ(out.open(dir / "lines.txt"), OperationResult::Success);
            std::vector<std::uint64_t> done;
            bool elsewhere = false;
            const auto caller = std::this_thread::get_id();
            const auto written = [&](std::uint64_t count) {
                elsewhere |= std::this_thread::get_id() != caller;
                done.push_back(count);
                return true;
            };
            ASSERT_EQ(writer.write(out, Lines, perPiece, threads, formatLines, written), OperationResult::Success);
            ASSERT_EQ(out.commit(), OperationResult::Success);
            EXPECT_TRUE(readFile(dir / "lines.txt") == expected);
            EXPECT_FALSE(elsewhere);
            ASSERT_EQ(done.size(), (Lines + perPiece - 1) / perPiece);
            EXPECT_EQ(done.back(), Lines);
            EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
        }
}

// A stop asked for after a piece ends the write with no further piece
// written; a piece that runs out of memory, on whichever thread, ends it as
// a failure. Neither leaves a thread waiting.
TEST(OrderedTextWriter, StopsAndMemoryFailuresEndTheWrite)
{
    TempDir dir;
    for (const unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        OrderedTextWriter writer;
        AtomicFileWriter out;
        ASSERT_EQ(out.open(dir / "stopped.txt"), OperationResult::Success);
        unsigned calls = 0;
        EXPECT_EQ(writer.write(out, Lines, 10, threads, formatLines, [&](std::uint64_t) { return ++calls < 3; }),
                  OperationResult::Cancelled);
        EXPECT_EQ(calls, 3u);
        TextPiece firstThree;
        formatLines(0, 30, firstThree);
        EXPECT_EQ(out.position(), firstThree.text().size());

        std::atomic<unsigned> formatted{0};
        const auto failing = [&](std::uint64_t begin, std::uint64_t end, TextPiece& text) {
            if (begin == 500)
                throw std::bad_alloc();
            formatLines(begin, end, text);
            ++formatted;
        };
        Failure failure;
        EXPECT_EQ(writer.write(
                      out, Lines, 10, threads, failing, [](std::uint64_t) { return true; }, &failure),
                  OperationResult::Failure);
        EXPECT_EQ(failure.kind, FailureKind::OutOfMemory);
        EXPECT_LT(formatted.load(), Lines / 10 - 1) << "the pieces after the failure are left alone";
    }
}

} // namespace
} // namespace morvex

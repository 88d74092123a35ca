#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/platform/files.h"
#include "support/platform/stale_temporaries.h"
#include "support/text/json.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace morvex;
using morvex::testing::TempDir;

TEST(ProgressRange, MapsProgressAndStatusLines)
{
    RecordingReporter inner;
    ProgressRange range(inner, 0.5, 0.5);
    range.setProgress(0.5);
    range.setStatusText("phase", 0);
    range.setStatusText("detail", 1);
    range.beginIndeterminate();
    range.postTextMessage("hello");
    ASSERT_EQ(inner.progress.size(), 1u);
    EXPECT_DOUBLE_EQ(inner.progress[0], 0.75);
    ASSERT_EQ(inner.statuses.size(), 2u);
    EXPECT_EQ(inner.statuses[0].line, 1);
    EXPECT_EQ(inner.statuses[1].line, 2) << "a line the inner reporter ignores";
    EXPECT_EQ(inner.indeterminateBegins, 0);
    EXPECT_EQ(inner.messages.at(0), "hello");

    inner.cancelAfterChecks(2);
    EXPECT_FALSE(range.isCancelled());
    EXPECT_TRUE(range.isCancelled());
}

TEST(ProgressReporter, WaitsWakeOnEventsAndStop)
{
    StoppableReporter reporter;
    WaitableEvent event;
    EXPECT_EQ(reporter.waitForHandle(event, 10), WaitResult::TimedOut);

    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.set();
    });
    EXPECT_EQ(reporter.waitForHandle(event, WaitForever), WaitResult::Signalled);
    setter.join();

    WaitableEvent other;
    const WaitableEvent* both[] = {&other, &event};
    int which = -1;
    EXPECT_EQ(reporter.waitForAnyHandle(both, 0, &which), WaitResult::Signalled);
    EXPECT_EQ(which, 1);

    // A stop request ends a long wait at once, not at its time-out.
    event.reset();
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        reporter.requestStop();
    });
    EXPECT_EQ(reporter.waitForHandle(event, 60'000), WaitResult::Stopped);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(reporter.waitForStop(WaitForever));
    EXPECT_TRUE(reporter.isCancelled());
}

TEST(Text, LimitsAndDecoding)
{
    EXPECT_EQ(limitUtf16Units(std::string(300, 'a')).size(), 259u);
    // 129 two-byte characters are 129 units; a character above U+FFFF counts 2.
    std::string emoji;
    for (int i = 0; i < 130; ++i)
        emoji += "\xF0\x9F\x98\x80";
    EXPECT_EQ(limitUtf16Units(emoji).size(), 129u * 4);
    EXPECT_EQ(limitUtf8Bytes("a\xC3\xA9", 2), "a") << "never splits a character";
    EXPECT_TRUE(isValidUtf8("caf\xC3\xA9"));
    EXPECT_FALSE(isValidUtf8("caf\xE9"));
    EXPECT_EQ(sanitizeUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(trimSpaces("  x y  "), "x y");
    EXPECT_EQ(extensionOf("/a.b/c.STL"), ".STL");
    EXPECT_EQ(extensionOf("/a.b/c"), "");
    EXPECT_TRUE(equalsIgnoreCase(".Obj", ".oBJ"));
}

// File names are bytes: JSON carries them back exactly, and the display form
// keeps one name on one line and tells apart names that differ in any byte.
TEST(Text, FileNamesInJsonAndOnScreen)
{
    std::string json;
    appendJsonPath(json, "a\xff\xc3\xa9\n\"\xc3");
    EXPECT_EQ(json, "\"a\\udcffé\\n\\\"\\udcc3\"");
    std::string text;
    appendJsonString(text, "a\xff");
    EXPECT_EQ(text, "\"aÿ\"") << "texts inside files still read as Windows-1252";

    EXPECT_EQ(escapeForDisplay("dir/a\nb\tc.stl"), "dir/a\\nb\\tc.stl");
    EXPECT_EQ(escapeForDisplay("\xff\x01é"), "\\xff\\x01é");
    EXPECT_NE(escapeForDisplay("a\xff"), escapeForDisplay("aÿ"));
}

TEST(Numbers, FormatAndParse)
{
    char text[MaxNumberChars];
    auto format3 = [&](double value) { return std::string(text, formatExponent3(text, value)); };
    EXPECT_EQ(format3(1.0), "1.000000e+000");
    EXPECT_EQ(format3(-0.000123), "-1.230000e-004");
    EXPECT_EQ(format3(1e300), "1.000000e+300");
    EXPECT_EQ(std::string(text, formatFixed(text, 0.5, 3)), "0.500");
    EXPECT_EQ(std::string(text, formatFloatShortest(text, 0.1f)), "0.1");
    // Decimal counts: every length and its edges, and a spread between.
    std::vector<std::uint32_t> counts = {0, UINT32_MAX};
    for (std::uint64_t power = 1; power <= 1'000'000'000; power *= 10)
        counts.insert(counts.end(), {static_cast<std::uint32_t>(power - 1), static_cast<std::uint32_t>(power),
                                     static_cast<std::uint32_t>(power + 1)});
    for (std::uint32_t n = 1; n < 100'000; ++n)
        counts.push_back(n * 42'949u + n % 7);
    for (const std::uint32_t count : counts) {
        char expected[16];
        const std::string_view wanted(
            expected, static_cast<std::size_t>(std::to_chars(expected, expected + 16, count).ptr - expected));
        ASSERT_EQ(std::string_view(text, static_cast<std::size_t>(appendDecimal(text, count) - text)), wanted);
    }

    const auto parse = [](std::string_view token, float& value) {
        const char* cursor = token.data();
        return parseFloat(cursor, token.data() + token.size(), value) && cursor == token.data() + token.size();
    };
    float value = 0;
    EXPECT_TRUE(parse("+1.5", value));
    EXPECT_EQ(value, 1.5f);
    EXPECT_TRUE(parse("-2e3", value));
    EXPECT_EQ(value, -2000.0f);
    EXPECT_TRUE(parse("1e99", value));
    EXPECT_TRUE(std::isinf(value));
    EXPECT_FALSE(parse("+-1", value));
    EXPECT_FALSE(parse("blah", value));
}

TEST(Files, AtomicWriterAndMappedFile)
{
    TempDir dir;
    const auto target = dir / "out.bin";
    {
        AtomicFileWriter writer;
        ASSERT_EQ(writer.open(target), OperationResult::Success);
        writer.write("abandoned");
    } // never committed: nothing at the output name, no temporary left
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    morvex::testing::writeFile(target, "old");
    AtomicFileWriter writer;
    ASSERT_EQ(writer.open(target), OperationResult::Success);
    // Small writes around a block larger than the buffer, which bypasses
    // it, and a patch into the block once it is on disk.
    std::string big(3 * AtomicFileWriter::BufferSize + 17, 'x');
    for (std::size_t i = 0; i < big.size(); i += 4099)
        big[i] = static_cast<char>('a' + i % 26);
    writer.write("head");
    writer.write(big);
    writer.writeLittleEndian<std::uint32_t>(0x01020304);
    writer.patch(4 + AtomicFileWriter::BufferSize, "PATCH", 5);
    EXPECT_EQ(writer.position(), 4 + big.size() + 4);
    EXPECT_EQ(morvex::testing::readFile(target), "old") << "the old file stays until commit";
    ASSERT_EQ(writer.commit(), OperationResult::Success);
    big.replace(AtomicFileWriter::BufferSize, 5, "PATCH");
    EXPECT_TRUE(morvex::testing::readFile(target) == "head" + big + std::string("\x04\x03\x02\x01", 4));

    MappedFile mapped;
    ASSERT_EQ(mapped.open(target), OperationResult::Success);
    ASSERT_EQ(mapped.size(), 4 + big.size() + 4);
    EXPECT_EQ(mapped.bytes()[4 + big.size()], 0x04);

    Failure failure;
    EXPECT_EQ(mapped.open(dir.path(), &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "is a directory");
    failure = {};
    EXPECT_EQ(mapped.open(dir / "missing", &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("No such file"), std::string::npos);

    AtomicFileWriter nowhere;
    EXPECT_EQ(nowhere.open(dir / "no-folder" / "x.stl"), OperationResult::Failure);
}

TEST(Files, SmallFilesAreReadAndLargeOnesMappedWithTheSameBytes)
{
    TempDir dir;
    for (const std::size_t size : {std::size_t{1}, std::size_t{70'001}, std::size_t{17} << 20}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>((i * 131) >> 3);
        const auto path = dir / ("file-" + std::to_string(size));
        morvex::testing::writeFile(path, content);
        MappedFile file;
        ASSERT_EQ(file.open(path), OperationResult::Success) << size;
        ASSERT_EQ(file.size(), size);
        EXPECT_TRUE(file.view() == content) << size;
        // Reopening one object on another file releases the first.
        ASSERT_EQ(file.open(dir / "file-1"), OperationResult::Success);
        EXPECT_EQ(file.size(), 1u);
    }
}

namespace {

// Kilobytes of file pages the process holds, as the kernel counts them.
long residentFileKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("RssFile:"))
            return std::stol(line.substr(8));
    return -1;
}

} // namespace

// A reader that has passed the pages of a large mapped file gives them back:
// they leave the process's memory, and the bytes read the same afterwards.
TEST(Files, PassedPagesOfAMappedFileAreGivenBack)
{
    TempDir dir;
    const std::size_t size = std::size_t{48} << 20;
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        content[i] = static_cast<char>((i * 131) >> 3);
    morvex::testing::writeFile(dir / "large", content);
    MappedFile file;
    ASSERT_EQ(file.open(dir / "large"), OperationResult::Success);
    ASSERT_TRUE(file.view() == content); // every page touched
    const long before = residentFileKilobytes();
    file.releaseBefore(std::uint64_t{40} << 20);
    const long after = residentFileKilobytes();
    ASSERT_GE(before, 0);
    EXPECT_GE(before - after, 32l << 10) << "RssFile went from " << before << " kB to " << after << " kB";
    EXPECT_TRUE(file.view() == content);

    // A small step gives nothing back yet; a file read into memory ignores it.
    file.releaseBefore((std::uint64_t{40} << 20) + 4096);
    EXPECT_TRUE(file.view() == content);
    morvex::testing::writeFile(dir / "small", "small");
    ASSERT_EQ(file.open(dir / "small"), OperationResult::Success);
    file.releaseBefore(std::uint64_t{64} << 20);
    EXPECT_EQ(file.view(), "small");
}

namespace {

// The id of a process that has ended and been reaped.
pid_t deadProcessId()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

} // namespace

// A run that was killed leaves its temporaries; the next run in the folder
// removes those of dead owners and nothing else.
TEST(StaleTemporaries, OnlyThoseOfGoneOwnersAreRemoved)
{
    morvex::testing::TempDir dir;
    const std::string dead = std::to_string(deadProcessId());
    const std::string alive = std::to_string(::getpid());
    const std::vector<std::string> stale = {".a.stl." + dead + "-3-0badf00d.part", ".morvex-" + dead + "-Ab12Cd",
                                            "Morvex-" + dead + "-7"};
    const std::vector<std::string> kept = {".a.stl." + alive + "-3-0badf00d.part",
                                           ".morvex-" + alive + "-Ab12Cd",
                                           ".a.stl." + dead + "-3-0badf00.part", // not eight hex digits
                                           "a.stl." + dead + ".part",
                                           ".morvex-" + dead + "-toolong",
                                           "Morvex-" + dead + "-x",
                                           "Morvex-notes.txt",
                                           "a.stl"};
    for (const std::string& name : stale)
        morvex::testing::writeFile(dir / name, "x");
    std::filesystem::create_directory(dir / ("Morvex-" + dead + "-8"));
    morvex::testing::writeFile(dir / ("Morvex-" + dead + "-8") / "inner", "x");
    for (const std::string& name : kept)
        morvex::testing::writeFile(dir / name, "x");

    EXPECT_EQ(removeStaleTemporaries(dir.path()), stale.size() + 1);
    for (const std::string& name : stale)
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
    EXPECT_FALSE(std::filesystem::exists(dir / ("Morvex-" + dead + "-8")));
    for (const std::string& name : kept)
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    EXPECT_EQ(ownerOfTemporary(partFileName("b.ply", 1, 0xabcdef01u)), ::getpid());
    EXPECT_EQ(ownerOfTemporary(stagingFolderPrefix() + "XXXXXX"), ::getpid());
}

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/zip/zip_component.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <cstdint>
#include <map>
#include <string>

using namespace morvex;
using morvex::testing::readFile;
using morvex::testing::runCommand;
using morvex::testing::shellQuote;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

constexpr std::size_t PieceBytes = 64 * 1024;

// Text like a model part: repetitive, with numbers that vary.
std::string modelLikeText(std::size_t bytes)
{
    std::string text;
    text.reserve(bytes + 64);
    for (std::uint32_t i = 0; text.size() < bytes; ++i)
        text += "<vertex x=\"" + std::to_string(i * 37 % 1000) + ".25\" y=\"" + std::to_string(i % 977) + "\"/>\n";
    text.resize(bytes);
    return text;
}

// Bytes deflate cannot shrink: the stored blocks path of each piece.
std::string noiseBytes(std::size_t bytes)
{
    std::string noise(bytes, '\0');
    std::uint64_t state = 88172645463325252ull;
    for (char& byte : noise) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state >> 56);
    }
    return noise;
}

DeflateSplit smallPieces(unsigned threads)
{
    DeflateSplit split;
    split.threads = threads;
    split.minimumFileBytes = 2 * PieceBytes;
    split.pieceBytes = PieceBytes;
    return split;
}

std::uint16_t compressionMethod(const std::filesystem::path& archive, const std::string& name)
{
    int code = 0;
    zip_t* raw = zip_open(archive.c_str(), ZIP_RDONLY, &code);
    EXPECT_NE(raw, nullptr);
    if (raw == nullptr)
        return 0xFFFF;
    zip_stat_t stat;
    zip_stat_init(&stat);
    EXPECT_EQ(zip_stat(raw, name.c_str(), 0, &stat), 0) << name;
    zip_discard(raw);
    return stat.comp_method;
}

} // namespace

// Files cut into pieces come out as ordinary deflate entries that libzip,
// Python's zipfile and unzip all read back exactly, whatever the file's size
// against the pieces: one piece and a bit, whole pieces, an odd tail,
// incompressible bytes. The bytes do not depend on the number of threads.
TEST(ParallelDeflate, PiecesJoinIntoOneEntryEveryZipReaderOpens)
{
    TempDir temp;
    const std::filesystem::path folder = temp / "package";
    std::filesystem::create_directories(folder / "3D");
    const std::map<std::string, std::string> files = {
        {"3D/3dmodel.model", modelLikeText(7 * PieceBytes + 12345)},
        {"3D/whole.model", modelLikeText(4 * PieceBytes)},
        {"3D/noise.bin", noiseBytes(3 * PieceBytes + 1)},
        {"3D/two.model", modelLikeText(PieceBytes + 1 + 2 * PieceBytes)},
        {"small.xml", modelLikeText(PieceBytes)},
        {"_rels/.rels", "<Relationships/>"},
    };
    std::filesystem::create_directories(folder / "_rels");
    for (const auto& [name, data] : files)
        writeFile(folder / name, data);

    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(zipFolder(temp / "today.zip", folder, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    ASSERT_EQ(zipFolder(temp / "one.zip", folder, reporter, &failure, smallPieces(1)), OperationResult::Success)
        << describeFailure(failure);

    std::vector<ZipEntryInfo> wholeEntries;
    ASSERT_EQ(listZipEntries(temp / "today.zip", wholeEntries, reporter, &failure), OperationResult::Success);
    ASSERT_EQ(wholeEntries[0].name, "3D/3dmodel.model");
    for (const unsigned threads : {2u, 3u}) {
        const std::filesystem::path archive = temp / ("threads" + std::to_string(threads) + ".zip");
        RecordingReporter pieced;
        ASSERT_EQ(zipFolder(archive, folder, pieced, &failure, smallPieces(threads)), OperationResult::Success)
            << describeFailure(failure);
        EXPECT_NE(readFile(archive), readFile(temp / "today.zip")) << "large files went through the pieces";
        EXPECT_TRUE(readFile(archive) == readFile(temp / "one.zip")) << "the bytes of one thread";
        ASSERT_FALSE(pieced.progress.empty());
        EXPECT_TRUE(std::is_sorted(pieced.progress.begin(), pieced.progress.end())) << "progress never goes back";

        std::vector<ZipEntryInfo> entries;
        ASSERT_EQ(listZipEntries(archive, entries, reporter, &failure), OperationResult::Success);
        ASSERT_EQ(entries.size(), files.size());
        const std::filesystem::path out = temp / ("out" + std::to_string(threads));
        for (const ZipEntryInfo& entry : entries) {
            const std::string& expected = files.at(entry.name);
            EXPECT_EQ(entry.size, expected.size()) << entry.name;
            EXPECT_EQ(compressionMethod(archive, entry.name), ZIP_CM_DEFLATE) << entry.name;
            ASSERT_EQ(extractZipEntry(archive, entry.name, out, reporter, 1u << 30, &failure), OperationResult::Success)
                << entry.name << ": " << describeFailure(failure);
            EXPECT_TRUE(readFile(out / entry.name) == expected) << entry.name << " reads back different";
        }
        const ZipEntryInfo& model = entries[0];
        ASSERT_EQ(model.name, "3D/3dmodel.model");
        // Unprimed pieces would cost a fifth more here: each piece's matches
        // reach back into the one before.
        EXPECT_LT(model.compressedSize, wholeEntries[0].compressedSize * 21 / 20);

        std::string output;
        EXPECT_EQ(runCommand("unzip -tq " + shellQuote(archive.string()) + " 2>&1", &output), 0) << output;
        const std::string python = "import sys, zipfile\n"
                                   "z = zipfile.ZipFile(sys.argv[1])\n"
                                   "assert z.testzip() is None\n"
                                   "for name in sys.argv[2:]:\n"
                                   "    open(sys.argv[1] + '.' + name.replace('/', '_'), 'wb').write(z.read(name))\n";
        writeFile(temp / "check.py", python);
        ASSERT_EQ(runCommand("python3 " + shellQuote((temp / "check.py").string()) + " " +
                                 shellQuote(archive.string()) + " 3D/3dmodel.model 3D/noise.bin 2>&1",
                             &output),
                  0)
            << output;
        EXPECT_TRUE(readFile(archive.string() + ".3D_3dmodel.model") == files.at("3D/3dmodel.model"));
        EXPECT_TRUE(readFile(archive.string() + ".3D_noise.bin") == files.at("3D/noise.bin"));
    }
}

// A stop while the pieces are compressed cancels before the archive is
// opened: the earlier archive stays and nothing is left beside it.
TEST(ParallelDeflate, StopWhileCompressingLeavesTheOldArchive)
{
    TempDir temp;
    std::filesystem::create_directories(temp / "package");
    writeFile(temp / "package" / "big.model", modelLikeText(20 * PieceBytes));
    const std::filesystem::path archive = temp / "out.zip";
    writeFile(archive, "previous");
    for (const std::uint64_t checks : {1u, 3u, 6u}) {
        RecordingReporter stopping;
        stopping.cancelAfterChecks(checks);
        Failure failure;
        EXPECT_EQ(zipFolder(archive, temp / "package", stopping, &failure, smallPieces(2)), OperationResult::Cancelled)
            << "after " << checks << " checks: " << describeFailure(failure);
        EXPECT_EQ(readFile(archive), "previous");
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(temp.path()))
            left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"out.zip", "package"}));
    }
}

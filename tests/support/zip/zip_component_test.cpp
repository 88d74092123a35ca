#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "support/platform/scratch_folder.h"
#include "support/zip/zip_component.h"

#include <gtest/gtest.h>

#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <thread>
#include <tuple>

using namespace morvex;
using morvex::testing::buildZipArchive;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::writeFile;
using morvex::testing::ZipTestEntry;

namespace {

// A sparse file of zeros: large on paper, nothing on disk.
void makeZeroFile(const std::filesystem::path& path, off_t size)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(ftruncate(descriptor, size), 0);
    ::close(descriptor);
}

std::vector<std::string> filesUnder(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (!entry.is_directory())
            names.push_back(entry.path().lexically_relative(folder).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

// Rewrites every size field of the entries in the archive's local and
// central headers to `size`, leaving the compressed data alone.
void forgeUncompressedSize(const std::filesystem::path& path, std::uint32_t size)
{
    std::string bytes = readFile(path);
    for (std::size_t at = 0; at + 46 <= bytes.size(); ++at) {
        if (bytes.compare(at, 4, "PK\x03\x04") == 0)
            std::memcpy(&bytes[at + 22], &size, 4);
        else if (bytes.compare(at, 4, "PK\x01\x02") == 0)
            std::memcpy(&bytes[at + 24], &size, 4);
    }
    writeFile(path, bytes);
}

} // namespace

TEST(ZipComponent, ArchivesAFolderAndExtractsItBack)
{
    TempDir temp;
    const std::filesystem::path source = temp / "source";
    std::filesystem::create_directories(source / "3D" / "deep");
    std::filesystem::create_directories(source / "_rels");
    std::filesystem::create_directories(source / "empty folder");
    const std::map<std::string, std::string> files = {
        {"[Content_Types].xml", "<Types/>\r\n"},
        {"_rels/.rels", "<Relationships/>"},
        {"3D/3dmodel.model", std::string(300000, 'x') + "<model/>"},
        {"3D/deep/gr\xc3\xbc\xc3\x9f.txt", "non-ASCII name"},
        {"empty.bin", ""},
    };
    for (const auto& [name, data] : files)
        writeFile(source / name, data);
    std::filesystem::create_symlink("/etc/passwd", source / "link");

    RecordingReporter reporter;
    Failure failure;
    const std::filesystem::path archive = temp / "out.zip";
    ASSERT_EQ(zipFolder(archive, source, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_FALSE(reporter.progress.empty());

    std::vector<ZipEntryInfo> entries;
    ASSERT_EQ(listZipEntries(archive, entries, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    ASSERT_EQ(entries.size(), files.size()) << "only regular files; the link is not followed";
    auto expected = files.begin();
    for (const ZipEntryInfo& entry : entries) {
        EXPECT_EQ(entry.name, expected->first) << "sorted relative names with '/'";
        EXPECT_EQ(entry.size, expected->second.size());
        EXPECT_FALSE(entry.encrypted);
        ++expected;
    }
    EXPECT_LT(entries[0].compressedSize, 5000u) << "the repetitive model part is deflated";

    int code = 0;
    zip_t* raw = zip_open(archive.c_str(), ZIP_RDONLY, &code);
    ASSERT_NE(raw, nullptr);
    zip_stat_t stat;
    ASSERT_EQ(zip_stat(raw, "3D/3dmodel.model", 0, &stat), 0);
    EXPECT_EQ(stat.comp_method, ZIP_CM_DEFLATE);
    zip_discard(raw);

    const std::filesystem::path target = temp / "new" / "target";
    for (const auto& [name, data] : files) {
        ASSERT_EQ(extractZipEntry(archive, name, target, reporter, 1 << 20, &failure), OperationResult::Success)
            << name << ": " << describeFailure(failure);
        EXPECT_EQ(readFile(target / name), data) << name;
    }
    EXPECT_EQ(filesUnder(target).size(), files.size()) << "no temporary files left behind";
}

TEST(ZipComponent, FindsPartNamesRegardlessOfCaseAndSlashDirection)
{
    TempDir temp;
    const std::filesystem::path archive = temp / "a.zip";
    buildZipArchive(archive, {{"3D\\3DModel.model", "model"}, {"_rels/.rels", "rels"}});
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(extractZipEntry(archive, "3D/3dmodel.model", temp / "out", reporter, 100, &failure),
              OperationResult::Success)
        << describeFailure(failure);
    EXPECT_EQ(readFile(temp / "out" / "3D" / "3dmodel.model"), "model");
    EXPECT_EQ(extractZipEntry(archive, "3D/other.model", temp / "out", reporter, 100, &failure),
              OperationResult::Failure);
    EXPECT_EQ(failure.message, "entry not found in the archive");
}

TEST(ZipComponent, EntryNamesNeverReachOutsideTheFolder)
{
    const std::vector<std::string> hostile = {
        "../../x", "/etc/x", "a/../../x", "..", "C:/x", "c:x", "..\\..\\x", "\\x", "dir/", "./../x", "",
    };
    TempDir temp;
    const std::filesystem::path archive = temp / "hostile.zip";
    std::vector<ZipTestEntry> entries;
    for (const std::string& name : hostile)
        if (!name.empty())
            entries.push_back({name, "payload"});
    buildZipArchive(archive, entries);

    const std::filesystem::path target = temp / "a" / "b" / "target";
    RecordingReporter reporter;
    for (const std::string& name : hostile) {
        Failure failure;
        EXPECT_EQ(extractZipEntry(archive, name, target, reporter, 1 << 20, &failure), OperationResult::Failure)
            << name;
        EXPECT_EQ(failure.message, "unsafe entry name") << name;
    }
    EXPECT_EQ(filesUnder(temp.path()), std::vector<std::string>{"hostile.zip"});

    // A link planted inside the folder does not lead writes out of it.
    std::filesystem::create_directories(target);
    std::filesystem::create_directories(temp / "elsewhere");
    std::filesystem::create_directory_symlink(temp / "elsewhere", target / "sub");
    buildZipArchive(archive, {{"sub/x", "payload"}});
    Failure failure;
    EXPECT_EQ(extractZipEntry(archive, "sub/x", target, reporter, 1 << 20, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "unsafe entry name");
    EXPECT_FALSE(std::filesystem::exists(temp / "elsewhere" / "x"));
}

TEST(ZipComponent, OversizedEntriesAreRefusedBeforeTheyAreWritten)
{
    TempDir temp;
    const std::filesystem::path big = temp / "zeros";
    makeZeroFile(big, 64 << 20);
    std::filesystem::create_directories(temp / "bomb");
    std::filesystem::rename(big, temp / "bomb" / "3dmodel.model");
    const std::filesystem::path archive = temp / "bomb.zip";
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(zipFolder(archive, temp / "bomb", reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_LT(std::filesystem::file_size(archive), 1u << 20);

    // Honest size in the directory: refused at once.
    const std::filesystem::path target = temp / "out";
    EXPECT_EQ(extractZipEntry(archive, "3dmodel.model", target, reporter, 1 << 20, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "entry is too large");
    EXPECT_FALSE(std::filesystem::exists(target / "3dmodel.model"));

    // A directory that understates the size: stopped while inflating.
    forgeUncompressedSize(archive, 1000);
    std::vector<ZipEntryInfo> entries;
    ASSERT_EQ(listZipEntries(archive, entries, reporter, &failure), OperationResult::Success);
    ASSERT_EQ(entries.at(0).size, 1000u);
    failure = {};
    EXPECT_EQ(extractZipEntry(archive, "3dmodel.model", target, reporter, 1 << 20, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "entry is too large");
    if (std::filesystem::exists(target)) {
        EXPECT_TRUE(filesUnder(target).empty()) << "nothing left at the name, no temporary file";
    }
}

TEST(ZipComponent, BrokenAndEncryptedArchivesFailCleanly)
{
    TempDir temp;
    RecordingReporter reporter;
    std::vector<ZipEntryInfo> entries;
    Failure failure;

    EXPECT_EQ(listZipEntries(temp / "missing.zip", entries, reporter, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "archive not found");

    writeFile(temp / "text.zip", "solid not a zip\n");
    failure = {};
    EXPECT_EQ(listZipEntries(temp / "text.zip", entries, reporter, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "not a zip archive, or truncated");

    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += std::to_string(i * 7919 % 10007) + " ";
    const std::filesystem::path good = temp / "good.zip";
    buildZipArchive(good, {{"a.txt", payload}, {"b.txt", payload}});
    const std::string bytes = readFile(good);
    for (std::size_t keep : {bytes.size() / 2, bytes.size() - 1, std::size_t{10}}) {
        writeFile(temp / "cut.zip", std::string_view(bytes).substr(0, keep));
        failure = {};
        EXPECT_EQ(listZipEntries(temp / "cut.zip", entries, reporter, &failure), OperationResult::Failure) << keep;
    }

    // Damaged compressed data behind an intact directory.
    std::string damaged = bytes;
    for (std::size_t i = 200; i < 400; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    writeFile(temp / "damaged.zip", damaged);
    failure = {};
    EXPECT_EQ(extractZipEntry(temp / "damaged.zip", "a.txt", temp / "out", reporter, 1 << 20, &failure),
              OperationResult::Failure);
    EXPECT_EQ(failure.message.rfind("the entry is damaged", 0), 0u) << describeFailure(failure);
    EXPECT_FALSE(std::filesystem::exists(temp / "out" / "a.txt"));

    // Intact data whose CRC or size the headers misstate: the first entry's
    // fields, patched alike in its local header and in the directory.
    const std::size_t local = bytes.find("PK\x03\x04");
    const std::size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(local, std::string::npos);
    ASSERT_NE(central, std::string::npos);
    for (const auto& [field, localOffset, centralOffset] :
         {std::tuple{"CRC", 14u, 16u}, std::tuple{"size", 22u, 24u}}) {
        std::string misstated = bytes;
        misstated[local + localOffset] = static_cast<char>(misstated[local + localOffset] ^ 1);
        misstated[central + centralOffset] = static_cast<char>(misstated[central + centralOffset] ^ 1);
        writeFile(temp / "misstated.zip", misstated);
        failure = {};
        EXPECT_EQ(extractZipEntry(temp / "misstated.zip", "a.txt", temp / "out", reporter, 1 << 20, &failure),
                  OperationResult::Failure)
            << field;
        EXPECT_EQ(failure.message.rfind("the entry is damaged", 0), 0u) << field << ": " << describeFailure(failure);
        EXPECT_FALSE(std::filesystem::exists(temp / "out" / "a.txt")) << field;
    }

    for (zip_uint16_t method : {ZIP_EM_TRAD_PKWARE, ZIP_EM_AES_256}) {
        if (!zip_encryption_method_supported(method, 1))
            continue;
        buildZipArchive(temp / "locked.zip", {{"secret.txt", payload, method}});
        ASSERT_EQ(listZipEntries(temp / "locked.zip", entries, reporter, &failure), OperationResult::Success);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].encrypted);
        failure = {};
        EXPECT_EQ(extractZipEntry(temp / "locked.zip", "secret.txt", temp / "out", reporter, 1 << 20, &failure),
                  OperationResult::Failure);
        EXPECT_EQ(failure.message, "entry is encrypted");
        EXPECT_FALSE(std::filesystem::exists(temp / "out" / "secret.txt"));
    }
}

TEST(ZipComponent, ReplacesTheArchiveAndWritesAnEmptyOneForAnEmptyFolder)
{
    TempDir temp;
    RecordingReporter reporter;
    Failure failure;
    const std::filesystem::path archive = temp / "out.zip";
    std::filesystem::create_directories(temp / "one");
    writeFile(temp / "one" / "first.txt", "1");
    std::filesystem::create_directories(temp / "two");
    writeFile(temp / "two" / "second.txt", "2");
    std::filesystem::create_directories(temp / "none");

    writeFile(archive, "an old file that is not a zip archive");
    ASSERT_EQ(zipFolder(archive, temp / "one", reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    ASSERT_EQ(zipFolder(archive, temp / "two", reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    std::vector<ZipEntryInfo> entries;
    ASSERT_EQ(listZipEntries(archive, entries, reporter, &failure), OperationResult::Success);
    ASSERT_EQ(entries.size(), 1u) << "replaced, not updated";
    EXPECT_EQ(entries[0].name, "second.txt");

    ASSERT_EQ(zipFolder(archive, temp / "none", reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_EQ(std::filesystem::file_size(archive), 22u);
    ASSERT_EQ(listZipEntries(archive, entries, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_TRUE(entries.empty());

    failure = {};
    EXPECT_EQ(zipFolder(archive, temp / "missing", reporter, &failure), OperationResult::Failure);
    EXPECT_EQ(std::filesystem::file_size(archive), 22u) << "a failed call leaves the old archive";
}

TEST(ZipComponent, StopRequestsCancelAndLeaveNothingBehind)
{
    TempDir temp;
    std::filesystem::create_directories(temp / "big");
    std::string text;
    for (int i = 0; i < 400000; ++i)
        text += std::to_string(i * 2654435761u) + "\n";
    writeFile(temp / "big" / "data.txt", text);
    const std::filesystem::path archive = temp / "out.zip";
    writeFile(archive, "previous");

    RecordingReporter stopping;
    stopping.cancelAfterChecks(3);
    Failure failure;
    EXPECT_EQ(zipFolder(archive, temp / "big", stopping, &failure), OperationResult::Cancelled)
        << describeFailure(failure);
    EXPECT_EQ(readFile(archive), "previous");
    EXPECT_EQ(filesUnder(temp.path()), (std::vector<std::string>{"big/data.txt", "out.zip"}));

    RecordingReporter reporter;
    ASSERT_EQ(zipFolder(archive, temp / "big", reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    RecordingReporter stopAtOnce;
    stopAtOnce.cancelAfterChecks(1);
    EXPECT_EQ(extractZipEntry(archive, "data.txt", temp / "out", stopAtOnce, 1u << 30, &failure),
              OperationResult::Cancelled);
    RecordingReporter stopLater;
    stopLater.cancelAfterChecks(3);
    EXPECT_EQ(extractZipEntry(archive, "data.txt", temp / "out", stopLater, 1u << 30, &failure),
              OperationResult::Cancelled);
    if (std::filesystem::exists(temp / "out")) {
        EXPECT_TRUE(filesUnder(temp / "out").empty());
    }
}

TEST(ScratchFolder, IsPrivateFreshAndRemovedWithItsContents)
{
    std::filesystem::path first;
    {
        ScratchFolder folder;
        EXPECT_TRUE(folder.path().empty());
        Failure failure;
        ASSERT_EQ(folder.create(&failure), OperationResult::Success) << describeFailure(failure);
        first = folder.path();
        const std::string prefix = "Morvex-" + std::to_string(gettid()) + "-";
        EXPECT_EQ(first.parent_path(), std::filesystem::temp_directory_path());
        EXPECT_EQ(first.filename().string().rfind(prefix, 0), 0u) << first;
        struct stat info {};
        ASSERT_EQ(::stat(first.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);

        // A second folder of the same thread takes the next free number.
        ScratchFolder second;
        ASSERT_EQ(second.create(&failure), OperationResult::Success);
        EXPECT_NE(second.path(), first);
        std::filesystem::create_directories(second.path() / "3D");
        writeFile(second.path() / "3D" / "3dmodel.model", "x");
        const std::filesystem::path secondPath = second.path();
        ASSERT_EQ(second.create(&failure), OperationResult::Success);
        EXPECT_FALSE(std::filesystem::exists(secondPath / "3D")) << "never reused with old contents";
        std::filesystem::create_directories(first / "_rels");
        writeFile(first / "_rels" / ".rels", "x");
    }
    EXPECT_FALSE(std::filesystem::exists(first));

    // Folders of other threads have other names.
    std::filesystem::path other;
    std::thread worker([&] {
        ScratchFolder folder;
        if (folder.create() == OperationResult::Success)
            other = folder.path();
    });
    worker.join();
    EXPECT_FALSE(other.empty());
    EXPECT_NE(other.filename(), first.filename());
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_EQ(&zipLock(), &zipLock());
}

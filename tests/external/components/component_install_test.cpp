#include "external/components/component_package.h"
#include "external/components/component_registry.h"
#include "external/components/component_test_support.h"
#include "support/settings/settings_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <unistd.h>

namespace morvex {
namespace {

using testing::ComponentFixture;
using testing::HttpTestServer;
using testing::runCommand;
using testing::shellQuote;
using testing::ZipTestEntry;

using Components = ComponentFixture;

// What the installed helper prints when run.
std::string runHelper(const std::filesystem::path& path)
{
    std::string output;
    EXPECT_EQ(runCommand(shellQuote(path.string()), &output), 0);
    return output;
}

// Scratch folders of this thread left in the temporary folder.
int scratchFoldersOfThisThread()
{
    const std::string prefix = "Morvex-" + std::to_string(static_cast<unsigned long>(gettid())) + "-";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
        count += entry.path().filename().string().starts_with(prefix) ? 1 : 0;
    return count;
}

bool hasStatus(const RecordingReporter& reporter, std::string_view text, int line)
{
    for (const RecordingReporter::StatusCall& call : reporter.statuses)
        if (call.text == text && call.line == line)
            return true;
    return false;
}

bool hasMessage(const RecordingReporter& reporter, std::string_view start)
{
    for (const std::string& message : reporter.messages)
        if (message.starts_with(start))
            return true;
    return false;
}

TEST_F(Components, InstallDownloadsVerifiesUnpacksRegistersAndLeavesNoScratchFolder)
{
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    const ComponentSetup setup = setupFor(server.url(), {server.url()});

    RecordingReporter reporter;
    std::filesystem::path path;
    const int scratchBefore = scratchFoldersOfThisThread();
    ASSERT_TRUE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter));
    EXPECT_EQ(path, setup.installRoot / "ifcconvert" / "1.0" / "ifcconvert-helper");
    EXPECT_EQ(runHelper(path), "helper 1.0\n");
    const SettingsStore registry(setup.userRegistry);
    EXPECT_EQ(registry.readText("Components\\ifcconvert", "Path"), path.string());
    EXPECT_EQ(registry.readText("Components\\ifcconvert", "Version"), "1.0");
    EXPECT_EQ(installedComponentVersion(setup, "ifcconvert"), 1.0);
    EXPECT_EQ(installedFolders(setup, "ifcconvert"), std::vector<std::string>{"1.0"});
    EXPECT_EQ(scratchFoldersOfThisThread(), scratchBefore);

    EXPECT_TRUE(hasStatus(reporter, "Initializing run on-demand...", 0));
    EXPECT_TRUE(hasStatus(reporter, "ifcconvert...", 1));
    EXPECT_TRUE(hasStatus(reporter, "Running install-on-demand", 0));
    EXPECT_EQ(reporter.lastStatus(0), "Completed");
    ASSERT_FALSE(reporter.progress.empty());
    EXPECT_EQ(reporter.progress.back(), 1.0);
    EXPECT_TRUE(reporter.messages.empty());
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
    EXPECT_EQ(server.requests("/components/ifcconvert.zip.sig"), 1);

    // Found now: nothing is downloaded again.
    std::filesystem::path again;
    EXPECT_TRUE(ensureComponentFromWorker(setup, "ifcconvert", again, reporter));
    EXPECT_EQ(again, path);
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
}

TEST_F(Components, UpdateInstallsOnlyAPublishedVersionNewerThanTheInstalledOne)
{
    HttpTestServer server;
    publish(server, "assimpext2", pack("assimpext2", "1.0"));
    publishVersion(server, "assimpext2", "version=1.0\n");
    const ComponentSetup setup = setupFor(server.url(), {server.url()});
    RecordingReporter reporter;

    // Not installed: 0.0 is older than 1.0, so update installs.
    EXPECT_EQ(installedComponentVersion(setup, "assimpext2"), 0.0);
    ComponentUpdate update = updateComponent(setup, reporter, "assimpext2");
    EXPECT_EQ(update.outcome, UpdateOutcome::Updated);
    EXPECT_EQ(update.installedBefore, 0.0);
    EXPECT_EQ(installedComponentVersion(setup, "assimpext2"), 1.0);

    update = updateComponent(setup, reporter, "assimpext2");
    EXPECT_EQ(update.outcome, UpdateOutcome::UpToDate);
    EXPECT_EQ(packageRequests(server, "assimpext2"), 1);

    // A version file without "version=" counts as 1.0.
    publish(server, "assimpext2", pack("assimpext2", "1.1"));
    publishVersion(server, "assimpext2", "1.1\n");
    EXPECT_EQ(publishedComponentVersion(setup, "assimpext2", reporter), 1.0);
    EXPECT_EQ(updateComponent(setup, reporter, "assimpext2").outcome, UpdateOutcome::UpToDate);

    publishVersion(server, "assimpext2", "# published\nversion=1.1\n");
    EXPECT_EQ(publishedComponentVersion(setup, "assimpext2", reporter), 1.1);
    update = updateComponent(setup, reporter, "assimpext2");
    EXPECT_EQ(update.outcome, UpdateOutcome::Updated);
    EXPECT_EQ(update.installedBefore, 1.0);
    EXPECT_EQ(update.published, 1.1);
    std::filesystem::path path;
    ASSERT_TRUE(findComponent("assimpext2", path, setup.registryFiles));
    EXPECT_EQ(runHelper(path), "helper 1.1\n");
    // The 1.0 folder is gone with the update.
    EXPECT_EQ(installedFolders(setup, "assimpext2"), std::vector<std::string>{"1.1"});
    EXPECT_EQ(packageRequests(server, "assimpext2"), 2);

    // A registration without a version counts as 1.0 and is not updated
    // to a published 1.0.
    const SettingsStore registry(setup.userRegistry);
    ASSERT_TRUE(registry.writeText("Components\\ifcconvert", "Path", path.string()));
    publishVersion(server, "ifcconvert", "version=1.0");
    EXPECT_EQ(updateComponent(setup, reporter, "ifcconvert").outcome, UpdateOutcome::UpToDate);
    // A registered path that is gone counts as not installed.
    ASSERT_TRUE(registry.writeText("Components\\ifcconvert", "Path", (dir() / "gone").string()));
    EXPECT_EQ(installedComponentVersion(setup, "ifcconvert"), 0.0);
}

TEST_F(Components, APackageThatDoesNotVerifyOnTheFirstHostIsFetchedFromTheSecond)
{
    HttpTestServer first;
    HttpTestServer second;
    publish(first, "ifcconvert", pack("ifcconvert", "1.0", "untrusted"));
    publish(second, "ifcconvert", pack("ifcconvert", "1.0"));
    ComponentSetup setup = setupFor(first.url(), {first.url(), second.url()});

    RecordingReporter reporter;
    std::filesystem::path path;
    ASSERT_TRUE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter));
    EXPECT_EQ(runHelper(path), "helper 1.0\n");
    EXPECT_EQ(packageRequests(first, "ifcconvert"), 1);
    EXPECT_EQ(packageRequests(second, "ifcconvert"), 1);
    EXPECT_TRUE(reporter.messages.empty());
}

TEST_F(Components, PackagesThatVerifyOnNoHostAreNeitherUnpackedNorRegistered)
{
    const testing::SignedPackage good = pack("ifcconvert", "1.0");
    testing::SignedPackage tampered = good;
    tampered.zip[tampered.zip.size() / 2] ^= 0x01;
    testing::SignedPackage shortSignature = good;
    shortSignature.signature.resize(32);
    testing::SignedPackage otherKey = pack("ifcconvert", "1.0", "untrusted");

    const std::pair<const char*, testing::SignedPackage> cases[] = {
        {"a byte changed", tampered},
        {"a signature cut short", shortSignature},
        {"signed by an untrusted key", otherKey},
    };
    for (const auto& [label, package] : cases) {
        SCOPED_TRACE(label);
        HttpTestServer first;
        HttpTestServer second;
        publish(first, "ifcconvert", otherKey);
        publish(second, "ifcconvert", package);
        const ComponentSetup setup = setupFor(first.url(), {first.url(), second.url()});
        RecordingReporter reporter;
        std::filesystem::path path;
        Failure failure;
        EXPECT_FALSE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter, &failure));
        // The reason names what went wrong on each host.
        EXPECT_NE(failure.message.find(first.url() + "/components/ifcconvert.zip does not verify"), std::string::npos)
            << failure.message;
        EXPECT_NE(failure.message.find(second.url()), std::string::npos) << failure.message;
        EXPECT_TRUE(hasMessage(reporter, ComponentSignatureMessage));
        EXPECT_TRUE(hasMessage(reporter, "An install-on-demand component could not be installed automatically. "
                                         "Please run it from the URL below then try again.\n   "
                                         "http://127.0.0.1:9/web/components/ifcconvert.zip"));
        EXPECT_EQ(packageRequests(second, "ifcconvert"), 1);
        EXPECT_TRUE(installedFolders(setup, "ifcconvert").empty());
        EXPECT_FALSE(SettingsStore(setup.userRegistry).valueExists("Components\\ifcconvert", "Path"));
    }
}

TEST_F(Components, UnreachableHostsAndNoConfigurationEndInTheFallback)
{
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    const std::string refusing = HttpTestServer::refusingUrl();

    // The first download host refuses: the second delivers.
    {
        const ComponentSetup setup = setupFor(server.url(), {refusing, server.url()});
        RecordingReporter reporter;
        std::filesystem::path path;
        EXPECT_TRUE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter));
        std::filesystem::remove_all(setup.installRoot);
        std::filesystem::remove(setup.userRegistry);
    }
    // The version host refuses: offline, nothing is downloaded, and the
    // window's hooks get the fallback URL and prompt.
    {
        ComponentSetup setup = setupFor(refusing, {server.url()});
        std::vector<std::string> opened;
        std::vector<std::string> asked;
        setup.openUrl = [&](const std::string& url) { opened.push_back(url); };
        setup.askToContinue = [&](const std::string& text) {
            asked.push_back(text);
            return asked.size() < 2; // "Continue" once, then "Cancel"
        };
        RecordingReporter reporter;
        std::filesystem::path path;
        Failure failure;
        EXPECT_FALSE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter, &failure));
        EXPECT_NE(failure.message.find("offline"), std::string::npos) << failure.message;
        EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
        EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:9/web/components/ifcconvert.zip"});
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0], componentFallbackPrompt("ifcconvert"));
        EXPECT_TRUE(asked[0].ends_with("open the following file: ifcconvert.zip")) << asked[0];
        ASSERT_EQ(reporter.messages.size(), 1u);
        EXPECT_EQ(reporter.messages[0], componentFallbackMessage(setup.downloads, "ifcconvert"));
    }
    // Nothing configured: offline at once, and the message says so.
    {
        ComponentSetup setup = setupFor("", {});
        setup.downloads = ComponentDownloads{};
        setup.downloads.configurationFile = dir() / "share" / "Components.ini";
        RecordingReporter reporter;
        std::filesystem::path path;
        EXPECT_EQ(runComponentInstaller(setup, reporter, "ifcconvert"), OperationResult::Failure);
        EXPECT_FALSE(ensureComponentFromWorker(setup, "ifcconvert", path, reporter));
        ASSERT_FALSE(reporter.messages.empty());
        EXPECT_EQ(reporter.messages.back(), "An install-on-demand component could not be installed automatically. "
                                            "No download location is configured (section [Downloads] of " +
                                                setup.downloads.configurationFile.string() + ").");
    }
}

TEST_F(Components, APackageThatRegistersNothingFailsOnceThePollHasPassed)
{
    HttpTestServer server;
    publish(server, "ifcconvert",
            signedArchive({{"component.ini", "[Component]\nId=ifcconvert\nVersion=1.0\n"},
                           {"ifcconvert-helper", testing::helperScript("1.0")}}));
    const ComponentSetup setup = setupFor(server.url(), {server.url()});
    RecordingReporter reporter;
    Failure failure;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runComponentInstaller(setup, reporter, "ifcconvert", "IFC converter", &failure),
              OperationResult::Failure);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(setup.registrationPollMilliseconds));
    EXPECT_NE(failure.message.find("registered nothing"), std::string::npos) << failure.message;
    EXPECT_TRUE(hasStatus(reporter, "IFC converter...", 1));
    EXPECT_TRUE(hasStatus(reporter, "Running install-on-demand", 0));
    EXPECT_NE(reporter.lastStatus(0), "Completed");
    EXPECT_EQ(reporter.progress.back(), 1.0);
    // What it unpacked does not stay.
    EXPECT_TRUE(installedFolders(setup, "ifcconvert").empty());

    // A stop request ends the poll: cancelled, and nothing stays either.
    ComponentSetup patient = setup;
    patient.registrationPollMilliseconds = 60000;
    RecordingReporter stopped;
    std::thread stopping([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopped.requestStop();
    });
    const auto stopStart = std::chrono::steady_clock::now();
    EXPECT_EQ(runComponentInstaller(patient, stopped, "ifcconvert"), OperationResult::Cancelled);
    stopping.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, std::chrono::seconds(30));
    EXPECT_TRUE(installedFolders(setup, "ifcconvert").empty());
}

TEST_F(Components, UnsafeOrWrongPackagesAreRefusedAndLeaveNothingBehind)
{
    const std::string manifest = "[Component]\nId=ifcconvert\nVersion=1.0\nPath=tool\n";
    const std::string tool = testing::helperScript("1.0");
    struct Case {
        const char* label;
        std::vector<ZipTestEntry> entries;
        const char* reason;
    };
    const Case cases[] = {
        {"an entry above the folder", {{"component.ini", manifest}, {"tool", tool}, {"../escaped", "x"}}, "outside"},
        {"an entry two levels up", {{"component.ini", manifest}, {"tool", tool}, {"a/../../escaped", "x"}}, "outside"},
        {"an absolute entry", {{"component.ini", manifest}, {"tool", tool}, {"/tmp/escaped", "x"}}, "outside"},
        {"a registered path above the folder",
         {{"component.ini", "[Component]\nId=ifcconvert\nVersion=1.0\nPath=../../escaped\n"}, {"tool", tool}},
         "outside"},
        {"a version that is a path",
         {{"component.ini", "[Component]\nId=ifcconvert\nVersion=../1\nPath=tool\n"}, {"tool", tool}},
         "not a version"},
        {"another component's package",
         {{"component.ini", "[Component]\nId=assimpext2\nVersion=1.0\nPath=tool\n"}, {"tool", tool}},
         "not \"ifcconvert\""},
        {"a registered path it does not hold", {{"component.ini", manifest}}, "does not hold"},
        {"no manifest", {{"tool", tool}}, "no component.ini"},
        {"more than the unpacked limit", {{"component.ini", manifest}, {"tool", std::string(9000, 'x')}}, "more than"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.label);
        HttpTestServer server;
        publish(server, "ifcconvert", signedArchive(test.entries));
        ComponentSetup setup = setupFor(server.url(), {server.url()});
        setup.maxUnpackedBytes = 8000;
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(runComponentInstaller(setup, reporter, "ifcconvert", {}, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find(test.reason), std::string::npos) << failure.message;
        EXPECT_TRUE(installedFolders(setup, "ifcconvert").empty());
        EXPECT_FALSE(std::filesystem::exists(setup.installRoot / "escaped"));
        EXPECT_FALSE(std::filesystem::exists(setup.installRoot / "ifcconvert" / "escaped"));
        EXPECT_FALSE(std::filesystem::exists(setup.userRegistry));
    }

    // A download larger than the package limit is not kept.
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    ComponentSetup setup = setupFor(server.url(), {server.url()});
    setup.maxPackageBytes = 100;
    Failure failure;
    RecordingReporter reporter;
    EXPECT_EQ(runComponentInstaller(setup, reporter, "ifcconvert", {}, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("larger than 100 bytes"), std::string::npos) << failure.message;
    EXPECT_FALSE(std::filesystem::exists(setup.installRoot / "ifcconvert" / "1.0"));
}

TEST_F(Components, OneInstallOfAComponentAtATimeAndAStopEndsTheWaitForTheLock)
{
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    const ComponentSetup setup = setupFor(server.url(), {server.url()});

    RecordingReporter holder;
    ComponentLock held;
    ASSERT_EQ(held.acquire(setup, "ifcconvert", holder), OperationResult::Success);

    // A stop request ends the wait for the lock.
    RecordingReporter stopped;
    std::thread stopping([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stopped.requestStop();
    });
    std::filesystem::path path;
    EXPECT_FALSE(ensureComponentFromWorker(setup, "ifcconvert", path, stopped));
    stopping.join();
    EXPECT_TRUE(stopped.messages.empty());
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 0);

    // Two installs waiting for the lock: once it is free, one downloads and
    // the other finds the component installed.
    std::atomic<int> found{0};
    std::vector<std::thread> installs;
    for (int i = 0; i < 2; ++i)
        installs.emplace_back([&] {
            RecordingReporter reporter;
            std::filesystem::path installed;
            found += ensureComponentFromWorker(setup, "ifcconvert", installed, reporter) ? 1 : 0;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 0);
    held.release();
    for (std::thread& install : installs)
        install.join();
    EXPECT_EQ(found.load(), 2);
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
}

TEST(ComponentPackageNames, OnlyNamesThatStayInsideTheFolderAreSafe)
{
    for (const char* name : {"tool", "bin/tool", "lib/", "a/b/c.so", "..tool", "tool.."})
        EXPECT_TRUE(isSafePackageName(name)) << name;
    for (const char* name :
         {"", "/tool", "../tool", "a/../tool", "a/./tool", "./tool", "a//tool", "a\\tool", "..", "/", "a/.."})
        EXPECT_FALSE(isSafePackageName(name)) << name;
}

TEST(ComponentDownloadsConfiguration, HostsAndKeysComeFromTheMachineWideFile)
{
    testing::TempDir dir;
    const std::string key(64, 'a');
    testing::writeFile(dir / "Components.ini",
                       "[Components\\assimpext2]\nPath=x\n[Downloads]\n"
                       "VersionHost=http://versions.example/\nDownloadHost1=http://one.example\n"
                       "DownloadHost2=http://two.example/mirror/\nWebHost=http://web.example\n"
                       "TrustedKeys=" +
                           key + " not-a-key," + std::string(64, 'B') + "\n");
    const ComponentDownloads downloads = readComponentDownloads(dir / "Components.ini");
    EXPECT_EQ(downloads.versionHost, "http://versions.example");
    EXPECT_EQ(downloads.downloadHosts, (std::vector<std::string>{"http://one.example", "http://two.example/mirror"}));
    EXPECT_EQ(downloads.trustedKeys.size(), 2u);
    EXPECT_TRUE(downloads.configured());
    EXPECT_EQ(componentFallbackUrl(downloads, "ifcconvert"), "http://web.example/components/ifcconvert.zip");

    testing::writeFile(dir / "Other.ini", "[Downloads]\nVersionHost=http://versions.example\n");
    EXPECT_FALSE(readComponentDownloads(dir / "Other.ini").configured());
    EXPECT_FALSE(readComponentDownloads(dir / "missing.ini").configured());
}

} // namespace
} // namespace morvex

#pragma once

// Keys, signed packages and a download setup of the test's own, made with
// the real packaging tool and served by a real HTTP server on 127.0.0.1.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "external/components/component_install.h"
#include "external/components/http_test_server.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace morvex::testing {

inline std::filesystem::path packTool()
{
    return MORVEX_COMPONENT_PACK_PATH;
}

struct SignedPackage {
    std::string zip;
    std::string signature;
};

// A helper program that says which version it is.
inline std::string helperScript(std::string_view version)
{
    return "#!/bin/sh\necho helper " + std::string(version) + "\n";
}

class ComponentFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Only 127.0.0.1 is ever asked, and never through a proxy.
        ::setenv("NO_PROXY", "127.0.0.1", 1);
        ::setenv("no_proxy", "127.0.0.1", 1);
        trustedKey_ = keygen("trusted");
        keygen("untrusted");
        std::filesystem::create_directories(dir_ / "run");
        ::chmod((dir_ / "run").c_str(), 0700);
    }

    const std::filesystem::path& dir() const { return dir_.path(); }
    const std::string& trustedKey() const { return trustedKey_; }

    // The tool's public key text for a new key pair `name` in the test folder.
    std::string keygen(const std::string& name)
    {
        std::string output;
        EXPECT_EQ(
            runCommand(shellQuote(packTool().string()) + " keygen " + shellQuote((dir_ / name).string()), &output), 0);
        while (!output.empty() && output.back() == '\n')
            output.pop_back();
        return output;
    }

    // A package made by the tool from a helper script (by default one that
    // prints its version).
    SignedPackage pack(const std::string& id, const std::string& version, const std::string& key = "trusted",
                       const std::string& script = {})
    {
        const std::filesystem::path build = dir_ / ("build-" + std::to_string(++made_));
        std::filesystem::create_directories(build);
        const std::filesystem::path helper = build / (id + "-helper");
        writeFile(helper, script.empty() ? helperScript(version) : script);
        std::string output;
        EXPECT_EQ(runCommand(shellQuote(packTool().string()) + " pack --key " + shellQuote((dir_ / key).string()) +
                                 ".key --id " + id + " --version " + version + " --output " +
                                 shellQuote(build.string()) + " " + shellQuote(helper.string()) + " 2>&1",
                             &output),
                  0)
            << output;
        return {readFile(build / (id + ".zip")), readFile(build / (id + ".zip.sig"))};
    }

    // A package of exactly these entries, signed by the tool.
    SignedPackage signedArchive(const std::vector<ZipTestEntry>& entries, const std::string& key = "trusted")
    {
        const std::filesystem::path archive = dir_ / ("archive-" + std::to_string(++made_) + ".zip");
        buildZipArchive(archive, entries);
        EXPECT_EQ(runCommand(shellQuote(packTool().string()) + " sign --key " + shellQuote((dir_ / key).string()) +
                             ".key " + shellQuote(archive.string())),
                  0);
        return {readFile(archive), readFile(archive.string() + ".sig")};
    }

    static void publish(HttpTestServer& server, const std::string& id, const SignedPackage& package)
    {
        server.serve("/components/" + id + ".zip", package.zip);
        server.serve("/components/" + id + ".zip.sig", package.signature);
    }
    static void publishVersion(HttpTestServer& server, const std::string& id, const std::string& text)
    {
        server.serve("/versions/components/" + id + ".txt", text);
    }
    static int packageRequests(const HttpTestServer& server, const std::string& id)
    {
        return server.requests("/components/" + id + ".zip");
    }

    // Everything in the test folder; the hosts as given.
    ComponentSetup setupFor(const std::string& versionHost, std::vector<std::string> downloadHosts) const
    {
        ComponentSetup setup;
        setup.userRegistry = dir_ / "config" / "Components.ini";
        setup.registryFiles = {setup.userRegistry};
        setup.installRoot = dir_ / "data" / "Components";
        setup.lockFolder = dir_ / "run";
        setup.downloads.versionHost = versionHost;
        setup.downloads.downloadHosts = std::move(downloadHosts);
        setup.downloads.webHost = "http://127.0.0.1:9/web";
        setup.downloads.trustedKeys = {*parseComponentPublicKey(trustedKey_)};
        setup.registrationPollMilliseconds = 600;
        setup.onlineTestMilliseconds = 2000;
        return setup;
    }

    // The folders of one component's unpacked versions, hidden ones too.
    std::vector<std::string> installedFolders(const ComponentSetup& setup, const std::string& id) const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (std::filesystem::directory_iterator walk(setup.installRoot / id, error), end; !error && walk != end;
             walk.increment(error))
            names.push_back(walk->path().filename().string());
        return names;
    }

private:
    TempDir dir_;
    std::string trustedKey_;
    int made_ = 0;
};

} // namespace morvex::testing

#include "external/components/component_test_support.h"

#include <gtest/gtest.h>

namespace morvex {
namespace {

using testing::ComponentFixture;
using testing::HttpTestServer;
using testing::readFile;
using testing::runCommand;
using testing::shellQuote;
using testing::writeFile;

// morvex-cli as installed under a prefix of the test's own, so that the
// machine-wide Components.ini beside it (share/morvex) is the test's, and
// run with the user's folders in the test folder.
class InstalledCli {
public:
    InstalledCli(const std::filesystem::path& root, const std::string& downloads) : root_(root)
    {
        std::filesystem::create_directories(root_ / "prefix" / "bin");
        std::filesystem::create_directories(root_ / "prefix" / "share" / "morvex");
        // A hard link where the file system allows one: the program finds
        // its folder by the name it was started by, and copying it is slow.
        std::error_code error;
        std::filesystem::create_hard_link(testing::cliPath(), cli(), error);
        if (error)
            std::filesystem::copy_file(testing::cliPath(), cli());
        writeFile(root_ / "prefix" / "share" / "morvex" / "Components.ini", downloads);
    }

    std::filesystem::path cli() const { return root_ / "prefix" / "bin" / "morvex-cli"; }
    std::filesystem::path userRegistry() const { return root_ / "config" / "Quellor Software" / "Components.ini"; }

    std::string commandLine(const std::string& arguments) const
    {
        return "XDG_CONFIG_HOME=" + shellQuote((root_ / "config").string()) +
               " XDG_DATA_HOME=" + shellQuote((root_ / "data").string()) +
               " XDG_RUNTIME_DIR=" + shellQuote((root_ / "run").string()) + " " + shellQuote(cli().string()) + " " +
               arguments + " </dev/null";
    }
    int operator()(const std::string& arguments, std::string* output) const
    {
        return runCommand(commandLine(arguments) + " 2>&1", output);
    }

private:
    std::filesystem::path root_;
};

std::string downloadsSection(const std::string& versionHost, const std::string& downloadHost, const std::string& key)
{
    return "[Downloads]\nVersionHost=" + versionHost + "\nDownloadHost1=" + downloadHost + "\nWebHost=" + downloadHost +
           "\nTrustedKeys=" + key + "\n";
}

bool contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

using ComponentsCommand = ComponentFixture;

TEST_F(ComponentsCommand, ListsInstallsAndUpdatesWithAProgressLineAndTheMessages)
{
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    publishVersion(server, "ifcconvert", "version=1.0\n");
    const InstalledCli cli(dir(), downloadsSection(server.url(), server.url(), trustedKey()));

    std::string output;
    EXPECT_EQ(cli("components", &output), 0) << output;
    EXPECT_TRUE(contains(output, "ifcconvert  IFC converter            not installed\n")) << output;
    EXPECT_TRUE(contains(output, "assimpext2  external mesh converter  not installed\n")) << output;
    EXPECT_TRUE(contains(output, "infozip3    zip library              built in\n")) << output;
    EXPECT_TRUE(contains(output, "downloads: from " + server.url())) << output;

    output.clear();
    EXPECT_EQ(cli("components install ifcconvert", &output), 0) << output;
    const std::filesystem::path installed =
        dir() / "data" / "Quellor Software" / "Morvex" / "Components" / "ifcconvert" / "1.0" / "ifcconvert-helper";
    EXPECT_TRUE(contains(output, "ifcconvert: Initializing run on-demand...\n")) << output;
    EXPECT_TRUE(contains(output, "ifcconvert: Running install-on-demand\n")) << output;
    EXPECT_TRUE(contains(output, "ifcconvert: Completed\n")) << output;
    EXPECT_TRUE(contains(output, "ifcconvert: installed version 1.0: " + installed.string() + "\n")) << output;
    EXPECT_TRUE(contains(readFile(cli.userRegistry()), "Path=" + installed.string())) << readFile(cli.userRegistry());

    output.clear();
    EXPECT_EQ(cli("components", &output), 0);
    EXPECT_TRUE(contains(output, "ifcconvert  IFC converter            1.0  " + installed.string() + "\n")) << output;
    output.clear();
    EXPECT_EQ(cli("components --json", &output), 0);
    EXPECT_TRUE(contains(output, "{\"id\":\"ifcconvert\",\"name\":\"IFC converter\",\"builtIn\":false,\"installed\":"
                                 "true,\"version\":\"1.0\",\"path\":\"" +
                                     installed.string() + "\"}\n"))
        << output;

    output.clear();
    EXPECT_EQ(cli("components install ifcconvert", &output), 0);
    EXPECT_TRUE(contains(output, "ifcconvert: already installed, version 1.0")) << output;
    output.clear();
    EXPECT_EQ(cli("components update ifcconvert", &output), 0);
    EXPECT_TRUE(contains(output, "ifcconvert: up to date (version 1.0, published 1.0)")) << output;

    publish(server, "ifcconvert", pack("ifcconvert", "1.1"));
    publishVersion(server, "ifcconvert", "version=1.1\n");
    output.clear();
    EXPECT_EQ(cli("components update ifcconvert", &output), 0) << output;
    EXPECT_TRUE(contains(output, "ifcconvert: updated to version 1.1: ")) << output;
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 2);

    // Usage errors, and the component that is part of the program.
    output.clear();
    EXPECT_EQ(cli("components install ifcconvrt", &output), 2);
    EXPECT_TRUE(contains(output, "unknown component 'ifcconvrt'")) << output;
    EXPECT_TRUE(contains(output, "ifcconvert")) << output;
    output.clear();
    EXPECT_EQ(cli("components remove ifcconvert", &output), 2);
    output.clear();
    EXPECT_EQ(cli("components install", &output), 2);
    output.clear();
    EXPECT_EQ(cli("components install infozip3", &output), 0);
    EXPECT_TRUE(contains(output, "infozip3: built into this program; nothing to install")) << output;
}

TEST_F(ComponentsCommand, AFailedInstallSaysWhyAndWhereTheComponentCanBeFetched)
{
    const std::string refusing = HttpTestServer::refusingUrl();
    const InstalledCli cli(dir(), downloadsSection(refusing, refusing, trustedKey()));
    std::string output;
    EXPECT_EQ(cli("components install assimpext2", &output), 1);
    EXPECT_TRUE(contains(output, "morvex-cli: assimpext2: could not be installed: offline: the version host " +
                                     refusing + " cannot be reached\n"))
        << output;
    EXPECT_TRUE(contains(output, "morvex-cli: An install-on-demand component could not be installed automatically. "
                                 "Please run it from the URL below then try again.\n   " +
                                     refusing + "/components/assimpext2.zip\n"))
        << output;

    // Without any download configuration.
    const testing::TempDir other;
    const InstalledCli unconfigured(other.path(), "");
    output.clear();
    EXPECT_EQ(unconfigured("components install assimpext2", &output), 1);
    EXPECT_TRUE(contains(output, "no download location and trusted key are configured")) << output;
    output.clear();
    EXPECT_EQ(unconfigured("components", &output), 0);
    EXPECT_TRUE(contains(output, "downloads: not configured")) << output;
}

TEST_F(ComponentsCommand, ConvertNamesTheMissingComponentAndTheCommandThatInstallsIt)
{
    const InstalledCli cli(dir(), "");
    writeFile(dir() / "scene.fbx", "; FBX 7.4.0 project file\n");
    std::string output;
    EXPECT_EQ(cli("convert --to stl -o " + shellQuote((dir() / "out").string()) + " --create-folder " +
                      shellQuote((dir() / "scene.fbx").string()),
                  &output),
              1);
    EXPECT_TRUE(contains(output, "component \"assimpext2\"")) << output;
    EXPECT_TRUE(contains(output, "'morvex-cli components install assimpext2' installs it")) << output;
}

TEST_F(ComponentsCommand, TwoProcessesInstallingTheSameComponentDownloadItOnce)
{
    HttpTestServer server;
    publish(server, "ifcconvert", pack("ifcconvert", "1.0"));
    const InstalledCli cli(dir(), downloadsSection(server.url(), server.url(), trustedKey()));
    const std::string first = shellQuote((dir() / "first.txt").string());
    const std::string second = shellQuote((dir() / "second.txt").string());
    std::string statuses;
    ASSERT_EQ(runCommand("(" + cli.commandLine("components install ifcconvert") + " >" + first + " 2>&1; echo $?) & (" +
                             cli.commandLine("components install ifcconvert") + " >" + second +
                             " 2>&1; echo $?) & wait",
                         &statuses),
              0);
    EXPECT_EQ(statuses, "0\n0\n");
    const std::string outputs = readFile(dir() / "first.txt") + readFile(dir() / "second.txt");
    EXPECT_TRUE(contains(outputs, "ifcconvert: installed version 1.0")) << outputs;
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1) << outputs;
    const std::string registry = readFile(cli.userRegistry());
    EXPECT_EQ(registry.find("[Components\\ifcconvert]"), registry.rfind("[Components\\ifcconvert]")) << registry;
}

} // namespace
} // namespace morvex

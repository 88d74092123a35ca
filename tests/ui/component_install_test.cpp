#include "ui_test_support.h"

#include "external/components/component_registry.h"
#include "external/components/component_test_support.h"

#include <QComboBox>
#include <QFontDatabase>

#include <algorithm>
#include <cstdlib>

namespace morvex::testing {
namespace {

using ui::MainWindow;

// An IFC tool that writes one triangle as the OBJ it is asked for.
constexpr const char* IfcToolScript = "#!/bin/sh\nprintf 'v 0 0 0\\nv 1 0 0\\nv 0 1 0\\nf 1 2 3\\n' > \"$2.obj\"\n";
constexpr int StlOutputIndex = 5;

// The buttons' order is the platform's.
std::vector<std::string> sorted(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    return texts;
}

// The window with an IFC file in its list and the output format .stl, its
// components looked for and installed only in the test's folder: the
// user's Components.ini under a settings folder of the test's own, which
// the conversion itself reads too.
class WindowComponents : public ComponentFixture {
protected:
    void SetUp() override
    {
        ComponentFixture::SetUp();
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            savedConfigHome_ = old;
        // Fonts are looked up once per process, under the settings folder
        // of the process: fontconfig keeps what it read then.
        QFontDatabase::families();
        ::setenv("XDG_CONFIG_HOME", (dir() / "xdg").c_str(), 1);
        window_ = std::make_unique<MainWindow>(SettingsStore(dir() / "settings" / "Morvex.ini"));
        window_->setUrlOpener([this](const QUrl& url) { opened_.push_back(url.toString().toStdString()); });
        window_->findChild<QComboBox*>("outputFormatBox")->setCurrentIndex(StlOutputIndex);
        window_->show();
        std::filesystem::create_directories(dir() / "in");
        writeFile(ifcFile(), "ISO-10303-21;\nEND-ISO-10303-21;\n");
        window_->addPath(ifcFile().string());
    }
    void TearDown() override
    {
        window_.reset();
        if (savedConfigHome_.empty())
            ::unsetenv("XDG_CONFIG_HOME");
        else
            ::setenv("XDG_CONFIG_HOME", savedConfigHome_.c_str(), 1);
    }

    // The hosts as given; registrations only in the user's file.
    ComponentSetup windowSetup(const std::string& versionHost, std::vector<std::string> downloadHosts) const
    {
        ComponentSetup setup = setupFor(versionHost, std::move(downloadHosts));
        setup.userRegistry = dir() / "xdg" / "Quellor Software" / "Components.ini";
        setup.registryFiles = {setup.userRegistry};
        return setup;
    }
    std::filesystem::path ifcFile() const { return dir() / "in" / "house.ifc"; }
    // The IFC component published on the server, which the window installs from.
    ComponentSetup publishIfcTool(HttpTestServer& server)
    {
        publish(server, "ifcconvert", pack("ifcconvert", "1.0", "trusted", IfcToolScript));
        ComponentSetup setup = windowSetup(server.url(), {server.url()});
        window_->setComponentSetup(setup);
        return setup;
    }
    // Another IFC file of that name added to the list.
    void addIfcFile(const std::string& name)
    {
        writeFile(dir() / "in" / name, "ISO-10303-21;\nEND-ISO-10303-21;\n");
        window_->addPath((dir() / "in" / name).string());
    }
    static std::vector<DialogWatcher::Seen> installBoxes(const DialogWatcher& watcher)
    {
        std::vector<DialogWatcher::Seen> boxes;
        for (const DialogWatcher::Seen& box : watcher.messageBoxes())
            if (box.title == "Install-on-Demand")
                boxes.push_back(box);
        return boxes;
    }
    static bool sawProgressDialog(const DialogWatcher& watcher, const std::string& title)
    {
        for (const DialogWatcher::Seen& dialog : watcher.seen)
            if (!dialog.messageBox && dialog.title == title)
                return true;
        return false;
    }

    std::unique_ptr<MainWindow> window_;
    std::vector<std::string> opened_;

private:
    std::string savedConfigHome_;
};

TEST_F(WindowComponents, AMissingComponentIsOfferedInstalledUnderItsDialogAndThenReadsTheFile)
{
    HttpTestServer server;
    const ComponentSetup setup = publishIfcTool(server);

    DialogWatcher watcher;
    watcher.answer("Install");
    window_->convert();
    const std::vector<DialogWatcher::Seen> boxes = installBoxes(watcher);
    ASSERT_EQ(boxes.size(), 1u) << "the question, and no failure message";
    EXPECT_EQ(boxes[0].text, "Some of the files to convert are read through components that are not installed. "
                             "Install them now?");
    EXPECT_NE(boxes[0].detail.find("The IFC converter (component \"ifcconvert\"), needed by 1 file."),
              std::string::npos)
        << boxes[0].detail;
    EXPECT_EQ(sorted(boxes[0].buttons), (std::vector<std::string>{"Cancel", "Convert Anyway", "Install"}));
    EXPECT_TRUE(sawProgressDialog(watcher, "Install-on-Demand"));
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);

    std::filesystem::path installed;
    ASSERT_TRUE(findComponent("ifcconvert", installed, setup.registryFiles));
    EXPECT_EQ(installed, setup.installRoot / "ifcconvert" / "1.0" / "ifcconvert-helper");
    EXPECT_EQ(refreshedStatusTexts(*window_), std::vector<std::string>{"Success"});
    EXPECT_TRUE(std::filesystem::exists(dir() / "in" / "house.stl"));
    EXPECT_TRUE(opened_.empty());

    // Installed once: the next conversion asks nothing.
    DialogWatcher again;
    window_->convert();
    EXPECT_TRUE(installBoxes(again).empty());
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
}

TEST_F(WindowComponents, AFailedInstallSaysWhichComponentWhyAndHowAndTheRunGoesOn)
{
    HttpTestServer untrusted;
    publish(untrusted, "ifcconvert", pack("ifcconvert", "1.0", "untrusted", IfcToolScript));
    struct Case {
        const char* label;
        std::string versionHost;
        std::string downloadHost;
        std::string reason;
        bool signatureRefused;
    };
    const std::string refusing = HttpTestServer::refusingUrl();
    const Case cases[] = {
        {"offline", refusing, refusing, "offline: the version host " + refusing + " cannot be reached", false},
        {"bad signature", untrusted.url(), untrusted.url(), "does not verify against a trusted key", true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.label);
        opened_.clear();
        window_->setComponentSetup(windowSetup(test.versionHost, {test.downloadHost}));
        DialogWatcher watcher;
        watcher.answer("Install");
        watcher.answer("OK");
        window_->convert();

        const std::vector<DialogWatcher::Seen> boxes = installBoxes(watcher);
        ASSERT_EQ(boxes.size(), 2u);
        const DialogWatcher::Seen& failure = boxes[1];
        EXPECT_EQ(failure.text, "An install-on-demand component could not be installed automatically. Please run "
                                "it from the URL below then try again.\n\n   "
                                "http://127.0.0.1:9/web/components/ifcconvert.zip");
        EXPECT_EQ(opened_, std::vector<std::string>{"http://127.0.0.1:9/web/components/ifcconvert.zip"});
        EXPECT_NE(failure.detail.find("The IFC converter (component \"ifcconvert\") could not be installed: "),
                  std::string::npos)
            << failure.detail;
        EXPECT_NE(failure.detail.find(test.reason), std::string::npos) << failure.detail;
        EXPECT_NE(failure.detail.find("'morvex-cli components install ifcconvert' installs it from a terminal."),
                  std::string::npos);
        EXPECT_EQ(failure.detail.starts_with(std::string(ComponentSignatureMessage)), test.signatureRefused);

        // The run still goes: the file that needed the component fails on
        // its own row.
        EXPECT_TRUE(sawProgressDialog(watcher, "Converting Model Files"));
        EXPECT_EQ(refreshedStatusTexts(*window_), std::vector<std::string>{"Read failed"});
        EXPECT_FALSE(std::filesystem::exists(dir() / "in" / "house.stl"));
    }
}

TEST_F(WindowComponents, WithoutADownloadLocationTheQuestionSaysHowToInstallAndCancelStartsNothing)
{
    ComponentSetup setup = windowSetup({}, {});
    setup.downloads = {};
    setup.downloads.configurationFile = dir() / "share" / "Components.ini";
    window_->setComponentSetup(setup);

    DialogWatcher cancelled;
    cancelled.answer("Cancel");
    window_->convert();
    std::vector<DialogWatcher::Seen> boxes = installBoxes(cancelled);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Some of the files to convert are read through components that are not installed. "
                             "No download location is configured to install them from.");
    EXPECT_EQ(sorted(boxes[0].buttons), (std::vector<std::string>{"Cancel", "Convert Anyway"}));
    EXPECT_NE(boxes[0].detail.find("section [Downloads] of " + (dir() / "share" / "Components.ini").string()),
              std::string::npos)
        << boxes[0].detail;
    EXPECT_NE(boxes[0].detail.find("\n   'morvex-cli components install ifcconvert'"), std::string::npos);
    EXPECT_FALSE(sawProgressDialog(cancelled, "Converting Model Files"));
    EXPECT_FALSE(sawProgressDialog(cancelled, "Install-on-Demand"));
    EXPECT_EQ(refreshedStatusTexts(*window_), std::vector<std::string>{""}) << "Ready, as before";
    EXPECT_FALSE(window_->busy());

    DialogWatcher anyway;
    anyway.answer("Convert Anyway");
    window_->convert();
    EXPECT_EQ(installBoxes(anyway).size(), 1u);
    EXPECT_TRUE(sawProgressDialog(anyway, "Converting Model Files"));
    EXPECT_EQ(refreshedStatusTexts(*window_), std::vector<std::string>{"Read failed"});
    EXPECT_TRUE(opened_.empty());
}

TEST_F(WindowComponents, AddedFilesGetTheirMissingComponentInstalledAtOnce)
{
    HttpTestServer server;
    const ComponentSetup setup = publishIfcTool(server);

    DialogWatcher adding;
    addIfcFile("shed.ifc");
    EXPECT_TRUE(sawProgressDialog(adding, "Install-on-Demand"));
    EXPECT_TRUE(installBoxes(adding).empty()) << "no question and no failure";
    std::filesystem::path installed;
    EXPECT_TRUE(findComponent("ifcconvert", installed, setup.registryFiles));
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);

    DialogWatcher converting;
    window_->convert();
    EXPECT_TRUE(installBoxes(converting).empty());
    EXPECT_EQ(refreshedStatusTexts(*window_), (std::vector<std::string>{"Success", "Success"}));
    EXPECT_EQ(packageRequests(server, "ifcconvert"), 1);
}

TEST_F(WindowComponents, AQuietFailedInstallOnAddingShowsNothingAndIsNotOfferedOnTheNextAdd)
{
    const std::string refusing = HttpTestServer::refusingUrl();
    window_->setComponentSetup(windowSetup(refusing, {refusing}));
    ::setenv("LQUIET", "1", 1);
    DialogWatcher quiet;
    addIfcFile("shed.ifc");
    ::unsetenv("LQUIET");
    EXPECT_TRUE(sawProgressDialog(quiet, "Install-on-Demand"));
    EXPECT_TRUE(installBoxes(quiet).empty()) << "a quiet install has no fallback message";
    EXPECT_TRUE(opened_.empty()) << "nor the browser";

    DialogWatcher again;
    addIfcFile("barn.ifc");
    EXPECT_FALSE(sawProgressDialog(again, "Install-on-Demand"));
    EXPECT_TRUE(installBoxes(again).empty());

    // Converting still offers it.
    DialogWatcher converting;
    converting.answer("Cancel");
    window_->convert();
    ASSERT_EQ(installBoxes(converting).size(), 1u);
    EXPECT_NE(installBoxes(converting)[0].detail.find("needed by 3 files."), std::string::npos)
        << installBoxes(converting)[0].detail;
}

} // namespace
} // namespace morvex::testing

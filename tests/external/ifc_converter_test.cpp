#include "app/model_io.h"
#include "common/test_support.h"
#include "external/external_converters.h"
#include "external/ifc/ifc_converter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

namespace morvex {
namespace {

using testing::corpusDir;
using testing::TempDir;
using testing::writeFile;

// Registers a shell script as the IFC tool in a settings folder of the
// test's own, for as long as the object lives.
class IfcToolRegistration {
public:
    // No script: no tool is registered.
    explicit IfcToolRegistration(const std::string& script)
    {
        const std::filesystem::path tool = folder_ / "ifc-tool.sh";
        writeFile(tool, "#!/bin/sh\n" + script);
        ::chmod(tool.c_str(), 0700);
        std::filesystem::create_directories(folder_ / "Quellor Software");
        if (!script.empty())
            writeFile(folder_ / "Quellor Software" / "Components.ini",
                      "[Components\\ifcconvert]\nPath=" + tool.string() + "\n");
        const char* old = std::getenv("XDG_CONFIG_HOME");
        if (old != nullptr)
            saved_ = old;
        hadOld_ = old != nullptr;
        ::setenv("XDG_CONFIG_HOME", folder_.path().c_str(), 1);
    }
    ~IfcToolRegistration()
    {
        if (hadOld_)
            ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

private:
    TempDir folder_;
    std::string saved_;
    bool hadOld_ = false;
};

constexpr const char* TriangleObj = "v 0 0 0\\nv 1 0 0\\nv 0 1 0\\nf 1 2 3\\n";

TEST(IfcConverter, TheToolsObjIsReadAndRemovedOtherwiseTheHelperReadsTheFile)
{
    MORVEX_REQUIRE_CORPUS();
    const std::filesystem::path ifc = corpusDir() / "ifc/XbimEssentials__SmallModelIfc2x3.ifc";
    {
        // The tool gets the input and the output path without extension.
        const IfcToolRegistration tool(std::string("[ \"$1\" = '") + ifc.string() + "' ] || exit 7\nprintf '" +
                                       TriangleObj + "' > \"$2.obj\"\n");
        StoppableReporter reporter;
        Model model;
        Failure failure;
        ASSERT_EQ(readModel(reporter, model, ifc, &failure), OperationResult::Success) << failure.message;
        ASSERT_EQ(model.objects.size(), 1u);
        EXPECT_EQ(model.objects[0]->triangleCount(), 1u);
        EXPECT_EQ(model.profile.kind, FormatKind::Obj);
        EXPECT_FALSE(std::filesystem::exists(ifcObjPath(ifc)));
        struct stat info {};
        ASSERT_EQ(::stat(ifcWorkFolder().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
    // A tool that fails, or one that writes no OBJ.
    for (const char* failing : {"exit 3\n", "exit 0\n"}) {
        SCOPED_TRACE(failing);
        const IfcToolRegistration tool(failing);
        StoppableReporter reporter;
        Model model;
        Failure failure;
        ASSERT_EQ(readModel(reporter, model, ifc, &failure), OperationResult::Success) << failure.message;
        EXPECT_EQ(model.objects.size(), 3u); // as the helper reads it
        EXPECT_EQ(model.profile.kind, FormatKind::External);
    }
}

TEST(IfcConverter, StopKillsTheToolAndAMissingToolFails)
{
    TempDir dir;
    writeFile(dir / "a.ifc", "ISO-10303-21;\n");
    {
        const IfcToolRegistration tool("sleep 30\n");
        StoppableReporter reporter;
        std::thread canceller([&reporter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            reporter.requestStop();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(runIfcConverter(reporter, dir / "a.ifc", ifcOutputPath(dir / "a.ifc")), OperationResult::Cancelled);
        canceller.join();
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    }
    // The build registers its own tool machine-wide, so a registered tool
    // that cannot start stands in for a missing one here.
    TempDir other;
    writeFile(other / "not-a-program", "");
    Failure failure;
    StoppableReporter reporter;
    EXPECT_EQ(runIfcTool(reporter, other / "not-a-program", dir / "a.ifc", ifcOutputPath(dir / "a.ifc"),
                         ConverterLimits{}, &failure),
              OperationResult::Failure);
    EXPECT_NE(failure.message.find("cannot start"), std::string::npos) << failure.message;
}

TEST(IfcConverter, APublicWorkFolderIsNotUsed)
{
    TempDir dir;
    const std::filesystem::path open = dir / "open";
    ASSERT_TRUE(std::filesystem::create_directory(open));
    ::chmod(open.c_str(), 0777);
    Failure failure;
    EXPECT_EQ(ensurePrivateFolder(open, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("not a private folder"), std::string::npos) << failure.message;
    std::filesystem::create_directory_symlink(dir.path(), dir / "link");
    EXPECT_EQ(ensurePrivateFolder(dir / "link"), OperationResult::Failure);
    EXPECT_EQ(ensurePrivateFolder(dir / "private"), OperationResult::Success);
}

} // namespace
} // namespace morvex

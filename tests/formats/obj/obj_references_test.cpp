// Material libraries and textures named by an OBJ file are read only inside
// the OBJ's folder tree or folders the user allows; whatever else a file
// names (an absolute path, "../", a link out of the folder) is not read and
// never copied beside an output.

#include "common/cli_run.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/obj/obj.h"
#include "support/platform/reference_policy.h"

#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>

namespace morvex {
namespace {

using namespace morvex::testing;
namespace fs = std::filesystem;

struct ReferenceFolders {
    TempDir dir;
    fs::path models = dir / "models";
    fs::path secret = dir / "secret";

    ReferenceFolders()
    {
        fs::create_directories(models / "maps");
        fs::create_directories(secret);
        writeFile(secret / "id_rsa", "PRIVATE KEY");
        writeFile(secret / "other.png", "other");
        writeFile(secret / "evil.mtl", "newmtl evil\nmap_Kd " + (secret / "id_rsa").string() + "\n");
        writeFile(models / "maps" / "wood.png", "wood");
        fs::create_symlink(secret / "id_rsa", models / "maps" / "link.png");
        writeFile(models / "lib.mtl", "newmtl a\nKd 1 0 0\nmap_Kd maps/wood.png\n"
                                      "newmtl b\nmap_Kd " +
                                          (secret / "id_rsa").string() +
                                          "\n"
                                          "newmtl c\nmap_Kd ../secret/other.png\n"
                                          "newmtl d\nmap_Kd maps/link.png\n");
        writeFile(models / "m.obj", "mtllib lib.mtl\nmtllib ../secret/evil.mtl\n"
                                    "v 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                    "usemtl a\nf 1 2 3\nusemtl b\nf 1 2 3\nusemtl c\nf 1 2 3\nusemtl d\nf 1 2 3\n");
    }
};

std::set<std::string> textureNames(const Model& model)
{
    std::set<std::string> names;
    for (const auto& material : model.materials)
        for (const TextureMap& texture : material->textures)
            names.insert(fs::path(texture.path).filename().string());
    return names;
}

TEST(ObjReferences, OnlyFilesInsideTheModelsFolderOrAllowedOnesAreRead)
{
    ReferenceFolders folders;
    {
        Model model;
        RecordingReporter reporter;
        ASSERT_EQ(obj::readObj(folders.models / "m.obj", model, reporter), OperationResult::Success);
        EXPECT_EQ(textureNames(model), (std::set<std::string>{"wood.png"}));
        EXPECT_EQ(model.materials.size(), 4u) << "the library outside is not read, its material not made";
        ASSERT_EQ(reporter.messages.size(), 4u);
        for (const std::string& message : reporter.messages)
            EXPECT_NE(message.find("--allow-references"), std::string::npos) << message;
    }
    setReferencePolicy({{folders.secret}});
    {
        Model model;
        RecordingReporter reporter;
        ASSERT_EQ(obj::readObj(folders.models / "m.obj", model, reporter), OperationResult::Success);
        EXPECT_EQ(textureNames(model), (std::set<std::string>{"wood.png", "id_rsa", "other.png", "link.png"}));
        EXPECT_TRUE(reporter.messages.empty());
    }
    setReferencePolicy({});
}

// The converted OBJ ships its textures in a Textures folder: only what the
// model may refer to goes there.
TEST(ObjReferences, ConversionCopiesNoFileFromOutside)
{
    ReferenceFolders folders;
    const CliRun convert(folders.dir / "config", "convert");
    std::string output;
    ASSERT_EQ(convert(shellQuote((folders.models / "m.obj").string()) + " --to obj --output " +
                          shellQuote((folders.dir / "out").string()) + " --create-folder",
                      &output),
              0)
        << output;
    std::set<std::string> copied;
    for (const auto& entry : fs::directory_iterator(folders.dir / "out" / "Textures"))
        copied.insert(entry.path().filename().string());
    EXPECT_EQ(copied, (std::set<std::string>{"wood.png"}));
    EXPECT_EQ(readFile(folders.dir / "out" / "m.obj").find("id_rsa"), std::string::npos);
    EXPECT_NE(output.find("lies outside the model's folder"), std::string::npos) << output;

    // Allowed by the user, the other folder's texture comes along.
    fs::remove_all(folders.dir / "out");
    ASSERT_EQ(convert(shellQuote((folders.models / "m.obj").string()) + " --to obj --output " +
                          shellQuote((folders.dir / "out").string()) + " --create-folder --allow-references " +
                          shellQuote(folders.secret.string()),
                      &output),
              0)
        << output;
    EXPECT_TRUE(fs::exists(folders.dir / "out" / "Textures" / "other.png")) << output;
}

TEST(ObjReferences, OnlyRegularFilesOfSensibleSizeAreCopied)
{
    TempDir dir;
    writeFile(dir / "small.png", "png");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.png");
    EXPECT_TRUE(copyableReference(dir / "small.png"));
    std::string why;
    EXPECT_FALSE(copyableReference(dir / "pipe.png", &why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    EXPECT_FALSE(copyableReference(dir / "zero.png"));
    EXPECT_FALSE(copyableReference(dir / "folder-that-is-not-there"));
    setReferencePolicy({{}, 2});
    EXPECT_FALSE(copyableReference(dir / "small.png"));
    setReferencePolicy({});
}

} // namespace
} // namespace morvex

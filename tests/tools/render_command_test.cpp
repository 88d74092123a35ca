#include "cli_test_files.h"
#include "common/cli_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace morvex::testing {
namespace {

// Width and height from a PNG file's header; (0, 0) when it is none.
std::pair<std::uint32_t, std::uint32_t> pngSize(const std::filesystem::path& path)
{
    const std::string bytes = readFile(path);
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    const auto bigEndian = [&bytes](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i)
            value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return {bigEndian(16), bigEndian(20)};
}

std::size_t countOf(const std::string& text, std::string_view part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(RenderCommand, DrawsEveryModelOfAFolderAndReportsTheOnesThatFail)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "models");
    writeBinaryStl(dir / "models" / "fan.stl", 40);
    writeFile(dir / "models" / "quad.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n");
    writeFile(dir / "models" / "broken.stl", "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 1 2\n");
    const CliRun render(dir / "config", "render");
    const std::string pictures = (dir / "pictures").string();

    std::string output;
    EXPECT_EQ(render("--png " + shellQuote(pictures) + " --size 64x48 --jobs 2 --json " +
                         shellQuote((dir / "models").string()),
                     &output, true),
              1)
        << output;
    // One picture per model that reads, of the size asked for; nothing for
    // the broken file.
    EXPECT_EQ(pngSize(dir / "pictures" / "fan.png"), std::make_pair(64u, 48u));
    EXPECT_EQ(pngSize(dir / "pictures" / "quad.png"), std::make_pair(64u, 48u));
    EXPECT_FALSE(std::filesystem::exists(dir / "pictures" / "broken.png"));
    // One JSON object per file and the summary, as convert prints them.
    EXPECT_EQ(countOf(output, "\"statusText\":\"Success\""), 2u) << output;
    EXPECT_EQ(countOf(output, "\"statusText\":\"Read failed\""), 1u) << output;
    EXPECT_NE(output.find("\"exitStatus\":1"), std::string::npos) << output;

    // Drawn again, the old pictures are replaced without a question; the
    // default size is 800x600, and turning the view changes the picture.
    const std::string before = readFile(dir / "pictures" / "fan.png");
    EXPECT_EQ(
        render("--png " + shellQuote(pictures) + " " + shellQuote((dir / "models" / "fan.stl").string()), &output), 0)
        << output;
    EXPECT_EQ(pngSize(dir / "pictures" / "fan.png"), std::make_pair(800u, 600u));
    const std::string upright = readFile(dir / "pictures" / "fan.png");
    EXPECT_EQ(render("--png " + shellQuote(pictures) + " --yaw 90 --pitch 30 " +
                         shellQuote((dir / "models" / "fan.stl").string()),
                     &output),
              0)
        << output;
    EXPECT_NE(readFile(dir / "pictures" / "fan.png"), upright);
    EXPECT_NE(upright, before);
    // Nothing but the pictures is left in the folder.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir / "pictures"))
        ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST(RenderCommand, RefusesBadOptionsBeforeDrawing)
{
    TempDir dir;
    writeBinaryStl(dir / "fan.stl", 4);
    const CliRun render(dir / "config", "render");
    const std::string model = shellQuote((dir / "fan.stl").string());
    const std::string pictures = " --png " + shellQuote((dir / "out").string()) + " ";
    std::string output;
    EXPECT_EQ(render(model, &output), 2);
    EXPECT_NE(output.find("--png"), std::string::npos) << output;
    for (const std::string bad :
         {"--size 0x10", "--size 10x", "--size 20000x10", "--yaw north", "--pitch 1e400", "--jobs 0", "--color red"}) {
        EXPECT_EQ(render(pictures + bad + " " + model, &output), 2) << bad << ": " << output;
        EXPECT_NE(output.find("Try 'morvex-cli render --help'"), std::string::npos) << output;
    }
    EXPECT_EQ(render(pictures, &output), 2) << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_EQ(render("--help", &output), 0);
    EXPECT_NE(output.find("--size WxH"), std::string::npos) << output;
}

} // namespace
} // namespace morvex::testing

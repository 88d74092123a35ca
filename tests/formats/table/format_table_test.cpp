#include "app/model_io.h"
#include "common/cli_convert.h"
#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"
#include "formats/format_table.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace morvex {
namespace {

using namespace morvex::testing;
namespace fs = std::filesystem;

// What a format keeps of a model through its writer and reader. OBJ writes
// texture coordinates with its material library, so the model has a material;
// 3DS keeps them with the vertices.
struct Keeps {
    bool colours;
    bool normals;
    bool texCoords;
};

Keeps keepsOf(std::string_view name)
{
    if (name == "3dp")
        return {true, true, false};
    if (name == "obj")
        return {false, true, true};
    if (name == "3ds")
        return {false, false, true};
    if (name == "stl" || name == "3mf" || name == "ply")
        return {true, false, false};
    return {false, false, false};
}

constexpr ArgbColor Red = 0xFFFF0000u;
constexpr ArgbColor Blue = 0xFF0000FFu;

// Two triangles apart, one red and one blue, with a normal and a texture
// coordinate per corner, and one material.
void addTwoTriangles(Model& model)
{
    ModelObject& object =
        addMesh(model, {{0, 0, 0}, {2, 0, 0}, {0, 3, 0}, {1, 1, 1}, {2, 1, 1}, {1, 2, 4}}, {0, 1, 2, 3, 4, 5});
    const std::uint32_t corners = object.indices.count();
    ASSERT_TRUE(object.colors.allocate(corners));
    ASSERT_TRUE(object.normals.allocate(corners));
    ASSERT_TRUE(object.texCoords.allocate(corners));
    for (std::uint32_t k = 0; k < corners; ++k) {
        object.colors[k] = k < 3 ? Red : Blue;
        object.normals[k] = {0, 0, 1};
        object.texCoords[k] = {0.25f * static_cast<float>(k % 4), 0.5f};
    }
    Material* material = model.addMaterial();
    ASSERT_NE(material, nullptr);
    material->setColor(DiffuseSlot, 0xFF808080u);
}

// STL keeps five bits a channel.
bool nearlySameColour(ArgbColor a, ArgbColor b)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const int difference = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (difference < -8 || difference > 8)
            return false;
    }
    return true;
}

Bounds boundsOf(const Model& model)
{
    Bounds bounds;
    for (const auto& object : model.objects) {
        const Matrix4 placement = placementMatrix(*object);
        for (const Vector3& v : object->vertices)
            bounds.add(transformPoint(v, placement));
    }
    return bounds;
}

TEST(FormatTable, EveryReaderReadsWhatItsWriterWrote)
{
    TempDir dir;
    for (const FileFormat& format : fileFormats()) {
        if (!format.writable())
            continue;
        const std::string name(format.name);
        Model model;
        addTwoTriangles(model);
        RecordingReporter reporter;
        const fs::path file = dir / ("model-" + name + "." + std::string(format.extension));
        Failure failure;
        ASSERT_EQ(writeModel(reporter, file, model, format, &failure), OperationResult::Success)
            << name << ": " << describeFailure(failure);

        const FileFormat* reader = formatForPath(file);
        ASSERT_NE(reader, nullptr) << name;
        ASSERT_EQ(reader->route, ReadRoute::OwnReader) << name;
        Model back;
        ASSERT_EQ(readModel(reporter, back, file, *reader, &failure), OperationResult::Success)
            << name << ": " << describeFailure(failure);
        ASSERT_EQ(back.objects.size(), 1u) << name;
        const ModelObject& object = *back.objects[0];
        EXPECT_EQ(object.triangleCount(), 2u) << name;
        const Bounds bounds = boundsOf(back);
        EXPECT_EQ(bounds.min, (Vector3{0, 0, 0})) << name;
        EXPECT_EQ(bounds.max, (Vector3{2, 3, 4})) << name;

        const Keeps keeps = keepsOf(name);
        if (keeps.colours) {
            ASSERT_FALSE(object.colors.empty()) << name;
            for (std::uint32_t k = 0; k < object.indices.count(); ++k) {
                const Vector3& corner = object.vertices[object.indices[k]];
                const ArgbColor expected = corner.z == 0 ? Red : Blue; // the red triangle lies flat
                EXPECT_TRUE(nearlySameColour(object.cornerColor(k), expected))
                    << name << " corner " << k << ": " << std::hex << object.cornerColor(k);
            }
        }
        if (keeps.normals) {
            EXPECT_EQ(object.normals.count(), object.indices.count()) << name;
        }
        if (keeps.texCoords) {
            EXPECT_FALSE(object.texCoords.empty()) << name;
        }
    }
}

TEST(FormatTable, LookupsAgreeWithTheRows)
{
    std::set<std::string> outputNames;
    std::set<int> listPositions;
    for (const FileFormat& format : fileFormats()) {
        const std::string name(format.name);
        EXPECT_EQ(format.route == ReadRoute::OwnReader, format.read != nullptr) << name;
        if (format.readable()) {
            EXPECT_EQ(formatForExtension("." + std::string(format.extension)), &format) << name;
            EXPECT_EQ(profileForExtension(format.extension), format.profile) << name;
        }
        if (format.writable()) {
            EXPECT_TRUE(outputNames.insert(name).second) << "two writers named " << name;
            EXPECT_EQ(outputFormatNamed(name), &format);
            EXPECT_EQ(outputFormatOfKind(format.profile.kind), &format) << name;
        }
        if (format.outputListIndex >= 0) {
            EXPECT_TRUE(listPositions.insert(format.outputListIndex).second) << name;
            EXPECT_EQ(outputListEntry(format.outputListIndex), &format);
        }
    }
    EXPECT_EQ(listPositions, (std::set<int>{0, 1, 2, 3, 4, 5})) << "the desktop program's six output formats";
    EXPECT_EQ(outputFormatNamed("STL"), outputFormatNamed(".stl"));
    EXPECT_EQ(outputFormatNamed("mqo"), nullptr) << "no writer, so not an output";
    EXPECT_EQ(outputFormatNamed("fbx"), nullptr);
    EXPECT_EQ(formatForExtension(".doc"), nullptr);
    EXPECT_EQ(profileForExtension(".doc"), FormatProfile{});
    EXPECT_EQ(outputFormatOfKind(FormatKind::Unknown), nullptr);
    EXPECT_FALSE(keepsPlacement(FormatKind::StlAscii));
    EXPECT_TRUE(keepsPlacement(FormatKind::External));
    EXPECT_TRUE(keepsPlacement(FormatKind::Unknown));
}

TEST(FormatTable, EveryOutputNameConvertsTheBracket)
{
    TempDir dir;
    const fs::path bracket = sourceDir() / "examples" / "bracket.stl";
    for (const FileFormat& format : fileFormats()) {
        if (!format.writable())
            continue;
        const std::string name(format.name);
        const fs::path folder = dir / name;
        std::string output;
        ASSERT_EQ(convertWithCli(bracket, name, folder, &output), 0) << name << ": " << output;
        const fs::path written = folder / ("bracket." + std::string(format.extension));
        Model back;
        RecordingReporter reporter;
        Failure failure;
        ASSERT_EQ(readModel(reporter, back, written, &failure), OperationResult::Success)
            << name << ": " << describeFailure(failure);
        std::uint32_t triangles = 0;
        for (const auto& object : back.objects)
            triangles += object->triangleCount();
        EXPECT_EQ(triangles, 20u) << name;
    }
}

// The README's "Formats" table: a row per format read or written by our own
// code (SDF's meshes through the helper included), whose last column names the --to values that write it.
TEST(FormatTable, ReadmeListsTheFormatsOfTheTable)
{
    const std::string readme = readFile(sourceDir() / "README.md");
    const std::size_t start = readme.find("\n## Formats\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream lines(readme.substr(start));
    std::set<std::string> documented;
    std::string line;
    std::getline(lines, line); // the empty line before the heading
    std::getline(lines, line); // the heading
    while (std::getline(lines, line) && !line.starts_with("## "))
        if (line.starts_with("| ") && !line.starts_with("| format") && !line.starts_with("|---"))
            documented.insert(line);

    std::set<std::string> expected;
    for (const FileFormat& format : fileFormats()) {
        if (format.route != ReadRoute::OwnReader && format.route != ReadRoute::OwnReaderWithHelper)
            continue;
        std::string outputs;
        for (const FileFormat& writer : fileFormats())
            if (writer.writable() && writer.extension == format.extension)
                outputs += (outputs.empty() ? "`" : ", `") + std::string(writer.name) + "`";
        expected.insert("| " + std::string(format.description) + " | ." + std::string(format.extension) + " | yes | " +
                        (outputs.empty() ? "no" : outputs) + " |");
    }
    EXPECT_EQ(documented, expected);
}

} // namespace
} // namespace morvex

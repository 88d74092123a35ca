#include "formats/mqo/mqo.h"

#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

namespace morvex::mqo {
namespace {

using morvex::testing::TempDir;
using morvex::testing::toVector;
using morvex::testing::writeFile;
namespace fs = std::filesystem;

OperationResult read(std::string_view text, Model& model, Failure* failure = nullptr,
                     RecordingReporter* reporter = nullptr)
{
    RecordingReporter own;
    return readMqo(text, "test.mqo", model, reporter != nullptr ? *reporter : own, failure);
}

constexpr std::string_view Header = "Metasequoia Document\r\nFormat Text Ver 1.0\r\n\r\n";

std::string object(std::string_view name, std::string_view vertices, std::string_view faces)
{
    return "Object \"" + std::string(name) + "\" {\r\n\tdepth 0\r\n\tcolor 0.898 0.498 0.698\r\n" +
           std::string(vertices) + std::string(faces) + "}\r\n";
}

TEST(MqoReader, ObjectsVerticesAndFacesAsTheFileHasThem)
{
    const std::string text =
        std::string(Header) + "Scene {\r\n\tdirlights 1 {\r\n\t\tlight {\r\n\t\t}\r\n\t}\r\n}\r\n" +
        "Material 1 {\r\n\t\"mat1\" col(1 1 1 1)\r\n}\r\n" +
        object("first",
               "\tvertex 5 {\r\n\t\t0 0 0\r\n\t\t1 0 0\r\n\t\t1 1 0\r\n\t\t0 1 0\r\n\t\t2.5 -3e1 .25\r\n\t}\r\n",
               "\tface 4 {\r\n\t\t4 V(0 1 2 3) M(0) UV(0 0 1 0 1 1 0 1)\r\n\t\t5 V(0 1 2 3 4)\r\n"
               "\t\t3 V(4 0 1)\r\n\t\t3 V(0 1 9)\r\n\t}\r\n") +
        object("second", "\tvertex 3 {\r\n\t\t7 8 9\r\n\t\t1 2 3\r\n\t}\r\n",
               "\tface 1 {\r\n\t\t3 V(2 1 0)\r\n\t}\r\n") +
        "Eof\r\n";
    Model model;
    Failure failure;
    RecordingReporter reporter;
    ASSERT_EQ(read(text, model, &failure, &reporter), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(model.profile.kind, FormatKind::Mqo);
    EXPECT_TRUE(model.materials.empty()) << "materials are not read";
    EXPECT_EQ(reporter.indeterminateBegins, reporter.indeterminateEnds);
    ASSERT_EQ(model.objects.size(), 2u);
    const ModelObject& first = *model.objects[0];
    EXPECT_EQ(first.properties.getProperty("ObjectName"), "first");
    EXPECT_EQ(first.vertices[4], (Vector3{2.5f, -30.0f, 0.25f}));
    // The quad in two, the pentagon and the face beyond the vertices left out.
    EXPECT_EQ(toVector(first.indices), (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 0, 4, 0, 1}));
    EXPECT_TRUE(first.texCoords.empty() && first.normals.empty() && first.colors.empty());
    const ModelObject& second = *model.objects[1];
    EXPECT_EQ(second.properties.getProperty("ObjectName"), "second");
    EXPECT_EQ(toVector(second.vertices), (std::vector<Vector3>{{7, 8, 9}, {1, 2, 3}, {0, 0, 0}}))
        << "a vertex without a line is at the origin";
    EXPECT_EQ(toVector(second.indices), (std::vector<std::uint32_t>{2, 1, 0}));
}

// A file saved as UTF-16 with a mark reads as its UTF-8 text, names
// included; text in no encoding we can tell (UTF-16 without a mark) is
// refused with the reason, never read as an empty scene.
TEST(MqoReader, Utf16WithAMarkIsReadOtherEncodingsRefused)
{
    const std::string text = std::string(Header) +
                             object("\xe7\x89\xa9", "\tvertex 3 {\r\n\t\t0 0 0\r\n\t\t1 0 0\r\n\t\t0 1 0\r\n\t}\r\n",
                                    "\tface 1 {\r\n\t\t3 V(0 1 2)\r\n\t}\r\n") +
                             "Eof\r\n";
    for (const bool bigEndian : {false, true}) {
        Model model;
        Failure failure;
        ASSERT_EQ(read(morvex::testing::utf16Text(text, bigEndian), model, &failure), OperationResult::Success)
            << describeFailure(failure);
        ASSERT_EQ(model.objects.size(), 1u);
        EXPECT_EQ(model.objects[0]->properties.getProperty("ObjectName"), "\xe7\x89\xa9");
        EXPECT_EQ(model.objects[0]->triangleCount(), 1u);
    }
    Model model;
    Failure failure;
    EXPECT_EQ(read(morvex::testing::utf16Text(text, false, false), model, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("UTF-16"), std::string::npos) << failure.message;
    EXPECT_TRUE(model.objects.empty());
}

TEST(MqoReader, LineEndsNamesAndNestedChunks)
{
    // LF CR is one line end, as is CR LF; two LFs are two. A nested chunk
    // of an object is skipped whole rather than ending the object. Names in
    // Shift-JIS ("イス") become UTF-8; a byte that is not Shift-JIS becomes
    // U+FFFD.
    const std::string text = "Metasequoia Document\n\rFormat Text Ver 1.1\n\n"
                             "Object \"\x83\x43\x83\x58\" {\n\r\tvertexattr {\n\r\t\tuid {\n\r\t\t}\n\r\t}\n\r"
                             "\tvertex 3 {\n\r\t\t0 0 0\n\r\t\t1 0 0\n\r\t\t0 1 0\n\r\t}\n\r"
                             "\tface 1 {\n\r\t\t3 V(0 1 2)\n\r\t}\n\r}\n\r"
                             "Object \"bad\xA1\xFF name\" {\n\tvertex 3 {\n0 0 0\n1 0 0\n0 1 0\n}\n"
                             "\tface 1 {\n3 V(0 2 1)\n}\n}\nEof\n";
    Model model;
    Failure failure;
    ASSERT_EQ(read(text, model, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(model.objects.size(), 2u);
    EXPECT_EQ(model.objects[0]->properties.getProperty("ObjectName"), "\xE3\x82\xA4\xE3\x82\xB9");
    EXPECT_EQ(toVector(model.objects[0]->vertices), (std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
    EXPECT_EQ(model.objects[0]->triangleCount(), 1u);
    EXPECT_EQ(model.objects[1]->properties.getProperty("ObjectName"), "bad\xEF\xBD\xA1\xEF\xBF\xBD name")
        << "0xA1 is the halfwidth full stop, 0xFF no character";
    EXPECT_EQ(shiftJisToUtf8("plain"), "plain");
    EXPECT_EQ(shiftJisToUtf8("\x82\xA0"), "\xE3\x81\x82"); // あ
    EXPECT_EQ(shiftJisToUtf8("\x82"), "\xEF\xBF\xBD") << "a character cut off";
}

TEST(MqoReader, BadInputFailsWithAReasonAndALine)
{
    struct Case {
        const char* name;
        std::string text;
        const char* reason;
        std::uint64_t line;
    };
    const std::string vertices = "\tvertex 3 {\n0 0 0\n1 0 0\n0 1 0\n\t}\n";
    const Case cases[] = {
        {"no header", "Format Text Ver 1.0\n", "not an MQO file", 1},
        {"huge vertex count", std::string("Metasequoia Document\nObject \"a\" {\n\tvertex 4000000000 {\n0 0 0\n}\n}\n"),
         "vertex count 4000000000 is larger than the rest of the file", 3},
        {"count beyond 64 bits", "Metasequoia Document\nObject \"a\" {\n\tvertex 99999999999999999999 {\n}\n}\n",
         "larger than the rest of the file", 3},
        {"huge face count", "Metasequoia Document\nObject \"a\" {\n" + vertices + "\tface 4000000000 {\n}\n}\n",
         "face count 4000000000", 8},
        {"faces before vertices",
         "Metasequoia Document\nObject \"a\" {\n\tface 1 {\n3 V(0 1 2)\n\t}\n" + vertices + "}\n",
         "faces before the vertices", 3},
        {"vertices after faces",
         "Metasequoia Document\nObject \"a\" {\n" + vertices +
             "\tface 1 {\n3 V(0 1 2)\n\t}\n\tvertex 2 {\n0 0 0\n1 0 0\n\t}\n}\n",
         "a vertex chunk after the object's faces", 11},
        {"object not closed", "Metasequoia Document\nObject \"a\" {\n" + vertices, "Object chunk not closed", 7},
        {"vertex chunk not closed", "Metasequoia Document\nObject \"a\" {\n\tvertex 3 {\n0 0 0\n",
         "vertex chunk not closed", 4},
        {"face chunk not closed", "Metasequoia Document\nObject \"a\" {\n" + vertices + "\tface 1 {\n3 V(0 1 2)\n",
         "face chunk not closed", 9},
        {"scene not closed", "Metasequoia Document\nScene {\n\tpos 0 0 0\n", "Scene chunk not closed", 3},
    };
    for (const Case& c : cases) {
        Model model;
        Failure failure;
        EXPECT_EQ(read(c.text, model, &failure), OperationResult::Failure) << c.name;
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << c.name << ": " << describeFailure(failure);
        EXPECT_EQ(failure.line, c.line) << c.name << ": " << describeFailure(failure);
        EXPECT_TRUE(model.objects.empty()) << c.name;
    }

    TempDir dir;
    writeFile(dir / "empty.mqo", "");
    for (const fs::path& path : {dir / "empty.mqo", dir.path(), dir / "none.mqo"}) {
        Model model;
        Failure failure;
        RecordingReporter reporter;
        EXPECT_EQ(readMqo(path, model, reporter, &failure), OperationResult::Failure) << path;
        EXPECT_TRUE(failure.recorded()) << path;
    }
}

TEST(MqoReader, StopsWhenAsked)
{
    std::string text = "Metasequoia Document\nObject \"a\" {\n\tvertex 5000 {\n";
    for (int v = 0; v < 5000; ++v)
        text += "\t\t1 2 3\n";
    text += "\t}\n}\n";
    Model model;
    RecordingReporter reporter;
    reporter.cancelAfterChecks(3);
    EXPECT_EQ(read(text, model, nullptr, &reporter), OperationResult::Cancelled);
    EXPECT_TRUE(model.objects.empty());
}

} // namespace
} // namespace morvex::mqo

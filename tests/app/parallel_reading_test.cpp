#include "app/pipeline.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/parallel_ranges.h"
#include "support/text/text_pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::testing;
namespace fs = std::filesystem;

namespace {

// Threads per file and the smallest piece of text worth a thread, restored
// when a test ends, so that small files are cut into as many pieces as the
// threads allow.
struct PiecesScope {
    PiecesScope(unsigned threads, std::uint64_t pieceBytes)
    {
        setThreadsPerFile(threads);
        setMinimumTextPieceBytes(pieceBytes);
    }
    ~PiecesScope()
    {
        setThreadsPerFile(1);
        setMinimumTextPieceBytes(0);
    }
};

// What a conversion gave: its status, its failure, the messages it posted
// (warnings, dropped faces) and the bytes written.
struct Outcome {
    ConversionStatus status = ConversionStatus::Success;
    std::string failure;
    std::vector<std::string> messages;
    std::string bytes;

    bool operator==(const Outcome&) const = default;
};

Outcome convertWith(const fs::path& source, const fs::path& output, FormatKind kind, unsigned threads,
                    std::uint64_t pieceBytes)
{
    const PiecesScope scope(threads, pieceBytes);
    ConversionSettings settings;
    settings.outputKind = kind;
    settings.outputExtension = output.extension().string().substr(1);
    RecordingReporter reporter;
    Failure failure;
    fs::remove(output);
    Outcome outcome;
    outcome.status = convertFile(source, output, settings, reporter, &failure);
    if (outcome.status != ConversionStatus::Success)
        outcome.failure = describeFailure(failure);
    outcome.messages = reporter.messages;
    if (fs::exists(output))
        outcome.bytes = readFile(output);
    return outcome;
}

struct Output {
    FormatKind kind;
    const char* extension;
};
const Output everyOutput[] = {{FormatKind::StlBinary, "stl"}, {FormatKind::StlAscii, "stl"},
                              {FormatKind::Ply, "ply"},       {FormatKind::Obj, "obj"},
                              {FormatKind::ThreeDs, "3ds"},   {FormatKind::Document3dp, "3dp"}};

// Converts `source` with one thread, then cut into pieces for 2 to 5
// threads, and expects the same outcome every time; returns how many of
// those readings used the pieces.
std::uint64_t expectSameOnEveryThreadCount(const fs::path& source, const fs::path& folder,
                                           std::span<const Output> outputs, std::uint64_t pieceBytes)
{
    const std::uint64_t before = textsReadInPieces();
    for (const Output& output : outputs) {
        fs::create_directories(folder / "out");
        const fs::path target = folder / "out" / (source.stem().string() + "." + output.extension);
        const Outcome one = convertWith(source, target, output.kind, 1, pieceBytes);
        for (const unsigned threads : {2u, 3u, 5u}) {
            const Outcome several = convertWith(source, target, output.kind, threads, pieceBytes);
            EXPECT_EQ(several.status, one.status) << source << " on " << threads << " threads";
            EXPECT_EQ(several.failure, one.failure) << source << " on " << threads << " threads";
            EXPECT_EQ(several.messages, one.messages) << source << " on " << threads << " threads";
            EXPECT_TRUE(several.bytes == one.bytes)
                << source << " as ." << output.extension << " on " << threads << " threads: the outputs differ";
        }
    }
    return textsReadInPieces() - before;
}

// An OBJ file with what a reading in pieces has to carry across a cut:
// negative indices reaching back over many lines, vertex colours, texture
// coordinates and normals that start halfway, materials from a library and
// named only by "usemtl" (the same one again in a row), groups, smoothing
// groups, polygons, faces naming vertices that do not exist, comments, and
// CR LF, CR and LF line endings.
std::string busyObj(int side)
{
    std::string text = "# generated\r\nmtllib parts.mtl\n";
    const char* endings[] = {"\n", "\r\n", "\r"};
    int line = 0;
    const auto add = [&](const std::string& content) { text += content + endings[line++ % 3]; };
    for (int part = 0; part < 4; ++part) {
        add("o part" + std::to_string(part));
        add("g group" + std::to_string(part % 2));
        add(part == 2 ? "usemtl unnamed_here" : "usemtl " + std::string(part % 2 ? "red" : "blue"));
        add("s " + std::to_string(part));
        for (int row = 0; row <= side; ++row)
            for (int column = 0; column <= side; ++column) {
                std::string vertex = "v " + std::to_string(column * 0.37 + part) + " " + std::to_string(row * -0.29) +
                                     " " + std::to_string((row * column) % 7 * 0.013);
                if (part >= 1)
                    vertex += " " + std::to_string((row % 10) / 10.0) + " 0.5 1";
                add(vertex);
                if (part >= 2) {
                    add("vt " + std::to_string(column / double(side)) + " " + std::to_string(row / double(side)));
                    add("vn 0 0." + std::to_string(row % 10) + " 1");
                }
            }
        const int count = (side + 1) * (side + 1);
        for (int row = 0; row < side; ++row)
            for (int column = 0; column < side; ++column) {
                // Negative indices count back from the last vertex of the part.
                const int a = row * (side + 1) + column - count, b = a + 1, c = a + side + 1, d = c + 1;
                if (row == side / 2 && column == 1)
                    add("usemtl " + std::string(part % 2 ? "red" : "blue"));
                if (part >= 2)
                    add("f " + std::to_string(a) + "/" + std::to_string(a) + "/" + std::to_string(a) + " " +
                        std::to_string(b) + "/" + std::to_string(b) + "/" + std::to_string(b) + " " +
                        std::to_string(d) + "/" + std::to_string(d) + "/" + std::to_string(d) + " " +
                        std::to_string(c) + "/" + std::to_string(c) + "/" + std::to_string(c));
                else
                    add("f " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) + "\nf " +
                        std::to_string(a) + " " + std::to_string(d) + " " + std::to_string(c));
                if (column == 0 && row % 5 == 0)
                    add("f 1 2 999999 # names a vertex the file does not have");
            }
    }
    add("f -1 -2 -3");
    return text;
}

// ASCII STL of several solids with what the reading in pieces has to see
// the same way: blank lines between solids, a broken facet that is
// skipped, lines longer than the reader keeps, mixed line endings.
std::string busyStl(int facets)
{
    std::string text;
    const char* endings[] = {"\n", "\r\n", "\r"};
    for (int solid = 0; solid < 3; ++solid) {
        text += "solid part" + std::to_string(solid) + "\n";
        for (int i = 0; i < facets; ++i) {
            const char* end = endings[(i + solid) % 3];
            const std::string x = std::to_string(i * 0.125 + solid), y = std::to_string(-i * 0.5e-3);
            text += "  facet normal 0 0 1" + std::string(i % 17 == 0 ? 300 : 0, ' ') + end;
            text += std::string("    outer loop") + end;
            if (i % 23 == 5)
                text += std::string("      this line breaks the facet") + end;
            text += "      vertex " + x + " " + y + " 0" + end;
            text += "      vertex " + x + " 1 " + y + end;
            text += "      vertex 1 " + x + " " + y + end;
            text += std::string("    endloop") + end + "  endfacet" + end;
        }
        text += "endsolid part" + std::to_string(solid) + "\n\n\n";
    }
    return text;
}

// ASCII PLY with per-face colours, polygons that become fans, an element
// that is not loaded between the vertices and the faces, mixed line endings,
// and lines after the last record (never read).
std::string busyPly(int side)
{
    const int vertices = (side + 1) * (side + 1), faces = side * side;
    std::string text = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(vertices) +
                       "\nproperty float x\nproperty float y\nproperty float z\nelement note 2\nproperty int n\n"
                       "element face " +
                       std::to_string(faces) +
                       "\nproperty list uchar int vertex_indices\nproperty uchar red\nproperty uchar green\n"
                       "property uchar blue\nend_header\n";
    const char* endings[] = {"\n", "\r\n", "\r"};
    int line = 0;
    for (int row = 0; row <= side; ++row)
        for (int column = 0; column <= side; ++column)
            text += std::to_string(column * 0.37) + " " + std::to_string(row * 1.0e-3) + " " +
                    std::to_string((row * column) % 11) + endings[line++ % 3];
    text += "1\n2\r\n";
    for (int row = 0; row < side; ++row)
        for (int column = 0; column < side; ++column) {
            const int a = row * (side + 1) + column, b = a + 1, c = a + side + 1, d = c + 1;
            text += "4 " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) + " " +
                    std::to_string(c) + " " + std::to_string(row % 256) + " 7 " + std::to_string(column % 256) +
                    endings[line++ % 3];
        }
    return text + "trailing text that no record reads\n";
}

// MQO objects whose chunks a cut can fall into anywhere: every kind of
// line ending (CR LF, LF CR, a CR or LF alone, two of one kind in a row),
// blank and surplus vertex lines, quads, faces naming vertices the object
// lacks, a nested chunk, and an object whose vertex chunk holds a stray "}"
// (read line by line).
std::string busyMqo(int side)
{
    std::string text = "Metasequoia Document\r\nFormat Text Ver 1.0\r\n";
    const char* endings[] = {"\r\n", "\n\r", "\n", "\r", "\n\n", "\r\r\n"};
    int line = 0;
    const auto end = [&] { return endings[line++ % 6]; };
    const int vertices = (side + 1) * (side + 1);
    for (int object = 0; object < 3; ++object) {
        text += "Object \"part" + std::to_string(object) + "\" {\r\n\tdepth 0\r\n\tbvertex 1 {\r\n\t}\r\n";
        text += "\tvertex " + std::to_string(vertices) + " {" + end();
        for (int row = 0; row <= side; ++row)
            for (int column = 0; column <= side; ++column) {
                text += "\t\t" + std::to_string(column * 0.37 + object) + " " + std::to_string(row * -1.5e-3) + " " +
                        std::to_string((row * column) % 7) +
                        (object == 2 && row == side / 2 && column == 0 ? " }" : "") + end();
                if (column == side && row % 4 == 1)
                    text += std::string("\t\t") + end();
            }
        text += "\t\t9 9 9" + std::string(end()) + "\t}" + end();
        text += "\tface " + std::to_string(side * side) + " {" + end();
        for (int row = 0; row < side; ++row)
            for (int column = 0; column < side; ++column) {
                const int a = row * (side + 1) + column, b = a + 1, c = a + side + 1, d = c + 1;
                if ((row + column) % 9 == 4)
                    text += "\t\t4 V(" + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d) + " " +
                            std::to_string(c) + ") M(0)" + end();
                else
                    text += "\t\t3 V(" + std::to_string(a) + " " + std::to_string(b) + " " +
                            std::to_string(column == 3 ? vertices + 5 : d) + ")" + end() + "\t\t3 V(" +
                            std::to_string(a) + " " + std::to_string(d) + " " + std::to_string(c) + ")" + end();
            }
        text += "\t}\r\n}\r\n";
    }
    return text + "Eof\r\n";
}

} // namespace

// Every text file of the corpus converts to every format with the same
// bytes, messages and failures whether it is read whole or in pieces.
TEST(ParallelReading, CorpusTextFilesGiveTheSameOutputsInPieces)
{
    if (!corpusAvailable())
        GTEST_SKIP() << "no corpus";
    TempDir dir;
    std::map<std::string, std::uint64_t> piecedByFolder;
    for (const char* name : {"stl/assimp__Spider_ascii.stl",
                             "stl/assimp__triangle_with_two_solids.stl",
                             "stl/openscad__invalidvertex.stl",
                             "stl/trimesh__1002_tray_bottom.STL",
                             "stl/trimesh__angle_block.STL",
                             "obj/assimp__box.obj",
                             "obj/assimp__box_longline.obj",
                             "obj/assimp__box_without_lineending.obj",
                             "obj/assimp__cube_with_vertexcolors.obj",
                             "obj/assimp__testmixed.obj",
                             "obj/trimesh__negative_indices.obj",
                             "obj/assimp__spider/spider.obj",
                             "obj/trimesh__capsule/capsule.obj",
                             "obj/trimesh__fuze/fuze.obj",
                             "obj/assimp__mtl_different_folder/mtl_different_folder.obj",
                             "ply/tinyply__bunny.ply",
                             "ply/assimp__float-color.ply",
                             "ply/assimp__cube.ply",
                             "mqo/webgl-metasequoia__isu.mqo",
                             "mqo/LSBattle__miku.mqo",
                             "mqo/vbinterface-simple-3d-metasequoia-model-viewer__1-73159__hqsphere.mqo"}) {
        const fs::path source = corpusDir() / name;
        if (!fs::exists(source))
            continue;
        // Large files are compared in the two formats that keep everything
        // the readers give; small ones in every format.
        const std::uint64_t size = fs::file_size(source);
        const std::vector<Output> outputs = size > 200000
                                                ? std::vector<Output>{everyOutput[0], everyOutput[3]}
                                                : std::vector<Output>(std::begin(everyOutput), std::end(everyOutput));
        piecedByFolder[fs::path(name).begin()->string()] +=
            expectSameOnEveryThreadCount(source, dir.path(), outputs, std::max<std::uint64_t>(size / 8, 64));
    }
    for (const char* folder : {"stl", "obj", "ply", "mqo"})
        EXPECT_GT(piecedByFolder[folder], 0u) << "no " << folder << " file was read in pieces";
}

// Generated files with everything a cut can fall into, cut at many places,
// give the same outputs in pieces; and every one of them was read in pieces.
TEST(ParallelReading, GeneratedFilesGiveTheSameOutputsInPieces)
{
    TempDir dir;
    writeFile(dir / "parts.obj", busyObj(24));
    writeFile(dir / "parts.mtl", "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\nmap_Kd missing.png\n");
    writeFile(dir / "parts.stl", busyStl(400));
    writeFile(dir / "parts.ply", busyPly(60));
    writeFile(dir / "parts.mqo", busyMqo(30));
    for (const char* name : {"parts.obj", "parts.stl", "parts.ply", "parts.mqo"}) {
        const std::uint64_t size = fs::file_size(dir / name);
        // MQO is cut chunk by chunk: two objects of three have their vertices
        // and faces in pieces, the third only its faces.
        const bool mqo = fs::path(name).extension() == ".mqo";
        const std::uint64_t readings = mqo ? 5u : 1u;
        for (const std::uint64_t pieceBytes :
             mqo ? std::array{size / 40, size / 24 + 1, size / 16} : std::array{size / 6, size / 4 + 1, size / 3})
            EXPECT_EQ(expectSameOnEveryThreadCount(dir / name, dir.path(), everyOutput, pieceBytes), 6u * 3u * readings)
                << name << " in pieces of " << pieceBytes << " bytes";
    }
}

// A file the reading would fail on reports the same failure (reason and
// line) in pieces, wherever the fault lies.
TEST(ParallelReading, MalformedFilesFailTheSameWayInPieces)
{
    TempDir dir;
    const std::string obj = busyObj(16);
    const std::string stl = busyStl(200);
    const std::string ply = busyPly(30);
    const std::size_t facesStart = ply.find("\r\n", ply.find("1\n2")) + 2;
    const std::size_t third = obj.size() / 3, late = obj.size() * 5 / 6;
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"two_corners_early.obj", obj.substr(0, obj.find('\n', third) + 1) + "f 1 2\n" + obj.substr(third)},
        {"two_corners_late.obj", obj.substr(0, obj.find('\n', late) + 1) + "f 1 2\n" + obj.substr(late)},
        {"never_closed.stl", stl.substr(0, stl.rfind("endsolid"))},
        {"corner_beyond.ply", ply.substr(0, ply.find('\n', ply.size() * 3 / 4) + 1) + "3 0 1 5000 1 2 3\n" +
                                  ply.substr(ply.find('\n', ply.size() * 3 / 4) + 1)},
        {"bad_coordinate.ply", ply.substr(0, ply.find('\n', facesStart / 2) + 1) + "1 x 2\n" +
                                   ply.substr(ply.find('\n', facesStart / 2) + 1)},
        {"too_few_records.ply", ply.substr(0, ply.size() * 9 / 10)},
        {"ends_in_facet.stl", stl.substr(0, stl.rfind("endloop"))},
        {"infinite.stl", stl.substr(0, stl.size() * 2 / 3) +
                             "\nfacet normal 0 0 1\nouter loop\nvertex 1e39 0 0\n"
                             "vertex 0 1 0\nvertex 0 0 1\nendloop\nendfacet\n" +
                             stl.substr(stl.size() * 2 / 3)},
    };
    for (const Case& malformed : cases) {
        writeFile(dir / malformed.name, malformed.text);
        const Outcome one = convertWith(dir / malformed.name, dir / "out.obj", FormatKind::Obj, 1, 0);
        ASSERT_EQ(one.status, ConversionStatus::ReadFailed) << malformed.name;
        for (const unsigned threads : {2u, 4u}) {
            const Outcome several =
                convertWith(dir / malformed.name, dir / "out.obj", FormatKind::Obj, threads, malformed.text.size() / 5);
            EXPECT_EQ(several.status, ConversionStatus::ReadFailed) << malformed.name;
            EXPECT_EQ(several.failure, one.failure) << malformed.name << " on " << threads << " threads";
            EXPECT_FALSE(fs::exists(dir / "out.obj")) << malformed.name;
        }
    }
}

// A stop asked for while the pieces are read ends the reading as cancelled,
// before the pieces are joined, with no output.
TEST(ParallelReading, CancelStopsAReadingInPieces)
{
    TempDir dir;
    writeFile(dir / "parts.obj", busyObj(60));
    writeFile(dir / "parts.stl", busyStl(3000));
    writeFile(dir / "parts.mqo", busyMqo(150));
    struct Case {
        const char* name;
        const char* readingStatus;
    };
    for (const Case& file : {Case{"parts.obj", "Reading raw OBJ"}, Case{"parts.stl", "Loading as ASCII"},
                             Case{"parts.mqo", "Opening file"}}) {
        const PiecesScope scope(3, fs::file_size(dir / file.name) / 4);
        ConversionSettings settings;
        settings.outputKind = FormatKind::StlBinary;
        settings.outputExtension = "stl";
        const fs::path output = dir / "cancelled.stl";
        RecordingReporter whole;
        ASSERT_EQ(convertFile(dir / file.name, output, settings, whole), ConversionStatus::Success);
        fs::remove(output);

        // Most checks of the whole conversion are made while the lines are read.
        RecordingReporter reporter;
        reporter.cancelAfterChecks(std::max<std::uint64_t>(whole.cancelChecks() / 3, 2));
        const std::uint64_t before = textsReadInPieces();
        EXPECT_EQ(convertFile(dir / file.name, output, settings, reporter), ConversionStatus::Cancelled) << file.name;
        EXPECT_EQ(textsReadInPieces(), before) << file.name << ": the pieces were joined after the stop";
        bool reading = false;
        for (const auto& status : reporter.statuses)
            reading = reading || status.text.starts_with(file.readingStatus);
        EXPECT_TRUE(reading) << file.name << ": the stop came before the reading";
        EXPECT_FALSE(fs::exists(output));
    }
}

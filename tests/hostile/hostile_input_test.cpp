// Files made to hurt the converter, one row per attack, each run through
// the command line as a real process: every one must end with a clear
// answer (refused with a reason, or converted with a warning) within a time
// and memory bound, and a refused file leaves nothing in the output folder.

#include "app/model_io.h"
#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "formats/docs3dp/test_helpers.h"
#include "formats/format_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace morvex {
namespace {

using namespace morvex::testing;
namespace fs = std::filesystem;

enum class Outcome { Refused, Converted, ConvertedWithWarning };

struct Attack {
    std::string name;
    std::string fileName; // its extension picks the reader
    std::function<void(const fs::path&)> make;
    Outcome outcome;
    const char* says;         // part of what the run prints about the file
    long memoryLimitMb = 256; // peak resident size of the sanitized program
};

struct RunResult {
    int exitStatus = -1;
    bool timedOut = false;
    long peakMemoryMb = 0;
    std::string output;
};

// Runs the command line with its output in `log`, killed with its process
// group after `limit`. The peak memory is measured by time(1): a process
// started straight from the test would inherit the test's own peak, which
// the kernel carries across exec.
RunResult runBounded(const std::vector<std::string>& command, const fs::path& log, std::chrono::seconds limit)
{
    const fs::path peakFile = log.string() + ".peak";
    std::vector<std::string> words = {"/usr/bin/time", "-f", "%M", "-o", peakFile.string()};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    RunResult result;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            ::kill(-child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = readFile(log);
    if (fs::exists(peakFile)) {
        const std::string peak = readFile(peakFile);
        const auto at = peak.find_last_not_of("\n");
        result.peakMemoryMb = std::atol(peak.substr(peak.rfind('\n', at) + 1).c_str()) / 1024;
    }
    return result;
}

std::function<void(const fs::path&)> bytes(std::string content)
{
    return [content = std::move(content)](const fs::path& path) { writeFile(path, content); };
}

std::string binaryStlClaiming(std::uint32_t facets, std::size_t bodyBytes)
{
    return std::string(80, 'x') + littleEndian(facets) + std::string(bodyBytes, '\0');
}

std::string plyHeader(const std::string& format, const std::string& elements)
{
    return "ply\nformat " + format + " 1.0\n" + elements + "end_header\n";
}

const std::string PlyVertexElement = "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n";
const std::string PlyFaceElement = "element face 1\nproperty list uchar int vertex_indices\n";

// The 3MF package around a model part.
std::function<void(const fs::path&)> package(std::string modelPart, std::string modelName = "3D/3dmodel.model",
                                             std::string relationshipTarget = "/3D/3dmodel.model")
{
    return [=](const fs::path& path) {
        const std::string types =
            "<?xml version=\"1.0\"?><Types "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default Extension=\"model\" "
            "ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/><Default Extension=\"rels\" "
            "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/></Types>";
        const std::string relationships =
            "<?xml version=\"1.0\"?><Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Target=\"" +
            relationshipTarget +
            "\" Id=\"rel0\" Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/></Relationships>";
        buildZipArchive(path, {{"[Content_Types].xml", types}, {"_rels/.rels", relationships}, {modelName, modelPart}});
    };
}

std::string modelPart(const std::string& resources, const std::string& build = "<build/>")
{
    return "<?xml version=\"1.0\"?><model unit=\"millimeter\" "
           "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\"><resources>" +
           resources + "</resources>" + build + "</model>";
}

std::string repeated(const std::string& text, std::size_t times)
{
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

// A 3DS chunk: id, length with the six header bytes, content.
std::string chunk3ds(std::uint16_t id, const std::string& content)
{
    return littleEndian(id) + littleEndian(static_cast<std::uint32_t>(content.size() + 6)) + content;
}

std::string chunk3dsClaiming(std::uint16_t id, std::uint32_t length, const std::string& content)
{
    return littleEndian(id) + littleEndian(length) + content;
}

// Main, editor and one object around `mesh`, the object's triangle mesh.
std::string file3ds(const std::string& mesh)
{
    return chunk3ds(0x4D4D, chunk3ds(0x3D3D, chunk3ds(0x4000, std::string("box\0", 4) + mesh)));
}

std::string triangle3ds(std::uint16_t lastCorner)
{
    std::string vertices = littleEndian<std::uint16_t>(3);
    for (float value : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
        vertices += littleEndian(value);
    const std::string faces = littleEndian<std::uint16_t>(1) + littleEndian<std::uint16_t>(0) +
                              littleEndian<std::uint16_t>(1) + littleEndian(lastCorner) +
                              littleEndian<std::uint16_t>(0);
    return chunk3ds(0x4100, chunk3ds(0x4110, vertices) + chunk3ds(0x4120, faces));
}

// Triangle meshes nested `depth` deep, each inside the one before.
std::string nestedMeshes(std::size_t depth)
{
    std::string mesh;
    for (std::size_t level = 0; level < depth; ++level)
        mesh = chunk3ds(0x4100, mesh);
    return mesh;
}

// A complete file in `format`, written by our own writer, cut in half.
std::function<void(const fs::path&)> truncatedOutputOf(const FileFormat& format)
{
    return [&format](const fs::path& path) {
        Model model;
        addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3});
        RecordingReporter reporter;
        ASSERT_EQ(writeModel(reporter, path, model, format), OperationResult::Success);
        const std::string whole = readFile(path);
        writeFile(path, whole.substr(0, whole.size() / 2));
    };
}

std::vector<Attack> attacks()
{
    std::vector<Attack> rows = {
        {"binary STL claiming 4,000,000,000 facets", "claims.stl", bytes(binaryStlClaiming(4'000'000'000u, 100)),
         Outcome::Refused, "truncated"},
        {"ASCII STL with NUL bytes", "nul.stl", bytes("solid x\n\0\0\0\0facet normal 0 0 1\n"), Outcome::Refused,
         "Read failed"},
        {"ASCII STL with a coordinate beyond float", "huge.stl",
         bytes("solid x\nfacet normal 0 0 1\nouter loop\nvertex 1e99999 0 0\nvertex 0 1 0\nvertex 0 0 1\nendloop\n"
               "endfacet\nendsolid x\n"),
         Outcome::Refused, "not a finite number"},
        {"empty STL", "empty.stl", bytes(""), Outcome::Refused, "Read failed"},
        {"PLY of 114 bytes claiming 200,000,000 vertices", "claims.ply",
         bytes(plyHeader("binary_little_endian", "element vertex 200000000\nproperty float x\nproperty float y\n"
                                                 "property float z\n") +
               std::string(10, '\0')),
         Outcome::Refused, "truncated"},
        {"PLY claiming 4,000,000,000 faces", "faces.ply",
         bytes(plyHeader("ascii",
                         PlyVertexElement + "element face 4000000000\nproperty list uchar int vertex_indices\n") +
               "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
         Outcome::Refused, "Read failed"},
        {"PLY with a vertex count of 2^64 - 1", "count.ply",
         bytes(plyHeader("binary_little_endian", "element vertex 18446744073709551615\nproperty float x\n")),
         Outcome::Refused, "Read failed"},
        {"binary PLY face list longer than the file", "list.ply",
         bytes(plyHeader("binary_little_endian", PlyVertexElement + PlyFaceElement) + std::string(36, '\0') + "\xff" +
               littleEndian<std::int32_t>(0)),
         Outcome::Refused, "Read failed"},
        {"empty PLY", "empty.ply", bytes(""), Outcome::Refused, "Read failed"},
        {"OBJ face naming vertices the file does not have", "index.obj",
         bytes("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf -1 -2 -9999999\nf 1 2 4000000000\n"),
         Outcome::ConvertedWithWarning, "2 face(s) dropped"},
        {"OBJ material library outside the model's folder", "outside.obj",
         bytes("mtllib /etc/passwd\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"), Outcome::ConvertedWithWarning,
         "--allow-references"},
        {"OBJ material library climbing out of the folder", "climbing.obj",
         bytes("mtllib ../../../../../../etc/passwd\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"),
         Outcome::ConvertedWithWarning, "--allow-references"},
        {"3DP that is empty", "empty.3dp", bytes(""), Outcome::Refused, "Read failed"},
        {"3DP whose root chunk has size 0", "root.3dp",
         bytes(fileHeader() + chunkHeader(0, ChunkType::Group, 0) + std::string(64, 'x') + "lsdf"), Outcome::Refused,
         "Read failed"},
        {"3DP whose vertex block claims 2^64 - 1 bytes", "vertices.3dp",
         bytes(chunkedFile(chunk(0x1000, ChunkType::Group,
                                 chunk(0x1200, ChunkType::Group,
                                       chunkHeader(0x1201, ChunkType::Block, UINT64_MAX) + std::string(36, '\0'))))),
         Outcome::Refused, "Read failed"},
        {"3MF that is not a zip archive", "text.3mf", bytes("solid x\nendsolid x\n"), Outcome::Refused,
         "not a zip archive"},
        {"3MF whose model part climbs out of the package", "slip.3mf",
         package(modelPart(""), "../../../tmp/slip.model", "../../../tmp/slip.model"), Outcome::Refused, "Read failed"},
        {"3MF model part of 256 MB of spaces in a small package (a zip bomb)", "bomb.3mf",
         package(modelPart(std::string(256u << 20, ' '))), Outcome::Refused, "Read failed"},
        {"3MF model part nested 1,000,000 elements deep", "deep.3mf",
         package(modelPart(repeated("<a>", 1'000'000) + repeated("</a>", 1'000'000))), Outcome::Refused, "Read failed",
         1024},
        {"3MF with 200,000 objects of one vertex and no triangle", "objects.3mf",
         package(modelPart(repeated("<object id=\"1\" type=\"model\"><mesh><vertices><vertex x=\"0\" y=\"0\" "
                                    "z=\"0\"/></vertices><triangles/></mesh></object>",
                                    200'000))),
         Outcome::Refused, "Read failed", 1024},
        {"3MF triangle naming a vertex the object does not have", "index.3mf",
         package(modelPart("<object id=\"1\" type=\"model\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
                           "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles>"
                           "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/><triangle v1=\"0\" v2=\"1\" v3=\"7\"/>"
                           "</triangles></mesh></object>",
                           "<build><item objectid=\"1\"/></build>")),
         Outcome::ConvertedWithWarning, "1 triangle(s) dropped"},
        {"3DS chunk of length 0", "zero.3ds", bytes(chunk3dsClaiming(0x4D4D, 0, std::string(32, '\0'))),
         Outcome::Refused, "Read failed"},
        {"3DS chunk of length 5", "five.3ds", bytes(chunk3dsClaiming(0x4D4D, 5, std::string(32, '\0'))),
         Outcome::Refused, "Read failed"},
        {"3DS chunk of length 2^32 - 1", "huge.3ds", bytes(chunk3dsClaiming(0x4D4D, UINT32_MAX, triangle3ds(2))),
         Outcome::Refused, "Read failed"},
        {"3DS chunk running past its parent", "past.3ds",
         bytes(chunk3ds(0x4D4D, chunk3dsClaiming(0x3D3D, 1000, triangle3ds(2)))), Outcome::Refused, "Read failed"},
        {"3DS vertex count larger than its chunk", "count.3ds",
         bytes(file3ds(chunk3ds(0x4100, chunk3ds(0x4110, littleEndian<std::uint16_t>(60000) + std::string(36, '\0'))))),
         Outcome::Refused, "Read failed"},
        {"3DS face naming a vertex the object does not have", "index.3ds", bytes(file3ds(triangle3ds(9))),
         Outcome::Refused, "Read failed"},
        {"3DS triangle meshes nested 100,000 deep", "deep.3ds", bytes(file3ds(nestedMeshes(100'000))), Outcome::Refused,
         "Read failed"},
        {"MQO of 100 bytes claiming 4,000,000,000 vertices", "claims.mqo",
         bytes("Metasequoia Document\r\nFormat Text Ver 1.0\r\nObject \"a\" {\r\nvertex 4000000000 {\r\n0 0 "
               "0\r\n}\r\n}\r\n"
               "Eof\r\n"),
         Outcome::Refused, "Read failed"},
        {"MQO object never closed", "open.mqo",
         bytes("Metasequoia Document\r\nFormat Text Ver 1.0\r\nObject \"a\" {\r\nvertex 3 {\r\n0 0 0\r\n1 0 0\r\n"),
         Outcome::Refused, "Read failed"},
        {"OBJ in UTF-16 without a byte-order mark", "utf16.obj",
         bytes(std::string("v\0 \0"
                           "0\0 \0"
                           "0\0 \0"
                           "0\0\n\0",
                           16)),
         Outcome::Refused, "Read failed"},
    };
    for (const FileFormat& format : fileFormats()) {
        if (!format.readable() || !format.writable() || format.name == std::string_view("stl-ascii"))
            continue;
        // An OBJ has no length or count to check a cut against: ours lists
        // its vertices first, so its first half reads as their point set.
        const bool hasLength = format.name != std::string_view("obj");
        rows.push_back({std::string(format.name) + " file cut in half", "cut." + std::string(format.extension),
                        truncatedOutputOf(format), hasLength ? Outcome::Refused : Outcome::Converted,
                        hasLength ? "Read failed" : "Success"});
    }
    return rows;
}

TEST(HostileInput, EveryAttackEndsWithAClearAnswerWithinBounds)
{
    TempDir dir;
    fs::create_directories(dir / "config");
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    int row = 0;
    for (const Attack& attack : attacks()) {
        SCOPED_TRACE(attack.name);
        const fs::path folder = dir / std::to_string(++row);
        fs::create_directories(folder / "out");
        const fs::path input = folder / attack.fileName;
        attack.make(input);
        const RunResult run = runBounded({cliPath().string(), "convert", input.string(), "--to", "ply", "--output",
                                          (folder / "out").string()},
                                         folder / "log", std::chrono::seconds(60));
        ASSERT_FALSE(run.timedOut) << run.output;
        EXPECT_LE(run.peakMemoryMb, attack.memoryLimitMb) << run.output;
        EXPECT_NE(run.output.find(attack.says), std::string::npos) << run.output;
        const auto outputs = std::distance(fs::directory_iterator(folder / "out"), fs::directory_iterator());
        if (attack.outcome == Outcome::Refused) {
            EXPECT_EQ(run.exitStatus, 1) << run.output;
            EXPECT_NE(run.output.find("Read failed"), std::string::npos) << run.output;
            EXPECT_EQ(outputs, 0) << run.output;
        } else {
            EXPECT_EQ(run.exitStatus, 0) << run.output;
            EXPECT_EQ(outputs, 1) << run.output;
        }
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace morvex

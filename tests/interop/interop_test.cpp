// Every corpus file that our own readers read, converted into every output
// format by the conversion pipeline, then read back by our reader and by
// Assimp: the triangles, points and bounding box (turned as the two formats'
// conventions ask) arrive, and normals, colours and texture coordinates
// survive wherever both formats keep them, and appear nowhere they were not.

#include "app/model_io.h"
#include "app/pipeline.h"
#include "formats/format_table.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace morvex {
namespace {

namespace fs = std::filesystem;
using testing::corpusDir;
using testing::runCommand;
using testing::shellQuote;
using testing::TempDir;

// Sources up to this size take part: the test runs in every build under
// the sanitizers, so the corpus's large performance cases stay out. The
// corpus's one point cloud is larger and is taken as well.
constexpr std::uint64_t MaxSourceBytes = 120'000;
constexpr std::string_view PointCloud = "ply/assimp__pond.0.ply";

// What a conversion into a format keeps, by its --to name.
struct Keeps {
    std::string_view format;
    bool normals;   // per corner
    bool colours;   // per vertex or per corner
    bool texCoords; // per corner
    bool points;    // vertices without faces
    bool assimpReads;
};

constexpr Keeps OutputKeeps[] = {
    {"3dp", true, true, false, true, false},         {"3ds", false, false, true, false, true},
    {"3mf", false, true, false, false, true},        {"obj", true, true, true, true, true},
    {"ply", false, true, false, true, true},         {"stl", false, true, false, false, true},
    {"stl-ascii", false, false, false, false, true},
};

const Keeps& keepsOf(std::string_view format)
{
    for (const Keeps& keeps : OutputKeeps)
        if (keeps.format == format)
            return keeps;
    ADD_FAILURE() << "no row for output format " << format;
    return OutputKeeps[0];
}

// ---------------------------------------------------------------------------
// What a model holds, as the checks compare it.

struct Box {
    Vector3 low{INFINITY, INFINITY, INFINITY};
    Vector3 high{-INFINITY, -INFINITY, -INFINITY};

    bool empty() const { return low.x > high.x; }
    void add(const Vector3& p)
    {
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    float extent() const { return std::max({high.x - low.x, high.y - low.y, high.z - low.z, 1e-3f}); }
};

std::ostream& operator<<(std::ostream& out, const Box& box)
{
    return out << "(" << box.low.x << " " << box.low.y << " " << box.low.z << ") - (" << box.high.x << " " << box.high.y
               << " " << box.high.z << ")";
}

// One corner of a whole triangle, placed.
struct Corner {
    Vector3 position;
    std::optional<Vector3> normal;
    std::optional<TexCoord> texCoord;
};

struct Summary {
    std::uint32_t triangles = 0;
    std::uint32_t distinctTriangles = 0; // three different vertices
    std::uint32_t points = 0;            // vertices of point sets
    Box box;
    bool normals = false, colours = false, texCoords = false;
    bool objectsWithoutColours = false;
    std::set<ArgbColor> colourSet;
    std::vector<std::array<Corner, 3>> corners; // every whole triangle in model order
};

Summary summarize(const Model& model)
{
    Summary summary;
    for (const auto& object : model.objects) {
        const Matrix4 placement = placementMatrix(*object);
        const NormalTransform turn(placement);
        const std::uint32_t vertexCount = object->vertices.count();
        const auto place = [&](std::uint32_t v) { return transformPoint(object->vertices[v], placement); };
        if (object->isPointSet()) {
            summary.points += vertexCount;
            for (std::uint32_t v = 0; v < vertexCount; ++v)
                summary.box.add(place(v));
        }
        const std::uint32_t corners = 3 * object->triangleCount();
        const bool normals = !object->normals.empty() && object->normals.count() >= corners;
        const bool texCoords =
            !object->texCoords.empty() && (object->texCoords.count() >= corners || object->texCoordsPerVertex());
        summary.normals |= normals && corners > 0;
        summary.texCoords |= texCoords && corners > 0;
        summary.colours |= !object->colors.empty() && (corners > 0 || object->isPointSet());
        summary.objectsWithoutColours |= object->colors.empty();
        if (!object->colors.empty() && object->isPointSet())
            summary.colourSet.insert(object->colors.begin(), object->colors.end());
        for (std::uint32_t first = 0; first < corners; first += 3) {
            const std::uint32_t* index = object->indices.data() + first;
            if (index[0] >= vertexCount || index[1] >= vertexCount || index[2] >= vertexCount)
                continue;
            ++summary.triangles;
            if (!object->colors.empty())
                for (std::uint32_t k = first; k < first + 3; ++k)
                    summary.colourSet.insert(object->cornerColor(k));
            summary.distinctTriangles += index[0] != index[1] && index[1] != index[2] && index[0] != index[2];
            std::array<Corner, 3> triangle;
            for (int k = 0; k < 3; ++k) {
                triangle[k].position = place(index[k]);
                summary.box.add(triangle[k].position);
                if (normals)
                    triangle[k].normal = turn.apply(object->normals[first + k]);
                if (texCoords)
                    triangle[k].texCoord =
                        object->texCoordsPerVertex() ? object->texCoords[index[k]] : object->texCoords[first + k];
            }
            summary.corners.push_back(triangle);
        }
    }
    return summary;
}

// ---------------------------------------------------------------------------
// The conventions: a model goes from its source's up axis and handedness to
// the target's. Turning Z up into Y up is the rotation that takes +Z to +Y,
// and the other way round; a change of handedness mirrors X.

Vector3 mapPoint(const Vector3& p, const FormatProfile& from, const FormatProfile& to)
{
    Vector3 q = p;
    if (from.upAxis == UpAxis::Z && to.upAxis == UpAxis::Y)
        q = {q.x, q.z, -q.y};
    else if (from.upAxis == UpAxis::Y && to.upAxis == UpAxis::Z)
        q = {q.x, -q.z, q.y};
    if (from.handedness != Handedness::Unknown && to.handedness != Handedness::Unknown &&
        from.handedness != to.handedness)
        q.x = -q.x;
    return q;
}

Box mapBox(const Box& box, const FormatProfile& from, const FormatProfile& to)
{
    Box mapped;
    mapped.add(mapPoint(box.low, from, to));
    mapped.add(mapPoint(box.high, from, to));
    return mapped;
}

bool near(float a, float b, float tolerance)
{
    return std::fabs(a - b) <= tolerance;
}

bool near(const Vector3& a, const Vector3& b, float tolerance)
{
    return near(a.x, b.x, tolerance) && near(a.y, b.y, tolerance) && near(a.z, b.z, tolerance);
}

// Coordinates go through text with six decimals (3MF) or seven digits (ASCII
// STL), and the axis turn through single-precision sines.
float toleranceFor(const Box& box)
{
    return 2e-6f * box.extent() + 2e-6f;
}

void expectSameBox(const Box& actual, const Box& expected, const std::string& who)
{
    const float tolerance = toleranceFor(expected);
    EXPECT_TRUE(near(actual.low, expected.low, tolerance) && near(actual.high, expected.high, tolerance))
        << who << ": bounding box " << actual << ", expected " << expected;
}

// A triangle may come back with its second and third corner swapped (a
// change of winding or handedness turns it over).
bool sameCorner(const Corner& a, const Corner& b, float tolerance, bool normals, bool texCoords)
{
    if (!near(a.position, b.position, tolerance))
        return false;
    if (normals && !(a.normal && b.normal && near(*a.normal, *b.normal, 1e-4f)))
        return false;
    if (texCoords && !(a.texCoord && b.texCoord && near(a.texCoord->u, b.texCoord->u, 1e-5f) &&
                       near(a.texCoord->v, b.texCoord->v, 1e-5f)))
        return false;
    return true;
}

void expectSameTriangles(const Summary& back, const Summary& source, const FormatProfile& from, const FormatProfile& to,
                         bool normals, bool texCoords, const std::string& who)
{
    const float tolerance = toleranceFor(source.box);
    std::size_t mismatches = 0;
    for (std::size_t t = 0; t < source.corners.size() && t < back.corners.size(); ++t) {
        std::array<Corner, 3> expected = source.corners[t];
        for (Corner& corner : expected) {
            corner.position = mapPoint(corner.position, from, to);
            if (corner.normal)
                corner.normal = mapPoint(*corner.normal, from, to);
        }
        const std::array<Corner, 3>& actual = back.corners[t];
        const bool straight = sameCorner(actual[0], expected[0], tolerance, normals, texCoords) &&
                              sameCorner(actual[1], expected[1], tolerance, normals, texCoords) &&
                              sameCorner(actual[2], expected[2], tolerance, normals, texCoords);
        const bool turned = sameCorner(actual[0], expected[0], tolerance, normals, texCoords) &&
                            sameCorner(actual[1], expected[2], tolerance, normals, texCoords) &&
                            sameCorner(actual[2], expected[1], tolerance, normals, texCoords);
        if (!straight && !turned && mismatches++ == 0)
            ADD_FAILURE() << who << ": triangle " << t << " differs (positions" << (normals ? ", normals" : "")
                          << (texCoords ? ", texture coordinates" : "") << ")";
    }
    EXPECT_EQ(mismatches, 0u) << who << ": triangles that differ";
}

// The colours a format may give back for one of the model: OBJ and STL keep
// no alpha, and binary STL keeps five bits a channel unless the colour is
// the header's object colour.
std::vector<ArgbColor> storedColours(ArgbColor colour, std::string_view format)
{
    if (format == "obj")
        return {colour | 0xFF000000u};
    if (format == "stl")
        return {colour, (colour & 0x00F8F8F8u) | 0xFF000000u};
    return {colour};
}

void expectColours(const Summary& back, const Summary& source, const Keeps& keeps, const std::string& who)
{
    const std::string_view format = keeps.format;
    if (!source.colours) {
        EXPECT_FALSE(back.colours) << who << ": colours appear that the source does not have";
        return;
    }
    ASSERT_TRUE(back.colours) << who << ": the colours are lost";
    std::set<ArgbColor> allowed;
    for (ArgbColor colour : source.colourSet)
        for (ArgbColor stored : storedColours(colour, format))
            allowed.insert(stored);
    if (source.objectsWithoutColours) // what a format gives vertices of such objects
        allowed.insert({DefaultVertexColor, OpaqueBlack, 0});
    for (ArgbColor colour : back.colourSet)
        EXPECT_TRUE(allowed.count(colour) != 0) << who << ": colour " << std::hex << colour << " is not the source's";
}

// ---------------------------------------------------------------------------
// Assimp's view of a file.

bool assimpInstalled()
{
    static const bool installed = runCommand("command -v assimp >/dev/null 2>&1") == 0;
    return installed;
}

struct AssimpView {
    bool read = false;
    long faces = -1;
    long vertices = -1;
    Box box;
    bool normals = false, colours = false, texCoords = false;
    std::string output;
};

Vector3 parsePoint(const std::string& text, std::string_view label)
{
    const std::size_t at = text.find(label);
    Vector3 p{NAN, NAN, NAN};
    if (at == std::string::npos)
        return p;
    std::istringstream in(text.substr(text.find('(', at) + 1));
    in >> p.x >> p.y >> p.z;
    return p;
}

long countAfter(const std::string& text, std::string_view label)
{
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::stol(text.substr(at + label.size()));
}

// What `assimp info` says of a file; with `attributes`, also which attributes
// its meshes have (the keys of its JSON export).
AssimpView assimpView(const fs::path& file, const fs::path& scratch, bool attributes)
{
    AssimpView view;
    view.read = runCommand("assimp info " + shellQuote(file.string()) + " --raw 2>&1", &view.output) == 0;
    view.faces = countAfter(view.output, "\nFaces:");
    view.vertices = countAfter(view.output, "\nVertices:");
    if (!view.read || view.faces < 0)
        return view;
    view.box.add(parsePoint(view.output, "Minimum point"));
    view.box.add(parsePoint(view.output, "Maximum point"));
    if (!attributes)
        return view;
    std::string json;
    const fs::path exported = scratch / "assimp.assjson";
    if (runCommand("assimp export " + shellQuote(file.string()) + " " + shellQuote(exported.string()) +
                   " -fassjson >/dev/null 2>&1") == 0)
        json = testing::readFile(exported);
    view.normals = json.find("\"normals\":") != std::string::npos;
    view.colours = json.find("\"colors\":") != std::string::npos;
    view.texCoords = json.find("\"texturecoords\":") != std::string::npos;
    return view;
}

// ---------------------------------------------------------------------------
// The sources: the corpus's list of files, those of formats our own readers
// read.

struct Source {
    std::string relative;
    std::string testName;
};

void PrintTo(const Source& source, std::ostream* out)
{
    *out << source.relative;
}

std::string testNameOf(std::string_view relative)
{
    std::string name;
    for (char c : relative)
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
    return name;
}

std::vector<Source> interopSources()
{
    std::vector<Source> sources;
    std::ifstream list(corpusDir() / "FILES.tsv");
    std::string line;
    std::getline(list, line); // the heading
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string relative, format, repository, path, bytes;
        if (!std::getline(fields, relative, '\t') || !std::getline(fields, format, '\t') ||
            !std::getline(fields, repository, '\t') || !std::getline(fields, path, '\t') ||
            !std::getline(fields, bytes, '\t'))
            continue;
        const FileFormat* reader = formatForPath(relative);
        if (format.find("-aux") != std::string::npos || reader == nullptr || reader->route != ReadRoute::OwnReader)
            continue;
        if (std::stoull(bytes) > MaxSourceBytes && relative != PointCloud)
            continue;
        sources.push_back({relative, testNameOf(relative)});
    }
    return sources;
}

class Interop : public ::testing::TestWithParam<Source> {};

bool plyHasVertexColours(const fs::path& file)
{
    const std::string text = testing::readFile(file);
    const std::string header = text.substr(0, text.find("end_header"));
    const std::size_t vertex = header.find("element vertex");
    const std::size_t red = header.find("property uchar red");
    return vertex != std::string::npos && red != std::string::npos && red < header.find("element face");
}

ConversionSettings settingsFor(const FileFormat& format)
{
    ConversionSettings settings;
    settings.outputExtension = std::string(format.extension);
    settings.outputKind = format.profile.kind;
    return settings;
}

// A file that our reader cannot read, or that holds no model, is converted
// into nothing.
void expectNothingWritten(const fs::path& source, const fs::path& folder, const std::string& reason)
{
    for (const FileFormat& format : fileFormats()) {
        if (!format.writable())
            continue;
        const fs::path output = folder / (std::string(format.name) + "." + std::string(format.extension));
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(convertFile(source, output, settingsFor(format), reporter, &failure), ConversionStatus::ReadFailed)
            << format.name;
        if (!reason.empty()) {
            EXPECT_EQ(failure.message, reason) << format.name;
        }
        EXPECT_FALSE(fs::exists(output)) << format.name;
    }
}

TEST_P(Interop, EveryOutputFormatReadsBackHereAndInAssimp)
{
    const fs::path source = corpusDir() / GetParam().relative;
    const FileFormat& sourceFormat = *formatForPath(source);
    TempDir dir;

    Model model;
    RecordingReporter reader;
    Failure readFailure;
    if (readModel(reader, model, source, &readFailure) != OperationResult::Success) {
        expectNothingWritten(source, dir.path(), readFailure.message);
        return;
    }
    if (model.objects.empty()) {
        expectNothingWritten(source, dir.path(), "the file holds no model");
        return;
    }
    const Summary original = summarize(model);
    const bool geometry = original.triangles > 0 || original.points > 0;

    for (const FileFormat& target : fileFormats()) {
        if (!target.writable())
            continue;
        const Keeps& keeps = keepsOf(target.name);
        const std::string who = std::string(target.name);
        SCOPED_TRACE(who);
        const fs::path folder = dir / who;
        fs::create_directories(folder);
        const fs::path output = folder / (source.stem().string() + "." + std::string(target.extension));

        RecordingReporter reporter;
        Failure failure;
        const ConversionStatus status = convertFile(source, output, settingsFor(target), reporter, &failure);
        if (original.triangles == 0 && original.points > 0 && !keeps.points) {
            EXPECT_EQ(status, ConversionStatus::SaveFailed);
            EXPECT_EQ(failure.message, "the model has no faces");
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        ASSERT_EQ(status, ConversionStatus::Success) << describeFailure(failure);
        if (!geometry)
            continue;

        // Our reader.
        Model back;
        RecordingReporter again;
        Failure backFailure;
        ASSERT_EQ(readModel(again, back, output, &backFailure), OperationResult::Success)
            << describeFailure(backFailure);
        const Summary read = summarize(back);
        // OBJ faces and 3MF triangles need three different vertices.
        const bool distinctOnly = target.name == "obj" || target.name == "3mf";
        const std::uint32_t triangles = distinctOnly ? original.distinctTriangles : original.triangles;
        if (distinctOnly && read.triangles == original.triangles && original.triangles != triangles)
            std::fprintf(stderr, "%s -> %s: triangles with two equal corners are written\n",
                         GetParam().relative.c_str(), who.c_str());
        else
            EXPECT_EQ(read.triangles, triangles) << "triangles";
        EXPECT_EQ(read.points, keeps.points ? original.points : 0u) << "points";
        const Box expectedBox = mapBox(original.box, sourceFormat.profile, target.profile);
        expectSameBox(read.box, expectedBox, who + " read here");
        const bool sameTriangles = read.triangles == original.triangles;
        if (sameTriangles)
            expectSameTriangles(read, original, sourceFormat.profile, target.profile, original.normals && keeps.normals,
                                original.texCoords && keeps.texCoords, who);
        if (original.normals && keeps.normals) {
            EXPECT_TRUE(read.normals) << "the normals are lost";
        }
        if (original.texCoords && keeps.texCoords) {
            EXPECT_TRUE(read.texCoords) << "the texture coordinates are lost";
        }
        if (!original.texCoords) {
            EXPECT_FALSE(read.texCoords) << "texture coordinates appear that the source does not have";
        }
        if (keeps.colours)
            expectColours(read, original, keeps, who);

        // Assimp.
        if (!keeps.assimpReads || !assimpInstalled())
            continue;
        const bool attributes = target.name == "obj" || target.name == "ply";
        const AssimpView peer = assimpView(output, folder, attributes);
        ASSERT_TRUE(peer.read) << peer.output;
        // Assimp makes each OBJ point a face of its own, and PLY points
        // vertices without faces.
        const long points = target.name == "obj" ? original.points : 0;
        EXPECT_EQ(peer.faces, static_cast<long>(read.triangles) + points) << peer.output;
        if (target.name == "ply" && original.triangles == 0) {
            EXPECT_EQ(peer.vertices, static_cast<long>(original.points)) << peer.output;
        }
        // Assimp turns a 3DS scene to Y up, as it stands in an OBJ file.
        const Box peerBox = target.name == "3ds"
                                ? mapBox(original.box, sourceFormat.profile, outputFormatNamed("obj")->profile)
                                : expectedBox;
        expectSameBox(peer.box, peerBox, who + " read by Assimp");
        if (target.name == "obj") {
            EXPECT_EQ(peer.normals, read.normals) << "normals in Assimp";
            EXPECT_EQ(peer.texCoords, read.texCoords) << "texture coordinates in Assimp";
            EXPECT_EQ(peer.colours, read.colours) << "colours in Assimp";
        }
        // Assimp takes PLY colours of vertices only, not of faces.
        if (target.name == "ply") {
            EXPECT_EQ(peer.colours, plyHasVertexColours(output)) << "colours in Assimp";
        }
    }
}

// The README's table of what each output format keeps says what the checks
// above expect: a cell that begins with "no" is something not kept.
TEST(InteropTable, ReadmeSaysWhatEachFormatKeeps)
{
    const std::string readme = testing::readFile(testing::sourceDir() / "README.md");
    const std::size_t start = readme.find("\n## What each format keeps\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream lines(readme.substr(start + 1));
    std::string line;
    std::getline(lines, line);
    std::set<std::string> documented;
    while (std::getline(lines, line) && !line.starts_with("## ")) {
        if (!line.starts_with("| `") || line.starts_with("| `--to`"))
            continue;
        std::vector<std::string> cells;
        for (std::size_t at = 2; at < line.size();) {
            const std::size_t end = line.find(" | ", at);
            cells.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end == std::string::npos ? line.size() : end + 3;
        }
        ASSERT_GE(cells.size(), 6u) << line;
        const std::string name = cells[0].substr(1, cells[0].size() - 2);
        documented.insert(name);
        const Keeps& keeps = keepsOf(name);
        const auto kept = [](const std::string& cell) { return !cell.starts_with("no"); };
        EXPECT_EQ(kept(cells[2]), keeps.points) << name << " points";
        EXPECT_EQ(kept(cells[3]), keeps.normals) << name << " normals";
        EXPECT_EQ(kept(cells[4]), keeps.colours) << name << " colours";
        EXPECT_EQ(kept(cells[5]), keeps.texCoords) << name << " texture coordinates";
    }
    std::set<std::string> outputs;
    for (const FileFormat& format : fileFormats())
        if (format.writable()) {
            outputs.insert(std::string(format.name));
            EXPECT_EQ(keepsOf(format.name).points, format.writesPoints) << format.name;
        }
    EXPECT_EQ(documented, outputs);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Interop, ::testing::ValuesIn(interopSources()),
                         [](const ::testing::TestParamInfo<Source>& source) { return source.param.testName; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Interop);

} // namespace
} // namespace morvex

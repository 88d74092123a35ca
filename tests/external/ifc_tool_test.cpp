#include "app/model_io.h"
#include "common/cli_convert.h"
#include "common/test_support.h"
#include "external/external_converters.h"
#include "external/ifc/ifc_converter.h"
#include "external/ifc/ifc_obj_name.h"
#include "formats/obj/obj.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>

namespace morvex {
namespace {

using testing::corpusDir;
using testing::TempDir;
using testing::writeFile;

const std::filesystem::path IfcTool = MORVEX_IFCCONVERT_PATH;

#define MORVEX_REQUIRE_IFC_TOOL()                                                         \
    do {                                                                                  \
        if (IfcTool.empty())                                                              \
            GTEST_SKIP() << "morvex-ifcconvert is not built (Debian libifcplusplus-dev)"; \
    } while (0)

// Two boxes in IFC4, each an IfcExtrudedAreaSolid of a centred rectangle:
// a red 2 x 3 x 4 m box placed at (10, 20, 0), and an unstyled 1 x 1 x 1 m
// box placed on top of it, relative to the red one's placement.
std::string twoBoxesIfc4(const std::string& extraLines = {}, const std::string& plainBoxShape = "#76")
{
    return "ISO-10303-21;\nHEADER;\nFILE_DESCRIPTION(('ViewDefinition [DesignTransferView]'),'2;1');\n"
           "FILE_NAME('boxes.ifc','2026-12-07T00:00:00',(''),(''),'','','');\nFILE_SCHEMA(('IFC4'));\nENDSEC;\n"
           "DATA;\n"
           "#1=IFCPROJECT('0YvctVUKr0kugbFTf53O9L',$,'Boxes',$,$,$,$,(#20),#7);\n"
           "#2=IFCSIUNIT(*,.LENGTHUNIT.,$,.METRE.);\n"
           "#7=IFCUNITASSIGNMENT((#2));\n"
           "#10=IFCCARTESIANPOINT((0.,0.,0.));\n"
           "#11=IFCDIRECTION((0.,0.,1.));\n"
           "#13=IFCAXIS2PLACEMENT3D(#10,$,$);\n"
           "#20=IFCGEOMETRICREPRESENTATIONCONTEXT($,'Model',3,1.E-05,#13,$);\n"
           "#21=IFCGEOMETRICREPRESENTATIONSUBCONTEXT('Body','Model',*,*,*,*,#20,$,.MODEL_VIEW.,$);\n"
           "#30=IFCSITE('1YvctVUKr0kugbFTf53O9L',$,'Site',$,$,#31,$,$,.ELEMENT.,$,$,$,$,$);\n"
           "#31=IFCLOCALPLACEMENT($,#13);\n"
           "#32=IFCRELAGGREGATES('2YvctVUKr0kugbFTf53O9L',$,$,$,#1,(#30));\n"
           "#40=IFCBUILDINGELEMENTPROXY('3YvctVUKr0kugbFTf53O9L',$,'Red box',$,$,#41,#50,$,$);\n"
           "#41=IFCLOCALPLACEMENT(#31,#42);\n"
           "#42=IFCAXIS2PLACEMENT3D(#43,$,$);\n"
           "#43=IFCCARTESIANPOINT((10.,20.,0.));\n"
           "#44=IFCRECTANGLEPROFILEDEF(.AREA.,$,$,2.,3.);\n"
           "#45=IFCEXTRUDEDAREASOLID(#44,$,#11,4.);\n"
           "#46=IFCSHAPEREPRESENTATION(#21,'Body','SweptSolid',(#45));\n"
           "#50=IFCPRODUCTDEFINITIONSHAPE($,$,(#46));\n"
           "#60=IFCCOLOURRGB($,1.,0.,0.);\n"
           "#61=IFCSURFACESTYLERENDERING(#60,0.,$,$,$,$,$,$,.NOTDEFINED.);\n"
           "#62=IFCSURFACESTYLE('Red',.BOTH.,(#61));\n"
           "#63=IFCSTYLEDITEM(#45,(#62),$);\n"
           "#70=IFCBUILDINGELEMENTPROXY('4YvctVUKr0kugbFTf53O9L',$,'Plain box',$,$,#71,#80,$,$);\n"
           "#71=IFCLOCALPLACEMENT(#41,#72);\n"
           "#72=IFCAXIS2PLACEMENT3D(#73,$,$);\n"
           "#73=IFCCARTESIANPOINT((0.,0.,4.));\n"
           "#74=IFCRECTANGLEPROFILEDEF(.AREA.,$,$,1.,1.);\n"
           "#75=IFCEXTRUDEDAREASOLID(#74,$,#11,1.);\n"
           "#76=IFCSHAPEREPRESENTATION(#21,'Body','SweptSolid',(#75));\n"
           "#80=IFCPRODUCTDEFINITIONSHAPE($,$,(" +
           plainBoxShape +
           "));\n"
           "#90=IFCRELCONTAINEDINSPATIALSTRUCTURE('5YvctVUKr0kugbFTf53O9L',$,$,$,(#40,#70),#30);\n" +
           extraLines + "ENDSEC;\nEND-ISO-10303-21;\n";
}

// Geometry that doubles nine times over: each level's shape maps the level
// below ten times, so the plain box's shape stands for 10^9 boxes.
std::string mappedItemBomb()
{
    std::string lines = "#100=IFCCARTESIANTRANSFORMATIONOPERATOR3D($,$,#10,$,$);\n";
    int next = 101;
    int below = 76; // the plain box's shape
    for (int level = 1; level <= 9; ++level) {
        const int map = next++;
        lines += "#" + std::to_string(map) + "=IFCREPRESENTATIONMAP(#13,#" + std::to_string(below) + ");\n";
        std::string items;
        for (int copy = 0; copy < 10; ++copy) {
            const int item = next++;
            lines += "#" + std::to_string(item) + "=IFCMAPPEDITEM(#" + std::to_string(map) + ",#100);\n";
            items += (copy == 0 ? "#" : ",#") + std::to_string(item);
        }
        below = next++;
        lines += "#" + std::to_string(below) + "=IFCSHAPEREPRESENTATION(#21,'Body','MappedRepresentation',(" + items +
                 "));\n";
    }
    return twoBoxesIfc4(lines, "#" + std::to_string(below));
}

struct Bounds {
    Vector3 low{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                std::numeric_limits<float>::max()};
    Vector3 high{-low.x, -low.y, -low.z};
};

Bounds boundsOf(const ModelObject& object)
{
    Bounds bounds;
    for (const Vector3& v : object.vertices) {
        bounds.low = {std::min(bounds.low.x, v.x), std::min(bounds.low.y, v.y), std::min(bounds.low.z, v.z)};
        bounds.high = {std::max(bounds.high.x, v.x), std::max(bounds.high.y, v.y), std::max(bounds.high.z, v.z)};
    }
    return bounds;
}

// Positive for a closed mesh whose triangles face outwards.
double signedVolume(const ModelObject& object)
{
    double sixTimes = 0;
    for (std::uint32_t t = 0; t + 2 < object.indices.count(); t += 3) {
        const Vector3 a = object.vertices[object.indices[t]];
        const Vector3 b = object.vertices[object.indices[t + 1]];
        const Vector3 c = object.vertices[object.indices[t + 2]];
        sixTimes += double(a.x) * (double(b.y) * c.z - double(b.z) * c.y) -
                    double(a.y) * (double(b.x) * c.z - double(b.z) * c.x) +
                    double(a.z) * (double(b.x) * c.y - double(b.y) * c.x);
    }
    return sixTimes / 6;
}

void expectBounds(const ModelObject& object, Vector3 low, Vector3 high)
{
    const Bounds bounds = boundsOf(object);
    EXPECT_NEAR(bounds.low.x, low.x, 1e-4);
    EXPECT_NEAR(bounds.low.y, low.y, 1e-4);
    EXPECT_NEAR(bounds.low.z, low.z, 1e-4);
    EXPECT_NEAR(bounds.high.x, high.x, 1e-4);
    EXPECT_NEAR(bounds.high.y, high.y, 1e-4);
    EXPECT_NEAR(bounds.high.z, high.z, 1e-4);
}

// Runs the built tool on `ifc` into a private folder of `work` and reads
// the OBJ it wrote with our OBJ reader.
OperationResult convertWithTool(const std::filesystem::path& ifc, const TempDir& work, Model& model, Failure& failure,
                                const ConverterLimits& limits = {})
{
    StoppableReporter reporter;
    const std::filesystem::path output = work / "private" / "house";
    const OperationResult run = runIfcTool(reporter, IfcTool, ifc, output, limits, &failure);
    if (run != OperationResult::Success)
        return run;
    EXPECT_TRUE(std::filesystem::exists(ifcToolMtlPath(output)));
    return obj::readObj(ifcToolObjPath(output), model, reporter, &failure);
}

TEST(IfcTool, AnIfc4FileBecomesOneObjectPerProductPlacedStyledAndClosed)
{
    MORVEX_REQUIRE_IFC_TOOL();
    TempDir dir;
    writeFile(dir / "boxes.ifc", twoBoxesIfc4());
    Model model;
    Failure failure;
    ASSERT_EQ(convertWithTool(dir / "boxes.ifc", dir, model, failure), OperationResult::Success) << failure.message;
    ASSERT_EQ(model.objects.size(), 2u);
    // IFC's (x, y, z) in metres is OBJ's (x, z, -y).
    const ModelObject& red = *model.objects[0];
    const ModelObject& plain = *model.objects[1];
    EXPECT_EQ(red.triangleCount(), 12u);
    EXPECT_EQ(plain.triangleCount(), 12u);
    expectBounds(red, {9, 0, -21.5f}, {11, 4, -18.5f});
    expectBounds(plain, {9.5f, 4, -20.5f}, {10.5f, 5, -19.5f});
    EXPECT_NEAR(signedVolume(red), 24.0, 1e-3);
    EXPECT_NEAR(signedVolume(plain), 1.0, 1e-3);
    ASSERT_EQ(red.colors.count(), red.indices.count());
    ASSERT_EQ(plain.colors.count(), plain.indices.count());
    EXPECT_TRUE(std::all_of(red.colors.begin(), red.colors.end(), [](ArgbColor c) { return c == 0xFFFF0000u; }));
    // Without a style a product keeps the tool's grey (0.75).
    EXPECT_TRUE(std::all_of(plain.colors.begin(), plain.colors.end(), [](ArgbColor c) { return c == 0xFFBFBFBFu; }));

    // The same file as the program reads it: through the tool that the build
    // registered, with the tool's files gone afterwards.
    Model routed;
    StoppableReporter reporter;
    ASSERT_EQ(readModel(reporter, routed, dir / "boxes.ifc", &failure), OperationResult::Success) << failure.message;
    EXPECT_EQ(routed.profile.kind, FormatKind::Obj);
    ASSERT_EQ(routed.objects.size(), 2u);
    EXPECT_EQ(routed.objects[0]->triangleCount() + routed.objects[1]->triangleCount(), 24u);
    EXPECT_FALSE(std::filesystem::exists(ifcObjPath(dir / "boxes.ifc")));
    EXPECT_FALSE(std::filesystem::exists(ifcMtlPath(dir / "boxes.ifc")));

    // From the command line to Z-up STL: the boxes stand where the IFC file
    // put them.
    TempDir output;
    std::string log;
    ASSERT_EQ(testing::convertWithCli(dir / "boxes.ifc", "stl", output.path(), &log), 0) << log;
    Model stl;
    ASSERT_EQ(readModel(reporter, stl, output / "boxes.stl", &failure), OperationResult::Success) << failure.message;
    ASSERT_EQ(stl.objects.size(), 1u);
    EXPECT_EQ(stl.objects[0]->triangleCount(), 24u);
    expectBounds(*stl.objects[0], {9, 18.5f, 0}, {11, 21.5f, 5});
}

// Objects: the products that have a shape (a reference to an
// IFCPRODUCTDEFINITIONSHAPE), spaces, openings and annotations left out,
// counted in each file's text. Triangles where counted by hand: the small
// model's four walls and slab are extruded rectangles (12 each) and its site
// two triangular faces.
TEST(IfcTool, ReadsTheIfc2x3FilesOfTheCorpus)
{
    MORVEX_REQUIRE_IFC_TOOL();
    MORVEX_REQUIRE_CORPUS();
    struct Expectation {
        const char* file;
        std::size_t objects;
        std::uint64_t triangles; // 0: not counted by hand
    };
    const Expectation expectations[] = {
        {"ifc/XbimEssentials__SmallModelIfc2x3.ifc", 6, 62},
        {"ifc/XbimEssentials__Roof-01_BCAD.ifc", 24, 0},
        {"ifc/assimp__AC14-FZK-Haus.ifc", 110, 0},
    };
    for (const Expectation& expected : expectations) {
        SCOPED_TRACE(expected.file);
        TempDir dir;
        Model model;
        Failure failure;
        ASSERT_EQ(convertWithTool(corpusDir() / expected.file, dir, model, failure), OperationResult::Success)
            << failure.message;
        EXPECT_EQ(model.objects.size(), expected.objects);
        std::uint64_t triangles = 0;
        for (const auto& object : model.objects) {
            EXPECT_GT(object->triangleCount(), 0u);
            triangles += object->triangleCount();
        }
        if (expected.triangles != 0) {
            EXPECT_EQ(triangles, expected.triangles);
        }
    }
}

// The tool fails with its reason, leaves nothing behind, and the program
// reads the file through the external converter instead (Assimp reads
// IFC2X3, not the newest schemas).
TEST(IfcTool, FilesItCannotReadFailCleanlyAndFallBackToTheHelper)
{
    MORVEX_REQUIRE_IFC_TOOL();
    MORVEX_REQUIRE_CORPUS();
    TempDir dir;
    writeFile(dir / "empty.ifc", "");
    writeFile(dir / "garbage.ifc", std::string(4096, '\x9c'));
    const std::string house = testing::readFile(corpusDir() / "ifc/assimp__AC14-FZK-Haus.ifc");
    writeFile(dir / "truncated.ifc", house.substr(0, 200000));
    struct Case {
        std::filesystem::path file;
        const char* reason;
    };
    const Case cases[] = {
        {corpusDir() / "ifc/XbimEssentials__wall-extruded-solid.ifc", "(exit code 4): "},
        {dir / "empty.ifc", "holds no product geometry"},
        {dir / "garbage.ifc", "holds no product geometry"},
        {dir / "missing.ifc", "(exit code 3): cannot read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.string());
        Model model;
        Failure failure;
        EXPECT_EQ(convertWithTool(c.file, dir, model, failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << failure.message;
        EXPECT_TRUE(std::filesystem::is_empty(dir / "private"));
    }
    {
        // Neither route reads it: the reason names both.
        StoppableReporter reporter;
        Model model;
        Failure failure;
        EXPECT_EQ(readModel(reporter, model, dir / "garbage.ifc", &failure), OperationResult::Failure);
        EXPECT_EQ(failure.message.find("the IFC tool could not convert the file (exit code 4)"), 0u) << failure.message;
        EXPECT_NE(failure.message.find("; then the external converter could not read the file"), std::string::npos)
            << failure.message;
    }

    // A file cut short gives the products whose entities it still holds.
    {
        Model model;
        Failure failure;
        ASSERT_EQ(convertWithTool(dir / "truncated.ifc", dir, model, failure), OperationResult::Success)
            << failure.message;
        EXPECT_GT(model.objects.size(), 0u);
        EXPECT_LT(model.objects.size(), 110u);
    }

    // A tool that cannot start: the helper reads the IFC2X3 file.
    writeFile(dir / "not-a-program", "");
    const std::filesystem::path small = corpusDir() / "ifc/XbimEssentials__SmallModelIfc2x3.ifc";
    StoppableReporter reporter;
    Failure failure;
    EXPECT_EQ(runIfcTool(reporter, dir / "not-a-program", small, dir / "private" / "small", {}, &failure),
              OperationResult::Failure);
    Model model;
    ASSERT_EQ(runExternalConverter(reporter, model, small, &failure), OperationResult::Success) << failure.message;
    EXPECT_EQ(model.objects.size(), 3u);
}

// More products than a material id of our OBJ reader can number: products
// of one colour share a material, so the red box stays an object of its own
// and the grey boxes after it become one.
TEST(IfcTool, AFileOfVeryManyProductsSharesMaterialsByColour)
{
    MORVEX_REQUIRE_IFC_TOOL();
    constexpr int Extra = 32800;
    std::string lines;
    std::string contained;
    lines.reserve(std::size_t(Extra) * 200);
    for (int i = 0; i < Extra; ++i) {
        const int first = 1000 + 4 * i; // point, axes, placement, product
        const auto ref = [first](int k) { return "#" + std::to_string(first + k); };
        lines += ref(0) + "=IFCCARTESIANPOINT((" + std::to_string(3 * i) + ".,0.,0.));\n" + ref(1) +
                 "=IFCAXIS2PLACEMENT3D(" + ref(0) + ",$,$);\n" + ref(2) + "=IFCLOCALPLACEMENT(#31," + ref(1) + ");\n" +
                 ref(3) + "=IFCBUILDINGELEMENTPROXY('" + std::to_string(100000 + i) + "',$,$,$,$," + ref(2) +
                 ",#80,$,$);\n";
        contained += "," + ref(3);
    }
    lines += "#999999=IFCRELCONTAINEDINSPATIALSTRUCTURE('7YvctVUKr0kugbFTf53O9L',$,$,$,(" + contained.substr(1) +
             "),#30);\n";
    TempDir dir;
    writeFile(dir / "many.ifc", twoBoxesIfc4(lines));
    Model model;
    Failure failure;
    ASSERT_EQ(convertWithTool(dir / "many.ifc", dir, model, failure), OperationResult::Success) << failure.message;
    ASSERT_EQ(model.objects.size(), 2u);
    EXPECT_EQ(model.objects[0]->triangleCount(), 12u);
    EXPECT_EQ(model.objects[1]->triangleCount(), 12u * (Extra + 1));
}

// Geometry that multiplies without end runs into the limits (processor
// time, memory or, on a busy machine, wall-clock time): the tool is ended
// and the run fails with the reason, leaving nothing behind.
TEST(IfcTool, GeometryWithoutEndFailsWithinTheLimits)
{
    MORVEX_REQUIRE_IFC_TOOL();
    TempDir dir;
    writeFile(dir / "bomb.ifc", mappedItemBomb());
    ConverterLimits limits;
    limits.memoryBytes = std::uint64_t(1) << 30;
    limits.cpuSeconds = 5;
    limits.wallSeconds = 20;
    Model model;
    Failure failure;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(convertWithTool(dir / "bomb.ifc", dir, model, failure, limits), OperationResult::Failure);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0);
    const bool ended = failure.message.find("the IFC tool could not convert the file (") == 0 ||
                       failure.message == "the IFC tool did not finish within 20 s and was stopped";
    EXPECT_TRUE(ended) << failure.message;
    EXPECT_TRUE(std::filesystem::is_empty(dir / "private"));
}

TEST(IfcTool, TheObjNameIsTheOutputWithObjAppended)
{
    EXPECT_EQ(ifcToolObjPath("/w/Site_v1.2_house"), "/w/Site_v1.2_house.obj");
    EXPECT_EQ(ifcToolMtlPath("/w/Site_v1.2_house"), "/w/Site_v1.2_house.mtl");
    EXPECT_EQ(ifcToolObjPath("/w/out.OBJ"), "/w/out.OBJ");
    EXPECT_NE(ifcObjPath("/a/v1.2_x/house.ifc"), ifcObjPath("/a/v1.2_y/house.ifc"));
}

} // namespace
} // namespace morvex

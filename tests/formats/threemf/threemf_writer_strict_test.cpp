// Packages that strict readers take: core names and namespaces only, no
// dangling thumbnail, no degenerate triangles; and textures that survive
// OBJ -> 3MF -> OBJ.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/obj/obj.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"

#include <gtest/gtest.h>

using namespace morvex;
using namespace morvex::threemf_test;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

TEST(ThreeMfWriterStrict, WhatStrictReadersRefuseIsNotWritten)
{
    TempDir temp;
    Model model;
    // Properties a model read from elsewhere carries.
    model.properties.setProperty("ModelName", "bracket");
    model.properties.setProperty("Title", "Bracket");
    model.properties.setProperty("Model:xmlns", "http://schemas.microsoft.com/3dmanufacturing/2013/01");
    ModelObject& object = addTetrahedron(model);
    object.properties.setProperty("thumbnail", "/Metadata/thumbnail.png");
    // Two triangles that repeat a corner: no triangle to any reader.
    ASSERT_TRUE(object.indices.resize(18));
    const std::uint32_t degenerate[6] = {0, 0, 1, 2, 3, 2};
    std::copy_n(degenerate, 6, &object.indices[12]);

    const auto path = temp / "strict.3mf";
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(threemf::write3mf(path, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    expectStrictlyReadable(path);

    Model read;
    ASSERT_EQ(threemf::read3mf(path, read, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(read.objects.size(), 1u);
    EXPECT_EQ(read.objects[0]->triangleCount(), 4u) << "the degenerate triangles are left out";
    EXPECT_FALSE(read.objects[0]->properties.hasProperty("thumbnail"));
    EXPECT_EQ(read.properties.getProperty("ModelName"), "bracket") << "our own metadata names come back";
    EXPECT_EQ(read.properties.getProperty("Title"), "Bracket");
    EXPECT_EQ(read.properties.getProperty("Model:xmlns"), "http://schemas.microsoft.com/3dmanufacturing/core/2015/02");
#ifdef MORVEX_HAVE_LIB3MF
    const Lib3mfView view = viewWithLib3mf(path, true);
    EXPECT_EQ(view.itemTriangles, std::vector<std::uint64_t>{4});
#endif
}

TEST(ThreeMfWriterStrict, TexturedObjKeepsItsTexturesThroughThreeMf)
{
    TempDir temp;
    std::filesystem::create_directories(temp / "source");
    const std::string image = "\x89PNG\r\n\x1a\n pixels of wood";
    writeFile(temp / "source" / "wood.png", image);
    writeFile(temp / "source" / "stone.jpg", "\xff\xd8\xff stone");
    writeFile(temp / "source" / "plank.mtl", "newmtl wood\nKd 1 1 1\nmap_Kd wood.png\n"
                                             "newmtl stone\nKd 1 1 1\nmap_Kd stone.jpg\n");
    writeFile(temp / "source" / "plank.obj", "mtllib plank.mtl\n"
                                             "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\n"
                                             "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvt 0.5 0.25\n"
                                             "usemtl wood\nf 1/1 2/2 3/3\nf 1/1 3/3 4/4\n"
                                             "usemtl stone\nf 1/1 2/2 5/5\n");
    RecordingReporter reporter;
    Failure failure;
    Model source;
    ASSERT_EQ(obj::readObj(temp / "source" / "plank.obj", source, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);

    const auto package = temp / "plank.3mf";
    ASSERT_EQ(threemf::write3mf(package, source, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    expectStrictlyReadable(package);
#ifdef MORVEX_HAVE_LIB3MF
    EXPECT_EQ(viewWithLib3mf(package, true).textures, 3u) << "every triangle keeps its texture";
#endif

    Model read;
    ASSERT_EQ(threemf::read3mf(package, read, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    const auto output = temp / "out" / "plank.obj";
    std::filesystem::create_directories(output.parent_path());
    ASSERT_EQ(obj::writeObj(output, read, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(readFile(temp / "out" / "Textures" / "wood.png"), image);
    EXPECT_EQ(readFile(temp / "out" / "Textures" / "stone.jpg"), "\xff\xd8\xff stone");
    const std::string library = readFile(temp / "out" / "plank.mtl");
    EXPECT_NE(library.find("map_Kd Textures/wood.png"), std::string::npos) << library;
    EXPECT_NE(library.find("map_Kd Textures/stone.jpg"), std::string::npos) << library;

    // The corners keep their coordinates: the first triangle's, read back.
    Model again;
    ASSERT_EQ(obj::readObj(output, again, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    std::vector<std::pair<float, float>> before, after;
    for (const Model* model : {&source, &again})
        for (const auto& object : model->objects)
            for (const TexCoord& t : object->texCoords)
                (model == &source ? before : after).emplace_back(t.u, t.v);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
}

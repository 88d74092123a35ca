// Our packages read back by our reader, and packages written by the
// reference 3MF library from known geometry read by our reader.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

#ifdef MORVEX_HAVE_LIB3MF
#include "Model/COM/NMR_DLLInterfaces.h"
#endif

using namespace morvex;
using namespace morvex::threemf_test;
using morvex::testing::TempDir;

namespace {

void expectNearVector(const Vector3& actual, const Vector3& expected, const std::string& where)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-5) << where;
    EXPECT_NEAR(actual.y, expected.y, 1e-5) << where;
    EXPECT_NEAR(actual.z, expected.z, 1e-5) << where;
}

OperationResult readPackage(const std::filesystem::path& path, Model& model)
{
    RecordingReporter reporter;
    Failure failure;
    const OperationResult result = threemf::read3mf(path, model, reporter, &failure);
    EXPECT_EQ(result, OperationResult::Success) << describeFailure(failure);
    return result;
}

} // namespace

TEST(ThreeMfWriterReadBack, GivesBackObjectsCornerColoursMetadataAndModelProperties)
{
    TempDir temp;
    Model written;
    written.properties.setProperty("Title", "Bracket");
    written.properties.setProperty("ModelName", "solid bracket");
    written.properties.setProperty("Designer", "Ann & Bob <shop>");
    written.properties.setProperty("Model:unit", "inch");
    written.properties.setProperty("BuildItem:partnumber_11", "PN-11");
    ModelObject& corners = addTetrahedron(written);
    corners.properties.setProperty("id", "11");
    corners.properties.setProperty("name", "left \"bracket\"");
    corners.position = {5, 0, 0};
    setColors(corners, {Red, Red, Red, Green, Red, Red, Blue, Yellow, Green, Red, Red, Blue});
    ModelObject& perVertex = addTetrahedron(written);
    perVertex.rotation = {90, 0, 0};
    setColors(perVertex, {Blue, Green, Yellow, Red});
    addTetrahedron(written).scale = {2, 2, 2};

    const std::filesystem::path path = temp / "bracket.3mf";
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(threemf::write3mf(path, written, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    threemf_test::expectStrictlyReadable(path);
    Model read;
    ASSERT_EQ(readPackage(path, read), OperationResult::Success);

    ASSERT_EQ(read.objects.size(), 3u);
    for (std::uint32_t o = 0; o < 3; ++o) {
        const ModelObject& source = *written.objects[o];
        const ModelObject& object = *read.objects[o];
        EXPECT_EQ(object.properties.getProperty("id"), std::to_string(o + 1));
        ASSERT_EQ(object.vertices.count(), 4u);
        ASSERT_EQ(object.indices.count(), 12u);
        for (std::uint32_t v = 0; v < 4; ++v)
            expectNearVector(object.vertices[v], transformPoint(source.vertices[v], placementMatrix(source)),
                             "object " + std::to_string(o) + " vertex " + std::to_string(v));
        for (std::uint32_t k = 0; k < 12; ++k) {
            EXPECT_EQ(object.indices[k], source.indices[k]);
            if (!source.colors.empty()) {
                ASSERT_EQ(object.colors.count(), 12u) << "per-corner colours";
                EXPECT_EQ(object.colors[k], source.cornerColor(k)) << "object " << o << " corner " << k;
            }
        }
    }
    EXPECT_TRUE(read.objects[2]->colors.empty()) << "an uncoloured object stays uncoloured";
    EXPECT_EQ(read.objects[0]->properties.getProperty("name"), "left \"bracket\"");

    const PropertyBag& properties = read.properties;
    EXPECT_EQ(properties.getProperty("Title"), "Bracket");
    EXPECT_EQ(properties.getProperty("ModelName"), "solid bracket");
    EXPECT_EQ(properties.getProperty("Designer"), "Ann & Bob <shop>");
    EXPECT_EQ(properties.getProperty("Model:unit"), "inch");
    EXPECT_EQ(properties.getProperty("Model:xml:lang"), "en-US");
    EXPECT_EQ(properties.getProperty("Model:xmlns"), "http://schemas.microsoft.com/3dmanufacturing/core/2015/02");
    EXPECT_EQ(properties.getProperty("Model:xmlns:m"), "http://schemas.microsoft.com/3dmanufacturing/material/2015/02");
    EXPECT_EQ(properties.getProperty("BuildItem:partnumber_1"), "PN-11") << "the part number follows its object";
    EXPECT_FALSE(properties.hasProperty("BuildItem:transform_1"));
}

TEST(ThreeMfWriterReadBack, ReadsPackagesWrittenByLib3mf)
{
#ifndef MORVEX_HAVE_LIB3MF
    GTEST_SKIP() << "lib3mf is not installed (Debian lib3mf-dev)";
#else
    using namespace NMR;
    TempDir temp;
    const std::filesystem::path path = temp / "lib3mf.3mf";
    {
        // Known geometry and colours, placed by the build item's transform.
        PLib3MFModel* document = nullptr;
        ASSERT_EQ(lib3mf_createmodel(&document), 0);
        PLib3MFModelMeshObject* mesh = nullptr;
        ASSERT_EQ(lib3mf_model_addmeshobject(document, &mesh), 0);
        MODELMESHVERTEX vertices[4];
        for (std::uint32_t i = 0; i < 4; ++i)
            vertices[i] = {{TetrahedronCorners[i].x, TetrahedronCorners[i].y, TetrahedronCorners[i].z}};
        MODELMESHTRIANGLE triangles[4];
        for (std::uint32_t t = 0; t < 4; ++t)
            triangles[t] = {
                {TetrahedronTriangles[3 * t], TetrahedronTriangles[3 * t + 1], TetrahedronTriangles[3 * t + 2]}};
        ASSERT_EQ(lib3mf_meshobject_setgeometry(mesh, vertices, 4, triangles, 4), 0);
        ASSERT_EQ(lib3mf_object_setnameutf8(mesh, "tetra"), 0);
        PLib3MFDefaultPropertyHandler* defaults = nullptr;
        ASSERT_EQ(lib3mf_object_createdefaultpropertyhandler(mesh, &defaults), 0);
        ASSERT_EQ(lib3mf_defaultpropertyhandler_setcolorrgba(defaults, 255, 0, 0, 255), 0);
        PLib3MFPropertyHandler* properties = nullptr;
        ASSERT_EQ(lib3mf_meshobject_createpropertyhandler(mesh, &properties), 0);
        ASSERT_EQ(lib3mf_propertyhandler_setsinglecolorrgba(properties, 0, 255, 0, 0, 255), 0);
        ASSERT_EQ(lib3mf_propertyhandler_setsinglecolorrgba(properties, 1, 0, 255, 0, 128), 0);
        MODELMESH_TRIANGLECOLOR_SRGB gradient{};
        gradient.m_Colors[0] = {0, 0, 255, 255};
        gradient.m_Colors[1] = {255, 255, 0, 255};
        gradient.m_Colors[2] = {255, 0, 0, 255};
        ASSERT_EQ(lib3mf_propertyhandler_setgradientcolor(properties, 2, &gradient), 0);
        ASSERT_EQ(lib3mf_propertyhandler_setsinglecolorrgba(properties, 3, 255, 0, 0, 255), 0);
        MODELTRANSFORM transform{};
        transform.m_fFields[0][0] = transform.m_fFields[1][1] = transform.m_fFields[2][2] = 1;
        transform.m_fFields[0][3] = 10, transform.m_fFields[1][3] = 20, transform.m_fFields[2][3] = 30;
        PLib3MFModelBuildItem* item = nullptr;
        ASSERT_EQ(lib3mf_model_addbuilditem(document, mesh, &transform, &item), 0);
        ASSERT_EQ(lib3mf_builditem_setpartnumberutf8(item, "PN-1"), 0);
        ASSERT_EQ(lib3mf_model_addmetadatautf8(document, "Title", "Bracket"), 0);
        PLib3MFModelWriter* writer = nullptr;
        ASSERT_EQ(lib3mf_model_querywriter(document, "3mf", &writer), 0);
        ASSERT_EQ(lib3mf_writer_writetofileutf8(writer, path.c_str()), 0);
        for (PLib3MFBase* instance : {writer, item, properties, defaults, mesh, document})
            lib3mf_release(instance);
    }

    Model model;
    ASSERT_EQ(readPackage(path, model), OperationResult::Success);
    ASSERT_EQ(model.objects.size(), 1u);
    const ModelObject& object = *model.objects[0];
    ASSERT_EQ(object.vertices.count(), 4u);
    for (std::uint32_t v = 0; v < 4; ++v) {
        const Vector3 corner = TetrahedronCorners[v];
        expectNearVector(object.vertices[v], {corner.x + 10, corner.y + 20, corner.z + 30},
                         "vertex " + std::to_string(v));
    }
    ASSERT_EQ(object.indices.count(), 12u);
    ASSERT_EQ(object.colors.count(), 12u);
    ASSERT_EQ(object.normals.count(), 12u);
    const ArgbColor expected[] = {Red, Red, Red, Green, Green, Green, Blue, Yellow, Red, Red, Red, Red};
    for (std::uint32_t k = 0; k < 12; ++k) {
        EXPECT_EQ(object.indices[k], TetrahedronTriangles[k]);
        EXPECT_EQ(object.colors[k], expected[k]) << "corner " << k;
    }
    EXPECT_EQ(object.properties.getProperty("name"), "tetra");
    EXPECT_EQ(model.properties.getProperty("Title"), "Bracket");
    EXPECT_EQ(model.properties.getProperty("ModelName"), "Bracket");
    EXPECT_EQ(model.properties.getProperty("BuildItem:partnumber_1"), "PN-1");
#endif
}

#include "formats/format_table.h"
#include "mesh/model.h"
#include "support/core/memory_guard.h"
#include "support/core/parallel_ranges.h"

#include <gtest/gtest.h>

#include <vector>

using namespace morvex;

TEST(PropertyBag, OrderReplaceAndConversions)
{
    PropertyBag bag;
    bag.setProperty("ModelName", "first");
    bag.setProperty("ModelName", "second");
    EXPECT_EQ(bag.size(), 1u);
    EXPECT_EQ(bag.getProperty("ModelName"), "second");

    PropertyBag order;
    order.setProperty("b", "1");
    order.setProperty("B", "2");
    order.setProperty("a", "3");
    order.setProperty("ab", "4");
    order.setProperty("", "ignored");
    std::vector<std::string> keys;
    for (const auto& [key, value] : order)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b"}));

    // UTF-16 order: U+FF21 (one unit) sorts after U+1F600 (surrogates D83D ...),
    // although its UTF-8 bytes sort before.
    PropertyBag wide;
    wide.setProperty("\xEF\xBC\xA1", "fullwidth A");
    wide.setProperty("\xF0\x9F\x98\x80", "emoji");
    EXPECT_EQ(wide.begin()->second, "emoji");

    PropertyBag numbers;
    numbers.setProperty("trailing", "12abc");
    numbers.setProperty("empty", "");
    numbers.setProperty("blanks", "  -42x");
    numbers.setProperty("huge", "99999999999");
    EXPECT_EQ(numbers.getIntProperty("trailing"), 12);
    EXPECT_EQ(numbers.getIntProperty("empty"), 0);
    EXPECT_EQ(numbers.getIntProperty("absent"), 0);
    EXPECT_EQ(numbers.getIntProperty("blanks"), -42);
    EXPECT_EQ(numbers.getIntProperty("huge"), INT32_MAX);
    EXPECT_EQ(numbers.getProperty("empty", "fallback"), "");
    EXPECT_EQ(numbers.getProperty("absent", "fallback"), "fallback");

    numbers.setIntProperty("color", static_cast<std::int32_t>(0xFFC8C8C8u));
    EXPECT_EQ(numbers.getProperty("color"), "-3618616");
    EXPECT_EQ(static_cast<std::uint32_t>(numbers.getIntProperty("color")), 0xFFC8C8C8u);

    numbers.setProperty("ten", "10");
    numbers.setProperty("yes", "yes");
    numbers.setBoolProperty("flag", false);
    EXPECT_TRUE(numbers.getBoolProperty("ten"));
    EXPECT_FALSE(numbers.getBoolProperty("yes"));
    EXPECT_FALSE(numbers.getBoolProperty("flag"));
    EXPECT_EQ(numbers.getProperty("flag"), "0");
}

TEST(Model, MaterialsObjectsAndReset)
{
    Model model;
    EXPECT_EQ(model.profile.kind, FormatKind::Unknown);
    Material* m1 = model.addMaterial();
    Material* m2 = model.addMaterial();
    Material* m3 = model.addMaterial();
    ASSERT_TRUE(m1 && m2 && m3);
    EXPECT_EQ(m1->id, 0);
    EXPECT_EQ(m3->id, 2);
    EXPECT_EQ(model.materials[0].get(), m3);
    EXPECT_EQ(model.materials[2].get(), m1);
    EXPECT_EQ(model.findMaterial(1), m2);
    EXPECT_EQ(m1->colors[4], 0x00000000u);
    EXPECT_EQ(m1->colors[0], 0xFF000000u);
    EXPECT_FALSE(m1->colorSet[1]);

    model.properties.setProperty("ModelName", "x");
    model.addObject();
    model.profile = profileForExtension(".stl");
    model.reset();
    EXPECT_TRUE(model.objects.empty());
    EXPECT_TRUE(model.materials.empty());
    EXPECT_TRUE(model.properties.empty());
    EXPECT_EQ(model.profile, FormatProfile{});
    EXPECT_EQ(model.addMaterial()->id, 3) << "ids continue after a reset";

    // [empty, full, vertices-only, full] keeps the two full ones in order.
    Model objects;
    ModelObject* shapes[4];
    for (auto*& shape : shapes)
        shape = objects.addObject();
    for (int i : {1, 2, 3})
        ASSERT_TRUE(shapes[i]->vertices.allocate(3));
    for (int i : {1, 3})
        ASSERT_TRUE(shapes[i]->indices.allocate(3));
    EXPECT_EQ(shapes[1]->scale, (Vector3{1, 1, 1}));
    objects.removeEmptyObjects();
    ASSERT_EQ(objects.objects.size(), 2u);
    EXPECT_EQ(objects.objects[0].get(), shapes[1]);
    EXPECT_EQ(objects.objects[1].get(), shapes[3]);

    ModelObject* object = objects.objects[0].get();
    MaterialRange* first = object->addMaterialRange();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->materialId, -1);
    first->materialId = 7;
    object->addMaterialRange();
    EXPECT_EQ(object->materialRanges.front().materialId, -1);
    EXPECT_EQ(object->materialRanges.back().materialId, 7);
}

TEST(Model, ColourPerVertexOrPerCorner)
{
    Model model;
    ModelObject& object = *model.addObject();
    ASSERT_TRUE(object.vertices.allocate(4));
    ASSERT_TRUE(object.indices.allocate(6));
    const std::uint32_t corners[] = {0, 1, 2, 2, 3, 0};
    std::copy(std::begin(corners), std::end(corners), object.indices.begin());
    ASSERT_TRUE(object.colors.allocate(4));
    for (std::uint32_t i = 0; i < 4; ++i)
        object.colors[i] = 0xFF000000u + i;
    EXPECT_TRUE(object.colorsPerVertex());
    EXPECT_EQ(object.cornerColor(4), 0xFF000003u);

    ASSERT_TRUE(object.colors.allocate(6));
    for (std::uint32_t i = 0; i < 6; ++i)
        object.colors[i] = 0xFF000010u + i;
    EXPECT_TRUE(object.colorsPerCorner());
    EXPECT_EQ(object.cornerColor(4), 0xFF000014u);

    object.colors.clear();
    EXPECT_EQ(object.cornerColor(0), DefaultVertexColor);

    // More vertices than corners: a per-corner colour is still found by its
    // corner when the corner's vertex number is beyond the colour count.
    ASSERT_TRUE(object.vertices.allocate(8));
    const std::uint32_t sparse[] = {0, 1, 7};
    ASSERT_TRUE(object.indices.allocate(3));
    std::copy(std::begin(sparse), std::end(sparse), object.indices.begin());
    ASSERT_TRUE(object.colors.allocate(3));
    for (std::uint32_t i = 0; i < 3; ++i)
        object.colors[i] = 0xFF000020u + i;
    EXPECT_TRUE(object.colorsPerCorner());
    EXPECT_EQ(object.cornerColor(2), 0xFF000022u);
}

TEST(Profiles, ExtensionTable)
{
    EXPECT_EQ(profileForExtension(".STL"), profileForExtension(".stl"));
    EXPECT_EQ(profileForExtension(".stl").kind, FormatKind::StlBinary);
    EXPECT_EQ(profileForExtension(".fbx").kind, FormatKind::Fbx);
    EXPECT_EQ(profileForExtension(".3d").kind, FormatKind::External);
    EXPECT_EQ(profileForExtension(".Gltf").upAxis, UpAxis::Y);
    const FormatProfile tdp = profileForExtension(".3dp");
    EXPECT_EQ(tdp.handedness, Handedness::Left);
    EXPECT_TRUE(tdp.carriesNormals);
    EXPECT_EQ(profileForExtension(".mqo").winding, Winding::Clockwise);
    EXPECT_EQ(profileForExtension(".doc"), FormatProfile{});
    EXPECT_EQ(profileForExtension(""), FormatProfile{});
}

TEST(GrowableArray, AllocateResizeAndGuard)
{
    ColorArray colors;
    ASSERT_TRUE(colors.resize(3));
    EXPECT_EQ(colors[2], 0xFF000000u) << "new colours start opaque black";
    colors[0] = 1;
    ASSERT_TRUE(colors.resize(10));
    EXPECT_EQ(colors[0], 1u) << "resize keeps the contents";
    EXPECT_GE(colors.capacity(), 10u);
    const std::uint32_t capacity = colors.capacity();
    ASSERT_TRUE(colors.resize(2));
    EXPECT_EQ(colors.capacity(), capacity) << "shrinking keeps the storage";

    Vector3Array points;
    ASSERT_TRUE(points.allocate(5));
    EXPECT_EQ(points[4], (Vector3{0, 0, 0}));
    ASSERT_TRUE(points.allocate(11));
    EXPECT_EQ(points.capacity(), 11u) << "max(2 * 5, 11)";
    ASSERT_TRUE(points.allocate(12));
    EXPECT_EQ(points.capacity(), 22u);

    // A request above half of the available memory fails as out of memory
    // and leaves the array without storage.
    setAvailableMemoryOverride(64ull << 20);
    IndexArray indices;
    ASSERT_TRUE(indices.allocate(1000));
    EXPECT_FALSE(indices.allocate(10'000'000)); // 40 MB > 32 MB
    EXPECT_FALSE(indices.hasStorage());
    EXPECT_EQ(indices.count(), 0u);
    EXPECT_EQ(indices.capacity(), 0u);
    EXPECT_TRUE(indices.allocate(1'000'000)); // 4 MB is fine

    // Sizes are compared in 64 bits: 20 GiB available allows 5 GiB.
    setAvailableMemoryOverride(20ull << 30);
    EXPECT_TRUE(allocationAllowed(5ull << 30, 4));
    EXPECT_FALSE(allocationAllowed(11ull << 30, 4));
    setAvailableMemoryOverride(0);
    EXPECT_GT(availableMemoryBytes(), 0u);
}

// Appending a block copies it after what is there without touching that,
// refuses a count past 32 bits and fails as out of memory under the guard;
// an unfilled allocation has the count asked for and passes the guard too.
TEST(GrowableArray, AppendBlocksAndAllocateUnfilled)
{
    GrowableArray<std::uint32_t, ArrayFill::Zero> list;
    const std::uint32_t first[] = {7, 8, 9};
    ASSERT_TRUE(list.append(first, 3));
    ASSERT_TRUE(list.resize(5)); // two zeros after the block
    const std::vector<std::uint32_t> second = {1, 2};
    ASSERT_TRUE(list.append(second.data(), 2));
    ASSERT_TRUE(list.append(second.data(), 0));
    EXPECT_EQ(std::vector<std::uint32_t>(list.begin(), list.end()), (std::vector<std::uint32_t>{7, 8, 9, 0, 0, 1, 2}));
    EXPECT_FALSE(list.append(second.data(), UINT32_MAX));
    EXPECT_EQ(list.count(), 7u) << "a count past 32 bits leaves the array as it was";

    setAvailableMemoryOverride(64ull << 20);
    ColorArray colours;
    ASSERT_TRUE(colours.allocateUnfilled(1000));
    EXPECT_EQ(colours.count(), 1000u);
    EXPECT_FALSE(colours.allocateUnfilled(10'000'000)); // 40 MB > 32 MB
    EXPECT_FALSE(colours.hasStorage());
    const std::vector<ArgbColor> many(10'000'000, 1u);
    EXPECT_FALSE(colours.append(many.data(), 10'000'000));
    EXPECT_EQ(colours.count(), 0u);
    setAvailableMemoryOverride(0);
}

// Joining pieces: a large array is copied by several threads, element for
// element in order after what was there; an empty one takes the storage.
TEST(GrowableArray, AppendReleasingJoinsInOrder)
{
    for (unsigned threads : {1u, 2u, 3u}) {
        setThreadsPerFile(threads);
        GrowableArray<std::uint32_t, ArrayFill::Zero> joined, first, second, third;
        ASSERT_TRUE(first.resize(3'000'001) && second.resize(7'000'003) && third.resize(5));
        for (std::uint32_t i = 0; i < first.count(); ++i)
            first[i] = i;
        for (std::uint32_t i = 0; i < second.count(); ++i)
            second[i] = first.count() + i;
        for (std::uint32_t i = 0; i < third.count(); ++i)
            third[i] = first.count() + second.count() + i;
        const std::uint32_t* firstStorage = first.data();
        ASSERT_TRUE(appendReleasing(joined, first));
        EXPECT_EQ(joined.data(), firstStorage) << "an empty array takes the storage over";
        ASSERT_TRUE(appendReleasing(joined, second));
        ASSERT_TRUE(appendReleasing(joined, third));
        EXPECT_FALSE(second.hasStorage());
        ASSERT_EQ(joined.count(), 10'000'009u);
        std::uint32_t misplaced = 0;
        for (std::uint32_t i = 0; i < joined.count(); ++i)
            misplaced += joined[i] != i;
        EXPECT_EQ(misplaced, 0u) << threads << " threads";
    }
    setThreadsPerFile(1);
}

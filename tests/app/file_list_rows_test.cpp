#include "app/file_list_rows.h"
#include "app/input_formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace morvex {
namespace {

TEST(FileListRows, FormatAndSizeColumns)
{
    EXPECT_EQ(formatColumnText(".stl"), "STL");
    EXPECT_EQ(formatColumnText("Obj"), "OBJ");
    EXPECT_EQ(formatColumnText("3MF"), "3MF");
    EXPECT_EQ(formatColumnText(".FBX"), "fbx"); // read through the external converter
    EXPECT_EQ(formatColumnText("xyz"), "xyz");

    EXPECT_EQ(sizeColumnText(0), "-");
    EXPECT_EQ(sizeColumnText(5000), "0.01");
    EXPECT_EQ(sizeColumnText(1023), "0.01"); // whole KiB only: 0 KiB is still a file
    EXPECT_EQ(sizeColumnText(1572864), "1.50");
    EXPECT_EQ(sizeColumnText(10485760), "10.00");
    EXPECT_EQ(sizeColumnText(1048575), "1.00"); // 1023 KiB rounds to two decimals
}

TEST(FileListRows, StatusTextsIconsAndSelection)
{
    const std::uint32_t supported = SupportedFormatFlag;
    EXPECT_EQ(statusColumnText(supported | 0), "");
    EXPECT_EQ(statusColumnText(supported | 3), "Success");
    EXPECT_EQ(statusColumnText(supported | 7), "Converted and renamed");
    EXPECT_EQ(statusColumnText(supported | 13), "");
    EXPECT_EQ(statusColumnText(3), "Format may not be supported");

    EXPECT_EQ(stateIconIndex(supported | 0), 0);
    EXPECT_EQ(stateIconIndex(supported | 1), 0);
    EXPECT_EQ(stateIconIndex(supported | 2), 1);
    for (const std::uint32_t done : {3u, 6u, 7u})
        EXPECT_EQ(stateIconIndex(supported | done), 2) << done;
    for (const std::uint32_t other : {4u, 5u, 8u, 9u, 10u, 11u, 15u})
        EXPECT_EQ(stateIconIndex(supported | other), 3) << other;
    EXPECT_EQ(stateIconIndex(3), 3); // a converted row of an unknown format still warns

    EXPECT_EQ(selectionStatusText(0, 0), "No files in list.");
    EXPECT_EQ(selectionStatusText(0, 4), "No files selected.");
    EXPECT_EQ(selectionStatusText(2, 4), "2 of 4 files selected.");
}

TEST(FileListRows, LogicalComparisonOrdersAsAFileManager)
{
    std::vector<std::string> names{"part10", "Part9", "part1", "part01b", "part", "PART2", "a100", "a20x", "b"};
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return compareLogically(a, b) < 0; });
    const std::vector<std::string> expected{"a20x",    "a100",  "b",     "part",  "part1",
                                            "part01b", "PART2", "Part9", "part10"};
    EXPECT_EQ(names, expected);

    EXPECT_EQ(compareLogically("Model", "model"), 0);
    EXPECT_EQ(compareLogically("file007", "file7"), 0);
    EXPECT_LT(compareLogically("x2y", "x10y"), 0);
    EXPECT_GT(compareLogically("99999999999999999999999", "99999999999999999999998"), 0); // beyond 64 bits
    EXPECT_LT(compareLogically("", "a"), 0);
    // Sizes sort by value, "-" first.
    EXPECT_LT(compareLogically("-", "0.01"), 0);
    EXPECT_LT(compareLogically("2.50", "10.00"), 0);
}

} // namespace
} // namespace morvex

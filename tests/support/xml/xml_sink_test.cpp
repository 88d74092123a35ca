#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/xml_sink_recorder.h"
#include "support/xml/xml_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::describeSubtree;
using morvex::testing::RecordingSink;
using morvex::testing::replay;

// A parse that hands its elements to a sink hands them in document order
// with the attributes and collected subtrees of the whole tree, reports the
// same first error at the same line, and ends as a lone root.
TEST(XmlSink, HandsOutWhatTheWholeTreeHolds)
{
    const std::string texts[] = {
        "<?xml version=\"1.0\"?>\r\n<model a=\"1\" b='2'>\r\n<!-- note -->\n<![CDATA[<x>]]>\n"
        "<object id=\"1\">text &amp; more<c1 k=\"v\">  <d>in</d><s/>tail</c1><s2><d><e/></d></s2>\n<empty/></object>"
        "\r\n</model>\n<after/>",
        "<a>\n<b x=\"1\" x=\"2\"/>\n<c>\n</a>\n<cc><x/></cc>",
        "<a><b></c></a>\n<after/>\n<s><a/></s><top/>",
        "<model xml:space=\"preserve\"><cx> kept </cx><v>\n  <cy>\n</cy></v></model>",
        "<unterminated attribute=\"never closed",
        "<a><c>open to the end",
        "<r><p1 a=\"1\" b=\"2\"/><p2 a='1'/><p3 a=\"1\">x</p3><d><p4/></d><s><p5 k=\"v\"/></s></r><p6 z=\"&amp;\"/>",
        "",
    };
    int plainTaken = 0;
    for (const std::string& text : texts) {
        XmlDocument whole;
        std::string wholeError;
        std::uint64_t wholeLine = 0;
        ASSERT_EQ(parseXmlText(text, whole, wholeError, nullptr, &wholeLine), OperationResult::Success);
        RecordingSink expected;
        replay(whole, 0, expected);

        XmlDocument streamed;
        std::string streamedError;
        std::uint64_t streamedLine = 0;
        RecordingSink sink;
        ASSERT_EQ(parseXmlText(text, streamed, streamedError, nullptr, &streamedLine, &sink), OperationResult::Success);
        EXPECT_EQ(sink.events, expected.events) << text;
        EXPECT_EQ(streamedError, wholeError) << text;
        EXPECT_EQ(streamedLine, wholeLine) << text;
        EXPECT_EQ(streamed.nodeCount(), 1u) << text;
        EXPECT_FALSE(streamed.firstChild()) << text;
        plainTaken += sink.plainTaken;
    }
    EXPECT_EQ(plainTaken, 2) << "<p1 .../> and <p4/> are plain";
}

// However large the document, the tree holds only the open elements and the
// element being collected; a stop leaves the open elements unannounced.
TEST(XmlSink, TreeStaysSmallAndAStopEndsTheEvents)
{
    std::string text = "<model><resources><object><vertices>\n";
    for (int i = 0; i < 50000; ++i)
        text += "  <cv x=\"" + std::to_string(i) + ".5\" y=\"" + std::to_string(i % 91) + "\"/>\n  <s>" +
                std::string(i % 7, 'x') + "<deep><er/></deep></s>\n";
    text += "</vertices></object></resources></model>\n";
    RecordingSink sink;
    XmlDocument document;
    std::string error;
    ASSERT_EQ(parseXmlText(text, document, error, nullptr, nullptr, &sink), OperationResult::Success);
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_EQ(sink.events.size(), 4u * 2 + 50000u * 3);
    EXPECT_EQ(sink.events[4 + 3 * 49999], "open 4 cv x=49999.5 y=" + std::to_string(49999 % 91));
    EXPECT_LE(sink.mostNodes, 8u);
    EXPECT_LE(sink.mostArena, 512u);

    RecordingReporter stopping;
    stopping.cancelAfterChecks(100);
    RecordingSink stopped;
    EXPECT_EQ(parseXmlText(text, document, error, &stopping, nullptr, &stopped), OperationResult::Cancelled);
    ASSERT_GT(stopped.events.size(), 8u);
    EXPECT_LT(stopped.events.size(), sink.events.size());
    EXPECT_TRUE(std::equal(stopped.events.begin(), stopped.events.end(), sink.events.begin()))
        << "a stopped parse says nothing of the elements still open";
}

namespace {

std::string dumpDocument(std::string_view text, std::string& error)
{
    XmlDocument document;
    EXPECT_EQ(parseXmlText(text, document, error), OperationResult::Success);
    std::string out;
    for (XmlNodeRef child = document.firstChild(); child; child = child.next())
        describeSubtree(child, out);
    return out;
}

} // namespace

// Start tags written plainly (double quotes, spaces) are read in a tight
// pass; written with single quotes and tabs they take the general reading.
// Both give the same tree and the same first error, also for the tags at
// the edge of what the tight pass takes.
TEST(XmlSink, PlainStartTagsReadAsTheGeneralReadingReadsThem)
{
    const std::string longName(70, 'n');
    std::string manyAttributes;
    for (int i = 0; i < 20; ++i)
        manyAttributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    const std::string tags[] = {
        "<vertex x=\"1.5\" y=\"-2\" z=\"3e2\"/>",
        "<triangle v1=\"0\" v2=\"1\" v3=\"2\" p1=\"\">",
        "<m:color  color=\"#FF0000\"   />",
        "<a x=\"1\" x=\"2\"/>",
        "<a xml:space=\"preserve\">",
        "<a x=\"what?\">",
        "<a x=\"a<b>c\"/>",
        "<a x=\"1\"y=\"2\"/>",
        "<a x=\"1\" / >",
        "<a/ >",
        "<" + longName + " k=\"v\"/>",
        "<a " + longName + "=\"v\"/>",
        "<a" + manyAttributes + "/>",
        "<a x=\"1\"",
        "<a x=\"1",
    };
    for (const std::string& tag : tags) {
        const std::string plain = "<r>\n" + tag + "text</r>\n<after/>";
        std::string general = plain;
        for (char& c : general) {
            if (c == '"')
                c = '\'';
            else if (c == ' ')
                c = '\t';
        }
        std::string plainError, generalError;
        const std::string plainTree = dumpDocument(plain, plainError);
        std::string generalTree = dumpDocument(general, generalError);
        EXPECT_EQ(plainTree, generalTree) << tag;
        EXPECT_EQ(plainError, generalError) << tag;
    }
}

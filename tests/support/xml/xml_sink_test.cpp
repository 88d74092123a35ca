#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/xml/xml_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace morvex;

namespace {

// Elements named "c..." are collected, "s..." skipped, the rest descended.
XmlElementUse useFor(std::string_view name)
{
    if (name.starts_with('c'))
        return XmlElementUse::Collect;
    if (name.starts_with('s'))
        return XmlElementUse::Skip;
    return XmlElementUse::Descend;
}

void describeSubtree(XmlNodeRef node, std::string& out)
{
    if (node.isText()) {
        out += "\"" + std::string(node.text()) + "\"";
        return;
    }
    out += "<" + std::string(node.name());
    for (auto a = node.attributes(); !a.atEnd(); a.advance())
        out += " " + std::string(a.current().name) + "=" + std::string(a.current().value);
    out += node.preserveSpace() ? " preserve>" : ">";
    for (XmlNodeRef child = node.firstChild(); child; child = child.next())
        describeSubtree(child, out);
    out += "</>";
}

// Writes down what it is handed, and the most nodes and arena bytes the
// tree held meanwhile.
class RecordingSink : public XmlElementSink {
public:
    XmlElementUse opened(XmlNodeRef element, std::size_t depth) override
    {
        note(element);
        std::string attributes;
        for (auto a = element.attributes(); !a.atEnd(); a.advance())
            attributes += " " + std::string(a.current().name) + "=" + std::string(a.current().value);
        events.push_back("open " + std::to_string(depth) + " " + std::string(element.name()) + attributes);
        return useFor(element.name());
    }
    void closed(XmlNodeRef element, XmlElementUse use) override
    {
        note(element);
        std::string subtree;
        if (use == XmlElementUse::Collect)
            describeSubtree(element, subtree);
        events.push_back("close " + std::string(element.name()) + " " + subtree);
    }

    std::vector<std::string> events;
    std::uint32_t mostNodes = 0;
    std::uint32_t mostArena = 0;

private:
    void note(XmlNodeRef element)
    {
        mostNodes = std::max(mostNodes, element.tree()->nodes.count());
        mostArena = std::max(mostArena, element.tree()->arena.count());
    }
};

// The events a sink would get, from a whole tree.
void replay(XmlNodeRef parent, std::size_t depth, RecordingSink& sink)
{
    for (XmlNodeRef child = parent.firstChild(); child; child = child.next()) {
        if (!child.isElement())
            continue;
        const XmlElementUse use = sink.opened(child, depth);
        if (use == XmlElementUse::Descend)
            replay(child, depth + 1, sink);
        if (use != XmlElementUse::Skip)
            sink.closed(child, use);
    }
}

} // namespace

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
        "",
    };
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
    }
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

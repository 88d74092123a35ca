#include "common/test_support.h"
#include "common/xml_feed_writer.h"
#include "support/xml/xml_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morvex;

using morvex::testing::FeedParse;
using morvex::testing::parseWhileWriting;
using morvex::testing::sameXmlTree;

// Whatever the pace of the writer and however little the parse looks ahead,
// a parse of a feed that it finishes gives the tree, the error and its line
// of the parse of the whole text; one it cannot finish says so.
TEST(XmlFeed, ParseWhileWritingMatchesTheWholeParse)
{
    const std::string texts[] = {
        "<?xml version=\"1.0\"?>\r\n<model a=\"1\" b='2'>\r\n<!-- note -->\n<![CDATA[<x>]]>\n"
        "<object id=\"1\">text &amp; more &#x41;</object>\r\n<empty/>\n</model>\n",
        "<a>\n<b x=\"1\" x=\"2\"/>\n<c>\n</a>\n",
        "<a><b></c></a>\n<after/>\n",
        "<root>\n" + std::string(3000, ' ') + "<long attribute=\"" + std::string(500, 'v') + "\"/>\n</root>",
        "<unterminated attribute=\"never closed",
        "<a>\r\r\n\r<b/>\n<!DOCTYPE x [ <!ENTITY y \"z\"> ]>\n</a>",
        "",
    };
    std::string grid = "<vertices>\n";
    for (int i = 0; i < 2000; ++i)
        grid += "<vertex x=\"" + std::to_string(i) + "\" y=\"" + std::to_string(i * 3 % 17) + "\"/>\n";
    grid += "</vertices>\n<broken";

    int finished = 0;
    std::vector<std::string> all(std::begin(texts), std::end(texts));
    all.push_back(grid);
    for (const std::string& text : all) {
        XmlDocument whole;
        std::string wholeError;
        ASSERT_EQ(parseXmlText(text, whole, wholeError), OperationResult::Success);
        for (const std::size_t step : {1u, 3u, 50u, 4096u})
            for (const std::size_t lookAhead : {1u, 16u, 64u, 1u << 20}) {
                FeedParse parsed;
                parseWhileWriting(text, step, lookAhead, parsed);
                const std::string where =
                    text.substr(0, 30) + " step " + std::to_string(step) + " look ahead " + std::to_string(lookAhead);
                ASSERT_EQ(parsed.result, OperationResult::Success) << where;
                if (parsed.incomplete) {
                    EXPECT_LT(lookAhead, text.size()) << where << ": a parse that sees the whole text finishes";
                    continue;
                }
                ++finished;
                EXPECT_EQ(parsed.errorText, wholeError) << where;
                EXPECT_EQ(parsed.errorLine != 0, !wholeError.empty()) << where;
                EXPECT_TRUE(sameXmlTree(parsed.document.tree(), whole.tree())) << where;
            }
    }
    EXPECT_GT(finished, 80) << "most parses of short tokens finish alongside the writer";
}

// A writer that stops short leaves the parse incomplete, and a parse that
// stops early asks the writer to stop.
TEST(XmlFeed, ShortFeedsAndEarlyEnds)
{
    std::string text = "<a>";
    for (int i = 0; i < 500; ++i)
        text += "<b v=\"" + std::to_string(i) + "\"/>";
    text += "</a>";
    std::vector<char> buffer(text.begin(), text.end());
    XmlFeed shortFeed(buffer.data(), buffer.size());
    shortFeed.append(buffer.size() / 2);
    shortFeed.close(false);
    XmlDocument document;
    std::string error;
    bool incomplete = false;
    EXPECT_EQ(parseXmlFeed(shortFeed, 0, document, error, nullptr, nullptr, incomplete, 64), OperationResult::Success);
    EXPECT_TRUE(incomplete);
    EXPECT_TRUE(shortFeed.stopRequested());

    XmlFeed fullFeed(buffer.data(), buffer.size());
    fullFeed.append(buffer.size());
    fullFeed.close(true);
    EXPECT_EQ(parseXmlFeed(fullFeed, 0, document, error, nullptr, nullptr, incomplete, 64), OperationResult::Success);
    EXPECT_FALSE(incomplete);
    EXPECT_FALSE(fullFeed.stopRequested());
    EXPECT_EQ(document.nodeCount(), 502u);
}

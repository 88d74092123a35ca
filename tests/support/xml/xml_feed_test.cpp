#include "common/test_support.h"
#include "common/xml_feed_writer.h"
#include "support/xml/xml_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <span>
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
            for (const std::size_t lookAhead : {1u, 16u, 64u, 1u << 20})
                for (const std::size_t window : {std::size_t{97}, std::size_t{1024}, SIZE_MAX}) {
                    FeedParse parsed;
                    parseWhileWriting(text, step, lookAhead, parsed, window);
                    const std::string where = text.substr(0, 30) + " step " + std::to_string(step) + " look ahead " +
                                              std::to_string(lookAhead) + " window " + std::to_string(window);
                    ASSERT_EQ(parsed.result, OperationResult::Success) << where;
                    if (parsed.incomplete) {
                        EXPECT_LT(std::min(lookAhead, window), text.size())
                            << where << ": a parse that sees the whole text finishes";
                        continue;
                    }
                    ++finished;
                    EXPECT_EQ(parsed.errorText, wholeError) << where;
                    EXPECT_EQ(parsed.errorLine != 0, !wholeError.empty()) << where;
                    EXPECT_TRUE(sameXmlTree(parsed.document.tree(), whole.tree())) << where;
                }
    }
    EXPECT_GT(finished, 240) << "most parses of short tokens finish alongside the writer";
}

// A writer that stops short leaves the parse incomplete, and a parse that
// stops early asks the writer to stop.
TEST(XmlFeed, ShortFeedsAndEarlyEnds)
{
    std::string text = "<a>";
    for (int i = 0; i < 500; ++i)
        text += "<b v=\"" + std::to_string(i) + "\"/>";
    text += "</a>";
    const auto write = [](XmlFeed& feed, std::string_view bytes) {
        const std::span<char> room = feed.room(bytes.size());
        ASSERT_EQ(room.size(), bytes.size());
        std::memcpy(room.data(), bytes.data(), bytes.size());
        feed.append(bytes.size());
    };
    XmlFeed shortFeed(text.size(), text.size(), 64);
    write(shortFeed, std::string_view(text).substr(0, text.size() / 2));
    shortFeed.close(false);
    XmlDocument document;
    std::string error;
    bool incomplete = false;
    EXPECT_EQ(parseXmlFeed(shortFeed, 0, document, error, nullptr, nullptr, incomplete), OperationResult::Success);
    EXPECT_TRUE(incomplete);
    EXPECT_TRUE(shortFeed.stopRequested());

    XmlFeed fullFeed(text.size(), text.size(), 64);
    write(fullFeed, text);
    fullFeed.close(true);
    EXPECT_EQ(parseXmlFeed(fullFeed, 0, document, error, nullptr, nullptr, incomplete), OperationResult::Success);
    EXPECT_FALSE(incomplete);
    EXPECT_FALSE(fullFeed.stopRequested());
    EXPECT_EQ(document.nodeCount(), 502u);
}

// A producer pumped on the parse's thread fills a small window again and
// again: the parse of a large text gives the tree and the error line of the
// whole parse, the window stays as small as it was made, and the bytes are
// found well-formed UTF-8 or not across the pieces they were written in.
TEST(XmlFeed, PumpedWindowKeepsTheTextSmall)
{
    std::string text = "<model>\r\n";
    for (int i = 0; i < 20000; ++i)
        text += "<vertex x=\"" + std::to_string(i) + "\" name=\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"/>" +
                (i % 3 == 0   ? "\r\n"
                 : i % 3 == 1 ? "\n"
                              : "\n\r");
    text += "<broken></model>\n";
    XmlDocument whole;
    std::string wholeError;
    std::uint64_t wholeLine = 0;
    ASSERT_EQ(parseXmlText(text, whole, wholeError, nullptr, &wholeLine), OperationResult::Success);
    ASSERT_GT(wholeLine, 20000u);

    for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        std::string badByte = text;
        badByte[text.size() / 2] = '\xFF';
        const std::string cutShort = text + "\xE2\x82";
        for (const std::string* written : std::initializer_list<const std::string*>{&text, &badByte, &cutShort}) {
            XmlFeed feed(written->size(), 8192, 1024);
            ASSERT_TRUE(feed.allocated());
            EXPECT_EQ(feed.bufferBytes(), 8192u + 1024u);
            std::size_t at = 0;
            feed.pumpWith([&] {
                const std::span<char> room = feed.room(std::min(step, written->size() - at));
                if (room.empty()) {
                    feed.close(at == written->size());
                    return;
                }
                std::memcpy(room.data(), written->data() + at, room.size());
                feed.append(room.size());
                at += room.size();
            });
            XmlDocument document;
            std::string error;
            std::uint64_t line = 0;
            bool incomplete = false;
            ASSERT_EQ(parseXmlFeed(feed, 0, document, error, nullptr, &line, incomplete), OperationResult::Success);
            feed.drain();
            (void)feed.waitFor(UINT64_MAX);
            ASSERT_FALSE(incomplete) << step;
            EXPECT_EQ(feed.wellFormedUtf8(), written == &text) << step;
            if (written != &text)
                continue;
            EXPECT_EQ(error, wholeError) << step;
            EXPECT_EQ(line, wholeLine) << step;
            EXPECT_TRUE(sameXmlTree(document.tree(), whole.tree())) << step;
        }
    }
}

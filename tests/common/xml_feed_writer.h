#pragma once

// A parse of XML text while another thread writes it into a feed a few
// bytes at a time, and a comparison of trees; for the tests and the fuzz
// target that hold such a parse against the parse of the whole text.

#include "support/xml/xml_reader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morvex::testing {

struct FeedParse {
    OperationResult result = OperationResult::Failure;
    std::string errorText;
    std::uint64_t errorLine = 0;
    XmlDocument document;
    bool incomplete = false;
};

inline void parseWhileWriting(std::string_view text, std::size_t step, std::size_t lookAhead, FeedParse& parsed)
{
    std::vector<char> buffer(text.size() + 1);
    XmlFeed feed(buffer.data(), text.size());
    std::thread writer([&] {
        for (std::size_t at = 0; at < text.size() && !feed.stopRequested(); at += step) {
            const std::size_t bytes = std::min(step, text.size() - at);
            std::memcpy(buffer.data() + at, text.data() + at, bytes);
            feed.append(bytes);
        }
        feed.close(!feed.stopRequested());
    });
    parsed.result = parseXmlFeed(feed, 0, parsed.document, parsed.errorText, nullptr, &parsed.errorLine,
                                 parsed.incomplete, lookAhead);
    writer.join();
}

inline bool sameXmlTree(const XmlTree& a, const XmlTree& b)
{
    if (a.nodes.count() != b.nodes.count() || a.arena.count() != b.arena.count())
        return false;
    for (std::uint32_t i = 0; i < a.nodes.count(); ++i) {
        const XmlNodeRecord& x = a.nodes[i];
        const XmlNodeRecord& y = b.nodes[i];
        if (x.next != y.next || x.content != y.content || x.attributes != y.attributes || x.flags != y.flags)
            return false;
    }
    return std::equal(a.arena.begin(), a.arena.end(), b.arena.begin());
}

} // namespace morvex::testing

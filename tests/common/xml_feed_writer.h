#pragma once

// A parse of XML text while another thread writes it into a feed a few
// bytes at a time, and a comparison of trees; for the tests and the fuzz
// target that hold such a parse against the parse of the whole text.

#include "support/xml/xml_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
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

// The writer puts at most `step` bytes at a time into a window of at most
// `window` bytes, which the parse looks ahead into by at most `lookAhead`.
inline void parseWhileWriting(std::string_view text, std::size_t step, std::size_t lookAhead, FeedParse& parsed,
                              std::size_t window = SIZE_MAX)
{
    XmlFeed feed(text.size(), window, lookAhead);
    std::thread writer([&] {
        std::size_t at = 0;
        while (at < text.size()) {
            const std::span<char> room = feed.room(std::min(step, text.size() - at));
            if (room.empty())
                break;
            std::memcpy(room.data(), text.data() + at, room.size());
            feed.append(room.size());
            at += room.size();
        }
        feed.close(at == text.size());
    });
    parsed.result =
        parseXmlFeed(feed, 0, parsed.document, parsed.errorText, nullptr, &parsed.errorLine, parsed.incomplete);
    if (!parsed.incomplete)
        feed.drain();
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

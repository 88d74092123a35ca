#pragma once

// A sink that writes down the elements a parse hands it, and the same from
// a whole tree; for the tests and the fuzz target that hold a parse with a
// sink against the whole parse.

#include "support/xml/xml_reader.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::testing {

// Elements named "c..." or "p..." are collected, "s..." skipped, the rest
// descended; plain "p..." elements are taken straight from their tags.
inline XmlElementUse useFor(std::string_view name)
{
    if (name.starts_with('c') || name.starts_with('p'))
        return XmlElementUse::Collect;
    if (name.starts_with('s'))
        return XmlElementUse::Skip;
    return XmlElementUse::Descend;
}

// Loops with a stack of their own: fuzzed documents nest deeper than the
// call stack goes.
inline void describeSubtree(XmlNodeRef root, std::string& out)
{
    struct Step {
        XmlNodeRef node;
        bool closing;
    };
    std::vector<Step> steps{{root, false}};
    std::vector<XmlNodeRef> children;
    while (!steps.empty()) {
        const Step step = steps.back();
        steps.pop_back();
        const XmlNodeRef node = step.node;
        if (step.closing) {
            out += "</>";
            continue;
        }
        if (node.isText()) {
            out += "\"" + std::string(node.text()) + "\"";
            continue;
        }
        out += "<" + std::string(node.name());
        for (auto a = node.attributes(); !a.atEnd(); a.advance())
            out += " " + std::string(a.current().name) + "=" + std::string(a.current().value);
        out += node.preserveSpace() ? " preserve>" : ">";
        steps.push_back({node, true});
        children.clear();
        for (XmlNodeRef child = node.firstChild(); child; child = child.next())
            children.push_back(child);
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            steps.push_back({*child, false});
    }
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
    // What opened() and closed() would write down for the element.
    bool takePlain(std::string_view name, std::span<const XmlAttribute> attributes, std::size_t depth) override
    {
        if (!name.starts_with('p'))
            return false;
        ++plainTaken;
        std::string list;
        for (const XmlAttribute& a : attributes)
            list += " " + std::string(a.name) + "=" + std::string(a.value);
        events.push_back("open " + std::to_string(depth) + " " + std::string(name) + list);
        events.push_back("close " + std::string(name) + " <" + std::string(name) + list + "></>");
        return true;
    }
    void closed(XmlNodeRef element, XmlElementUse use) override
    {
        note(element);
        std::string subtree;
        if (use == XmlElementUse::Collect && element.name().starts_with('p')) {
            // As takePlain() writes it: the tag alone.
            subtree = "<" + std::string(element.name());
            for (auto a = element.attributes(); !a.atEnd(); a.advance())
                subtree += " " + std::string(a.current().name) + "=" + std::string(a.current().value);
            subtree += "></>";
        } else if (use == XmlElementUse::Collect) {
            describeSubtree(element, subtree);
        }
        events.push_back("close " + std::string(element.name()) + " " + subtree);
    }

    std::vector<std::string> events;
    int plainTaken = 0;
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
inline void replay(XmlNodeRef parent, std::size_t depth, RecordingSink& sink)
{
    struct Frame {
        XmlNodeRef next;
        XmlNodeRef element; // closed once its children are done; none for `parent`
    };
    std::vector<Frame> frames{{parent.firstChild(), XmlNodeRef()}};
    while (!frames.empty()) {
        const XmlNodeRef child = frames.back().next;
        if (!child) {
            const XmlNodeRef element = frames.back().element;
            frames.pop_back();
            if (element)
                sink.closed(element, XmlElementUse::Descend);
            continue;
        }
        frames.back().next = child.next();
        if (!child.isElement())
            continue;
        const XmlElementUse use = sink.opened(child, depth + frames.size() - 1);
        if (use == XmlElementUse::Descend)
            frames.push_back({child.firstChild(), child});
        else if (use != XmlElementUse::Skip)
            sink.closed(child, use);
    }
}

} // namespace morvex::testing

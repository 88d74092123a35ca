#include "support/xml/xml_arena.h"
#include "support/xml/xml_reader.h"

namespace morvex {

using namespace xml_arena;

bool XmlNodeRef::isElement() const
{
    return tree_ != nullptr && (record().flags & ElementFlag) != 0;
}

bool XmlNodeRef::isText() const
{
    return tree_ != nullptr && (record().flags & TextFlag) != 0;
}

std::string_view XmlNodeRef::name() const
{
    if (!isElement())
        return {};
    const char* at = tree_->arena.data() + record().content;
    return readText(at);
}

std::string_view XmlNodeRef::text() const
{
    if (!isText())
        return {};
    const char* at = tree_->arena.data() + record().content;
    return readText(at);
}

bool XmlNodeRef::preserveSpace() const
{
    return tree_ != nullptr && (record().flags & PreserveSpaceFlag) != 0;
}

XmlNodeRef XmlNodeRef::firstChild() const
{
    // Nodes are stored in document order, so a first child follows its parent.
    if (tree_ == nullptr || (record().flags & HasChildrenFlag) == 0)
        return {};
    return XmlNodeRef(tree_, index_ + 1);
}

XmlNodeRef XmlNodeRef::next() const
{
    if (tree_ == nullptr || record().next == NoXmlNode)
        return {};
    return XmlNodeRef(tree_, record().next);
}

void XmlNodeRef::AttributeCursor::load()
{
    current_.name = xml_arena::readText(at_);
    current_.value = xml_arena::readText(at_);
}

void XmlNodeRef::AttributeCursor::advance()
{
    if (remaining_ == 0)
        return;
    if (--remaining_ != 0)
        load();
}

XmlNodeRef::AttributeCursor XmlNodeRef::attributes() const
{
    AttributeCursor cursor;
    if (tree_ == nullptr)
        return cursor;
    cursor.at_ = tree_->arena.data() + record().attributes;
    cursor.remaining_ = readLength(cursor.at_);
    if (cursor.remaining_ != 0)
        cursor.load();
    return cursor;
}

std::size_t XmlNodeRef::attributeCount() const
{
    if (tree_ == nullptr)
        return 0;
    const char* at = tree_->arena.data() + record().attributes;
    return readLength(at);
}

bool XmlNodeRef::findAttribute(std::string_view attributeName, std::string_view& value) const
{
    for (AttributeCursor cursor = attributes(); !cursor.atEnd(); cursor.advance()) {
        if (cursor.current().name == attributeName) {
            value = cursor.current().value;
            return true;
        }
    }
    return false;
}

namespace {

// One past the last node of the subtree at `first` (nodes are in document
// order, so a subtree is one contiguous run).
std::uint32_t subtreeEnd(const XmlTree& tree, std::uint32_t first)
{
    std::uint32_t last = first;
    while ((tree.nodes[last].flags & HasChildrenFlag) != 0) {
        std::uint32_t child = last + 1;
        while (tree.nodes[child].next != NoXmlNode)
            child = tree.nodes[child].next;
        last = child;
    }
    return last + 1;
}

bool copyBytes(XmlTree& target, const char* bytes, std::size_t length, std::uint32_t& offset)
{
    char* at = extendArena(target, length, offset);
    if (at == nullptr)
        return false;
    std::memcpy(at, bytes, length);
    return true;
}

// Copies nodes [first, end) of one tree into an empty other one, giving
// each its own copy of the texts it uses.
bool copySubtree(const XmlTree& source, std::uint32_t first, std::uint32_t end, XmlTree& target)
{
    if (!target.nodes.allocate(end - first) || !target.arena.allocate(1))
        return false;
    target.arena[0] = 0;
    for (std::uint32_t k = first; k < end; ++k) {
        const XmlNodeRecord& from = source.nodes[k];
        XmlNodeRecord to{NoXmlNode, 0, 0, from.flags};
        if (k != first && from.next != NoXmlNode)
            to.next = from.next - first;
        if (from.content != 0) {
            const char* at = source.arena.data() + from.content;
            readText(at);
            const auto length = static_cast<std::size_t>(at - (source.arena.data() + from.content));
            if (!copyBytes(target, source.arena.data() + from.content, length, to.content))
                return false;
        }
        if (from.attributes != 0) {
            const char* at = source.arena.data() + from.attributes;
            if (!copyBytes(target, at, attributeListLength(at), to.attributes))
                return false;
        }
        target.nodes[k - first] = to;
    }
    return true;
}

} // namespace

XmlDocument::XmlDocument()
{
    // A root that cannot get its two first bytes stays without storage;
    // clear() and every parse try again and report the failure.
    (void)resetToEmptyTree(tree_);
}

void XmlDocument::clear()
{
    (void)resetToEmptyTree(tree_);
}

bool XmlDocument::copyFrom(XmlNodeRef source)
{
    XmlTree copy;
    bool copied = false;
    if (!source || source.tree()->nodes.empty()) {
        copied = resetToEmptyTree(copy);
    } else {
        const XmlTree& from = *source.tree();
        const std::uint32_t first = source.index();
        const std::uint32_t end = subtreeEnd(from, first);
        if (first == 0 && end == from.nodes.count())
            copied = copy.nodes.assign(from.nodes) && copy.arena.assign(from.arena);
        else
            copied = copySubtree(from, first, end, copy);
        if (copied)
            copy.nodes[0].next = NoXmlNode;
    }
    if (!copied) {
        clear();
        return false;
    }
    tree_.nodes.swap(copy.nodes);
    tree_.arena.swap(copy.arena);
    return true;
}

std::uint64_t XmlDocument::memoryBytes() const
{
    return std::uint64_t{tree_.nodes.capacity()} * sizeof(XmlNodeRecord) + tree_.arena.capacity();
}

std::string_view getAttribute(XmlNodeRef node, std::string_view name, std::string_view fallback)
{
    std::string_view value;
    return node.findAttribute(name, value) ? value : fallback;
}

XmlNodeRef findChild(XmlNodeRef node, std::string_view name)
{
    for (XmlNodeRef child = node.firstChild(); child; child = child.next())
        if (child.isElement() && child.name() == name)
            return child;
    return {};
}

std::string_view getNodeText(XmlNodeRef node)
{
    if (node.isText())
        return node.text();
    return node.firstChild().text();
}

} // namespace morvex

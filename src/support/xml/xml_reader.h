#pragma once

#include "support/core/growable_array.h"
#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace morvex {

// The program's own small, forgiving XML reader. It builds a tree of nodes
// that callers walk by element name: no namespaces ("m:color" is just a
// name), no validation, no DTD. Malformed input never fails a load; the first
// problem is described in an error text "Ln <line>, Col <column>: <message>"
// and parsing goes on or ends the current element.
//
// Kinds of node: the root (no name, no text) whose children are the
// top-level nodes; elements (a name and attributes; processing instructions
// are named "?xml" and the like, comments "!--", CDATA sections "![CDATA[",
// declarations "!DOCTYPE", each holding one text child); text nodes (text
// only). All texts are UTF-8.
//
// A whole tree lives in three flat blocks: one record of 16 bytes per node,
// and one arena holding every name, text and attribute list with a length
// prefix, so that a model part of hundreds of megabytes costs a small
// multiple of its size and no heap object per node or attribute. Nodes are
// stored in document order: a node's first child directly follows it.

struct XmlNodeRecord {
    std::uint32_t next;       // index of the next sibling, or NoXmlNode
    std::uint32_t content;    // arena offset of the name (element) or the text (text node)
    std::uint32_t attributes; // arena offset of the attribute list (0: none)
    std::uint8_t flags;
};

inline constexpr std::uint32_t NoXmlNode = UINT32_MAX;

struct XmlTree {
    GrowableArray<XmlNodeRecord, ArrayFill::Zero> nodes; // [0] is the root
    GrowableArray<char, ArrayFill::None> arena;          // [0] is the empty text / empty list
};

struct XmlAttribute {
    std::string_view name;
    std::string_view value;
};

// A node inside a tree; valid while that tree is neither parsed again nor
// destroyed. A default-constructed ref stands for "no node".
class XmlNodeRef {
public:
    XmlNodeRef() = default;
    XmlNodeRef(const XmlTree* tree, std::uint32_t index) : tree_(tree), index_(index) {}

    explicit operator bool() const { return tree_ != nullptr; }

    bool isElement() const;
    bool isText() const;
    // Element name as written ("m:colorgroup", "?xml", "!--"); empty for
    // text nodes and the root.
    std::string_view name() const;
    // Character data of a text node; empty for everything else.
    std::string_view text() const;
    // Set by an "xml:space" attribute here or on an ancestor.
    bool preserveSpace() const;

    XmlNodeRef firstChild() const;
    XmlNodeRef next() const;

    // Attributes in the order of their first appearance (a repeated name
    // keeps its later value; the parse reports it as an error).
    class AttributeCursor {
    public:
        bool atEnd() const { return remaining_ == 0; }
        XmlAttribute current() const { return current_; }
        void advance();

    private:
        friend class XmlNodeRef;
        void load();
        const char* at_ = nullptr;
        std::uint32_t remaining_ = 0;
        XmlAttribute current_{};
    };
    AttributeCursor attributes() const;
    std::size_t attributeCount() const;
    // True when present; `value` is empty for an attribute written without one.
    bool findAttribute(std::string_view attributeName, std::string_view& value) const;

    const XmlTree* tree() const { return tree_; }
    std::uint32_t index() const { return index_; }
    friend bool operator==(const XmlNodeRef&, const XmlNodeRef&) = default;

private:
    const XmlNodeRecord& record() const { return tree_->nodes[index_]; }

    const XmlTree* tree_ = nullptr;
    std::uint32_t index_ = 0;
};

// A parsed document: the root of a tree, owning all of it. Parsing into it
// replaces what it held.
class XmlDocument {
public:
    XmlDocument();
    XmlDocument(XmlDocument&&) noexcept = default;
    XmlDocument& operator=(XmlDocument&&) noexcept = default;
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    XmlNodeRef ref() const { return tree_.nodes.empty() ? XmlNodeRef() : XmlNodeRef(&tree_, 0); }
    operator XmlNodeRef() const { return ref(); }
    XmlNodeRef firstChild() const { return ref().firstChild(); }

    // Replaces this tree by a deep copy of another node: its name, text,
    // attributes and whole child list (not its siblings). False when memory
    // ran out; the node is then empty.
    [[nodiscard]] bool copyFrom(XmlNodeRef source);
    // Back to an empty root; gives the memory back.
    void clear();

    std::size_t nodeCount() const { return tree_.nodes.count(); }
    // Bytes held by the tree, for memory checks and tests.
    std::uint64_t memoryBytes() const;

    XmlTree& tree() { return tree_; }
    const XmlTree& tree() const { return tree_; }

private:
    XmlTree tree_;
};

// What a parse that hands out its elements as they come does with one.
enum class XmlElementUse : std::uint8_t {
    Descend, // its child elements are offered one by one; closed() follows its end
    Collect, // its whole subtree is built and handed to closed() at its end
    Skip,    // read past: none of it is kept and nothing more is said of it
};

// Receives a document's elements while it is parsed, so that a caller can
// consume a large document without its whole tree. Once an element offered
// here has ended (and closed() was told, where asked for), its subtree is
// dropped from the tree and its room reused; text between the children of
// the root or of a descended element is never kept. The tree therefore
// holds only the open elements and the subtree being collected, and is a
// lone root when the parse ends. Syntax errors, cancelling and the error
// texts are those of a parse without a sink.
class XmlElementSink {
public:
    virtual ~XmlElementSink() = default;
    // A top-level element (depth 0) or a child of a descended one (depth
    // 1, 2, ...): its name and attributes are read, its children not yet.
    // An element whose start tag ends it ("<a/>", "<?xml ...?>", a comment)
    // is complete already; closed() follows at once.
    virtual XmlElementUse opened(XmlNodeRef element, std::size_t depth) = 0;
    // That element has ended: a descended one after its children, a
    // collected one with its whole subtree. Not called for elements still
    // open when a parse stops early (cancelled, or a feed cut short).
    virtual void closed(XmlNodeRef element, XmlElementUse use) = 0;
    // Instead of opened() and closed(), for a plain element that its start
    // tag ends (`<name a="v" b="w"/>`: attributes in double quotes, each
    // once, without references) where opened() would be asked: true when
    // the sink has taken it as those two would, so that the parse keeps
    // nothing of it; false to have it offered as usual. The texts are
    // valid during the call only.
    virtual bool takePlain(std::string_view, std::span<const XmlAttribute>, std::size_t) { return false; }
};

// Loads a whole file and parses it into root. Failure for a missing file
// ("File does not exist: <path>"), a file too large for the available memory
// ("Not enough memory available to load <path>") or an unreadable one
// ("Cannot open xml file: <path>"), with that text in errorText; cancelled
// when the reporter says stop (checked before and after reading and every
// 512 characters of parsing; the tree then holds what was read). Syntax
// errors leave the result ok and only fill errorText (and errorLine, when
// given, with the line of the error; 0 without one).
//
// Encodings: a mark FE FF or FF FE gives UTF-16 big- or little-endian, EF BB
// BF UTF-8; without a mark the bytes are UTF-8 when well formed, otherwise
// Windows-1252.
OperationResult loadXmlFile(const std::filesystem::path& path, ProgressReporter* progress, XmlDocument& root,
                            std::string& errorText, std::uint64_t* errorLine = nullptr, XmlElementSink* sink = nullptr);

// Parses UTF-8 text already in memory (no reporter). Failure only when
// memory runs out; syntax errors only fill errorText.
OperationResult parseXmlText(std::string_view text, XmlDocument& root, std::string& errorText);

// Same, with a reporter asked every 512 characters, and optionally the
// line of the first syntax error and a sink that takes the elements as they
// come.
OperationResult parseXmlText(std::string_view text, XmlDocument& root, std::string& errorText,
                             ProgressReporter* progress, std::uint64_t* errorLine = nullptr,
                             XmlElementSink* sink = nullptr);

// Text that a producer writes while a parse reads it, passed through a
// window that holds only what the parse may still read: the producer waits
// while the window is full, the parse waits for the text it needs. The
// window is a ring followed by a copy of its first look-ahead bytes, so
// that any stretch of up to the look-ahead reads in one piece wherever it
// starts. The producer runs on a thread of its own, or is pumped on the
// parse's thread: one step whenever the parse waits for text.
class XmlFeed {
public:
    static constexpr std::size_t DefaultWindow = std::size_t{4} << 20;
    static constexpr std::size_t DefaultLookAhead = std::size_t{1} << 20;

    // A text of at most `limit` bytes, through a ring of at most `window`
    // bytes (and no larger than the limit) and a look-ahead of at most the
    // ring. See allocated().
    explicit XmlFeed(std::uint64_t limit, std::size_t window = DefaultWindow, std::size_t lookAhead = DefaultLookAhead);
    XmlFeed(const XmlFeed&) = delete;
    XmlFeed& operator=(const XmlFeed&) = delete;

    // False when memory for the window ran out.
    bool allocated() const { return buffer_ != nullptr; }
    std::uint64_t limit() const { return limit_; }
    std::size_t window() const { return window_; }
    std::size_t lookAhead() const { return lookAhead_; }
    // Bytes held for the text, for memory checks and tests.
    std::size_t bufferBytes() const { return window_ + lookAhead_; }

    // Producer: room for the next bytes, at most `wanted`, waiting while
    // the window holds only bytes the parse may still read. Empty once the
    // text has reached its limit, or a stop was requested.
    std::span<char> room(std::size_t wanted);
    // Producer: `bytes` more, written at the start of the last room.
    void append(std::size_t bytes);
    // Producer: nothing more comes; `complete` is false when the text was
    // cut short (a failure, a stop, or more text than the limit).
    void close(bool complete);
    // Producer: whether the parse asked it to stop, or the reporter given to
    // stopWith was cancelled.
    bool stopRequested() const;
    // A producer that runs before the parse, or pumped on its thread, stops
    // when this reporter is cancelled.
    void stopWith(ProgressReporter* reporter) { stopSource_ = reporter; }
    // A producer on the parse's thread: `step` writes a little more (or
    // closes the feed) each time the parse waits for text.
    void pumpWith(std::function<void()> step) { pump_ = std::move(step); }

    // Whether all bytes written are well-formed UTF-8 (checked as they come;
    // a sequence cut short at the close is not).
    bool wellFormedUtf8() const;
    // Bytes written so far.
    std::uint64_t written() const;

    struct State {
        std::uint64_t available;
        bool closed;
        bool complete;
    };
    // Parse: waits until `bytes` are written or the feed is closed.
    State waitFor(std::uint64_t bytes);
    // Parse: no byte before `position` is read again; its room may be reused.
    void release(std::uint64_t position);
    // Parse: where the byte at `position` lies, when it is written and not
    // released. The bytes after it lie after it up to the end of the copy.
    const char* at(std::uint64_t position) const { return buffer_.get() + position % window_; }
    // Parse: the last address of the copy after the ring.
    const char* bufferEnd() const { return buffer_.get() + window_ + lookAhead_; }
    // Parse: asks the producer to stop.
    void requestStop();
    // Parse: none of the rest is read; the producer may write it all (and
    // still checks it).
    void drain();

private:
    void checkUtf8(const char* bytes, std::size_t count);

    std::unique_ptr<char[]> buffer_;
    std::uint64_t limit_;
    std::size_t window_;
    std::size_t lookAhead_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t written_ = 0;
    std::uint64_t released_ = 0;
    bool closed_ = false;
    bool complete_ = false;
    bool stopRequested_ = false;
    bool draining_ = false;
    ProgressReporter* stopSource_ = nullptr;
    std::function<void()> pump_;
    // A UTF-8 sequence cut at the end of the last bytes written.
    char utf8Carry_[4] = {};
    std::size_t utf8CarryLength_ = 0;
    bool wellFormedUtf8_ = true;
};

// Parses UTF-8 text (from byte `start` of the feed on) while it is being
// written. Sets `incomplete` and stops when the text was cut short or one
// piece of markup reached past what the parse may look ahead (a rare, very
// long tag): the caller then parses the whole text once it has it.
// Otherwise the tree, errorText and errorLine are those of parseXmlText on
// the whole text, and a sink hears what it would hear there. The reporter
// is asked as often as there; a stop also stops the producer. The parse
// wants the feed's look-ahead written beyond its cursor before it reads
// the next token.
OperationResult parseXmlFeed(XmlFeed& feed, std::size_t start, XmlDocument& root, std::string& errorText,
                             ProgressReporter* progress, std::uint64_t* errorLine, bool& incomplete,
                             XmlElementSink* sink = nullptr);

// The value of the attribute with exactly this name, or fallback when there
// is none (an attribute present without a value gives the empty text).
std::string_view getAttribute(XmlNodeRef node, std::string_view name, std::string_view fallback = {});

// The first child element with exactly this name, or no node.
XmlNodeRef findChild(XmlNodeRef node, std::string_view name);

// A text node's own text, else the text of the node's first child, else empty.
std::string_view getNodeText(XmlNodeRef node);

// Decodes file bytes to UTF-8 by the rules of loadXmlFile; `text` receives
// the result, which is `bytes` itself (or the part after a UTF-8 mark) when
// nothing needs converting and `owned` otherwise. False when memory ran out.
bool decodeXmlBytes(std::string_view bytes, std::string& owned, std::string_view& text);

} // namespace morvex

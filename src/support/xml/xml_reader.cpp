#include "support/xml/xml_reader.h"

#include "support/core/memory_guard.h"
#include "support/platform/files.h"
#include "support/text/text.h"
#include "support/xml/xml_arena.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvex {

using namespace xml_arena;

namespace {

constexpr int EndOfInput = -1;
// Tag and attribute names keep at most this many UTF-16 code units.
constexpr std::size_t MaxNameUnits = 259;
// Error texts are cut to the same length.
constexpr std::size_t MaxErrorUnits = 259;
// Characters between two questions to the reporter.
constexpr std::ptrdiff_t CancelCadence = 512;

// An entity name longer than this is taken for a stray ampersand.
constexpr std::size_t MaxEntityChars = 23;
// Names and blank texts up to this length share one copy in the arena.
constexpr std::size_t MaxInternedLength = 64;
constexpr std::size_t InternSlots = 8192;
// Elements with more attributes than this find repeated names by hash.
constexpr std::size_t LinearAttributeSearch = 16;

constexpr const char* AmpersandMessage =
    "Strings starting with an ampersand (&) must end with a semicolon (;). Either replace the '&' with "
    "'&amp;' or add a ';' at the end of the control string.";

enum CharClass : std::uint8_t {
    ContentStop = 1, // ends a run of character data
    NameStop = 2,    // ends a run of plain name or unquoted value characters
    MarkupStop = 4,  // ends a run inside a comment, CDATA section or declaration
    QuotedStop = 8,  // ends a run of a quoted value (the quote itself is checked apart)
};

constexpr std::array<std::uint8_t, 256> makeCharClasses()
{
    std::array<std::uint8_t, 256> classes{};
    for (unsigned char c : {'<', '&', '\r', '\n'})
        classes[c] |= ContentStop;
    for (unsigned char c : {'\t', '\n', '\r', ' ', '/', '=', '>', '"', '\'', '&'})
        classes[c] |= NameStop;
    for (unsigned char c : {'>', '\r', '\n', '[', ']'})
        classes[c] |= MarkupStop;
    for (unsigned char c : {'&', '\r', '\n'})
        classes[c] |= QuotedStop;
    return classes;
}

constexpr std::array<std::uint8_t, 256> charClasses = makeCharClasses();

inline bool hasClass(char c, CharClass what)
{
    return (charClasses[static_cast<unsigned char>(c)] & what) != 0;
}

constexpr std::array<bool, 256> makePlainNameBytes()
{
    std::array<bool, 256> plain{};
    for (int c = 'a'; c <= 'z'; ++c)
        plain[static_cast<std::size_t>(c)] = plain[static_cast<std::size_t>(c - 'a' + 'A')] = true;
    for (int c = '0'; c <= '9'; ++c)
        plain[static_cast<std::size_t>(c)] = true;
    for (unsigned char c : {':', '_', '-', '.'})
        plain[c] = true;
    return plain;
}

constexpr std::array<bool, 256> plainNameBytes = makePlainNameBytes();

// Bytes of names that the plain reading of a start tag takes.
inline bool isPlainNameByte(char c)
{
    return plainNameBytes[static_cast<unsigned char>(c)];
}

// The characters that end a name or an unquoted value and are handed back.
inline bool isTerminator(int c)
{
    return c == '\t' || c == '\n' || c == ' ' || c == '/' || c == '=' || c == '>';
}

// Quotes in names and values: a quote character opens quoted mode, in which
// the terminators are ordinary characters, and the same quote closes it; the
// quotes themselves are dropped.
struct QuoteMode {
    enum Step { Keep, Drop, End };
    bool quoted = false;
    char quote = 0;

    Step classify(int c)
    {
        if (c == EndOfInput)
            return End;
        if (quoted) {
            if (c != quote)
                return Keep;
            quoted = false;
            return Drop;
        }
        if (isTerminator(c))
            return End;
        if (c == '"' || c == '\'') {
            quoted = true;
            quote = static_cast<char>(c);
            return Drop;
        }
        return Keep;
    }
};

void appendCodePoint(std::string& out, std::uint32_t code)
{
    if (code != 0) // a reference to 0 adds nothing
        appendUtf8(out, code);
}

// The code of a numeric reference ("#65", "#x41"); values beyond Unicode
// stop growing so that long digit runs cannot overflow.
std::uint32_t numericReference(std::string_view digits)
{
    constexpr std::uint32_t Beyond = 0x110000;
    std::uint32_t code = 0;
    if (!digits.empty() && digits.front() == 'x') {
        // Characters that are not hexadecimal digits are passed over.
        for (char c : digits.substr(1)) {
            const int value = hexDigitValue(c);
            if (value >= 0)
                code = std::min<std::uint32_t>(code * 16 + static_cast<std::uint32_t>(value), Beyond);
        }
        return code;
    }
    // Decimal: the leading digits only (none gives 0).
    for (char c : digits) {
        if (c < '0' || c > '9')
            break;
        code = std::min<std::uint32_t>(code * 10 + static_cast<std::uint32_t>(c - '0'), Beyond);
    }
    return code;
}

// Line and column (both from 1) in a text read piece by piece: CR, LF,
// CR LF and LF CR each end one line; columns count UTF-16 code units.
struct TextPosition {
    std::uint64_t line = 1;
    std::uint64_t column = 1;
    char pair = 0; // the second half of a line end that the last piece ended in the middle of

    void advance(const char* from, const char* to)
    {
        if (from == to)
            return;
        if (pair != 0 && *from == pair)
            ++from;
        pair = 0;
        const auto length = static_cast<std::size_t>(to - from);
        if (std::memchr(from, '\r', length) == nullptr) {
            // Only LF ends lines here: count them in one sweep.
            const auto lines = static_cast<std::uint64_t>(std::count(from, to, '\n'));
            if (lines == 0) {
                countColumns(from, to);
                return;
            }
            line += lines;
            const char* last = static_cast<const char*>(memrchr(from, '\n', length));
            column = 1;
            countColumns(last + 1, to);
            if (last + 1 == to)
                pair = '\r';
            return;
        }
        for (const char* at = from; at < to; ++at) {
            const auto c = static_cast<unsigned char>(*at);
            if (c == '\r' || c == '\n') {
                const char second = c == '\r' ? '\n' : '\r';
                if (at + 1 == to)
                    pair = second;
                else if (at[1] == second)
                    ++at;
                ++line;
                column = 1;
            } else if ((c & 0xC0) != 0x80) {
                column += c >= 0xF0 ? 2 : 1;
            }
        }
    }

    void countColumns(const char* from, const char* to)
    {
        for (; from < to; ++from) {
            const auto c = static_cast<unsigned char>(*from);
            if ((c & 0xC0) != 0x80)
                column += c >= 0xF0 ? 2 : 1;
        }
    }
};

class XmlReader {
public:
    XmlReader(std::string_view text, XmlTree& tree, std::string& errorText, ProgressReporter* progress)
        : text_(text), p_(text.data()), end_(text.data() + text.size()), lastCheck_(text.data()), tree_(tree),
          errorText_(errorText), progress_(progress)
    {
    }

    // Reads from a feed still being written, from byte `start` on.
    XmlReader(XmlFeed& feed, std::size_t start, XmlTree& tree, std::string& errorText, ProgressReporter* progress)
        : XmlReader(std::string_view(), tree, errorText, progress)
    {
        feed_ = &feed;
        window_ = feed.window();
        lookAhead_ = static_cast<std::ptrdiff_t>(feed.lookAhead());
        ringStart_ = feed.at(0);
        base_ = start - start % window_;
        p_ = end_ = lastCheck_ = ringStart_ + start % window_;
        counted_ = released_ = start;
        final_ = false;
    }

    // Hands the elements to a sink as they come (see XmlElementSink).
    void setSink(XmlElementSink* sink) { sink_ = sink; }

    OperationResult parse();
    // Set when a feed ended early or a token reached past its written end.
    bool incomplete() const { return incomplete_; }
    // The line of the first syntax error, 0 when there was none.
    std::uint64_t errorLine() const { return errorLine_; }

private:
    // Where the tree ended before an element that is dropped once it has
    // ended: its node, and the arena after its shared name.
    struct DropMark {
        std::uint32_t node;
        std::uint32_t arena;
        std::uint32_t interned; // entries in internLog_
    };

    // How the children of an element are kept when a sink takes the
    // elements: built into the tree, offered to the sink (and dropped once
    // they end), or dropped unseen.
    enum class Children : std::uint8_t { Build, Offer, Drop };

    // Element being filled: its node, its last child so far, and whether
    // its text keeps control characters at the ends; with a sink, what
    // becomes of its children, how the sink took it and where to drop it.
    struct Frame {
        std::uint32_t node;
        std::uint32_t lastChild;
        bool preserveSpace;
        Children children = Children::Build;
        XmlElementUse use = XmlElementUse::Skip;
        DropMark mark{};
    };

    struct PendingAttribute {
        std::size_t nameAt, nameLength, valueAt, valueLength;
    };

    struct InternSlot {
        std::uint32_t offset; // 0: free
        std::uint32_t hash;
    };

    void parseContent();
    void readTag();
    void readStartTag(const std::string& name, int terminator);
    bool readPlainStartTag();
    void finishStartTag(const std::string& name, int terminator, bool selfClosing, bool preserveSpace);
    void readMarkupDeclaration(const std::string& name, bool preserveSpace);
    int readName(std::string& out);
    int readValue(std::string& out);
    void readEntity(std::string& out);
    int readChar();
    bool pullFeed();
    std::uint64_t feedPosition(const char* at) const { return base_ + static_cast<std::uint64_t>(at - ringStart_); }
    void countLinesUpTo(std::uint64_t position);

    std::uint32_t addElement(std::uint8_t flags, std::uint32_t name, std::uint32_t attributes);
    std::uint32_t appendChild(std::uint32_t parent, std::uint32_t& lastChild, const XmlNodeRecord& record);
    void flushPendingText(Frame& frame);
    void closeFrame();
    void addAttribute(std::string_view name, std::string_view value);
    std::uint32_t storeAttributes();
    std::uint32_t storeText(std::string_view text, bool intern);
    DropMark markAfterName(std::uint32_t arenaBefore, std::size_t internedBefore) const;
    static Children childrenFor(Children parent, XmlElementUse use);
    XmlElementUse offer(std::uint32_t node);
    void endChild(std::uint32_t node, XmlElementUse use, const DropMark& mark);
    void dropBack(const DropMark& mark);
    std::string_view nameOf(std::uint32_t node) const;
    void reportError(std::string_view message);
    void reportRepeatedAttribute(std::string_view name);
    void fail() { failed_ = true; }

    std::string_view text_;
    const char* p_;
    const char* end_;
    const char* lastCheck_;
    XmlTree& tree_;
    std::string& errorText_;
    ProgressReporter* progress_;
    bool errorReported_ = false;
    std::uint64_t errorLine_ = 0;
    bool failed_ = false;
    bool cancelled_ = false;
    // A feed being written: end_ is where its written part ends, final_
    // whether that is the end of the text.
    // The ring holds the text from base_ on at ringStart_, a window_ of it
    // at a time; lines are counted up to counted_ (at countedAt_) before
    // the ring may reuse their room.
    XmlFeed* feed_ = nullptr;
    std::size_t window_ = 0;
    std::ptrdiff_t lookAhead_ = 0; // bytes wanted beyond the cursor before a token
    bool final_ = true;
    const char* ringStart_ = nullptr;
    std::uint64_t base_ = 0;
    std::uint64_t released_ = 0;
    std::uint64_t counted_ = 0;
    TextPosition countedAt_;
    bool incomplete_ = false;

    std::vector<Frame> frames_;
    std::string pending_; // character data of the innermost open element
    std::string tagName_;
    std::string closeName_;
    std::string attributeName_;
    std::string attributeValue_;
    std::string entity_;
    std::string markup_;
    std::string attributeBytes_;
    std::vector<PendingAttribute> attributes_;
    std::unordered_map<std::string, std::size_t> attributeIndex_;
    std::vector<InternSlot> internSlots_;
    std::size_t internUsed_ = 0;
    // Slots taken, in order, so that a dropped stretch of the arena takes
    // its shared texts out of the table again.
    std::vector<std::uint32_t> internLog_;
    XmlElementSink* sink_ = nullptr;
    bool offering_ = false; // false once a parse stops early
    std::array<XmlAttribute, 16> plainAttributes_{};
};

OperationResult XmlReader::parse()
{
    try {
        if (!resetToEmptyTree(tree_))
            return OperationResult::Failure;
        internSlots_.assign(InternSlots, InternSlot{0, 0});
        internLog_.clear();
        offering_ = sink_ != nullptr;
        frames_.push_back(Frame{0, NoXmlNode, false, offering_ ? Children::Offer : Children::Build});
        parseContent();
        // A stop request leaves the open elements as far as they were read,
        // unseen by a sink.
        offering_ = false;
        while (!frames_.empty() && !failed_)
            closeFrame();
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
    if (failed_) {
        (void)resetToEmptyTree(tree_);
        return OperationResult::Failure;
    }
    return cancelled_ ? OperationResult::Cancelled : OperationResult::Success;
}

// The content rules of every open element, with the open elements on an
// explicit stack so that no nesting depth can exhaust the call stack.
void XmlReader::parseContent()
{
    while (!frames_.empty() && !failed_) {
        if (progress_ != nullptr && p_ - lastCheck_ >= CancelCadence) {
            lastCheck_ = p_;
            if (progress_->isCancelled()) {
                cancelled_ = true;
                return;
            }
        }
        if (feed_ != nullptr && !final_) {
            // Back to the ring's start once past its end: the copy after the
            // ring holds what the ring's start holds.
            if (p_ - ringStart_ >= static_cast<std::ptrdiff_t>(window_)) {
                p_ -= window_;
                end_ -= window_;
                lastCheck_ -= window_;
                base_ += window_;
            }
            if ((end_ - p_ < lookAhead_ || feedPosition(p_) - released_ >= window_ / 4) && !pullFeed())
                return;
        }
        const char* limit = end_;
        if (progress_ != nullptr && end_ - lastCheck_ > CancelCadence)
            limit = lastCheck_ + CancelCadence;
        const char* start = p_;
        while (p_ < limit && !hasClass(*p_, ContentStop))
            ++p_;
        pending_.append(start, static_cast<std::size_t>(p_ - start));

        if (p_ == end_ && !final_)
            continue; // the text goes on in what the feed writes next
        if (p_ == end_) {
            const Frame& frame = frames_.back();
            if (frame.node != 0) {
                const std::string name(nameOf(frame.node));
                reportError("(EOF) Element <" + name + "> should be terminated with </" + name +
                            ">. Check you have terminated your element properly.");
            }
            closeFrame();
            continue;
        }
        if (p_ == limit && !hasClass(*p_, ContentStop))
            continue; // time to ask the reporter again
        switch (*p_) {
        case '<':
            ++p_;
            readTag();
            break;
        case '&':
            ++p_;
            readEntity(pending_);
            break;
        default:
            readChar();
            pending_.push_back('\n');
            break;
        }
        // A token that ran into the written end may have read it as the end
        // of the text.
        if (p_ == end_ && !final_) {
            incomplete_ = true;
            return;
        }
    }
}

// Gives the text before the cursor back to the feed and waits until it has
// lookAhead_ bytes beyond the cursor or is closed; false (and the parse
// incomplete) when it was closed short.
bool XmlReader::pullFeed()
{
    const std::uint64_t at = feedPosition(p_);
    countLinesUpTo(at);
    feed_->release(at);
    released_ = at;
    // When the rest of the text fits the look-ahead, its end is waited for
    // too, so that a token that ends the text is known to.
    const std::uint64_t wanted = at + static_cast<std::uint64_t>(lookAhead_);
    const XmlFeed::State state = feed_->waitFor(wanted >= feed_->limit() ? UINT64_MAX : wanted);
    const auto inRing = static_cast<std::uint64_t>(feed_->bufferEnd() - p_);
    const std::uint64_t visible = std::min(state.available - at, inRing);
    end_ = p_ + visible;
    final_ = state.closed && at + visible == state.available;
    if (state.closed && !state.complete) {
        incomplete_ = true;
        return false;
    }
    return true;
}

// After "<": a closing tag, a misplaced "<", or a child element.
void XmlReader::readTag()
{
    if (readPlainStartTag())
        return;
    const int terminator = readName(tagName_);
    if (tagName_.empty()) {
        if (terminator != '/') {
            reportError("Misplaced < without name. Use &lt; instead of < if appropriate.");
            closeFrame();
            return;
        }
        const int closeTerminator = readName(closeName_);
        const Frame& frame = frames_.back();
        if (frame.node == 0) {
            reportError("Misplaced </" + closeName_ + "> which does not match a <" + closeName_ + ">.");
        } else if (const std::string_view name = nameOf(frame.node); name != closeName_) {
            const std::string own(name);
            reportError("Element <" + own + "> should be terminated with </" + own + ">, was with " + closeName_ +
                        ". Check you have terminated your element properly.");
        }
        if (closeTerminator != '>') {
            int c = 0;
            do
                c = readChar();
            while (c != '>' && c != EndOfInput);
        }
        // Even a mismatched closing tag closes the current element; at the
        // top level it ends the document.
        closeFrame();
        return;
    }
    flushPendingText(frames_.back());
    readStartTag(tagName_, terminator);
}

// The start tag as writers of large files write it, `<name a="v" b="w"/>`
// or `...>`: plain names, values in double quotes without references, line
// ends or a final "?", single spaces or more before each attribute, at
// most a few attributes, each once. Read in one tight pass, with the result
// of the general reading; false, with nothing read, for anything else and
// at the written end of a feed.
bool XmlReader::readPlainStartTag()
{
    constexpr std::size_t MaxPlainName = 64;
    constexpr std::size_t MaxPlainAttributes = 16;
    const auto nameLength = [&](const char* at) {
        const char* start = at;
        while (at < end_ && isPlainNameByte(*at))
            ++at;
        const auto length = static_cast<std::size_t>(at - start);
        return length <= MaxPlainName ? length : 0;
    };
    const char* at = p_;
    const std::size_t tagLength = nameLength(at);
    if (tagLength == 0)
        return false;
    const std::string_view tag(at, tagLength);
    at += tagLength;
    // Left uninitialised: clearing them would cost more than the tag.
    struct Piece {
        const char* at;
        std::size_t length;
        std::string_view view() const { return std::string_view(at, length); }
    };
    Piece names[MaxPlainAttributes];
    Piece values[MaxPlainAttributes];
    std::size_t count = 0;
    bool afterSpace = false;
    bool selfClosing = false;
    for (;;) {
        if (at == end_)
            return false;
        if (*at == ' ') {
            ++at;
            afterSpace = true;
            continue;
        }
        if (*at == '>' || *at == '/') {
            selfClosing = *at == '/';
            if (selfClosing && (end_ - at < 2 || at[1] != '>'))
                return false;
            at += selfClosing ? 2 : 1;
            break;
        }
        const std::size_t length = afterSpace && count < MaxPlainAttributes ? nameLength(at) : 0;
        if (length == 0 || end_ - at < static_cast<std::ptrdiff_t>(length + 2) || at[length] != '=' ||
            at[length + 1] != '"')
            return false;
        const std::string_view name(at, length);
        if (length == 9 && equalsIgnoreCase(name, "xml:space"))
            return false;
        for (std::size_t i = 0; i < count; ++i)
            if (names[i].view() == name)
                return false;
        at += length + 2;
        const char* value = at;
        while (at < end_ && *at != '"' && !hasClass(*at, QuotedStop))
            ++at;
        if (at == end_ || *at != '"' || (at > value && at[-1] == '?'))
            return false;
        names[count] = Piece{name.data(), length};
        values[count++] = Piece{value, static_cast<std::size_t>(at - value)};
        ++at;
        afterSpace = false;
    }

    flushPendingText(frames_.back());
    if (selfClosing && offering_ && frames_.back().children == Children::Offer) {
        static_assert(MaxPlainAttributes <= std::tuple_size_v<decltype(plainAttributes_)>);
        for (std::size_t i = 0; i < count; ++i)
            plainAttributes_[i] = XmlAttribute{names[i].view(), values[i].view()};
        if (sink_->takePlain(tag, std::span<const XmlAttribute>(plainAttributes_.data(), count), frames_.size() - 1)) {
            p_ = at;
            return true;
        }
    }
    tagName_.assign(tag);
    attributes_.clear();
    attributeBytes_.clear();
    attributeIndex_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t nameAt = attributeBytes_.size();
        attributeBytes_.append(names[i].at, names[i].length);
        attributeBytes_.append(values[i].at, values[i].length);
        attributes_.push_back(PendingAttribute{nameAt, names[i].length, nameAt + names[i].length, values[i].length});
    }
    p_ = at;
    finishStartTag(tagName_, selfClosing ? '/' : '>', selfClosing, frames_.back().preserveSpace);
    return true;
}

void XmlReader::readStartTag(const std::string& name, int terminator)
{
    const bool inherited = frames_.back().preserveSpace;
    if (name.front() == '!') {
        readMarkupDeclaration(name, inherited);
        return;
    }

    attributes_.clear();
    attributeBytes_.clear();
    attributeIndex_.clear();
    bool selfClosing = terminator == '/';
    bool preserveSpace = inherited;
    while (terminator != '>' && terminator != EndOfInput) {
        terminator = readName(attributeName_);
        bool hasValue = false;
        if (terminator == ' ' && p_ < end_ && *p_ == '=') {
            ++p_;
            terminator = '=';
        }
        if (terminator == '=') {
            terminator = readValue(attributeValue_);
            hasValue = true;
        } else {
            attributeValue_.clear();
        }
        if (terminator == '/')
            selfClosing = true;
        if (attributeName_.empty())
            continue;
        if (equalsIgnoreCase(attributeName_, "xml:space")) {
            preserveSpace = true;
            continue;
        }
        // The value before "?>" of a processing instruction.
        if (hasValue && terminator == '>' && !attributeValue_.empty() && attributeValue_.back() == '?')
            attributeValue_.pop_back();
        addAttribute(attributeName_, attributeValue_);
    }
    finishStartTag(name, terminator, selfClosing, preserveSpace);
}

// The element of a start tag read, its attributes pending: stored, offered
// to a sink, and opened unless the tag ended it.
void XmlReader::finishStartTag(const std::string& name, int terminator, bool selfClosing, bool preserveSpace)
{
    const std::uint32_t arenaBefore = tree_.arena.count();
    const std::size_t internedBefore = internLog_.size();
    const std::uint32_t nameOffset = storeText(name, true);
    const DropMark mark = markAfterName(arenaBefore, internedBefore);
    const std::uint32_t attributes = storeAttributes();
    if (failed_)
        return;
    const std::uint8_t flags = ElementFlag | (preserveSpace ? PreserveSpaceFlag : 0);
    const std::uint32_t node = addElement(flags, nameOffset, attributes);
    if (failed_)
        return;
    if (terminator == EndOfInput)
        reportError("Tag <" + name + "> does not have a closing '>'");
    const Children parentChildren = frames_.back().children;
    const XmlElementUse use = offer(node);
    if (terminator == EndOfInput || selfClosing || name.front() == '?') {
        endChild(node, use, mark);
        return;
    }
    frames_.push_back(Frame{node, NoXmlNode, preserveSpace, childrenFor(parentChildren, use), use, mark});
}

// "<!--", "<![CDATA[", "<!DOCTYPE" and other "<!" constructs: everything up
// to their end becomes the node's one text child, untrimmed.
void XmlReader::readMarkupDeclaration(const std::string& name, bool preserveSpace)
{
    const bool comment = name == "!--";
    const bool cdata = name == "![CDATA[";
    const bool doctype = name == "!DOCTYPE";
    markup_.clear();
    bool inBrackets = false;
    bool ended = false;
    while (!ended) {
        const char* start = p_;
        while (p_ < end_ && !hasClass(*p_, MarkupStop))
            ++p_;
        markup_.append(start, static_cast<std::size_t>(p_ - start));
        const int c = readChar();
        if (c == EndOfInput) {
            reportError("(EOF) Element <" + name + "> should be terminated with </" + name +
                        ">. Check you have terminated your element properly.");
            break;
        }
        markup_.push_back(static_cast<char>(c));
        const std::string_view text = markup_;
        if (comment) {
            ended = text.ends_with("-->");
        } else if (cdata) {
            ended = text.ends_with("]]>");
        } else if (doctype) {
            if (c == '[')
                inBrackets = true;
            else if (c == ']')
                inBrackets = false;
            else if (c == '>' && !inBrackets)
                ended = true;
        }
        if (ended)
            markup_.resize(markup_.size() - (doctype ? 1 : 3));
    }

    const std::uint8_t spaceFlag = preserveSpace ? PreserveSpaceFlag : 0;
    const std::uint32_t arenaBefore = tree_.arena.count();
    const std::size_t internedBefore = internLog_.size();
    const std::uint32_t nameOffset = storeText(name, true);
    const DropMark mark = markAfterName(arenaBefore, internedBefore);
    if (failed_)
        return;
    const std::uint32_t node = addElement(ElementFlag | spaceFlag, nameOffset, 0);
    const std::uint32_t textOffset = storeText(markup_, false);
    if (failed_)
        return;
    std::uint32_t lastChild = NoXmlNode;
    (void)appendChild(node, lastChild,
                      XmlNodeRecord{NoXmlNode, textOffset, 0, static_cast<std::uint8_t>(TextFlag | spaceFlag)});
    if (!failed_)
        endChild(node, offer(node), mark);
}

// A tag or attribute name, up to a tab, line end, space, "/", "=", ">" or
// the end of input, which is handed back. Quotes switch quoted mode, in
// which those characters belong to the name; references are decoded.
int XmlReader::readName(std::string& out)
{
    out.clear();
    std::size_t units = 0;
    bool full = false;
    const auto keep = [&](char c) {
        if (full)
            return;
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t need = byte >= 0xF0 ? 2 : 1;
            if (units + need > MaxNameUnits) {
                full = true; // the rest is read but not kept
                return;
            }
            units += need;
        }
        out.push_back(c);
    };
    // "<!--", "<!DOCTYPE" and "<![CDATA[" end their name early.
    const bool markup = p_ < end_ && *p_ == '!';
    QuoteMode mode;
    for (;;) {
        if (!mode.quoted && !markup) {
            const char* start = p_;
            while (p_ < end_ && !hasClass(*p_, NameStop))
                ++p_;
            const auto length = static_cast<std::size_t>(p_ - start);
            if (!full && units + 2 * length <= MaxNameUnits) {
                // No byte adds more than two units: the whole run fits.
                out.append(start, length);
                for (const char* at = start; at < p_; ++at)
                    units += ((*at & 0xC0) != 0x80) + (static_cast<unsigned char>(*at) >= 0xF0);
            } else {
                for (const char* at = start; at < p_; ++at)
                    keep(*at);
            }
        }
        const int c = readChar();
        const QuoteMode::Step step = mode.classify(c);
        if (step == QuoteMode::End)
            return c;
        if (step == QuoteMode::Drop)
            continue;
        if (c == '&') {
            entity_.clear();
            readEntity(entity_);
            for (char e : entity_)
                keep(e);
        } else {
            keep(static_cast<char>(c));
        }
        if (markup &&
            ((out.size() == 3 && out == "!--") || (out.size() == 8 && (out == "!DOCTYPE" || out == "![CDATA["))))
            return c;
    }
}

// An attribute value: one space after "=" is skipped; quotes switch quoted
// mode and are dropped, and reading goes on unquoted after a closing quote.
int XmlReader::readValue(std::string& out)
{
    out.clear();
    if (p_ < end_ && *p_ == ' ')
        ++p_;
    QuoteMode mode;
    for (;;) {
        const char* start = p_;
        if (mode.quoted) {
            while (p_ < end_ && *p_ != mode.quote && !hasClass(*p_, QuotedStop))
                ++p_;
        } else {
            while (p_ < end_ && !hasClass(*p_, NameStop))
                ++p_;
        }
        out.append(start, static_cast<std::size_t>(p_ - start));
        const int c = readChar();
        const QuoteMode::Step step = mode.classify(c);
        if (step == QuoteMode::End)
            return c;
        if (step == QuoteMode::Drop)
            continue;
        if (c == '&')
            readEntity(out);
        else
            out.push_back(static_cast<char>(c));
    }
}

// After "&": the reference up to ";" appended to out as UTF-8.
void XmlReader::readEntity(std::string& out)
{
    char name[MaxEntityChars * 4 + 4];
    std::size_t length = 0;
    std::size_t chars = 0;
    for (;;) {
        const int c = readChar();
        if (c == ';')
            break;
        const bool startsChar = (c & 0xC0) != 0x80;
        // Bytes that start no character count against the buffer too: a
        // run of them is no name, and must not write past its end.
        if (c == EndOfInput || c == '\t' || c == '\n' || c == ' ' || (startsChar && chars == MaxEntityChars) ||
            length == sizeof name) {
            reportError(AmpersandMessage);
            return;
        }
        name[length++] = static_cast<char>(c);
        if (startsChar)
            ++chars;
    }
    const std::string_view reference(name, length);
    if (reference == "amp")
        out.push_back('&');
    else if (reference == "lt")
        out.push_back('<');
    else if (reference == "gt")
        out.push_back('>');
    else if (reference == "quot")
        out.push_back('"');
    else if (reference == "apos")
        out.push_back('\'');
    else if (reference.starts_with('#'))
        appendCodePoint(out, numericReference(reference.substr(1)));
    else
        out.push_back('&'); // unknown names are dropped
}

// One character; CR, LF, CR LF and LF CR each read as one LF.
int XmlReader::readChar()
{
    if (p_ == end_)
        return EndOfInput;
    const auto c = static_cast<unsigned char>(*p_++);
    if (c == '\r' || c == '\n') {
        const char pair = c == '\r' ? '\n' : '\r';
        if (p_ != end_ && *p_ == pair)
            ++p_;
        return '\n';
    }
    return c;
}

// Appends a node after `lastChild` (NoXmlNode: as the first child of
// `parent`); NoXmlNode, with the parse failed, when memory ran out.
std::uint32_t XmlReader::appendChild(std::uint32_t parent, std::uint32_t& lastChild, const XmlNodeRecord& record)
{
    const std::uint32_t index = tree_.nodes.count();
    if (!tree_.nodes.append(record)) {
        fail();
        return NoXmlNode;
    }
    if (lastChild == NoXmlNode)
        tree_.nodes[parent].flags |= HasChildrenFlag; // the child is parent + 1
    else
        tree_.nodes[lastChild].next = index;
    lastChild = index;
    return index;
}

// A new last child element of the innermost open element.
std::uint32_t XmlReader::addElement(std::uint8_t flags, std::uint32_t name, std::uint32_t attributes)
{
    // An element's first child takes the number after it, which must not be NoXmlNode.
    if (tree_.nodes.count() >= NoXmlNode - 1) {
        fail();
        return NoXmlNode;
    }
    Frame& frame = frames_.back();
    return appendChild(frame.node, frame.lastChild, XmlNodeRecord{NoXmlNode, name, attributes, flags});
}

// Pending character data becomes a text node; without preserved space,
// control characters (below 32) are cut from both ends, spaces stay. Text
// among elements that a sink takes one by one is not kept.
void XmlReader::flushPendingText(Frame& frame)
{
    if (frame.children != Children::Build) {
        pending_.clear();
        return;
    }
    std::string_view text = pending_;
    if (!frame.preserveSpace) {
        while (!text.empty() && static_cast<unsigned char>(text.front()) < 32)
            text.remove_prefix(1);
        while (!text.empty() && static_cast<unsigned char>(text.back()) < 32)
            text.remove_suffix(1);
    }
    if (!text.empty()) {
        // Indentation repeats endlessly in pretty-printed files: share it.
        const bool blank = text.find_first_not_of(' ') == std::string_view::npos;
        const std::uint32_t offset = storeText(text, blank);
        const std::uint8_t flags = TextFlag | (frame.preserveSpace ? PreserveSpaceFlag : 0);
        if (!failed_)
            (void)appendChild(frame.node, frame.lastChild, XmlNodeRecord{NoXmlNode, offset, 0, flags});
    }
    pending_.clear();
}

void XmlReader::closeFrame()
{
    flushPendingText(frames_.back());
    const Frame closing = frames_.back();
    frames_.pop_back();
    if (!frames_.empty())
        endChild(closing.node, closing.use, closing.mark);
}

// The drop mark of an element whose name was just stored from arenaBefore
// on: a name newly shared stays (later elements of that name use it), any
// other name goes with the element.
XmlReader::DropMark XmlReader::markAfterName(std::uint32_t arenaBefore, std::size_t internedBefore) const
{
    const bool shared = internLog_.size() != internedBefore;
    return DropMark{tree_.nodes.count(), shared ? tree_.arena.count() : arenaBefore,
                    static_cast<std::uint32_t>(internLog_.size())};
}

// How a child element of the innermost open element is taken: offered to
// the sink when that element's children are, else as its parent's are.
XmlElementUse XmlReader::offer(std::uint32_t node)
{
    switch (frames_.back().children) {
    case Children::Offer:
        if (offering_)
            return sink_->opened(XmlNodeRef(&tree_, node), frames_.size() - 1);
        return XmlElementUse::Skip;
    case Children::Drop: return XmlElementUse::Skip;
    case Children::Build: break;
    }
    return XmlElementUse::Collect;
}

// What becomes of the children of an element taken this way.
XmlReader::Children XmlReader::childrenFor(Children parent, XmlElementUse use)
{
    if (parent != Children::Offer)
        return parent;
    return use == XmlElementUse::Descend   ? Children::Offer
           : use == XmlElementUse::Collect ? Children::Build
                                           : Children::Drop;
}

// A child element of the innermost open element has ended: the sink hears
// of it when it asked to, and an element taken by a sink is dropped.
void XmlReader::endChild(std::uint32_t node, XmlElementUse use, const DropMark& mark)
{
    Frame& parent = frames_.back();
    if (parent.children == Children::Build)
        return;
    if (parent.children == Children::Offer && offering_ && use != XmlElementUse::Skip)
        sink_->closed(XmlNodeRef(&tree_, node), use);
    dropBack(mark);
    parent.lastChild = NoXmlNode;
    tree_.nodes[parent.node].flags &= static_cast<std::uint8_t>(~HasChildrenFlag);
}

// Gives the nodes and arena from the mark on back, and takes the texts
// shared from there out of the table (newest first, so that no probe chain
// of an older entry loses a link).
void XmlReader::dropBack(const DropMark& mark)
{
    while (internLog_.size() > mark.interned) {
        internSlots_[internLog_.back()] = InternSlot{0, 0};
        internLog_.pop_back();
        --internUsed_;
    }
    // Shrinking never fails.
    (void)tree_.nodes.resize(mark.node);
    (void)tree_.arena.resize(mark.arena);
}

void XmlReader::addAttribute(std::string_view name, std::string_view value)
{
    const std::size_t nameAt = attributeBytes_.size();
    attributeBytes_.append(name);
    const std::size_t valueAt = attributeBytes_.size();
    attributeBytes_.append(value);
    const PendingAttribute entry{nameAt, name.size(), valueAt, value.size()};

    // A repeated name is a well-formedness error; it is reported and keeps
    // its first place with the later value.
    if (attributes_.size() < LinearAttributeSearch) {
        for (PendingAttribute& earlier : attributes_) {
            if (std::string_view(attributeBytes_).substr(earlier.nameAt, earlier.nameLength) == name) {
                reportRepeatedAttribute(name);
                earlier.valueAt = valueAt;
                earlier.valueLength = value.size();
                return;
            }
        }
    } else {
        if (attributeIndex_.empty()) {
            for (std::size_t i = 0; i < attributes_.size(); ++i)
                attributeIndex_.emplace(attributeBytes_.substr(attributes_[i].nameAt, attributes_[i].nameLength), i);
        }
        const auto [found, added] = attributeIndex_.emplace(std::string(name), attributes_.size());
        if (!added) {
            reportRepeatedAttribute(name);
            attributes_[found->second].valueAt = valueAt;
            attributes_[found->second].valueLength = value.size();
            return;
        }
    }
    attributes_.push_back(entry);
}

std::uint32_t XmlReader::storeAttributes()
{
    if (attributes_.empty())
        return 0;
    std::uint64_t bytes = 0;
    for (const PendingAttribute& a : attributes_)
        bytes += 10 + a.nameLength + a.valueLength;
    bytes += 5;
    if (bytes > MaxArenaBytes) {
        fail();
        return 0;
    }
    std::uint32_t offset = 0;
    const std::uint32_t before = tree_.arena.count();
    char* at = extendArena(tree_, bytes, offset);
    if (at == nullptr) {
        fail();
        return 0;
    }
    char* const start = at;
    at += encodeLength(at, static_cast<std::uint32_t>(attributes_.size()));
    for (const PendingAttribute& a : attributes_) {
        at += encodeLength(at, static_cast<std::uint32_t>(a.nameLength));
        std::memcpy(at, attributeBytes_.data() + a.nameAt, a.nameLength);
        at += a.nameLength;
        at += encodeLength(at, static_cast<std::uint32_t>(a.valueLength));
        std::memcpy(at, attributeBytes_.data() + a.valueAt, a.valueLength);
        at += a.valueLength;
    }
    // Give back what the length prefixes did not need.
    (void)tree_.arena.resize(before + static_cast<std::uint32_t>(at - start));
    return offset;
}

// Stores a text in the arena; short names and blank texts are shared.
std::uint32_t XmlReader::storeText(std::string_view text, bool intern)
{
    std::uint32_t offset = 0;
    if (text.empty())
        return 0;
    if (!intern || text.size() > MaxInternedLength) {
        if (!appendText(tree_, text, offset))
            fail();
        return offset;
    }
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    std::size_t slot = hash & (InternSlots - 1);
    for (;;) {
        InternSlot& entry = internSlots_[slot];
        if (entry.offset == 0)
            break;
        if (entry.hash == hash) {
            const char* at = tree_.arena.data() + entry.offset;
            if (readText(at) == text)
                return entry.offset;
        }
        slot = (slot + 1) & (InternSlots - 1);
    }
    if (!appendText(tree_, text, offset)) {
        fail();
        return 0;
    }
    // A file with endless distinct names stops sharing once the table is
    // three quarters full, so lookups stay short.
    if (internUsed_ < InternSlots * 3 / 4) {
        internSlots_[slot] = InternSlot{offset, hash};
        internLog_.push_back(static_cast<std::uint32_t>(slot));
        ++internUsed_;
    }
    return offset;
}

std::string_view XmlReader::nameOf(std::uint32_t node) const
{
    const char* at = tree_.arena.data() + tree_.nodes[node].content;
    return readText(at);
}

// Only the first problem of a parse is described.
void XmlReader::reportError(std::string_view message)
{
    if (errorReported_)
        return;
    errorReported_ = true;
    TextPosition position;
    if (feed_ != nullptr) {
        countLinesUpTo(feedPosition(p_));
        position = countedAt_;
    } else {
        position.advance(text_.data(), p_);
    }
    const std::uint64_t line = position.line;
    const std::uint64_t column = position.column;
    errorLine_ = line;
    std::string text = "Ln " + std::to_string(line) + ", Col " + std::to_string(column) + ": ";
    text.append(message);
    errorText_ = limitUtf16Units(text, MaxErrorUnits);
}

// Counts the lines of the text read up to a position, in the ring's pieces.
void XmlReader::countLinesUpTo(std::uint64_t position)
{
    while (counted_ < position) {
        const char* from = feed_->at(counted_);
        const std::uint64_t inPiece = window_ - counted_ % window_;
        const std::uint64_t length = std::min(position - counted_, inPiece);
        countedAt_.advance(from, from + length);
        counted_ += length;
    }
}

void XmlReader::reportRepeatedAttribute(std::string_view name)
{
    reportError("Attribute " + std::string(name) + " appears twice in <" + tagName_ + ">.");
}

// Well-formed UTF-8, checked quickly over long ASCII runs.
bool isWellFormedUtf8(std::string_view bytes)
{
    const char* at = bytes.data();
    const char* const end = at + bytes.size();
    while (at < end) {
        while (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, 8);
            if ((word & 0x8080808080808080ull) != 0)
                break;
            at += 8;
        }
        while (at < end && static_cast<unsigned char>(*at) < 0x80)
            ++at;
        if (at == end)
            break;
        // A multi-byte sequence never holds an ASCII byte, so each run of
        // upper-half bytes can be checked on its own.
        const char* run = at;
        while (at < end && static_cast<unsigned char>(*at) >= 0x80)
            ++at;
        if (!isValidUtf8(std::string_view(run, static_cast<std::size_t>(at - run))))
            return false;
    }
    return true;
}

// UTF-8 of every Windows-1252 byte of the upper half.
const std::array<std::string, 128>& windows1252Table()
{
    static const std::array<std::string, 128> table = [] {
        std::array<std::string, 128> t;
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char byte = static_cast<char>(b);
            t[b - 0x80] = sanitizeUtf8(std::string_view(&byte, 1)); // a lone high byte is read as Windows-1252
        }
        return t;
    }();
    return table;
}

void decodeWindows1252(std::string_view bytes, std::string& out)
{
    const auto& table = windows1252Table();
    out.reserve(bytes.size() + bytes.size() / 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            out.push_back(c);
        else
            out.append(table[byte - 0x80]);
    }
}

void decodeUtf16(std::string_view bytes, bool bigEndian, std::string& out)
{
    out.reserve(bytes.size() / 2 * 3);
    const std::size_t units = bytes.size() / 2;
    const auto unitAt = [&](std::size_t i) {
        const auto a = static_cast<unsigned char>(bytes[2 * i]);
        const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const std::uint32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (unit == 0)
            out.push_back('\0'); // kept: a NUL in the text is just a character
        else
            appendCodePoint(out, unit);
    }
}

// Largest file that loads: its UTF-16 size must fit a 32-bit count.
constexpr std::uint64_t MaxXmlFileBytes = 214'748'365;
// The load must leave this many times the file's size free.
constexpr std::uint64_t MemoryFactor = 20;

} // namespace

bool decodeXmlBytes(std::string_view bytes, std::string& owned, std::string_view& text)
{
    owned.clear();
    try {
        const auto startsWith = [&](std::initializer_list<unsigned char> mark) {
            if (bytes.size() < mark.size())
                return false;
            std::size_t i = 0;
            for (unsigned char m : mark)
                if (static_cast<unsigned char>(bytes[i++]) != m)
                    return false;
            return true;
        };
        if (startsWith({0xFE, 0xFF}) || startsWith({0xFF, 0xFE})) {
            decodeUtf16(bytes.substr(2), bytes[0] == '\xFE', owned);
            text = owned;
        } else if (startsWith({0xEF, 0xBB, 0xBF})) {
            const std::string_view rest = bytes.substr(3);
            if (isWellFormedUtf8(rest)) {
                text = rest;
            } else {
                owned = sanitizeUtf8(rest);
                text = owned;
            }
        } else if (isWellFormedUtf8(bytes)) {
            text = bytes;
        } else {
            decodeWindows1252(bytes, owned);
            text = owned;
        }
    } catch (const std::bad_alloc&) {
        owned.clear();
        owned.shrink_to_fit();
        return false;
    }
    return true;
}

OperationResult parseXmlText(std::string_view text, XmlDocument& root, std::string& errorText,
                             ProgressReporter* progress, std::uint64_t* errorLine, XmlElementSink* sink)
{
    errorText.clear();
    XmlReader reader(text, root.tree(), errorText, progress);
    reader.setSink(sink);
    const OperationResult result = reader.parse();
    if (errorLine != nullptr)
        *errorLine = reader.errorLine();
    if (result == OperationResult::Failure)
        errorText = "Not enough memory available to parse the XML text";
    return result;
}

XmlFeed::XmlFeed(std::uint64_t limit, std::size_t window, std::size_t lookAhead)
    : limit_(limit),
      window_(static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(window, limit)))),
      lookAhead_(std::max<std::size_t>(1, std::min(lookAhead, window_)))
{
    buffer_.reset(new (std::nothrow) char[window_ + lookAhead_]);
}

std::span<char> XmlFeed::room(std::size_t wanted)
{
    std::unique_lock guard(lock_);
    for (;;) {
        if (stopRequested_ || (stopSource_ != nullptr && stopSource_->isCancelled()) || written_ >= limit_)
            return {};
        if (written_ < released_ + window_ || draining_)
            break;
        if (pump_)
            return {}; // a pumped producer runs only when the parse wants text, so there is room then
        // The reporter's stop comes without a notice: look again now and then.
        changed_.wait_for(guard, std::chrono::milliseconds(50));
    }
    const std::size_t offset = static_cast<std::size_t>(written_ % window_);
    const std::uint64_t free = draining_ ? window_ : released_ + window_ - written_;
    const std::uint64_t bytes = std::min<std::uint64_t>({wanted, window_ - offset, free, limit_ - written_});
    return {buffer_.get() + offset, static_cast<std::size_t>(bytes)};
}

void XmlFeed::append(std::size_t bytes)
{
    // Only this producer moves written_; the parse reads it under the lock.
    const std::size_t offset = static_cast<std::size_t>(written_ % window_);
    char* const at = buffer_.get() + offset;
    if (offset < lookAhead_)
        std::memcpy(buffer_.get() + window_ + offset, at, std::min(bytes, lookAhead_ - offset));
    checkUtf8(at, bytes);
    {
        std::lock_guard guard(lock_);
        written_ += bytes;
    }
    changed_.notify_all();
}

namespace {

std::size_t utf8SequenceLength(unsigned char lead)
{
    return lead >= 0xF0 && lead <= 0xF7 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xC0 && lead <= 0xDF ? 2 : 1;
}

} // namespace

// The bytes are checked as they come, a sequence cut at the end of one
// piece completed from the next.
void XmlFeed::checkUtf8(const char* bytes, std::size_t count)
{
    if (!wellFormedUtf8_)
        return;
    std::size_t from = 0;
    if (utf8CarryLength_ > 0) {
        const std::size_t need = utf8SequenceLength(static_cast<unsigned char>(utf8Carry_[0]));
        while (utf8CarryLength_ < need && from < count)
            utf8Carry_[utf8CarryLength_++] = bytes[from++];
        if (utf8CarryLength_ < need)
            return;
        wellFormedUtf8_ = isValidUtf8(std::string_view(utf8Carry_, utf8CarryLength_));
        utf8CarryLength_ = 0;
    }
    // A sequence that the end of this piece cuts waits for the next.
    std::size_t end = count;
    std::size_t back = 0;
    while (back < 3 && end - back > from && (static_cast<unsigned char>(bytes[end - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (end - back > from) {
        const auto lead = static_cast<unsigned char>(bytes[end - 1 - back]);
        if (lead >= 0xC0 && back + 1 < utf8SequenceLength(lead)) {
            utf8CarryLength_ = back + 1;
            std::memcpy(utf8Carry_, bytes + end - 1 - back, utf8CarryLength_);
            end -= utf8CarryLength_;
        }
    }
    wellFormedUtf8_ = wellFormedUtf8_ && isWellFormedUtf8(std::string_view(bytes + from, end - from));
}

void XmlFeed::close(bool complete)
{
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        complete_ = complete;
        if (utf8CarryLength_ > 0)
            wellFormedUtf8_ = false;
    }
    changed_.notify_all();
}

bool XmlFeed::stopRequested() const
{
    if (stopSource_ != nullptr && stopSource_->isCancelled())
        return true;
    std::lock_guard guard(lock_);
    return stopRequested_;
}

bool XmlFeed::wellFormedUtf8() const
{
    std::lock_guard guard(lock_);
    return wellFormedUtf8_;
}

std::uint64_t XmlFeed::written() const
{
    std::lock_guard guard(lock_);
    return written_;
}

XmlFeed::State XmlFeed::waitFor(std::uint64_t bytes)
{
    std::unique_lock guard(lock_);
    while (!closed_ && written_ < bytes) {
        if (pump_) {
            guard.unlock();
            pump_();
            guard.lock();
        } else {
            changed_.wait(guard);
        }
    }
    return State{written_, closed_, complete_};
}

void XmlFeed::release(std::uint64_t position)
{
    {
        std::lock_guard guard(lock_);
        released_ = std::max(released_, position);
    }
    changed_.notify_all();
}

void XmlFeed::drain()
{
    {
        std::lock_guard guard(lock_);
        draining_ = true;
    }
    changed_.notify_all();
}

void XmlFeed::requestStop()
{
    {
        std::lock_guard guard(lock_);
        stopRequested_ = true;
    }
    changed_.notify_all();
}

OperationResult parseXmlFeed(XmlFeed& feed, std::size_t start, XmlDocument& root, std::string& errorText,
                             ProgressReporter* progress, std::uint64_t* errorLine, bool& incomplete,
                             XmlElementSink* sink)
{
    errorText.clear();
    incomplete = false;
    if (!feed.allocated()) {
        incomplete = true;
        feed.requestStop();
        return OperationResult::Success;
    }
    XmlReader reader(feed, start, root.tree(), errorText, progress);
    reader.setSink(sink);
    const OperationResult result = reader.parse();
    incomplete = reader.incomplete();
    if (errorLine != nullptr)
        *errorLine = reader.errorLine();
    if (result != OperationResult::Success || incomplete)
        feed.requestStop();
    if (result == OperationResult::Failure)
        errorText = "Not enough memory available to parse the XML text";
    return result;
}

OperationResult parseXmlText(std::string_view text, XmlDocument& root, std::string& errorText)
{
    return parseXmlText(text, root, errorText, nullptr, nullptr, nullptr);
}

OperationResult loadXmlFile(const std::filesystem::path& path, ProgressReporter* progress, XmlDocument& root,
                            std::string& errorText, std::uint64_t* errorLine, XmlElementSink* sink)
{
    errorText.clear();
    if (errorLine != nullptr)
        *errorLine = 0;
    const std::string shownPath = path.string();
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        errorText = limitUtf16Units("File does not exist: " + shownPath, MaxErrorUnits);
        return OperationResult::Failure;
    }
    const std::uint64_t size = std::filesystem::is_regular_file(status) ? std::filesystem::file_size(path, error) : 0;
    if (size >= MaxXmlFileBytes || MemoryFactor * size >= availableMemoryBytes()) {
        errorText = limitUtf16Units("Not enough memory available to load " + shownPath, MaxErrorUnits);
        return OperationResult::Failure;
    }
    if (progress != nullptr && progress->isCancelled())
        return OperationResult::Cancelled;

    MappedFile file;
    if (file.open(path) != OperationResult::Success) {
        errorText = limitUtf16Units("Cannot open xml file: " + shownPath, MaxErrorUnits);
        return OperationResult::Failure;
    }
    std::string decoded;
    std::string_view text;
    if (!decodeXmlBytes(file.view(), decoded, text)) {
        errorText = limitUtf16Units("Not enough memory available to load " + shownPath, MaxErrorUnits);
        return OperationResult::Failure;
    }
    if (progress != nullptr && progress->isCancelled())
        return OperationResult::Cancelled;

    XmlReader reader(text, root.tree(), errorText, progress);
    reader.setSink(sink);
    const OperationResult parsed = reader.parse();
    if (errorLine != nullptr)
        *errorLine = reader.errorLine();
    if (parsed == OperationResult::Failure) {
        errorText = limitUtf16Units("Not enough memory available to load " + shownPath, MaxErrorUnits);
        return OperationResult::Failure;
    }
    if (progress != nullptr && progress->isCancelled())
        return OperationResult::Cancelled;
    return OperationResult::Success;
}

} // namespace morvex

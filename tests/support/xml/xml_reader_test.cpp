#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/memory_guard.h"
#include "support/xml/xml_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

// One line per node, indented by depth: elements as <name a="v">, text as
// "text" with control characters shown as \n, \t.
void dumpInto(XmlNodeRef node, int depth, std::string& out)
{
    for (XmlNodeRef child = node.firstChild(); child; child = child.next()) {
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        if (child.isElement()) {
            out += "<" + std::string(child.name());
            for (auto a = child.attributes(); !a.atEnd(); a.advance())
                out += " " + std::string(a.current().name) + "=\"" + std::string(a.current().value) + "\"";
            out += child.preserveSpace() ? "> preserve\n" : ">\n";
            dumpInto(child, depth + 1, out);
        } else {
            std::string shown;
            for (char c : child.text()) {
                if (c == '\n')
                    shown += "\\n";
                else if (c == '\t')
                    shown += "\\t";
                else
                    shown += c;
            }
            out += "\"" + shown + "\"\n";
        }
    }
}

std::string dump(XmlNodeRef node)
{
    std::string out;
    dumpInto(node, 0, out);
    return out;
}

struct Parsed {
    std::string tree;
    std::string error;
};

Parsed parse(std::string_view text)
{
    XmlDocument root;
    Parsed parsed;
    EXPECT_EQ(parseXmlText(text, root, parsed.error), OperationResult::Success);
    parsed.tree = dump(root);
    return parsed;
}

std::string utf16(std::u16string_view text, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        out += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

} // namespace

TEST(XmlReader, EncodingsGiveTheSameTree)
{
    TempDir dir;
    const std::string utf8 = "<?xml version=\"1.0\"?>\n<doc name=\"Caf\xC3\xA9\">\xC3\xA0 la cr\xC3\xA8me</doc>\n";
    const std::string ansi = "<?xml version=\"1.0\"?>\n<doc name=\"Caf\xE9\">\xE0 la cr\xE8me</doc>\n";
    const std::u16string wide = u"<?xml version=\"1.0\"?>\n<doc name=\"Caf\u00E9\">\u00E0 la cr\u00E8me</doc>\n";
    const struct {
        const char* label;
        std::string bytes;
    } files[] = {
        {"utf8-mark", "\xEF\xBB\xBF" + utf8}, {"utf8", utf8},         {"utf16-be", utf16(wide, true)},
        {"utf16-le", utf16(wide, false)},     {"windows-1252", ansi},
    };
    const std::string expected = "<?xml version=\"1.0\">\n<doc name=\"Caf\xC3\xA9\">\n  \"\xC3\xA0 la cr\xC3\xA8me\"\n";
    for (const auto& file : files) {
        const auto path = dir / file.label;
        writeFile(path, file.bytes);
        XmlDocument root;
        std::string error;
        ASSERT_EQ(loadXmlFile(path, nullptr, root, error), OperationResult::Success) << file.label;
        EXPECT_EQ(dump(root), expected) << file.label;
        EXPECT_EQ(error, "") << file.label;
    }
}

TEST(XmlReader, StructureTextAndAttributes)
{
    const struct {
        const char* label;
        const char* text;
        const char* tree;
    } cases[] = {
        {"prologue attributes, the ? dropped", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\">\n<a>\n"},
        {"space indentation is kept, tabs and line ends are not", "<a>\n  <b/>\n\t<c/>\n</a>",
         "<a>\n  \"  \"\n  <b>\n  <c>\n"},
        {"xml:space keeps the line end and is inherited", "<a xml:space=\"preserve\"><b>\nword</b></a>",
         "<a> preserve\n  <b> preserve\n    \"\\nword\"\n"},
        {"single quotes keep a double quote", "<a t='say \"hi\"'/>", "<a t=\"say \"hi\"\">\n"},
        {"attributes without values", "<a b c=\"1\" d>x</a>", "<a b=\"\" c=\"1\" d=\"\">\n  \"x\"\n"},
        {"spaces around = and values continuing after a quote", "<a b = \"1\"2 c=3/>", "<a b=\"12\" c=\"3\">\n"},
        {"a quoted name", "<\"a b\" c=\"1\"/>", "<a b c=\"1\">\n"},
        {"comment body without its dashes", "<a><!-- note -- here --></a>", "<a>\n  <!-->\n    \" note -- here \"\n"},
        {"CDATA untouched", "<a><![CDATA[x < y &amp; z]]></a>", "<a>\n  <![CDATA[>\n    \"x < y &amp; z\"\n"},
        {"DOCTYPE with an internal subset", "<!DOCTYPE d [<!ENTITY e \"v\">]><d/>",
         "<!DOCTYPE>\n  \" d [<!ENTITY e \"v\">]\"\n<d>\n"},
        {"CR LF and LF CR read as one line end", "<a xml:space=\"1\">x\r\ny\n\rz\rw</a>",
         "<a> preserve\n  \"x\\ny\\nz\\nw\"\n"},
        {"text around a child becomes two nodes", "<a>one<b/>two</a>", "<a>\n  \"one\"\n  <b>\n  \"two\"\n"},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.text);
        EXPECT_EQ(parsed.tree, c.tree) << c.label;
        EXPECT_EQ(parsed.error, "") << c.label;
    }
}

TEST(XmlReader, CharacterReferences)
{
    const struct {
        const char* reference;
        const char* result;
    } cases[] = {
        {"&#65;", "A"},
        {"&#x41;", "A"},
        {"&#x4g1;", "A"},                  // other characters among hex digits are skipped
        {"&#X41;", ""},                    // upper-case X reads as decimal: no digits, code 0
        {"&#65abc;", "A"},                 // leading decimal digits
        {"&#0;", ""},                      // code 0 adds nothing
        {"&#xD800;", "\xEF\xBF\xBD"},      // a lone surrogate has no UTF-8 form
        {"&#x1F600;", "\xF0\x9F\x98\x80"}, // beyond 16 bits the character is kept whole
        {"&#99999999999999999999;", "\xEF\xBF\xBD"},
        {"&copy;", "&"},
        {"&amp;&lt;&gt;&quot;&apos;", "&<>\"'"},
    };
    for (const auto& c : cases) {
        const std::string text = std::string("<a v=\"") + c.reference + "\">" + c.reference + "</a>";
        XmlDocument root;
        std::string error;
        ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
        const XmlNodeRef a = findChild(root, "a");
        EXPECT_EQ(getAttribute(a, "v"), c.result) << c.reference;
        EXPECT_EQ(getNodeText(a), c.result) << c.reference;
        EXPECT_EQ(error, "") << c.reference;
    }
}

// A reference made of bytes that start no character (UTF-8 continuation
// bytes) is no name however long it runs: it is reported, and read within
// the reference's own bounds.
TEST(XmlReader, ReferenceOfContinuationBytesIsAnError)
{
    const std::string text = "<a>&" + std::string(500, '\x88') + ";</a>";
    XmlDocument root;
    std::string error;
    parseXmlText(text, root, error);
    EXPECT_NE(error, "");
}

TEST(XmlReader, FirstErrorWithPosition)
{
    const std::string ampersand = "Strings starting with an ampersand (&) must end with a semicolon (;). Either "
                                  "replace the '&' with '&amp;' or add a ';' at the end of the control string.";
    const struct {
        const char* label;
        const char* text;
        std::string error;
        const char* tree;
    } cases[] = {
        {"mismatched closing tag; the text after it belongs to the parent", "<a><b></c>text</a>",
         "Ln 1, Col 11: Element <b> should be terminated with </b>, was with c. Check you have terminated your "
         "element properly.",
         "<a>\n  <b>\n  \"text\"\n"},
        {"line ends count once", "<a>\r\n<b>\n\r</c >x</a>",
         "Ln 3, Col 5: Element <b> should be terminated with </b>, was with c. Check you have terminated your "
         "element properly.",
         "<a>\n  <b>\n  \"x\"\n"},
        {"the last element never closed: only the innermost is named", "<a><b><c>text",
         "Ln 1, Col 14: (EOF) Element <c> should be terminated with </c>. Check you have terminated your element "
         "properly.",
         "<a>\n  <b>\n    <c>\n      \"text\"\n"},
        {"a stray closing tag at the top level ends the document", "<a/></x><b/>",
         "Ln 1, Col 9: Misplaced </x> which does not match a <x>.", "<a>\n"},
        {"a lone <", "<a>1 < 2</a>", "Ln 1, Col 8: Misplaced < without name. Use &lt; instead of < if appropriate.",
         "<a>\n  \"1 \"\n\"2\"\n"},
        {"a tag without its >", "<a><b x=\"1\"", "Ln 1, Col 12: Tag <b> does not have a closing '>'",
         "<a>\n  <b x=\"1\">\n"},
        {"an ampersand without a semicolon", "<a>fish & chips</a>", "Ln 1, Col 11: " + ampersand,
         "<a>\n  \"fish chips\"\n"},
        {"an entity name of 24 characters", "<a>&abcdefghijklmnopqrstuvwx;</a>", "Ln 1, Col 29: " + ampersand,
         "<a>\n  \";\"\n"},
        {"a repeated attribute is not well-formed; it keeps its place and takes the later value",
         "<a>\n<b x=\"1\" y=\"2\" x=\"3\"/></a>", "Ln 2, Col 22: Attribute x appears twice in <b>.",
         "<a>\n  <b x=\"3\" y=\"2\">\n"},
        {"an unterminated comment", "<a><!-- open",
         "Ln 1, Col 13: (EOF) Element <!--> should be terminated with "
         "</!-->. Check you have terminated your element properly.",
         "<a>\n  <!-->\n    \" open\"\n"},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.text);
        EXPECT_EQ(parsed.error, c.error) << c.label;
        EXPECT_EQ(parsed.tree, c.tree) << c.label;
    }
}

TEST(XmlReader, LookupHelpers)
{
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText("<r><x/><m:c k=\"v\">t</m:c><m:c>second</m:c></r>", root, error), OperationResult::Success);
    const XmlNodeRef r = findChild(root, "r");
    ASSERT_TRUE(r);
    const XmlNodeRef c = findChild(r, "m:c");
    ASSERT_TRUE(c);
    EXPECT_EQ(getNodeText(c), "t");
    EXPECT_EQ(getAttribute(c, "k", "d"), "v");
    EXPECT_EQ(getAttribute(c, "K", "d"), "d") << "names match exactly";
    EXPECT_EQ(getNodeText(c.next()), "second");
    EXPECT_FALSE(findChild(r, "M:C"));
    EXPECT_EQ(getNodeText(findChild(r, "x")), "");
    EXPECT_FALSE(findChild(XmlNodeRef(), "x"));
    EXPECT_EQ(getAttribute(XmlNodeRef(), "x", "fallback"), "fallback");
}

TEST(XmlReader, ManyAttributesWithRepeatedNames)
{
    std::string text = "<a";
    for (int i = 0; i < 100; ++i)
        text += " n" + std::to_string(i % 40) + "=\"" + std::to_string(i) + "\"";
    text += "/>";
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
    const XmlNodeRef a = root.firstChild();
    EXPECT_EQ(a.attributeCount(), 40u);
    EXPECT_EQ(getAttribute(a, "n0"), "80");
    EXPECT_EQ(getAttribute(a, "n39"), "79");
    EXPECT_EQ(a.attributes().current().name, "n0") << "first appearance keeps its place";
    EXPECT_EQ(error, "Ln 1, Col 352: Attribute n0 appears twice in <a>.") << "found by hash past 16 attributes";
}

TEST(XmlReader, DeepNestingParsesWithoutRecursion)
{
    constexpr int depth = 1'000'000;
    std::string text;
    text.reserve(depth * 7 + 16);
    for (int i = 0; i < depth; ++i)
        text += "<e>";
    text += "x";

    // Never closed: the innermost element gets the error, the tree keeps all.
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
    EXPECT_EQ(error.rfind("Ln 1, Col 3000002: (EOF) Element <e>", 0), 0u) << error;
    int levels = 0;
    XmlNodeRef node = root.firstChild();
    while (node && node.isElement()) {
        ++levels;
        node = node.firstChild();
    }
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(node.text(), "x");

    // Properly closed, copied whole and copied from a subtree.
    for (int i = 0; i < depth; ++i)
        text += "</e>";
    ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
    EXPECT_EQ(error, "");
    XmlDocument copy;
    ASSERT_TRUE(copy.copyFrom(root.firstChild().firstChild()));
    root.clear();
    levels = 0;
    for (node = copy.ref(); node && node.isElement(); node = node.firstChild())
        ++levels;
    EXPECT_EQ(levels, depth - 1);
    EXPECT_EQ(node.text(), "x");
}

TEST(XmlReader, HugeAttributeValue)
{
    constexpr std::size_t size = 100u << 20;
    std::string text = "<a v=\"";
    text.append(size, 'q');
    text += "\" w=\"1\"/>";
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
    const XmlNodeRef a = root.firstChild();
    EXPECT_EQ(getAttribute(a, "v").size(), size);
    EXPECT_EQ(getAttribute(a, "w"), "1");
    EXPECT_EQ(error, "");
}

TEST(XmlReader, DeepCopyIsIndependent)
{
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText("<r><a k=\"1\">t<b x=\"y\"/></a><c/></r>", root, error), OperationResult::Success);
    XmlDocument whole;
    XmlDocument part;
    ASSERT_TRUE(whole.copyFrom(root));
    ASSERT_TRUE(part.copyFrom(findChild(findChild(root, "r"), "a")));
    const std::string wholeTree = dump(root);
    root.clear();
    EXPECT_EQ(dump(whole), wholeTree);
    EXPECT_EQ(part.ref().name(), "a");
    EXPECT_EQ(getAttribute(part, "k"), "1");
    EXPECT_FALSE(part.ref().next()) << "siblings are not copied";
    EXPECT_EQ(dump(part), "\"t\"\n<b x=\"y\">\n");
    ASSERT_TRUE(part.copyFrom(findChild(part, "b"))) << "copy from inside the same tree";
    EXPECT_EQ(part.ref().name(), "b");
    EXPECT_EQ(getAttribute(part, "x"), "y");
}

TEST(XmlReader, CancellationEvery512Characters)
{
    std::string text = "<a>";
    text.append(5000, 'z');
    text += "</a>";
    RecordingReporter reporter;
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText(text, root, error, &reporter), OperationResult::Success);
    EXPECT_EQ(reporter.cancelChecks(), text.size() / 512);

    RecordingReporter stopping;
    stopping.cancelAfterChecks(3);
    ASSERT_EQ(parseXmlText(text, root, error, &stopping), OperationResult::Cancelled);
    EXPECT_EQ(stopping.cancelChecks(), 3u);
    EXPECT_EQ(getNodeText(findChild(root, "a")).size(), 3 * 512u - 3) << "the text read so far is kept";
}

TEST(XmlReader, LoadFailures)
{
    TempDir dir;
    XmlDocument root;
    std::string error;
    EXPECT_EQ(loadXmlFile(dir / "missing.xml", nullptr, root, error), OperationResult::Failure);
    EXPECT_EQ(error, "File does not exist: " + (dir / "missing.xml").string());

    const auto path = dir / "a.xml";
    writeFile(path, std::string(100'000, ' ') + "<a/>");
    setAvailableMemoryOverride(20 * 100'004);
    EXPECT_EQ(loadXmlFile(path, nullptr, root, error), OperationResult::Failure);
    EXPECT_EQ(error, "Not enough memory available to load " + path.string());
    setAvailableMemoryOverride(20 * 100'004 + 1);
    EXPECT_EQ(loadXmlFile(path, nullptr, root, error), OperationResult::Success);
    setAvailableMemoryOverride(0);

    EXPECT_EQ(loadXmlFile(dir.path(), nullptr, root, error), OperationResult::Failure);
    EXPECT_EQ(error, "Cannot open xml file: " + dir.path().string());

    RecordingReporter stopped;
    stopped.requestStop();
    EXPECT_EQ(loadXmlFile(path, &stopped, root, error), OperationResult::Cancelled);
}

TEST(XmlReader, TreeCostsASmallMultipleOfTheText)
{
    // A model part as writers produce it: one element per line, indented.
    std::string text = "<model>\n <mesh>\n  <vertices>\n";
    for (int i = 0; i < 50'000; ++i)
        text += "   <vertex x=\"" + std::to_string(i) + ".125\" y=\"-3.5\" z=\"1e-3\" />\n";
    text += "  </vertices>\n </mesh>\n</model>\n";
    XmlDocument root;
    std::string error;
    ASSERT_EQ(parseXmlText(text, root, error), OperationResult::Success);
    // root, three elements, five indentation texts, a text and an element per vertex
    EXPECT_EQ(root.nodeCount(), 1u + 3 + 4 + 2 * 50'000);
    // Per vertex: two 16-byte records and about 35 bytes of values.
    EXPECT_LT(root.memoryBytes(), 2 * text.size()) << "bytes " << root.memoryBytes() << " for " << text.size();
}

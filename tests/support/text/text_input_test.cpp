#include "support/text/block_line_reader.h"
#include "support/text/line_scanner.h"
#include "support/text/numbers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace morvex {
namespace {

// The limit of the STL reader, the one most cases here were written for.
constexpr std::size_t MaxLineBytes = 259;

std::vector<std::string> readLines(std::string_view bytes, std::size_t blockBytes,
                                   std::size_t maxLineBytes = MaxLineBytes)
{
    MemoryBlockSource source(bytes);
    BlockLineReader reader(source, blockBytes, maxLineBytes);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.next(line))
        lines.emplace_back(line);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(reader.lineCount(), lines.size());
    return lines;
}

// The line rules on a whole buffer at once, written as plainly as possible.
std::vector<std::string> referenceLines(std::string_view bytes, std::size_t maxLineBytes = MaxLineBytes)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = at;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        lines.emplace_back(bytes.substr(at, std::min<std::size_t>(end - at, maxLineBytes)));
        if (end == bytes.size())
            break;
        at = end + 1;
        if (bytes[end] == '\r' && at < bytes.size() && bytes[at] == '\n')
            ++at;
    }
    return lines;
}

TEST(BlockLineReader, LineEndingsAndLimitsHoldForEveryBlockSize)
{
    const std::string longLine(300, 'x');
    const std::string exact(MaxLineBytes, 'y');
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"LF", "a\nbb\n", {"a", "bb"}},
        {"CR LF", "a\r\nbb\r\n", {"a", "bb"}},
        {"CR only", "a\rbb\rccc", {"a", "bb", "ccc"}},
        {"LF CR is two endings", "a\n\rb", {"a", "", "b"}},
        {"empty lines count", "\n\n\r\n", {"", "", ""}},
        {"last line without ending", "solid x\nend", {"solid x", "end"}},
        {"nothing", "", {}},
        {"long line cut, rest dropped", longLine + "\r\nnext", {longLine.substr(0, 259), "next"}},
        {"exactly the limit", exact + "\nz", {exact, "z"}},
        {"one over the limit", exact + "w\rz", {exact, "z"}},
        {"long last line", longLine, {longLine.substr(0, 259)}},
        {"spaces kept for the caller", "   a  \n", {"   a  "}},
    };
    for (const Case& c : cases)
        for (std::size_t block : {1, 2, 3, 5, 7, 16, 17, 258, 259, 260, 8192}) {
            EXPECT_EQ(readLines(c.bytes, block), c.lines) << c.name << ", block " << block;
            EXPECT_EQ(referenceLines(c.bytes), c.lines) << c.name;
        }
}

TEST(BlockLineReader, RandomTextMatchesTheWholeBufferRules)
{
    std::mt19937 random(7);
    const char alphabet[] = {'a', 'b', ' ', '\r', '\n', '\r', '\n', 'c'};
    for (int round = 0; round < 300; ++round) {
        std::string bytes;
        const int length = static_cast<int>(random() % 700);
        for (int i = 0; i < length; ++i) {
            // Some long runs without line ends, to cross the line limit.
            if (random() % 50 == 0)
                bytes.append(random() % 400, 'L');
            bytes.push_back(alphabet[random() % sizeof alphabet]);
        }
        const std::vector<std::string> expected = referenceLines(bytes);
        for (std::size_t block : {1, 2, 13, 64, 259, 8192})
            ASSERT_EQ(readLines(bytes, block), expected) << "round " << round << ", block " << block;
        // Other limits cut by the same rules.
        for (std::size_t limit : {1, 16, 1000})
            ASSERT_EQ(readLines(bytes, 64, limit), referenceLines(bytes, limit)) << "round " << round;
    }
}

TEST(BlockLineReader, CutLineIsSkippedOnlyWhenTheNextLineIsAsked)
{
    // A caller that stops after a cut first line does not read the rest.
    class CountingSource : public BlockSource {
    public:
        explicit CountingSource(std::string_view bytes) : inner_(bytes) {}
        std::ptrdiff_t read(char* buffer, std::size_t size) override
        {
            ++reads;
            return inner_.read(buffer, size);
        }
        int reads = 0;

    private:
        MemoryBlockSource inner_;
    };
    const std::string bytes(100000, 'q');
    CountingSource source(bytes);
    BlockLineReader reader(source, 512, MaxLineBytes);
    std::string_view line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.size(), MaxLineBytes);
    EXPECT_EQ(source.reads, 1);
    EXPECT_FALSE(reader.next(line));
}

TEST(BlockLineReader, ReadErrorIsReported)
{
    class FailingSource : public BlockSource {
    public:
        std::ptrdiff_t read(char*, std::size_t) override { return -1; }
    };
    FailingSource source;
    BlockLineReader reader(source, 64, MaxLineBytes);
    std::string_view line;
    EXPECT_FALSE(reader.next(line));
    EXPECT_TRUE(reader.failed());
}

// The fast number path must give exactly what the general conversion gives,
// and accept and refuse the same tokens.
void expectSameAsGeneral(const std::string& token)
{
    const char* fastCursor = token.data();
    float fast = 0.0f;
    const bool fastOk = readNumberToken(fastCursor, token.data() + token.size(), fast);

    const char* at = token.data();
    const char* end = token.data() + token.size();
    while (at < end && isSeparatorByte(*at))
        ++at;
    float general = 0.0f;
    const char* generalCursor = at;
    bool generalOk = at < end && parseFloat(generalCursor, end, general);
    generalOk = generalOk && (generalCursor == end || isSeparatorByte(*generalCursor));

    ASSERT_EQ(fastOk, generalOk) << "'" << token << "'";
    // The line scanner of the whole-buffer readers takes the same path.
    LineScanner scanner(token);
    float scanned = 0.0f;
    const bool scannerOk = scanner.readFloat(scanned);
    const bool separatorsOnly = at == end;
    if (!separatorsOnly && std::find(token.begin(), token.end(), '\n') == token.end()) {
        EXPECT_EQ(scannerOk, generalOk) << "'" << token << "'";
        if (scannerOk && fastOk && !std::isnan(fast)) {
            EXPECT_EQ(scanned, fast) << "'" << token << "'";
        }
    }
    if (!fastOk)
        return;
    EXPECT_EQ(fastCursor, generalCursor) << "'" << token << "'";
    if (std::isnan(general)) {
        EXPECT_TRUE(std::isnan(fast)) << token;
    } else {
        std::uint32_t a, b;
        std::memcpy(&a, &fast, 4);
        std::memcpy(&b, &general, 4);
        EXPECT_EQ(a, b) << "'" << token << "' gives " << fast << " instead of " << general;
    }
}

TEST(FloatToken, AgreesWithTheGeneralConversion)
{
    // clang-format off
    const char* tokens[] = {
        "0", "-0", "+0", "1", "-1", "+1.5", "1.000000e+000", "-2.500000E-001", "5.", ".5", "-.5", "1e5", "1e",
        "1e+", "1.5e-", "+-1", "--1", "-", "+", ".", "e5", "abc", "blah", "1.0,", "1.0abc", "nan", "-nan", "inf",
        "-infinity", "1e39", "-1e39", "1e-50", "1e-40", "3.4028235e38", "3.4028236e38", "1.17549435e-38",
        "16777217", "16777219", "33554434", "0.000000000000000000001", "12345678901234567890",
        "1234567890123456789", "9007199254740993", "1e22", "1e23", "1e-22", "1e-23", "  7.25  ", "\t-3\t",
        "0001.2500", "1e00005", "1e0005", "",
    };
    // clang-format on
    for (const char* token : tokens)
        expectSameAsGeneral(token);

    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    char text[64];
    for (int i = 0; i < 200000; ++i) {
        const float value = std::ldexp(unit(random), static_cast<int>(random() % 80) - 40);
        const char* formats[] = {"%e", "%.9g", "%f", "%.3f", "%.12e", "%g"};
        std::snprintf(text, sizeof text, formats[i % 6], static_cast<double>(value));
        expectSameAsGeneral(text);
        // Random digit strings around float ties and beyond 19 digits.
        std::string digits = std::to_string(random() % 100000000) + "." + std::to_string(random());
        expectSameAsGeneral(digits);
    }
}

TEST(FloatToken, ReadsThreeTokensInARow)
{
    const std::string text = " 1.0  -2e1\t3.5e-001 extra";
    const char* at = text.data();
    const char* end = text.data() + text.size();
    float values[3];
    for (float& value : values)
        ASSERT_TRUE(readNumberToken(at, end, value));
    EXPECT_EQ(values[0], 1.0f);
    EXPECT_EQ(values[1], -20.0f);
    EXPECT_EQ(values[2], 0.35f);
    float extra;
    EXPECT_FALSE(readNumberToken(at, end, extra));
}

} // namespace
} // namespace morvex

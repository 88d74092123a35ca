#include "common/test_support.h"
#include "support/text/block_line_reader.h"
#include "support/text/line_scanner.h"
#include "support/text/numbers.h"
#include "support/text/text_pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
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
        // The reader of a text held whole gives the same lines, also when
        // started at the cuts that split the text into pieces.
        for (const unsigned pieces : {1u, 2u, 3u, 7u}) {
            const std::vector<std::size_t> cuts = lineCuts(bytes, pieces);
            std::vector<std::string> whole;
            for (unsigned piece = 0; piece < pieces; ++piece) {
                ASSERT_LE(cuts[piece], cuts[piece + 1]);
                TextLineReader lines(std::string_view(bytes).substr(0, cuts[piece + 1]), cuts[piece], MaxLineBytes);
                std::string_view line;
                while (lines.next(line))
                    whole.emplace_back(line);
            }
            ASSERT_EQ(whole, expected) << "round " << round << ", " << pieces << " pieces";
        }
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
        // Within a digit of the 16th place of a value halfway between two
        // floats: a fast path that rounds its product the wrong way fails here.
        const float below = std::ldexp(std::fabs(unit(random)) + 0.5f, static_cast<int>(random() % 40) - 20);
        const double halfway = (static_cast<double>(below) + std::nextafter(below, INFINITY)) / 2;
        std::snprintf(text, sizeof text, "%.15e", halfway);
        expectSameAsGeneral(text);
        std::snprintf(text, sizeof text, "%.15e", std::nextafter(halfway, 0.0));
        expectSameAsGeneral(text);
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

// A number that is only checked: skipNumberToken takes exactly the texts
// readNumberToken takes and stops where it stops; skipPlainNumberToken takes
// some of them, passing over nothing but separators, signs, digits, points
// and exponent letters. Returns whether the plain path took the text.
bool expectSkipsAsItReads(std::string_view text)
{
    const char* end = text.data() + text.size();
    const char* read = text.data();
    float value = 0.0f;
    const bool readOk = readNumberToken(read, end, value);
    const char* skipped = text.data();
    EXPECT_EQ(skipNumberToken(skipped, end), readOk) << "'" << text << "'";
    EXPECT_EQ(skipped - text.data(), read - text.data()) << "'" << text << "'";

    const char* plain = text.data();
    if (!skipPlainNumberToken(plain, end)) {
        EXPECT_EQ(plain, text.data()) << "'" << text << "'";
        return false;
    }
    EXPECT_TRUE(readOk) << "'" << text << "'";
    EXPECT_EQ(plain - text.data(), read - text.data()) << "'" << text << "'";
    const std::string_view passed = text.substr(0, static_cast<std::size_t>(plain - text.data()));
    for (const char c : passed)
        EXPECT_TRUE(isSeparatorByte(c) || std::string_view("+-.0123456789eE").find(c) != std::string_view::npos)
            << "'" << text << "'";
    return true;
}

TEST(FloatToken, CheckingANumberTakesWhatReadingItTakes)
{
    // clang-format off
    std::vector<std::string> tokens = {
        "0", "-0", "+0", "1", "-1", "+1.5", "1.000000e+000", "-2.500000E-001", "5.", ".5", "-.5", "1e5", "1e",
        "1e+", "1.5e-", "+-1", "--1", "-", "+", ".", "e5", "abc", "1.0,", "1.0abc", "nan", "-nan", "inf",
        "-infinity", "nan(endsolid)", "nan()", "1e39", "-1e39", "1e-50", "3.4028236e38", "16777217", "16777219",
        "16777217e0", "1.6777217e7", "33554434", "12345678901234567890", "1234567890123456789",
        "9007199254740993", "1e22", "1e23", "1e-22", "1e-23", "  7.25  ", "\t-3\t", "0001.2500", "1e00005",
        "1e0005", "1e9999", "1e-9999", "1.e5", "-.e5", ".e5", "+.5e+0001", "0x1p3", "1e5x", "1,2", "\n2", "",
        "   ", "1 2", "-0.000000e+000", "9.999902e-001", "1e+-5", "1ee5", "1..5", "1.5.", "infinity5",
    };
    // clang-format on
    std::mt19937 random(29);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    char text[64];
    for (int i = 0; i < 3000; ++i) {
        const float value = std::ldexp(unit(random), static_cast<int>(random() % 100) - 50);
        const char* formats[] = {"%e", "%.9g", "%f", "%.3f", "%.12e", "%g"};
        std::snprintf(text, sizeof text, formats[i % 6], static_cast<double>(value));
        tokens.emplace_back(text);
        tokens.emplace_back(text, formatExponent3(text, value));
        // Values next to a float tie, which the fast path hands on.
        const float below = std::ldexp(std::fabs(unit(random)) + 0.5f, static_cast<int>(random() % 40) - 20);
        const double halfway = (static_cast<double>(below) + std::nextafter(below, INFINITY)) / 2;
        std::snprintf(text, sizeof text, "%.15e", halfway);
        tokens.emplace_back(text);
        // Digit strings of up to 21 digits, around the fast path's 19.
        tokens.push_back(std::to_string(random() % 100000000) + "." + std::to_string(random() % 10000000000) +
                         std::to_string(random() % 1000));
    }

    // Each token as it is, then mutated: a byte replaced, inserted or
    // dropped, or the token cut short, behind separators and before a tail.
    const std::string_view alphabet = "0123456789+-.eEinfatyINFATY \t\r\n(x)_,\x01\xC3";
    const char* tails[] = {"", " ", " 7", "x", "\t1e5", "e", "."};
    std::size_t plain = 0, general = 0, refused = 0;
    for (const std::string& token : tokens)
        for (int mutation = 0; mutation < 5; ++mutation) {
            std::string candidate = token;
            const std::size_t at = candidate.empty() ? 0 : random() % candidate.size();
            const char c = alphabet[random() % alphabet.size()];
            if (mutation == 1 && !candidate.empty())
                candidate[at] = c;
            else if (mutation == 2)
                candidate.insert(candidate.begin() + static_cast<std::ptrdiff_t>(at), c);
            else if (mutation == 3 && !candidate.empty())
                candidate.erase(at, 1);
            else if (mutation == 4)
                candidate.resize(at);
            if (mutation > 0)
                candidate = std::string(random() % 3, ' ') + candidate + tails[random() % 7];
            const char* cursor = candidate.data();
            const bool reads = skipNumberToken(cursor, candidate.data() + candidate.size());
            if (expectSkipsAsItReads(candidate))
                ++plain;
            else
                ++(reads ? general : refused);
        }
    // Every outcome was met often: the plain path, the general one, refusals.
    EXPECT_GT(plain, tokens.size());
    EXPECT_GT(general, 200u);
    EXPECT_GT(refused, tokens.size());
}

// Checks the token reader against std::from_chars itself wherever that reads
// the whole token as a number: the same float, bit for bit (a leading '+',
// which from_chars leaves to its caller, is taken off first). Returns
// whether the token was one.
bool sameAsFromChars(std::string_view token)
{
    std::string_view unsigned_ = token;
    if (unsigned_.starts_with('+')) {
        unsigned_.remove_prefix(1);
        if (unsigned_.starts_with('-') || unsigned_.starts_with('+'))
            return false;
    }
    float reference = 0.0f;
    const auto [end, error] =
        std::from_chars(unsigned_.data(), unsigned_.data() + unsigned_.size(), reference, std::chars_format::general);
    if (end != unsigned_.data() + unsigned_.size() || (error != std::errc() && error != std::errc::result_out_of_range))
        return false;
    const char* cursor = token.data();
    float fast = 0.0f;
    EXPECT_TRUE(parseFloatToken(cursor, token.data() + token.size(), fast)) << "'" << token << "'";
    EXPECT_EQ(cursor, token.data() + token.size()) << "'" << token << "'";
    if (error == std::errc::result_out_of_range) {
        // Beyond the float range: infinity or zero with the token's sign.
        EXPECT_TRUE(std::isinf(fast) || fast == 0.0f) << "'" << token << "'";
        EXPECT_EQ(std::signbit(fast), token.starts_with('-')) << "'" << token << "'";
    } else if (std::isnan(reference)) {
        EXPECT_TRUE(std::isnan(fast)) << "'" << token << "'";
    } else {
        std::uint32_t a, b;
        std::memcpy(&a, &fast, 4);
        std::memcpy(&b, &reference, 4);
        EXPECT_EQ(a, b) << "'" << token << "' reads as " << fast << ", from_chars gives " << reference;
    }
    return true;
}

// Every token of a text that is a number.
std::uint64_t checkNumbersOf(std::string_view text)
{
    std::uint64_t numbers = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isSeparatorByte(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < text.size() && !isSeparatorByte(text[at]))
            ++at;
        if (at > start && sameAsFromChars(text.substr(start, at - start)))
            ++numbers;
    }
    return numbers;
}

TEST(FloatToken, CorpusGeneratorAndEdgeNumbersReadAsFromCharsReadsThem)
{
    // Every number in the text files of the corpus (a file with a NUL byte
    // near its start is binary).
    std::uint64_t corpusNumbers = 0;
    if (testing::corpusAvailable()) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(testing::corpusDir())) {
            if (!entry.is_regular_file() || entry.file_size() > (64u << 20))
                continue;
            const std::string bytes = testing::readFile(entry.path());
            if (bytes.substr(0, 4096).find('\0') != std::string::npos)
                continue;
            corpusNumbers += checkNumbersOf(bytes);
        }
        EXPECT_GT(corpusNumbers, 100000u) << "the corpus's text files hold far more numbers";
    }

    // The benchmark generator writes coordinates as %e with three exponent
    // digits; other writers use fixed six places or the shortest form. Torus
    // points as the generator makes them, then random float patterns of
    // every exponent (denormals included) in each form.
    const auto checkForms = [](float value) {
        char exponent[MaxNumberChars], fixed[MaxNumberChars], shortest[MaxNumberChars];
        for (const std::string_view text : {std::string_view(exponent, formatExponent3(exponent, value)),
                                            std::string_view(fixed, formatFixed(fixed, value, 6)),
                                            std::string_view(shortest, formatFloatShortest(shortest, value))})
            ASSERT_TRUE(sameAsFromChars(text)) << text;
    };
    for (int i = 0; i < 400; ++i)
        for (int j = 0; j < 100; ++j) {
            const double a = 2.0 * M_PI * i / 400, b = 2.0 * M_PI * j / 100, ring = 40.0 + 12.0 * std::cos(b);
            checkForms(static_cast<float>(ring * std::cos(a)));
            checkForms(static_cast<float>(12.0 * std::sin(b)));
        }
    std::mt19937 random(23);
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(random());
        float value;
        std::memcpy(&value, &bits, 4);
        if (std::isfinite(value) && std::fabs(value) < 1e30f)
            checkForms(value);
    }

    // Digit strings the formatters never write: many digits, leading zeros,
    // signs, exponents at and beyond the limits, halfway cases.
    // clang-format off
    const char* edges[] = {
        "1.4e-45", "7e-46", "7.1e-46", "1.1754942e-38", "1.17549435e-38", "1.1754943508222875e-38",
        "-1.401298464324817e-45", "3.4028235e38", "3.40282357e38", "3.4028236e38", "1e38", "1e39", "-1e39",
        "1e-38", "1e-39", "1e-45", "1e-46", "2.5e-46", "1e+038", "1e-038", "1e-00000045", "0.000000e+000",
        "-0.000000e+000", "+0", "-0", "-0.0", "+000001.500000", "0000000000000000000000001", "00.000001e+000",
        "16777217", "16777217.0000000000001", "16777219", "33554434", "1.00000005960464477539062500",
        "1.0000000596046447753906251", "0.100000001490116119384765625", "123456789012345678901234567890",
        "1234567890123456789", "12345678901234567890", "9007199254740993", "9007199254740993e-10",
        "1e22", "1e23", "1e-22", "1e-23", "4.7019774032891500318749461488889827112746622270883e-38",
        "+1.5", "-1.5", "-.5", ".5", "5.", "-5.e-1", "1E5", "1e+5", "1e-5",
    };
    // clang-format on
    for (const char* edge : edges)
        EXPECT_TRUE(sameAsFromChars(edge)) << edge;
    for (int i = 0; i < 200000; ++i) {
        // Random digits with a point anywhere, a sign, and an exponent.
        std::string token = random() % 3 == 0 ? "-" : (random() % 5 == 0 ? "+" : "");
        const int digits = 1 + static_cast<int>(random() % 28);
        const int point = static_cast<int>(random() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point)
                token += '.';
            token += static_cast<char>('0' + random() % 10);
        }
        if (random() % 2 == 0)
            token += "e" + std::to_string(static_cast<int>(random() % 100) - 55);
        EXPECT_TRUE(sameAsFromChars(token)) << token;
    }
}

} // namespace
} // namespace morvex

#pragma once

#include <cstdint>
#include <string_view>

namespace morvex {

// Walks a text buffer line by line and token by token. Lines end at CR, LF
// or CR LF; the last line needs no ending. Blanks are every byte up to and
// including the space, line ends excepted; tokens are runs of bytes above
// the space. Lines are never cut: a long line keeps all of its tokens and no
// number is split.
// Line endings (CR, LF or CR LF, each one ending) in `text`: the 1-based
// number of the line at its end, less one. For positions in failures, so
// simple rather than fast.
std::uint64_t countLineEnds(std::string_view text);

class LineScanner {
public:
    LineScanner(const char* begin, const char* end) : at_(begin), end_(end) {}
    explicit LineScanner(std::string_view text) : LineScanner(text.data(), text.data() + text.size()) {}

    static bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
    static bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' ' && !isLineEnd(c); }
    static bool isTokenByte(char c) { return static_cast<unsigned char>(c) > ' '; }

    bool atEnd() const { return at_ >= end_; }
    bool atLineEnd() const { return at_ >= end_ || isLineEnd(*at_); }

    void skipBlanks()
    {
        while (at_ < end_ && isBlank(*at_))
            ++at_;
    }
    // A run of bytes above the space character.
    std::string_view token()
    {
        const char* start = at_;
        while (at_ < end_ && isTokenByte(*at_))
            ++at_;
        return {start, static_cast<std::size_t>(at_ - start)};
    }
    // The next token of the current line; empty at the line end.
    std::string_view nextToken()
    {
        skipBlanks();
        return token();
    }
    // The rest of the line without its leading and trailing blanks.
    std::string_view argument()
    {
        skipBlanks();
        const char* start = at_;
        skipToLineEnd();
        const char* stop = at_;
        while (stop > start && isBlank(stop[-1]))
            --stop;
        return {start, static_cast<std::size_t>(stop - start)};
    }
    void skipToLineEnd()
    {
        while (at_ < end_ && !isLineEnd(*at_))
            ++at_;
    }
    // Skips the rest of the line and its ending (CR, LF or CR LF).
    void nextLine()
    {
        skipToLineEnd();
        if (at_ < end_ && *at_ == '\r')
            ++at_;
        if (at_ < end_ && *at_ == '\n')
            ++at_;
    }
    // The rest of the line as it stands, moving past its ending; false at
    // the end of the text.
    bool takeLine(std::string_view& line)
    {
        if (atEnd())
            return false;
        const char* start = at_;
        skipToLineEnd();
        line = {start, static_cast<std::size_t>(at_ - start)};
        nextLine();
        return true;
    }

    // A decimal number that ends at a blank or the line end (read with the
    // fast path of parseFloatToken); false, with the cursor on it, when the
    // next token is not one.
    bool readFloat(float& value);
    // `fractional`, when given, tells whether the number was written with
    // anything but digits and a sign ("0.5", "1e2", "inf").
    bool readDouble(double& value, bool* fractional = nullptr);

    const char*& cursor() { return at_; }
    const char* end() const { return end_; }

private:
    const char* at_;
    const char* end_;
};

} // namespace morvex

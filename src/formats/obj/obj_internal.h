#pragma once

// Pieces shared by the OBJ reader and the material library reader.

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace morvex::objformat {

// Both file kinds check for a stop request and report the line number
// after this many lines.
inline constexpr std::uint64_t LinesPerCheck = 102;

inline bool isLineEnd(char c)
{
    return c == '\r' || c == '\n';
}
// Blanks are every byte up to and including the space, line ends excepted.
inline bool isBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ' && !isLineEnd(c);
}

// Tokens are runs of bytes above the space character.
inline bool isTokenByte(char c)
{
    return static_cast<unsigned char>(c) > ' ';
}

// Walks a text buffer line by line. Lines end at CR, LF or CR LF; the last
// line needs no ending. Lines are never cut: a long face line keeps all of
// its corners and no number is split.
class LineScanner {
public:
    LineScanner(const char* begin, const char* end) : at_(begin), end_(end) {}

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

    // A decimal number that ends at a blank or the line end; false, with
    // the cursor on it, when the next token is not one.
    bool readFloat(float& value);
    bool readDouble(double& value, bool* fractional = nullptr);

    const char*& cursor() { return at_; }
    const char* end() const { return end_; }

private:
    const char* at_;
    const char* end_;
};

// A keyword test on at most `length` characters, as the keyword tables do:
// "mtllib" and "mtllibx" both match on five.
inline bool keywordIs(std::string_view token, std::string_view keyword, std::size_t length)
{
    return token.substr(0, length) == keyword.substr(0, length);
}

// Text from a file as it is kept in the model: UTF-8 (older 8-bit text is
// taken as Windows-1252) and at most 259 UTF-16 units.
std::string modelText(std::string_view text);

// Materials gathered while an OBJ file is read: from its libraries and from
// "usemtl" names that no library defined. Ids count from 0 in creation order.
struct MaterialCollection {
    Model holder;                                      // only its materials and id counter are used
    std::unordered_map<std::string, Material*> byName; // the newest material of a name
    std::unordered_set<std::string> librariesRead;

    // The material of that name, created when there is none. nullptr when
    // memory ran out or the ids are used up; `reason` says which.
    Material* findOrAdd(const std::string& name, std::string* reason);
    Material* add(const std::string& name, std::string* reason);
};

// Reads the material library that an "mtllib" line names. A library that
// cannot be found or read is skipped (Success). Cancelled when the reporter
// asks to stop; Failure only when memory ran out.
OperationResult readMaterialLibrary(const std::filesystem::path& objFolder, std::string_view argument,
                                    MaterialCollection& materials, ProgressReporter& reporter, std::string* reason);

} // namespace morvex::objformat

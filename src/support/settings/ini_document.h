#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// One INI-style settings file held as its lines, so that an update changes
// only the lines it concerns and keeps comments, unknown lines and the
// user's layout. Section and value names compare without regard to ASCII
// case. Values are stored with backslash escapes (\\, \n, \r, \xHH) so that
// any text, line breaks and surrounding spaces included, reads back as it
// was written. Lines that are neither sections nor "name=value" pairs are
// kept as they are and otherwise ignored, so a damaged file still gives
// every value that can be read.
class IniDocument {
public:
    static IniDocument parse(std::string_view text);
    std::string serialize() const;

    // The first value of that name in any section of that name.
    std::optional<std::string> find(std::string_view section, std::string_view name) const;

    // Replaces the first value of that name or adds it to the section,
    // creating the section at the end. False (nothing changed) for names
    // that a file cannot hold: empty, with a line break, an '=' in a value
    // name, spaces at either end, or a value name starting with '[', ';' or
    // '#'.
    bool set(std::string_view section, std::string_view name, std::string_view value);

    // Removes every section of that name with all its values.
    void removeSection(std::string_view section);
    // Removes every value of that name from the sections of that name.
    void remove(std::string_view section, std::string_view name);

    bool empty() const { return lines_.empty(); }

    static bool isStorableSectionName(std::string_view section);
    static bool isStorableValueName(std::string_view name);

private:
    enum class LineKind { Other, Section, Entry };
    struct Line {
        LineKind kind = LineKind::Other;
        std::string raw;   // the line as written, without its line break
        std::string name;  // section or value name
        std::string value; // decoded value of an entry
    };

    static Line makeEntry(std::string_view name, std::string_view value);

    std::vector<Line> lines_;
};

} // namespace morvex

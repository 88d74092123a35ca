#include "support/settings/ini_document.h"

#include "support/text/text.h"

namespace morvex {
namespace {

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

void appendHexEscape(std::string& out, unsigned char byte)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// Spaces and tabs around names and values are layout, not content.
std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string encodeIniValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + 8);
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const bool edge = i == 0 || i + 1 == value.size();
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F || (edge && c == ' '))
            appendHexEscape(out, c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string decodeIniValue(std::string_view stored)
{
    std::string out;
    out.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const char c = stored[i];
        if (c != '\\' || i + 1 == stored.size()) {
            out += c;
            continue;
        }
        const char next = stored[i + 1];
        if (next == '\\') {
            out += '\\';
            ++i;
        } else if (next == 'n') {
            out += '\n';
            ++i;
        } else if (next == 'r') {
            out += '\r';
            ++i;
        } else if (next == 'x' && i + 3 < stored.size() && hexDigitValue(stored[i + 2]) >= 0 &&
                   hexDigitValue(stored[i + 3]) >= 0) {
            out += static_cast<char>(hexDigitValue(stored[i + 2]) * 16 + hexDigitValue(stored[i + 3]));
            i += 3;
        } else {
            // Not an escape of ours (a hand-written "C:\temp"): kept as is.
            out += c;
        }
    }
    return out;
}

} // namespace

bool IniDocument::isStorableSectionName(std::string_view section)
{
    if (section.empty() || trimBlanks(section).size() != section.size())
        return false;
    for (char c : section)
        if (isLineBreak(c))
            return false;
    return true;
}

bool IniDocument::isStorableValueName(std::string_view name)
{
    if (name.empty() || trimBlanks(name).size() != name.size())
        return false;
    if (name.front() == '[' || name.front() == ';' || name.front() == '#')
        return false;
    for (char c : name)
        if (isLineBreak(c) || c == '=')
            return false;
    return true;
}

IniDocument IniDocument::parse(std::string_view text)
{
    IniDocument document;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);

        Line line;
        line.raw = raw;
        const std::string_view content = trimBlanks(raw);
        if (content.empty() || content.front() == ';' || content.front() == '#') {
            line.kind = LineKind::Other;
        } else if (content.front() == '[' && content.find(']') != std::string_view::npos) {
            const std::size_t close = content.rfind(']');
            line.kind = LineKind::Section;
            line.name = trimBlanks(content.substr(1, close - 1));
        } else if (const std::size_t equals = content.find('='); equals != std::string_view::npos && equals > 0) {
            line.kind = LineKind::Entry;
            line.name = trimBlanks(content.substr(0, equals));
            line.value = decodeIniValue(trimBlanks(content.substr(equals + 1)));
        }
        document.lines_.push_back(std::move(line));
    }
    return document;
}

std::string IniDocument::serialize() const
{
    std::string out;
    std::size_t total = 0;
    for (const Line& line : lines_)
        total += line.raw.size() + 1;
    out.reserve(total);
    for (const Line& line : lines_) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

std::optional<std::string> IniDocument::find(std::string_view section, std::string_view name) const
{
    bool inSection = false;
    for (const Line& line : lines_) {
        if (line.kind == LineKind::Section)
            inSection = equalsIgnoreCase(line.name, section);
        else if (inSection && line.kind == LineKind::Entry && equalsIgnoreCase(line.name, name))
            return line.value;
    }
    return std::nullopt;
}

IniDocument::Line IniDocument::makeEntry(std::string_view name, std::string_view value)
{
    Line line;
    line.kind = LineKind::Entry;
    line.name = name;
    line.value = value;
    line.raw = std::string(name) + "=" + encodeIniValue(value);
    return line;
}

bool IniDocument::set(std::string_view section, std::string_view name, std::string_view value)
{
    if (!isStorableSectionName(section) || !isStorableValueName(name))
        return false;

    bool inSection = false;
    bool inFirstBlock = false;
    bool sectionFound = false;
    std::size_t insertAt = lines_.size();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& line = lines_[i];
        if (line.kind == LineKind::Section) {
            inSection = equalsIgnoreCase(line.name, section);
            inFirstBlock = inSection && !sectionFound;
            if (inFirstBlock) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection || line.kind != LineKind::Entry)
            continue;
        if (equalsIgnoreCase(line.name, name)) {
            line = makeEntry(name, value);
            return true;
        }
        // New values go after the last value of the first section found.
        if (inFirstBlock)
            insertAt = i + 1;
    }
    if (sectionFound) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), makeEntry(name, value));
        return true;
    }
    if (!lines_.empty() && !trimBlanks(lines_.back().raw).empty())
        lines_.push_back(Line{});
    Line header;
    header.kind = LineKind::Section;
    header.name = section;
    header.raw = "[" + std::string(section) + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(makeEntry(name, value));
    return true;
}

void IniDocument::removeSection(std::string_view section)
{
    std::vector<Line> kept;
    kept.reserve(lines_.size());
    bool inSection = false;
    for (Line& line : lines_) {
        if (line.kind == LineKind::Section)
            inSection = equalsIgnoreCase(line.name, section);
        if (!inSection)
            kept.push_back(std::move(line));
    }
    lines_ = std::move(kept);
}

void IniDocument::remove(std::string_view section, std::string_view name)
{
    bool inSection = false;
    std::erase_if(lines_, [&](const Line& line) {
        if (line.kind == LineKind::Section)
            inSection = equalsIgnoreCase(line.name, section);
        return inSection && line.kind == LineKind::Entry && equalsIgnoreCase(line.name, name);
    });
}

} // namespace morvex

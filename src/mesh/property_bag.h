#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace morvex {

struct Utf16Less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// Ordered text-to-text map. Keys are ordered by UTF-16 code units (case
// sensitive, a prefix sorts first); integers and booleans are stored as text.
class PropertyBag {
public:
    using Map = std::map<std::string, std::string, Utf16Less>;

    // An empty key is ignored; an existing key has its value replaced.
    void setProperty(std::string_view key, std::string_view value);
    bool hasProperty(std::string_view key) const;
    // A present key with an empty value gives the empty text, not the default.
    std::string getProperty(std::string_view key, std::string_view fallback = {}) const;
    void removeProperty(std::string_view key);

    // Signed decimal text of the 32-bit value: colour 0xFFC8C8C8 is "-3618616".
    void setIntProperty(std::string_view key, std::int32_t value);
    // Leading blanks and one sign, then digits up to the first non-digit,
    // within the first 259 characters; 0 when absent or empty. Saturates at
    // the 32-bit range.
    std::int32_t getIntProperty(std::string_view key) const;

    void setBoolProperty(std::string_view key, bool value);
    // True exactly when the value is present and begins with '1'.
    bool getBoolProperty(std::string_view key) const;

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    void clear() { entries_.clear(); }

    // In ascending key order.
    Map::const_iterator begin() const { return entries_.begin(); }
    Map::const_iterator end() const { return entries_.end(); }

    friend bool operator==(const PropertyBag&, const PropertyBag&) = default;

private:
    Map entries_;
};

// Parses the integer prefix of a text as getIntProperty does.
std::int32_t parseLeadingInt(std::string_view text);

} // namespace morvex

#include "mesh/property_bag.h"

#include "support/text/numbers.h"
#include "support/text/text.h"

namespace morvex {

bool Utf16Less::operator()(std::string_view a, std::string_view b) const
{
    return compareUtf16(a, b) < 0;
}

void PropertyBag::setProperty(std::string_view key, std::string_view value)
{
    if (key.empty())
        return;
    auto found = entries_.find(key);
    if (found != entries_.end())
        found->second.assign(value);
    else
        entries_.emplace(std::string(key), std::string(value));
}

bool PropertyBag::hasProperty(std::string_view key) const
{
    return entries_.find(key) != entries_.end();
}

std::string PropertyBag::getProperty(std::string_view key, std::string_view fallback) const
{
    auto found = entries_.find(key);
    return found != entries_.end() ? found->second : std::string(fallback);
}

void PropertyBag::removeProperty(std::string_view key)
{
    auto found = entries_.find(key);
    if (found != entries_.end())
        entries_.erase(found);
}

void PropertyBag::setIntProperty(std::string_view key, std::int32_t value)
{
    char text[MaxNumberChars];
    setProperty(key, std::string_view(text, formatInteger(text, value)));
}

std::int32_t parseLeadingInt(std::string_view text)
{
    text = text.substr(0, MaxTextUnits);
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > 2147483648LL)
            value = 2147483648LL; // saturate, and stop growing
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<std::int32_t>(value);
}

std::int32_t PropertyBag::getIntProperty(std::string_view key) const
{
    auto found = entries_.find(key);
    return found == entries_.end() ? 0 : parseLeadingInt(found->second);
}

void PropertyBag::setBoolProperty(std::string_view key, bool value)
{
    setProperty(key, value ? "1" : "0");
}

bool PropertyBag::getBoolProperty(std::string_view key) const
{
    auto found = entries_.find(key);
    return found != entries_.end() && !found->second.empty() && found->second.front() == '1';
}

} // namespace morvex

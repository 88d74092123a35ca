#include "app/file_list_rows.h"

#include "app/conversion_status.h"
#include "app/input_formats.h"
#include "support/text/text.h"

#include <array>
#include <charconv>

namespace morvex {
namespace {

constexpr std::uint32_t StatusBits = 0x0F;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

char foldCase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares the digit runs starting at a[i] and b[j] by value and moves
// both past their runs; leading zeros do not count.
int compareDigitRuns(std::string_view a, std::size_t& i, std::string_view b, std::size_t& j)
{
    while (i < a.size() && a[i] == '0' && i + 1 < a.size() && isDigit(a[i + 1]))
        ++i;
    while (j < b.size() && b[j] == '0' && j + 1 < b.size() && isDigit(b[j + 1]))
        ++j;
    const std::size_t startA = i;
    const std::size_t startB = j;
    while (i < a.size() && isDigit(a[i]))
        ++i;
    while (j < b.size() && isDigit(b[j]))
        ++j;
    const std::size_t lengthA = i - startA;
    const std::size_t lengthB = j - startB;
    if (lengthA != lengthB)
        return lengthA < lengthB ? -1 : 1;
    return a.substr(startA, lengthA).compare(b.substr(startB, lengthB));
}

} // namespace

std::string formatColumnText(std::string_view extension)
{
    const std::string lower = asciiLower(withoutLeadingDot(extension));
    if ((formatFlagsFor(lower) & NativeFormatFlag) == 0)
        return lower;
    std::string upper = lower;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

std::string sizeColumnText(std::uint64_t bytes)
{
    if (bytes == 0)
        return "-";
    const double mebibytes = static_cast<double>(bytes / 1024) / 1024.0;
    if (mebibytes < 0.01)
        return "0.01";
    std::array<char, 32> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), mebibytes, std::chars_format::fixed, 2);
    return error == std::errc() ? std::string(buffer.data(), end) : std::string("-");
}

std::string_view statusColumnText(std::uint32_t flags)
{
    if ((flags & SupportedFormatFlag) == 0)
        return UnsupportedFormatText;
    return conversionStatusText(static_cast<ConversionStatus>(flags & StatusBits));
}

int stateIconIndex(std::uint32_t flags)
{
    if ((flags & SupportedFormatFlag) == 0)
        return 3;
    switch (static_cast<ConversionStatus>(flags & StatusBits)) {
    case ConversionStatus::Ready:
    case ConversionStatus::Scheduled: return 0;
    case ConversionStatus::Converting: return 1;
    case ConversionStatus::Success:
    case ConversionStatus::Replaced:
    case ConversionStatus::ConvertedAndRenamed: return 2;
    default: return 3;
    }
}

std::string selectionStatusText(std::size_t selectedRows, std::size_t rowCount)
{
    if (rowCount == 0)
        return std::string(NoFilesInListText);
    if (selectedRows == 0)
        return std::string(NoFilesSelectedText);
    return std::to_string(selectedRows) + " of " + std::to_string(rowCount) + " files selected.";
}

int compareLogically(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            if (const int order = compareDigitRuns(a, i, b, j); order != 0)
                return order;
            continue;
        }
        const char left = foldCase(a[i]);
        const char right = foldCase(b[j]);
        if (left != right)
            return static_cast<unsigned char>(left) < static_cast<unsigned char>(right) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i == a.size() && j == b.size())
        return 0;
    return i == a.size() ? -1 : 1;
}

} // namespace morvex

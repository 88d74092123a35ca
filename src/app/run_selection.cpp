#include "app/run_selection.h"

#include "app/input_formats.h"

#include <algorithm>

namespace morvex {
namespace {

constexpr std::uint32_t StatusBits = 0x0F;

} // namespace

ConversionStatus rowStatus(const ListRow& row)
{
    return static_cast<ConversionStatus>(row.flags & StatusBits);
}

std::vector<std::filesystem::path> prepareRunSelection(std::vector<ListRow>& rows)
{
    for (ListRow& row : rows)
        if (rowStatus(row) != ConversionStatus::CannotBeConverted)
            row.flags &= ~StatusBits;
    if (std::none_of(rows.begin(), rows.end(), [](const ListRow& row) { return row.selected; }))
        for (ListRow& row : rows)
            row.selected = true;
    std::vector<std::filesystem::path> paths;
    for (const ListRow& row : rows)
        if (row.selected && (row.flags & SupportedFormatFlag) != 0)
            paths.push_back(row.path);
    return paths;
}

} // namespace morvex

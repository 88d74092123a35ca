#include "app/program_starts.h"

#include <limits>
#include <string>

namespace morvex {
namespace {

constexpr std::string_view SettingsSection = "Settings";
constexpr std::string_view RunsName = "Runs";

std::int32_t countedStart(std::int32_t before)
{
    if (before < 0)
        return 1;
    return before == std::numeric_limits<std::int32_t>::max() ? before : before + 1;
}

} // namespace

std::int32_t recordProgramStart(const SettingsStore& store)
{
    std::int32_t runs = 1;
    const bool stored = store.update([&runs](IniDocument& document) {
        runs = countedStart(settingToInt(document.find(SettingsSection, RunsName), 0));
        return document.set(SettingsSection, RunsName, std::to_string(runs));
    });
    // A store that cannot be written still lets this start count itself,
    // from what it can read.
    if (!stored)
        runs = countedStart(store.readInt(SettingsSection, RunsName, 0));
    return runs;
}

bool firstRunTipDue(std::int32_t runs)
{
    return runs >= 1 && runs <= FirstRunTipStarts;
}

} // namespace morvex

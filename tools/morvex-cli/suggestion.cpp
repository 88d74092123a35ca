#include "suggestion.h"

#include "support/text/text.h"

#include <algorithm>
#include <vector>

namespace morvex::cli {
namespace {

// Letters inserted, removed, replaced or two neighbours swapped.
std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[b.size()];
}

} // namespace

std::string didYouMean(std::string_view typed, std::span<const std::string_view> known)
{
    const std::string lower = asciiLower(typed);
    std::string_view best;
    std::size_t bestDistance = 0;
    for (std::string_view word : known) {
        const std::size_t distance = editDistance(lower, asciiLower(word));
        if (best.empty() || distance < bestDistance) {
            best = word;
            bestDistance = distance;
        }
    }
    // One edit in short words, two in longer ones: further off is a guess.
    const std::size_t allowed = typed.size() <= 4 ? 1 : 2;
    if (best.empty() || bestDistance > allowed)
        return {};
    return " (did you mean '" + std::string(best) + "'?)";
}

} // namespace morvex::cli

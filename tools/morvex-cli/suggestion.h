#pragma once

#include <span>
#include <string>
#include <string_view>

namespace morvex::cli {

// " (did you mean 'convert'?)" for the known word closest to a misspelt
// one, when it is close enough to be meant (a letter or two off, in any
// case); empty otherwise.
std::string didYouMean(std::string_view typed, std::span<const std::string_view> known);

} // namespace morvex::cli

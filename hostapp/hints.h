// "Did you mean ...?" for names the user mistyped: commands, field names.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The name of `names` that `word` most likely meant: the one that differs only
// in case, else the single closest one within two edits (a letter added,
// dropped, changed, or two neighbours swapped). Nullopt when none is close.
std::optional<std::string> closestName(const std::string& word, const std::vector<std::string>& names);

// " (did you mean 'NAME'?)" for a closest name, else "".
std::string didYouMean(const std::string& word, const std::vector<std::string>& names);

// "a, b and c", or "a, b or c" with the conjunction "or".
std::string spokenList(const std::vector<std::string>& items, const char* conjunction = "and");

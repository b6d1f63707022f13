#include "hints.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t kMaxEdits = 2;

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Optimal string alignment distance, case-insensitive.
std::size_t editDistance(const std::string& a, const std::string& b) {
    const std::string x = lowered(a), y = lowered(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t cost = x[i - 1] == y[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[x.size()][y.size()];
}

}  // namespace

std::optional<std::string> closestName(const std::string& word, const std::vector<std::string>& names) {
    if (word.empty()) return std::nullopt;
    const std::string key = lowered(word);
    for (const std::string& name : names) {
        if (lowered(name) == key) return name;
    }
    // Short words are too close to too many names to guess.
    const std::size_t limit = std::min(kMaxEdits, word.size() / 3);
    std::optional<std::string> best;
    std::size_t bestDistance = limit + 1;
    bool tie = false;
    for (const std::string& name : names) {
        const std::size_t distance = editDistance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tie = false;
        } else if (distance == bestDistance) {
            tie = true;
        }
    }
    return best && !tie ? best : std::nullopt;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& names) {
    const std::optional<std::string> name = closestName(word, names);
    return name ? " (did you mean '" + *name + "'?)" : std::string{};
}

std::string spokenList(const std::vector<std::string>& items, const char* conjunction) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i == 0 ? "" : (i + 1 == items.size() ? std::string(" ") + conjunction + " " : ", ")) + items[i];
    }
    return text;
}

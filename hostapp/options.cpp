#include "options.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <regex>

namespace {

std::string secondsRange(double low, double high, const std::string& zeroMeaning) {
    return zeroMeaning.empty() ? fmt::format("from {} to {}", low, high)
                               : fmt::format("from {} to {}, or 0 ({})", low, high, zeroMeaning);
}

}  // namespace

std::string checkSeconds(const std::string& text, double low, double high, const std::string& zeroMeaning) {
    static const std::regex number(R"([-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?)");
    const std::string range = secondsRange(low, high, zeroMeaning);
    if (!std::regex_match(text, number)) {
        return fmt::format("'{}' is not a number of seconds; give one {}", text, range);
    }
    const double value = std::strtod(text.c_str(), nullptr);
    if (value == 0 && !zeroMeaning.empty()) return {};
    if (!std::isfinite(value) || value < low || value > high) {
        return fmt::format("{} s is out of range; give a number of seconds {}", text, range);
    }
    return {};
}

std::string checkCount(const std::string& text, int low, int high) {
    static const std::regex digits(R"([-+]?\d+)");
    if (!std::regex_match(text, digits)) {
        return fmt::format("'{}' is not a whole number; give one from {} to {}", text, low, high);
    }
    const std::string magnitude = text.substr(text[0] == '-' || text[0] == '+' ? 1 : 0);
    const bool inRange = magnitude.size() <= 9 && text[0] != '-' && std::stoi(magnitude) >= low &&
                         std::stoi(magnitude) <= high;
    return inRange ? std::string{} : fmt::format("{} is out of range; give a whole number from {} to {}", text, low, high);
}

std::string checkSymbol(const std::string& text) {
    if (text.empty()) return "a symbol is empty; give symbols such as ACME, separated by commas or blanks";
    if (text.find_first_of(" \t,") != std::string::npos) return "'" + text + "' is not one symbol";
    return {};
}

#include "options.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <charconv>
#include <cmath>

template <typename T>
bool readNumber(std::string_view text, T& value, bool* outOfRange) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (outOfRange != nullptr) *outOfRange = error == std::errc::result_out_of_range && stop == end;
    return error == std::errc() && stop == end && !text.empty();
}
template bool readNumber<int>(std::string_view, int&, bool*);
template bool readNumber<long long>(std::string_view, long long&, bool*);
template bool readNumber<unsigned>(std::string_view, unsigned&, bool*);
template bool readNumber<double>(std::string_view, double&, bool*);

std::string checkSeconds(const std::string& text, double low, double high, const std::string& zeroMeaning) {
    const std::string range = zeroMeaning.empty() ? fmt::format("from {} to {}", low, high)
                                                  : fmt::format("from {} to {}, or 0 ({})", low, high, zeroMeaning);
    double value = 0;
    bool tooLarge = false;
    if (!readNumber(text, value, &tooLarge) && !tooLarge) {
        return fmt::format("'{}' is not a number of seconds; give one {}", text, range);
    }
    if (!tooLarge && !std::isfinite(value)) return fmt::format("'{}' is not a number of seconds; give one {}", text, range);
    if (!tooLarge && value == 0 && !zeroMeaning.empty()) return {};
    if (tooLarge || value < low || value > high) {
        return fmt::format("{} s is out of range; give a number of seconds {}", text, range);
    }
    return {};
}

std::string checkCount(const std::string& text, int low, int high) {
    long long value = 0;
    bool tooLarge = false;
    if (!readNumber(text, value, &tooLarge) && !tooLarge) {
        return fmt::format("'{}' is not a whole number; give one from {} to {}", text, low, high);
    }
    return !tooLarge && value >= low && value <= high
               ? std::string{}
               : fmt::format("{} is out of range; give a whole number from {} to {}", text, low, high);
}

std::string checkSymbol(const std::string& text) {
    if (text.empty()) return "a symbol is empty; give symbols such as ACME, separated by commas or blanks";
    if (text.find_first_of(" \t,") != std::string::npos) return "'" + text + "' is not one symbol";
    return {};
}

CLI::Validator secondsOption(double low, double high, const std::string& zeroMeaning) {
    return CLI::Validator([=](std::string& text) { return checkSeconds(text, low, high, zeroMeaning); }, "SECONDS");
}

// CLI11 converts whole numbers as C does (a leading 0 makes them octal), so
// the check hands on the number in plain decimal digits.
CLI::Validator wholeNumberOption(int low, int high) {
    return CLI::Validator(
        [=](std::string& text) {
            std::string error = checkCount(text, low, high);
            long long value = 0;
            if (error.empty() && readNumber(text, value)) text = std::to_string(value);
            return error;
        },
        fmt::format("{}-{}", low, high));
}

CLI::Validator symbolOption() { return CLI::Validator([](std::string& text) { return checkSymbol(text); }, ""); }

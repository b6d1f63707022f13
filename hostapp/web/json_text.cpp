#include "json_text.h"

#include <fmt/format.h>

#include <cmath>

#include "console.h"

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            out += fmt::format("\\u{:04x}", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) return "null";
    return fmt::format("{}", *value);
}

std::string jsonBar(const Bar& bar) {
    return fmt::format(R"({{"time":{},"open":{},"high":{},"low":{},"close":{},"volume":{}}})", secondsOf(bar.time),
                       jsonNumber(bar.open), jsonNumber(bar.high), jsonNumber(bar.low), jsonNumber(bar.close),
                       jsonNumber(bar.volume));
}

std::string jsonError(const std::string& text) { return "{\"error\":" + jsonString(text) + "}"; }

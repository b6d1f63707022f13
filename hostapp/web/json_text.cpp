#include "json_text.h"

#include <cmath>

#include "console.h"

std::string dumpJson(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json jsonNumber(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) return nullptr;
    return *value;
}

Json jsonBar(const Bar& bar) {
    return {{"time", secondsOf(bar.time)}, {"open", jsonNumber(bar.open)},   {"high", jsonNumber(bar.high)},
            {"low", jsonNumber(bar.low)},  {"close", jsonNumber(bar.close)}, {"volume", jsonNumber(bar.volume)}};
}

std::string jsonError(const std::string& text) { return dumpJson({{"error", text}}); }

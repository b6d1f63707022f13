// The stand-in's query parser: any text is parsed or refused without a fault,
// the symbol never changes what the rest of the query means, and the bars of
// a parsed interval hold the times they are asked for.
#include <cstdint>
#include <string>
#include <string_view>

#include "simfeed/query.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool sameMeaning(const simfeed::Query& a, const simfeed::Query& b) {
    return a.interval.unit == b.interval.unit && a.interval.multiple == b.interval.multiple && a.endTime == b.endTime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = simfeed::parseQuery(text);
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) {
        require(!parsed);
        return 0;
    }
    const std::string_view symbol = text.substr(0, comma);
    if (parsed) require(parsed->symbol == symbol && simfeed::isValidSymbol(symbol));
    // The same tail behind another valid symbol means the same, or nothing both times.
    if (simfeed::isValidSymbol(symbol)) {
        const auto other = simfeed::parseQuery("ZED-1" + std::string(text.substr(comma)));
        require(parsed.has_value() == other.has_value());
        if (parsed) require(sameMeaning(*parsed, *other));
    }
    if (parsed && parsed->endTime) {
        const auto time = static_cast<std::int64_t>(*parsed->endTime);
        const std::int64_t start = simfeed::barStart(parsed->interval, time);
        require(start <= time && time < simfeed::barEnd(parsed->interval, start));
    }
    return 0;
}

#include "host_objects.h"

#include <cstring>

std::string expandLogFormat(const char* format, const char* text) {
    if (format == nullptr) return {};
    const char* argument = text != nullptr ? text : "";
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += argument;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            out += '%';
            ++p;
        } else {
            out += *p;
        }
    }
    // Some of the plug-in's formats end in a line feed; the printer adds its own.
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::vector<std::optional<double>> readValues(data::TickSupplier* source, const std::vector<std::string>& names) {
    std::vector<std::optional<double>> values;
    values.reserve(names.size());
    for (const std::string& name : names) {
        // hasValue first: getValue of a missing name would add a 0.0 entry.
        values.push_back(source->hasValue(name.c_str()) ? std::optional(source->getValue(name.c_str())) : std::nullopt);
    }
    return values;
}

std::vector<std::string> barFieldNames() { return {"O", "H", "L", "C", "V"}; }

data::CalendarRecord readTime(data::TickSupplier* source) {
    const data::CalendarRecord* time = source->getTime();
    return time != nullptr ? *time : data::CalendarRecord{};
}

Bar readBar(data::TickSupplier* source) {
    static const std::vector<std::string> names = barFieldNames();
    const data::CalendarRecord time = readTime(source);
    const std::vector<std::optional<double>> values = readValues(source, names);
    return Bar{time, values[0], values[1], values[2], values[3], values[4]};
}

void BarsConsumer::historyReady(data::HistorySupplier* supplier) {
    HistoryEvent event;
    data::TickIterator* it =
        supplier == nullptr ? nullptr : (reverse_ ? supplier->makeReverseIterator() : supplier->makeIterator());
    for (; it != nullptr && it->isValid() != 0 && event.bars.size() < kMaxBars; it->next()) {
        event.bars.push_back(readBar(it));
    }
    queue_.push(std::move(event));
}

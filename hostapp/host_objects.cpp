#include "host_objects.h"


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

namespace {

std::optional<double> readValue(data::TickSupplier* source, const char* name) {
    // hasValue first: getValue of a missing name would add a 0.0 entry.
    return source->hasValue(name) ? std::optional(source->getValue(name)) : std::nullopt;
}

}  // namespace

std::vector<std::optional<double>> readValues(data::TickSupplier* source, const std::vector<std::string>& names) {
    std::vector<std::optional<double>> values;
    values.reserve(names.size());
    for (const std::string& name : names) values.push_back(readValue(source, name.c_str()));
    return values;
}

std::vector<std::string> barFieldNames() { return {"O", "H", "L", "C", "V"}; }

data::CalendarRecord readTime(data::TickSupplier* source) {
    const data::CalendarRecord* time = source->getTime();
    return time != nullptr ? *time : data::CalendarRecord{};
}

// Read field by field: a history walk reads every bar, with no list to allocate.
Bar readBar(data::TickSupplier* source) {
    return Bar{readTime(source),      readValue(source, "O"), readValue(source, "H"),
               readValue(source, "L"), readValue(source, "C"), readValue(source, "V")};
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

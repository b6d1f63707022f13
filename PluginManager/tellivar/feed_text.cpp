#include "PluginManager/tellivar/feed_text.h"

namespace {
constexpr int kIntervalByNumber = 1;  // interval type written as a bare number
}  // namespace

std::string intervalText(data::SupplierRequest& request) {
    if (request.intervalType() == kIntervalByNumber) return std::to_string(request.intervalNumber());
    std::string text(1, request.intervalLetter());
    return text += std::to_string(request.intervalMultiple());
}

data::CalendarRecord calendarRecordOf(FeedTime time) {
    data::CalendarRecord record{};
    pTellivarClient->GetYMD(time, &record.tm_year, &record.tm_mon, &record.tm_mday);
    pTellivarClient->GetHMS(time, &record.tm_hour, &record.tm_min, &record.tm_sec);
    record.tm_year -= 1900;
    record.tm_mon -= 1;
    return record;
}

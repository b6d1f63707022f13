// What every fake feed client in this tree does alike, for the unit tests'
// recording fake (fake_feed.h) and the benchmarks' fakes (bench/fast_feed.h,
// bench/latency/driver_feed.h): feed times made and split with the stand-in's
// integer calendar arithmetic (seconds since 1970-01-01 UTC, no gmtime_r,
// which takes a process-wide lock), the bar fields' names and indexes, and
// the client operations that need no feed. Inline, so a benchmark's feed
// calls cost no more than the arithmetic.
#pragma once

#include <cstdint>
#include <cstring>

#include "feed/TellivarClient.h"
#include "simfeed/calendar.h"

constexpr std::int64_t kFeedSecondsPerDay = simfeed::kSecondsPerDay;

inline FeedTime makeFeedTime(int year, int month, int day, int hour, int minute, int second) {
    return static_cast<FeedTime>(simfeed::secondsFromCivil(year, month, day, hour, minute, second));
}

inline void splitFeedDate(FeedTime time, int* year, int* month, int* day) {
    const simfeed::CivilDate date = simfeed::civilFromDays(static_cast<std::int64_t>(time) / kFeedSecondsPerDay);
    *year = date.year;
    *month = date.month;
    *day = date.day;
}

inline void splitFeedClock(FeedTime time, int* hour, int* minute, int* second) {
    const auto inDay = static_cast<int>(time % kFeedSecondsPerDay);
    *hour = inDay / 3600;
    *minute = inDay / 60 % 60;
    *second = inDay % 60;
}

// A record set's fields, in index order.
constexpr int kBarFields = 5;
constexpr const char* kBarFieldNames[kBarFields] = {"Open", "High", "Low", "Close", "Volume"};

// The index of a bar field's long name (not null), or -1 (which GetRecDouble
// rejects). No null test: it runs per value on the benchmarks' measured paths.
inline short barFieldIndex(const char* name) {
    // First letters are distinct: one compare of the rest confirms the name.
    for (short i = 0; i < kBarFields; ++i) {
        if (name[0] == kBarFieldNames[i][0] && std::strcmp(name, kBarFieldNames[i]) == 0) return i;
    }
    return -1;
}

// A feed client with no connection: Connect keeps the status sink and reports
// nothing, logon and log-off do nothing, and feed times are made and split as
// above. The fakes add their sets.
class QuietFeedClient : public TellivarClient {
public:
    bool Connect(EConnectStatus* s) override {
        status = s;
        return s != nullptr;
    }
    void SendLogon(const char*, const char*) override {}
    void Disconnect() override {}
    void Shutdown() override {}
    FeedTime MakeTime(int year, int month, int day, int hour, int minute, int second) override {
        return makeFeedTime(year, month, day, hour, minute, second);
    }
    void GetYMD(FeedTime time, int* year, int* month, int* day) override { splitFeedDate(time, year, month, day); }
    void GetHMS(FeedTime time, int* hour, int* minute, int* second) override {
        splitFeedClock(time, hour, minute, second);
    }

    EConnectStatus* status = nullptr;  // the last Connect's
};

// The host objects tellivar-host hands to the plug-in. The plug-in calls the
// logger, the listener and the consumers on the feed client's thread (and,
// during a supplier creation, on the main thread): each of them only copies
// what it was given into an event and pushes it onto the EventQueue.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events.h"
#include "host/data.h"

// Expands the logger's one-argument format: "%s" becomes `text`, "%%" a
// single '%'; any other directive is kept as it is, never passed to printf.
std::string expandLogFormat(const char* format, const char* text);

// Field names carried by a request. Read by the plug-in during creation only.
class HostNameList final : public data::NameList {
public:
    explicit HostNameList(std::vector<std::string> names) : names_(std::move(names)) {}
    unsigned int count() override { return static_cast<unsigned int>(names_.size()); }
    const char* at(unsigned int index) override;

private:
    std::vector<std::string> names_;
};

// How a request names its interval: type 1 is "minutes by number", any other
// type is a letter of "MWDm" with a multiple.
struct IntervalSpec {
    int type = 1;
    unsigned int number = 1;
    char letter = 'm';
    unsigned int multiple = 1;
};

// One supplier request. The end-time record carries the full year and the
// month 1-12: the plug-in hands both to the feed's MakeTime as they are and
// treats a year of 1800 or less as "no end time".
class HostRequest final : public data::SupplierRequest {
public:
    HostRequest(std::string symbol, IntervalSpec interval, int recordCount, std::vector<std::string> fields,
                const data::CalendarRecord& endTime);

    unsigned int intervalNumber() override { return interval_.number; }
    int intervalType() override { return interval_.type; }
    unsigned int intervalMultiple() override { return interval_.multiple; }
    char intervalLetter() override { return interval_.letter; }
    const data::CalendarRecord* endTime() override { return &endTime_; }
    int recordCount() override { return recordCount_; }
    data::NameList* fieldNames() override { return &fields_; }
    const char* symbol() override { return symbol_.c_str(); }

private:
    std::string symbol_;
    IntervalSpec interval_;
    int recordCount_;
    HostNameList fields_;
    data::CalendarRecord endTime_;
};

// The host logger: status, info and error lines become LogEvents.
class QueueLogger final : public data::HostLogger {
public:
    // `fromPage`: marks every line as logged for a web page's supplier.
    explicit QueueLogger(EventQueue& queue, bool fromPage = false) : queue_(queue), fromPage_(fromPage) {}
    void status(const char* text, int code) override;
    void error(const char* format, const char* text) override;
    void info(const char* format, const char* text) override;

private:
    EventQueue& queue_;
    const bool fromPage_;
};

// The request context: gives the plug-in the one logger.
class HostContext final : public data::RequestContext {
public:
    explicit HostContext(QueueLogger& logger) : logger_(logger) {}
    data::HostLogger* logger() override { return &logger_; }

private:
    QueueLogger& logger_;
};

// Told of every change of the ability record; forwards the online flag.
class OnlineListener final : public data::AbilityListener {
public:
    explicit OnlineListener(EventQueue& queue) : queue_(queue) {}
    void abilityChanged(const char* providerName, data::ProviderAbility* ability) override;

private:
    EventQueue& queue_;
};

// Readers for use inside a notification: a value by name (none when the
// supplier has none), the values of `names`, the supplier's time, and the
// O/H/L/C/V of a bar.
std::optional<double> readValue(data::TickSupplier* source, const char* name);
std::vector<std::optional<double>> readValues(data::TickSupplier* source, const std::vector<std::string>& names);
data::CalendarRecord readTime(data::TickSupplier* source);
Bar readBar(data::TickSupplier* source);
// The bar fields a history request asks for, by their one-letter names.
std::vector<std::string> barFieldNames();

// A live-quote or update stream consumer: hands every notification to
// `onTicks`, on the thread that sends it (the feed thread), which copies what
// it needs and returns; it never deletes a supplier.
class TickCallback : public data::TickConsumer {
public:
    explicit TickCallback(std::function<void(data::TickSupplier*)> onTicks) : onTicks_(std::move(onTicks)) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        if (supplier != nullptr) onTicks_(supplier);
    }

private:
    const std::function<void(data::TickSupplier*)> onTicks_;
};

// Live quotes of one symbol: the requested fields, with the symbol's row.
class QuoteConsumer final : public TickCallback {
public:
    QuoteConsumer(EventQueue& queue, std::size_t row, std::vector<std::string> fields)
        : TickCallback([&queue, row, fields = std::move(fields)](data::TickSupplier* supplier) {
              queue.push(QuoteEvent{row, readTime(supplier), readValues(supplier, fields)});
          }) {}
};

// History: walks the bars inside historyReady, where the record set is held
// still, in the requested direction.
class BarsConsumer final : public data::HistoryConsumer {
public:
    BarsConsumer(EventQueue& queue, bool reverse) : queue_(queue), reverse_(reverse) {}
    void historyReady(data::HistorySupplier* supplier) override;

    // A walk stops here even if the iterator never turns invalid.
    static constexpr std::size_t kMaxBars = 1000000;

private:
    EventQueue& queue_;
    const bool reverse_;
};

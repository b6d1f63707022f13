// The host objects tellivar-host hands to the plug-in, and the events they
// hand to the main thread. The plug-in calls the logger, the listener and the
// consumers on the feed client's thread (and, during a supplier creation, on
// the main thread): each of them only copies what it was given into an event
// and pushes it onto the EventQueue; only the main thread pops and prints.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "host/data.h"

// A line of the host logger: status (with its code), info or error.
struct LogEvent {
    enum class Kind { Status, Info, Error };
    Kind kind;
    std::string text;
    int code = 0;
    // Logged for a supplier that a web page asked for (serve), not for the session.
    bool fromPage = false;
    std::thread::id thread = std::this_thread::get_id();  // the thread the plug-in logged it on
};

// The plug-in's status reports of a logon and of a log-off.
inline constexpr char kLogonStatus[] = "Logon";
inline constexpr char kLogOffStatus[] = "LogOff";

// The ability record's online flag as a listener saw it.
struct OnlineEvent {
    std::string provider;
    bool online;
};

// Values copied out of a live-quote notification; one slot per requested field.
struct QuoteEvent {
    std::size_t row;  // index of the symbol in the command's list
    data::CalendarRecord time;
    std::vector<std::optional<double>> values;
};

// One bar of a history or of the update stream.
struct Bar {
    data::CalendarRecord time;
    std::optional<double> open, high, low, close, volume;
};

// The complete history, walked inside historyReady in the requested direction.
struct HistoryEvent {
    std::vector<Bar> bars;
};

// The newest bar, copied inside ticksChanged of the update stream.
struct UpdateEvent {
    Bar bar;
};

using Event = std::variant<LogEvent, OnlineEvent, QuoteEvent, HistoryEvent, UpdateEvent>;

// Events for the main thread (the only consumer), at most kLimit: past it,
// quotes and bar updates are dropped and counted (the symbol's next one brings
// its values again); log lines, online changes and histories, which end or
// answer a wait, may use kReserve places more before they are dropped too.
class EventQueue {
public:
    static constexpr std::size_t kLimit = 10000, kReserve = 1000;

    void push(Event event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const bool data = std::holds_alternative<QuoteEvent>(event) || std::holds_alternative<UpdateEvent>(event);
            if (events_.size() >= kLimit + (data ? 0 : kReserve)) {
                ++dropped_;
                return;
            }
            events_.push_back(std::move(event));
        }
        ready_.notify_one();
    }

    // Waits until an event is there, or `deadline` passes. `ownOnly` takes
    // only log lines and online changes, and leaves the others in their order.
    std::optional<Event> popUntil(std::chrono::steady_clock::time_point deadline, bool ownOnly = false) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto next = events_.begin();
        const auto found = [&] {
            next = std::find_if(events_.begin(), events_.end(), [ownOnly](const Event& event) {
                return !ownOnly || std::holds_alternative<LogEvent>(event) || std::holds_alternative<OnlineEvent>(event);
            });
            return next != events_.end();
        };
        if (!ready_.wait_until(lock, deadline, found)) return std::nullopt;
        Event event = std::move(*next);
        events_.erase(next);
        return event;
    }

    // Events dropped since the last call.
    std::size_t takeDropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(dropped_, 0);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;  // guarded by mutex_
    std::size_t dropped_ = 0;   // guarded by mutex_
};

// Expands the logger's one-argument format: "%s" becomes `text`, "%%" a
// single '%'; any other directive is kept as it is, never passed to printf.
std::string expandLogFormat(const char* format, const char* text);

// Field names carried by a request. Read by the plug-in during creation only.
class HostNameList final : public data::NameList {
public:
    explicit HostNameList(std::vector<std::string> names) : names_(std::move(names)) {}
    unsigned int count() override { return static_cast<unsigned int>(names_.size()); }
    const char* at(unsigned int index) override { return index < names_.size() ? names_[index].c_str() : nullptr; }

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

// The end-time record of a request without an end time: all zeros.
inline data::CalendarRecord noEndTime() { return data::CalendarRecord{}; }

// One supplier request. The end-time record carries the full year and the
// month 1-12: the plug-in hands both to the feed's MakeTime as they are and
// treats a year of 1800 or less as "no end time". An update stream's request
// names no fields, and only a history's has an end time.
class HostRequest final : public data::SupplierRequest {
public:
    HostRequest(std::string symbol, IntervalSpec interval, int recordCount, std::vector<std::string> fields = {},
                const data::CalendarRecord& endTime = noEndTime())
        : symbol_(std::move(symbol)), interval_(interval), recordCount_(recordCount), fields_(std::move(fields)),
          endTime_(endTime) {}

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
    void status(const char* text, int code) override {
        push(LogEvent::Kind::Status, text != nullptr ? text : "", code);
    }
    void error(const char* format, const char* text) override {
        push(LogEvent::Kind::Error, expandLogFormat(format, text));
    }
    void info(const char* format, const char* text) override {
        push(LogEvent::Kind::Info, expandLogFormat(format, text));
    }

private:
    void push(LogEvent::Kind kind, std::string text, int code = 0) {
        queue_.push(LogEvent{kind, std::move(text), code, fromPage_});
    }

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
    void abilityChanged(const char* providerName, data::ProviderAbility* ability) override {
        if (ability == nullptr) return;
        queue_.push(OnlineEvent{providerName != nullptr ? providerName : "", ability->isOnline()});
    }

private:
    EventQueue& queue_;
};

// Readers for use inside a notification: the values of `names` (none for a
// name the supplier has none of), the supplier's time, and the O/H/L/C/V of a bar.
std::vector<std::optional<double>> readValues(data::TickSupplier* source, const std::vector<std::string>& names);
data::CalendarRecord readTime(data::TickSupplier* source);
Bar readBar(data::TickSupplier* source);
// The bar fields a history request asks for, by their one-letter names.
std::vector<std::string> barFieldNames();

// A live-quote or update stream consumer: hands every notification to
// `onTicks`, on the thread that sends it (the feed thread), which copies what
// it needs and returns; it never deletes a supplier.
class TickCallback final : public data::TickConsumer {
public:
    explicit TickCallback(std::function<void(data::TickSupplier*)> onTicks) : onTicks_(std::move(onTicks)) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        if (supplier != nullptr) onTicks_(supplier);
    }

private:
    const std::function<void(data::TickSupplier*)> onTicks_;
};

// Live quotes of one symbol: pushes the requested fields, with the symbol's row.
inline std::unique_ptr<TickCallback> quoteConsumer(EventQueue& queue, std::size_t row, std::vector<std::string> fields) {
    return std::make_unique<TickCallback>([&queue, row, fields = std::move(fields)](data::TickSupplier* supplier) {
        queue.push(QuoteEvent{row, readTime(supplier), readValues(supplier, fields)});
    });
}

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

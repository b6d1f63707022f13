// Events that plug-in notifications hand to the main thread. Every host object
// that the plug-in calls (logger, listener, consumers) copies what it needs
// into one of these and pushes it; only the main thread pops and prints.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// Unbounded multi-producer queue; the main thread is the only consumer.
class EventQueue {
public:
    void push(Event event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
        }
        ready_.notify_one();
    }

    // Waits until an event is there or `deadline` passes.
    std::optional<Event> popUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ready_.wait_until(lock, deadline, [this] { return !events_.empty(); })) return std::nullopt;
        Event event = std::move(events_.front());
        events_.pop_front();
        return event;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> events_;  // guarded by mutex_
};

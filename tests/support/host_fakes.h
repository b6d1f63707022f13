// Hand-written fakes of the host objects the plug-in calls. Each keeps every
// call it receives, guarded by a mutex, so tests can assert the exact texts
// and order whether the plug-in called from the host thread or the feed thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/data.h"

// One call on the host logger: kind is "status", "info" or "error"; `format`
// holds the status text for "status"; `code` is set for "status" only.
struct LogLine {
    std::string kind;
    std::string format;
    std::string text;
    int code = 0;

    bool operator==(const LogLine& other) const {
        return kind == other.kind && format == other.format && text == other.text && code == other.code;
    }
};

class FakeLogger : public data::HostLogger {
public:
    void status(const char* text, int code) override;
    void error(const char* format, const char* text) override;
    void info(const char* format, const char* text) override;

    std::vector<LogLine> lines() const;
    std::vector<LogLine> linesOf(const std::string& kind) const;
    void clear();

private:
    void add(LogLine line);

    mutable std::mutex mutex_;  // guards lines_
    std::vector<LogLine> lines_;
};

class FakeContext : public data::RequestContext {
public:
    data::HostLogger* logger() override;

    FakeLogger log;
    std::atomic<int> loggerCalls{0};
};

// A name list whose entries may be null (std::nullopt).
class FakeNameList : public data::NameList {
public:
    FakeNameList() = default;
    FakeNameList(std::initializer_list<std::optional<std::string>> names) : names(names) {}

    unsigned int count() override;
    const char* at(unsigned int index) override;

    std::vector<std::optional<std::string>> names;
    int countCalls = 0;
};

// Every field settable; defaults describe a daily request for "XYZ".
class FakeRequest : public data::SupplierRequest {
public:
    unsigned int intervalNumber() override { return number; }
    int intervalType() override { return type; }
    unsigned int intervalMultiple() override { return multiple; }
    char intervalLetter() override { return letter; }
    const data::CalendarRecord* endTime() override { return hasEndTime ? &end : nullptr; }
    int recordCount() override { return records; }
    data::NameList* fieldNames() override { return &names; }
    const char* symbol() override { return symbolText ? symbolText->c_str() : nullptr; }

    std::optional<std::string> symbolText = std::string("XYZ");  // nullopt: symbol() gives null
    int type = 2;
    unsigned int number = 1;
    char letter = 'D';
    unsigned int multiple = 1;
    data::CalendarRecord end{};  // all zeros: no end time
    bool hasEndTime = true;      // false: endTime() gives null
    int records = 10;
    FakeNameList names;
};

// Records each historyReady; `onReady` runs inside the call (it may read the
// supplier's iterators, block, or throw).
class RecordingHistoryConsumer : public data::HistoryConsumer {
public:
    void historyReady(data::HistorySupplier* supplier) override;

    std::vector<data::HistorySupplier*> calls() const;

    std::function<void(data::HistorySupplier*)> onReady;

private:
    mutable std::mutex mutex_;
    std::vector<data::HistorySupplier*> calls_;
};

// Counts ticksChanged; `onTicks` runs inside the call (it may read values,
// block, or throw).
class RecordingTickConsumer : public data::TickConsumer {
public:
    void ticksChanged(data::TickSupplier* supplier) override;

    std::atomic<int> count{0};
    std::atomic<data::TickSupplier*> lastSupplier{nullptr};
    std::function<void(data::TickSupplier*)> onTicks;
};

// Records each notification with the provider name and the online flag seen.
class RecordingListener : public data::AbilityListener {
public:
    struct Call {
        std::string providerName;
        data::ProviderAbility* ability;
        bool online;
    };

    void abilityChanged(const char* providerName, data::ProviderAbility* ability) override;
    std::vector<Call> calls() const;

    // Appends this listener's tag to a shared list, to check notification order.
    std::vector<std::string>* order = nullptr;
    std::string tag;

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

// A one-shot gate: threads wait until a test opens it.
class Gate {
public:
    void open();
    void wait();
    bool isOpen() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Fakes of the host objects the plug-in calls, for every test, fuzz target and
// benchmark: the unit tests that link the plug-in, the tests that load it with
// dlopen, and the tools. Header-only, so none of them links anything for it.
//
// Threads: every recording fake may be called from the feed thread and the
// host thread at once. Each guards what it records with its one mutex
// (`Waitable::mutex`) and lets a test wait, bounded, for a condition on it.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/data.h"

namespace hostfakes {
inline std::string textOf(const char* s) { return s == nullptr ? "<null>" : s; }
}  // namespace hostfakes

// A mutex and a condition to wait on, with a bound; shared by the fakes below.
class Waitable {
public:
    static constexpr auto kPatience = std::chrono::seconds(30);

    // True once `pred` holds (checked with `mutex` held), false after kPatience.
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, pred);
    }
    void notify() { changed.notify_all(); }

    mutable std::mutex mutex;
    std::condition_variable changed;
};

// ---- Loggers and contexts ------------------------------------------------------

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

// Keeps every call, in order.
class FakeLogger : public data::HostLogger, public Waitable {
public:
    void status(const char* text, int code) override { add({"status", hostfakes::textOf(text), "", code}); }
    void error(const char* format, const char* text) override {
        add({"error", hostfakes::textOf(format), hostfakes::textOf(text), 0});
    }
    void info(const char* format, const char* text) override {
        add({"info", hostfakes::textOf(format), hostfakes::textOf(text), 0});
    }

    // The lines, for a waitFor predicate (mutex held).
    const std::vector<LogLine>& linesLocked() const { return lines_; }
    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines_;
    }
    std::vector<LogLine> linesOf(const std::string& kind) const {
        std::vector<LogLine> result;
        for (const LogLine& line : lines()) {
            if (line.kind == kind) result.push_back(line);
        }
        return result;
    }
    // Lines of `kind` whose format (or status text) is `format`.
    std::size_t count(const std::string& kind, const std::string& format) const {
        std::lock_guard<std::mutex> lock(mutex);
        return countLocked(kind, format);
    }
    // The same, for a waitFor predicate (mutex held).
    std::size_t countLocked(const std::string& kind, const std::string& format) const {
        return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) {
            return l.kind == kind && l.format == format;
        }));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        lines_.clear();
    }

private:
    void add(LogLine line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            lines_.push_back(std::move(line));
        }
        notify();
    }

    std::vector<LogLine> lines_;  // mutex
};

// Keeps only a rough count of the calls and allocates nothing: for tests that
// count heap use and for the benchmarks (a plain load and store, no locked add).
class QuietLogger : public data::HostLogger {
public:
    void status(const char*, int) override { bump(); }
    void error(const char*, const char*) override { bump(); }
    void info(const char*, const char*) override { bump(); }

    std::atomic<long> count{0};

private:
    void bump() { count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
};

template <class Logger>
class ContextWith : public data::RequestContext {
public:
    data::HostLogger* logger() override {
        loggerCalls.fetch_add(1, std::memory_order_relaxed);
        return &log;
    }

    Logger log;
    std::atomic<int> loggerCalls{0};
};
using FakeContext = ContextWith<FakeLogger>;
using QuietContext = ContextWith<QuietLogger>;

// ---- Requests ------------------------------------------------------------------

// A name list whose entries may be null (std::nullopt).
class FakeNameList : public data::NameList {
public:
    FakeNameList() = default;
    FakeNameList(std::initializer_list<std::optional<std::string>> list) : names(list) {}

    unsigned int count() override {
        ++countCalls;
        return static_cast<unsigned int>(names.size());
    }
    const char* at(unsigned int index) override {
        return index < names.size() && names[index] ? names[index]->c_str() : nullptr;
    }

    std::vector<std::optional<std::string>> names;
    int countCalls = 0;
};

// Every field settable; defaults describe a daily request of 10 records.
class FakeRequest : public data::SupplierRequest {
public:
    FakeRequest() = default;
    explicit FakeRequest(std::string symbol) : symbolText(std::move(symbol)) {}

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

// ---- Consumers and listeners -----------------------------------------------------

// Records each historyReady; `onReady` runs inside the call (it may read the
// supplier's iterators, block, or throw).
class RecordingHistoryConsumer : public data::HistoryConsumer {
public:
    void historyReady(data::HistorySupplier* supplier) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(supplier);
        }
        if (onReady) onReady(supplier);
    }
    std::vector<data::HistorySupplier*> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    std::function<void(data::HistorySupplier*)> onReady;

private:
    mutable std::mutex mutex_;
    std::vector<data::HistorySupplier*> calls_;
};

// Counts ticksChanged; `onTicks` runs inside the call (it may read values,
// block, or throw).
class RecordingTickConsumer : public data::TickConsumer {
public:
    void ticksChanged(data::TickSupplier* supplier) override {
        ++count;
        lastSupplier = supplier;
        if (onTicks) onTicks(supplier);
    }

    std::atomic<int> count{0};
    std::atomic<data::TickSupplier*> lastSupplier{nullptr};
    std::function<void(data::TickSupplier*)> onTicks;
};

// Records each notification with the provider name and the online flag seen.
class RecordingListener : public data::AbilityListener, public Waitable {
public:
    struct Call {
        std::string providerName;
        data::ProviderAbility* ability;
        bool online;
    };

    void abilityChanged(const char* providerName, data::ProviderAbility* ability) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls_.push_back({hostfakes::textOf(providerName), ability, ability->isOnline()});
            seen.push_back(ability->isOnline());
            if (order != nullptr) order->push_back(tag);
        }
        notify();
    }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> lock(mutex);
        return calls_;
    }

    std::vector<bool> seen;  // mutex: the online flag at each notification
    // Appends this listener's tag to a shared list, to check notification order.
    std::vector<std::string>* order = nullptr;
    std::string tag;

private:
    std::vector<Call> calls_;  // mutex
};

// One bar read through a history iterator or an update supplier.
struct BarRead {
    data::CalendarRecord time;
    double open, high, low, close, volume;
};

inline BarRead readBar(data::TickSupplier* source) {
    BarRead bar{};
    bar.time = *source->getTime();
    bar.open = source->getValue("O");
    bar.high = source->getValue("H");
    bar.low = source->getValue("L");
    bar.close = source->getValue("C");
    bar.volume = source->getValue("V");
    return bar;
}

// A calendar record and a bar as text, every digit of the values kept: what
// transcripts compare.
inline std::string timeText(const data::CalendarRecord& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}
inline std::string barText(const BarRead& bar) {
    char text[192];
    std::snprintf(text, sizeof text, "%s %.17g %.17g %.17g %.17g %.17g", timeText(bar.time).c_str(), bar.open,
                  bar.high, bar.low, bar.close, bar.volume);
    return text;
}

// Reads the newest bar of an update supplier at every notification.
class BarReader : public data::TickConsumer, public Waitable {
public:
    void ticksChanged(data::TickSupplier* supplier) override {
        const BarRead bar = readBar(supplier);
        {
            std::lock_guard<std::mutex> lock(mutex);
            bars.push_back(bar);
        }
        notify();
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return bars.size();
    }
    std::vector<BarRead> bars;  // mutex
};

// Walks both iterators inside historyReady, as a host does.
class HistoryWalker : public data::HistoryConsumer, public Waitable {
public:
    void historyReady(data::HistorySupplier* supplier) override {
        std::vector<BarRead> fwd, rev;
        for (data::TickIterator* it = supplier->makeIterator(); it != nullptr && it->isValid() != 0; it->next())
            fwd.push_back(readBar(it));
        for (data::TickIterator* it = supplier->makeReverseIterator(); it != nullptr && it->isValid() != 0;
             it->next())
            rev.push_back(readBar(it));
        {
            std::lock_guard<std::mutex> lock(mutex);
            forward = std::move(fwd);
            reverse = std::move(rev);
            ++calls;
            thread = std::this_thread::get_id();
        }
        notify();
    }

    int calls = 0;                 // mutex
    std::thread::id thread;        // mutex
    std::vector<BarRead> forward;  // mutex
    std::vector<BarRead> reverse;  // mutex
};

// Reads the named values and the time inside every ticksChanged.
class TickReader : public data::TickConsumer, public Waitable {
public:
    explicit TickReader(std::vector<std::string> wanted = {}) : fields(std::move(wanted)) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        std::vector<double> values;
        for (const auto& name : fields) values.push_back(supplier->getValue(name.c_str()));
        const data::CalendarRecord time = *supplier->getTime();
        {
            std::lock_guard<std::mutex> lock(mutex);
            history.push_back(std::move(values));
            times.push_back(time);
        }
        notify();
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mutex);
        return history.size();
    }

    const std::vector<std::string> fields;
    std::vector<std::vector<double>> history;  // mutex: the values at each call
    std::vector<data::CalendarRecord> times;   // mutex
};

// ---- Gate and plug-in loader -----------------------------------------------------------

// A one-shot gate: threads wait until a test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }
    bool isOpen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// The plug-in at `path`, loaded the way a host loads it, and unloaded with it.
class LoadedPlugin {
public:
    explicit LoadedPlugin(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) init = reinterpret_cast<InitDataInterfaceFn>(dlsym(handle, "init_data_interface"));
    }
    ~LoadedPlugin() {
        if (handle != nullptr) dlclose(handle);
    }
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;

    void* handle = nullptr;
    InitDataInterfaceFn init = nullptr;
};

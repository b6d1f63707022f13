// Small host objects for the integration tests, which load the real plug-in
// with dlopen and talk to it only through host/data.h. Every fake may be
// called from the feed thread; each guards what it records with one mutex and
// lets a test wait (bounded) for a condition on it.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/data.h"

namespace hostfake {

constexpr auto kPatience = std::chrono::seconds(30);

// A mutex and a condition to wait on, shared by every fake below.
class Waitable {
public:
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, pred);
    }
    void notify() { changed.notify_all(); }

    std::mutex mutex;
    std::condition_variable changed;
};

struct Line {
    std::string kind, format, text;
    int code;
};

class Logger : public data::HostLogger, public Waitable {
public:
    void status(const char* text, int code) override { add({"status", text ? text : "", "", code}); }
    void error(const char* format, const char* text) override { add({"error", format ? format : "", text ? text : "", 0}); }
    void info(const char* format, const char* text) override { add({"info", format ? format : "", text ? text : "", 0}); }

    // Number of lines of `kind` whose format (or status text) is `format`.
    std::size_t count(const std::string& kind, const std::string& format) {
        std::lock_guard<std::mutex> lock(mutex);
        return countLocked(kind, format);
    }
    std::size_t countLocked(const std::string& kind, const std::string& format) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const Line& l) {
            return l.kind == kind && l.format == format;
        }));
    }
    std::vector<Line> copy() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }

    std::vector<Line> lines;  // mutex

private:
    void add(Line line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(line));
        notify();
    }
};

class Context : public data::RequestContext {
public:
    data::HostLogger* logger() override { return &log; }
    Logger log;
};

class Names : public data::NameList {
public:
    explicit Names(std::vector<std::string> names = {}) : names(std::move(names)) {}
    unsigned int count() override { return static_cast<unsigned int>(names.size()); }
    const char* at(unsigned int index) override { return index < names.size() ? names[index].c_str() : nullptr; }
    std::vector<std::string> names;
};

// A request for `symbol`; by default daily bars, 10 records, no end time.
class Request : public data::SupplierRequest {
public:
    explicit Request(std::string symbol) : symbolText(std::move(symbol)) {}
    unsigned int intervalNumber() override { return number; }
    int intervalType() override { return type; }
    unsigned int intervalMultiple() override { return multiple; }
    char intervalLetter() override { return letter; }
    const data::CalendarRecord* endTime() override { return &end; }
    int recordCount() override { return records; }
    data::NameList* fieldNames() override { return &names; }
    const char* symbol() override { return symbolText.c_str(); }

    std::string symbolText;
    int type = 2;
    unsigned int number = 1;
    char letter = 'D';
    unsigned int multiple = 1;
    data::CalendarRecord end{};
    int records = 10;
    Names names;
};

// Records the online flag at every notification.
class Listener : public data::AbilityListener, public Waitable {
public:
    void abilityChanged(const char*, data::ProviderAbility* ability) override {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(ability->isOnline());
        notify();
    }
    std::vector<bool> seen;  // mutex
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

// Walks both iterators inside historyReady, as a host does.
class HistoryConsumer : public data::HistoryConsumer, public Waitable {
public:
    void historyReady(data::HistorySupplier* supplier) override {
        std::vector<BarRead> fwd, rev;
        for (data::TickIterator* it = supplier->makeIterator(); it != nullptr && it->isValid() != 0; it->next())
            fwd.push_back(readBar(it));
        for (data::TickIterator* it = supplier->makeReverseIterator(); it != nullptr && it->isValid() != 0;
             it->next())
            rev.push_back(readBar(it));
        std::lock_guard<std::mutex> lock(mutex);
        forward = std::move(fwd);
        reverse = std::move(rev);
        ++calls;
        thread = std::this_thread::get_id();
        notify();
    }

    int calls = 0;                    // mutex
    std::thread::id thread;           // mutex
    std::vector<BarRead> forward;     // mutex
    std::vector<BarRead> reverse;     // mutex
};

// Reads the named values inside every ticksChanged.
class TickConsumer : public data::TickConsumer, public Waitable {
public:
    explicit TickConsumer(std::vector<std::string> fields = {}) : fields(std::move(fields)) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        std::vector<double> values;
        for (const auto& name : fields) values.push_back(supplier->getValue(name.c_str()));
        const data::CalendarRecord time = *supplier->getTime();
        std::lock_guard<std::mutex> lock(mutex);
        history.push_back(std::move(values));
        times.push_back(time);
        notify();
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return history.size();
    }

    const std::vector<std::string> fields;
    std::vector<std::vector<double>> history;   // mutex: the values at each call
    std::vector<data::CalendarRecord> times;    // mutex
};

// The plug-in, loaded the way a host loads it.
class Plugin {
public:
    Plugin() {
        handle = dlopen(TELLIVAR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) init = reinterpret_cast<InitDataInterfaceFn>(dlsym(handle, "init_data_interface"));
    }
    ~Plugin() {
        if (handle != nullptr) dlclose(handle);
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void* handle = nullptr;
    InitDataInterfaceFn init = nullptr;
};

}  // namespace hostfake

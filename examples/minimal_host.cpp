// A minimal host of the Tellivar plug-in: loads it, connects, takes one daily
// history and some seconds of live quotes, then shuts down in order.
// Usage: minimal_host [PLUGIN_PATH [QUOTE_SECONDS]]   (defaults: built-in path, 10)
// Exit code 0 when the history and at least one quote arrived. See
// docs/integration.md for the rules each step follows.
#include <ace/Log_Msg.h>
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/data.h"

namespace {

// Host objects. The plug-in calls them on the feed thread, and may call the
// logger and historyReady on the thread that creates a supplier: they only
// print and store atomics, and never call back into the plug-in.
struct PrintLogger final : data::HostLogger {
    void status(const char* text, int code) override { std::printf("status: %s (%d)\n", text, code); }
    void error(const char* format, const char* text) override { print("error", format, text); }
    void info(const char* format, const char* text) override { print("info", format, text); }

    // A format holds at most one "%s"; it is expanded here, never given to printf.
    static void print(const char* kind, const char* format, const char* text) {
        std::string line = format != nullptr ? format : "";
        const auto at = line.find("%s");
        if (at != std::string::npos) line.replace(at, 2, text != nullptr ? text : "");
        while (!line.empty() && line.back() == '\n') line.pop_back();
        std::printf("%s: %s\n", kind, line.c_str());
    }
};

struct Context final : data::RequestContext {
    PrintLogger log;
    data::HostLogger* logger() override { return &log; }
};

struct Names final : data::NameList {
    std::vector<const char*> names;
    unsigned int count() override { return static_cast<unsigned int>(names.size()); }
    const char* at(unsigned int i) override { return names.at(i); }
};

// Daily bars (interval type 2, letter 'D', multiple 1). A zero end-time
// record (year 1800 or less) means "up to now".
struct Request final : data::SupplierRequest {
    const char* name = "ACME";
    int count = 0;
    Names fields;
    data::CalendarRecord noEnd{};
    unsigned int intervalNumber() override { return 0; }
    int intervalType() override { return 2; }
    unsigned int intervalMultiple() override { return 1; }
    char intervalLetter() override { return 'D'; }
    const data::CalendarRecord* endTime() override { return &noEnd; }
    int recordCount() override { return count; }
    data::NameList* fieldNames() override { return &fields; }
    const char* symbol() override { return name; }
};

// Walks the bars inside the notification, as the contract allows.
struct Bars final : data::HistoryConsumer {
    std::atomic<int> seen{-1};  // -1 until historyReady
    void historyReady(data::HistorySupplier* supplier) override {
        int bars = 0;
        double close = 0;
        for (data::TickIterator* it = supplier->makeIterator(); it->isValid() != 0; it->next(), ++bars) {
            close = it->getValue("C");
        }
        std::printf("history: %d bars, last close %.2f\n", bars, close);
        seen = bars;
    }
};

// Reads the values inside the notification; they may change right after.
struct Quotes final : data::TickConsumer {
    std::atomic<int> updates{0};
    void ticksChanged(data::TickSupplier* supplier) override {
        if (updates++ < 3) std::printf("quote: Trade %.2f Bid %.2f\n", supplier->getValue("Trade"), supplier->getValue("Bid"));
    }
};

// The plug-in also writes records through ACE's process-wide logger (to
// stderr by default): keep its errors, drop its debug records.
void maskAceDebug() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->priority_mask(log->priority_mask(ACE_Log_Msg::PROCESS) & ~static_cast<u_long>(LM_DEBUG), ACE_Log_Msg::PROCESS);
}

template <typename Done>
bool waitFor(Done done, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : TELLIVAR_PLUGIN;
    const int quoteSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    maskAceDebug();
    // Never dlclose'd: the feed thread may still be winding down at exit.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto init = library != nullptr ? reinterpret_cast<InitDataInterfaceFn>(dlsym(library, "init_data_interface")) : nullptr;
    if (init == nullptr) {
        std::printf("cannot load %s: %s\n", path, dlerror());
        return 3;
    }

    // Host objects first: they must outlive everything the plug-in makes.
    Context context;
    Request history, quote;
    history.count = 30;
    quote.fields.names = {"Trade", "Bid"};
    Bars bars;
    Quotes quotes;

    std::unique_ptr<data::DataInterfaceFactory> factory(init());
    if (!factory) return 3;
    factory->setSetting("Username", "demo");
    factory->setSetting("Password", "demo");
    std::unique_ptr<data::DataInterface> iface(factory->createDataInterface(&context));
    factory->connectionControl(&context, true);
    if (!iface || !waitFor([&] { return factory->ability()->isOnline(); }, 15)) {
        std::puts("not online");
        return 6;
    }

    std::unique_ptr<data::HistorySupplier> past(iface->createHistorySupplier(&history, &bars, &context));
    const bool complete = past && waitFor([&] { return bars.seen >= 0; }, 30);
    std::unique_ptr<data::TickSupplier> live(iface->createTickSupplier(&quote, &quotes, &context));
    std::this_thread::sleep_for(std::chrono::seconds(quoteSeconds));

    // Suppliers, then the interface, then the factory (which disconnects).
    live.reset();
    past.reset();
    iface.reset();
    factory.reset();
    std::printf("done: %d bars, %d quote updates\n", bars.seen.load(), quotes.updates.load());
    return complete && bars.seen > 0 && quotes.updates > 0 ? 0 : 1;
}

// One run of the host: the loaded plug-in, its factory, one data interface
// and the suppliers made through it, plus the host objects the plug-in calls.
//
// Threads: every member function runs on the main thread. The plug-in calls
// the logger, the listener and the consumers on the feed thread; they only
// push events, which pump() pops and hands out here.
//
// Ownership and teardown: subscriptions are deleted newest first (each its
// supplier before its consumer and request), then the data interface, then
// the factory (which disconnects the feed). The host objects the plug-in holds
// pointers to for longer (queue, logger, context, listener) are members
// declared before the plug-in objects, so they outlive them. Nothing is
// deleted from inside a notification.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "host/data.h"
#include "host_objects.h"
#include "plugin_library.h"
#include "replay_controls.h"

// The plug-in's two setting keys, as its settings panel names its controls.
inline constexpr char kUsernameKey[] = "Username";
inline constexpr char kPasswordKey[] = "Password";

struct HostOptions {
    std::string pluginPath;
    std::string feedLibrary;  // loaded before the plug-in; "": none
    std::string user = "demo";
    std::string password = "demo";
    bool verbose = false;
    double connectTimeout = 15.0;  // seconds to wait for the online flag
    // --replay-from and --replay-speed as the replay client reads them
    // ("2026-12-08T10:31:00Z", "8" or "max"); "": not given.
    std::string replayFrom;
    std::string replaySpeed;
};

// A supplier with the request and the consumer it was made with, which the
// plug-in may use until the supplier's deletion returns, so it is declared
// last and deleted first. Every supplier of the session and of serve's pages.
struct Subscription {
    std::unique_ptr<HostRequest> request;
    std::shared_ptr<void> consumer;  // a TickCallback, BarsConsumer, ...
    std::unique_ptr<data::SupplierBase> supplier;
    int users = 0;  // pages that share it (serve's charts)
};

// The supplier that `create`, a creation call of `maker`, makes for `request`
// and `consumer`, kept with both; null when it made none.
template <typename Create, typename Consumer>
std::unique_ptr<Subscription> subscribe(data::DataInterface* maker, Create create, data::RequestContext* context,
                                        std::unique_ptr<HostRequest> request, std::unique_ptr<Consumer> consumer) {
    data::SupplierBase* supplier = (maker->*create)(request.get(), consumer.get(), context);
    if (supplier == nullptr) return nullptr;
    return std::unique_ptr<Subscription>(
        new Subscription{std::move(request), std::move(consumer), std::unique_ptr<data::SupplierBase>(supplier)});
}

// A deadline `seconds` from now, or a year away for 0. `seconds` has been
// checked to be finite and at most a year.
std::chrono::steady_clock::time_point deadlineAfter(double seconds);

class HostSession {
public:
    explicit HostSession(HostOptions options);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Hands the replay options to the replay client (TELLIVAR_REPLAY_FROM and
    // TELLIVAR_REPLAY_SPEED, read at its logon), loads the feed library and the
    // plug-in, finds the replay controls and makes the factory. An exit code: 0
    // when it worked; kBadArguments for replay options and a feed library
    // without replay controls.
    int open();
    // The replay client's controls; null unless the feed library is one.
    const ReplayControls* replay() const { return replay_ ? &*replay_ : nullptr; }
    data::DataInterfaceFactory& factory() { return *factory_; }
    data::ProviderAbility& ability() { return *factory_->ability(); }
    // The ability record's interval letters; "" when it gives none.
    std::string abilityLetters() {
        const char* letters = ability().abilityLetters();
        return letters != nullptr ? letters : "";
    }

    // Stores the credentials, registers the ability listener, makes the data
    // interface and connects; waits for the online flag, or until the feed
    // logs the plug-in off (a rejected logon). An exit code.
    int connect();

    // Each makes the request and its consumer, keeps all three in a
    // Subscription until shutdown(), and returns the new supplier, or null
    // when the plug-in gave none (refusalReason() then says why).
    // Quote events carry `row`; the history is walked newest first when `reverse`.
    data::TickSupplier* subscribeQuotes(const std::string& symbol, const std::vector<std::string>& fields,
                                        std::size_t row);
    data::TickSupplier* subscribeUpdates(const std::string& symbol, const IntervalSpec& interval);
    data::HistorySupplier* requestHistory(const std::string& symbol, const IntervalSpec& interval, int count,
                                          const data::CalendarRecord& endTime, bool reverse);

    // Why the plug-in refused the last supplier, in its own words: its error
    // lines ("plug-in error: ..."), else the last info line or ACE record it
    // wrote meanwhile ("plug-in: ..."); "" when it said nothing. The lines
    // that make the reason are not printed on their own.
    const std::string& refusalReason() const { return refusal_; }

    enum class PumpResult { Done, TimedOut, Stopped };
    // Hands events to `handler` until it returns true (Done), `deadline`
    // passes (TimedOut) or a stop is requested (Stopped). Log lines and online
    // changes are printed here before they are handed on too. `tick` runs
    // about ten times a second (progress indicators, redraws).
    PumpResult pump(std::chrono::steady_clock::time_point deadline, const std::function<bool(Event&)>& handler,
                    const std::function<void()>& tick = {});
    // Prints the log lines and online changes already queued, without
    // waiting; other events stay queued, in their order, for the next pump().
    void drainLogs();

    // Suppliers, then the data interface, then the factory. Idempotent.
    void shutdown();

    LogPrinter& printer() { return printer_; }
    const HostOptions& options() const { return options_; }
    // For a host that owns suppliers of its own (serve): the data interface
    // (null before connect()) and the context to create them with, whose log
    // lines are printed alike but marked `fromPage`. It deletes them before
    // shutdown().
    data::DataInterface* dataInterface() { return interface_.get(); }
    data::RequestContext* pageContext() { return &pageContext_; }
    // Sees every log line and online change that pump() takes, after printing.
    void setObserver(std::function<void(const Event&)> observer) { observer_ = std::move(observer); }
    // Print each teardown step (the demo shows them).
    void announceTeardown(bool on) { announceTeardown_ = on; }

private:
    template <typename Supplier, typename Create, typename Consumer>
    Supplier* keep(Create create, std::unique_ptr<HostRequest> request, std::unique_ptr<Consumer> consumer);
    // Sets refusal_ from the lines of a refused creation and prints the others.
    void explainRefusal(const std::vector<std::string>& aceTexts);
    // Prints log lines (or keeps them, while a supplier is being made) and
    // online changes; true for either (false for data).
    bool handleOwnEvent(Event& event);
    // Once caught up: how many events the queue's bound dropped.
    void reportDropped();
    // Prints the status reports that follow the online flag, until 200 ms
    // pass without one (at most 1 s), so they come before the command's output.
    void settle();

    HostOptions options_;
    LogPrinter printer_;
    bool announceTeardown_ = false;
    // What the plug-in said, main thread only: its last info or error line,
    // whether it reported a log-off, and the log lines of a supplier creation.
    std::string lastMessage_;
    bool loggedOff_ = false;
    bool recording_ = false;             // a supplier is being made: log lines wait in creationLog_
    std::vector<LogEvent> creationLog_;
    std::string refusal_;
    std::function<void(const Event&)> observer_;
    EventQueue queue_;
    QueueLogger logger_{queue_};
    HostContext context_{logger_};
    QueueLogger pageLogger_{queue_, true};
    HostContext pageContext_{pageLogger_};
    OnlineListener listener_{queue_};

    std::unique_ptr<PluginLibrary> library_;
    std::optional<ReplayControls> replay_;
    std::unique_ptr<data::DataInterfaceFactory> factory_;
    std::unique_ptr<data::DataInterface> interface_;
    std::vector<std::unique_ptr<Subscription>> kept_;  // oldest first
};

#include "session.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <thread>


namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(100);
constexpr auto kTeardownLimit = std::chrono::seconds(15);
// After going online: print the reports that follow until the plug-in is quiet.
constexpr auto kSettleQuiet = std::chrono::milliseconds(200);
constexpr auto kSettleLimit = std::chrono::seconds(1);

// Ends the process if a teardown does not finish in time: a feed client
// that never returns from Disconnect must not leave the host hanging.
class TeardownWatchdog {
public:
    TeardownWatchdog()
        : thread_([done = done_.get_future()] {
              if (done.wait_for(kTeardownLimit) == std::future_status::ready) return;
              static const char kMessage[] = "tellivar-host: error: shutdown did not finish in 15 s; exiting\n";
              const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
              (void)ignored;
              _exit(exitcode::kFailure);
          }) {}
    ~TeardownWatchdog() {
        done_.set_value();
        thread_.join();
    }

private:
    std::promise<void> done_;  // declared before thread_, which waits on it
    std::thread thread_;
};

}  // namespace

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
    const auto now = std::chrono::steady_clock::now();
    if (seconds <= 0) return now + std::chrono::hours(24 * 365);
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

HostSession::HostSession(HostOptions options) : options_(std::move(options)), printer_(options_.verbose) {}

HostSession::~HostSession() { shutdown(); }

int HostSession::open() {
    // Before the feed library is loaded: the replay client may read them as it starts.
    if (!options_.replayFrom.empty()) setenv("TELLIVAR_REPLAY_FROM", options_.replayFrom.c_str(), 1);
    if (!options_.replaySpeed.empty()) setenv("TELLIVAR_REPLAY_SPEED", options_.replaySpeed.c_str(), 1);
    library_ = std::make_unique<PluginLibrary>(options_.pluginPath, options_.feedLibrary);
    if (!library_->loaded()) {
        printError(library_->error());
        return exitcode::kPluginNotLoaded;
    }
    if (const std::optional<ReplayFunctions> functions = findReplayFunctions()) replay_.emplace(*functions);
    if (!replay_ && (!options_.replayFrom.empty() || !options_.replaySpeed.empty())) {
        printError(fmt::format("{} only works with the replay feed client (--feed replay); the feed library '{}' has "
                               "no replay controls",
                               options_.replayFrom.empty() ? "--replay-speed" : "--replay-from",
                               options_.feedLibrary.empty() ? "(none)" : options_.feedLibrary));
        return exitcode::kBadArguments;
    }
    factory_.reset(library_->makeFactory());
    if (!factory_) {
        printError("init_data_interface of '" + library_->path() + "' returned no factory");
        return exitcode::kPluginNotLoaded;
    }
    return exitcode::kOk;
}

int HostSession::connect() {
    const std::optional<bool> installed = library_->feedClientInstalled();
    if (installed.has_value() && !*installed) {
        printError("the feed client library has no instance (pTellivarClient is null), so the plug-in cannot connect");
        return exitcode::kNotConnected;
    }
    factory_->setSetting(kUsernameKey, options_.user.c_str());
    factory_->setSetting(kPasswordKey, options_.password.c_str());
    // Listeners may only change while no connection callback can run: now.
    ability().addListener(&listener_);
    interface_.reset(factory_->createDataInterface(&context_));
    if (!interface_) {
        printError("the factory made no data interface");
        return exitcode::kFailure;
    }
    factory_->connectionControl(&context_, true);
    const PumpResult result =
        ability().isOnline() ? PumpResult::Done : pump(deadlineAfter(options_.connectTimeout), [](Event& event) {
            const auto* online = std::get_if<OnlineEvent>(&event);
            const auto* log = std::get_if<LogEvent>(&event);
            return (online != nullptr && online->online) ||
                   (log != nullptr && log->kind == LogEvent::Kind::Status && log->text == kLogOffStatus);
        });
    if (result == PumpResult::Stopped) return exitcode::kInterrupted;
    if (ability().isOnline()) {
        settle();
        return exitcode::kOk;
    }
    if (loggedOff_) {
        drainLogs();
        printError(fmt::format("logon as user '{}' failed: the feed logged the plug-in off{}; check --user and "
                               "--password (or TELLIVAR_PASSWORD)",
                               options_.user,
                               lastMessage_.empty() ? "" : fmt::format(" (plug-in: {})", lastMessage_)));
        return exitcode::kNotConnected;
    }
    printError(fmt::format("not online within {} s as user '{}'; check --user/--password and the feed",
                           options_.connectTimeout, options_.user));
    return exitcode::kNotConnected;
}

template <typename Supplier, typename Create, typename Consumer>
Supplier* HostSession::keep(Create create, std::unique_ptr<HostRequest> request, std::unique_ptr<Consumer> consumer) {
    if (!interface_) return nullptr;
    creationLog_.clear();
    recording_ = true;
    const AceCapture capture;
    std::unique_ptr<Subscription> sub =
        subscribe(interface_.get(), create, &context_, std::move(request), std::move(consumer));
    const std::vector<std::string> aceTexts = capture.texts();
    auto* supplier = sub ? static_cast<Supplier*>(sub->supplier.get()) : nullptr;
    if (sub) kept_.push_back(std::move(sub));
    drainLogs();  // the plug-in's reasons for a refusal come first
    recording_ = false;
    refusal_.clear();
    if (supplier == nullptr) {
        explainRefusal(aceTexts);
    } else {
        for (const LogEvent& log : creationLog_) printer_.print(log);
    }
    return supplier;
}

void HostSession::explainRefusal(const std::vector<std::string>& aceTexts) {
    // Only what the plug-in said inside the creation call, on this thread; the
    // feed thread may be logging about other suppliers meanwhile.
    const auto said = [](const LogEvent& log, LogEvent::Kind kind) {
        return log.kind == kind && log.thread == std::this_thread::get_id();
    };
    const auto lastInfo = std::find_if(creationLog_.rbegin(), creationLog_.rend(),
                                       [&said](const LogEvent& log) { return said(log, LogEvent::Kind::Info); });
    for (const LogEvent& log : creationLog_) {
        if (said(log, LogEvent::Kind::Error)) refusal_ += (refusal_.empty() ? "plug-in error: " : "; ") + log.text;
    }
    const bool fromErrors = !refusal_.empty();
    const LogEvent* const infoReason = fromErrors || lastInfo == creationLog_.rend() ? nullptr : &*lastInfo;
    if (infoReason != nullptr) refusal_ = "plug-in: " + infoReason->text;
    if (refusal_.empty() && !aceTexts.empty()) refusal_ = "plug-in: " + aceTexts.back();
    for (const LogEvent& log : creationLog_) {
        if (fromErrors ? !said(log, LogEvent::Kind::Error) : &log != infoReason) printer_.print(log);
    }
}

data::TickSupplier* HostSession::subscribeQuotes(const std::string& symbol, const std::vector<std::string>& fields,
                                                 std::size_t row) {
    return keep<data::TickSupplier>(&data::DataInterface::createTickSupplier,
                                    std::make_unique<HostRequest>(symbol, IntervalSpec{}, 0, fields),
                                    quoteConsumer(queue_, row, fields));
}

data::TickSupplier* HostSession::subscribeUpdates(const std::string& symbol, const IntervalSpec& interval) {
    auto request = std::make_unique<HostRequest>(symbol, interval, 2);
    auto consumer = [this](data::TickSupplier* supplier) { queue_.push(UpdateEvent{readBar(supplier)}); };
    return keep<data::TickSupplier>(&data::DataInterface::createUpdateSupplier, std::move(request),
                                    std::make_unique<TickCallback>(consumer));
}

data::HistorySupplier* HostSession::requestHistory(const std::string& symbol, const IntervalSpec& interval, int count,
                                                   const data::CalendarRecord& endTime, bool reverse) {
    return keep<data::HistorySupplier>(&data::DataInterface::createHistorySupplier,
                                       std::make_unique<HostRequest>(symbol, interval, count, barFieldNames(), endTime),
                                       std::make_unique<BarsConsumer>(queue_, reverse));
}

bool HostSession::handleOwnEvent(Event& event) {
    const bool own = std::holds_alternative<LogEvent>(event) || std::holds_alternative<OnlineEvent>(event);
    if (own && observer_) observer_(event);
    if (const auto* online = std::get_if<OnlineEvent>(&event)) printer_.print(*online);
    if (const auto* log = std::get_if<LogEvent>(&event)) {
        if (recording_) {
            creationLog_.push_back(*log);
        } else {
            printer_.print(*log);
        }
        if (log->kind == LogEvent::Kind::Status) {
            loggedOff_ = loggedOff_ || log->text == kLogOffStatus;
        } else {
            lastMessage_ = log->text;
        }
    }
    return own;
}

HostSession::PumpResult HostSession::pump(std::chrono::steady_clock::time_point deadline,
                                          const std::function<bool(Event&)>& handler,
                                          const std::function<void()>& tick) {
    auto nextTick = std::chrono::steady_clock::now() + kTickPeriod;
    while (!stopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return PumpResult::TimedOut;
        if (now >= nextTick) {
            if (tick) tick();
            nextTick = now + kTickPeriod;
        }
        std::optional<Event> event = queue_.popUntil(std::min(deadline, nextTick));
        if (!event) {
            reportDropped();  // caught up
            continue;
        }
        handleOwnEvent(*event);
        if (handler(*event)) return PumpResult::Done;
    }
    return PumpResult::Stopped;
}

void HostSession::settle() {
    const auto end = std::chrono::steady_clock::now() + kSettleLimit;
    while (std::chrono::steady_clock::now() < end) {
        std::optional<Event> event = queue_.popUntil(std::min(end, std::chrono::steady_clock::now() + kSettleQuiet), true);
        if (!event) return;
        handleOwnEvent(*event);
    }
}

void HostSession::reportDropped() {
    if (const std::size_t dropped = queue_.takeDropped(); dropped > 0) {
        printErr("tellivar-host: warning: fell behind the feed: {} event(s) dropped while more than {} waited; "
                 "quotes and updates go first, and each symbol's next one brings its values again\n",
                 dropped, EventQueue::kLimit);
    }
}

void HostSession::drainLogs() {
    // Log lines and online changes are printed; only connect() waits for
    // online changes, and it pumps for itself. Data stays queued for the next pump().
    while (std::optional<Event> event = queue_.popUntil(std::chrono::steady_clock::now(), true)) handleOwnEvent(*event);
}

void HostSession::shutdown() {
    if (!factory_) return;
    TeardownWatchdog watchdog;
    if (announceTeardown_ && !kept_.empty()) printer_.note(fmt::format("deleting {} supplier(s)", kept_.size()));
    while (!kept_.empty()) kept_.pop_back();  // newest first
    if (interface_) {
        if (announceTeardown_) printer_.note("deleting the data interface");
        interface_.reset();
    }
    if (announceTeardown_) printer_.note("deleting the factory (disconnects the feed)");
    factory_.reset();
    drainLogs();
    reportDropped();
    if (announceTeardown_) printer_.note("shut down cleanly");
}

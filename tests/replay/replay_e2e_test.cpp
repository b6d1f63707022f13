// A session recorded by the gateway and replayed through the replay feed
// client and the real plug-in. One child process runs the live side: a
// gateway records a privately loaded stand-in whose clock is pinned and whose
// trades the test steps, while the plug-in on the NATS feed client writes
// what its consumers saw after each step, and when. Other children replay
// that recording through the plug-in and write what their consumers saw. A
// process binds the plug-in to one feed client, hence the children.
#include <gtest/gtest.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "gateway/gateway.h"
#include "nats/nats_support.h"
#include "replay/control.h"
#include "support/host_fakes.h"

namespace {

constexpr const char kRecording[] = "e2e";
constexpr int kRounds = 24;  // 25 s of the pinned market each: ten minute bars, two five-minute bars

std::int64_t wallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string isoOf(std::int64_t ns) {
    const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ns / 1000000 % 1000));
    return text;
}

unsigned secondsOf(const data::CalendarRecord& t) {
    std::tm utc{};
    utc.tm_year = t.tm_year;
    utc.tm_mon = t.tm_mon;
    utc.tm_mday = t.tm_mday;
    utc.tm_hour = t.tm_hour;
    utc.tm_min = t.tm_min;
    utc.tm_sec = t.tm_sec;
    return static_cast<unsigned>(timegm(&utc));
}

const std::vector<std::string> kQuoteFields = {"Trade", "Bid", "Ask", "Volume", "TradeSize", "High", "Low"};

// The consumers of one logged-on plug-in: ACME's quotes, GLOBEX's minute and
// five-minute streams.
struct Consumers {
    explicit Consumers(data::DataInterface* iface) : iface(iface), quotes(kQuoteFields) {
        quoteRequest.names.names.assign(kQuoteFields.begin(), kQuoteFields.end());
        minuteRequest.type = fiveRequest.type = 1;
        minuteRequest.number = 1;
        fiveRequest.number = 5;
    }
    void subscribe() {
        tick.reset(iface->createTickSupplier(&quoteRequest, &quotes, &context));
        minute.reset(iface->createUpdateSupplier(&minuteRequest, &minuteBars, &context));
        five.reset(iface->createUpdateSupplier(&fiveRequest, &fiveBars, &context));
    }
    // Waits until every consumer was called at least `calls` times.
    bool reach(std::size_t calls) {
        return quotes.waitFor([&] { return quotes.history.size() >= calls; }) &&
               minuteBars.waitFor([&] { return minuteBars.bars.size() >= calls; }) &&
               fiveBars.waitFor([&] { return fiveBars.bars.size() >= calls; });
    }
    std::string quoteText(std::size_t i) {
        std::lock_guard<std::mutex> lock(quotes.mutex);
        std::ostringstream out;
        out << timeText(quotes.times[i]);
        for (double v : quotes.history[i]) out << ' ' << v;
        return out.str();
    }
    // The newest values each consumer was given; "" before any.
    std::string newestQuote() {
        const std::size_t n = quotes.count();
        return n == 0 ? std::string() : quoteText(n - 1);
    }
    static std::string newestBar(BarReader& reader) {
        std::lock_guard<std::mutex> lock(reader.mutex);
        return reader.bars.empty() ? std::string() : barText(reader.bars.back());
    }
    // Waits until the newest quote and minute bar are these; false after a while.
    bool show(const std::string& quote, const std::string& bar) {
        return eventually([&] { return newestQuote() == quote && newestBar(minuteBars) == bar; },
                          std::chrono::seconds(15));
    }
    // What each consumer was given, in order; a call that repeats the one
    // before it unchanged (an image asked for again) is a matter of arrival, not
    // of what was shown, and is left out.
    std::string transcript() {
        std::ostringstream out;
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < quotes.count(); ++i) lines.push_back("quote " + quoteText(i));
        {
            std::lock_guard<std::mutex> a(minuteBars.mutex);
            for (const BarRead& bar : minuteBars.bars) lines.push_back("m1 " + barText(bar));
        }
        {
            std::lock_guard<std::mutex> b(fiveBars.mutex);
            for (const BarRead& bar : fiveBars.bars) lines.push_back("m5 " + barText(bar));
        }
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (i == 0 || lines[i] != lines[i - 1]) out << lines[i] << '\n';
        return out.str();
    }
    std::array<std::size_t, 3> counts() {
        return {quotes.count(), minuteBars.count(), fiveBars.count()};
    }
    void release() {
        tick.reset();
        minute.reset();
        five.reset();
    }

    data::DataInterface* iface;
    FakeContext context;
    FakeRequest quoteRequest{"ACME"}, minuteRequest{"GLOBEX"}, fiveRequest{"GLOBEX"};
    TickReader quotes;
    BarReader minuteBars, fiveBars;
    std::unique_ptr<data::TickSupplier> tick, minute, five;
};

// A plug-in logged on through whichever feed client the process loaded first.
struct Plugin {
    Plugin() : plugin(TELLIVAR_PLUGIN_PATH) {
        if (plugin.init == nullptr) return;
        factory = plugin.init();
        factory->setSetting("Username", "demo");
        factory->setSetting("Password", "demo");
        factory->ability()->addListener(&listener);
        factory->connectionControl(&context, true);
        if (!listener.waitFor([&] { return !listener.seen.empty() && listener.seen.back(); })) return;
        iface = factory->createDataInterface(&context);
    }
    ~Plugin() {
        delete iface;
        if (factory != nullptr) factory->release();
    }
    LoadedPlugin plugin;
    FakeContext context;
    RecordingListener listener;
    data::DataInterfaceFactory* factory = nullptr;
    data::DataInterface* iface = nullptr;
};

// What the live side wrote: the consumers' transcript from their first
// images on, and the wall time after each round (index 0: before the first).
struct Live {
    std::string transcript;
    std::vector<std::int64_t> times;
    std::vector<std::string> quotes, minuteBars;  // the consumers' state at each of those times
    std::vector<unsigned> feedTimes;              // the pinned market's clock at each
};

std::string serialise(const Live& live) {
    std::ostringstream out;
    for (std::size_t i = 0; i < live.times.size(); ++i)
        out << live.times[i] << '\t' << live.feedTimes[i] << '\t' << live.quotes[i] << '\t' << live.minuteBars[i]
            << '\n';
    out << "--\n" << live.transcript;
    return out.str();
}

Live parse(const std::string& text) {
    Live live;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && line != "--") {
        std::istringstream fields(line);
        std::string time, feedTime, quote, bar;
        std::getline(fields, time, '\t');
        std::getline(fields, feedTime, '\t');
        std::getline(fields, quote, '\t');
        std::getline(fields, bar, '\t');
        live.times.push_back(std::stoll(time));
        live.feedTimes.push_back(static_cast<unsigned>(std::stoul(feedTime)));
        live.quotes.push_back(quote);
        live.minuteBars.push_back(bar);
    }
    std::ostringstream rest;
    rest << in.rdbuf();
    live.transcript = rest.str();
    return live;
}

std::string recordLive(const std::string& url) {
    setenv("TELLIVAR_NATS_URL", url.c_str(), 1);
    // Privately, so that the stand-in loaded next keeps its own pTellivarClient;
    // the plug-in still binds to this library, the first loaded with its name.
    dlopen(TELLIVAR_NATS_CLIENT_PATH, RTLD_NOW | RTLD_LOCAL);
    StandIn feed;
    feed.reset();
    feed.setRate(0);
    const unsigned start = feed.client->MakeTime(2024, 3, 5, 14, 0, 0);
    feed.setClock(start, 0);
    natsConnection* nats = nullptr;
    if (natsConnection_ConnectTo(&nats, url.c_str()) != NATS_OK) return "no NATS";
    gateway::Options options;
    options.user = options.password = "demo";
    options.record.name = kRecording;
    options.record.symbols = {"ACME", "GLOBEX"};
    options.record.keyframe = std::chrono::milliseconds(1000);
    gateway::Gateway gate(feed.client, nats, options);
    std::string error;
    if (!gate.start(&error)) return error;
    Live live;
    {
        Plugin plugin;
        if (plugin.iface == nullptr) return "the plug-in never came online";
        Consumers consumers(plugin.iface);
        consumers.subscribe();
        if (!consumers.reach(1)) return "no first images";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        unsigned feedTime = start;
        for (int round = 0; round <= kRounds; ++round) {
            if (round > 0) {
                const std::array<std::size_t, 3> before = consumers.counts();
                feed.advanceClock(25);
                feedTime += 25;
                feed.tradeNow();
                // Each consumer is called for the trade; the quote then carries its time.
                data::CalendarRecord tradeTime{};
                const bool traded = eventually([&] {
                    const std::array<std::size_t, 3> now = consumers.counts();
                    if (now[0] <= before[0] || now[1] <= before[1] || now[2] <= before[2]) return false;
                    std::lock_guard<std::mutex> lock(consumers.quotes.mutex);
                    tradeTime = consumers.quotes.times.back();
                    return secondsOf(tradeTime) == feedTime;
                });
                if (!traded) return "round " + std::to_string(round) + " missing";
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            live.times.push_back(wallNs());
            live.feedTimes.push_back(feedTime);
            live.quotes.push_back(consumers.newestQuote());
            live.minuteBars.push_back(Consumers::newestBar(consumers.minuteBars));
        }
        live.transcript = consumers.transcript();
        consumers.release();
    }
    gate.stop();
    natsConnection_Destroy(nats);
    return serialise(live);
}

// The replay controls of the replay client this process loaded.
struct Controls {
    Controls() {
        bind(play, "tellivar_replay_play");
        bind(speed, "tellivar_replay_set_speed");
        bind(seek, "tellivar_replay_seek");
        bind(status, "tellivar_replay_get_status");
    }
    template <class F>
    void bind(F*& f, const char* name) {
        f = reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
    }
    bool ended() {
        tellivar_replay_status s{};
        return status(&s) == 0 && s.ended != 0;
    }
    bool paused() {
        tellivar_replay_status s{};
        return status(&s) == 0 && s.connected != 0 && s.playing == 0;
    }
    int (*play)() = nullptr;
    int (*speed)(double) = nullptr;
    int (*seek)(std::int64_t) = nullptr;
    int (*status)(tellivar_replay_status*) = nullptr;
};

// Loads the replay client for the recording, to log on paused at the live
// side's first images.
std::string loadReplay(const std::string& url, const Live& live) {
    setenv("TELLIVAR_NATS_URL", url.c_str(), 1);
    setenv("TELLIVAR_REPLAY_RECORDING", kRecording, 1);
    setenv("TELLIVAR_REPLAY_FROM", isoOf(live.times.front()).c_str(), 1);
    setenv("TELLIVAR_REPLAY_SPEED", "1", 1);
    setenv("TELLIVAR_REPLAY_PAUSED", "true", 1);
    if (dlopen(TELLIVAR_REPLAY_CLIENT_PATH, RTLD_NOW | RTLD_GLOBAL) == nullptr) return dlerror();
    return {};
}

// The whole span as fast as possible: what the consumers saw.
std::string replayAll(const std::string& url, const Live& live) {
    std::string error = loadReplay(url, live);
    if (!error.empty()) return error;
    Controls controls;
    Plugin plugin;
    if (plugin.iface == nullptr) return "the plug-in never came online on the replay";
    if (!controls.paused()) return "the replay did not log on paused";
    Consumers consumers(plugin.iface);
    consumers.subscribe();
    if (!consumers.reach(1)) return "no first images on the replay";
    controls.speed(0);
    controls.play();
    if (!eventually([&] { return controls.ended(); })) return "the replay never ended";
    if (!consumers.reach(kRounds + 1)) return "the replay delivered too little";
    std::string transcript = consumers.transcript();
    consumers.release();
    return transcript;
}

class Replay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (NatsServer::program().empty()) return;
        store_ = "/tmp/tellivar-replay-e2e-" + std::to_string(getpid());
        NatsServer::Options options;
        options.jetStreamStore = store_;
        server_ = new NatsServer(options);
        const std::string text = inChild([] { return recordLive(server_->url()); });
        try {
            live_ = new Live(parse(text));
        } catch (const std::exception&) {
            live_ = new Live;
        }
        if (live_->times.size() != kRounds + 1) liveError_ = "the live side: " + text;
    }
    static void TearDownTestSuite() {
        delete server_;
        delete live_;
        std::filesystem::remove_all(store_);
    }
    void SetUp() override {
        SKIP_WITHOUT_NATS_SERVER();
        ASSERT_TRUE(liveError_.empty()) << liveError_;
    }
    static inline NatsServer* server_ = nullptr;
    static inline Live* live_ = nullptr;
    static inline std::string liveError_, store_;
};

TEST_F(Replay, ShouldGiveConsumersWhatTheLiveHostSawWhenPlayedAsFastAsPossible) {
    const std::string replayed = inChild([] { return replayAll(server_->url(), *live_); });
    EXPECT_EQ(replayed, live_->transcript);
}

TEST_F(Replay, ShouldGiveIdenticalTranscriptsOnTwoReplaysOfTheSameSpan) {
    const std::string first = inChild([] { return replayAll(server_->url(), *live_); });
    const std::string second = inChild([] { return replayAll(server_->url(), *live_); });
    EXPECT_NE(first.find("m5 "), std::string::npos) << first;
    EXPECT_EQ(first, second);
}

// After a jump to a round's time, forward or back, the consumers' fresh
// images are what the live host had then, and a history asked for then holds
// no bar that started after the pinned market's clock.
TEST_F(Replay, ShouldShowAfterAJumpWhatTheLiveHostHadThenAndNothingLater) {
    const std::string result = inChild([] {
        std::string error = loadReplay(server_->url(), *live_);
        if (!error.empty()) return error;
        Controls controls;
        Plugin plugin;
        if (plugin.iface == nullptr) return std::string("no replay");
        if (!controls.paused()) return std::string("the replay did not log on paused");
        Consumers consumers(plugin.iface);
        consumers.subscribe();
        if (!consumers.reach(1)) return std::string("no first images");
        std::ostringstream out;
        for (const int round : {20, 4, 12, 1, 23}) {
            controls.seek(live_->times[static_cast<std::size_t>(round)]);
            if (!consumers.show(live_->quotes[static_cast<std::size_t>(round)],
                                live_->minuteBars[static_cast<std::size_t>(round)]))
                out << "round " << round << ": quote " << consumers.newestQuote() << " bar "
                    << Consumers::newestBar(consumers.minuteBars) << ", live " << live_->quotes[round] << " bar "
                    << live_->minuteBars[round] << '\n';
            for (const int interval : {1, 5}) {
                HistoryWalker walker;
                FakeRequest request("GLOBEX");
                request.type = 1;
                request.number = static_cast<unsigned>(interval);
                request.records = 1000;
                std::unique_ptr<data::HistorySupplier> history(
                    plugin.iface->createHistorySupplier(&request, &walker, &consumers.context));
                if (!history || !walker.waitFor([&] { return walker.calls >= 1; })) {
                    out << "round " << round << ": no history of " << interval << '\n';
                    continue;
                }
                std::lock_guard<std::mutex> lock(walker.mutex);
                if (walker.forward.empty()) out << "round " << round << ": an empty history of " << interval << '\n';
                for (const BarRead& b : walker.forward) {
                    const unsigned start = secondsOf(b.time);
                    if (start > live_->feedTimes[static_cast<std::size_t>(round)])
                        out << "round " << round << ": a bar of " << interval << " from after the clock: "
                            << barText(b) << '\n';
                }
                if (interval == 1 && !walker.forward.empty() &&
                    barText(walker.forward.back()) != live_->minuteBars[static_cast<std::size_t>(round)])
                    out << "round " << round << ": the history's forming bar " << barText(walker.forward.back())
                        << " live " << live_->minuteBars[round] << '\n';
            }
        }
        consumers.release();
        return out.str();
    });
    EXPECT_EQ(result, "");
}

// A desk in step: a gateway whose feed is the replay client, an instructor
// driving it on the control subject, and a trader's host on the NATS feed
// client, logged on after the replay began, that must be told it is a replay
// and see, after each jump, what the live host had then.
std::string deskInStep(const std::string& url, const Live& live, const std::string& configPath) {
    setenv("TELLIVAR_NATS_URL", url.c_str(), 1);
    setenv("TELLIVAR_REPLAY_CONFIG", configPath.c_str(), 1);
    setenv("TELLIVAR_REPLAY_FROM", isoOf(live.times.front()).c_str(), 1);
    setenv("TELLIVAR_REPLAY_SPEED", "1", 1);
    setenv("TELLIVAR_REPLAY_PAUSED", "true", 1);
    // The trader's feed client first, privately, so that the plug-in binds to
    // it; then the replay client, privately, as the gateway program loads it.
    dlopen(TELLIVAR_NATS_CLIENT_PATH, RTLD_NOW | RTLD_LOCAL);
    void* replayLibrary = dlopen(TELLIVAR_REPLAY_CLIENT_PATH, RTLD_NOW | RTLD_LOCAL);
    if (replayLibrary == nullptr) return dlerror();
    TellivarClient* replayFeed = *static_cast<TellivarClient**>(dlsym(replayLibrary, "pTellivarClient"));
    natsConnection* nats = nullptr;
    if (natsConnection_ConnectTo(&nats, url.c_str()) != NATS_OK) return "no NATS";
    gateway::Options options;
    options.user = options.password = "desk";
    gateway::Gateway gate(replayFeed, nats, options);
    std::string error;
    if (!gate.start(&error)) return error;
    if (!eventually([&] { return gate.stats().feedUp; })) return "the gateway's replay never came up";
    const std::string subject = std::string("tellivar.replay.control.") + kRecording;
    auto instruct = [&](const std::string& request) -> std::string {
        natsMsg* reply = nullptr;
        if (natsConnection_RequestString(&reply, nats, subject.c_str(), request.c_str(), 5000) != NATS_OK)
            return "no answer to " + request;
        const auto answer = nlohmann::json::parse(std::string(natsMsg_GetData(reply), natsMsg_GetDataLength(reply)),
                                                  nullptr, false);
        natsMsg_Destroy(reply);
        return answer.is_object() && answer.value("ok", false) ? std::string() : request + ": " + answer.dump();
    };
    std::ostringstream out;
    out << instruct("pause");  // already paused: a request the instructor may repeat
    {
        Plugin trader;
        if (trader.iface == nullptr) return "the trader's host never came online";
        const std::string notice = std::string("Replay of ") + kRecording + " from ";
        if (!trader.context.log.waitFor([&] {
                return std::any_of(trader.context.log.linesLocked().begin(), trader.context.log.linesLocked().end(),
                                   [&](const LogLine& line) { return line.format.rfind(notice, 0) == 0; });
            }))
            out << "the trader's host was never told it is a replay\n";
        Consumers consumers(trader.iface);
        consumers.subscribe();
        if (!consumers.reach(1)) return "no first images on the desk";
        for (const int round : {12, 3}) {
            out << instruct("seek " + isoOf(live.times[static_cast<std::size_t>(round)]));
            if (!consumers.show(live.quotes[static_cast<std::size_t>(round)],
                                live.minuteBars[static_cast<std::size_t>(round)]))
                out << "round " << round << ": quote " << consumers.newestQuote() << ", live " << live.quotes[round]
                    << '\n';
        }
        consumers.release();
    }
    gate.stop();
    natsConnection_Destroy(nats);
    return out.str();
}

TEST_F(Replay, ShouldReplayToADeskThroughAGatewayThatAnInstructorDrives) {
    const std::string config = store_ + "-desk.conf";
    std::ofstream(config) << "recording = " << kRecording << "\ncontrol-subject = tellivar.replay.control."
                          << kRecording << "\n";
    const std::string result = inChild([&config] { return deskInStep(server_->url(), *live_, config); });
    std::remove(config.c_str());
    EXPECT_EQ(result, "");
}

}  // namespace

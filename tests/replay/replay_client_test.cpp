// The replay feed client through the feed contract, against a nats-server
// -js of the test's own holding a recording the test writes record by record
// (as a recording gateway would): logon, images at any time after a seek
// forward or back, no value after the clock in histories and streams,
// identical transcripts, bad records, the gap, the end, the controls.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "nats/nats_support.h"
#include "replay/client.h"
#include "replay/iso.h"
#include "wire/record.h"

namespace {

constexpr std::int64_t kSec = 1000000000;
constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kT0 = 1796725800 * kSec;  // 2026-12-08T10:30:00Z
constexpr const char kName[] = "DESK";
constexpr short kLast = 1;  // the field the recording carries, besides the trade time
// The recording: session 1 from kT0 for 600 s, a gap, session 2 from kT0 + 900 s for 60 s.
constexpr int kSession1 = 600, kGapEnd = 900, kSession2End = 960;

double priceA(int k) { return 100 + k; }
double priceB(int k) { return 5000 - k; }

// What the recording holds, as the test's model: every quote value and
// every newest minute bar of AAA,1 with the time it became true.
struct Model {
    std::vector<std::pair<std::int64_t, double>> a, b;     // time, AAA's / BBB's last
    std::vector<std::pair<std::int64_t, wire::Bar>> bar;   // time, AAA,1's newest bar
    std::int64_t firstNs = 0, lastNs = 0;

    template <class T>
    static std::optional<T> at(const std::vector<std::pair<std::int64_t, T>>& events, std::int64_t t) {
        std::optional<T> value;
        for (const auto& [when, v] : events)
            if (when <= t) value = v;
        return value;
    }
};

// Writes a recording into a JetStream stream, as a recording gateway does:
// updates, and keyframes of every symbol and the minute stream.
class RecordingWriter {
public:
    explicit RecordingWriter(const std::string& url) {
        EXPECT_EQ(natsConnection_ConnectTo(&nc_, url.c_str()), NATS_OK);
        EXPECT_EQ(natsConnection_JetStream(&js_, nc_, nullptr), NATS_OK);
        jsStreamConfig config;
        jsStreamConfig_Init(&config);
        config.Name = kName;
        const std::string subject = wire::recordWildcard(kName);
        const char* subjects[] = {subject.c_str()};
        config.Subjects = subjects;
        config.SubjectsLen = 1;
        config.Storage = js_FileStorage;
        jsStreamInfo* info = nullptr;
        EXPECT_EQ(js_AddStream(&info, js_, &config, nullptr, nullptr), NATS_OK);
        jsStreamInfo_Destroy(info);
    }
    ~RecordingWriter() {
        jsCtx_Destroy(js_);
        natsConnection_Destroy(nc_);
    }

    void put(const std::string& subject, const std::vector<std::uint8_t>& bytes) {
        jsPubAck* ack = nullptr;
        ASSERT_EQ(js_Publish(&ack, js_, subject.c_str(), bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr),
                  NATS_OK);
        jsPubAck_Destroy(ack);
    }
    void update(std::int64_t t, std::uint64_t session, const wire::Message& m, const std::string& subject) {
        put(subject, wire::encodeRecord(wire::RecordType::Update, t, session, wire::encode(m)));
    }

    // The whole recording; returns the model of it.
    Model writeAll() {
        Model model;
        std::uint64_t session = 11;
        std::int64_t origin = 0;
        std::vector<wire::Bar> window;  // AAA,1's, the newest 5 bars
        double lastA = 0, lastB = 0;
        bool haveQuotes = false;
        // `spread`: the time between the entries' writes (a slow gateway), 0: all at once.
        auto keyframe = [&](std::int64_t t, bool sessionStart, bool complete, double fakeA, std::int64_t spread = 0) {
            std::vector<std::pair<std::string, wire::Message>> entries;
            if (haveQuotes) {
                entries.emplace_back(wire::recordQuoteSubject(kName, "AAA"), quote("AAA", t, fakeA != 0 ? fakeA : lastA, true));
                entries.emplace_back(wire::recordQuoteSubject(kName, "BBB"), quote("BBB", t, lastB, true));
            }
            if (!window.empty()) entries.emplace_back(wire::recordStreamSubject(kName, "AAA,1"), stream(window, origin, true, true));
            wire::Record begin;
            begin.type = wire::RecordType::KeyframeBegin;
            begin.timeNs = t;
            begin.session = session;
            begin.count = static_cast<std::uint32_t>(entries.size());
            begin.flags = sessionStart ? wire::kSessionStart : 0;
            put(wire::recordKeyframeSubject(kName), wire::encodeRecord(begin));
            std::int64_t written = t;
            for (const auto& [subject, m] : entries) {
                written += spread;
                put(subject, wire::encodeRecord(wire::RecordType::KeyframeEntry, written, session, wire::encode(m)));
            }
            if (!complete) return;
            wire::Record end = begin;
            end.timeNs = written + spread;
            end.type = wire::RecordType::KeyframeEnd;
            end.flags = 0;
            put(wire::recordKeyframeSubject(kName), wire::encodeRecord(end));
        };
        auto second = [&](int k) {
            const std::int64_t t = kT0 + k * kSec;
            if (k % 60 == 0) keyframe(t, k == 0 || k == kGapEnd, true, 0, k == 120 ? kMs : 0);
            if (k == kGapEnd) {
                // The new session's first keyframe holds what its gateway saw first.
                model.a.emplace_back(t, lastA);
                model.b.emplace_back(t, lastB);
            }
            if (k == 330) keyframe(t + 50 * kMs, false, false, 9999);  // its gateway died while writing it
            lastA = priceA(k);
            lastB = priceB(k);
            haveQuotes = true;
            update(t + 100 * kMs, session, quote("AAA", t + 100 * kMs, lastA, false), wire::recordQuoteSubject(kName, "AAA"));
            model.a.emplace_back(t + 100 * kMs, lastA);
            const std::uint32_t minute = static_cast<std::uint32_t>((t / kSec) / 60 * 60);
            const bool newBar = window.empty() || window.back().start != minute;
            if (newBar) {
                window.push_back(wire::Bar{minute, minute + 60, lastA, lastA, lastA, lastA, 1});
                if (window.size() > 5) {
                    window.erase(window.begin());
                    ++origin;
                }
            } else {
                wire::Bar& b = window.back();
                b.high = std::max(b.high, lastA);
                b.low = std::min(b.low, lastA);
                b.close = lastA;
                b.volume += 1;
            }
            update(t + 200 * kMs, session, stream(window, origin, newBar, newBar), wire::recordStreamSubject(kName, "AAA,1"));
            model.bar.emplace_back(t + 200 * kMs, window.back());
            if (k == 200) {
                // A corrupt record and one of another format, among the others.
                put(wire::recordQuoteSubject(kName, "AAA"), {'T', 'R', 1, 1, 0xff, 0xff});
                put(wire::recordQuoteSubject(kName, "BBB"), wire::encode(quote("BBB", t, 1, false)));
            }
            update(t + 300 * kMs, session, quote("BBB", t + 300 * kMs, lastB, false), wire::recordQuoteSubject(kName, "BBB"));
            model.b.emplace_back(t + 300 * kMs, lastB);
            model.lastNs = t + 300 * kMs;
        };
        for (int k = 0; k < kSession1; ++k) second(k);
        session = 12;  // a new gateway after the gap
        for (int k = kGapEnd; k < kSession2End; ++k) second(k);
        model.firstNs = kT0;
        return model;
    }

    natsConnection* connection() { return nc_; }

private:
    static wire::Message quote(const std::string& symbol, std::int64_t t, double last, bool image) {
        wire::Quote q;
        q.symbol = symbol;
        q.image = image;
        q.tradeTime = static_cast<std::uint32_t>(t / kSec);
        q.fields = {{static_cast<std::uint8_t>(kLast), last}};
        return q;
    }
    static wire::Message stream(const std::vector<wire::Bar>& window, std::int64_t origin, bool full, bool newBar) {
        wire::Stream s;
        s.query = "AAA,1";
        s.full = full;
        s.newBar = newBar;
        s.origin = origin;
        s.newest = origin + static_cast<std::int64_t>(window.size()) - 1;
        s.bars = full ? window : std::vector<wire::Bar>{window.back()};
        return s;
    }

    natsConnection* nc_ = nullptr;
    jsCtx* js_ = nullptr;
};

// Everything the client told the host, in order, as text.
class Transcript {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }
    bool waitFor(const std::string& prefix, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        });
    }
    std::size_t count(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mu_);
        return static_cast<std::size_t>(
            std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }

private:
    std::mutex mu_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

class Host : public EConnectStatus, public ISSSetSink, public ITRecSetSink {
public:
    explicit Host(Transcript& t) : transcript(t) {}
    void onSendCredentials(std::int32_t, std::int32_t) override { client->SendLogon("", ""); }
    void onLogon(std::int32_t) override { transcript.add("logon"); }
    void onLogOff() override { transcript.add("logoff"); }
    void onReady() override { transcript.add("ready"); }
    void onMessage(const char* text) override { transcript.add(std::string("message ") + text); }
    void onSnapshotUpdate(SnapshotSet* set, std::uint8_t, const std::uint8_t*) override {
        double last = 0;
        set->EnterRead();
        const bool has = set->GetDouble(kLast, &last);
        set->LeaveRead();
        std::ostringstream line;
        line << "quote " << names.at(set) << " " << (has ? last : -1);
        transcript.add(line.str());
    }
    void onRecordSetEvent(TRecordSet* set, int event, long first, long second) override {
        std::ostringstream line;
        line << "bars " << names.at(set) << " " << event << " " << first << " " << second << " ";
        set->EnterRead();
        line << describe(set);
        set->LeaveRead();
        transcript.add(line.str());
    }
    // The set's bars as "start:close", oldest first (read lock held by the caller).
    static std::string describe(TRecordSet* set) {
        std::ostringstream text;
        if (!set->hasRecords) return "none";
        for (long i = set->firstRecord - set->recordBase; i <= set->lastRecord - set->recordBase; ++i) {
            FeedTime start = 0;
            double close = 0;
            set->GetETime(i, 1, &start);
            set->GetRecDouble(i, set->GetFieldIx("Close"), &close);
            text << start << ":" << close << " ";
        }
        return text.str();
    }

    Transcript& transcript;
    TellivarClient* client = nullptr;
    std::map<const void*, std::string> names;
};

std::vector<std::pair<FeedTime, double>> barsOf(TRecordSet* set) {
    std::vector<std::pair<FeedTime, double>> out;
    set->EnterRead();
    if (set->hasRecords) {
        for (long i = set->firstRecord - set->recordBase; i <= set->lastRecord - set->recordBase; ++i) {
            FeedTime start = 0;
            double close = 0;
            set->GetETime(i, 1, &start);
            set->GetRecDouble(i, set->GetFieldIx("Close"), &close);
            out.emplace_back(start, close);
        }
    }
    set->LeaveRead();
    return out;
}

std::optional<double> lastOf(SnapshotSet* set) {
    double v = 0;
    set->EnterRead();
    const bool has = set->GetDouble(kLast, &v);
    set->LeaveRead();
    return has ? std::optional<double>(v) : std::nullopt;
}

template <class F>
bool eventually(F&& done, std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class ReplayClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (NatsServer::program().empty()) return;
        char pattern[] = "/tmp/replay-test-XXXXXX";
        store_ = mkdtemp(pattern);
        NatsServer::Options options;
        options.jetStreamStore = store_ + "/js";
        server_ = new NatsServer(options);
        RecordingWriter writer(server_->url());
        model_ = new Model(writer.writeAll());
    }
    static void TearDownTestSuite() {
        delete server_;
        delete model_;
        server_ = nullptr;
        model_ = nullptr;
        if (!store_.empty()) std::filesystem::remove_all(store_);
    }
    void SetUp() override {
        SKIP_WITHOUT_NATS_SERVER();
        ASSERT_NE(model_, nullptr);
        env_["TELLIVAR_REPLAY_RECORDING"] = kName;
        env_["TELLIVAR_NATS_URL"] = server_->url();
        env_["TELLIVAR_REPLAY_CONFIG"] = "";
        env_["HOME"] = "/nonexistent";
    }
    replay::Getenv getenv() {
        return [this](const char* name) -> const char* {
            const auto found = env_.find(name);
            return found == env_.end() ? nullptr : found->second.c_str();
        };
    }
    // Logs `client` on for `host`; true once ready.
    static bool logOn(replay::ReplayClient& client, Host& host) {
        host.client = &client;
        client.Connect(&host);
        return host.transcript.waitFor("ready") ;
    }

    static std::string store_;
    static NatsServer* server_;
    static Model* model_;
    std::map<std::string, std::string> env_;
};

std::string ReplayClientTest::store_;
NatsServer* ReplayClientTest::server_ = nullptr;
Model* ReplayClientTest::model_ = nullptr;

TEST_F(ReplayClientTest, ShouldSayAtLogonThatItIsAReplayAndWhereHistoriesComeFrom) {
    env_["TELLIVAR_REPLAY_SPEED"] = "4";
    env_["TELLIVAR_REPLAY_FROM"] = "2026-12-08T10:31:00Z";
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client(getenv());
    ASSERT_TRUE(logOn(client, host));
    const auto lines = transcript.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "logon");
    EXPECT_EQ(lines[1], "message Replay of DESK from 2026-12-08T10:31:00Z at 4x");
    EXPECT_EQ(lines[2].rfind("message Histories come from the recording", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "ready");
    const tellivar_replay_status status = client.status();
    EXPECT_EQ(status.first_ns, model_->firstNs);
    EXPECT_EQ(status.last_ns, model_->lastNs);
    EXPECT_EQ(status.speed, 4);
    EXPECT_GE(status.clock_ns, kT0 + 60 * kSec);
    client.Disconnect();
    EXPECT_TRUE(transcript.waitFor("logoff"));
    client.Shutdown();
}

TEST_F(ReplayClientTest, ShouldFailTheLogonWithAClearMessageForARecordingItCannotReplay) {
    const std::string span = " is outside the recording DESK, which runs from " + replay::formatIso(model_->firstNs) +
                             " to " + replay::formatIso(model_->lastNs);
    struct Case {
        const char* variable;
        const char* value;
        std::string message;
    } cases[] = {
        {"TELLIVAR_REPLAY_FROM", "2026-12-08T09:00:00Z", "The start 2026-12-08T09:00:00Z" + span},
        {"TELLIVAR_REPLAY_FROM", "2026-12-08T11:00:00Z", "The start 2026-12-08T11:00:00Z" + span},
        {"TELLIVAR_REPLAY_RECORDING", "NOPE", "no recording NOPE on the server"},
        {"TELLIVAR_REPLAY_SPEED", "100", "TELLIVAR_REPLAY_SPEED: bad speed 100 (0.25 to 64, or max)"},
        {"TELLIVAR_REPLAY_PAUSED", "yes", "TELLIVAR_REPLAY_PAUSED: bad paused yes (true or false)"},
    };
    for (const Case& c : cases) {
        const auto saved = env_;
        env_[c.variable] = c.value;
        Transcript transcript;
        Host host(transcript);
        replay::ReplayClient client(getenv());
        host.client = &client;
        client.Connect(&host);
        ASSERT_TRUE(transcript.waitFor("logoff")) << c.value;
        EXPECT_EQ(transcript.count("message " + c.message), 1u) << c.value;
        EXPECT_EQ(transcript.count("ready"), 0u);
        client.Shutdown();
        env_ = saved;
    }
}

// Seeks, forward and back, while paused: after each, the quote, the
// recorded minute stream, a 5-minute stream aggregated from it and a fresh
// history are as the recording had them at the time, and nothing moves.
TEST_F(ReplayClientTest, ShouldShowTheMarketAsItWasAtTheTimeOfEachSeek) {
    env_["TELLIVAR_REPLAY_FROM"] = "2026-12-08T10:30:00Z";
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client(getenv());
    ASSERT_TRUE(logOn(client, host));
    ASSERT_EQ(client.pause(), 0);
    SnapshotSet* a = client.CreateSnapshotSet("AAA");
    a->sink = &host;
    host.names[a] = "AAA";
    ASSERT_TRUE(a->Init());
    TRecordSet* minute = client.CreateTRecordSet("AAA,1");
    TRecordSet* five = client.CreateTRecordSet("AAA,5");
    host.names[minute] = "AAA,1";
    host.names[five] = "AAA,5";
    for (TRecordSet* set : {minute, five}) {
        set->SetSink(&host);
        ASSERT_EQ(set->Init(20, 0), 1);
    }
    const std::int64_t times[] = {
        kT0 + 125 * kSec + 500 * kMs,  // forward
        kT0 + 335 * kSec,              // just after a keyframe whose gateway died while writing it
        kT0 + 120 * kSec + kMs / 2,    // while a keyframe was being written, back
        kT0 + 61 * kSec + 150 * kMs,   // back, between the quote and the bar of a second
        kT0 + 750 * kSec,              // in the gap
        kT0 + 930 * kSec + 250 * kMs,  // after it, in the second session
        kT0 + 10 * kSec,               // far back
    };
    for (const std::int64_t t : times) {
        const std::string at = replay::formatIso(t);
        const double price = *Model::at(model_->a, t);
        const wire::Bar newest = *Model::at(model_->bar, t);
        ASSERT_EQ(client.seek(t), 0) << at;
        ASSERT_TRUE(eventually([&] {
            const auto bars = barsOf(minute);
            return lastOf(a) == price && !bars.empty() && bars.back().first == newest.start &&
                   bars.back().second == newest.close;
        })) << at << ": AAA " << lastOf(a).value_or(-1) << ", expected " << price;
        // The aggregated stream: its newest bar closes at the price then, and none starts after it.
        ASSERT_TRUE(eventually([&] {
            const auto bars = barsOf(five);
            return !bars.empty() && bars.back().second == newest.close;
        })) << at;
        for (const auto& [start, close] : barsOf(five)) EXPECT_LE(static_cast<std::int64_t>(start), t / kSec) << at;
        EXPECT_EQ(barsOf(five).back().first, (newest.start / 300) * 300) << at;
        // A history asked now holds the bars up to the clock, the forming one as it was.
        TRecordSet* history = client.CreateTRecordSet("AAA,1,&EndETime=4000000000");
        history->sinkMode = 0;
        ASSERT_EQ(history->Init(500, 0), 3) << at;
        const auto bars = barsOf(history);
        ASSERT_FALSE(bars.empty()) << at;
        EXPECT_EQ(bars.back().first, newest.start) << at;
        EXPECT_EQ(bars.back().second, newest.close) << at;
        for (const auto& [start, close] : bars) EXPECT_LE(static_cast<std::int64_t>(start), t / kSec) << at;
        client.DeleteTRecordSet(history);
        // Paused: nothing from the old position or later arrives.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(lastOf(a), price) << at;
        EXPECT_EQ(barsOf(minute).back().second, newest.close) << at;
        EXPECT_EQ(client.status().clock_ns, t) << at;
    }
    client.DeleteSnapshotSet(a);
    client.DeleteTRecordSet(minute);
    client.DeleteTRecordSet(five);
    client.Disconnect();
    client.Shutdown();
}

// Played to the end as fast as possible, then sent back: from the jump on,
// no set and no history holds anything after the new time.
TEST_F(ReplayClientTest, ShouldHoldNothingAfterTheClockRightAfterAJumpBack) {
    env_["TELLIVAR_REPLAY_SPEED"] = "max";
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client(getenv());
    ASSERT_TRUE(logOn(client, host));
    TRecordSet* minute = client.CreateTRecordSet("AAA,1");
    TRecordSet* hour = client.CreateTRecordSet("AAA,60");
    SnapshotSet* b = client.CreateSnapshotSet("BBB");
    host.names[minute] = "AAA,1";
    host.names[hour] = "AAA,60";
    host.names[b] = "BBB";
    b->sink = &host;
    b->Init();
    for (TRecordSet* set : {minute, hour}) {
        set->SetSink(&host);
        ASSERT_EQ(set->Init(50, 0), 1);
    }
    ASSERT_TRUE(transcript.waitFor("message End of the recording at " + replay::formatIso(model_->lastNs)));
    EXPECT_EQ(client.status().ended, 1);
    EXPECT_EQ(client.status().clock_ns, model_->lastNs);
    const std::int64_t back = kT0 + 150 * kSec + 150 * kMs;
    const std::size_t before = transcript.lines().size();
    ASSERT_EQ(client.seek(back), 0);
    ASSERT_TRUE(eventually([&] { return lastOf(b) == *Model::at(model_->b, back); }));
    // Whatever reached a sink after the jump: nothing after the clock.
    ASSERT_TRUE(eventually([&] { return !barsOf(minute).empty() && barsOf(minute).back().second == Model::at(model_->bar, back)->close; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(client.pause(), 0);
    for (TRecordSet* set : {minute, hour})
        for (const auto& [start, close] : barsOf(set)) EXPECT_LE(static_cast<std::int64_t>(start), client.status().clock_ns / kSec);
    const auto lines = transcript.lines();
    for (std::size_t i = before; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].find("quote BBB " + std::to_string(static_cast<int>(priceB(kSession1 - 1)))), std::string::npos)
            << lines[i];
    for (const char* query : {"AAA,1", "AAA,5", "AAA,15", "AAA,60", "AAA,D1", "AAA,1,&EndETime=4000000000"}) {
        TRecordSet* history = client.CreateTRecordSet(query);
        history->sinkMode = 0;
        ASSERT_EQ(history->Init(1000, 0), 3) << query;
        const std::int64_t clock = client.status().clock_ns;
        const auto bars = barsOf(history);
        ASSERT_FALSE(bars.empty()) << query;
        for (const auto& [start, close] : bars) EXPECT_LE(static_cast<std::int64_t>(start), clock / kSec) << query;
        EXPECT_EQ(bars.back().second, Model::at(model_->bar, clock)->close) << query;
        client.DeleteTRecordSet(history);
    }
    client.DeleteTRecordSet(minute);
    client.DeleteTRecordSet(hour);
    client.DeleteSnapshotSet(b);
    client.Disconnect();
    client.Shutdown();
}

// The whole recording as fast as possible, twice: what the host is told is
// the same each time, in the recorded order, with the gap and the end told
// once, the bad records skipped and the unfinished keyframe unused.
TEST_F(ReplayClientTest, ShouldGiveIdenticalTranscriptsForTwoReplaysOfTheSameSpan) {
    env_["TELLIVAR_REPLAY_SPEED"] = "max";
    auto replayOnce = [&](std::uint64_t* skipped) {
        Transcript transcript;
        Host host(transcript);
        replay::ReplayClient client(getenv());
        host.client = &client;
        // Sets made before the logon get their images at it, before any update.
        SnapshotSet* a = client.CreateSnapshotSet("AAA");
        SnapshotSet* b = client.CreateSnapshotSet("BBB");
        TRecordSet* minute = client.CreateTRecordSet("AAA,1");
        TRecordSet* five = client.CreateTRecordSet("AAA,5");
        host.names = {{a, "AAA"}, {b, "BBB"}, {minute, "AAA,1"}, {five, "AAA,5"}};
        a->sink = b->sink = &host;
        a->Init();
        b->Init();
        minute->SetSink(&host);
        five->SetSink(&host);
        minute->Init(10, 0);
        five->Init(10, 0);
        client.Connect(&host);
        EXPECT_TRUE(transcript.waitFor("message End of the recording at "));
        *skipped = client.skipped();
        client.Disconnect();
        transcript.waitFor("logoff");
        client.Shutdown();
        for (SnapshotSet* s : {a, b}) client.DeleteSnapshotSet(s);
        for (TRecordSet* s : {minute, five}) client.DeleteTRecordSet(s);
        return transcript.lines();
    };
    std::uint64_t skipped1 = 0, skipped2 = 0;
    const auto first = replayOnce(&skipped1);
    const auto second = replayOnce(&skipped2);
    EXPECT_EQ(first, second);
    EXPECT_EQ(skipped1, 2u);
    EXPECT_EQ(skipped2, 2u);
    // Every update of the recording reached the quote sets, in order.
    std::vector<std::string> quotesA;
    for (const std::string& line : first)
        if (line.rfind("quote AAA ", 0) == 0) quotesA.push_back(line);
    std::vector<std::string> expected;
    for (int k = 0; k < kSession1; ++k) expected.push_back("quote AAA " + std::to_string(static_cast<int>(priceA(k))));
    expected.push_back("quote AAA " + std::to_string(static_cast<int>(priceA(kSession1 - 1))));  // the new session's image
    for (int k = kGapEnd; k < kSession2End; ++k) expected.push_back("quote AAA " + std::to_string(static_cast<int>(priceA(k))));
    EXPECT_EQ(quotesA, expected);
    const std::string gap = "message The recording has a gap from " + replay::formatIso(kT0 + (kSession1 - 1) * kSec + 300 * kMs) +
                            " to " + replay::formatIso(kT0 + kGapEnd * kSec);
    EXPECT_EQ(std::count(first.begin(), first.end(), gap), 1);
    EXPECT_EQ(std::count_if(first.begin(), first.end(), [](const std::string& l) { return l.rfind("message End of", 0) == 0; }), 1);
    EXPECT_EQ(std::count_if(first.begin(), first.end(), [](const std::string& l) { return l.find("9999") != std::string::npos; }), 0);
}

// Two sets of one symbol and two streams of one query: the first's callback
// deletes the second, which the same update was also for. Once that Delete
// returned, the second's sink is never called; and sets a host thread makes
// and deletes meanwhile never outlive their Delete (ASan, TSan).
TEST_F(ReplayClientTest, ShouldNeverCallASetsSinkAfterItsDeleteReturned) {
    env_["TELLIVAR_REPLAY_SPEED"] = "max";
    struct Pairs : EConnectStatus, ISSSetSink, ITRecSetSink {
        void onSendCredentials(std::int32_t, std::int32_t) override { client->SendLogon("", ""); }
        void onMessage(const char* text) override {
            if (std::string(text).rfind("End of the recording", 0) == 0) ended = true;
        }
        void onSnapshotUpdate(SnapshotSet* set, std::uint8_t, const std::uint8_t*) override {
            if (set == deletedQuote) ++lateQuote;
            if (set == first && deletedQuote == nullptr && ++firstCalls == 3) {
                client->DeleteSnapshotSet(second);
                deletedQuote = second;
            }
        }
        void onRecordSetEvent(TRecordSet* set, int, long, long) override {
            if (set == deletedStream) ++lateStream;
            if (set == firstStream && deletedStream == nullptr && ++firstStreamCalls == 3) {
                client->DeleteTRecordSet(secondStream);
                deletedStream = secondStream;
            }
        }
        TellivarClient* client = nullptr;
        SnapshotSet *first = nullptr, *second = nullptr;
        TRecordSet *firstStream = nullptr, *secondStream = nullptr;
        const void *deletedQuote = nullptr, *deletedStream = nullptr;  // only this sink's sets come here
        int firstCalls = 0, firstStreamCalls = 0, lateQuote = 0, lateStream = 0;
        std::atomic<bool> ended{false};
    } host;
    replay::ReplayClient client(getenv());
    host.client = &client;
    host.first = client.CreateSnapshotSet("AAA");
    host.second = client.CreateSnapshotSet("AAA");
    host.firstStream = client.CreateTRecordSet("AAA,1");
    host.secondStream = client.CreateTRecordSet("AAA,1");
    for (SnapshotSet* set : {host.first, host.second}) {
        set->sink = &host;
        set->Init();
    }
    for (TRecordSet* set : {host.firstStream, host.secondStream}) {
        set->SetSink(&host);
        set->Init(10, 0);
    }
    client.Connect(&host);
    // Meanwhile a host thread makes and deletes sets of its own, with a sink of their own.
    struct Reader : ISSSetSink, ITRecSetSink {
        void onSnapshotUpdate(SnapshotSet* set, std::uint8_t, const std::uint8_t*) override { lastOf(set); }
        void onRecordSetEvent(TRecordSet* set, int, long, long) override { barsOf(set); }
    } churn;
    for (int round = 0; !host.ended && round < 2000; ++round) {
        SnapshotSet* quote = client.CreateSnapshotSet("BBB");
        TRecordSet* stream = client.CreateTRecordSet("AAA,5");
        quote->sink = &churn;
        stream->SetSink(&churn);
        quote->Init();
        stream->Init(10, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        client.DeleteSnapshotSet(quote);
        client.DeleteTRecordSet(stream);
    }
    ASSERT_TRUE(eventually([&] { return host.ended.load(); }));
    client.Disconnect();
    client.Shutdown();
    EXPECT_GE(host.firstCalls, 3);
    EXPECT_GE(host.firstStreamCalls, 3);
    EXPECT_EQ(host.lateQuote, 0);
    EXPECT_EQ(host.lateStream, 0);
    client.DeleteSnapshotSet(host.first);
    client.DeleteTRecordSet(host.firstStream);
}

// The desk's control subject: requests as text, the status as JSON.
TEST_F(ReplayClientTest, ShouldAnswerControlRequestsOnItsSubjectWithTheStatus) {
    const std::string config = ::testing::TempDir() + "/replay-control.conf";
    std::ofstream(config) << "control-subject = desk.replay.control\nspeed = 2\n";
    env_["TELLIVAR_REPLAY_CONFIG"] = config;
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client(getenv());
    ASSERT_TRUE(logOn(client, host));
    natsConnection* nc = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&nc, server_->url().c_str()), NATS_OK);
    auto ask = [&](const std::string& request) {
        natsMsg* reply = nullptr;
        EXPECT_EQ(natsConnection_RequestString(&reply, nc, "desk.replay.control", request.c_str(), 5000), NATS_OK) << request;
        if (reply == nullptr) return nlohmann::json();
        const auto json = nlohmann::json::parse(std::string(natsMsg_GetData(reply), natsMsg_GetDataLength(reply)));
        natsMsg_Destroy(reply);
        return json;
    };
    struct Case {
        const char* request;
        bool ok;
        const char* key;
        nlohmann::json value;
    } cases[] = {
        {"pause", true, "playing", false},
        {"speed 16", true, "speed", 16},
        {"speed 100", false, "speed", 16},
        {"seek 2026-12-08T10:35:00Z", true, "clock", "2026-12-08T10:35:00Z"},
        {"seek 2026-12-08T12:00:00Z", false, "clock", "2026-12-08T10:35:00Z"},
        {"step 60", true, "recording", "DESK"},
        {"play", true, "playing", true},
        {"rewind", false, "connected", true},
        {"status", true, "first", "2026-12-08T10:30:00Z"},
    };
    for (const Case& c : cases) {
        const nlohmann::json answer = ask(c.request);
        ASSERT_TRUE(answer.is_object()) << c.request;
        EXPECT_EQ(answer["ok"], c.ok) << c.request << ": " << answer.dump();
        EXPECT_EQ(answer[c.key], c.value) << c.request << ": " << answer.dump();
        EXPECT_EQ(answer["error"].get<std::string>().empty(), c.ok) << answer.dump();
    }
    natsConnection_Destroy(nc);
    client.Disconnect();
    client.Shutdown();
}

// A step asked right behind a seek plays from the seek's time, then pauses.
TEST_F(ReplayClientTest, ShouldStepOneSpanFromWhereASeekWentAndPauseThere) {
    env_["TELLIVAR_REPLAY_FROM"] = "2026-12-08T10:31:00Z";
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client(getenv());
    ASSERT_TRUE(logOn(client, host));
    ASSERT_EQ(client.pause(), 0);
    SnapshotSet* a = client.CreateSnapshotSet("AAA");
    a->sink = &host;
    host.names[a] = "AAA";
    a->Init();
    ASSERT_EQ(client.seek(kT0 + 120 * kSec), 0);
    ASSERT_EQ(client.step(300), 0);
    ASSERT_TRUE(eventually([&] { return client.status().playing == 0 && client.status().clock_ns == kT0 + 420 * kSec; }))
        << replay::formatIso(client.status().clock_ns) << " playing " << client.status().playing;
    ASSERT_TRUE(eventually([&] { return lastOf(a) == priceA(419); })) << lastOf(a).value_or(-1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(lastOf(a), priceA(419));
    EXPECT_EQ(client.setSpeed(0.1), -1);
    EXPECT_NE(std::string(client.status().error).find("out of range"), std::string::npos);
    client.DeleteSnapshotSet(a);
    client.Disconnect();
    client.Shutdown();
}

// The server killed during a replay and started again on its store: the
// replay says so, waits, and resumes at its clock with fresh images.
TEST(ReplayServerLost, ShouldResumeAtTheClockWithFreshImagesOnceTheServerIsBack) {
    SKIP_WITHOUT_NATS_SERVER();
    char pattern[] = "/tmp/replay-lost-XXXXXX";
    const std::string store = mkdtemp(pattern);
    NatsServer::Options options;
    options.jetStreamStore = store + "/js";
    NatsServer server(options);
    Model model;
    {
        RecordingWriter writer(server.url());
        model = writer.writeAll();
    }
    std::map<std::string, std::string> env = {{"TELLIVAR_REPLAY_RECORDING", kName},
                                              {"TELLIVAR_NATS_URL", server.url()},
                                              {"TELLIVAR_REPLAY_FROM", "2026-12-08T10:32:00Z"},
                                              {"TELLIVAR_REPLAY_SPEED", "2"},
                                              {"HOME", "/nonexistent"}};
    Transcript transcript;
    Host host(transcript);
    replay::ReplayClient client([&env](const char* name) -> const char* {
        const auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
    });
    host.client = &client;
    SnapshotSet* a = client.CreateSnapshotSet("AAA");
    a->sink = &host;
    host.names[a] = "AAA";
    a->Init();
    client.Connect(&host);
    ASSERT_TRUE(transcript.waitFor("ready"));
    ASSERT_TRUE(eventually([&] { return lastOf(a).has_value(); }));
    server.kill();
    ASSERT_TRUE(transcript.waitFor("message The replay lost its server"));
    EXPECT_EQ(client.status().connected, 0);
    const std::int64_t clock = client.status().clock_ns;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.status().clock_ns, clock);  // the clock waits for the server
    const std::size_t quotesBefore = transcript.count("quote AAA");
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(transcript.waitFor("message The replay resumed at " + replay::formatIso(clock), std::chrono::seconds(30)));
    EXPECT_TRUE(eventually([&] { return transcript.count("quote AAA") > quotesBefore; }));  // a fresh image
    ASSERT_EQ(client.pause(), 0);
    const std::int64_t now = client.status().clock_ns;
    EXPECT_GE(now, clock);
    ASSERT_TRUE(eventually([&] { return lastOf(a) == *Model::at(model.a, now); }))
        << lastOf(a).value_or(-1) << " at " << replay::formatIso(now);
    EXPECT_EQ(client.status().connected, 1);
    client.DeleteSnapshotSet(a);
    client.Disconnect();
    client.Shutdown();
    std::filesystem::remove_all(store);
}

// The library as a host finds it: the contract's pointer and the controls by dlsym.
TEST_F(ReplayClientTest, ShouldExportTheContractAndTheControlFunctionsOnly) {
    void* library = dlopen(TELLIVAR_REPLAY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto* client = *static_cast<TellivarClient**>(dlsym(library, "pTellivarClient"));
    auto* getStatus = reinterpret_cast<int (*)(tellivar_replay_status*)>(dlsym(library, "tellivar_replay_get_status"));
    auto* seek = reinterpret_cast<int (*)(std::int64_t)>(dlsym(library, "tellivar_replay_seek"));
    ASSERT_NE(client, nullptr);
    ASSERT_NE(getStatus, nullptr);
    ASSERT_NE(seek, nullptr);
    EXPECT_EQ(dlsym(library, "_ZN6replay12ReplayClient4playEv"), nullptr);
    tellivar_replay_status status{};
    ASSERT_EQ(getStatus(&status), 0);
    EXPECT_EQ(status.connected, 0);
    EXPECT_EQ(seek(kT0), -1);  // no replay connected
    ASSERT_EQ(getStatus(&status), 0);
    EXPECT_STREQ(status.error, "no replay connected");
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"TELLIVAR_REPLAY_RECORDING", kName}, {"TELLIVAR_NATS_URL", server_->url()}, {"TELLIVAR_REPLAY_FROM", ""},
             {"TELLIVAR_REPLAY_SPEED", "1"}, {"TELLIVAR_REPLAY_CONFIG", "/nonexistent/replay.conf"}})
        setenv(name.c_str(), value.c_str(), 1);
    unsetenv("TELLIVAR_REPLAY_CONFIG");
    Transcript transcript;
    Host host(transcript);
    host.client = client;
    client->Connect(&host);
    ASSERT_TRUE(transcript.waitFor("ready"));
    EXPECT_EQ(seek(kT0 + 30 * kSec), 0);
    ASSERT_TRUE(eventually([&] {
        getStatus(&status);
        return status.connected == 1 && status.clock_ns >= kT0 + 30 * kSec && status.clock_ns < kT0 + 40 * kSec;
    }));
    EXPECT_STREQ(status.recording, kName);
    client->Disconnect();
    transcript.waitFor("logoff");
    client->Shutdown();
    dlclose(library);
}

}  // namespace

// The gateway's recording (--record): what the JetStream stream holds after a
// gateway in the test's process served the stand-in on a nats-server -js of
// the test's own, read back record by record; the recording failing under a
// gateway that goes on serving; the program's recording options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "gateway/recorder.h"
#include "nats/fanout_support.h"
#include "nats/recording_support.h"
#include "wire/record.h"

namespace {

using namespace std::chrono_literals;

const std::string kName = "desk";

// A gateway recording into `kName` on a JetStream server; the universe and
// the keyframe period as each test sets them.
class Recording : public FanOut {
protected:
    Recording() {
        char pattern[] = "/tmp/recording-test-XXXXXX";
        store_ = mkdtemp(pattern);
        jetStreamStore = store_;
        adjustGateway = [this](gateway::Options& options) { options.record = record; };
        record.name = kName;
        record.symbols = {"ACME", "GLOBEX"};
        record.keyframe = 1s;
        record.streamRetry = 200ms;
    }
    ~Recording() override {
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }
    natsConnection* probe() {
        if (probe_ == nullptr) {
            probe_ = rawConnection();
        }
        return probe_;
    }
    natsConnection* rawConnection() {
        natsConnection* raw = nullptr;
        EXPECT_EQ(natsConnection_ConnectTo(&raw, server->url().c_str()), NATS_OK);
        rawConnections.push_back(raw);
        return raw;
    }
    std::vector<Recorded> recorded() { return readRecording(probe(), kName); }
    // Trades on the stand-in: every open symbol's quote and bars move. Each
    // waits for the gateway to take the last one's updates: the feed merges
    // the changes of trades its sink has not been told of yet.
    void trade(int times = 1) {
        for (int i = 0; i < times; ++i) {
            const std::uint64_t before = gate->stats().updatesIn;
            feed.advanceClock(5);
            feed.tradeNow();
            ASSERT_TRUE(eventually([&] { return gate->stats().updatesIn > before; }));
        }
    }
    static std::size_t updatesOn(const std::vector<Recorded>& all, const std::string& subject) {
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const Recorded& r) {
            return r.record.type == wire::RecordType::Update && r.subject == subject;
        }));
    }

    gateway::RecordOptions record;

private:
    std::string store_;
    natsConnection* probe_ = nullptr;
};

TEST_F(Recording, ShouldStartWithASessionKeyframeOfTheUniverseThenRecordWhatIsPublishedInItsOrder) {
    // Everything the gateway publishes, in the order it left (one subscription:
    // each has its own delivery).
    RawListener live;
    natsSubscription* sub = nullptr;
    natsConnection* raw = rawConnection();
    ASSERT_EQ(natsConnection_Subscribe(&sub, raw, "tellivar.>", &RawListener::onMessage, &live), NATS_OK);
    natsConnection_Flush(raw);
    ASSERT_TRUE(eventually([&] { return gate->stats().keyframesWritten >= 1; }, 20s));
    trade(3);
    const std::string acme = wire::recordQuoteSubject(kName, "ACME"), globex = wire::recordQuoteSubject(kName, "GLOBEX");
    const std::string acmeBars = wire::recordStreamSubject(kName, "ACME,1");
    const std::string globexBars = wire::recordStreamSubject(kName, "GLOBEX,1");
    std::vector<Recorded> all;
    ASSERT_TRUE(eventually([&] {
        all = recorded();
        return updatesOn(all, acme) >= 3 && updatesOn(all, globex) >= 3 && updatesOn(all, acmeBars) >= 1 &&
               updatesOn(all, globexBars) >= 1 && keyframesOf(all).size() >= 2;
    }, 20s)) << all.size() << " records: " << describe(all);

    const std::vector<Keyframe> keyframes = keyframesOf(all);
    const Keyframe& first = keyframes.front();
    EXPECT_EQ(first.at, 0u) << "the recording starts with a keyframe";
    EXPECT_EQ(first.flags, wire::kSessionStart);
    EXPECT_TRUE(first.whole);
    EXPECT_EQ(first.subjects, (std::set<std::string>{acme, globex, acmeBars, globexBars}));
    for (std::size_t i = 1; i <= first.count && i < all.size(); ++i) {
        const wire::Message& m = *all[i].record.message;
        if (const auto* q = std::get_if<wire::Quote>(&m)) {
            EXPECT_TRUE(q->image) << all[i].subject;
            EXPECT_FALSE(q->fields.empty()) << all[i].subject;
            EXPECT_EQ(wire::recordQuoteSubject(kName, q->symbol), all[i].subject);
        } else {
            const auto& s = std::get<wire::Stream>(m);
            EXPECT_TRUE(s.full) << all[i].subject;
            EXPECT_FALSE(s.bars.empty()) << all[i].subject;
            EXPECT_EQ(wire::recordStreamSubject(kName, s.query), all[i].subject);
        }
    }
    const Keyframe& second = keyframes[1];
    EXPECT_EQ(second.flags, 0) << "only a session's first keyframe starts it";
    EXPECT_TRUE(second.whole);
    EXPECT_EQ(second.subjects, first.subjects);

    // One session; times never go back.
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].record.session, all[0].record.session) << "record " << i;
        EXPECT_GE(all[i].record.timeNs, all[i - 1].record.timeNs) << "record " << i;
    }
    // The updates are the live messages, byte for byte and in their order,
    // from the first one recorded on.
    std::vector<std::vector<std::uint8_t>> updates;
    for (const Recorded& r : all)
        if (r.record.type == wire::RecordType::Update) updates.push_back(r.body);
    ASSERT_FALSE(updates.empty());
    std::vector<std::vector<std::uint8_t>> published;
    EXPECT_TRUE(eventually([&] {
        published.clear();
        for (const auto& [subject, bytes] : live.receivedWithSubjects())
            if (subject.rfind("tellivar.quote.", 0) == 0 || subject.rfind("tellivar.stream.", 0) == 0)
                published.push_back(bytes);
        const auto from = std::find(published.begin(), published.end(), updates.front());
        return from != published.end() && published.end() - from >= static_cast<std::ptrdiff_t>(updates.size()) &&
               std::equal(updates.begin(), updates.end(), from);
    }, 10s)) << updates.size() << " updates recorded, " << published.size() << " messages published";
    const gateway::Stats stats = gate->stats();
    EXPECT_GE(stats.recordedMessages, all.size());
    EXPECT_GT(stats.recordedBytes, stats.recordedMessages * 20);
    EXPECT_EQ(stats.recordErrors, 0u);
    EXPECT_EQ(stats.recordDropped, 0u);
    natsSubscription_Destroy(sub);
}

TEST_F(Recording, ShouldRecordAClientsOwnSetsAndKeepTheUniverseWhenClientsLeaveItInTheAskedStream) {
    record.symbols = {"ACME"};
    record.maxAge = 3600s;
    record.maxBytes = 8 << 20;
    restartGateway();
    ASSERT_TRUE(eventually([&] { return gate->stats().keyframesWritten >= 1; }, 20s));
    EXPECT_EQ(gate->stats().clients, 0u) << "the universe is no client";
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog initech, acme;
    SnapshotSet* own = openQuote(c, "INITECH", initech);
    SnapshotSet* shared = openQuote(c, "ACME", acme);
    ASSERT_TRUE(eventually([&] { return initech.calls >= 1 && acme.calls >= 1; }));
    trade(2);
    const std::string initechSubject = wire::recordQuoteSubject(kName, "INITECH");
    std::vector<Recorded> all;
    const auto holdsInitech = [&](const Keyframe& k) { return k.whole && k.subjects.count(initechSubject) == 1; };
    EXPECT_TRUE(eventually([&] {
        all = recorded();
        const std::vector<Keyframe> frames = keyframesOf(all);
        return updatesOn(all, initechSubject) >= 2 && std::any_of(frames.begin(), frames.end(), holdsInitech);
    }, 20s)) << "a client's own set is recorded, and is in the keyframes: " << describe(all);

    // The client leaves both: its own set goes, the universe's stays.
    c.client.DeleteSnapshotSet(own);
    c.client.DeleteSnapshotSet(shared);
    EXPECT_TRUE(eventually([&] { return gate->stats().symbols == 1 && gate->stats().clients == 0; }));
    EXPECT_EQ(gate->stats().streams, 1u) << "ACME,1 is kept";
    const std::size_t before = updatesOn(recorded(), wire::recordQuoteSubject(kName, "ACME"));
    trade();
    EXPECT_TRUE(eventually([&] { return updatesOn(recorded(), wire::recordQuoteSubject(kName, "ACME")) > before; }))
        << "the universe is recorded with no client";

    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    ASSERT_EQ(natsConnection_JetStream(&js, probe(), nullptr), NATS_OK);
    ASSERT_EQ(js_GetStreamInfo(&info, js, kName.c_str(), nullptr, &code), NATS_OK);
    EXPECT_EQ(info->Config->MaxAge, std::chrono::nanoseconds(3600s).count());
    EXPECT_EQ(info->Config->MaxBytes, 8 << 20);
    EXPECT_EQ(info->Config->Replicas, 1) << "one copy on a single server";
    EXPECT_EQ(info->Config->Storage, js_FileStorage);
    ASSERT_EQ(info->Config->SubjectsLen, 1);
    EXPECT_STREQ(info->Config->Subjects[0], wire::recordWildcard(kName).c_str());
    jsStreamInfo_Destroy(info);
    jsCtx_Destroy(js);
}

// The recording fails; the gateway goes on serving its clients and counts it.
enum class Failure { NoJetStream, StreamDeleted };

class RecordingFails : public Recording, public ::testing::WithParamInterface<Failure> {
protected:
    RecordingFails() {
        if (GetParam() == Failure::NoJetStream) jetStreamStore.clear();
    }
};

TEST_P(RecordingFails, ShouldKeepServingLiveQuotesAndCountTheErrors) {
    if (GetParam() == Failure::StreamDeleted) {
        ASSERT_TRUE(eventually([&] { return gate->stats().keyframesWritten >= 1; }, 20s));
        jsCtx* js = nullptr;
        ASSERT_EQ(natsConnection_JetStream(&js, probe(), nullptr), NATS_OK);
        jsErrCode code = static_cast<jsErrCode>(0);
        ASSERT_EQ(js_DeleteStream(js, kName.c_str(), nullptr, &code), NATS_OK);
        jsCtx_Destroy(js);
    }
    Client& c = connectClient();
    ASSERT_TRUE(eventually([&] { return c.status.saw("ready"); }));
    QuoteLog acme;
    SnapshotSet* set = openQuote(c, "ACME", acme);
    ASSERT_TRUE(eventually([&] { return acme.calls >= 1; }));
    for (int i = 0; i < 3; ++i) {
        const int seen = acme.calls;
        trade();
        ASSERT_TRUE(eventually([&] { return acme.calls > seen; })) << "live quotes go on";
    }
    EXPECT_TRUE(eventually([&] { return gate->stats().recordErrors > 0; })) << "the failure is counted";
    if (GetParam() == Failure::NoJetStream) {
        EXPECT_TRUE(gatewayLogged("recording: cannot")) << "the log says why";
        EXPECT_EQ(gate->stats().keyframesWritten, 0u);
    } else {
        // The stream is added again, and starts with a keyframe to rebuild from.
        std::vector<Recorded> all;
        EXPECT_TRUE(eventually([&] {
            trade();
            all = recorded();
            return !keyframesOf(all).empty() && updatesOn(all, wire::recordQuoteSubject(kName, "ACME")) > 0;
        }, 20s));
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.front().record.type, wire::RecordType::KeyframeBegin);
        EXPECT_TRUE(keyframesOf(all).front().whole);
        EXPECT_TRUE(gatewayLogged("recording: no stream took a record of desk; checking the stream"));
    }
    c.client.DeleteSnapshotSet(set);
}

INSTANTIATE_TEST_SUITE_P(Gateway, RecordingFails, ::testing::Values(Failure::NoJetStream, Failure::StreamDeleted),
                         [](const auto& info) {
                             return std::string(info.param == Failure::NoJetStream ? "WithoutJetStream"
                                                                                   : "WhenTheStreamIsDeleted");
                         });

// The recorder never waits for JetStream: past `maxPending` records awaiting
// an answer a record is dropped and counted; one unanswered for `answerWait`
// is an error, and no longer holds a place.
TEST(Recorder, ShouldDropRecordsPastThePendingBoundAndCountUnansweredOnesAsErrors) {
    SKIP_WITHOUT_NATS_SERVER();
    NatsServer server;
    ASSERT_TRUE(server.running());
    natsConnection* nats = nullptr;
    natsConnection* silent = nullptr;  // takes the records and never answers, as a stalled JetStream
    ASSERT_EQ(natsConnection_ConnectTo(&nats, server.url().c_str()), NATS_OK);
    ASSERT_EQ(natsConnection_ConnectTo(&silent, server.url().c_str()), NATS_OK);
    RawListener taken;
    natsSubscription* sub = nullptr;
    ASSERT_EQ(natsConnection_Subscribe(&sub, silent, wire::recordWildcard(kName).c_str(), &RawListener::onMessage, &taken),
              NATS_OK);
    natsConnection_Flush(silent);
    gateway::RecordOptions options;
    options.name = kName;
    options.maxPending = 2;
    options.answerWait = 5s;
    {
        gateway::Recorder recorder(nats, options);
        std::string error;
        ASSERT_TRUE(recorder.start(&error)) << error;
        const std::string subject = wire::recordQuoteSubject(kName, "ACME");
        const std::vector<std::uint8_t> record(40, 1);
        EXPECT_TRUE(recorder.send(subject, record));
        EXPECT_TRUE(recorder.send(subject, record));
        EXPECT_FALSE(recorder.send(subject, record)) << "a third record while two await an answer";
        EXPECT_EQ(recorder.counts().dropped, 1u);
        EXPECT_EQ(recorder.counts().errors, 0u);
        EXPECT_TRUE(eventually([&] { return taken.received().size() == 2; }));

        recorder.expire(std::chrono::steady_clock::now() + options.answerWait);
        EXPECT_EQ(recorder.counts().errors, 2u) << "both waited too long";
        EXPECT_TRUE(recorder.send(subject, record)) << "their places are free again";
        EXPECT_EQ(recorder.counts().messages, 0u);
        recorder.stop();
    }
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(silent);
    natsConnection_Destroy(nats);
}

// ---- The universe file and the program's options --------------------------------------

TEST(RecordedUniverse, ShouldReadOneSymbolALineAndRefuseWhatIsNotOneWithItsLine) {
    const struct {
        const char* text;
        std::vector<std::string> symbols;  // empty: refused
        const char* error;
    } cases[] = {
        {"ACME\nBRK.B\n", {"ACME", "BRK.B"}, ""},
        {"# the desk's symbols\n\n  ACME  \r\nGLOBEX", {"ACME", "GLOBEX"}, ""},
        {"ACME\nAC ME\n", {}, "line 2: 'AC ME' is not a symbol (1 to 64 of A-Z a-z 0-9 . - _, one a line)"},
        {"ACME,1\n", {}, "line 1: 'ACME,1' is not a symbol (1 to 64 of A-Z a-z 0-9 . - _, one a line)"},
        {"ACME\nGLOBEX\nACME\n", {}, "line 3: ACME is listed twice"},
        {"# nothing\n\n", {}, "no symbol in it"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto symbols = gateway::parseUniverse(c.text, &error);
        EXPECT_EQ(symbols.value_or(std::vector<std::string>{}), c.symbols) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

// The program refuses a bad recording option before it connects anywhere:
// exit 2 and the reason.
TEST(RecordOptions, ShouldRefuseBadValuesWithTheirReason) {
    char pattern[] = "/tmp/recording-options-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string bad = dir + "/bad", good = dir + "/good", out = dir + "/out";
    std::ofstream(bad) << "ACME\nAC ME\n";
    std::ofstream(good) << "ACME\n";
    const struct {
        const char* name;
        std::vector<std::string> args, env;
        std::string reason;
    } cases[] = {
        {"a name with a dot", {"--record", "desk.1"}, {}, "a recording's name is 1 to 32 of A-Z a-z 0-9 - _: desk.1"},
        {"a name from the environment", {}, {"TELLIVAR_GATEWAY_RECORD=a*"}, "a recording's name is 1 to 32"},
        {"a keyframe period of 0", {"--record", "desk", "--record-keyframe", "0"}, {}, "--record-keyframe"},
        {"an age of 0", {"--record", "desk", "--record-max-age", "0"}, {}, "--record-max-age"},
        {"negative bytes", {"--record", "desk", "--record-max-bytes", "-1"}, {}, "--record-max-bytes"},
        {"no universe file", {"--record", "desk", "--record-symbols", dir + "/none"}, {}, "--record-symbols"},
        {"a bad universe", {"--record", "desk", "--record-symbols", bad}, {}, "--record-symbols " + bad + ": line 2:"},
        {"a universe without a recording", {"--record-symbols", good}, {}, "--record-symbols needs --record NAME"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {TELLIVAR_GATEWAY_PROGRAM, "--config", "/dev/null", "--nats",
                                         "nats://127.0.0.1:1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::filesystem::remove(out);
        ChildProcess program(args, c.env, out);
        const int status = program.wait(30s);
        ASSERT_NE(status, -1) << c.name << ": still running";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.name << ": status " << status;
        std::ifstream in(out);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.name << " said: " << text;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

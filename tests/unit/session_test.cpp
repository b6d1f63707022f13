#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "PluginManager/tellivar/init.h"
#include "support/test_support.h"

namespace {

const char kInitPath[] = "PluginManager/tellivar/init";

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        factory->abilityRecord.addListener(&listener);
        factory->requestContext = &context;  // as slot 6 or 8 would have stored it
    }

    // Runs `work` on a thread of its own, as the feed client does, and waits for it.
    static void onFeedThread(const std::function<void()>& work) { std::thread(work).join(); }

    EConnectStatus& sink() { return *feed.client().lastSink(); }
    bool online() { return factory->abilityRecord.isOnline(); }

    FakeFeedScope feed;
    AceLogCapture ace;
    FakeContext context;
    RecordingListener listener;
    std::unique_ptr<TellivarInterfaceFactory> factory = std::make_unique<TellivarInterfaceFactory>();
};

using Calls = std::vector<std::string>;

}  // namespace

// ---- Feed-call sequences ------------------------------------------------------

TEST_F(SessionTest, ShouldIssueTwoReconnectPairsAtTheFirstSetup) {
    factory->connectSession();
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect", "Connect", "Disconnect", "Connect"}));
    ASSERT_NE(factory->session.state(), nullptr);
    EXPECT_EQ(feed.client().lastSink(), factory->session.state());
    EXPECT_FALSE(factory->isSessionReady());
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{{"status", "Connect", "", 2}}));
    const auto records = ace.records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].text, "tellivar_setup ENTER\n");
    EXPECT_EQ(records[1].text, "tellivar_setup LEAVE\n");
    for (const AceRecord& record : records) {
        EXPECT_EQ(record.path, kInitPath);
        EXPECT_EQ(record.priority, static_cast<unsigned long>(LM_DEBUG));
        EXPECT_EQ(record.status, 0);
    }
}

TEST_F(SessionTest, ShouldMakeNoCallRecordOrReportOnceReady) {
    factory->connectSession();
    sink().onReady();
    feed.client().clearCalls();
    ace.clear();
    context.log.clear();
    factory->connectSession();
    factory->connectionControl(&context, true);
    EXPECT_TRUE(feed.client().calls().empty());
    EXPECT_TRUE(ace.records().empty());
    EXPECT_TRUE(context.log.lines().empty());
}

TEST_F(SessionTest, ShouldClearReadyAndDisconnectOnHostDisconnectWithoutTouchingOnline) {
    factory->connectSession();
    sink().onLogon(0);
    sink().onReady();
    const std::size_t notified = listener.calls().size();
    feed.client().clearCalls();
    factory->connectionControl(&context, false);
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect"}));
    EXPECT_FALSE(factory->isSessionReady());
    EXPECT_TRUE(online());
    EXPECT_EQ(listener.calls().size(), notified);
}

TEST_F(SessionTest, ShouldReuseTheSessionWithOnePairAfterAHostDisconnect) {
    factory->connectSession();
    TellivarState* first = factory->session.state();
    sink().onReady();
    factory->connectionControl(&context, false);
    feed.client().clearCalls();
    factory->connectionControl(&context, true);
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect", "Connect"}));
    EXPECT_EQ(factory->session.state(), first);
}

TEST_F(SessionTest, ShouldDisconnectThenShutDownOnceWhenTheFactoryGoes) {
    factory->connectSession();
    sink().onReady();
    feed.client().clearCalls();
    factory.reset();
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect", "Shutdown"}));
}

// ---- Logon on the feed's thread ------------------------------------------------

TEST_F(SessionTest, ShouldSendStoredCredentialsWhenAsked) {
    factory->setSetting("Username", "alice");
    factory->setSetting("Password", "pw");
    factory->connectSession();
    feed.client().clearCalls();
    onFeedThread([&] { sink().onSendCredentials(0, 0); });
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(alice,pw)"}));
    EXPECT_EQ(context.log.linesOf("info"),
              (std::vector<LogLine>{{"info", "Tellivar Client - sending credentials", "", 0}}));
}

TEST_F(SessionTest, ShouldSendEmptyCredentialsAsEmptyTexts) {
    factory->connectSession();
    feed.client().clearCalls();
    onFeedThread([&] { sink().onSendCredentials(0, 0); });
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(,)"}));
}

TEST_F(SessionTest, ShouldGoOnlineAtLogonAndFirstReadyOnly) {
    factory->connectSession();
    context.log.clear();
    onFeedThread([&] {
        sink().onLogon(1);
        sink().onReady();
        sink().onReady();
    });
    const auto calls = listener.calls();
    ASSERT_EQ(calls.size(), 2U);
    for (const auto& call : calls) {
        EXPECT_TRUE(call.online);
        EXPECT_EQ(call.providerName, "Tellivar");
        EXPECT_EQ(call.ability, factory->ability());
    }
    EXPECT_TRUE(factory->isSessionReady());
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{{"status", "Logon", "", 0},
                                                         {"status", "Ready", "", 0},
                                                         {"status", "Ready", "", 0}}));
}

TEST_F(SessionTest, ShouldGoOfflineAtLogOffAndNotReconnectAfterIt) {
    factory->connectSession();
    onFeedThread([&] {
        sink().onLogon(1);
        sink().onReady();
        sink().onLogOff();
    });
    ASSERT_EQ(listener.calls().size(), 3U);
    EXPECT_FALSE(listener.calls().back().online);
    EXPECT_FALSE(online());
    EXPECT_EQ(context.log.lines().back(), (LogLine{"status", "LogOff", "", 2}));
    EXPECT_TRUE(factory->isSessionReady()) << "a feed log-off keeps ready";

    feed.client().clearCalls();
    TellivarInterface iface(factory.get());
    FakeRequest request;
    RecordingTickConsumer consumer;
    std::unique_ptr<data::TickSupplier> supplier(iface.createTickSupplier(&request, &consumer, &context));
    for (const std::string& call : feed.client().calls()) {
        EXPECT_NE(call, "Connect");
        EXPECT_NE(call, "Disconnect");
    }
}

TEST_F(SessionTest, ShouldPassFeedMessagesOnAsInfoWithEveryPercentLiteral) {
    const std::pair<const char*, const char*> cases[] = {
        {"Invalid password: 100%", "Invalid password: 100%%"},
        {"100%s ... %n%n", "100%%s ... %%n%%n"},
        {"%%", "%%%%"},
        {"no directives", "no directives"},
        {"", ""},
    };
    factory->connectSession();
    for (const auto& [sent, format] : cases) {
        context.log.clear();
        onFeedThread([&, text = sent] { sink().onMessage(text); });
        ASSERT_EQ(context.log.lines(), (std::vector<LogLine>{{"info", format, "", 0}})) << sent;
        // A host that formats printf-style prints the feed's text unchanged.
        char printed[64];
        std::snprintf(printed, sizeof printed, context.log.lines()[0].format.c_str(), "");
        EXPECT_STREQ(printed, sent);
    }
}

TEST_F(SessionTest, ShouldUseANewPasswordOnlyAfterHostReconnect) {
    factory->setSetting("Username", "alice");
    factory->setSetting("Password", "old");
    factory->connectSession();
    sink().onReady();
    factory->setSetting("Password", "new");
    factory->connectSession();
    feed.client().clearCalls();
    sink().onSendCredentials(0, 0);
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(alice,old)"}));

    factory->connectionControl(&context, false);
    factory->connectionControl(&context, true);
    feed.client().clearCalls();
    sink().onSendCredentials(0, 0);
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(alice,new)"}));
}

TEST_F(SessionTest, ShouldTellListenersAgainAfterHostReconnect) {
    factory->connectSession();
    sink().onReady();
    factory->connectionControl(&context, false);
    factory->connectionControl(&context, true);
    sink().onReady();
    EXPECT_EQ(listener.calls().size(), 2U);
    EXPECT_TRUE(factory->isSessionReady());
}

TEST_F(SessionTest, ShouldSkipTheConnectReportWithoutContext) {
    factory->requestContext = nullptr;
    factory->connectSession();
    EXPECT_EQ(feed.client().countOf("Connect"), 2U);
    EXPECT_TRUE(context.log.lines().empty());
}

// ---- Session creation failure ---------------------------------------------------

TEST_F(SessionTest, ShouldLogAndRetryWhenTheSessionCannotBeMade) {
    const auto original = TellivarInterfaceFactory::sessionMaker;
    TellivarInterfaceFactory::sessionMaker = [](const std::string&, const std::string&, data::Ability_impl*,
                                                data::RequestContext*) -> TellivarState* { return nullptr; };
    factory->connectSession();
    TellivarInterfaceFactory::sessionMaker = original;

    EXPECT_EQ(factory->session.state(), nullptr);
    EXPECT_TRUE(feed.client().calls().empty());
    EXPECT_EQ(context.log.lines(), (std::vector<LogLine>{{"status", "Connect", "", 2}}));
    const auto records = ace.records();
    ASSERT_EQ(records.size(), 4U);
    EXPECT_EQ(records[0].text, "tellivar_setup ENTER\n");
    EXPECT_EQ(records[1].text, "No memory : new TellivarState\n");
    EXPECT_EQ(records[1].priority, static_cast<unsigned long>(LM_ERROR));
    EXPECT_EQ(records[1].status, -1);
    EXPECT_EQ(records[2].text, "tellivar_setup LEAVE\n");
    EXPECT_EQ(records[3].text, "Fatal Error: Tellivar Client initialization failed");
    EXPECT_EQ(records[3].priority, static_cast<unsigned long>(LM_ERROR));
    EXPECT_EQ(records[3].path, kInitPath);

    factory->connectSession();
    EXPECT_NE(factory->session.state(), nullptr);
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect", "Connect", "Disconnect", "Connect"}));
}

// Log readers match the records by path and line, so these stay fixed
// wherever the code that writes them lives.
TEST_F(SessionTest, ShouldWriteEverySetupRecordAtItsFixedPathAndLine) {
    const auto original = TellivarInterfaceFactory::sessionMaker;
    TellivarInterfaceFactory::sessionMaker = [](const std::string&, const std::string&, data::Ability_impl*,
                                                data::RequestContext*) -> TellivarState* { return nullptr; };
    factory->connectSession();
    TellivarInterfaceFactory::sessionMaker = original;
    factory->connectSession();

    const AceRecord enter{kInitPath, 180, 0, LM_DEBUG, "tellivar_setup ENTER\n"};
    const AceRecord leave{kInitPath, 208, 0, LM_DEBUG, "tellivar_setup LEAVE\n"};
    EXPECT_EQ(ace.records(),
              (std::vector<AceRecord>{enter,
                                      {kInitPath, 205, -1, LM_ERROR, "No memory : new TellivarState\n"},
                                      leave,
                                      {kInitPath, 232, 0, LM_ERROR, "Fatal Error: Tellivar Client initialization failed"},
                                      enter,
                                      leave}));
}

// ---- Concurrency ----------------------------------------------------------------

TEST_F(SessionTest, ShouldCreateOneSessionAndNeverOverlapSetupsAcrossThreads) {
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> sessionsMade{0};
    static std::atomic<int>* made = nullptr;
    made = &sessionsMade;
    const auto original = TellivarInterfaceFactory::sessionMaker;
    TellivarInterfaceFactory::sessionMaker = [](const std::string& u, const std::string& p, data::Ability_impl* a,
                                                data::RequestContext* c) -> TellivarState* {
        ++*made;
        return new TellivarState(u, p, a, c);
    };
    feed.client().onConnect = [&](EConnectStatus*) {
        if (++inside > 1) overlapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // widens the window for an overlap
        --inside;
    };
    Gate start;
    auto connect = [&] {
        start.wait();
        factory->connectSession();
    };
    std::thread one(connect), two(connect);
    start.open();
    one.join();
    two.join();
    TellivarInterfaceFactory::sessionMaker = original;

    EXPECT_EQ(sessionsMade.load(), 1);
    EXPECT_FALSE(overlapped.load());
    // No ready arrived, so the second thread ran a setup of its own: one more pair.
    EXPECT_EQ(feed.client().calls(), (Calls{"Disconnect", "Connect", "Disconnect", "Connect", "Disconnect", "Connect"}));
    EXPECT_EQ(context.log.lines().size(), 2U);
}

TEST_F(SessionTest, ShouldSendWholeCredentialsWhileASetupReplacesThem) {
    factory->setSetting("Username", "alice");
    factory->setSetting("Password", "first-password-long-enough-for-the-heap");
    factory->connectSession();
    Gate start;
    // The feed asks for credentials on its thread while the host reconnects
    // with new ones; the fake reads the texts it is sent, so a torn or racing
    // copy shows (under ThreadSanitizer, as a race).
    std::thread feedThread([&] {
        start.wait();
        for (int call = 0; call < 400; ++call) sink().onSendCredentials(0, 0);
    });
    start.open();
    for (int round = 0; round < 200; ++round) {
        factory->setSetting("Password", round % 2 ? "first-password-long-enough-for-the-heap" : "second");
        factory->connectionControl(&context, false);
        factory->connectionControl(&context, true);
    }
    feedThread.join();
    for (const std::string& call : feed.client().callsStartingWith("SendLogon(")) {
        EXPECT_TRUE(call == "SendLogon(alice,first-password-long-enough-for-the-heap)" ||
                    call == "SendLogon(alice,second)")
            << call;
    }
    feed.client().clearCalls();
    sink().onSendCredentials(0, 0);
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(alice,first-password-long-enough-for-the-heap)"}));
}

// The host may store credentials on one thread while another connects (a
// supplier creation, slot 8): a setup reads the whole of each value, never a
// half-written one (under ThreadSanitizer, an unguarded write shows as a race).
TEST_F(SessionTest, ShouldConnectWithWholeCredentialsWhileAnotherThreadStoresThem) {
    const std::pair<const char*, const char*> stored[] = {{"alice", "first-password-long-enough-for-the-heap"},
                                                          {"bob-with-a-name-longer-than-the-buffer", "second"}};
    factory->setSetting("Username", stored[1].first);
    factory->setSetting("Password", stored[1].second);
    Gate start;
    std::thread settings([&] {
        start.wait();
        for (int round = 0; round < 300; ++round) {
            factory->setSetting("Username", stored[round % 2].first);
            factory->setSetting("Password", stored[round % 2].second);
        }
    });
    start.open();
    for (int round = 0; round < 100; ++round) {
        factory->connectionControl(&context, false);
        factory->connectionControl(&context, true);
        feed.client().clearCalls();
        sink().onSendCredentials(0, 0);
        const Calls sent = feed.client().calls();
        ASSERT_EQ(sent.size(), 1U);
        EXPECT_TRUE(sent[0] == "SendLogon(alice,first-password-long-enough-for-the-heap)" ||
                    sent[0] == "SendLogon(alice,second)" ||
                    sent[0] == "SendLogon(bob-with-a-name-longer-than-the-buffer,first-password-long-enough-for-the-heap)" ||
                    sent[0] == "SendLogon(bob-with-a-name-longer-than-the-buffer,second)")
            << sent[0];
    }
    settings.join();
    // The last values stored are those of the next setup.
    factory->connectionControl(&context, false);
    factory->connectionControl(&context, true);
    feed.client().clearCalls();
    sink().onSendCredentials(0, 0);
    EXPECT_EQ(feed.client().calls(), (Calls{"SendLogon(bob-with-a-name-longer-than-the-buffer,second)"}));
    EXPECT_STREQ(factory->getSetting("Password"), "second");
}

// ---- What a host throws inside a session callback ----------------------------------

namespace {

// A listener that throws whatever it is given.
class ThrowingListener : public data::AbilityListener {
public:
    explicit ThrowingListener(std::function<void()> toss) : toss_(std::move(toss)) {}
    void abilityChanged(const char*, data::ProviderAbility*) override { toss_(); }

private:
    std::function<void()> toss_;
};

}  // namespace

TEST_F(SessionTest, ShouldKeepWhatAListenerThrowsOutOfTheFeedThread) {
    factory->connectSession();
    struct Case {
        std::function<void()> toss;
        std::string logged;
    };
    const Case cases[] = {{[] { throw std::runtime_error("listener failed"); }, "listener failed\n"},
                          {[] { throw 7; }, "unknown exception\n"},
                          {[] { throw "text"; }, "text\n"}};
    for (const Case& c : cases) {
        ThrowingListener thrower(c.toss);
        factory->abilityRecord.addListener(&thrower);
        ace.clear();
        EXPECT_NO_THROW(onFeedThread([&] { sink().onLogon(0); }));
        EXPECT_NO_THROW(onFeedThread([&] { sink().onLogOff(); }));
        factory->abilityRecord.removeListener(&thrower);
        const auto records = ace.records();
        ASSERT_EQ(records.size(), 2U);
        EXPECT_EQ(records[0], (AceRecord{kInitPath, 240, 0, LM_ERROR, c.logged}));
    }
}

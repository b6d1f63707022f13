// The stand-in feed's connection state machine, driven by hand: a clock the
// test moves, no threads. Each notice is written "<sink>:<kind>" so that a
// whole exchange reads as one line.
#include "simfeed/connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace simfeed {
namespace {

using std::chrono::milliseconds;

class ConnectionTest : public ::testing::Test {
protected:
    // Handles every queued request, as the feed loop does, and describes the
    // notices it would deliver.
    std::string handleAll() {
        std::string out;
        while (auto notices = connection.handleNext(settings))
            for (const Notice& notice : *notices) out += describe(notice);
        return out;
    }
    std::string askCredentials() {
        auto notice = connection.askCredentialsIfDue();
        return notice ? describe(*notice) : "";
    }
    // From Connect to the credentials request, the connect delay elapsed.
    void connectAndAwaitCredentials(EConnectStatus* sink) {
        connection.connect(sink);
        ASSERT_EQ(handleAll(), "");
        now += milliseconds(settings.connectMs);
        ASSERT_EQ(askCredentials(), name(sink) + ":SendCredentials ");
    }
    void logOn(EConnectStatus* sink) {
        connectAndAwaitCredentials(sink);
        connection.sendLogon("demo", "demo");
        ASSERT_EQ(handleAll(), name(sink) + ":Logon " + name(sink) + ":Ready ");
    }
    std::string name(const EConnectStatus* sink) const { return sink == &first ? "A" : "B"; }
    std::string describe(const Notice& notice) const {
        static const char* const kinds[] = {"SendCredentials", "Logon", "Ready", "Message", "LogOff"};
        std::string text = name(notice.sink) + ":" + kinds[notice.kind];
        if (notice.kind == Notice::Message) text += "(" + notice.text + ")";
        return text + " ";
    }

    Connection::Clock::time_point now{};
    Connection connection{[this] { return now; }};
    ConnectionSettings settings;
    EConnectStatus first, second;
};

struct LogonCase {
    const char* user;
    const char* password;
    bool acceptAny;
    const char* notices;
    Link link;
};

TEST_F(ConnectionTest, LogonIsAcceptedOrRejectedWithItsText) {
    const LogonCase cases[] = {
        {"demo", "demo", false, "A:Logon A:Ready ", Link::Up},
        {"demo", "wrong", false, "A:Message(Logon rejected: user name or password not accepted) A:LogOff ", Link::Down},
        {"other", "demo", false, "A:Message(Logon rejected: user name or password not accepted) A:LogOff ", Link::Down},
        {"", "demo", false, "A:Message(Logon rejected: no user name given) A:LogOff ", Link::Down},
        {"anyone", "anything", true, "A:Logon A:Ready ", Link::Up},
        {"", "", true, "A:Message(Logon rejected: no user name given) A:LogOff ", Link::Down},
    };
    for (const LogonCase& c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.password);
        connection.stop();
        settings.acceptAny = c.acceptAny;
        connectAndAwaitCredentials(&first);
        connection.sendLogon(c.user, c.password);
        EXPECT_EQ(handleAll(), c.notices);
        EXPECT_EQ(connection.link(), c.link);
    }
}

TEST_F(ConnectionTest, CredentialsAreAskedOnlyOnceTheConnectDelayIsOver) {
    settings.connectMs = 30;
    connection.connect(&first);
    handleAll();
    EXPECT_EQ(connection.nextDeadline(settings), now + milliseconds(30));
    now += milliseconds(29);
    EXPECT_EQ(askCredentials(), "");
    now += milliseconds(1);
    EXPECT_EQ(askCredentials(), "A:SendCredentials ");
    EXPECT_EQ(askCredentials(), "") << "asked twice";
}

TEST_F(ConnectionTest, LogonBeforeTheCredentialsRequestIsIgnored) {
    connection.connect(&first);
    connection.sendLogon("demo", "demo");
    EXPECT_EQ(handleAll(), "");
    EXPECT_EQ(connection.link(), Link::Connecting);
}

TEST_F(ConnectionTest, DisconnectConnectPairsWithinTheDelayGiveASingleLogon) {
    connection.disconnect();
    connection.connect(&first);
    connection.disconnect();
    connection.connect(&first);
    EXPECT_EQ(handleAll(), "");
    now += milliseconds(settings.connectMs);
    EXPECT_EQ(askCredentials(), "A:SendCredentials ");
    connection.sendLogon("demo", "demo");
    EXPECT_EQ(handleAll(), "A:Logon A:Ready ");
    EXPECT_EQ(askCredentials(), "");
}

TEST_F(ConnectionTest, DisconnectLogsOffTheSinkThatWasLoggedOn) {
    logOn(&first);
    connection.disconnect();
    connection.connect(&second);
    EXPECT_EQ(handleAll(), "A:LogOff ");
    EXPECT_EQ(connection.link(), Link::Connecting);
    now += milliseconds(settings.connectMs);
    EXPECT_EQ(askCredentials(), "B:SendCredentials ");
}

TEST_F(ConnectionTest, DisconnectDuringTheConnectDelayCancelsTheAttemptSilently) {
    connection.connect(&first);
    handleAll();
    connection.disconnect();
    EXPECT_EQ(handleAll(), "");
    now += milliseconds(settings.connectMs);
    EXPECT_EQ(askCredentials(), "");
    EXPECT_EQ(connection.link(), Link::Down);
}

TEST_F(ConnectionTest, ReadyIsVoidOnceTheSinkDisconnectsInOnLogon) {
    connectAndAwaitCredentials(&first);
    connection.sendLogon("demo", "demo");
    auto notices = connection.handleNext(settings);
    ASSERT_TRUE(notices && notices->size() == 2);
    EXPECT_TRUE(connection.stillDue((*notices)[1]));
    connection.disconnect();  // what the sink does inside onLogon
    EXPECT_TRUE(connection.stillDue((*notices)[0]));
    EXPECT_FALSE(connection.stillDue((*notices)[1]));
}

TEST_F(ConnectionTest, DropLogsOffThenReconnectsAfterTheReconnectDelay) {
    settings.reconnectMs = 200;
    logOn(&first);
    connection.drop();
    EXPECT_EQ(handleAll(), "A:LogOff ");
    EXPECT_EQ(connection.link(), Link::Reconnecting);
    EXPECT_EQ(connection.nextDeadline(settings), now + milliseconds(200));
    now += milliseconds(199);
    EXPECT_FALSE(connection.reconnectIfDue());
    now += milliseconds(1);
    ASSERT_TRUE(connection.reconnectIfDue());
    EXPECT_EQ(handleAll(), "");
    now += milliseconds(settings.connectMs);
    EXPECT_EQ(askCredentials(), "A:SendCredentials ");
    connection.sendLogon("demo", "demo");
    EXPECT_EQ(handleAll(), "A:Logon A:Ready ");
}

TEST_F(ConnectionTest, DropWhileNotLoggedOnDoesNothing) {
    connection.drop();
    connectAndAwaitCredentials(&first);
    connection.drop();
    EXPECT_EQ(handleAll(), "");
    EXPECT_EQ(connection.link(), Link::AwaitingCredentials);
}

TEST_F(ConnectionTest, PeriodicDropsComeEveryPeriodWhileSet) {
    EXPECT_FALSE(connection.dropIfDue(settings)) << "no period set";
    settings.dropEverySeconds = 5;
    connection.restartDropTimer(settings);
    logOn(&first);
    EXPECT_FALSE(connection.dropIfDue(settings));
    now += std::chrono::seconds(5);
    ASSERT_TRUE(connection.dropIfDue(settings));
    EXPECT_EQ(handleAll(), "A:LogOff ");
    EXPECT_FALSE(connection.dropIfDue(settings)) << "the next period starts at the drop";
}

TEST_F(ConnectionTest, MessagesGoToTheLatestSinkAndStopWithTheConnection) {
    connection.sendMessage("before any connect");
    EXPECT_EQ(handleAll(), "");
    connection.connect(&first);
    connection.connect(&second);
    connection.sendMessage("hello");
    EXPECT_EQ(handleAll(), "B:Message(hello) ");
    connection.sendMessage("queued");
    connection.stop();
    EXPECT_FALSE(connection.hasRequests());
    connection.sendMessage("after stop");
    EXPECT_EQ(handleAll(), "");
}

// A Shutdown marks the queue: the run that stops handles what came before
// the mark; what came after waits, and a Connect among it keeps its sink.
struct StopCase {
    const char* name;
    void (Connection::*before)();  // queued before the mark, after logging A on
    bool connectBehind;            // B's Connect queued behind the mark
    const char* untilMark;         // handled by the run that stops
    const char* nextRun;           // handled by the next run, with B's credentials request
    Link afterStop;
};

TEST_F(ConnectionTest, RequestsBehindAStopMarkWaitForTheNextRun) {
    const StopCase cases[] = {
        {"Disconnect, Shutdown, Connect", &Connection::disconnect, true, "A:LogOff ", "B:SendCredentials ", Link::Down},
        {"Shutdown, Connect", nullptr, true, "", "B:SendCredentials ", Link::Down},
        {"Drop, Shutdown", &Connection::drop, false, "A:LogOff ", "", Link::Down},
        {"Shutdown alone", nullptr, false, "", "", Link::Down},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        connection.stop();
        ASSERT_NO_FATAL_FAILURE(logOn(&first));
        if (c.before != nullptr) (connection.*c.before)();
        connection.markStop();
        if (c.connectBehind) connection.connect(&second);
        connection.sendMessage("late");
        EXPECT_EQ(handleAll(), c.untilMark);
        EXPECT_FALSE(connection.hasRequests()) << "the run that stops sees nothing behind the mark";
        connection.stop();
        EXPECT_EQ(connection.link(), c.afterStop);
        const std::string late = c.connectBehind ? "B:Message(late) " : "";
        EXPECT_EQ(handleAll(), late) << "A, stopped, is told nothing more";
        now += milliseconds(settings.connectMs);
        EXPECT_EQ(askCredentials(), c.nextRun);
    }
}

}  // namespace
}  // namespace simfeed

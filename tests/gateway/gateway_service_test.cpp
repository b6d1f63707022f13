// What the gateway program tells systemd (gateway/service.h: the datagrams
// and their STATUS texts), its log lines
// (gateway/log_line.h) and the feed thread's watch (gateway/feed_watch.h), on
// their own: no server, no socket (the messages go to the test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "gateway/feed_watch.h"
#include "gateway/log_line.h"
#include "gateway/service.h"

namespace {

using std::chrono::milliseconds;

gateway::Health health(bool feedUp, bool nats, bool stalled, std::size_t clients, std::size_t symbols) {
    gateway::Health h;
    h.feedUp = feedUp;
    h.natsConnected = nats;
    h.feedStalled = stalled;
    h.clients = clients;
    h.symbols = symbols;
    return h;
}

// One step of a notifier's life and the datagram it sends (empty: none).
struct Step {
    enum Kind { Report, Standby, KeepAlive, Stopping } kind;
    gateway::Health health;
    const char* sent;
};

struct Life {
    const char* name;
    long watchdogMs;
    std::vector<Step> steps;
};

void PrintTo(const Life& life, std::ostream* out) { *out << life.name; }

class NotifierLives : public ::testing::TestWithParam<Life> {};

TEST_P(NotifierLives, ShouldSendReadyOnceServingAndTheKeepAliveOnlyWhileTheFeedIsNotStuck) {
    std::vector<std::string> sent;
    gateway::ServiceNotifier notifier([&sent](const std::string& message) { sent.push_back(message); },
                                      std::chrono::milliseconds(GetParam().watchdogMs));
    int number = 0;
    for (const Step& step : GetParam().steps) {
        sent.clear();
        switch (step.kind) {
            case Step::Report: notifier.report(step.health); break;
            case Step::Standby: notifier.standby(); break;
            case Step::KeepAlive: notifier.keepAlive(); break;
            case Step::Stopping: notifier.stopping("stopping on SIGTERM"); break;
        }
        const std::string got = sent.empty() ? "" : sent.front();
        EXPECT_LE(sent.size(), 1u) << "step " << number;
        EXPECT_EQ(got, step.sent) << "step " << number;
        ++number;
    }
}

const gateway::Health kDown = health(false, true, false, 0, 0);
const gateway::Health kUp = health(true, true, false, 0, 0);
const gateway::Health kBusy = health(true, true, false, 2, 5);
const gateway::Health kStuck = health(true, true, true, 2, 5);
const gateway::Health kOne = health(true, true, false, 1, 1);
const gateway::Health kNoNats = health(true, false, false, 0, 0);

INSTANTIATE_TEST_SUITE_P(
    Gateway, NotifierLives,
    ::testing::Values(
        Life{"ReadyOnceTheFeedIsUp",
             3000,
             {{Step::Report, kDown, "STATUS=active, feed down, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Report, kDown, "WATCHDOG=1\n"},
              {Step::Report, kUp, "READY=1\nSTATUS=active, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Report, kBusy, "STATUS=active, 2 clients, 5 symbols\nWATCHDOG=1\n"},
              {Step::Report, kDown, "STATUS=active, feed down, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Report, kOne, "STATUS=active, 1 client, 1 symbol\nWATCHDOG=1\n"}}},
        Life{"NotReadyWithoutNats",
             3000,
             {{Step::Report, kNoNats, "STATUS=active, NATS down, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Report, kUp, "READY=1\nSTATUS=active, 0 clients, 0 symbols\nWATCHDOG=1\n"}}},
        Life{"NoKeepAliveWhileStuck",
             3000,
             {{Step::Report, kBusy, "READY=1\nSTATUS=active, 2 clients, 5 symbols\nWATCHDOG=1\n"},
              {Step::Report, kStuck, "STATUS=active, feed thread stuck in a callback, 2 clients, 5 symbols\n"},
              {Step::Report, kStuck, ""},
              {Step::Report, kBusy, "STATUS=active, 2 clients, 5 symbols\nWATCHDOG=1\n"}}},
        Life{"NoWatchdogConfigured",
             0,
             {{Step::Report, kUp, "READY=1\nSTATUS=active, 0 clients, 0 symbols\n"},
              {Step::Report, kUp, ""},
              {Step::KeepAlive, kUp, ""},
              {Step::Stopping, kUp, "STOPPING=1\nSTATUS=stopping on SIGTERM\n"}}},
        Life{"StandbyThenActive",
             3000,
             {{Step::Standby, kUp, "READY=1\nSTATUS=standby\nWATCHDOG=1\n"},
              {Step::Standby, kUp, "WATCHDOG=1\n"},
              {Step::KeepAlive, kUp, "WATCHDOG=1\n"},
              {Step::Report, kDown, "STATUS=active, feed down, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Report, kUp, "STATUS=active, 0 clients, 0 symbols\nWATCHDOG=1\n"},
              {Step::Stopping, kUp, "STOPPING=1\nSTATUS=stopping on SIGTERM\n"}}}),
    [](const ::testing::TestParamInfo<Life>& info) { return info.param.name; });

struct Timing {
    long watchdogMs, reportMs, stallMs;
};

void PrintTo(const Timing& t, std::ostream* out) { *out << "watchdog " << t.watchdogMs << " ms"; }

class NotifierTimings : public ::testing::TestWithParam<Timing> {};

TEST_P(NotifierTimings, ShouldReportWithinAThirdOfTheWatchdogAndCallAStallAfterHalfOfIt) {
    const gateway::ServiceNotifier notifier([](const std::string&) {}, milliseconds(GetParam().watchdogMs));
    EXPECT_EQ(notifier.reportEvery(), milliseconds(GetParam().reportMs));
    EXPECT_EQ(notifier.stallLimit(), milliseconds(GetParam().stallMs));
}

INSTANTIATE_TEST_SUITE_P(Gateway, NotifierTimings,
                         ::testing::Values(Timing{0, 1000, 10000}, Timing{30000, 1000, 15000},
                                           Timing{600, 200, 300}, Timing{3000, 1000, 1500}));

struct LogCase {
    const char* name;
    gateway::Priority priority;
    const char* text;
    bool journal;
    bool stamped;
    const char* line;
};

void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

class LogLines : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLines, ShouldCarryThePriorityInTheJournalAndTheTimeOnATerminal) {
    const std::time_t when = 86400 + 3600 + 61;  // 1970-01-02T01:01:01Z
    const LogCase& c = GetParam();
    EXPECT_EQ(gateway::formatLogLine(c.priority, c.text, c.journal, c.stamped ? &when : nullptr), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, LogLines,
    ::testing::Values(
        LogCase{"JournalInfo", gateway::Priority::Info, "feed: ready", true, true, "<6>feed: ready"},
        LogCase{"JournalWarning", gateway::Priority::Warning, "slow", true, true, "<4>slow"},
        LogCase{"JournalError", gateway::Priority::Error, "cannot connect", true, false, "<3>cannot connect"},
        LogCase{"JournalSeveralLines", gateway::Priority::Error, "a.conf:1: x\na.conf:2: y\n", true, false,
                "<3>a.conf:1: x\n<3>a.conf:2: y"},
        LogCase{"TerminalInfo", gateway::Priority::Info, "feed: ready", false, true,
                "1970-01-02T01:01:01Z tellivar-gateway: feed: ready"},
        LogCase{"TerminalError", gateway::Priority::Error, "cannot connect", false, false,
                "tellivar-gateway: cannot connect"},
        LogCase{"TerminalSeveralLines", gateway::Priority::Error, "x\ny\n", false, false,
                "tellivar-gateway: x\ntellivar-gateway: y"}),
    [](const ::testing::TestParamInfo<LogCase>& info) { return info.param.name; });

struct StreamCase {
    const char* name;
    int inodeOffset;      // added to the file's inode in the variable
    const char* literal;  // the variable as given, instead of the file's "dev:ino"; "-": unset
    bool journal;
};

void PrintTo(const StreamCase& c, std::ostream* out) { *out << c.name; }

class JournalStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(JournalStreams, ShouldBeTheJournalOnlyWhenTheVariableNamesTheOpenFile) {
    char path[] = "/tmp/gateway-journal-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    const StreamCase& c = GetParam();
    std::string variable = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + c.inodeOffset);
    if (c.literal != nullptr) variable = c.literal;
    const char* given = c.literal != nullptr && std::string(c.literal) == "-" ? nullptr : variable.c_str();
    EXPECT_EQ(gateway::isJournalStream(fd, given), c.journal) << (given ? given : "(unset)");
    close(fd);
    unlink(path);
}

INSTANTIATE_TEST_SUITE_P(Gateway, JournalStreams,
                         ::testing::Values(StreamCase{"SameFile", 0, nullptr, true},
                                           StreamCase{"OtherInode", 1, nullptr, false},
                                           StreamCase{"Unset", 0, "-", false},
                                           StreamCase{"TrailingText", 0, "1:2x", false},
                                           StreamCase{"NotNumbers", 0, "journal", false}),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

struct WatchCase {
    const char* name;
    bool entered, left;
    long afterMs;  // asked this long after the entry
    bool stalled;
};

void PrintTo(const WatchCase& c, std::ostream* out) { *out << c.name; }

class FeedWatches : public ::testing::TestWithParam<WatchCase> {};

TEST_P(FeedWatches, ShouldCallStalledOnlyACallUnderWayLongerThanTheLimit) {
    using Clock = gateway::FeedWatch::Clock;
    const WatchCase& c = GetParam();
    gateway::FeedWatch watch;
    const Clock::time_point start = Clock::now();
    if (c.entered) watch.entered(start);
    if (c.left) watch.left();
    EXPECT_EQ(watch.stalled(start + milliseconds(c.afterMs), milliseconds(500)), c.stalled);
}

INSTANTIATE_TEST_SUITE_P(Gateway, FeedWatches,
                         ::testing::Values(WatchCase{"NoCall", false, false, 10000, false},
                                           WatchCase{"ShortCall", true, false, 499, false},
                                           WatchCase{"AtTheLimit", true, false, 500, false},
                                           WatchCase{"LongCall", true, false, 501, true},
                                           WatchCase{"EndedCall", true, true, 10000, false}),
                         [](const ::testing::TestParamInfo<WatchCase>& info) { return info.param.name; });

}  // namespace

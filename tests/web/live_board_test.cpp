// The connection state that the page shows, from the session's events alone.
#include <gtest/gtest.h>

#include "live_board.h"

namespace {

LogEvent status(const char* text) { return LogEvent{LogEvent::Kind::Status, text, 0}; }
LogEvent info(const char* text) { return LogEvent{LogEvent::Kind::Info, text, 0}; }

TEST(LiveBoard, ShouldCallALogOffWithoutALogonRejectedWhateverTheFeedSays) {
    struct Case {
        const char* name;
        std::vector<Event> events;
        ConnectionState state;
    };
    const Case cases[] = {
        {"refused with any wording",
         {info("Access denied for this account"), OnlineEvent{"p", false}, status("LogOff")},
         ConnectionState::Rejected},
        {"logged off after a logon",
         {OnlineEvent{"p", true}, status("Logon"), OnlineEvent{"p", false}, status("LogOff")},
         ConnectionState::Offline},
        {"logged on again after a refusal",
         {OnlineEvent{"p", false}, status("LogOff"), OnlineEvent{"p", true}, status("Logon")},
         ConnectionState::Online},
        {"refused after a logon and a log-off",
         {OnlineEvent{"p", true}, status("Logon"), OnlineEvent{"p", false}, status("LogOff"), OnlineEvent{"p", false},
          status("LogOff")},
         ConnectionState::Rejected},
    };
    for (const Case& c : cases) {
        LiveBoard board({"ACME"}, {"Last"});
        for (const Event& event : c.events) board.onEvent(event);
        EXPECT_EQ(stateName(board.state()), std::string(stateName(c.state))) << c.name;
    }
}

TEST(LiveBoard, ShouldKeepItsStatusValidJsonWhenAFeedTextIsNotUtf8) {
    LiveBoard board({"ACME"}, {"Last"});
    board.onEvent(info("Kurs f\xe4llt \"stark\"\n"));
    const Json status = Json::parse(dumpJson(board.status()));
    EXPECT_EQ(status["messages"][0]["text"], "Kurs f\xef\xbf\xbdllt \"stark\"\n");
}

}  // namespace

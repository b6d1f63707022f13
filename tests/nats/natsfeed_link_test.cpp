// The NATS feed client's link table, driven by hand: a clock the test moves,
// no server, no threads. Each case is a script of events at moments in
// milliseconds ("beat@1000"); the result is what every event returned,
// "-" for nothing, joined by " | ", and the state the link ends in.
#include "natsfeed/link_machine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>

namespace natsfeed {
namespace {

using Clock = LinkMachine::Clock;

const char* kindName(LinkAction::Kind kind) {
    switch (kind) {
        case LinkAction::AskCredentials: return "AskCredentials";
        case LinkAction::OpenBus: return "OpenBus";
        case LinkAction::SendHello: return "SendHello";
        case LinkAction::LogOn: return "LogOn";
        case LinkAction::Leave: return "Leave";
        case LinkAction::LogOff: return "LogOff";
        case LinkAction::TellWaiting: return "TellWaiting";
        case LinkAction::Log: return "Log";
        case LinkAction::Resubscribe: return "Resubscribe";
        case LinkAction::SendLease: return "SendLease";
        case LinkAction::AskAgain: return "AskAgain";
    }
    return "?";
}

const char* stateName(LinkState state) {
    switch (state) {
        case LinkState::Down: return "Down";
        case LinkState::AwaitingCredentials: return "AwaitingCredentials";
        case LinkState::Connecting: return "Connecting";
        case LinkState::WaitingForFeed: return "WaitingForFeed";
        case LinkState::Up: return "Up";
    }
    return "?";
}

std::string describe(const LinkMachine::Actions& actions) {
    if (actions.empty()) return "-";
    std::string out;
    for (const LinkAction& action : actions) {
        if (!out.empty()) out += ' ';
        out += kindName(action.kind);
        if (action.text != nullptr) out += std::string("(") + action.text + ")";
    }
    return out;
}

// Runs `script` on a fresh machine; returns the actions of each event and the final state.
std::string run(const std::string& script) {
    LinkMachine link;
    const Clock::time_point start = Clock::now();
    Clock::time_point seen{};  // when the bus last delivered a heartbeat ("seen@ms")
    std::uint64_t epoch = 1;   // the gateway's; "restarted" is a new one
    std::istringstream tokens(script);
    std::string token, out;
    while (tokens >> token) {
        const std::size_t at = token.find('@');
        const std::string event = token.substr(0, at);
        const Clock::time_point now = start + std::chrono::milliseconds(std::stoi(token.substr(at + 1)));
        LinkMachine::Actions actions;
        if (event == "connect") actions = link.connect();
        else if (event == "logon") actions = link.logOn(now, false);
        else if (event == "relogon") actions = link.logOn(now, true);
        else if (event == "opened") actions = link.busOpened(now);
        else if (event == "failed") actions = link.busFailed();
        else if (event == "disconnect") actions = link.disconnect();
        else if (event == "beat") actions = link.heartbeat(now, epoch, true);
        else if (event == "beatdown") actions = link.heartbeat(now, epoch, false);
        else if (event == "restarted") actions = link.heartbeat(now, ++epoch, true);
        else if (event == "lost") actions = link.busLost(now);
        else if (event == "back") actions = link.busBack(now);
        else if (event == "tick") actions = link.tick(now, seen);
        else if (event == "seen") { seen = now; continue; }
        else ADD_FAILURE() << "unknown event " << event;
        out += (out.empty() ? "" : " | ") + describe(actions);
    }
    return out + " => " + stateName(link.state());
}

struct Case {
    const char* name;
    const char* script;
    const char* expected;
};

// Down to up on a new bus connection: "connect@0 logon@0 opened@0 beat@0".
#define UP "connect@0 logon@0 opened@0 beat@0 "
#define UP_SO_FAR "AskCredentials | OpenBus | SendHello | LogOn | "

const Case kTransitions[] = {
    {"ShouldAskForCredentialsOnConnect", "connect@0", "AskCredentials => AwaitingCredentials"},
    {"ShouldIgnoreCredentialsNobodyAskedFor", "logon@0 relogon@0", "- | - => Down"},
    {"ShouldOpenTheBusForCredentialsWithoutAUsableConnection", "connect@0 logon@0", "AskCredentials | OpenBus => Connecting"},
    {"ShouldIgnoreCredentialsWhileConnecting", "connect@0 logon@0 logon@0", "AskCredentials | OpenBus | - => Connecting"},
    {"ShouldHelloTheGatewayOnceTheBusIsOpen", "connect@0 logon@0 opened@0",
     "AskCredentials | OpenBus | SendHello => WaitingForFeed"},
    {"ShouldGoDownWhenTheBusCannotBeOpened", "connect@0 logon@0 failed@0", "AskCredentials | OpenBus | - => Down"},
    {"ShouldLogOnAtTheFirstHeartbeatWithTheFeedUp", UP, "AskCredentials | OpenBus | SendHello | LogOn => Up"},
    {"ShouldKeepWaitingWhileTheGatewaysFeedIsDown", "connect@0 logon@0 opened@0 beatdown@0 beatdown@1000 beat@2000",
     "AskCredentials | OpenBus | SendHello | - | - | LogOn => Up"},
    {"ShouldLogOffWhenTheGatewaysFeedGoesDown", UP "beatdown@500",
     UP_SO_FAR "LogOff(The gateway's feed is down) => WaitingForFeed"},
    {"ShouldLogOnAgainWhenTheFeedComesBack", UP "beatdown@500 beat@1500",
     UP_SO_FAR "LogOff(The gateway's feed is down) | LogOn => Up"},
    {"ShouldResubscribeWhenTheGatewayRestarted", UP "beat@1000 restarted@2000",
     UP_SO_FAR "- | Log(the gateway restarted; subscribing afresh) Resubscribe => Up"},
    {"ShouldLogOffWhenTheBusIsLost", UP "lost@500",
     UP_SO_FAR "LogOff(Lost the connection to the message bus; reconnecting) => WaitingForFeed"},
    {"ShouldIgnoreALossWhileNotUp", "connect@0 logon@0 opened@0 lost@0", "AskCredentials | OpenBus | SendHello | - => WaitingForFeed"},
    {"ShouldResubscribeWhenTheBusComesBackWhileUp", UP "back@500", UP_SO_FAR "Resubscribe => Up"},
    {"ShouldHelloTheGatewayWhenTheBusComesBackWhileWaiting", UP "lost@500 back@700",
     UP_SO_FAR "LogOff(Lost the connection to the message bus; reconnecting) | SendHello => WaitingForFeed"},
    {"ShouldIgnoreTheBusComingBackWhileDown", UP "disconnect@500 back@700", UP_SO_FAR "Leave LogOff | - => Down"},
    {"ShouldLeaveAndLogOffOnDisconnect", UP "disconnect@500", UP_SO_FAR "Leave LogOff => Down"},
    {"ShouldAskForCredentialsAgainOnAConnectWhileUp", UP "connect@500", UP_SO_FAR "AskCredentials => AwaitingCredentials"},
    {"ShouldIgnoreAHeartbeatWhileDown", "beat@0 connect@0", "- | AskCredentials => AwaitingCredentials"},
    // Logging on again on the kept connection.
    {"ShouldLogOnAtOnceOnAKeptConnectionWhoseFeedIsUp", UP "disconnect@500 connect@600 relogon@700",
     UP_SO_FAR "Leave LogOff | AskCredentials | LogOn => Up"},
    {"ShouldHelloOnAKeptConnectionWhoseLastHeartbeatIsOld", UP "disconnect@500 connect@600 relogon@2600",
     UP_SO_FAR "Leave LogOff | AskCredentials | SendHello => WaitingForFeed"},
    {"ShouldHelloOnAKeptConnectionWhoseFeedWasDown", UP "beatdown@100 disconnect@500 connect@600 relogon@700",
     UP_SO_FAR "LogOff(The gateway's feed is down) | Leave LogOff | AskCredentials | SendHello => WaitingForFeed"},
    {"ShouldForgetTheFeedsStateOnANewConnection",
     UP "disconnect@500 connect@600 logon@700 opened@800 disconnect@900 connect@1000 relogon@1100",
     UP_SO_FAR "Leave LogOff | AskCredentials | OpenBus | SendHello | Leave LogOff | AskCredentials | SendHello "
               "=> WaitingForFeed"},
    // The timer.
    {"ShouldAskAgainForLostAnswersAtEveryTickWhileUp", UP "tick@100 tick@200", UP_SO_FAR "AskAgain | AskAgain => Up"},
    {"ShouldRenewTheLeaseEveryPeriod", UP "beat@2000 tick@2900 tick@3000 tick@3100 beat@4000 beat@5000 tick@5900 tick@6000",
     UP_SO_FAR "- | AskAgain | SendLease AskAgain | AskAgain | - | - | AskAgain | SendLease AskAgain => Up"},
    {"ShouldRenewTheLeaseAPeriodAfterAResubscription", UP "beat@1000 restarted@2000 beat@3000 tick@3000 tick@5000",
     UP_SO_FAR "- | Log(the gateway restarted; subscribing afresh) Resubscribe | - | AskAgain | SendLease AskAgain => Up"},
    {"ShouldLogOffWhenTheHeartbeatIsSilent", UP "tick@1000 tick@2000 tick@2500 tick@2600",
     UP_SO_FAR "AskAgain | AskAgain | AskAgain | LogOff(The gateway stopped sending its heartbeat) => WaitingForFeed"},
    {"ShouldCountAHeartbeatDeliveredButNotYetRead", UP "tick@1000 seen@2000 tick@2600 tick@4000 tick@4600",
     UP_SO_FAR "AskAgain | AskAgain | SendLease AskAgain | LogOff(The gateway stopped sending its heartbeat) => WaitingForFeed"},
    {"ShouldGiveAStalledProcessAGraceBeforeCountingSilence", UP "tick@100 tick@5000 tick@5900 tick@6000",
     UP_SO_FAR "AskAgain | SendLease AskAgain | AskAgain | LogOff(The gateway stopped sending its heartbeat) => WaitingForFeed"},
    {"ShouldTellTheHostOnceThatItWaitsForTheGateway", "connect@0 logon@0 opened@0 tick@2500 tick@2600 tick@9000",
     "AskCredentials | OpenBus | SendHello | - | TellWaiting(Waiting for the gateway and its feed) | - => WaitingForFeed"},
    {"ShouldNotTellAHostLoggedOffWithAReasonThatItWaits", UP "beatdown@100 tick@3000 tick@9000",
     UP_SO_FAR "LogOff(The gateway's feed is down) | - | - => WaitingForFeed"},
    {"ShouldTellTheHostItWaitsAfterLoggingOnAgainOnAKeptConnection",
     UP "beatdown@100 disconnect@200 connect@300 relogon@400 tick@2900 tick@3000",
     UP_SO_FAR "LogOff(The gateway's feed is down) | Leave LogOff | AskCredentials | SendHello | - | "
               "TellWaiting(Waiting for the gateway and its feed) => WaitingForFeed"},
    {"ShouldDoNothingAtATickWhileDown", "tick@0 tick@5000 connect@5000 tick@9000", "- | - | AskCredentials | - => AwaitingCredentials"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.script << '"'; }

class LinkTransition : public ::testing::TestWithParam<Case> {};

TEST_P(LinkTransition, ShouldReturnTheTablesActions) { EXPECT_EQ(run(GetParam().script), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Table, LinkTransition, ::testing::ValuesIn(kTransitions),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace natsfeed

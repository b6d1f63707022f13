// The link's transition table: see link_machine.h.
#include "natsfeed/link_machine.h"

#include <algorithm>
#include <cstring>

namespace natsfeed {

bool LinkAction::operator==(const LinkAction& other) const {
    if (kind != other.kind) return false;
    if (text == nullptr || other.text == nullptr) return text == other.text;
    return std::strcmp(text, other.text) == 0;
}

LinkMachine::Actions LinkMachine::connect() {
    state_ = LinkState::AwaitingCredentials;
    return {{LinkAction::AskCredentials}};
}

LinkMachine::Actions LinkMachine::logOn(Clock::time_point now, bool busUsable) {
    if (state_ != LinkState::AwaitingCredentials) return {};
    if (!busUsable) {
        state_ = LinkState::Connecting;
        return {{LinkAction::OpenBus}};
    }
    // The bus connection is kept: logging on again is immediate when the
    // gateway's feed was up at its last heartbeat, not long ago.
    state_ = LinkState::WaitingForFeed;
    waitingSince_ = now;
    toldWaiting_ = false;
    if (gatewayFeedUp_ && now - lastHeartbeat_ < kHeartbeatTimeout) return goUp(now);
    return {{LinkAction::SendHello}};
}

LinkMachine::Actions LinkMachine::busOpened(Clock::time_point now) {
    if (state_ != LinkState::Connecting) return {};
    state_ = LinkState::WaitingForFeed;
    gatewayFeedUp_ = false;
    lastHeartbeat_ = waitingSince_ = now;
    toldWaiting_ = false;
    // The gateway answers with a heartbeat at once: no wait for the next one.
    return {{LinkAction::SendHello}};
}

LinkMachine::Actions LinkMachine::busFailed() {
    if (state_ == LinkState::Connecting) state_ = LinkState::Down;
    return {};
}

LinkMachine::Actions LinkMachine::disconnect() {
    state_ = LinkState::Down;
    return {{LinkAction::Leave}, {LinkAction::LogOff}};
}

LinkMachine::Actions LinkMachine::heartbeat(Clock::time_point now, std::uint64_t epoch, bool feedUp) {
    lastHeartbeat_ = now;
    const bool restarted = gatewayEpoch_ != 0 && epoch != gatewayEpoch_;
    gatewayEpoch_ = epoch;
    gatewayFeedUp_ = feedUp;
    if (state_ == LinkState::Up && !feedUp) return goDown(now, kFeedDownText);
    if (state_ == LinkState::Up && restarted) {
        nextLease_ = now + kLeasePeriod;
        return {{LinkAction::Log, kRestartedText}, {LinkAction::Resubscribe}};
    }
    if (state_ != LinkState::WaitingForFeed || !feedUp) return {};
    return goUp(now);
}

LinkMachine::Actions LinkMachine::busLost(Clock::time_point now) { return goDown(now, kBusLostText); }

// Still up (the connection came back before its loss was handled):
// whatever was published meanwhile is lost, so every live set asks afresh.
// Waiting: the gateway is asked at once instead of at its next heartbeat.
LinkMachine::Actions LinkMachine::busBack(Clock::time_point now) {
    if (state_ == LinkState::Up) {
        nextLease_ = now + kLeasePeriod;
        return {{LinkAction::Resubscribe}};
    }
    if (state_ == LinkState::WaitingForFeed) return {{LinkAction::SendHello}};
    return {};
}

LinkMachine::Actions LinkMachine::tick(Clock::time_point now, Clock::time_point heartbeatSeen) {
    if (lastTick_ != Clock::time_point{} && now - lastTick_ > kHeartbeatTimeout) stallGraceUntil_ = now + kStallGrace;
    lastTick_ = now;
    if (state_ == LinkState::Up) {
        if (now >= stallGraceUntil_ && now - std::max(lastHeartbeat_, heartbeatSeen) > kHeartbeatTimeout)
            return goDown(now, kSilentText);
        Actions actions;
        if (now >= nextLease_) {
            nextLease_ = now + kLeasePeriod;
            actions.push_back({LinkAction::SendLease});
        }
        actions.push_back({LinkAction::AskAgain});
        return actions;
    }
    if (state_ == LinkState::WaitingForFeed && !toldWaiting_ && now - waitingSince_ > kHeartbeatTimeout) {
        toldWaiting_ = true;
        return {{LinkAction::TellWaiting, kWaitingText}};
    }
    return {};
}

// The host is logged on; the sets subscribe once it was told (LogOn).
LinkMachine::Actions LinkMachine::goUp(Clock::time_point now) {
    state_ = LinkState::Up;
    nextLease_ = now + kLeasePeriod;
    return {{LinkAction::LogOn}};
}

// Up no more: the host is logged off and told why; the link waits for the
// gateway's feed (the host is not told it waits: it was told the reason).
LinkMachine::Actions LinkMachine::goDown(Clock::time_point now, const char* text) {
    if (state_ != LinkState::Up) return {};
    state_ = LinkState::WaitingForFeed;
    waitingSince_ = now;
    toldWaiting_ = true;
    return {{LinkAction::LogOff, text}};
}

}  // namespace natsfeed

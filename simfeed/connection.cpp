// The stand-in feed's connection state machine.
#include "simfeed/connection.h"

#include <algorithm>

namespace simfeed {
namespace {

constexpr const char kNoUserText[] = "Logon rejected: no user name given";
constexpr const char kBadCredentialsText[] = "Logon rejected: user name or password not accepted";
constexpr std::int32_t kLogonCode = 1;

Connection::Clock::duration secondsToClock(double seconds) {
    return std::chrono::duration_cast<Connection::Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void Notice::deliver() const {
    switch (kind) {
        case SendCredentials: sink->onSendCredentials(0, 0); return;
        case Logon: sink->onLogon(kLogonCode); return;
        case Ready: sink->onReady(); return;
        case Message: sink->onMessage(text.c_str()); return;
        case LogOff: sink->onLogOff(); return;
    }
}

void Connection::connect(EConnectStatus* sink) {
    sink_ = sink;
    requests_.push_back({Request::Connect, ++generation_, {}, {}});
}

void Connection::sendLogon(std::string user, std::string password) {
    requests_.push_back({Request::Logon, generation_, std::move(user), std::move(password)});
}

void Connection::disconnect() { requests_.push_back({Request::Disconnect, ++generation_, {}, {}, sink_}); }

void Connection::drop() { requests_.push_back({Request::Drop, generation_, {}, {}}); }

void Connection::sendMessage(std::string text) {
    requests_.push_back({Request::Message, generation_, std::move(text), {}});
}

void Connection::markStop() { requests_.push_back({Request::Stop, generation_, {}, {}}); }

std::optional<std::vector<Notice>> Connection::handleNext(const ConnectionSettings& settings) {
    if (!hasRequests()) return std::nullopt;
    const Request request = std::move(requests_.front());
    requests_.pop_front();
    switch (request.kind) {
        case Request::Connect: return onConnect(request, settings);
        case Request::Logon: return onLogon(request, settings);
        case Request::Disconnect: return onDisconnect(request);
        case Request::Drop: return onDrop(settings);
        case Request::Message: return onMessage(request);
        case Request::Stop: break;  // never taken: hasRequests stops before it
    }
    return std::vector<Notice>{};
}

// Reaching the service takes the connect delay; a Disconnect meanwhile cancels.
std::vector<Notice> Connection::onConnect(const Request& request, const ConnectionSettings& settings) {
    if (request.generation != generation_ || sink_ == nullptr) return {};  // superseded
    link_ = Link::Connecting;
    connectAt_ = now_() + std::chrono::milliseconds(settings.connectMs);
    return {};
}

std::vector<Notice> Connection::onLogon(const Request& request, const ConnectionSettings& settings) {
    if (link_ != Link::AwaitingCredentials || request.generation != generation_ || sink_ == nullptr) return {};
    const std::string& user = request.first;
    const bool accepted =
        !user.empty() && (settings.acceptAny || (user == settings.user && request.second == settings.password));
    if (!accepted) {
        link_ = Link::Down;
        return {{Notice::Message, sink_, user.empty() ? kNoUserText : kBadCredentialsText},
                {Notice::LogOff, sink_, {}}};
    }
    link_ = Link::Up;
    return {{Notice::Logon, sink_, {}}, {Notice::Ready, sink_, {}, generation_}};
}

// The log-off goes to the sink that was logged on, even if a Connect with
// another sink followed.
std::vector<Notice> Connection::onDisconnect(const Request& request) {
    const bool wasUp = link_ == Link::Up;
    link_ = Link::Down;
    if (!wasUp || request.sink == nullptr) return {};
    return {{Notice::LogOff, request.sink, {}}};
}

std::vector<Notice> Connection::onDrop(const ConnectionSettings& settings) {
    if (link_ != Link::Up) return {};
    link_ = Link::Reconnecting;
    reconnectAt_ = now_() + std::chrono::milliseconds(settings.reconnectMs);
    if (sink_ == nullptr) return {};
    return {{Notice::LogOff, sink_, {}}};
}

std::vector<Notice> Connection::onMessage(const Request& request) {
    if (sink_ == nullptr) return {};
    return {{Notice::Message, sink_, request.first}};
}

bool Connection::stillDue(const Notice& notice) const {
    return notice.kind != Notice::Ready || (notice.generation == generation_ && link_ == Link::Up);
}

// The new attempt is handled before anything queued meanwhile.
bool Connection::reconnectIfDue() {
    if (link_ != Link::Reconnecting || now_() < reconnectAt_) return false;
    link_ = Link::Down;
    requests_.push_front({Request::Connect, generation_, {}, {}});
    return true;
}

std::optional<Notice> Connection::askCredentialsIfDue() {
    if (link_ != Link::Connecting || now_() < connectAt_ || sink_ == nullptr) return std::nullopt;
    link_ = Link::AwaitingCredentials;
    return Notice{Notice::SendCredentials, sink_, {}};
}

bool Connection::dropIfDue(const ConnectionSettings& settings) {
    if (settings.dropEverySeconds <= 0) return false;
    const Clock::time_point now = now_();
    if (now < nextDrop_) return false;
    nextDrop_ = now + secondsToClock(settings.dropEverySeconds);
    drop();
    return true;
}

Connection::Clock::time_point Connection::nextDeadline(const ConnectionSettings& settings) const {
    Clock::time_point due = Clock::time_point::max();
    if (link_ == Link::Reconnecting) due = std::min(due, reconnectAt_);
    if (link_ == Link::Connecting) due = std::min(due, connectAt_);
    if (settings.dropEverySeconds > 0) due = std::min(due, nextDrop_);
    return due;
}

void Connection::stop() {
    const auto mark = std::find_if(requests_.begin(), requests_.end(),
                                   [](const Request& r) { return r.kind == Request::Stop; });
    requests_.erase(requests_.begin(), mark == requests_.end() ? mark : mark + 1);
    link_ = Link::Down;
    // A Connect queued behind the stop keeps its sink for the next run.
    const bool connectQueued = std::any_of(requests_.begin(), requests_.end(),
                                           [](const Request& r) { return r.kind == Request::Connect; });
    if (!connectQueued) sink_ = nullptr;
}

void Connection::restartDropTimer(const ConnectionSettings& settings) {
    nextDrop_ = now_() + secondsToClock(settings.dropEverySeconds);
}

}  // namespace simfeed

// The gateway's recording stream and its records (recorder.h).
#include "gateway/recorder.h"

#include <cstring>
#include <set>
#include <sstream>
#include <utility>

#include "gateway/jetstream.h"
#include "wire/record.h"
#include "wire/wire.h"

namespace gateway {
namespace {

// How long stop() lets the answers drain, and JetStream's requests wait.
constexpr int kDrainTimeoutMs = 2000;
constexpr std::chrono::milliseconds kJetStreamWait{2000};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::optional<std::vector<std::string>> parseUniverse(const std::string& text, std::string* error) {
    std::vector<std::string> symbols;
    std::set<std::string> seen;
    std::istringstream input(text);
    std::string raw;
    auto fail = [&](int line, const std::string& why) -> std::optional<std::vector<std::string>> {
        if (error != nullptr) *error = "line " + std::to_string(line) + ": " + why;
        return std::nullopt;
    };
    for (int line = 1; std::getline(input, raw); ++line) {
        const std::string symbol = trimmed(raw);
        if (symbol.empty() || symbol.front() == '#') continue;
        if (symbol.find(',') != std::string::npos || !wire::isValidKey(symbol))
            return fail(line, "'" + symbol + "' is not a symbol (1 to " + std::to_string(wire::kMaxKey) +
                                  " of A-Z a-z 0-9 . - _, one a line)");
        if (!seen.insert(symbol).second) return fail(line, symbol + " is listed twice");
        symbols.push_back(symbol);
    }
    if (symbols.empty()) {
        if (error != nullptr) *error = "no symbol in it";
        return std::nullopt;
    }
    return symbols;
}

Recorder::Recorder(natsConnection* nats, RecordOptions options) : nats_(nats), options_(std::move(options)) {}

Recorder::~Recorder() {
    stop();
    natsSubscription_Destroy(answers_);
    jsCtx_Destroy(js_);
}

bool Recorder::start(std::string* error) {
    natsInbox* inbox = nullptr;
    natsStatus s = natsInbox_Create(&inbox);
    if (s == NATS_OK) {
        inbox_ = inbox;
        natsInbox_Destroy(inbox);
        s = natsConnection_Subscribe(&answers_, nats_, (inbox_ + ".*").c_str(), &Recorder::onAnswer, this);
    }
    if (s != NATS_OK) {
        if (error != nullptr) *error = "cannot subscribe to the recording's answers: " + std::string(natsStatus_GetText(s));
        return false;
    }
    opener_ = std::thread([this] { keepOpening(); });
    return true;
}

void Recorder::requestOpen() {
    MutexLock lock(mu_);
    openAsked_ = true;
    openerWake_.notify_all();
}

std::optional<Recorder::Opened> Recorder::takeOpened() {
    MutexLock lock(mu_);
    return std::exchange(opened_, std::nullopt);
}

void Recorder::keepOpening() {
    MutexLock lock(mu_);
    for (;;) {
        while (!openAsked_ && !closing_) lock.wait(openerWake_);
        if (closing_) return;
        openAsked_ = false;
        lock.unlock();
        Opened outcome = openStream();
        lock.lock();
        opened_ = std::move(outcome);
    }
}

void Recorder::stop() {
    if (answers_ == nullptr || stopped_) return;
    stopped_ = true;
    {
        MutexLock lock(mu_);
        closing_ = true;
        openerWake_.notify_all();
    }
    if (opener_.joinable()) opener_.join();
    // Drained: what libnats holds is delivered, and the drain completes after
    // the last handler returned. A handler begun before a drain that could
    // not finish (the connection closed meanwhile) is counted and waited for.
    if (natsSubscription_DrainTimeout(answers_, kDrainTimeoutMs) == NATS_OK)
        natsSubscription_WaitForDrainCompletion(answers_, kDrainTimeoutMs);
    else
        natsSubscription_Unsubscribe(answers_);
    MutexLock lock(mu_);
    while (handlersRunning_ > 0) lock.wait(handlersDone_);
}

Recorder::Opened Recorder::openStream() {
    const std::string& name = options_.name;
    Opened outcome;
    auto fail = [&](const std::string& what, natsStatus s) {
        outcome.timedOut = s == NATS_TIMEOUT;
        outcome.error = "cannot " + what + " the recording stream " + name + " (is JetStream on?): " +
                        natsStatus_GetText(s) + lastErrorDetail();
        return outcome;
    };
    natsStatus s = NATS_OK;
    if (js_ == nullptr && (s = openJetStream(&js_, nats_, kJetStreamWait)) != NATS_OK) return fail("open", s);

    const std::string wildcard = wire::recordWildcard(name);
    const char* subjects[] = {wildcard.c_str()};
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = name.c_str();
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.MaxAge = std::chrono::nanoseconds(options_.maxAge).count();
    config.MaxBytes = options_.maxBytes > 0 ? options_.maxBytes : -1;
    config.Replicas = 1;  // raised below on a cluster

    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    s = js_GetStreamInfo(&info, js_, name.c_str(), nullptr, &code);
    if (s == NATS_NOT_FOUND) {
        s = js_AddStream(&info, js_, &config, nullptr, &code);
        // Another gateway (the one this one took over from) added it meanwhile.
        if (s != NATS_OK) s = js_GetStreamInfo(&info, js_, name.c_str(), nullptr, &code);
        if (s != NATS_OK) return fail("add", s);
    } else if (s != NATS_OK) {
        return fail("read", s);
    }
    // A stream there already: the subjects, age and size asked for now, the copies it keeps.
    const jsStreamConfig* held = info->Config;
    const bool same = held->SubjectsLen == 1 && wildcard == held->Subjects[0] && held->MaxAge == config.MaxAge &&
                      held->MaxBytes == config.MaxBytes;
    if (!same) {
        config.Replicas = held->Replicas;
        config.Storage = held->Storage;
        jsStreamInfo* updated = nullptr;
        s = js_UpdateStream(&updated, js_, &config, nullptr, &code);
        if (s != NATS_OK) {
            jsStreamInfo_Destroy(info);
            return fail("update", s);
        }
        jsStreamInfo_Destroy(info);
        info = updated;
    }
    const bool clustered = onCluster(info);
    const int copies = static_cast<int>(info->Config->Replicas);
    jsStreamInfo_Destroy(info);
    outcome.ok = true;
    outcome.note = "keeps " + std::to_string(copies) + (copies == 1 ? " copy" : " copies");
    if (clustered && copies < kClusterCopies) {
        int before = 0;
        std::string why;
        if (raiseCopies(js_, name, &before, &why) == Raise::Raised)
            outcome.note = "keeps " + std::to_string(kClusterCopies) + " copies";
        else
            outcome.note += "; " + why;
    }
    return outcome;
}

bool Recorder::send(const std::string& subject, const std::vector<std::uint8_t>& record) {
    std::uint64_t id = 0;
    {
        MutexLock lock(mu_);
        if (pending_.size() >= options_.maxPending) {
            ++counts_.dropped;
            return false;
        }
        id = ++nextId_;
        pending_.emplace(id, Pending{Clock::now(), record.size()});
    }
    const std::string reply = inbox_ + "." + std::to_string(id);
    const natsStatus s = natsConnection_PublishRequest(nats_, subject.c_str(), reply.c_str(), record.data(),
                                                      static_cast<int>(record.size()));
    if (s == NATS_OK) return true;
    MutexLock lock(mu_);
    if (pending_.erase(id) != 0) ++counts_.errors;
    return false;
}

void Recorder::onAnswer(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* recorder = static_cast<Recorder*>(closure);
    {
        MutexLock lock(recorder->mu_);
        ++recorder->handlersRunning_;
    }
    recorder->answer(msg);
    natsMsg_Destroy(msg);
    // Notified under the lock: stop() may let the recorder go as soon as it is let go.
    MutexLock lock(recorder->mu_);
    if (--recorder->handlersRunning_ == 0) recorder->handlersDone_.notify_all();
}

void Recorder::answer(natsMsg* msg) {
    const char* subject = natsMsg_GetSubject(msg);
    const std::size_t prefix = inbox_.size() + 1;
    if (subject == nullptr || std::strlen(subject) <= prefix) return;
    const std::uint64_t id = std::strtoull(subject + prefix, nullptr, 10);
    // A stored record's answer names its stream and sequence; a refusal has an "error".
    const bool noStream = natsMsg_IsNoResponders(msg);
    const char* data = natsMsg_GetData(msg);
    const int length = natsMsg_GetDataLength(msg);
    const std::string text = data != nullptr && length > 0 ? std::string(data, static_cast<std::size_t>(length)) : "";
    const bool stored = !noStream && text.find("\"error\"") == std::string::npos && text.find("\"seq\"") != std::string::npos;
    MutexLock lock(mu_);
    const auto found = pending_.find(id);
    if (found == pending_.end()) return;  // counted already: it waited too long
    if (stored) {
        ++counts_.messages;
        counts_.bytes += found->second.bytes;
    } else {
        ++counts_.errors;
        if (noStream) streamLost_ = true;
    }
    pending_.erase(found);
}

void Recorder::expire(Clock::time_point now) {
    MutexLock lock(mu_);
    // In the order sent: the oldest first.
    while (!pending_.empty() && now - pending_.begin()->second.sent >= options_.answerWait) {
        ++counts_.errors;
        pending_.erase(pending_.begin());
    }
}

bool Recorder::takeStreamLost() {
    MutexLock lock(mu_);
    return std::exchange(streamLost_, false);
}

void Recorder::countError() {
    MutexLock lock(mu_);
    ++counts_.errors;
}

void Recorder::countDropped() {
    MutexLock lock(mu_);
    ++counts_.dropped;
}

void Recorder::countKeyframe() {
    MutexLock lock(mu_);
    ++counts_.keyframes;
}

RecordCounts Recorder::counts() {
    MutexLock lock(mu_);
    return counts_;
}

}  // namespace gateway

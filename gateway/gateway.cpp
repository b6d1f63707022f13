#include "gateway/gateway.h"

#include "wire/inbox.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <random>

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEventLoaded = 1;
constexpr int kEventUpdate = 3;
constexpr short kTradeTimeId = 27;
constexpr int kFieldIds = wire::kMaxFieldId + 1;
// How long stop() lets the request subscriptions drain.
constexpr int kDrainTimeoutMs = 5000;
// The plug-in's update stream asks for two records; so does the gateway.
constexpr int kStreamRecords = 2;
// NATS subjects the gateway answers, and what each carries.
constexpr const char* kRequestSubjects[] = {wire::kSubscribeWildcard, wire::kUnsubscribeSubject, wire::kLeaseSubject,
                                            wire::kHistoryWildcard,   wire::kStatsSubject,       wire::kHelloSubject,
                                            wire::kLeaveSubject};
const char* const kBarFields[5] = {"Open", "High", "Low", "Close", "Volume"};

std::uint64_t randomEpoch() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

// A user's clients together may have this many times one client's history
// requests under way and a second: a client id is only what the reply subject
// says, so a user inventing ids gets no further than that.
constexpr int kUserShare = 8;
constexpr char kUserQuotaPrefix[] = "user:";

// The quota key of the user whose inbox `requester` is: "user:_INBOX_<user>".
std::string userQuotaOf(const std::string& requester) { return kUserQuotaPrefix + wire::userOf(requester); }

int shareOf(const std::string& quotaKey) { return quotaKey.rfind(kUserQuotaPrefix, 0) == 0 ? kUserShare : 1; }

std::string clientName(std::uint64_t client) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, client);
    return text;
}

// The bars of a record set between EnterRead and LeaveRead: all of them, or
// the newest alone. `origin` receives the oldest one's index.
std::vector<wire::Bar> readBars(TRecordSet* set, bool all, std::int64_t* origin) {
    std::vector<wire::Bar> bars;
    short ix[5];
    for (int i = 0; i < 5; ++i) ix[i] = set->GetFieldIx(kBarFields[i]);
    set->EnterRead();
    if (set->hasRecords != 0) {
        const long first = static_cast<long>(set->firstRecord) - set->recordBase;
        const long last = static_cast<long>(set->lastRecord) - set->recordBase;
        const long from = all ? first : last;
        if (origin != nullptr) *origin = from;
        bars.reserve(static_cast<std::size_t>(last - from + 1));
        for (long k = from; k <= last; ++k) {
            wire::Bar bar;
            FeedTime start = 0, end = 0;
            set->GetETime(k, 1, &start);
            set->GetETime(k, 2, &end);
            bar.start = start;
            bar.end = end;
            double* values[5] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
            for (int i = 0; i < 5; ++i) set->GetRecDouble(k, ix[i], values[i]);
            bars.push_back(bar);
        }
    }
    set->LeaveRead();
    return bars;
}

}  // namespace

// ---- Feed sets and their sinks ------------------------------------------------------

// mu_ held for its whole life: ends a feed callback that began at `began`.
struct Gateway::CallbackEnd {
    CallbackEnd(RetiredSinks& sinks, std::uint64_t began) : sinks(sinks), began(began) {}
    ~CallbackEnd() { sinks.callbackEnded(began); }
    CallbackEnd(const CallbackEnd&) = delete;
    CallbackEnd& operator=(const CallbackEnd&) = delete;
    RetiredSinks& sinks;
    const std::uint64_t began;
};

std::uint64_t Gateway::feedCallbackBegan() {
    const std::uint64_t began = retired_.callbackBegan();
    if (options_.beforeFeedCallback) options_.beforeFeedCallback();
    return began;
}

struct Gateway::QuoteFeed final : ISSSetSink {
    QuoteFeed(Gateway* g, std::string s) : gateway(g), symbol(std::move(s)), subject(wire::quoteSubject(symbol)) {}
    void onSnapshotUpdate(SnapshotSet*, std::uint8_t count, const std::uint8_t* ids) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onQuote(this, count, ids, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string symbol, subject;
    SnapshotSet* set = nullptr;
    bool deleted = false;  // mu_
    std::uint64_t seq = 0;
    std::uint32_t tradeTime = 0;
    double value[kFieldIds] = {};
    bool has[kFieldIds] = {};
    std::set<std::uint64_t> clients;
};

struct Gateway::StreamFeed final : ITRecSetSink {
    StreamFeed(Gateway* g, std::string q) : gateway(g), query(std::move(q)), subject(wire::streamSubject(query)) {}
    void onRecordSetEvent(TRecordSet*, int event, long first, long second) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onStreamEvent(this, event, first, second, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string query, subject;
    TRecordSet* set = nullptr;
    bool deleted = false;  // mu_
    bool loaded = false;
    std::uint64_t seq = 0;
    std::int64_t origin = 0;
    std::vector<wire::Bar> window;
    std::set<std::uint64_t> clients;
};

struct Gateway::HistoryLoad final : ITRecSetSink {
    HistoryLoad(Gateway* g, std::string k) : gateway(g), key(std::move(k)) {}
    void onRecordSetEvent(TRecordSet*, int event, long, long) override {
        Gateway* const g = gateway;  // this sink may be freed by the end of the call
        g->onHistoryEvent(this, event, g->feedCallbackBegan());
    }
    Gateway* const gateway;
    const std::string key;
    TRecordSet* set = nullptr;
    bool deleted = false;  // mu_
    struct Waiter {
        std::string reply;
        std::uint64_t id;
        std::uint64_t client;  // 0: not known (its waiter never lapses)
        std::string requester;  // whose history allowance it counts against
    };
    std::vector<Waiter> waiters;
};

// ---- Life ----------------------------------------------------------------------------

Gateway::Gateway(TellivarClient* feed, natsConnection* nats, Options options)
    : feed_(feed), nats_(nats), options_(std::move(options)), epoch_(randomEpoch()) {}

Gateway::~Gateway() {
    stop();
    for (natsSubscription* sub : subscriptions_) natsSubscription_Destroy(sub);
}

bool Gateway::start(std::string* error) {
    for (const char* subject : kRequestSubjects) {
        natsSubscription* sub = nullptr;
        const natsStatus s = natsConnection_Subscribe(&sub, nats_, subject, &Gateway::onRequest, this);
        if (s != NATS_OK) {
            if (error != nullptr) *error = std::string("cannot subscribe to ") + subject + ": " + natsStatus_GetText(s);
            return false;
        }
        subscriptions_.push_back(sub);
    }
    housekeeper_ = std::thread([this] { housekeep(); });
    feed_->Connect(this);
    return true;
}

void Gateway::stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (housekeeper_.joinable()) housekeeper_.join();
    // No request handler may run once this returns: the caller frees the
    // gateway next, before its connection drains. Draining a subscription
    // removes the interest and lets libnats deliver what it holds already;
    // its completion comes after the last handler returned. A handler that
    // began before is counted, and waited for, in case a drain could not
    // finish (the connection closed meanwhile). The subscriptions are freed
    // by the destructor: libnats's reader may still look one up.
    for (natsSubscription* sub : subscriptions_)
        if (natsSubscription_DrainTimeout(sub, kDrainTimeoutMs) != NATS_OK) natsSubscription_Unsubscribe(sub);
    for (natsSubscription* sub : subscriptions_) natsSubscription_WaitForDrainCompletion(sub, kDrainTimeoutMs);
    {
        std::unique_lock<std::mutex> lock(mu_);
        handlersDone_.wait(lock, [this] { return handlersRunning_ == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [symbol, quote] : quotes_) {
            quote->deleted = true;
            feed_->DeleteSnapshotSet(quote->set);
        }
        for (auto& [query, stream] : streams_) {
            stream->deleted = true;
            feed_->DeleteTRecordSet(stream->set);
        }
        for (auto& [key, load] : loads_) {
            load->deleted = true;
            feed_->DeleteTRecordSet(load->set);
        }
        feedUp_ = false;
        publishHeartbeat();  // clients see the feed gone at once, not a heartbeat later
    }
    feed_->Disconnect();
    feed_->Shutdown();  // joins the feed thread: no sink runs after this
    std::lock_guard<std::mutex> lock(mu_);
    quotes_.clear();
    streams_.clear();
    loads_.clear();
    retired_.clear();
}

void Gateway::say(const std::string& line) {
    if (options_.log) options_.log(line);
}

// ---- The feed connection -----------------------------------------------------------

void Gateway::onSendCredentials(std::int32_t, std::int32_t) {
    feed_->SendLogon(options_.user.c_str(), options_.password.c_str());
}

void Gateway::onLogon(std::int32_t) { say("feed: logged on"); }

void Gateway::onReady() {
    std::lock_guard<std::mutex> lock(mu_);
    say("feed: ready");
    feedUp_ = true;
    publishHeartbeat();
}

void Gateway::onLogOff() {
    std::lock_guard<std::mutex> lock(mu_);
    say("feed: logged off");
    feedUp_ = false;
    publishHeartbeat();
}

void Gateway::onMessage(const char* text) {
    const std::string message = text != nullptr ? text : "";
    std::lock_guard<std::mutex> lock(mu_);
    say("feed: " + message);
    publish(wire::kMessageSubject, wire::FeedMessage{message});
}

// ---- Publishing (mu_ held) ---------------------------------------------------------------

void Gateway::holdUntil(Clock::time_point deadline) {
    holdUntil_.store(deadline.time_since_epoch().count(), std::memory_order_relaxed);
}

bool Gateway::mayPublish() const {
    return !options_.fenced || Clock::now().time_since_epoch().count() < holdUntil_.load(std::memory_order_relaxed);
}

void Gateway::publishTo(const char* subject, const std::vector<std::uint8_t>& bytes) {
    if (!mayPublish()) return;
    if (natsConnection_Publish(nats_, subject, bytes.data(), static_cast<int>(bytes.size())) == NATS_OK)
        ++messagesOut_;
}

void Gateway::publish(const std::string& subject, const wire::Message& message) {
    publishTo(subject.c_str(), wire::encode(message));
}

void Gateway::publishHeartbeat() {
    publish(wire::kHeartbeatSubject, wire::Heartbeat{epoch_, ++heartbeatSeq_, feedUp_});
}

// ---- Requests (NATS handler threads) -------------------------------------------------

void Gateway::onRequest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* gateway = static_cast<Gateway*>(closure);
    {
        std::lock_guard<std::mutex> lock(gateway->mu_);
        ++gateway->handlersRunning_;
    }
    gateway->handle(msg);
    natsMsg_Destroy(msg);
    // Notified under the lock: stop() may free the gateway as soon as it is let go.
    std::lock_guard<std::mutex> lock(gateway->mu_);
    if (--gateway->handlersRunning_ == 0) gateway->handlersDone_.notify_all();
}

void Gateway::handle(natsMsg* msg) {
    const char* reply = natsMsg_GetReply(msg);
    const std::string subject = natsMsg_GetSubject(msg);
    if (subject == wire::kStatsSubject) {
        if (reply != nullptr) answerStats(reply);
        return;
    }
    std::string reason;
    const auto message =
        wire::decode(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)), &reason);
    if (!message) {
        say(std::string("dropped a message on ") + natsMsg_GetSubject(msg) + ": " + reason);
        return;
    }
    if (const auto* m = std::get_if<wire::Subscribe>(&*message)) {
        if (subject != wire::subscribeSubject(m->stream, m->key)) {
            say("dropped a subscription to " + m->key + " sent on " + subject);
        } else if (reply != nullptr && fromClient(m->client, reply, subject)) {
            subscribe(*m, reply);
        }
    } else if (const auto* m = std::get_if<wire::Unsubscribe>(&*message)) {
        // Without a reply subject there is nothing to check the id against:
        // clients of earlier versions send none.
        if (reply == nullptr || fromClient(m->client, reply, subject)) {
            std::lock_guard<std::mutex> lock(mu_);
            if (!stopping_) unsubscribe(m->client, m->stream, m->key, "");
        }
    } else if (const auto* m = std::get_if<wire::Leave>(&*message)) {
        if (subject == wire::kLeaveSubject && reply != nullptr && fromClient(m->client, reply, subject)) leave(m->client);
    } else if (const auto* m = std::get_if<wire::Lease>(&*message)) {
        if (subject == wire::kHelloSubject) {
            std::lock_guard<std::mutex> lock(mu_);
            if (reply != nullptr && !stopping_) publish(reply, wire::Heartbeat{epoch_, heartbeatSeq_, feedUp_});
        } else {
            renew(*m);
        }
    } else if (const auto* m = std::get_if<wire::HistoryRequest>(&*message)) {
        if (subject != wire::historySubject(m->query)) {
            say("dropped a history request for " + m->query + " sent on " + subject);
        } else if (reply != nullptr) {
            requestHistory(*m, reply);
        }
    } else {
        say(std::string("dropped a message of the wrong kind on ") + natsMsg_GetSubject(msg));
    }
}

// A message naming `client` in its body came with `reply`: true when that is
// the client's own inbox, or a reply under it; otherwise logs and drops it.
bool Gateway::fromClient(std::uint64_t client, const char* reply, const std::string& subject) {
    if (wire::clientOf(reply) == client) return true;
    say("dropped a message on " + subject + " for client " + clientName(client) + " with the reply subject " + reply);
    return false;
}

// mu_ held.
void Gateway::touch(std::uint64_t client) {
    auto [it, added] = clients_.try_emplace(client);
    it->second.expiry = Clock::now() + options_.lease;
    if (added) say("client " + clientName(client) + " joined");
}

void Gateway::subscribe(const wire::Subscribe& request, const char* reply) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    const bool isSymbol = request.key.find(',') == std::string::npos;
    if (request.stream == isSymbol) {
        publish(reply, wire::Refusal{request.key, "Not a " + std::string(request.stream ? "stream query" : "symbol") +
                                                      ": " + request.key});
        return;
    }
    if (!request.stream) {
        auto& slot = quotes_[request.key];
        if (!slot) {
            auto quote = std::make_unique<QuoteFeed>(this, request.key);
            quote->set = feed_->CreateSnapshotSet(request.key.c_str());
            if (quote->set == nullptr) {
                quotes_.erase(request.key);
                publish(reply, wire::Refusal{request.key, "Symbol refused by the feed: " + request.key});
                return;
            }
            quote->set->sink = quote.get();
            quote->set->Init();
            slot = std::move(quote);
        }
        QuoteFeed& quote = *slot;
        touch(request.client);
        clients_[request.client].keys.emplace(false, request.key);
        quote.clients.insert(request.client);
        wire::Quote image{epoch_, quote.seq, true, quote.tradeTime, quote.symbol, {}};
        for (int id = 0; id < kFieldIds; ++id)
            if (quote.has[id]) image.fields.push_back({static_cast<std::uint8_t>(id), quote.value[id]});
        publish(reply, image);
        return;
    }
    auto& slot = streams_[request.key];
    if (!slot) {
        auto stream = std::make_unique<StreamFeed>(this, request.key);
        stream->set = feed_->CreateTRecordSet(request.key.c_str());
        if (stream->set == nullptr) {
            streams_.erase(request.key);
            publish(reply, wire::Refusal{request.key, "Stream refused by the feed: " + request.key});
            return;
        }
        stream->set->SetSink(stream.get());
        stream->set->Init(kStreamRecords, 0);
        slot = std::move(stream);
    }
    StreamFeed& stream = *slot;
    touch(request.client);
    clients_[request.client].keys.emplace(true, request.key);
    stream.clients.insert(request.client);
    wire::Stream image{epoch_, stream.seq, true, false, 0, stream.origin, stream.query, {}};
    if (stream.loaded) image.bars = stream.window;
    image.newest = stream.origin + static_cast<std::int64_t>(image.bars.size()) - 1;
    publish(reply, image);
}

// mu_ held.
void Gateway::unsubscribe(std::uint64_t client, bool stream, const std::string& key, const char* why) {
    auto found = clients_.find(client);
    if (found == clients_.end()) return;
    found->second.keys.erase({stream, key});
    dropInterest(stream, key, client);
    if (found->second.keys.empty()) {
        clients_.erase(found);
        say("client " + clientName(client) + " left" + why);
    }
}

// mu_ held. Deletes the feed set once no client wants it.
void Gateway::dropInterest(bool stream, const std::string& key, std::uint64_t client) {
    if (!stream) {
        auto found = quotes_.find(key);
        if (found == quotes_.end()) return;
        found->second->clients.erase(client);
        if (!found->second->clients.empty()) return;
        found->second->deleted = true;
        feed_->DeleteSnapshotSet(found->second->set);
        retired_.retire(std::shared_ptr<QuoteFeed>(found->second.release()));
        quotes_.erase(found);
        return;
    }
    auto found = streams_.find(key);
    if (found == streams_.end()) return;
    found->second->clients.erase(client);
    if (!found->second->clients.empty()) return;
    found->second->deleted = true;
    feed_->DeleteTRecordSet(found->second->set);
    retired_.retire(std::shared_ptr<StreamFeed>(found->second.release()));
    streams_.erase(found);
}

void Gateway::renew(const wire::Lease& lease) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || clients_.count(lease.client) == 0) return;  // unknown: it subscribes afresh
    touch(lease.client);
}

void Gateway::leave(std::uint64_t client) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || clients_.count(client) == 0) return;
    dropClients({client}, "");
}

void Gateway::expireLeases() {
    const auto now = Clock::now();
    std::vector<std::uint64_t> expired;
    for (const auto& [client, state] : clients_)
        if (state.expiry < now) expired.push_back(client);
    if (!expired.empty()) dropClients(expired, " (lease expired)");
}

// mu_ held. Every interest of the clients, and the history requests they wait for.
void Gateway::dropClients(const std::vector<std::uint64_t>& expired, const char* why) {
    for (std::uint64_t client : expired) {
        const auto keys = clients_[client].keys;
        for (const auto& [stream, key] : keys) dropInterest(stream, key, client);
        clients_.erase(client);
        say("client " + clientName(client) + " left" + why);
    }
    // Loads in flight whose every waiter was among the expired.
    for (auto it = loads_.begin(); it != loads_.end();) {
        auto& waiters = it->second->waiters;
        const auto lapsed = std::stable_partition(waiters.begin(), waiters.end(), [&expired](const auto& waiter) {
            return std::find(expired.begin(), expired.end(), waiter.client) == expired.end();
        });
        // Their requests no longer count against their clients' allowance.
        for (auto waiter = lapsed; waiter != waiters.end(); ++waiter) countHistory(waiter->requester, -1);
        waiters.erase(lapsed, waiters.end());
        if (!waiters.empty()) {
            ++it;
            continue;
        }
        it->second->deleted = true;
        feed_->DeleteTRecordSet(it->second->set);
        retired_.retire(std::shared_ptr<HistoryLoad>(it->second.release()));
        it = loads_.erase(it);
    }
}

// ---- Quotes and streams: the feed thread -----------------------------------------------

void Gateway::onQuote(QuoteFeed* quote, std::uint8_t count, const std::uint8_t* ids, std::uint64_t began) {
    std::lock_guard<std::mutex> lock(mu_);
    const CallbackEnd end(retired_, began);
    if (quote->deleted || stopping_) return;
    ++updatesIn_;
    wire::Quote update{epoch_, quote->seq + 1, false, 0, quote->symbol, {}};
    SnapshotSet* set = quote->set;
    set->EnterRead();
    for (int i = 0; i < count; ++i) {
        const std::uint8_t id = ids[i];
        double value = 0;
        if (id >= kFieldIds || !set->GetDouble(id, &value) || !std::isfinite(value)) continue;
        quote->value[id] = value;
        quote->has[id] = true;
        update.fields.push_back({id, value});
    }
    FeedTime tradeTime = quote->tradeTime;
    set->GetDWord(kTradeTimeId, &tradeTime);
    set->LeaveRead();
    quote->tradeTime = update.tradeTime = tradeTime;
    if (update.fields.empty()) return;
    quote->seq = update.seq;
    publish(quote->subject, update);
}

void Gateway::onStreamEvent(StreamFeed* stream, int event, long, long second, std::uint64_t began) {
    std::lock_guard<std::mutex> lock(mu_);
    const CallbackEnd end(retired_, began);
    if (stream->deleted || stopping_ || (event != kEventLoaded && event != kEventUpdate)) return;
    ++updatesIn_;
    const bool full = event == kEventLoaded || second == 1 || !stream->loaded;
    std::int64_t origin = 0;
    std::vector<wire::Bar> bars = readBars(stream->set, full, &origin);
    if (bars.empty()) return;
    wire::Stream message{epoch_, stream->seq + 1, full, event == kEventUpdate && second == 1,
                         origin + static_cast<std::int64_t>(bars.size()) - 1, origin, stream->query, bars};
    if (full) {
        stream->window = std::move(bars);
        stream->origin = origin;
        stream->loaded = true;
    } else if (!stream->window.empty()) {
        stream->window.back() = bars.back();
    }
    stream->seq = message.seq;
    publish(stream->subject, message);
}

// ---- Histories ------------------------------------------------------------------------

void Gateway::requestHistory(const wire::HistoryRequest& request, const char* reply) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    ++historyRequests_;
    const std::string requester = wire::inboxOf(reply);
    if (!admitHistory(requester, request, reply)) return;
    // The requester's lease covers its wait: a client gone for the lease no
    // longer keeps a load the feed has not finished.
    const std::uint64_t client = wire::clientOf(reply);
    if (client != 0) touch(client);
    const std::string key = request.query + '\n' + std::to_string(request.records);
    if (auto found = loads_.find(key); found != loads_.end()) {
        ++historyCoalesced_;
        countHistory(requester, 1);
        found->second->waiters.push_back({reply, request.id, client, requester});
        publish(reply, wire::HistoryDone{request.id, 1, 0});
        return;
    }
    auto load = std::make_unique<HistoryLoad>(this, key);
    load->waiters.push_back({reply, request.id, client, requester});
    load->set = feed_->CreateTRecordSet(request.query.c_str());
    ++historyFeedRequests_;
    if (load->set == nullptr) {
        publish(reply, wire::HistoryDone{request.id, 0, 0});
        return;
    }
    load->set->sinkMode = 0;
    load->set->SetSink(load.get());
    const int result = load->set->Init(request.records, 0);
    if (result == 0 || result == 3) {
        if (result == 3) sendHistory(*load, 3);
        else publish(reply, wire::HistoryDone{request.id, 0, 0});
        load->deleted = true;
        feed_->DeleteTRecordSet(load->set);
        // No event should come for a set answered at once or failed; a
        // dispatch that read its sink meanwhile still finds it.
        retired_.retire(std::shared_ptr<HistoryLoad>(std::move(load)));
        return;
    }
    publish(reply, wire::HistoryDone{request.id, 1, 0});
    countHistory(requester, 1);
    loads_.emplace(key, std::move(load));
}

// mu_ held. Takes a token of the requester's bucket and of its user's, or
// refuses the request when either is empty or has too many requests under way.
bool Gateway::admitHistory(const std::string& requester, const wire::HistoryRequest& request, const char* reply) {
    const auto now = Clock::now();
    const std::string keys[] = {requester, userQuotaOf(requester)};
    for (const std::string& key : keys) {
        HistoryQuota& quota = refilledQuota(key, now);
        const int share = shareOf(key);
        if (quota.inFlight < share * options_.historyInFlight && quota.tokens >= 1) continue;
        ++historyRefused_;
        char limits[112];
        std::snprintf(limits, sizeof limits, "at most %d under way and %g a second per %s",
                      share * options_.historyInFlight, share * options_.historyPerSecond,
                      share == 1 ? "client" : "user");
        const std::string text = std::string("Too many history requests (") + limits + "); refused " + request.query;
        if (!quota.refusing) say("refusing history requests of " + key + ": too many");
        quota.refusing = true;
        publish(reply, wire::Refusal{request.query, text});
        return false;
    }
    for (const std::string& key : keys) {
        HistoryQuota& quota = historyQuotas_[key];
        quota.tokens -= 1;
        quota.refusing = false;
    }
    return true;
}

Gateway::HistoryQuota& Gateway::refilledQuota(const std::string& key, std::chrono::steady_clock::time_point now) {
    const double rate = shareOf(key) * options_.historyPerSecond;
    const double burst = std::max(rate, 1.0);
    auto [it, added] = historyQuotas_.try_emplace(key);
    HistoryQuota& quota = it->second;
    if (added) {
        quota.tokens = burst;
    } else {
        const double seconds = std::chrono::duration<double>(now - quota.refilled).count();
        quota.tokens = std::min(burst, quota.tokens + seconds * rate);
    }
    quota.refilled = now;
    return quota;
}

// mu_ held.
void Gateway::countHistory(const std::string& requester, int change) {
    for (const std::string& key : {requester, userQuotaOf(requester)}) {
        auto found = historyQuotas_.find(key);
        if (found == historyQuotas_.end()) continue;
        found->second.inFlight = std::max(0, found->second.inFlight + change);
    }
}

void Gateway::onHistoryEvent(HistoryLoad* load, int event, std::uint64_t began) {
    std::lock_guard<std::mutex> lock(mu_);
    const CallbackEnd end(retired_, began);
    if (load->deleted || stopping_ || event != kEventLoaded) return;
    sendHistory(*load, 2);
    for (const auto& waiter : load->waiters) countHistory(waiter.requester, -1);
    finishHistory(load);
}

// mu_ held. Every waiter gets the bars in chunks, then the end.
void Gateway::sendHistory(HistoryLoad& load, std::uint8_t result) {
    std::vector<wire::Bar> bars = readBars(load.set, true, nullptr);
    const auto total = static_cast<std::uint32_t>(bars.size());
    for (const auto& waiter : load.waiters) {
        for (std::size_t offset = 0; offset < bars.size(); offset += wire::kChunkBars) {
            const std::size_t end = std::min(bars.size(), offset + wire::kChunkBars);
            wire::HistoryChunk chunk{waiter.id, static_cast<std::uint32_t>(offset), total,
                                     std::vector<wire::Bar>(bars.begin() + static_cast<std::ptrdiff_t>(offset),
                                                            bars.begin() + static_cast<std::ptrdiff_t>(end))};
            publish(waiter.reply, chunk);
        }
        publish(waiter.reply, wire::HistoryDone{waiter.id, result, total});
    }
}

// mu_ held, inside the load's own callback: the feed allows a delete there.
void Gateway::finishHistory(HistoryLoad* load) {
    load->deleted = true;
    feed_->DeleteTRecordSet(load->set);
    auto found = loads_.find(load->key);
    if (found == loads_.end()) return;
    retired_.retire(std::shared_ptr<HistoryLoad>(found->second.release()));
    loads_.erase(found);
}

// ---- Housekeeping and counters ----------------------------------------------------------

void Gateway::housekeep() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        wake_.wait_for(lock, options_.heartbeat, [this] { return stopping_; });
        if (stopping_) break;
        publishHeartbeat();
        expireLeases();
        // Quotas with nothing under way that have refilled carry no state.
        for (auto it = historyQuotas_.begin(); it != historyQuotas_.end();) {
            const double rate = shareOf(it->first) * options_.historyPerSecond;
            const double seconds = std::chrono::duration<double>(Clock::now() - it->second.refilled).count();
            const bool full = it->second.tokens + seconds * rate >= rate;
            it = it->second.inFlight == 0 && full ? historyQuotas_.erase(it) : std::next(it);
        }
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - rateSince_).count();
        if (seconds > 0) {
            updatesRate_ = static_cast<double>(updatesIn_ - rateUpdatesMark_) / seconds;
            messagesRate_ = static_cast<double>(messagesOut_ - rateMessagesMark_) / seconds;
        }
        rateUpdatesMark_ = updatesIn_;
        rateMessagesMark_ = messagesOut_;
        rateSince_ = now;
    }
}

Stats Gateway::stats() {
    std::lock_guard<std::mutex> lock(mu_);
    Stats s;
    s.clients = clients_.size();
    s.symbols = quotes_.size();
    s.streams = streams_.size();
    s.sets = quotes_.size() + streams_.size() + loads_.size();
    s.updatesIn = updatesIn_;
    s.messagesOut = messagesOut_;
    s.updatesInPerSecond = updatesRate_;
    s.messagesOutPerSecond = messagesRate_;
    s.historyRequests = historyRequests_;
    s.historyCoalesced = historyCoalesced_;
    s.historyFeedRequests = historyFeedRequests_;
    s.historyRefused = historyRefused_;
    s.feedUp = feedUp_;
    s.lingeringSinks = retired_.lingering();
    return s;
}

std::string Stats::json() const {
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"clients\":%zu,\"symbols\":%zu,\"streams\":%zu,\"sets\":%zu,\"updatesIn\":%" PRIu64
                  ",\"messagesOut\":%" PRIu64
                  ",\"updatesInPerSecond\":%.1f,\"messagesOutPerSecond\":%.1f,\"historyRequests\":%" PRIu64
                  ",\"historyCoalesced\":%" PRIu64 ",\"historyFeedRequests\":%" PRIu64
                  ",\"historyRefused\":%" PRIu64 ",\"feedUp\":%s,\"lingeringSinks\":%zu}",
                  clients, symbols, streams, sets, updatesIn, messagesOut, updatesInPerSecond, messagesOutPerSecond,
                  historyRequests, historyCoalesced, historyFeedRequests, historyRefused, feedUp ? "true" : "false",
                  lingeringSinks);
    return text;
}

void Gateway::answerStats(const char* reply) {
    const std::string text = stats().json();
    std::lock_guard<std::mutex> lock(mu_);
    if (mayPublish()) natsConnection_Publish(nats_, reply, text.data(), static_cast<int>(text.size()));
}

}  // namespace gateway

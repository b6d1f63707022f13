// Interest and leases: who wants which quote or stream, the feed sets made
// for them and deleted when nobody does, and the quotes and stream events
// published to them (gateway.h).
#include <cmath>

#include "gateway/feed_sets.h"
#include "gateway/gateway.h"
#include "wire/inbox.h"

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

// The plug-in's update stream asks for two records; so does the gateway.
constexpr int kStreamRecords = 2;

}  // namespace

// ---- Requests: NATS handler threads ----------------------------------------------------

void Gateway::subscribe(const wire::Subscribe& request, const char* reply) {
    MutexLock lock(mu_);
    if (stopping_) return;
    const bool isSymbol = request.key.find(',') == std::string::npos;
    if (request.stream == isSymbol) {
        publish(reply, wire::Refusal{request.key, "Not a " + std::string(request.stream ? "stream query" : "symbol") +
                                                      ": " + request.key});
        return;
    }
    const std::pair<bool, std::string> interest{request.stream, request.key};
    if (!admitInterest(request.client, interest, reply)) return;
    const auto clientFound = clients_.find(request.client);
    const std::string inbox = clientFound != clients_.end() ? clientFound->second.inbox : wire::inboxOf(reply);
    const bool added = clientFound == clients_.end() || clientFound->second.keys.count(interest) == 0;
    // The feed refused the set: the interest admitted above is not held after all.
    auto refused = [&](const char* what) REQUIRES(mu_) {
        if (added) quotas_.subscriptionsEnded(inbox, 1);
        publish(reply, wire::Refusal{request.key, std::string(what) + " refused by the feed: " + request.key});
    };
    if (!request.stream) {
        QuoteFeed* quote = quoteFeed(request.key);
        if (quote == nullptr) {
            refused("Symbol");
            return;
        }
        touch(request.client, inbox).keys.insert(interest);
        quote->clients.insert(request.client);
        publish(reply, quoteImage(*quote));
        return;
    }
    StreamFeed* stream = streamFeed(request.key);
    if (stream == nullptr) {
        refused("Stream");
        return;
    }
    touch(request.client, inbox).keys.insert(interest);
    stream->clients.insert(request.client);
    publish(reply, streamImage(*stream));
}

// ---- Sets (mu_ held) ----------------------------------------------------------------------

Gateway::QuoteFeed* Gateway::quoteFeed(const std::string& symbol) {
    auto& slot = quotes_[symbol];
    if (!slot) {
        auto quote = std::make_unique<QuoteFeed>(this, symbol);
        quote->set = feed_->CreateSnapshotSet(symbol.c_str());
        if (quote->set == nullptr) {
            quotes_.erase(symbol);
            return nullptr;
        }
        quote->set->sink = quote.get();
        quote->set->Init();
        slot = std::move(quote);
    }
    return slot.get();
}

Gateway::StreamFeed* Gateway::streamFeed(const std::string& query) {
    auto& slot = streams_[query];
    if (!slot) {
        auto stream = std::make_unique<StreamFeed>(this, query);
        stream->set = feed_->CreateTRecordSet(query.c_str());
        if (stream->set == nullptr) {
            streams_.erase(query);
            return nullptr;
        }
        stream->set->SetSink(stream.get());
        stream->set->Init(kStreamRecords, 0);
        slot = std::move(stream);
    }
    return slot.get();
}

// The image a Subscribe is answered with: every field with a value.
wire::Quote Gateway::quoteImage(const QuoteFeed& quote) const {
    wire::Quote image{epoch_, quote.seq, true, quote.tradeTime, quote.symbol, {}};
    for (int id = 0; id < kFieldIds; ++id)
        if (quote.has[id]) image.fields.push_back({static_cast<std::uint8_t>(id), quote.value[id]});
    return image;
}

// The whole window (none before the set loaded).
wire::Stream Gateway::streamImage(const StreamFeed& stream) const {
    wire::Stream image{epoch_, stream.seq, true, false, 0, stream.origin, stream.query, {}};
    if (stream.loaded) image.bars = stream.window;
    image.newest = stream.origin + static_cast<std::int64_t>(image.bars.size()) - 1;
    return image;
}

bool Gateway::admitInterest(std::uint64_t client, const std::pair<bool, std::string>& interest, const char* reply) {
    const auto found = clients_.find(client);
    if (found != clients_.end() && found->second.keys.count(interest) != 0) return true;  // held: an image again
    const std::string inbox = found != clients_.end() ? found->second.inbox : wire::inboxOf(reply);
    const std::size_t held = found != clients_.end() ? found->second.keys.size() : 0;
    const auto refusal = quotas_.admitSubscription(inbox, held, interest.second);
    if (!refusal) return true;
    ++counters_.subscriptionsRefused;
    if (refusal->first) say("refusing subscriptions of " + refusal->who + ": too many");
    publish(reply, wire::Refusal{interest.second, refusal->text});
    return false;
}

// mu_ held.
void Gateway::unsubscribe(std::uint64_t client, bool stream, const std::string& key, const char* why) {
    auto found = clients_.find(client);
    if (found == clients_.end()) return;
    if (found->second.keys.erase({stream, key}) != 0) quotas_.subscriptionsEnded(found->second.inbox, 1);
    dropInterest(stream, key, client);
    if (found->second.keys.empty()) {
        clients_.erase(found);
        say("client " + clientName(client) + " left" + why);
    }
}

void Gateway::renew(const wire::Lease& lease) {
    MutexLock lock(mu_);
    auto found = clients_.find(lease.client);
    if (stopping_ || found == clients_.end()) return;  // unknown: it subscribes afresh
    found->second.expiry = Clock::now() + options_.lease;
}

void Gateway::leave(std::uint64_t client) {
    MutexLock lock(mu_);
    if (stopping_ || clients_.count(client) == 0) return;
    dropClients({client}, "");
}

// ---- Leases (mu_ held) -------------------------------------------------------------------

// Renews `client`'s lease; a client not known yet joins, its quotas counted against `inbox`.
Gateway::Client& Gateway::touch(std::uint64_t client, const std::string& inbox) {
    auto [it, added] = clients_.try_emplace(client);
    it->second.expiry = Clock::now() + options_.lease;
    if (added) {
        it->second.inbox = inbox;
        say("client " + clientName(client) + " joined");
    }
    return it->second;
}

// Deletes the feed set once no client wants it, unless the recording keeps it.
void Gateway::dropInterest(bool stream, const std::string& key, std::uint64_t client) {
    if (!stream) {
        auto found = quotes_.find(key);
        if (found == quotes_.end()) return;
        found->second->clients.erase(client);
        if (!found->second->clients.empty() || found->second->kept) return;
        found->second->deleted = true;
        feed_->DeleteSnapshotSet(found->second->set);
        retired_.retire(std::shared_ptr<QuoteFeed>(found->second.release()));
        quotes_.erase(found);
        return;
    }
    auto found = streams_.find(key);
    if (found == streams_.end()) return;
    found->second->clients.erase(client);
    if (!found->second->clients.empty() || found->second->kept) return;
    found->second->deleted = true;
    feed_->DeleteTRecordSet(found->second->set);
    retired_.retire(std::shared_ptr<StreamFeed>(found->second.release()));
    streams_.erase(found);
}

void Gateway::expireLeases() {
    const auto now = Clock::now();
    std::vector<std::uint64_t> expired;
    for (const auto& [client, state] : clients_)
        if (state.expiry < now) expired.push_back(client);
    counters_.leaseExpiries += expired.size();
    if (!expired.empty()) dropClients(expired, " (lease expired)");
}

// Every interest of the clients, and the history requests they wait for.
void Gateway::dropClients(const std::vector<std::uint64_t>& gone, const char* why) {
    for (std::uint64_t client : gone) {
        auto found = clients_.find(client);
        if (found == clients_.end()) continue;
        const Client state = std::move(found->second);
        clients_.erase(found);
        quotas_.subscriptionsEnded(state.inbox, state.keys.size());
        for (const auto& [stream, key] : state.keys) dropInterest(stream, key, client);
        say("client " + clientName(client) + " left" + why);
    }
    dropHistoryWaiters(gone);
}

// ---- Quotes and streams: the feed thread -----------------------------------------------

void Gateway::onQuote(QuoteFeed* quote, std::uint8_t count, const std::uint8_t* ids, std::uint64_t began) {
    MutexLock lock(mu_);
    const CallbackEnd end(retired_, feedWatch_, began);
    if (quote->deleted || stopping_) return;
    ++counters_.updatesIn;
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
    // Encoded once: the live message and the record's body.
    const std::vector<std::uint8_t> bytes = wire::encode(update);
    publishTo(quote->subject.c_str(), bytes);
    recordUpdate(quote->recordSubject, bytes);
}

void Gateway::onStreamEvent(StreamFeed* stream, int event, long, long second, std::uint64_t began) {
    MutexLock lock(mu_);
    const CallbackEnd end(retired_, feedWatch_, began);
    if (stream->deleted || stopping_ || (event != kEventLoaded && event != kEventUpdate)) return;
    ++counters_.updatesIn;
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
    const std::vector<std::uint8_t> bytes = wire::encode(message);
    publishTo(stream->subject.c_str(), bytes);
    recordUpdate(stream->recordSubject, bytes);
}

}  // namespace gateway

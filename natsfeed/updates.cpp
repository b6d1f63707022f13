// The NATS feed client's quotes and update streams: their requests, their
// sequence (image, held updates, repeats, gaps) and what their sinks are told.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/internal.h"
#include "wire/inbox.h"

namespace natsfeed {

void NatsClient::requestImage(NatsSnapshotSet* set) {
    set->sequence = {};
    set->sequence.askedAt = Clock::now();
    publishLocked(wire::subscribeSubject(false, set->symbol), wire::Subscribe{clientId_, false, set->symbol},
                  wire::replySubject(inbox_, wire::ReplyKind::Image, set->id));
}

void NatsClient::requestStream(NatsRecordSet* set) {
    set->sequence = {};
    set->sequence.askedAt = Clock::now();
    publishLocked(wire::subscribeSubject(true, set->query), wire::Subscribe{clientId_, true, set->query},
                  wire::replySubject(inbox_, wire::ReplyKind::Window, set->id));
}

void NatsClient::refuse(NatsSnapshotSet* set) {
    if (!set->following()) return;
    set->refused = true;
    set->sequence = {};
    unwatchIfUnused(false, set->symbol, false);
}

void NatsClient::refuse(NatsRecordSet* set) {
    if (!set->streaming()) return;
    set->refused = true;
    set->sequence = {};
    unwatchIfUnused(true, set->query, false);
}

NatsSnapshotSet* NatsClient::snapshotById(std::uint64_t id) {
    for (NatsSnapshotSet* set : snapshots_)
        if (set->id == id) return set;
    return nullptr;
}

NatsRecordSet* NatsClient::recordSetById(std::uint64_t id) {
    for (NatsRecordSet* set : recordSets_)
        if (set->id == id) return set;
    return nullptr;
}

// What differs between quotes and update streams; the rest of their path
// (onUpdate, follow) is one.
//
// Which part a message plays in the sequence comes from where it came, for
// both kinds alike. The answer to a set's Subscribe, on the client's inbox,
// is the set's image: it starts the set's sequence (at the gateway's last
// seq) and must be whole. A message on the broadcast subject is the next
// update, whole or not: the gateway publishes a stream's full window there,
// numbered in sequence like any update, when the stream loads or its window
// shifts, and a quote's changed fields. So `whole` says only how the kind
// applies the message, never whether it is an image.
template <>
struct NatsClient::Kind<NatsSnapshotSet> {
    using Message = wire::Quote;
    // In log lines: an update, an answer for another key, a key no set follows.
    static constexpr const char* kUpdate = "a quote";
    static constexpr const char* kWrongAnswer = "a quote answer for the wrong symbol";
    static constexpr const char* kUnknown = "the unknown symbol";
    static const std::string& key(const Message& quote) { return quote.symbol; }
    static const std::string& key(const NatsSnapshotSet* set) { return set->symbol; }
    static bool whole(const Message& quote) { return quote.image; }
    static std::string subject(const std::string& symbol) { return wire::quoteSubject(symbol); }
    static bool live(const NatsSnapshotSet* set) { return set->following(); }  // mu_ held
    static const std::vector<NatsSnapshotSet*>& registry(const NatsClient* client) REQUIRES(client->mu_) {
        return client->snapshots_;
    }
    static void apply(NatsClient* client, NatsSnapshotSet* set, const Message& quote) { client->applyQuote(set, quote); }
    static void askAgain(NatsClient* client, NatsSnapshotSet* set) REQUIRES(client->mu_) { client->requestImage(set); }
};

template <>
struct NatsClient::Kind<NatsRecordSet> {
    using Message = wire::Stream;
    static constexpr const char* kUpdate = "a stream event";
    static constexpr const char* kWrongAnswer = "a stream answer for the wrong query";
    static constexpr const char* kUnknown = "the unknown stream";
    static const std::string& key(const Message& stream) { return stream.query; }
    static const std::string& key(const NatsRecordSet* set) { return set->query; }
    static bool whole(const Message& stream) { return stream.full; }
    static std::string subject(const std::string& query) { return wire::streamSubject(query); }
    static bool live(const NatsRecordSet* set) { return set->streaming(); }  // mu_ held
    static const std::vector<NatsRecordSet*>& registry(const NatsClient* client) REQUIRES(client->mu_) {
        return client->recordSets_;
    }
    static void apply(NatsClient* client, NatsRecordSet* set, const Message& stream) { client->applyStream(set, stream); }
    static void askAgain(NatsClient* client, NatsRecordSet* set) REQUIRES(client->mu_) { client->requestStream(set); }
};

// Feed thread, mu_ not held. `only`: the set an inbox answer is for;
// otherwise (the broadcast subject) every set following the key.
template <class Set>
void NatsClient::onUpdate(const typename Kind<Set>::Message& message, const std::string& subject, Set* only) {
    using K = Kind<Set>;
    const std::string& key = K::key(message);
    std::vector<Set*> targets;
    {
        feedcommon::MutexLock lock(mu_);
        if (only != nullptr) {
            if (!K::live(only)) return;  // refused meanwhile
            if (!K::whole(message) || key != K::key(only)) {
                log(std::string("dropped ") + K::kWrongAnswer + " " + key);
                return;
            }
            targets.push_back(only);
        } else {
            if (subject != K::subject(key)) {
                log(std::string("dropped ") + K::kUpdate + " for " + key + " on " + subject);
                return;
            }
            for (Set* set : K::registry(this))
                if (K::live(set) && K::key(set) == key) targets.push_back(set);
            if (targets.empty()) {
                log(std::string("dropped ") + K::kUpdate + " for " + K::kUnknown + " " + key);
                return;
            }
        }
    }
    follow(targets, message, only != nullptr);
}

// Feed thread, mu_ not held. Gives each of `targets` still registered the
// message as an image (`image`) or as the next update, by the sequence rule
// (sequence.h). Updates held for a set's image follow it when they are next.
template <class Set>
void NatsClient::follow(const std::vector<Set*>& targets, const typename Kind<Set>::Message& message, bool image) {
    using K = Kind<Set>;
    const SequenceStep step{image, message.epoch, message.seq};
    for (Set* set : targets) {
        {
            feedcommon::MutexLock lock(mu_);
            const auto& registry = K::registry(this);
            if (std::find(registry.begin(), registry.end(), set) == registry.end()) continue;
        }
        auto& sequence = set->sequence;
        switch (decide(sequence, step)) {
        case SequenceDecision::Apply:
            break;
        case SequenceDecision::Hold:
            if (sequence.early.size() < kMaxEarly) sequence.early.push_back(message);
            continue;
        case SequenceDecision::Duplicate:
            continue;
        case SequenceDecision::OlderImage:
            log("dropped an image of " + K::key(message) + " older than the updates already applied");
            continue;
        case SequenceDecision::Gap: {
            log("missed updates of " + K::key(message) + "; asking for a fresh image");
            feedcommon::MutexLock lock(mu_);
            K::askAgain(this, set);
            continue;
        }
        }
        static_cast<SequencePosition&>(sequence) = advance(sequence, step);
        auto early = std::move(sequence.early);
        sequence.early.clear();
        K::apply(this, set, message);
        // Empty unless this was the image. A set asked again while applying
        // (its sequence reset) holds what follows instead.
        for (const auto& later : early) {
            const SequenceStep next{false, later.epoch, later.seq};
            if (decide(sequence, next) != SequenceDecision::Apply) continue;
            static_cast<SequencePosition&>(sequence) = advance(sequence, next);
            K::apply(this, set, later);
        }
    }
}

void NatsClient::onQuote(const wire::Quote& quote, const std::string& subject, NatsSnapshotSet* only) {
    onUpdate(quote, subject, only);
}

void NatsClient::onStream(const wire::Stream& stream, const std::string& subject, NatsRecordSet* only) {
    onUpdate(stream, subject, only);
}

// Feed thread, mu_ not held. An image replaces every value and tells the
// sink every id that has one; an update tells the ids it changed.
void NatsClient::applyQuote(NatsSnapshotSet* set, const wire::Quote& quote) {
    std::vector<std::uint8_t> ids;
    {
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        if (quote.image) std::fill(std::begin(set->has), std::end(set->has), false);
        for (const wire::FieldValue& field : quote.fields) {
            set->value[field.id] = field.value;
            set->has[field.id] = true;
        }
        set->tradeTime = quote.tradeTime;
        if (quote.image) {
            for (int id = 0; id < kFieldIds; ++id)
                if (set->has[id]) ids.push_back(static_cast<std::uint8_t>(id));
        } else {
            for (const wire::FieldValue& field : quote.fields) ids.push_back(field.id);
        }
    }
    ISSSetSink* sink = set->sink;
    if (sink == nullptr || ids.empty()) return;
    deliver(set, [&] { sink->onSnapshotUpdate(set, static_cast<std::uint8_t>(ids.size()), ids.data()); });
}

// Feed thread, mu_ not held. The first window completes the load (event 1);
// later ones and updates of the newest bar are event 3.
void NatsClient::applyStream(NatsRecordSet* set, const wire::Stream& stream) {
    if (stream.bars.empty()) return;
    if (stream.full) {
        set->publish(stream.bars, stream.origin);
    } else {
        std::unique_lock<std::shared_mutex> data(set->dataLock);
        const std::int64_t newest = set->origin + static_cast<std::int64_t>(set->bars.size()) - 1;
        if (set->bars.empty() || newest != stream.newest) {
            data.unlock();
            log("dropped a stream update for a bar the window does not hold: " + stream.query);
            feedcommon::MutexLock lock(mu_);
            requestStream(set);
            return;
        }
        set->bars.back() = stream.bars.back();
    }
    ITRecSetSink* sink;
    int asked;
    {
        feedcommon::MutexLock lock(mu_);
        sink = set->sink;
        asked = set->asked;
        set->load = NatsRecordSet::Load::Done;
    }
    if (sink == nullptr) return;
    if (!set->loadedOnce) {
        set->loadedOnce = true;
        deliver(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
        return;
    }
    deliver(set, [&] {
        sink->onRecordSetEvent(set, kEventUpdate, static_cast<long>(stream.newest), stream.newBar ? 1 : 0);
    });
}

}  // namespace natsfeed

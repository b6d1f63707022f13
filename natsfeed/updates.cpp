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

// Feed thread, mu_ not held. Gives each of `targets` still in `registry` an
// image (`image`) or the next update in order. Updates before a set's image
// wait for it; a repeat is ignored; a gap or another gateway run asks again.
template <class Set, class Update, class Apply, class Ask>
void NatsClient::follow(const std::vector<Set*>& targets, const std::vector<Set*>& registry, const Update& update,
                        bool image, const std::string& key, Apply apply, Ask askAgain) {
    for (Set* set : targets) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (std::find(registry.begin(), registry.end(), set) == registry.end()) continue;
        }
        Sequence<Update>& seq = set->sequence;
        if (image) {
            // An image answers a request made earlier: when updates after it
            // were applied meanwhile, it would take the set back in time.
            if (seq.haveImage && update.epoch == seq.epoch && update.seq < seq.seq) {
                log("dropped an image of " + key + " older than the updates already applied");
                continue;
            }
            seq.haveImage = true;
            seq.epoch = update.epoch;
            seq.seq = update.seq;
            std::vector<Update> early = std::move(seq.early);
            seq.early.clear();
            apply(set, update);
            for (const Update& later : early) {
                if (later.epoch == seq.epoch && later.seq == seq.seq + 1) {
                    seq.seq = later.seq;
                    apply(set, later);
                }
            }
            continue;
        }
        if (!seq.haveImage) {
            if (seq.early.size() < kMaxEarly) seq.early.push_back(update);
            continue;
        }
        if (update.epoch != seq.epoch || update.seq > seq.seq + 1) {
            log("missed updates of " + key + "; asking for a fresh image");
            std::lock_guard<std::mutex> lock(mu_);
            askAgain(set);
            continue;
        }
        if (update.seq <= seq.seq) continue;  // seen already
        seq.seq = update.seq;
        apply(set, update);
    }
}

// `only`: the set a Subscribe answer is for; otherwise every set of the symbol.
void NatsClient::onQuote(const wire::Quote& quote, const std::string& subject, NatsSnapshotSet* only) {
    std::vector<NatsSnapshotSet*> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (only != nullptr) {
            if (!only->following()) return;  // refused meanwhile
            if (!quote.image || quote.symbol != only->symbol) {
                log("dropped a quote answer for the wrong symbol " + quote.symbol);
                return;
            }
            targets.push_back(only);
        } else {
            if (subject != wire::quoteSubject(quote.symbol) || quote.image) {
                log("dropped a quote for " + quote.symbol + " on " + subject);
                return;
            }
            for (NatsSnapshotSet* set : snapshots_)
                if (set->following() && set->symbol == quote.symbol) targets.push_back(set);
            if (targets.empty()) {
                log("dropped a quote for the unknown symbol " + quote.symbol);
                return;
            }
        }
    }
    follow(targets, snapshots_, quote, quote.image, quote.symbol,
           [this](NatsSnapshotSet* set, const wire::Quote& update) { applyQuote(set, update); },
           [this](NatsSnapshotSet* set) { requestImage(set); });
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

void NatsClient::onStream(const wire::Stream& stream, const std::string& subject, NatsRecordSet* only) {
    std::vector<NatsRecordSet*> targets;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (only != nullptr) {
            if (!only->streaming()) return;  // refused meanwhile
            if (!stream.full || stream.query != only->query) {
                log("dropped a stream answer for the wrong query " + stream.query);
                return;
            }
            targets.push_back(only);
        } else {
            if (subject != wire::streamSubject(stream.query)) {
                log("dropped a stream event for " + stream.query + " on " + subject);
                return;
            }
            for (NatsRecordSet* set : recordSets_)
                if (set->streaming() && set->query == stream.query) targets.push_back(set);
            if (targets.empty()) {
                log("dropped a stream event for the unknown stream " + stream.query);
                return;
            }
        }
    }
    follow(targets, recordSets_, stream, only != nullptr, stream.query,
           [this](NatsRecordSet* set, const wire::Stream& event) { applyStream(set, event); },
           [this](NatsRecordSet* set) { requestStream(set); });
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
            std::lock_guard<std::mutex> lock(mu_);
            requestStream(set);
            return;
        }
        set->bars.back() = stream.bars.back();
    }
    ITRecSetSink* sink;
    int asked;
    {
        std::lock_guard<std::mutex> lock(mu_);
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

// The NATS feed client's histories: their requests, chunks, end, repeats and
// failure, and the refusals of the gateway and of the server's permissions.
#include "natsfeed/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "natsfeed/internal.h"
#include "wire/inbox.h"

namespace natsfeed {

void NatsClient::sendHistoryRequest(NatsRecordSet* set) {
    set->historyId = set->requestSent ? nextSetId_++ : set->id;
    set->requestSent = true;
    set->historyHeard = false;
    set->historyAskedAt = Clock::now();
    set->incoming.clear();
    publishLocked(wire::historySubject(set->query), wire::HistoryRequest{set->historyId, set->asked, set->query},
                  wire::replySubject(inbox_, wire::ReplyKind::History, set->historyId));
}

void NatsClient::onHistoryGap(NatsRecordSet* set, const std::string& what) {
    const bool owed = set->owed();
    if (owed && set->historyRepeats < kMaxHistoryRepeats) {
        ++set->historyRepeats;
        log(what + "; asking again");
        sendHistoryRequest(set);
        return;
    }
    log(what);
    failHistory(set);
}

void NatsClient::failHistory(NatsRecordSet* set) {
    if (set->owed()) set->load = NatsRecordSet::Load::Failed;
    set->incoming.clear();
    historyAnswered_.notify_all();
}

NatsRecordSet* NatsClient::historyById(std::uint64_t id) {
    for (NatsRecordSet* set : recordSets_)
        if (!set->live && set->requestSent && set->historyId == id) return set;
    return nullptr;
}

void NatsClient::onHistoryChunk(const wire::HistoryChunk& chunk) {
    feedcommon::MutexLock lock(mu_);
    NatsRecordSet* set = historyById(chunk.id);
    if (set == nullptr) {
        if (chunk.id >= nextSetId_) log("dropped a history chunk for an unknown request");
        return;  // otherwise for a set deleted since it asked, or a request asked again since
    }
    set->historyHeard = true;
    if (chunk.offset != set->incoming.size()) {
        onHistoryGap(set, "dropped a history chunk out of order for " + set->query);
        return;
    }
    // No more bars kept than were asked for, whatever the chunks say.
    if (chunk.total > static_cast<std::uint32_t>(set->asked) || chunk.offset > chunk.total ||
        chunk.bars.size() > chunk.total - chunk.offset) {
        onHistoryGap(set, "dropped a history chunk past the bars asked for " + set->query);
        return;
    }
    set->incoming.insert(set->incoming.end(), chunk.bars.begin(), chunk.bars.end());
    const bool last = set->incoming.size() >= chunk.total;
    if (set->load != NatsRecordSet::Load::Pending || last) return;
    ITRecSetSink* sink = set->sink;
    const long loaded = static_cast<long>(set->incoming.size());
    lock.unlock();
    if (sink != nullptr)
        deliver(set, [&] { sink->onRecordSetEvent(set, kEventProgress, loaded, static_cast<long>(chunk.total)); });
}

void NatsClient::onHistoryDone(const wire::HistoryDone& done) {
    feedcommon::MutexLock lock(mu_);
    NatsRecordSet* set = historyById(done.id);
    if (set == nullptr) {
        if (done.id >= nextSetId_) log("dropped a history answer for an unknown request");
        return;
    }
    set->historyHeard = true;
    const bool waiting = set->load == NatsRecordSet::Load::Waiting;
    if (done.result == 1) {  // under way at the gateway: chunks and another answer follow
        if (waiting) set->load = NatsRecordSet::Load::Pending;
        historyAnswered_.notify_all();
        return;
    }
    if (done.result == 0) {
        if (!waiting) log("the gateway's feed failed the history " + set->query);
        failHistory(set);
        return;
    }
    if (set->incoming.size() != done.total) {
        onHistoryGap(set, "dropped an incomplete history for " + set->query);
        return;
    }
    if (!set->owed()) return;
    // Published with mu_ released: a host reading the set holds its read
    // lock and may take mu_ (a Delete); mu_ is never held around dataLock.
    std::vector<wire::Bar> bars = std::move(set->incoming);
    set->incoming.clear();
    lock.unlock();
    set->publish(std::move(bars), 0);  // the set lives: deletes during a pass are deferred
    lock.lock();
    if (std::find(recordSets_.begin(), recordSets_.end(), set) == recordSets_.end()) return;
    // Init may have stopped waiting meanwhile: then an event tells of the bars.
    if (set->load == NatsRecordSet::Load::Waiting && done.result == 3) {
        set->load = NatsRecordSet::Load::AtOnce;  // Init returns 3; no event
        historyAnswered_.notify_all();
        return;
    }
    set->load = NatsRecordSet::Load::Done;
    historyAnswered_.notify_all();
    ITRecSetSink* sink = set->sink;
    const long asked = set->asked;
    lock.unlock();
    if (sink != nullptr) deliver(set, [&] { sink->onRecordSetEvent(set, kEventLoaded, -(asked - 1), asked); });
}

// A refusal is final until the next logon, as the feed's own failure is: a
// refused history fails its set (Init, still waiting, returns 0; later, the
// set stays without bars); a refused quote or stream asks nothing more and
// drops its subscription. The host is told once.
void NatsClient::onRefusal(const wire::Refusal& refusal, const std::string& subject) {
    std::uint64_t id = 0;
    {
        feedcommon::MutexLock lock(mu_);
        if (wire::parseReply(subject, inbox_, wire::ReplyKind::History, &id)) {
            if (NatsRecordSet* set = historyById(id)) failHistory(set);
        } else if (wire::parseReply(subject, inbox_, wire::ReplyKind::Image, &id)) {
            NatsSnapshotSet* set = snapshotById(id);
            if (set == nullptr || !set->following()) return;  // deleted, or refused already
            refuse(set);
        } else if (wire::parseReply(subject, inbox_, wire::ReplyKind::Window, &id)) {
            NatsRecordSet* set = recordSetById(id);
            if (set == nullptr || !set->streaming()) return;
            refuse(set);
        }
    }
    tellHost("the gateway refused " + refusal.key, refusal.text);
}

// The subject is the one of a set's updates, of its subscribe request or of
// its history request.
void NatsClient::onPermissionRefused(const std::string& subject, const std::string& text) {
    bool matched = false, newly = false;
    {
        feedcommon::MutexLock lock(mu_);
        for (NatsSnapshotSet* set : snapshots_) {
            if (!set->initialised) continue;
            if (subject != wire::quoteSubject(set->symbol) && subject != wire::subscribeSubject(false, set->symbol))
                continue;
            matched = true;
            newly = newly || set->following();
            refuse(set);
        }
        for (NatsRecordSet* set : recordSets_) {
            if (set->live) {
                if (set->load == NatsRecordSet::Load::Idle) continue;
                if (subject != wire::streamSubject(set->query) && subject != wire::subscribeSubject(true, set->query))
                    continue;
                matched = true;
                newly = newly || set->streaming();
                refuse(set);
            } else if (set->requestSent && subject == wire::historySubject(set->query)) {
                matched = true;
                newly = newly || set->owed();
                failHistory(set);
            }
        }
    }
    if (matched && !newly) return;  // told already: the set's other subject, refused too
    tellHost(text, text);
}

}  // namespace natsfeed

// The history service: requests admitted by the quotas, identical requests in
// flight at once sharing one feed record set, and answers in chunks
// (gateway.h).
#include <algorithm>

#include "gateway/feed_sets.h"
#include "gateway/gateway.h"
#include "wire/inbox.h"

namespace gateway {

// A NATS handler thread.
void Gateway::requestHistory(const wire::HistoryRequest& request, const char* reply) {
    MutexLock lock(mu_);
    if (stopping_) return;
    ++counters_.historyRequests;
    const std::string inbox = wire::inboxOf(reply);
    if (const auto refusal = quotas_.admitHistory(inbox, request.query)) {
        ++counters_.historyRefused;
        if (refusal->first) say("refusing history requests of " + refusal->who + ": too many");
        publish(reply, wire::Refusal{request.query, refusal->text});
        return;
    }
    // The requester's lease covers its wait: a client gone for the lease no
    // longer keeps a load the feed has not finished.
    const std::uint64_t client = wire::clientOf(reply);
    if (client != 0) touch(client, inbox);
    const std::string key = request.query + '\n' + std::to_string(request.records);
    if (auto found = loads_.find(key); found != loads_.end()) {
        ++counters_.historyCoalesced;
        quotas_.countHistory(inbox, 1);
        found->second->waiters.push_back({reply, request.id, client, inbox});
        publish(reply, wire::HistoryDone{request.id, 1, 0});
        return;
    }
    auto load = std::make_unique<HistoryLoad>(this, key);
    load->waiters.push_back({reply, request.id, client, inbox});
    load->set = feed_->CreateTRecordSet(request.query.c_str());
    ++counters_.historyFeedRequests;
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
    quotas_.countHistory(inbox, 1);
    loads_.emplace(key, std::move(load));
}

// The feed thread.
void Gateway::onHistoryEvent(HistoryLoad* load, int event, std::uint64_t began) {
    MutexLock lock(mu_);
    const CallbackEnd end(retired_, feedWatch_, began);
    if (load->deleted || stopping_ || event != kEventLoaded) return;
    sendHistory(*load, 2);
    for (const auto& waiter : load->waiters) quotas_.countHistory(waiter.inbox, -1);
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
// The load is retired: it outlives the callback that is running.
void Gateway::finishHistory(HistoryLoad* load) {
    load->deleted = true;
    feed_->DeleteTRecordSet(load->set);
    auto found = loads_.find(load->key);
    if (found == loads_.end()) return;
    retired_.retire(std::shared_ptr<HistoryLoad>(found->second.release()));
    loads_.erase(found);
}

// mu_ held (the housekeeping thread, or a client's leave).
void Gateway::dropHistoryWaiters(const std::vector<std::uint64_t>& gone) {
    for (auto it = loads_.begin(); it != loads_.end();) {
        auto& waiters = it->second->waiters;
        const auto lapsed = std::stable_partition(waiters.begin(), waiters.end(), [&gone](const auto& waiter) {
            return std::find(gone.begin(), gone.end(), waiter.client) == gone.end();
        });
        // Their requests no longer count against their clients' allowance.
        for (auto waiter = lapsed; waiter != waiters.end(); ++waiter) quotas_.countHistory(waiter->inbox, -1);
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

}  // namespace gateway

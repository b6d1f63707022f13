#include "gateway/counters.h"

#include <cinttypes>
#include <cstdio>

namespace gateway {

void Counters::sampleRates(std::chrono::steady_clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - since_).count();
    if (seconds > 0) {
        updatesRate_ = static_cast<double>(updatesIn - updatesMark_) / seconds;
        messagesRate_ = static_cast<double>(messagesOut - messagesMark_) / seconds;
    }
    updatesMark_ = updatesIn;
    messagesMark_ = messagesOut;
    since_ = now;
}

void Counters::fill(Stats& s) const {
    s.updatesIn = updatesIn;
    s.messagesOut = messagesOut;
    s.updatesInPerSecond = updatesRate_;
    s.messagesOutPerSecond = messagesRate_;
    s.historyRequests = historyRequests;
    s.historyCoalesced = historyCoalesced;
    s.historyFeedRequests = historyFeedRequests;
    s.historyRefused = historyRefused;
    s.subscriptionsRefused = subscriptionsRefused;
    s.bytesOut = bytesOut;
    s.publishErrors = publishErrors;
    s.leaseExpiries = leaseExpiries;
}

std::string Stats::json() const {
    char text[2048];
    std::snprintf(text, sizeof text,
                  "{\"clients\":%zu,\"symbols\":%zu,\"streams\":%zu,\"sets\":%zu,\"updatesIn\":%" PRIu64
                  ",\"messagesOut\":%" PRIu64
                  ",\"updatesInPerSecond\":%.1f,\"messagesOutPerSecond\":%.1f,\"historyRequests\":%" PRIu64
                  ",\"historyCoalesced\":%" PRIu64 ",\"historyFeedRequests\":%" PRIu64
                  ",\"historyRefused\":%" PRIu64 ",\"subscriptionsRefused\":%" PRIu64
                  ",\"feedUp\":%s,\"lingeringSinks\":%zu,\"historyLoads\":%zu,\"bytesOut\":%" PRIu64
                  ",\"publishErrors\":%" PRIu64 ",\"leaseExpiries\":%" PRIu64 ",\"slowConsumerDrops\":%" PRIu64
                  ",\"recordedMessages\":%" PRIu64 ",\"recordedBytes\":%" PRIu64 ",\"recordErrors\":%" PRIu64
                  ",\"recordDropped\":%" PRIu64 ",\"keyframesWritten\":%" PRIu64 "}",
                  clients, symbols, streams, sets, updatesIn, messagesOut, updatesInPerSecond, messagesOutPerSecond,
                  historyRequests, historyCoalesced, historyFeedRequests, historyRefused, subscriptionsRefused,
                  feedUp ? "true" : "false", lingeringSinks, historyLoads, bytesOut, publishErrors,
                  leaseExpiries, slowConsumerDrops, recordedMessages, recordedBytes, recordErrors, recordDropped,
                  keyframesWritten);
    return text;
}

}  // namespace gateway

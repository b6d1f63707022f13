// The bare bus of tellivar-fanout-latency and the measured hosts' recorder. See bus_baseline.h.
#include "bus_baseline.h"

#include <nats/nats.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "wire/inbox.h"
#include "wire/wire.h"


namespace latency {

void RemoteRecorder::record(std::size_t symbol, double stamp, double count, double others) {
    const Nanos now = nowNanos();
    double& last = last_[symbol];
    if (last < 0) {
        last = count;
        seen.fetch_add(1, std::memory_order_release);
        return;
    }
    if (count > last + 1) lost += static_cast<std::uint64_t>(count - last - 1);
    if (count == last) ++reimaged;  // an image of what it had (after a logon again): the same values
    if (count < last) ++wentBack;   // an older value than one it was already told: wrong
    last = std::max(last, count);
    if (!recording.load(std::memory_order_relaxed)) return;
    ++notified;
    readSum += others;
    if (stamp <= 0 || stamp > static_cast<double>(now)) {
        ++wrongStamps;
        return;
    }
    endToEnd.record(static_cast<std::uint64_t>(static_cast<double>(now) - stamp));
}

void printResult(const RemoteRecorder& recorder, Nanos elapsed) {
    std::printf("RESULT %llu %llu %llu %llu %lld %s\n", static_cast<unsigned long long>(recorder.notified),
                static_cast<unsigned long long>(recorder.lost), static_cast<unsigned long long>(recorder.reimaged),
                static_cast<unsigned long long>(recorder.wrongStamps + recorder.wentBack), static_cast<long long>(elapsed),
                recorder.endToEnd.encode().c_str());
    std::fflush(stdout);
}

// ---- The publisher --------------------------------------------------------------------

namespace {

std::atomic<bool> publisherStop{false};  // SIGTERM

natsConnection* connectFromEnvironment(natsOptions* options) {
    const char* url = std::getenv("TELLIVAR_NATS_URL");
    natsConnection* nats = nullptr;
    if (url == nullptr || natsOptions_SetURL(options, url) != NATS_OK || natsConnection_Connect(&nats, options) != NATS_OK) {
        std::printf("FAILED cannot connect to %s\n", url != nullptr ? url : "(TELLIVAR_NATS_URL unset)");
        std::fflush(stdout);
        return nullptr;
    }
    return nats;
}

}  // namespace

int runBusPublisher(Kind kind, std::size_t symbols, double rate) {
    signal(SIGTERM, [](int) { publisherStop = true; });
    prctl(PR_SET_TIMERSLACK, 1UL);  // as the stamping feed: woken when asked
    natsOptions* options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK || natsOptions_SetSendAsap(options, true) != NATS_OK) return 1;
    natsConnection* nats = connectFromEnvironment(options);
    natsOptions_Destroy(options);
    if (nats == nullptr) return 1;
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::string> subjects;
    std::vector<std::uint64_t> counts(symbols, 0);
    for (std::size_t s = 0; s < symbols; ++s) {
        messages.push_back(busMessage(kind, s));
        subjects.push_back(busSubject(kind, s));
    }
    const double period = 1e9 / rate;
    const Nanos origin = nowNanos();
    for (std::uint64_t i = 0; !publisherStop.load(std::memory_order_relaxed); ++i) {
        const Nanos due = origin + static_cast<Nanos>(static_cast<double>(i) * period);
        Nanos now = nowNanos();
        if (now < due) {
            const timespec at{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR && !publisherStop) {
            }
            now = nowNanos();
        }
        const std::size_t s = i % symbols;
        writeStamp(messages[s], std::max(due, now), ++counts[s]);
        if (natsConnection_Publish(nats, subjects[s].c_str(), messages[s].data(), static_cast<int>(messages[s].size())) !=
            NATS_OK)
            break;
    }
    natsConnection_Destroy(nats);
    return 0;
}

// ---- The bare host --------------------------------------------------------------------

namespace {

struct BusSymbol {
    RemoteRecorder* recorder;
    std::size_t symbol;
    bool gatewayMessages;
};

// libnats's delivery thread (one for all subscriptions): the recorder's one thread.
void onBusMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    const auto* target = static_cast<const BusSymbol*>(closure);
    Nanos stamp = 0;
    std::uint64_t count = 0;
    const void* data = natsMsg_GetData(msg);
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    if (target->gatewayMessages ? readGatewayStamp(data, size, &stamp, &count) : readStamp(data, size, &stamp, &count))
        target->recorder->record(target->symbol, static_cast<double>(stamp), static_cast<double>(count), 0);
    natsMsg_Destroy(msg);
}

}  // namespace

int runBusHost(Kind kind, std::size_t symbols, double window, double patience, bool gatewayMessages) {
    auto recorder = std::make_unique<RemoteRecorder>(symbols);
    std::vector<BusSymbol> targets;
    for (std::size_t s = 0; s < symbols; ++s) targets.push_back({recorder.get(), s, gatewayMessages});
    natsOptions* options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK || natsOptions_UseGlobalMessageDelivery(options, true) != NATS_OK) return 1;
    natsConnection* nats = connectFromEnvironment(options);
    natsOptions_Destroy(options);
    if (nats == nullptr) return 1;
    std::vector<natsSubscription*> subscriptions(symbols, nullptr);
    for (std::size_t s = 0; s < symbols; ++s) {
        if (natsConnection_Subscribe(&subscriptions[s], nats, busSubject(kind, s).c_str(), onBusMessage, &targets[s]) !=
            NATS_OK) {
            std::printf("FAILED cannot subscribe to %s\n", busSubject(kind, s).c_str());
            return 1;
        }
    }
    // Reading the gateway's messages, it asks for them as a NATS feed client
    // does: a subscription per symbol (the image answered is not read) and a
    // lease renewed well within the gateway's ten seconds.
    // Its requests carry its inbox as their reply subject: the gateway acts
    // only on those whose inbox names the client id in their body.
    const std::uint64_t client = static_cast<std::uint64_t>(nowNanos()) ^ static_cast<std::uint64_t>(getpid());
    const std::string inbox = wire::inboxFor("", client);
    Nanos nextLease = 0;
    const auto renew = [&] {
        if (!gatewayMessages || nowNanos() < nextLease) return;
        nextLease = nowNanos() + 2'000'000'000;
        const std::vector<std::uint8_t> lease = wire::encode(wire::Lease{client});
        natsConnection_PublishRequest(nats, wire::kLeaseSubject, inbox.c_str(), lease.data(),
                                      static_cast<int>(lease.size()));
    };
    const auto askForAll = [&] {
        if (!gatewayMessages) return;
        for (std::size_t s = 0; s < symbols; ++s) {
            const bool stream = kind == Kind::Bars;
            const std::string key = stream ? DriverFeed::symbolName(s) + ",1" : DriverFeed::symbolName(s);
            const std::vector<std::uint8_t> request = wire::encode(wire::Subscribe{client, stream, key});
            natsConnection_PublishRequest(nats, wire::subscribeSubject(stream, key).c_str(), inbox.c_str(), request.data(),
                                          static_cast<int>(request.size()));
        }
    };
    const auto sleepRenewing = [&](Nanos until) {
        for (Nanos now = nowNanos(); now < until; now = nowNanos()) {
            renew();
            std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<Nanos>(until - now, 500'000'000)));
        }
    };
    // Asked again every second until every symbol was heard from: the gateway,
    // started with this process, may not have been listening yet.
    const Nanos deadline = nowNanos() + static_cast<Nanos>(patience * 1e9);
    for (Nanos nextAsk = 0; recorder->seen.load(std::memory_order_acquire) < symbols && nowNanos() < deadline;) {
        if (nowNanos() >= nextAsk) {
            askForAll();
            nextAsk = nowNanos() + 1'000'000'000;
        }
        sleepRenewing(nowNanos() + 10'000'000);
    }
    if (recorder->seen.load(std::memory_order_acquire) < symbols) {
        std::printf("FAILED only %zu of %zu symbols were heard from\n", recorder->seen.load(), symbols);
        return 1;
    }
    recorder->recording = true;
    const Nanos start = nowNanos();
    std::printf("recording\n");
    std::fflush(stdout);
    sleepRenewing(start + static_cast<Nanos>(window * 1e9));
    recorder->recording = false;
    const Nanos elapsed = nowNanos() - start;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // what was in flight still counts for loss
    // Drained: once each drain is complete the delivery thread calls the recorder no more.
    for (natsSubscription* sub : subscriptions) natsSubscription_Drain(sub);
    for (natsSubscription* sub : subscriptions) natsSubscription_WaitForDrainCompletion(sub, 5000);
    natsConnection_Close(nats);
    for (natsSubscription* sub : subscriptions) natsSubscription_Destroy(sub);
    natsConnection_Destroy(nats);
    printResult(*recorder, elapsed);
    return 0;
}

}  // namespace latency

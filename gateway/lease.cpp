#include "gateway/lease.h"

#include "gateway/jetstream.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace gateway {
namespace {
constexpr const char kKey[] = "active";
// The bucket keeps kClusterCopies on a cluster, so that the loss of one server
// does not stop the lease; a single server (or a cluster too small) keeps
// one, and a bucket created with one while a node was down is raised later.
constexpr int kReplicas[] = {kClusterCopies, 1};

// Requests that take longer than a quarter of the ttl cannot keep the lease anyway.
std::chrono::milliseconds jetStreamWait(std::chrono::milliseconds ttl) { return ttl / 4; }
}  // namespace

ActiveLease::ActiveLease(natsConnection* nats, std::string bucket, std::chrono::milliseconds ttl, std::string holder,
                         Log log, std::chrono::milliseconds copiesRetry)
    : nats_(nats),
      bucket_(std::move(bucket)),
      ttl_(ttl),
      holder_(std::move(holder)),
      log_(std::move(log)),
      copiesRetry_(copiesRetry) {}

ActiveLease::~ActiveLease() {
    if (raiser_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        wake_.notify_all();
        raiser_.join();
    }
    kvStore_Destroy(kv_);
    jsCtx_Destroy(js_);
}

bool ActiveLease::open(std::string* error, bool* timedOut) {
    natsStatus s = NATS_OK;
    if (js_ == nullptr) s = openJetStream(&js_, nats_, jetStreamWait(ttl_));
    if (s == NATS_OK) s = js_KeyValue(&kv_, js_, bucket_.c_str());
    for (const int replicas : kReplicas) {
        if (s != NATS_NOT_FOUND) break;
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = bucket_.c_str();
        config.History = 1;
        config.TTL = std::chrono::nanoseconds(ttl_).count();  // libnats 3.4 takes nanoseconds here
        config.Replicas = replicas;
        s = js_CreateKeyValue(&kv_, js_, &config);
        // Another gateway created it meanwhile; else, with fewer replicas.
        if (s != NATS_OK) s = js_KeyValue(&kv_, js_, bucket_.c_str());
    }
    if (timedOut != nullptr) *timedOut = s == NATS_TIMEOUT;
    if (s != NATS_OK && error != nullptr) {
        *error = "cannot open the key-value bucket " + bucket_ + " (is JetStream on?): " + natsStatus_GetText(s) +
                 lastErrorDetail();
    }
    if (s == NATS_OK && !raiser_.joinable()) raiser_ = std::thread([this] { keepRaisingCopies(); });
    return s == NATS_OK;
}

void ActiveLease::keepRaisingCopies() {
    jsCtx* js = nullptr;
    bool toldLater = false;
    for (;;) {
        if (js != nullptr || openJetStream(&js, nats_, jetStreamWait(ttl_)) == NATS_OK) {
            if (raiseCopies(js, &toldLater) == Raise::kDone) break;
        }
        std::unique_lock<std::mutex> lock(mu_);
        if (wake_.wait_for(lock, copiesRetry_, [this] { return stopping_; })) break;
    }
    jsCtx_Destroy(js);
}

ActiveLease::Raise ActiveLease::raiseCopies(jsCtx* js, bool* toldLater) {
    int copies = 0;
    std::string why;
    switch (gateway::raiseCopies(js, "KV_" + bucket_, &copies, &why)) {
        case gateway::Raise::NotNeeded:
            return Raise::kDone;
        case gateway::Raise::Raised:
            if (log_) log_("the bucket " + bucket_ + " now keeps " + std::to_string(kClusterCopies) +
                           " copies (it kept " + std::to_string(copies) + ")");
            return Raise::kDone;
        case gateway::Raise::Later:
            break;
    }
    // copies is 0 when JetStream did not answer at all: nothing to tell yet.
    if (log_ && copies > 0 && !*toldLater) {
        std::ostringstream line;
        line << "the bucket " << bucket_ << " keeps " << copies << (copies == 1 ? " copy" : " copies") << "; " << why
             << "; trying again every " << copiesRetry_.count() / 1000.0 << " s";
        log_(line.str());
        *toldLater = true;
    }
    return Raise::kLater;
}

bool ActiveLease::tryAcquire() {
    const Clock::time_point asked = Clock::now();
    std::uint64_t revision = 0;
    if (kvStore_CreateString(&revision, kv_, kKey, holder_.c_str()) != NATS_OK) return false;
    revision_ = revision;
    validUntil_ = asked + ttl_ - ttl_ / 4;
    return true;
}

bool ActiveLease::renew() {
    if (revision_ == 0) return false;
    const Clock::time_point asked = Clock::now();
    std::uint64_t revision = 0;
    if (kvStore_UpdateString(&revision, kv_, kKey, holder_.c_str(), revision_) != NATS_OK) return false;
    revision_ = revision;
    validUntil_ = asked + ttl_ - ttl_ / 4;
    return true;
}

void ActiveLease::release() {
    // Before validUntil the key cannot have expired, so it is still ours: a
    // key another gateway has taken is left alone.
    if (revision_ != 0 && Clock::now() < validUntil_) kvStore_Delete(kv_, kKey);
    revision_ = 0;
    validUntil_ = {};
}

}  // namespace gateway

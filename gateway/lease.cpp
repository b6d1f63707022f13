#include "gateway/lease.h"

#include <algorithm>
#include <utility>

namespace gateway {
namespace {
constexpr const char kKey[] = "active";
// Copies of the bucket a cluster keeps, so that the loss of one server does
// not stop the lease; a single server (or a cluster too small) keeps one.
constexpr int kReplicas[] = {3, 1};
}  // namespace

ActiveLease::ActiveLease(natsConnection* nats, std::string bucket, std::chrono::milliseconds ttl, std::string holder)
    : nats_(nats), bucket_(std::move(bucket)), ttl_(ttl), holder_(std::move(holder)) {}

ActiveLease::~ActiveLease() {
    kvStore_Destroy(kv_);
    jsCtx_Destroy(js_);
}

bool ActiveLease::open(std::string* error, bool* timedOut) {
    natsStatus s = NATS_OK;
    if (js_ == nullptr) {
        jsOptions options;
        jsOptions_Init(&options);
        // A request that takes longer than this cannot keep the lease anyway.
        options.Wait = std::max<std::int64_t>(100, ttl_.count() / 4);
        s = natsConnection_JetStream(&js_, nats_, &options);
    }
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
        natsStatus last = NATS_OK;
        const char* detail = nats_GetLastError(&last);
        *error = "cannot open the key-value bucket " + bucket_ + " (is JetStream on?): " + natsStatus_GetText(s) +
                 (detail != nullptr && *detail != '\0' ? std::string(" (") + detail + ")" : std::string());
    }
    return s == NATS_OK;
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

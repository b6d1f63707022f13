#include "gateway/lease.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace gateway {
namespace {
constexpr const char kKey[] = "active";
// Copies of the bucket a cluster keeps, so that the loss of one server does
// not stop the lease; a single server (or a cluster too small) keeps one, and
// a bucket created with one while a node was down is raised to three later.
constexpr int kReplicas[] = {3, 1};

std::string lastErrorDetail() {
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    return detail != nullptr && *detail != '\0' ? std::string(" (") + detail + ")" : std::string();
}

// A JetStream context whose requests wait at most a quarter of the ttl: a
// request that takes longer cannot keep the lease anyway.
natsStatus openJetStream(jsCtx** js, natsConnection* nats, std::chrono::milliseconds ttl) {
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = std::max<std::int64_t>(100, ttl.count() / 4);
    return natsConnection_JetStream(js, nats, &options);
}
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
    if (js_ == nullptr) s = openJetStream(&js_, nats_, ttl_);
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
        if (js != nullptr || openJetStream(&js, nats_, ttl_) == NATS_OK) {
            if (raiseCopies(js, &toldLater) == Raise::kDone) break;
        }
        std::unique_lock<std::mutex> lock(mu_);
        if (wake_.wait_for(lock, copiesRetry_, [this] { return stopping_; })) break;
    }
    jsCtx_Destroy(js);
}

ActiveLease::Raise ActiveLease::raiseCopies(jsCtx* js, bool* toldLater) {
    const std::string stream = "KV_" + bucket_;
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    // Not answered (a cluster electing the bucket's leader): next time.
    if (js_GetStreamInfo(&info, js, stream.c_str(), nullptr, &code) != NATS_OK) return Raise::kLater;
    const int copies = info->Config->Replicas;
    // A server outside a cluster names none: it keeps one copy whatever the
    // configuration says, and would take (and show) three without a word.
    const bool clustered = info->Cluster != nullptr && info->Cluster->Name != nullptr && *info->Cluster->Name != '\0';
    Raise outcome = Raise::kDone;
    if (clustered && copies < kReplicas[0]) {
        info->Config->Replicas = kReplicas[0];
        if (js_UpdateStream(nullptr, js, info->Config, nullptr, &code) == NATS_OK) {
            if (log_) log_("the bucket " + bucket_ + " now keeps " + std::to_string(kReplicas[0]) + " copies (it kept " +
                           std::to_string(copies) + ")");
        } else {
            if (log_ && !*toldLater) {
                std::ostringstream line;
                line << "the bucket " << bucket_ << " keeps " << copies << (copies == 1 ? " copy" : " copies")
                     << "; the cluster cannot place " << kReplicas[0] << lastErrorDetail() << "; trying again every "
                     << copiesRetry_.count() / 1000.0 << " s";
                log_(line.str());
            }
            *toldLater = true;
            outcome = Raise::kLater;
        }
    }
    jsStreamInfo_Destroy(info);
    return outcome;
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

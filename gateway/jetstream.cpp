#include "gateway/jetstream.h"

#include <algorithm>
#include <cstdint>

namespace gateway {

natsStatus openJetStream(jsCtx** js, natsConnection* nats, std::chrono::milliseconds wait) {
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = std::max<std::int64_t>(100, wait.count());
    return natsConnection_JetStream(js, nats, &options);
}

std::string lastErrorDetail() {
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    return detail != nullptr && *detail != '\0' ? std::string(" (") + detail + ")" : std::string();
}

bool onCluster(const jsStreamInfo* info) {
    return info != nullptr && info->Cluster != nullptr && info->Cluster->Name != nullptr &&
           *info->Cluster->Name != '\0';
}

Raise raiseCopies(jsCtx* js, const std::string& stream, int* before, std::string* why) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    // Not answered (a cluster electing the stream's leader): next time.
    if (js_GetStreamInfo(&info, js, stream.c_str(), nullptr, &code) != NATS_OK) {
        if (why != nullptr) *why = "no answer about the stream" + lastErrorDetail();
        return Raise::Later;
    }
    const int copies = static_cast<int>(info->Config->Replicas);
    if (before != nullptr) *before = copies;
    Raise outcome = Raise::NotNeeded;
    if (onCluster(info) && copies < kClusterCopies) {
        info->Config->Replicas = kClusterCopies;
        if (js_UpdateStream(nullptr, js, info->Config, nullptr, &code) == NATS_OK) {
            outcome = Raise::Raised;
        } else {
            if (why != nullptr) *why = "the cluster cannot place " + std::to_string(kClusterCopies) + lastErrorDetail();
            outcome = Raise::Later;
        }
    }
    jsStreamInfo_Destroy(info);
    return outcome;
}

}  // namespace gateway

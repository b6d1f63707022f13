// JetStream helpers the gateway's lease bucket (lease.h) and its recording
// (recorder.h) share: a context with a bounded wait, the server's own words on
// a failure, and the copies a stream keeps on a cluster.
//
// Threads: any; each call uses only its arguments and libnats (whose
// connections are thread-safe; a jsCtx is used by one thread at a time here).
#pragma once

#include <nats/nats.h>

#include <chrono>
#include <string>

namespace gateway {

// Copies a stream keeps on a cluster, so that the loss of one server loses
// nothing; a single server keeps one.
constexpr int kClusterCopies = 3;

// A JetStream context whose requests wait at most `wait` (at least 100 ms).
natsStatus openJetStream(jsCtx** js, natsConnection* nats, std::chrono::milliseconds wait);

// " (what the server said)" after the last libnats error on this thread; "" when none.
std::string lastErrorDetail();

// True when the stream lives on a cluster. A server outside a cluster names
// none: it keeps one copy whatever the configuration says, and would take
// (and show) three without a word.
bool onCluster(const jsStreamInfo* info);

// One try to raise `stream` to kClusterCopies when it is on a cluster and
// keeps fewer. `before` receives the copies it kept. Raised: done; NotNeeded:
// alone or has them; Later: JetStream did not answer or the cluster cannot
// place them yet (`why` says which).
enum class Raise { Raised, NotNeeded, Later };
Raise raiseCopies(jsCtx* js, const std::string& stream, int* before, std::string* why);

}  // namespace gateway

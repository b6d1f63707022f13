// What the NATS feed client's source files share: its timings and limits,
// and small pure helpers. Internal to natsfeed/.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "feedcommon/records.h"
#include "wire/wire.h"

namespace natsfeed {

using Clock = std::chrono::steady_clock;

using feedcommon::kEventLoaded;
using feedcommon::kEventProgress;
using feedcommon::kEventUpdate;
constexpr int kFieldIds = wire::kMaxFieldId + 1;
// How often the feed thread runs its timers (the link's tick, lost answers).
constexpr auto kTick = std::chrono::milliseconds(100);
// An image, stream window or first history answer not come this long after
// its request is asked for again: the request or its answer may have been
// lost while a cluster's routes learned of a reconnected client's
// subscriptions.
constexpr auto kImageRetry = std::chrono::seconds(2);
// Times a history whose chunks came with a gap is asked for again before it fails.
constexpr int kMaxHistoryRepeats = 3;
// How long a history Init waits for the gateway's first answer.
constexpr auto kHistoryAnswerWait = std::chrono::seconds(10);
// Updates kept while a set waits for its image.
constexpr std::size_t kMaxEarly = 4096;
constexpr const char kMissedUpdatesText[] = "Missed %llu updates while busy; asking for fresh images";

inline std::uint64_t randomId() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

// The subjects of quote and stream updates, which the backlog bound applies to.
inline bool isUpdateSubject(const std::string& subject) {
    return subject.rfind("tellivar.quote.", 0) == 0 || subject.rfind("tellivar.stream.", 0) == 0;
}

inline bool isSymbol(const char* text) {
    return text != nullptr && wire::isValidKey(text) && std::strchr(text, ',') == nullptr;
}

}  // namespace natsfeed

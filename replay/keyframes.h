// The recording's keyframes, from the begin and end markers of its `.k`
// subject in stream order: where each complete one starts (its begin's
// stream sequence) and when. A begin without its end (a gateway killed
// while writing it) is not used. Not thread-safe; the feed thread's.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "wire/record.h"

namespace replay {

struct Keyframe {
    std::uint64_t beginSeq = 0, endSeq = 0;
    std::int64_t timeNs = 0;
    std::uint64_t session = 0;
    std::uint32_t count = 0;
    bool sessionStart = false;
};

class KeyframeIndex {
public:
    // A marker read at stream sequence `seq` (other record types are ignored).
    void add(std::uint64_t seq, const wire::Record& record);
    // The last complete keyframe whose time is at or before `timeNs`.
    std::optional<Keyframe> atOrBefore(std::int64_t timeNs) const;
    const std::vector<Keyframe>& complete() const { return complete_; }
    // The highest stream sequence added (0: none).
    std::uint64_t lastSeq() const { return lastSeq_; }

private:
    std::vector<Keyframe> complete_;  // by time (as written)
    std::optional<Keyframe> open_;
    std::uint64_t lastSeq_ = 0;
};

}  // namespace replay

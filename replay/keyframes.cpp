#include "replay/keyframes.h"

#include <algorithm>

namespace replay {

void KeyframeIndex::add(std::uint64_t seq, const wire::Record& record) {
    lastSeq_ = std::max(lastSeq_, seq);
    if (record.type == wire::RecordType::KeyframeBegin) {
        Keyframe k;
        k.beginSeq = seq;
        k.timeNs = record.timeNs;
        k.session = record.session;
        k.count = record.count;
        k.sessionStart = (record.flags & wire::kSessionStart) != 0;
        open_ = k;  // an open one before it never ended: dropped
        return;
    }
    if (record.type != wire::RecordType::KeyframeEnd || !open_) return;
    if (record.session == open_->session && record.count == open_->count && seq > open_->beginSeq) {
        open_->endSeq = seq;
        // Kept in time order even if a clock stepped back between two gateways.
        const auto at = std::upper_bound(complete_.begin(), complete_.end(), open_->timeNs,
                                         [](std::int64_t t, const Keyframe& k) { return t < k.timeNs; });
        complete_.insert(at, *open_);
    }
    open_.reset();
}

std::optional<Keyframe> KeyframeIndex::atOrBefore(std::int64_t timeNs) const {
    const auto after = std::upper_bound(complete_.begin(), complete_.end(), timeNs,
                                        [](std::int64_t t, const Keyframe& k) { return t < k.timeNs; });
    if (after == complete_.begin()) return std::nullopt;
    return *std::prev(after);
}

}  // namespace replay

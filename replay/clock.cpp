#include "replay/clock.h"

#include <algorithm>
#include <cmath>

namespace replay {

bool isValidSpeed(double speed) {
    return speed == kAsFastAsPossible || (std::isfinite(speed) && speed >= kMinSpeed && speed <= kMaxSpeed);
}

std::int64_t ReplayClock::now(std::int64_t steadyNs) const {
    std::int64_t t = anchorRec_;
    if (playing_ && !fast() && steadyNs > anchorSteady_)
        t += static_cast<std::int64_t>(static_cast<double>(steadyNs - anchorSteady_) * speed_);
    if (limit_ > 0 && t > limit_ && anchorRec_ <= limit_) t = limit_;
    return t;
}

void ReplayClock::reanchor(std::int64_t steadyNs) {
    anchorRec_ = now(steadyNs);
    anchorSteady_ = steadyNs;
}

void ReplayClock::play(std::int64_t steadyNs) {
    reanchor(steadyNs);
    playing_ = true;
}

void ReplayClock::pause(std::int64_t steadyNs) {
    reanchor(steadyNs);
    playing_ = false;
    stepTarget_.reset();
}

bool ReplayClock::setSpeed(double speed, std::int64_t steadyNs) {
    if (!isValidSpeed(speed)) return false;
    reanchor(steadyNs);
    speed_ = speed;
    return true;
}

void ReplayClock::seek(std::int64_t recordingNs, std::int64_t steadyNs) {
    anchorRec_ = recordingNs;
    anchorSteady_ = steadyNs;
    stepTarget_.reset();
}

void ReplayClock::step(std::int64_t seconds, std::int64_t steadyNs) {
    reanchor(steadyNs);
    stepTarget_ = anchorRec_ + seconds * 1000000000LL;
    if (limit_ > 0) stepTarget_ = std::min(*stepTarget_, std::max(limit_, anchorRec_));
    playing_ = true;
}

bool ReplayClock::due(std::int64_t recordNs, std::int64_t steadyNs) const { return waitFor(recordNs, steadyNs) == 0; }

std::int64_t ReplayClock::waitFor(std::int64_t recordNs, std::int64_t steadyNs) const {
    // Paused, what the clock has reached is still due: the state catches up
    // with the clock, never passes it.
    if (!playing_) return recordNs <= anchorRec_ ? 0 : -1;
    if (stepTarget_) return recordNs <= *stepTarget_ ? 0 : -1;
    if (speed_ == kAsFastAsPossible) return 0;
    const std::int64_t ahead = recordNs - now(steadyNs);
    if (ahead <= 0) return 0;
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(static_cast<double>(ahead) / speed_)));
}

void ReplayClock::advanceTo(std::int64_t recordNs, std::int64_t steadyNs) {
    if (!fast()) return;
    if (stepTarget_) recordNs = std::min(recordNs, *stepTarget_);
    anchorRec_ = std::max(anchorRec_, recordNs);
    anchorSteady_ = steadyNs;
}

void ReplayClock::finishStep(std::int64_t steadyNs) {
    if (!stepTarget_) return;
    anchorRec_ = std::max(anchorRec_, *stepTarget_);
    anchorSteady_ = steadyNs;
    stepTarget_.reset();
    playing_ = false;
}

}  // namespace replay

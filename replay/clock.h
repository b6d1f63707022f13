// The replay clock: the recording's time the replay stands at, driven by a
// monotonic time the caller passes in (nanoseconds of any steady clock), so
// that it holds no thread and reads no clock of its own.
//
// Playing at a speed s, the clock runs s recorded seconds per second from
// its anchor (the recording time and the steady time when it was last set).
// As fast as possible (speed 0) it does not run by itself: it stands at the
// last record delivered (advanceTo) and every record is due at once. A step
// plays a span as fast as possible and then pauses at its end. The clock
// never runs past `limit` (the recording's last time) while it knows one.
//
// Not thread-safe: the replay client keeps it under its lock.
#pragma once

#include <cstdint>
#include <optional>

namespace replay {

constexpr double kMinSpeed = 0.25;
constexpr double kMaxSpeed = 64.0;
constexpr double kAsFastAsPossible = 0.0;

// A speed the controls accept: 0 (as fast as possible) or 0.25 to 64.
bool isValidSpeed(double speed);

class ReplayClock {
public:
    // Stands paused at `recordingNs`, at speed 1.
    explicit ReplayClock(std::int64_t recordingNs = 0) : anchorRec_(recordingNs) {}

    // The recording time at steady time `steadyNs`.
    std::int64_t now(std::int64_t steadyNs) const;
    bool playing() const { return playing_; }
    double speed() const { return speed_; }
    // A step under way: where it pauses.
    std::optional<std::int64_t> stepTarget() const { return stepTarget_; }

    void play(std::int64_t steadyNs);
    void pause(std::int64_t steadyNs);
    // Keeps the clock's reading; false (nothing changed) when the speed is not valid.
    bool setSpeed(double speed, std::int64_t steadyNs);
    // Stands at `recordingNs`, playing or paused as before; ends a step.
    void seek(std::int64_t recordingNs, std::int64_t steadyNs);
    // Plays `seconds` of the recording as fast as possible, then pauses.
    void step(std::int64_t seconds, std::int64_t steadyNs);
    // The recording's last time: the clock stops there (0: none known).
    void setLimit(std::int64_t recordingNs) { limit_ = recordingNs; }

    // Whether a record of recording time `recordNs` is due at `steadyNs`.
    bool due(std::int64_t recordNs, std::int64_t steadyNs) const;
    // Steady nanoseconds until a record of time `recordNs` is due; 0 when
    // due now, -1 when it never is while nothing changes (paused: a record
    // at or before the clock is due, a later one never).
    std::int64_t waitFor(std::int64_t recordNs, std::int64_t steadyNs) const;
    // A record of time `recordNs` was delivered: as fast as possible (or in
    // a step) the clock moves to it (a step's never past its target).
    void advanceTo(std::int64_t recordNs, std::int64_t steadyNs);
    // Nothing more to deliver up to the step's target (the next record is
    // later, or the recording ended): the step ends, paused at its target.
    void finishStep(std::int64_t steadyNs);

private:
    bool fast() const { return speed_ == kAsFastAsPossible || stepTarget_.has_value(); }
    void reanchor(std::int64_t steadyNs);

    std::int64_t anchorRec_ = 0;
    std::int64_t anchorSteady_ = 0;
    double speed_ = 1.0;
    bool playing_ = false;
    std::optional<std::int64_t> stepTarget_;
    std::int64_t limit_ = 0;
};

}  // namespace replay

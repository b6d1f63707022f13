// The replay feed client's controls as the host reaches them: the
// tellivar_replay_* functions of replay/control.h. The host loads every feed
// library with RTLD_GLOBAL, so it looks them up with dlsym in the process's
// global scope; they are there only when the loaded feed client is the
// replay client, and a host without them shows nothing of a replay.
//
// Threads: the functions may be called from any thread but the feed thread.
// The host calls them from its main thread (the live table's keys) and from
// the web server's polling thread (the page's control bar); ReplayControls
// holds nothing but the function addresses, so it needs no lock.
//
// Also here: the --replay-from and --replay-speed options' checks, the speed
// ladder of the keys and the page, and the REPLAY line of the live views.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interval.h"
#include "replay/control.h"

// The six control functions of a loaded replay client.
struct ReplayFunctions {
    int (*play)();
    int (*pause)();
    int (*setSpeed)(double);
    int (*step)(uint32_t);
    int (*seek)(int64_t);
    int (*getStatus)(tellivar_replay_status*);
};

// All six from the process's global scope, or nullopt when any is missing
// (no replay client loaded).
std::optional<ReplayFunctions> findReplayFunctions();

class ReplayControls {
public:
    explicit ReplayControls(const ReplayFunctions& functions) : functions_(functions) {}

    // The client's status; nullopt when it holds no client (get_status gave -1).
    std::optional<tellivar_replay_status> status() const;

    // Each returns "" when the client took the request, else why it did not
    // (its `error`, or a general reason when it gave none).
    std::string play() const;
    std::string pause() const;
    // Pause when playing, play otherwise (also after the end: the client says why not).
    std::string togglePause() const;
    std::string setSpeed(double speed) const;  // 0: as fast as possible
    // The next speed up (+1) or down (-1) the ladder; at an end, the speed stays
    // and the reason says so.
    std::string changeSpeed(int direction) const;
    std::string step(std::uint32_t seconds) const;
    std::string seek(std::int64_t timeNs) const;

private:
    std::string outcome(int result, const char* what) const;

    ReplayFunctions functions_;
};

// The speeds the keys and the page step through, slowest first: 1/4 to 64,
// then 0, as fast as possible.
const std::vector<double>& replaySpeeds();
// The speed `direction` (+1 faster, -1 slower) steps from `current` on that
// ladder: a speed between two steps goes to the next one that way. Nullopt at
// either end.
std::optional<double> nextReplaySpeed(double current, int direction);
// "0.25x", "2x", "64x"; "max" for 0.
std::string replaySpeedText(double speed);

// ISO 8601 in UTC of nanoseconds since 1970: "2026-12-08T10:31:00Z", with
// ".mmm" only when the time is not a whole second.
std::string formatIsoNanos(std::int64_t ns);

// "REPLAY 2026-12-08T10:31:05Z  8x  playing  (recording DESK1)": the replay
// clock, the speed and playing, paused or ended; "not connected" before the
// logon (the clock alone then) and while the client reconnects (after the state).
std::string replayLine(const tellivar_replay_status& status);

// --replay-from: "2026-12-08T10:31:00Z", optionally with up to nine decimals
// of the second, in UTC (ending in Z). Nanoseconds since 1970, or nullopt with
// the reason in `error`.
std::optional<std::int64_t> parseReplayTime(const std::string& text, std::string& error);
// --replay-speed: a decimal number from 0.25 to 64, or "max". The text the
// replay client reads ("8", "0.25", "max"), or nullopt with the reason.
std::optional<std::string> parseReplaySpeed(const std::string& text, std::string& error);
// The speed a page or a request gives: the same forms, as a number (0: max).
std::optional<double> replaySpeedValue(const std::string& text, std::string& error);

// Seconds of one bar of `interval` for a step from `clockNs`: minutes,
// days and weeks as they are; months as long as the calendar months that
// follow the clock. Nullopt when it exceeds a u32.
std::optional<std::uint32_t> barSeconds(const IntervalSpec& interval, std::int64_t clockNs);

// What a key of the live table does: space pauses or plays, '+' (or '=') and
// '-' (or '_') step the speed up or down the ladder. Nullopt for any other
// key; else "" when the replay took it, or why not.
std::optional<std::string> replayKey(const ReplayControls& controls, char key);

// For the views that print lines rather than redraw a table (quotes into a
// pipe, stream): the REPLAY line on stderr, even when quiet, at the first
// tick and whenever the speed, play or pause, the end or the connection
// changes; the quotes' and bars' own times follow the replay clock. Main thread.
class ReplayAnnouncer {
public:
    void tick(const ReplayControls& controls);

private:
    std::string shown_;  // the state last announced
};

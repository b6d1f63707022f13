// A test-only feed library with the replay client's control functions
// (replay/control.h) over the stand-in feed: the host's tests load it with
// --feed PATH, and the stand-in feed, a dependency of this library, comes
// with it. The "recording" spans half an hour either side of its start; the
// replay clock is the stand-in's simulated clock, so the quotes' times follow
// a play, a pause, a speed and a jump as they would in a replay.
//
// It reads TELLIVAR_REPLAY_FROM and TELLIVAR_REPLAY_SPEED as it is loaded,
// as the host leaves them; every call is appended as a line to the file
// TELLIVAR_FAKE_REPLAY_LOG names ("play", "pause", "speed 16", "step 60",
// "seek <ns>", "status" left out), so the tests see what the host asked.
// Refuses, as the real client does, a speed out of range, a time outside
// the recording and a play after the end.
//
// Any thread but the feed thread; one mutex guards the state.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "replay/control.h"
#include "simfeed/control.h"

namespace {

constexpr std::int64_t kNanos = 1000000000;
constexpr std::int64_t kHalfSpan = 1800;  // seconds either side of the start
constexpr double kAsFastAsPossible = 600;  // the stand-in's clock rate for "max"

struct State {
    bool started = false;
    std::int64_t first = 0, last = 0;  // seconds
    double speed = 1;
    bool playing = true;
    bool ended = false;
    std::string error;
};

std::mutex mutex;
State state;  // guarded by mutex

void logCall(const std::string& line) {
    const char* path = std::getenv("TELLIVAR_FAKE_REPLAY_LOG");
    if (path == nullptr || *path == '\0') return;
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

// The stand-in's clock at `at`, running at the replay's pace while playing.
void setClock(std::int64_t at) {
    const double rate = !state.playing ? 0 : state.speed == 0 ? kAsFastAsPossible : state.speed;
    simfeed_set_clock(static_cast<unsigned>(at), rate);
}

// mutex held.
void start() {
    if (state.started) return;
    state.started = true;
    std::int64_t from = simfeed_now();
    if (const char* text = std::getenv("TELLIVAR_REPLAY_FROM")) {
        std::tm parts{};
        if (std::sscanf(text, "%d-%d-%dT%d:%d:%d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &parts.tm_hour,
                        &parts.tm_min, &parts.tm_sec) == 6) {
            parts.tm_year -= 1900;
            parts.tm_mon -= 1;
            from = timegm(&parts);
        }
    }
    if (const char* text = std::getenv("TELLIVAR_REPLAY_SPEED")) {
        state.speed = std::strcmp(text, "max") == 0 ? 0 : std::strtod(text, nullptr);
    }
    state.first = from - kHalfSpan;
    state.last = from + kHalfSpan;
    setClock(from);
}

// mutex held: the end reached stops the clock there.
std::int64_t clockNow() {
    std::int64_t now = simfeed_now();
    if (now >= state.last && !state.ended) {
        state.ended = true;
        state.playing = false;
        setClock(state.last);
        now = state.last;
    }
    return now;
}

// As the library loads: the replay starts where and how fast the host said,
// before any set is made.
__attribute__((constructor)) void startAtLoad() {
    std::lock_guard<std::mutex> lock(mutex);
    start();
}

int refuse(const char* reason) {
    state.error = reason;
    return -1;
}

}  // namespace

extern "C" {

TELLIVAR_REPLAY_API int tellivar_replay_play(void) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    logCall("play");
    const std::int64_t now = clockNow();
    if (state.ended) return refuse("the recording has ended; go to an earlier time first");
    state.playing = true;
    setClock(now);
    return 0;
}

TELLIVAR_REPLAY_API int tellivar_replay_pause(void) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    logCall("pause");
    const std::int64_t now = clockNow();
    state.playing = false;
    setClock(now);
    return 0;
}

TELLIVAR_REPLAY_API int tellivar_replay_set_speed(double speed) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    char line[64];
    std::snprintf(line, sizeof line, "speed %g", speed);
    logCall(line);
    if (!(speed == 0 || (speed >= 0.25 && speed <= 64))) return refuse("speed out of range: 0.25 to 64, or 0");
    const std::int64_t now = clockNow();
    state.speed = speed;
    setClock(now);
    return 0;
}

TELLIVAR_REPLAY_API int tellivar_replay_step(uint32_t seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    logCall("step " + std::to_string(seconds));
    const std::int64_t now = clockNow();
    if (state.ended) return refuse("the recording has ended; go to an earlier time first");
    state.playing = false;
    setClock(std::min<std::int64_t>(now + seconds, state.last));
    return 0;
}

TELLIVAR_REPLAY_API int tellivar_replay_seek(int64_t time_ns) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    char line[64];
    std::snprintf(line, sizeof line, "seek %" PRId64, time_ns);
    logCall(line);
    const std::int64_t to = time_ns / kNanos;
    if (to < state.first || to > state.last) return refuse("the time lies outside the recording");
    state.ended = false;
    setClock(to);
    return 0;
}

TELLIVAR_REPLAY_API int tellivar_replay_get_status(tellivar_replay_status* status) {
    std::lock_guard<std::mutex> lock(mutex);
    start();
    *status = tellivar_replay_status{};
    status->clock_ns = clockNow() * kNanos;
    status->first_ns = state.first * kNanos;
    status->last_ns = state.last * kNanos;
    status->speed = state.speed;
    status->playing = state.playing ? 1 : 0;
    status->ended = state.ended ? 1 : 0;
    status->connected = simfeed_logged_on() != 0 ? 1 : 0;
    std::snprintf(status->recording, sizeof status->recording, "%s", "FAKEDESK");
    std::snprintf(status->error, sizeof status->error, "%s", state.error.c_str());
    return 0;
}

}  // extern "C"

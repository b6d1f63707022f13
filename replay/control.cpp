// The exported control functions of control.h: each acts on the library's
// instance (replay::controlled) on the calling thread, taking the client's
// lock briefly; the feed thread carries the change out.
#include "replay/control.h"

#include <cstdio>
#include <cstring>

#include "replay/client.h"

namespace {

template <class F>
int withClient(F&& call) {
    replay::ReplayClient* client = replay::controlled.load();
    if (client == nullptr) return -1;
    return call(*client);
}

}  // namespace

extern "C" {

int tellivar_replay_play(void) {
    return withClient([](replay::ReplayClient& c) { return c.play(); });
}
int tellivar_replay_pause(void) {
    return withClient([](replay::ReplayClient& c) { return c.pause(); });
}
int tellivar_replay_set_speed(double speed) {
    return withClient([speed](replay::ReplayClient& c) { return c.setSpeed(speed); });
}
int tellivar_replay_step(uint32_t seconds) {
    return withClient([seconds](replay::ReplayClient& c) { return c.step(seconds); });
}
int tellivar_replay_seek(int64_t time_ns) {
    return withClient([time_ns](replay::ReplayClient& c) { return c.seek(time_ns); });
}
int tellivar_replay_get_status(tellivar_replay_status* status) {
    if (status == nullptr) return -1;
    replay::ReplayClient* client = replay::controlled.load();
    if (client == nullptr) {
        *status = tellivar_replay_status{};
        std::snprintf(status->error, sizeof status->error, "%s", "no replay client in this library");
        return -1;
    }
    *status = client->status();
    return 0;
}

}  // extern "C"

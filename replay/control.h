/* Controls of the replay feed client (lib/tellivar/replay/libTellivarClient.so.1).
 *
 * A host that knows it loaded the replay client finds these with dlsym on
 * the library's handle (or RTLD_DEFAULT); a host that does not know simply
 * never calls them. Every function may be called from any thread except the
 * feed thread (inside a sink callback), returns at once and takes effect on
 * the feed thread: updates already being delivered finish first, and after a
 * seek nothing from the old position reaches a sink.
 *
 * Times are nanoseconds since 1970-01-01 UTC on the recording's clock (the
 * recording gateway's wall clock when it published). Speed is a factor of
 * the recorded pace, 0.25 to 64; 0 means as fast as possible.
 *
 * Return values: 0 done (or queued for the feed thread); -1 refused, with
 * the reason in tellivar_replay_status's `error` (no replay connected, a
 * speed out of range, a time outside the recording).
 */
#ifndef TELLIVAR_REPLAY_CONTROL_H
#define TELLIVAR_REPLAY_CONTROL_H

#include <stdint.h>

#if defined(__GNUC__)
#define TELLIVAR_REPLAY_API __attribute__((visibility("default")))
#else
#define TELLIVAR_REPLAY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tellivar_replay_status {
    int64_t clock_ns;  /* the replay clock */
    int64_t first_ns;  /* the recording's first and last times; 0 before the logon */
    int64_t last_ns;
    double speed;      /* 0: as fast as possible */
    int playing;       /* 1 playing, 0 paused (also after a step, and at the end) */
    int ended;         /* 1 once the clock reached the end of the recording */
    int connected;     /* 1 while logged on to the recording */
    char recording[33];
    char error[160];   /* why the last refused call was refused; "" if none */
} tellivar_replay_status;

TELLIVAR_REPLAY_API int tellivar_replay_play(void);
TELLIVAR_REPLAY_API int tellivar_replay_pause(void);
TELLIVAR_REPLAY_API int tellivar_replay_set_speed(double speed);
/* Plays `seconds` of the recording as fast as possible, then pauses: one bar
 * of the chart's interval when the host passes that interval. */
TELLIVAR_REPLAY_API int tellivar_replay_step(uint32_t seconds);
/* Goes to `time_ns`, forward or back: every live set gets a fresh image as it
 * was then and every update stream its window; play or pause is kept. */
TELLIVAR_REPLAY_API int tellivar_replay_seek(int64_t time_ns);
/* Fills `status` (never null); 0, or -1 when the library holds no client. */
TELLIVAR_REPLAY_API int tellivar_replay_get_status(tellivar_replay_status* status);

#ifdef __cplusplus
}
#endif

#endif

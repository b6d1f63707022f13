// Control surface of the stand-in feed client (libTellivarClient.so), for
// tests, demos and load runs. Every function may be called from any thread
// except the feed thread (inside a sink callback), unless it says otherwise,
// and takes effect at the feed thread's next pass. See docs/simfeed.md.
#pragma once

#if defined(__GNUC__)
#define SIMFEED_API __attribute__((visibility("default")))
#else
#define SIMFEED_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Restores every setting to its default, then applies the SIMFEED_*
// environment variables; clears pending faults. Sets and the connection stay.
SIMFEED_API void simfeed_reset(void);

// Credentials: the demo account (default "demo"/"demo"), or any credentials
// at all when `on` is non-zero.
SIMFEED_API void simfeed_set_demo_account(const char* user, const char* password);
SIMFEED_API void simfeed_set_accept_any(int on);

// Simulated trades per symbol per real second (default 4); 0 stops the
// automatic trades (simfeed_trade_now still trades).
SIMFEED_API void simfeed_set_update_rate(double per_second);
// The simulated clock: from now on it reads `start` (a feed time) and runs
// `speed` times as fast as real time (0 freezes it).
SIMFEED_API void simfeed_set_clock(unsigned int start, double speed);
// Moves the simulated clock forward by `seconds`.
SIMFEED_API void simfeed_advance_clock(double seconds);
// The simulated clock, as a feed time.
SIMFEED_API unsigned int simfeed_now(void);
// Asks for one trade on every subscribed symbol at the next pass.
SIMFEED_API void simfeed_trade_now(void);
// The market's days: by default (0) it trades Monday to Friday and not on
// Saturdays and Sundays; non-zero makes it trade every day (24/7). Bars built
// and trades made afterwards follow it; set it before subscribing, or set the
// clock afterwards to reopen the live quotes.
SIMFEED_API void simfeed_set_market_24x7(int on);

// Faults.
// Drops the connection: onLogOff, then after the reconnect delay a fresh
// logon (onSendCredentials, onLogon, onReady); every live set resumes.
SIMFEED_API void simfeed_drop_connection(void);
SIMFEED_API void simfeed_set_reconnect_delay_ms(int milliseconds);
// Time from Connect to the credentials request (default 30 ms); a Disconnect
// within it cancels the attempt.
SIMFEED_API void simfeed_set_connect_delay_ms(int milliseconds);
// Sends `text` to the connection sink's onMessage.
SIMFEED_API void simfeed_send_message(const char* text);
// The next `count` CreateTRecordSet/CreateSnapshotSet calls return null.
SIMFEED_API void simfeed_reject_next_create(int count);
// The next `count` history Init calls (sets whose sinkMode is 0) return 0.
SIMFEED_API void simfeed_fail_next_history_init(int count);
// While `on`, history loads make no progress and Init never completes at once.
SIMFEED_API void simfeed_stall_history(int on);

// Waits until the feed thread has handled everything asked of it before the
// call, and finished one further pass. Returns at once on the feed thread or
// when the feed thread is not running.
SIMFEED_API void simfeed_flush(void);
// Sets created and not yet deleted (snapshot and record sets together).
SIMFEED_API int simfeed_live_sets(void);
// Non-zero while logged on.
SIMFEED_API int simfeed_logged_on(void);

#ifdef __cplusplus
}
#endif

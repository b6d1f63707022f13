// The gateway's recording (`--record NAME`): a JetStream stream NAME that
// keeps what the gateway publishes, as wire/record.h lays it out. The gateway
// decides what is recorded and when (gateway.h); this sends the records and
// keeps the stream.
//
// Records go out as plain NATS publishes on the stream's subjects, each with
// a reply subject of its own under an inbox of this recorder: JetStream
// captures the message and answers there (stored, or an error; "no
// responders" when no stream takes the subject). Publishing never waits for
// JetStream: at most `maxPending` records await an answer, and a record
// beyond that is dropped and counted; an answer that does not come within
// `answerWait` counts as an error. The records of one publisher leave, and
// are stored, in the order they were sent.
//
// Threads: send and the counts from any thread (the gateway calls send with
// its own lock held, which keeps the records' order; this takes its own `mu_`
// after it, never the other way round); the answers on a libnats thread, which
// takes `mu_` alone; the stream is added or looked up on a thread of this
// recorder (requestOpen), as JetStream's requests wait: the caller's
// threads (the gateway's housekeeping, with its heartbeats) never do.
#pragma once

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/locking.h"

namespace gateway {

struct RecordOptions {
    std::string name;                  // the stream, and the subjects' NAME; empty: no recording
    std::vector<std::string> symbols;  // the recorded universe: each symbol's quotes and its "SYM,1" stream
    std::chrono::seconds maxAge{7 * 24 * 3600};  // the stream's MaxAge
    std::int64_t maxBytes = 0;                   // the stream's MaxBytes; 0: no limit
    std::chrono::milliseconds keyframe{60000};   // between keyframes
    // The first keyframe waits for the universe's first images at most this long.
    std::chrono::milliseconds firstImages{5000};
    // Between tries to add the stream while it cannot be (JetStream off, or the stream gone).
    std::chrono::milliseconds streamRetry{5000};
    std::size_t maxPending = 65536;
    std::chrono::milliseconds answerWait{5000};
};

// A universe file's text: one symbol a line; blank lines and lines starting
// with '#' skipped, spaces around a symbol ignored. nullopt, with `error`
// naming the line, for a line that is not a symbol (wire::isValidKey, no
// ','), a symbol given twice, or a file without any.
std::optional<std::vector<std::string>> parseUniverse(const std::string& text, std::string* error);

struct RecordCounts {
    std::uint64_t messages = 0, bytes = 0;  // records JetStream stored
    std::uint64_t errors = 0;    // records JetStream refused or did not answer; stream setups that failed
    std::uint64_t dropped = 0;   // records never sent: too many awaiting an answer, or no stream
    std::uint64_t keyframes = 0; // keyframes written whole
};

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    // `nats` is not owned and must outlive this.
    Recorder(natsConnection* nats, RecordOptions options);
    // stop(), and the JetStream context freed.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    const RecordOptions& options() const { return options_; }

    // Subscribes to JetStream's answers and starts the thread that opens the
    // stream. False, with `error`, when it cannot.
    bool start(std::string* error) EXCLUDES(mu_);
    // Stops taking answers and waits until their handler has returned; stops
    // the opening thread (waiting for a JetStream request under way).
    void stop() EXCLUDES(mu_);

    // What opening the stream came to.
    struct Opened {
        bool ok = false;
        bool timedOut = false;  // JetStream did not answer in time (a cluster electing a leader)
        std::string error;      // why not, when not ok
        std::string note;       // what an operator should know (the copies kept)
    };
    // Asks the opening thread to add the stream (file storage, the options'
    // age and size, one copy) or take the one there with the options'
    // subjects, age and size, and on a cluster to raise it to three copies.
    // Its outcome comes from takeOpened once.
    void requestOpen() EXCLUDES(mu_);
    std::optional<Opened> takeOpened() EXCLUDES(mu_);

    // Sends `record` on `subject`. False when it was dropped (counted): too
    // many records await an answer, or NATS did not take it (an error).
    bool send(const std::string& subject, const std::vector<std::uint8_t>& record) EXCLUDES(mu_);
    // Records awaiting an answer since `answerWait` before `now`: errors.
    void expire(Clock::time_point now) EXCLUDES(mu_);
    // True once after JetStream said that no stream takes the subjects.
    bool takeStreamLost() EXCLUDES(mu_);

    void countError() EXCLUDES(mu_);
    void countDropped() EXCLUDES(mu_);
    void countKeyframe() EXCLUDES(mu_);
    RecordCounts counts() EXCLUDES(mu_);

private:
    Opened openStream();  // the opening thread
    void keepOpening() EXCLUDES(mu_);
    static void onAnswer(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    void answer(natsMsg* msg) EXCLUDES(mu_);

    natsConnection* const nats_;
    const RecordOptions options_;
    // Set by start() before the subscription exists; read-only after.
    std::string inbox_;
    natsSubscription* answers_ = nullptr;  // start() and stop(), on the gateway's owning thread
    bool stopped_ = false;                 // stop(), the same thread
    jsCtx* js_ = nullptr;                  // the opening thread
    std::thread opener_;                   // start() and stop()

    Mutex mu_;
    std::condition_variable handlersDone_;  // with mu_: handlersRunning_ came to 0
    int handlersRunning_ GUARDED_BY(mu_) = 0;
    struct Pending {
        Clock::time_point sent;
        std::size_t bytes;
    };
    std::uint64_t nextId_ GUARDED_BY(mu_) = 0;
    std::map<std::uint64_t, Pending> pending_ GUARDED_BY(mu_);  // by the id in the reply subject
    RecordCounts counts_ GUARDED_BY(mu_);
    bool streamLost_ GUARDED_BY(mu_) = false;
    std::condition_variable openerWake_;  // with mu_: openAsked_ or closing_ set
    bool openAsked_ GUARDED_BY(mu_) = false;
    bool closing_ GUARDED_BY(mu_) = false;
    std::optional<Opened> opened_ GUARDED_BY(mu_);
};

}  // namespace gateway

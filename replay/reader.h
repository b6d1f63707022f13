// The replay's reading of a recording on NATS JetStream: the connection, the
// recording's span, its keyframe index, and a pull consumer over the
// recording's one wildcard (so the records come in their recorded order
// across symbols) started at a stream sequence. JetStream has no replay
// speed of its own and a start by time scans; the replay paces in the client
// and starts by sequence (a keyframe's).
//
// Threads: the replay client's feed thread opens, reads and closes it; the
// control subject's requests are answered on a NATS library thread by the
// handler given to open(). No lock of its own.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "replay/keyframes.h"
#include "wire/nats_config.h"

namespace replay {

struct RecordMessage {
    std::uint64_t seq = 0;
    std::vector<std::uint8_t> data;
};

struct Span {
    std::uint64_t firstSeq = 0, lastSeq = 0;
    std::int64_t firstNs = 0, lastNs = 0;  // the recorded times of the first and last records
};

class Reader {
public:
    // Answers a control request's text with the reply's text.
    using ControlHandler = std::function<std::string(const std::string& request)>;

    Reader() = default;
    ~Reader() { close(); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Connects with `settings` (user and password: the logon's) and binds to
    // the recording's stream; subscribes to `controlSubject` when given.
    // False with `error` set.
    bool open(const natsconfig::Settings& settings, const std::string& recording, const std::string& controlSubject,
              ControlHandler control, std::string* error);
    // Waits for a control request being answered (its handler takes the
    // client's lock: never called with that lock held).
    void close();
    bool isOpen() const { return conn_ != nullptr; }
    // The connection is up now (not reconnecting).
    bool connected() const;

    // The first and last records' sequences and recorded times.
    bool span(Span* span, std::string* error);
    // Reads the keyframe markers after `index.lastSeq()` into it.
    bool indexKeyframes(KeyframeIndex* index, std::string* error);
    // (Re)starts reading every record from `seq` on.
    bool start(std::uint64_t seq, std::string* error);

    enum class Fetch { Records, Nothing, Failed };
    // Up to `batch` records, waiting at most `timeoutMs` for the first.
    // Nothing: none are there now (the end, for a recording no longer
    // written); Failed: the server or the consumer was lost (`error`).
    Fetch fetch(std::vector<RecordMessage>* out, int batch, int timeoutMs, std::string* error);

    // The stream's last sequence now (0 when it cannot be read).
    std::uint64_t lastSeq();
    // Reconnections of the connection since open (any thread).
    std::uint64_t reconnects() const { return reconnects_.load(); }

    // Counts a corrupt record met while scanning span or keyframes.
    std::uint64_t skipped() const { return skipped_; }

private:
    static void onControl(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
    bool recordTimeAt(std::uint64_t seq, std::int64_t* ns, std::string* error);
    void dropConsumer();
    static void onReconnected(natsConnection* nc, void* closure);

    natsConnection* conn_ = nullptr;
    jsCtx* js_ = nullptr;
    natsSubscription* consumer_ = nullptr;
    natsSubscription* control_ = nullptr;
    ControlHandler controlHandler_;
    std::string recording_;
    std::uint64_t skipped_ = 0;
    std::atomic<std::uint64_t> reconnects_{0};
};

}  // namespace replay

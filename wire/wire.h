// The gateway's wire format: the messages the gateway and the NATS feed
// clients exchange, their subjects, and a defensive decoder.
//
// Layout: fixed little-endian fields, no padding. Every message starts with
// the magic bytes 'T' 'V', the format version (kVersion) and the message kind;
// texts are a length (u8, or u16 where noted) and bytes; bars are 48 bytes
// (start u32, end u32, open, high, low, close, volume as IEEE-754 f64).
// docs/fanout.md describes every message field by field.
//
// Decoding never trusts the input: a wrong magic or version, a short or
// oversized message, counts that run past the end, bytes left over, field
// ids outside 0-100, texts too long, and non-finite numbers all give
// std::nullopt and a reason. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace wire {

constexpr std::uint8_t kVersion = 1;
// Largest message either side accepts (NATS's default payload limit).
constexpr std::size_t kMaxMessage = 1024 * 1024;
// Highest snapshot field id.
constexpr int kMaxFieldId = 100;
// Bars per history chunk: 48 bytes each, well inside kMaxMessage.
constexpr std::size_t kChunkBars = 16384;
// Longest key (a symbol, or a stream's query text) and history query.
constexpr std::size_t kMaxKey = 64;
constexpr std::size_t kMaxQuery = 256;

enum class Kind : std::uint8_t {
    Quote = 1,
    Stream = 2,
    HistoryRequest = 3,
    HistoryChunk = 4,
    HistoryDone = 5,
    Subscribe = 6,
    Unsubscribe = 7,
    Lease = 8,
    Heartbeat = 9,
    FeedMessage = 10,
    Refusal = 11,
    Leave = 12,
};

struct Bar {
    std::uint32_t start = 0, end = 0;
    double open = 0, high = 0, low = 0, close = 0, volume = 0;
    bool operator==(const Bar& o) const {
        return start == o.start && end == o.end && open == o.open && high == o.high && low == o.low &&
               close == o.close && volume == o.volume;
    }
};

struct FieldValue {
    std::uint8_t id = 0;
    double value = 0;
};

// Quote fields of one symbol: a full image (every field with a value) or the
// fields one trade changed. `seq` counts the symbol's messages in `epoch`.
struct Quote {
    std::uint64_t epoch = 0, seq = 0;
    bool image = false;
    std::uint32_t tradeTime = 0;
    std::string symbol;
    std::vector<FieldValue> fields;
};

// An update stream's window after an event. `full`: `bars` is the whole
// window, oldest first, whose oldest index is `origin`; otherwise `bars` holds
// the newest bar alone. `newest` is the newest bar's index. A full message
// without bars answers a Subscribe before the stream's first load.
struct Stream {
    std::uint64_t epoch = 0, seq = 0;
    bool full = false;
    bool newBar = false;
    std::int64_t newest = 0, origin = 0;
    std::string query;
    std::vector<Bar> bars;
};

struct HistoryRequest {
    std::uint64_t id = 0;
    std::int32_t records = 0;
    std::string query;  // u16 length
};

// Bars [offset, offset + bars.size()) of a history of `total` bars.
struct HistoryChunk {
    std::uint64_t id = 0;
    std::uint32_t offset = 0, total = 0;
    std::vector<Bar> bars;
};

// The end of a history answer. `result`: 0 failed, 3 complete at once
// (chunks came before), 1 the load is under way (chunks and another Done
// follow), 2 loaded after a wait (chunks came before).
struct HistoryDone {
    std::uint64_t id = 0;
    std::uint8_t result = 0;
    std::uint32_t total = 0;
};

// A client's interest in a symbol's quotes (stream = false) or a stream's
// query text. Subscribe is a request: the answer is a Quote or Stream image,
// or a Refusal.
struct Subscribe {
    std::uint64_t client = 0;
    bool stream = false;
    std::string key;
};
struct Unsubscribe {
    std::uint64_t client = 0;
    bool stream = false;
    std::string key;
};
// Renews every interest of a client; sent every few seconds.
struct Lease {
    std::uint64_t client = 0;
};
// The gateway is alive; `feedUp` while its feed is logged on and ready.
struct Heartbeat {
    std::uint64_t epoch = 0, seq = 0;
    bool feedUp = false;
};
struct FeedMessage {
    std::string text;  // u16 length
};
// A Subscribe or history request the gateway turned down, and why.
struct Refusal {
    std::string key, text;  // text: u16 length
};
// A client that stops: the gateway drops its interest and waits at once
// rather than when its lease runs out. Sent with the client's inbox as the
// reply subject (wire/inbox.h), which must name the same client.
struct Leave {
    std::uint64_t client = 0;
};

using Message = std::variant<Quote, Stream, HistoryRequest, HistoryChunk, HistoryDone, Subscribe, Unsubscribe,
                             Lease, Heartbeat, FeedMessage, Refusal, Leave>;

std::vector<std::uint8_t> encode(const Message& message);
// `reason`, if given, receives why a message was dropped.
std::optional<Message> decode(const void* data, std::size_t size, std::string* reason = nullptr);

// ---- Subjects ----
// Symbols hold '.', which separates NATS subject tokens; it travels as '_',
// which no symbol holds. Streams are keyed by their query text
// ("SYMBOL,interval"), whose ',' becomes '.'.
// A symbol or query text as subject tokens ('.' to '_', ',' to '.').
std::string subjectTokens(const std::string& text);
std::string quoteSubject(const std::string& symbol);
std::string streamSubject(const std::string& query);
// Requests name their symbol in the subject, so that the server's
// permissions decide who may ask for what; the gateway drops a request whose
// subject and contents disagree.
std::string subscribeSubject(bool stream, const std::string& key);
// "" when the query does not start with a valid symbol.
std::string historySubject(const std::string& query);
inline const char kSubscribeWildcard[] = "tellivar.subscribe.>";
inline const char kHistoryWildcard[] = "tellivar.history.>";
inline const char kUnsubscribeSubject[] = "tellivar.unsubscribe";
inline const char kLeaseSubject[] = "tellivar.lease";
// Carries a Leave.
inline const char kLeaveSubject[] = "tellivar.leave";
inline const char kHeartbeatSubject[] = "tellivar.heartbeat";
// A request (carrying a Lease) the gateway answers with a Heartbeat at once.
inline const char kHelloSubject[] = "tellivar.hello";
inline const char kMessageSubject[] = "tellivar.message";
inline const char kStatsSubject[] = "tellivar.gateway.stats";
// A key is usable in a subject: 1 to kMaxKey bytes of A-Z a-z 0-9 . - , and
// nothing that NATS treats specially.
bool isValidKey(const std::string& key);

}  // namespace wire

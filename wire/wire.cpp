#include "wire/wire.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace wire {
namespace {

constexpr std::uint8_t kMagic0 = 'T', kMagic1 = 'V';
constexpr std::size_t kBarBytes = 48;

class Writer {
public:
    explicit Writer(Kind kind) {
        out_.reserve(64);
        u8(kMagic0);
        u8(kMagic1);
        u8(kVersion);
        u8(static_cast<std::uint8_t>(kind));
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { raw(v); }
    void u32(std::uint32_t v) { raw(v); }
    void u64(std::uint64_t v) { raw(v); }
    void i32(std::int32_t v) { raw(static_cast<std::uint32_t>(v)); }
    void i64(std::int64_t v) { raw(static_cast<std::uint64_t>(v)); }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        raw(bits);
    }
    void text8(const std::string& s) {
        const std::size_t n = std::min<std::size_t>(s.size(), 255);
        u8(static_cast<std::uint8_t>(n));
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void text16(const std::string& s) {
        const std::size_t n = std::min<std::size_t>(s.size(), 65535);
        u16(static_cast<std::uint16_t>(n));
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void bars(const std::vector<Bar>& bars) {
        u32(static_cast<std::uint32_t>(bars.size()));
        out_.reserve(out_.size() + bars.size() * kBarBytes);
        for (const Bar& b : bars) {
            u32(b.start);
            u32(b.end);
            f64(b.open);
            f64(b.high);
            f64(b.low);
            f64(b.close);
            f64(b.volume);
        }
    }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    // Little-endian, whatever the host's order.
    template <class T>
    void raw(T v) {
        for (std::size_t i = 0; i < sizeof(T); ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> out_;
};

// Reads fields in order; the first failure sticks and names the reason.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool ok() const { return error_ == nullptr; }
    const char* error() const { return error_; }
    void fail(const char* why) {
        if (error_ == nullptr) error_ = why;
    }
    bool atEnd() const { return p_ == end_; }

    std::uint8_t u8() { return raw<std::uint8_t>(); }
    std::uint16_t u16() { return raw<std::uint16_t>(); }
    std::uint32_t u32() { return raw<std::uint32_t>(); }
    std::uint64_t u64() { return raw<std::uint64_t>(); }
    std::int32_t i32() { return static_cast<std::int32_t>(raw<std::uint32_t>()); }
    std::int64_t i64() { return static_cast<std::int64_t>(raw<std::uint64_t>()); }
    bool flag() {
        const std::uint8_t v = u8();
        if (v > 1) fail("flag not 0 or 1");
        return v == 1;
    }
    double f64() {
        const std::uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) {
            fail("non-finite number");
            return 0;
        }
        return v;
    }
    std::string text(std::size_t length, std::size_t limit) {
        if (length > limit) fail("text too long");
        if (!ok() || remaining() < length) {
            fail("truncated");
            return {};
        }
        std::string s(reinterpret_cast<const char*>(p_), length);
        p_ += length;
        return s;
    }
    std::string text8(std::size_t limit) { return text(u8(), limit); }
    std::string text16(std::size_t limit) { return text(u16(), limit); }
    std::vector<Bar> bars() {
        const std::uint32_t count = u32();
        std::vector<Bar> out;
        if (!ok()) return out;
        if (static_cast<std::uint64_t>(count) * kBarBytes > remaining()) {
            fail("bar count runs past the end");
            return out;
        }
        out.resize(count);
        for (Bar& b : out) {
            b.start = u32();
            b.end = u32();
            b.open = f64();
            b.high = f64();
            b.low = f64();
            b.close = f64();
            b.volume = f64();
        }
        return out;
    }

private:
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    template <class T>
    T raw() {
        if (!ok() || remaining() < sizeof(T)) {
            fail("truncated");
            return T{};
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
        p_ += sizeof(T);
        return static_cast<T>(v);
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    const char* error_ = nullptr;
};

void put(Writer& w, const Quote& m) {
    w.u64(m.epoch);
    w.u64(m.seq);
    w.u8(m.image ? 1 : 0);
    w.u32(m.tradeTime);
    w.text8(m.symbol);
    w.u8(static_cast<std::uint8_t>(std::min<std::size_t>(m.fields.size(), kMaxFieldId + 1)));
    for (std::size_t i = 0; i < m.fields.size() && i <= kMaxFieldId; ++i) {
        w.u8(m.fields[i].id);
        w.f64(m.fields[i].value);
    }
}
void put(Writer& w, const Stream& m) {
    w.u64(m.epoch);
    w.u64(m.seq);
    w.u8(m.full ? 1 : 0);
    w.u8(m.newBar ? 1 : 0);
    w.i64(m.newest);
    w.i64(m.origin);
    w.text8(m.query);
    w.bars(m.bars);
}
void put(Writer& w, const HistoryRequest& m) {
    w.u64(m.id);
    w.i32(m.records);
    w.text16(m.query);
}
void put(Writer& w, const HistoryChunk& m) {
    w.u64(m.id);
    w.u32(m.offset);
    w.u32(m.total);
    w.bars(m.bars);
}
void put(Writer& w, const HistoryDone& m) {
    w.u64(m.id);
    w.u8(m.result);
    w.u32(m.total);
}
// Subscribe and Unsubscribe share their layout.
template <class Interest>
auto put(Writer& w, const Interest& m) -> decltype(m.stream, void()) {
    w.u64(m.client);
    w.u8(m.stream ? 1 : 0);
    w.text8(m.key);
}
void put(Writer& w, const Lease& m) { w.u64(m.client); }
void put(Writer& w, const Leave& m) { w.u64(m.client); }
void put(Writer& w, const Heartbeat& m) {
    w.u64(m.epoch);
    w.u64(m.seq);
    w.u8(m.feedUp ? 1 : 0);
}
void put(Writer& w, const FeedMessage& m) { w.text16(m.text); }
void put(Writer& w, const Refusal& m) {
    w.text8(m.key);
    w.text16(m.text);
}

std::string key(Reader& r) {
    std::string k = r.text8(kMaxKey);
    if (r.ok() && !isValidKey(k)) r.fail("bad symbol or query text");
    return k;
}

Message get(Reader& r, Kind kind) {
    switch (kind) {
        case Kind::Quote: {
            Quote m;
            m.epoch = r.u64();
            m.seq = r.u64();
            m.image = r.flag();
            m.tradeTime = r.u32();
            m.symbol = key(r);
            const std::uint8_t count = r.u8();
            if (count > kMaxFieldId + 1) r.fail("too many fields");
            for (int i = 0; i < count && r.ok(); ++i) {
                FieldValue f;
                f.id = r.u8();
                f.value = r.f64();
                if (f.id > kMaxFieldId) r.fail("field id out of range");
                m.fields.push_back(f);
            }
            return m;
        }
        case Kind::Stream: {
            Stream m;
            m.epoch = r.u64();
            m.seq = r.u64();
            m.full = r.flag();
            m.newBar = r.flag();
            m.newest = r.i64();
            m.origin = r.i64();
            m.query = key(r);
            m.bars = r.bars();
            if (r.ok() && !m.full && m.bars.size() != 1) r.fail("stream update without exactly one bar");
            if (r.ok() && m.full && !m.bars.empty() &&
                m.origin + static_cast<std::int64_t>(m.bars.size()) - 1 != m.newest)
                r.fail("stream window does not end at its newest index");
            return m;
        }
        case Kind::HistoryRequest: {
            HistoryRequest m;
            m.id = r.u64();
            m.records = r.i32();
            m.query = r.text16(kMaxQuery);
            if (r.ok() && m.records < 1) r.fail("history of no records");
            return m;
        }
        case Kind::HistoryChunk: {
            HistoryChunk m;
            m.id = r.u64();
            m.offset = r.u32();
            m.total = r.u32();
            m.bars = r.bars();
            if (r.ok() && static_cast<std::uint64_t>(m.offset) + m.bars.size() > m.total)
                r.fail("chunk beyond the history's end");
            return m;
        }
        case Kind::HistoryDone: {
            HistoryDone m;
            m.id = r.u64();
            m.result = r.u8();
            m.total = r.u32();
            if (r.ok() && m.result > 3) r.fail("unknown history result");
            return m;
        }
        case Kind::Subscribe:
        case Kind::Unsubscribe: {
            Subscribe m;
            m.client = r.u64();
            m.stream = r.flag();
            m.key = key(r);
            if (kind == Kind::Subscribe) return m;
            return Unsubscribe{m.client, m.stream, m.key};
        }
        case Kind::Lease: {
            Lease m;
            m.client = r.u64();
            return m;
        }
        case Kind::Leave: {
            Leave m;
            m.client = r.u64();
            return m;
        }
        case Kind::Heartbeat: {
            Heartbeat m;
            m.epoch = r.u64();
            m.seq = r.u64();
            m.feedUp = r.flag();
            return m;
        }
        case Kind::FeedMessage:
            return FeedMessage{r.text16(4096)};
        case Kind::Refusal: {
            Refusal m;
            m.key = r.text8(kMaxQuery);
            m.text = r.text16(4096);
            return m;
        }
    }
    r.fail("unknown message kind");
    return FeedMessage{};
}

}  // namespace

std::vector<std::uint8_t> encode(const Message& message) {
    static constexpr Kind kinds[] = {Kind::Quote,   Kind::Stream,      Kind::HistoryRequest, Kind::HistoryChunk,
                                     Kind::HistoryDone, Kind::Subscribe, Kind::Unsubscribe, Kind::Lease,
                                     Kind::Heartbeat, Kind::FeedMessage, Kind::Refusal, Kind::Leave};
    static_assert(std::size(kinds) == std::variant_size_v<Message>, "a kind for every message");
    Writer w(kinds[message.index()]);
    std::visit([&w](const auto& m) { put(w, m); }, message);
    return w.take();
}

std::optional<Message> decode(const void* data, std::size_t size, std::string* reason) {
    auto drop = [reason](const char* why) -> std::optional<Message> {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    if (data == nullptr || size < 4) return drop("truncated");
    if (size > kMaxMessage) return drop("oversized");
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (bytes[0] != kMagic0 || bytes[1] != kMagic1) return drop("not a message of this format");
    if (bytes[2] != kVersion) return drop("wrong version");
    const std::uint8_t kind = bytes[3];
    if (kind < static_cast<std::uint8_t>(Kind::Quote) || kind > static_cast<std::uint8_t>(Kind::Leave))
        return drop("unknown message kind");
    Reader r(bytes + 4, size - 4);
    Message m = get(r, static_cast<Kind>(kind));
    if (r.ok() && !r.atEnd()) r.fail("bytes after the message");
    if (!r.ok()) return drop(r.error());
    return m;
}

bool isValidKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxKey) return false;
    for (const char c : key) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == ',';
        if (!ok) return false;
    }
    return true;
}

std::string subjectTokens(const std::string& text) {
    std::string t = text;
    for (char& c : t) {
        if (c == '.') c = '_';
        if (c == ',') c = '.';
    }
    return t;
}

std::string quoteSubject(const std::string& symbol) { return "tellivar.quote." + subjectTokens(symbol); }
std::string streamSubject(const std::string& query) { return "tellivar.stream." + subjectTokens(query); }
std::string subscribeSubject(bool stream, const std::string& key) {
    return std::string(stream ? "tellivar.subscribe.stream." : "tellivar.subscribe.quote.") + subjectTokens(key);
}
std::string historySubject(const std::string& query) {
    const std::string symbol = query.substr(0, query.find(','));
    if (!isValidKey(symbol)) return {};
    return "tellivar.history." + subjectTokens(symbol);
}

}  // namespace wire

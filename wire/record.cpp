#include "wire/record.h"

#include <cstring>

namespace wire {
namespace {

constexpr std::uint8_t kMagic0 = 'T', kMagic1 = 'R';
constexpr std::size_t kHeaderBytes = 4 + 8 + 8;

template <class T>
void put(std::vector<std::uint8_t>& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
template <class T>
T get(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return static_cast<T>(v);
}

std::vector<std::uint8_t> header(RecordType type, std::int64_t timeNs, std::uint64_t session, std::size_t body) {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderBytes + body);
    out.push_back(kMagic0);
    out.push_back(kMagic1);
    out.push_back(kRecordVersion);
    out.push_back(static_cast<std::uint8_t>(type));
    put(out, static_cast<std::uint64_t>(timeNs));
    put(out, session);
    return out;
}

std::optional<Record> drop(std::string* reason, const char* why) {
    if (reason != nullptr) *reason = why;
    return std::nullopt;
}

}  // namespace

std::vector<std::uint8_t> encodeRecord(RecordType type, std::int64_t timeNs, std::uint64_t session,
                                       const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> out = header(type, timeNs, session, message.size());
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

std::vector<std::uint8_t> encodeRecord(const Record& record) {
    switch (record.type) {
        case RecordType::Update:
        case RecordType::KeyframeEntry:
            return encodeRecord(record.type, record.timeNs, record.session,
                                record.message ? encode(*record.message) : std::vector<std::uint8_t>{});
        case RecordType::KeyframeBegin: {
            std::vector<std::uint8_t> out = header(record.type, record.timeNs, record.session, 5);
            put(out, record.count);
            out.push_back(record.flags);
            return out;
        }
        case RecordType::KeyframeEnd: {
            std::vector<std::uint8_t> out = header(record.type, record.timeNs, record.session, 4);
            put(out, record.count);
            return out;
        }
    }
    return {};
}

std::optional<Record> decodeRecordHeader(const void* data, std::size_t size, std::string* reason) {
    if (data == nullptr || size < kHeaderBytes) return drop(reason, "truncated");
    if (size > kMaxMessage) return drop(reason, "oversized");
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (p[0] != kMagic0 || p[1] != kMagic1) return drop(reason, "not a record of this format");
    if (p[2] != kRecordVersion) return drop(reason, "wrong record version");
    if (p[3] < static_cast<std::uint8_t>(RecordType::Update) || p[3] > static_cast<std::uint8_t>(RecordType::KeyframeEnd))
        return drop(reason, "unknown record type");
    Record r;
    r.type = static_cast<RecordType>(p[3]);
    r.timeNs = static_cast<std::int64_t>(get<std::uint64_t>(p + 4));
    r.session = get<std::uint64_t>(p + 12);
    if (r.timeNs < 0) return drop(reason, "negative time");
    return r;
}

std::optional<Record> decodeRecord(const void* data, std::size_t size, std::string* reason) {
    std::optional<Record> r = decodeRecordHeader(data, size, reason);
    if (!r) return r;
    const auto* body = static_cast<const std::uint8_t*>(data) + kHeaderBytes;
    const std::size_t n = size - kHeaderBytes;
    switch (r->type) {
        case RecordType::Update:
        case RecordType::KeyframeEntry: {
            std::optional<Message> m = decode(body, n, reason);
            if (!m) return std::nullopt;
            if (!std::holds_alternative<Quote>(*m) && !std::holds_alternative<Stream>(*m))
                return drop(reason, "a record holds neither a quote nor a stream");
            r->message = std::move(m);
            return r;
        }
        case RecordType::KeyframeBegin:
            if (n != 5) return drop(reason, n < 5 ? "truncated" : "bytes after the record");
            r->count = get<std::uint32_t>(body);
            r->flags = body[4];
            if ((r->flags & ~kSessionStart) != 0) return drop(reason, "unknown keyframe flags");
            return r;
        case RecordType::KeyframeEnd:
            if (n != 4) return drop(reason, n < 4 ? "truncated" : "bytes after the record");
            r->count = get<std::uint32_t>(body);
            return r;
    }
    return drop(reason, "unknown record type");
}

bool isValidRecordingName(const std::string& name) {
    if (name.empty() || name.size() > kMaxRecordingName) return false;
    for (const char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string recordWildcard(const std::string& name) { return "tellivar.rec." + name + ".>"; }
std::string recordQuoteSubject(const std::string& name, const std::string& symbol) {
    return "tellivar.rec." + name + ".q." + subjectTokens(symbol);
}
std::string recordStreamSubject(const std::string& name, const std::string& query) {
    return "tellivar.rec." + name + ".s." + subjectTokens(query);
}
std::string recordKeyframeSubject(const std::string& name) { return "tellivar.rec." + name + ".k"; }

}  // namespace wire

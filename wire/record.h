// The recording's format: what a recording gateway writes into a JetStream
// stream, and what the replay feed client reads back. docs/replay.md has the
// subject layout and the keyframe rule.
//
// Subjects of a recording NAME (NAME: 1 to 32 of A-Z a-z 0-9 - _), all under
// one wildcard so that a single consumer reads them in the recorded order:
//   tellivar.rec.NAME.q.<symbol>   quote updates and keyframe quote images
//   tellivar.rec.NAME.s.<query>    update-stream events and keyframe windows
//   tellivar.rec.NAME.k            keyframe begin and end markers
// (<symbol> and <query> are tokenised as on the live subjects, wire.h).
//
// Every message is an envelope: the magic bytes 'T' 'R', kRecordVersion, the
// record type, the gateway's wall-clock time of publishing (i64, ns since
// 1970 UTC), the gateway's session (u64: its epoch; a new one after every
// start or takeover), then the body:
//  - Update, KeyframeEntry: one encoded wire message, a Quote or a Stream.
//    An Update is the live message the gateway published; a KeyframeEntry is
//    a Quote image (every field with a value) or a Stream's whole window.
//  - KeyframeBegin: u32 entries that follow, u8 flags (kSessionStart: the
//    first keyframe of a session; whatever came before it in the stream
//    belongs to an earlier session, and the time between is a gap).
//  - KeyframeEnd: u32 entries written. A keyframe without its end (a
//    gateway killed while writing it) is not used.
// The gateway writes a keyframe under the same lock as its updates, so no
// update falls between a keyframe's begin and end: the state at the begin's
// time is exactly the keyframe's entries.
//
// decodeRecord never trusts its input (same rules as wire::decode). Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/wire.h"

namespace wire {

constexpr std::uint8_t kRecordVersion = 1;
constexpr std::size_t kMaxRecordingName = 32;

enum class RecordType : std::uint8_t {
    Update = 1,
    KeyframeBegin = 2,
    KeyframeEntry = 3,
    KeyframeEnd = 4,
};

constexpr std::uint8_t kSessionStart = 1;

struct Record {
    RecordType type = RecordType::Update;
    std::int64_t timeNs = 0;
    std::uint64_t session = 0;
    // KeyframeBegin: entries that follow; KeyframeEnd: entries written.
    std::uint32_t count = 0;
    std::uint8_t flags = 0;  // KeyframeBegin only
    // Update and KeyframeEntry: a Quote or a Stream.
    std::optional<Message> message;
};

std::vector<std::uint8_t> encodeRecord(const Record& record);
// The envelope of an Update or KeyframeEntry around an already encoded
// Quote or Stream (the gateway encodes each message once for both uses).
std::vector<std::uint8_t> encodeRecord(RecordType type, std::int64_t timeNs, std::uint64_t session,
                                       const std::vector<std::uint8_t>& message);
// Reads the envelope only: type, time and session (no body check). For
// scanning a recording by time without decoding every body.
std::optional<Record> decodeRecordHeader(const void* data, std::size_t size, std::string* reason = nullptr);
std::optional<Record> decodeRecord(const void* data, std::size_t size, std::string* reason = nullptr);

bool isValidRecordingName(const std::string& name);
std::string recordWildcard(const std::string& name);  // "tellivar.rec.NAME.>"
std::string recordQuoteSubject(const std::string& name, const std::string& symbol);
std::string recordStreamSubject(const std::string& name, const std::string& query);
std::string recordKeyframeSubject(const std::string& name);

}  // namespace wire

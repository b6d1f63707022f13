// The wire format's decoder: what is encoded decodes to the same message, and
// every kind of malformed input is dropped with its reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <set>

#include "wire/inbox.h"
#include "wire/nats_config.h"
#include "wire/record.h"
#include "wire/wire.h"

namespace {

const wire::Bar kBar{1709647200, 1709647260, 10.5, 11.25, 10.0, 11.0, 1200};

TEST(Wire, ShouldDecodeEveryKindToWhatWasEncoded) {
    const wire::Message messages[] = {
        wire::Quote{7, 42, true, 1709647201, "BRK.B", {{0, 1.5}, {27, 1709647201}, {100, -3}}},
        wire::Stream{7, 43, true, true, 11, 10, "ACME,m5", {kBar, kBar}},
        wire::Stream{7, 44, false, false, 11, 0, "ACME,5", {kBar}},
        wire::HistoryRequest{9, 200001, "ACME,1,&EndETime=1709647200"},
        wire::HistoryChunk{9, 16384, 200000, {kBar}},
        wire::HistoryDone{9, 3, 200000},
        wire::Subscribe{5, true, "ACME,D1"},
        wire::Unsubscribe{5, false, "ACME"},
        wire::Lease{5},
        wire::Heartbeat{7, 8, true},
        wire::FeedMessage{"Feed restarting"},
        wire::Refusal{"GLOBEX", "Symbol refused by the feed: GLOBEX"},
        wire::Leave{5},
    };
    std::set<std::size_t> kinds;
    for (const wire::Message& message : messages) kinds.insert(message.index());
    ASSERT_EQ(kinds.size(), std::variant_size_v<wire::Message>) << "every kind at least once";
    for (const wire::Message& message : messages) {
        const std::vector<std::uint8_t> bytes = wire::encode(message);
        std::string reason;
        const auto decoded = wire::decode(bytes.data(), bytes.size(), &reason);
        ASSERT_TRUE(decoded) << "kind " << message.index() << ": " << reason;
        EXPECT_EQ(decoded->index(), message.index());
        EXPECT_EQ(wire::encode(*decoded), bytes) << "kind " << message.index();
    }
}

TEST(Wire, ShouldDropMalformedMessagesWithTheirReason) {
    const auto quote = wire::encode(wire::Quote{1, 2, false, 3, "ACME", {{3, 10.0}}});
    const std::size_t lastValue = quote.size() - 8, lastId = quote.size() - 9;
    const auto chunk = wire::encode(wire::HistoryChunk{1, 0, 1, {kBar}});
    auto changed = [](std::vector<std::uint8_t> bytes, const std::function<void(std::vector<std::uint8_t>&)>& edit) {
        edit(bytes);
        return bytes;
    };
    auto withDouble = [&](double value) {
        return changed(quote, [&](auto& b) { std::memcpy(&b[lastValue], &value, 8); });
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"empty", {}, "truncated"},
        {"header only", {'T', 'V', 1}, "truncated"},
        {"oversized", changed(quote, [](auto& b) { b.resize(wire::kMaxMessage + 1); }), "oversized"},
        {"other format", changed(quote, [](auto& b) { b[0] = '{'; }), "not a message of this format"},
        {"wrong version", changed(quote, [](auto& b) { b[2] = 2; }), "wrong version"},
        {"unknown kind", changed(quote, [](auto& b) { b[3] = 99; }), "unknown message kind"},
        {"truncated body", changed(quote, [](auto& b) { b.pop_back(); }), "truncated"},
        {"bytes after the end", changed(quote, [](auto& b) { b.push_back(0); }), "bytes after the message"},
        {"field id 101", changed(quote, [&](auto& b) { b[lastId] = 101; }), "field id out of range"},
        {"NaN", withDouble(std::nan("")), "non-finite number"},
        {"infinity", withDouble(std::numeric_limits<double>::infinity()), "non-finite number"},
        {"flag 2", changed(quote, [](auto& b) { b[4 + 16] = 2; }), "flag not 0 or 1"},
        {"symbol with a wildcard", wire::encode(wire::Subscribe{1, false, "AC*E"}), "bad symbol or query text"},
        {"symbol too long", wire::encode(wire::Subscribe{1, false, std::string(65, 'A')}), "text too long"},
        {"bar count past the end", changed(chunk, [](auto& b) { b[4 + 16] = 2; }), "bar count runs past the end"},
        {"chunk beyond the history", changed(chunk, [](auto& b) { b[4 + 8] = 1; }), "chunk beyond the history's end"},
        {"stream update of two bars", wire::encode(wire::Stream{1, 1, false, false, 1, 0, "ACME,1", {kBar, kBar}}),
         "stream update without exactly one bar"},
        {"window not ending at its newest", wire::encode(wire::Stream{1, 1, true, false, 5, 0, "ACME,1", {kBar}}),
         "stream window does not end at its newest index"},
        {"history of no records", wire::encode(wire::HistoryRequest{1, 0, "ACME,1"}), "history of no records"},
        {"unknown history result", wire::encode(wire::HistoryDone{1, 4, 0}), "unknown history result"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(wire::decode(c.bytes.data(), c.bytes.size(), &reason)) << c.name;
        EXPECT_EQ(reason, c.reason) << c.name;
    }
}

TEST(Wire, ShouldKeepEverySymbolApartFromTheSubjectSyntax) {
    EXPECT_EQ(wire::quoteSubject("BRK.B"), "tellivar.quote.BRK_B");
    EXPECT_EQ(wire::streamSubject("BRK.B,m5"), "tellivar.stream.BRK_B.m5");
    EXPECT_EQ(wire::historySubject("BRK.B,1,&EndETime=5"), "tellivar.history.BRK_B");
    EXPECT_EQ(wire::historySubject("A>B,1"), "") << "no symbol, no subject";
}

TEST(Inbox, ShouldNameAClientsRepliesUnderItsUsersPrefix) {
    const std::string inbox = wire::inboxFor("bob.smith", 0xab);
    EXPECT_EQ(inbox, "_INBOX_bob_smith.00000000000000ab");
    EXPECT_EQ(wire::inboxFor("", 1), "_INBOX.0000000000000001");
    EXPECT_EQ(wire::replySubject(inbox, wire::ReplyKind::Image, 7), inbox + ".i.7");
    EXPECT_EQ(wire::replySubject(inbox, wire::ReplyKind::Window, 8), inbox + ".s.8");
    EXPECT_EQ(wire::replySubject(inbox, wire::ReplyKind::History, 9), inbox + ".h.9");
    EXPECT_EQ(wire::helloReply(inbox), inbox + ".hello");
}

TEST(Inbox, ShouldReadTheReplyKindAndIdOnlyUnderTheClientsOwnInbox) {
    const std::string inbox = "_INBOX_bob.00000000000000ab";
    const struct {
        std::string subject;
        wire::ReplyKind kind;
        bool parsed;
        std::uint64_t id;
    } cases[] = {
        {inbox + ".i.12", wire::ReplyKind::Image, true, 12},
        {inbox + ".s.3", wire::ReplyKind::Window, true, 3},
        {inbox + ".h.18446744073709551615", wire::ReplyKind::History, true, 18446744073709551615ull},
        {inbox + ".i.12", wire::ReplyKind::Window, false, 0},
        {inbox + ".i.", wire::ReplyKind::Image, false, 0},
        {inbox + ".i.-1", wire::ReplyKind::Image, false, 0},
        {inbox + ".i.12x", wire::ReplyKind::Image, false, 0},
        {inbox + ".i.1.2", wire::ReplyKind::Image, false, 0},
        {"_INBOX_bob.00000000000000ac.i.12", wire::ReplyKind::Image, false, 0},
        {inbox + ".hello", wire::ReplyKind::History, false, 0},
    };
    for (const auto& c : cases) {
        std::uint64_t id = 0;
        EXPECT_EQ(wire::parseReply(c.subject, inbox, c.kind, &id), c.parsed) << c.subject;
        EXPECT_EQ(id, c.id) << c.subject << ": an id only from a reply that parsed";
    }
}

TEST(Inbox, ShouldTellTheClientUserAndInboxOfAReplySubject) {
    const struct {
        const char* reply;
        std::uint64_t client;
        const char* inbox;
        const char* user;
    } cases[] = {
        {"_INBOX_bob.00000000000000ab.h.1", 0xab, "_INBOX_bob.00000000000000ab", "_INBOX_bob"},
        {"_INBOX_bob.00000000000000ab", 0xab, "_INBOX_bob.00000000000000ab", "_INBOX_bob"},
        {"_INBOX.ffffffffffffffff.i.2", 0xffffffffffffffffull, "_INBOX.ffffffffffffffff", "_INBOX"},
        {"_INBOX_bob.00000000000000AB.h.1", 0, "_INBOX_bob.00000000000000AB", "_INBOX_bob"},  // upper case
        {"_INBOX_bob.00000000000000a.h.1", 0, "_INBOX_bob.00000000000000a", "_INBOX_bob"},    // 15 digits
        {"_INBOX_bob.00000000000000abc", 0, "_INBOX_bob.00000000000000abc", "_INBOX_bob"},    // 17 digits
        {"OUTBOX_bob.00000000000000ab.h.1", 0, "OUTBOX_bob.00000000000000ab", "OUTBOX_bob"},
        {"_INBOX_bob", 0, "_INBOX_bob", "_INBOX_bob"},
        {"_INBOX.Qx7t2.1", 0, "_INBOX.Qx7t2", "_INBOX"},  // a NATS library's own inbox
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wire::clientOf(c.reply), c.client) << c.reply;
        EXPECT_EQ(wire::inboxOf(c.reply), c.inbox) << c.reply;
        EXPECT_EQ(wire::userOf(c.reply), c.user) << c.reply;
    }
}

TEST(NatsConfig, ShouldReadTheServerListInOrderSkippingEmptyItems) {
    const struct {
        const char* text;
        std::vector<std::string> servers;
    } cases[] = {
        {"nats://a:4222", {"nats://a:4222"}},
        {"nats://a:1,nats://b:2", {"nats://a:1", "nats://b:2"}},
        {",nats://a:1,,nats://b:2,", {"nats://a:1", "nats://b:2"}},
        {"", {natsconfig::kDefaultServer}},
        {",,", {natsconfig::kDefaultServer}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(natsconfig::parseServers(c.text), c.servers) << c.text;
        EXPECT_EQ(natsconfig::parseServers(natsconfig::joinServers(c.servers)), c.servers) << c.text;
    }
}

// ---- The recording's envelope (wire/record.h) ----------------------------------------

wire::Record record(wire::RecordType type, std::uint32_t count = 0, std::uint8_t flags = 0,
                    std::optional<wire::Message> message = std::nullopt) {
    wire::Record r;
    r.type = type;
    r.timeNs = 1709647201123456789;
    r.session = 0x0123456789abcdefULL;
    r.count = count;
    r.flags = flags;
    r.message = std::move(message);
    return r;
}

TEST(Record, ShouldDecodeEveryRecordTypeToWhatWasEncoded) {
    const wire::Quote quote{7, 42, true, 1709647201, "BRK.B", {{3, 10.5}, {27, 1709647201}}};
    const wire::Stream stream{7, 43, true, false, 11, 10, "ACME,1", {kBar, kBar}};
    const wire::Record records[] = {
        record(wire::RecordType::Update, 0, 0, quote),
        record(wire::RecordType::Update, 0, 0, wire::Stream{7, 44, false, false, 11, 0, "ACME,1", {kBar}}),
        record(wire::RecordType::KeyframeBegin, 3, wire::kSessionStart),
        record(wire::RecordType::KeyframeBegin, 0, 0),
        record(wire::RecordType::KeyframeEntry, 0, 0, quote),
        record(wire::RecordType::KeyframeEntry, 0, 0, stream),
        record(wire::RecordType::KeyframeEnd, 3),
    };
    for (const wire::Record& r : records) {
        const std::vector<std::uint8_t> bytes = wire::encodeRecord(r);
        std::string reason;
        const auto decoded = wire::decodeRecord(bytes.data(), bytes.size(), &reason);
        const std::string name = "type " + std::to_string(static_cast<int>(r.type)) + " count " + std::to_string(r.count);
        ASSERT_TRUE(decoded) << name << ": " << reason;
        EXPECT_EQ(decoded->type, r.type) << name;
        EXPECT_EQ(decoded->timeNs, r.timeNs) << name;
        EXPECT_EQ(decoded->session, r.session) << name;
        EXPECT_EQ(decoded->count, r.count) << name;
        EXPECT_EQ(decoded->flags, r.flags) << name;
        ASSERT_EQ(decoded->message.has_value(), r.message.has_value()) << name;
        if (r.message) {
            EXPECT_EQ(wire::encode(*decoded->message), wire::encode(*r.message)) << name;
        }
        EXPECT_EQ(wire::encodeRecord(*decoded), bytes) << name;
        const auto header = wire::decodeRecordHeader(bytes.data(), bytes.size());
        ASSERT_TRUE(header) << name;
        EXPECT_EQ(header->timeNs, r.timeNs) << name;
    }
    // The gateway's form: the envelope around the live message's own bytes.
    const std::vector<std::uint8_t> live = wire::encode(quote);
    EXPECT_EQ(wire::encodeRecord(wire::RecordType::Update, 1709647201123456789, 0x0123456789abcdefULL, live),
              wire::encodeRecord(record(wire::RecordType::Update, 0, 0, quote)));
}

TEST(Record, ShouldDropMalformedRecordsWithTheirReason) {
    const auto update = wire::encodeRecord(record(wire::RecordType::Update, 0, 0, wire::Quote{1, 2, false, 3, "ACME", {{3, 10.0}}}));
    const auto begin = wire::encodeRecord(record(wire::RecordType::KeyframeBegin, 2, wire::kSessionStart));
    const auto end = wire::encodeRecord(record(wire::RecordType::KeyframeEnd, 2));
    auto changed = [](std::vector<std::uint8_t> bytes, const std::function<void(std::vector<std::uint8_t>&)>& edit) {
        edit(bytes);
        return bytes;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"empty", {}, "truncated"},
        {"envelope cut short", changed(update, [](auto& b) { b.resize(19); }), "truncated"},
        {"oversized", changed(update, [](auto& b) { b.resize(wire::kMaxMessage + 1); }), "oversized"},
        {"a live message, not a record", wire::encode(wire::Quote{1, 2, false, 3, "ACME", {{3, 10.0}}}),
         "not a record of this format"},
        {"wrong version", changed(update, [](auto& b) { b[2] = 2; }), "wrong record version"},
        {"type 0", changed(update, [](auto& b) { b[3] = 0; }), "unknown record type"},
        {"type 5", changed(update, [](auto& b) { b[3] = 5; }), "unknown record type"},
        {"negative time", changed(update, [](auto& b) { b[11] = 0x80; }), "negative time"},
        {"update without a body", changed(update, [](auto& b) { b.resize(20); }), "truncated"},
        {"update of a heartbeat",
         wire::encodeRecord(wire::RecordType::Update, 1, 1, wire::encode(wire::Heartbeat{1, 2, true})),
         "a record holds neither a quote nor a stream"},
        {"entry with a broken body", changed(update, [](auto& b) { b.push_back(0); }), "bytes after the message"},
        {"begin cut short", changed(begin, [](auto& b) { b.pop_back(); }), "truncated"},
        {"begin with bytes after it", changed(begin, [](auto& b) { b.push_back(0); }), "bytes after the record"},
        {"begin with an unknown flag", changed(begin, [](auto& b) { b.back() = 2; }), "unknown keyframe flags"},
        {"end cut short", changed(end, [](auto& b) { b.pop_back(); }), "truncated"},
        {"end with bytes after it", changed(end, [](auto& b) { b.push_back(0); }), "bytes after the record"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(wire::decodeRecord(c.bytes.data(), c.bytes.size(), &reason)) << c.name;
        EXPECT_EQ(reason, c.reason) << c.name;
    }
}

TEST(Record, ShouldNameTheRecordingsSubjectsUnderOneWildcard) {
    EXPECT_EQ(wire::recordWildcard("desk-1"), "tellivar.rec.desk-1.>");
    EXPECT_EQ(wire::recordQuoteSubject("desk-1", "BRK.B"), "tellivar.rec.desk-1.q.BRK_B");
    EXPECT_EQ(wire::recordStreamSubject("desk-1", "ACME,1"), "tellivar.rec.desk-1.s.ACME.1");
    EXPECT_EQ(wire::recordKeyframeSubject("desk-1"), "tellivar.rec.desk-1.k");
    const struct {
        std::string name;
        bool valid;
    } names[] = {{"desk", true},           {"Desk_2-b", true}, {std::string(32, 'a'), true}, {"", false},
                 {std::string(33, 'a'), false}, {"a.b", false}, {"a*", false},  {"a>", false}, {"a b", false}};
    for (const auto& n : names) EXPECT_EQ(wire::isValidRecordingName(n.name), n.valid) << "'" << n.name << "'";
}

}  // namespace

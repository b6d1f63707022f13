#include "bus_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "wire/wire.h"

namespace {

using latency::Kind;
using latency::Nanos;

// A quote update as the gateway publishes the stamping feed's: every quoted field.
wire::Quote gatewayQuote(Nanos stamp, std::uint64_t count) {
    wire::Quote quote{7, 42, false, 123, "S7", {}};
    for (int i = 0; i < latency::kQuotedFields; ++i)
        quote.fields.push_back({static_cast<std::uint8_t>(latency::kQuotedIds[i]), 10.0 + i});
    quote.fields[0].value = static_cast<double>(stamp);
    quote.fields[latency::kCountQuoteField].value = static_cast<double>(count);
    return quote;
}

wire::Stream gatewayBar(Nanos stamp, std::uint64_t count) {
    wire::Bar bar{};
    bar.close = static_cast<double>(stamp);
    bar.volume = static_cast<double>(count);
    return wire::Stream{7, 42, false, false, 5, 4, "S7,1", {bar}};
}

TEST(BusMessage, ShouldReadTheStampAndCountOfAGatewayUpdateOnly) {
    const Nanos stamp = 1'234'567'890'123;
    wire::Quote image = gatewayQuote(stamp, 9);
    image.image = true;
    wire::Quote noCount = gatewayQuote(stamp, 9);
    noCount.fields.erase(noCount.fields.begin() + latency::kCountQuoteField);
    wire::Quote noStamp = gatewayQuote(stamp, 9);
    noStamp.fields.erase(noStamp.fields.begin());
    wire::Stream window = gatewayBar(stamp, 9);
    window.full = true;
    std::vector<std::uint8_t> bare = latency::busMessage(Kind::Snapshot, 7);
    latency::writeStamp(bare, stamp, 9);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool read;
    };
    const Case cases[] = {
        {"a quote update", wire::encode(gatewayQuote(stamp, 9)), true},
        {"a bar update", wire::encode(gatewayBar(stamp, 9)), true},
        {"a quote image", wire::encode(image), false},
        {"a quote without the count", wire::encode(noCount), false},
        {"a quote without the stamp", wire::encode(noStamp), false},
        {"a full window", wire::encode(window), false},
        {"a heartbeat", wire::encode(wire::Heartbeat{}), false},
        {"a bare bus message", bare, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Nanos readStampValue = 0;
        std::uint64_t readCount = 0;
        ASSERT_EQ(latency::readGatewayStamp(c.bytes.data(), c.bytes.size(), &readStampValue, &readCount), c.read);
        if (!c.read) continue;
        EXPECT_EQ(readStampValue, stamp);
        EXPECT_EQ(readCount, 9u);
    }
}

// The bus carries what the gateway would: the same size per symbol, on its subject.
TEST(BusMessage, ShouldBeAsLongAsTheGatewaysUpdateAndKeepItsLengthWhenStamped) {
    struct Case {
        Kind kind;
        std::size_t symbol;
        std::size_t gatewaySize;
        const char* subject;
    };
    wire::Quote quote99 = gatewayQuote(1, 1);
    quote99.symbol = "S99";
    wire::Stream bar99 = gatewayBar(1, 1);
    bar99.query = "S99,1";
    const Case cases[] = {
        {Kind::Snapshot, 7, wire::encode(gatewayQuote(1, 1)).size(), "tellivar.quote.S7"},
        {Kind::Snapshot, 99, wire::encode(quote99).size(), "tellivar.quote.S99"},
        {Kind::Bars, 7, wire::encode(gatewayBar(1, 1)).size(), "tellivar.stream.S7.1"},
        {Kind::Bars, 99, wire::encode(bar99).size(), "tellivar.stream.S99.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subject);
        std::vector<std::uint8_t> message = latency::busMessage(c.kind, c.symbol);
        EXPECT_EQ(message.size(), c.gatewaySize);
        EXPECT_EQ(latency::busSubject(c.kind, c.symbol), c.subject);
        latency::writeStamp(message, 987'654'321, 77);
        EXPECT_EQ(message.size(), c.gatewaySize);
        Nanos stamp = 0;
        std::uint64_t count = 0;
        ASSERT_TRUE(latency::readStamp(message.data(), message.size(), &stamp, &count));
        EXPECT_EQ(stamp, 987'654'321);
        EXPECT_EQ(count, 77u);
        EXPECT_FALSE(latency::readStamp(message.data(), 15, &stamp, &count));
    }
}

}  // namespace

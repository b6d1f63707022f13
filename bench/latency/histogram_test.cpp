#include "histogram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace {

// Every value lies in its bucket, buckets are at most 1/128 of their lowest
// value wide, and the next value after a bucket starts the next one.
TEST(LatencyHistogram, BucketsCoverEveryValueWithinTheirPrecision) {
    const std::uint64_t values[] = {0, 1, 255, 256, 257, 383, 384, 511, 512, 1000, 65535, 123456789,
                                    (std::uint64_t{1} << 40) + 12345, UINT64_MAX - 1, UINT64_MAX};
    for (std::uint64_t v : values) {
        SCOPED_TRACE(v);
        const std::uint64_t low = LatencyHistogram::lowestEquivalent(v);
        const std::uint64_t high = LatencyHistogram::highestEquivalent(v);
        EXPECT_LE(low, v);
        EXPECT_GE(high, v);
        EXPECT_LE(high - low, low < 256 ? 0 : low / 128);
        if (high != UINT64_MAX) {
            EXPECT_EQ(LatencyHistogram::lowestEquivalent(high + 1), high + 1);
        }
        if (low != 0) {
            EXPECT_EQ(LatencyHistogram::highestEquivalent(low - 1), low - 1);
        }
    }
}

struct PercentileCase {
    double percentile;
    std::uint64_t low, high;  // the answer lies in [low, high]
};

// 990 values of 1,000 and 10 of 1,000,000 (plus 1..100 exact in their own table).
TEST(LatencyHistogram, PercentilesOfAKnownDistribution) {
    auto h = std::make_unique<LatencyHistogram>();
    for (int i = 0; i < 990; ++i) h->record(1000);
    for (int i = 0; i < 10; ++i) h->record(1000000);
    const PercentileCase cases[] = {
        {0.0, 1000, 1007}, {50.0, 1000, 1007}, {99.0, 1000, 1007}, {99.01, 1000000, 1000000},
        {99.9, 1000000, 1000000}, {100.0, 1000000, 1000000},
    };
    for (const PercentileCase& c : cases) {
        SCOPED_TRACE(c.percentile);
        EXPECT_GE(h->valueAtPercentile(c.percentile), c.low);
        EXPECT_LE(h->valueAtPercentile(c.percentile), c.high);
    }
    EXPECT_EQ(h->count(), 1000u);
    EXPECT_EQ(h->min(), 1000u);
    EXPECT_EQ(h->max(), 1000000u);
    EXPECT_DOUBLE_EQ(h->mean(), (990.0 * 1000 + 10.0 * 1000000) / 1000);

    auto exact = std::make_unique<LatencyHistogram>();
    for (std::uint64_t v = 100; v >= 1; --v) exact->record(v);
    EXPECT_EQ(exact->valueAtPercentile(50), 50u);
    EXPECT_EQ(exact->valueAtPercentile(99), 99u);
    EXPECT_EQ(exact->valueAtPercentile(99.5), 100u);
}

TEST(LatencyHistogram, AddMergesAndResetEmpties) {
    auto all = std::make_unique<LatencyHistogram>();
    auto even = std::make_unique<LatencyHistogram>();
    auto odd = std::make_unique<LatencyHistogram>();
    for (std::uint64_t v = 1; v <= 5000; ++v) {
        all->record(v * 37);
        (v % 2 == 0 ? *even : *odd).record(v * 37);
    }
    even->add(*odd);
    for (double p : {1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) EXPECT_EQ(even->valueAtPercentile(p), all->valueAtPercentile(p)) << p;
    EXPECT_EQ(even->count(), all->count());
    EXPECT_EQ(even->min(), 37u);
    EXPECT_EQ(even->max(), 5000u * 37);

    even->reset();
    EXPECT_EQ(even->count(), 0u);
    EXPECT_EQ(even->min(), 0u);
    EXPECT_EQ(even->max(), 0u);
    EXPECT_EQ(even->valueAtPercentile(99), 0u);
}

// Another process's counts come as text: what arrives must give the same
// percentiles as the histogram that sent it, and anything else is refused
// without touching the receiver.
TEST(LatencyHistogram, EncodedCountsDecodeToTheSameHistogramAndGarbageIsRefused) {
    auto sent = std::make_unique<LatencyHistogram>();
    for (std::uint64_t v = 1; v <= 3000; ++v) sent->record(v * v * 11);
    sent->record(UINT64_MAX);
    auto received = std::make_unique<LatencyHistogram>();
    ASSERT_TRUE(received->decode(sent->encode()));
    for (double p : {0.0, 50.0, 99.0, 99.9, 100.0}) EXPECT_EQ(received->valueAtPercentile(p), sent->valueAtPercentile(p)) << p;
    EXPECT_EQ(received->count(), sent->count());
    EXPECT_EQ(received->min(), sent->min());
    EXPECT_EQ(received->max(), sent->max());
    EXPECT_DOUBLE_EQ(received->mean(), sent->mean());
    auto empty = std::make_unique<LatencyHistogram>();
    ASSERT_TRUE(received->decode(empty->encode()));
    EXPECT_EQ(received->count(), 0u);

    received->record(500);
    const std::string bad[] = {"", "x", "2 1 1 2", "2 1 1 2 5:1", "1 1 1 1 5:1 junk", "1 1 1 1 999999:1",
                               "1 1 1 1 5:0 6:1", "1 1 1 1 5", "99999999999999999999 1 1 1"};
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(received->decode(text));
        EXPECT_EQ(received->count(), 1u);
        EXPECT_EQ(received->max(), 500u);
    }
}

}  // namespace

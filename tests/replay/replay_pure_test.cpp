// The replay client's pure parts: the clock, the state rebuilt from records,
// the keyframe index, the bars of other intervals and histories, times and
// speeds, and the configuration. No threads, no server.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <fstream>
#include <map>
#include <string>

#include "replay/bars.h"
#include "replay/clock.h"
#include "replay/config.h"
#include "replay/iso.h"
#include "replay/keyframes.h"
#include "replay/state.h"

namespace {

constexpr std::int64_t kSec = 1000000000;
constexpr std::int64_t kT0 = 1796725800 * kSec;  // 2026-12-08T10:30:00Z, a Tuesday

// ---- The clock ----

struct ClockCase {
    const char* name;
    double speed;
    std::int64_t elapsedNs;    // steady time since play
    std::int64_t expectedNs;   // clock reading, from kT0
};

class ClockAtSpeed : public ::testing::TestWithParam<ClockCase> {};

TEST_P(ClockAtSpeed, ShouldRunAtItsSpeedFromTheAnchor) {
    const ClockCase& c = GetParam();
    replay::ReplayClock clock(kT0);
    ASSERT_TRUE(clock.setSpeed(c.speed, 1000));
    clock.play(1000);
    EXPECT_EQ(clock.now(1000 + c.elapsedNs), kT0 + c.expectedNs);
}

INSTANTIATE_TEST_SUITE_P(Speeds, ClockAtSpeed,
                         ::testing::Values(ClockCase{"quarter", 0.25, 4 * kSec, 1 * kSec},
                                           ClockCase{"one", 1, 3 * kSec, 3 * kSec},
                                           ClockCase{"four", 4, 2 * kSec, 8 * kSec},
                                           ClockCase{"sixtyfour", 64, kSec / 2, 32 * kSec},
                                           ClockCase{"fastest", 0, 10 * kSec, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReplayClock, ShouldStandStillWhilePausedAndKeepItsReadingAcrossASpeedChange) {
    replay::ReplayClock clock(kT0);
    clock.play(0);
    clock.pause(2 * kSec);
    EXPECT_EQ(clock.now(100 * kSec), kT0 + 2 * kSec);
    EXPECT_EQ(clock.waitFor(kT0 + 3 * kSec, 100 * kSec), -1);
    EXPECT_EQ(clock.waitFor(kT0 + 2 * kSec, 100 * kSec), 0);  // reached before the pause: still delivered
    clock.play(100 * kSec);
    ASSERT_TRUE(clock.setSpeed(4, 101 * kSec));
    EXPECT_EQ(clock.now(101 * kSec), kT0 + 3 * kSec);
    EXPECT_EQ(clock.now(102 * kSec), kT0 + 7 * kSec);
}

TEST(ReplayClock, ShouldRefuseSpeedsOutsideTheRangeAndKeepTheOldOne) {
    replay::ReplayClock clock(kT0);
    for (double bad : {0.2, 65.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(clock.setSpeed(bad, 0)) << bad;
    EXPECT_EQ(clock.speed(), 1.0);
}

TEST(ReplayClock, ShouldTellHowLongUntilARecordIsDueAtItsSpeed) {
    replay::ReplayClock clock(kT0);
    ASSERT_TRUE(clock.setSpeed(2, 0));
    clock.play(0);
    EXPECT_EQ(clock.waitFor(kT0 + 4 * kSec, 0), 2 * kSec);
    EXPECT_EQ(clock.waitFor(kT0 + 4 * kSec, 2 * kSec), 0);
    EXPECT_TRUE(clock.due(kT0, 0));
}

TEST(ReplayClock, ShouldPlayAStepAsFastAsPossibleAndPauseAtItsEnd) {
    replay::ReplayClock clock(kT0);
    clock.step(60, 5 * kSec);
    EXPECT_TRUE(clock.playing());
    EXPECT_EQ(clock.waitFor(kT0 + 59 * kSec, 5 * kSec), 0);  // within the step: at once
    EXPECT_EQ(clock.waitFor(kT0 + 61 * kSec, 5 * kSec), -1);  // after it: not before the step ends
    clock.advanceTo(kT0 + 30 * kSec, 6 * kSec);
    EXPECT_EQ(clock.now(50 * kSec), kT0 + 30 * kSec);  // runs with the records, not the steady clock
    clock.finishStep(7 * kSec);
    EXPECT_FALSE(clock.playing());
    EXPECT_EQ(clock.now(99 * kSec), kT0 + 60 * kSec);
}

TEST(ReplayClock, ShouldStopAtTheRecordingsEndAndMoveAnywhereOnASeek) {
    replay::ReplayClock clock(kT0);
    clock.setLimit(kT0 + 10 * kSec);
    clock.play(0);
    EXPECT_EQ(clock.now(60 * kSec), kT0 + 10 * kSec);
    clock.seek(kT0 - 100 * kSec, 60 * kSec);
    EXPECT_EQ(clock.now(61 * kSec), kT0 - 99 * kSec);
    EXPECT_TRUE(clock.playing());
}

// ---- Times and speeds ----

TEST(ReplayTimes, ShouldWriteAndReadIsoTimesInUtc) {
    EXPECT_EQ(replay::formatIso(kT0), "2026-12-08T10:30:00Z");
    EXPECT_EQ(replay::formatIso(kT0 + 250000000), "2026-12-08T10:30:00.250Z");
    EXPECT_EQ(replay::parseIso("2026-12-08T10:30:00Z"), kT0);
    EXPECT_EQ(replay::parseIso("2026-12-08T10:30:00.25Z"), kT0 + 250000000);
    EXPECT_EQ(replay::parseIso("2026-12-08T10:30:00+00:00"), kT0);
    for (const char* bad : {"2026-12-08 10:30:00Z", "2026-12-08T10:30:00", "2026-12-08T10:30:00+01:00",
                            "2026-02-30T10:30:00Z", "2026-12-08T24:00:00Z", "", "2026-12-08T10:30:00.Z"})
        EXPECT_FALSE(replay::parseIso(bad).has_value()) << bad;
}

TEST(ReplayTimes, ShouldAcceptTheSpeedsOfTheControlsOnly) {
    EXPECT_EQ(replay::parseSpeed("max"), 0.0);
    EXPECT_EQ(replay::parseSpeed("0.25"), 0.25);
    EXPECT_EQ(replay::parseSpeed("16x"), 16.0);
    for (const char* bad : {"0", "0.2", "65", "fast", "", "2 x"}) EXPECT_FALSE(replay::parseSpeed(bad)) << bad;
    EXPECT_EQ(replay::formatSpeed(0.25), "0.25");
    EXPECT_EQ(replay::formatSpeed(8), "8");
    EXPECT_EQ(replay::formatSpeed(0), "max");
}

// ---- The state ----

wire::Record quoteRecord(wire::RecordType type, std::int64_t t, const std::string& symbol,
                         std::vector<wire::FieldValue> fields, bool image = false) {
    wire::Quote q;
    q.symbol = symbol;
    q.image = image;
    q.tradeTime = static_cast<std::uint32_t>(t / kSec);
    q.fields = std::move(fields);
    wire::Record r;
    r.type = type;
    r.timeNs = t;
    r.message = q;
    return r;
}

wire::Record streamRecord(wire::RecordType type, std::int64_t t, const std::string& query, std::vector<wire::Bar> bars,
                          bool full, std::int64_t origin) {
    wire::Stream s;
    s.query = query;
    s.full = full;
    s.bars = std::move(bars);
    s.origin = origin;
    s.newest = origin + static_cast<std::int64_t>(s.bars.size()) - 1;
    if (!full) s.newest = origin;
    wire::Record r;
    r.type = type;
    r.timeNs = t;
    r.message = s;
    return r;
}

wire::Bar bar(std::uint32_t start, double open, double high, double low, double close, double volume = 1) {
    return wire::Bar{start, start + 60, open, high, low, close, volume};
}

TEST(MarketState, ShouldRebuildAQuoteFromTheKeyframeImageAndTheUpdatesAfterIt) {
    replay::MarketState state;
    state.apply(quoteRecord(wire::RecordType::KeyframeEntry, kT0, "AAA", {{1, 10.0}, {2, 11.0}, {3, 9.0}}));
    state.apply(quoteRecord(wire::RecordType::Update, kT0 + kSec, "AAA", {{1, 10.5}}));
    state.apply(quoteRecord(wire::RecordType::Update, kT0 + 2 * kSec, "AAA", {{2, 12.0}}));
    const replay::QuoteImage* q = state.quote("AAA");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->value[1], 10.5);
    EXPECT_EQ(q->value[2], 12.0);
    EXPECT_EQ(q->value[3], 9.0);
    EXPECT_EQ(q->tradeTime, static_cast<std::uint32_t>(kT0 / kSec + 2));
    // A later image replaces every field: one it lacks has no value.
    state.apply(quoteRecord(wire::RecordType::KeyframeEntry, kT0 + 3 * kSec, "AAA", {{1, 7.0}}));
    EXPECT_TRUE(state.quote("AAA")->has.test(1));
    EXPECT_FALSE(state.quote("AAA")->has.test(2));
}

TEST(MarketState, ShouldApplyAStreamUpdateToTheNewestBarOnlyAndKeepTheMinuteBars) {
    const std::uint32_t m0 = static_cast<std::uint32_t>(kT0 / kSec);
    replay::MarketState state;
    state.apply(streamRecord(wire::RecordType::KeyframeEntry, kT0, "AAA,1", {bar(m0 - 60, 1, 2, 1, 2), bar(m0, 2, 2, 2, 2)},
                             true, 7));
    EXPECT_EQ(state.apply(streamRecord(wire::RecordType::Update, kT0 + kSec, "AAA,1", {bar(m0, 2, 3, 2, 3)}, false, 8)),
              replay::MarketState::Applied::Stream);
    // An update for a bar the window does not hold changes nothing.
    EXPECT_EQ(state.apply(streamRecord(wire::RecordType::Update, kT0 + kSec, "AAA,1", {bar(m0, 9, 9, 9, 9)}, false, 5)),
              replay::MarketState::Applied::Ignored);
    const replay::Window* w = state.window("AAA,1");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->origin, 7);
    EXPECT_EQ(w->newest(), 8);
    EXPECT_EQ(w->bars.back().close, 3);
    ASSERT_NE(state.minutes("AAA"), nullptr);
    EXPECT_EQ(state.minutes("AAA")->at(m0).close, 3);
    // Starting again at the keyframe's time keeps the minutes as the records
    // up to then left them: the update after it goes, whatever the bars' own
    // (feed) times say.
    state.startAt(kT0);
    EXPECT_EQ(state.window("AAA,1"), nullptr);
    EXPECT_EQ(state.quote("AAA"), nullptr);
    ASSERT_NE(state.minutes("AAA"), nullptr);
    EXPECT_EQ(state.minutes("AAA")->count(m0), 0u);
    EXPECT_EQ(state.minutes("AAA")->count(m0 - 60), 1u);
}

// ---- The keyframe index ----

wire::Record marker(wire::RecordType type, std::int64_t t, std::uint64_t session, std::uint32_t count,
                    std::uint8_t flags = 0) {
    wire::Record r;
    r.type = type;
    r.timeNs = t;
    r.session = session;
    r.count = count;
    r.flags = flags;
    return r;
}

TEST(KeyframeIndex, ShouldUseOnlyKeyframesThatEnded) {
    replay::KeyframeIndex index;
    index.add(1, marker(wire::RecordType::KeyframeBegin, kT0, 1, 2, wire::kSessionStart));
    index.add(4, marker(wire::RecordType::KeyframeEnd, kT0, 1, 2));
    index.add(50, marker(wire::RecordType::KeyframeBegin, kT0 + 60 * kSec, 1, 2));  // its gateway was killed
    index.add(90, marker(wire::RecordType::KeyframeBegin, kT0 + 120 * kSec, 2, 3, wire::kSessionStart));
    index.add(94, marker(wire::RecordType::KeyframeEnd, kT0 + 120 * kSec, 2, 3));
    index.add(99, marker(wire::RecordType::KeyframeBegin, kT0 + 180 * kSec, 2, 3));
    index.add(103, marker(wire::RecordType::KeyframeEnd, kT0 + 180 * kSec, 2, 2));  // not the count it began with
    struct Case {
        std::int64_t at;
        std::optional<std::uint64_t> beginSeq;
    } cases[] = {{kT0 - kSec, std::nullopt}, {kT0, 1}, {kT0 + 90 * kSec, 1}, {kT0 + 120 * kSec, 90},
                 {kT0 + 999 * kSec, 90}};
    for (const Case& c : cases) {
        const auto k = index.atOrBefore(c.at);
        ASSERT_EQ(k.has_value(), c.beginSeq.has_value()) << replay::formatIso(c.at);
        if (k) {
            EXPECT_EQ(k->beginSeq, *c.beginSeq) << replay::formatIso(c.at);
        }
    }
    EXPECT_EQ(index.complete().size(), 2u);
    EXPECT_TRUE(index.atOrBefore(kT0 + 130 * kSec)->sessionStart);
    EXPECT_EQ(index.lastSeq(), 103u);
}

// ---- Bars of other intervals and histories ----

std::map<std::uint32_t, wire::Bar> minutesFrom(std::uint32_t start, const std::vector<double>& closes) {
    std::map<std::uint32_t, wire::Bar> m;
    double open = closes.front();
    for (std::size_t i = 0; i < closes.size(); ++i) {
        const std::uint32_t t = start + static_cast<std::uint32_t>(60 * i);
        m[t] = wire::Bar{t, t + 60, open, std::max(open, closes[i]) + 0.5, std::min(open, closes[i]) - 0.5, closes[i], 10};
        open = closes[i];
    }
    return m;
}

TEST(ReplayBars, ShouldAggregateMinutesIntoBarsOfTheCalendar) {
    const std::uint32_t m0 = static_cast<std::uint32_t>(kT0 / kSec);  // 10:30, a multiple of 5 and 15 minutes
    const auto minutes = minutesFrom(m0 + 120, {1, 2, 3, 4, 5, 6, 7});  // 10:32 .. 10:38
    const auto five = replay::aggregate({simfeed::BarUnit::Minute, 5}, minutes, INT64_MAX);
    ASSERT_EQ(five.size(), 2u);
    EXPECT_EQ(five[0], (wire::Bar{m0, m0 + 300, 1, 3.5, 0.5, 3, 30}));
    EXPECT_EQ(five[1], (wire::Bar{m0 + 300, m0 + 600, 3, 7.5, 2.5, 7, 40}));
    const auto day = replay::aggregate({simfeed::BarUnit::Day, 1}, minutes, INT64_MAX);
    ASSERT_EQ(day.size(), 1u);
    EXPECT_EQ(day[0].start, m0 - 37800);  // midnight
    EXPECT_EQ(day[0].volume, 70);
    EXPECT_EQ(day[0].close, 7);
}

TEST(ReplayBars, ShouldBuildTheNewestBarsFromTheirMinutesOnly) {
    const std::uint32_t m0 = static_cast<std::uint32_t>(kT0 / kSec);
    std::vector<double> closes;
    for (int i = 0; i < 300; ++i) closes.push_back(100 + i);
    const auto minutes = minutesFrom(m0, closes);
    for (const simfeed::Interval interval : {simfeed::Interval{simfeed::BarUnit::Minute, 1},
                                             simfeed::Interval{simfeed::BarUnit::Minute, 15},
                                             simfeed::Interval{simfeed::BarUnit::Minute, 60}}) {
        const auto all = replay::aggregate(interval, minutes, INT64_MAX);
        const auto tail = replay::recent(interval, minutes, INT64_MAX, 3);
        ASSERT_EQ(tail.size(), 3u);
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), all.end() - 3)) << interval.multiple;
    }
}

TEST(ReplayBars, ShouldNeverPutABarOrMinuteAfterTheClockIntoAHistory) {
    const std::uint32_t m0 = static_cast<std::uint32_t>(kT0 / kSec);
    const auto minutes = minutesFrom(m0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    struct Case {
        const char* query;
        std::int64_t clock;
        std::size_t bars;
        double lastClose;
    } cases[] = {
        {"AAA,5", m0 + 7 * 60 + 30, 2, 8},                     // the forming bar holds 10:35..10:37 only
        {"AAA,1", m0 + 3 * 60, 4, 4},
        {"AAA,5,&EndETime=4000000000", m0 + 4 * 60 + 59, 1, 5},  // an end time after the clock: the clock
        {"AAA,5,&EndETime=1796726100", m0 + 11 * 60, 2, 6},      // an end time before it: the end time
        {"AAA,1", m0 - 1, 0, 0},
    };
    for (const Case& c : cases) {
        const auto bars = replay::historyAsOf(c.query, &minutes, c.clock, 100);
        ASSERT_TRUE(bars.has_value()) << c.query;
        ASSERT_EQ(bars->size(), c.bars) << c.query << " at " << c.clock - m0;
        for (const wire::Bar& b : *bars) EXPECT_LE(static_cast<std::int64_t>(b.start), c.clock) << c.query;
        if (c.bars > 0) {
            EXPECT_EQ(bars->back().close, c.lastClose) << c.query;
        }
    }
    EXPECT_FALSE(replay::historyAsOf("AAA", &minutes, m0, 10));
    EXPECT_EQ(replay::historyAsOf("AAA,1", &minutes, m0 + 600, 3)->size(), 3u);
}

// ---- The configuration ----

struct Env {
    std::map<std::string, std::string> values;
    replay::Getenv get() const {
        return [this](const char* name) -> const char* {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : found->second.c_str();
        };
    }
};

std::string writeFile(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

TEST(ReplayConfig, ShouldReadTheFileAndLetTheEnvironmentOverrideIt) {
    Env env;
    env.values["TELLIVAR_REPLAY_CONFIG"] = writeFile("replay-ok.conf",
                                                     "# a desk's replay\nservers = nats://127.0.0.1:4999\n"
                                                     "recording = DESK1\nfrom = \"2026-12-08T10:30:00Z\"\n"
                                                     "speed = 8\ncontrol-subject = desk.replay.control\n");
    replay::Config config;
    std::string error;
    ASSERT_TRUE(replay::loadConfig(env.get(), &config, &error, "")) << error;
    EXPECT_EQ(config.recording, "DESK1");
    EXPECT_EQ(config.fromNs, kT0);
    EXPECT_EQ(config.speed, 8);
    EXPECT_EQ(config.controlSubject, "desk.replay.control");
    EXPECT_EQ(config.nats.servers, std::vector<std::string>{"nats://127.0.0.1:4999"});
    env.values["TELLIVAR_REPLAY_RECORDING"] = "OTHER";
    env.values["TELLIVAR_REPLAY_SPEED"] = "max";
    env.values["TELLIVAR_REPLAY_FROM"] = "2026-12-08T10:31:00Z";
    env.values["TELLIVAR_NATS_URL"] = "nats://127.0.0.1:5000";
    replay::Config overridden;
    ASSERT_TRUE(replay::loadConfig(env.get(), &overridden, &error, "")) << error;
    EXPECT_EQ(overridden.recording, "OTHER");
    EXPECT_EQ(overridden.speed, 0);
    EXPECT_EQ(overridden.fromNs, kT0 + 60 * kSec);
    EXPECT_EQ(overridden.nats.servers, std::vector<std::string>{"nats://127.0.0.1:5000"});
}

TEST(ReplayConfig, ShouldRejectWhatItCannotUseWithTheFileAndLine) {
    struct Case {
        const char* text;
        const char* variable;  // and its value after '='
        const char* expected;
    } cases[] = {
        {"recording = A\nspeed = 100\n", "", "replay-bad.conf:2: bad speed 100"},
        {"recording = A\nfrom = 2026-12-08 10:30\n", "", "replay-bad.conf:2: bad time"},
        {"recording = A\nrecording = B\n", "", "replay-bad.conf:2: recording is given twice"},
        {"recording = A\nspeeed = 1\n", "", "replay-bad.conf:2: unknown key speeed"},
        {"recording = A.B\n", "", "replay-bad.conf:1: bad recording name"},
        {"servers = nats://127.0.0.1:1\n", "", "no recording named"},
        {"recording = A\n", "TELLIVAR_REPLAY_FROM=yesterday", "TELLIVAR_REPLAY_FROM: bad time yesterday"},
        {"recording = A\ncontrol-subject = a..b\n", "", "replay-bad.conf:2: bad control subject"},
    };
    for (const Case& c : cases) {
        Env env;
        env.values["TELLIVAR_REPLAY_CONFIG"] = writeFile("replay-bad.conf", c.text);
        const std::string variable = c.variable;
        if (!variable.empty())
            env.values[variable.substr(0, variable.find('='))] = variable.substr(variable.find('=') + 1);
        replay::Config config;
        std::string error;
        EXPECT_FALSE(replay::loadConfig(env.get(), &config, &error, "")) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

}  // namespace

// The host's side of a replay, in process: the option checks, the speed
// ladder, the REPLAY line, what the keys ask of the controls and how a
// refusal reads, against control functions of the test's own; and the
// lookup of the controls once a library that has them is loaded globally.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "interval.h"
#include "replay_controls.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kTenThirtyOne = 1796725860LL * kSecond;  // 2026-12-08T10:31:00Z

TEST(ReplayTimeOption, ShouldReadUtcTimesToTheNanosecond) {
    const struct {
        const char* text;
        std::int64_t ns;
    } cases[] = {
        {"2026-12-08T10:31:00Z", kTenThirtyOne},
        {"2026-12-08T10:31:00.250Z", kTenThirtyOne + 250000000},
        {"2026-12-08T10:31:00.000000001Z", kTenThirtyOne + 1},
        {"1970-01-01T00:00:00Z", 0},
        {"2024-02-29T23:59:59Z", 1709251199LL * kSecond},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(parseReplayTime(c.text, error), std::optional<std::int64_t>(c.ns)) << c.text << ": " << error;
    }
}

TEST(ReplayTimeOption, ShouldRejectAnythingButAUtcTimeSayingWhy) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"2026-12-08T10:31:00", "end it in Z"},
        {"2026-12-08T10:31:00+01:00", "no offset"},
        {"2026-12-08T10:31:00-0500", "no offset"},
        {"2026-12-08 10:31:00Z", "not a UTC time"},
        {"2026-12-08T10:31Z", "not a UTC time"},
        {"2026-12-08", "not a UTC time"},
        {"2026-12-08t10:31:00z", "not a UTC time"},
        {"2026-12-08T10:31:00.1234567890Z", "not a UTC time"},
        {"1796725860", "not a UTC time"},
        {"", "not a UTC time"},
        {"2026-02-29T10:31:00Z", "no such day"},
        {"2026-13-01T10:31:00Z", "no such day"},
        {"2026-12-08T24:00:00Z", "no such time of day"},
        {"2026-12-08T10:60:00Z", "no such time of day"},
        {"2106-02-08T00:00:00Z", "outside 1970 to 2106"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseReplayTime(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.text << ": " << error;
    }
}

TEST(ReplaySpeedOption, ShouldTakeAQuarterToSixtyFourOrMaxAndHandOnItsPlainText) {
    const struct {
        const char* text;
        const char* handed;  // nullptr: refused
        const char* why;
    } cases[] = {
        {"8", "8", ""},         {"0.25", "0.25", ""},        {"0.50", "0.5", ""},
        {"64", "64", ""},       {"+2", "2", ""},             {"max", "max", ""},
        {"MAX", "max", ""},     {"0.24", nullptr, "out of range"}, {"64.5", nullptr, "out of range"},
        {"0", nullptr, "out of range"}, {"-1", nullptr, "out of range"}, {"fast", nullptr, "not a speed"},
        {"8x", nullptr, "not a speed"}, {"nan", nullptr, "not a speed"}, {"", nullptr, "not a speed"},
    };
    for (const auto& c : cases) {
        std::string error;
        const std::optional<std::string> handed = parseReplaySpeed(c.text, error);
        EXPECT_EQ(handed, c.handed != nullptr ? std::optional<std::string>(c.handed) : std::nullopt) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.text << ": " << error;
    }
}

TEST(ReplaySpeedLadder, ShouldStepThroughTheSpeedsAndStopAtTheEnds) {
    const struct {
        double from;
        int direction;
        std::optional<double> to;
    } cases[] = {
        {1, +1, 2},     {1, -1, 0.5},   {0.5, -1, 0.25}, {0.25, -1, std::nullopt}, {32, +1, 64},
        {64, +1, 0},    {0, -1, 64},    {0, +1, std::nullopt}, {3, +1, 4},  {3, -1, 2},
        {0.3, -1, 0.25}, {100, -1, 64},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nextReplaySpeed(c.from, c.direction), c.to) << c.from << " " << c.direction;
    }
    EXPECT_EQ(replaySpeedText(0.25), "0.25x");
    EXPECT_EQ(replaySpeedText(16), "16x");
    EXPECT_EQ(replaySpeedText(0), "max");
}

TEST(ReplayLine, ShouldShowTheClockSpeedAndStateWithMillisecondsOnlyWhenNotWhole) {
    tellivar_replay_status status{};
    status.clock_ns = kTenThirtyOne;
    status.first_ns = kTenThirtyOne - 60 * kSecond;
    status.last_ns = kTenThirtyOne + 60 * kSecond;
    status.speed = 8;
    status.playing = 1;
    status.connected = 1;
    std::strcpy(status.recording, "DESK1");
    EXPECT_EQ(replayLine(status), "REPLAY  2026-12-08T10:31:00Z  8x  playing  (recording DESK1)");
    status.playing = 0;
    status.clock_ns += 125000000;
    status.speed = 0;
    EXPECT_EQ(replayLine(status), "REPLAY  2026-12-08T10:31:00.125Z  max  paused  (recording DESK1)");
    status.ended = 1;
    EXPECT_EQ(replayLine(status), "REPLAY  2026-12-08T10:31:00.125Z  max  ended  (recording DESK1)");
    status.connected = 0;
    EXPECT_EQ(replayLine(status), "REPLAY  2026-12-08T10:31:00.125Z  max  ended  not connected  (recording DESK1)");
    const tellivar_replay_status before{};
    EXPECT_EQ(replayLine(before), "REPLAY  not connected");
    EXPECT_EQ(formatIsoNanos(-1), "1969-12-31T23:59:59.999Z");
}

TEST(ReplayStep, ShouldLastOneBarOfTheChartsInterval) {
    constexpr std::int32_t table[] = {1, 1, 5, 5, 60, 60, 0, 0};
    const auto seconds = [&](const std::string& text, std::int64_t clock) {
        std::string error;
        const std::optional<IntervalSpec> interval = parseInterval(text, offeredMinutes(table), "MWDm", error);
        return interval ? barSeconds(*interval, clock) : std::nullopt;
    };
    const std::int64_t january31 = 1801353600LL * kSecond;  // 2027-01-31T00:00:00Z
    EXPECT_EQ(seconds("1", kTenThirtyOne), 60u);
    EXPECT_EQ(seconds("5", kTenThirtyOne), 300u);
    EXPECT_EQ(seconds("60", kTenThirtyOne), 3600u);
    EXPECT_EQ(seconds("D1", kTenThirtyOne), 86400u);
    EXPECT_EQ(seconds("W1", kTenThirtyOne), 7 * 86400u);
    EXPECT_EQ(seconds("M1", kTenThirtyOne), 31 * 86400u);  // December
    EXPECT_EQ(seconds("M1", january31), 28 * 86400u);      // to the last of February
    EXPECT_EQ(seconds("D999", kTenThirtyOne), 999 * 86400u);
}

// Control functions of the test's own: they record the calls and keep a state.
struct Recorder {
    std::vector<std::string> calls;
    tellivar_replay_status status{};
    int result = 0;  // what every control returns
    const char* reason = "";
};
Recorder* recorder = nullptr;

int record(const std::string& call) {
    recorder->calls.push_back(call);
    std::snprintf(recorder->status.error, sizeof recorder->status.error, "%s",
                  recorder->result == 0 ? "" : recorder->reason);
    return recorder->result;
}

const ReplayFunctions kRecording{
    [] { return record("play"); },
    [] { return record("pause"); },
    [](double speed) { return record("speed " + replaySpeedText(speed)); },
    [](uint32_t seconds) { return record("step " + std::to_string(seconds)); },
    [](int64_t ns) { return record("seek " + formatIsoNanos(ns)); },
    [](tellivar_replay_status* status) {
        *status = recorder->status;
        return 0;
    },
};

class ReplayKeys : public testing::Test {
protected:
    void SetUp() override {
        recorder = &state_;
        state_.status.speed = 1;
        state_.status.playing = 1;
    }
    void TearDown() override { recorder = nullptr; }
    Recorder state_;
    const ReplayControls controls_{kRecording};
};

TEST_F(ReplayKeys, ShouldPauseWhilePlayingPlayWhilePausedAndStepTheSpeed) {
    const struct {
        char key;
        int playing;
        double speed;
        std::optional<std::string> call;  // nullopt: the key does nothing
    } cases[] = {
        {' ', 1, 1, "pause"}, {' ', 0, 1, "play"},        {'+', 1, 1, "speed 2x"}, {'=', 1, 2, "speed 4x"},
        {'-', 1, 1, "speed 0.5x"}, {'_', 1, 0, "speed 64x"}, {'+', 1, 64, "speed max"}, {'q', 1, 1, std::nullopt},
        {'\n', 1, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        state_.calls.clear();
        state_.status.playing = c.playing;
        state_.status.speed = c.speed;
        const std::optional<std::string> outcome = replayKey(controls_, c.key);
        EXPECT_EQ(outcome.has_value(), c.call.has_value()) << c.key;
        EXPECT_EQ(state_.calls, c.call ? std::vector<std::string>{*c.call} : std::vector<std::string>{}) << c.key;
        EXPECT_EQ(outcome.value_or(""), "") << c.key;
    }
}

TEST_F(ReplayKeys, ShouldSayTheSpeedIsAtItsEndWithoutCallingTheReplay) {
    state_.status.speed = 0;
    EXPECT_EQ(replayKey(controls_, '+'), std::optional<std::string>("the speed is already the fastest (max)"));
    state_.status.speed = 0.25;
    EXPECT_EQ(replayKey(controls_, '-'), std::optional<std::string>("the speed is already the slowest (0.25x)"));
    EXPECT_TRUE(state_.calls.empty());
}

TEST_F(ReplayKeys, ShouldQuoteTheReplaysReasonWhenItRefuses) {
    state_.result = -1;
    state_.reason = "the time lies outside the recording";
    EXPECT_EQ(controls_.seek(kTenThirtyOne),
              "the replay refused to go to 2026-12-08T10:31:00Z: the time lies outside the recording");
    state_.reason = "";
    EXPECT_EQ(controls_.step(300), "the replay refused a step of 300 s: it gave no reason");
    EXPECT_EQ(state_.calls, (std::vector<std::string>{"seek 2026-12-08T10:31:00Z", "step 300"}));
}

TEST_F(ReplayKeys, ShouldEndTextsTheReplayLeftUnterminatedInsideTheirFields) {
    std::memset(state_.status.recording, 'R', sizeof state_.status.recording);
    std::memset(state_.status.error, 'E', sizeof state_.status.error);
    const std::optional<tellivar_replay_status> status = controls_.status();
    ASSERT_TRUE(status);
    EXPECT_EQ(std::strlen(status->recording), sizeof status->recording - 1);
    EXPECT_EQ(std::strlen(status->error), sizeof status->error - 1);
}

// Last in this file's order of interest, but independent: nothing loaded the
// fake before this test's own dlopen.
TEST(ReplayLookup, ShouldFindTheControlsOnlyOnceALibraryWithThemIsLoadedGlobally) {
    EXPECT_FALSE(findReplayFunctions());
    void* library = dlopen(FAKE_REPLAY_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const std::optional<ReplayFunctions> found = findReplayFunctions();
    ASSERT_TRUE(found);
    EXPECT_EQ(reinterpret_cast<void*>(found->seek), dlsym(library, "tellivar_replay_seek"));
}

}  // namespace

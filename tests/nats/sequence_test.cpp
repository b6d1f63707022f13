// The sequence rule of quotes and update streams (natsfeed/sequence.h): no
// server, no threads.
#include "natsfeed/sequence.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace natsfeed {

void PrintTo(SequenceDecision decision, std::ostream* out) { *out << toString(decision); }

namespace {

using D = SequenceDecision;
constexpr std::uint64_t kRun = 7, kNextRun = 3;  // gateway epochs: names, not ordered

struct Case {
    const char* what;
    SequencePosition have;
    SequenceStep incoming;
    SequenceDecision expected;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class SequenceRule : public ::testing::TestWithParam<Case> {};

TEST_P(SequenceRule, ShouldDecideByWhatTheSetHas) {
    const Case& c = GetParam();
    EXPECT_EQ(decide(c.have, c.incoming), c.expected) << c.what;
}

const SequencePosition kNone{};
const SequencePosition kAt10{true, kRun, 10};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SequenceRule,
    ::testing::Values(
        Case{"the first image", kNone, {true, kRun, 10}, D::Apply},
        Case{"an image after a reset, of a seq far ahead", kNone, {true, kRun, 500}, D::Apply},
        Case{"an image at the applied seq", kAt10, {true, kRun, 10}, D::Apply},
        Case{"an image past the applied seq", kAt10, {true, kRun, 12}, D::Apply},
        Case{"an image older than the updates applied", kAt10, {true, kRun, 9}, D::OlderImage},
        Case{"an image of a new gateway run, numbered lower", kAt10, {true, kNextRun, 2}, D::Apply},
        Case{"an update before the image", kNone, {false, kRun, 11}, D::Hold},
        Case{"an update before the image of another run", kNone, {false, kNextRun, 1}, D::Hold},
        Case{"the next update", kAt10, {false, kRun, 11}, D::Apply},
        Case{"an update applied already", kAt10, {false, kRun, 10}, D::Duplicate},
        Case{"an update older than applied", kAt10, {false, kRun, 4}, D::Duplicate},
        Case{"an update after a missed one", kAt10, {false, kRun, 12}, D::Gap},
        Case{"the first update of a new gateway run", kAt10, {false, kNextRun, 1}, D::Gap},
        Case{"an update of a new run numbered next", kAt10, {false, kNextRun, 11}, D::Gap},
        Case{"an update of a new run numbered as applied", kAt10, {false, kNextRun, 10}, D::Gap}));

// A set's life through a gateway restart, each step decided on the position
// the steps before it left: Apply moves it, Gap resets it (the client asks
// for a fresh image and starts over), the rest leave it.
TEST(SequenceRuleOverTime, ShouldFollowAGatewayRestartThroughAFreshImage) {
    struct Step {
        SequenceStep incoming;
        SequenceDecision expected;
    };
    const std::vector<Step> steps{
        {{false, kRun, 5}, D::Hold},        // before the image
        {{true, kRun, 4}, D::Apply},        // the image
        {{false, kRun, 5}, D::Apply},       // the held one, replayed
        {{false, kRun, 5}, D::Duplicate},   // delivered twice
        {{true, kRun, 4}, D::OlderImage},   // a late answer to an earlier request
        {{false, kRun, 6}, D::Apply},
        {{false, kNextRun, 1}, D::Gap},     // the gateway ran anew: ask again
        {{false, kNextRun, 2}, D::Hold},    // asked again: held for the new image
        {{true, kNextRun, 2}, D::Apply},    // the new run's image, numbered below the old seq
        {{false, kNextRun, 3}, D::Apply},
        {{false, kNextRun, 3}, D::Duplicate},
    };
    SequencePosition have;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        EXPECT_EQ(decide(have, step.incoming), step.expected) << "step " << i;
        if (step.expected == D::Apply) have = advance(have, step.incoming);
        if (step.expected == D::Gap) have = {};
    }
    EXPECT_TRUE(have.haveImage);
    EXPECT_EQ(have.epoch, kNextRun);
    EXPECT_EQ(have.seq, 3u);
}

}  // namespace
}  // namespace natsfeed

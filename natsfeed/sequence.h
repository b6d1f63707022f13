// The sequence rule of a quote or an update stream: what a set does with a
// message of the gateway's sequence, given what it has. Pure: no lock, no
// clock, no I/O; the feed thread applies the decision (updates.cpp).
#pragma once

#include <cstdint>

namespace natsfeed {

// Where a set stands in the gateway's sequence. `epoch` names one run of the
// gateway (a new run starts a new sequence); `seq` is the last one applied.
struct SequencePosition {
    bool haveImage = false;
    std::uint64_t epoch = 0, seq = 0;
};

// A message of the sequence. `image`: the answer to this set's Subscribe
// (its inbox reply), which starts the set's sequence at `seq`; otherwise an
// update from the broadcast subject, which must be the next one.
struct SequenceStep {
    bool image = false;
    std::uint64_t epoch = 0, seq = 0;
};

enum class SequenceDecision {
    Apply,       // take it; the set now stands at its epoch and seq
    Hold,        // an update before the set's image: keep it for then
    Duplicate,   // an update the set has applied already: ignore it
    Gap,         // updates were missed, or the gateway ran anew: ask for a fresh image
    OlderImage,  // an image older than the updates applied since: ignore it
};

SequenceDecision decide(const SequencePosition& have, const SequenceStep& incoming);

// The position after `incoming` was applied.
inline SequencePosition advance(SequencePosition have, const SequenceStep& incoming) {
    have.haveImage = have.haveImage || incoming.image;
    have.epoch = incoming.epoch;
    have.seq = incoming.seq;
    return have;
}

const char* toString(SequenceDecision decision);

}  // namespace natsfeed

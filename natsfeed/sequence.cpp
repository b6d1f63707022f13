// The sequence rule (sequence.h).
#include "natsfeed/sequence.h"

namespace natsfeed {

SequenceDecision decide(const SequencePosition& have, const SequenceStep& incoming) {
    if (incoming.image) {
        // An image answers a request made earlier: when updates after it
        // were applied meanwhile, it would take the set back in time. An
        // image of another gateway run starts the set over.
        if (have.haveImage && incoming.epoch == have.epoch && incoming.seq < have.seq)
            return SequenceDecision::OlderImage;
        return SequenceDecision::Apply;
    }
    if (!have.haveImage) return SequenceDecision::Hold;
    if (incoming.epoch != have.epoch || incoming.seq > have.seq + 1) return SequenceDecision::Gap;
    if (incoming.seq <= have.seq) return SequenceDecision::Duplicate;
    return SequenceDecision::Apply;
}

const char* toString(SequenceDecision decision) {
    switch (decision) {
    case SequenceDecision::Apply: return "apply";
    case SequenceDecision::Hold: return "hold";
    case SequenceDecision::Duplicate: return "duplicate";
    case SequenceDecision::Gap: return "gap";
    case SequenceDecision::OlderImage: return "older image";
    }
    return "?";
}

}  // namespace natsfeed

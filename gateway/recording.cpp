// The recording (gateway.h, recorder.h): the stream kept open, the recorded
// universe kept subscribed, the updates recorded as they are published and
// the keyframes. All under the gateway's mu_: a record leaves in the order of
// the live messages, and no update falls inside a keyframe.
#include <algorithm>
#include <iterator>
#include <optional>
#include <sstream>

#include "gateway/feed_sets.h"
#include "gateway/gateway.h"

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

// How often the housekeeping looks while the stream is being opened, or the
// first keyframe waits for the universe's first images.
constexpr std::chrono::milliseconds kLook{50};
// A JetStream that did not answer about a stream it had: asked again after this.
constexpr std::chrono::milliseconds kBusyRetry{1000};

}  // namespace

// The housekeeping thread. The stream is opened on the recorder's own thread:
// this never waits for JetStream.
void Gateway::keepRecording(Clock::time_point now, Clock::time_point* next) {
    if (!recorder_) return;
    Recording& r = recording_;
    recorder_->expire(now);
    // "No responders": the stream deleted, or its cluster electing a new
    // leader. Records are dropped until the stream was looked at (added again
    // when gone); then a keyframe, first thing, rebuilds what was lost.
    if (recorder_->takeStreamLost() && r.streamOpen && !r.recheck) {
        r.recheck = true;
        r.nextStreamTry = now;
        say("recording: no stream took a record of " + recorder_->options().name + "; checking the stream");
    }
    if (std::optional<Recorder::Opened> opened = recorder_->takeOpened()) {
        r.opening = false;
        if (opened->ok) {
            r.streamOpen = true;
            r.recheck = false;
            r.toldStreamFailure = false;
            r.keyframeDue = r.sessionStarted;
            say("recording into the stream " + recorder_->options().name + " (" + opened->note + ")");
        } else if (opened->timedOut && r.streamOpen) {
            // JetStream busy (a cluster electing the stream's leader): the
            // stream was there a moment ago; records wait (dropped) until it answers.
            r.nextStreamTry = now + kBusyRetry;
        } else {
            r.streamOpen = false;
            r.recheck = false;
            recorder_->countError();
            if (!r.toldStreamFailure) {
                std::ostringstream line;
                line << "recording: " << opened->error << "; trying again every "
                     << recorder_->options().streamRetry.count() / 1000.0 << " s";
                say(line.str());
            }
            r.toldStreamFailure = true;
            r.nextStreamTry = now + recorder_->options().streamRetry;
        }
    }
    if (!r.opening && (!r.streamOpen || r.recheck) && now >= r.nextStreamTry) {
        recorder_->requestOpen();
        r.opening = true;
    }
    if (r.opening) {
        *next = std::min(*next, now + kLook);
    } else if (!r.streamOpen || r.recheck) {
        *next = std::min(*next, r.nextStreamTry);
    }
    if (feedUp_ && !r.universeOpen) openUniverse();
    if (!r.streamOpen || r.recheck || !r.universeOpen) return;
    if (!r.sessionStarted) {
        if (!universeImaged() && now < r.universeSince + recorder_->options().firstImages) {
            *next = std::min(*next, now + kLook);
            return;
        }
        if (now < r.nextKeyframe) {  // the last try was not whole
            *next = std::min(*next, r.nextKeyframe);
            return;
        }
        // Not whole (records dropped): no session starts on it; again shortly.
        const bool whole = writeKeyframe(wire::kSessionStart);
        r.sessionStarted = whole;
        r.keyframeDue = false;
        r.nextKeyframe = now + (whole ? recorder_->options().keyframe : kBusyRetry);
        if (!whole) *next = std::min(*next, r.nextKeyframe);
        return;
    }
    if (r.keyframeDue || now >= r.nextKeyframe) {
        const bool whole = writeKeyframe(0);
        r.keyframeDue = false;
        r.nextKeyframe = now + (whole ? recorder_->options().keyframe : kBusyRetry);
    }
    *next = std::min(*next, r.nextKeyframe);
}

// Each universe symbol's quote set and minute stream, held for as long as
// the gateway runs; no client's interest, so no quota counts them.
void Gateway::openUniverse() {
    for (const std::string& symbol : recorder_->options().symbols) {
        if (QuoteFeed* quote = quoteFeed(symbol)) {
            quote->kept = true;
        } else {
            say("recording: the feed refused the symbol " + symbol);
        }
        const std::string query = symbol + ",1";
        if (StreamFeed* stream = streamFeed(query)) {
            stream->kept = true;
        } else {
            say("recording: the feed refused the stream " + query);
        }
    }
    recording_.universeOpen = true;
    recording_.universeSince = Clock::now();
}

// Every kept quote has a value and every kept stream its window.
bool Gateway::universeImaged() const {
    for (const auto& [symbol, quote] : quotes_)
        if (quote->kept && std::none_of(std::begin(quote->has), std::end(quote->has), [](bool has) { return has; }))
            return false;
    for (const auto& [query, stream] : streams_)
        if (stream->kept && (!stream->loaded || stream->window.empty())) return false;
    return true;
}

// The image of every live set, between a begin that says how many entries
// follow and an end that says how many were sent. True when all were sent.
bool Gateway::writeKeyframe(std::uint8_t flags) {
    if (!mayPublish()) return false;
    const std::string& name = recorder_->options().name;
    std::vector<std::pair<const std::string*, std::vector<std::uint8_t>>> entries;
    for (const auto& [symbol, quote] : quotes_)
        if (std::any_of(std::begin(quote->has), std::end(quote->has), [](bool has) { return has; }))
            entries.emplace_back(&quote->recordSubject, wire::encode(quoteImage(*quote)));
    for (const auto& [query, stream] : streams_)
        if (stream->loaded && !stream->window.empty())
            entries.emplace_back(&stream->recordSubject, wire::encode(streamImage(*stream)));
    const std::int64_t time = recordTime();
    const std::string marks = wire::recordKeyframeSubject(name);
    wire::Record begin;
    begin.type = wire::RecordType::KeyframeBegin;
    begin.timeNs = time;
    begin.session = epoch_;
    begin.count = static_cast<std::uint32_t>(entries.size());
    begin.flags = flags;
    if (!recorder_->send(marks, wire::encodeRecord(begin))) return false;
    std::uint32_t sent = 0;
    for (const auto& [subject, bytes] : entries)
        if (recorder_->send(*subject, wire::encodeRecord(wire::RecordType::KeyframeEntry, time, epoch_, bytes))) ++sent;
    wire::Record end;
    end.type = wire::RecordType::KeyframeEnd;
    end.timeNs = time;
    end.session = epoch_;
    end.count = sent;
    const bool whole = recorder_->send(marks, wire::encodeRecord(end)) && sent == begin.count;
    if (whole) recorder_->countKeyframe();
    return whole;
}

// Whoever published `message` on its live subject (the feed thread).
void Gateway::recordUpdate(const std::string& subject, const std::vector<std::uint8_t>& message) {
    // Before the session's first keyframe nothing could rebuild an update.
    if (!recorder_ || !recording_.sessionStarted || !mayPublish()) return;
    if (!recording_.streamOpen || recording_.recheck) {
        recorder_->countDropped();
        return;
    }
    recorder_->send(subject, wire::encodeRecord(wire::RecordType::Update, recordTime(), epoch_, message));
}

std::int64_t Gateway::recordTime() {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    recording_.lastTimeNs = std::max(recording_.lastTimeNs, now);
    return recording_.lastTimeNs;
}

}  // namespace gateway

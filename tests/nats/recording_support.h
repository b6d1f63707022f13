// Reading a gateway's recording (wire/record.h) back from its JetStream
// stream, record by record, for the tests of the recording.
#pragma once

#include <gtest/gtest.h>
#include <nats/nats.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "wire/record.h"

namespace {

// One message of the recording: its subject, the record and the body's bytes.
struct Recorded {
    std::string subject;
    wire::Record record;
    std::vector<std::uint8_t> body;  // an Update's or KeyframeEntry's wire message
};

// Every message of the stream `name`, in its order; empty when there is none.
std::vector<Recorded> readRecording(natsConnection* nats, const std::string& name) {
    std::vector<Recorded> all;
    jsCtx* js = nullptr;
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (natsConnection_JetStream(&js, nats, nullptr) != NATS_OK) return all;
    if (js_GetStreamInfo(&info, js, name.c_str(), nullptr, &code) == NATS_OK) {
        for (std::uint64_t seq = info->State.FirstSeq; seq != 0 && seq <= info->State.LastSeq; ++seq) {
            natsMsg* msg = nullptr;
            if (js_GetMsg(&msg, js, name.c_str(), seq, nullptr, &code) != NATS_OK) continue;
            const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
            const std::size_t size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
            std::string reason;
            const auto record = wire::decodeRecord(data, size, &reason);
            EXPECT_TRUE(record) << "message " << seq << " on " << natsMsg_GetSubject(msg) << ": " << reason;
            if (record) {
                Recorded r{natsMsg_GetSubject(msg), *record, {}};
                if (size > 20) r.body.assign(data + 20, data + size);
                all.push_back(std::move(r));
            }
            natsMsg_Destroy(msg);
        }
        jsStreamInfo_Destroy(info);
    }
    jsCtx_Destroy(js);
    return all;
}

// The keyframes of a recording: where each begins, and whether it is whole
// (its entries, then an end that counts them all).
struct Keyframe {
    std::size_t at = 0;
    std::uint8_t flags = 0;
    std::uint32_t count = 0;
    bool whole = false;
    std::set<std::string> subjects;  // of its entries
};

std::vector<Keyframe> keyframesOf(const std::vector<Recorded>& all) {
    std::vector<Keyframe> found;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].record.type != wire::RecordType::KeyframeBegin) continue;
        Keyframe k{i, all[i].record.flags, all[i].record.count, false, {}};
        std::size_t j = i + 1;
        for (; j < all.size() && all[j].record.type == wire::RecordType::KeyframeEntry; ++j) k.subjects.insert(all[j].subject);
        k.whole = j < all.size() && all[j].record.type == wire::RecordType::KeyframeEnd && all[j].record.count == k.count &&
                  j - i - 1 == k.count;
        found.push_back(k);
    }
    return found;
}

// How many records of each type on each subject, for a failure's message.
std::string describe(const std::vector<Recorded>& all) {
    std::map<std::string, int> counts;
    for (const Recorded& r : all) ++counts[r.subject + "/" + std::to_string(static_cast<int>(r.record.type))];
    std::string text;
    for (const auto& [key, count] : counts) text += key + "=" + std::to_string(count) + " ";
    return text;
}

}  // namespace

#include "replay/reader.h"

#include <cstring>
#include <utility>

#include "wire/record.h"

namespace replay {
namespace {

std::string jsError(natsStatus status, jsErrCode code) {
    std::string text = natsconfig::errorText(status);
    if (code != 0) text += " (JetStream error " + std::to_string(static_cast<int>(code)) + ")";
    return text;
}

// Sequences probed for a decodable record at either end of the recording.
constexpr int kEndProbes = 64;

}  // namespace

bool Reader::open(const natsconfig::Settings& settings, const std::string& recording,
                  const std::string& controlSubject, ControlHandler control, std::string* error) {
    close();
    recording_ = recording;
    controlHandler_ = std::move(control);
    natsOptions* options = nullptr;
    if (natsconfig::makeOptions(settings, &options, error) != NATS_OK) return false;
    natsOptions_SetReconnectedCB(options, &Reader::onReconnected, this);
    natsStatus s = natsConnection_Connect(&conn_, options);
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        *error = natsconfig::connectFailure(settings, natsconfig::errorText(s));
        conn_ = nullptr;
        return false;
    }
    jsOptions jsOpts;
    jsOptions_Init(&jsOpts);
    jsOpts.Wait = 5000;
    if ((s = natsConnection_JetStream(&js_, conn_, &jsOpts)) != NATS_OK) {
        *error = "no JetStream: " + natsconfig::errorText(s);
        close();
        return false;
    }
    if (!controlSubject.empty()) {
        s = natsConnection_Subscribe(&control_, conn_, controlSubject.c_str(), &Reader::onControl, this);
        if (s != NATS_OK) {
            *error = "cannot subscribe to the control subject " + controlSubject + ": " + natsconfig::errorText(s);
            close();
            return false;
        }
    }
    return true;
}

void Reader::close() {
    dropConsumer();
    if (control_ != nullptr) {
        // A request being answered finishes before the handler's owner may go.
        if (natsSubscription_Drain(control_) == NATS_OK) natsSubscription_WaitForDrainCompletion(control_, 5000);
        else natsSubscription_Unsubscribe(control_);
        natsSubscription_Destroy(control_);
        control_ = nullptr;
    }
    if (js_ != nullptr) jsCtx_Destroy(std::exchange(js_, nullptr));
    if (conn_ != nullptr) {
        natsConnection_Close(conn_);
        natsConnection_Destroy(std::exchange(conn_, nullptr));
    }
}

void Reader::onReconnected(natsConnection*, void* closure) { ++static_cast<Reader*>(closure)->reconnects_; }

std::uint64_t Reader::lastSeq() {
    jsStreamInfo* info = nullptr;
    if (js_ == nullptr || js_GetStreamInfo(&info, js_, recording_.c_str(), nullptr, nullptr) != NATS_OK) return 0;
    const std::uint64_t last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return last;
}

bool Reader::connected() const {
    return conn_ != nullptr && natsConnection_Status(conn_) == NATS_CONN_STATUS_CONNECTED;
}

void Reader::dropConsumer() {
    if (consumer_ == nullptr) return;
    // Unsubscribe deletes the ephemeral consumer on the server.
    natsSubscription_Unsubscribe(consumer_);
    natsSubscription_Destroy(std::exchange(consumer_, nullptr));
}

// NATS library thread: the handler takes the client's lock briefly.
void Reader::onControl(natsConnection* nc, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<Reader*>(closure);
    const std::string request(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    const std::string answer = self->controlHandler_ ? self->controlHandler_(request) : std::string();
    if (natsMsg_GetReply(msg) != nullptr)
        natsConnection_Publish(nc, natsMsg_GetReply(msg), answer.data(), static_cast<int>(answer.size()));
    natsMsg_Destroy(msg);
}

bool Reader::recordTimeAt(std::uint64_t seq, std::int64_t* ns, std::string* error) {
    natsMsg* msg = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus s = js_GetMsg(&msg, js_, recording_.c_str(), seq, nullptr, &code);
    if (s == NATS_NOT_FOUND) return false;  // deleted or past the end
    if (s != NATS_OK) {
        *error = "cannot read the recording " + recording_ + ": " + jsError(s, code);
        return false;
    }
    const auto header = wire::decodeRecordHeader(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    if (!header) {
        ++skipped_;
        return false;
    }
    *ns = header->timeNs;
    return true;
}

bool Reader::span(Span* span, std::string* error) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus s = js_GetStreamInfo(&info, js_, recording_.c_str(), nullptr, &code);
    if (s != NATS_OK) {
        *error = s == NATS_NOT_FOUND ? "no recording " + recording_ + " on the server"
                                     : "cannot read the recording " + recording_ + ": " + jsError(s, code);
        return false;
    }
    span->firstSeq = info->State.FirstSeq;
    span->lastSeq = info->State.LastSeq;
    const std::uint64_t count = info->State.Msgs;
    jsStreamInfo_Destroy(info);
    if (count == 0) {
        *error = "the recording " + recording_ + " is empty";
        return false;
    }
    error->clear();
    bool first = false, last = false;
    for (int i = 0; i < kEndProbes && !first && span->firstSeq + i <= span->lastSeq; ++i)
        first = recordTimeAt(span->firstSeq + i, &span->firstNs, error);
    for (int i = 0; i < kEndProbes && !last && span->lastSeq >= span->firstSeq + i; ++i)
        last = recordTimeAt(span->lastSeq - i, &span->lastNs, error);
    if (!first || !last) {
        if (error->empty()) *error = "the recording " + recording_ + " holds no record this replay can read";
        return false;
    }
    return true;
}

bool Reader::indexKeyframes(KeyframeIndex* index, std::string* error) {
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = recording_.c_str();
    so.Config.AckPolicy = js_AckNone;
    if (index->lastSeq() > 0) {
        so.Config.DeliverPolicy = js_DeliverByStartSequence;
        so.Config.OptStartSeq = index->lastSeq() + 1;
    } else {
        so.Config.DeliverPolicy = js_DeliverAll;
    }
    natsSubscription* sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const std::string subject = wire::recordKeyframeSubject(recording_);
    natsStatus s = js_PullSubscribe(&sub, js_, subject.c_str(), nullptr, nullptr, &so, &code);
    if (s != NATS_OK) {
        *error = "cannot read the keyframes of " + recording_ + ": " + jsError(s, code);
        return false;
    }
    bool ok = true;
    while (true) {
        natsMsgList list = {nullptr, 0};
        s = natsSubscription_Fetch(&list, sub, 1024, 500, &code);
        if (s == NATS_TIMEOUT) break;
        if (s != NATS_OK) {
            *error = "cannot read the keyframes of " + recording_ + ": " + jsError(s, code);
            ok = false;
            break;
        }
        std::uint64_t pending = 0;
        for (int i = 0; i < list.Count; ++i) {
            natsMsg* msg = list.Msgs[i];
            jsMsgMetaData* meta = nullptr;
            if (natsMsg_GetMetaData(&meta, msg) != NATS_OK) continue;
            const auto record = wire::decodeRecord(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
            if (record) index->add(meta->Sequence.Stream, *record);
            else ++skipped_;
            pending = meta->NumPending;
            jsMsgMetaData_Destroy(meta);
        }
        natsMsgList_Destroy(&list);
        if (pending == 0) break;
    }
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    return ok;
}

bool Reader::start(std::uint64_t seq, std::string* error) {
    dropConsumer();
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = recording_.c_str();
    so.Config.AckPolicy = js_AckNone;
    so.Config.DeliverPolicy = js_DeliverByStartSequence;
    so.Config.OptStartSeq = seq == 0 ? 1 : seq;
    jsErrCode code = static_cast<jsErrCode>(0);
    const std::string subject = wire::recordWildcard(recording_);
    const natsStatus s = js_PullSubscribe(&consumer_, js_, subject.c_str(), nullptr, nullptr, &so, &code);
    if (s != NATS_OK) {
        consumer_ = nullptr;
        *error = "cannot read the recording " + recording_ + ": " + jsError(s, code);
        return false;
    }
    return true;
}

Reader::Fetch Reader::fetch(std::vector<RecordMessage>* out, int batch, int timeoutMs, std::string* error) {
    if (consumer_ == nullptr) {
        *error = "not reading";
        return Fetch::Failed;
    }
    natsMsgList list = {nullptr, 0};
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus s = natsSubscription_Fetch(&list, consumer_, batch, timeoutMs, &code);
    if (s == NATS_TIMEOUT) return Fetch::Nothing;
    if (s != NATS_OK) {
        *error = jsError(s, code);
        return Fetch::Failed;
    }
    for (int i = 0; i < list.Count; ++i) {
        natsMsg* msg = list.Msgs[i];
        RecordMessage record;
        jsMsgMetaData* meta = nullptr;
        if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
            record.seq = meta->Sequence.Stream;
            jsMsgMetaData_Destroy(meta);
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
        record.data.assign(data, data + natsMsg_GetDataLength(msg));
        out->push_back(std::move(record));
    }
    natsMsgList_Destroy(&list);
    return out->empty() ? Fetch::Nothing : Fetch::Records;
}

}  // namespace replay

// A measuring tool, not a test: how closely the replay keeps the recorded
// pace at 1x, 4x and 16x (recorded gaps against replayed gaps, p50 and p99
// of the error), and the highest replay rate through the feed contract
// against reading the stream bare. Starts its own nats-server -js on a free
// loopback port and writes the recordings itself.
//
//   replay_pacing [records for the rate, default 100000]
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "nats/nats_support.h"
#include "replay/client.h"
#include "wire/record.h"

namespace {

constexpr std::int64_t kSec = 1000000000;
constexpr std::int64_t kT0 = 1796725800 * kSec;

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Quote updates of one symbol at the given times, into stream `name`.
void writeRecording(const std::string& url, const std::string& name, const std::vector<std::int64_t>& times) {
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    natsConnection_ConnectTo(&nc, url.c_str());
    natsConnection_JetStream(&js, nc, nullptr);
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = name.c_str();
    const std::string subject = wire::recordWildcard(name);
    const char* subjects[] = {subject.c_str()};
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    jsStreamInfo* info = nullptr;
    if (js_AddStream(&info, js, &config, nullptr, nullptr) != NATS_OK) std::abort();
    jsStreamInfo_Destroy(info);
    const std::string quoteSubject = wire::recordQuoteSubject(name, "AAA");
    for (std::size_t i = 0; i < times.size(); ++i) {
        wire::Quote q;
        q.symbol = "AAA";
        q.tradeTime = static_cast<std::uint32_t>(times[i] / kSec);
        q.fields = {{1, static_cast<double>(i)}};
        const auto bytes = wire::encodeRecord(wire::RecordType::Update, times[i], 1, wire::encode(q));
        if (js_PublishAsync(js, quoteSubject.c_str(), bytes.data(), static_cast<int>(bytes.size()), nullptr) != NATS_OK)
            std::abort();
    }
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = 60000;
    if (js_PublishAsyncComplete(js, &options) != NATS_OK) std::abort();
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
}

// A host that stamps every quote update with the steady time it arrived.
class Stamper : public EConnectStatus, public ISSSetSink {
public:
    void onSendCredentials(std::int32_t, std::int32_t) override { client->SendLogon("", ""); }
    void onReady() override { note(ready); }
    void onMessage(const char* text) override {
        if (std::string(text).rfind("End of the recording", 0) == 0) note(ended);
    }
    void onSnapshotUpdate(SnapshotSet*, std::uint8_t, const std::uint8_t*) override { arrivals.push_back(steadyNs()); }
    void note(bool& flag) {
        std::lock_guard<std::mutex> lock(mu);
        flag = true;
        changed.notify_all();
    }
    void wait(bool& flag) {
        std::unique_lock<std::mutex> lock(mu);
        changed.wait(lock, [&] { return flag; });
    }

    TellivarClient* client = nullptr;
    std::vector<std::int64_t> arrivals;  // feed thread until ended
    std::mutex mu;
    std::condition_variable changed;
    bool ready = false, ended = false;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// Replays `name` at `speed` ("max" or a factor); the arrivals, and the
// seconds from ready to the end.
std::vector<std::int64_t> replayAt(const std::string& url, const std::string& name, const std::string& speed,
                                 double* seconds) {
    std::map<std::string, std::string> env = {
        {"TELLIVAR_REPLAY_RECORDING", name}, {"TELLIVAR_NATS_URL", url}, {"TELLIVAR_REPLAY_SPEED", speed},
        {"HOME", "/nonexistent"}};
    replay::ReplayClient client([&env](const char* n) -> const char* {
        const auto found = env.find(n);
        return found == env.end() ? nullptr : found->second.c_str();
    });
    Stamper host;
    host.client = &client;
    SnapshotSet* set = client.CreateSnapshotSet("AAA");
    set->sink = &host;
    set->Init();
    client.Connect(&host);
    host.wait(host.ready);
    const std::int64_t start = steadyNs();
    host.wait(host.ended);
    *seconds = static_cast<double>(steadyNs() - start) / 1e9;
    client.Disconnect();
    client.Shutdown();
    client.DeleteSnapshotSet(set);
    return host.arrivals;
}

// Reads every record of `name` with a pull consumer and decodes it: records a second.
double bareRate(const std::string& url, const std::string& name, std::size_t expected) {
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    natsConnection_ConnectTo(&nc, url.c_str());
    natsConnection_JetStream(&js, nc, nullptr);
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = name.c_str();
    so.Config.AckPolicy = js_AckNone;
    natsSubscription* sub = nullptr;
    js_PullSubscribe(&sub, js, wire::recordWildcard(name).c_str(), nullptr, nullptr, &so, nullptr);
    const std::int64_t start = steadyNs();
    std::size_t read = 0;
    while (read < expected) {
        natsMsgList list = {nullptr, 0};
        if (natsSubscription_Fetch(&list, sub, 256, 1000, nullptr) != NATS_OK) break;
        for (int i = 0; i < list.Count; ++i)
            if (wire::decodeRecord(natsMsg_GetData(list.Msgs[i]), natsMsg_GetDataLength(list.Msgs[i]))) ++read;
        natsMsgList_Destroy(&list);
    }
    const double seconds = static_cast<double>(steadyNs() - start) / 1e9;
    natsSubscription_Destroy(sub);
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
    return static_cast<double>(read) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rateRecords = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    if (NatsServer::program().empty()) {
        std::fprintf(stderr, "nats-server is not installed\n");
        return 1;
    }
    char pattern[] = "/tmp/replay-pacing-XXXXXX";
    const std::string store = mkdtemp(pattern);
    NatsServer::Options options;
    options.jetStreamStore = store + "/js";
    NatsServer server(options);

    // 400 updates with gaps of 5 to 45 ms (recorded), about 10 s at 1x.
    std::mt19937 random(7);
    std::vector<std::int64_t> times;
    std::int64_t t = kT0;
    for (int i = 0; i < 400; ++i) {
        times.push_back(t);
        t += (5 + static_cast<std::int64_t>(random() % 41)) * 1000000;
    }
    writeRecording(server.url(), "PACE", times);
    std::printf("pacing: %zu updates, recorded gaps 5-45 ms\n", times.size());
    std::printf("%6s %12s %12s %12s\n", "speed", "p50 ms", "p99 ms", "max ms");
    for (const double speed : {1.0, 4.0, 16.0}) {
        double seconds = 0;
        const auto arrivals = replayAt(server.url(), "PACE", std::to_string(static_cast<int>(speed)), &seconds);
        // The first arrival is the set's image at the start (the first
        // record's time); arrival i is then record i.
        std::vector<double> errors;
        for (std::size_t i = 2; i < arrivals.size() && i < times.size(); ++i) {
            const double replayed = static_cast<double>(arrivals[i] - arrivals[i - 1]);
            const double recorded = static_cast<double>(times[i] - times[i - 1]) / speed;
            errors.push_back(std::fabs(replayed - recorded) / 1e6);
        }
        std::printf("%5gx %12.3f %12.3f %12.3f\n", speed, percentile(errors, 0.5), percentile(errors, 0.99),
                    percentile(errors, 1.0));
    }

    std::vector<std::int64_t> many;
    for (std::size_t i = 0; i < rateRecords; ++i) many.push_back(kT0 + static_cast<std::int64_t>(i) * 1000000);
    writeRecording(server.url(), "RATE", many);
    double seconds = 0;
    const auto arrivals = replayAt(server.url(), "RATE", "max", &seconds);
    const double bare = bareRate(server.url(), "RATE", rateRecords);
    std::printf("rate: %zu records: through the feed contract as fast as possible %.0f records/s (%zu updates in %.2f s); "
                "the stream read bare %.0f records/s\n",
                rateRecords, static_cast<double>(arrivals.size()) / seconds, arrivals.size(), seconds, bare);
    std::filesystem::remove_all(store);
    return 0;
}

// The plug-in's supplier callbacks under fuzzed feed behaviour. Each input
// makes one supplier (history, live quotes or update stream) against the
// recording fake, then plays a fuzzed script of feed actions: events with any
// arguments, record ranges and recordBase that may disagree with the records,
// missing values, changed-id lists of any length and content, thrown texts.
// Callbacks go only through the sink the fake was given, as the feed does.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "support/ace_capture.h"
#include "support/fake_feed.h"
#include "support/host_fakes.h"
#include "support/quiet_host.h"

namespace {

constexpr const char* kBarLetters[] = {"O", "H", "L", "C", "V"};
constexpr const char* kFeedFields[] = {"Open", "High", "Low", "Close", "Volume"};
constexpr int kMaxWalk = 64;  // records read per direction: a hostile range may be vast
constexpr int kMaxSteps = 24;

// A name a host might ask for: a bar letter, a dictionary name, or anything.
std::string pickName(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: return kBarLetters[in.ConsumeIntegralInRange(0, 4)];
        case 1: return FieldTable[in.ConsumeIntegralInRange<std::size_t>(0, kFieldTableSize - 1)].longName;
        default: return in.ConsumeRandomLengthString(12);
    }
}

// Reads what a host reads inside a notification.
void readAll(data::TickSupplier* supplier, const std::vector<std::string>& names) {
    supplier->getTime();
    for (const std::string& name : names) {
        supplier->hasValue(name.c_str());
        supplier->getValue(name.c_str());
    }
}

class WalkingConsumer : public data::HistoryConsumer {
public:
    explicit WalkingConsumer(const std::vector<std::string>& names) : names(names) {}
    void historyReady(data::HistorySupplier* supplier) override {
        walk(supplier->makeIterator());
        walk(supplier->makeReverseIterator());
    }
    void walk(data::TickIterator* it) {
        for (int i = 0; it != nullptr && i < kMaxWalk && it->isValid() != 0; ++i, it->next()) readAll(it, names);
    }
    const std::vector<std::string>& names;
};

class ReadingConsumer : public data::TickConsumer {
public:
    explicit ReadingConsumer(const std::vector<std::string>& names) : names(names) {}
    void ticksChanged(data::TickSupplier* supplier) override { readAll(supplier, names); }
    const std::vector<std::string>& names;
};

struct Script {
    FuzzedDataProvider& in;
    std::string thrown;  // the text a faulty read throws, kept alive for the input

    const char* maybeThrown() {
        if (!in.ConsumeBool()) return nullptr;
        thrown = in.ConsumeRandomLengthString(24);
        return thrown.c_str();
    }

    void shapeRecords(FakeRecordSet& set) {
        if (in.ConsumeBool() && !set.fieldNames.empty())  // a field the feed does not know
            set.fieldNames.erase(set.fieldNames.begin() +
                                 in.ConsumeIntegralInRange<std::size_t>(0, set.fieldNames.size() - 1));
        std::vector<FakeBar> bars(in.ConsumeIntegralInRange(0, 40));
        for (FakeBar& bar : bars) {
            bar.time = in.ConsumeIntegral<FeedTime>();
            for (const char* field : kFeedFields)
                if (in.ConsumeBool()) bar.fields[field] = in.ConsumeFloatingPoint<double>();
        }
        const auto first = in.ConsumeIntegralInRange<std::int32_t>(-(1 << 29), 1 << 29);
        const auto base = in.ConsumeIntegralInRange<std::int32_t>(-(1 << 29), 1 << 29);
        set.loadBars(std::move(bars), first, base);
        if (in.ConsumeBool()) {  // public members that disagree with the records
            set.hasRecords = in.ConsumeIntegral<std::int32_t>();
            set.firstRecord = in.ConsumeIntegralInRange<std::int32_t>(-(1 << 29), 1 << 29);
            set.lastRecord = in.ConsumeIntegralInRange<std::int32_t>(-(1 << 29), 1 << 29);
            set.recordBase = in.ConsumeIntegralInRange<std::int32_t>(-(1 << 29), 1 << 29);
        }
    }

    long eventArgument(long count) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: return -count;
            case 1: return -(count - 1);
            case 2: return in.ConsumeIntegralInRange<long>(-3, 3);
            default: return in.ConsumeIntegral<long>();
        }
    }

    void playRecordEvents(FakeRecordSet& set, int recordCount) {
        for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0 && set.sink != nullptr; ++step) {
            switch (in.ConsumeIntegralInRange(0, 3)) {
                case 0: shapeRecords(set); break;
                case 1: set.throwOnRead = maybeThrown(); break;
                default: {
                    const int event = in.ConsumeIntegralInRange(0, 4);
                    const long first = eventArgument(recordCount);
                    const long second = eventArgument(recordCount);
                    set.sink->onRecordSetEvent(&set, event, first, second);
                }
            }
        }
    }

    void shapeValues(FakeSnapshotSet& set) {
        for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
            const auto id = in.ConsumeIntegral<short>();
            if (in.ConsumeBool()) {
                set.values[id] = in.ConsumeFloatingPoint<double>();
            } else {
                set.values.erase(id);
            }
        }
        if (in.ConsumeBool()) set.dwords[27] = in.ConsumeIntegral<FeedTime>();
    }

    void playSnapshotUpdates(FakeSnapshotSet& set) {
        for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0 && set.sink != nullptr; ++step) {
            switch (in.ConsumeIntegralInRange(0, 3)) {
                case 0: shapeValues(set); break;
                case 1: set.throwOnRead = maybeThrown(); break;
                default: {
                    // The count is a byte: a list longer than 255 ids is cut as the feed would.
                    std::vector<std::uint8_t> ids = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 255));
                    set.sink->onSnapshotUpdate(&set, static_cast<std::uint8_t>(ids.size()), ids.data());
                }
            }
        }
    }
};

void fuzzHistory(TellivarInterface& iface, FakeFeedClient& feed, Script& script, QuietContext& context,
                 FakeRequest& request, const std::vector<std::string>& names) {
    feed.prepareRecordSet = [&](FakeRecordSet& set) {
        set.initResult = script.in.ConsumeIntegralInRange(0, 4);
        script.shapeRecords(set);
    };
    WalkingConsumer consumer(names);
    std::unique_ptr<data::HistorySupplier> supplier(iface.createHistorySupplier(&request, &consumer, &context));
    if (supplier && feed.lastRecordSet() != nullptr) script.playRecordEvents(*feed.lastRecordSet(), request.records);
}

void fuzzQuotes(TellivarInterface& iface, FakeFeedClient& feed, Script& script, QuietContext& context,
                FakeRequest& request, const std::vector<std::string>& names) {
    feed.prepareSnapshotSet = [&](FakeSnapshotSet& set) { script.shapeValues(set); };
    ReadingConsumer consumer(names);
    std::unique_ptr<data::TickSupplier> supplier(iface.createTickSupplier(&request, &consumer, &context));
    if (supplier && feed.lastSnapshotSet() != nullptr) script.playSnapshotUpdates(*feed.lastSnapshotSet());
}

void fuzzUpdates(TellivarInterface& iface, FakeFeedClient& feed, Script& script, QuietContext& context,
                 FakeRequest& request, const std::vector<std::string>& names) {
    feed.prepareRecordSet = [&](FakeRecordSet& set) { script.shapeRecords(set); };
    ReadingConsumer consumer(names);
    std::unique_ptr<data::TickSupplier> supplier(iface.createUpdateSupplier(&request, &consumer, &context));
    if (supplier && feed.lastRecordSet() != nullptr) script.playRecordEvents(*feed.lastRecordSet(), 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static AceLogCapture ace;  // keeps ACE's records off the terminal
    ace.clear();
    FuzzedDataProvider in(data, size);
    FakeFeedScope feed;
    feed.client().setRecording(false);
    TellivarInterfaceFactory factory;
    TellivarInterface iface(&factory);
    QuietContext context;
    Script script{in, {}};

    const int kind = in.ConsumeIntegralInRange(0, 2);
    FakeRequest request;
    request.symbolText = in.ConsumeRandomLengthString(12);
    request.type = in.ConsumeIntegralInRange(0, 3);
    request.number = in.ConsumeIntegralInRange(0u, 61u);
    request.letter = in.PickValueInArray({'D', 'W', 'M', 'm', '\0'});
    request.multiple = in.ConsumeIntegralInRange(0u, 1000u);
    request.records = in.ConsumeIntegralInRange(-2, 300);
    std::vector<std::string> names;
    for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) names.push_back(pickName(in));
    for (const std::string& name : names) request.names.names.emplace_back(name);

    switch (kind) {
        case 0: fuzzHistory(iface, feed.client(), script, context, request, names); break;
        case 1: fuzzQuotes(iface, feed.client(), script, context, request, names); break;
        default: fuzzUpdates(iface, feed.client(), script, context, request, names); break;
    }
    return 0;
}

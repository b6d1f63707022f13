#include "host_side.h"

#include <ace/Log_Msg.h>
#include <time.h>

#include "baselines.h"

namespace latency {

void Recorder::record(std::size_t, double stamp, double, double others) {
    if (!on) return;
    const Nanos now = nowNanos();
    readSum += others;
    ++notified;
    // The consumer runs inside the feed's call, so it must read exactly the update's stamp.
    if (stamp != static_cast<double>(feed->currentStamp()) || now < feed->currentStamp()) {
        ++wrongStamps;
        return;
    }
    endToEnd.record(static_cast<std::uint64_t>(now - feed->currentStamp()));
    inCallback.record(static_cast<std::uint64_t>(now - feed->callStart()));
    beforeCall.record(static_cast<std::uint64_t>(feed->callStart() - feed->currentStamp()));
}

namespace {

// ---- Host objects ----------------------------------------------------------------

// A request for one symbol: the ten quoted fields, one-minute bars.
class SymbolRequest : public data::SupplierRequest {
public:
    explicit SymbolRequest(std::size_t symbol) : symbol_(DriverFeed::symbolName(symbol)) {
        names_.names.assign(kQuotedNames, kQuotedNames + kQuotedFields);
    }
    unsigned int intervalNumber() override { return 1; }
    int intervalType() override { return 1; }
    unsigned int intervalMultiple() override { return 1; }
    char intervalLetter() override { return 'm'; }
    const data::CalendarRecord* endTime() override { return &end_; }
    int recordCount() override { return 2; }
    data::NameList* fieldNames() override { return &names_; }
    const char* symbol() override { return symbol_.c_str(); }

private:
    std::string symbol_;
    data::CalendarRecord end_{};
    FakeNameList names_;
};

// Reads the time and the ten quoted values, as a quote window would.
class QuoteConsumer : public data::TickConsumer {
public:
    QuoteConsumer(Recorder* recorder, std::size_t symbol) : recorder_(recorder), symbol_(symbol) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        double others = supplier->getTime()->tm_sec;
        const double stamp = supplier->getValue(kQuotedNames[0]);
        const double count = supplier->getValue(kQuotedNames[kCountQuoteField]);
        for (int i = 1; i < kQuotedFields; ++i) others += i == kCountQuoteField ? 0.0 : supplier->getValue(kQuotedNames[i]);
        if (recorder_ != nullptr) recorder_->record(symbol_, stamp, count, others);
    }

private:
    Recorder* const recorder_;
    const std::size_t symbol_;
};

// Reads the time and the newest bar, as a chart would.
class BarConsumer : public data::TickConsumer {
public:
    BarConsumer(Recorder* recorder, std::size_t symbol) : recorder_(recorder), symbol_(symbol) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        double others = supplier->getTime()->tm_min;
        others += supplier->getValue("O") + supplier->getValue("H") + supplier->getValue("L");
        const double count = supplier->getValue("V");
        const double stamp = supplier->getValue("C");
        if (recorder_ != nullptr) recorder_->record(symbol_, stamp, count, others);
    }

private:
    Recorder* const recorder_;
    const std::size_t symbol_;
};

// The raw sinks' consumer: the same values from a flat array.
class FlatRecordingConsumer : public FlatConsumer {
public:
    FlatRecordingConsumer(Recorder* recorder, std::size_t stampSlot) : recorder_(recorder), stampSlot_(stampSlot) {}
    void consume(const FlatQuote& quote) override {
        double others = quote.time.tm_sec;
        for (std::size_t i = 0; i < quote.count; ++i) others += i == stampSlot_ ? 0.0 : quote.values[i];
        if (recorder_ != nullptr) recorder_->record(0, quote.values[stampSlot_], 0, others);
    }

private:
    Recorder* const recorder_;
    const std::size_t stampSlot_;
};

// ---- Subscriptions ---------------------------------------------------------------

class PluginSubscription : public Subscription {
public:
    PluginSubscription(Kind kind, std::size_t symbol, Recorder* recorder)
        : request(symbol), quotes(recorder, symbol), bars(recorder, symbol), consumer(kind == Kind::Snapshot ? static_cast<data::TickConsumer*>(&quotes) : &bars) {}
    ~PluginSubscription() override { close(); }
    void close() override { supplier.reset(); }

    SymbolRequest request;
    QuoteConsumer quotes;
    BarConsumer bars;
    data::TickConsumer* const consumer;
    std::unique_ptr<data::TickSupplier> supplier;
};

// A raw sink on its own set: only the feed calls the work needs.
class RawSubscription : public Subscription {
public:
    RawSubscription(Kind kind, std::size_t symbol, Recorder* recorder)
        : kind_(kind),
          consumer_(recorder, kind == Kind::Snapshot ? 0 : static_cast<std::size_t>(kStampBarField)),
          snapshotSink_(kQuotedIds, kQuotedFields, &consumer_),
          barSink_(&consumer_) {
        const std::string name = DriverFeed::symbolName(symbol);
        if (kind == Kind::Snapshot) {
            snapshotSet_ = pTellivarClient->CreateSnapshotSet(name.c_str());
            if (snapshotSet_ == nullptr) return;
            snapshotSet_->sink = &snapshotSink_;
            snapshotSet_->Init();
        } else {
            recordSet_ = pTellivarClient->CreateTRecordSet((name + ",1").c_str());
            if (recordSet_ == nullptr) return;
            recordSet_->SetSink(&barSink_);
            recordSet_->Init(2, 0);
        }
    }
    ~RawSubscription() override { close(); }
    bool made() const { return snapshotSet_ != nullptr || recordSet_ != nullptr; }
    void close() override {
        if (kind_ == Kind::Snapshot) pTellivarClient->DeleteSnapshotSet(snapshotSet_);
        if (kind_ == Kind::Bars) pTellivarClient->DeleteTRecordSet(recordSet_);
        snapshotSet_ = nullptr;
        recordSet_ = nullptr;
    }

private:
    const Kind kind_;
    FlatRecordingConsumer consumer_;
    BaselineSnapshotSink snapshotSink_;
    BaselineUpdateSink barSink_;
    SnapshotSet* snapshotSet_ = nullptr;
    TRecordSet* recordSet_ = nullptr;
};

}  // namespace

// ---- Plug-in host ------------------------------------------------------------------

void silenceAceDebug() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->priority_mask(log->priority_mask(ACE_Log_Msg::PROCESS) & ~static_cast<u_long>(LM_DEBUG), ACE_Log_Msg::PROCESS);
}

PluginHost::PluginHost(DriverFeed* feed) : iface_(&factory_) {
    factory_.requestContext = &context_;
    factory_.connectSession();
    if (feed != nullptr && feed->status != nullptr) {
        feed->status->onLogon(1);
        feed->status->onReady();
    }
}

PluginHost::~PluginHost() = default;

std::unique_ptr<Subscription> PluginHost::subscribe(Sink sink, Kind kind, std::size_t symbol, Recorder* recorder) {
    if (sink == Sink::Raw) {
        auto raw = std::make_unique<RawSubscription>(kind, symbol, recorder);
        if (!raw->made()) return nullptr;
        return raw;
    }
    auto subscription = std::make_unique<PluginSubscription>(kind, symbol, recorder);
    data::TickSupplier* supplier = kind == Kind::Snapshot
                                       ? iface_.createTickSupplier(&subscription->request, subscription->consumer, &context_)
                                       : iface_.createUpdateSupplier(&subscription->request, subscription->consumer, &context_);
    if (supplier == nullptr) return nullptr;
    subscription->supplier.reset(supplier);
    return subscription;
}

// ---- Churn ---------------------------------------------------------------------------

Churn::Churn(PluginHost& host, Sink sink, Kind kind, std::size_t symbols)
    : host_(host), sink_(sink), kind_(kind), symbols_(symbols), thread_(&Churn::loop, this) {}

Churn::~Churn() { stop(); }

void Churn::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (current_) {
        current_->close();
        closed_.push_back(std::move(current_));
    }
}

void Churn::loop() {
    constexpr Nanos kPeriod = 10'000'000;
    Nanos next = nowNanos();
    while (!stop_.load()) {
        next += kPeriod;
        const timespec until{static_cast<time_t>(next / 1'000'000'000), static_cast<long>(next % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
        }
        if (current_) {
            current_->close();  // the feed may be calling it right now
            closed_.push_back(std::move(current_));
        }
        current_ = host_.subscribe(sink_, kind_, cycles_ % symbols_, nullptr);
        if (!current_) ++failures_;
        ++cycles_;
    }
}

}  // namespace latency

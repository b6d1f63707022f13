// The soak's oracle accepts what the plug-in on the stand-in tells its
// consumers, trade by trade at fractional feed times, and rejects each kind of
// wrong value a fan-out could deliver: off by a cent, late, of another symbol,
// a field lost or another field's value.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "nats/nats_support.h"
#include "nats/soak_oracle.h"
#include "support/host_fakes.h"

namespace {

std::int64_t secondsOf(const data::CalendarRecord& t) {
    return soak::feedSecondsOf(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

class Reads : public data::TickConsumer, public Waitable {
public:
    explicit Reads(bool bars) : bars_(bars) {}
    void ticksChanged(data::TickSupplier* supplier) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (bars_) {
            const BarRead b = readBar(supplier);
            bars.push_back({secondsOf(b.time), b.open, b.high, b.low, b.close, b.volume});
        } else {
            soak::QuoteRead read;
            read.tradeTime = secondsOf(*supplier->getTime());
            for (const std::string& name : soak::quoteFieldNames())
                if (supplier->hasValue(name.c_str())) read.values[name] = supplier->getValue(name.c_str());
            quotes.push_back(read);
        }
        changed.notify_all();
    }
    std::vector<soak::QuoteRead> quotes;  // mutex
    std::vector<soak::BarRead> bars;      // mutex

private:
    const bool bars_;
};

// What the plug-in on the stand-in told a quote consumer of ACME and an update
// stream consumer of GLOBEX's minute bars, over trades at uneven fractional
// times across several minutes.
struct Session {
    Session() {
        dlopen(TELLIVAR_STANDIN_PATH, RTLD_NOW | RTLD_GLOBAL);
        StandIn feed;
        if (feed.client == nullptr) return;
        feed.reset();
        feed.setRate(0);
        feed.setClock(feed.client->MakeTime(2024, 3, 5, 14, 0, 0), 0);
        feed.advanceClock(0.35);
        LoadedPlugin plugin(TELLIVAR_PLUGIN_PATH);
        if (plugin.init == nullptr) return;
        FakeContext context;
        data::DataInterfaceFactory* factory = plugin.init();
        factory->setSetting("Username", "demo");
        factory->setSetting("Password", "demo");
        factory->connectionControl(&context, true);
        data::DataInterface* iface = factory->createDataInterface(&context);
        FakeRequest quoteRequest("ACME");
        for (const std::string& name : soak::quoteFieldNames()) quoteRequest.names.names.push_back(name);
        FakeRequest streamRequest("GLOBEX");
        streamRequest.type = 1;
        streamRequest.number = 1;
        Reads quoteReads(false), barReads(true);
        std::unique_ptr<data::TickSupplier> tick(iface->createTickSupplier(&quoteRequest, &quoteReads, &context));
        std::unique_ptr<data::TickSupplier> update(iface->createUpdateSupplier(&streamRequest, &barReads, &context));
        quoteReads.waitFor([&] { return !quoteReads.quotes.empty(); });
        barReads.waitFor([&] { return !barReads.bars.empty(); });
        for (double step : {7.3, 13.71, 0.45, 29.9, 41.05, 3.6, 58.2, 1.01}) {
            feed.advanceClock(step);
            const std::size_t quotesBefore = quoteReads.quotes.size(), barsBefore = barReads.bars.size();
            feed.tradeNow();
            quoteReads.waitFor([&] { return quoteReads.quotes.size() > quotesBefore; });
            barReads.waitFor([&] { return barReads.bars.size() > barsBefore; });
        }
        tick.reset();
        update.reset();
        delete iface;
        factory->release();
        std::lock_guard<std::mutex> a(quoteReads.mutex), b(barReads.mutex);
        quotes = quoteReads.quotes;
        bars = barReads.bars;
    }
    std::vector<soak::QuoteRead> quotes;
    std::vector<soak::BarRead> bars;
};

const Session& session() {
    static const Session s;
    return s;
}

constexpr std::int64_t kAnyLatest = 4'000'000'000;

bool names(const std::vector<std::string>& wrong, const std::string& field) {
    for (const std::string& w : wrong)
        if (w.rfind(field, 0) == 0) return true;
    return false;
}

TEST(SoakOracle, ShouldAcceptEveryQuoteAndBarTheStandInGives) {
    const Session& s = session();
    ASSERT_GE(s.quotes.size(), 9u);
    ASSERT_GE(s.bars.size(), 9u);
    soak::Oracle oracle(false);
    for (const soak::QuoteRead& read : s.quotes)
        EXPECT_EQ(oracle.checkQuote("ACME", read), std::vector<std::string>{}) << read.tradeTime;
    for (const soak::BarRead& bar : s.bars)
        EXPECT_EQ(oracle.checkBar("GLOBEX", 60, kAnyLatest, bar), std::vector<std::string>{}) << bar.start;
}

TEST(SoakOracle, ShouldRejectEachKindOfWrongQuote) {
    const Session& s = session();
    ASSERT_FALSE(s.quotes.empty());
    struct Case {
        const char* what;
        const char* symbol;
        std::function<void(soak::QuoteRead&)> spoil;
        const char* field;  // named first among the mismatches
    };
    const Case cases[] = {
        {"three cents off the trade", "ACME", [](soak::QuoteRead& r) { r.values["Trade"] += 0.03; }, "Trade"},
        {"a minute late", "ACME",
         [](soak::QuoteRead& r) {
             r.tradeTime -= 60;
             r.values["TradeTime"] -= 60;
         },
         "Volume"},
        {"another symbol's quote", "GLOBEX", [](soak::QuoteRead&) {}, "Trade"},
        {"a lost field", "ACME", [](soak::QuoteRead& r) { r.values.erase("High"); }, "High missing"},
        {"the high of earlier", "ACME", [](soak::QuoteRead& r) { r.values["High"] -= 0.5; }, "High"},
        {"a net change off by a cent", "ACME", [](soak::QuoteRead& r) { r.values["Net"] += 0.01; }, "Net"},
        {"the low in the open", "ACME", [](soak::QuoteRead& r) { r.values["Open"] = r.values["Low"] - 0.01; }, "Open"},
        {"another constant", "ACME", [](soak::QuoteRead& r) { r.values["Beta"] += 0.01; }, "Beta"},
    };
    soak::Oracle oracle(false);
    for (const Case& c : cases) {
        for (soak::QuoteRead read : s.quotes) {
            c.spoil(read);
            EXPECT_TRUE(names(oracle.checkQuote(c.symbol, read), c.field)) << c.what << " at " << read.tradeTime;
        }
    }
}

TEST(SoakOracle, ShouldRejectEachKindOfWrongBar) {
    const Session& s = session();
    ASSERT_FALSE(s.bars.empty());
    struct Case {
        const char* what;
        std::function<void(soak::BarRead&)> spoil;
        const char* field;
    };
    const Case cases[] = {
        {"a cent off the open", [](soak::BarRead& b) { b.open += 0.01; }, "Open"},
        {"a high never reached", [](soak::BarRead& b) { b.high += 0.5; }, "High"},
        {"a low never reached", [](soak::BarRead& b) { b.low -= 0.5; }, "Low"},
        {"a close never traded", [](soak::BarRead& b) { b.close = b.high + 0.01; }, "Close"},
        {"volume never traded", [](soak::BarRead& b) { b.volume += 10000; }, "Volume"},
        {"the bar of ten minutes before", [](soak::BarRead& b) { b.start -= 600; }, ""},
    };
    soak::Oracle oracle(false);
    for (const Case& c : cases) {
        for (soak::BarRead bar : s.bars) {
            c.spoil(bar);
            EXPECT_TRUE(names(oracle.checkBar("GLOBEX", 60, kAnyLatest, bar), c.field)) << c.what << " at " << bar.start;
        }
    }
}

}  // namespace

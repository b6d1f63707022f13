// The plug-in on the NATS feed client gives its consumers exactly what it
// gives them on the stand-in directly. Each side runs in a child process of
// its own (a process binds the plug-in to one feed client): "direct" loads
// the stand-in before the plug-in; "nats" loads the NATS feed client before
// the plug-in and runs a gateway on a privately loaded stand-in. Both pin the
// stand-in's clock and step its trades, and write what their consumers saw;
// the transcripts must be equal.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "gateway/gateway.h"
#include "nats/nats_support.h"
#include "support/host_fakes.h"

namespace {

// The consumers' view of one session against the stand-in's pinned market.
std::string runSession(StandIn& feed) {
    std::ostringstream out;
    feed.reset();
    feed.setRate(0);
    feed.setClock(feed.client->MakeTime(2024, 3, 5, 14, 0, 0), 0);
    LoadedPlugin plugin(TELLIVAR_PLUGIN_PATH);
    if (plugin.init == nullptr) return std::string("no plug-in: ") + dlerror();
    FakeContext context;
    RecordingListener listener;
    data::DataInterfaceFactory* factory = plugin.init();
    factory->setSetting("Username", "demo");
    factory->setSetting("Password", "demo");
    factory->ability()->addListener(&listener);
    factory->connectionControl(&context, true);
    if (!listener.waitFor([&] { return !listener.seen.empty() && listener.seen.back(); })) return "never online";
    data::DataInterface* iface = factory->createDataInterface(&context);

    // Quotes: the first image, then five trades.
    TickReader quotes({"Trade", "Bid", "Ask", "Volume", "TradeSize", "High", "Low"});
    FakeRequest quoteRequest("ACME");
    quoteRequest.names.names = {"Trade", "Bid", "Ask", "Volume", "TradeSize", "High", "Low"};
    std::unique_ptr<data::TickSupplier> tick(iface->createTickSupplier(&quoteRequest, &quotes, &context));
    quotes.waitFor([&] { return !quotes.history.empty(); });
    for (std::size_t round = 0; round < 5; ++round) {
        feed.advanceClock(7);
        feed.tradeNow();
        if (!quotes.waitFor([&] { return quotes.history.size() >= round + 2; })) out << "quotes: round " << round << " missing\n";
    }
    {
        std::lock_guard<std::mutex> lock(quotes.mutex);
        for (std::size_t i = 0; i < quotes.history.size(); ++i) {
            out << "quote " << timeText(quotes.times[i]);
            for (double v : quotes.history[i]) out << ' ' << v;
            out << '\n';
        }
    }

    // An update stream of minute bars: the load, then trades across two new bars.
    BarReader stream;
    FakeRequest streamRequest("GLOBEX");
    streamRequest.type = 1;
    streamRequest.number = 1;
    std::unique_ptr<data::TickSupplier> update(iface->createUpdateSupplier(&streamRequest, &stream, &context));
    stream.waitFor([&] { return !stream.bars.empty(); });
    for (std::size_t round = 0; round < 6; ++round) {
        feed.advanceClock(25);
        feed.tradeNow();
        if (!stream.waitFor([&] { return stream.bars.size() >= round + 2; })) out << "stream: round " << round << " missing\n";
    }
    {
        std::lock_guard<std::mutex> lock(stream.mutex);
        for (const BarRead& bar : stream.bars) out << "stream " << barText(bar) << '\n';
    }

    // Histories of minute bars; the long one as a count and a digest.
    for (int records : {1, 1000, 200000}) {
        HistoryWalker walker;
        FakeRequest request("INITECH");
        request.type = 1;
        request.number = 1;
        request.records = records;
        std::unique_ptr<data::HistorySupplier> history(iface->createHistorySupplier(&request, &walker, &context));
        if (!history || !walker.waitFor([&] { return walker.calls >= 1; })) {
            out << "history " << records << ": never ready\n";
            continue;
        }
        std::lock_guard<std::mutex> lock(walker.mutex);
        out << "history " << records << ": " << walker.calls << " ready call(s), " << walker.forward.size()
            << " forward, " << walker.reverse.size() << " reverse\n";
        std::uint64_t digest = 14695981039346656037ull;
        for (const BarRead& bar : walker.forward) {
            const std::string line = barText(bar);
            if (walker.forward.size() <= 1001) out << "  " << line << '\n';
            for (unsigned char ch : line) digest = (digest ^ ch) * 1099511628211ull;
        }
        if (!walker.forward.empty())
            out << "  first " << barText(walker.forward.front()) << " last " << barText(walker.forward.back())
                << " digest " << digest << '\n';
    }
    tick.reset();
    update.reset();
    delete iface;
    factory->release();
    return out.str();
}

TEST(Equivalence, ShouldGiveConsumersOnTheNatsClientWhatTheyGetOnTheStandInDirectly) {
    SKIP_WITHOUT_NATS_SERVER();
    NatsServer server;
    ASSERT_TRUE(server.running());
    const std::string direct = inChild([] {
        dlopen(TELLIVAR_STANDIN_PATH, RTLD_NOW | RTLD_GLOBAL);
        StandIn feed;
        return runSession(feed);
    });
    const std::string overNats = inChild([&server] {
        setenv("TELLIVAR_NATS_URL", server.url().c_str(), 1);
        // Privately: the stand-in, loaded next, must not bind its own
        // pTellivarClient to this one's. The plug-in still binds to this
        // library, the first loaded with the name it needs.
        dlopen(TELLIVAR_NATS_CLIENT_PATH, RTLD_NOW | RTLD_LOCAL);
        StandIn feed;
        natsConnection* nats = nullptr;
        if (natsConnection_ConnectTo(&nats, server.url().c_str()) != NATS_OK) return std::string("no NATS");
        gateway::Options options;
        options.user = options.password = "demo";
        gateway::Gateway gate(feed.client, nats, options);
        std::string error;
        if (!gate.start(&error)) return error;
        std::string text = runSession(feed);
        gate.stop();
        return text;
    });
    // Guards against two equal failures: each part is there.
    EXPECT_NE(direct.find("quote "), std::string::npos) << direct;
    EXPECT_EQ(direct.find("missing"), std::string::npos) << direct;
    EXPECT_NE(direct.find("history 200000: 1 ready call(s), 200000 forward"), std::string::npos) << direct;
    EXPECT_NE(direct.find("history 1000: 1 ready call(s), 1001 forward"), std::string::npos) << direct;
    EXPECT_EQ(overNats, direct);
}

}  // namespace

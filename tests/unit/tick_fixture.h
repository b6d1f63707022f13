// Fixture for the live-quote supplier: a data interface on a recording feed
// whose session is already ready, a host request, context and consumer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "PluginManager/tellivar/tick.h"
#include "support/test_support.h"

using Calls = std::vector<std::string>;
using Names = std::initializer_list<std::optional<std::string>>;

class TickTest : public ::testing::Test {
protected:
    void SetUp() override {
        factory.connectSession();
        feed.client().lastSink()->onReady();
        feed.client().clearCalls();
        ace.clear();
    }

    // Subscribes to the request's symbol with `names`; the fixture owns the result.
    data::TickSupplier* create(Names names, data::RequestContext* ctx = nullptr) {
        request.names.names = names;
        supplier.reset(iface.createTickSupplier(&request, &consumer, ctx != nullptr ? ctx : &context));
        return supplier.get();
    }

    ::TickSupplier& tick() { return dynamic_cast<::TickSupplier&>(*supplier); }
    FakeSnapshotSet& set() { return *feed.client().lastSnapshotSet(); }

    std::vector<std::int16_t> subscribedIds() {
        std::vector<std::int16_t> ids;
        for (const auto& entry : tick().fieldIds) ids.push_back(entry.first);
        return ids;
    }

    std::vector<std::string> storedNames() {
        std::vector<std::string> names;
        for (const auto& entry : tick().values) names.push_back(entry.first);
        return names;
    }

    // Position of `call` in the journal, or -1.
    long positionOf(const std::string& call) {
        const Calls all = feed.client().calls();
        const auto it = std::find(all.begin(), all.end(), call);
        return it == all.end() ? -1 : static_cast<long>(it - all.begin());
    }

    FakeFeedScope feed;  // outlives the factory and the supplier
    TellivarInterfaceFactory factory;
    TellivarInterface iface{&factory};
    FakeContext context;
    FakeRequest request;
    RecordingTickConsumer consumer;
    std::unique_ptr<data::TickSupplier> supplier;
    AceLogCapture ace;  // also keeps the records off the test output
};

// A context whose logger() throws a text on its `throwAt`-th call.
class ThrowingContext : public data::RequestContext {
public:
    explicit ThrowingContext(int at) : throwAt(at) {}
    data::HostLogger* logger() override {
        if (++calls == throwAt) throw "logger unavailable";
        return &log;
    }

    FakeLogger log;
    int throwAt;
    int calls = 0;
};

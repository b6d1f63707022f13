// Loads, uses and unloads the plug-in a thousand times in one process, the
// way a host reloads a provider. This test does not link the feed library:
// the plug-in brings it in and takes it out again on every round, so any
// memory the plug-in or the feed library keeps after an unload adds up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of bytes in use (its header is not always installed).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "integration/host_fakes.h"

namespace {

constexpr int kRounds = 1000;
constexpr int kWarmUpRounds = 100;
// Growth allowed over the rounds after warm-up: a few bytes a round of
// allocator noise, far below the size of one feed client (hundreds of kB).
constexpr long long kAllowedGrowth = 2 * 1024 * 1024;

long long heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
#endif
}

template <class Supplier>
std::unique_ptr<Supplier> owned(Supplier* supplier) {
    return std::unique_ptr<Supplier>(supplier);
}

// One round's use: log on, one supplier of each kind that delivers at least
// once, then everything deleted in host order.
void useLoaded(hostfake::Plugin& plugin) {
    ASSERT_NE(plugin.init, nullptr) << dlerror();
    data::DataInterfaceFactory* factory = plugin.init();
    ASSERT_NE(factory, nullptr);
    factory->setSetting("Username", "demo");
    factory->setSetting("Password", "demo");
    hostfake::Context context;
    hostfake::Listener listener;
    factory->ability()->addListener(&listener);
    auto iface = owned(factory->createDataInterface(&context));
    ASSERT_NE(iface, nullptr);
    factory->connectionControl(&context, true);
    ASSERT_TRUE(listener.waitFor([&] { return !listener.seen.empty() && listener.seen.back(); }));

    hostfake::Request daily("ACME");
    daily.names.names = {"O", "C"};
    hostfake::HistoryConsumer history;
    hostfake::Request quotes("ACME");
    quotes.names.names = {"Trade", "Bid"};
    hostfake::TickConsumer ticks({"Trade", "Bid"});
    hostfake::Request minutes("ACME");
    minutes.letter = 'm';
    hostfake::TickConsumer updates({"O", "C"});
    {
        auto historySupplier = owned(iface->createHistorySupplier(&daily, &history, &context));
        auto tickSupplier = owned(iface->createTickSupplier(&quotes, &ticks, &context));
        auto updateSupplier = owned(iface->createUpdateSupplier(&minutes, &updates, &context));
        ASSERT_TRUE(historySupplier && tickSupplier && updateSupplier);
        ASSERT_TRUE(history.waitFor([&] { return history.calls > 0; }));
        ASSERT_TRUE(ticks.waitFor([&] { return !ticks.history.empty(); }));
        ASSERT_TRUE(updates.waitFor([&] { return !updates.history.empty(); }));
    }
    iface.reset();
    factory->release();
}

// One round: load, use, unload; the feed library must leave with the plug-in.
void useThePluginOnce() {
    {
        hostfake::Plugin plugin;
        ASSERT_NO_FATAL_FAILURE(useLoaded(plugin));
    }
    EXPECT_EQ(dlopen("libTellivarClient.so", RTLD_NOW | RTLD_NOLOAD), nullptr) << "the feed library left";
}

}  // namespace

TEST(PluginUnload, ShouldKeepMemoryFlatOverAThousandLoadUseUnloadRounds) {
    // Read by the feed library each time it loads: no connect delay, quick trades.
    setenv("SIMFEED_CONNECT_MS", "0", 1);
    setenv("SIMFEED_RATE", "2000", 1);
    long long afterWarmUp = 0;
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_NO_FATAL_FAILURE(useThePluginOnce()) << "round " << round;
        if (round == kWarmUpRounds) afterWarmUp = heapInUse();
    }
    const long long growth = heapInUse() - afterWarmUp;
    RecordProperty("heap_growth_bytes", std::to_string(growth));
    EXPECT_LT(growth, kAllowedGrowth) << "heap grew by " << growth << " bytes over "
                                      << kRounds - kWarmUpRounds << " rounds";
}

// A storm of supplier lifetimes: eight host threads create and delete history,
// tick and update suppliers against the live stand-in feed at its highest
// rate, some of them from inside their own notification, histories also
// inside the notification of their own creation. Run it under ASan and TSan:
// it passes when nothing touches a deleted supplier, no consumer is told after
// its supplier's deletion returned, no creation returns a supplier its
// consumer deleted, and every set is deleted.
//
// Usage: storm_test [--seconds N]   (default 10)
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "feed/TellivarClient.h"
#include "support/host_fakes.h"
#include "simfeed/control.h"

namespace {

double stormSeconds = 10.0;

const char* const kSymbols[] = {"ACME", "GLOBEX", "INITECH", "UMBRELLA"};

// Counts of one run, shared by every host thread.
struct Tally {
    std::atomic<long> created[3] = {};
    std::atomic<long> callbacks{0};
    std::atomic<long> deletedInside{0};
    std::atomic<long> deletedInCreation{0};  // of those, histories deleted inside their creation
    std::atomic<long> lateCallbacks{0};  // a consumer told after its supplier's deletion returned
    std::atomic<long> returnedDeleted{0};  // a creation that returned a supplier its consumer deleted
};

// One host thread's consumer, reused for each supplier it makes. `gone` is
// set once the host's deletion has returned; `owned` is claimed exactly once,
// by the host or by the consumer deleting inside its notification.
class StormConsumer : public data::TickConsumer, public data::HistoryConsumer {
public:
    explicit StormConsumer(Tally& tally) : tally_(tally) {}

    void ticksChanged(data::TickSupplier* supplier) override {
        supplier->getValue("Trade");
        supplier->getValue("C");
        supplier->getTime();
        told();
    }
    void historyReady(data::HistorySupplier* supplier) override {
        for (data::TickIterator* it = supplier->makeIterator(); it != nullptr && it->isValid() != 0; it->next()) {
            it->getValue("C");
        }
        if (deleteInside && owned.load() == nullptr && std::this_thread::get_id() == host) {
            // Told inside its creation (the set answered at once): the host has no pointer yet.
            ++tally_.callbacks;
            delete supplier;
            deletedInCreation = true;
            ++tally_.deletedInside;
            ++tally_.deletedInCreation;
            return;
        }
        told();
    }

    // Waits until no notification is still running inside this consumer: one
    // that deleted its own supplier may still be unwinding when the host is done.
    void drain() const {
        while (busy.load() != 0) std::this_thread::yield();
    }

    std::atomic<data::SupplierBase*> owned{nullptr};
    std::atomic<bool> gone{false};
    std::atomic<bool> deleteInside{false};
    std::atomic<bool> deletedInCreation{false};
    const std::thread::id host = std::this_thread::get_id();  // made on its host thread

private:
    struct Busy {
        explicit Busy(std::atomic<int>& count) : count_(count) { ++count_; }
        ~Busy() { --count_; }
        std::atomic<int>& count_;
    };

    void told() {
        const Busy inside(busy);
        if (gone) ++tally_.lateCallbacks;
        ++tally_.callbacks;
        if (!deleteInside) return;
        if (data::SupplierBase* mine = owned.exchange(nullptr)) {
            delete mine;  // forbidden to hosts, but some do it
            ++tally_.deletedInside;
        }
    }

    Tally& tally_;
    std::atomic<int> busy{0};  // notifications running inside this consumer now
};

class Storm : public ::testing::Test {
protected:
    void SetUp() override {
        // As in production: debug records masked, so the storm measures lifetimes, not logging.
        ACE_Log_Msg::instance()->priority_mask(LM_ERROR | LM_WARNING, ACE_Log_Msg::PROCESS);
        simfeed_reset();
        simfeed_set_clock(pTellivarClient->MakeTime(2024, 3, 5, 14, 0, 0), 600);
        simfeed_set_update_rate(1e9);  // clamped to the stand-in's highest rate
        baseline = simfeed_live_sets();
        ASSERT_NE(plugin.init, nullptr) << dlerror();
        factory = plugin.init();
        factory->setSetting("Username", "demo");
        factory->setSetting("Password", "demo");
        factory->ability()->addListener(&listener);
        factory->connectionControl(&context, true);
        ASSERT_TRUE(listener.waitFor([&] { return !listener.seen.empty() && listener.seen.back(); }));
    }
    void TearDown() override {
        factory->release();
        EXPECT_EQ(simfeed_live_sets(), baseline) << "every set the plug-in made was deleted";
        simfeed_reset();
    }

    // One host thread: make a supplier, let it live a little (or be deleted
    // by its own consumer), delete it, repeat until the deadline.
    void hostThread(unsigned seed, std::chrono::steady_clock::time_point deadline) {
        std::mt19937 random(seed);
        data::DataInterface* iface = factory->createDataInterface(&context);
        StormConsumer consumer(tally);
        while (std::chrono::steady_clock::now() < deadline) {
            FakeRequest request(kSymbols[random() % 4]);
            const int kind = static_cast<int>(random() % 3);
            consumer.gone = false;
            consumer.deleteInside = random() % 8 == 0;
            data::SupplierBase* made = create(*iface, kind, request, consumer, random);
            if (consumer.deletedInCreation.exchange(false)) {
                if (made != nullptr) ++tally.returnedDeleted;  // freed already: not touched
                continue;
            }
            if (made == nullptr) continue;
            ++tally.created[kind];
            consumer.owned = made;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            if (data::SupplierBase* mine = consumer.owned.exchange(nullptr)) delete mine;
            consumer.gone = true;
        }
        consumer.drain();
        delete iface;
    }

    data::SupplierBase* create(data::DataInterface& iface, int kind, FakeRequest& request,
                               StormConsumer& consumer, std::mt19937& random) {
        if (kind == 0) {
            request.type = 1;
            request.number = 1;
            request.records = static_cast<int>(random() % 50);
            return iface.createHistorySupplier(&request, &consumer, &context);
        }
        if (kind == 1) {
            request.names.names = {"Trade", "Bid", "Ask", "Volume"};
            return iface.createTickSupplier(&request, &consumer, &context);
        }
        request.type = 1;
        return iface.createUpdateSupplier(&request, &consumer, &context);
    }

    LoadedPlugin plugin{TELLIVAR_PLUGIN_PATH};
    FakeContext context;
    RecordingListener listener;
    data::DataInterfaceFactory* factory = nullptr;
    int baseline = 0;
    Tally tally;
};

}  // namespace

TEST_F(Storm, ShouldSurviveEightHostThreadsCreatingAndDeletingSuppliers) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                 std::chrono::duration<double>(stormSeconds));
    std::vector<std::thread> hosts;
    for (unsigned i = 0; i < 8; ++i) hosts.emplace_back([this, i, deadline] { hostThread(i + 1, deadline); });
    for (std::thread& host : hosts) host.join();
    std::cout << "[ storm    ] " << stormSeconds << " s: created " << tally.created[0] << " history, "
              << tally.created[1] << " tick, " << tally.created[2] << " update suppliers; " << tally.callbacks
              << " callbacks delivered; " << tally.deletedInside << " deleted inside their notification ("
              << tally.deletedInCreation << " histories inside their creation)" << std::endl;
    EXPECT_EQ(tally.lateCallbacks, 0);
    EXPECT_EQ(tally.returnedDeleted, 0);
    EXPECT_GT(tally.created[0] + tally.created[1] + tally.created[2], 0);
    EXPECT_GT(tally.callbacks, 0);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) stormSeconds = std::atof(argv[i + 1]);
    }
    return RUN_ALL_TESTS();
}

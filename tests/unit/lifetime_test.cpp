// Supplier lifetime against the feed thread, for each kind of supplier: a
// deletion that must wait for a callback in progress, a callback that the feed
// dispatched before the host deleted the supplier, one held inside the relay
// before it takes the supplier's lock while the supplier is deleted, one
// blocked on that lock, and a consumer that deletes its supplier inside its
// own notification. Also: when the relays that linger are freed, missing host
// objects at creation, and the dictionary while another factory is made.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "PluginManager/tellivar/sink_relay.h"
#include "support/test_support.h"

namespace {

enum class Kind { History, Tick, Update };

std::string nameOf(const ::testing::TestParamInfo<Kind>& info) {
    switch (info.param) {
        case Kind::History: return "History";
        case Kind::Tick: return "Tick";
        case Kind::Update: return "Update";
    }
    return "";
}

// Holds every dispatch, once it has entered a relay's callback and before it
// takes the supplier's lock, until release(): where a feed thread preempted
// there would stand.
class DispatchHold {
public:
    DispatchHold() {
        current = this;
        SinkRelay::setBeforeLockHook(&onBeforeLock);
    }
    ~DispatchHold() {
        SinkRelay::setBeforeLockHook(nullptr);
        current = nullptr;
    }
    DispatchHold(const DispatchHold&) = delete;
    DispatchHold& operator=(const DispatchHold&) = delete;

    void waitUntilEntered() { entered_.wait(); }
    void release() { resume_.open(); }

private:
    static void onBeforeLock() {
        current->entered_.open();
        current->resume_.wait();
    }

    static inline DispatchHold* current = nullptr;
    Gate entered_;
    Gate resume_;
};

// Whether thread `tid` of this process sleeps in the kernel (state S or D), as a
// thread blocked on a lock does. Read from /proc, so no timing is involved.
bool isAsleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return false;
    return line[close + 2] == 'S' || line[close + 2] == 'D';
}

bool isDelete(const std::string& call) { return call.find("Delete") != std::string::npos; }

constexpr std::int16_t kBid = 6;
constexpr int kRecords = 3;

std::vector<FakeBar> threeBars() {
    std::vector<FakeBar> bars;
    for (int i = 0; i < kRecords; ++i) {
        bars.push_back({FakeFeedClient::timeOf(2004, 6, 4, 9, 30 + i, 0), {{"Open", 1.0 + i}, {"Close", 10.0 + i}}});
    }
    return bars;
}

}  // namespace

class LifetimeTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        factory.connectSession();
        feed.client().lastSink()->onReady();
        request.records = kRecords;
        request.names.names = {std::string("Bid")};
        feed.client().prepareRecordSet = [](FakeRecordSet& set) { set.loadBars(threeBars()); };
        feed.client().prepareSnapshotSet = [](FakeSnapshotSet& set) { set.values[kBid] = 101.5; };
    }

    // Creates a supplier of `kind`, keeps it in `supplier`, and returns a call
    // of its set's sink that reads the sink pointer now, as the feed does
    // before it calls; the call would notify the consumer once.
    std::function<void()> create(Kind kind) {
        if (kind == Kind::History) {
            request.names.names = {std::string("C")};
            supplier.reset(iface.createHistorySupplier(&request, &history, &context));
            FakeRecordSet* set = feed.client().lastRecordSet();
            ITRecSetSink* sink = set->sink;
            return [sink, set] { sink->onRecordSetEvent(set, 1, -kRecords, 5); };
        }
        if (kind == Kind::Update) {
            supplier.reset(iface.createUpdateSupplier(&request, &ticks, &context));
            FakeRecordSet* set = feed.client().lastRecordSet();
            ITRecSetSink* sink = set->sink;
            return [sink, set] { sink->onRecordSetEvent(set, 1, 0, 0); };
        }
        supplier.reset(iface.createTickSupplier(&request, &ticks, &context));
        FakeSnapshotSet* set = feed.client().lastSnapshotSet();
        ISSSetSink* sink = set->sink;
        return [sink, set] {
            static const std::uint8_t changed[] = {static_cast<std::uint8_t>(kBid)};
            sink->onSnapshotUpdate(set, 1, changed);
        };
    }

    int notifications() const { return static_cast<int>(history.calls().size()) + ticks.count.load(); }

    // The consumer of the current kind runs `inside` within its notification.
    void whenNotified(std::function<void()> inside) {
        history.onReady = [inside](data::HistorySupplier*) { inside(); };
        ticks.onTicks = [inside](data::TickSupplier*) { inside(); };
    }

    std::vector<std::string> setCalls() {
        std::vector<std::string> calls;
        for (const std::string& call : feed.client().calls()) {
            if (call.find("set") != std::string::npos) calls.push_back(call);
        }
        return calls;
    }

    FakeFeedScope feed;
    TellivarInterfaceFactory factory;
    TellivarInterface iface{&factory};
    FakeContext context;
    FakeRequest request;
    RecordingHistoryConsumer history;
    RecordingTickConsumer ticks;
    std::unique_ptr<data::SupplierBase> supplier;
    AceLogCapture ace;
};

INSTANTIATE_TEST_SUITE_P(EveryKind, LifetimeTest, ::testing::Values(Kind::History, Kind::Tick, Kind::Update),
                         nameOf);

TEST_P(LifetimeTest, ShouldWaitForACallbackInProgressBeforeDeletingTheSet) {
    const std::function<void()> call = create(GetParam());
    ASSERT_NE(supplier, nullptr);
    Gate inside;
    Gate release;
    whenNotified([&] {
        inside.open();
        release.wait();
    });
    feed.client().clearCalls();
    std::thread feedThread(call);
    inside.wait();

    std::atomic<pid_t> destroyerTid{0};
    std::atomic<bool> destroyed{false};
    std::thread host([&] {
        destroyerTid = static_cast<pid_t>(syscall(SYS_gettid));
        supplier.reset();
        destroyed = true;
    });
    // The notification goes on only once the destructor has either returned
    // (wrongly) or gone to sleep waiting for the callback's lock.
    while (destroyerTid == 0) std::this_thread::yield();
    while (!destroyed && !isAsleep(destroyerTid)) std::this_thread::yield();
    const bool returnedWhileHeld = destroyed;
    const std::vector<std::string> callsWhileHeld = setCalls();
    release.open();
    feedThread.join();
    host.join();

    EXPECT_FALSE(returnedWhileHeld) << "the destructor must wait for the notification";
    EXPECT_EQ(std::count_if(callsWhileHeld.begin(), callsWhileHeld.end(), isDelete), 0);
    const std::vector<std::string> calls = setCalls();
    const auto leave = std::find(calls.begin(), calls.end(), "set1.LeaveRead");
    const auto deletion = std::find_if(calls.begin(), calls.end(), isDelete);
    EXPECT_LT(leave - calls.begin(), deletion - calls.begin()) << "the set goes after the callback's LeaveRead";
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), isDelete), 1);
    EXPECT_EQ(notifications(), 1);
}

TEST_P(LifetimeTest, ShouldIgnoreACallbackDispatchedBeforeTheSupplierWasDeleted) {
    const std::function<void()> call = create(GetParam());
    ASSERT_NE(supplier, nullptr);
    Gate sinkRead;
    Gate resume;
    std::thread feedThread([&] {
        sinkRead.open();
        resume.wait();
        call();  // the sink pointer was read before the deletion
    });
    sinkRead.wait();
    supplier.reset();
    resume.open();
    feedThread.join();
    EXPECT_EQ(notifications(), 0);
}

TEST_P(LifetimeTest, ShouldKeepTheRelayOfADispatchHeldBeforeTheLockWhileTimePassesAndOthersRetire) {
    // Run under AddressSanitizer: the held dispatch must not find its relay freed.
    const std::function<void()> call = create(GetParam());
    ASSERT_NE(supplier, nullptr);
    const std::size_t before = SinkLinger::lingering();
    DispatchHold hold;
    std::thread feedThread(call);
    hold.waitUntilEntered();
    supplier.reset();
    // The lock is free and more than a second goes by: a rule that freed a
    // closed relay after a while with its lock free would free this one at
    // one of the retirements that follow.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    constexpr int kOthers = 3;
    for (int i = 0; i < kOthers; ++i) {
        create(GetParam());
        supplier.reset();
    }
    EXPECT_EQ(SinkLinger::lingering(), before + 1 + kOthers);
    hold.release();
    feedThread.join();
    EXPECT_EQ(notifications(), 0);
    // That dispatch began before all four retirements: its end frees none of them.
    EXPECT_EQ(SinkLinger::lingering(), before + 1 + kOthers);
}

TEST_P(LifetimeTest, ShouldFinishACallbackBlockedOnTheLockWithoutTheDeletedSupplier) {
    const std::function<void()> call = create(GetParam());
    ASSERT_NE(supplier, nullptr);
    std::thread feedThread;
    // The deleting supplier holds its lock while the set is deleted: a
    // callback starting now waits for it, then runs after the supplier is gone.
    feed.client().onDelete = [&] {
        feedThread = std::thread(call);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    supplier.reset();
    feed.client().onDelete = nullptr;
    feedThread.join();
    EXPECT_EQ(notifications(), 0);
}

TEST_P(LifetimeTest, ShouldCompleteADeletionAskedForInsideItsOwnNotification) {
    const std::function<void()> call = create(GetParam());
    ASSERT_NE(supplier, nullptr);
    whenNotified([&] { supplier.reset(); });
    feed.client().clearCalls();
    std::thread feedThread(call);  // would never end if the deletion waited for the callback
    feedThread.join();
    EXPECT_EQ(supplier, nullptr);
    EXPECT_EQ(notifications(), 1);
    const std::vector<std::string> calls = setCalls();
    ASSERT_GE(calls.size(), 2U);
    EXPECT_NE(calls.back().find("Delete"), std::string::npos) << "the set goes once the callback has unwound";
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), isDelete), 1);
    call();  // a late callback through the same sink reaches no one
    EXPECT_EQ(notifications(), 1);
}

TEST_P(LifetimeTest, ShouldRefuseMissingHostObjectsWithoutAFeedCall) {
    data::TickConsumer* tickConsumer = &ticks;
    struct Case {
        data::SupplierRequest* request;
        bool consumer;
        data::RequestContext* context;
    };
    for (const Case& c : {Case{nullptr, true, &context}, Case{&request, false, &context}, Case{&request, true, nullptr}}) {
        feed.client().clearCalls();
        std::unique_ptr<data::SupplierBase> made;
        switch (GetParam()) {
            case Kind::History:
                made.reset(iface.createHistorySupplier(c.request, c.consumer ? &history : nullptr, c.context));
                break;
            case Kind::Tick:
                made.reset(iface.createTickSupplier(c.request, c.consumer ? tickConsumer : nullptr, c.context));
                break;
            case Kind::Update:
                made.reset(iface.createUpdateSupplier(c.request, c.consumer ? tickConsumer : nullptr, c.context));
                break;
        }
        // An update stream may have no consumer: it then ignores every callback.
        const bool allowed = GetParam() == Kind::Update && !c.consumer;
        EXPECT_EQ(made != nullptr, allowed);
        if (!allowed) {
            EXPECT_EQ(feed.client().calls(), std::vector<std::string>{});
            EXPECT_EQ(context.log.lines(), std::vector<LogLine>{});
        }
    }
}

// ---- Lingering relays and the shared dictionary -----------------------------------

using LingerTest = LifetimeTest;

TEST_F(LingerTest, ShouldFreeClosedRelaysAtTheEndOfTheFeedsNextCallback) {
    const std::function<void()> liveCall = create(Kind::Tick);
    std::unique_ptr<data::SupplierBase> live = std::move(supplier);
    liveCall();
    const std::size_t before = SinkLinger::lingering();
    for (int round = 0; round < 1000; ++round) {
        create(round % 2 == 0 ? Kind::Tick : Kind::Update);
        supplier.reset();
        ASSERT_EQ(SinkLinger::lingering(), before + 1);
        liveCall();
        ASSERT_EQ(SinkLinger::lingering(), before) << "round " << round;
    }
    EXPECT_EQ(ticks.count.load(), 1001);
}

TEST_F(LingerTest, ShouldFreeEveryClosedRelayWhenAFactoryIsReleasedAfterShutdown) {
    auto other = std::make_unique<TellivarInterfaceFactory>();
    TellivarInterface otherInterface(other.get());
    other->connectSession();
    for (int i = 0; i < 5; ++i) {
        supplier.reset(otherInterface.createTickSupplier(&request, &ticks, &context));
        supplier.reset();
    }
    EXPECT_GE(SinkLinger::lingering(), 5U);  // no callback came since
    other.reset();
    EXPECT_EQ(SinkLinger::lingering(), 0U);
}

TEST_F(LingerTest, ShouldLetSuppliersReadTheDictionaryWhileAnotherFactoryIsMade) {
    // Run under ThreadSanitizer: a factory must not rewrite the shared maps.
    std::atomic<bool> done{false};
    std::thread maker([&] {
        while (!done) TellivarInterfaceFactory().displayName();
    });
    request.names.names = {std::string("Bid"), std::string("Ask"), std::string("Trade")};
    for (int round = 0; round < 200; ++round) {
        const std::function<void()> call = create(Kind::Tick);
        call();
        std::int16_t id = 0;
        EXPECT_TRUE(findFieldIdByName("VWAP", id));
        EXPECT_EQ(*findHistoryField("C"), "Close");
        supplier.reset();
    }
    done = true;
    maker.join();
    EXPECT_EQ(FieldNameById.size(), kFieldTableSize);
}

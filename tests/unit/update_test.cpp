#include <gtest/gtest.h>

#include <ace/Log_Msg.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "PluginManager/tellivar/init.h"
#include "PluginManager/tellivar/update.h"
#include "support/heap_count.h"
#include "support/test_support.h"


namespace {


constexpr const char kPath[] = "PluginManager/tellivar/update";

AceRecord updateRecord(int line, const std::string& text) { return {kPath, line, 0, LM_DEBUG, text}; }

std::vector<AceRecord> updateRecords(const AceLogCapture& capture) {
    std::vector<AceRecord> result;
    for (const AceRecord& record : capture.records()) {
        if (record.path == kPath) result.push_back(record);
    }
    return result;
}

FakeBar bar(FeedTime time, double open, double high, double low, double close, double volume) {
    return {time, {{"Open", open}, {"High", high}, {"Low", low}, {"Close", close}, {"Volume", volume}}};
}

}  // namespace

// ---- Fixture -------------------------------------------------------------------

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        factory.connectSession();
        feed.client().lastSink()->onReady();
        feed.client().clearCalls();
    }

    std::unique_ptr<data::TickSupplier> create(data::TickConsumer* tickConsumer) {
        return std::unique_ptr<data::TickSupplier>(iface.createUpdateSupplier(&request, tickConsumer, &context));
    }

    // A supplier whose set holds an older bar and a newest bar of 5 March 2004.
    std::unique_ptr<data::TickSupplier> createLoaded() {
        auto supplier = create(&consumer);
        set().loadBars({bar(FakeFeedClient::timeOf(2004, 3, 4, 0, 0, 0), 9, 9, 9, 9, 9), newest});
        feed.client().clearCalls();
        return supplier;
    }

    FakeRecordSet& set() { return *feed.client().lastRecordSet(); }

    FakeFeedScope feed;
    TellivarInterfaceFactory factory;
    TellivarInterface iface{&factory};
    FakeRequest request;
    FakeContext context;
    RecordingTickConsumer consumer;
    const FakeBar newest = bar(FakeFeedClient::timeOf(2004, 3, 5, 14, 30, 15), 10.5, 12.25, 9.75, 11.0, 4200);
};

// ---- Creation --------------------------------------------------------------------

TEST_F(UpdateTest, ShouldPutOnlyTheNumberAfterTheCommaForIntervalTypeOne) {
    request.type = 1;
    request.number = 10;
    request.letter = 'm';
    request.multiple = 5;
    auto supplier = create(&consumer);
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(feed.client().calls(),
              (std::vector<std::string>{"CreateTRecordSet(XYZ,10)", "set1.SetSink(sinkMode=0)", "set1.Init(2,0)"}));
}

TEST_F(UpdateTest, ShouldPutLetterThenMultipleForEveryOtherIntervalType) {
    struct Case {
        int type;
        char letter;
        unsigned int multiple;
        const char* query;
    };
    for (const Case& c : {Case{2, 'm', 5, "CreateTRecordSet(XYZ,m5)"}, Case{0, 'D', 1, "CreateTRecordSet(XYZ,D1)"},
                          Case{3, 'W', 4000000000U, "CreateTRecordSet(XYZ,W4000000000)"}}) {
        request.type = c.type;
        request.letter = c.letter;
        request.multiple = c.multiple;
        request.number = 77;
        feed.client().clearCalls();
        auto supplier = create(&consumer);
        ASSERT_NE(supplier, nullptr);
        EXPECT_EQ(feed.client().callsStartingWith("CreateTRecordSet"), std::vector<std::string>{c.query});
    }
}

TEST_F(UpdateTest, ShouldLeaveSinkModeAloneAndIgnoreTheInitResult) {
    feed.client().prepareRecordSet = [](FakeRecordSet& s) {
        s.sinkMode = 5;
        s.initResult = 0;
    };
    auto supplier = create(&consumer);
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(set().sinkModeAtSetSink, 5);
    EXPECT_EQ(set().sinkMode, 5);
    EXPECT_EQ(set().sink, static_cast<ITRecSetSink*>(&dynamic_cast<UpdateSupplier&>(*supplier).relay));
}

TEST_F(UpdateTest, ShouldLogSubscriptionThenSetupOnSuccess) {
    AceLogCapture capture;
    auto supplier = create(&consumer);
    ASSERT_NE(supplier, nullptr);
    EXPECT_EQ(updateRecords(capture), (std::vector<AceRecord>{updateRecord(157, "Update subscription for\n"),
                                                              updateRecord(195, "recordset is setup\n")}));
}

TEST_F(UpdateTest, ShouldReturnNullAndLogOnlyTheFailureWhenTheFeedRejectsTheQuery) {
    AceLogCapture capture;
    feed.client().rejectNextCreate = true;
    EXPECT_EQ(create(&consumer), nullptr);
    EXPECT_EQ(updateRecords(capture), (std::vector<AceRecord>{updateRecord(157, "Update subscription for\n"),
                                                              updateRecord(188, "CreateTRecordSet failed\n")}));
    EXPECT_EQ(feed.client().calls(), std::vector<std::string>{"CreateTRecordSet(XYZ,D1)"});
}

TEST_F(UpdateTest, ShouldDeleteTheRecordSetOnceWhenSetupThrowsText) {
    AceLogCapture capture;
    feed.client().prepareRecordSet = [](FakeRecordSet& s) { s.throwOnInit = "feed refused"; };
    EXPECT_EQ(create(&consumer), nullptr);
    EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(set1)"), 1U);
    EXPECT_TRUE(set().deleted);
    EXPECT_EQ(updateRecords(capture), (std::vector<AceRecord>{updateRecord(157, "Update subscription for\n"),
                                                              updateRecord(188, "feed refused\n")}));
}

TEST_F(UpdateTest, ShouldFailBeforeQueryingWhenTheSymbolIsNull) {
    AceLogCapture capture;
    request.symbolText = std::nullopt;
    EXPECT_EQ(create(&consumer), nullptr);
    EXPECT_TRUE(feed.client().calls().empty());
    EXPECT_EQ(updateRecords(capture), (std::vector<AceRecord>{updateRecord(157, "Update subscription for\n"),
                                                              updateRecord(188, "Update request has no symbol\n")}));
}

TEST_F(UpdateTest, ShouldHoldTheInterfaceLockOnlyWhileCreating) {
    bool heldDuringCreate = false;
    feed.client().prepareRecordSet = [&](FakeRecordSet&) {
        heldDuringCreate = iface.interfaceLock.tryacquire_read() == -1;
        if (!heldDuringCreate) iface.interfaceLock.release();
    };
    auto supplier = create(&consumer);
    EXPECT_TRUE(heldDuringCreate);
    ASSERT_EQ(iface.interfaceLock.tryacquire_write(), 0);
    iface.interfaceLock.release();

    feed.client().rejectNextCreate = true;
    EXPECT_EQ(create(&consumer), nullptr);
    ASSERT_EQ(iface.interfaceLock.tryacquire_write(), 0);
    iface.interfaceLock.release();
}

TEST_F(UpdateTest, ShouldLetOtherExceptionsLeaveAndStillReleaseTheInterfaceLock) {
    feed.client().prepareRecordSet = [](FakeRecordSet&) { throw std::runtime_error("not a text"); };
    EXPECT_THROW(create(&consumer), std::runtime_error);
    ASSERT_EQ(iface.interfaceLock.tryacquire_write(), 0);
    iface.interfaceLock.release();
}

TEST_F(UpdateTest, ShouldDeleteTheRecordSetExactlyOnceWhenDestroyed) {
    auto supplier = create(&consumer);
    supplier.reset();
    EXPECT_EQ(feed.client().calls().back(), "DeleteTRecordSet(set1)");
    EXPECT_EQ(feed.client().countOf("DeleteTRecordSet(set1)"), 1U);
}

// ---- Callbacks -------------------------------------------------------------------

TEST_F(UpdateTest, ShouldReadTheNewestRecordAndTellTheConsumerOnEveryEventCode) {
    auto supplier = createLoaded();
    std::vector<double> closes;
    consumer.onTicks = [&](data::TickSupplier* s) { closes.push_back(s->getValue("C")); };
    int fired = 0;
    for (int event : {0, 1, 2, 7, -3}) {
        set().fireEvent(event, 1000 + event, -event);
        EXPECT_EQ(consumer.count, ++fired) << event;
    }
    EXPECT_EQ(consumer.lastSupplier, supplier.get());
    EXPECT_EQ(closes, std::vector<double>(5, 11.0));
    // Newest index: lastRecord - recordBase = (101 + 7) - 7.
    EXPECT_EQ(feed.client().countOf("set1.GetETime(101,1)"), 5U);
    EXPECT_EQ(feed.client().countOf("set1.GetRecDouble(101,3)"), 5U);
    EXPECT_EQ(feed.client().callsStartingWith("set1.GetRecDouble(100"), std::vector<std::string>{});
}

TEST_F(UpdateTest, ShouldReadFieldsInTableOrderInsideTheReadLock) {
    auto supplier = createLoaded();
    int depthSeen = -1;
    int supplierLockFree = 0;
    auto* update = dynamic_cast<UpdateSupplier*>(supplier.get());
    consumer.onTicks = [&](data::TickSupplier*) {
        depthSeen = set().readDepth;
        supplierLockFree = update->supplierLock.tryacquire_read() != -1;
    };
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(depthSeen, 1);
    EXPECT_EQ(supplierLockFree, 0);
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(feed.client().calls(),
              (std::vector<std::string>{"set1.EnterRead", "set1.GetETime(101,1)", "set1.GetFieldIx(Open)",
                                        "set1.GetRecDouble(101,0)", "set1.GetFieldIx(High)", "set1.GetRecDouble(101,1)",
                                        "set1.GetFieldIx(Low)", "set1.GetRecDouble(101,2)", "set1.GetFieldIx(Close)",
                                        "set1.GetRecDouble(101,3)", "set1.GetFieldIx(Volume)",
                                        "set1.GetRecDouble(101,4)", "set1.LeaveRead"}));
    ASSERT_EQ(update->supplierLock.tryacquire_write(), 0);
    update->supplierLock.release();
}

TEST_F(UpdateTest, ShouldStoreValuesUnderOneLetterKeysAndConvertTheTime) {
    auto supplier = createLoaded();
    const data::CalendarRecord* time = supplier->getTime();
    EXPECT_EQ(time->tm_year, 0);  // cleared before the first update
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(supplier->getValue("O"), 10.5);
    EXPECT_EQ(supplier->getValue("H"), 12.25);
    EXPECT_EQ(supplier->getValue("L"), 9.75);
    EXPECT_EQ(supplier->getValue("C"), 11.0);
    EXPECT_EQ(supplier->getValue("V"), 4200);
    EXPECT_EQ(supplier->getTime(), time);
    EXPECT_EQ(time->tm_year, 104);
    EXPECT_EQ(time->tm_mon, 2);
    EXPECT_EQ(time->tm_mday, 5);
    EXPECT_EQ(time->tm_hour, 14);
    EXPECT_EQ(time->tm_min, 30);
    EXPECT_EQ(time->tm_sec, 15);
    EXPECT_EQ(time->tm_wday + time->tm_yday + time->tm_isdst, 0);  // never written
}

TEST_F(UpdateTest, ShouldKeepTheOldVolumeWhenANewRecordLacksIt) {
    auto supplier = createLoaded();
    set().fireEvent(1, 0, 0);
    FakeBar noVolume = bar(FakeFeedClient::timeOf(2004, 3, 5, 14, 31, 0), 1, 2, 3, 4, 0);
    noVolume.fields.erase("Volume");
    set().loadBars({newest, noVolume});
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(consumer.count, 2);
    EXPECT_EQ(supplier->getValue("O"), 1);
    EXPECT_EQ(supplier->getValue("C"), 4);
    EXPECT_EQ(supplier->getValue("V"), 4200);
    EXPECT_EQ(supplier->getTime()->tm_min, 31);
}

TEST_F(UpdateTest, ShouldLeaveVolumeAbsentWhenNoRecordHadIt) {
    auto supplier = create(&consumer);
    FakeBar noVolume = newest;
    noVolume.fields.erase("Volume");
    set().loadBars({noVolume});
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(consumer.count, 1);
    EXPECT_TRUE(supplier->hasValue("C"));
    EXPECT_FALSE(supplier->hasValue("V"));
}

TEST_F(UpdateTest, ShouldTellTheConsumerEvenWhenNothingCouldBeRead) {
    auto supplier = createLoaded();
    set().fireEvent(1, 0, 0);
    ++set().lastRecord;  // the newest index now names a record the set cannot give
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(consumer.count, 2);
    EXPECT_EQ(supplier->getValue("C"), 11.0);
    EXPECT_EQ(supplier->getTime()->tm_mday, 5);  // a record without a time keeps the last one
    EXPECT_EQ(supplier->getTime()->tm_hour, 14);
}

TEST_F(UpdateTest, ShouldLogArrivalWithTheCurrentTimeAndThenTheEnd) {
    auto supplier = createLoaded();
    AceLogCapture capture;
    const long before = static_cast<long>(std::time(nullptr));
    set().fireEvent(1, 0, 0);
    const long after = static_cast<long>(std::time(nullptr));
    const auto records = updateRecords(capture);
    ASSERT_EQ(records.size(), 2U);
    const std::string prefix = "new data arrives for UpdateChannel ";
    ASSERT_EQ(records[0].text.compare(0, prefix.size(), prefix), 0) << records[0];
    const long stamp = std::stol(records[0].text.substr(prefix.size()));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(records[0], updateRecord(82, prefix + std::to_string(stamp) + "\n"));
    EXPECT_EQ(records[1], updateRecord(115, "data processing finished\n"));
}

TEST_F(UpdateTest, ShouldIgnoreEveryCallbackWithoutAConsumer) {
    auto supplier = create(nullptr);
    ASSERT_NE(supplier, nullptr);
    set().loadBars({newest});
    feed.client().clearCalls();
    AceLogCapture capture;
    set().fireEvent(1, 0, 0);
    EXPECT_TRUE(feed.client().calls().empty());
    EXPECT_TRUE(updateRecords(capture).empty());
    EXPECT_FALSE(supplier->hasValue("C"));
    EXPECT_EQ(supplier->getTime()->tm_year, 0);
    auto* update = dynamic_cast<UpdateSupplier*>(supplier.get());
    ASSERT_EQ(update->supplierLock.tryacquire_write(), 0);
    update->supplierLock.release();
}

TEST_F(UpdateTest, ShouldReadNothingAndTellNoOneWhileTheSetHasNoRecords) {
    auto supplier = create(&consumer);
    feed.client().clearCalls();
    AceLogCapture capture;
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(consumer.count, 0);
    EXPECT_EQ(feed.client().calls(), (std::vector<std::string>{"set1.EnterRead", "set1.LeaveRead"}));
    EXPECT_EQ(updateRecords(capture).back(), updateRecord(115, "data processing finished\n"));
}

TEST_F(UpdateTest, ShouldLogATextFromTheConsumerAndSkipTheEndRecord) {
    auto supplier = createLoaded();
    consumer.onTicks = [](data::TickSupplier*) { throw "consumer gave up"; };
    AceLogCapture capture;
    set().fireEvent(1, 0, 0);
    const auto records = updateRecords(capture);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[1], updateRecord(111, "consumer gave up\n"));
    EXPECT_EQ(feed.client().calls().back(), "set1.LeaveRead");
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(supplier->getValue("C"), 11.0);  // stored before the consumer threw
    auto* update = dynamic_cast<UpdateSupplier*>(supplier.get());
    ASSERT_EQ(update->supplierLock.tryacquire_write(), 0);
    update->supplierLock.release();
}

TEST_F(UpdateTest, ShouldSwallowOtherExceptionsAndFinishTheUpdate) {
    auto supplier = createLoaded();
    consumer.onTicks = [](data::TickSupplier*) { throw std::runtime_error("not a text"); };
    AceLogCapture capture;
    set().fireEvent(1, 0, 0);
    const auto records = updateRecords(capture);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[1], updateRecord(115, "data processing finished\n"));
    EXPECT_EQ(set().readDepth, 0);
    EXPECT_EQ(supplier->getValue("V"), 4200);
}

// ---- Reading -----------------------------------------------------------------------

TEST_F(UpdateTest, ShouldAddAnAbsentKeyWhenItIsReadButNotWhenItIsTested) {
    auto supplier = create(&consumer);
    EXPECT_FALSE(supplier->hasValue("C"));
    EXPECT_FALSE(supplier->hasValue("C"));
    EXPECT_EQ(supplier->getValue("C"), 0.0);
    EXPECT_TRUE(supplier->hasValue("C"));
}

TEST_F(UpdateTest, ShouldKeyValuesByOneLetterNamesOnly) {
    auto supplier = createLoaded();
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(supplier->getValue("Close"), 0.0);
    EXPECT_TRUE(supplier->hasValue("Close"));
    EXPECT_FALSE(supplier->hasValue("c"));
    set().fireEvent(1, 0, 0);
    EXPECT_EQ(supplier->getValue("Close"), 0.0);  // a read-made key is not a bar field
    EXPECT_EQ(supplier->getValue("C"), 11.0);
}

TEST_F(UpdateTest, ShouldAnswerANullNameWithNothingAndAddNothing) {
    auto supplier = createLoaded();
    set().fireEvent(1, 0, 0);
    auto* update = dynamic_cast<UpdateSupplier*>(supplier.get());
    EXPECT_EQ(supplier->getValue(nullptr), 0.0);
    EXPECT_FALSE(supplier->hasValue(nullptr));
    EXPECT_EQ(update->values.size(), 5U);
}

// ---- Steady state allocates nothing ------------------------------------------------

TEST_F(UpdateTest, ShouldAllocateNothingInASteadyStateCallback) {
    auto supplier = createLoaded();
    double sum = 0.0;
    consumer.onTicks = [&](data::TickSupplier* s) {
        for (const BarFieldName& field : barFieldNames) {
            if (s->hasValue(field.key)) sum += s->getValue(field.key);
        }
        sum += s->getTime()->tm_year;
    };
    set().fireEvent(1, 0, 0);  // makes the five keys and this thread's ACE record
    feed.client().setRecording(false);
    // ACE formats each enabled record in a heap buffer of its own; mask debug
    // records so the count covers this unit's work alone.
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    const unsigned long processMask = log->priority_mask(ACE_Log_Msg::PROCESS);
    log->priority_mask(processMask & ~static_cast<unsigned long>(LM_DEBUG), ACE_Log_Msg::PROCESS);
    long steady = 0;
    long firstRead = 0;
    {
        HeapCount counter;
        set().fireEvent(1, 0, 0);
        set().fireEvent(2, 0, 0);
        steady = counter.allocations();
        supplier->getValue("Absent");  // proves the counter sees this thread's allocations
        firstRead = counter.allocations() - steady;
    }
    log->priority_mask(processMask, ACE_Log_Msg::PROCESS);
    feed.client().setRecording(true);
    EXPECT_EQ(steady, 0);
    EXPECT_GT(firstRead, 0);
    EXPECT_EQ(consumer.count, 3);
    EXPECT_EQ(sum, 3 * (10.5 + 12.25 + 9.75 + 11.0 + 4200 + 104));
}
